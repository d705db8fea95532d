// quellmark-settings trust FILE [--fingerprint HEX]: reads the server from
// the settings file, fetches its certificate without logging in, shows it and
// pins it in the trust folder once the operator confirmed it (at the prompt,
// or with the fingerprint given).
#pragma once

#include <string>

#include "settings/settings_command.h"

namespace quellmark::settings_tool {

// Exit status kDone pinned (or already pinned), kFailed not pinned (a
// mismatch, no confirmation, no certificate); throws UsageError.
int Trust(const Arguments& arguments);

// The line check prints after a good count: which trust applied.
std::string TrustLine(const std::string& connectionString, int timeoutSeconds);

}  // namespace quellmark::settings_tool
