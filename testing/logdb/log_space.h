// What deleting costs on the log server: time per row, and space in the
// database's transaction log.
//
// RowCost: a delete takes `micros` per row it deletes, and `laterMicros`
// per row from the (after + 1)-th delete of the server on, as a cache that
// went cold would make it.
//
// TransactionLog: a log of `size` bytes in the FULL recovery model, where
// each deleted row takes `bytesPerRow` until the next log backup, which runs
// every `backupEvery` (none when zero) from the server's start and frees
// everything committed before it. A log that is full fails every write
// (Msg 9002) until a backup. Without a size there is no model: the log is
// never full and reports a small constant use.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "logdb/tsql.h"

namespace quellmark::logdb {

class RowCost {
public:
    struct Later {
        std::int64_t after = 0;   // deletes at the first cost
        std::int64_t micros = 0;  // per row from then on
    };
    RowCost(std::int64_t micros, std::optional<Later> later) : micros_(micros), later_(later) {}

    // Counts one delete of the server and returns what its rows cost.
    std::chrono::microseconds ForDelete(std::int64_t rows) {
        const std::int64_t number = ++deletes_;
        const std::int64_t perRow = later_ && number > later_->after ? later_->micros : micros_;
        return std::chrono::microseconds(rows * perRow);
    }

private:
    const std::int64_t micros_;
    const std::optional<Later> later_;
    std::atomic<std::int64_t> deletes_{0};
};

class TransactionLog {
public:
    using Clock = std::chrono::steady_clock;
    struct Settings {
        std::int64_t size = 0;  // bytes; 0: no model
        std::int64_t bytesPerRow = 0;
        std::chrono::seconds backupEvery{0};
    };

    TransactionLog(Settings settings, std::string database, Clock::time_point start = Clock::now());

    // sys.dm_db_log_space_usage.used_log_space_in_percent
    double UsedPercent();
    // sys.databases.log_reuse_wait_desc: LOG_BACKUP while the log holds
    // rows no backup has taken yet, else NOTHING.
    std::string ReuseWait();
    // Msg 9002 when the log is full; any write fails then.
    std::optional<SqlMessage> Full();
    // A committing delete's rows: nullopt when they fit; otherwise the log is
    // now full and the delete fails with Msg 9002.
    std::optional<SqlMessage> Commit(std::int64_t deletedRows);

private:
    void BackUp();  // the backups due by now
    SqlMessage LogFull() const;

    const Settings settings_;
    const std::string database_;
    std::mutex mutex_;
    std::int64_t used_ = 0;
    Clock::time_point nextBackup_;
};

}  // namespace quellmark::logdb
