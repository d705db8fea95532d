// fault_soak: deletion runs and counts of both front ends through the fault
// proxy, each checked on the server's file and on what the front end showed.
//
//   fault_soak --runs N --seed S [--front-end window|purge|both] [--run R] [--jobs J]
//
// Run r of seed S is always the same run (data, template, filter, chunk size,
// the proxy's faults); --run R plays that one run alone. Window runs happen in
// this process, one after another, on the offscreen platform; quellmark-purge
// runs (J at a time) in a child process forked before the window starts, so
// that this process's descriptors and threads are the window's alone.
// Last line:
//   runs=<n> faults=<n> lost=<n> wrong=<n> hangs=<n> silent=<n> crashes=<n> max_end_s=<s>
// The exit status is 0 when lost, wrong, hangs, silent and crashes are 0 and
// no window run left a descriptor or thread behind.
#include <dirent.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "harness/fault_proxy_process.h"
#include "harness/logdb_process.h"
#include "harness/run_program.h"
#include "harness/scratch_dir.h"
#include "ops/settings_file.h"
#include "soak_checks.h"
#include "ui/frmMain.h"
#include "ui/message_box.h"

namespace {

using namespace quellmark;
using soak::FrontEnd;
using Clock = std::chrono::steady_clock;

constexpr int kConnectionTimeoutS = 3;  // the settings' connection time-out
constexpr int kWindowStatementS = 3;    // the window's statement limit in the soak
constexpr int kPurgeStatementS = 30;    // quellmark-purge's: the connection's default
constexpr double kSlackS = 4.0;         // a loaded machine's start-ups and pauses

// A login, with the checks that explain its failure, ends within the
// connection time-out and 15 s, whatever the other end does.
double LoginBoundS() { return kConnectionTimeoutS + 15.0 + kSlackS; }

// A statement ends within its limit and the cancellation's grace.
double StatementBoundS(FrontEnd frontEnd) {
    const int limit = frontEnd == FrontEnd::Window ? kWindowStatementS : kPurgeStatementS;
    return limit + std::min(limit / 3.0, 10.0);
}

struct Tally {
    int runs = 0, faults = 0, lost = 0, wrong = 0, hangs = 0, silent = 0, crashes = 0, leaks = 0, loginHangs = 0;
    double maxEndS = 0;
    void Add(const Tally& t) {
        runs += t.runs, faults += t.faults, lost += t.lost, wrong += t.wrong, hangs += t.hangs;
        silent += t.silent, crashes += t.crashes, leaks += t.leaks, loginHangs += t.loginHangs;
        maxEndS = std::max(maxEndS, t.maxEndS);
    }
    std::string Line() const {
        char text[64];
        std::snprintf(text, sizeof text, "%.1f", maxEndS);
        return "runs=" + std::to_string(runs) + " faults=" + std::to_string(faults) + " lost=" + std::to_string(lost) +
               " wrong=" + std::to_string(wrong) + " hangs=" + std::to_string(hangs) +
               " silent=" + std::to_string(silent) + " crashes=" + std::to_string(crashes) + " max_end_s=" + text;
    }
    bool Clean() const { return lost + wrong + hangs + silent + crashes + leaks == 0; }
};

bool showProxyLog = false;  // --proxy-log: every run's, not only a failed run's

std::mutex printMutex;
void Print(const std::string& line) {
    const std::lock_guard lock(printMutex);
    const std::string text = line + "\n";
    [[maybe_unused]] const ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
}

// The run's log server, the proxy before it, a settings file pointing at the
// proxy, and the table as it was.
struct RunSetup {
    explicit RunSetup(const soak::RunSpec& spec)
        : server([&] {
              test::LogDbOptions options;
              options.database = "Sarnwick";
              options.user = "ops";
              options.password = "soak-pw";
              options.rows = spec.rows;
              options.seed = spec.dataSeed;
              options.statementLog = true;
              return options;
          }()),
          proxy(server.Port(), spec.proxySeed) {
        before = server.CountRows(spec.sqliteWhere);
        outside = server.Snapshot("NOT (" + spec.sqliteWhere + ")");
        chunk = soak::ChunkFor(before, spec.passes);
        statement = soak::DeleteStatement(spec, chunk);
        test::WriteSettingsFile(dir / "Sarnwick.mdb", {"--type", "Remote SQL Authentication", "--timeout",
                                                       std::to_string(kConnectionTimeoutS), "--server", "127.0.0.1",
                                                       "--port", std::to_string(proxy.Port()), "--database", "Sarnwick",
                                                       "--user", "ops", "--password", "soak-pw"});
    }
    test::LogDbProcess server;
    test::FaultProxyProcess proxy;
    test::ScratchDir dir{"fault-soak"};
    std::int64_t before = 0;
    std::string outside;
    std::int64_t chunk = 1;
    std::string statement;
};

// What the proxy did: the first fault that struck, and how long a stall lasted.
struct FaultSeen {
    std::optional<std::int64_t> loginDoneMs;  // the first connection's first request after its login
    bool struck = false;
    std::int64_t atMs = 0;
    std::string what;
    double stallS = 0;
};

FaultSeen FaultOf(const test::FaultProxyProcess& proxy) {
    FaultSeen seen;
    for (const test::ProxyEvent& e : proxy.Events()) {
        if (e.what == "open" && e.rest.rfind("plan stall", 0) == 0) {
            const std::size_t at = e.rest.find("for ");
            if (at != std::string::npos) seen.stallS = std::max(seen.stallS, std::stod(e.rest.substr(at + 4)) / 1000.0);
        }
        if (e.what == "login-done" && e.connection == 0) seen.loginDoneMs = e.ms;
        if (e.what == "fault" && !seen.struck) {
            seen.struck = true;
            seen.atMs = e.ms;
            seen.what = "conn " + std::to_string(e.connection) + " " + e.rest;
        }
    }
    return seen;
}

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

std::string Join(const std::vector<std::string>& items, const char* separator) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : separator) + item;
    return text;
}

