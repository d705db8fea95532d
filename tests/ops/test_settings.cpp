// Reading the settings row: every way Sarnwick.mdb can be wrong ends the
// operation with one message that names what is wrong, before any server is
// contacted.
#include <gtest/gtest.h>

#include <fstream>

#include "harness/run_program.h"
#include "harness/scratch_dir.h"
#include "ops/modGeneral.h"
#include "support/online_log.h"
#include "support/recording_window.h"
#include "support/test_data.h"

using namespace quellmark;

namespace {

using ops::SettingsConnStringForFile;

const std::vector<std::string> kGoodRow = {"--type",     "Remote SQL Authentication",
                                           "--timeout",  "7",
                                           "--server",   "127.0.0.1",
                                           "--port",     "1",  // nothing listens on port 1
                                           "--database", "Sarnwick",
                                           "--user",     "ops",
                                           "--password", "Sup3r;Secret"};

std::vector<std::string> Without(const std::string& option) {
    std::vector<std::string> args;
    for (std::size_t i = 0; i < kGoodRow.size(); i += 2) {
        if (kGoodRow[i] == option) continue;
        args.push_back(kGoodRow[i]);
        args.push_back(kGoodRow[i + 1]);
    }
    return args;
}

std::vector<std::string> With(std::vector<std::string> args, std::initializer_list<std::string> more) {
    args.insert(args.end(), more);
    return args;
}

// Runs a count and a deletion run against the file and returns the messages.
std::vector<std::string> MessagesOfBothOperations(const std::filesystem::path& file) {
    const std::string settings = SettingsConnStringForFile(file);
    test::RecordingWindow window;
    window.statement = "DELETE TOP (1000) FROM ATR_Log WHERE priority = '7'";
    window.count = "123";
    ops::CountRecords(window, settings);
    ops::DeleteRecordsInChunks(window, settings);
    EXPECT_EQ(window.count, "123");
    EXPECT_TRUE(window.recLeft.empty());
    EXPECT_EQ(window.eventRounds, 0);
    return window.messages;
}

void ExpectOneMessageEach(const std::filesystem::path& file, const std::string& mentions) {
    const std::vector<std::string> messages = MessagesOfBothOperations(file);
    ASSERT_EQ(messages.size(), 2u) << mentions;
    for (const std::string& m : messages) {
        EXPECT_NE(m.find(mentions), std::string::npos) << "message: " << m << "\nexpected to mention: " << mentions;
        EXPECT_EQ(m.find("Sup3r"), std::string::npos) << m;
    }
}

}  // namespace

TEST(ReadOnlineSettings, ReadsTheFirstRowWithItsTypes) {
    test::ScratchDir dir("settings");
    test::WriteSettingsFile(dir / "Sarnwick.mdb", With(kGoodRow, {"--rows", "3"}));
    const ops::OnlineSettings s = ops::ReadOnlineSettings(SettingsConnStringForFile(dir / "Sarnwick.mdb"));
    EXPECT_EQ(s.OnlConnType, "Remote SQL Authentication");
    EXPECT_EQ(s.OnlConnTimeout, 7);
    EXPECT_EQ(s.OnlDbServer, "127.0.0.1");
    EXPECT_EQ(s.OnlDbPort, 1);
    EXPECT_EQ(s.OnlDatabase, "Sarnwick");
    EXPECT_EQ(s.OnlDbUser, "ops");
    EXPECT_EQ(s.OnlDbPass, "Sup3r;Secret");
}

TEST(ReadOnlineSettings, NumbersStoredAsTextAndLimits) {
    test::ScratchDir dir("settings");
    const auto file = dir / "Sarnwick.mdb";
    test::WriteSettingsFile(file,
                            With(Without("--timeout"), {"--timeout", " 32767 ", "--text-column", "OnlConnTimeout"}));
    EXPECT_EQ(ops::ReadOnlineSettings(SettingsConnStringForFile(file)).OnlConnTimeout, 32767);
    test::WriteSettingsFile(file, With(Without("--port"), {"--port", "-2147483648"}));
    EXPECT_EQ(ops::ReadOnlineSettings(SettingsConnStringForFile(file)).OnlDbPort, -2147483648LL);
    test::WriteSettingsFile(file, With(Without("--password"), {"--password", ""}));
    EXPECT_EQ(ops::ReadOnlineSettings(SettingsConnStringForFile(file)).OnlDbPass, "");
}

