// quellmark-purge as a scheduler runs it: the built program, FreeTDS and
// quellmark-logdb, the rows checked in the server's SQLite file.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "harness/scoped_env.h"
#include "harness/wait.h"
#include "support/online_log.h"

using namespace quellmark;
using namespace std::chrono_literals;

namespace {

constexpr const char* kMarked = "label = 'purge-me'";
constexpr const char* kUnmarked = "label <> 'purge-me'";

std::string PurgeTool() { return QUELLMARK_PURGE_TOOL; }

std::string ReadFile(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A server of 5000 rows, 2000 of them labelled 'purge-me', and a settings
// file pointing at it.
// The run's lock file goes to the scratch folder, unless a test takes
// lockFolder away to use the machine's own.
struct Purge {
    explicit Purge(std::vector<std::string> serverArgs = {})
        : Purge(std::in_place, test::SarnwickServer(5000, 11, std::move(serverArgs))) {}
    Purge(std::in_place_t, test::LogDbOptions options) : log(std::move(options)) {
        EXPECT_EQ(log.Mark("purge-me", 2000), 2000);
        log.UseSettings();
        others = log.server.Snapshot(kUnmarked);
    }

    std::vector<std::string> Args(const std::string& statement, std::vector<std::string> more = {},
                                  const std::optional<std::filesystem::path>& json = std::nullopt) const {
        std::vector<std::string> args = {"--settings", log.SettingsFile().string(),   "--statement", statement,
                                         "--json",     json.value_or(Json()).string()};
        args.insert(args.end(), {"--chunk-time", "0", "--max-log-used", "0"});  // every chunk n rows
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }
    test::RunResult Run(const std::string& statement, std::vector<std::string> more = {}) const {
        return test::Run(PurgeTool(), Args(statement, std::move(more)), 120s);
    }
    std::filesystem::path Json() const { return log.dir / "run.json"; }
    std::string JsonText() const { return ReadFile(Json()); }
    std::int64_t Marked() const { return log.server.CountRows(kMarked); }
    void ExpectOthersUntouched() const { EXPECT_TRUE(log.server.Snapshot(kUnmarked) == others); }

    test::OnlineLog log;
    std::string others;
    std::optional<test::ScopedEnv> lockFolder{std::in_place, "QUELLMARK_LOCK_DIR", log.dir.Path().string()};
};

std::string Chunked(int n) { return "DELETE TOP (" + std::to_string(n) + ") FROM ATR_Log WHERE label = 'purge-me'"; }

// The value of a field of the one-line JSON object, as written.
std::string Field(const std::string& json, const std::string& name) {
    const std::regex field("\"" + name + "\":(\"(?:[^\"\\\\]|\\\\.)*\"|[^,}]*)");
    std::smatch match;
    if (!std::regex_search(json, match, field)) return "<missing>";
    return match[1];
}

// Starts the tool in the background, its output in files of `dir`; through
// `wrapper` (a program and its arguments, the tool's command line after
// them) when given.
pid_t Start(const std::vector<std::string>& args, const std::filesystem::path& dir,
            const std::vector<std::string>& wrapper = {}) {
    std::vector<std::string> all = wrapper;
    all.push_back(PurgeTool());
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string out = (dir / "out").string(), err = (dir / "err").string();
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (!std::freopen(out.c_str(), "w", stdout) || !std::freopen(err.c_str(), "w", stderr)) ::_exit(126);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

int Wait(pid_t pid, std::chrono::seconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > until) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            ADD_FAILURE() << "quellmark-purge did not end in time";
            return -1;
        }
        std::this_thread::sleep_for(10ms);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Waits until the server has deleted some of the marked rows.
void WaitForFirstChunk(const Purge& purge) {
    const auto until = std::chrono::steady_clock::now() + 60s;
    while (purge.Marked() == 2000 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(20ms);
}

TEST(PurgeTool, DeletesExactlyTheMatchedRowsAndTheJsonAgrees) {
    Purge purge;
    const test::RunResult r = purge.Run(Chunked(700) + "\r\n", {"--pause-ms", "20"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(purge.Marked(), 0);
    purge.ExpectOthersUntouched();
    const std::string json = purge.JsonText();
    EXPECT_EQ(Field(json, "server"), "\"127.0.0.1," + std::to_string(purge.log.server.Port()) + "\"");
    EXPECT_EQ(Field(json, "database"), "\"Sarnwick\"");
    EXPECT_EQ(Field(json, "statement"), "\"" + Chunked(700) + "\"");
    EXPECT_EQ(Field(json, "chunk_size"), "700");
    EXPECT_EQ(Field(json, "rows_at_start"), "2000");
    EXPECT_EQ(Field(json, "rows_deleted"), "2000");
    EXPECT_EQ(Field(json, "rows_left"), "0");
    EXPECT_EQ(Field(json, "chunks"), "3");
    EXPECT_EQ(Field(json, "retries"), "0");
    EXPECT_EQ(Field(json, "stop_reason"), "\"done\"");
    EXPECT_EQ(Field(json, "error"), "null");
    const std::regex stamp("\"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d\"");
    EXPECT_TRUE(std::regex_match(Field(json, "started_at"), stamp)) << json;
    EXPECT_TRUE(std::regex_match(Field(json, "ended_at"), stamp)) << json;
    EXPECT_GT(std::stod(Field(json, "seconds")), 0.0);
    EXPECT_GT(std::stod(Field(json, "chunk_ms_median")), 0.0);
    EXPECT_GE(std::stod(Field(json, "chunk_ms_p95")), std::stod(Field(json, "chunk_ms_median")));
    EXPECT_TRUE(std::regex_match(
        r.out, std::regex("quellmark-purge: done: deleted 2000 of 2000 rows in 3 chunks, 0 retries, 0 rows left, "
                          "\\d+\\.\\d s\n")))
        << r.out;
}

TEST(PurgeTool, JsonOnStandardOutputAndTheStatementFromAFile) {
    Purge purge;
    const auto file = purge.log.dir / "statement.sql";
    std::ofstream(file) << Chunked(1500) << "\n";
    const test::RunResult r =
        test::Run(PurgeTool(), {"--settings", purge.log.SettingsFile().string(), "--statement-file", file.string(),
                                "--json", "-", "--quiet", "--chunk-time", "0", "--max-log-used", "0"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.front(), '{');
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << r.out;  // one line: nothing but the JSON
    EXPECT_EQ(Field(r.out, "rows_deleted"), "2000");
    EXPECT_EQ(Field(r.out, "chunks"), "2");
    EXPECT_NE(r.err.find("quellmark-purge: done: deleted 2000"), std::string::npos) << r.err;
    EXPECT_EQ(purge.Marked(), 0);
}

TEST(PurgeTool, DryRunCountsAndDeletesNothing) {
    Purge purge;
    const test::RunResult r = purge.Run(Chunked(700), {"--dry-run"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')),
              "quellmark-purge: chunks of up to 700 rows lock rows, not the table: the monitoring system goes on "
              "writing to ATR_Log during the run.");
    EXPECT_NE(r.out.find("\nquellmark-purge: dry run: 2000 rows match; deleting them takes 3 chunks of 700; nothing "
                         "was deleted\n"),
              std::string::npos);
    EXPECT_EQ(purge.Marked(), 2000);
    const std::string json = purge.JsonText();
    EXPECT_EQ(Field(json, "dry_run"), "true");
    EXPECT_EQ(Field(json, "rows_at_start"), "2000");
    EXPECT_EQ(Field(json, "rows_deleted"), "0");
    EXPECT_EQ(Field(json, "chunks"), "0");
}

// Stopped runs: completed chunks stay deleted, and the figures say so.
void ExpectStopped(const Purge& purge, int exitCode, const std::string& reason, int chunk) {
    EXPECT_EQ(exitCode, 75);
    const std::string json = purge.JsonText();
    EXPECT_EQ(Field(json, "stop_reason"), "\"" + reason + "\"") << json;
    const std::int64_t deleted = 2000 - purge.Marked();
    EXPECT_GT(deleted, 0);
    EXPECT_LT(deleted, 2000);
    EXPECT_EQ(deleted % chunk, 0) << "a chunk was cut short";
    EXPECT_EQ(Field(json, "rows_deleted"), std::to_string(deleted)) << json;
    EXPECT_EQ(Field(json, "chunks"), std::to_string(deleted / chunk)) << json;
    purge.ExpectOthersUntouched();
}

TEST(PurgeTool, MaxRuntimeStopsAfterTheChunkUnderWay) {
    Purge purge({"--delay-ms", "300"});
    const auto start = std::chrono::steady_clock::now();
    const test::RunResult r = purge.Run(Chunked(100), {"--max-runtime", "1s"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    ExpectStopped(purge, r.exitCode, "max-runtime", 100);
    EXPECT_EQ(Field(purge.JsonText(), "rows_left"), std::to_string(purge.Marked()));
    EXPECT_NE(r.out.find("stopped: --max-runtime reached"), std::string::npos) << r.out;
}

TEST(PurgeTool, SignalsStopAfterTheStatementUnderWay) {
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        Purge purge({"--delay-ms", "200"});
        const pid_t pid = Start(purge.Args(Chunked(100)), purge.log.dir.Path());
        WaitForFirstChunk(purge);
        ::kill(pid, signal);
        ExpectStopped(purge, Wait(pid, 30s), "signal", 100);
        EXPECT_NE(ReadFile(purge.log.dir / "err").find("stopping after the statement under way"), std::string::npos);
    }
}

TEST(PurgeTool, ASecondSigintCancelsTheStatementOnTheServer) {
    // The first delete takes 20 s on the server (after the lock's EXEC and
    // SELECT and the count).
    Purge purge({"--delay-ms", "20000", "--faults-after", "3"});
    const pid_t pid = Start(purge.Args(Chunked(100)), purge.log.dir.Path());
    ASSERT_TRUE(test::WaitUntil([&] { return purge.log.server.DeleteUnderWay(); }, 60s));
    const auto start = std::chrono::steady_clock::now();
    ::kill(pid, SIGINT);
    // Two signals pending at once are taken as one: the second goes once the first was.
    EXPECT_TRUE(
        test::WaitUntil([&] { return ReadFile(purge.log.dir / "err").find("(Ctrl+C") != std::string::npos; }, 30s));
    ::kill(pid, SIGINT);
    EXPECT_EQ(Wait(pid, 30s), 75) << ReadFile(purge.log.dir / "err");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);
    EXPECT_EQ(purge.Marked(), 2000);  // the cancelled delete was rolled back
    EXPECT_EQ(Field(purge.JsonText(), "stop_reason"), "\"signal\"");
}

TEST(PurgeTool, ASignalDuringTheLoginEndsTheRunAtOnce) {
    for (int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(signal));
        test::LogDbOptions options = test::SarnwickServer(5000, 11, {"--hang-login"});
        options.wireLog = true;
        Purge purge(std::in_place, options);
        purge.log.UseSettings({"--timeout", "20"});
        const pid_t pid = Start(purge.Args(Chunked(100)), purge.log.dir.Path());
        const auto until = std::chrono::steady_clock::now() + 60s;
        while (purge.log.server.Received().empty() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(20ms);
        const auto start = std::chrono::steady_clock::now();
        ::kill(pid, signal);
        EXPECT_EQ(Wait(pid, 60s), 75) << ReadFile(purge.log.dir / "err");
        // Within a second as a rule; 10 s leaves room for busy cores and is still half the login's time-out.
        EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
        EXPECT_EQ(Field(purge.JsonText(), "stop_reason"), "\"signal\"");
        EXPECT_EQ(purge.Marked(), 2000);
    }
}

TEST(PurgeTool, LockTroubleIsRetriedUntilTheRunIsDone) {
    for (const std::string number : {"1205", "1222"}) {
        SCOPED_TRACE(number);
        Purge purge({"--inject", number + ":3"});
        const test::RunResult r = purge.Run(Chunked(500), {"--pause-ms", "0"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(purge.Marked(), 0);
        purge.ExpectOthersUntouched();
        const std::string json = purge.JsonText();
        EXPECT_EQ(Field(json, "retries"), "2");  // deletes 3 and 6 of 1..7
        EXPECT_EQ(Field(json, "chunks"), "5");
        EXPECT_NE(r.err.find("(Msg " + number + "); sending it again in"), std::string::npos) << r.err;
    }
}

TEST(PurgeTool, RetriesRunningOutStopWithRowsLeft) {
    Purge purge({"--inject", "1205:1"});
    const test::RunResult r = purge.Run(Chunked(100), {"--retries", "1", "--pause-ms", "0"});
    EXPECT_EQ(r.exitCode, 75) << r.err;
    const std::string json = purge.JsonText();
    EXPECT_EQ(Field(json, "stop_reason"), "\"retries-exhausted\"");
    EXPECT_EQ(Field(json, "retries"), "1");
    EXPECT_EQ(Field(json, "rows_deleted"), "0");
    EXPECT_EQ(Field(json, "rows_left"), "2000");
    EXPECT_NE(Field(json, "error").find("deadlock victim"), std::string::npos) << json;
    EXPECT_EQ(purge.Marked(), 2000);
}

TEST(PurgeTool, FailuresGiveTheWindowsMessageAndTheirExitCode) {
    Purge purge;
    test::RunResult r = purge.Run("DELETE TOP (100) FROM ATR_Log WHERE lable = 'purge-me'");
    EXPECT_EQ(r.exitCode, 65);
    EXPECT_NE(r.err.find("Invalid column name 'lable'."), std::string::npos) << r.err;
    EXPECT_EQ(Field(purge.JsonText(), "stop_reason"), "\"failed\"");
    EXPECT_EQ(Field(purge.JsonText(), "error"), "\"Invalid column name 'lable'.\"");

    purge.log.UseSettings({"--password", "wrong"});
    r = purge.Run(Chunked(100));
    EXPECT_EQ(r.exitCode, 69);
    EXPECT_NE(r.err.find("Login failed for user 'ops'"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("wrong"), std::string::npos) << "the password was shown: " << r.err;

    purge.log.UseSettings({"--type", "Psychic Authentication"});
    EXPECT_EQ(purge.Run(Chunked(100)).exitCode, 78);
    std::filesystem::remove(purge.log.SettingsFile());
    r = purge.Run(Chunked(100));
    EXPECT_EQ(r.exitCode, 78);
    EXPECT_NE(r.err.find("Sarnwick.mdb"), std::string::npos) << r.err;
    EXPECT_EQ(Field(purge.JsonText(), "stop_reason"), "\"failed\"");
    EXPECT_EQ(purge.Marked(), 2000);
}

TEST(PurgeTool, TheServersWordsReachTheTerminalWithControlCharactersVisible) {
    // The statement cannot carry ESC (the guard refuses it), so the text
    // comes from the settings: a server name no host has.
    Purge purge;
    purge.log.UseSettings({"--server", "db\x1b]0;title\a\x1b[2J"});
    const test::RunResult r = purge.Run(Chunked(100));
    EXPECT_EQ(r.exitCode, 69) << r.err;
    EXPECT_NE(r.err.find("db\\x1B]0;title\\x07\\x1B[2J"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << r.err;
}

// The JSON file replaces a link planted under its name; a failed write is reported.
TEST(PurgeTool, TheJsonFileReplacesALinkAndAFailedWriteIsReported) {
    Purge purge;
    const auto target = purge.log.dir / "target";
    std::ofstream(target) << "kept\n";
    std::filesystem::create_symlink(target, purge.Json());
    test::RunResult r = purge.Run(Chunked(700), {"--dry-run"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadFile(target), "kept\n");
    EXPECT_EQ(Field(purge.JsonText(), "rows_at_start"), "2000");

    r = test::Run(PurgeTool(), purge.Args(Chunked(700), {"--dry-run"}, "/dev/full"), 120s);
    EXPECT_EQ(r.exitCode, 74);
    EXPECT_NE(r.err.find("quellmark-purge: cannot write the JSON file \"/dev/full\": No space left on device"),
              std::string::npos)
        << r.err;

    const std::string fifo = (purge.log.dir / "summary.fifo").string();  // no reader ever comes
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    r = test::Run(PurgeTool(), purge.Args(Chunked(700), {"--dry-run"}, fifo), 120s);
    EXPECT_EQ(r.exitCode, 73) << r.err;
}

TEST(PurgeTool, UsageErrorsAndRefusedStatementsReachNoServer) {
    Purge purge;
    const std::string settings = purge.log.SettingsFile().string();
    const std::string fifo = (purge.log.dir / "statement.fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);  // no writer ever comes: refused at once, or the run hangs
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--settings", settings, "--statement", "DELETE FROM ATR_Log WHERE label = 'purge-me'"},
             {"--settings", settings, "--statement", "DELETE TOP (0) FROM ATR_Log"},
             {"--settings", settings, "--statement", Chunked(100) + "; DELETE FROM ATR_Log"},
             {"--settings", settings, "--statement", Chunked(100) + " DELETE FROM ATR_Log"},
             {"--settings", settings, "--statement", Chunked(100) + " -- x'\nDELETE FROM ATR_Log"},
             {"--settings", settings},
             {"--settings", settings, "--statement", Chunked(100), "--password", "x"},
             {"--settings", settings, "--statement", Chunked(100), "--max-runtime", "10"},
             {"--settings", settings, "--statement", Chunked(100), "--max-runtime", "5000000h"},
             {"--settings", settings, "--statement-file", fifo},
             {"--settings", settings, "--statement", Chunked(100), "--until", "24:00"},
             {"--settings", settings, "--statement", Chunked(100), "--retries", "-1"},
             {"--settings", settings, "--statement", Chunked(100), "--statement-file", settings},
         }) {
        SCOPED_TRACE(args.back());
        const test::RunResult r = test::Run(PurgeTool(), args);
        EXPECT_EQ(r.exitCode, 64) << r.err;
        EXPECT_NE(r.err.find("quellmark-purge: "), std::string::npos);
    }
    EXPECT_EQ(purge.Marked(), 2000);
    EXPECT_EQ(test::Run(PurgeTool(), {"--help"}).exitCode, 0);
    const test::RunResult r = purge.Run(Chunked(100), {"--json", (purge.log.dir / "no" / "such.json").string()});
    EXPECT_EQ(r.exitCode, 73);
    EXPECT_EQ(purge.Marked(), 2000);
    // A metrics file that cannot be written fails a run that went well.
    const std::string metrics = (purge.log.dir / "no" / "x.prom").string();
    const test::RunResult m = purge.Run(Chunked(1000), {"--metrics", metrics});
    EXPECT_EQ(m.exitCode, 74) << m.err;
    EXPECT_NE(m.err.find("quellmark-purge: cannot write the metrics file \"" + metrics + "\": "), std::string::npos);
}

TEST(PurgeTool, OnATerminalOneLineUpdatesInPlace) {
    Purge purge({"--delay-ms", "50"});
    std::vector<std::string> all = {PurgeTool()};
    for (const std::string& a : purge.Args(Chunked(400), {"--pause-ms", "100"})) all.push_back(a);
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    int terminal = -1;
    const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    std::string screen;
    const auto until = std::chrono::steady_clock::now() + 60s;
    for (;;) {
        pollfd p{terminal, POLLIN, 0};
        if (std::chrono::steady_clock::now() > until || ::poll(&p, 1, 1000) < 0) break;
        char buffer[512];
        const ssize_t n = ::read(terminal, buffer, sizeof buffer);
        if (n <= 0) break;
        screen.append(buffer, static_cast<std::size_t>(n));
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(terminal);
    ASSERT_TRUE(WIFEXITED(status)) << screen;
    EXPECT_EQ(WEXITSTATUS(status), 0) << screen;
    // Each figure is written over the last one: a carriage return, the text,
    // then the rest of the line cleared.
    for (const char* figure :
         {"deleted 400 of 2000 rows (20%)", "deleted 1200 of 2000 rows (60%)", "deleted 2000 of 2000 rows (100%)"}) {
        const std::size_t at = screen.find(std::string("\r") + figure + ", ");
        ASSERT_NE(at, std::string::npos) << figure << " in:\n" << screen;
        const std::size_t end = screen.find("\x1b[K", at);
        ASSERT_NE(end, std::string::npos);
        const std::string line = screen.substr(at + 1, end - at - 1);
        const std::string rest = line.substr(std::string(figure).size());
        EXPECT_TRUE(std::regex_match(
            rest, std::regex(", chunk 400, \\d+ rows/s, 0:00:\\d\\d elapsed(, about 0:00:\\d\\d left)?")))
            << line;
    }
    EXPECT_NE(screen.find("\x1b[K\r\nquellmark-purge: done: deleted 2000 of 2000 rows in 6 chunks"), std::string::npos)
        << screen;
}

TEST(PurgeTool, WithoutATerminalNoLineIsRewritten) {
    Purge purge;
    const test::RunResult r = purge.Run(Chunked(400), {"--pause-ms", "10"});
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err.find('\r'), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("\x1b["), std::string::npos) << r.err;
}

}  // namespace

// ---- One run at a time per log --------------------------------------------------

// The machine's own lock file of the test's log, removed when the test ends
// (it is left behind by design: only the holder's flock counts).
struct MachineLockFile {
    explicit MachineLockFile(const Purge& purge)
        : path(purge.log.dir /
               ("quellmark-purge.127.0.0.1%2C" + std::to_string(purge.log.server.Port()) + ".Sarnwick.lock")) {}
    ~MachineLockFile() { std::filesystem::remove(path); }
    std::filesystem::path path;
};

// A slow purge to hold the log: 200 chunks of 10 rows, each delete taking 100 ms.
test::LogDbOptions SlowServer() {
    test::LogDbOptions options = test::SarnwickServer(5000, 11, {"--delay-ms", "100"});
    options.statementLog = true;
    return options;
}

// Runs in a mount namespace of its own with an empty /run/lock: the
// machine's lock files are out of its sight, the server's lock is not.
std::vector<std::string> WithPrivateRunLock() {
    std::vector<std::string> wrapper = {"/usr/bin/unshare"};
    if (::geteuid() != 0) wrapper.insert(wrapper.end(), {"--user", "--map-root-user"});
    wrapper.insert(wrapper.end(),
                   {"--mount", "--propagation", "private", "/bin/sh", "-c",
                    "mount -t tmpfs -o mode=700 tmpfs /run/lock && QUELLMARK_LOCK_DIR=/run/lock exec \"$@\"", "sh"});
    return wrapper;
}

// The batches of the sessions that logged in after the first `skip`.
std::vector<std::string> BatchesAfter(const Purge& purge, std::size_t skip) {
    std::vector<std::string> batches;
    std::size_t index = 0;
    for (const auto& [number, session] : purge.log.server.Sessions(2s))
        if (index++ >= skip) batches.insert(batches.end(), session.batches.begin(), session.batches.end());
    return batches;
}

bool AnyContains(const std::vector<std::string>& texts, const std::string& part) {
    return std::any_of(texts.begin(), texts.end(),
                       [&](const std::string& t) { return t.find(part) != std::string::npos; });
}

// The second run of a log ends with 75 and lock-held, deleting nothing,
// with the message naming the holder.
void ExpectLockHeld(const Purge& purge, const test::RunResult& r, const std::filesystem::path& json,
                    const std::string& holder) {
    EXPECT_EQ(r.exitCode, 75) << r.err;
    EXPECT_NE(r.err.find(holder), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("not run: another run holds the log's lock"), std::string::npos) << r.out;
    const std::string text = ReadFile(json);
    EXPECT_EQ(Field(text, "stop_reason"), "\"lock-held\"");
    EXPECT_EQ(Field(text, "rows_deleted"), "0");
    EXPECT_EQ(Field(text, "chunks"), "0");
    EXPECT_NE(Field(text, "error").find(holder), std::string::npos) << text;
    EXPECT_FALSE(AnyContains(BatchesAfter(purge, 1), "DELETE"));
    EXPECT_FALSE(AnyContains(BatchesAfter(purge, 1), "COUNT("));
}

TEST(PurgeToolLock, ASecondRunOnThisMachineFindsTheLockFileHeldByTheFirst) {
    Purge purge(std::in_place, SlowServer());
    const MachineLockFile lockFile(purge);
    pid_t first = Start(purge.Args(Chunked(10), {"--pause-ms", "0"}), purge.log.dir.Path());
    WaitForFirstChunk(purge);

    const std::filesystem::path json = purge.log.dir / "second.json";
    const test::RunResult second = test::Run(PurgeTool(), purge.Args(Chunked(10), {}, json), 60s);
    ExpectLockHeld(purge, second, json, "is locked by process " + std::to_string(first) + " on this machine");
    EXPECT_EQ(ReadFile(lockFile.path), std::to_string(first) + "\n");
    // The local lock is taken first: the second run did not ask the server's.
    EXPECT_FALSE(AnyContains(BatchesAfter(purge, 1), "sp_getapplock"));
    // A dry run deletes nothing and takes no lock: it may look meanwhile.
    const test::RunResult look = purge.Run(Chunked(10), {"--dry-run"});
    EXPECT_EQ(look.exitCode, 0) << look.err;

    // Killed, the first leaves no lock behind: the flock goes with its
    // process, the server's lock with its session.
    ::kill(first, SIGKILL);
    EXPECT_EQ(Wait(first, 30s), 128 + SIGKILL);
    purge.log.server.Sessions(5s);  // the server has seen the session end
    const test::RunResult third = purge.Run(Chunked(500), {"--pause-ms", "0"});
    EXPECT_EQ(third.exitCode, 0) << third.err;
    EXPECT_EQ(purge.Marked(), 0);
    purge.ExpectOthersUntouched();
}

TEST(PurgeToolLock, ASecondRunWritingTheSameJsonFileLeavesTheFirstOneWhole) {
    Purge purge(std::in_place, SlowServer());
    const pid_t first = Start(purge.Args(Chunked(10), {"--pause-ms", "0"}), purge.log.dir.Path());
    WaitForFirstChunk(purge);
    EXPECT_EQ(purge.Run(Chunked(10)).exitCode, 75);
    EXPECT_EQ(Field(purge.JsonText(), "stop_reason"), "\"lock-held\"");
    ::kill(first, SIGTERM);
    EXPECT_EQ(Wait(first, 30s), 75);
    const std::string json = purge.JsonText();
    EXPECT_EQ(json.find('\n'), json.size() - 1) << json;  // one object
    EXPECT_EQ(Field(json, "stop_reason"), "\"signal\"");
}

TEST(PurgeToolLock, WithTheLockFileOutOfSightTheServerLockKeepsTheSecondRunOut) {
    Purge purge(std::in_place, SlowServer());
    const MachineLockFile lockFile(purge);
    pid_t first = Start(purge.Args(Chunked(10), {"--pause-ms", "0"}), purge.log.dir.Path(), WithPrivateRunLock());
    WaitForFirstChunk(purge);
    EXPECT_FALSE(std::filesystem::exists(lockFile.path));  // the first one's is in its own /run/lock

    const std::filesystem::path json = purge.log.dir / "second.json";
    const test::RunResult second = test::Run(PurgeTool(), purge.Args(Chunked(10), {}, json), 60s);
    ExpectLockHeld(purge, second, json, "is locked by another session on the server");
    EXPECT_TRUE(AnyContains(BatchesAfter(purge, 1), "sp_getapplock"));

    // A first run that ends normally gives the server's lock back at once.
    ::kill(first, SIGTERM);
    EXPECT_EQ(Wait(first, 30s), 75) << ReadFile(purge.log.dir / "err");
    EXPECT_TRUE(AnyContains(purge.log.server.Sessions(2s).begin()->second.batches, "sp_releaseapplock"));
    const test::RunResult third = purge.Run(Chunked(500), {"--pause-ms", "0"});
    EXPECT_EQ(third.exitCode, 0) << third.err;
    EXPECT_EQ(purge.Marked(), 0);
}

TEST(PurgeToolLock, AKilledRunLeavesNoServerLockBehind) {
    Purge purge(std::in_place, SlowServer());
    pid_t first = Start(purge.Args(Chunked(10), {"--pause-ms", "0"}), purge.log.dir.Path());
    WaitForFirstChunk(purge);
    ::kill(first, SIGKILL);
    EXPECT_EQ(Wait(first, 30s), 128 + SIGKILL);
    purge.log.server.Sessions(5s);  // the server has seen the session end
    // Another machine's run (another lock folder): only the server's lock is shared.
    const test::ScopedEnv otherMachine("QUELLMARK_LOCK_DIR", (purge.log.dir / "other").string());
    std::filesystem::create_directory(purge.log.dir / "other");
    const test::RunResult next = purge.Run(Chunked(500), {"--pause-ms", "0"});
    EXPECT_EQ(next.exitCode, 0) << next.err;
    EXPECT_EQ(purge.Marked(), 0);
}

TEST(PurgeToolLock, ALockFileThatCannotBeMadeStopsTheRunBeforeItDeletes) {
    Purge purge;
    purge.lockFolder.emplace("QUELLMARK_LOCK_DIR", (purge.log.dir / "missing").string());
    const test::RunResult r = purge.Run(Chunked(100));
    EXPECT_EQ(r.exitCode, 73) << r.err;
    EXPECT_NE(r.err.find("cannot open the lock file " + (purge.log.dir / "missing").string()), std::string::npos)
        << r.err;
    EXPECT_EQ(Field(purge.JsonText(), "stop_reason"), "\"failed\"");
    EXPECT_EQ(purge.Marked(), 2000);
}
