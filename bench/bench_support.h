// What the deletion and responsiveness benchmarks share on top of the test
// harness (scratch folders, child processes, the log server and its SQLite
// file): the options naming their data, a log server on prepared data, the
// server's statement statistics, a settings file pointing at the server, and
// summaries of timing samples.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "harness/logdb_process.h"
#include "harness/run_program.h"
#include "harness/scratch_dir.h"
#include "harness/sqlite_shell.h"

namespace quellmark::bench {

using Clock = std::chrono::steady_clock;

inline double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The log server of the benchmarks: database, user and password.
inline constexpr const char* kDatabase = "logs";
inline constexpr const char* kUser = "bench";
inline constexpr const char* kPassword = "bench-pw";

// The data a benchmark purges (see PrepareLogData) and the chunk size it
// deletes with: --rows, --matching, --seed and --chunk.
struct DataOptions {
    std::int64_t rows = 1'000'000;
    std::int64_t matching = 200'000;
    int chunk = 5000;
    std::uint64_t seed = 1;
};

// A benchmark's own option: `value()` reads the number after it ("<arg> needs
// a value" when there is none). False for an argument it does not know.
using OwnOption = std::function<bool(const std::string& arg, const std::function<long long()>& value)>;

// Reads the command line: the data options into `data`, every other argument
// through `own`; an unknown one throws `usage`.
void ParseOptions(int argc, char** argv, DataOptions& data, const char* usage, const OwnOption& own);

// Throws unless 1 <= matching <= rows and chunk >= 1.
void RequireRowsAndChunk(const DataOptions& data);

using LogServerOptions = test::LogDbOptions;
using LogServer = test::LogDbProcess;

// The log data a benchmark purges: `rows` seeded rows of which exactly
// `matching`, spread evenly over the table, have priority 7 (the other
// seeded priority-7 rows become priority 6). Written to `file`.
void PrepareLogData(const std::filesystem::path& file, std::int64_t rows, std::int64_t matching, std::uint64_t seed);

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
