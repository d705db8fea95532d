// purge_bench: the same purge done three ways, each on a fresh copy of the
// same data and its own quellmark-logdb --stats: quellmark-purge (the built
// program, one delete per chunk), the window's loop
// (ops::DeleteRecordsInChunks, a count and a delete per pass) and a
// shell loop of bsqldb (peer_purge.sh).
//
//   purge_bench [--rows N] [--matching M] [--chunk C] [--seed S] [--keep]
//
// Last line:
//   purge_s=<s> window_s=<s> loop_s=<s> purge_statements=<n> window_statements=<n> purge_overhead=<ratio>
// where the statements are those each server received (its --stats) and
// the overhead is purge_s / (the server's own time + the pauses).
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_support.h"
#include "harness/scoped_env.h"
#include "ops/modGeneral.h"
#include "ops/settings_file.h"
#include "ops/window_port.h"
#include "ui/templates.h"

namespace {

namespace bench = quellmark::bench;
using bench::Clock;
using bench::Seconds;

constexpr int kPauseMs = 200;

struct Options : bench::DataOptions {
    bool keep = false;
};

Options ParseOptions(int argc, char** argv) {
    Options o;
    bench::ParseOptions(argc, argv, o, "usage: purge_bench [--rows N] [--matching M] [--chunk C] [--seed S] [--keep]",
                        [&](const std::string& arg, const auto&) {
                            if (arg != "--keep") return false;
                            o.keep = true;
                            return true;
                        });
    bench::RequireRowsAndChunk(o);
    return o;
}

// The window as the operations see it: a fixed statement, nothing to process.
class BenchWindow : public quellmark::ops::WindowPort {
public:
    explicit BenchWindow(std::string statement) : statement_(std::move(statement)) {}
    std::vector<std::string> messages;
    int passes = 0;
    std::string SqlQueryText() const override { return statement_; }
    void SetCountText(const std::string&) override {}
    void SetRecLeftText(const std::string&) override { ++passes; }
    void ShowMessage(const std::string& text) override { messages.push_back(text); }
    void ProcessPendingEvents() override {}
    bool CancelRequested() const override { return false; }  // no Cancel button
    void ClearCancelRequest() override {}

private:
    std::string statement_;
};

int Statements(const bench::StatementStats& s) { return s.counts + s.deletes + s.others; }

void Report(const char* name, double wall, const bench::StatementStats& s, double pauses) {
    const double server = static_cast<double>(s.micros) / 1e6;
    std::printf("%s:\n", name);
    std::printf("  wall            %8.3f s\n", wall);
    std::printf("  statements      %8d     (%d counts %.3f s, %d deletes %.3f s, %d other)\n", Statements(s), s.counts,
                static_cast<double>(s.countMicros) / 1e6, s.deletes, static_cast<double>(s.deleteMicros) / 1e6,
                s.others);
    std::printf("  server time     %8.3f s\n", server);
    std::printf("  pauses          %8.3f s\n", pauses);
    std::printf("  the rest        %8.3f s  (wall - server time - pauses)\n", wall - server - pauses);
    std::printf("  overhead        %8.4f   (wall / (server time + pauses))\n\n", wall / (server + pauses));
    std::fflush(stdout);
}

void ExpectPurged(const std::filesystem::path& db, const Options& o, const char* who) {
    if (quellmark::test::CountLogRows(db, "priority = 7") != 0 ||
        quellmark::test::CountLogRows(db) != o.rows - o.matching)
        throw std::runtime_error(std::string(who) + " did not delete exactly the matching rows");
}

int Main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    quellmark::test::ScratchDir scratch("purge-bench");
    if (options.keep) scratch.Keep();
    const std::filesystem::path dir = scratch.Path();
    const std::string statement =
        *quellmark::ui::ComposeDeleteStatement("Priority", std::to_string(options.chunk), quellmark::ui::Now());
    const std::string countStatement = quellmark::ops::BuildCountStatement(statement);
    std::printf("data:      %lld rows, %lld with priority 7, chunk %d (seed %llu)\n",
                static_cast<long long>(options.rows), static_cast<long long>(options.matching), options.chunk,
                static_cast<unsigned long long>(options.seed));
    std::printf("statement: %s\n", statement.c_str());
    std::fflush(stdout);
    const auto prepareStart = Clock::now();
    bench::PrepareLogData(dir / "seed.sqlite", options.rows, options.matching, options.seed);
    for (const char* copy : {"purge.sqlite", "window.sqlite", "loop.sqlite"})
        std::filesystem::copy_file(dir / "seed.sqlite", dir / copy);
    std::printf("prepared the data in %.1f s\n\n", Seconds(Clock::now() - prepareStart));

