// Explaining a failed login when FreeTDS only says "Adaptive Server
// connection failed": whether the server offers encryption at all (which
// the provider requires), and for Windows authentication whether the KDC
// gives a ticket for the server's service principal; then one entry naming
// the server and the cause in plain words.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "data_access/internal/layer_only.h"
#include "data_access/sqlserver/driver_connection_string.h"
#include "data_access/sqlserver/kerberos.h"
#include "data_access/sqlserver/prelogin_probe.h"
#include "data_access/sqlserver/server_trust.h"
#include "data_access/value_types.h"

namespace quellmark::data_access::sqlserver {

// What the checks found out about a failed login.
struct LoginFailureFacts {
    EncryptionOffer Encryption = EncryptionOffer::Unknown;
    std::string ClientPrincipal;   // Windows authentication: whose ticket logged in
    std::string ServicePrincipal;  // Windows authentication: the SPN asked for; empty when unknown
    bool ServiceTicketChecked = false;
    ServiceTicketCheck ServiceTicket;
    // The certificate the server presents is not trusted: why, its details
    // and what to do (sqlserver::RefusalMessage); empty otherwise.
    std::string CertificateRefusal;
};

// Runs the checks that can explain the driver's `records`: none when they
// already say what happened (a refused login, a time-out, an unreachable
// server). The server's certificate is fetched without a login and judged
// as the driver judged it with `trust`.
// The checks end by `checksBy`, and each waits no longer than 15 seconds.
// `knownTicket`: the service ticket was already asked for before the login,
// with this result, and is not asked for again.
LoginFailureFacts ExamineFailedLogin(
    const std::vector<ErrorEntry>& records, const OdbcLogin& login, int timeoutSeconds,
    const sqlserver::ServerTrust& trust,
    std::chrono::steady_clock::time_point checksBy = std::chrono::steady_clock::time_point::max(),
    const ServiceTicketCheck* knownTicket = nullptr);

// The records of a failed SQLDriverConnect followed by one entry naming the
// server and the cause: unreachable, refused login, timed out, no
// encryption offered, or a Kerberos service ticket the KDC does not give;
// `facts` (ExamineFailedLogin) tell what the records cannot. That entry's
// Cause is set unless the records leave the cause open.
std::vector<ErrorEntry> ExplainConnectFailure(std::vector<ErrorEntry> records, const SqlServerAddress& address,
                                              int timeoutSeconds, bool integratedSecurity,
                                              const LoginFailureFacts& facts = {});

// The message for a login that could not go on because something did not
// answer in time: `what` names it ("the SQL Server Browser on db01 did not
// answer ..."). The driver's `records`, if any, come first; the entry added
// has the cause ConnectionLost.
std::vector<ErrorEntry> ExplainUnanswered(std::vector<ErrorEntry> records, const SqlServerAddress& address,
                                          const std::string& what);

// Why Windows authentication cannot start with this user's Kerberos
// credentials (none, or expired), and what to do.
std::string KerberosCredentialsProblem(const KerberosCheck& check, const SqlServerAddress& address);

}  // namespace quellmark::data_access::sqlserver
