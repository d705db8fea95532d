// quellmark-purge: the window's chunked deletion, unattended. See kUsage and
// the manual page quellmark-purge(1).
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "base/lock_file.h"
#include "data_access/data_access.h"
#include "data_access/value_types.h"
#include "ops/audit_record.h"
#include "ops/chunk_sizer.h"
#include "ops/modGeneral.h"
#include "ops/purge.h"
#include "ops/purge_lock.h"
#include "ops/purge_online.h"
#include "ops/purge_statement.h"
#include "ops/settings_file.h"
#include "purge/keytab.h"
#include "purge/metrics_file.h"
#include "purge/purge_journal.h"
#include "purge/purge_options.h"
#include "purge/purge_report.h"
#include "purge/run_file.h"
#include "purge/stop_signals.h"

namespace {

namespace purge = quellmark::purge;
namespace tool = quellmark::purge_tool;
namespace exit_code = tool::exit_code;

void Say(const std::string& text) { tool::Report(stderr, "quellmark-purge: " + text); }

std::string ReadStatement(const tool::PurgeOptions& options) {
    if (options.statement) return *options.statement;
    // A scheduled run's statement is no easier to change than its job.
    return tool::ReadRunFile(*options.statementFile, "statement file", options.job.has_value());
}

std::vector<purge::Deadline> Deadlines(const tool::PurgeOptions& options) {
    std::vector<purge::Deadline> deadlines;
    const auto now = std::chrono::steady_clock::now();
    if (options.maxRuntime) deadlines.push_back({now + *options.maxRuntime, purge::StopReason::MaxRuntime});
    if (options.untilMinute) {
        const auto wallNow = std::chrono::system_clock::now();
        const auto at = tool::NextLocalTime(*options.untilMinute, wallNow);
        deadlines.push_back({now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(at - wallNow),
                             purge::StopReason::Until});
    }
    return deadlines;
}

// Leaves the run's audit record in the system journal. Only a journal that
// is there and refuses the record is worth a note.
void SendAuditRecord(const tool::RunRecord& record, int exitCode, const std::string& note,
                     const quellmark::modGeneral::OnlineSettings& settings,
                     std::chrono::steady_clock::time_point began) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const int sent = quellmark::audit::SendToJournal(
        tool::AuditRecordOf(record, exitCode, quellmark::audit::LoginOf(settings), seconds, note));
    if (sent < 0 && !quellmark::audit::NoJournal(sent))
        Say(std::string("the system journal did not take the run's record: ") + std::strerror(-sent));
}

double SecondsSince(std::chrono::steady_clock::time_point began) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
}

// Writes the metrics file, when asked for, at the end of a run but a dry
// run. One that cannot be written turns a run that finished or stopped into
// 74, so that a timer's unit fails where monitoring would not notice.
int WithMetrics(const tool::PurgeOptions& options, const tool::RunRecord& record, double seconds, int exitCode) {
    if (!options.metrics || options.dryRun) return exitCode;
    try {
        tool::WriteMetricsFile(*options.metrics, tool::MetricsOf(record, options.job, seconds, exitCode));
    } catch (const tool::MetricsFileError& e) {
        Say(e.what());
        if (exitCode == exit_code::kDone || exitCode == exit_code::kStopped) return exit_code::kIoError;
    }
    return exitCode;
}

