// gentle_purge_bench: what a purge costs the monitoring system that writes
// into the same table. quellmark-purge deletes the matching rows while a
// second client, as the monitoring system does, inserts 50 events a second,
// each with a 1 s time-out (an insert that fails or times out is an event
// lost). quellmark-logdb holds the table for each delete, --row-cost-us per
// row, twice that after about a third of the rows; four ways, each on a fresh
// copy of the same data:
//   fixed      TOP (chunk) in fixed chunks that may lock the table
//   kind       the purge's defaults
// and then with a transaction log holding a third of what the purge writes,
// backed up every 20 s:
//   unwatched  the purge not watching the log
//   watched    the purge's defaults
// The purge options of each way are its own command-line option, printed
// with each run (--without-new-options leaves them all out).
//
//   gentle_purge_bench [--rows N] [--matching M] [--chunk C] [--seed S] [--row-cost-us U]
//                      [--ways fixed,kind,unwatched,watched] [--fixed-args ARGS] [--kind-args ARGS]
//                      [--unwatched-args ARGS] [--watched-args ARGS] [--without-new-options]
//                      [--kind-rows-per-delete R] [--keep]
//
// Last line:
//   fixed_p99_ms= fixed_lost= kind_p99_ms= kind_lost= fixed_s= kind_s= unwatched_9002= watched_9002=
//   watched_max_log_pct=
// ("-" for a way not run).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "data_access/data_access.h"
#include "harness/scoped_env.h"
#include "ui/templates.h"

namespace {

namespace bench = quellmark::bench;
namespace da = quellmark::data_access;
using bench::Clock;
using bench::Ms;
using bench::Seconds;

constexpr int kEventsPerSecond = 50;
constexpr int kInsertTimeoutSeconds = 1;
constexpr std::int64_t kLogBytesPerRow = 100;
constexpr int kLogBackupSeconds = 20;
constexpr int kDefaultChunkTimeMs = 500;        // quellmark-purge's default --chunk-time
constexpr std::int64_t kRowCapPerChunk = 4000;  // without --allow-table-lock
constexpr auto kPurgeLimit = std::chrono::minutes(10);
constexpr const char* kLogFull = "is full due to 'LOG_BACKUP'";

struct Way {
    std::string name;
    std::vector<std::string> purgeArgs;
    bool smallLog = false;
};

struct Options : bench::DataOptions {
    std::int64_t rowCostUs = 250;
    std::int64_t kindRowsPerDelete = 0;  // 0: estimated from the default chunk time
    std::vector<std::string> ways = {"fixed", "kind", "unwatched", "watched"};
    std::map<std::string, std::vector<std::string>> purgeArgs = {
        {"fixed", {"--chunk-time", "0", "--allow-table-lock"}},
        {"kind", {}},
        {"unwatched", {"--max-log-used", "0"}},
        {"watched", {}},
    };
    bool withoutNewOptions = false;
    bool keep = false;
};

std::vector<std::string> Words(const std::string& text, char separator = ' ') {
    std::vector<std::string> words;
    std::istringstream in(text);
    std::string word;
    while (std::getline(in, word, separator))
        if (!word.empty()) words.push_back(word);
    return words;
}

constexpr const char* kUsage =
    "usage: gentle_purge_bench [--rows N] [--matching M] [--chunk C] [--seed S] [--row-cost-us U]\n"
    "                          [--ways fixed,kind,unwatched,watched] [--fixed-args ARGS] [--kind-args ARGS]\n"
    "                          [--unwatched-args ARGS] [--watched-args ARGS] [--without-new-options]\n"
    "                          [--kind-rows-per-delete R] [--keep]";

Options ParseOptions(int argc, char** argv) {
    Options o;
    o.rows = 200'000;
    o.matching = 100'000;
    // The options with text values first; the rest are numbers or switches.
    std::vector<char*> rest = {argv[0]};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto text = [&]() -> std::string {
            if (i + 1 >= argc) throw std::runtime_error(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--ways") {
            o.ways = Words(text(), ',');
            for (const std::string& way : o.ways)
                if (!o.purgeArgs.contains(way)) throw std::runtime_error("no way called " + way);
        } else if (arg.size() > 7 && arg.ends_with("-args") && o.purgeArgs.contains(arg.substr(2, arg.size() - 7))) {
            o.purgeArgs[arg.substr(2, arg.size() - 7)] = Words(text());
        } else {
            rest.push_back(argv[i]);
        }
    }
    bench::ParseOptions(static_cast<int>(rest.size()), rest.data(), o, kUsage,
                        [&](const std::string& arg, const std::function<long long()>& value) {
                            if (arg == "--row-cost-us") {
                                o.rowCostUs = value();
                            } else if (arg == "--kind-rows-per-delete") {
                                o.kindRowsPerDelete = value();
                            } else if (arg == "--without-new-options") {
                                o.withoutNewOptions = true;
                            } else if (arg == "--keep") {
                                o.keep = true;
                            } else {
                                return false;
                            }
                            return true;
                        });
    bench::RequireRowsAndChunk(o);
    if (o.rowCostUs < 1) throw std::runtime_error("--row-cost-us needs at least 1");
    if (o.withoutNewOptions)
        for (auto& [name, args] : o.purgeArgs) args.clear();
    return o;
}

// The monitoring system: an event every 20 ms, each inserted when it comes
// with a 1 s time-out, on whichever of its connections is free (there are
// enough for every insert that can be waiting at once), so an event waits for
// nothing but its own insert. Stop() lets the events that came until then
// finish, and ends it.
class Inserter {
public:
    explicit Inserter(const std::string& connectionString) {
        for (int i = 0; i < kConnections; ++i) {
            auto& c = connections_.emplace_back(std::make_unique<da::Connection>());
            c->ConnectionString = connectionString;
            c->CommandTimeout = kInsertTimeoutSeconds;
            c->Open();
        }
        start_ = Clock::now();
        for (auto& c : connections_) threads_.emplace_back([this, &c] { Loop(*c); });
    }
    ~Inserter() { Stop(); }
    void Stop() {
        until_ = Clock::now().time_since_epoch().count();
        for (std::thread& t : threads_)
            if (t.joinable()) t.join();
    }
    // Once stopped.
    std::vector<double> waitsMs;
    int lost = 0;
    int logFull = 0;

private:
    static constexpr int kConnections = kEventsPerSecond * (kInsertTimeoutSeconds + 1) + 8;

