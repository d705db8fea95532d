// The log server's application locks: sp_getapplock / sp_releaseapplock as
// SQL Server answers them, in the server's own terms and through FreeTDS.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "harness/logdb_process.h"
#include "harness/wait.h"
#include "logdb/app_locks.h"
#include "support/odbc_client.h"

using namespace quellmark::logdb;
using namespace std::chrono_literals;
using quellmark::test::Connected;
using quellmark::test::LogDbProcess;
using quellmark::test::WaitUntil;

namespace {

constexpr AppLockMode kX = AppLockMode::Exclusive;

TEST(AppLocks, AnExclusiveLockIsOneSessionsAsOftenAsItTookIt) {
    AppLocks locks;
    EXPECT_EQ(locks.Acquire("logs", "purge", 1, kX, 0), applock::kGranted);
    EXPECT_EQ(locks.Acquire("logs", "purge", 2, kX, 0), applock::kTimedOut);
    EXPECT_EQ(locks.Acquire("logs", "purge", 1, kX, 0), applock::kGranted);  // again, by its holder
    EXPECT_TRUE(locks.Release("logs", "purge", 1));
    EXPECT_EQ(locks.Acquire("logs", "purge", 2, kX, 0), applock::kTimedOut);  // held once more
    EXPECT_TRUE(locks.Release("logs", "purge", 1));
    EXPECT_FALSE(locks.Release("logs", "purge", 1));
    EXPECT_EQ(locks.Acquire("logs", "purge", 2, kX, 0), applock::kGranted);
    EXPECT_FALSE(locks.Release("logs", "purge", 1));  // not the holder
    // Resources are compared exactly, databases in any letter case.
    EXPECT_EQ(locks.Acquire("LOGS", "purge", 1, kX, 0), applock::kTimedOut);
    EXPECT_EQ(locks.Acquire("logs", "Purge", 1, kX, 0), applock::kGranted);
    EXPECT_EQ(locks.Acquire("other", "purge", 1, kX, 0), applock::kGranted);
    // A session's end gives back all it holds, however often it took it.
    EXPECT_EQ(locks.Acquire("logs", "purge", 2, kX, 0), applock::kGranted);
    locks.ReleaseAll(2);
    EXPECT_EQ(locks.Acquire("logs", "purge", 1, kX, 0), applock::kGranted);
}

TEST(AppLocks, ModesShareAsSqlServersLocksDo) {
    struct Case {
        AppLockMode held, asked;
        bool granted;
    };
    using M = AppLockMode;
    for (const Case& c :
         {Case{M::Shared, M::Shared, true}, Case{M::Shared, M::Update, true}, Case{M::Update, M::Update, false},
          Case{M::Shared, M::IntentExclusive, false}, Case{M::IntentShared, M::IntentExclusive, true},
          Case{M::IntentExclusive, M::IntentExclusive, true}, Case{M::IntentShared, M::Exclusive, false},
          Case{M::Exclusive, M::IntentShared, false}}) {
        AppLocks locks;
        ASSERT_EQ(locks.Acquire("db", "r", 1, c.held, 0), applock::kGranted);
        EXPECT_EQ(locks.Acquire("db", "r", 2, c.asked, 0), c.granted ? applock::kGranted : applock::kTimedOut)
            << static_cast<int>(c.held) << " then " << static_cast<int>(c.asked);
    }
    EXPECT_EQ(AppLockModeNamed("exclusive"), kX);
    EXPECT_EQ(AppLockModeNamed("IntentShared"), AppLockMode::IntentShared);
    EXPECT_FALSE(AppLockModeNamed("Exclusiv"));
}

TEST(AppLocks, ARequestWaitsUpToItsTimeOut) {
    AppLocks locks;
    ASSERT_EQ(locks.Acquire("db", "r", 1, kX, 0), applock::kGranted);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(locks.Acquire("db", "r", 2, kX, 150), applock::kTimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
    // Granted after waiting once the holder gives it back, or its session ends.
    for (const bool sessionEnds : {false, true}) {
        auto waiter = std::async(std::launch::async, [&] { return locks.Acquire("db", "r", 2, kX, 60000); });
        EXPECT_TRUE(WaitUntil([&] { return locks.Waiting() == 1; }, 30s));
        if (sessionEnds) {
            locks.ReleaseAll(1);
        } else {
            locks.Release("db", "r", 1);
        }
        EXPECT_EQ(waiter.get(), applock::kGrantedAfterWait);
        locks.ReleaseAll(2);
        ASSERT_EQ(locks.Acquire("db", "r", 1, kX, 0), applock::kGranted);
    }
    auto forever = std::async(std::launch::async, [&] { return locks.Acquire("db", "r", 2, kX, -1); });
    EXPECT_TRUE(WaitUntil([&] { return locks.Waiting() == 1; }, 30s));
    locks.ReleaseAll(1);
    EXPECT_EQ(forever.get(), applock::kGrantedAfterWait);
}

ProcArgument Arg(std::string name, std::string text) {
    ProcArgument a;
    a.name = std::move(name);
    a.text = std::move(text);
    return a;
}
ProcArgument Int(std::string name, std::int64_t value) {
    ProcArgument a = Arg(std::move(name), "");
    a.isInteger = true;
    a.integer = value;
    return a;
}

std::int32_t FailureNumber(std::string_view procedure, const std::vector<ProcArgument>& arguments) {
    try {
        BindAppLockCall(procedure, arguments);
    } catch (const SqlFailure& f) {
        return f.Messages().front().number;
    }
    return 0;
}

TEST(AppLocks, ArgumentsBindByPositionThenByNameAsTsqlBindsThem) {
    const AppLockCall positional =
        BindAppLockCall("sp_getapplock", {Arg("", "r"), Arg("", "Exclusive"), Arg("", "Session"), Int("", 0)});
    EXPECT_EQ(positional.resource, "r");
    EXPECT_EQ(positional.mode, "Exclusive");
    EXPECT_EQ(positional.owner, "Session");
    EXPECT_EQ(positional.timeoutMs, 0);
    const AppLockCall named =
        BindAppLockCall("dbo.SP_GETAPPLOCK", {Arg("", "r"), Int("@locktimeout", 25), Arg("@LOCKMODE", "Shared")});
    EXPECT_FALSE(named.release);
    EXPECT_EQ(named.resource, "r");
    EXPECT_EQ(named.mode, "Shared");
    EXPECT_FALSE(named.owner);
    EXPECT_EQ(named.timeoutMs, 25);
    EXPECT_EQ(BindAppLockCall("sys.sp_releaseapplock", {Arg("@Resource", "r")}).release, true);
    EXPECT_EQ(BindAppLockCall("sp_getapplock", {Arg("", "r"), Arg("", "X"), Arg("", "Session"), Arg("", "zero")})
                  .badValue.has_value(),
              true);

    EXPECT_EQ(FailureNumber("sp_getapplock", {Arg("@Resource", "r"), Arg("", "Exclusive")}), 119);
    EXPECT_EQ(FailureNumber("sp_getapplock", {Arg("", "r"), Arg("@Mode", "Exclusive")}), 8145);
    EXPECT_EQ(FailureNumber("sp_releaseapplock", {Arg("", "r"), Arg("", "Session"), Arg("", "public"), Arg("", "x")}),
              8144);
    EXPECT_EQ(FailureNumber("sp_getapplock", {Arg("", "r"), Arg("@lockmode", "Shared"), Arg("@LockMode", "Shared")}),
              8143);
    EXPECT_EQ(FailureNumber("sp_getapplock", {Arg("", "r")}), 201);
    ProcArgument byDefault = Arg("", "");
    byDefault.isDefault = true;
    EXPECT_EQ(FailureNumber("sp_getapplock", {Arg("", "r"), byDefault}), 201);
    EXPECT_TRUE(IsAppLockProcedure("master.dbo.sp_getapplock"));
    EXPECT_FALSE(IsAppLockProcedure("other.sp_getapplock"));
    EXPECT_FALSE(IsAppLockProcedure("sp_getapplocks"));
}

TEST(AppLocks, CallsTheServerCannotGrantReturnMinus999WithTheReason) {
    AppLocks locks;
    const auto run = [&](std::vector<ProcArgument> arguments, std::string_view procedure = "sp_getapplock") {
        return RunAppLockCall(locks, BindAppLockCall(procedure, arguments), "logs", 7, -1);
    };
    for (const auto& arguments : std::vector<std::vector<ProcArgument>>{
             {Arg("", "r"), Arg("", "Exclusive")},                     // owned by a transaction
             {Arg("", "r"), Arg("", "Exclusive"), Arg("", "Nobody")},  // no such owner
             {Arg("", "r"), Arg("", "Sole"), Arg("", "Session")},      // no such mode
             {Arg("", ""), Arg("", "Exclusive"), Arg("", "Session")},  // no resource
             {Arg("", "r"), Arg("", "Exclusive"), Arg("", "Session"), Int("", -2)},
             {Arg("", "r"), Arg("", "Exclusive"), Arg("", "Session"), Int("", 0), Arg("", "someone")}}) {
        const AppLockOutcome outcome = run(arguments);
        EXPECT_EQ(outcome.returnValue, applock::kBadCall);
        EXPECT_TRUE(outcome.message);
    }
    EXPECT_EQ(run({Arg("", "r"), Arg("", "Exclusive"), Arg("", "Session"), Int("", 0)}).returnValue, applock::kGranted);
    EXPECT_EQ(run({Arg("", "r"), Arg("", "Session")}, "sp_releaseapplock").returnValue, applock::kGranted);
    const AppLockOutcome notHeld = run({Arg("", "r"), Arg("", "Session")}, "sp_releaseapplock");
    EXPECT_EQ(notHeld.returnValue, applock::kBadCall);
    ASSERT_TRUE(notHeld.message);
    EXPECT_EQ(notHeld.message->number, 1223);
    EXPECT_EQ(notHeld.message->text,
              "Cannot release the application lock (Database Principal: 'public', Resource: 'r') because it is not "
              "currently held.");
}

// ---- Through FreeTDS ----------------------------------------------------------------

std::string GetLock(const std::string& arguments) {
    return "DECLARE @r int; EXEC @r = sp_getapplock " + arguments + "; SELECT @r";
}
const std::string kNamed =
    GetLock("@Resource = N'quellmark-purge', @LockMode = 'Exclusive', @LockOwner = 'Session', @LockTimeout = 0");
const std::string kPositional = GetLock("N'quellmark-purge', 'Exclusive', 'Session', 0");

TEST(LogDbAppLock, TheReturnValueInABatchGrantsOneSessionUntilItLeaves) {
    LogDbProcess server;
    auto first = Connected(server);
    auto second = Connected(server);
    EXPECT_EQ(first->Count(kNamed), 0);
    EXPECT_EQ(second->Count(kNamed), -1);
    EXPECT_EQ(second->Count(kPositional), -1);
    EXPECT_EQ(first->Count(kPositional), 0);  // its own, again
    // The session's LOCK_TIMEOUT is the wait when the call names none.
    EXPECT_TRUE(second->Run("SET LOCK_TIMEOUT 200").ok);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(second->Count(GetLock("N'quellmark-purge', 'Exclusive', 'Session'")), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);

    const auto release = [](quellmark::test::Odbc& client) {
        return client.Run(
            "DECLARE @r int; EXEC @r = sp_releaseapplock @Resource = N'quellmark-purge', "
            "@LockOwner = 'Session'; SELECT @r");
    };
    EXPECT_EQ(release(*first).value, 0);
    EXPECT_EQ(second->Count(kNamed), -1);  // taken twice, given back once
    const quellmark::test::Odbc::Result notHeld = release(*second);
    EXPECT_FALSE(notHeld.ok);
    EXPECT_NE(notHeld.error.message.find("Cannot release the application lock (Database Principal: 'public', "
                                         "Resource: 'quellmark-purge') because it is not currently held."),
              std::string::npos)
        << notHeld.error.message;

    first.reset();  // the client leaves: its session's locks go
    long long answer = -1;
    for (int i = 0; i < 100 && answer != 0; ++i) {
        answer = second->Count(kNamed);
        if (answer != 0) std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(answer, 0);
}

TEST(LogDbAppLock, BatchErrorsAreSqlServersAndTheCallEscapeGetsTheReturnStatus) {
    LogDbProcess server;
    auto client = Connected(server);
    const auto error = [&](const std::string& sql) {
        const quellmark::test::Odbc::Result r = client->Run(sql);
        return r.error.messages.empty() ? std::string("<no error>") : r.error.messages.front();
    };
    EXPECT_EQ(error("EXEC @x = sp_getapplock 'r', 'Exclusive', 'Session', 0"),
              "Must declare the scalar variable \"@X\".");
    EXPECT_EQ(error("DECLARE @r int, @r int"),
              "The variable name '@R' has already been declared. Variable names must be unique within a query batch "
              "or stored procedure.");
    EXPECT_EQ(error("EXEC sp_who"), "Could not find stored procedure 'sp_who'.");
    EXPECT_EQ(error(GetLock("@Resource = 'r', 'Exclusive'")).substr(0, 31), "Must pass parameter number 2 an");
    EXPECT_EQ(error(GetLock("'r'")),
              "Procedure or function 'sp_getapplock' expects parameter '@LockMode', which was not supplied.");
    // Variables carry values into the call; a text one is read back as text.
    EXPECT_EQ(client->Count("DECLARE @r int, @t int = 0, @res nvarchar(255) = N'v'; EXEC @r = sp_getapplock @res, "
                            "'Exclusive', 'Session', @t; SELECT @r"),
              0);

    auto other = Connected(server);
    const quellmark::test::Odbc::Result granted =
        client->Call("{? = call sp_getapplock('c', 'Exclusive', 'Session', 0)}");
    ASSERT_TRUE(granted.ok) << granted.error.message;
    EXPECT_EQ(granted.value, 0);
    EXPECT_EQ(other->Call("{? = call sp_getapplock('c', 'Exclusive', 'Session', 0)}").value, -1);
    const quellmark::test::Odbc::Result refused = other->Call("{? = call sp_getapplock('c', 'Exclusive')}");
    EXPECT_FALSE(refused.ok);  // owned by a transaction: an error with the -999
    EXPECT_NE(refused.error.message.find("only @LockOwner = 'Session' locks"), std::string::npos)
        << refused.error.message;
    EXPECT_EQ(client->Call("{? = call sp_releaseapplock('c', 'Session')}").value, 0);
    EXPECT_EQ(other->Call("{? = call sp_getapplock('c', 'Exclusive', 'Session', 0)}").value, 0);
}

}  // namespace
