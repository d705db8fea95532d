#include "purge/purge_report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "base/terminal_text.h"
#include "base/utf8.h"
#include "ops/unattended/chunk_sizer.h"

namespace quellmark::purge_tool {
namespace {

using unattended::StopReason;

std::string Number(double value, int decimals) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    return buffer;
}

std::string Rows(std::int64_t rows) { return std::to_string(rows) + (rows == 1 ? " row" : " rows"); }

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            // Valid UTF-8 sequences as they are; any other byte as U+FFFD.
            const auto decoded = base::DecodeUtf8(text, i);
            if (!decoded) {
                out += "\\ufffd";
                ++i;
            } else {
                out.append(text, i, decoded->length);
                i += decoded->length;
            }
            continue;
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char buffer[8];
                    std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                    out += buffer;
                } else {
                    out += static_cast<char>(c);
                }
        }
        ++i;
    }
    return out + "\"";
}

std::string JsonOr(const std::optional<std::string>& text) { return text ? JsonString(*text) : "null"; }
std::string JsonOr(const std::optional<std::int64_t>& number) { return number ? std::to_string(*number) : "null"; }
std::string JsonOr(const std::optional<double>& number) { return number ? Number(*number, 1) : "null"; }

std::string HowItEnded(const RunRecord& record) {
    const unattended::PurgeResult& r = record.result;
    switch (r.stopReason) {
        case StopReason::Done:
            return "done";
        case StopReason::MaxRuntime:
            return "stopped: --max-runtime reached";
        case StopReason::Until:
            return "stopped: --until reached";
        case StopReason::Signal:
            return "stopped by a signal";
        case StopReason::RetriesExhausted:
            return "stopped: the retries ran out";
        case StopReason::Failed:
            return "failed";
        case StopReason::LockHeld:
            return "not run: another run holds the log's lock";
        case StopReason::LogFull:
            return "stopped: the transaction log stayed full for --max-log-wait" +
                   (r.log ? " (" + unattended::LogStateText(*r.log) + ")" : std::string());
    }
    return "failed";
}

}  // namespace

int ExitStatusOf(ops::FailureCause cause) {
    switch (cause) {
        case ops::FailureCause::Settings:
            return exit_code::kSettings;
        case ops::FailureCause::Login:
        case ops::FailureCause::Trust:
        case ops::FailureCause::ConnectionLost:
            return exit_code::kUnavailable;
        case ops::FailureCause::Rejected:
        case ops::FailureCause::LockConflict:
            return exit_code::kRejected;
        case ops::FailureCause::Internal:
            break;
    }
    return exit_code::kInternal;
}

int ExitCodeOf(const RunRecord& record) {
    const unattended::PurgeResult& result = record.result;
    if (result.stopReason == StopReason::Failed)
        return ExitStatusOf(result.failure ? result.failure->Cause() : ops::FailureCause::Internal);
    if (result.stopReason == StopReason::LockHeld) return exit_code::kStopped;
    if (record.dryRun && result.stopReason == StopReason::Done) return exit_code::kDone;
    return result.rowsLeft == 0 ? exit_code::kDone : exit_code::kStopped;
}

int ExitCodeWithoutJson(int exitCode) {
    return exitCode == exit_code::kDone || exitCode == exit_code::kStopped ? exit_code::kIoError : exitCode;
}

std::string FormatClock(std::chrono::seconds seconds) {
    const std::int64_t s = std::max<std::int64_t>(seconds.count(), 0);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%lld:%02lld:%02lld", static_cast<long long>(s / 3600),
                  static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60));
    return buffer;
}

std::string FormatTimestamp(unattended::WallTime time) {
    const auto since = time.time_since_epoch();
    const std::time_t t = std::chrono::system_clock::to_time_t(time);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 1000;
    std::tm local{};
    ::localtime_r(&t, &local);
    char stamp[64];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
    char zone[16];
    std::strftime(zone, sizeof zone, "%z", &local);  // +0100
    const std::string offset(zone);
    char out[96];
    std::snprintf(out, sizeof out, "%s.%03lld%s:%s", stamp, static_cast<long long>(millis < 0 ? 0 : millis),
                  offset.substr(0, 3).c_str(), offset.substr(3).c_str());
    return out;
}

std::string ProgressText(const unattended::PurgeFigures& f) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(f.elapsed);
    std::string text = "deleted " + std::to_string(f.rowsDeleted);
    if (f.rowsAtStart) {
        text += " of " + Rows(*f.rowsAtStart);
        if (*f.rowsAtStart > 0)
            text += " (" + Number(100.0 * static_cast<double>(f.rowsDeleted) / static_cast<double>(*f.rowsAtStart), 0) +
                    "%)";
    } else {
        text += " rows";
    }
    if (f.chunkRows > 0) text += ", chunk " + std::to_string(f.chunkRows);
    text += ", " + (f.rowsPerSecond ? Number(*f.rowsPerSecond, 0) : std::string("-")) + " rows/s";
    text += ", " + FormatClock(elapsed) + " elapsed";
    if (f.estimateLeft) text += ", about " + FormatClock(*f.estimateLeft) + " left";
    return text;
}

