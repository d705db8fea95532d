// The unattended purge's run, statement by statement, against a scripted
// database and a clock that only moves when the run waits or a statement
// runs. Each row of the table is one way a run can go: the exact
// conversation (statements sent and waits) and the figures it ends with.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <sstream>

#include "ops/unattended/run.h"

using namespace quellmark;
using namespace quellmark::ops;
using namespace quellmark::ops::unattended;
using namespace std::chrono_literals;

namespace {

constexpr auto kStatementTime = 10ms;

// Moves only when told: a statement takes kStatementTime, a wait ends at
// its end (at once when a stop has been requested).
class StepClock : public PurgeClock {
public:
    SteadyTime Now() override { return now; }
    WallTime WallNow() override { return WallTime{} + (now - SteadyTime{}); }
    void WaitUntil(SteadyTime until, const StopRequest& stop) override {
        if (onWait) onWait();
        if (stop.Level() == 0 && until > now) now = until;
    }
    std::chrono::milliseconds RetryWait() override { return 1500ms; }

    SteadyTime now{};
    std::function<void()> onWait;
};

// ATR_Log as far as the run can see it: `matching` rows match the filter.
// Statements are written to `log` as S (settings), C (count), D (delete),
// U and V (the transaction log's use and reuse wait); a failed one in lower
// case with the message number (d1205); a wait as P (a pause), R (before a
// retry) or L (for the log).
class ScriptedDatabase : public PurgeDatabase {
public:
    ScriptedDatabase(StepClock& clock, std::int64_t matching, std::int64_t chunk)
        : matching(matching), clock_(clock), chunk_(chunk) {
        clock_.onWait = [this] {
            log_ << (retryNoted ? "R " : logWaitNoted ? "L " : "P ");
            retryNoted = logWaitNoted = false;
        };
    }

    void Set(const std::string& text) override {
        settings = text;
        Statement("S", 0);
    }
    std::int64_t Count(const std::string&) override {
        Statement("C", ++counts_);
        return matching;
    }
    std::int64_t Delete(const std::string& text) override {
        const int attempt = ++deletes_;
        if (onDelete) onDelete(attempt);
        Statement("D", attempt);
        const std::size_t top = text.find("TOP (");
        const std::int64_t rows =
            std::min<std::int64_t>(matching, top == std::string::npos ? chunk_ : std::stoll(text.substr(top + 5)));
        deleteTexts.push_back(text);
        matching -= rows;
        if (auto more = arrivals.find(attempt); more != arrivals.end()) matching += more->second;
        return rows;
    }

    double LogUsedPercent() override {
        Statement("U", ++logReads_);
        const double used = logUsed.front();
        if (logUsed.size() > 1) logUsed.erase(logUsed.begin());
        return used;
    }
    LogReuse ReadLogReuse() override {
        Statement("V", 0);
        return {"FULL", "LOG_BACKUP"};
    }

    // The conversation, waits included.
    std::string Log() const { return log_.str(); }