// Scores one run's verdict and timing into a tally and prints its line.
Tally Score(const soak::RunSpec& spec, const RunSetup& setup, const soak::Verdict& verdict, std::int64_t startMs,
            std::int64_t endMs, bool killed, const std::string& extra) {
    Tally t;
    t.runs = 1;
    const FaultSeen fault = FaultOf(setup.proxy);
    std::vector<std::string> notes = verdict.notes;
    bool hang = killed;
    // The login: from the start to the first request after it, or to the end
    // when the login never finished.
    const double loginS = static_cast<double>(fault.loginDoneMs.value_or(endMs) - startMs) / 1000.0;
    char figures[160];
    if (loginS > LoginBoundS()) {
        hang = true;
        t.loginHangs = 1;
        std::snprintf(figures, sizeof figures, "the login took %.1f s (bound %.0f s)", loginS, LoginBoundS());
        notes.push_back(figures);
    }
    // After it, every statement the server received ends within its bound;
    // the pauses and a stall of the network come on top.
    if (fault.loginDoneMs) {
        int batches = 0;
        for (const auto& [number, session] : setup.server.Sessions())
            batches += static_cast<int>(session.batches.size());
        const double afterLoginS = static_cast<double>(endMs - *fault.loginDoneMs) / 1000.0;
        const double boundS =
            (batches + 1) * StatementBoundS(spec.frontEnd) + (batches + 1) * 0.25 + fault.stallS + kSlackS;
        if (afterLoginS > boundS) {
            hang = true;
            std::snprintf(figures, sizeof figures, "%d statements took %.1f s after the login (bound %.0f s)", batches,
                          afterLoginS, boundS);
            notes.push_back(figures);
        }
    }
    double endAfterS = 0;
    if (fault.struck) {
        t.faults = 1;
        endAfterS = static_cast<double>(endMs - std::max(fault.atMs, startMs)) / 1000.0;
        t.maxEndS = endAfterS;
    }
    t.lost = verdict.lost;
    t.wrong = verdict.wrong;
    t.silent = verdict.silent;
    t.crashes = verdict.crash;
    t.hangs = hang;
    const bool bad = hang || verdict.lost || verdict.wrong || verdict.silent || verdict.crash;
    if (killed) notes.push_back("killed: did not end in time");
    char timing[96];
    std::snprintf(timing, sizeof timing, "took %.1f s, %.1f s after the fault", (endMs - startMs) / 1000.0, endAfterS);
    const char* action = spec.frontEnd == FrontEnd::Purge ? "purge" : spec.countOnly ? "window-count" : "window-delete";
    Print("run " + std::to_string(spec.run) + " " + action + " [" + setup.statement + "] rows " +
          std::to_string(setup.before) + " fault [" + (fault.struck ? fault.what : "none struck") + "] " + timing +
          (extra.empty() ? "" : "; " + extra) + (bad ? ": FAILED: " + Join(notes, "; ") : ": ok"));
    if (bad || showProxyLog) Print("  proxy log of run " + std::to_string(spec.run) + ":\n" + setup.proxy.LogText());
    return t;
}

// ---- quellmark-purge ---------------------------------------------------------

