// quellmark-settings: the files it writes are read back by mdbtools' tools,
// by mdb-reader and by Quellmark's own settings reader (the show command).
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "settings_file.h"

namespace fs = std::filesystem;
using settings_file::RunResult;
using settings_file::RunTool;

namespace {

class ScratchDir {
public:
    ScratchDir() {
        std::string templ = (fs::temp_directory_path() / "quellmark-settings-XXXXXX").string();
        if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = templ;
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const fs::path& Path() const { return path_; }
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(path_)) names.push_back(e.path().filename().string());
        return names;
    }

private:
    fs::path path_;
};

std::string ReadAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Runs an mdbtools command that must succeed quietly; its stdout.
std::string Mdb(const std::string& tool, const std::vector<std::string>& args) {
    const RunResult r = settings_file::Run(tool, args);
    EXPECT_EQ(r.exitCode, 0) << tool << ": " << r.err;
    EXPECT_EQ(r.err, "") << tool;
    return r.out;
}

const std::vector<std::string> kFullValues = {
    "--type", "Remote SQL Authentication", "--timeout", "-30", "--server", "Zürich",
    "--port", "1433", "--database", "db;Data Source=x \"q\" 'z'", "--user", " user 東京 ",
    "--password=p=a;ss\"w",
};
const char* kHeader = "OnlConnType,OnlConnTimeout,OnlDbServer,OnlDbPort,OnlDatabase,OnlDbUser,OnlDbPass";

class SettingsTool : public ::testing::Test {
protected:
    fs::path File(const std::string& name = "Sarnwick.mdb") const { return dir.Path() / name; }
    ScratchDir dir;
};

TEST_F(SettingsTool, MdbtoolsReadTheWrittenRowIntact) {
    settings_file::Write(File(), kFullValues);
    EXPECT_EQ(Mdb("mdb-ver", {File()}), "JET4\n");
    EXPECT_EQ(Lines(Mdb("mdb-tables", {"-1", File()})), std::vector<std::string>{"Settings_General"});
    EXPECT_EQ(Lines(Mdb("mdb-export", {File(), "Settings_General"})),
              (std::vector<std::string>{kHeader, "\"Remote SQL Authentication\",-30,\"Zürich\",1433,"
                                                 "\"db;Data Source=x \"\"q\"\" 'z'\",\" user 東京 \",\"p=a;ss\"\"w\""}));
}

TEST_F(SettingsTool, MissingValuesAreNull) {
    settings_file::Write(File(), {"--type", "Windows Authentication", "--port", "0"});
    EXPECT_EQ(Lines(Mdb("mdb-export", {File(), "Settings_General"})),
              (std::vector<std::string>{kHeader, "\"Windows Authentication\",,,0,,,"}));
}

TEST_F(SettingsTool, SchemaHasTheSevenColumnsInOrder) {
    settings_file::Write(File(), kFullValues);
    const std::string schema = Mdb("mdb-schema", {File()});
    const char* expected[][2] = {{"OnlConnType", "Text (255)"}, {"OnlConnTimeout", "Integer"},
                                 {"OnlDbServer", "Text (255)"}, {"OnlDbPort", "Long Integer"},
                                 {"OnlDatabase", "Text (255)"}, {"OnlDbUser", "Text (255)"},
                                 {"OnlDbPass", "Text (255)"}};
    std::size_t at = schema.find("CREATE TABLE [Settings_General]");
    ASSERT_NE(at, std::string::npos) << schema;
    for (const auto& [name, type] : expected) {
        at = schema.find("[" + std::string(name) + "]\t\t\t" + type + (std::string(name) == "OnlDbPass" ? "\n" : ","), at);
        ASSERT_NE(at, std::string::npos) << name << " " << type << " in\n" << schema;
    }
}

