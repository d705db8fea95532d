// Which certificate a SQL Server must present before Quellmark logs in: the
// one pinned for it in the trust folder, or, with none pinned, one that an
// authority of the system's store signed for its host name. The refusal
// messages, and what `quellmark-settings trust` and `check` report.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data_access/sqlserver/certificate.h"

namespace quellmark::data_access::sqlserver {

// The folder of pinned certificates: $QUELLMARK_TRUST_DIR when set and not
// empty, else /etc/quellmark/trusted-servers.
std::filesystem::path TrustFolder();

// Stands for the settings file in a refusal message; whoever knows the
// file's path puts it in (ReplaceSettingsFileMark).
inline constexpr std::string_view kSettingsFileMark = "<settings file>";
std::string ReplaceSettingsFileMark(std::string text, const std::string& settingsFile);

struct ServerTrust {
    std::string Server;             // as the settings give it: "host,port" or "host"
    std::filesystem::path PinFile;  // <trust folder>/<Server>.pem
    std::optional<Certificate> Pinned;
};

// The trust for a server named as the settings give it. Throws
// quellmark::data_access::Error for a name that cannot name a file, or a pin file that
// exists but cannot be read or holds no certificate.
ServerTrust TrustFor(std::string_view server);

// Writes `certificate` as the pin file of `trust` (PEM, mode 0644, replacing
// any), creating the trust folder when missing. Throws quellmark::data_access::Error.
void Pin(const ServerTrust& trust, const Certificate& certificate);

// The lines an operator compares with the administrator's: subject, issuer,
// validity, SHA-256 fingerprint, SHA-1 thumbprint; each line starts with
// `indent`.
std::string Describe(const Certificate& certificate, const std::string& indent = "  ");

// Why the login to `where` ("host,port") was refused, the certificate's
// details and what to do; starts with "WARNING:" for a certificate that
// differs from the pinned one.
std::string RefusalMessage(const std::string& where, const ServerTrust& trust, const Verdict& verdict,
                           const std::vector<Certificate>& chain, bool integratedSecurity);

// What made a server's certificate trusted, for `check`: the pin and its
// fingerprint, or the authority.
std::string TrustApplied(const ServerTrust& trust, const Verdict& verdict);

// The SQL Server an OLE DB connection string (Provider=SQLOLEDB) names.
struct ServerEndpoint {
    std::string Server;  // as written, naming the pin file
    std::string Host;
    int Port = 1433;
    std::string Label;  // "host,port", for messages
};

// Throws quellmark::data_access::Error for a connection string that names no usable
// server, or a named instance (whose port only the driver finds out).
ServerEndpoint EndpointOf(const std::string& connectionString);

// The server's certificate chain, read through a TLS handshake without a
// login (prelogin_probe.h). Throws quellmark::data_access::Error saying why there is none.
std::vector<Certificate> FetchCertificates(const ServerEndpoint& endpoint, int timeoutSeconds);

// For a server just logged in to: what made its certificate trusted (a pin
// needs no network; the authority is found by fetching the certificate again).
std::string TrustAppliedFor(const std::string& connectionString, int timeoutSeconds);

}  // namespace quellmark::data_access::sqlserver
