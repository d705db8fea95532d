// quellmark-test-mdb: the shapes of settings files it writes for other tests
// are what mdbtools' tools read back.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "harness/run_program.h"
#include "harness/scratch_dir.h"
#include "support/mdbtools.h"

namespace {

namespace fs = std::filesystem;
using quellmark::test::RunResult;
using quellmark::test::WriteSettingsFile;

using quellmark::test::Lines;
using quellmark::test::Mdb;

const char* kHeader = "OnlConnType,OnlConnTimeout,OnlDbServer,OnlDbPort,OnlDatabase,OnlDbUser,OnlDbPass";

class TestMdbWriter : public ::testing::Test {
protected:
    fs::path File(const std::string& name = "Sarnwick.mdb") const { return dir / name; }
    quellmark::test::ScratchDir dir{"test-mdb"};
};

TEST_F(TestMdbWriter, MissingValuesAreNull) {
    WriteSettingsFile(File(), {"--type", "Windows Authentication", "--port", "0"});
    EXPECT_EQ(Lines(Mdb("mdb-export", {File(), "Settings_General"})),
              (std::vector<std::string>{kHeader, "\"Windows Authentication\",,,0,,,"}));
}

TEST_F(TestMdbWriter, ShapeOptionsChangeTheTable) {
    WriteSettingsFile(File("text.mdb"), {"--text-column", "OnlConnTimeout", "--timeout", "abc"});
    EXPECT_NE(Mdb("mdb-schema", {File("text.mdb")}).find("[OnlConnTimeout]\t\t\tText (255)"), std::string::npos);
    EXPECT_EQ(Lines(Mdb("mdb-export", {File("text.mdb"), "Settings_General"})).at(1), ",\"abc\",,,,,");

    WriteSettingsFile(File("long.mdb"), {"--long-column", "OnlConnTimeout", "--timeout", "70000"});
    EXPECT_NE(Mdb("mdb-schema", {File("long.mdb")}).find("[OnlConnTimeout]\t\t\tLong Integer"), std::string::npos);
    EXPECT_EQ(Lines(Mdb("mdb-export", {File("long.mdb"), "Settings_General"})).at(1), ",70000,,,,,");

    WriteSettingsFile(File("drop.mdb"), {"--drop-column", "OnlDbPort", "--port", "1", "--server", "s"});
    EXPECT_EQ(Lines(Mdb("mdb-export", {File("drop.mdb"), "Settings_General"})),
              (std::vector<std::string>{"OnlConnType,OnlConnTimeout,OnlDbServer,OnlDatabase,OnlDbUser,OnlDbPass",
                                        ",,\"s\",,,"}));

    WriteSettingsFile(File("none.mdb"), {"--no-table", "--server", "s"});
    EXPECT_EQ(Mdb("mdb-ver", {File("none.mdb")}), "JET4\n");
    EXPECT_EQ(Lines(Mdb("mdb-tables", {"-1", File("none.mdb")})), std::vector<std::string>{});
    EXPECT_NE(quellmark::test::Run("mdb-export", {File("none.mdb"), "Settings_General"}).exitCode, 0);
}

TEST_F(TestMdbWriter, RowsRepeatTheRowAcrossPages) {
    // 400 rows of about 200 bytes fill some twenty data pages.
    WriteSettingsFile(
        File(), {"--type", "Remote SQL Authentication", "--timeout", "-30", "--server", "Zürich", "--port", "1433",
                 "--database", "db;x", "--user", " user 東京 ", "--password", "p=a;ss\"w", "--rows", "400"});
    const std::vector<std::string> lines = Lines(Mdb("mdb-export", {File(), "Settings_General"}));
    ASSERT_EQ(lines.size(), 401u);
    for (std::size_t i = 2; i < lines.size(); ++i) ASSERT_EQ(lines[i], lines[1]) << "row " << i;
    EXPECT_EQ(Mdb("mdb-count", {File(), "Settings_General"}), "400\n");

    WriteSettingsFile(File("empty.mdb"), {"--rows", "0", "--type", "x"});
    EXPECT_EQ(Lines(Mdb("mdb-export", {File("empty.mdb"), "Settings_General"})), std::vector<std::string>{kHeader});
}

TEST_F(TestMdbWriter, UsageErrors) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {File().string(), "--drop-column", "NoSuchColumn"},
        {File().string(), "--text-column", "OnlDbPort", "--long-column", "OnlDbPort"},
        {File().string(), "--rows", "-1"},
        {File().string(), "--rows", "many"},
        {File().string(), "--server", "a", "--server", "b"},
    };
    for (const auto& args : cases) {
        const RunResult r = quellmark::test::Run(quellmark::test::TestMdbWriterPath(), args);
        EXPECT_EQ(r.exitCode, 2) << args.size();
        EXPECT_FALSE(fs::exists(File()));
    }
}

}  // namespace
