// The audit record of the window's Delete All Records: the real window
// (quellmark-window-run) against the log server, in a private mount
// namespace whose system journal is a scratch socket of the test.
#include <gtest/gtest.h>

#include "harness/scoped_env.h"
#include "support/audit_journal.h"
#include "support/online_log.h"

using namespace quellmark;
using namespace std::chrono_literals;

namespace {

constexpr const char* kMarked = "label = 'purge-me'";
// Distinctive, so that any trace of it in a datagram is found.
constexpr const char* kPassword = "Vq8#window-audit-pw";
// Two lines, as the statement box allows.
constexpr const char* kStatement = "DELETE TOP (1000) FROM ATR_Log\nWHERE label = 'purge-me'";

class WindowJournal : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::CanUseMountNamespaces()) GTEST_SKIP() << "a private mount namespace needs root";
        ASSERT_EQ(log.Mark("purge-me", 2000), 2000);
        log.UseSettings();
    }

    test::RunResult RunWindow(const test::ScratchJournal& journal, const std::string& statement,
                              const std::vector<std::string>& more = {}) const {
        std::vector<std::string> args = {log.SettingsFile().string(), statement};
        args.insert(args.end(), more.begin(), more.end());
        return journal.Run(QUELLMARK_WINDOW_RUN, args, 120s);
    }

    test::OnlineLog log{test::SarnwickServer(3000, 5, {}, kPassword)};
};

TEST_F(WindowJournal, ACompletedRunLeavesOneRecordWithEveryFieldAndNoPassword) {
    test::ScratchJournal journal;
    const std::int64_t before = log.server.CountRows();
    const test::RunResult run = RunWindow(journal, kStatement);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "records left: 0\n");
    EXPECT_EQ(log.server.CountRows(kMarked), 0);

    std::vector<std::string> datagrams;
    const test::JournalDatagram record = test::OneAuditRecord(journal, datagrams);
    EXPECT_EQ(record.Get("PRIORITY"), "6");
    EXPECT_EQ(record.Get("QUELLMARK_FRONT_END"), "window");
    EXPECT_EQ(record.Get("QUELLMARK_SERVER"), "127.0.0.1," + std::to_string(log.server.Port()));
    EXPECT_EQ(record.Get("QUELLMARK_DATABASE"), "Sarnwick");
    EXPECT_EQ(record.Get("QUELLMARK_LOGIN"), "ops");
    EXPECT_EQ(record.Get("QUELLMARK_STATEMENT"), kStatement);
    EXPECT_EQ(record.Get("QUELLMARK_ROWS_DELETED"), std::to_string(before - log.server.CountRows()));
    EXPECT_EQ(record.Get("QUELLMARK_ROWS_DELETED"), "2000");
    EXPECT_EQ(record.Get("QUELLMARK_ROWS_LEFT"), "0");
    EXPECT_EQ(record.Get("QUELLMARK_STOP_REASON"), "done");
    const double seconds = std::stod(record.Get("QUELLMARK_SECONDS").value_or("-1"));
    EXPECT_GT(seconds, 0.2);  // three passes, each with its pause
    EXPECT_LT(seconds, 120);
    EXPECT_EQ(record.Get("MESSAGE"), "Delete All Records deleted 2000 rows from ATR_Log on server 127.0.0.1," +
                                         std::to_string(log.server.Port()) +
                                         ", database Sarnwick: finished, 0 rows left.");
    EXPECT_FALSE(test::AnyHolds(datagrams, kPassword));
}

TEST_F(WindowJournal, CancelledAndFailedRunsSayHowTheyEnded) {
    {
        test::ScratchJournal journal;
        const test::RunResult run =
            RunWindow(journal, "DELETE TOP (500) FROM ATR_Log WHERE label = 'purge-me'", {"--cancel"});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.out, "records left: 2000\n");  // the count before the one pass
        EXPECT_EQ(log.server.CountRows(kMarked), 1500);
        std::vector<std::string> datagrams;
        const test::JournalDatagram record = test::OneAuditRecord(journal, datagrams);
        EXPECT_EQ(record.Get("QUELLMARK_STOP_REASON"), "cancelled");
        EXPECT_EQ(record.Get("PRIORITY"), "4");
        EXPECT_EQ(record.Get("QUELLMARK_ROWS_DELETED"), "500");
        EXPECT_EQ(record.Get("QUELLMARK_ROWS_LEFT"), "");  // not counted after the last delete
    }
    {
        // Refused by the server: the password of the settings is wrong, and
        // it reached the server, yet appears in no datagram.
        log.UseSettings({"--password", "Wrong#window-audit-pw"});
        test::ScratchJournal journal;
        const test::RunResult run = RunWindow(journal, kStatement);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_NE(run.out.find("message: "), std::string::npos) << run.out;
        std::vector<std::string> datagrams;
        const test::JournalDatagram record = test::OneAuditRecord(journal, datagrams);
        EXPECT_EQ(record.Get("QUELLMARK_STOP_REASON"), "failed");
        EXPECT_EQ(record.Get("PRIORITY"), "3");
        EXPECT_EQ(record.Get("QUELLMARK_ROWS_DELETED"), "0");
        EXPECT_EQ(record.Get("QUELLMARK_LOGIN"), "ops");
        EXPECT_FALSE(test::AnyHolds(datagrams, "Wrong#window-audit-pw"));
    }
}

TEST_F(WindowJournal, WithoutAJournalTheRunSaysAndDoesExactlyWhatItDoesWithOne) {
    log.UseSettings({"--port", "1"});  // nothing listens there
    test::ScratchJournal listening;
    const test::RunResult withJournal = RunWindow(listening, kStatement);
    EXPECT_NE(withJournal.out.find("message: "), std::string::npos);
    EXPECT_EQ(test::AuditRecords(test::ParseAll(listening.Receive())).size(), 1u);
    for (const test::JournalSocket socket :
         {test::JournalSocket::Missing, test::JournalSocket::Abandoned, test::JournalSocket::Refusing}) {
        SCOPED_TRACE(static_cast<int>(socket));
        log.UseSettings({"--port", "1"});
        test::ScratchJournal journal(socket);
        const test::RunResult failed = RunWindow(journal, kStatement);
        EXPECT_EQ(failed.exitCode, 0);
        EXPECT_EQ(failed.out, withJournal.out);

        log.UseSettings();
        ASSERT_GT(log.Mark("purge-me", 100), 0);
        const test::RunResult run = RunWindow(journal, kStatement);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.out, "records left: 0\n");
        EXPECT_EQ(log.server.CountRows(kMarked), 0);
    }
}

TEST_F(WindowJournal, AWindowThatNeverReadItsSettingsLeavesNoRecord) {
    std::filesystem::remove(log.SettingsFile());
    test::ScratchJournal journal;
    const test::RunResult run = RunWindow(journal, kStatement);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("message: "), std::string::npos);
    EXPECT_TRUE(journal.Receive().empty());
}

}  // namespace
