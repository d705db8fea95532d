// Finding out why a login failed when FreeTDS only says "Adaptive Server
// connection failed": whether the server offers encryption at all (which
// the provider requires), and for Windows authentication whether the KDC
// gives a ticket for the server's service principal.
#pragma once

#include <string>
#include <vector>

#include "data_access/data_access.h"
#include "data_access/internal/odbc_connection_string.h"
#include "data_access/internal/odbc_kerberos.h"
#include "data_access/sqlserver/prelogin_probe.h"
#include "data_access/sqlserver/server_trust.h"

namespace data_access::odbc {

using sqlserver::EncryptionOffer;

// Connects to host:port, sends a PRELOGIN request that asks for encryption,
// reads the ENCRYPTION answer and closes: no login, no name and no password
// are sent. Unknown when the server cannot be reached or does not answer
// like a SQL Server within `timeoutSeconds`.
EncryptionOffer ProbeEncryption(const std::string& host, int port, int timeoutSeconds);

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
LoginFailureFacts ExamineFailedLogin(const std::vector<ErrorEntry>& records, const OdbcLogin& login, int timeoutSeconds,
                                     const sqlserver::ServerTrust& trust);

}  // namespace data_access::odbc
