// quellmark-settings check against the log server: the count it prints is
// the one the server holds, and a failure is reported with exactly the text
// the window's message box shows for the same settings file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "ops/modGeneral.h"
#include "support/online_log.h"
#include "support/recording_window.h"

namespace fs = std::filesystem;
using namespace quellmark;
using test::RunResult;
using test::RunSettingsTool;

namespace {

// Writes the settings file for `log` with the tool, the password (the
// server's own unless given) coming from standard input.
void WriteSettings(const test::OnlineLog& log, const std::vector<std::string>& changes = {},
                   const std::string& password = "") {
    std::vector<std::string> args{"write", log.SettingsFile().string()};
    const std::vector<std::string> values = log.RemoteSettings(changes);
    for (std::size_t i = 0; i + 1 < values.size(); i += 2) {
        if (values[i] != "--password") args.insert(args.end(), {values[i], values[i + 1]});
    }
    args.push_back("--password-stdin");
    const RunResult r = RunSettingsTool(args, (password.empty() ? log.server.Options().password : password) + "\n");
    ASSERT_EQ(r.exitCode, 0) << r.err;
}

// The message the window shows when the operator presses Count Records with
// this settings file.
std::string WindowMessage(const fs::path& settingsFile) {
    test::RecordingWindow window;
    window.statement = "DELETE TOP (1000) FROM ATR_Log WHERE priority = '7'";
    ops::CountRecords(window, ops::SettingsConnStringForFile(settingsFile));
    EXPECT_EQ(window.messages.size(), 1u);
    return window.messages.empty() ? "" : window.messages.front();
}

TEST(SettingsCheck, PrintsTheCountTheServerHolds) {
    test::OnlineLog log(test::SarnwickServer(2345, 4));
    WriteSettings(log);
    RunResult r = RunSettingsTool({"check", log.SettingsFile().string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string where = "127.0.0.1," + std::to_string(log.server.Port());
    EXPECT_EQ(r.out, "connected to " + where + " (database Sarnwick) as ops: ATR_Log holds 2345 rows\n" +
                         "trusted: the certificate pinned in " + std::getenv("QUELLMARK_TRUST_DIR") + "/" + where +
                         ".pem (SHA-256 " + log.server.Sha256() + ")\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(log.server.CountRows(), 2345);  // checking deletes nothing

    // The figure is the server's, whatever it holds now.
    ASSERT_EQ(log.Mark("gone", 2344), 2344);
    test::RecordingWindow window;
    window.statement = "DELETE TOP (5000) FROM ATR_Log WHERE label = 'gone'";
    ops::DeleteRecordsInChunks(window, log.SettingsConnString());
    ASSERT_TRUE(window.messages.empty()) << window.messages.front();
    r = RunSettingsTool({"check", log.SettingsFile().string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find(": ATR_Log holds 1 row\n"), std::string::npos) << r.out;
}

// Runs check on the file and expects the window's message for it, and no password.
void ExpectFailureAsTheWindowShowsIt(const fs::path& file, const std::string& mentions,
                                     const std::vector<std::string>& passwords) {
    const RunResult r = RunSettingsTool({"check", file.string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    const std::string shown = WindowMessage(file);
    EXPECT_NE(shown.find(mentions), std::string::npos) << shown;
    EXPECT_EQ(r.err, shown + "\n");
    for (const std::string& password : passwords) EXPECT_EQ(r.err.find(password), std::string::npos) << r.err;
}

TEST(SettingsCheck, FailsWithTheWindowsMessageAndWithoutThePassword) {
    const std::vector<std::string> passwords = {"Wr0ng;S3cret", "R1ght;S3cret", "Wr0ng", "R1ght"};
    test::OnlineLog log(test::SarnwickServer(100, 1, {}, "R1ght;S3cret"));
    {
        SCOPED_TRACE("wrong password");
        WriteSettings(log, {}, "Wr0ng;S3cret");
        ExpectFailureAsTheWindowShowsIt(log.SettingsFile(), "Login failed for user 'ops'.", passwords);
    }
    {
        SCOPED_TRACE("a type name in another letter case (which write refuses): no connection string");
        test::WriteSettingsFile(log.SettingsFile(), log.RemoteSettings({"--type", "remote sql authentication"}));
        ExpectFailureAsTheWindowShowsIt(log.SettingsFile(), "", passwords);
    }
    {
        SCOPED_TRACE("missing file");
        ExpectFailureAsTheWindowShowsIt(log.dir / "absent.mdb", "absent.mdb does not exist", passwords);
    }
    {
        SCOPED_TRACE("closed port");
        WriteSettings(log);
        log.server.Kill();  // nothing listens on its port any more
        ExpectFailureAsTheWindowShowsIt(log.SettingsFile(), "unavailable or does not exist", passwords);
    }
}

TEST(SettingsCheck, ServerTextReachesTheTerminalWithControlCharactersVisible) {
    test::OnlineLog log(test::SarnwickServer(10));
    // The server repeats the user name in its refusal.
    WriteSettings(log, {"--user", "ops\x1b[2J\x1b]0;x\x07"});
    const RunResult r = RunSettingsTool({"check", log.SettingsFile().string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Login failed for user 'ops\\x1B[2J\\x1B]0;x\\x07'."), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\x07'), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
}

TEST(SettingsCheck, TakesExactlyOneFile) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"check"}, std::vector<std::string>{"check", "a.mdb", "b.mdb"}}) {
        const RunResult r = RunSettingsTool(args);
        EXPECT_EQ(r.exitCode, 2) << args.size();
        EXPECT_NE(r.err.find("check takes exactly one FILE"), std::string::npos) << r.err;
    }
}

}  // namespace
