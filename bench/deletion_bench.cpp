// deletion_bench: one full deletion run through ops::DeleteRecordsInChunks
// against quellmark-logdb, and the same purge done by a bsqldb shell loop
// (peer_purge.sh) on a fresh copy of the same data.
//
//   deletion_bench [--rows N] [--matching M] [--chunk C] [--seed S] [--no-peer] [--keep]
//
// Prints wall time, passes, time spent in the pauses, the server's own
// statement time and the overhead ratio wall / (server time + pauses), then
// the shell loop's figures. Last line:
//   overhead=<ratio> vs_peer=<this tool's wall / the loop's wall> passes=<n>
#include <errno.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_support.h"
#include "ops/modGeneral.h"
#include "ops/settings_file.h"
#include "ops/window_port.h"
#include "ui/templates.h"

namespace {

using quellmark::bench::Clock;
using quellmark::bench::Ms;
using quellmark::bench::Seconds;

// Every nanosleep of the process (PauseWithEvents sleeps through
// std::this_thread::sleep_for, which calls nanosleep) comes here, so the
// bench can add up how long the pauses really slept.
Clock::duration gSlept{};
int gSleeps = 0;
bool gCountSleeps = false;

}  // namespace

extern "C" int nanosleep(const struct timespec* requested, struct timespec* remaining) {
    const auto start = Clock::now();
    const int error = clock_nanosleep(CLOCK_REALTIME, 0, requested, remaining);
    if (gCountSleeps) {
        gSlept += Clock::now() - start;
        ++gSleeps;
    }
    if (error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}

namespace {

// The window as the operations see it: a fixed statement, the number boxes
// recorded, event rounds timed (nothing to process: the time the pauses take
// is the sleeps plus these rounds).
class BenchWindow : public quellmark::ops::WindowPort {
public:
    explicit BenchWindow(std::string statement) : statement_(std::move(statement)) { eventRounds.reserve(4096); }

    std::vector<std::string> recLeft;
    std::vector<std::string> messages;
    std::vector<Clock::time_point> eventRounds;  // when each round was asked for

    std::string SqlQueryText() const override { return statement_; }
    void SetCountText(const std::string&) override {}
    void SetRecLeftText(const std::string& text) override { recLeft.push_back(text); }
    void ShowMessage(const std::string& text) override { messages.push_back(text); }
    bool CancelRequested() const override { return false; }  // no Cancel button
    void ClearCancelRequest() override {}
    void ProcessPendingEvents() override { eventRounds.push_back(Clock::now()); }

private:
    std::string statement_;
};

struct Options : quellmark::bench::DataOptions {
    bool peer = true;
    bool keep = false;
};

Options ParseOptions(int argc, char** argv) {
    Options o;
    quellmark::bench::ParseOptions(
        argc, argv, o, "usage: deletion_bench [--rows N] [--matching M] [--chunk C] [--seed S] [--no-peer] [--keep]",
        [&](const std::string& arg, const auto&) {
            if (arg == "--no-peer") {
                o.peer = false;
            } else if (arg == "--keep") {
                o.keep = true;
            } else {
                return false;
            }
            return true;
        });
    quellmark::bench::RequireRowsAndChunk(o);
    return o;
}

struct PeerResult {
    double wall = 0;  // seconds
    int passes = 0;
    int deletes = 0;
    double slept = 0;  // seconds
};

PeerResult ParsePeerLine(const std::string& line) {
    PeerResult r;
    long long slept = 0;
    if (std::sscanf(line.c_str(), "passes=%d deletes=%d slept_us=%lld", &r.passes, &r.deletes, &slept) != 3)
        throw std::runtime_error("peer_purge.sh printed '" + line + "'");
    r.slept = static_cast<double>(slept) / 1e6;
    return r;
}

void PrintServer(const char* indent, const quellmark::bench::StatementStats& s) {
    std::printf("%sserver time     %8.3f s  (%d counts %.3f s, %d deletes %.3f s, %d other)\n", indent,
                static_cast<double>(s.micros) / 1e6, s.counts, static_cast<double>(s.countMicros) / 1e6, s.deletes,
                static_cast<double>(s.deleteMicros) / 1e6, s.others);
}

int Main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    quellmark::test::ScratchDir scratch("deletion-bench");
    if (options.keep) scratch.Keep();
    const std::filesystem::path dir = scratch.Path();

    const std::string statement =
        *quellmark::ui::ComposeDeleteStatement("Priority", std::to_string(options.chunk), quellmark::ui::Now());
    const std::string countStatement = quellmark::ops::BuildCountStatement(statement);

    std::printf("data:      %lld rows, %lld with priority 7, chunk %d (seed %llu)\n",
                static_cast<long long>(options.rows), static_cast<long long>(options.matching), options.chunk,
                static_cast<unsigned long long>(options.seed));
    std::printf("statement: %s\n", statement.c_str());
    std::printf("count:     %s\n", countStatement.c_str());
    std::fflush(stdout);

    const auto prepareStart = Clock::now();
    quellmark::bench::PrepareLogData(dir / "seed.sqlite", options.rows, options.matching, options.seed);
    std::filesystem::copy_file(dir / "seed.sqlite", dir / "tool.sqlite");
    if (options.peer) std::filesystem::copy_file(dir / "seed.sqlite", dir / "peer.sqlite");
    std::printf("prepared the data in %.1f s\n\n", Seconds(Clock::now() - prepareStart));

    // ---- Quellmark --------------------------------------------------------
    double toolWall = 0;
    int passes = 0;
    double overhead = 0;
    {
        quellmark::bench::LogServer server(quellmark::bench::ServerFor(dir / "tool.sqlite", dir / "tool.stats"));
        std::filesystem::create_directory(dir / "app");
        quellmark::bench::WriteSettings(dir / "app" / "Sarnwick.mdb", server.Port());
        const std::string settings = quellmark::ops::SettingsConnStringForFolder((dir / "app").string());

        BenchWindow window(statement);
        gCountSleeps = true;
        const auto start = Clock::now();
        quellmark::ops::DeleteRecordsInChunks(window, settings);
        const auto end = Clock::now();
        gCountSleeps = false;
        server.Kill();

        for (const std::string& m : window.messages) std::fprintf(stderr, "message: %s\n", m.c_str());
        if (!window.messages.empty()) throw std::runtime_error("the deletion run reported a failure");

        const auto stats = quellmark::bench::ReadStats(dir / "tool.stats");
        const std::int64_t left = quellmark::test::CountLogRows(dir / "tool.sqlite", "priority = 7");
        const std::int64_t total = quellmark::test::CountLogRows(dir / "tool.sqlite");
        toolWall = Seconds(end - start);
        passes = static_cast<int>(window.recLeft.size()) - 1;  // one per pass, and the final figure
        const int pauses = static_cast<int>(window.eventRounds.size()) / 20;
        const double slept = Seconds(gSlept);
        const double server_s = static_cast<double>(stats.micros) / 1e6;
        // The pauses: what they slept, plus the event rounds between the sleeps.
        const double pauseTime = slept;
        overhead = toolWall / (server_s + pauseTime);

        // Cross-check without the sleep hook: the 19 slices between a pause's
        // 20 event rounds, plus one more such slice for the sleep before the first.
        double estimate = 0;
        for (int p = 0; p < pauses; ++p) {
            const double span = Seconds(window.eventRounds[static_cast<std::size_t>(p * 20 + 19)] -
                                        window.eventRounds[static_cast<std::size_t>(p * 20)]);
            estimate += span * 20.0 / 19.0;
        }

        std::printf("quellmark (ops::DeleteRecordsInChunks):\n");
        std::printf("  wall            %8.3f s\n", toolWall);
        std::printf("  passes          %8d     (%d pauses, %zu texts in Records Left, last \"%s\")\n", passes, pauses,
                    window.recLeft.size(), window.recLeft.empty() ? "" : window.recLeft.back().c_str());
        std::printf("  pauses          %8.3f s  (%d sleeps of 10 ms, mean pause %.2f ms; from event rounds: %.3f s)\n",
                    pauseTime, gSleeps, pauses > 0 ? pauseTime * 1000 / pauses : 0.0, estimate);
        PrintServer("  ", stats);
        std::printf("  client, network %8.3f s  (wall - server time - pauses)\n", toolWall - server_s - pauseTime);
        std::printf("  overhead        %8.4f   (wall / (server time + pauses))\n", overhead);
        std::printf("  rows deleted    %8lld     (%lld rows left, %lld with priority 7)\n\n",
                    static_cast<long long>(stats.rowsDeleted), static_cast<long long>(total),
                    static_cast<long long>(left));
        std::fflush(stdout);
        if (left != 0 || total != options.rows - options.matching)
            throw std::runtime_error("the deletion run did not delete exactly the matching rows");
        if (gSleeps != pauses * 20)
            std::printf("  note: %d sleeps seen for %d pauses; the pause figure may be off\n\n", gSleeps, pauses);
    }

    // ---- The shell loop ---------------------------------------------------
    double peerWall = 0;
    if (options.peer) {
        quellmark::bench::LogServer server(quellmark::bench::ServerFor(dir / "peer.sqlite", dir / "peer.stats"));
        const auto start = Clock::now();
        const quellmark::test::RunResult run = quellmark::test::Run(
            "bash",
            {QUELLMARK_PEER_SCRIPT, "127.0.0.1", std::to_string(server.Port()), quellmark::bench::kDatabase,
             quellmark::bench::kUser, quellmark::bench::kPassword, countStatement, statement},
            std::chrono::hours(24));
        const auto end = Clock::now();
        server.Kill();
        std::fputs(run.err.c_str(), stderr);
        std::ofstream(dir / "peer.out") << run.out;
        if (run.exitCode != 0)
            throw std::runtime_error("peer_purge.sh failed with status " + std::to_string(run.exitCode));
        std::istringstream out(run.out);
        std::string line;
        std::getline(out, line);
        PeerResult peer = ParsePeerLine(line);
        peer.wall = Seconds(end - start);
        peerWall = peer.wall;

        const auto stats = quellmark::bench::ReadStats(dir / "peer.stats");
        const std::int64_t left = quellmark::test::CountLogRows(dir / "peer.sqlite", "priority = 7");
        const double server_s = static_cast<double>(stats.micros) / 1e6;
        std::printf("shell loop (bsqldb count, bsqldb delete, sleep 0.2):\n");
        std::printf("  wall            %8.3f s\n", peer.wall);
        std::printf("  passes          %8d     (%d deletes)\n", peer.passes, peer.deletes);
        std::printf("  sleeps          %8.3f s  (mean %.2f ms)\n", peer.slept,
                    peer.passes > 0 ? peer.slept * 1000 / peer.passes : 0.0);
        PrintServer("  ", stats);
        std::printf("  processes, logins %6.3f s  (wall - server time - sleeps)\n", peer.wall - server_s - peer.slept);
        std::printf("  overhead        %8.4f   (wall / (server time + sleeps))\n", peer.wall / (server_s + peer.slept));
        std::printf("  rows deleted    %8lld     (%lld with priority 7 left)\n\n",
                    static_cast<long long>(stats.rowsDeleted), static_cast<long long>(left));
        if (left != 0) throw std::runtime_error("the shell loop did not delete every matching row");
        std::printf("quellmark wall / shell loop wall: %.4f\n", toolWall / peerWall);
    }

    if (options.keep) std::printf("files kept in %s\n", dir.c_str());
    char vsPeer[32] = "none";
    if (options.peer) std::snprintf(vsPeer, sizeof vsPeer, "%.4f", toolWall / peerWall);
    std::printf("overhead=%.4f vs_peer=%s passes=%d\n", overhead, vsPeer, passes);
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return quellmark::bench::RunMain("deletion_bench", Main, argc, argv); }
