// Job files of quellmark-purge: what a file gives, what the command line
// changes, and the files refused; then a Windows Authentication job that
// logs in from a client keytab alone.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <optional>

#include "harness/kerberos_realm.h"
#include "harness/scoped_env.h"
#include "purge/purge_options.h"
#include "purge/run_file.h"
#include "support/online_log.h"

using namespace quellmark;
using purge_tool::ParseCommandLine;
using purge_tool::PurgeOptions;
using purge_tool::UsageError;

namespace {

constexpr const char* kStatement = "DELETE TOP (500) FROM ATR_Log WHERE label = 'a=b # c'";

// A folder of job files, each written anew.
struct JobDir {
    test::ScratchDir dir{"job"};
    int written = 0;

    std::string Write(const std::string& text, mode_t mode = 0644) {
        const std::filesystem::path file = dir / ("job" + std::to_string(++written) + ".conf");
        std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
        ::chmod(file.c_str(), mode);
        return file.string();
    }
};

// The message of the usage error the command line gives; "" when none.
std::string UsageMessage(const std::vector<std::string>& args) {
    try {
        ParseCommandLine(args);
    } catch (const UsageError& e) {
        return e.what();
    }
    return "";
}

TEST(PurgeJob, CommentsBlankLinesAndEveryKindOfValue) {
    JobDir job;
    const std::string file = job.Write(
        "\xEF\xBB\xBF# NetMon: priority 7\n"
        "\n"
        "   # indented comment\n"
        "statement = " +
        std::string(kStatement) +
        "  \r\n"
        "settings=netmon.mdb\n"
        "keytab = /etc/quellmark/purge/netmon.keytab\n"
        "\tmax-runtime\t=\t45m\n"
        "until = 05:30\n"
        "retries = 2\n"
        "pause-ms = 0\n"
        "lock-timeout-ms = 100\n"
        "dry-run = Yes\n"
        "quiet = false\n"
        "json = -");  // no newline at the end
    const PurgeOptions o = ParseCommandLine({"--job", file});
    EXPECT_EQ(o.statement, kStatement);                            // '=' and '#' inside a value are the value's
    EXPECT_EQ(o.settingsFile, (job.dir / "netmon.mdb").string());  // beside the job file
    EXPECT_EQ(o.keytab, "/etc/quellmark/purge/netmon.keytab");
    EXPECT_EQ(o.maxRuntime, std::chrono::minutes(45));
    EXPECT_EQ(o.untilMinute, 5 * 60 + 30);
    EXPECT_EQ(o.retries, 2);
    EXPECT_EQ(o.pauseMs, 0);
    EXPECT_EQ(o.lockTimeoutMs, 100);
    EXPECT_TRUE(o.dryRun);
    EXPECT_FALSE(o.quiet);
    EXPECT_EQ(o.json, "-");
    EXPECT_EQ(o.job, file);

    // The flags' other spellings.
    for (const auto& [text, expected] : std::vector<std::pair<std::string, bool>>{
             {"true", true}, {"yes", true}, {"TRUE", true}, {"no", false}, {"False", false}}) {
        const PurgeOptions flags =
            ParseCommandLine({"--job", job.Write("statement-file = s.sql\nquiet = " + text + "\n")});
        EXPECT_EQ(flags.quiet, expected) << text;
        EXPECT_EQ(flags.statementFile, (job.dir / "s.sql").string());
    }
}

TEST(PurgeJob, TheCommandLineOverridesTheFile) {
    JobDir job;
    const std::string file =
        job.Write("statement = " + std::string(kStatement) + "\nretries = 2\ndry-run = yes\nsettings = /a.mdb\n");
    PurgeOptions o = ParseCommandLine({"--retries", "7", "--job", file, "--dry-run=no", "--settings", "/b.mdb"});
    EXPECT_EQ(o.retries, 7);  // wherever --job stands
    EXPECT_FALSE(o.dryRun);
    EXPECT_EQ(o.settingsFile, "/b.mdb");
    EXPECT_EQ(o.statement, kStatement);

    // A statement on the command line replaces the job's, in either form.
    o = ParseCommandLine({"--job", file, "--statement-file", "/x.sql"});
    EXPECT_EQ(o.statementFile, "/x.sql");
    EXPECT_FALSE(o.statement);
    const std::string fromFile = job.Write("statement-file = s.sql\n");
    o = ParseCommandLine({"--job", fromFile, "--statement", "DELETE TOP (1) FROM ATR_Log"});
    EXPECT_EQ(o.statement, "DELETE TOP (1) FROM ATR_Log");
    EXPECT_FALSE(o.statementFile);

    // --help needs no job file that can be read.
    EXPECT_TRUE(ParseCommandLine({"--job", (job.dir / "none.conf").string(), "--help"}).help);
}

TEST(PurgeJob, MistakesAreUsageErrorsNamingFileAndLine) {
    JobDir job;
    const std::string head = "# job\nstatement = " + std::string(kStatement) + "\n";
    for (const auto& [text, expected] : std::vector<std::pair<std::string, std::string>>{
             {head + "retry = 3\n", ":3: unknown key \"retry\""},
             {head + "--retries = 3\n", ":3: unknown key \"--retries\""},
             {head + "\ndry-run\n", ":4: expected `name = value`, not \"dry-run\""},
             {head + "= 5\n", ":3: expected `name = value`"},
             {head + std::string(100, 'x') + "\n",
              ":3: expected `name = value`, not \"" + std::string(57, 'x') + "...\"."},
             {head + "dry-run = maybe\n", ":3: --dry-run takes true or false (yes or no), not \"maybe\""},
             {head + "quiet =\n", ":3: --quiet takes true or false"},
             {head + "retries = many\n", ":3: --retries needs a whole number"},
             {head + "max-runtime = 10\n", ":3: --max-runtime needs a whole number and a unit"},
             {head + "json =\n", ":3: --json needs a file"},
             {head + "job = other.conf\n", ":3: job is given on the command line only"},
             {head + "help = yes\n", ":3: help is given on the command line only"},
             {head + "retries = 1\nretries = 2\n", ":4: retries is given again; line 3 gave it first"},
             {head + std::string("until = 05:30\0x\n", 15), ":3: the line holds a NUL byte"},
         }) {
        SCOPED_TRACE(text);
        const std::string file = job.Write(text);
        const std::string message = UsageMessage({"--job", file});
        EXPECT_EQ(message.rfind(file + expected, 0), 0u) << message;
    }
    // The statement is still given once, between the file and the command line.
    const std::string file = job.Write(head + "statement-file = s.sql\n");
    EXPECT_NE(UsageMessage({"--job", file}).find("not both (the job file \"" + file), std::string::npos);
    const std::string none = job.Write("# nothing but a comment\n");
    EXPECT_NE(UsageMessage({"--job", none}).find("a statement is needed"), std::string::npos);
    EXPECT_EQ(UsageMessage({"--job", none, "--statement", kStatement}), "");
    EXPECT_EQ(UsageMessage({"--job", none, "--job", none}), "give --job once.");
}

TEST(PurgeJob, FilesOthersCouldChangeOrThatAreNoFilesAreRefused) {
    JobDir job;
    const std::string text = "statement = " + std::string(kStatement) + "\n";
    EXPECT_EQ(UsageMessage({"--job", job.Write(text, 0600)}), "");
    EXPECT_EQ(UsageMessage({"--job", job.Write(text, 0644)}), "");

    std::string message = UsageMessage({"--job", job.Write(text, 0666)});
    EXPECT_NE(message.find("every user (mode 0666) can write it"), std::string::npos) << message;
    EXPECT_NE(message.find("chooses the rows that are deleted"), std::string::npos) << message;

    const std::string groupWritable = job.Write(text, 0664);
    if (::chown(groupWritable.c_str(), static_cast<uid_t>(-1), 4242) == 0) {
        message = UsageMessage({"--job", groupWritable});
        EXPECT_NE(message.find("the group 4242 (mode 0664) can write it"), std::string::npos) << message;
    }
    const std::string othersFile = job.Write(text, 0644);
    if (::geteuid() == 0 && ::chown(othersFile.c_str(), 4242, 4242) == 0) {
        message = UsageMessage({"--job", othersFile});
        EXPECT_NE(message.find("its owner (user 4242) can write it"), std::string::npos) << message;
    }

    // A folder others can write lets them replace the file.
    const std::string safe = job.Write(text, 0644);
    ::chmod(job.dir.Path().c_str(), 0777);
    message = UsageMessage({"--job", safe});
    EXPECT_NE(message.find("can write its folder"), std::string::npos) << message;
    ::chmod(job.dir.Path().c_str(), 01777);  // as /tmp: others cannot replace it
    EXPECT_EQ(UsageMessage({"--job", safe}), "");
    ::chmod(job.dir.Path().c_str(), 0700);

    const std::string missing = (job.dir / "missing.conf").string();
    message = UsageMessage({"--job", missing});
    EXPECT_EQ(message, "cannot read the job file \"" + missing + "\": No such file or directory.");
    EXPECT_EQ(UsageMessage({"--job", job.dir.Path().string()}),
              "the job file \"" + job.dir.Path().string() + "\" is not a regular file.");
    // A pipe nobody writes to is refused at once, not waited on.
    const std::string fifo = (job.dir / "fifo.conf").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(UsageMessage({"--job", fifo}), "the job file \"" + fifo + "\" is not a regular file.");
    message = UsageMessage({"--job", job.Write(std::string(70'000, '#'))});
    EXPECT_NE(message.find("is over 64 KiB"), std::string::npos) << message;
}

// ACL entries count as mode bits do, on a file and all folders above it and its link.
TEST(PurgeJob, AclEntriesThatLetOthersWriteAreRefusedNamingWho) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, for ACL entries of user and group 65534";
    for (const auto& [on, acl, refusal] : std::vector<std::array<std::string, 3>>{
             {"elsewhere/netmon.conf", "u:65534:rw", "the user 65534 (ACL entry user:65534:rw-) can write it,"},
             {"elsewhere/netmon.conf", "g:65534:rw,m::r", ""},
             {"jobs", "u:65534:rwx", "the user 65534 (ACL entry user:65534:rwx) can write its folder"},
             {"elsewhere", "u:65534:wx", "the user 65534 (ACL entry user:65534:-wx) can write the folder"},
             {".", "g:65534:rwx", "can write the folder \"/"},
         }) {
        JobDir job;  // jobs/netmon.conf, a link to elsewhere/netmon.conf
        for (const char* folder : {"elsewhere", "jobs"}) std::filesystem::create_directories(job.dir / folder);
        std::ofstream(job.dir / "elsewhere/netmon.conf") << "statement = " << kStatement << "\n";
        std::filesystem::create_symlink(job.dir / "elsewhere/netmon.conf", job.dir / "jobs/netmon.conf");
        ASSERT_EQ(test::Run("/usr/bin/setfacl", {"-m", acl, (job.dir / on).string()}).exitCode, 0);
        const std::string message = UsageMessage({"--job", (job.dir / "jobs/netmon.conf").string()});
        EXPECT_TRUE(refusal.empty() ? message.empty() : message.find(refusal) != std::string::npos) << acl << message;
    }
}

// The built tool with a job file: a usage error is exit 64 before any server.
TEST(PurgeJob, TheToolReportsJobFileErrorsWithExit64) {
    JobDir job;
    const std::string file = job.Write("statment = " + std::string(kStatement) + "\n");
    test::RunResult r = test::Run(QUELLMARK_PURGE_TOOL, {"--job", file});
    EXPECT_EQ(r.exitCode, 64);
    EXPECT_NE(r.err.find("quellmark-purge: " + file + ":1: unknown key \"statment\""), std::string::npos) << r.err;

    // The job's statement file is held to the job file's rule.
    const std::string statement = (job.dir / "purge.sql").string();
    std::ofstream(statement) << kStatement;
    ::chmod(statement.c_str(), 0666);
    const std::string fromFile = job.Write("statement-file = purge.sql\n");
    r = test::Run(QUELLMARK_PURGE_TOOL, {"--job", fromFile});
    EXPECT_EQ(r.exitCode, 64);
    EXPECT_NE(r.err.find("quellmark-purge: refusing the statement file \"" + statement +
                         "\": every user (mode 0666) can write it"),
              std::string::npos)
        << r.err;
}

// Windows Authentication from the job's keytab alone: no kinit, no ticket
// cache on disk; the run's tickets live in its own memory.
TEST(PurgeJob, AKeytabJobLogsInWithoutATicketCache) {
    test::KerberosRealm realm;  // the user principal "ops", the server's login name
    test::OnlineLog log(test::SarnwickServer(3000, 5, {"--kerberos-keytab", realm.Keytab()}));
    log.Mark("purge-me", 700);
    realm.RegisterService("localhost", log.server.Port());
    log.UseSettings({"--type", "Windows Authentication", "--server", "localhost," + std::to_string(log.server.Port())});

    JobDir job;
    const std::string keytab = (job.dir / "netmon.keytab").string();
    std::filesystem::copy_file(realm.UserKeytab(), keytab);
    ::chmod(keytab.c_str(), 0640);
    const std::string file = job.Write("settings = " + log.SettingsFile().string() +
                                       "\nstatement = DELETE TOP (300) FROM ATR_Log WHERE label = 'purge-me'\n"
                                       "keytab = netmon.keytab\ndry-run = yes\nchunk-time = 0\nmax-log-used = 0\n");
    const std::string counted =
        "quellmark-purge: chunks of up to 300 rows lock rows, not the table: the monitoring system goes on writing to "
        "ATR_Log during the run.\n"
        "quellmark-purge: dry run: 700 rows match; deleting them takes 3 chunks of 300; nothing was deleted\n";
    std::optional<test::ScopedEnv> cacheName(std::in_place, "KRB5CCNAME", "");
    test::RunResult r = test::Run(QUELLMARK_PURGE_TOOL, {"--job", file});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, counted);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(log.server.CountRows("label = 'purge-me'"), 700);

    // A cache the unit names is used instead: the tickets land there.
    const std::filesystem::path cache = job.dir / "unit.ccache";
    cacheName.emplace("KRB5CCNAME", "FILE:" + cache.string());
    r = test::Run(QUELLMARK_PURGE_TOOL, {"--job", file});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, counted);
    EXPECT_TRUE(std::filesystem::exists(cache));

    // A keytab every local user can read is a password anyone can use: said, not refused.
    ::chmod(keytab.c_str(), 0644);
    r = test::Run(QUELLMARK_PURGE_TOOL, {"--job", file});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("quellmark-purge: warning: every local user can read the keytab \"" + keytab + "\""),
              std::string::npos)
        << r.err;
    ::chmod(keytab.c_str(), 0640);
    cacheName.emplace("KRB5CCNAME", "");

    // Without the keytab there is no ticket.
    r = test::Run(QUELLMARK_PURGE_TOOL, {"--job", file, "--keytab", (job.dir / "none.keytab").string()});
    EXPECT_EQ(r.exitCode, 78);
    EXPECT_NE(
        r.err.find("cannot read the keytab \"" + (job.dir / "none.keytab").string() + "\": No such file or directory."),
        std::string::npos)
        << r.err;

    // The KDC no longer has the key the keytab holds.
    realm.ChangeKey("ops");
    r = test::Run(QUELLMARK_PURGE_TOOL, {"--job", file});
    EXPECT_EQ(r.exitCode, 69) << r.err;
    EXPECT_NE(r.err.find("The Kerberos ticket of this run comes from the keytab \"" +
                         (job.dir / "netmon.keytab").string() + "\""),
              std::string::npos)
        << r.err;
}

}  // namespace
