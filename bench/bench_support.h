// What the deletion and responsiveness benchmarks share: a scratch folder,
// child processes, a log server on prepared data, the server's statement
// statistics, a settings file pointing at the server, and summaries of
// timing samples.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "harness/logdb_process.h"

namespace quellmark::bench {

using Clock = std::chrono::steady_clock;

inline double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A fresh folder under $TMPDIR (or /tmp), removed with its contents unless kept.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::string& prefix);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::filesystem::path& Path() const noexcept { return path_; }
    void Keep() noexcept { keep_ = true; }

private:
    std::filesystem::path path_;
    bool keep_ = false;
};

// Runs a program (argv[0] looked up in PATH when it has no '/') with stdin
// from /dev/null and waits for it. Returns the exit status (128 + n when
// killed by signal n); throws std::runtime_error when it cannot be started.
int RunProgram(const std::vector<std::string>& argv, const std::filesystem::path& stdoutFile = {},
               const std::filesystem::path& stderrFile = {});

// The log server of the benchmarks: database, user and password.
inline constexpr const char* kDatabase = "logs";
inline constexpr const char* kUser = "bench";
inline constexpr const char* kPassword = "bench-pw";

using LogServerOptions = test::LogDbOptions;
using LogServer = test::LogDbProcess;

// The log data a benchmark purges: `rows` seeded rows of which exactly
// `matching`, spread evenly over the table, have priority 7 (the other
// seeded priority-7 rows become priority 6). Written to `file`.
void PrepareLogData(const std::filesystem::path& file, std::int64_t rows, std::int64_t matching, std::uint64_t seed);

// Rows of ATR_Log in `file` matching `where` (SQLite syntax; empty: all).
std::int64_t CountRows(const std::filesystem::path& file, const std::string& where = "");

// quellmark-logdb serving an existing file as it is, on a free port, with
// --stats FILE and the extra arguments.
LogServerOptions ServerFor(const std::filesystem::path& dbFile, const std::filesystem::path& statsFile,
                           const std::vector<std::string>& extraArgs = {});

// The sum of the server's statement statistics.
struct StatementStats {
    std::int64_t micros = 0;  // every statement
    std::int64_t countMicros = 0;
    std::int64_t deleteMicros = 0;
    int counts = 0;
    int deletes = 0;
    int others = 0;
    std::int64_t rowsDeleted = 0;
    std::vector<std::int64_t> statementMicros;  // each statement, in order
};
StatementStats ReadStats(const std::filesystem::path& statsFile);

// Sarnwick.mdb for "Remote SQL Authentication" to the server on 127.0.0.1,
// written by quellmark-settings.
void WriteSettings(const std::filesystem::path& mdbFile, std::uint16_t port);

struct Summary {
    std::size_t n = 0;
    double median = 0, p95 = 0, p99 = 0, max = 0, mean = 0;
};
Summary Summarize(std::vector<double> samples);

// Runs a benchmark's main; an exception ends it with "<name>: <what>" on
// stderr and status 1.
int RunMain(const char* name, int (*main)(int, char**), int argc, char** argv);

}  // namespace quellmark::bench
