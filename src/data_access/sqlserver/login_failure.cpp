#include "data_access/sqlserver/login_failure.h"

#include <algorithm>
#include <ctime>
#include <optional>

#include "data_access/sqlserver/diagnostics.h"

namespace quellmark::data_access::sqlserver {
namespace {

// The checks run after a failure; they wait no longer than SQL Server's
// clients wait for a login by default, whatever time-out the login had.
constexpr int kMaxCheckSeconds = 15;

// FreeTDS closes a failed login with this generic record after the one that
// says what went wrong.
constexpr std::string_view kGenericConnectFailure = "Unable to connect to data source";

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

// SQL Server's answer to a Windows authentication token it cannot accept.
constexpr long kUntrustedLogin = 18452;

std::string Seconds(int seconds) { return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds"); }

}  // namespace

LoginFailureFacts ExamineFailedLogin(const std::vector<ErrorEntry>& records, const OdbcLogin& login, int timeoutSeconds,
                                     const sqlserver::ServerTrust& trust,
                                     std::chrono::steady_clock::time_point checksBy,
                                     const ServiceTicketCheck* knownTicket) {
    const auto within = [checksBy](int seconds) {
        return std::min(checksBy, std::chrono::steady_clock::now() + std::chrono::seconds(seconds));
    };
    LoginFailureFacts facts;
    if (login.IntegratedSecurity) {
        facts.ClientPrincipal = login.ClientPrincipal;
        facts.ServicePrincipal = ServicePrincipalFor(login.Address, within(kMaxCheckSeconds));
    }
    if (DriverNamedTheCause(records)) return facts;
    // A named instance's port is known to FreeTDS only.
    if (login.Address.Instance.empty()) {
        const sqlserver::ProbeResult probe = sqlserver::ProbeServer(
            login.Address.Host, login.Address.Port, within(std::min(timeoutSeconds, kMaxCheckSeconds)), true);
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
        facts.ServiceTicket =
            knownTicket ? *knownTicket : CheckServiceTicket(facts.ServicePrincipal, within(kMaxCheckSeconds));
        facts.ServiceTicketChecked = true;
    }
    return facts;
}

std::vector<ErrorEntry> ExplainConnectFailure(std::vector<ErrorEntry> records, const SqlServerAddress& address,
                                              int timeoutSeconds, bool integratedSecurity,
                                              const LoginFailureFacts& facts) {
    const std::string where = address.Label();
    const std::string user = facts.ClientPrincipal.empty() ? "this user" : facts.ClientPrincipal;
    const std::string spn = facts.ServicePrincipal.empty() ? "the server's service principal" : facts.ServicePrincipal;
    const auto any = [&](auto predicate) { return std::any_of(records.begin(), records.end(), predicate); };
    std::string summary;
    // The cause where the branch knows it; the generic messages leave it open.
    std::optional<FailureCause> cause = FailureCause::Login;
    if (any(TimedOut)) {
        cause = FailureCause::ConnectionLost;
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
        cause = FailureCause::ConnectionLost;
        summary = "Cannot connect to the SQL Server at " + where + ": the server is unavailable or does not exist.";
        if (!address.Instance.empty())
            summary += " Check the host name, that the instance " + address.Instance +
                       " is running and that the SQL Server Browser on that host answers.";
    } else if (!facts.CertificateRefusal.empty()) {
        cause = FailureCause::Trust;
        summary = facts.CertificateRefusal;
    } else if (facts.Encryption == EncryptionOffer::NotOffered) {
        cause = FailureCause::Trust;
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
               facts.ServiceTicket.Outcome == ServiceTicketCheck::Result::NoAnswer) {
        summary = "Windows authentication to the SQL Server at " + where +
                  " failed: the Kerberos KDC did not answer in time when asked for a ticket for " + spn +
                  ". Check that the Kerberos realm's KDC is running and can be reached from this computer.";
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
        cause.reset();
        summary = "Cannot connect to the SQL Server at " + where + ": " + WithPeriod(MostSpecific(records));
        // An instance's port, and so its certificate, is the driver's to find.
        if (!address.Instance.empty())
            summary +=
                " If its certificate is not trusted, write the server as host,port (the instance's port) and "
                "pin the certificate with quellmark-settings trust.";
    }
    records.push_back(ErrorEntry{std::move(summary), {}, 0, cause});
    return records;
}

std::vector<ErrorEntry> ExplainUnanswered(std::vector<ErrorEntry> records, const SqlServerAddress& address,
                                          const std::string& what) {
    records.push_back(ErrorEntry{"Cannot connect to the SQL Server at " + address.Label() + ": " + WithPeriod(what),
                                 {},
                                 0,
                                 FailureCause::ConnectionLost});
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

}  // namespace quellmark::data_access::sqlserver
