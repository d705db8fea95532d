// What quellmark-purge says: the progress line (in place on a terminal,
// every 10 s otherwise), the summary line, the JSON summary and its file,
// the exit status, and the one way a message reaches the terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "base/terminal_text.h"
#include "base/unique_fd.h"
#include "ops/unattended/run.h"

namespace quellmark::purge_tool {

namespace unattended = ops::unattended;

// sysexits.h
namespace exit_code {
inline constexpr int kDone = 0;
inline constexpr int kUsage = 64;        // EX_USAGE
inline constexpr int kRejected = 65;     // EX_DATAERR: the server rejected the statement
inline constexpr int kUnavailable = 69;  // EX_UNAVAILABLE: unreachable, login refused, connection lost
inline constexpr int kInternal = 70;     // EX_SOFTWARE
inline constexpr int kCantCreate = 73;   // EX_CANTCREAT: the JSON file
inline constexpr int kIoError = 74;      // EX_IOERR: the JSON summary or the metrics file could not be written
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
    unattended::PurgeResult result;
};

// The exit status of a run that failed, by its cause: the settings (78), no
// connection to the server (the login refused, the certificate not trusted,
// the connection lost: 69), a statement the server refused (also over locks:
// 65), anything else (70).
int ExitStatusOf(ops::FailureCause cause);

// The exit status a finished run gives.
int ExitCodeOf(const RunRecord& record);

// The exit status once the JSON summary could not be written: 74 in place
// of 0 or 75, so that the missing summary is not taken for success; a run
// that failed otherwise keeps its own status.
int ExitCodeWithoutJson(int exitCode);

// Every message of quellmark-purge goes through base::Report: whatever came
// from outside in it (the server's words, a certificate, the settings, a job
// file, the statement) reaches the terminal with its control characters made
// visible, line breaks kept. A write that fails (a closed pipe) is left at
// that: the run goes on, and its record is in the JSON and the journal.
using base::Report;

// "1:02:03" for 3723 s; "0:00:05" for 5 s.
std::string FormatClock(std::chrono::seconds seconds);
// "2026-12-08T13:04:05.123+01:00": local time with its offset.
std::string FormatTimestamp(unattended::WallTime time);

// The progress text: rows deleted of the start count, the rate, the elapsed
// time and the estimate of the time left.
std::string ProgressText(const unattended::PurgeFigures& figures);

// The one line at the end of a run.
std::string SummaryLine(const RunRecord& record);

// The p-th percentile (0: the smallest, 100: the largest) of the chunks'
// sizes; nullopt without chunks.
std::optional<std::int64_t> ChunkRowsPercentile(const unattended::PurgeResult& result, double percentile);

// What chunks of up to `mostRows` mean for the monitoring system's inserts.
std::string TableLockText(std::int64_t mostRows);

// The JSON object (one line, ending with a newline).
std::string JsonSummary(const RunRecord& record);

// Where the JSON summary goes: standard output ("-") or a file. A file is
// written whole under a name of its own in the same folder, made when the
// run starts (so that a folder that cannot be written ends the command
// before anything is deleted), then renamed over the file's name: a reader,
// or another run writing the same file, finds an old summary or a new one,
// never part of one, and a symbolic link of that name is replaced, never
// followed. A name that is already something other than a regular file (a
// device such as /dev/stdout, a pipe with a reader) is written directly.
class JsonFile {
public:
    // No target: no summary. Throws std::runtime_error, with the reason,
    // when the target cannot be written.
    explicit JsonFile(const std::optional<std::string>& target);
    // Removes the file of its own that was never renamed.
    ~JsonFile();
    JsonFile(const JsonFile&) = delete;
    JsonFile& operator=(const JsonFile&) = delete;

    bool ToStdout() const noexcept { return toStdout_; }
    // Writes the summary of the run; throws std::runtime_error, with the
    // reason, when it could not be written whole.
    void Write(const RunRecord& record);

private:
    [[noreturn]] void Fail(int error) const;

    std::string target_;
    bool toStdout_ = false;
    base::UniqueFd fd_;
    std::string temporary_;  // the file of its own; empty when written directly
};

// Writes progress lines to `out`: on a terminal one line rewritten in place
// after each count and chunk, otherwise one line at most every `interval`.
class ProgressPrinter : public unattended::PurgeObserver {
public:
    ProgressPrinter(std::FILE* out, bool terminal, bool quiet,
                    std::chrono::steady_clock::duration interval = std::chrono::seconds(10));
    void Counted(const unattended::PurgeFigures& figures) override;
    void ChunkDeleted(const unattended::PurgeFigures& figures) override;
    void Retrying(const ops::Failure& failure, std::chrono::milliseconds wait, int attempt) override;
    void WaitingForLog(const unattended::LogState& log, int limitPercent) override;
    // A warning, shown also when quiet.
    void LogNotWatched(const ops::Failure& failure) override;
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