    std::int64_t matching;
    std::string settings;
    std::map<std::string, long> failures;  // "D2" -> 1205: the 2nd delete fails with Msg 1205 (-1: connection lost)
    std::map<int, std::int64_t> arrivals;  // after the n-th delete, this many matching rows arrive
    std::function<void(int attempt)> onDelete;
    StopRequest* cancelledBy = nullptr;  // a delete under way while this asks for level 2 is cancelled
    bool retryNoted = false;             // the next wait is the one before a retry
    bool logWaitNoted = false;           // the next wait is one for the log
    std::vector<double> logUsed{0};      // each read of the log's use takes the first; the last stays
    std::vector<std::string> deleteTexts;

private:
    void Statement(const std::string& kind, int number) {
        clock_.now += kStatementTime;
        const auto failure = failures.find(kind + std::to_string(number));
        const bool cancelled = kind == "D" && cancelledBy && cancelledBy->Level() >= 2;
        if (failure == failures.end() && !cancelled) {
            log_ << kind << ' ';
            return;
        }
        const long code = cancelled ? -1 : failure->second;
        log_ << static_cast<char>(kind[0] - 'A' + 'a') << (code > 0 ? std::to_string(code) : "") << ' ';
        if (code < 0) throw Failure(FailureCause::ConnectionLost, "The connection was lost.");
        throw ClassifyFailure({{"Msg " + std::to_string(code), "", code}}, FailedStep::Statement);
    }
    StepClock& clock_;
    std::int64_t chunk_;
    int counts_ = 0;
    int deletes_ = 0;
    int logReads_ = 0;
    std::ostringstream log_;
};

class Recorder : public PurgeObserver {
public:
    explicit Recorder(ScriptedDatabase* db = nullptr) : db_(db) {}
    void Counted(const PurgeFigures& f) override { counted.push_back(f.rowsAtStart.value_or(-1)); }
    void ChunkDeleted(const PurgeFigures& f) override { deleted.push_back(f.rowsDeleted); }
    void Retrying(const Failure& failure, std::chrono::milliseconds, int attempt) override {
        retried.push_back(std::to_string(failure.Number()) + "#" + std::to_string(attempt));
        if (db_) db_->retryNoted = true;
    }
    void WaitingForLog(const LogState& log, int limit) override {
        logEvents.push_back(LogWaitText(log, limit));
        if (db_) db_->logWaitNoted = true;
    }
    void LogNotWatched(const Failure& failure) override {
        logEvents.push_back("not watched: " + std::to_string(failure.Number()));
    }
    std::vector<std::string> logEvents;
    std::vector<std::int64_t> counted;
    std::vector<std::int64_t> deleted;
    std::vector<std::string> retried;

private:
    ScriptedDatabase* db_;
};

struct Case {
    const char* name;
    std::int64_t matching;
    std::int64_t chunk;
    std::map<std::string, long> failures;
    std::function<void(PurgePlan&, ScriptedDatabase&, StopRequest&)> setUp;
    // Expected:
    const char* conversation;
    StopReason stop;
    std::int64_t deleted;
    std::int64_t chunks;
    std::int64_t retries;
    std::optional<std::int64_t> left;
    long failure;  // the message number of the failure kept in the result; 0: none
};

const auto kNone = [](PurgePlan&, ScriptedDatabase&, StopRequest&) {};

const Case kCases[] = {
    {"nothing matches", 0, 1000, {}, kNone, "S C", StopReason::Done, 0, 0, 0, 0, 0},
    {"rows run out at a chunk boundary", 2000, 1000, {}, kNone, "S C D P D P D C", StopReason::Done, 2000, 3, 0, 0, 0},
    {"rows run out part-way through a chunk",
     2500,
     1000,
     {},
     kNone,
     "S C D P D P D C",
     StopReason::Done,
     2500,
     3,
     0,
     0,
     0},
    {"a chunk leaves exactly one row", 1001, 1000, {}, kNone, "S C D P D C", StopReason::Done, 1001, 2, 0, 0, 0},
    {"the chunk size equals the matching rows",
     1000,
     1000,
     {},
     kNone,
     "S C D P D C",
     StopReason::Done,
     1000,
     2,
     0,
     0,
     0},
    {"a dry run only counts",
     2500,
     1000,
     {},
     [](PurgePlan& plan, ScriptedDatabase&, StopRequest&) { plan.dryRun = true; },
     "S C",
     StopReason::Done,
     0,
     0,
     0,
     2500,
     0},
    {"rows that arrive during the run are deleted too",
     2000,
     1000,
     {},
     [](PurgePlan&, ScriptedDatabase& db, StopRequest&) { db.arrivals[1] = 500; },
     "S C D P D P D C",
     StopReason::Done,
     2500,
     3,
     0,
     0,
     0},
    {"a deadlock victim is sent again",
     2500,
     1000,
     {{"D2", 1205}},
     kNone,
     "S C D P d1205 R D P D C",
     StopReason::Done,
     2500,
     3,
     1,
     0,
     0},
    {"lock time-outs in a row up to the limit",
     1500,
     1000,
     {{"D1", 1222}, {"D2", 1222}},
     [](PurgePlan& plan, ScriptedDatabase&, StopRequest&) { plan.retries = 2; },
     "S C d1222 R d1222 R D P D C",
     StopReason::Done,
     1500,
     2,
     2,
     0,
     0},
    {"retries count in a row only",
     3500,
     1000,
     {{"D2", 1205}, {"D4", 1222}},
     [](PurgePlan& plan, ScriptedDatabase&, StopRequest&) { plan.retries = 1; },
     "S C D P d1205 R D P d1222 R D P D C",
     StopReason::Done,
     3500,
     4,
     2,
     0,
     0},
    {"retries run out",
     2000,
     1000,
     {{"D2", 1205}, {"D3", 1205}},
     [](PurgePlan& plan, ScriptedDatabase&, StopRequest&) { plan.retries = 1; },
     "S C D P d1205 R d1205 C",
     StopReason::RetriesExhausted,
     1000,
     1,
     1,
     1000,
     1205},
    {"no retries at all",
     2000,
     1000,
     {{"D1", 1222}},
     [](PurgePlan& plan, ScriptedDatabase&, StopRequest&) { plan.retries = 0; },
     "S C d1222 C",
     StopReason::RetriesExhausted,
     0,
     0,
     0,
     2000,
     1222},
    {"a count that lost a lock wait is sent again",
     1500,
     1000,
     {{"C1", 1222}},
     kNone,
     "S c1222 R C D P D C",
     StopReason::Done,
     1500,
     2,
     1,
     0,
     0},
    {"the server rejects the first count",
     1500,
     1000,
     {{"C1", 207}},
     kNone,
     "S c207",
     StopReason::Failed,
     0,
     0,
     0,
     std::nullopt,
     207},
    {"the server rejects a later delete",
     3000,
     1000,
     {{"D2", 547}},
     kNone,
     "S C D P d547",
     StopReason::Failed,
     1000,
     1,
     0,
     std::nullopt,
     547},
    {"the connection is lost in a delete",
     3000,
     1000,
     {{"D1", -1}},
     kNone,
     "S C d",
     StopReason::Failed,
     0,
     0,
     0,
     std::nullopt,
     0},
    {"the final count fails",
     1500,
     1000,
     {{"C2", 207}},
     kNone,
     "S C D P D c207",
     StopReason::Failed,
     1500,
     2,
     0,
     std::nullopt,
     207},
    {"the session settings are refused",
     1500,
     1000,
     {{"S0", 156}},
     kNone,
     "s156",
     StopReason::Failed,
     0,
     0,
     0,
     std::nullopt,
     156},
    {"the run's time is up during a pause",
     5000,
     1000,
     {},
     [](PurgePlan& plan, ScriptedDatabase&, StopRequest&) {
         plan.deadlines = {{SteadyTime{} + 250ms, StopReason::MaxRuntime}};
     },
     "S C D P D P C",
     StopReason::MaxRuntime,
     2000,
     2,
     0,
     3000,
     0},
    {"the earlier of two deadlines stops the run",
     5000,
     1000,
     {},
     [](PurgePlan& plan, ScriptedDatabase&, StopRequest&) {
         plan.deadlines = {{SteadyTime{} + 900ms, StopReason::MaxRuntime}, {SteadyTime{} + 25ms, StopReason::Until}};
     },
     "S C D P C",
     StopReason::Until,
     1000,
     1,
     0,
     4000,
     0},
    {"a long pause ends at the run's deadline",
     5000,
     1000,
     {},
     [](PurgePlan& plan, ScriptedDatabase&, StopRequest&) {
         plan.pauseMs = 60000;
         plan.deadlines = {{SteadyTime{} + 5s, StopReason::MaxRuntime}};
     },
     "S C D P C",
     StopReason::MaxRuntime,
     1000,
     1,
     0,
     4000,
     0},
    {"a deadline during a retry wait",
     5000,
     1000,
     {{"D2", 1205}},
     [](PurgePlan& plan, ScriptedDatabase&, StopRequest&) {
         plan.deadlines = {{SteadyTime{} + 1s, StopReason::MaxRuntime}};
     },
     "S C D P d1205 R C",
     StopReason::MaxRuntime,
     1000,
     1,
     1,
     4000,
     0},
    {"a signal stops after the delete under way",
     5000,
     1000,
     {},
     [](PurgePlan&, ScriptedDatabase& db, StopRequest& stop) {
         db.onDelete = [&stop](int attempt) {
             if (attempt == 2) stop.Request(1);
         };
     },
     "S C D P D P",
     StopReason::Signal,
     2000,
     2,
     0,
     std::nullopt,
     0},
    {"a second SIGINT cancels the delete under way",
     5000,
     1000,
     {},
     [](PurgePlan&, ScriptedDatabase& db, StopRequest& stop) {
         db.cancelledBy = &stop;
         db.onDelete = [&stop](int attempt) {
             if (attempt == 2) stop.Request(2);
         };
     },
     "S C D P d",
     StopReason::Signal,
     1000,
     1,
     0,
     std::nullopt,
     0},
};

TEST(PurgeRun, FollowsTheConversationOfEachWayARunCanGo) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        StepClock clock;
        ScriptedDatabase db(clock, c.matching, c.chunk);
        db.failures = c.failures;
        StopRequest stop;
        PurgePlan plan;
        plan.deleteStatement = "DELETE TOP (" + std::to_string(c.chunk) + ") FROM ATR_Log WHERE priority = 7";
        plan.countStatement = "SELECT COUNT(log_id) FROM ATR_Log WHERE priority = 7";
        plan.chunkSize = c.chunk;
        c.setUp(plan, db, stop);
        Recorder recorder(&db);
        const PurgeResult result = RunPurge(db, clock, stop, plan, recorder);