Tally PurgeRun(const soak::RunSpec& spec) {
    RunSetup setup(spec);
    const std::filesystem::path json = setup.dir / "run.json";
    const std::int64_t startMs = NowMs();
    test::RunResult result;
    bool killed = false;
    try {
        result = test::Run(
            QUELLMARK_PURGE_TOOL,
            {"--settings", (setup.dir / "Sarnwick.mdb").string(), "--statement", setup.statement, "--quiet", "--json",
             json.string()},
            std::chrono::seconds(static_cast<int>(LoginBoundS() + 8 * StatementBoundS(FrontEnd::Purge) + 60)));
    } catch (const std::runtime_error& e) {
        killed = true;
        result.exitCode = 137;
        result.err = e.what();
    }
    const std::int64_t endMs = NowMs();
    std::ifstream in(json);
    std::stringstream text;
    text << in.rdbuf();
    soak::PurgeObservation o;
    o.exitCode = result.exitCode;
    o.errorText = result.err;
    o.rowsDeleted = soak::JsonNumber(text.str(), "rows_deleted");
    o.rowsLeft = soak::JsonNumber(text.str(), "rows_left");
    o.rowsInDoubt = soak::JsonNumber(text.str(), "rows_in_doubt").value_or(0);
    o.chunk = setup.chunk;
    o.before = setup.before;
    o.after = setup.server.CountRows(spec.sqliteWhere);
    o.outsideUnchanged = setup.server.Snapshot("NOT (" + spec.sqliteWhere + ")") == setup.outside;
    soak::Verdict verdict = soak::CheckPurge(o);
    if (killed) verdict.crash = false;  // counted as a hang
    std::string message = result.err;
    std::replace(message.begin(), message.end(), '\n', ' ');
    return Score(spec, setup, verdict, startMs, endMs, killed,
                 "exit " + std::to_string(result.exitCode) + ", deleted " +
                     (o.rowsDeleted ? std::to_string(*o.rowsDeleted) : "?") + ", in doubt " +
                     std::to_string(o.rowsInDoubt) + ", gone " + std::to_string(o.before - o.after) +
                     (message.empty() ? "" : ", said: " + message.substr(0, 300)));
}

Tally PurgeRuns(const std::vector<soak::RunSpec>& specs, int jobs) {
    Tally total;
    std::mutex mutex;
    std::size_t next = 0;
    const auto work = [&] {
        for (;;) {
            std::size_t mine = 0;
            {
                const std::lock_guard lock(mutex);
                if (next >= specs.size()) return;
                mine = next++;
            }
            Tally t;
            try {
                t = PurgeRun(specs[mine]);
            } catch (const std::exception& e) {
                Print("run " + std::to_string(specs[mine].run) + " could not be set up: " + e.what());
                t.runs = 1;
                t.crashes = 1;
            }
            const std::lock_guard lock(mutex);
            total.Add(t);
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < jobs; ++i) threads.emplace_back(work);
    for (std::thread& t : threads) t.join();
    return total;
}

// ---- the window -----------------------------------------------------------------

int CountEntries(const char* folder) {
    int n = 0;
    if (DIR* d = ::opendir(folder)) {
        while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n - (std::string(folder) == "/proc/self/fd" ? 1 : 0);  // the listing's own descriptor
}

Tally WindowRun(const soak::RunSpec& spec) {
    RunSetup setup(spec);
    soak::WindowObservation o;
    o.countOnly = spec.countOnly;
    o.chunk = setup.chunk;
    o.before = setup.before;
    const int fdsBefore = CountEntries("/proc/self/fd");
    const int threadsBefore = CountEntries("/proc/self/task");
    const std::int64_t startMs = NowMs();
    {
        ui::frmMain window;
        window.SettingsConnString = ops::SettingsConnStringForFile(setup.dir / "Sarnwick.mdb");
        window.CommandTimeout = kWindowStatementS;
        window.txtSqlQuery->setPlainText(QString::fromStdString(setup.statement));
        QObject::connect(window.txtCount, &QLineEdit::textChanged,
                         [&o](const QString& text) { o.countShown.push_back(text.toStdString()); });
        QObject::connect(window.txtRecLeft, &QLineEdit::textChanged,
                         [&o](const QString& text) { o.recLeftShown.push_back(text.toStdString()); });
        ui::SetMessageHook([&o](const QString& text) { o.messages.push_back(text.toStdString()); });
        if (spec.countOnly)
            window.cmdCount_Click();
        else
            window.cmdDelete_Click();
        ui::SetMessageHook({});
    }
    const std::int64_t endMs = NowMs();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    o.after = setup.server.CountRows(spec.sqliteWhere);
    o.outsideUnchanged = setup.server.Snapshot("NOT (" + spec.sqliteWhere + ")") == setup.outside;
    const int fdsAfter = CountEntries("/proc/self/fd");
    const int threadsAfter = CountEntries("/proc/self/task");
    soak::Verdict verdict = soak::CheckWindow(o);
    std::string extra = "messages " + std::to_string(o.messages.size());
    if (!o.messages.empty()) extra += " (" + o.messages.front().substr(0, 200) + ")";
    extra += ", records left [" + Join(o.recLeftShown, " ") + "], count [" + Join(o.countShown, " ") + "], gone " +
             std::to_string(o.before - o.after);
    int leaks = 0;
    if (fdsAfter != fdsBefore || threadsAfter != threadsBefore) {
        leaks = 1;
        verdict.notes.push_back("descriptors " + std::to_string(fdsBefore) + " -> " + std::to_string(fdsAfter) +
                                ", threads " + std::to_string(threadsBefore) + " -> " + std::to_string(threadsAfter));
    }
    std::replace(extra.begin(), extra.end(), '\n', ' ');
    Tally t = Score(spec, setup, verdict, startMs, endMs, false, extra);
    if (leaks) Print("  run " + std::to_string(spec.run) + " left " + verdict.notes.back());
    t.leaks = leaks;
    return t;
}

// A window run that never returns cannot be scored: past this the soak ends.
std::atomic<std::int64_t> windowRunStarted{0};
std::atomic<int> windowRunNumber{-1};
constexpr int kWindowGiveUpS = 180;

void Watchdog() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const std::int64_t started = windowRunStarted.load();
        if (started != 0 && NowMs() - started > kWindowGiveUpS * 1000) {
            Print("run " + std::to_string(windowRunNumber.load()) + " window-run: FAILED: no end after " +
                  std::to_string(kWindowGiveUpS) + " s; the soak gives up");
            Print("runs=0 faults=0 lost=0 wrong=0 hangs=1 silent=0 crashes=0 max_end_s=" +
                  std::to_string(kWindowGiveUpS));
            std::fflush(stdout);
            ::_exit(1);
        }
    }
}

