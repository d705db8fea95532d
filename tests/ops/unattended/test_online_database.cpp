// The unattended purge on a real connection: FreeTDS against quellmark-logdb,
// the settings file written as the operator writes it.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <thread>

#include "harness/wait.h"
#include "ops/unattended/online_database.h"
#include "support/online_log.h"

using namespace quellmark;
using namespace quellmark::ops;
using namespace quellmark::ops::unattended;
using namespace std::chrono_literals;

namespace {

constexpr const char* kMarked = "label = 'purge-me'";

struct Online {
    explicit Online(std::vector<std::string> serverArgs = {}, std::int64_t marked = 2500)
        : log(test::SarnwickServer(4000, 5, std::move(serverArgs))) {
        EXPECT_EQ(log.Mark("purge-me", marked), marked);
        log.UseSettings();
    }
    ops::OnlineConnection Open() const {
        return OpenPurgeConnection(settingsConnString.empty() ? log.SettingsConnString() : settingsConnString);
    }

    test::OnlineLog log;
    std::string settingsConnString;  // another settings file than the log's own
};

std::int64_t NumberOf(quellmark::data_access::Connection& connection, const std::string& probe) {
    return std::get<std::int64_t>(connection.Execute(probe)->Fields().Item(0).Value());
}

TEST(OnlinePurgeDatabase, SessionSettingsTakeEffectAndEachDeleteReportsItsRows) {
    Online online;
    ops::OnlineConnection open = online.Open();
    OnlinePurgeDatabase db(*open.connection);
    db.Set(SessionSettings(1234));
    EXPECT_EQ(NumberOf(*open.connection, "SELECT @@LOCK_TIMEOUT"), 1234);
    EXPECT_EQ(db.Count("SELECT COUNT(log_id) FROM ATR_Log WHERE label = 'purge-me'"), 2500);
    const std::string chunk = "DELETE TOP (1000) FROM ATR_Log WHERE label = 'purge-me'";
    EXPECT_EQ(db.Delete(chunk), 1000);
    EXPECT_EQ(db.Delete(chunk), 1000);
    EXPECT_EQ(db.Delete(chunk), 500);
    EXPECT_EQ(db.Delete(chunk), 0);
    EXPECT_EQ(online.log.server.CountRows(kMarked), 0);
}

TEST(OnlinePurgeDatabase, TellsLockTroubleFromRefusalsAndLostConnections) {
    for (const char* number : {"1205", "1222"}) {
        SCOPED_TRACE(number);
        Online online({"--inject", std::string(number) + ":2"});
        ops::OnlineConnection open = online.Open();
        OnlinePurgeDatabase db(*open.connection);
        const std::string chunk = "DELETE TOP (100) FROM ATR_Log WHERE label = 'purge-me'";
        EXPECT_EQ(db.Delete(chunk), 100);
        try {
            db.Delete(chunk);
            ADD_FAILURE() << "the second delete went through";
        } catch (const Failure& failure) {
            EXPECT_EQ(failure.Number(), std::stol(number));
            EXPECT_TRUE(failure.Retryable());
            EXPECT_NE(
                std::string(failure.what()).find(std::string(number) == "1205" ? "deadlock victim" : "Lock request"),
                std::string::npos)
                << failure.what();
        }
        EXPECT_EQ(online.log.server.CountRows(kMarked), 2400);  // the failed one deleted nothing
        EXPECT_EQ(db.Delete(chunk), 100);
    }

    Online online;
    ops::OnlineConnection open = online.Open();
    OnlinePurgeDatabase db(*open.connection);
    try {
        db.Delete("DELETE TOP (100) FROM ATR_Log WHERE prio = 1");
        ADD_FAILURE() << "a misspelt column went through";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.Cause(), FailureCause::Rejected);
        EXPECT_EQ(failure.Number(), 207);
        EXPECT_FALSE(failure.Retryable());
        EXPECT_EQ(std::string(failure.what()), "Invalid column name 'prio'.");
    }
    online.log.server.Kill();
    try {
        db.Count("SELECT COUNT(log_id) FROM ATR_Log");
        ADD_FAILURE() << "a count on a stopped server went through";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.Cause(), FailureCause::ConnectionLost) << failure.what();
    }
}

