// Turning an OLE DB connection string for SQLOLEDB into the connection string
// the FreeTDS ODBC driver understands.
#pragma once

#include <string>
#include <string_view>

#include "data_access/connection_string.h"
#include "data_access/internal/layer_only.h"

namespace quellmark::data_access::sqlserver {

// The section of the file the connection string names with Servername=.
inline constexpr const char* kFreeTdsSection = "quellmark-login";

}  // namespace quellmark::data_access::sqlserver

namespace quellmark::data_access::sqlserver {

// Where the server is: a host and TCP port, or a host and a named instance
// (whose port FreeTDS asks the SQL Server Browser for).
struct SqlServerAddress {
    std::string Host;
    std::string Instance;  // empty unless the Data Source named one
    int Port = 1433;       // not used when Instance is set

    // "host,port" or "host\instance", as the operator would write it.
    std::string Label() const;
};

struct OdbcLogin {
    // For SQLDriverConnect. Holds the password: never show or log it. It
    // names the server through a section of the driver's configuration file
    // (sqlserver/freetds_login_config.h), written from Address.
    std::string ConnectionString;
    SqlServerAddress Address;
    // The Data Source as written ("host,port", "host"), which names the
    // certificate trusted for the server.
    std::string Server;
    bool IntegratedSecurity = false;
    // Integrated security: whose Kerberos ticket logs in, once known.
    std::string ClientPrincipal;
    std::string User;
};

// "SERVER", "SERVER,PORT", "SERVER\INSTANCE"; "(local)" and "." mean this
// machine. Throws quellmark::data_access::Error for an empty host or an unusable port.
SqlServerAddress ParseDataSource(std::string_view dataSource);

// An attribute value in braces, so that no ';' or '=' in it can end the
// value or start another key. FreeTDS ends a braced value at the first '}'
// followed by ';' or by the end, and takes every other '}' literally (it does
// not undo doubled braces); a value holding "};" therefore cannot be passed
// and is refused with an Error naming `what` ("The password", ...).
std::string BraceQuote(std::string_view value, std::string_view what);

// Throws quellmark::data_access::Error, in plain words, for a connection string that
// cannot be turned into a FreeTDS login: among others a user name, password
// or database that is not UTF-8, holds a NUL or is longer than a login
// carries (128 characters).
OdbcLogin TranslateConnectionString(const ConnectionProperties& properties);

}  // namespace quellmark::data_access::sqlserver
