// Counting end to end: Sarnwick.mdb written by quellmark-settings, the online
// connection through unixODBC and FreeTDS, and quellmark-logdb answering. The
// figures are checked against the server's SQLite file, read directly.
#include <gtest/gtest.h>

#include <chrono>

#include "harness/scoped_env.h"
#include "ops/modGeneral.h"
#include "support/online_log.h"
#include "support/recording_window.h"

using namespace quellmark;

namespace {

// Runs CountRecords on the statement with the log's settings file and
// returns the window it wrote to.
test::RecordingWindow& Count(test::RecordingWindow& window, const test::OnlineLog& log, const std::string& statement,
                             std::int32_t commandTimeout = quellmark::data_access::kDefaultCommandTimeout) {
    window.statement = statement;
    ops::CountRecords(window, log.SettingsConnString(), commandTimeout);
    return window;
}

void ExpectOneMessageMentioning(const test::RecordingWindow& window, std::initializer_list<const char*> parts) {
    ASSERT_EQ(window.messages.size(), 1u);
    for (const char* part : parts)
        EXPECT_NE(window.messages[0].find(part), std::string::npos)
            << window.messages[0] << "\nshould mention: " << part;
}

}  // namespace

TEST(CountRecords, FiltersCountWhatTheServerHolds) {
    test::OnlineLog log(test::SarnwickServer(3000, 5));
    log.UseSettings();
    // The filter as the operator writes it, and the same rows in SQLite terms.
    const std::pair<const char*, const char*> cases[] = {
        {"DELETE TOP (2000) FROM ATR_Log WHERE priority = '7'", "priority = 7"},
        {"DELETE TOP (500) FROM ATR_Log WHERE label = 'SWITCH-01' AND oid = 'linkup'",
         "label = 'switch-01' AND oid = 'linkUp'"},
        {"DELETE TOP (500) FROM ATR_Log WHERE message LIKE '%threshold%'", "message LIKE '%Threshold%'"},
        {"DELETE TOP (500) FROM ATR_Log WHERE priority = '7' AND time < '2025-12-01'",
         "priority = 7 AND time < '2025-12-01'"},
        {"DELETE TOP (500)\r\nFROM ATR_Log\r\nWHERE priority < 3\r\n\r\n", "priority < 3"},
        {"DELETE FROM ATR_Log", ""},
    };
    for (const auto& [statement, where] : cases) {
        SCOPED_TRACE(statement);
        test::RecordingWindow window;
        Count(window, log, statement);
        EXPECT_TRUE(window.messages.empty()) << window.messages.front();
        const std::int64_t expected = log.server.CountRows(where);
        EXPECT_EQ(window.count, std::to_string(expected));
        EXPECT_EQ(window.eventRounds, 0);  // a count processes no window events
        EXPECT_TRUE(window.recLeft.empty());
    }
    EXPECT_EQ(log.server.CountRows(), 3000);  // counting deletes nothing

    test::RecordingWindow window;
    window.count = "99";
    Count(window, log, "DELETE TOP (2000) FROM ATR_Log WHERE label = 'no-such-device'");
    EXPECT_TRUE(window.messages.empty());
    EXPECT_EQ(window.count, "0");
}

TEST(CountRecords, FailingStatementsLeaveTheCountAsItWas) {
    test::OnlineLog log;
    log.UseSettings();
    {
        test::RecordingWindow window;
        window.count = "1234";
        Count(window, log, "DELETE TOP (2000) FROM ATR_Log WHERE prio = '7'");
        ExpectOneMessageMentioning(window, {"Invalid column name 'prio'."});
        EXPECT_EQ(window.count, "1234");
    }
    {
        // Without the marker in this letter case there is no count statement.
        test::RecordingWindow window;
        window.count = "1234";
        Count(window, log, "DELETE TOP (2000) from ATR_Log WHERE priority = '7'");
        ExpectOneMessageMentioning(window, {"FROM ATR_Log"});
        EXPECT_EQ(window.count, "1234");
    }
    {
        test::RecordingWindow window;
        window.count = "1234";
        Count(window, log, "DELETE TOP (2000) FROM ATR_Log WHERE message = 'unclosed");
        ASSERT_EQ(window.messages.size(), 1u);
        EXPECT_EQ(window.count, "1234");
    }
    EXPECT_EQ(log.server.CountRows(), 1000);
}