TEST_F(SettingsTool, ShapeOptionsChangeTheTable) {
    settings_file::Write(File("text.mdb"), {"--text-column", "OnlConnTimeout", "--timeout", "abc"});
    EXPECT_NE(Mdb("mdb-schema", {File("text.mdb")}).find("[OnlConnTimeout]\t\t\tText (255)"), std::string::npos);
    EXPECT_EQ(Lines(Mdb("mdb-export", {File("text.mdb"), "Settings_General"})).at(1), ",\"abc\",,,,,");

    settings_file::Write(File("long.mdb"), {"--long-column", "OnlConnTimeout", "--timeout", "70000"});
    EXPECT_NE(Mdb("mdb-schema", {File("long.mdb")}).find("[OnlConnTimeout]\t\t\tLong Integer"), std::string::npos);
    EXPECT_EQ(Lines(Mdb("mdb-export", {File("long.mdb"), "Settings_General"})).at(1), ",70000,,,,,");

    settings_file::Write(File("drop.mdb"), {"--drop-column", "OnlDbPort", "--port", "1", "--server", "s"});
    EXPECT_EQ(Lines(Mdb("mdb-export", {File("drop.mdb"), "Settings_General"})),
              (std::vector<std::string>{"OnlConnType,OnlConnTimeout,OnlDbServer,OnlDatabase,OnlDbUser,OnlDbPass",
                                        ",,\"s\",,,"}));

    settings_file::Write(File("none.mdb"), {"--no-table", "--server", "s"});
    EXPECT_EQ(Mdb("mdb-ver", {File("none.mdb")}), "JET4\n");
    EXPECT_EQ(Lines(Mdb("mdb-tables", {"-1", File("none.mdb")})), std::vector<std::string>{});
    EXPECT_NE(settings_file::Run("mdb-export", {File("none.mdb"), "Settings_General"}).exitCode, 0);
}

TEST_F(SettingsTool, RowsRepeatTheRowAcrossPages) {
    // 400 rows of about 200 bytes fill some twenty data pages.
    settings_file::Write(File(), [] {
        auto args = kFullValues;
        args.insert(args.end(), {"--rows", "400"});
        return args;
    }());
    const std::vector<std::string> lines = Lines(Mdb("mdb-export", {File(), "Settings_General"}));
    ASSERT_EQ(lines.size(), 401u);
    for (std::size_t i = 2; i < lines.size(); ++i) ASSERT_EQ(lines[i], lines[1]) << "row " << i;
    EXPECT_EQ(Mdb("mdb-count", {File(), "Settings_General"}), "400\n");

    settings_file::Write(File("empty.mdb"), {"--rows", "0", "--type", "x"});
    EXPECT_EQ(Lines(Mdb("mdb-export", {File("empty.mdb"), "Settings_General"})), std::vector<std::string>{kHeader});
}

TEST_F(SettingsTool, RefusesValuesTheColumnCannotHold) {
    const std::string secret = "SECRET" + std::string(300, 'x');
    const std::vector<std::vector<std::string>> cases = {
        {"--timeout", "abc"},      {"--timeout", "70000"}, {"--timeout", "-32769"}, {"--timeout", "12 "},
        {"--port", "3000000000"},  {"--port", ""},         {"--server", std::string(256, 's')},
        {"--password", secret},    {"--port", "99999999999999999999999"},
    };
    for (const auto& args : cases) {
        std::vector<std::string> full{"write", File().string()};
        full.insert(full.end(), args.begin(), args.end());
        const RunResult r = RunTool(full);
        EXPECT_EQ(r.exitCode, 2) << args[0] << " " << args[1].substr(0, 20);
        EXPECT_NE(r.err.find(args[0] == "--password" ? "OnlDbPass" : args[0] == "--server" ? "OnlDbServer" :
                             args[0] == "--port"     ? "OnlDbPort" : "OnlConnTimeout"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(r.err.find("SECRET"), std::string::npos) << "a password in a message";
        EXPECT_FALSE(fs::exists(File()));
    }
    // The boundaries themselves fit.
    settings_file::Write(File(), {"--timeout", "-32768", "--port", "2147483647", "--server", std::string(255, 's')});
    EXPECT_EQ(Lines(Mdb("mdb-export", {File(), "Settings_General"})).at(1),
              ",-32768,\"" + std::string(255, 's') + "\",2147483647,,,");
}

TEST_F(SettingsTool, UsageErrorsExitWithTwo) {
    const std::string f = File().string();
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"write"},
        {"write", f, "--bogus", "1"},
        {"write", f, "--server"},
        {"write", f, "--server", "a", "--server", "b"},
        {"write", f, "--drop-column", "NoSuchColumn"},
        {"write", f, "--text-column", "OnlDbPort", "--long-column", "OnlDbPort"},
        {"write", f, "--rows", "-1"},
        {"write", f, "--rows", "many"},
        {"write", f, "other.mdb"},
        {"show"},
        {"show", f, f},
    };
    for (const auto& args : cases) {
        const RunResult r = RunTool(args);
        EXPECT_EQ(r.exitCode, 2) << (args.empty() ? "" : args[0]) << " " << args.size();
        EXPECT_NE(r.err, "");
        EXPECT_FALSE(fs::exists(File()));
    }
}