    // ---- quellmark-purge ----------------------------------------------------
    double purgeWall = 0, purgeOverhead = 0;
    int purgeStatements = 0;
    {
        bench::LogServer server(bench::ServerFor(dir / "purge.sqlite", dir / "purge.stats"));
        std::filesystem::create_directory(dir / "purge-app");
        const auto settings = dir / "purge-app" / "Sarnwick.mdb";
        bench::WriteSettings(settings, server.Port());
        // The run's lock file in the scratch folder, not the machine's /run/lock.
        const quellmark::test::ScopedEnv lockFolder("QUELLMARK_LOCK_DIR", dir.string());
        const auto start = Clock::now();
        // Every chunk at the statement's n, as the window deletes them.
        std::vector<std::string> args = {"--settings",
                                         settings.string(),
                                         "--statement",
                                         statement,
                                         "--quiet",
                                         "--json",
                                         (dir / "purge.json").string(),
                                         "--chunk-time",
                                         "0"};
        if (options.chunk >= 5000) args.push_back("--allow-table-lock");
        const quellmark::test::RunResult run = quellmark::test::Run(QUELLMARK_PURGE_TOOL, args, std::chrono::hours(24));
        purgeWall = Seconds(Clock::now() - start);
        std::ofstream(dir / "purge.out") << run.out;
        std::ofstream(dir / "purge.err") << run.err;
        const int status = run.exitCode;
        server.Kill();
        if (status != 0) throw std::runtime_error("quellmark-purge ended with status " + std::to_string(status));
        const auto stats = bench::ReadStats(dir / "purge.stats");
        purgeStatements = Statements(stats);
        const int chunks = stats.deletes;
        const double pauses = (chunks - 1) * kPauseMs / 1000.0;
        Report("quellmark-purge (one delete per chunk)", purgeWall, stats, pauses);
        std::ifstream json(dir / "purge.json");
        std::string line;
        std::getline(json, line);
        std::printf("  json: %s\n", line.c_str());
        std::printf("  chunks %d, statements %d (aim: at most chunks + 3)\n\n", chunks, purgeStatements);
        purgeOverhead = purgeWall / (static_cast<double>(stats.micros) / 1e6 + pauses);
        ExpectPurged(dir / "purge.sqlite", options, "quellmark-purge");
    }

    // ---- the window's loop ----------------------------------------------------
    double windowWall = 0;
    int windowStatements = 0;
    {
        bench::LogServer server(bench::ServerFor(dir / "window.sqlite", dir / "window.stats"));
        std::filesystem::create_directory(dir / "window-app");
        bench::WriteSettings(dir / "window-app" / "Sarnwick.mdb", server.Port());
        const std::string settings = quellmark::ops::SettingsConnStringForFolder((dir / "window-app").string());
        BenchWindow window(statement);
        const auto start = Clock::now();
        quellmark::ops::DeleteRecordsInChunks(window, settings);
        windowWall = Seconds(Clock::now() - start);
        server.Kill();
        for (const std::string& m : window.messages) std::fprintf(stderr, "message: %s\n", m.c_str());
        if (!window.messages.empty()) throw std::runtime_error("the window's loop reported a failure");
        const auto stats = bench::ReadStats(dir / "window.stats");
        windowStatements = Statements(stats);
        Report("the window's loop (a count and a delete per pass)", windowWall, stats,
               (window.passes - 1) * kPauseMs / 1000.0);
        ExpectPurged(dir / "window.sqlite", options, "the window's loop");
    }

    // ---- the shell loop -------------------------------------------------------
    double loopWall = 0;
    {
        bench::LogServer server(bench::ServerFor(dir / "loop.sqlite", dir / "loop.stats"));
        const auto start = Clock::now();
        const quellmark::test::RunResult run =
            quellmark::test::Run("bash",
                                 {QUELLMARK_PEER_SCRIPT, "127.0.0.1", std::to_string(server.Port()), bench::kDatabase,
                                  bench::kUser, bench::kPassword, countStatement, statement},
                                 std::chrono::hours(24));
        loopWall = Seconds(Clock::now() - start);
        std::fputs(run.err.c_str(), stderr);
        std::ofstream(dir / "loop.out") << run.out;
        const int status = run.exitCode;
        server.Kill();
        if (status != 0) throw std::runtime_error("peer_purge.sh failed with status " + std::to_string(status));
        const auto stats = bench::ReadStats(dir / "loop.stats");
        Report("shell loop (bsqldb count, bsqldb delete, sleep 0.2)", loopWall, stats,
               stats.counts * kPauseMs / 1000.0);
        ExpectPurged(dir / "loop.sqlite", options, "the shell loop");
    }

    if (options.keep) std::printf("files kept in %s\n", dir.c_str());
    std::printf("purge_s=%.3f window_s=%.3f loop_s=%.3f purge_statements=%d window_statements=%d purge_overhead=%.4f\n",
                purgeWall, windowWall, loopWall, purgeStatements, windowStatements, purgeOverhead);
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return bench::RunMain("purge_bench", Main, argc, argv); }
