#include "data_access/sqlserver/driver_connection_string.h"

#include <cctype>
#include <charconv>
#include <initializer_list>
#include <optional>

#include "data_access/sqlserver/odbc_wide.h"
#include "data_access/value_types.h"

namespace quellmark::data_access::sqlserver {
namespace {

// The first of several equivalent keys that the connection string sets.
std::optional<std::string> GetAny(const ConnectionProperties& properties,
                                  std::initializer_list<std::string_view> keys) {
    for (std::string_view key : keys) {
        if (auto value = properties.Get(key)) return value;
    }
    return std::nullopt;
}

std::string LocalHostFor(std::string_view host) {
    if (host == "." || EqualsIgnoreCase(host, "(local)")) return "127.0.0.1";
    return std::string(host);
}

// Integrated Security: SQLOLEDB knows only SSPI; "true"/"yes" are what other
// SQL Server clients write for the same thing.
bool WantsIntegratedSecurity(const ConnectionProperties& properties) {
    const std::optional<std::string> value = GetAny(properties, {"Integrated Security", "Trusted_Connection"});
    if (!value) return false;
    const std::string_view v = TrimSpaces(*value);
    if (EqualsIgnoreCase(v, "SSPI") || EqualsIgnoreCase(v, "true") || EqualsIgnoreCase(v, "yes")) return true;
    if (v.empty() || EqualsIgnoreCase(v, "false") || EqualsIgnoreCase(v, "no")) return false;
    throw Error("Integrated Security=" + std::string(v) +
                " is not understood; use Integrated Security=SSPI for Windows authentication, or give a User Id and "
                "Password.");
}

// FreeTDS cuts a longer user name, password or database name short without
// a word; SQL Server's names and passwords are no longer than this.
constexpr std::size_t kMaxLoginFieldUnits = 128;

// A value that travels in the LOGIN7 request. `what` names it ("The
// password"); the value itself never appears in a message.
void CheckLoginField(std::string_view value, std::string_view what) {
    const std::optional<WideText> wide = WideFromUtf8(value);
    if (!wide) throw Error(std::string(what) + " is not UTF-8 text, so it cannot be sent to the SQL Server.");
    if (value.find('\0') != std::string_view::npos)
        throw Error(std::string(what) + " holds a NUL character, which cannot be sent to the SQL Server.");
    if (wide->size() > kMaxLoginFieldUnits)
        throw Error(std::string(what) + " is longer than the " + std::to_string(kMaxLoginFieldUnits) +
                    " characters a SQL Server login can carry.");
}

}  // namespace

std::string SqlServerAddress::Label() const {
    if (!Instance.empty()) return Host + "\\" + Instance;
    return Host + "," + std::to_string(Port);
}

SqlServerAddress ParseDataSource(std::string_view dataSource) {
    std::string_view text = TrimSpaces(dataSource);
    if (StartsWithIgnoreCase(text, "tcp:")) text = TrimSpaces(text.substr(4));
    if (text.empty())
        throw Error("The connection string names no server: set Data Source to the SQL Server's host name.");

    SqlServerAddress address;
    std::string_view host = text;
    if (const std::size_t comma = text.find(','); comma != std::string_view::npos) {
        const std::string_view portText = TrimSpaces(text.substr(comma + 1));
        int port = 0;
        const auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
        if (portText.empty() || ec != std::errc() || end != portText.data() + portText.size() || port < 1 ||
            port > 65535)
            throw Error("The port in Data Source=" + std::string(text) + " is not a TCP port number (1 to 65535).");
        address.Port = port;
        // An explicit port wins over an instance name, as with SQL Server's
        // own clients.
        host = TrimSpaces(text.substr(0, comma));
        if (const std::size_t slash = host.find('\\'); slash != std::string_view::npos)
            host = TrimSpaces(host.substr(0, slash));
    } else if (const std::size_t slash = text.find('\\'); slash != std::string_view::npos) {
        address.Instance = std::string(TrimSpaces(text.substr(slash + 1)));
        host = TrimSpaces(text.substr(0, slash));
        if (address.Instance.empty())
            throw Error("Data Source=" + std::string(text) + " ends in '\\' but names no instance after it.");
    }
    if (host.empty())
        throw Error("Data Source=" + std::string(text) + " names no host; write the server's name before the " +
                    (address.Instance.empty() ? "port." : "instance."));
    address.Host = LocalHostFor(host);
    return address;
}

std::string BraceQuote(std::string_view value, std::string_view what) {
    if (value.find("};") != std::string_view::npos)
        throw Error(std::string(what) +
                    " contains the characters \"};\", which the FreeTDS driver cannot accept in a connection "
                    "string.");
    std::string quoted(1, '{');
    quoted.append(value);
    quoted += '}';
    return quoted;
}

OdbcLogin TranslateConnectionString(const ConnectionProperties& properties) {
    if (const auto library = GetAny(properties, {"Network Library", "Network", "Net"})) {
        const std::string_view name = TrimSpaces(*library);
        if (!name.empty() && !EqualsIgnoreCase(name, "DBMSSOCN"))
            throw Error("Network Library=" + std::string(name) +
                        " is not available here: Quellmark reaches SQL Server over TCP/IP only "
                        "(Network Library=DBMSSOCN).");
    }

    OdbcLogin login;
    const std::optional<std::string> dataSource =
        GetAny(properties, {"Data Source", "Server", "Address", "Addr", "Network Address"});
    login.Address = ParseDataSource(dataSource.value_or(""));
    login.Server = std::string(TrimSpaces(dataSource.value_or("")));
    login.IntegratedSecurity = WantsIntegratedSecurity(properties);

    // Host, port or instance, and the certificate check are in the section.
    std::string text = "Driver={FreeTDS};Servername=" + BraceQuote(sqlserver::kFreeTdsSection, "The section");
    if (const auto catalog = GetAny(properties, {"Initial Catalog", "Database"}); catalog && !catalog->empty()) {
        CheckLoginField(*catalog, "The Initial Catalog");
        text += ";Database=" + BraceQuote(*catalog, "The Initial Catalog");
    }

    if (login.IntegratedSecurity) {
        // Windows authentication becomes a Kerberos login; a user name given
        // alongside it is ignored, as SQLOLEDB ignores it.
        text += ";Trusted_Connection=Yes";
    } else {
        const std::optional<std::string> user = GetAny(properties, {"User Id", "UID", "User", "User Name"});
        if (!user || TrimSpaces(*user).empty())
            throw Error(
                "The connection string gives neither a User Id nor Integrated Security=SSPI, so there is "
                "no login to connect with.");
        login.User = *user;
        const std::string password = GetAny(properties, {"Password", "PWD"}).value_or("");
        CheckLoginField(login.User, "The User Id");
        CheckLoginField(password, "The password");
        text += ";UID=" + BraceQuote(login.User, "The User Id") + ";PWD=" + BraceQuote(password, "The password");
    }
    // TDS 7.4 is SQL Server 2012's protocol; older servers answer with their
    // own version and FreeTDS follows. The client side is UTF-8 so that text
    // passes unchanged both ways.
    text += ";TDS_Version=7.4;ClientCharset=UTF-8";
    // Everything travels in TLS, the login first. A server that cannot
    // encrypt, or whose certificate is not trusted, gets no login at all:
    // FreeTDS stops after the PRELOGIN exchange or the TLS handshake.
    text += ";Encryption=require";
    login.ConnectionString = std::move(text);
    return login;
}

}  // namespace quellmark::data_access::sqlserver