TEST_F(SettingsTool, ReplacesFilesAtomically) {
    settings_file::Write(File(), {"--server", "first"});
    const std::string before = ReadAll(File());
    // A refused value leaves the existing file as it was.
    EXPECT_EQ(RunTool({"write", File().string(), "--server", "second", "--timeout", "abc"}).exitCode, 2);
    EXPECT_EQ(ReadAll(File()), before);

    settings_file::Write(File(), {"--server", "second"});
    EXPECT_EQ(Lines(Mdb("mdb-export", {File(), "Settings_General"})).at(1), ",,\"second\",,,,");

    // A target that cannot be replaced fails with status 1 and leaves nothing behind.
    fs::create_directory(File("folder.mdb"));
    const RunResult intoDir = RunTool({"write", File("folder.mdb").string(), "--server", "x"});
    EXPECT_EQ(intoDir.exitCode, 1);
    EXPECT_NE(intoDir.err.find("folder.mdb"), std::string::npos) << intoDir.err;
    EXPECT_EQ(RunTool({"write", (dir.Path() / "missing" / "s.mdb").string()}).exitCode, 1);
    auto entries = dir.Entries();
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{"Sarnwick.mdb", "folder.mdb"}));
}

TEST(SettingsFileSupport, ProgramThatCannotStartThrows) {
    EXPECT_THROW(settings_file::Run("quellmark-no-such-program", {}), std::runtime_error);
}

// ---- mdb-reader (npm) -------------------------------------------------------

