// What a purge costs the log server's other clients: inserts as the
// monitoring system writes its events, a delete holding the table for as long
// as its rows take, and a transaction log that fills up until a log backup
// frees it, with the views that show it, through FreeTDS's ODBC driver.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "harness/logdb_process.h"
#include "harness/run_program.h"
#include "support/odbc_client.h"

namespace {

using quellmark::test::Connected;
using quellmark::test::LogDbOptions;
using quellmark::test::LogDbProcess;
using quellmark::test::Odbc;
using quellmark::test::ServerMessage;

constexpr const char* kLogSpace = "SELECT used_log_space_in_percent FROM sys.dm_db_log_space_usage";
constexpr const char* kDatabaseState =
    "SELECT recovery_model_desc, log_reuse_wait_desc FROM sys.databases WHERE name = DB_NAME()";
constexpr const char* kEvent =
    "INSERT INTO ATR_Log (priority, time, label, ent, oid, message) "
    "VALUES (2, '2026-01-02 10:00', 'probe-01', 'snmpTraps', 'linkDown', 'Interface down')";
constexpr const char* kLogFull = "The transaction log for database 'logs' is full due to 'LOG_BACKUP'.";

LogDbOptions Served(std::vector<std::string> extraArgs, bool statementLog = false) {
    LogDbOptions options;
    options.rows = 1000;
    options.extraArgs = std::move(extraArgs);
    options.statementLog = statementLog;
    return options;
}

std::string Failure(Odbc& client, const std::string& sql) {
    const Odbc::Result r = client.Run(sql);
    return r.ok ? "ok" : ServerMessage(r.error);
}

double UsedPercent(Odbc& client) {
    const Odbc::Row row = client.FirstRow(kLogSpace);
    EXPECT_TRUE(row.ok) << row.error.message;
    EXPECT_EQ(row.types, std::vector<SQLSMALLINT>{SQL_REAL});
    return row.values.size() == 1 && row.values[0] ? std::stod(*row.values[0]) : -1;
}

TEST(LogDbWrites, InsertsConvertLikeSqlServerAndRefuseWhatItRefuses) {
    LogDbProcess server(Served({}));
    auto client = Connected(server);
    const Odbc::Result r = client->Run(kEvent);
    ASSERT_TRUE(r.ok) << r.error.message;
    EXPECT_EQ(r.rowCount, 1);
    EXPECT_EQ(server.CountRows("label = 'probe-01' AND priority = 2 AND time = '2026-01-02 10:00:00' AND "
                               "message = 'Interface down' AND log_id > 1000"),
              1);
    struct Case {
        const char* sql;
        const char* answer;
    };
    const Case cases[] = {
        {"insert atr_log (Label, PRIORITY, time) values (N'probe-02', '3', '2026-01-02')", "ok"},
        {"INSERT INTO ATR_Log (log_id, priority, time) VALUES (1, 1, '2026-01-02')",
         "Cannot insert explicit value for identity column in table 'ATR_Log' when IDENTITY_INSERT is set to OFF."},
        {"INSERT INTO ATR_Log (priority, time) VALUES (1)",
         "There are more columns in the INSERT statement than values specified in the VALUES clause. The number of "
         "values in the VALUES clause must match the number of columns specified in the INSERT statement."},
        {"INSERT INTO ATR_Log (priority, label) VALUES (1, 'x')",
         "Cannot insert the value NULL into column 'time', table 'logs.dbo.ATR_Log'; column does not allow nulls. "
         "INSERT fails."},
        {"INSERT INTO ATR_Log (priority, time) VALUES ('high', '2026-01-02')",
         "Conversion failed when converting the varchar value 'high' to data type int."},
    };
    for (const Case& c : cases) EXPECT_EQ(Failure(*client, c.sql), c.answer) << c.sql;
    EXPECT_EQ(server.CountRows(), 1002);
}

TEST(LogDbWrites, TheLogViewsAnswerOneRow) {
    struct Case {
        std::vector<std::string> args;
        const char* logSpace;  // the percent, or the error
    };
    const Case cases[] = {
        {{}, "2"},  // no log model
        {{"--log-size", "1000000", "--log-bytes-per-row", "10"}, "0"},
        {{"--deny-log-view"}, "VIEW SERVER STATE permission was denied on object 'server', database 'master'."},
    };
    for (const Case& c : cases) {
        LogDbProcess server(Served(c.args));
        auto client = Connected(server);
        const Odbc::Row space = client->FirstRow(kLogSpace);
        EXPECT_EQ(space.ok ? space.values.at(0).value_or("null").substr(0, 1) : ServerMessage(space.error), c.logSpace);
        const Odbc::Row state = client->FirstRow(kDatabaseState);
        ASSERT_TRUE(state.ok) << state.error.message;
        EXPECT_EQ(state.values, (std::vector<std::optional<std::string>>{"FULL", "NOTHING"}));
    }
}

// 100 bytes a row in a 10,000-byte log, backed up every 4 seconds from the
// server's start; the steps before the first backup take well under that.
TEST(LogDbWrites, AFullLogFailsEveryWriteUntilALogBackup) {
    LogDbProcess server(Served({"--log-size", "10000", "--log-bytes-per-row", "100", "--log-backup-every", "4"}));
    auto client = Connected(server);
    EXPECT_EQ(client->Run("DELETE TOP (60) FROM ATR_Log").rowCount, 60);
    EXPECT_DOUBLE_EQ(UsedPercent(*client), 60.0);
    EXPECT_EQ(client->FirstRow(kDatabaseState).values.at(1), "LOG_BACKUP");
    for (const char* write : {"DELETE TOP (50) FROM ATR_Log", kEvent, "DELETE TOP (1) FROM ATR_Log"})
        EXPECT_EQ(Failure(*client, write), kLogFull) << write;
    EXPECT_EQ(server.CountRows(), 940);  // the delete that did not fit was rolled back
    EXPECT_DOUBLE_EQ(UsedPercent(*client), 100.0);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (UsedPercent(*client) != 0.0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(client->FirstRow(kDatabaseState).values.at(1), "NOTHING");
    EXPECT_EQ(Failure(*client, kEvent), "ok");
    EXPECT_EQ(Failure(*client, "DELETE TOP (50) FROM ATR_Log"), "ok");
    EXPECT_EQ(server.CountRows(), 891);

    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"--log-size", "100"}, {"--log-bytes-per-row", "1"}, {"--row-cost-after", "5"}}) {
        std::vector<std::string> args = {"--port", "0", "--database", "d", "--user", "u", "--password", "p"};
        args.insert(args.end(), bad.begin(), bad.end());
        EXPECT_EQ(quellmark::test::Run(quellmark::test::LogDbPath(), args).exitCode, 2) << bad.front();
    }
}