        std::string conversation = db.Log();
        if (!conversation.empty()) conversation.pop_back();
        EXPECT_EQ(conversation, c.conversation);
        EXPECT_EQ(StopReasonName(result.stopReason), StopReasonName(c.stop));
        EXPECT_EQ(result.figures.rowsDeleted, c.deleted);
        EXPECT_EQ(result.figures.chunks, c.chunks);
        EXPECT_EQ(result.figures.retries, c.retries);
        EXPECT_EQ(result.rowsLeft, c.left);
        EXPECT_EQ(result.failure ? result.failure->Number() : 0, c.failure);
        EXPECT_EQ(result.chunkMs.size(), static_cast<std::size_t>(c.chunks));
        // No wait outlasts a deadline: after it come at most the statement
        // under way and the count of the rows left.
        if (!plan.deadlines.empty()) {
            const auto first = std::min_element(plan.deadlines.begin(), plan.deadlines.end(),
                                                [](const Deadline& a, const Deadline& b) { return a.at < b.at; });
            const auto ms = [](auto d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); };
            EXPECT_LE(ms(result.duration), ms(first->at - SteadyTime{} + 2 * kStatementTime));
        }
        // What the run told along the way agrees with the end.
        EXPECT_EQ(recorder.deleted.size(), static_cast<std::size_t>(c.chunks));
        if (!recorder.deleted.empty()) {
            EXPECT_EQ(recorder.deleted.back(), c.deleted);
        }
        EXPECT_EQ(recorder.retried.size(), static_cast<std::size_t>(c.retries));
    }
}

