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
using base::Layout;
using base::MessageEnd;
using base::Report;

// The fetch waits no longer than a login by default, whatever the settings say.
constexpr int kMaxFetchSeconds = 15;

bool Confirmed(const std::string& where) {
    Report(stderr, "Trust this certificate for " + where + "? [y/N] ", Layout::OneLine, MessageEnd::Open);
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES" || answer == "Yes";
}

}  // namespace

int Trust(const Arguments& arguments) {
    const std::string& file = arguments.file;
    const std::optional<std::string>& fingerprint = arguments.fingerprint;
    if (!fingerprint && !StdinIsTerminal())
        throw UsageError{"without a terminal to ask on, trust needs --fingerprint HEX."};

    const ops::OnlineSettings settings = ops::ReadOnlineSettings(ops::SettingsConnStringForFile(file));
    const std::string connectionString = ops::BuildOnlineConnString(settings);
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

    const std::string& where = endpoint.Label;
    Report(stdout, "The SQL Server at " + where + " presents this certificate:\n" + sqlserver::Describe(presented),
           Layout::Lines, MessageEnd::Open);
    if (trust.Pinned && *trust.Pinned == presented) {
        Report(stdout, "It is already the certificate trusted for " + where + " (" + trust.PinFile.string() +
                           "); nothing changed.");
        return exit_code::kDone;
    }
    if (trust.Pinned)
        Say("WARNING: it DIFFERS from the certificate trusted for " + where + " until now (" + trust.PinFile.string() +
            "):\n" + sqlserver::Describe(*trust.Pinned) +
            "If the server's certificate was not replaced, another machine may be posing as the server.\n"
            "Trusting the new certificate replaces the old one.");
    if (fingerprint) {
        const bool sha256 = fingerprint->size() == presented.Sha256().size();
        const std::string& actual = sha256 ? presented.Sha256() : presented.Sha1();
        if (*fingerprint != actual) {
            Say("the fingerprint given, " + *fingerprint + ", is not the certificate's " +
                (sha256 ? "SHA-256 fingerprint " : "SHA-1 thumbprint ") + actual + "; nothing was pinned.");
            return exit_code::kFailed;
        }
    } else if (!Confirmed(where)) {
        Say("nothing was pinned.");
        return exit_code::kFailed;
    }
    sqlserver::Pin(trust, presented);
    return Report(stdout,
                  "Pinned for " + where + ": " + trust.PinFile.string() + " (SHA-256 " + presented.Sha256() + ")")
               ? exit_code::kDone
               : exit_code::kFailed;
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
