#include "purge/purge_journal.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>

namespace quellmark::purge_tool {

int JournalPriorityOf(int exitCode) noexcept {
    constexpr struct {
        int exitCode;
        int priority;
    } kPriorities[] = {{exit_code::kDone, 6}, {exit_code::kStopped, 4}};
    for (const auto& [status, priority] : kPriorities)
        if (status == exitCode) return priority;
    return 3;
}

ops::DeletionRunRecord AuditRecordOf(const RunRecord& record, int exitCode, const std::string& login, double seconds,
                                     const std::string& note) {
    ops::DeletionRunRecord audit;
    audit.priority = JournalPriorityOf(exitCode);
    audit.note = note;
    audit.frontEnd = ops::FrontEnd::Purge;
    audit.server = record.server.value_or("");
    audit.database = record.database.value_or("");
    audit.login = login;
    audit.statement = record.statement;
    audit.rowsDeleted = record.result.figures.rowsDeleted;
    audit.rowsLeft = record.result.rowsLeft;
    audit.rowsInDoubt = record.result.rowsInDoubt;
    audit.stopReason = std::string(unattended::StopReasonName(record.result.stopReason));
    audit.seconds = seconds;
    audit.chunkMin = ChunkRowsPercentile(record.result, 0);
    audit.chunkMedian = ChunkRowsPercentile(record.result, 50);
    audit.chunkMax = ChunkRowsPercentile(record.result, 100);
    return audit;
}

std::string StatusText(const unattended::PurgeFigures& figures) {
    std::string text = "deleted " + std::to_string(figures.rowsDeleted);
    if (figures.rowsAtStart) text += " of " + std::to_string(*figures.rowsAtStart);
    text += " rows";
    if (figures.estimateLeft) text += ", about " + FormatClock(*figures.estimateLeft) + " left";
    return text;
}

StatusNotifier::StatusNotifier(unattended::PurgeObserver& next)
    : next_(next), listening_(std::getenv("NOTIFY_SOCKET") != nullptr) {}

void StatusNotifier::Counted(const unattended::PurgeFigures& figures) {
    next_.Counted(figures);
    Notify(StatusText(figures));
}

void StatusNotifier::ChunkDeleted(const unattended::PurgeFigures& figures) {
    next_.ChunkDeleted(figures);
    Notify(StatusText(figures));
}

void StatusNotifier::Retrying(const ops::Failure& failure, std::chrono::milliseconds wait, int attempt) {
    next_.Retrying(failure, wait, attempt);
}

void StatusNotifier::WaitingForLog(const unattended::LogState& log, int limitPercent) {
    next_.WaitingForLog(log, limitPercent);
    Notify(unattended::LogWaitText(log, limitPercent));
}

void StatusNotifier::LogNotWatched(const ops::Failure& failure) { next_.LogNotWatched(failure); }

void StatusNotifier::Notify(const std::string& status) {
    if (!listening_) return;
    // A status line that does not arrive changes nothing in the run.
    static_cast<void>(sd_notify(0, ("STATUS=" + status).c_str()));
}

}  // namespace quellmark::purge_tool