// The window once, against a server without faults, so that what Qt, the
// driver and the journal client (its socket, opened at the first record and
// kept) open for good on first use is in place before descriptors are counted:
// a count, and a deletion run that matches nothing.
void WarmUp() {
    test::LogDbOptions options;
    options.database = "Sarnwick";
    options.user = "ops";
    options.password = "soak-pw";
    options.rows = 10;
    test::LogDbProcess server(options);
    test::ScratchDir dir("fault-soak-warm");
    test::WriteSettingsFile(dir / "Sarnwick.mdb", {"--type", "Remote SQL Authentication", "--timeout", "3", "--server",
                                                   "127.0.0.1", "--port", std::to_string(server.Port()), "--database",
                                                   "Sarnwick", "--user", "ops", "--password", "soak-pw"});
    ui::frmMain window;
    window.SettingsConnString = ops::SettingsConnStringForFile(dir / "Sarnwick.mdb");
    window.txtSqlQuery->setPlainText("DELETE TOP (5) FROM ATR_Log WHERE priority = '7'");
    ui::SetMessageHook([](const QString&) {});
    window.cmdCount_Click();
    window.txtSqlQuery->setPlainText("DELETE TOP (5) FROM ATR_Log WHERE label = 'no-such-label'");
    window.cmdDelete_Click();
    ui::SetMessageHook({});
}

// Each window deletion run leaves a record in the system journal. As root the
// soak keeps them out of the machine's journal: in a mount namespace of its
// own, an empty folder covers /run/systemd/journal, so the records go nowhere.
void KeepRecordsOutOfTheJournal() {
    if (::geteuid() != 0 || !std::filesystem::is_directory("/run/systemd/journal")) return;
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/run/systemd/journal", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0755") != 0)
        Print(std::string("note: the window's journal records go to this machine's journal (") + std::strerror(errno) +
              ")");
}

Tally ReadTally(int fd) {
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    Tally t;
    std::istringstream in(text);
    if (!(in >> t.runs >> t.faults >> t.lost >> t.wrong >> t.hangs >> t.silent >> t.crashes >> t.leaks >>
          t.loginHangs >> t.maxEndS)) {
        t = Tally{};
        t.crashes = 1;
        Print("the purge runs ended without their tally");
    }
    return t;
}

