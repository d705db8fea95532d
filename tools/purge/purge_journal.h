// What quellmark-purge tells systemd: the audit record of the run, and its
// progress as the unit's status line (sd_notify STATUS=) when the service
// manager listens (NOTIFY_SOCKET).
#pragma once

#include <string>

#include "ops/audit_record.h"
#include "ops/unattended/run.h"
#include "purge/purge_report.h"

namespace quellmark::purge_tool {

namespace unattended = ops::unattended;

// The journal's priority of a run that ends with this exit status, as the
// manual gives it: 6 (info) for 0, 4 (warning) for 75 (stopped with rows
// left, or not run because another run holds the lock), 3 (error) for any
// other.
int JournalPriorityOf(int exitCode) noexcept;

// The audit record of a run (also one that failed before it started): the
// run's figures and stop reason, the priority of the status the command
// ends with, the login and the seconds the whole run took, connection
// included; `note` (what went wrong after the run, such as its JSON summary)
// goes into the sentence.
ops::DeletionRunRecord AuditRecordOf(const RunRecord& record, int exitCode, const std::string& login, double seconds,
                                     const std::string& note = {});

// "deleted 2000 of 5000 rows, about 0:00:12 left"; without the estimate
// before there is one.
std::string StatusText(const unattended::PurgeFigures& figures);

// Passes everything on to `next`, and sends the status line after each count
// and chunk when NOTIFY_SOCKET was set at construction.
class StatusNotifier : public unattended::PurgeObserver {
public:
    explicit StatusNotifier(unattended::PurgeObserver& next);
    void Counted(const unattended::PurgeFigures& figures) override;
    void ChunkDeleted(const unattended::PurgeFigures& figures) override;
    void Retrying(const ops::Failure& failure, std::chrono::milliseconds wait, int attempt) override;
    // "waiting: transaction log 91% used (limit 80%), waiting for LOG_BACKUP"
    void WaitingForLog(const unattended::LogState& log, int limitPercent) override;
    void LogNotWatched(const ops::Failure& failure) override;

private:
    void Notify(const std::string& status);

    unattended::PurgeObserver& next_;
    bool listening_;
};

}  // namespace quellmark::purge_tool
