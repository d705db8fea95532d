// What quellmark-purge tells systemd: the audit record of each run, sent to a
// scratch journal in a private mount namespace, and the STATUS= lines sent to
// a NOTIFY_SOCKET of the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <tuple>

#include "harness/kerberos_realm.h"
#include "harness/scoped_env.h"
#include "purge/purge_journal.h"
#include "support/audit_journal.h"
#include "support/online_log.h"

using namespace quellmark;
using namespace quellmark::ops;
namespace unattended = quellmark::ops::unattended;
using namespace std::chrono_literals;

namespace {

constexpr const char* kMarked = "label = 'purge-me'";
// Distinctive, so that any trace of it in a datagram is found.
constexpr const char* kPassword = "Kx5%purge-audit-pw";

std::string Chunked(int n) { return "DELETE TOP (" + std::to_string(n) + ") FROM ATR_Log WHERE label = 'purge-me'"; }

class PurgeJournal : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(log.Mark("purge-me", 2000), 2000);
        log.UseSettings();
    }

    std::vector<std::string> Args(const std::string& statement, std::vector<std::string> more = {}) const {
        std::vector<std::string> args = {
            "--settings", log.SettingsFile().string(), "--statement", statement, "--chunk-time", "0", "--max-log-used",
            "0"};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }

    test::OnlineLog log{test::SarnwickServer(5000, 11, {}, kPassword)};
    const test::ScopedEnv lockFolder{"QUELLMARK_LOCK_DIR", log.dir.Path().string()};
};

class PurgeJournalNamespace : public PurgeJournal {
protected:
    void SetUp() override {
        if (!test::CanUseMountNamespaces()) GTEST_SKIP() << "a private mount namespace needs root";
        PurgeJournal::SetUp();
    }
};

TEST_F(PurgeJournalNamespace, ACompletedRunLeavesOneRecordWithEveryFieldAndNoPassword) {
    test::ScratchJournal journal;
    const std::int64_t before = log.server.CountRows();
    const test::RunResult run = journal.Run(QUELLMARK_PURGE_TOOL, Args(Chunked(500), {"--quiet"}), 120s);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(log.server.CountRows(kMarked), 0);

    std::vector<std::string> datagrams;
    const test::JournalDatagram record = test::OneAuditRecord(journal, datagrams);
    const std::string server = "127.0.0.1," + std::to_string(log.server.Port());
    EXPECT_EQ(record.Get("PRIORITY"), "6");
    EXPECT_EQ(record.Get("QUELLMARK_FRONT_END"), "purge");
    EXPECT_EQ(record.Get("QUELLMARK_SERVER"), server);
    EXPECT_EQ(record.Get("QUELLMARK_DATABASE"), "Sarnwick");
    EXPECT_EQ(record.Get("QUELLMARK_LOGIN"), "ops");
    EXPECT_EQ(record.Get("QUELLMARK_STATEMENT"), Chunked(500));
    EXPECT_EQ(record.Get("QUELLMARK_ROWS_DELETED"), std::to_string(before - log.server.CountRows()));
    EXPECT_EQ(record.Get("QUELLMARK_ROWS_DELETED"), "2000");
    EXPECT_EQ(record.Get("QUELLMARK_ROWS_LEFT"), "0");
    EXPECT_EQ(record.Get("QUELLMARK_STOP_REASON"), "done");
    const double seconds = std::stod(record.Get("QUELLMARK_SECONDS").value_or("-1"));
    EXPECT_GT(seconds, 0.6);  // four chunks, three pauses
    EXPECT_LT(seconds, 120);
    EXPECT_EQ(record.Get("MESSAGE"), "quellmark-purge deleted 2000 rows from ATR_Log on server " + server +
                                         ", database Sarnwick: finished, 0 rows left.");
    EXPECT_FALSE(test::AnyHolds(datagrams, kPassword));
}

