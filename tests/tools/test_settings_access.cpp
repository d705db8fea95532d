// Who can read what quellmark-settings writes, and where write takes the
// password from when it is not on the command line. What is stored is read
// back through Quellmark's own settings reader (the Jet provider).
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "harness/run_program.h"
#include "harness/scratch_dir.h"
#include "ops/settings_file.h"

namespace fs = std::filesystem;
using quellmark::test::RunResult;
using quellmark::test::RunSettingsTool;

namespace {

// Every option but the password.
const std::vector<std::string> kWithoutPassword = {"--type",     "Remote SQL Authentication",
                                                   "--timeout",  "15",
                                                   "--server",   "s",
                                                   "--port",     "1433",
                                                   "--database", "d",
                                                   "--user",     "u"};

std::vector<std::string> WriteArgs(const fs::path& file, const std::vector<std::string>& extra) {
    std::vector<std::string> args{"write", file.string()};
    args.insert(args.end(), kWithoutPassword.begin(), kWithoutPassword.end());
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

std::string StoredPassword(const fs::path& file) {
    namespace ops = quellmark::ops;
    return ops::ReadOnlineSettings(ops::SettingsConnStringForFile(file)).OnlDbPass;
}

struct stat StatOf(const fs::path& file) {
    struct stat info {};
    EXPECT_EQ(::stat(file.c_str(), &info), 0) << file;
    return info;
}

// Sets the process's umask for the life of the object.
class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
    ~ScopedUmask() { ::umask(old_); }
    ScopedUmask(const ScopedUmask&) = delete;
    ScopedUmask& operator=(const ScopedUmask&) = delete;

private:
    mode_t old_;
};

// A group other than this process's own that it may give files to: any group
// for root, one of its supplementary groups otherwise.
std::optional<std::pair<gid_t, std::string>> AnotherUsableGroup() {
    std::vector<gid_t> candidates;
    if (::geteuid() == 0) {
        for (const char* name : {"daemon", "adm", "nogroup", "users"}) {
            if (const group* g = ::getgrnam(name)) candidates.push_back(g->gr_gid);
        }
    } else {
        candidates.resize(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
        candidates.resize(
            static_cast<std::size_t>(std::max(::getgroups(static_cast<int>(candidates.size()), candidates.data()), 0)));
    }
    for (const gid_t id : candidates) {
        const group* g = ::getgrgid(id);
        if (id != ::getegid() && g != nullptr) return std::make_pair(id, std::string(g->gr_name));
    }
    return std::nullopt;
}

class SettingsAccess : public ::testing::Test {
protected:
    fs::path File(const std::string& name = "Sarnwick.mdb") const { return dir / name; }
    quellmark::test::ScratchDir dir{"quellmark-access"};
};

TEST_F(SettingsAccess, OnlyTheOwnerCanReadAWrittenFile) {
    const ScopedUmask openUmask(0);  // the mode must not depend on the caller's umask
    RunResult r = RunSettingsTool(WriteArgs(File(), {"--password", "p"}));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(StatOf(File()).st_mode & 07777, 0600u);

    // A file readable by everyone is replaced by one that is not.
    ASSERT_EQ(::chmod(File().c_str(), 0644), 0);
    r = RunSettingsTool(WriteArgs(File(), {"--password", "p"}));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(StatOf(File()).st_mode & 07777, 0600u);
    EXPECT_EQ(StatOf(File()).st_gid, ::getegid());
}

TEST_F(SettingsAccess, GroupOptionSharesTheFileWithOneGroup) {
    const auto other = AnotherUsableGroup();
    if (!other) GTEST_SKIP() << "this user belongs to no group besides its own";
    const auto [gid, name] = *other;
    const ScopedUmask strictUmask(077);
    RunResult r = RunSettingsTool(WriteArgs(File(), {"--password", "p", "--group", name}));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(StatOf(File()).st_mode & 07777, 0640u);
    EXPECT_EQ(StatOf(File()).st_gid, gid);
    EXPECT_EQ(StoredPassword(File()), "p");

    // Written again without --group, it is the owner's alone once more.
    r = RunSettingsTool(WriteArgs(File(), {"--password", "p"}));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(StatOf(File()).st_mode & 07777, 0600u);
    EXPECT_EQ(StatOf(File()).st_gid, ::getegid());

    // A group that does not exist is a usage error, and nothing is written.
    r = RunSettingsTool(WriteArgs(File("other.mdb"), {"--password", "p", "--group=quellmark-no-such-group"}));
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("quellmark-no-such-group"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(File("other.mdb")));
}

TEST_F(SettingsAccess, ShowWarnsWhenEveryoneCanReadTheFile) {
    ASSERT_EQ(RunSettingsTool(WriteArgs(File(), {"--password", "p"})).exitCode, 0);
    for (const mode_t mode : {0600, 0640, 0660}) {
        ASSERT_EQ(::chmod(File().c_str(), mode), 0);
        const RunResult r = RunSettingsTool({"show", File().string()});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.err, "") << std::oct << mode;
    }
    for (const mode_t mode : {0644, 0604}) {
        ASSERT_EQ(::chmod(File().c_str(), mode), 0);
        const RunResult r = RunSettingsTool({"show", File().string()});
        EXPECT_EQ(r.exitCode, 0);  // a warning, not a failure: Quellmark still reads the file
        EXPECT_NE(r.err.find("warning: every local user can read " + File().string()), std::string::npos)
            << std::oct << mode << ": " << r.err;
        EXPECT_NE(r.out.find("OnlDbPass=****\n"), std::string::npos);
    }
}

TEST_F(SettingsAccess, PasswordFromTheFirstLineOfStandardInput) {
    const std::pair<std::string, std::string> cases[] = {
        {"s3cret;pw=\"x\" ü\n", "s3cret;pw=\"x\" ü"},
        {"crlf\r\nsecond line\n", "crlf"},
        {"no line break", "no line break"},
        {"  spaces kept  \n", "  spaces kept  "},
        {"\n", ""},  // an empty line is an empty password
    };
    for (const auto& [input, stored] : cases) {
        const RunResult r = RunSettingsTool(WriteArgs(File(), {"--password-stdin"}), input);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(StoredPassword(File()), stored) << input;
        EXPECT_EQ(r.out + r.err, "");
    }
}

TEST_F(SettingsAccess, PasswordOptionsThatCannotBeMet) {
    struct Case {
        std::vector<std::string> extra;
        std::optional<std::string> input;
        const char* mentions;
    };
    const Case cases[] = {
        {{"--password-stdin"}, "", "standard input is empty"},
        {{"--password-stdin"}, std::nullopt, "standard input is empty"},  // /dev/null
        {{"--password-stdin", "--password", "SECRET-1"}, "SECRET-2\n", "not both"},
        {{"--password-stdin", "--password-stdin"}, "SECRET-2\n", "twice"},
        {{}, std::nullopt, "missing: --password"},  // no terminal to ask on
        // An endless line is not read to its end.
        {{"--password-stdin"}, std::string(64 << 20, '\0'), "longer than 1024 bytes"},
        {{"--password-stdin"}, "SECRET" + std::string(1019, 'x') + "\n", "longer than 1024 bytes"},
        {{"--password-stdin"}, std::string("SECRET\0cut\n", 11), "NUL"},
        {{"--password-stdin"}, "SECRET};x\n", "\"};\""},
    };
    for (const Case& c : cases) {
        const RunResult r = RunSettingsTool(WriteArgs(File(), c.extra), c.input);
        EXPECT_EQ(r.exitCode, 2) << c.mentions;
        EXPECT_NE(r.err.find(c.mentions), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("SECRET"), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(File()));
    }
    // Another missing value is reported before standard input is read.
    std::vector<std::string> args{"write", File().string(), "--type", "t", "--password-stdin"};
    const RunResult r = RunSettingsTool(args, "pw\n");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("missing: --timeout, --server, --port, --database, --user ("), std::string::npos) << r.err;
}

