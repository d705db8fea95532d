// quellmark-logdb, the test log server, driven through clients we did not
// write: FreeTDS's tsql and FreeTDS's ODBC driver. What the server answers
// is checked against the SQLite file it keeps its rows in.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sql.h>
#include <sqlext.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "harness/logdb_process.h"
#include "harness/run_program.h"
#include "harness/scratch_dir.h"
#include "support/odbc_client.h"

namespace {

using quellmark::test::Connected;
using quellmark::test::Diagnostic;
using quellmark::test::LogDbOptions;
using quellmark::test::LogDbProcess;
using quellmark::test::Odbc;
using quellmark::test::ScratchDir;
using quellmark::test::ServerMessage;

LogDbOptions Seeded(std::optional<std::int64_t> rows, std::uint64_t seed = 1, std::vector<std::string> extraArgs = {},
                    std::optional<std::filesystem::path> dbFile = std::nullopt) {
    LogDbOptions options;
    options.rows = rows;
    options.seed = seed;
    options.extraArgs = std::move(extraArgs);
    options.dbFile = std::move(dbFile);
    return options;
}

// Runs tsql with `input` on stdin and returns what it printed.
std::string RunTsql(const LogDbProcess& server, const std::string& password, const std::string& input) {
    ScratchDir scratch("tsql");
    const auto in = scratch / "input.sql";
    const auto out = scratch / "output.txt";
    std::ofstream(in) << input;
    const std::string command = "timeout 30 tsql -H 127.0.0.1 -p " + std::to_string(server.Port()) + " -U " +
                                server.Options().user + " -P '" + password + "' -D " + server.Options().database +
                                " < " + in.string() + " > " + out.string() + " 2>&1";
    std::system(command.c_str());
    std::stringstream text;
    text << std::ifstream(out).rdbuf();
    return text.str();
}

// ---- Clients log in and run counts and deletes ------------------------------------

TEST(LogDbClients, TsqlCountsAndDeletes) {
    LogDbProcess server(Seeded(2000, 11));
    const long long sevens = server.CountRows("priority = 7");
    ASSERT_GT(sevens, 10);
    const std::string output = RunTsql(server, "p",
                                       "SELECT COUNT(log_id) FROM ATR_Log WHERE priority = '7'\ngo\n"
                                       "DELETE TOP (10) FROM ATR_Log WHERE priority = '7'\ngo\nexit\n");
    EXPECT_NE(output.find(std::to_string(sevens)), std::string::npos) << output;
    EXPECT_EQ(server.CountRows("priority = 7"), sevens - 10);
    EXPECT_EQ(server.CountRows(), 2000 - 10);
}

TEST(LogDbClients, TsqlSeesAWrongPasswordRefused) {
    LogDbProcess server(Seeded(10, 1));
    const std::string output = RunTsql(server, "wrong", "SELECT COUNT(*) FROM ATR_Log\ngo\nexit\n");
    EXPECT_NE(output.find("Login failed for user 'u'."), std::string::npos) << output;
}

class LogDbOdbc : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server_ = new LogDbProcess(Seeded(5000, 5)); }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    static LogDbProcess* server_;
};
LogDbProcess* LogDbOdbc::server_ = nullptr;

