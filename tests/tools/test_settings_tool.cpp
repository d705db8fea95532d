// quellmark-settings as the operator runs it: the files it writes are read
// back by mdbtools' tools, by mdb-reader and by Quellmark's own settings
// reader (the show command).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "harness/run_program.h"
#include "harness/scratch_dir.h"
#include "support/mdbtools.h"
#include "support/test_data.h"

namespace fs = std::filesystem;
using quellmark::test::RunResult;
using quellmark::test::RunSettingsTool;

namespace {

std::vector<std::string> Entries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string ReadAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

using quellmark::test::Lines;
using quellmark::test::Mdb;

const std::vector<std::string> kFullValues = {
    "--type",
    "Remote SQL Authentication",
    "--timeout",
    "0",
    "--server",
    "Zürich",
    "--port",
    "1433",
    "--database",
    "db;Data Source=x \"q\" 'z'",
    "--user",
    " user 東京 ",
    "--password=p=a;ss\"w",
};
const char* kHeader = "OnlConnType,OnlConnTimeout,OnlDbServer,OnlDbPort,OnlDatabase,OnlDbUser,OnlDbPass";

// kFullValues with some options given other values.
std::vector<std::string> FullWith(const std::vector<std::string>& changes) {
    std::vector<std::string> args = {"--type",     "Remote SQL Authentication",
                                     "--timeout",  "15",
                                     "--server",   "s",
                                     "--port",     "1433",
                                     "--database", "d",
                                     "--user",     "u",
                                     "--password", "p"};
    for (std::size_t i = 0; i + 1 < changes.size(); i += 2) {
        for (std::size_t j = 0; j + 1 < args.size(); j += 2) {
            if (args[j] == changes[i]) args[j + 1] = changes[i + 1];
        }
    }
    return args;
}

void Write(const fs::path& file, const std::vector<std::string>& values) {
    std::vector<std::string> args{"write", file.string()};
    args.insert(args.end(), values.begin(), values.end());
    const RunResult r = RunSettingsTool(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
}

class SettingsTool : public ::testing::Test {
protected:
    fs::path File(const std::string& name = "Sarnwick.mdb") const { return dir / name; }
    quellmark::test::ScratchDir dir{"quellmark-settings"};
};

TEST_F(SettingsTool, MdbtoolsReadTheWrittenRowIntact) {
    Write(File(), kFullValues);
    EXPECT_EQ(Mdb("mdb-ver", {File()}), "JET4\n");
    EXPECT_EQ(Lines(Mdb("mdb-tables", {"-1", File()})), std::vector<std::string>{"Settings_General"});
    EXPECT_EQ(Lines(Mdb("mdb-export", {File(), "Settings_General"})),
              (std::vector<std::string>{kHeader,
                                        "\"Remote SQL Authentication\",0,\"Zürich\",1433,"
                                        "\"db;Data Source=x \"\"q\"\" 'z'\",\" user 東京 \",\"p=a;ss\"\"w\""}));
}

TEST_F(SettingsTool, SchemaHasTheSevenColumnsInOrder) {
    Write(File(), kFullValues);
    const std::string schema = Mdb("mdb-schema", {File()});
    const char* expected[][2] = {{"OnlConnType", "Text (255)"}, {"OnlConnTimeout", "Integer"},
                                 {"OnlDbServer", "Text (255)"}, {"OnlDbPort", "Long Integer"},
                                 {"OnlDatabase", "Text (255)"}, {"OnlDbUser", "Text (255)"},
                                 {"OnlDbPass", "Text (255)"}};
    std::size_t at = schema.find("CREATE TABLE [Settings_General]");
    ASSERT_NE(at, std::string::npos) << schema;
    for (const auto& [name, type] : expected) {
        at = schema.find("[" + std::string(name) + "]\t\t\t" + type + (std::string(name) == "OnlDbPass" ? "\n" : ","),
                         at);
        ASSERT_NE(at, std::string::npos) << name << " " << type << " in\n" << schema;
    }
}

TEST_F(SettingsTool, EverySettingIsRequired) {
    const std::vector<std::string> full = FullWith({});
    for (std::size_t i = 0; i < full.size(); i += 2) {
        std::vector<std::string> args{"write", File().string()};
        for (std::size_t j = 0; j < full.size(); j += 2) {
            if (j != i) args.insert(args.end(), {full[j], full[j + 1]});
        }
        const RunResult r = RunSettingsTool(args);
        EXPECT_EQ(r.exitCode, 2) << full[i];
        EXPECT_NE(r.err.find("missing: " + full[i]), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(File()));
    }
    // An empty text is a value, not a null: Quellmark reads it.
    Write(File(), FullWith({"--type", "Windows Authentication", "--user", "", "--password", ""}));
    const RunResult shown = RunSettingsTool({"show", File().string()});
    EXPECT_EQ(shown.exitCode, 0) << shown.err;
    EXPECT_NE(shown.out.find("\nOnlDbUser=\nOnlDbPass=****\n"), std::string::npos) << shown.out;
}

TEST_F(SettingsTool, RefusesValuesTheColumnCannotHold) {
    const std::string secret = "SECRET" + std::string(300, 'x');
    const std::vector<std::vector<std::string>> cases = {
        {"--timeout", "abc"},
        {"--timeout", "70000"},
        {"--timeout", "-32769"},
        {"--timeout", "12 "},
        {"--port", "3000000000"},
        {"--port", ""},
        {"--server", std::string(256, 's')},
        {"--password", secret},
        {"--port", "99999999999999999999999"},
    };
    for (const auto& change : cases) {
        std::vector<std::string> full{"write", File().string()};
        const std::vector<std::string> values = FullWith(change);
        full.insert(full.end(), values.begin(), values.end());
        const RunResult r = RunSettingsTool(full);
        EXPECT_EQ(r.exitCode, 2) << change[0] << " " << change[1].substr(0, 20);
        // A password that long is longer than a login can carry, too.
        EXPECT_NE(r.err.find(change[0] == "--password" ? "password is longer than"
                             : change[0] == "--server" ? "OnlDbServer"
                             : change[0] == "--port"   ? "OnlDbPort"
                                                       : "OnlConnTimeout"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(r.err.find("SECRET"), std::string::npos) << "a password in a message";
        EXPECT_FALSE(fs::exists(File()));
    }
    // The boundaries themselves fit.
    Write(File(), FullWith({"--type", "Local SQL Authentication", "--timeout", "32767", "--port", "-2147483648",
                            "--server", std::string(255, 's')}));
    EXPECT_EQ(Lines(Mdb("mdb-export", {File(), "Settings_General"})).at(1),
              "\"Local SQL Authentication\",32767,\"" + std::string(255, 's') + "\",-2147483648,\"d\",\"u\",\"p\"");
}

TEST_F(SettingsTool, RefusesSettingsQuellmarkCouldNotConnectWith) {
    struct Case {
        std::vector<std::string> change;
        const char* mentions;
    };
    const std::string longName(129, 'n');
    const Case cases[] = {
        {{"--type", "Bogus"}, "--type"},
        {{"--type", "remote sql authentication"}, "letter case"},
        {{"--type", "Remote SQL Authentication "}, "--type"},
        {{"--timeout", "-1"}, "time-out"},
        {{"--port", "0"}, "port"},
        {{"--port", "65536"}, "port"},
        {{"--server", " "}, "server"},
        {{"--user", ""}, "User Id"},
        {{"--user", "  "}, "User Id"},
        {{"--password", "SECRET};x"}, "\"};\""},
        {{"--password", "SECRET" + std::string(123, 'x')}, "128"},
        {{"--password", "SECRET" + std::string(61, 'x') +
                            [] {
                                std::string emoji;
                                for (int i = 0; i < 31; ++i) emoji += "\U0001F600";  // two UTF-16 units each
                                return emoji;
                            }()},
         "128"},
        {{"--user", longName}, "128"},
        {{"--database", longName}, "128"},
        {{"--type", "Windows Authentication", "--database", longName}, "128"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"write", File().string()};
        const std::vector<std::string> values = FullWith(c.change);
        args.insert(args.end(), values.begin(), values.end());
        const RunResult r = RunSettingsTool(args);
        EXPECT_EQ(r.exitCode, 2) << c.change[0] << " " << c.change[1].substr(0, 20);
        EXPECT_NE(r.err.find(c.mentions), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("SECRET"), std::string::npos) << "a password in a message: " << r.err;
        EXPECT_FALSE(fs::exists(File()));
    }
    // What the login can carry is written: 128 characters, '}' not followed by ';'.
    const std::string widest = [] {
        std::string text;
        for (int i = 0; i < 64; ++i) text += "\U0001F600";
        return text;
    }();
    for (const std::vector<std::string>& change :
         {std::vector<std::string>{"--password", std::string(128, 'p'), "--user", std::string(128, 'u')},
          {"--password", widest, "--database", std::string(128, 'd')},
          {"--password", "}a}b;c{}", "--port", "0", "--type", "Local SQL Authentication"},
          {"--user", "", "--password", "};", "--type", "Windows Authentication"}}) {
        Write(File(), FullWith(change));
        EXPECT_TRUE(fs::exists(File())) << change[1];
    }
}

TEST_F(SettingsTool, UsageErrorsExitWithTwo) {
    const std::string f = File().string();
    auto full = [&](std::vector<std::string> extra) {
        std::vector<std::string> args{"write", f};
        const std::vector<std::string> values = FullWith({});
        args.insert(args.end(), values.begin(), values.end());
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    };
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"write"},
        full({"--bogus", "1"}),
        {"write", f, "--server"},
        full({"--server", "b"}),
        full({"--no-table"}),
        full({"--rows", "2"}),
        full({"other.mdb"}),
        {"show"},
        {"show", f, f},
    };
    for (const auto& args : cases) {
        const RunResult r = RunSettingsTool(args);
        EXPECT_EQ(r.exitCode, 2) << (args.empty() ? "" : args.back()) << " " << args.size();
        EXPECT_NE(r.err, "");
        EXPECT_FALSE(fs::exists(File()));
    }
}

TEST_F(SettingsTool, ReplacesFilesAtomically) {
    Write(File(), FullWith({"--server", "first"}));
    const std::string before = ReadAll(File());
    // A refused value leaves the existing file as it was.
    std::vector<std::string> refused{"write", File().string()};
    const std::vector<std::string> values = FullWith({"--server", "second", "--timeout", "abc"});
    refused.insert(refused.end(), values.begin(), values.end());
    EXPECT_EQ(RunSettingsTool(refused).exitCode, 2);
    EXPECT_EQ(ReadAll(File()), before);

    Write(File(), FullWith({"--server", "second"}));
    EXPECT_EQ(Lines(Mdb("mdb-export", {File(), "Settings_General"})).at(1),
              "\"Remote SQL Authentication\",15,\"second\",1433,\"d\",\"u\",\"p\"");

    // A target that cannot be replaced fails with status 1 and leaves nothing behind.
    fs::create_directory(File("folder.mdb"));
    const RunResult r = RunSettingsTool([&] {
        std::vector<std::string> args{"write", File("folder.mdb").string()};
        const std::vector<std::string> good = FullWith({});
        args.insert(args.end(), good.begin(), good.end());
        return args;
    }());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("folder.mdb"), std::string::npos) << r.err;
    std::vector<std::string> missingDir{"write", (dir / "missing" / "s.mdb").string()};
    const std::vector<std::string> good = FullWith({});
    missingDir.insert(missingDir.end(), good.begin(), good.end());
    EXPECT_EQ(RunSettingsTool(missingDir).exitCode, 1);
    EXPECT_EQ(Entries(dir.Path()), (std::vector<std::string>{"Sarnwick.mdb", "folder.mdb"}));
}

TEST_F(SettingsTool, WritesFilesWithTheLongestNames) {
    std::string umlauts;
    while (umlauts.size() + 2 <= 255 - 4) umlauts += "ü";
    for (const std::string& name :
         {std::string(246, 'a') + ".mdb", std::string(251, 'b') + ".mdb", "x" + umlauts + ".mdb"}) {
        SCOPED_TRACE(name.size());
        Write(File(name), FullWith({}));
        Write(File(name), FullWith({"--server", "again"}));  // replacing it too
        EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{name});
        EXPECT_EQ(Lines(Mdb("mdb-export", {File(name), "Settings_General"})).at(1),
                  "\"Remote SQL Authentication\",15,\"again\",1433,\"d\",\"u\",\"p\"");
        fs::remove(File(name));
    }
}

