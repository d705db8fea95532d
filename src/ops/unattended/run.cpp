#include "ops/unattended/run.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <random>
#include <utility>

#include "ops/unattended/chunk_sizer.h"
#include "ops/unattended/statement_guard.h"

namespace quellmark::ops::unattended {
namespace {

using std::chrono::milliseconds;
using Duration = std::chrono::steady_clock::duration;

// The rate is taken over this many chunks.
constexpr std::size_t kRateChunks = 5;

double Ms(Duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

class Run {
public:
    Run(PurgeDatabase& database, PurgeClock& clock, const StopRequest& stop, const PurgePlan& plan,
        PurgeObserver& observer)
        : database_(database),
          clock_(clock),
          stop_(stop),
          plan_(plan),
          observer_(observer),
          watchLog_(plan.maxLogUsedPercent > 0) {}

    PurgeResult Go() {
        result_.startedAt = clock_.WallNow();
        start_ = clock_.Now();
        Work();
        result_.figures.elapsed = clock_.Now() - start_;
        result_.duration = result_.figures.elapsed;
        result_.endedAt = clock_.WallNow();
        return std::move(result_);
    }

private:
    void Work() {
        const auto settings = [&] {
            database_.Set(SessionSettings(plan_.lockTimeoutMs));
            return std::int64_t{0};
        };
        if (!Send(settings, false)) return;
        if (StopDue()) return;
        const std::optional<std::int64_t> atStart = Send([&] { return database_.Count(plan_.countStatement); }, true);
        if (!atStart) return;
        result_.figures.rowsAtStart = *atStart;
        Refresh();
        observer_.Counted(result_.figures);
        if (plan_.dryRun || *atStart == 0) {
            result_.rowsLeft = *atStart;
            if (plan_.dryRun) ReadLog();
            return;
        }
        if (!DeleteChunks()) return;
        CountLeft();
    }

    // The chunks, until a short one or a stop. False when the run ended in a
    // way that leaves nothing to count (a failure, a signal).
    bool DeleteChunks() {
        ChunkSizer sizer(MostRowsPerChunk(plan_.chunkSize, plan_.allowTableLock), plan_.chunkTime);
        recent_.emplace_back(clock_.Now(), 0);
        for (;;) {
            if (StopDue()) return result_.stopReason != StopReason::Signal;
            if (!LogHasRoom()) return LeftToCount();
            const std::int64_t size = sizer.Next();
            const std::string text =
                size == plan_.chunkSize ? plan_.deleteStatement : WithTopRows(plan_.deleteStatement, size);
            Duration took{};
            const std::optional<std::int64_t> rows = Send(
                [&] {
                    const SteadyTime before = clock_.Now();
                    const std::int64_t deleted = database_.Delete(text);
                    took = clock_.Now() - before;
                    return deleted;
                },
                true);
            if (!rows) {
                // Only the server's own refusal says the delete was not carried out.
                if (result_.stopReason == StopReason::Failed && result_.failure && !result_.failure->RefusedByServer())
                    result_.rowsInDoubt = size;
                return result_.stopReason == StopReason::RetriesExhausted || IsDeadline();
            }
            PurgeFigures& f = result_.figures;
            ++f.chunks;
            f.rowsDeleted += *rows;
            f.chunkRows = size;
            result_.chunkMs.push_back(Ms(took));
            result_.chunkRows.push_back(size);
            sizer.Took(took);
            recent_.emplace_back(clock_.Now(), f.rowsDeleted);
            if (recent_.size() > kRateChunks + 1) recent_.pop_front();
            Refresh();
            observer_.ChunkDeleted(f);
            if (*rows < size) {
                result_.stopReason = StopReason::Done;
                return true;
            }
            if (!Wait(clock_.Now() + milliseconds(plan_.pauseMs))) return result_.stopReason != StopReason::Signal;
        }
    }

    // Before a chunk, with the log watched: true when the log is below its
    // limit, after waiting for that as long as allowed. False when the run
    // must end (the reason set).
    bool LogHasRoom() {
        std::optional<SteadyTime> since;
        for (;;) {
            const std::optional<double> used = LogUsed();
            if (!used) return false;
            if (!watchLog_ || *used < plan_.maxLogUsedPercent) return true;
            const std::optional<LogReuse> reuse = Send([&] { return database_.ReadLogReuse(); }, true);
            if (!reuse) return false;
            result_.log = LogState{*used, *reuse};
            const SteadyTime now = clock_.Now();
            if (!since) since = now;
            const SteadyTime giveUp = *since + plan_.maxLogWait;
            if (now >= giveUp) {
                result_.stopReason = StopReason::LogFull;
                return false;
            }
            observer_.WaitingForLog(*result_.log, plan_.maxLogUsedPercent);
            if (!Wait(std::min<SteadyTime>(now + kLogLookInterval, giveUp))) return false;
        }
    }

    // The log's use, when it is watched; nullopt when the run must end. A
    // refusal by the server (a login without the permission to read it)
    // ends the watch with one warning instead.
    std::optional<double> LogUsed() {
        if (!watchLog_) return 0.0;
        std::optional<Failure> refused;
        const std::optional<double> used = Send(
            [&]() -> double {
                try {
                    return database_.LogUsedPercent();
                } catch (const Failure& failure) {
                    if (failure.Cause() != FailureCause::Rejected || stop_.Level() >= 2) throw;
                    refused = failure;
                    return 0;
                }
            },
            true);
        if (refused) {
            watchLog_ = false;
            observer_.LogNotWatched(*refused);
        }
        return used;
    }

    // A dry run's look at the log, when it is watched.
    void ReadLog() {
        const std::optional<double> used = LogUsed();
        if (!used || !watchLog_) return;
        if (const std::optional<LogReuse> reuse = Send([&] { return database_.ReadLogReuse(); }, true))
            result_.log = LogState{*used, *reuse};
    }

    // Whether a run that ended so still counts the rows left.
    bool LeftToCount() const {
        return result_.stopReason != StopReason::Signal && result_.stopReason != StopReason::Failed;
    }

    // The rows left. A failure here ends a finished run as failed; a run
    // stopped for another reason keeps that reason and leaves them uncounted.
    void CountLeft() {
        try {
            result_.rowsLeft = database_.Count(plan_.countStatement);
        } catch (const Failure& failure) {
            if (result_.stopReason == StopReason::Done) result_.stopReason = StopReason::Failed;
            if (!result_.failure) result_.failure = failure;
        }
    }

    bool IsDeadline() const {
        return result_.stopReason == StopReason::MaxRuntime || result_.stopReason == StopReason::Until;
    }

    // Sends one statement, again after a deadlock or lock time-out, until it
    // succeeds, fails otherwise, the retries run out or a stop comes. Nullopt
    // when the run must end; the result then says why.
    template <class Statement>
    auto Send(Statement&& statement, bool retry) -> std::optional<decltype(statement())> {
        for (;;) {
            try {
                auto answer = statement();
                inARow_ = 0;
                return answer;
            } catch (const Failure& failure) {
                if (stop_.Level() >= 2) {  // cancelled on purpose
                    result_.stopReason = StopReason::Signal;
                    return std::nullopt;
                }
                if (!retry || !failure.Retryable()) {
                    result_.stopReason = StopReason::Failed;
                    result_.failure = failure;
                    return std::nullopt;
                }
                if (inARow_ >= plan_.retries) {
                    result_.stopReason = StopReason::RetriesExhausted;
                    result_.failure = failure;
                    return std::nullopt;
                }
                ++inARow_;
                ++result_.figures.retries;
                const milliseconds wait = clock_.RetryWait();
                observer_.Retrying(failure, wait, inARow_);
                if (!Wait(clock_.Now() + wait)) return std::nullopt;
            }
        }
    }

    // True (and the reason set) when the run must not start another statement.
    bool StopDue() {
        if (stop_.Level() > 0) {
            result_.stopReason = StopReason::Signal;
            return true;
        }
        const SteadyTime now = clock_.Now();
        for (const Deadline& deadline : plan_.deadlines) {
            if (now >= deadline.at) {
                result_.stopReason = deadline.reason;
                return true;
            }
        }
        return false;
    }

    // Waits until `until`, or until the earliest deadline or a stop request
    // comes first. False (and the reason set) when the run must stop.
    bool Wait(SteadyTime until) {
        for (const Deadline& deadline : plan_.deadlines) until = std::min(until, deadline.at);
        clock_.WaitUntil(until, stop_);
        return !StopDue();
    }

    void Refresh() {
        PurgeFigures& f = result_.figures;
        f.elapsed = clock_.Now() - start_;
        f.rowsPerSecond.reset();
        f.estimateLeft.reset();
        if (recent_.size() < 2) return;
        const double seconds = std::chrono::duration<double>(recent_.back().first - recent_.front().first).count();
        const auto rows = static_cast<double>(recent_.back().second - recent_.front().second);
        if (seconds <= 0) return;
        f.rowsPerSecond = rows / seconds;
        if (f.rowsAtStart && *f.rowsPerSecond > 0) {
            const auto left = static_cast<double>(std::max<std::int64_t>(*f.rowsAtStart - f.rowsDeleted, 0));
            f.estimateLeft = std::chrono::seconds(static_cast<std::int64_t>(std::ceil(left / *f.rowsPerSecond)));
        }
    }

    PurgeDatabase& database_;
    PurgeClock& clock_;
    const StopRequest& stop_;
    const PurgePlan& plan_;
    PurgeObserver& observer_;
    PurgeResult result_;
    SteadyTime start_;
    int inARow_ = 0;
    bool watchLog_;
    std::deque<std::pair<SteadyTime, std::int64_t>> recent_;  // (time, rows deleted) after each chunk
};

}  // namespace

std::string_view StopReasonName(StopReason reason) noexcept {
    switch (reason) {
        case StopReason::Done:
            return "done";
        case StopReason::MaxRuntime:
            return "max-runtime";
        case StopReason::Until:
            return "until";
        case StopReason::Signal:
            return "signal";
        case StopReason::RetriesExhausted:
            return "retries-exhausted";
        case StopReason::Failed:
            return "failed";
        case StopReason::LockHeld:
            return "lock-held";
        case StopReason::LogFull:
            return "log-full";
    }
    return "failed";
}

void StopRequest::Request(int level) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (level > level_.load()) level_.store(level);
    }
    wake_.notify_all();
}

