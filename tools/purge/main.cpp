// quellmark-purge: the window's chunked deletion, unattended. See kUsage and
// the manual page quellmark-purge(1).
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "data_access/data_access.h"
#include "ops/unattended/statement_guard.h"
#include "purge/purge_options.h"
#include "purge/purge_report.h"
#include "purge/purge_run.h"
#include "purge/run_file.h"
#include "purge/stop_signals.h"

namespace {

namespace unattended = quellmark::ops::unattended;
namespace tool = quellmark::purge_tool;
namespace exit_code = tool::exit_code;
using tool::Say;

std::string ReadStatement(const tool::PurgeOptions& options) {
    if (options.statement) return *options.statement;
    // A scheduled run's statement is no easier to change than its job.
    return tool::ReadRunFile(*options.statementFile, "statement file", options.job.has_value());
}

// The command line and the statement it names, then the run.
// `loginLeftBehind` is set when a stop came during the login, which then
// goes on by itself on a thread of its own.
int Main(int argc, char** argv, tool::StopSignals& signals, bool& loginLeftBehind) {
    tool::PurgeOptions options;
    unattended::PurgeStatement statement;
    try {
        options = tool::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
        if (options.help) {
            const std::string_view usage = tool::kUsage;
            tool::Report(stdout, usage.substr(0, usage.find_last_not_of('\n') + 1));
            return exit_code::kDone;
        }
        if (options.version) {
            tool::Report(stdout, std::string("quellmark-purge ") + QUELLMARK_VERSION);
            return exit_code::kDone;
        }
        statement = unattended::CheckPurgeStatement(ReadStatement(options));
    } catch (const tool::UsageError& e) {
        Say(e.what());
        tool::Report(stderr, "Try quellmark-purge --help.");
        return exit_code::kUsage;
    } catch (const unattended::StatementRefused& e) {
        Say(e.what());
        return exit_code::kUsage;
    }
    return tool::RunPurgeCommand(options, statement, signals, loginLeftBehind);
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread starts: it sets the process's environment.
    quellmark::data_access::StartUp();
    // A closed standard output or error (a pipe whose reader went) fails the
    // writes to it and nothing else: the run ends as it would, its summary
    // in the JSON and its record in the journal.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        // Heard from here on: a stop is never lost, whatever phase the run is in.
        tool::StopSignals signals([](const char* note) { Say(note); });
        bool loginLeftBehind = false;
        const int code = Main(argc, argv, signals, loginLeftBehind);
        if (loginLeftBehind) {
            // The abandoned login's thread may still be inside the driver:
            // the process ends without running the libraries' exit handlers under it.
            std::fflush(nullptr);
            std::_Exit(code);
        }
        return code;
    } catch (const std::exception& e) {
        Say(std::string("internal error: ") + e.what());
        return exit_code::kInternal;
    }
}