TEST(RunProgram, ProgramThatCannotStartThrows) {
    EXPECT_THROW(quellmark::test::Run("quellmark-no-such-program", {}), std::runtime_error);
}

// ---- mdb-reader (npm) -------------------------------------------------------

TEST_F(SettingsTool, MdbReaderReadsTheWrittenFile) {
    try {
        quellmark::test::Run("node", {"--version"});
    } catch (const std::runtime_error&) {
        GTEST_SKIP() << "node is not installed";
    }
    const fs::path prefix = fs::path(QUELLMARK_BINARY_DIR) / "node";
    const fs::path module = prefix / "node_modules" / "mdb-reader" / "package.json";
    const fs::path failed = prefix / "setup-failed.txt";
    if (!fs::exists(module) && !fs::exists(failed)) {
        quellmark::test::Run("bash",
                             {fs::path(QUELLMARK_SOURCE_DIR) / "scripts" / "setup-node.sh", QUELLMARK_BINARY_DIR},
                             std::chrono::seconds(150));
    }
    if (!fs::exists(module)) GTEST_SKIP() << "mdb-reader is not installed: " << ReadAll(failed);

    Write(File(), FullWith({"--type", "Windows Authentication", "--server", "Zürich 東京", "--database", "a;b=\"c\"",
                            "--user", ""}));
    const fs::path script = fs::path(QUELLMARK_SOURCE_DIR) / "tests" / "tools" / "read_with_mdb_reader.mjs";
    const RunResult r = quellmark::test::Run("node", {script, prefix, File()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Lines(r.out), (std::vector<std::string>{
                                "tables=[\"Settings_General\"]",
                                "Settings_General.columns=OnlConnType:text,OnlConnTimeout:integer,OnlDbServer:text,"
                                "OnlDbPort:long,OnlDatabase:text,OnlDbUser:text,OnlDbPass:text",
                                "Settings_General.rowCount=1",
                                "Settings_General[0]={\"OnlConnType\":\"Windows Authentication\",\"OnlConnTimeout\":15,"
                                "\"OnlDbServer\":\"Zürich 東京\",\"OnlDbPort\":1433,\"OnlDatabase\":\"a;b=\\\"c\\\"\","
                                "\"OnlDbUser\":\"\",\"OnlDbPass\":\"p\"}",
                            }));
}

// ---- show: through Quellmark's own reader -----------------------------------

TEST_F(SettingsTool, ShowPrintsTheSettingsWithThePasswordMasked) {
    Write(File(), kFullValues);
    const RunResult r = RunSettingsTool({"show", File().string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "OnlConnType=Remote SQL Authentication\nOnlConnTimeout=0\nOnlDbServer=Zürich\nOnlDbPort=1433\n"
              "OnlDatabase=db;Data Source=x \"q\" 'z'\nOnlDbUser= user 東京 \nOnlDbPass=****\n");
    EXPECT_EQ(r.err, "");
}

// No byte of the output acts on a terminal: no C0 control but the line
// breaks, no DEL, no C1 control (UTF-8 C2 80 to C2 9F), no right-to-left override.
void ExpectNothingRaw(const std::string& output) {
    for (std::size_t i = 0; i < output.size(); ++i) {
        const auto c = static_cast<unsigned char>(output[i]);
        EXPECT_TRUE((c >= 0x20 && c != 0x7F) || c == '\n') << "byte " << int(c) << " at " << i << " in " << output;
        if (c == 0xC2 && i + 1 < output.size()) {
            EXPECT_FALSE(static_cast<unsigned char>(output[i + 1]) < 0xA0) << "a C1 control in " << output;
        }
    }
    EXPECT_EQ(output.find("\xE2\x80\xAE"), std::string::npos) << output;
}

TEST_F(SettingsTool, ShowAndErrorsMakeControlCharactersVisible) {
    Write(File(), FullWith({"--server", "host\x1b]0;title\x07", "--database", "d\r\tb\x7f", "--user",
                            "u\xc2\x9b"
                            "31m\xe2\x80\xae"
                            "end\\x"}));
    const RunResult r = RunSettingsTool({"show", File().string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ExpectNothingRaw(r.out);
    EXPECT_NE(r.out.find("OnlDbServer=host\\x1B]0;title\\x07\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("OnlDatabase=d\\x0D\\x09b\\x7F\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("OnlDbUser=u\\u009B31m\\u202Eend\\x\n"), std::string::npos) << r.out;

    // A file name in a message, and a text that is not UTF-8.
    const RunResult missing = RunSettingsTool({"show", File("e\x1b[2J.mdb").string()});
    EXPECT_EQ(missing.exitCode, 1);
    ExpectNothingRaw(missing.err);
    EXPECT_NE(missing.err.find("e\\x1B[2J.mdb"), std::string::npos) << missing.err;
    const RunResult usage = RunSettingsTool({"frob\x1b\xff"});
    EXPECT_EQ(usage.exitCode, 2);
    ExpectNothingRaw(usage.err);
    EXPECT_NE(usage.err.find("frob\\x1B\\xFF"), std::string::npos) << usage.err;
}

TEST_F(SettingsTool, ShowReportsFilesWithoutTheTable) {
    quellmark::test::WriteSettingsFile(File(), {"--no-table"});
    for (const fs::path& file :
         {File(), quellmark::test::RealMdb("nwind.mdb"), quellmark::test::RealMdb("DateTestDatabase.mdb")}) {
        const RunResult r = RunSettingsTool({"show", file.string()});
        EXPECT_EQ(r.exitCode, 1) << file;
        EXPECT_EQ(r.out, "") << file;
        EXPECT_NE(r.err.find("Settings_General"), std::string::npos) << file << ": " << r.err;
    }
}

// What is not a settings file is named at once, before anything is read
// from it: a FIFO does not block, a directory draws no warning about who can
// read it, a file larger than an Access database can be is not read.
TEST_F(SettingsTool, ShowRefusesWhatIsNotASettingsFileAtOnce) {
    ASSERT_EQ(::mkfifo(File("fifo.mdb").c_str(), 0666), 0);
    ASSERT_EQ(::chmod(File("fifo.mdb").c_str(), 0666), 0);
    fs::create_directory(File("folder.mdb"));
    fs::permissions(File("folder.mdb"), fs::perms::all);
    { std::ofstream sparse(File("huge.mdb")); }
    fs::resize_file(File("huge.mdb"), (std::uintmax_t{2} << 30) + 4096);
    fs::permissions(File("huge.mdb"), fs::perms::owner_read | fs::perms::owner_write);
    const std::pair<const char*, const char*> cases[] = {
        {"fifo.mdb", "is not a regular file"},
        {"folder.mdb", "is a directory"},
        {"huge.mdb", "is larger than an Access database can be (2 GB)."},
    };
    for (const auto& [name, mentions] : cases) {
        const auto start = std::chrono::steady_clock::now();
        const RunResult r = RunSettingsTool({"show", File(name).string()});
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << name;
        EXPECT_EQ(r.exitCode, 1) << name;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(mentions), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
}

TEST_F(SettingsTool, ShowNamesTheSettingAtFault) {
    const std::vector<std::string> complete = {"--type", "t",      "--timeout",  "5",          "--server",
                                               "s",      "--port", "1",          "--database", "d",
                                               "--user", "u",      "--password", "SECRETPW"};
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
        quellmark::test::WriteSettingsFile(File(), args);
        const RunResult r = RunSettingsTool({"show", File().string()});
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
    quellmark::test::WriteSettingsFile(File(), {"--text-column", "OnlConnTimeout", "--timeout", "abc", "--type", "t"});
    RunResult r = RunSettingsTool({"show", File().string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("OnlConnTimeout"), std::string::npos) << r.err;
    quellmark::test::WriteSettingsFile(File(), {"--type", "t"});
    r = RunSettingsTool({"show", File().string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("OnlConnTimeout"), std::string::npos) << r.err;

    r = RunSettingsTool({"show", File("absent.mdb").string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("absent.mdb"), std::string::npos) << r.err;
}

}  // namespace