// The first delete costs nothing; the second, 20 ms a row (10 s in all),
// holds the table until its own 5 s time-out rolls it back. An insert waits for it until
// the client's 1 s time-out, a lock time-out ends the wait as well.
TEST(LogDbWrites, AnInsertWaitsBehindADeleteUntilItsTimeOut) {
    LogDbProcess server(Served({"--row-cost-after", "1:20000"}, /*statementLog=*/true));
    auto purge = Connected(server);
    // Logged in before the delete starts: a login on a busy machine may
    // take seconds of the delete's five.
    auto monitor = Connected(server);
    ASSERT_EQ(purge->Run("DELETE TOP (500) FROM ATR_Log", false, /*queryTimeout=*/5).rowCount, 500);
    const std::string slowDelete = "DELETE TOP (500) FROM ATR_Log WHERE log_id > 0";
    std::atomic<bool> deleteEnded{false};
    Odbc::Result deleted;
    std::thread deleting([&] {
        deleted = purge->Run(slowDelete, false, 5);
        deleteEnded = true;
    });
    const auto deleteArrived = [&] {
        for (const auto& [spid, session] : server.Sessions())
            if (!session.batches.empty() && session.batches.back() == slowDelete) return true;
        return false;
    };
    while (!deleteArrived()) std::this_thread::sleep_for(std::chrono::milliseconds(5));

    const Odbc::Result insert = monitor->Run(kEvent, false, /*queryTimeout=*/1);
    EXPECT_EQ(insert.error.state, "HYT00") << insert.error.message;
    ASSERT_TRUE(monitor->Run("SET LOCK_TIMEOUT 200").ok);
    EXPECT_EQ(Failure(*monitor, kEvent), "Lock request time out period exceeded.");
    EXPECT_FALSE(deleteEnded) << "the insert waited for the delete to end";

    deleting.join();
    EXPECT_EQ(deleted.error.state, "HYT00");
    EXPECT_EQ(Failure(*monitor, kEvent), "ok");
    EXPECT_EQ(server.CountRows(), 501);
}

}  // namespace