TEST_F(LogDbOdbc, CountsMatchTheRowsStored) {
    auto client = Connected(*server_);
    struct Case {
        const char* tsql;
        const char* sqlite;
    };
    const Case cases[] = {
        {"priority = '7'", "priority = 7"},
        {"label = 'switch-01'", "label = 'switch-01'"},
        {"ent = 'snmpTraps'", "ent = 'snmpTraps'"},
        {"oid = 'linkUp'", "oid = 'linkUp'"},
        {"message LIKE '%Threshold%'", "message LIKE '%Threshold%'"},
        {"priority = '7' AND time < '2025-12-15'", "priority = 7 AND time < '2025-12-15'"},
        {"label = 'switch-01' AND oid = 'linkUp'", "label = 'switch-01' AND oid = 'linkUp'"},
        {"priority IN (1, 2) OR label LIKE 'fw-%'", "priority IN (1, 2) OR label LIKE 'fw-%'"},
        {"NOT (priority >= 3) AND time BETWEEN '2025-11-20' AND '2025-11-30 12:00'",
         "NOT (priority >= 3) AND time BETWEEN '2025-11-20 00:00:00' AND '2025-11-30 12:00:00'"},
    };
    for (const Case& c : cases) {
        const long long expected = server_->CountRows(c.sqlite);
        EXPECT_GT(expected, 0) << c.sqlite;
        EXPECT_EQ(client->Count(std::string("SELECT COUNT(log_id) FROM ATR_Log WHERE ") + c.tsql), expected) << c.tsql;
    }
    EXPECT_EQ(client->Count("SELECT COUNT(*) FROM dbo.ATR_Log"), 5000);
    EXPECT_EQ(client->Count("select count(*) from [atr_log] where time < '2025-11-02'"),
              server_->CountRows("time < '2025-11-02'"));
}

TEST_F(LogDbOdbc, TextComparesIgnoreCaseAndTrailingSpaces) {
    auto client = Connected(*server_);
    const long long devices = server_->CountRows("label = 'switch-01'");
    ASSERT_GT(devices, 0);
    EXPECT_EQ(client->Count("SELECT COUNT(*) FROM ATR_Log WHERE label = 'SWITCH-01'"), devices);
    EXPECT_EQ(client->Count("SELECT COUNT(*) FROM ATR_Log WHERE label = 'switch-01  '"), devices);
    EXPECT_EQ(client->Count("SELECT COUNT(*) FROM ATR_Log WHERE message LIKE '%threshold%'"),
              server_->CountRows("message LIKE '%Threshold%'"));
    EXPECT_EQ(client->Count("SELECT COUNT(*) FROM ATR_Log WHERE label LIKE 'SWITCH-0[1-3]'"),
              server_->CountRows("label IN ('switch-01', 'switch-02', 'switch-03')"));
}

TEST_F(LogDbOdbc, NonAsciiTextRoundTrips) {
    auto client = Connected(*server_, ";ClientCharset=UTF-8");
    const long long zurich = server_->CountRows("label = 'core-Zürich'");
    ASSERT_GT(zurich, 0);
    EXPECT_EQ(client->Count("SELECT COUNT(*) FROM ATR_Log WHERE label = N'CORE-ZÜRICH'"), zurich);
    EXPECT_EQ(client->Count("SELECT COUNT(*) FROM ATR_Log WHERE label LIKE N'%zürich%'"),
              server_->CountRows("label LIKE '%Zürich%'"));
    const Odbc::Result r = client->Run("SELECT COUNT(*) FROM ATR_Log WHERE Zürich = 1");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(ServerMessage(r.error), "Invalid column name 'Zürich'.");
}

TEST_F(LogDbOdbc, AMegabyteStatementIsRead) {
    auto client = Connected(*server_);
    std::string list;
    for (int i = 0; list.size() < 1'000'000; ++i) list += "'no-such-device-" + std::to_string(i) + "', ";
    const std::string sql = "SELECT COUNT(*) FROM ATR_Log WHERE label IN (" + list + "'switch-02')";
    EXPECT_EQ(client->Count(sql), server_->CountRows("label = 'switch-02'"));
}