TEST(ReadOnlineSettings, MissingOrUnreadableFiles) {
    test::ScratchDir dir("settings");
    ExpectOneMessageEach(dir / "Sarnwick.mdb", (dir / "Sarnwick.mdb").string());

    std::filesystem::create_directory(dir / "folder.mdb");
    ExpectOneMessageEach(dir / "folder.mdb", "folder.mdb");

    std::ofstream(dir / "empty.mdb").close();
    ExpectOneMessageEach(dir / "empty.mdb", "empty.mdb");

    std::ofstream(dir / "text.mdb") << std::string(8192, 'x');
    ExpectOneMessageEach(dir / "text.mdb", "text.mdb");
}

TEST(ReadOnlineSettings, FilesWithoutTheTable) {
    test::ScratchDir dir("settings");
    test::WriteSettingsFile(dir / "Sarnwick.mdb", With(kGoodRow, {"--no-table"}));
    ExpectOneMessageEach(dir / "Sarnwick.mdb", "Settings_General");
    for (const char* real : {"nwind.mdb", "DateTestDatabase.mdb"}) {
        ExpectOneMessageEach(test::RealMdb(real), "Settings_General");
    }
}

TEST(ReadOnlineSettings, EachColumnMissingOrNull) {
    test::ScratchDir dir("settings");
    const std::pair<const char*, const char*> columns[] = {
        {"OnlConnType", "--type"},   {"OnlConnTimeout", "--timeout"}, {"OnlDbServer", "--server"},
        {"OnlDbPort", "--port"},     {"OnlDatabase", "--database"},   {"OnlDbUser", "--user"},
        {"OnlDbPass", "--password"},
    };
    for (const auto& [column, option] : columns) {
        SCOPED_TRACE(column);
        test::WriteSettingsFile(dir / "missing.mdb", With(kGoodRow, {"--drop-column", column}));
        ExpectOneMessageEach(dir / "missing.mdb", column);
        test::WriteSettingsFile(dir / "null.mdb", Without(option));
        ExpectOneMessageEach(dir / "null.mdb", column);
    }
}

TEST(ReadOnlineSettings, ValuesThatAreNotNumbersOrDoNotFit) {
    test::ScratchDir dir("settings");
    const auto file = dir / "Sarnwick.mdb";
    for (const char* value : {"abc", "70000", "-32769", "12abc", ""}) {
        SCOPED_TRACE(value);
        test::WriteSettingsFile(file,
                                With(Without("--timeout"), {"--timeout", value, "--text-column", "OnlConnTimeout"}));
        ExpectOneMessageEach(file, "OnlConnTimeout");
    }
    test::WriteSettingsFile(file, With(Without("--port"), {"--port", "2147483648", "--text-column", "OnlDbPort"}));
    ExpectOneMessageEach(file, "OnlDbPort");
}

TEST(ReadOnlineSettings, ReadAfreshByEveryOperation) {
    test::ScratchDir dir("settings");
    const auto file = dir / "Sarnwick.mdb";
    test::WriteSettingsFile(file, kGoodRow);
    const std::string settings = SettingsConnStringForFile(file);
    test::RecordingWindow window;
    window.statement = "DELETE TOP (1000) FROM ATR_Log";
    ops::CountRecords(window, settings);  // fails to connect: nothing listens on port 1
    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_NE(window.messages[0].find("127.0.0.1"), std::string::npos) << window.messages[0];

    test::WriteSettingsFile(file, With(kGoodRow, {"--drop-column", "OnlDbPort"}));
    ops::CountRecords(window, settings);
    ASSERT_EQ(window.messages.size(), 2u);
    EXPECT_NE(window.messages[1].find("OnlDbPort"), std::string::npos) << window.messages[1];
}
