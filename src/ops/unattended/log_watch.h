// The log database's transaction log, as an unattended purge watches it.
//
// In the full recovery model every deleted row stays in the transaction log
// until the next log backup; a purge of millions of rows can fill it, and
// then every write to the database fails (Msg 9002), the monitoring
// system's included. So before each chunk the run reads how full the log is
// and, at or above its limit, waits for room, looking again every
// kLogLookInterval.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace quellmark::ops::unattended {

// The share of the log in use (one row, a REAL from 0 to 100). Reading it
// takes VIEW SERVER STATE (VIEW SERVER PERFORMANCE STATE from SQL Server 2022).
inline constexpr std::string_view kLogUsedStatement = "SELECT used_log_space_in_percent FROM sys.dm_db_log_space_usage";
// The recovery model and what keeps the log from being reused.
inline constexpr std::string_view kLogReuseStatement =
    "SELECT recovery_model_desc, log_reuse_wait_desc FROM sys.databases WHERE name = DB_NAME()";

inline constexpr std::chrono::seconds kLogLookInterval{10};

// The server's message number for a permission it denied.
inline constexpr long kPermissionDenied = 300;

struct LogReuse {
    std::string recoveryModel;  // FULL, BULK_LOGGED, SIMPLE
    std::string reuseWait;      // LOG_BACKUP, ACTIVE_TRANSACTION, NOTHING, ...
};

struct LogState {
    double usedPercent = 0;
    LogReuse reuse;
};

// "waiting: transaction log 91% used (limit 80%), waiting for LOG_BACKUP"
std::string LogWaitText(const LogState& log, int limitPercent);

// "transaction log: 42% used, recovery model FULL, reuse waiting for NOTHING"
std::string LogStateText(const LogState& log);

// The one warning for a run whose login may not read the log's use: the
// permission it needs, or what the server said, and the option.
std::string LogNotWatchedText(long number, std::string_view message);

}  // namespace quellmark::ops::unattended