TEST_F(LogDbOdbc, RefusedStatementsGetTheServersErrors) {
    auto client = Connected(*server_);
    const auto error = [&](const std::string& sql) {
        const Odbc::Result r = client->Run(sql);
        EXPECT_FALSE(r.ok) << sql;
        return ServerMessage(r.error);
    };
    EXPECT_EQ(error("SELECT COUNT(*) FROM ATR_Log WHERE prio = 7"), "Invalid column name 'prio'.");
    EXPECT_EQ(error("DELETE TOP (5) FROM ATR_Logs WHERE priority = 7"), "Invalid object name 'ATR_Logs'.");
    EXPECT_EQ(error("SELECT COUNT(*) FROM ATR_Log WHERE priority = 'seven'"),
              "Conversion failed when converting the varchar value 'seven' to data type int.");
    EXPECT_EQ(error("SELECT COUNT(*) FROM ATR_Log WHERE time < '2025-13-45'"),
              "Conversion failed when converting date and/or time from character string.");
    EXPECT_EQ(error("SELECT COUNT(*) FROM ATR_Log WHERE priority = 7 ORDER BY time"),
              "Column \"ATR_Log.time\" is invalid in the ORDER BY clause because it is not contained in either an "
              "aggregate function or the GROUP BY clause.");
    for (const char* top : {"'x'", "N'5'", "-1", "2.5"}) {
        EXPECT_EQ(error("DELETE TOP (" + std::string(top) + ") FROM ATR_Log"),
                  "The number of rows provided for a TOP or FETCH clauses row count parameter must be an integer.")
            << top;
    }
    EXPECT_EQ(error("PRAGMA writable_schema = 1"), "Incorrect syntax near 'PRAGMA'.");
    EXPECT_EQ(error("DROP TABLE ATR_Log"), "Incorrect syntax near the keyword 'DROP'.");
    EXPECT_EQ(error("SELECT COUNT(*) FROM ATR_Log WHERE label = 'x'; ATTACH 'x.db' AS x"),
              "Incorrect syntax near 'ATTACH'.");
    EXPECT_EQ(error("SELECT COUNT(*) FROM ATR_Log WHERE label = 'open"),
              "Unclosed quotation mark after the character string 'open'.");
    // Nothing of the refused statements ran.
    EXPECT_EQ(server_->CountRows(), 5000);
    // The connection still serves after errors.
    EXPECT_EQ(client->Count("SELECT COUNT(*) FROM ATR_Log"), 5000);
}

// ---- Deletes ------------------------------------------------------------------------

TEST(LogDbDelete, TopRemovesAtMostNMatchingRows) {
    LogDbProcess server(Seeded(3000, 21));
    auto client = Connected(server);
    const long long matching = server.CountRows("label = 'switch-01'");
    ASSERT_GT(matching, 20);
    const long long others = 3000 - matching;

    Odbc::Result r = client->Run("DELETE TOP (0) FROM ATR_Log WHERE label = 'switch-01'");
    ASSERT_TRUE(r.ok) << r.error.message;
    EXPECT_EQ(r.rowCount, 0);

    r = client->Run("DELETE TOP (7) FROM ATR_Log WHERE label = 'Switch-01'");
    ASSERT_TRUE(r.ok) << r.error.message;
    EXPECT_EQ(r.rowCount, 7);
    EXPECT_EQ(server.CountRows("label = 'switch-01'"), matching - 7);

    r = client->Run("DELETE TOP (100000) FROM ATR_Log WHERE label = 'switch-01'");
    ASSERT_TRUE(r.ok) << r.error.message;
    EXPECT_EQ(r.rowCount, matching - 7);
    EXPECT_EQ(server.CountRows("label = 'switch-01'"), 0);
    EXPECT_EQ(server.CountRows(), others);  // no other row was touched

    r = client->Run("DELETE FROM ATR_Log WHERE priority = 1");
    ASSERT_TRUE(r.ok) << r.error.message;
    EXPECT_GT(r.rowCount, 0);
    EXPECT_EQ(server.CountRows(), others - r.rowCount);
    EXPECT_EQ(server.CountRows("priority = 1"), 0);
}

TEST(LogDbDelete, PreparedStatementsRunAsWell) {
    LogDbProcess server(Seeded(1000, 4));
    auto client = Connected(server);
    const long long before = server.CountRows("oid = 'linkUp'");
    ASSERT_GT(before, 5);
    const Odbc::Result r = client->Run("DELETE TOP (5) FROM ATR_Log WHERE oid = 'linkUp'", /*prepare=*/true);
    ASSERT_TRUE(r.ok) << r.error.message;
    EXPECT_EQ(r.rowCount, 5);
    EXPECT_EQ(server.CountRows("oid = 'linkUp'"), before - 5);
    const Odbc::Result count = client->Run("SELECT COUNT(log_id) FROM ATR_Log WHERE oid = 'linkUp'", true);
    ASSERT_TRUE(count.ok) << count.error.message;
    EXPECT_EQ(count.value, before - 5);
}