TEST(OnlinePurgeDatabase, ACountFailingAfterDeletesSaysHowManyRowsStayDeleted) {
    // Counts after the first two statements are answered without a row.
    Online online({"--count-answer", "none", "--faults-after", "2"});
    ops::OnlineConnection open = online.Open();
    OnlinePurgeDatabase db(*open.connection);
    EXPECT_EQ(db.Delete("DELETE TOP (1000) FROM ATR_Log WHERE label = 'purge-me'"), 1000);
    EXPECT_EQ(db.Delete("DELETE TOP (256) FROM ATR_Log WHERE label = 'purge-me'"), 256);
    try {
        db.Count("SELECT COUNT(log_id) FROM ATR_Log WHERE label = 'purge-me'");
        ADD_FAILURE() << "a count without a row went through";
    } catch (const Failure& failure) {
        EXPECT_EQ(std::string(failure.what()),
                  "The server's answer to the count statement holds no row count. The deletion run stopped here; "
                  "the 1256 rows it deleted before stay deleted.");
    }
}

TEST(OnlinePurgeDatabase, CancelEndsTheStatementUnderWayAndRollsItBack) {
    Online online({"--delay-ms", "20000"});
    ops::OnlineConnection open = online.Open();
    OnlinePurgeDatabase db(*open.connection);
    auto deleting = std::async(std::launch::async, [&] {
        try {
            db.Delete("DELETE TOP (100) FROM ATR_Log WHERE label = 'purge-me'");
            return std::string("went through");
        } catch (const Failure& failure) {
            return std::string(failure.what());
        }
    });
    ASSERT_TRUE(test::WaitUntil([&] { return online.log.server.DeleteUnderWay(); }, 60s));
    const auto start = std::chrono::steady_clock::now();
    db.Cancel();
    ASSERT_EQ(deleting.wait_for(10s), std::future_status::ready) << "Cancel did not end the statement";
    EXPECT_NE(deleting.get(), "went through");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_EQ(online.log.server.CountRows(kMarked), 2500);
    db.Cancel();  // nothing running: nothing happens
}

TEST(ClassifyFailure, EachErrorListGetsItsCause) {
    using quellmark::data_access::ErrorEntry;
    const auto login = FailedStep::Login;
    const auto statement = FailedStep::Statement;
    const struct {
        std::vector<ErrorEntry> records;
        FailedStep step;
        FailureCause cause;
        long number;
    } cases[] = {
        {{{"The settings file Sarnwick.mdb does not exist.", "", 0}}, FailedStep::Settings, FailureCause::Settings, 0},
        {{{"Login failed for user 'u'.", "28000", 18456}, {"refused the login", "", 0, FailureCause::Login}},
         login,
         FailureCause::Login,
         0},
        {{{"Login failed for user 'u'.", "28000", 18456}}, login, FailureCause::Login, 0},
        {{{"connection failed", "08001", 0}, {"certificate not trusted", "", 0, FailureCause::Trust}},
         login,
         FailureCause::Trust,
         0},
        {{{"Unable to connect", "08001", 0}}, login, FailureCause::ConnectionLost, 0},
        {{}, statement, FailureCause::Internal, 0},
        {{{"odd", "", 0}}, statement, FailureCause::Internal, 0},
        {{{"Invalid column name 'prio'.", "42S22", 207}}, statement, FailureCause::Rejected, 207},
        {{{"victim", "40001", 1205}, {"terminated", "", 3621}}, statement, FailureCause::LockConflict, 1205},
        {{{"other", "", 50000}, {"lock", "HY000", 1222}}, statement, FailureCause::LockConflict, 1222},
        {{{"lock", "", 1222}, {"gone", "08S01", 0}}, statement, FailureCause::ConnectionLost, 0},
        {{{"Timeout expired", "HYT00", 0}}, statement, FailureCause::ConnectionLost, 0},
        {{{"Operation canceled", "HY008", 0}}, statement, FailureCause::Internal, 0},
    };
    for (const auto& c : cases) {
        const Failure failure = ClassifyFailure(c.records, c.step);
        SCOPED_TRACE(failure.what());
        EXPECT_EQ(failure.Cause(), c.cause);
        EXPECT_EQ(failure.Number(), c.number);
        EXPECT_EQ(failure.Retryable(), c.cause == FailureCause::LockConflict);
        EXPECT_EQ(failure.Entries().size(), c.records.size());
        if (!c.records.empty()) {
            EXPECT_EQ(std::string(failure.what()), c.records.back().Description);
        }
    }
}