TEST_F(SettingsTool, MdbReaderReadsTheWrittenFile) {
    try {
        settings_file::Run("node", {"--version"});
    } catch (const std::runtime_error&) {
        GTEST_SKIP() << "node is not installed";
    }
    const fs::path prefix = fs::path(QUELLMARK_BINARY_DIR) / "node";
    const fs::path module = prefix / "node_modules" / "mdb-reader" / "package.json";
    const fs::path failed = prefix / "setup-failed.txt";
    if (!fs::exists(module) && !fs::exists(failed)) {
        settings_file::Run("bash", {fs::path(QUELLMARK_SOURCE_DIR) / "scripts" / "setup-node.sh", QUELLMARK_BINARY_DIR},
            std::chrono::seconds(150));
    }
    if (!fs::exists(module)) GTEST_SKIP() << "mdb-reader is not installed: " << ReadAll(failed);

    settings_file::Write(File(), {"--type", "Local SQL Authentication", "--timeout", "15", "--server", "Zürich 東京",
                                  "--database", "a;b=\"c\"", "--user", "", "--rows", "2"});
    const fs::path script = fs::path(QUELLMARK_SOURCE_DIR) / "tests" / "tools" / "read_with_mdb_reader.mjs";
    const RunResult r = settings_file::Run("node", {script, prefix, File()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Lines(r.out), (std::vector<std::string>{
                                "tables=[\"Settings_General\"]",
                                "Settings_General.columns=OnlConnType:text,OnlConnTimeout:integer,OnlDbServer:text,"
                                "OnlDbPort:long,OnlDatabase:text,OnlDbUser:text,OnlDbPass:text",
                                "Settings_General.rowCount=2",
                                "Settings_General[0]={\"OnlConnType\":\"Local SQL Authentication\",\"OnlConnTimeout\":15,"
                                "\"OnlDbServer\":\"Zürich 東京\",\"OnlDbPort\":null,\"OnlDatabase\":\"a;b=\\\"c\\\"\","
                                "\"OnlDbUser\":\"\",\"OnlDbPass\":null}",
                                "Settings_General[1]=same",
                            }));
}

// ---- show: through Quellmark's own reader -----------------------------------

TEST_F(SettingsTool, ShowPrintsTheSettingsWithThePasswordMasked) {
    settings_file::Write(File(), kFullValues);
    const RunResult r = RunTool({"show", File().string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "OnlConnType=Remote SQL Authentication\nOnlConnTimeout=-30\nOnlDbServer=Zürich\nOnlDbPort=1433\n"
              "OnlDatabase=db;Data Source=x \"q\" 'z'\nOnlDbUser= user 東京 \nOnlDbPass=****\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(SettingsTool, ShowReportsFilesWithoutTheTable) {
    settings_file::Write(File(), {"--no-table"});
    const fs::path real(QUELLMARK_REAL_MDB_DIR);
    for (const fs::path& file : {File(), real / "nwind.mdb", real / "DateTestDatabase.mdb"}) {
        ASSERT_TRUE(fs::exists(file)) << file;
        const RunResult r = RunTool({"show", file.string()});
        EXPECT_EQ(r.exitCode, 1) << file;
        EXPECT_EQ(r.out, "") << file;
        EXPECT_NE(r.err.find("Settings_General"), std::string::npos) << file << ": " << r.err;
    }
}

TEST_F(SettingsTool, ShowNamesTheSettingAtFault) {
    const std::vector<std::string> complete = {"--type", "t", "--timeout", "5", "--server", "s", "--port", "1",
                                               "--database", "d", "--user", "u", "--password", "SECRETPW"};
    struct Case {
        std::vector<std::string> extra;
        const char* column;
    };
    const Case cases[] = {
        {{"--drop-column", "OnlDbPort"}, "OnlDbPort"},
        {{"--text-column", "OnlConnTimeout"}, nullptr},  // "5" as text still reads as a number
        {{"--drop-column", "OnlDbUser"}, "OnlDbUser"},
        {{"--rows", "0"}, "Settings_General"},
    };
    for (const Case& c : cases) {
        auto args = complete;
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        settings_file::Write(File(), args);
        const RunResult r = RunTool({"show", File().string()});
        if (c.column == nullptr) {
            EXPECT_EQ(r.exitCode, 0) << r.err;
            EXPECT_NE(r.out.find("OnlConnTimeout=5\n"), std::string::npos) << r.out;
        } else {
            EXPECT_EQ(r.exitCode, 1) << c.extra[0];
            EXPECT_NE(r.err.find(c.column), std::string::npos) << r.err;
        }
        EXPECT_EQ(r.out.find("SECRETPW"), std::string::npos);
        EXPECT_EQ(r.err.find("SECRETPW"), std::string::npos);
    }
    // A text in the integer column, and nulls, are named too.
    settings_file::Write(File(), {"--text-column", "OnlConnTimeout", "--timeout", "abc", "--type", "t"});
    RunResult r = RunTool({"show", File().string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("OnlConnTimeout"), std::string::npos) << r.err;
    settings_file::Write(File(), {"--type", "t"});
    r = RunTool({"show", File().string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("OnlConnTimeout"), std::string::npos) << r.err;

    r = RunTool({"show", File("absent.mdb").string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("absent.mdb"), std::string::npos) << r.err;
}

}  // namespace
