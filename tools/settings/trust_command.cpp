#include "settings/trust_command.h"

#include <iostream>
#include <optional>

#include "base/terminal_text.h"
#include "data_access/data_access.h"
#include "data_access/sqlserver/server_trust.h"
#include "ops/modGeneral.h"
#include "ops/settings_file.h"
#include "settings/password_input.h"
#include "settings/settings_row.h"

namespace quellmark::settings_tool {
namespace {

namespace sqlserver = quellmark::data_access::sqlserver;
using quellmark::base::VisibleLines;

// The fetch waits no longer than a login by default, whatever the settings say.
constexpr int kMaxFetchSeconds = 15;

bool Confirmed(const std::string& where) {
    std::cerr << "Trust this certificate for " << where << "? [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES" || answer == "Yes";
}

}  // namespace

const char* const kTrustUsage =
    "trust reads the server from FILE, fetches its certificate without logging in (no\n"
    "user name, password or Kerberos ticket is sent), shows its subject, issuer,\n"
    "validity, SHA-256 fingerprint and SHA-1 thumbprint, and pins it for that server in\n"
    "the trust folder (/etc/quellmark/trusted-servers, or $QUELLMARK_TRUST_DIR) once it\n"
    "is confirmed: on a terminal it asks; otherwise it needs\n"
    "  --fingerprint HEX  the SHA-256 fingerprint or SHA-1 thumbprint the database\n"
    "                     administrator gave (colons optional, any case); when it does\n"
    "                     not match, nothing is pinned and the exit status is 1\n"
    "Replacing a different certificate pinned before is announced with a warning and\n"
    "needs the same confirmation.\n";

int Trust(const std::vector<std::string>& args) {
    std::string file;
    std::optional<std::string> fingerprint;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--fingerprint") {
            if (i + 1 >= args.size()) throw UsageError{"--fingerprint needs a value."};
            if (fingerprint) throw UsageError{"--fingerprint is given twice."};
            fingerprint = sqlserver::NormalizeFingerprint(args[++i]);
            if (!fingerprint)
                throw UsageError{
                    "--fingerprint takes a SHA-256 fingerprint (64 hex digits) or a SHA-1 thumbprint "
                    "(40 hex digits), colons optional."};
            continue;
        }
        if (args[i].rfind("--", 0) == 0) throw UsageError{"unknown option \"" + args[i] + "\"."};
        if (!file.empty()) throw UsageError{"trust takes one FILE; \"" + args[i] + "\" is one too many."};
        file = args[i];
    }
    if (file.empty()) throw UsageError{"trust needs a FILE."};
    if (!fingerprint && !StdinIsTerminal())
        throw UsageError{"without a terminal to ask on, trust needs --fingerprint HEX."};

    const modGeneral::OnlineSettings settings =
        modGeneral::ReadOnlineSettings(modGeneral::SettingsConnStringForFile(file));
    const std::string connectionString = modGeneral::BuildOnlineConnString(settings);
    if (connectionString.empty())
        throw quellmark::data_access::Error("The settings file " + file + " names the connection type \"" +
                                            settings.OnlConnType + "\", which Quellmark does not know.");
    const sqlserver::ServerEndpoint endpoint = sqlserver::EndpointOf(connectionString);
    const sqlserver::ServerTrust trust = sqlserver::TrustFor(endpoint.Server);
    const int seconds = settings.OnlConnTimeout > 0 && settings.OnlConnTimeout < kMaxFetchSeconds
                            ? settings.OnlConnTimeout
                            : kMaxFetchSeconds;
    const std::vector<sqlserver::Certificate> chain = sqlserver::FetchCertificates(endpoint, seconds);
    const sqlserver::Certificate& presented = chain.front();

    std::cout << "The SQL Server at " << endpoint.Label << " presents this certificate:\n"
              << VisibleLines(sqlserver::Describe(presented));
    if (trust.Pinned && *trust.Pinned == presented) {
        std::cout << "It is already the certificate trusted for " << endpoint.Label << " (" << trust.PinFile.string()
                  << "); nothing changed.\n";
        return 0;
    }
    if (trust.Pinned) {
        std::cerr << "WARNING: it DIFFERS from the certificate trusted for " << endpoint.Label << " until now ("
                  << trust.PinFile.string() << "):\n"
                  << VisibleLines(sqlserver::Describe(*trust.Pinned))
                  << "If the server's certificate was not replaced, another machine may be posing as the server.\n"
                     "Trusting the new certificate replaces the old one.\n";
    }
    if (fingerprint) {
        const bool sha256 = fingerprint->size() == presented.Sha256().size();
        const std::string& actual = sha256 ? presented.Sha256() : presented.Sha1();
        if (*fingerprint != actual) {
            std::cerr << "The fingerprint given, " << *fingerprint << ", is not the certificate's "
                      << (sha256 ? "SHA-256 fingerprint" : "SHA-1 thumbprint") << " " << actual
                      << "; nothing was pinned.\n";
            return 1;
        }
    } else if (!Confirmed(endpoint.Label)) {
        std::cerr << "Nothing was pinned.\n";
        return 1;
    }
    sqlserver::Pin(trust, presented);
    std::cout << "Pinned for " << endpoint.Label << ": " << trust.PinFile.string() << " (SHA-256 " << presented.Sha256()
              << ")\n";
    std::cout.flush();
    return std::cout ? 0 : 1;
}

std::string TrustLine(const std::string& connectionString, int timeoutSeconds) {
    const int seconds = timeoutSeconds > 0 && timeoutSeconds < kMaxFetchSeconds ? timeoutSeconds : kMaxFetchSeconds;
    try {
        return "trusted: " + sqlserver::TrustAppliedFor(connectionString, seconds);
    } catch (const quellmark::data_access::Error& e) {
        return std::string("trusted: cannot tell (") + e.what() + ")";
    }
}

}  // namespace quellmark::settings_tool
