// What quellmark-purge says: the progress line (in place on a terminal,
// every 10 s otherwise), the summary line, the JSON summary and the exit
// status.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "ops/purge.h"

namespace quellmark::purge_tool {

// sysexits.h
namespace exit_code {
inline constexpr int kDone = 0;
inline constexpr int kUsage = 64;        // EX_USAGE
inline constexpr int kRejected = 65;     // EX_DATAERR: the server rejected the statement
inline constexpr int kUnavailable = 69;  // EX_UNAVAILABLE: unreachable, login refused, connection lost
inline constexpr int kInternal = 70;     // EX_SOFTWARE
inline constexpr int kCantCreate = 73;   // EX_CANTCREAT: the JSON file
inline constexpr int kIoError = 74;      // EX_IOERR: the metrics file
inline constexpr int kStopped = 75;      // EX_TEMPFAIL: stopped with rows left
inline constexpr int kSettings = 78;     // EX_CONFIG: the settings file is unusable
}  // namespace exit_code

// What a run was given and how it went, for the summary and the JSON.
struct RunRecord {
    std::optional<std::string> server;
    std::optional<std::string> database;
    std::string statement;
    std::int64_t chunkSize = 0;  // n of the statement's TOP (n)
    std::int64_t mostRowsPerChunk = 0;
    std::chrono::milliseconds chunkTime{0};  // 0: every chunk mostRowsPerChunk
    bool dryRun = false;
    purge::PurgeResult result;
};

// The exit status a finished run gives.
int ExitCodeOf(const RunRecord& record);

// "1:02:03" for 3723 s; "0:00:05" for 5 s.
std::string FormatClock(std::chrono::seconds seconds);
// "2026-12-08T13:04:05.123+01:00": local time with its offset.
std::string FormatTimestamp(purge::WallTime time);

// The progress text: rows deleted of the start count, the rate, the elapsed
// time and the estimate of the time left.
std::string ProgressText(const purge::PurgeFigures& figures);

// The one line at the end of a run.
std::string SummaryLine(const RunRecord& record);

// The p-th percentile (0: the smallest, 100: the largest) of the chunks'
// sizes; nullopt without chunks.
std::optional<std::int64_t> ChunkRowsPercentile(const purge::PurgeResult& result, double percentile);

// What chunks of up to `mostRows` mean for the monitoring system's inserts.
std::string TableLockText(std::int64_t mostRows);

// The JSON object (one line, ending with a newline).
std::string JsonSummary(const RunRecord& record);

// Writes progress lines to `out`: on a terminal one line rewritten in place
// after each count and chunk, otherwise one line at most every `interval`.
class ProgressPrinter : public purge::PurgeObserver {
public:
    ProgressPrinter(std::FILE* out, bool terminal, bool quiet,
                    std::chrono::steady_clock::duration interval = std::chrono::seconds(10));
    void Counted(const purge::PurgeFigures& figures) override;
    void ChunkDeleted(const purge::PurgeFigures& figures) override;
    void Retrying(const purge::StatementFailure& failure, std::chrono::milliseconds wait, int attempt) override;
    void WaitingForLog(const purge::LogState& log, int limitPercent) override;
    // A warning, shown also when quiet.
    void LogNotWatched(const purge::StatementFailure& failure) override;
    // Ends the line rewritten in place, if any, before other output.
    void Finish();

private:
    void Show(const std::string& text, bool always);
    void Note(const std::string& text);

    std::FILE* out_;
    bool terminal_;
    bool quiet_;
    std::chrono::steady_clock::duration interval_;
    std::chrono::steady_clock::time_point last_;
    bool lineOpen_ = false;
};

}  // namespace quellmark::purge_tool