TEST_F(PurgeJournalNamespace, StoppedAndFailedRunsSayHowTheyEnded) {
    {
        // The run's time is up during the pause after its first chunk.
        test::ScratchJournal journal;
        const test::RunResult run = journal.Run(
            QUELLMARK_PURGE_TOOL, Args(Chunked(500), {"--quiet", "--max-runtime", "1s", "--pause-ms", "5000"}), 120s);
        ASSERT_EQ(run.exitCode, 75) << run.err;
        std::vector<std::string> datagrams;
        const test::JournalDatagram record = test::OneAuditRecord(journal, datagrams);
        EXPECT_EQ(record.Get("QUELLMARK_STOP_REASON"), "max-runtime");
        EXPECT_EQ(record.Get("PRIORITY"), "4");
        EXPECT_EQ(record.Get("QUELLMARK_ROWS_DELETED"), "500");
        EXPECT_EQ(record.Get("QUELLMARK_ROWS_LEFT"), "1500");
        EXPECT_EQ(log.server.CountRows(kMarked), 1500);
        EXPECT_NE(record.Get("MESSAGE")->find("stopped at its maximum run time, 1500 rows left"), std::string::npos)
            << *record.Get("MESSAGE");
    }
    {
        // The connection fails while the second delete runs: its chunk may
        // be gone or not.
        const test::LogDbProcess dropping(test::SarnwickServer(5000, 11, {"--drop-after", "4"}, kPassword));
        ASSERT_EQ(dropping.Mark("purge-me", 2000), 2000);
        log.UseSettings({"--port", std::to_string(dropping.Port())});
        test::ScratchJournal journal;
        const test::RunResult run = journal.Run(QUELLMARK_PURGE_TOOL, Args(Chunked(500), {"--quiet"}), 120s);
        ASSERT_EQ(run.exitCode, 69) << run.err;
        std::vector<std::string> datagrams;
        const test::JournalDatagram record = test::OneAuditRecord(journal, datagrams);
        EXPECT_EQ(record.Get("QUELLMARK_STOP_REASON"), "failed");
        EXPECT_EQ(record.Get("QUELLMARK_ROWS_DELETED"), "500");
        EXPECT_EQ(record.Get("QUELLMARK_ROWS_IN_DOUBT"), "500");
    }
    {
        // The login is refused: the wrong password went to the server, and
        // to no datagram.
        log.UseSettings({"--password", "Wrong%purge-audit-pw"});
        test::ScratchJournal journal;
        const test::RunResult run = journal.Run(QUELLMARK_PURGE_TOOL, Args(Chunked(500), {"--quiet"}), 120s);
        ASSERT_EQ(run.exitCode, 69) << run.err;
        std::vector<std::string> datagrams;
        const test::JournalDatagram record = test::OneAuditRecord(journal, datagrams);
        EXPECT_EQ(record.Get("QUELLMARK_STOP_REASON"), "failed");
        EXPECT_EQ(record.Get("PRIORITY"), "3");
        EXPECT_EQ(record.Get("QUELLMARK_ROWS_DELETED"), "0");
        EXPECT_EQ(record.Get("QUELLMARK_ROWS_LEFT"), "");
        EXPECT_EQ(record.Get("QUELLMARK_SERVER"), "127.0.0.1," + std::to_string(log.server.Port()));
        EXPECT_FALSE(test::AnyHolds(datagrams, "Wrong%purge-audit-pw"));
    }
    {
        // The server rejects the statement.
        log.UseSettings();
        test::ScratchJournal journal;
        const test::RunResult run = journal.Run(
            QUELLMARK_PURGE_TOOL, Args("DELETE TOP (500) FROM ATR_Log WHERE no_such_column = 1", {"--quiet"}), 120s);
        ASSERT_EQ(run.exitCode, 65) << run.err;
        std::vector<std::string> datagrams;
        const test::JournalDatagram record = test::OneAuditRecord(journal, datagrams);
        EXPECT_EQ(record.Get("QUELLMARK_STOP_REASON"), "failed");
        EXPECT_EQ(record.Get("PRIORITY"), "3");
    }
    {
        // No settings file: the run never learnt which log it was for.
        std::filesystem::remove(log.SettingsFile());
        test::ScratchJournal journal;
        const test::RunResult run = journal.Run(QUELLMARK_PURGE_TOOL, Args(Chunked(500), {"--quiet"}), 120s);
        EXPECT_EQ(run.exitCode, 78) << run.err;
        EXPECT_TRUE(journal.Receive().empty());
    }
}

