#include "purge/purge_run.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/lock_file.h"
#include "base/scope_exit.h"
#include "data_access/value_types.h"
#include "ops/audit_record.h"
#include "ops/modGeneral.h"
#include "ops/unattended/chunk_sizer.h"
#include "ops/unattended/online_database.h"
#include "ops/unattended/run.h"
#include "ops/unattended/run_lock.h"
#include "purge/keytab.h"
#include "purge/metrics_file.h"
#include "purge/purge_journal.h"
#include "purge/purge_report.h"

namespace quellmark::purge_tool {

void Say(const std::string& text) { Report(stderr, "quellmark-purge: " + text); }

namespace {

using ops::OnlineConnection;
using ops::OnlineSettings;

std::vector<unattended::Deadline> Deadlines(const PurgeOptions& options) {
    std::vector<unattended::Deadline> deadlines;
    const auto now = std::chrono::steady_clock::now();
    if (options.maxRuntime) deadlines.push_back({now + *options.maxRuntime, unattended::StopReason::MaxRuntime});
    if (options.untilMinute) {
        const auto wallNow = std::chrono::system_clock::now();
        const auto at = NextLocalTime(*options.untilMinute, wallNow);
        deadlines.push_back({now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(at - wallNow),
                             unattended::StopReason::Until});
    }
    return deadlines;
}

unattended::PurgePlan PlanOf(const PurgeOptions& options, const unattended::PurgeStatement& statement) {
    unattended::PurgePlan plan;
    plan.deleteStatement = statement.deleteStatement;
    plan.countStatement = statement.countStatement;
    plan.chunkSize = statement.chunkSize;
    plan.lockTimeoutMs = options.lockTimeoutMs;
    plan.pauseMs = PauseBetweenChunksMs(options);
    plan.retries = options.retries;
    plan.deadlines = Deadlines(options);
    plan.dryRun = options.dryRun;
    plan.chunkTime = options.chunkTime;
    plan.allowTableLock = options.allowTableLock;
    plan.maxLogUsedPercent = options.maxLogUsedPercent;
    plan.maxLogWait = options.maxLogWait;
    return plan;
}

double SecondsSince(std::chrono::steady_clock::time_point began) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
}

// Leaves the run's audit record in the system journal. Only a journal that
// is there and refuses the record is worth a note.
void SendAuditRecord(const RunRecord& record, int exitCode, const std::string& note, const OnlineSettings& settings,
                     std::chrono::steady_clock::time_point began) {
    const int sent =
        ops::SendToJournal(AuditRecordOf(record, exitCode, ops::LoginOf(settings), SecondsSince(began), note));
    if (sent < 0 && !ops::NoJournal(sent))
        Say(std::string("the system journal did not take the run's record: ") + std::strerror(-sent));
}

// Writes the metrics file, when asked for, at the end of a run but a dry
// run. One that cannot be written turns a run that finished or stopped into
// 74, so that a timer's unit fails where monitoring would not notice.
int WithMetrics(const PurgeOptions& options, const RunRecord& record, double seconds, int exitCode) {
    if (!options.metrics || options.dryRun) return exitCode;
    try {
        WriteMetricsFile(*options.metrics, MetricsOf(record, options.job, seconds, exitCode));
    } catch (const MetricsFileError& e) {
        Say(e.what());
        if (exitCode == exit_code::kDone || exitCode == exit_code::kStopped) return exit_code::kIoError;
    }
    return exitCode;
}

// The run's state, from the moment its JSON file is open to its exit
// status. Each phase returns the exit status when the run ends there, or
// nullopt to go on; each way of ending leaves the same trail (the summary
// line where the run reached the server or was stopped, the JSON summary,
// the metrics, the audit record once the settings were read).
class Run {
public:
    Run(const PurgeOptions& options, const unattended::PurgeStatement& statement, JsonFile& json, StopSignals& signals);

    int Execute(bool& loginLeftBehind);

private:
    // The phases, in order.
    std::optional<int> UseKeytab();
    std::optional<int> Open(bool& loginLeftBehind);
    std::optional<int> TakeLocks();
    int Purge();
    void ReportOutcome();

    // The ways a run ends: before it reaches the server ...
    int FailedBeforeTheRun(const ops::Failure& failure, const OnlineSettings* settings);
    int NotOpened(const unattended::OpenFailure& failure);
    int StoppedDuringTheLogin(const std::string& settingsConnString);
    // ... once there: without a chunk, or after them.
    int NotRun(unattended::StopReason reason, const ops::Failure& why, std::optional<int> exitCode);
    int StoppedBeforeTheRun();
    int Finish(std::optional<int> exitCode);
    // ... and every run at last.
    int Conclude(int exitCode, const OnlineSettings* settings);

    void NameTheLog(const OnlineSettings& settings);
    // The result of a run whose chunks never began.
    void EndedWithoutChunks(unattended::StopReason reason, const ops::Failure* failure = nullptr);

