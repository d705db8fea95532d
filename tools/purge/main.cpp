// quellmark-purge: the window's chunked deletion, unattended. See kUsage and
// the manual page quellmark-purge(1).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "base/lock_file.h"
#include "ops/audit_record.h"
#include "ops/chunk_sizer.h"
#include "ops/purge.h"
#include "ops/purge_lock.h"
#include "ops/purge_online.h"
#include "ops/purge_statement.h"
#include "ops/settings_file.h"
#include "purge/job_file.h"
#include "purge/keytab.h"
#include "purge/metrics_file.h"
#include "purge/purge_journal.h"
#include "purge/purge_options.h"
#include "purge/purge_report.h"
#include "purge/stop_signals.h"

namespace {

namespace purge = quellmark::purge;
namespace tool = quellmark::purge_tool;
namespace exit_code = tool::exit_code;

void Say(const std::string& text) { std::fprintf(stderr, "quellmark-purge: %s\n", text.c_str()); }

std::string ReadStatement(const tool::PurgeOptions& options) {
    if (options.statement) return *options.statement;
    // A scheduled run's statement is no easier to change than its job.
    if (options.job) tool::RefuseIfOthersCanWrite(*options.statementFile, "statement file");
    std::ifstream in(*options.statementFile, std::ios::binary);
    std::ostringstream text;
    if (!in || !(text << in.rdbuf()))
        throw tool::UsageError("cannot read the statement file \"" + *options.statementFile + "\".");
    return text.str();
}

// Where the JSON goes, opened before the run so that a bad path deletes nothing.
class JsonOutput {
public:
    explicit JsonOutput(const std::optional<std::string>& target) {
        if (!target || *target == "-") {
            toStdout_ = target.has_value();
            return;
        }
        file_.open(*target, std::ios::trunc);
        if (!file_) throw std::runtime_error("cannot write the JSON file \"" + *target + "\".");
    }
    bool ToStdout() const { return toStdout_; }
    void Write(const tool::RunRecord& record) {
        if (toStdout_) {
            std::fputs(tool::JsonSummary(record).c_str(), stdout);
            std::fflush(stdout);
        } else if (file_.is_open()) {
            file_ << tool::JsonSummary(record) << std::flush;
        }
    }

private:
    bool toStdout_ = false;
    std::ofstream file_;
};

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
void SendAuditRecord(const tool::RunRecord& record, const quellmark::modGeneral::OnlineSettings& settings,
                     std::chrono::steady_clock::time_point began) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const int sent =
        quellmark::audit::SendToJournal(tool::AuditRecordOf(record, quellmark::audit::LoginOf(settings), seconds));
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

int Main(int argc, char** argv, tool::StopSignals& signals) {
    tool::PurgeOptions options;
    purge::PurgeStatement statement;
    try {
        options = tool::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
        if (options.help) {
            std::fputs(tool::kUsage, stdout);
            return exit_code::kDone;
        }
        if (options.version) {
            std::printf("quellmark-purge %s\n", QUELLMARK_VERSION);
            return exit_code::kDone;
        }
        statement = purge::CheckPurgeStatement(ReadStatement(options));
    } catch (const tool::UsageError& e) {
        Say(e.what());
        std::fputs("Try quellmark-purge --help.\n", stderr);
        return exit_code::kUsage;
    } catch (const purge::StatementRefused& e) {
        Say(e.what());
        return exit_code::kUsage;
    }

    std::optional<JsonOutput> json;
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
    // A run that ends before it reaches the server still leaves its summary,
    // and its audit record once its settings were read.
    const auto failedBeforeTheRun = [&](const std::string& message,
                                        const quellmark::modGeneral::OnlineSettings* settings, int exitCode) {
        record.result.stopReason = purge::StopReason::Failed;
        record.result.failure = purge::StatementFailure(purge::FailureKind::Unavailable, 0, message);
        record.result.startedAt = record.result.endedAt = std::chrono::system_clock::now();
        if (settings) SendAuditRecord(record, *settings, began);
        json->Write(record);
        return WithMetrics(options, record, SecondsSince(began), exitCode);
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
    quellmark::modGeneral::OnlineConnection online;
    try {
        online = purge::OpenPurgeConnection(quellmark::modGeneral::SettingsConnStringForFile(settingsFile));
    } catch (const purge::OpenFailure& failure) {
        std::fprintf(stderr, "%s\n", failure.what());
        const bool settingsUnusable = failure.Which() == purge::OpenFailure::Cause::Settings;
        if (options.keytab && failure.Settings() && failure.Settings()->OnlConnType == "Windows Authentication")
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

    // One deletion run at a time per log, on this machine and on the server,
    // from before the first count to the end. A dry run deletes nothing and
    // takes neither lock, so it can look while a purge runs.
    std::optional<quellmark::base::LockFile> localLock;
    std::optional<purge::ServerRunLock> serverLock;
    // How a run that reached the server ends: the server's lock given back,
    // the connection closed, the summary line and the JSON.
    const auto finish = [&](std::optional<int> exitCode) {
        serverLock.reset();
        try {
            online.connection->Close();
        } catch (const std::exception&) {
            // The run's figures stand; the connection goes with the process.
        }
        SendAuditRecord(record, online.settings, began);
        std::fprintf(summaryOut, "%s\n", tool::SummaryLine(record).c_str());
        std::fflush(summaryOut);
        json->Write(record);
        return WithMetrics(options, record, SecondsSince(began), exitCode.value_or(tool::ExitCodeOf(record)));
    };
    // A run that cannot start: one message, then as above.
    const auto notRun = [&](purge::StopReason reason, const purge::StatementFailure& why, std::optional<int> exitCode) {
        std::fprintf(stderr, "%s\n", why.what());
        record.result.stopReason = reason;
        record.result.failure = why;
        record.result.startedAt = record.result.endedAt = std::chrono::system_clock::now();
        return finish(exitCode);
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
            return notRun(purge::StopReason::Failed, failure, std::nullopt);
        }
    }

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
    purge::StopRequest stop;
    tool::ProgressPrinter progress(stderr, ::isatty(STDERR_FILENO) == 1, options.quiet);
    tool::StatusNotifier observer(progress);
    signals.Watch(
        stop, [&database] { database.Cancel(); }, [](const char* note) { Say(note); });
    {
        // The watcher reaches `database`: it stops before `database` goes, however the run ends.
        struct StopWatching {
            tool::StopSignals& signals;
            ~StopWatching() { signals.Stop(); }
        } stopWatching{signals};
        record.result = purge::RunPurge(database, clock, stop, plan, observer);
    }
    progress.Finish();

    const purge::PurgeResult& result = record.result;
    if (options.dryRun && result.stopReason == purge::StopReason::Done) {
        std::fprintf(summaryOut, "quellmark-purge: %s.\n", tool::TableLockText(record.mostRowsPerChunk).c_str());
        if (result.log) std::fprintf(summaryOut, "quellmark-purge: %s.\n", purge::LogStateText(*result.log).c_str());
    }
    if (result.failure &&
        (result.stopReason == purge::StopReason::Failed || result.stopReason == purge::StopReason::RetriesExhausted))
        std::fprintf(stderr, "%s\n", result.failure->what());
    if (stop.Level() >= 2 && serverLock) serverLock->LeaveToSessionEnd();
    return finish(std::nullopt);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        tool::StopSignals signals;
        return Main(argc, argv, signals);
    } catch (const std::exception& e) {
        Say(std::string("internal error: ") + e.what());
        return exit_code::kInternal;
    }
}