// Standard output and error are a pipe whose reader is gone before the run.
TEST_F(PurgeJournalNamespace, AClosedOutputLeavesTheRunItsJsonAndItsRecord) {
    test::ScratchJournal journal;
    const auto json = log.dir / "run.json";
    std::vector<std::string> args = {"-c", "exec 3> >(:); wait $!; exec \"$@\" >&3 2>&3 3>&-", "bash",
                                     QUELLMARK_PURGE_TOOL};
    for (const std::string& arg : Args(Chunked(500), {"--json", json.string()})) args.push_back(arg);
    const test::RunResult run = journal.Run("/bin/bash", args, 120s);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(log.server.CountRows(kMarked), 0);
    std::string text;
    EXPECT_TRUE(std::getline(std::ifstream(json), text) && text.find(R"("rows_deleted":2000,)") != std::string::npos);
    std::vector<std::string> datagrams;
    EXPECT_EQ(test::OneAuditRecord(journal, datagrams).Get("QUELLMARK_ROWS_DELETED"), "2000");
}

TEST_F(PurgeJournalNamespace, WithoutAJournalTheRunEndsAsItDoesWithOne) {
    log.UseSettings({"--port", "1"});  // nothing listens there
    test::ScratchJournal listening;
    const test::RunResult refusedWithJournal =
        listening.Run(QUELLMARK_PURGE_TOOL, Args(Chunked(500), {"--quiet"}), 120s);
    EXPECT_EQ(refusedWithJournal.exitCode, 69);
    EXPECT_EQ(test::AuditRecords(test::ParseAll(listening.Receive())).size(), 1u);
    // No journal at all, or one that stopped, is no news; a journal that is
    // there and refuses the record is worth a note, and only that.
    for (const test::JournalSocket socket :
         {test::JournalSocket::Missing, test::JournalSocket::Abandoned, test::JournalSocket::Refusing}) {
        SCOPED_TRACE(static_cast<int>(socket));
        const std::string note = socket == test::JournalSocket::Refusing
                                     ? "quellmark-purge: the system journal did not take the run's record: "
                                     : "";
        log.UseSettings({"--port", "1"});
        test::ScratchJournal journal(socket);
        const test::RunResult refused = journal.Run(QUELLMARK_PURGE_TOOL, Args(Chunked(500), {"--quiet"}), 120s);
        EXPECT_EQ(refused.exitCode, 69);
        EXPECT_EQ(refused.err.substr(0, refusedWithJournal.err.size()), refusedWithJournal.err);
        EXPECT_EQ(refused.err.substr(refusedWithJournal.err.size(), note.size()), note);

        log.UseSettings();
        const std::string marked = std::to_string(log.Mark("purge-me", 700));  // all of them, the first time
        const test::RunResult run = journal.Run(QUELLMARK_PURGE_TOOL, Args(Chunked(500), {"--quiet"}), 120s);
        EXPECT_EQ(run.exitCode, 0);
        if (note.empty()) {
            EXPECT_EQ(run.err, "");
        } else {
            EXPECT_EQ(run.err.substr(0, note.size()), note);
        }
        EXPECT_NE(run.out.find("deleted " + marked + " of " + marked + " rows"), std::string::npos) << run.out;
        EXPECT_EQ(log.server.CountRows(kMarked), 0);
    }
}