TEST(CountRecords, StatementsThatAreLongOrNotAscii) {
    test::OnlineLog log(test::SarnwickServer(400, 3));
    log.Mark("Zürich – Süd «core»", 25);
    log.UseSettings();
    {
        test::RecordingWindow window;
        Count(window, log, "DELETE TOP (10) FROM ATR_Log WHERE label = 'zürich – süd «core»'");
        EXPECT_TRUE(window.messages.empty()) << window.messages.front();
        EXPECT_EQ(window.count, "25");
    }
    {
        // Quotes doubled inside a literal, as T-SQL writes them.
        test::RecordingWindow window;
        Count(window, log, "DELETE TOP (10) FROM ATR_Log WHERE message = 'it''s' OR label = 'Zürich – Süd «core»'");
        EXPECT_TRUE(window.messages.empty()) << window.messages.front();
        EXPECT_EQ(window.count, "25");
    }
    {
        // About a megabyte of filter: the marker far beyond 16 bits still counts.
        std::string statement = "DELETE TOP (10) ";
        statement.append(70000, ' ');
        statement += "FROM ATR_Log WHERE priority = '7'";
        statement += " OR message = '" + std::string(1'000'000, 'x') + "'";
        test::RecordingWindow window;
        Count(window, log, statement);
        EXPECT_TRUE(window.messages.empty()) << window.messages.front().substr(0, 300);
        EXPECT_EQ(window.count, std::to_string(log.server.CountRows("priority = 7")));
    }
}

TEST(CountRecords, TheThreeAuthenticationForms) {
    test::OnlineLog log;
    const std::string hostAndPort = "127.0.0.1," + std::to_string(log.server.Port());

    log.UseSettings({"--type", "Local SQL Authentication", "--server", hostAndPort});
    test::RecordingWindow local;
    Count(local, log, "DELETE TOP (10) FROM ATR_Log");
    EXPECT_TRUE(local.messages.empty()) << local.messages.front();
    EXPECT_EQ(local.count, "1000");

    log.UseSettings();
    test::RecordingWindow remote;
    Count(remote, log, "DELETE TOP (10) FROM ATR_Log");
    EXPECT_TRUE(remote.messages.empty()) << remote.messages.front();
    EXPECT_EQ(remote.count, "1000");

    // A type name must match exactly; anything else gives no connection string.
    log.UseSettings({"--type", "remote sql authentication"});
    test::RecordingWindow unknown;
    unknown.count = "7";
    Count(unknown, log, "DELETE TOP (10) FROM ATR_Log");
    ASSERT_EQ(unknown.messages.size(), 1u);
    EXPECT_EQ(unknown.count, "7");

    // A credential cache that does not exist: this user holds no ticket.
    const test::ScopedEnv noTicket("KRB5CCNAME", "FILE:/nonexistent/quellmark-no-ticket");
    log.UseSettings({"--type", "Windows Authentication", "--server", hostAndPort});
    test::RecordingWindow windows;
    windows.count = "7";
    Count(windows, log, "DELETE TOP (10) FROM ATR_Log");
    ExpectOneMessageMentioning(windows, {"Kerberos"});
    EXPECT_EQ(windows.count, "7");
}

TEST(CountRecords, ConnectionFailuresShowOneMessage) {
    test::OnlineLog log;
    {
        log.UseSettings({"--password", "wrong"});
        test::RecordingWindow window;
        window.count = "7";
        Count(window, log, "DELETE TOP (10) FROM ATR_Log");
        ExpectOneMessageMentioning(window, {"Login failed for user 'ops'."});
        EXPECT_EQ(window.messages[0].find("wrong"), std::string::npos);
        EXPECT_EQ(window.messages[0].find("s3cret"), std::string::npos);
        EXPECT_EQ(window.count, "7");
    }
    {
        // A ';' in the password stays inside the password: with it cut short
        // the login fails, it cannot switch the database.
        log.UseSettings({"--password", "x;Initial Catalog=master"});
        test::RecordingWindow window;
        Count(window, log, "DELETE TOP (10) FROM ATR_Log");
        ExpectOneMessageMentioning(window, {"Login failed for user 'ops'."});
        EXPECT_EQ(window.messages[0].find("master"), std::string::npos) << window.messages[0];
    }
    {
        test::LogDbProcess gone;
        const std::uint16_t port = gone.Port();
        gone.Kill();
        log.UseSettings({"--port", std::to_string(port)});
        test::RecordingWindow window;
        Count(window, log, "DELETE TOP (10) FROM ATR_Log");
        ExpectOneMessageMentioning(window, {"127.0.0.1"});
        EXPECT_EQ(window.count, "0");
    }
}