// A delete whose connection failed while it ran may or may not have been
// carried out: its chunk is in doubt, not deleted. A refusal by the server,
// a failed count or a run without failures leaves nothing in doubt.
TEST(PurgeRun, AChunkWhoseAnswerNeverCameIsInDoubt) {
    const struct {
        std::map<std::string, long> failures;
        std::int64_t deleted;
        std::int64_t inDoubt;
    } cases[] = {
        {{{"D2", -1}}, 400, 400}, {{{"D1", -1}}, 0, 400}, {{{"D2", 547}}, 400, 0},
        {{{"C2", -1}}, 1000, 0},  {{}, 1000, 0},
    };
    for (const auto& c : cases) {
        StepClock clock;
        ScriptedDatabase db(clock, 1000, 400);
        db.failures = c.failures;
        StopRequest stop;
        PurgePlan plan{
            "DELETE TOP (400) FROM ATR_Log", "SELECT COUNT(log_id) FROM ATR_Log", 400, 5000, 10, 5, {}, false};
        Recorder recorder;
        const PurgeResult result = RunPurge(db, clock, stop, plan, recorder);
        EXPECT_EQ(result.figures.rowsDeleted, c.deleted) << db.Log();
        EXPECT_EQ(result.rowsInDoubt, c.inDoubt) << db.Log();
    }
}

