// The log server's lock settings and lock trouble: SET LOCK_TIMEOUT and SET
// DEADLOCK_PRIORITY as SQL Server takes them, and --inject, through FreeTDS.
#include <gtest/gtest.h>

#include "harness/logdb_process.h"
#include "harness/run_program.h"
#include "support/odbc_client.h"

using quellmark::test::Connected;
using quellmark::test::LogDbOptions;
using quellmark::test::LogDbProcess;

namespace {

LogDbOptions Seeded(std::vector<std::string> extraArgs = {}) {
    LogDbOptions options;
    options.rows = 1000;
    options.seed = 3;
    options.extraArgs = std::move(extraArgs);
    return options;
}

TEST(LogDbLockOptions, TakesTheValuesSqlServerTakes) {
    LogDbProcess server(Seeded());
    auto client = Connected(server);
    EXPECT_EQ(client->Count("SELECT @@LOCK_TIMEOUT"), -1);
    EXPECT_TRUE(client->Run("SET LOCK_TIMEOUT 5000; SET DEADLOCK_PRIORITY LOW").ok);
    EXPECT_EQ(client->Count("SELECT @@LOCK_TIMEOUT"), 5000);
    for (const char* accepted : {"SET LOCK_TIMEOUT 0", "SET LOCK_TIMEOUT -1", "SET DEADLOCK_PRIORITY NORMAL",
                                 "SET DEADLOCK_PRIORITY high", "SET DEADLOCK_PRIORITY -10", "SET DEADLOCK_PRIORITY 10"})
        EXPECT_TRUE(client->Run(accepted).ok) << accepted;
    for (const char* refused :
         {"SET LOCK_TIMEOUT -2", "SET LOCK_TIMEOUT 1.5", "SET LOCK_TIMEOUT forever", "SET DEADLOCK_PRIORITY LOWEST",
          "SET DEADLOCK_PRIORITY 11", "SET DEADLOCK_PRIORITY -11", "SET DEADLOCK_PRIORITY 99999999999999999999"}) {
        const auto r = client->Run(refused);
        EXPECT_FALSE(r.ok) << refused;
        EXPECT_NE(r.error.message.find("Incorrect syntax near"), std::string::npos) << r.error.message;
    }
    EXPECT_EQ(client->Count("SELECT @@LOCK_TIMEOUT"), -1);  // the last value taken
}

TEST(LogDbLockOptions, InjectFailsEveryNthDeleteOfAConnectionAndDeletesNothing) {
    LogDbProcess server(Seeded({"--inject", "1222:2"}));
    for (int connection = 0; connection < 2; ++connection) {
        auto client = Connected(server);
        const std::int64_t before = server.CountRows();
        auto r = client->Run("DELETE TOP (10) FROM ATR_Log");
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.rowCount, 10);
        r = client->Run("DELETE TOP (10) FROM ATR_Log");
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(quellmark::test::ServerMessage(r.error), "Lock request time out period exceeded.");
        EXPECT_EQ(server.CountRows(), before - 10);
        EXPECT_TRUE(client->Run("DELETE TOP (10) FROM ATR_Log").ok);
        EXPECT_EQ(client->Count("SELECT COUNT(*) FROM ATR_Log"), before - 20);  // counts are spared
    }
    for (const char* bad : {"1204:3", "1205", "1205:0", "1205:x", ":3"}) {
        const auto r = quellmark::test::Run(quellmark::test::LogDbPath(), {"--port", "0", "--database", "d", "--user",
                                                                           "u", "--password", "p", "--inject", bad});
        EXPECT_EQ(r.exitCode, 2) << bad;
        EXPECT_NE(r.err.find("--inject"), std::string::npos) << r.err;
    }
}

}  // namespace
