// Kerberos as FreeTDS uses it for a Windows-authentication (Integrated
// Security=SSPI) login: this user's ticket-granting ticket, and a service
// ticket for the SQL Server's service principal MSSQLSvc/<host>:<port>. The
// checks here ask the same GSSAPI library FreeTDS uses, so that a login that
// cannot work is explained before, or after, FreeTDS fails with its generic
// "Adaptive Server connection failed".
#pragma once

#include <chrono>
#include <optional>
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
// The canonical name is looked up by `deadline`, the host taken as written
// when no answer has come by then.
std::string ServicePrincipalFor(const SqlServerAddress& address);
std::string ServicePrincipalFor(const SqlServerAddress& address, std::chrono::steady_clock::time_point deadline);

struct ServiceTicketCheck {
    // NoAnswer: the Kerberos library was still waiting (on the KDC) at the deadline.
    enum class Result { Obtained, UnknownPrincipal, Failed, NoAnswer };
    Result Outcome = Result::Failed;
    std::string Detail;  // GSSAPI's words when not obtained
};

// Asks the KDC for a ticket to `servicePrincipal` as FreeTDS does, and sends
// the result nowhere.
// The ticket obtained is kept in the credential cache, where the driver
// finds it without asking the KDC again.
ServiceTicketCheck CheckServiceTicket(const std::string& servicePrincipal);
// The same, given up at `deadline`: a KDC that does not answer keeps the
// Kerberos library waiting for half a minute and more, whatever the time-out.
ServiceTicketCheck CheckServiceTicket(const std::string& servicePrincipal,
                                      std::chrono::steady_clock::time_point deadline);
// CheckKerberosCredentials given up at `deadline` (nullopt): with a client
// keytab the library may ask the KDC for a first ticket.
std::optional<KerberosCheck> CheckKerberosCredentials(std::chrono::steady_clock::time_point deadline);

}  // namespace quellmark::data_access::sqlserver