// `loginLeftBehind` is set when a stop came during the login, which then
// goes on by itself on a thread of its own.
int Main(int argc, char** argv, tool::StopSignals& signals, bool& loginLeftBehind) {
    tool::PurgeOptions options;
    purge::PurgeStatement statement;
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
        statement = purge::CheckPurgeStatement(ReadStatement(options));
    } catch (const tool::UsageError& e) {
        Say(e.what());
        tool::Report(stderr, "Try quellmark-purge --help.");
        return exit_code::kUsage;
    } catch (const purge::StatementRefused& e) {
        Say(e.what());
        return exit_code::kUsage;
    }

    std::optional<tool::JsonFile> json;
    try {
        json.emplace(options.json);
    } catch (const std::exception& e) {
        Say(e.what());
        return exit_code::kCantCreate;
    }
    std::FILE* summaryOut = json->ToStdout() ? stderr : stdout;

    tool::RunRecord record;
    record.statement = statement.deleteStatement;
    record.chunkSize = statement.chunkSize;
    record.mostRowsPerChunk = purge::MostRowsPerChunk(statement.chunkSize, options.allowTableLock);
    record.chunkTime = options.chunkTime;
    record.dryRun = options.dryRun;

    const auto began = std::chrono::steady_clock::now();
    // Every run ends here: its JSON summary written (a summary that could not
    // be written is reported, and the status says so), then its audit record
    // with the status the command ends with, once its settings were read.
    const auto conclude = [&](int exitCode, const quellmark::modGeneral::OnlineSettings* settings) {
        std::string note;
        try {
            json->Write(record);
        } catch (const std::exception& e) {
            Say(e.what());
            note = std::string("its JSON summary was not written: ") + e.what();
            exitCode = tool::ExitCodeWithoutJson(exitCode);
        }
        exitCode = WithMetrics(options, record, SecondsSince(began), exitCode);
        if (settings) SendAuditRecord(record, exitCode, note, *settings, began);
        return exitCode;
    };
    // A run that ends before it reaches the server still leaves its summary,
    // and its audit record once its settings were read.
    const auto failedBeforeTheRun = [&](const std::string& message,
                                        const quellmark::modGeneral::OnlineSettings* settings, int exitCode) {
        record.result.stopReason = purge::StopReason::Failed;
        record.result.failure = purge::StatementFailure(purge::FailureKind::Unavailable, 0, message);
        record.result.startedAt = record.result.endedAt = std::chrono::system_clock::now();
        return conclude(exitCode, settings);
    };
    if (options.keytab) {
        try {
            if (const std::string warning = tool::UseClientKeytab(*options.keytab); !warning.empty())
                Say("warning: " + warning);
        } catch (const tool::KeytabError& e) {
            Say(e.what());
            return failedBeforeTheRun(e.what(), nullptr, exit_code::kSettings);
        }
    }

    const std::string settingsFile = options.settingsFile ? *options.settingsFile : tool::DefaultSettingsFile();
    const std::string settingsConnString = quellmark::modGeneral::SettingsConnStringForFile(settingsFile);
    quellmark::modGeneral::OnlineConnection online;
    // The watcher cancels statements on the connection: it stops before the
    // connection goes, however the run ends.
    struct StopWatching {
        tool::StopSignals& signals;
        ~StopWatching() { signals.Stop(); }
    } stopWatching{signals};
    try {
        std::optional<quellmark::modGeneral::OnlineConnection> opened =
            tool::UnlessStopped<quellmark::modGeneral::OnlineConnection>(
                signals.Requested(), [settingsConnString] { return purge::OpenPurgeConnection(settingsConnString); });
        if (!opened) {
            loginLeftBehind = true;
            std::optional<quellmark::modGeneral::OnlineSettings> settings;
            try {
                settings = quellmark::modGeneral::ReadOnlineSettings(settingsConnString);
            } catch (const quellmark::data_access::Error&) {
                // The record then goes without the server's name, as after a failure to read them.
            }
            if (settings) {
                record.server = purge::ServerName(*settings);
                record.database = settings->OnlDatabase;
            }
            record.result.stopReason = purge::StopReason::Signal;
            record.result.startedAt = record.result.endedAt = std::chrono::system_clock::now();
            tool::Report(summaryOut, tool::SummaryLine(record));
            return conclude(exit_code::kStopped, settings ? &*settings : nullptr);
        }
        online = std::move(*opened);
    } catch (const purge::OpenFailure& failure) {
        tool::Report(stderr, failure.what());
        const bool settingsUnusable = failure.Which() == purge::OpenFailure::Cause::Settings;
        if (options.keytab && failure.Settings() &&
            quellmark::modGeneral::ConnTypeOf(failure.Settings()->OnlConnType) ==
                quellmark::modGeneral::ConnType::Windows)
            Say(tool::KeytabAdvice(*options.keytab));
        if (failure.Settings()) {
            record.server = purge::ServerName(*failure.Settings());
            record.database = failure.Settings()->OnlDatabase;
        }
        return failedBeforeTheRun(failure.what(), failure.Settings() ? &*failure.Settings() : nullptr,
                                  settingsUnusable ? exit_code::kSettings : exit_code::kUnavailable);
    }
    record.server = purge::ServerName(online.settings);
    record.database = online.settings.OnlDatabase;
    signals.CancelWith([&online] { online.connection->Cancel(); });

    // One deletion run at a time per log, on this machine and on the server,
    // from before the first count to the end. A dry run deletes nothing and
    // takes neither lock, so it can look while a purge runs.
    std::optional<quellmark::base::LockFile> localLock;
    std::optional<purge::ServerRunLock> serverLock;
    // How a run that reached the server ends: the server's lock given back,
    // the connection closed, the summary line, the JSON and the record.
    const auto finish = [&](std::optional<int> exitCode) {
        signals.Stop();  // nothing cancels on the connection while it closes
        serverLock.reset();
        try {
            online.connection->Close();
        } catch (const std::exception&) {
            // The run's figures stand; the connection goes with the process.
        }
        tool::Report(summaryOut, tool::SummaryLine(record));
        std::fflush(summaryOut);
        return conclude(exitCode.value_or(tool::ExitCodeOf(record)), &online.settings);
    };
    // A run that cannot start: one message, then as above.
    const auto notRun = [&](purge::StopReason reason, const purge::StatementFailure& why, std::optional<int> exitCode) {
        tool::Report(stderr, why.what());
        record.result.stopReason = reason;
        record.result.failure = why;
        record.result.startedAt = record.result.endedAt = std::chrono::system_clock::now();
        return finish(exitCode);
    };
    // A stop before the chunks begin: the run ends, nothing deleted.
    const auto stoppedBeforeTheRun = [&] {
        record.result.stopReason = purge::StopReason::Signal;
        record.result.startedAt = record.result.endedAt = std::chrono::system_clock::now();
        return finish(exit_code::kStopped);
    };
    if (!options.dryRun) {
        try {
            localLock.emplace(purge::TakeLocalLock(purge::LockFolder(), *record.server, *record.database));
            serverLock.emplace(*online.connection, *record.server, *record.database);
        } catch (const purge::LockHeld& held) {
            return notRun(purge::StopReason::LockHeld,
                          purge::StatementFailure(purge::FailureKind::Rejected, 0, held.what()), exit_code::kStopped);
        } catch (const quellmark::base::LockFileError& e) {
            return notRun(
                purge::StopReason::Failed,
                purge::StatementFailure(purge::FailureKind::Internal, 0, std::string("quellmark-purge: ") + e.what()),
                exit_code::kCantCreate);
        } catch (const purge::StatementFailure& failure) {
            if (signals.Requested().Level() > 0) return stoppedBeforeTheRun();  // the lock's statement, cancelled
            return notRun(purge::StopReason::Failed, failure, std::nullopt);
        }
    }
    signals.RunStarting();
    if (signals.Requested().Level() > 0) return stoppedBeforeTheRun();

    purge::PurgePlan plan;
    plan.deleteStatement = statement.deleteStatement;
    plan.countStatement = statement.countStatement;
    plan.chunkSize = statement.chunkSize;
    plan.lockTimeoutMs = options.lockTimeoutMs;
    plan.pauseMs = options.pauseMs;
    plan.retries = options.retries;
    plan.deadlines = Deadlines(options);
    plan.dryRun = options.dryRun;
    plan.chunkTime = options.chunkTime;
    plan.allowTableLock = options.allowTableLock;
    plan.maxLogUsedPercent = options.maxLogUsedPercent;
    plan.maxLogWait = options.maxLogWait;
    if (!options.dryRun && purge::MayLockTable(record.mostRowsPerChunk))
        Say("warning: " + tool::TableLockText(record.mostRowsPerChunk) + " (--allow-table-lock).");

    purge::OnlinePurgeDatabase database(*online.connection);
    purge::SystemClock clock;
    tool::ProgressPrinter progress(stderr, ::isatty(STDERR_FILENO) == 1, options.quiet);
    tool::StatusNotifier observer(progress);
    record.result = purge::RunPurge(database, clock, signals.Requested(), plan, observer);
    progress.Finish();

    const purge::PurgeResult& result = record.result;
    if (options.dryRun && result.stopReason == purge::StopReason::Done) {
        std::fprintf(summaryOut, "quellmark-purge: %s.\n", tool::TableLockText(record.mostRowsPerChunk).c_str());
        if (result.log) std::fprintf(summaryOut, "quellmark-purge: %s.\n", purge::LogStateText(*result.log).c_str());
    }
    if (result.failure &&
        (result.stopReason == purge::StopReason::Failed || result.stopReason == purge::StopReason::RetriesExhausted))
        tool::Report(stderr, result.failure->what());
    if (signals.Requested().Level() >= 2 && serverLock) serverLock->LeaveToSessionEnd();
    return finish(std::nullopt);
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