bool StopRequest::WaitUntil(SteadyTime until) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return wake_.wait_until(lock, until, [&] { return level_.load() > 0; });
}

std::chrono::milliseconds SystemClock::RetryWait() {
    static thread_local std::mt19937 random{std::random_device{}()};
    return milliseconds(std::uniform_int_distribution<int>(1000, 3000)(random));
}

std::string SessionSettings(std::int32_t lockTimeoutMs) {
    return "SET NOCOUNT OFF; SET LOCK_TIMEOUT " + std::to_string(lockTimeoutMs) + "; SET DEADLOCK_PRIORITY LOW";
}

PurgeResult RunPurge(PurgeDatabase& database, PurgeClock& clock, const StopRequest& stop, const PurgePlan& plan,
                     PurgeObserver& observer) {
    return Run(database, clock, stop, plan, observer).Go();
}

std::optional<double> Percentile(std::vector<double> values, double p) {
    if (values.empty()) return std::nullopt;
    std::sort(values.begin(), values.end());
    const double rank = std::ceil(p / 100.0 * static_cast<double>(values.size()));
    const std::size_t index = rank < 1 ? 0 : static_cast<std::size_t>(rank) - 1;
    return values[std::min(index, values.size() - 1)];
}

}  // namespace quellmark::ops::unattended