    const PurgeOptions& options_;
    const unattended::PurgeStatement& statement_;
    JsonFile& json_;
    StopSignals& signals_;
    std::FILE* const summaryOut_;
    RunRecord record_;
    const std::chrono::steady_clock::time_point began_;
    OnlineConnection online_;
    // One deletion run at a time per log, on this machine and on the server,
    // from before the first count to the end. A dry run deletes nothing and
    // takes neither lock, so it can look while a purge runs.
    std::optional<base::LockFile> localLock_;
    std::optional<unattended::ServerRunLock> serverLock_;
};

Run::Run(const PurgeOptions& options, const unattended::PurgeStatement& statement, JsonFile& json, StopSignals& signals)
    : options_(options),
      statement_(statement),
      json_(json),
      signals_(signals),
      summaryOut_(json.ToStdout() ? stderr : stdout),
      began_(std::chrono::steady_clock::now()) {
    record_.statement = statement.deleteStatement;
    record_.chunkSize = statement.chunkSize;
    record_.mostRowsPerChunk = unattended::MostRowsPerChunk(statement.chunkSize, options.allowTableLock);
    record_.chunkTime = options.chunkTime;
    record_.dryRun = options.dryRun;
}

int Run::Execute(bool& loginLeftBehind) {
    if (const std::optional<int> ended = UseKeytab()) return *ended;
    // However the run ends: the locks given back, then the watcher stopped
    // (it cancels statements on the connection), before the connection goes.
    const base::ScopeExit release([this]() noexcept {
        serverLock_.reset();
        localLock_.reset();
        signals_.Stop();
    });
    if (const std::optional<int> ended = Open(loginLeftBehind)) return *ended;
    if (const std::optional<int> ended = TakeLocks()) return *ended;
    signals_.RunStarting();
    if (signals_.Requested().Level() > 0) return StoppedBeforeTheRun();
    return Purge();
}

std::optional<int> Run::UseKeytab() {
    if (!options_.keytab) return std::nullopt;
    try {
        if (const std::string warning = UseClientKeytab(*options_.keytab); !warning.empty()) Say("warning: " + warning);
    } catch (const KeytabError& e) {
        Say(e.what());
        return FailedBeforeTheRun(ops::Failure(ops::FailureCause::Settings, e.what()), nullptr);
    }
    return std::nullopt;
}

// The login can be abandoned: a stop during it ends the run at once.
std::optional<int> Run::Open(bool& loginLeftBehind) {
    const std::string settingsFile = options_.settingsFile ? *options_.settingsFile : DefaultSettingsFile();
    const std::string settingsConnString = ops::SettingsConnStringForFile(settingsFile);
    std::optional<OnlineConnection> opened;
    try {
        opened = UnlessStopped<OnlineConnection>(
            signals_.Requested(), [settingsConnString] { return unattended::OpenPurgeConnection(settingsConnString); });
    } catch (const unattended::OpenFailure& failure) {
        return NotOpened(failure);
    }
    if (!opened) {
        loginLeftBehind = true;
        return StoppedDuringTheLogin(settingsConnString);
    }
    online_ = std::move(*opened);
    NameTheLog(online_.settings);
    signals_.CancelWith([this] { online_.connection->Cancel(); });
    return std::nullopt;
}

std::optional<int> Run::TakeLocks() {
    if (options_.dryRun) return std::nullopt;
    try {
        localLock_.emplace(unattended::TakeLocalLock(unattended::LockFolder(), *record_.server, *record_.database));
        serverLock_.emplace(*online_.connection, *record_.server, *record_.database);
    } catch (const unattended::LockHeld& held) {
        return NotRun(unattended::StopReason::LockHeld, ops::Failure(ops::FailureCause::Rejected, held.what()),
                      exit_code::kStopped);
    } catch (const base::LockFileError& e) {
        return NotRun(unattended::StopReason::Failed,
                      ops::Failure(ops::FailureCause::Internal, std::string("quellmark-purge: ") + e.what()),
                      exit_code::kCantCreate);
    } catch (const ops::Failure& failure) {
        if (signals_.Requested().Level() > 0) return StoppedBeforeTheRun();  // the lock's statement, cancelled
        return NotRun(unattended::StopReason::Failed, failure, std::nullopt);
    }
    return std::nullopt;
}

int Run::Purge() {
    const unattended::PurgePlan plan = PlanOf(options_, statement_);
    if (!options_.dryRun && unattended::MayLockTable(record_.mostRowsPerChunk))
        Say("warning: " + TableLockText(record_.mostRowsPerChunk) + " (--allow-table-lock).");

    unattended::OnlinePurgeDatabase database(*online_.connection);
    unattended::SystemClock clock;
    ProgressPrinter progress(stderr, ::isatty(STDERR_FILENO) == 1, options_.quiet);
    StatusNotifier observer(progress);
    record_.result = unattended::RunPurge(database, clock, signals_.Requested(), plan, observer);
    progress.Finish();

    ReportOutcome();
    if (signals_.Requested().Level() >= 2 && serverLock_) serverLock_->LeaveToSessionEnd();
    return Finish(std::nullopt);
}

// What the chunks leave to say before the summary line: a dry run's view of
// the table lock and the transaction log, or the failure that ended them.
void Run::ReportOutcome() {
    const unattended::PurgeResult& result = record_.result;
    if (options_.dryRun && result.stopReason == unattended::StopReason::Done) {
        std::fprintf(summaryOut_, "quellmark-purge: %s.\n", TableLockText(record_.mostRowsPerChunk).c_str());
        if (result.log)
            std::fprintf(summaryOut_, "quellmark-purge: %s.\n", unattended::LogStateText(*result.log).c_str());
    }
    if (result.failure && (result.stopReason == unattended::StopReason::Failed ||
                           result.stopReason == unattended::StopReason::RetriesExhausted))
        Report(stderr, result.failure->what());
}

// A run that ends before it reaches the server still leaves its summary,
// and its audit record once its settings were read.
int Run::FailedBeforeTheRun(const ops::Failure& failure, const OnlineSettings* settings) {
    EndedWithoutChunks(unattended::StopReason::Failed, &failure);
    return Conclude(ExitStatusOf(failure.Cause()), settings);
}

int Run::NotOpened(const unattended::OpenFailure& failure) {
    Report(stderr, failure.what());
    const std::optional<OnlineSettings>& settings = failure.Settings();
    if (options_.keytab && settings && ops::ConnTypeOf(settings->OnlConnType) == ops::ConnType::Windows)
        Say(KeytabAdvice(*options_.keytab));
    if (settings) NameTheLog(*settings);
    return FailedBeforeTheRun(failure, settings ? &*settings : nullptr);
}

// The login goes on by itself; the record names the log when the settings
// can still be read.
int Run::StoppedDuringTheLogin(const std::string& settingsConnString) {
    std::optional<OnlineSettings> settings;
    try {
        settings = ops::ReadOnlineSettings(settingsConnString);
    } catch (const data_access::Error&) {
        // The record then goes without the server's name, as after a failure to read them.
    }
    if (settings) NameTheLog(*settings);
    EndedWithoutChunks(unattended::StopReason::Signal);
    Report(summaryOut_, SummaryLine(record_));
    return Conclude(exit_code::kStopped, settings ? &*settings : nullptr);
}

// A run that cannot start: one message, then as any run that reached the server.
int Run::NotRun(unattended::StopReason reason, const ops::Failure& why, std::optional<int> exitCode) {
    Report(stderr, why.what());
    EndedWithoutChunks(reason, &why);
    return Finish(exitCode);
}

// A stop before the chunks begin: the run ends, nothing deleted.
int Run::StoppedBeforeTheRun() {
    EndedWithoutChunks(unattended::StopReason::Signal);
    return Finish(exit_code::kStopped);
}

// How a run that reached the server ends: the server's lock given back, the
// connection closed, the summary line, then as every run.
int Run::Finish(std::optional<int> exitCode) {
    signals_.Stop();  // nothing cancels on the connection while it closes
    serverLock_.reset();
    try {
        online_.connection->Close();
    } catch (const std::exception&) {
        // The run's figures stand; the connection goes with the process.
    }
    Report(summaryOut_, SummaryLine(record_));
    std::fflush(summaryOut_);
    return Conclude(exitCode.value_or(ExitCodeOf(record_)), &online_.settings);
}

// Every run ends here: its JSON summary written (a summary that could not
// be written is reported, and the status says so), then its metrics and its
// audit record with the status the command ends with, once its settings
// were read.
int Run::Conclude(int exitCode, const OnlineSettings* settings) {
    std::string note;
    try {
        json_.Write(record_);
    } catch (const std::exception& e) {
        Say(e.what());
        note = std::string("its JSON summary was not written: ") + e.what();
        exitCode = ExitCodeWithoutJson(exitCode);
    }
    exitCode = WithMetrics(options_, record_, SecondsSince(began_), exitCode);
    if (settings) SendAuditRecord(record_, exitCode, note, *settings, began_);
    return exitCode;
}

void Run::NameTheLog(const OnlineSettings& settings) {
    record_.server = unattended::ServerName(settings);
    record_.database = settings.OnlDatabase;
}

void Run::EndedWithoutChunks(unattended::StopReason reason, const ops::Failure* failure) {
    record_.result.stopReason = reason;
    if (failure) record_.result.failure = *failure;
    record_.result.startedAt = record_.result.endedAt = std::chrono::system_clock::now();
}

}  // namespace

int RunPurgeCommand(const PurgeOptions& options, const unattended::PurgeStatement& statement, StopSignals& signals,
                    bool& loginLeftBehind) {
    std::optional<JsonFile> json;
    try {
        json.emplace(options.json);
    } catch (const std::exception& e) {
        Say(e.what());
        return exit_code::kCantCreate;
    }
    Run run(options, statement, *json, signals);
    return run.Execute(loginLeftBehind);
}

}  // namespace quellmark::purge_tool