std::string SummaryLine(const RunRecord& record) {
    const unattended::PurgeResult& r = record.result;
    const unattended::PurgeFigures& f = r.figures;
    if (record.dryRun && r.stopReason == StopReason::Done && f.rowsAtStart) {
        const std::int64_t most = record.mostRowsPerChunk > 0 ? record.mostRowsPerChunk : record.chunkSize;
        std::string line = "quellmark-purge: dry run: " + Rows(*f.rowsAtStart) + " match; deleting them takes ";
        if (record.chunkTime.count() > 0) {
            line += "chunks of up to " + std::to_string(most) + " rows, each sized to take about " +
                    std::to_string(record.chunkTime.count()) + " ms";
        } else {
            const std::int64_t chunks = (*f.rowsAtStart + most - 1) / most;
            line += std::to_string(chunks) + (chunks == 1 ? " chunk" : " chunks") + " of " + std::to_string(most);
        }
        return line + "; nothing was deleted";
    }
    std::string line = "quellmark-purge: " + HowItEnded(record) + ": deleted " + std::to_string(f.rowsDeleted);
    line += f.rowsAtStart ? " of " + Rows(*f.rowsAtStart) : std::string(" rows");
    line += " in " + std::to_string(f.chunks) + (f.chunks == 1 ? " chunk" : " chunks");
    line += ", " + std::to_string(f.retries) + (f.retries == 1 ? " retry" : " retries");
    line += ", " + (r.rowsLeft ? Rows(*r.rowsLeft) + " left" : std::string("rows left not counted"));
    line += ", " + Number(std::chrono::duration<double>(r.duration).count(), 1) + " s";
    if (f.rowsDeleted > 0 && r.stopReason != StopReason::Done) line += "; the rows deleted stay deleted";
    if (r.rowsInDoubt > 0)
        line += "; the last chunk's answer never came, so up to " + std::to_string(r.rowsInDoubt) +
                " more rows may have been deleted";
    return line;
}

std::optional<std::int64_t> ChunkRowsPercentile(const unattended::PurgeResult& result, double percentile) {
    const std::optional<double> rows =
        unattended::Percentile(std::vector<double>(result.chunkRows.begin(), result.chunkRows.end()), percentile);
    if (!rows) return std::nullopt;
    return static_cast<std::int64_t>(*rows);
}

std::string TableLockText(std::int64_t mostRows) {
    if (unattended::MayLockTable(mostRows))
        return "chunks of up to " + std::to_string(mostRows) +
               " rows may lock the whole of ATR_Log (SQL Server does at "
               "about " +
               std::to_string(unattended::kLockEscalationRows) +
               " row locks): while such a chunk runs, the "
               "monitoring system's inserts into ATR_Log wait";
    return "chunks of up to " + std::to_string(mostRows) +
           " rows lock rows, not the table: the monitoring system "
           "goes on writing to ATR_Log during the run";
}

std::string JsonSummary(const RunRecord& record) {
    const unattended::PurgeResult& r = record.result;
    const unattended::PurgeFigures& f = r.figures;
    // The error, or for a run that found the log locked, who holds it.
    const bool failed = r.stopReason == StopReason::Failed || r.stopReason == StopReason::RetriesExhausted ||
                        r.stopReason == StopReason::LockHeld;
    std::ostringstream json;
    json << "{\"server\":" << JsonOr(record.server) << ",\"database\":" << JsonOr(record.database)
         << ",\"statement\":" << JsonString(record.statement) << ",\"chunk_size\":" << record.chunkSize
         << ",\"dry_run\":" << (record.dryRun ? "true" : "false") << ",\"rows_at_start\":" << JsonOr(f.rowsAtStart)
         << ",\"rows_deleted\":" << f.rowsDeleted << ",\"rows_in_doubt\":" << r.rowsInDoubt
         << ",\"rows_left\":" << JsonOr(r.rowsLeft) << ",\"chunks\":" << f.chunks << ",\"retries\":" << f.retries
         << ",\"stop_reason\":" << JsonString(std::string(unattended::StopReasonName(r.stopReason)))
         << ",\"error\":" << (failed && r.failure ? JsonString(r.failure->what()) : std::string("null"))
         << ",\"started_at\":" << JsonString(FormatTimestamp(r.startedAt))
         << ",\"ended_at\":" << JsonString(FormatTimestamp(r.endedAt))
         << ",\"seconds\":" << Number(std::chrono::duration<double>(r.duration).count(), 3)
         << ",\"chunk_ms_median\":" << JsonOr(unattended::Percentile(r.chunkMs, 50))
         << ",\"chunk_ms_p95\":" << JsonOr(unattended::Percentile(r.chunkMs, 95))
         << ",\"chunk_rows_min\":" << JsonOr(ChunkRowsPercentile(r, 0))
         << ",\"chunk_rows_median\":" << JsonOr(ChunkRowsPercentile(r, 50))
         << ",\"chunk_rows_max\":" << JsonOr(ChunkRowsPercentile(r, 100)) << "}\n";
    return json.str();
}

