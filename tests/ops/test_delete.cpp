// Deletion runs end to end through FreeTDS against quellmark-logdb. Every text
// txtRecLeft shows is recorded; the rows left are read from the server's
// SQLite file. A pause is 20 rounds of event processing, so the window's
// event hook can act at a known point of a run (Cancel, a server killed).
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "harness/stopped_process.h"
#include "ops/modGeneral.h"
#include "support/online_log.h"
#include "support/recording_window.h"

using namespace quellmark;

namespace {

using Texts = std::vector<std::string>;

constexpr const char* kMarked = "label = 'purge-me'";
constexpr const char* kUnmarked = "label <> 'purge-me'";

// A server with 5000 rows, 2000 of them labelled 'purge-me', and the
// settings pointing at it.
struct Purge {
    explicit Purge(std::vector<std::string> serverArgs = {})
        : log(test::SarnwickServer(5000, 9, std::move(serverArgs))) {
        EXPECT_EQ(log.Mark("purge-me", 2000), 2000);
        log.UseSettings();
        others = log.server.Snapshot(kUnmarked);
    }

    std::int64_t Marked() const { return log.server.CountRows(kMarked); }
    // The rows the statements must not touch are exactly as they were.
    void ExpectOthersUntouched() const { EXPECT_TRUE(log.server.Snapshot(kUnmarked) == others); }

    test::OnlineLog log;
    std::string others;
};

void RunDeletion(test::RecordingWindow& window, const Purge& purge, const std::string& statement,
                 std::int32_t commandTimeout = quellmark::data_access::kDefaultCommandTimeout) {
    window.statement = statement;
    ops::DeleteRecordsInChunks(window, purge.log.SettingsConnString(), commandTimeout);
}

bool Mentions(const std::string& message, const std::string& part) { return message.find(part) != std::string::npos; }

constexpr const char* kEarlierStayDeleted = "the rows its earlier passes deleted stay deleted.";

// Stops the log server (SIGSTOP) once it is in the middle of a delete it
// has not committed: its SQLite file then has a rollback journal. Watching
// starts with Arm. Resume lets the server run again (SIGCONT) and waits until
// it has ended that delete one way or the other (the journal is gone).
class StopInUncommittedDelete {
public:
    explicit StopInUncommittedDelete(const test::LogDbProcess& server)
        : pid_(server.Pid()), journal_(server.DbFile().string() + "-journal") {}
    ~StopInUncommittedDelete() {
        done_ = true;
        if (watcher_.joinable()) watcher_.join();
        Resume();
    }
    StopInUncommittedDelete(const StopInUncommittedDelete&) = delete;
    StopInUncommittedDelete& operator=(const StopInUncommittedDelete&) = delete;