TEST(LogDbDelete, SetRowcountAndNocountTakeEffect) {
    LogDbProcess server(Seeded(1000, 4));
    auto client = Connected(server);
    ASSERT_TRUE(client->Run("SET ROWCOUNT 3").ok);
    Odbc::Result r = client->Run("DELETE FROM ATR_Log WHERE priority = 7");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.rowCount, 3);
    ASSERT_TRUE(client->Run("SET ROWCOUNT 0").ok);
    EXPECT_EQ(server.CountRows(), 997);
}

// ---- Logins --------------------------------------------------------------------------

TEST(LogDbLogin, WrongCredentialsAndDatabasesAreRefused) {
    LogDbProcess server(Seeded(10, 1));
    const std::string good = server.OdbcConnectionString();
    const auto replaced = [&](const std::string& from, const std::string& to) {
        std::string s = good;
        s.replace(s.find(from), from.size(), to);
        return s;
    };
    {
        Odbc client;
        const auto failure = client.Connect(replaced(";PWD=p;", ";PWD=P;"));
        ASSERT_TRUE(failure);
        EXPECT_EQ(ServerMessage(*failure), "Login failed for user 'u'.");
    }
    {
        Odbc client;
        const auto failure = client.Connect(replaced(";UID=u;", ";UID=v;"));
        ASSERT_TRUE(failure);
        EXPECT_EQ(ServerMessage(*failure), "Login failed for user 'v'.");
        EXPECT_EQ(failure->message.find("PWD"), std::string::npos);
    }
    {
        Odbc client;
        const auto failure = client.Connect(replaced(";Database=logs;", ";Database=other;"));
        ASSERT_TRUE(failure);
        const std::string expected = "Cannot open database \"other\" requested by the login. The login failed.";
        EXPECT_NE(std::find(failure->messages.begin(), failure->messages.end(), expected), failure->messages.end())
            << failure->message;
    }
    Odbc client;
    EXPECT_FALSE(client.Connect(replaced(";UID=u;", ";UID=U;"))) << "login names ignore case";
}

// LOGIN7 carries UTF-16; the server compares it as text, as SQL Server does.
// FreeTDS's tsql sends the fields as written and logs in. The narrow ODBC
// calls take the connection string as Latin-1, so the same values arrive as
// UTF-8 bytes read one by one ("jÃ¼rgen_Î©"), which the server refuses.
TEST(LogDbLogin, LoginFieldsAreComparedAsUtf16Text) {
    LogDbOptions options = Seeded(10, 1);
    options.user = "jürgen_Ω";
    options.password = "pä€\U0001F600";
    options.database = "Nütz";
    LogDbProcess server(options);
    const std::string output = RunTsql(server, options.password, "SELECT COUNT(*) FROM ATR_Log\ngo\nexit\n");
    EXPECT_NE(output.find("10"), std::string::npos) << output;
    EXPECT_EQ(output.find("Login failed"), std::string::npos) << output;
    EXPECT_NE(RunTsql(server, "pä€\U0001F601", "exit\n").find("Login failed for user 'jürgen_Ω'."), std::string::npos);

    Odbc client;
    const auto failure = client.Connect(server.OdbcConnectionString() + ";ClientCharset=UTF-8");
    ASSERT_TRUE(failure) << "a mis-encoded login was accepted";
    EXPECT_NE(ServerMessage(*failure).find("Login failed for user"), std::string::npos) << failure->message;
}

TEST(LogDbLogin, RefuseLoginFailsEveryLogin) {
    LogDbProcess server(Seeded(10, 1, {"--refuse-login"}));
    Odbc client;
    const auto failure = client.Connect(server.OdbcConnectionString());
    ASSERT_TRUE(failure);
    EXPECT_EQ(ServerMessage(*failure), "Login failed for user 'u'.");
}