TEST(OpenPurgeConnection, TellsTheSettingsFromTheServer) {
    Online online;
    const auto cause = [&](const std::vector<std::string>& changes) {
        online.log.UseSettings(changes);
        try {
            online.Open();
        } catch (const OpenFailure& failure) {
            return failure.Cause();
        }
        ADD_FAILURE() << "the connection opened";
        return FailureCause::Internal;
    };
    EXPECT_EQ(cause({"--password", "wrong"}), FailureCause::Login);
    EXPECT_EQ(cause({"--type", "Telepathic Authentication"}), FailureCause::Settings);
    EXPECT_EQ(cause({"--port", test::OnlineLog::kNull}), FailureCause::Settings);
    online.settingsConnString = ops::SettingsConnStringForFile(online.log.dir / "missing.mdb");
    try {
        online.Open();
        ADD_FAILURE() << "a missing settings file opened";
    } catch (const OpenFailure& failure) {
        EXPECT_EQ(failure.Cause(), FailureCause::Settings);
        EXPECT_FALSE(failure.Settings().has_value());
    }
}

TEST(OpenPurgeConnection, SaysWhatTheWindowWouldShow) {
    Online online;
    online.log.UseSettings({"--password", "wrong"});
    std::string shown;
    EXPECT_FALSE(
        ops::OpenOnlineConnection(online.log.SettingsConnString(), [&](const std::string& text) { shown = text; }));
    try {
        online.Open();
        ADD_FAILURE() << "a wrong password logged in";
    } catch (const OpenFailure& failure) {
        EXPECT_FALSE(shown.empty());
        EXPECT_EQ(failure.what(), shown);
        EXPECT_TRUE(failure.Settings().has_value());
    }
}

TEST(RunPurge, TheServerReceivesOneCountOneDeletePerChunkAndAFinalCount) {
    test::ScratchDir dir("purge-stats");
    const std::string stats = (dir / "stats").string();
    Online online({"--stats", stats});
    ops::OnlineConnection open = online.Open();
    OnlinePurgeDatabase db(*open.connection);
    SystemClock clock;
    StopRequest stop;
    PurgePlan plan{"DELETE TOP (1000) FROM ATR_Log WHERE label = 'purge-me'",
                   "SELECT COUNT(log_id) FROM ATR_Log WHERE label = 'purge-me'",
                   1000,
                   5000,
                   20,
                   5,
                   {},
                   false};
    PurgeObserver quiet;
    const PurgeResult result = RunPurge(db, clock, stop, plan, quiet);
    EXPECT_EQ(StopReasonName(result.stopReason), "done");
    EXPECT_EQ(result.figures.rowsDeleted, 2500);
    EXPECT_EQ(result.rowsLeft, 0);
    std::ifstream in(stats);
    std::string conversation;
    for (std::string micros, kind, rows; in >> micros >> kind >> rows;) conversation += kind + ":" + rows + " ";
    EXPECT_EQ(conversation, "count:2500 delete:1000 delete:1000 delete:500 count:0 ");
    EXPECT_EQ(online.log.server.CountRows(kMarked), 0);
    EXPECT_EQ(online.log.server.CountRows(), 4000 - 2500);
}

}  // namespace