    void Arm() {
        watcher_ = std::thread([this] {
            while (!done_) {
                if (std::filesystem::exists(journal_)) {
                    stopped_ = test::StopProcess(pid_);
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    bool Stopped() const { return stopped_; }
    void Resume() {
        if (!stopped_.exchange(false)) return;
        test::ResumeProcess(pid_);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::filesystem::exists(journal_) && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

private:
    pid_t pid_;
    std::filesystem::path journal_;
    std::atomic<bool> done_{false};
    std::atomic<bool> stopped_{false};
    std::thread watcher_;
};

}  // namespace

TEST(DeleteRecordsInChunks, DeletesExactlyTheMatchingRowsChunkByChunk) {
    Purge purge;
    test::RecordingWindow window;
    // The statements are prepared when the run starts: a change of the
    // statement box during the run must not reach the server.
    window.onEvents = [&](int round) {
        if (round == 5) window.statement = "DELETE TOP (1000) FROM ATR_Log";
    };
    RunDeletion(window, purge, "DELETE TOP (1000) FROM ATR_Log WHERE label = 'purge-me'\r\n");
    EXPECT_TRUE(window.messages.empty()) << window.messages.front();
    EXPECT_EQ(window.recLeft, (Texts{"2000", "1000", "0", "0"}));
    EXPECT_EQ(window.eventRounds, 60);  // three pauses of 20 slices
    EXPECT_EQ(purge.Marked(), 0);
    purge.ExpectOthersUntouched();
    EXPECT_EQ(window.count, "0");  // a run leaves the count box alone
}

TEST(DeleteRecordsInChunks, NothingMatchingEndsAfterOnePause) {
    Purge purge;
    test::RecordingWindow window;
    RunDeletion(window, purge, "DELETE TOP (1000) FROM ATR_Log WHERE label = 'no-such-device'");
    EXPECT_TRUE(window.messages.empty()) << window.messages.front();
    EXPECT_EQ(window.recLeft, (Texts{"0", "0"}));
    EXPECT_EQ(window.eventRounds, 20);
    EXPECT_EQ(purge.Marked(), 2000);
    purge.ExpectOthersUntouched();
}

TEST(DeleteRecordsInChunks, WithoutTopOnePassDeletesAll) {
    Purge purge;
    test::RecordingWindow window;
    RunDeletion(window, purge, "DELETE FROM ATR_Log WHERE label = 'purge-me'");
    EXPECT_EQ(window.recLeft, (Texts{"2000", "0", "0"}));
    EXPECT_EQ(window.eventRounds, 40);
    EXPECT_EQ(purge.Marked(), 0);
    purge.ExpectOthersUntouched();
}

TEST(DeleteRecordsInChunks, CancelEndsTheRunAfterThePauseUnderWay) {
    Purge purge;
    test::RecordingWindow window;
    window.onEvents = [&](int round) {
        if (round == 5) window.cancelRequested = true;
    };
    RunDeletion(window, purge, "DELETE TOP (1000) FROM ATR_Log WHERE label = 'purge-me'");
    EXPECT_TRUE(window.messages.empty());
    // The figure shown is the count taken before the last delete.
    EXPECT_EQ(window.recLeft, (Texts{"2000", "2000"}));
    EXPECT_EQ(window.eventRounds, 20);
    EXPECT_EQ(purge.Marked(), 1000);
    purge.ExpectOthersUntouched();

    // A request left over from an earlier run (or from Cancel clicked while
    // idle) is cleared when the next run starts.
    test::RecordingWindow next;
    next.cancelRequested = true;
    RunDeletion(next, purge, "DELETE TOP (1000) FROM ATR_Log WHERE label = 'purge-me'");
    EXPECT_EQ(next.recLeft, (Texts{"1000", "0", "0"}));
    EXPECT_EQ(purge.Marked(), 0);
    EXPECT_FALSE(next.cancelRequested);
}

TEST(DeleteRecordsInChunks, AChunkOfNothingRunsUntilCancel) {
    Purge purge;
    test::RecordingWindow window;
    window.onEvents = [&](int round) {
        if (round == 50) window.cancelRequested = true;
    };
    RunDeletion(window, purge, "DELETE TOP (0) FROM ATR_Log WHERE label = 'purge-me'");
    EXPECT_TRUE(window.messages.empty()) << window.messages.front();
    EXPECT_EQ(window.recLeft, (Texts{"2000", "2000", "2000", "2000"}));
    EXPECT_EQ(window.eventRounds, 60);
    EXPECT_EQ(purge.Marked(), 2000);
}

TEST(DeleteRecordsInChunks, SlowStatementsAreWaitedFor) {
    Purge purge({"--delay-ms", "300"});
    test::RecordingWindow window;
    RunDeletion(window, purge, "DELETE TOP (1500) FROM ATR_Log WHERE label = 'purge-me'");
    EXPECT_TRUE(window.messages.empty()) << window.messages.front();
    EXPECT_EQ(window.recLeft, (Texts{"2000", "500", "0", "0"}));
    EXPECT_EQ(purge.Marked(), 0);
    purge.ExpectOthersUntouched();
}

// The connection lost at each step of a run: one message, the figure of the
// last count kept, and every chunk deleted before it stays deleted.
TEST(DeleteRecordsInChunks, ConnectionLostDuringARun) {
    struct Case {
        const char* dropAfter;  // statements answered before the server hangs up
        Texts shown;
        std::int64_t left;
    };
    const Case cases[] = {
        {"1", {"2000"}, 2000},          // the first delete is lost
        {"2", {"2000"}, 1000},          // the second count is lost
        {"3", {"2000", "1000"}, 1000},  // the second delete is lost
    };
    // Once a chunk has gone, the message says that it stays gone.
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("--drop-after ") + c.dropAfter);
        Purge purge({"--drop-after", c.dropAfter});
        test::RecordingWindow window;
        RunDeletion(window, purge, "DELETE TOP (1000) FROM ATR_Log WHERE label = 'purge-me'");
        ASSERT_EQ(window.messages.size(), 1u);
        EXPECT_EQ(Mentions(window.messages[0], kEarlierStayDeleted), c.left < 2000) << window.messages[0];
        EXPECT_EQ(window.recLeft, c.shown);
        EXPECT_EQ(purge.Marked(), c.left);
        purge.ExpectOthersUntouched();
    }
}

// The second delete runs past the statement time limit: the server cancels
// and rolls it back, the run ends with one message, and the first chunk
// stays deleted.
TEST(DeleteRecordsInChunks, AStatementPastTheTimeLimitEndsTheRun) {
    Purge purge({"--delay-ms", "8000", "--faults-after", "3"});
    test::RecordingWindow window;
    RunDeletion(window, purge, "DELETE TOP (1000) FROM ATR_Log WHERE label = 'purge-me'", 2);
    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_EQ(window.messages[0], "The SQL Server at 127.0.0.1," + std::to_string(purge.log.server.Port()) +
                                      " did not finish the statement within 2 seconds, so it was cancelled. "
                                      "The deletion run stopped here; " +
                                      kEarlierStayDeleted);
    EXPECT_EQ(window.recLeft, (Texts{"2000", "1000"}));
    EXPECT_EQ(purge.Marked(), 1000);
    purge.ExpectOthersUntouched();
}

// The server stops (SIGSTOP) in the middle of the second delete and answers
// nothing, not even the cancellation: the connection is given up shortly
// after the limit, and once the server runs again only the first chunk is
// gone.
TEST(DeleteRecordsInChunks, AServerStoppedInADeleteEndsTheRun) {
    Purge purge({"--delay-ms", "8000", "--faults-after", "3"});
    StopInUncommittedDelete stop(purge.log.server);
    test::RecordingWindow window;
    window.onEvents = [&](int round) {
        if (round == 1) stop.Arm();  // the first delete is committed by now
    };
    RunDeletion(window, purge, "DELETE TOP (1000) FROM ATR_Log WHERE label = 'purge-me'", 2);
    ASSERT_TRUE(stop.Stopped());
    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_TRUE(Mentions(window.messages[0],
                         "within 2 seconds and did not answer its cancellation either, so "
                         "Quellmark closed the connection"))
        << window.messages[0];
    EXPECT_TRUE(Mentions(window.messages[0], kEarlierStayDeleted)) << window.messages[0];
    EXPECT_EQ(window.recLeft, (Texts{"2000", "1000"}));
    stop.Resume();
    EXPECT_EQ(purge.Marked(), 1000);
    purge.ExpectOthersUntouched();
}

// A count answered without a number after a chunk has gone does not claim
// that nothing was changed.
TEST(DeleteRecordsInChunks, ACountWithoutANumberAfterADelete) {
    Purge purge({"--count-answer", "none", "--faults-after", "2"});
    test::RecordingWindow window;
    RunDeletion(window, purge, "DELETE TOP (1000) FROM ATR_Log WHERE label = 'purge-me'");
    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_EQ(window.messages[0],
              std::string("The server's answer to the count statement holds no row count. The deletion run stopped "
                          "here; ") +
                  kEarlierStayDeleted);
    EXPECT_EQ(window.recLeft, (Texts{"2000"}));
    EXPECT_EQ(purge.Marked(), 1000);
}

TEST(DeleteRecordsInChunks, ServerKilledDuringAPause) {
    Purge purge;
    test::RecordingWindow window;
    window.onEvents = [&](int round) {
        if (round == 10) purge.log.server.Kill();
    };
    RunDeletion(window, purge, "DELETE TOP (1000) FROM ATR_Log WHERE label = 'purge-me'");
    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_EQ(window.recLeft, (Texts{"2000"}));
    EXPECT_EQ(window.eventRounds, 20);
    EXPECT_EQ(purge.Marked(), 1000);
    purge.ExpectOthersUntouched();
}

TEST(DeleteRecordsInChunks, StatementsTheServerRefuses) {
    Purge purge;
    {
        // The count statement is fine, the delete is not: reported once, at
        // the first delete, and nothing is deleted.
        test::RecordingWindow window;
        RunDeletion(window, purge, "DELETE TOP (x) FROM ATR_Log WHERE label = 'purge-me'");
        ASSERT_EQ(window.messages.size(), 1u);
        EXPECT_EQ(window.recLeft, (Texts{"2000"}));
        EXPECT_EQ(window.eventRounds, 0);
    }
    {
        test::RecordingWindow window;
        RunDeletion(window, purge, "DELETE TOP ('x') FROM ATR_Log WHERE label = 'purge-me'");
        ASSERT_EQ(window.messages.size(), 1u);
        EXPECT_EQ(window.messages[0],
                  "The number of rows provided for a TOP or FETCH clauses row count parameter must be an integer.");
        EXPECT_EQ(window.recLeft, (Texts{"2000"}));
    }
    {
        test::RecordingWindow window;
        RunDeletion(window, purge, "DELETE TOP (1000) FROM ATR_Log WHERE lable = 'purge-me'");
        ASSERT_EQ(window.messages.size(), 1u);
        EXPECT_NE(window.messages[0].find("Invalid column name 'lable'."), std::string::npos) << window.messages[0];
        EXPECT_TRUE(window.recLeft.empty());
    }
    {
        test::RecordingWindow window;
        RunDeletion(window, purge, "delete top (1000) from ATR_Log where label = 'purge-me'");
        ASSERT_EQ(window.messages.size(), 1u);
        EXPECT_NE(window.messages[0].find("FROM ATR_Log"), std::string::npos) << window.messages[0];
        EXPECT_TRUE(window.recLeft.empty());
    }
    EXPECT_EQ(purge.Marked(), 2000);
    purge.ExpectOthersUntouched();
}

TEST(DeleteRecordsInChunks, FiltersWithQuotesAndNonAsciiText) {
    Purge purge;
    ASSERT_EQ(purge.log.Mark("O'Brien – Zürich", 300), 300);  // taken from the 'purge-me' rows
    const std::string rest = purge.log.server.Snapshot("label <> 'O''Brien – Zürich'");
    test::RecordingWindow window;
    RunDeletion(window, purge, "DELETE TOP (100) FROM ATR_Log WHERE label = 'o''brien – zürich'");
    EXPECT_TRUE(window.messages.empty()) << window.messages.front();
    EXPECT_EQ(window.recLeft, (Texts{"300", "200", "100", "0", "0"}));
    EXPECT_EQ(purge.log.server.CountRows("label = 'O''Brien – Zürich'"), 0);
    EXPECT_TRUE(purge.log.server.Snapshot() == rest);
}