TEST(LogDbLogin, HangLoginLetsTheLoginTimeoutFire) {
    LogDbProcess server(Seeded(10, 1, {"--hang-login"}));
    Odbc client;
    const auto failure = client.Connect(server.OdbcConnectionString(), /*loginTimeout=*/2);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->state, "HYT00") << failure->message;
}

// ---- Faults ---------------------------------------------------------------------------

TEST(LogDbFaults, DropAfterClosesAfterThatManyStatements) {
    LogDbProcess server(Seeded(100, 1, {"--drop-after", "2"}));
    auto client = Connected(server);
    ASSERT_TRUE(client->Run("SET TEXTSIZE 2147483647").ok);  // SET does not count
    EXPECT_EQ(client->Count("SELECT COUNT(*) FROM ATR_Log"), 100);
    EXPECT_EQ(client->Run("DELETE TOP (1) FROM ATR_Log").rowCount, 1);
    const Odbc::Result third = client->Run("DELETE TOP (1) FROM ATR_Log");
    EXPECT_FALSE(third.ok) << "the server closed the connection";
    EXPECT_EQ(server.CountRows(), 99);
    // A new connection is served again.
    auto again = Connected(server);
    EXPECT_EQ(again->Count("SELECT COUNT(*) FROM ATR_Log"), 99);
}

// The delete has run when the attention comes; the server rolls it back.
TEST(LogDbFaults, ACancelledSlowDeleteIsRolledBack) {
    LogDbProcess server(Seeded(100, 1, {"--delay-ms", "4000"}));
    auto client = Connected(server);
    const Odbc::Result r = client->Run("DELETE FROM ATR_Log", false, /*queryTimeout=*/1);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error.state, "HYT00") << r.error.message;
    EXPECT_EQ(server.CountRows(), 100);
}

TEST(LogDbFaults, KilledServerEndsTheConnection) {
    LogDbProcess server(Seeded(100, 1));
    auto client = Connected(server);
    server.Kill();
    EXPECT_FALSE(client->Run("SELECT COUNT(*) FROM ATR_Log").ok);
}

// The statement log has each batch as the client sent it and how the
// connection ended; --insert-after's rows arrive after that many statements
// (SET not counted).
TEST(LogDbFaults, StatementLogAndArrivingRows) {
    LogDbOptions options = Seeded(100, 1, {"--insert-after", "2:5:new: arrival"});
    options.statementLog = true;
    LogDbProcess server(options);
    const std::vector<std::string> batches = {"SET TEXTSIZE 2147483647", "SELECT COUNT(*) FROM ATR_Log",
                                              "DELETE TOP (1) FROM ATR_Log\r\nWHERE\tmessage <> 'a\\b'",
                                              "SELECT COUNT(*) FROM ATR_Log"};
    {
        auto client = Connected(server);
        ASSERT_TRUE(client->Run(batches[0]).ok);
        EXPECT_EQ(client->Count(batches[1]), 100);
        EXPECT_EQ(server.CountRows("label = 'new: arrival'"), 0);
        EXPECT_EQ(client->Run(batches[2]).rowCount, 1);
        EXPECT_EQ(client->Count(batches[3]), 104);
        EXPECT_EQ(server.CountRows("label = 'new: arrival'"), 5);
    }
    std::map<int, quellmark::test::LoggedSession> sessions = server.Sessions(std::chrono::seconds(10));
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions.begin()->second.batches, batches);
    EXPECT_EQ(sessions.begin()->second.end, "left");

    // A connection the server closes is marked so; one whose login failed is
    // not logged.
    LogDbOptions dropping = Seeded(10, 1, {"--drop-after", "1"});
    dropping.statementLog = true;
    LogDbProcess closer(dropping);
    std::string wrongPassword = closer.OdbcConnectionString();
    wrongPassword.replace(wrongPassword.find(";PWD=p;"), 7, ";PWD=q;");
    EXPECT_TRUE(Odbc().Connect(wrongPassword, 5));
    auto client = Connected(closer);
    EXPECT_EQ(client->Count("SELECT COUNT(*) FROM ATR_Log"), 10);
    sessions = closer.Sessions(std::chrono::seconds(10));
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions.begin()->second.end, "dropped");

    for (const char* bad : {"2:5", "x:5:a", "2:0:a", "2:5:"}) {
        const quellmark::test::RunResult r = quellmark::test::Run(
            quellmark::test::LogDbPath(),
            {"--port", "0", "--database", "d", "--user", "u", "--password", "p", "--insert-after", bad});
        EXPECT_EQ(r.exitCode, 2) << bad;
        EXPECT_NE(r.err.find("--insert-after"), std::string::npos) << r.err;
    }
}