JsonFile::JsonFile(const std::optional<std::string>& target) {
    if (!target) return;
    if (*target == "-") {
        toStdout_ = true;
        return;
    }
    target_ = *target;
    struct stat found {};
    if (::lstat(target_.c_str(), &found) == 0 && !S_ISREG(found.st_mode) && !S_ISLNK(found.st_mode)) {
        if (S_ISDIR(found.st_mode)) Fail(EISDIR);
        // Not a file that can be replaced: written directly. A pipe without
        // a reader is refused (O_NONBLOCK) rather than waited for.
        fd_.Reset(::open(target_.c_str(), O_WRONLY | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
        if (!fd_) Fail(errno);
        struct stat opened {};
        if (::fstat(fd_.Get(), &opened) != 0) Fail(errno);
        if (!S_ISREG(opened.st_mode)) {
            const int flags = ::fcntl(fd_.Get(), F_GETFL);
            if (flags < 0 || ::fcntl(fd_.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) Fail(errno);
            return;
        }
        fd_.Reset();  // a regular file by now: replaced as one
    }
    // The file of its own: hidden, beside the target, never an existing one.
    const std::filesystem::path path(target_);
    std::random_device entropy;
    std::mt19937 pick(entropy());
    std::uniform_int_distribution<int> letter(0, 35);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = "." + path.filename().string() + ".";
        for (int i = 0; i < 8; ++i) name += "abcdefghijklmnopqrstuvwxyz0123456789"[letter(pick)];
        const std::string candidate = (path.parent_path() / name).string();
        fd_.Reset(::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (fd_) {
            temporary_ = candidate;
            return;
        }
        if (errno != EEXIST) Fail(errno);
    }
    Fail(EEXIST);
}

JsonFile::~JsonFile() {
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

void JsonFile::Fail(int error) const {
    throw std::runtime_error("cannot write the JSON file \"" + target_ + "\": " + std::strerror(error));
}

void JsonFile::Write(const RunRecord& record) {
    const std::string json = JsonSummary(record);
    if (toStdout_) {
        if (std::fwrite(json.data(), 1, json.size(), stdout) != json.size() || std::fflush(stdout) != 0)
            throw std::runtime_error(std::string("cannot write the JSON summary to standard output: ") +
                                     std::strerror(errno));
        return;
    }
    if (!fd_) return;
    for (std::size_t done = 0; done < json.size();) {
        const ssize_t n = ::write(fd_.Get(), json.data() + done, json.size() - done);
        if (n < 0 && errno != EINTR) Fail(errno);
        if (n > 0) done += static_cast<std::size_t>(n);
    }
    if (temporary_.empty()) {
        fd_.Reset();
        return;
    }
    // On the disk before it takes the name: after a crash the name holds the
    // old summary or this one.
    if (::fsync(fd_.Get()) != 0 || ::close(fd_.Release()) != 0) Fail(errno);
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) Fail(errno);
    temporary_.clear();
}

ProgressPrinter::ProgressPrinter(std::FILE* out, bool terminal, bool quiet,
                                 std::chrono::steady_clock::duration interval)
    : out_(out), terminal_(terminal), quiet_(quiet), interval_(interval), last_(std::chrono::steady_clock::now()) {}

void ProgressPrinter::Counted(const unattended::PurgeFigures& figures) {
    if (terminal_) Show(ProgressText(figures), false);
}

void ProgressPrinter::ChunkDeleted(const unattended::PurgeFigures& figures) { Show(ProgressText(figures), false); }

void ProgressPrinter::WaitingForLog(const unattended::LogState& log, int limitPercent) {
    Show(unattended::LogWaitText(log, limitPercent), false);
}

void ProgressPrinter::LogNotWatched(const ops::Failure& failure) {
    Show("quellmark-purge: " + unattended::LogNotWatchedText(failure.Number(), failure.what()), true);
}

void ProgressPrinter::Retrying(const ops::Failure& failure, std::chrono::milliseconds wait, int attempt) {
    Note("quellmark-purge: " + std::string(failure.what()) + " (Msg " + std::to_string(failure.Number()) +
         "); sending it again in " + Number(static_cast<double>(wait.count()) / 1000.0, 1) + " s (retry " +
         std::to_string(attempt) + ")");
}

// A progress line, or with `always` a line of its own even when quiet.
void ProgressPrinter::Show(const std::string& text, bool always) {
    if (always) {
        Finish();
        Report(out_, text);
    } else if (quiet_) {
        return;
    } else if (terminal_) {
        Report(out_, text, base::Layout::Lines, base::MessageEnd::InPlace);
        lineOpen_ = true;
    } else {
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ < interval_) return;
        last_ = now;
        Report(out_, text);
    }
}

void ProgressPrinter::Note(const std::string& text) {
    if (quiet_) return;
    Finish();
    Report(out_, text);
}

void ProgressPrinter::Finish() {
    if (!lineOpen_) return;
    Report(out_, "");
    lineOpen_ = false;
}

}  // namespace quellmark::purge_tool