TEST(PurgeRun, SendsItsSessionSettingsAndTheStatementsItWasGiven) {
    StepClock clock;
    ScriptedDatabase db(clock, 10, 4);
    StopRequest stop;
    PurgePlan plan{"DELETE TOP (4) FROM ATR_Log", "SELECT COUNT(log_id) FROM ATR_Log", 4, 1234, 50, 5, {}, false};
    Recorder recorder;
    const PurgeResult result = RunPurge(db, clock, stop, plan, recorder);
    EXPECT_EQ(db.settings, "SET NOCOUNT OFF; SET LOCK_TIMEOUT 1234; SET DEADLOCK_PRIORITY LOW");
    EXPECT_EQ(recorder.counted, (std::vector<std::int64_t>{10}));
    EXPECT_EQ(recorder.deleted, (std::vector<std::int64_t>{4, 8, 10}));
    // Three statements of 10 ms, two pauses of 50 ms, and the counts and settings.
    EXPECT_EQ(result.duration, 3 * kStatementTime + 2 * 50ms + 3 * kStatementTime);
    EXPECT_EQ(result.chunkMs, (std::vector<double>{10, 10, 10}));
}

TEST(PurgeRun, RateAndEstimateComeFromTheLastChunks) {
    StepClock clock;
    ScriptedDatabase db(clock, 5000, 1000);
    StopRequest stop;
    PurgePlan plan{"d", "c", 1000, 5000, 200, 5, {}, false};
    std::vector<PurgeFigures> seen;
    struct : PurgeObserver {
        std::vector<PurgeFigures>* seen;
        void ChunkDeleted(const PurgeFigures& f) override { seen->push_back(f); }
    } observer;
    observer.seen = &seen;
    RunPurge(db, clock, stop, plan, observer);
    ASSERT_GE(seen.size(), 2u);
    // After two chunks: 2000 rows in the 220 ms since the first delete began.
    ASSERT_TRUE(seen[1].rowsPerSecond.has_value());
    EXPECT_NEAR(*seen[1].rowsPerSecond, 2000 / 0.220, 0.5);
    ASSERT_TRUE(seen[1].estimateLeft.has_value());
    EXPECT_EQ(*seen[1].estimateLeft, 1s);  // 3000 rows at 9091 rows/s, rounded up
}

TEST(PurgeRun, PercentilesByNearestRank) {
    EXPECT_EQ(Percentile({}, 50), std::nullopt);
    EXPECT_EQ(Percentile({7}, 95), 7);
    EXPECT_EQ(Percentile({5, 1, 3, 2, 4}, 50), 3);
    std::vector<double> hundred;
    for (int i = 100; i >= 1; --i) hundred.push_back(i);
    EXPECT_EQ(Percentile(hundred, 95), 95);
    EXPECT_EQ(Percentile(hundred, 50), 50);
}

}  // namespace