TEST(CountRecords, ServerFaultSwitches) {
    {
        test::OnlineLog log(test::SarnwickServer(1000, 1, {"--refuse-login"}));
        log.UseSettings();
        test::RecordingWindow window;
        Count(window, log, "DELETE TOP (10) FROM ATR_Log");
        ExpectOneMessageMentioning(window, {"Login failed"});
    }
    {
        test::OnlineLog log(test::SarnwickServer(1000, 1, {"--hang-login"}));
        log.UseSettings({"--timeout", "2"});
        test::RecordingWindow window;
        const auto start = std::chrono::steady_clock::now();
        Count(window, log, "DELETE TOP (10) FROM ATR_Log");
        const auto took = std::chrono::steady_clock::now() - start;
        ASSERT_EQ(window.messages.size(), 1u);
        EXPECT_GE(took, std::chrono::milliseconds(1500));
        EXPECT_LT(took, std::chrono::seconds(12)) << "the login time-out was not kept";
    }
    {
        // A statement of a few seconds is waited for: OnlConnTimeout applies
        // to the login only, and a statement is given 30 seconds.
        test::OnlineLog log(test::SarnwickServer(1000, 1, {"--delay-ms", "2500"}));
        log.UseSettings({"--timeout", "1"});
        test::RecordingWindow window;
        Count(window, log, "DELETE TOP (10) FROM ATR_Log WHERE priority = '7'");
        EXPECT_TRUE(window.messages.empty()) << window.messages.front();
        EXPECT_EQ(window.count, std::to_string(log.server.CountRows("priority = 7")));

        // Past a shorter limit the count is cancelled and the box keeps its figure.
        window.count = "42";
        Count(window, log, "DELETE TOP (10) FROM ATR_Log WHERE priority = '7'", 1);
        ExpectOneMessageMentioning(window, {"did not finish the statement within 1 second, so it was cancelled."});
        EXPECT_EQ(window.count, "42");
    }
}

// A count answer without a number (no row, or a null) is reported; neither
// operation goes on with an old figure.
TEST(CountRecords, AnswersWithoutACountAreReported) {
    for (const char* answer : {"none", "null"}) {
        SCOPED_TRACE(answer);
        test::OnlineLog log(test::SarnwickServer(1000, 1, {"--count-answer", answer}));
        log.UseSettings();
        test::RecordingWindow window;
        window.count = "42";
        Count(window, log, "DELETE TOP (100) FROM ATR_Log WHERE priority = '7'");
        ExpectOneMessageMentioning(window, {"holds no row count"});
        EXPECT_EQ(window.count, "42");

        window.messages.clear();
        ops::DeleteRecordsInChunks(window, log.SettingsConnString());
        ExpectOneMessageMentioning(window, {"holds no row count"});
        EXPECT_TRUE(window.recLeft.empty());
        EXPECT_EQ(window.eventRounds, 0);
        EXPECT_EQ(log.server.CountRows(), 1000);
    }
}

TEST(CountRecords, AProgrammingErrorIsNotSkipped) {
    // Only data-access failures are skipped; any other exception reaches the
    // caller (the window shows it) instead of passing as "no statement".
    struct BrokenWindow : test::RecordingWindow {
        std::string SqlQueryText() const override { throw std::logic_error("the statement box is gone"); }
    };
    test::OnlineLog log;
    log.UseSettings();
    BrokenWindow window;
    EXPECT_THROW(ops::CountRecords(window, log.SettingsConnString()), std::logic_error);
    EXPECT_THROW(ops::DeleteRecordsInChunks(window, log.SettingsConnString()), std::logic_error);
    EXPECT_TRUE(window.messages.empty());
    EXPECT_EQ(log.server.CountRows(), 1000);
}
