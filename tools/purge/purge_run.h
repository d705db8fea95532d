// One run of quellmark-purge, from its checked statement to the status the
// command ends with: the JSON file, the keytab, the connection, the locks,
// the chunks, then the summary line, the JSON summary, the metrics and the
// audit record.
#pragma once

#include <string>

#include "ops/unattended/statement_guard.h"
#include "purge/purge_options.h"
#include "purge/stop_signals.h"

namespace quellmark::purge_tool {

namespace unattended = ops::unattended;

// A message of quellmark-purge on standard error, its name before it.
void Say(const std::string& text);

// Runs `statement` as `options` ask and returns the exit status.
// `loginLeftBehind` is set when a stop came during the login, which then
// goes on by itself on a thread of its own.
int RunPurgeCommand(const PurgeOptions& options, const unattended::PurgeStatement& statement, StopSignals& signals,
                    bool& loginLeftBehind);

}  // namespace quellmark::purge_tool
