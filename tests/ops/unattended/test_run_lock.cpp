// One purge at a time per log: the lock file's name, the server's answer to
// the lock request, and both locks on a real connection (FreeTDS against
// quellmark-logdb).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "ops/unattended/online_database.h"
#include "ops/unattended/run.h"
#include "ops/unattended/run_lock.h"
#include "support/online_log.h"

using namespace quellmark;
using namespace quellmark::ops;
using namespace quellmark::ops::unattended;

namespace {

TEST(PurgeLock, TheLockFileNamesServerAndDatabaseInSafeCharactersOnly) {
    EXPECT_EQ(LockFileName("sql01.example.net,1433", "NetMon"), "quellmark-purge.sql01.example.net%2C1433.NetMon.lock");
    EXPECT_EQ(LockFileName("SQL01\\INST", "Net Mon_2-x"), "quellmark-purge.SQL01%5CINST.Net%20Mon_2-x.lock");
    // Nothing that leaves the folder or hides a separator; bytes beyond ASCII one by one.
    EXPECT_EQ(LockFileName("../etc", "a/b"), "quellmark-purge...%2Fetc.a%2Fb.lock");
    EXPECT_EQ(LockFileName("h\xC3\xB6st", "%"), "quellmark-purge.h%C3%B6st.%25.lock");
    EXPECT_EQ(LockFileName("a.b", "c"), "quellmark-purge.a.b.c.lock");  // two logs, two locks
    EXPECT_EQ(LockFileName("a", "b.c"), "quellmark-purge.a.b%2Ec.lock");
    std::string database, escapes;  // too long for a file name: 128 x U+0416, 768 bytes escaped
    for (int i = 0; i < 128; ++i) database += "\xD0\x96";
    for (int i = 0; i < 31; ++i) escapes += i % 2 ? "%96" : "%D0";  // the escapes whole in the first 100 bytes
    const std::string name = LockFileName("sql01", database);
    EXPECT_EQ(name.substr(0, name.size() - 22), "quellmark-purge.sql01." + escapes);  // then ~, 16 hex digits, .lock
    EXPECT_NE(name, LockFileName("sql01", database + "x"));
}

TEST(PurgeLock, TheLockFolderIsRunLockUnlessTheEnvironmentNamesAnother) {
    const char* before = std::getenv("QUELLMARK_LOCK_DIR");
    const std::string saved = before ? before : "";
    ::unsetenv("QUELLMARK_LOCK_DIR");
    EXPECT_EQ(LockFolder(), "/run/lock/quellmark-purge");
    ::setenv("QUELLMARK_LOCK_DIR", "", 1);
    EXPECT_EQ(LockFolder(), "/run/lock/quellmark-purge");
    ::setenv("QUELLMARK_LOCK_DIR", "/tmp/x", 1);
    EXPECT_EQ(LockFolder(), "/tmp/x");
    if (before) {
        ::setenv("QUELLMARK_LOCK_DIR", saved.c_str(), 1);
    } else {
        ::unsetenv("QUELLMARK_LOCK_DIR");
    }
}

TEST(PurgeLock, TheServersAnswerGrantsRefusesOrFails) {
    EXPECT_TRUE(ServerLockGranted(0));
    EXPECT_TRUE(ServerLockGranted(1));
    EXPECT_FALSE(ServerLockGranted(-1));
    for (const std::int64_t answer : {-2, -3, -999}) {
        try {
            ServerLockGranted(answer);
            ADD_FAILURE() << answer;
        } catch (const Failure& f) {
            EXPECT_EQ(f.Cause(), FailureCause::Rejected) << answer;
        }
    }
    for (const std::optional<std::int64_t> odd : {std::optional<std::int64_t>(), std::optional<std::int64_t>(7)}) {
        try {
            ServerLockGranted(odd);
            ADD_FAILURE();
        } catch (const Failure& f) {
            EXPECT_EQ(f.Cause(), FailureCause::Internal);
        }
    }
}

TEST(PurgeLock, TheLocalLockNamesItsHolderAndTheFile) {
    const test::ScratchDir dir("purge-lock");
    const base::LockFile held = TakeLocalLock(dir.Path().string(), "sql01,1433", "NetMon");
    EXPECT_EQ(held.Path(), (dir.Path() / "quellmark-purge.sql01%2C1433.NetMon.lock").string());
    try {
        TakeLocalLock(dir.Path().string(), "sql01,1433", "NetMon");
        ADD_FAILURE() << "taken twice";
    } catch (const LockHeld& e) {
        EXPECT_EQ(std::string(e.what()), "The log NetMon on sql01,1433 is locked by process " +
                                             std::to_string(::getpid()) + " on this machine (" + held.Path() +
                                             "): another purge of it is running.");
    }
    // Another log is another lock.
    EXPECT_NO_THROW(TakeLocalLock(dir.Path().string(), "sql01,1433", "NetMon2"));
}

TEST(PurgeLock, TheServerLockIsOneSessionsUntilItGivesItBackOrGoes) {
    test::OnlineLog log(test::SarnwickServer(10, 1));
    log.UseSettings();
    ops::OnlineConnection a = OpenPurgeConnection(log.SettingsConnString());
    ops::OnlineConnection b = OpenPurgeConnection(log.SettingsConnString());
    {
        const ServerRunLock first(*a.connection, "srv", "Sarnwick");
        try {
            const ServerRunLock second(*b.connection, "srv", "Sarnwick");
            ADD_FAILURE() << "granted twice";
        } catch (const LockHeld& e) {
            EXPECT_EQ(std::string(e.what()),
                      "The log Sarnwick on srv is locked by another session on the server: a purge of it is running, "
                      "here or on another machine.");
        }
        // The same session may ask again (and gives it back as often).
        const ServerRunLock again(*a.connection, "srv", "Sarnwick");
    }
    {
        ServerRunLock second(*b.connection, "srv", "Sarnwick");  // given back by `first`
        second.LeaveToSessionEnd();
    }
    EXPECT_THROW(ServerRunLock(*a.connection, "srv", "Sarnwick"), LockHeld);  // still b's
    b.connection->Close();
    // The server sees the session end a moment after the client closed it.
    bool granted = false;
    for (int i = 0; i < 100 && !granted; ++i) {
        try {
            const ServerRunLock first(*a.connection, "srv", "Sarnwick");
            granted = true;
        } catch (const LockHeld&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    EXPECT_TRUE(granted);
}

}  // namespace