// ---- The process itself ------------------------------------------------------------------

TEST(LogDbProcessTest, ListensOnLoopbackOnly) {
    LogDbProcess server(Seeded(1, 1));
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, ":%04X", server.Port());
    std::vector<std::string> addresses;
    while (std::getline(tcp, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (state == "0A" && local.size() > 5 && local.substr(local.size() - 5) == wanted)
            addresses.push_back(local.substr(0, local.size() - 5));
    }
    ASSERT_EQ(addresses.size(), 1u);
    EXPECT_EQ(addresses[0], "0100007F");  // 127.0.0.1
}

TEST(LogDbProcessTest, SameSeedGivesTheSameRows) {
    ScratchDir scratch("logdb-seed");
    const auto dump = [&](std::uint64_t seed, const std::string& name) {
        LogDbProcess server(Seeded(500, seed, {}, scratch / name));
        server.Kill();
        const std::string command = "sqlite3 " + (scratch / name).string() +
                                    " 'SELECT * FROM ATR_Log ORDER BY log_id' > " +
                                    (scratch / (name + ".txt")).string();
        EXPECT_EQ(std::system(command.c_str()), 0);
        std::stringstream text;
        text << std::ifstream(scratch / (name + ".txt")).rdbuf();
        return text.str();
    };
    const std::string a = dump(42, "a.db");
    EXPECT_EQ(a, dump(42, "b.db"));
    EXPECT_NE(a, dump(43, "c.db"));
    for (const char* expected : {"switch-01", "snmpTraps", "linkUp", "Threshold"})
        EXPECT_NE(a.find(expected), std::string::npos) << expected;
}

TEST(LogDbProcessTest, AnExistingFileIsServedWithoutRows) {
    ScratchDir scratch("logdb-reuse");
    {
        LogDbProcess first(Seeded(300, 9, {}, scratch / "keep.db"));
        auto client = Connected(first);
        ASSERT_EQ(client->Run("DELETE TOP (50) FROM ATR_Log").rowCount, 50);
    }
    LogDbProcess second(Seeded(std::nullopt, 1, {}, scratch / "keep.db"));
    auto client = Connected(second);
    EXPECT_EQ(client->Count("SELECT COUNT(*) FROM ATR_Log"), 250);
}

TEST(LogDbProcessTest, StatsFileGetsALinePerStatement) {
    ScratchDir scratch("logdb-stats");
    const auto stats = scratch / "stats.tsv";
    LogDbProcess server(Seeded(200, 1, {"--stats", stats.string()}));
    auto client = Connected(server);
    client->Count("SELECT COUNT(*) FROM ATR_Log");
    client->Run("DELETE TOP (3) FROM ATR_Log");
    client->Run("SET NOCOUNT OFF");
    std::ifstream in(stats);
    std::vector<std::string> kinds;
    std::vector<long long> rows;
    std::string micros, kind;
    long long n = 0;
    while (in >> micros >> kind >> n) kinds.push_back(kind), rows.push_back(n);
    EXPECT_EQ(kinds, (std::vector<std::string>{"count", "delete"}));
    EXPECT_EQ(rows, (std::vector<long long>{200, 3}));
}

}  // namespace
