#include "data_access/internal/odbc_diagnostics.h"

#include <sqlext.h>

#include <algorithm>
#include <array>

#include "data_access/internal/odbc_wide.h"

namespace data_access::odbc {
namespace {

constexpr std::array<std::string_view, 4> kDriverTags = {"[FreeTDS]", "[SQL Server]", "[unixODBC]", "[Driver Manager]"};

// FreeTDS closes a failed login with this generic record after the one that
// says what went wrong.
constexpr std::string_view kGenericConnectFailure = "Unable to connect to data source";

bool Contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

std::size_t FindIgnoringCase(std::string_view text, std::string_view part, std::size_t from) {
    for (std::size_t at = from; at + part.size() <= text.size(); ++at) {
        if (EqualsIgnoreCase(text.substr(at, part.size()), part)) return at;
    }
    return std::string_view::npos;
}

std::string WithPeriod(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (!text.empty() && text.back() != '.' && text.back() != '!' && text.back() != '?') text += '.';
    return text;
}

// The record that says most about a failed login: the first that is not the
// driver's generic closing line.
std::string MostSpecific(const std::vector<ErrorEntry>& records) {
    for (const ErrorEntry& record : records) {
        if (!record.Description.empty() && record.Description != kGenericConnectFailure) return record.Description;
    }
    return records.empty() ? std::string("the driver gave no reason") : records.back().Description;
}

bool TimedOut(const ErrorEntry& record) {
    return record.SqlState == "HYT00" || record.SqlState == "HYT01" || Contains(record.Description, "Timeout expired");
}

// SQL Server's answer to a Windows authentication token it cannot accept.
constexpr long kUntrustedLogin = 18452;

bool LoginRefused(const ErrorEntry& record) {
    return record.NativeError == 18456 || record.SqlState == "28000" || record.Description.starts_with("Login failed");
}

bool Unreachable(const ErrorEntry& record) {
    return Contains(record.Description, "unavailable or does not exist") || record.SqlState == "08S01";
}

std::string Seconds(int seconds) { return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds"); }

}  // namespace

std::string StripDriverTags(std::string_view message) {
    bool stripped = true;
    while (stripped) {
        stripped = false;
        for (std::string_view tag : kDriverTags) {
            if (message.starts_with(tag)) {
                message.remove_prefix(tag.size());
                stripped = true;
            }
        }
    }
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.remove_suffix(1);
    return std::string(message);
}

std::string WithoutConnectionPassword(std::string text) {
    for (const std::string_view key : {"PWD=", "Password="}) {
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t found = FindIgnoringCase(text, key, at);
            if (found == std::string::npos) break;
            const std::size_t value = found + key.size();
            std::size_t end = std::string::npos;
            if (value < text.size() && text[value] == '{') {
                // Braced as FreeTDS reads it: up to a '}' before a ';' or the end.
                for (std::size_t brace = text.find('}', value); brace != std::string::npos;
                     brace = text.find('}', brace + 1)) {
                    if (brace + 1 == text.size() || text[brace + 1] == ';') {
                        end = brace + 1;
                        break;
                    }
                }
            } else {
                end = text.find(';', value);
            }
            if (end == std::string::npos) end = text.size();
            text.replace(value, end - value, "****");
            at = value + 4;
        }
    }
    return text;
}

std::vector<ErrorEntry> ReadDiagnostics(SQLSMALLINT handleType, SQLHANDLE handle) {
    std::vector<ErrorEntry> records;
    if (handle == SQL_NULL_HANDLE) return records;
    // Bounded: a driver never keeps more than a handful of records.
    // Through the wide call: until a login has succeeded the driver gives
    // narrow text as Latin-1, with '?' for every other character.
    for (SQLSMALLINT number = 1; number <= 100; ++number) {
        SQLWCHAR state[6] = {};
        SQLINTEGER native = 0;
        WideText message(1024, SQLWCHAR{0});
        SQLSMALLINT length = 0;
        SQLRETURN rc = SQLGetDiagRecW(handleType, handle, number, state, &native, message.data(),
                                      static_cast<SQLSMALLINT>(message.size()), &length);
        if (rc == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(message.size())) {
            message.assign(static_cast<std::size_t>(length) + 1, SQLWCHAR{0});
            rc = SQLGetDiagRecW(handleType, handle, number, state, &native, message.data(),
                                static_cast<SQLSMALLINT>(message.size()), &length);
        }
        if (!SQL_SUCCEEDED(rc)) break;
        const std::size_t units =
            std::min<std::size_t>(static_cast<std::size_t>(std::max<SQLSMALLINT>(length, 0)), message.size() - 1);
        std::size_t stateUnits = 0;
        while (stateUnits < 5 && state[stateUnits] != 0) ++stateUnits;
        ErrorEntry entry;
        entry.Description = WithoutConnectionPassword(StripDriverTags(Utf8FromWide(message.data(), units)));
        entry.SqlState = Utf8FromWide(state, stateUnits);
        entry.NativeError = static_cast<long>(native);
        records.push_back(std::move(entry));
    }
    return records;
}

bool DriverNamedTheCause(const std::vector<ErrorEntry>& records) {
    return std::any_of(records.begin(), records.end(),
                       [](const ErrorEntry& r) { return TimedOut(r) || LoginRefused(r) || Unreachable(r); });
}

std::vector<ErrorEntry> ExplainConnectFailure(std::vector<ErrorEntry> records, const SqlServerAddress& address,
                                              int timeoutSeconds, bool integratedSecurity,
                                              const LoginFailureFacts& facts) {
    const std::string where = address.Label();
    const std::string user = facts.ClientPrincipal.empty() ? "this user" : facts.ClientPrincipal;
    const std::string spn = facts.ServicePrincipal.empty() ? "the server's service principal" : facts.ServicePrincipal;
    const auto any = [&](auto predicate) { return std::any_of(records.begin(), records.end(), predicate); };
    std::string summary;
    if (any(TimedOut)) {
        summary = "Cannot connect to the SQL Server at " + where + ": the login timed out after " +
                  Seconds(timeoutSeconds) + " without an answer from the server.";
    } else if (const auto refused = std::find_if(records.begin(), records.end(), LoginRefused);
               refused != records.end()) {
        if (!integratedSecurity) {
            summary = "The SQL Server at " + where + " refused the login: " + WithPeriod(refused->Description);
        } else if (refused->NativeError == kUntrustedLogin) {
            summary = "The SQL Server at " + where + " did not accept the Kerberos ticket of " + user + ": " +
                      WithPeriod(refused->Description) + " The server cannot read tickets for " + spn +
                      " (its service key or keytab may be out of date) or does not trust this user's realm; ask "
                      "the server's administrator, or connect with a User Id and Password.";
        } else {
            summary = "The SQL Server at " + where + " refused the Windows authentication login of " + user + ": " +
                      WithPeriod(refused->Description) +
                      " Ask the server's administrator for a login for this user, or connect with a User Id and "
                      "Password.";
        }
    } else if (any(Unreachable)) {
        summary = "Cannot connect to the SQL Server at " + where + ": the server is unavailable or does not exist.";
        if (!address.Instance.empty())
            summary += " Check the host name, that the instance " + address.Instance +
                       " is running and that the SQL Server Browser on that host answers.";
    } else if (facts.Encryption == EncryptionOffer::NotOffered) {
        summary = "The SQL Server at " + where + " offers no encryption, so no login was sent to it: " +
                  (integratedSecurity ? "no Kerberos ticket" : "neither the user name nor the password") +
                  " left this computer. SQL Server encrypts at least the login unless it is very old or something "
                  "between here and the server changes its answer; ask the server's administrator.";
    } else if (integratedSecurity && facts.ServiceTicketChecked &&
               facts.ServiceTicket.Outcome == ServiceTicketCheck::Result::UnknownPrincipal) {
        summary = "Windows authentication to the SQL Server at " + where +
                  " failed: the Kerberos realm does not know the service principal " + facts.ServicePrincipal +
                  ". Write the server's name as its service principal is registered (host name and "
                  "port), or ask the administrator to register " +
                  facts.ServicePrincipal + " for the SQL Server's service account.";
    } else if (integratedSecurity && facts.ServiceTicketChecked &&
               facts.ServiceTicket.Outcome == ServiceTicketCheck::Result::Failed) {
        summary = "Windows authentication to the SQL Server at " + where + " failed: Kerberos gives " + user +
                  " no ticket for " + facts.ServicePrincipal + " (" + facts.ServiceTicket.Detail +
                  "). Check that the Kerberos realm's KDC can be reached, or get a new ticket with kinit.";
    } else if (integratedSecurity) {
        summary = "Windows authentication to the SQL Server at " + where +
                  " failed: " + WithPeriod(MostSpecific(records)) +
                  " Windows authentication here needs a Kerberos ticket for this user (kinit).";
    } else {
        summary = "Cannot connect to the SQL Server at " + where + ": " + WithPeriod(MostSpecific(records));
    }
    records.push_back(ErrorEntry{std::move(summary), {}, 0});
    return records;
}

std::string KerberosCredentialsProblem(const KerberosCheck& check, const SqlServerAddress& address) {
    const std::string login =
        "Windows authentication (Integrated Security=SSPI) to the SQL Server at " + address.Label();
    if (check.Outcome == KerberosCheck::Result::Expired) {
        const std::string kinit = check.Principal.empty() ? "kinit" : "kinit " + check.Principal;
        return "The Kerberos ticket of " + (check.Principal.empty() ? "this user" : check.Principal) +
               " has expired, so " + login + " cannot log in. Get a new ticket with " + kinit +
               ", or connect with a User Id and Password.";
    }
    std::string text = login + " needs a Kerberos ticket, and this user has none";
    if (!check.Detail.empty()) text += " (" + check.Detail + ")";
    text += ". Get one with kinit, or connect with a User Id and Password.";
    return text;
}

bool ConnectionLost(const std::vector<ErrorEntry>& records) {
    return std::any_of(records.begin(), records.end(), [](const ErrorEntry& record) {
        return record.SqlState.starts_with("08") || Contains(record.Description, "Read from the server failed") ||
               Contains(record.Description, "Write to the server failed");
    });
}

ErrorEntry LostConnectionEntry(const SqlServerAddress& address, bool duringStatement) {
    std::string text = "The connection to the SQL Server at " + address.Label() + " was lost";
    text += duringStatement ? " while the statement ran; it may or may not have been carried out. " : " earlier. ";
    text += "Close the connection and open it again.";
    return ErrorEntry{std::move(text), "08S01", 0};
}

std::vector<ErrorEntry> ExplainStatementFailure(std::vector<ErrorEntry> records, const SqlServerAddress& address,
                                                bool connectionDead) {
    // Informational records ("01...") before errors, each group in the
    // driver's order, so the last entry is the error the operator must see.
    std::stable_partition(records.begin(), records.end(),
                          [](const ErrorEntry& record) { return record.SqlState.starts_with("01"); });
    if (connectionDead || ConnectionLost(records)) records.push_back(LostConnectionEntry(address, true));
    if (records.empty())
        records.push_back(ErrorEntry{
            "The SQL Server at " + address.Label() + " reported a failure of the statement but gave no reason.",
            {},
            0});
    return records;
}

}  // namespace data_access::odbc