    void Loop(da::Connection& connection) {
        for (;;) {
            const std::int64_t n = next_++;
            const auto due = start_ + n * std::chrono::milliseconds(1000 / kEventsPerSecond);
            std::this_thread::sleep_until(due);
            if (due.time_since_epoch().count() > until_) return;
            bool failed = false, full = false;
            try {
                connection.Execute(
                    "INSERT INTO ATR_Log (priority, time, label, ent, oid, message) VALUES (5, "
                    "'2026-01-01 00:00:00', 'bench-monitor', 'snmpTraps', 'linkUp', 'event " +
                    std::to_string(n) + "')");
            } catch (const da::Error& e) {
                failed = true;
                full = std::string(e.what()).find(kLogFull) != std::string::npos;
            }
            const double waited = Ms(Clock::now() - due);
            const std::lock_guard lock(mutex_);
            waitsMs.push_back(waited);
            lost += failed ? 1 : 0;
            logFull += full ? 1 : 0;
        }
    }

    std::vector<std::unique_ptr<da::Connection>> connections_;
    std::vector<std::thread> threads_;
    Clock::time_point start_;
    std::atomic<std::int64_t> next_{0};
    std::atomic<Clock::rep> until_{Clock::time_point::max().time_since_epoch().count()};
    std::mutex mutex_;
};

// The log's use as sys.dm_db_log_space_usage shows it, read every 100 ms on
// a connection of its own; the view waits for no lock.
class LogWatcher {
public:
    explicit LogWatcher(const std::string& connectionString) {
        connection_.ConnectionString = connectionString;
        connection_.Open();
        thread_ = std::thread([this] { Loop(); });
    }
    ~LogWatcher() { Stop(); }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    double maxPercent = 0;
    int failures = 0;

private:
    void Loop() {
        while (!stop_) {
            try {
                const auto rs = connection_.Execute("SELECT used_log_space_in_percent FROM sys.dm_db_log_space_usage");
                const da::Value v = rs->Fields().Item(0).Value();
                if (const double* d = std::get_if<double>(&v)) maxPercent = std::max(maxPercent, *d);
                if (const std::int64_t* i = std::get_if<std::int64_t>(&v))
                    maxPercent = std::max(maxPercent, static_cast<double>(*i));
            } catch (const da::Error&) {
                ++failures;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }

    da::Connection connection_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct Outcome {
    double seconds = 0;
    bench::Summary waits;
    int lost = 0;
    int logFull = 0;  // Msg 9002 seen by the inserts and the purge
    double maxLogPercent = 0;
};

int Occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::string Joined(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& w : words)
        out += (out.empty() ? "" : " ") + (w.find(' ') == std::string::npos ? w : "'" + w + "'");
    return out;
}

Outcome RunWay(const Way& way, const Options& o, const std::filesystem::path& dir, const std::string& statement) {
    const std::filesystem::path db = dir / (way.name + ".sqlite");
    const std::filesystem::path stats = dir / (way.name + ".stats");
    std::filesystem::copy_file(dir / "seed.sqlite", db);

    // The cost doubles after the delete that brings the rows deleted to
    // about a third; how many deletes that is depends on the purge's chunks.
    // Chunks sized by time start at 100 rows and at most double up to their
    // steady size.
    const bool fixedChunks = o.withoutNewOptions || Joined(way.purgeArgs).find("--chunk-time 0") != std::string::npos;
    const std::int64_t perDelete =
        fixedChunks ? o.chunk
        : o.kindRowsPerDelete > 0
            ? o.kindRowsPerDelete
            : std::max<std::int64_t>(1, std::min(kRowCapPerChunk, kDefaultChunkTimeMs * 1000 / o.rowCostUs));
    std::int64_t switchAfter = 0;
    for (std::int64_t rows = 0, next = fixedChunks ? perDelete : std::min<std::int64_t>(100, perDelete);
         rows < o.matching / 3; next = std::min(2 * next, perDelete)) {
        rows += next;
        ++switchAfter;
    }
    std::vector<std::string> serverArgs = {"--row-cost-us", std::to_string(o.rowCostUs), "--row-cost-after",
                                           std::to_string(switchAfter) + ":" + std::to_string(2 * o.rowCostUs)};
    if (way.smallLog) {
        for (const std::string& a : {std::string("--log-size"), std::to_string(o.matching * kLogBytesPerRow / 3),
                                     std::string("--log-bytes-per-row"), std::to_string(kLogBytesPerRow),
                                     std::string("--log-backup-every"), std::to_string(kLogBackupSeconds)})
            serverArgs.push_back(a);
    }
    bench::LogServer server(bench::ServerFor(db, stats, serverArgs));
    std::filesystem::create_directory(dir / (way.name + "-app"));
    const auto settings = dir / (way.name + "-app") / "Sarnwick.mdb";
    bench::WriteSettings(settings, server.Port());
    const quellmark::test::ScopedEnv lockFolder("QUELLMARK_LOCK_DIR", dir.string());
    const std::string connectionString = "Provider=SQLOLEDB;Network Library=DBMSSOCN;Data Source=127.0.0.1," +
                                         std::to_string(server.Port()) + ";Initial Catalog=" + bench::kDatabase +
                                         ";User Id=" + bench::kUser + ";Password=" + bench::kPassword;

    std::vector<std::string> purgeArgs = {"--settings",
                                          settings.string(),
                                          "--statement",
                                          statement,
                                          "--quiet",
                                          "--json",
                                          (dir / (way.name + ".json")).string()};
    purgeArgs.insert(purgeArgs.end(), way.purgeArgs.begin(), way.purgeArgs.end());
    std::printf("%s:\n  server: quellmark-logdb %s\n  purge:  quellmark-purge %s\n", way.name.c_str(),
                Joined(serverArgs).c_str(), Joined(purgeArgs).c_str());
    std::fflush(stdout);

    Outcome out;
    Inserter inserter(connectionString);
    LogWatcher watcher(connectionString);
    const auto start = Clock::now();
    const quellmark::test::RunResult run = quellmark::test::Run(QUELLMARK_PURGE_TOOL, purgeArgs, kPurgeLimit);
    out.seconds = Seconds(Clock::now() - start);
    inserter.Stop();
    watcher.Stop();
    server.Kill();

    std::stringstream json;
    json << std::ifstream(dir / (way.name + ".json")).rdbuf();
    std::ofstream(dir / (way.name + ".out")) << run.out;
    std::ofstream(dir / (way.name + ".err")) << run.err;
    // The purge may tell the same failure on stderr and in its summary.
    const int purgeLogFull = std::max(Occurrences(run.out + run.err, kLogFull), Occurrences(json.str(), kLogFull));
    out.waits = bench::Summarize(inserter.waitsMs);
    out.lost = inserter.lost;
    out.logFull = inserter.logFull + purgeLogFull;
    out.maxLogPercent = watcher.maxPercent;

    // Where the cost really doubled: the rows deleted by the first deletes.
    const bench::StatementStats s = bench::ReadStats(stats);
    std::int64_t rowsBefore = 0, deletes = 0;
    std::ifstream statsIn(stats);
    std::string line;
    while (std::getline(statsIn, line) && deletes < switchAfter) {
        std::istringstream fields(line);
        std::int64_t micros = 0, rows = 0;
        std::string kind;
        if (fields >> micros >> kind >> rows && kind == "delete") ++deletes, rowsBefore += rows;
    }
    const std::int64_t left = quellmark::test::CountLogRows(db, "priority = 7");

    std::printf("  purge:   %.1f s, exit %d, %d deletes, %lld rows deleted, %lld matching rows left\n", out.seconds,
                run.exitCode, s.deletes, static_cast<long long>(s.rowsDeleted), static_cast<long long>(left));
    std::printf("  cost:    %lld us/row, %lld us/row after delete %lld (%lld rows, %.0f%% of the matching rows)\n",
                static_cast<long long>(o.rowCostUs), static_cast<long long>(2 * o.rowCostUs),
                static_cast<long long>(switchAfter), static_cast<long long>(rowsBefore),
                100.0 * static_cast<double>(rowsBefore) / static_cast<double>(o.matching));
    std::printf("  inserts: %zu, lost %d, wait median %.1f ms, p99 %.1f ms, max %.1f ms\n", out.waits.n, out.lost,
                out.waits.median, out.waits.p99, out.waits.max);
    std::printf("  log:     9002 seen %d times (inserts %d, purge %d), highest use %.1f%% (%d reads failed)\n\n",
                out.logFull, inserter.logFull, purgeLogFull, out.maxLogPercent, watcher.failures);
    std::fflush(stdout);
    return out;
}

int Main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    quellmark::test::ScratchDir scratch("gentle-purge-bench");
    if (options.keep) scratch.Keep();
    const std::filesystem::path dir = scratch.Path();
    const std::string statement =
        *quellmark::ui::ComposeDeleteStatement("Priority", std::to_string(options.chunk), quellmark::ui::Now());
    std::printf("data:      %lld rows, %lld with priority 7 (seed %llu)\nstatement: %s\n",
                static_cast<long long>(options.rows), static_cast<long long>(options.matching),
                static_cast<unsigned long long>(options.seed), statement.c_str());
    std::printf(
        "inserts:   %d a second, %d s time-out each; small log: a third of %lld rows x %lld bytes, backed up "
        "every %d s\n\n",
        kEventsPerSecond, kInsertTimeoutSeconds, static_cast<long long>(options.matching),
        static_cast<long long>(kLogBytesPerRow), kLogBackupSeconds);
    std::fflush(stdout);
    bench::PrepareLogData(dir / "seed.sqlite", options.rows, options.matching, options.seed);

    std::map<std::string, Outcome> outcomes;
    for (const std::string& name : options.ways) {
        const Way way{name, options.purgeArgs.at(name), name == "unwatched" || name == "watched"};
        outcomes[name] = RunWay(way, options, dir, statement);
    }
    if (options.keep) std::printf("files kept in %s\n", dir.c_str());

    const auto figure = [&](const char* way, auto pick, const char* format) {
        const auto found = outcomes.find(way);
        if (found == outcomes.end()) return std::string("-");
        char text[64];
        std::snprintf(text, sizeof text, format, pick(found->second));
        return std::string(text);
    };
    const auto p99 = [](const Outcome& o) { return o.waits.p99; };
    const auto lost = [](const Outcome& o) { return o.lost; };
    const auto seconds = [](const Outcome& o) { return o.seconds; };
    const auto logFull = [](const Outcome& o) { return o.logFull; };
    const auto maxLog = [](const Outcome& o) { return o.maxLogPercent; };
    std::printf(
        "fixed_p99_ms=%s fixed_lost=%s kind_p99_ms=%s kind_lost=%s fixed_s=%s kind_s=%s unwatched_9002=%s "
        "watched_9002=%s watched_max_log_pct=%s\n",
        figure("fixed", p99, "%.1f").c_str(), figure("fixed", lost, "%d").c_str(), figure("kind", p99, "%.1f").c_str(),
        figure("kind", lost, "%d").c_str(), figure("fixed", seconds, "%.1f").c_str(),
        figure("kind", seconds, "%.1f").c_str(), figure("unwatched", logFull, "%d").c_str(),
        figure("watched", logFull, "%d").c_str(), figure("watched", maxLog, "%.1f").c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return bench::RunMain("gentle_purge_bench", Main, argc, argv); }