// With Windows Authentication the login is the principal of the ticket the
// run logged in with; without a ticket the run fails and names none.
TEST(PurgeJournalKerberos, TheLoginIsTheTicketsPrincipal) {
    if (!test::CanUseMountNamespaces()) GTEST_SKIP() << "a private mount namespace needs root";
    test::KerberosRealm realm;
    test::OnlineLog log(test::SarnwickServer(1000, 3, {"--kerberos-keytab", realm.Keytab()}, kPassword));
    const test::ScopedEnv lockFolder("QUELLMARK_LOCK_DIR", log.dir.Path().string());
    ASSERT_EQ(log.Mark("purge-me", 300), 300);
    realm.RegisterService("localhost", log.server.Port());
    const std::string server = "localhost," + std::to_string(log.server.Port());
    log.UseSettings({"--type", "Windows Authentication", "--server", server});
    const std::vector<std::string> args = {"--settings", log.SettingsFile().string(), "--statement", Chunked(200),
                                           "--quiet"};
    for (const bool ticket : {true, false}) {
        SCOPED_TRACE(ticket ? "with a ticket" : "without a ticket");
        if (ticket) {
            realm.Kinit("ops");
        } else {
            realm.Kdestroy();
        }
        test::ScratchJournal journal;
        const test::RunResult run = journal.Run(QUELLMARK_PURGE_TOOL, args, 120s);
        EXPECT_EQ(run.exitCode, ticket ? 0 : 69) << run.err;
        std::vector<std::string> datagrams;
        const test::JournalDatagram record = test::OneAuditRecord(journal, datagrams);
        EXPECT_EQ(record.Get("QUELLMARK_LOGIN"), ticket ? "ops@" + std::string(test::KerberosRealm::kRealm) : "");
        EXPECT_EQ(record.Get("QUELLMARK_SERVER"), server);
        EXPECT_EQ(record.Get("QUELLMARK_ROWS_DELETED"), ticket ? "300" : "0");
        EXPECT_EQ(record.Get("QUELLMARK_STOP_REASON"), ticket ? "done" : "failed");
        EXPECT_FALSE(test::AnyHolds(datagrams, kPassword));
    }
}

// The unit's status line after the count and after each chunk.
TEST_F(PurgeJournal, StatusLinesGoToTheNotifySocket) {
    test::ScratchDir dir("notify");
    test::DatagramListener notify(dir / "notify");
    const test::ScopedEnv env("NOTIFY_SOCKET", notify.Path().string());
    const test::RunResult run = test::Run(QUELLMARK_PURGE_TOOL, Args(Chunked(500), {"--quiet"}), 120s);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::vector<std::string> lines = notify.Receive();
    ASSERT_EQ(lines.size(), 6u);  // the count, four full chunks and the empty last one
    EXPECT_EQ(lines[0], "STATUS=deleted 0 of 2000 rows");
    const std::regex status("STATUS=deleted (\\d+) of 2000 rows, about \\d+:\\d\\d:\\d\\d left");
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(lines[i], match, status)) << lines[i];
        EXPECT_EQ(std::stoi(match[1]), std::min<int>(static_cast<int>(i) * 500, 2000)) << lines[i];
    }
}

}  // namespace

namespace {

// The record's priority follows the status the command ends with: 75 is a
// warning whatever stopped the run; a summary that could not be written
// makes it an error, which the sentence names.
TEST(PurgeJournalRecord, PriorityFollowsTheExitStatus) {
    using unattended::StopReason;
    const std::tuple<StopReason, std::optional<std::int64_t>, std::string, std::string> kRows[] = {
        {StopReason::Done, 0, "", "PRIORITY=6"},
        {StopReason::Done, 12, "", "PRIORITY=4"},  // matching rows arrived meanwhile
        {StopReason::RetriesExhausted, 2000, "", "PRIORITY=4"},
        {StopReason::LockHeld, std::nullopt, "", "PRIORITY=4"},
        {StopReason::Failed, std::nullopt, "", "PRIORITY=3"},
        {StopReason::Done, 0, "its JSON summary was not written: no space", "PRIORITY=3"},
    };
    for (const auto& [reason, left, note, priority] : kRows) {
        purge_tool::RunRecord record;
        record.result.stopReason = reason;
        record.result.rowsLeft = left;
        if (reason != StopReason::Done) record.result.failure.emplace(FailureCause::ConnectionLost, "x");
        int exitCode = purge_tool::ExitCodeOf(record);
        if (!note.empty()) exitCode = purge_tool::ExitCodeWithoutJson(exitCode);
        const auto fields = ops::JournalFields(purge_tool::AuditRecordOf(record, exitCode, "ops", 1.0, note));
        EXPECT_NE(std::find(fields.begin(), fields.end(), priority), fields.end()) << exitCode;
        EXPECT_EQ(fields[0].ends_with("; " + note + "."), !note.empty()) << fields[0];
    }
}

}  // namespace
