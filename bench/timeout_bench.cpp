// timeout_bench: how long a deletion run takes to end when a statement runs
// past the statement time limit, through ops::DeleteRecordsInChunks
// against quellmark-logdb.
//
//   timeout_bench [--limit S]
//
// 5,000 rows, 2,000 of them matching "Priority" with TOP (1000). The run's
// first count and delete are answered at once; its second delete takes the
// server 120 s. Two cases:
//   slow     the server is slow but alive: the statement is cancelled when
//            the limit (S seconds, default the product's 30) runs out;
//   stopped  the server process is stopped (SIGSTOP) one second into that
//            delete and answers nothing, not even the cancellation.
// Each is timed from the end of the first pass's pause (the second pass
// starts there; its count takes milliseconds) to the message. Afterwards the
// server runs again and the rows are checked: the first chunk deleted, the
// second not. Last line:
//   slow_s=<seconds> stopped_s=<seconds> limit_s=<S>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "data_access/data_access.h"
#include "harness/stopped_process.h"
#include "ops/modGeneral.h"
#include "ops/window_port.h"
#include "ui/templates.h"

namespace {

using quellmark::bench::Clock;
using quellmark::bench::Seconds;

constexpr std::int64_t kRows = 5000;
constexpr std::int64_t kMatching = 2000;

// The window as the operations see it: notes when the first pass's pause
// ends and when the message comes, and runs a hook at the pause's end.
class TimedWindow : public quellmark::ops::WindowPort {
public:
    explicit TimedWindow(std::string statement) : statement_(std::move(statement)) {}

    std::vector<std::string> messages;
    std::vector<std::string> recLeft;
    std::optional<Clock::time_point> secondPass;
    std::optional<Clock::time_point> messageAt;
    std::function<void()> onSecondPass;

    std::string SqlQueryText() const override { return statement_; }
    void SetCountText(const std::string&) override {}
    void SetRecLeftText(const std::string& text) override { recLeft.push_back(text); }
    void ShowMessage(const std::string& text) override {
        messageAt = Clock::now();
        messages.push_back(text);
    }
    bool CancelRequested() const override { return false; }  // no Cancel button
    void ClearCancelRequest() override {}
    void ProcessPendingEvents() override {
        if (++rounds_ != 20) return;
        if (onSecondPass) onSecondPass();
        secondPass = Clock::now();
    }

private:
    std::string statement_;
    int rounds_ = 0;
};

double RunCase(const std::filesystem::path& dir, const char* name, bool stop, std::int32_t limit) {
    const std::filesystem::path data = dir / (std::string(name) + ".sqlite");
    std::filesystem::copy_file(dir / "seed.sqlite", data);
    quellmark::bench::LogServer server(quellmark::bench::ServerFor(data, dir / (std::string(name) + ".stats"),
                                                                   {"--delay-ms", "120000", "--faults-after", "3"}));
    const std::filesystem::path app = dir / name;
    std::filesystem::create_directory(app);
    quellmark::bench::WriteSettings(app / "Sarnwick.mdb", server.Port());
    const std::string settings = quellmark::ops::SettingsConnStringForFolder(app.string());

    const std::string statement = *quellmark::ui::ComposeDeleteStatement("Priority", "1000", quellmark::ui::Now());
    TimedWindow window(statement);
    std::atomic<bool> stopped{false};
    std::thread stopper;
    if (stop) {
        window.onSecondPass = [&] {
            stopper = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::seconds(1));
                stopped = quellmark::test::StopProcess(server.Pid());
            });
        };
    }
    quellmark::ops::DeleteRecordsInChunks(window, settings, limit);
    if (stopper.joinable()) stopper.join();
    if (stopped) {
        // Running again, the server ends the delete it held one way or the
        // other: its rollback journal goes.
        quellmark::test::ResumeProcess(server.Pid());
        const std::filesystem::path journal = data.string() + "-journal";
        const auto until = Clock::now() + std::chrono::seconds(30);
        while (std::filesystem::exists(journal) && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    std::printf("%-8s", name);
    for (const std::string& text : window.recLeft) std::printf(" [%s]", text.c_str());
    std::printf("\n");
    for (const std::string& m : window.messages) std::printf("         message: %s\n", m.c_str());
    if (window.messages.size() != 1 || !window.secondPass || !window.messageAt)
        throw std::runtime_error(std::string(name) + ": the run did not end with one message in its second pass");
    if (stop && !stopped) throw std::runtime_error("the server could not be stopped");
    const double seconds = Seconds(*window.messageAt - *window.secondPass);
    const std::int64_t left = quellmark::test::CountLogRows(data, "priority = 7");
    std::printf("         %.2f s from the second pass's start to the message; %lld of %lld matching rows left\n\n",
                seconds, static_cast<long long>(left), static_cast<long long>(kMatching));
    if (left != kMatching - 1000) throw std::runtime_error(std::string(name) + ": the rows are not as expected");
    return seconds;
}

int Main(int argc, char** argv) {
    std::int32_t limit = quellmark::data_access::kDefaultCommandTimeout;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--limit" && i + 1 < argc) {
            limit = static_cast<std::int32_t>(std::stol(argv[++i]));
        } else {
            throw std::runtime_error("usage: timeout_bench [--limit S]");
        }
    }
    if (limit < 1) throw std::runtime_error("--limit needs at least 1 second");

    quellmark::test::ScratchDir scratch("timeout-bench");
    const std::filesystem::path dir = scratch.Path();
    quellmark::bench::PrepareLogData(dir / "seed.sqlite", kRows, kMatching, 1);
    std::printf("statement time limit %d s\n\n", limit);
    std::fflush(stdout);
    const double slow = RunCase(dir, "slow", false, limit);
    const double stopped = RunCase(dir, "stopped", true, limit);
    std::printf("slow_s=%.2f stopped_s=%.2f limit_s=%d\n", slow, stopped, limit);
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return quellmark::bench::RunMain("timeout_bench", Main, argc, argv); }
