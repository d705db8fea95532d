// Deletion runs end to end through FreeTDS against quellmark-logdb. Every text
// txtRecLeft shows is recorded; the rows left are read from the server's
// SQLite file. A pause is 20 rounds of event processing, so the window's
// event hook can act at a known point of a run (Cancel, a server killed).
#include <gtest/gtest.h>

#include "ops/app_state.h"
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

void RunDeletion(test::RecordingWindow& window, const std::string& statement) {
    window.statement = statement;
    modGeneral::DeleteRecordsInChunks();
}

}  // namespace

TEST(DeleteRecordsInChunks, DeletesExactlyTheMatchingRowsChunkByChunk) {
    Purge purge;
    test::RecordingWindow window;
    // The statements are prepared when the run starts: a change of the
    // statement box during the run must not reach the server.
    window.onEvents = [&](int round) {
        if (round == 5) window.statement = "DELETE TOP (1000) FROM ATR_Log";
    };
    RunDeletion(window, "DELETE TOP (1000) FROM ATR_Log WHERE label = 'purge-me'\r\n");
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
    RunDeletion(window, "DELETE TOP (1000) FROM ATR_Log WHERE label = 'no-such-device'");
    EXPECT_TRUE(window.messages.empty()) << window.messages.front();
    EXPECT_EQ(window.recLeft, (Texts{"0", "0"}));
    EXPECT_EQ(window.eventRounds, 20);
    EXPECT_EQ(purge.Marked(), 2000);
    purge.ExpectOthersUntouched();
}

TEST(DeleteRecordsInChunks, WithoutTopOnePassDeletesAll) {
    Purge purge;
    test::RecordingWindow window;
    RunDeletion(window, "DELETE FROM ATR_Log WHERE label = 'purge-me'");
    EXPECT_EQ(window.recLeft, (Texts{"2000", "0", "0"}));
    EXPECT_EQ(window.eventRounds, 40);
    EXPECT_EQ(purge.Marked(), 0);
    purge.ExpectOthersUntouched();
}

TEST(DeleteRecordsInChunks, CancelEndsTheRunAfterThePauseUnderWay) {
    Purge purge;
    test::RecordingWindow window;
    window.onEvents = [](int round) {
        if (round == 5) CancelRequested = true;
    };
    RunDeletion(window, "DELETE TOP (1000) FROM ATR_Log WHERE label = 'purge-me'");
    EXPECT_TRUE(window.messages.empty());
    // The figure shown is the count taken before the last delete.
    EXPECT_EQ(window.recLeft, (Texts{"2000", "2000"}));
    EXPECT_EQ(window.eventRounds, 20);
    EXPECT_EQ(purge.Marked(), 1000);
    purge.ExpectOthersUntouched();

    // A request left over from an earlier run (or from Cancel clicked while
    // idle) is cleared when the next run starts.
    CancelRequested = true;
    test::RecordingWindow next;
    RunDeletion(next, "DELETE TOP (1000) FROM ATR_Log WHERE label = 'purge-me'");
    EXPECT_EQ(next.recLeft, (Texts{"1000", "0", "0"}));
    EXPECT_EQ(purge.Marked(), 0);
    EXPECT_FALSE(CancelRequested);
}

TEST(DeleteRecordsInChunks, AChunkOfNothingRunsUntilCancel) {
    Purge purge;
    test::RecordingWindow window;
    window.onEvents = [](int round) {
        if (round == 50) CancelRequested = true;
    };
    RunDeletion(window, "DELETE TOP (0) FROM ATR_Log WHERE label = 'purge-me'");
    EXPECT_TRUE(window.messages.empty()) << window.messages.front();
    EXPECT_EQ(window.recLeft, (Texts{"2000", "2000", "2000", "2000"}));
    EXPECT_EQ(window.eventRounds, 60);
    EXPECT_EQ(purge.Marked(), 2000);
}

TEST(DeleteRecordsInChunks, SlowStatementsAreWaitedFor) {
    Purge purge({"--delay-ms", "300"});
    test::RecordingWindow window;
    RunDeletion(window, "DELETE TOP (1500) FROM ATR_Log WHERE label = 'purge-me'");
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
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("--drop-after ") + c.dropAfter);
        Purge purge({"--drop-after", c.dropAfter});
        test::RecordingWindow window;
        RunDeletion(window, "DELETE TOP (1000) FROM ATR_Log WHERE label = 'purge-me'");
        ASSERT_EQ(window.messages.size(), 1u);
        EXPECT_EQ(window.recLeft, c.shown);
        EXPECT_EQ(purge.Marked(), c.left);
        purge.ExpectOthersUntouched();
    }
}

TEST(DeleteRecordsInChunks, ServerKilledDuringAPause) {
    Purge purge;
    test::RecordingWindow window;
    window.onEvents = [&](int round) {
        if (round == 10) purge.log.server.Kill();
    };
    RunDeletion(window, "DELETE TOP (1000) FROM ATR_Log WHERE label = 'purge-me'");
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
        RunDeletion(window, "DELETE TOP (x) FROM ATR_Log WHERE label = 'purge-me'");
        ASSERT_EQ(window.messages.size(), 1u);
        EXPECT_EQ(window.recLeft, (Texts{"2000"}));
        EXPECT_EQ(window.eventRounds, 0);
    }
    {
        test::RecordingWindow window;
        RunDeletion(window, "DELETE TOP (1000) FROM ATR_Log WHERE lable = 'purge-me'");
        ASSERT_EQ(window.messages.size(), 1u);
        EXPECT_NE(window.messages[0].find("Invalid column name 'lable'."), std::string::npos) << window.messages[0];
        EXPECT_TRUE(window.recLeft.empty());
    }
    {
        test::RecordingWindow window;
        RunDeletion(window, "delete top (1000) from ATR_Log where label = 'purge-me'");
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
    RunDeletion(window, "DELETE TOP (100) FROM ATR_Log WHERE label = 'o''brien – zürich'");
    EXPECT_TRUE(window.messages.empty()) << window.messages.front();
    EXPECT_EQ(window.recLeft, (Texts{"300", "200", "100", "0", "0"}));
    EXPECT_EQ(purge.log.server.CountRows("label = 'O''Brien – Zürich'"), 0);
    EXPECT_TRUE(purge.log.server.Snapshot() == rest);
}
