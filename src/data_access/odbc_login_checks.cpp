#include "data_access/internal/odbc_login_checks.h"

#include <algorithm>
#include <ctime>

#include "data_access/internal/odbc_diagnostics.h"
#include "data_access/sqlserver/prelogin_probe.h"

namespace data_access::odbc {
namespace {

// The checks run after a failure; they wait no longer than SQL Server's
// clients wait for a login by default, whatever time-out the login had.
constexpr int kMaxCheckSeconds = 15;

}  // namespace

EncryptionOffer ProbeEncryption(const std::string& host, int port, int timeoutSeconds) {
    return sqlserver::ProbeServer(host, port, timeoutSeconds, false).Encryption;
}

LoginFailureFacts ExamineFailedLogin(const std::vector<ErrorEntry>& records, const OdbcLogin& login, int timeoutSeconds,
                                     const sqlserver::ServerTrust& trust) {
    LoginFailureFacts facts;
    if (login.IntegratedSecurity) {
        facts.ClientPrincipal = login.ClientPrincipal;
        facts.ServicePrincipal = ServicePrincipalFor(login.Address);
    }
    if (DriverNamedTheCause(records)) return facts;
    // A named instance's port is known to FreeTDS only.
    if (login.Address.Instance.empty()) {
        const sqlserver::ProbeResult probe = sqlserver::ProbeServer(login.Address.Host, login.Address.Port,
                                                                    std::min(timeoutSeconds, kMaxCheckSeconds), true);
        facts.Encryption = probe.Encryption;
        if (!probe.Chain.empty()) {
            const sqlserver::Verdict verdict = sqlserver::Evaluate(probe.Chain, trust.Pinned, login.Address.Host,
                                                                   std::time(nullptr), sqlserver::kSystemAuthorities);
            if (!verdict.Accepted())
                facts.CertificateRefusal = sqlserver::RefusalMessage(login.Address.Label(), trust, verdict, probe.Chain,
                                                                     login.IntegratedSecurity);
        }
    }
    if (login.IntegratedSecurity && facts.Encryption != EncryptionOffer::NotOffered &&
        facts.CertificateRefusal.empty() && !facts.ServicePrincipal.empty()) {
        facts.ServiceTicket = CheckServiceTicket(facts.ServicePrincipal);
        facts.ServiceTicketChecked = true;
    }
    return facts;
}

}  // namespace data_access::odbc