// What a run of the tool on a terminal of its own showed, its first prompt
// answered with `answer` and Enter.
struct TerminalRun {
    int exitCode = -1;
    std::string screen;
};

TerminalRun RunOnTerminal(const std::vector<std::string>& args, const std::string& answer) {
    const std::string program = quellmark::test::SettingsToolPath();
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    int terminal = -1;
    const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid < 0) throw std::runtime_error("forkpty failed");
    if (pid == 0) {
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    TerminalRun run;
    bool answered = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{terminal, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) == 0) {
            ::kill(pid, SIGKILL);
            ADD_FAILURE() << "the tool did not finish; the terminal shows:\n" << run.screen;
            break;
        }
        char buffer[512];
        const ssize_t n = ::read(terminal, buffer, sizeof buffer);
        if (n <= 0) break;  // the tool has ended and closed the terminal
        run.screen.append(buffer, static_cast<std::size_t>(n));
        if (!answered && run.screen.find("Password") != std::string::npos &&
            run.screen.find(": ", run.screen.find("Password")) != std::string::npos) {
            const std::string line = answer + "\n";
            EXPECT_EQ(::write(terminal, line.data(), line.size()), static_cast<ssize_t>(line.size()));
            answered = true;
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(terminal);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

TEST_F(SettingsAccess, AsksForThePasswordOnATerminalWithoutEcho) {
    // Also with --password-stdin: typed on a terminal, the password is not shown either.
    for (const std::vector<std::string>& extra : {std::vector<std::string>{}, {"--password-stdin"}}) {
        SCOPED_TRACE(extra.empty() ? "no password option" : extra[0]);
        const TerminalRun run = RunOnTerminal(WriteArgs(File(), extra), "Typ3d;secret");
        ASSERT_EQ(run.exitCode, 0) << run.screen;
        EXPECT_NE(run.screen.find("Password of the SQL login \"u\": "), std::string::npos) << run.screen;
        EXPECT_EQ(run.screen.find("Typ3d"), std::string::npos) << "the password was echoed:\n" << run.screen;
        EXPECT_EQ(StoredPassword(File()), "Typ3d;secret");
        fs::remove(File());
    }
}

}  // namespace
