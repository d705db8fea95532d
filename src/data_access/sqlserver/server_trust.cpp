#include "data_access/sqlserver/server_trust.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "base/text.h"
#include "base/unique_fd.h"
#include "data_access/connection_string.h"
#include "data_access/data_access.h"
#include "data_access/sqlserver/driver_connection_string.h"
#include "data_access/sqlserver/prelogin_probe.h"

namespace quellmark::data_access::sqlserver {
namespace {

constexpr const char* kDefaultTrustFolder = "/etc/quellmark/trusted-servers";

std::string Reasons(const Verdict& verdict, const std::string& host, const Certificate& certificate,
                    const std::time_t now) {
    std::string text;
    const auto add = [&](const std::string& reason) { text += (text.empty() ? "" : "; ") + reason; };
    if (verdict.Has(Problem::UntrustedAuthority)) add("it is not signed by an authority this computer trusts");
    if (verdict.Has(Problem::OtherHost)) {
        std::string names;
        for (const std::string& name : certificate.Names()) names += (names.empty() ? "" : ", ") + name;
        add("it names another host (" + (names.empty() ? std::string("no host at all") : names) + "), not " + host);
    }
    if (verdict.Has(Problem::OutsideValidity)) {
        add(certificate.NotAfter() < now ? "it expired on " + UtcTime(certificate.NotAfter())
                                         : "it is not valid before " + UtcTime(certificate.NotBefore()));
    }
    return text;
}

std::string HostOf(const std::string& where) {
    const std::size_t comma = where.rfind(',');
    return comma == std::string::npos ? where : where.substr(0, comma);
}

}  // namespace

std::filesystem::path TrustFolder() {
    const char* folder = std::getenv("QUELLMARK_TRUST_DIR");
    return (folder && *folder) ? std::filesystem::path(folder) : std::filesystem::path(kDefaultTrustFolder);
}

std::string ReplaceSettingsFileMark(std::string text, const std::string& settingsFile) {
    for (std::size_t at = text.find(kSettingsFileMark); at != std::string::npos;
         at = text.find(kSettingsFileMark, at + settingsFile.size()))
        text.replace(at, kSettingsFileMark.size(), settingsFile);
    return text;
}

ServerTrust TrustFor(std::string_view server) {
    ServerTrust trust;
    trust.Server = std::string(TrimSpaces(server));
    if (trust.Server.empty() || trust.Server.find('/') != std::string::npos ||
        trust.Server.find('\0') != std::string::npos)
        throw Error("The server name \"" + trust.Server +
                    "\" cannot name a file of trusted certificates; write the server's host name.");
    trust.PinFile = TrustFolder() / (trust.Server + ".pem");
    std::ifstream in(trust.PinFile, std::ios::binary);
    if (!in) {
        std::error_code error;
        if (std::filesystem::exists(trust.PinFile, error))
            throw Error("The certificate trusted for " + trust.Server + " cannot be read from " +
                        trust.PinFile.string() + ": " + std::strerror(errno) + ".");
        return trust;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::vector<Certificate> certificates = Certificate::FromPem(text.str());
    if (certificates.empty())
        throw Error("The file " + trust.PinFile.string() + ", which should hold the certificate trusted for " +
                    trust.Server +
                    ", holds no PEM certificate; pin the server's certificate again with "
                    "quellmark-settings trust.");
    // The first certificate is the trust; anything after it is ignored.
    trust.Pinned = certificates.front();
    return trust;
}

void Pin(const ServerTrust& trust, const Certificate& certificate) {
    const std::filesystem::path folder = trust.PinFile.parent_path();
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error)
        throw Error("The trust folder " + folder.string() + " cannot be created: " + error.message() +
                    " (it belongs to root: run the command with sudo).");
    const std::string pem = certificate.Pem();
    const std::filesystem::path temporary = trust.PinFile.string() + ".new";
    {
        const quellmark::base::UniqueFd fd(
            ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
        if (!fd)
            throw Error("The certificate cannot be written to " + temporary.string() + ": " + std::strerror(errno) +
                        (errno == EACCES ? " (the trust folder belongs to root: run the command with sudo)." : "."));
        ::fchmod(fd.Get(), 0644);
        if (::write(fd.Get(), pem.data(), pem.size()) != static_cast<ssize_t>(pem.size()) || ::fsync(fd.Get()) != 0) {
            ::unlink(temporary.c_str());
            throw Error("The certificate cannot be written to " + temporary.string() + ".");
        }
    }
    if (::rename(temporary.c_str(), trust.PinFile.c_str()) != 0) {
        const int saved = errno;
        ::unlink(temporary.c_str());
        throw Error("The certificate cannot be stored as " + trust.PinFile.string() + ": " + std::strerror(saved) +
                    ".");
    }
}

std::string Describe(const Certificate& certificate, const std::string& indent) {
    return indent + "Subject:             " + certificate.Subject() + "\n" + indent +
           "Issuer:              " + certificate.Issuer() + "\n" + indent + "Valid:               from " +
           UtcTime(certificate.NotBefore()) + " to " + UtcTime(certificate.NotAfter()) + "\n" + indent +
           "SHA-256 fingerprint: " + certificate.Sha256() + "\n" + indent +
           "SHA-1 thumbprint:    " + certificate.Sha1() + "\n";
}

std::string RefusalMessage(const std::string& where, const ServerTrust& trust, const Verdict& verdict,
                           const std::vector<Certificate>& chain, bool integratedSecurity) {
    const Certificate& presented = chain.front();
    const std::string nothingSent = integratedSecurity ? "No Kerberos ticket was sent to it."
                                                       : "Neither the user name nor the password was sent to it.";
    // The default trust folder belongs to root.
    const std::string pinCommand = std::string(TrustFolder() == kDefaultTrustFolder ? "sudo " : "") +
                                   "quellmark-settings trust " + std::string(kSettingsFileMark);
    if (verdict.Has(Problem::DiffersFromPinned)) {
        return "WARNING: the SQL Server at " + where +
               " presented a certificate that differs from the certificate trusted for this server (" +
               trust.PinFile.string() + "). Another machine may be posing as the server. Quellmark did not log in. " +
               nothingSent + "\nPresented certificate:\n" + Describe(presented) + "Trusted certificate:\n" +
               Describe(*trust.Pinned) +
               "Ask the database administrator whether the server's certificate was replaced and compare its "
               "fingerprint with the one presented; only then replace the trusted certificate with: " +
               pinCommand;
    }
    const std::time_t now = std::time(nullptr);
    std::string text = "Quellmark did not log in to the SQL Server at " + where + ": the certificate it presented " +
                       "cannot be trusted: " + Reasons(verdict, HostOf(where), presented, now) + ". " + nothingSent +
                       "\nCertificate:\n" + Describe(presented);
    if (trust.Pinned) {
        text += "It is the certificate trusted for this server (" + trust.PinFile.string() +
                "); the server needs a new certificate, which the database administrator provides.";
    } else {
        text +=
            "If the database administrator confirms this SHA-256 fingerprint (or the SHA-1 thumbprint SQL "
            "Server shows for its certificate), trust it with: " +
            pinCommand;
    }
    return text;
}

std::string TrustApplied(const ServerTrust& trust, const Verdict& verdict) {
    if (trust.Pinned)
        return "the certificate pinned in " + trust.PinFile.string() + " (SHA-256 " + trust.Pinned->Sha256() + ")";
    return "a certificate for this host signed by the authority " +
           (verdict.Authority.empty() ? std::string("of the system's store") : verdict.Authority) + " (system store " +
           kSystemAuthorities + ")";
}

ServerEndpoint EndpointOf(const std::string& connectionString) {
    const sqlserver::OdbcLogin login =
        sqlserver::TranslateConnectionString(ConnectionProperties::Parse(connectionString));
    if (!login.Address.Instance.empty())
        throw Error("The server " + login.Server +
                    " is named with an instance, whose port only the SQL Server Browser tells; write the server as "
                    "host,port to check its certificate.");
    return ServerEndpoint{login.Server, login.Address.Host, login.Address.Port, login.Address.Label()};
}

std::vector<Certificate> FetchCertificates(const ServerEndpoint& endpoint, int timeoutSeconds) {
    ProbeResult probe = ProbeServer(endpoint.Host, endpoint.Port, timeoutSeconds, true);
    if (probe.Chain.empty())
        throw Error("The certificate of the SQL Server at " + endpoint.Label + " cannot be read: " + probe.Problem +
                    ".");
    return std::move(probe.Chain);
}

std::string TrustAppliedFor(const std::string& connectionString, int timeoutSeconds) {
    const ServerEndpoint endpoint = EndpointOf(connectionString);
    const ServerTrust trust = TrustFor(endpoint.Server);
    if (trust.Pinned) return TrustApplied(trust, Verdict{});
    const std::vector<Certificate> chain = FetchCertificates(endpoint, timeoutSeconds);
    return TrustApplied(trust, Evaluate(chain, std::nullopt, endpoint.Host, std::time(nullptr), kSystemAuthorities));
}

}  // namespace quellmark::data_access::sqlserver