int Main(int argc, char** argv) {
    int runs = 20;
    std::uint64_t seed = 1;
    int only = -1;
    int jobs = 3;
    soak::FrontEndChoice choice = soak::FrontEndChoice::Both;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--proxy-log") {
            showProxyLog = true;
            continue;
        }
        if (i + 1 >= argc) throw std::runtime_error(arg + " needs a value");
        const std::string value = argv[++i];
        if (arg == "--runs") {
            runs = std::stoi(value);
        } else if (arg == "--seed") {
            seed = std::stoull(value);
        } else if (arg == "--run") {
            only = std::stoi(value);
        } else if (arg == "--jobs") {
            jobs = std::max(1, std::stoi(value));
        } else if (arg == "--front-end") {
            if (value == "window")
                choice = soak::FrontEndChoice::Window;
            else if (value == "purge")
                choice = soak::FrontEndChoice::Purge;
            else if (value == "both")
                choice = soak::FrontEndChoice::Both;
            else
                throw std::runtime_error("--front-end takes window, purge or both");
        } else {
            throw std::runtime_error(
                "usage: fault_soak --runs N --seed S [--front-end window|purge|both] [--run R] [--jobs J] "
                "[--proxy-log]");
        }
    }
    // One trust folder for the whole soak, named before any thread or child starts.
    test::ScratchDir trust("fault-soak-trust");
    ::setenv("QUELLMARK_TRUST_DIR", trust.Path().c_str(), 1);

    std::vector<soak::RunSpec> windowRuns, purgeRuns;
    for (int r = 0; r < runs; ++r) {
        if (only >= 0 && r != only) continue;
        const soak::RunSpec spec = soak::PlanRun(seed, r, choice);
        (spec.frontEnd == FrontEnd::Window ? windowRuns : purgeRuns).push_back(spec);
    }
    if (only >= 0 && windowRuns.empty() && purgeRuns.empty()) {
        const soak::RunSpec spec = soak::PlanRun(seed, only, choice);
        (spec.frontEnd == FrontEnd::Window ? windowRuns : purgeRuns).push_back(spec);
    }

    const Clock::time_point started = Clock::now();
    Tally total;
    pid_t purgeChild = -1;
    int tallyPipe[2] = {-1, -1};
    KeepRecordsOutOfTheJournal();
    if (!purgeRuns.empty() && !windowRuns.empty()) {
        if (::pipe(tallyPipe) != 0) throw std::runtime_error("pipe failed");
        purgeChild = ::fork();
        if (purgeChild < 0) throw std::runtime_error("fork failed");
        if (purgeChild == 0) {
            ::close(tallyPipe[0]);
            const Tally t = PurgeRuns(purgeRuns, jobs);
            std::ostringstream out;
            out << t.runs << ' ' << t.faults << ' ' << t.lost << ' ' << t.wrong << ' ' << t.hangs << ' ' << t.silent
                << ' ' << t.crashes << ' ' << t.leaks << ' ' << t.loginHangs << ' ' << t.maxEndS << '\n';
            const std::string text = out.str();
            [[maybe_unused]] const ssize_t n = ::write(tallyPipe[1], text.data(), text.size());
            ::_exit(0);
        }
        ::close(tallyPipe[1]);
    } else if (!purgeRuns.empty()) {
        total.Add(PurgeRuns(purgeRuns, jobs));
    }

    if (!windowRuns.empty()) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        int qtArgc = 1;
        QApplication app(qtArgc, argv);
        WarmUp();
        std::thread(Watchdog).detach();
        for (const soak::RunSpec& spec : windowRuns) {
            windowRunNumber = spec.run;
            windowRunStarted = NowMs();
            try {
                total.Add(WindowRun(spec));
            } catch (const std::exception& e) {
                Print("run " + std::to_string(spec.run) + " could not be set up: " + e.what());
                Tally t;
                t.runs = 1;
                t.crashes = 1;
                total.Add(t);
            }
            windowRunStarted = 0;
        }
    }
    if (purgeChild > 0) {
        total.Add(ReadTally(tallyPipe[0]));
        ::close(tallyPipe[0]);
        int status = 0;
        while (::waitpid(purgeChild, &status, 0) < 0 && errno == EINTR) {
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            Print("the purge runs' process ended abnormally");
            total.crashes += 1;
        }
    }
    char wall[64];
    std::snprintf(wall, sizeof wall, "%.0f", std::chrono::duration<double>(Clock::now() - started).count());
    Print(std::string("wall_s=") + wall + " leaks=" + std::to_string(total.leaks) +
          " login_hangs=" + std::to_string(total.loginHangs));
    Print(total.Line());
    return total.Clean() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Main(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fault_soak: %s\n", e.what());
        return 2;
    }
}
