// Kerberos as FreeTDS uses it for a Windows-authentication (Integrated
// Security=SSPI) login: this user's ticket-granting ticket, and a service
// ticket for the SQL Server's service principal MSSQLSvc/<host>:<port>. The
// checks here ask the same GSSAPI library FreeTDS uses, so that a login that
// cannot work is explained before, or after, FreeTDS fails with its generic
// "Adaptive Server connection failed".
#pragma once

#include <string>

#include "data_access/internal/layer_only.h"
#include "data_access/sqlserver/driver_connection_string.h"

namespace quellmark::data_access::sqlserver {

struct KerberosCheck {
    enum class Result { Available, Missing, Expired };
    Result Outcome = Result::Missing;
    // Whose ticket it is, e.g. "ops@EXAMPLE.NET"; empty when there is none.
    std::string Principal;
    // GSSAPI's own words when there is no ticket, e.g. "No Kerberos
    // credentials available (default cache: FILE:/tmp/krb5cc_1000)".
    std::string Detail;
};

// Whether this user holds a ticket-granting ticket that has not expired.
KerberosCheck CheckKerberosCredentials();

// The service principal FreeTDS asks a ticket for: MSSQLSvc/<host>:<port>,
// the host as written, unless it has no dot and resolves to a canonical
// name that has one. Empty for a named instance, whose port FreeTDS learns
// from the SQL Server Browser only while connecting.
std::string ServicePrincipalFor(const SqlServerAddress& address);

struct ServiceTicketCheck {
    enum class Result { Obtained, UnknownPrincipal, Failed };
    Result Outcome = Result::Failed;
    std::string Detail;  // GSSAPI's words when not obtained
};

// Asks the KDC for a ticket to `servicePrincipal` as FreeTDS does, and sends
// the result nowhere.
ServiceTicketCheck CheckServiceTicket(const std::string& servicePrincipal);

}  // namespace quellmark::data_access::sqlserver
