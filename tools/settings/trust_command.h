// quellmark-settings trust FILE [--fingerprint HEX]: reads the server from
// the settings file, fetches its certificate without logging in, shows it and
// pins it in the trust folder once the operator confirmed it (at the prompt,
// or with the fingerprint given).
#pragma once

#include <string>
#include <vector>

namespace quellmark::settings_tool {

// The lines --help shows for trust.
extern const char* const kTrustUsage;

// Exit status 0 pinned (or already pinned), 1 not pinned (a mismatch, no
// confirmation, no certificate); throws UsageError (status 2).
int Trust(const std::vector<std::string>& args);

// The line check prints after a good count: which trust applied.
std::string TrustLine(const std::string& connectionString, int timeoutSeconds);

}  // namespace quellmark::settings_tool