// The transaction log read before each chunk, with a limit of 80% and a
// longest wait of 25 s.
TEST(PurgeRun, WaitsWhileTheTransactionLogIsFull) {
    const std::string at80 = "waiting: transaction log 80% used (limit 80%), waiting for LOG_BACKUP";
    const std::string at91 = "waiting: transaction log 91% used (limit 80%), waiting for LOG_BACKUP";
    const struct {
        const char* name;
        std::vector<double> logUsed;
        long refusal;                  // the first read fails with this message number
        std::chrono::seconds runtime;  // the run's deadline; 0: none
        bool dryRun;
        const char* conversation;
        StopReason stop;
        std::vector<std::string> logEvents;
    } cases[] = {
        {"below the limit", {79.9}, 0, 0s, false, "S C U D P U D P U D C", StopReason::Done, {}},
        {"at the limit, then room", {80, 50}, 0, 0s, false, "S C U V L U D P U D P U D C", StopReason::Done, {at80}},
        {"it runs out", {91}, 0, 0s, false, "S C U V L U V L U V L U V C", StopReason::LogFull, {at91, at91, at91}},
        {"a deadline while it waits", {91}, 0, 15s, false, "S C U V L U V L C", StopReason::MaxRuntime, {at91, at91}},
        {"no VIEW SERVER STATE", {91}, 300, 0s, false, "S C u300 D P D P D C", StopReason::Done, {"not watched: 300"}},
        {"a dry run reads it", {91}, 0, 0s, true, "S C U V", StopReason::Done, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StepClock clock;
        ScriptedDatabase db(clock, 2000, 1000);
        db.logUsed = c.logUsed;
        if (c.refusal) db.failures["U1"] = c.refusal;
        StopRequest stop;
        PurgePlan plan{"d", "c", 1000, 5000, 10, 5, {}, c.dryRun};
        if (c.runtime > 0s) plan.deadlines = {{SteadyTime{} + c.runtime, StopReason::MaxRuntime}};
        plan.maxLogUsedPercent = 80;
        plan.maxLogWait = 25s;
        Recorder recorder(&db);
        const PurgeResult result = RunPurge(db, clock, stop, plan, recorder);
        EXPECT_EQ(db.Log(), std::string(c.conversation) + " ");
        EXPECT_EQ(StopReasonName(result.stopReason), StopReasonName(c.stop));
        EXPECT_EQ(recorder.logEvents, c.logEvents);
    }
}

// Each chunk's TOP, as the statement sent carries it; the run is done at the
// first chunk that deletes fewer rows than that.
TEST(PurgeRun, SizesEachChunkAndSendsTheStatementWithItsSize) {
    const struct {
        std::int64_t matching;
        std::chrono::milliseconds chunkTime;
        bool allowTableLock;
        std::vector<std::int64_t> sizes;
    } cases[] = {
        {1000, 500ms, false, {100, 200, 400, 800}},
        {9000, 0ms, false, {4000, 4000, 4000}},
        {9000, 0ms, true, {5000, 5000}},
    };
    for (const auto& c : cases) {
        StepClock clock;
        ScriptedDatabase db(clock, c.matching, 0);
        StopRequest stop;
        PurgePlan plan{"DELETE TOP (5000) FROM ATR_Log WHERE priority = 7", "c", 5000, 5000, 10, 5, {}, false};
        plan.chunkTime = c.chunkTime;
        plan.allowTableLock = c.allowTableLock;
        Recorder recorder;
        const PurgeResult result = RunPurge(db, clock, stop, plan, recorder);
        EXPECT_EQ(result.chunkRows, c.sizes);
        EXPECT_EQ(result.figures.rowsDeleted, c.matching);
        EXPECT_EQ(db.deleteTexts.front(),
                  "DELETE TOP (" + std::to_string(c.sizes.front()) + ") FROM ATR_Log WHERE priority = 7");
    }
}
