// soak_bench: one long deletion run through ops::DeleteRecordsInChunks
// against quellmark-logdb, watching the process's resident memory and open
// file descriptors from pass to pass.
//
//   soak_bench [--rows N] [--chunk C] [--seed S] [--keep]
//
// Every one of the N rows matches the statement (the "Priority" template with
// TOP (C)), so the run makes N / C deleting passes and a last one that counts
// 0. Every 100 passes, and after the last, it prints VmRSS and the number of
// open descriptors, taken at the end of the pass's pause (the connection
// open, as during the whole run). Last line:
//   rss_growth_kb=<last pass - pass 100> fd_growth=<last pass - pass 100> passes=<n>
#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_support.h"
#include "ops/modGeneral.h"
#include "ops/window_port.h"
#include "ui/templates.h"

namespace {

using quellmark::bench::Clock;
using quellmark::bench::Seconds;

constexpr int kRoundsPerPause = 20;
constexpr int kFirstSample = 100;

struct Sample {
    int pass = 0;
    long rssKb = 0;
    int fds = 0;
};

long ResidentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    throw std::runtime_error("no VmRSS in /proc/self/status");
}

int OpenDescriptors() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) throw std::runtime_error("cannot list /proc/self/fd");
    int count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
    return count - 1;  // the listing's own descriptor
}

// The window as the operations see it: a fixed statement; each pass ends
// with its pause's last event round, where the process is measured.
class SoakWindow : public quellmark::ops::WindowPort {
public:
    explicit SoakWindow(std::string statement) : statement_(std::move(statement)) { samples.reserve(64); }

    std::vector<std::string> messages;
    std::string lastLeft;
    int rounds = 0;
    std::vector<Sample> samples;  // pass 100, 200, ...
    Sample last;                  // the latest pass

    std::string SqlQueryText() const override { return statement_; }
    void SetCountText(const std::string&) override {}
    void SetRecLeftText(const std::string& text) override { lastLeft = text; }
    void ShowMessage(const std::string& text) override { messages.push_back(text); }
    bool CancelRequested() const override { return false; }  // no Cancel button
    void ClearCancelRequest() override {}
    void ProcessPendingEvents() override {
        if (++rounds % kRoundsPerPause != 0) return;
        last = Sample{rounds / kRoundsPerPause, ResidentKb(), OpenDescriptors()};
        if (last.pass % kFirstSample == 0) {
            samples.push_back(last);
            std::printf("pass %5d  rss %7ld kB  fds %3d  left %s\n", last.pass, last.rssKb, last.fds, lastLeft.c_str());
            std::fflush(stdout);
        }
    }

private:
    std::string statement_;
};

struct Options {
    std::int64_t rows = 1'000'000;
    int chunk = 1000;
    std::uint64_t seed = 1;
    bool keep = false;
};

Options ParseOptions(int argc, char** argv) {
    constexpr const char* kUsage = "usage: soak_bench [--rows N] [--chunk C] [--seed S] [--keep]";
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--keep") {
            o.keep = true;
            continue;
        }
        if (i + 1 >= argc) throw std::runtime_error(kUsage);
        const long long number = std::stoll(argv[++i]);
        if (arg == "--rows")
            o.rows = number;
        else if (arg == "--chunk")
            o.chunk = static_cast<int>(number);
        else if (arg == "--seed")
            o.seed = static_cast<std::uint64_t>(number);
        else
            throw std::runtime_error(kUsage);
    }
    if (o.chunk < 1 || o.rows / o.chunk < kFirstSample)
        throw std::runtime_error("need a chunk of at least 1 row and at least 100 passes (rows / chunk)");
    return o;
}

int Main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    quellmark::test::ScratchDir scratch("soak-bench");
    if (options.keep) scratch.Keep();
    const std::filesystem::path dir = scratch.Path();

    const std::string statement =
        *quellmark::ui::ComposeDeleteStatement("Priority", std::to_string(options.chunk), quellmark::ui::Now());
    std::printf("data:      %lld rows, all with priority 7, chunk %d (seed %llu)\n",
                static_cast<long long>(options.rows), options.chunk, static_cast<unsigned long long>(options.seed));
    std::printf("statement: %s\n", statement.c_str());
    std::fflush(stdout);
    const auto prepareStart = Clock::now();
    quellmark::bench::PrepareLogData(dir / "logs.sqlite", options.rows, options.rows, options.seed);
    std::printf("prepared the data in %.1f s\n\n", Seconds(Clock::now() - prepareStart));

    quellmark::bench::LogServer server(quellmark::bench::ServerFor(dir / "logs.sqlite", dir / "logs.stats"));
    std::filesystem::create_directory(dir / "app");
    quellmark::bench::WriteSettings(dir / "app" / "Sarnwick.mdb", server.Port());
    const std::string settings = quellmark::ops::SettingsConnStringForFolder((dir / "app").string());

    SoakWindow window(statement);
    const Sample before{0, ResidentKb(), OpenDescriptors()};
    std::printf("before     rss %7ld kB  fds %3d\n", before.rssKb, before.fds);
    const auto start = Clock::now();
    quellmark::ops::DeleteRecordsInChunks(window, settings);
    const double wall = Seconds(Clock::now() - start);
    const Sample after{0, ResidentKb(), OpenDescriptors()};
    server.Kill();

    for (const std::string& m : window.messages) std::fprintf(stderr, "message: %s\n", m.c_str());
    if (!window.messages.empty()) throw std::runtime_error("the deletion run reported a failure");
    const std::int64_t left = quellmark::test::CountLogRows(dir / "logs.sqlite");
    if (left != 0 || window.lastLeft != "0") throw std::runtime_error("the run did not delete every row");
    if (window.samples.empty()) throw std::runtime_error("the run ended before pass 100");

    const Sample& first = window.samples.front();
    const Sample& last = window.last;
    std::printf("last pass  %5d  rss %7ld kB  fds %3d\n", last.pass, last.rssKb, last.fds);
    std::printf("after      rss %7ld kB  fds %3d  (the run returned, its connection closed)\n", after.rssKb, after.fds);
    std::printf("wall %.1f s, %d passes, %.1f ms a pass\n", wall, last.pass, wall * 1000 / last.pass);
    if (options.keep) std::printf("files kept in %s\n", dir.c_str());
    std::printf("rss_growth_kb=%ld fd_growth=%d passes=%d\n", last.rssKb - first.rssKb, last.fds - first.fds,
                last.pass);
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return quellmark::bench::RunMain("soak_bench", Main, argc, argv); }
