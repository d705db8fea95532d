// An unattended purge: the window's chunked deletion without a window, on one
// open connection.
//
//   session settings (SET NOCOUNT OFF; SET LOCK_TIMEOUT ms; SET DEADLOCK_PRIORITY LOW)
//   -> the count statement once: the rows at the start
//   -> the delete statement, chunk after chunk with a pause between them,
//      until a chunk deletes fewer rows than it may (the figure the server
//      gives for each delete); each chunk's TOP sized by a ChunkSizer, and
//      before each the transaction log's use read (log_watch.h), waiting
//      while it is at or above its limit
//   -> the count statement once more: the rows left.
// One statement per chunk where the window's loop sends a count and a delete.
//
// A statement that fails because the server chose it as a deadlock victim
// (Msg 1205) or its lock wait ran out (Msg 1222) is sent again after a random
// wait of one to three seconds, up to a number of times in a row; any other
// failure ends the run. The run also ends, after the chunk under way, at a
// deadline or when a stop is requested (a signal). Rows deleted by completed
// chunks stay deleted and are counted in the result.
//
// The database, the clock and what the run reports along the way are ports,
// so the run's sequence can be followed exactly with stand-ins.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ops/failure.h"
#include "ops/unattended/log_watch.h"

namespace quellmark::ops::unattended {

using SteadyTime = std::chrono::steady_clock::time_point;
using WallTime = std::chrono::system_clock::time_point;

// How a run ended.
enum class StopReason {
    Done,              // a chunk deleted fewer rows than it may (or nothing matched)
    MaxRuntime,        // the run's time was up
    Until,             // the moment given was reached
    Signal,            // a stop was requested
    RetriesExhausted,  // deadlocks or lock time-outs, too many in a row
    Failed,            // a failure that ends the run
    LockHeld,          // not run: another run holds the log's lock
    LogFull,           // the transaction log stayed at or above its limit
};
// done, max-runtime, until, signal, retries-exhausted, failed, lock-held,
// log-full.
std::string_view StopReasonName(StopReason reason) noexcept;

// The log database, through one open connection. Each call sends one batch
// and throws Failure when it fails.
class PurgeDatabase {
public:
    virtual ~PurgeDatabase() = default;
    // A batch of session settings, without an answer.
    virtual void Set(const std::string& text) = 0;
    // A count statement: the number it answers.
    virtual std::int64_t Count(const std::string& text) = 0;
    // A delete statement: the rows it deleted, as the server reports them.
    virtual std::int64_t Delete(const std::string& text) = 0;
    // kLogUsedStatement: the share of the transaction log in use, in percent.
    virtual double LogUsedPercent() = 0;
    // kLogReuseStatement.
    virtual LogReuse ReadLogReuse() = 0;
};

// A request to stop, made from another thread (a signal watcher). Level 1:
// stop after the statement under way; level 2: that statement is being
// cancelled, stop at once.
class StopRequest {
public:
    void Request(int level);
    int Level() const noexcept { return level_.load(); }
    // Waits until `until` or until a stop is requested; true when requested.
    bool WaitUntil(SteadyTime until) const;

private:
    std::atomic<int> level_{0};
    mutable std::mutex mutex_;
    mutable std::condition_variable wake_;
};

// Time as the run sees it.
class PurgeClock {
public:
    virtual ~PurgeClock() = default;
    virtual SteadyTime Now() = 0;
    virtual WallTime WallNow() = 0;
    // Waits until `until`, or less when a stop is requested.
    virtual void WaitUntil(SteadyTime until, const StopRequest& stop) = 0;
    // How long to wait before sending a statement again: 1 to 3 seconds.
    virtual std::chrono::milliseconds RetryWait() = 0;
};

// The real clocks, and a random retry wait.
class SystemClock : public PurgeClock {
public:
    SteadyTime Now() override { return std::chrono::steady_clock::now(); }
    WallTime WallNow() override { return std::chrono::system_clock::now(); }
    void WaitUntil(SteadyTime until, const StopRequest& stop) override { stop.WaitUntil(until); }
    std::chrono::milliseconds RetryWait() override;
};

// A moment at which the run stops after the chunk under way.
struct Deadline {
    SteadyTime at;
    StopReason reason = StopReason::MaxRuntime;  // MaxRuntime or Until
};

struct PurgePlan {
    std::string deleteStatement;
    std::string countStatement;
    std::int64_t chunkSize = 0;  // n of the statement's TOP (n)
    std::int32_t lockTimeoutMs = 5000;
    std::int32_t pauseMs = 200;
    int retries = 5;  // in a row
    std::vector<Deadline> deadlines;
    bool dryRun = false;  // count only (and read the transaction log's use when it is watched)
    // The time a chunk is sized to take; 0: every chunk as large as it may be.
    std::chrono::milliseconds chunkTime{0};
    bool allowTableLock = false;  // chunks up to n, not kRowsBelowEscalation
    int maxLogUsedPercent = 0;    // 0: the transaction log not watched
    std::chrono::milliseconds maxLogWait{std::chrono::hours(1)};
};

// The figures of a run so far.
struct PurgeFigures {
    std::optional<std::int64_t> rowsAtStart;
    std::int64_t rowsDeleted = 0;
    std::int64_t chunks = 0;  // completed deletes, the last (short) one included
    std::int64_t retries = 0;
    std::int64_t chunkRows = 0;  // the rows the latest chunk might delete
    std::chrono::steady_clock::duration elapsed{};
    // Rows per second over the last few chunks (pauses included); nullopt
    // before the first chunk.
    std::optional<double> rowsPerSecond;
    // The rows at the start not yet deleted, at that rate.
    std::optional<std::chrono::seconds> estimateLeft;
};

// What a run tells along the way; every call comes from the run's thread.
class PurgeObserver {
public:
    virtual ~PurgeObserver() = default;
    virtual void Counted(const PurgeFigures&) {}
    virtual void ChunkDeleted(const PurgeFigures&) {}
    virtual void Retrying(const Failure&, std::chrono::milliseconds /*wait*/, int /*attemptInARow*/) {}
    // The transaction log is at or above the limit: the run waits.
    virtual void WaitingForLog(const LogState&, int /*limitPercent*/) {}
    // The log's use could not be read: the run goes on without watching it.
    virtual void LogNotWatched(const Failure&) {}
};

struct PurgeResult {
    PurgeFigures figures;
    std::optional<std::int64_t> rowsLeft;  // nullopt when not counted
    StopReason stopReason = StopReason::Done;
    std::optional<Failure> failure;  // what failed, when something did
    // Rows a delete may have removed although its answer never came (the
    // connection failed while it ran, so it may or may not have been carried
    // out): up to one chunk, not counted in figures.rowsDeleted.
    std::int64_t rowsInDoubt = 0;
    WallTime startedAt;
    WallTime endedAt;
    std::chrono::steady_clock::duration duration{};
    std::vector<double> chunkMs;          // each completed delete's own time
    std::vector<std::int64_t> chunkRows;  // each completed delete's TOP
    std::optional<LogState> log;          // the last reading of the transaction log
};

// The session settings a run starts with.
std::string SessionSettings(std::int32_t lockTimeoutMs);

// Runs the plan on an open connection. Failures of statements end up in the
// result; only a programming error throws.
PurgeResult RunPurge(PurgeDatabase& database, PurgeClock& clock, const StopRequest& stop, const PurgePlan& plan,
                     PurgeObserver& observer);

// The p-th percentile (0..100) of the values, nearest rank; nullopt when empty.
std::optional<double> Percentile(std::vector<double> values, double p);

}  // namespace quellmark::ops::unattended
