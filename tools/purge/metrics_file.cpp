#include "purge/metrics_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/unique_fd.h"
#include "base/utf8.h"

namespace quellmark::purge_tool {
namespace {

constexpr std::string_view kLastSuccess = "quellmark_purge_last_success_timestamp_seconds";

constexpr unattended::StopReason kReasons[] = {
    unattended::StopReason::Done,     unattended::StopReason::MaxRuntime,       unattended::StopReason::Until,
    unattended::StopReason::Signal,   unattended::StopReason::RetriesExhausted, unattended::StopReason::Failed,
    unattended::StopReason::LockHeld, unattended::StopReason::LogFull,
};

// A label value: backslash, double quote and line feed escaped, as the
// format wants; bytes that are not UTF-8 as U+FFFD.
std::string LabelValue(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (static_cast<unsigned char>(c) >= 0x80) {
            const auto decoded = base::DecodeUtf8(text, i);
            out += decoded ? text.substr(i, decoded->length) : std::string_view("\xEF\xBF\xBD");
            i += decoded ? decoded->length : 1;
            continue;
        }
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
        ++i;
    }
    return out;
}

std::string Number(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

std::string Failure(const std::string& path, const std::string& what, int error) {
    return "cannot write the metrics file \"" + path + "\": " + what + ": " + std::strerror(error) +
           " (the folder must exist and the run's user be able to write to it).";
}

// A temporary file, removed unless renamed into place.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& path) : path_(path) {}
    ~TemporaryFile() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    void Kept() { path_.clear(); }

private:
    std::string path_;
};

}  // namespace

std::string MetricsText(const MetricsRun& run, std::optional<double> lastSuccess) {
    const std::string labels = "purge_job=\"" + LabelValue(run.job) + "\",server=\"" + LabelValue(run.server) +
                               "\",database=\"" + LabelValue(run.database) + "\"";
    std::ostringstream text;
    const auto metric = [&](std::string_view name, std::string_view help) {
        text << "# HELP " << name << ' ' << help << "\n# TYPE " << name << " gauge\n";
    };
    const auto sample = [&](std::string_view name, const std::string& value, const std::string& more = "") {
        text << name << '{' << labels << more << "} " << value << '\n';
    };
    metric("quellmark_purge_last_run_timestamp_seconds", "When the last run of the purge job ended.");
    sample("quellmark_purge_last_run_timestamp_seconds", Number(run.endedAt));
    metric(kLastSuccess, "When the last run of the purge job that left no matching rows ended.");
    if (lastSuccess) sample(kLastSuccess, Number(*lastSuccess));
    metric("quellmark_purge_rows_deleted", "Rows the last run deleted.");
    sample("quellmark_purge_rows_deleted", std::to_string(run.rowsDeleted));
    metric("quellmark_purge_rows_left", "Matching rows the last run left; absent when it did not count them.");
    if (run.rowsLeft) sample("quellmark_purge_rows_left", std::to_string(*run.rowsLeft));
    metric("quellmark_purge_duration_seconds", "How long the last run took, connecting included.");
    sample("quellmark_purge_duration_seconds", Number(run.seconds));
    metric("quellmark_purge_exit_status", "The exit status of the last run (0 done, 75 stopped with rows left).");
    sample("quellmark_purge_exit_status", std::to_string(run.exitStatus));
    metric("quellmark_purge_stop_reason", "Why the last run ended: 1 for its reason, 0 for the others.");
    for (const unattended::StopReason reason : kReasons) {
        const std::string_view name = unattended::StopReasonName(reason);
        sample("quellmark_purge_stop_reason", name == run.stopReason ? "1" : "0",
               ",reason=\"" + std::string(name) + "\"");
    }
    return text.str();
}

std::optional<double> LastSuccessIn(std::string_view text) {
    std::istringstream lines{std::string(text)};
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.starts_with(kLastSuccess) || line.size() == kLastSuccess.size()) continue;
        const char after = line[kLastSuccess.size()];
        const std::size_t space = line.rfind(' ');
        if ((after != '{' && after != ' ') || space == std::string::npos) continue;
        const char* value = line.c_str() + space + 1;
        char* end = nullptr;
        const double seconds = std::strtod(value, &end);
        if (end != value && *end == '\0' && std::isfinite(seconds)) return seconds;
    }
    return std::nullopt;
}

MetricsRun MetricsOf(const RunRecord& record, const std::optional<std::string>& jobFile, double seconds,
                     int exitStatus) {
    MetricsRun run;
    run.job = jobFile ? std::filesystem::path(*jobFile).stem().string() : std::string();
    run.server = record.server.value_or("");
    run.database = record.database.value_or("");
    run.endedAt = std::chrono::duration<double>(record.result.endedAt.time_since_epoch()).count();
    run.seconds = seconds;
    run.exitStatus = exitStatus;
    run.stopReason = std::string(unattended::StopReasonName(record.result.stopReason));
    run.rowsDeleted = record.result.figures.rowsDeleted;
    run.rowsLeft = record.result.rowsLeft;
    return run;
}

void WriteMetricsFile(const std::string& path, const MetricsRun& run) {
    std::optional<double> lastSuccess;
    if (run.exitStatus == exit_code::kDone) {
        lastSuccess = run.endedAt;
    } else if (std::ifstream before{path}) {
        std::ostringstream text;
        text << before.rdbuf();
        lastSuccess = LastSuccessIn(text.str());
    }
    const std::string content = MetricsText(run, lastSuccess);

    const std::filesystem::path target(path);
    const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : ".";
    // Not *.prom, so that the collector passes it by.
    std::string temporary = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
    const base::UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd) throw MetricsFileError(Failure(path, "no file can be made in \"" + folder.string() + "\"", errno));
    TemporaryFile cleanup(temporary);
    for (std::size_t done = 0; done < content.size();) {
        const ssize_t n = ::write(fd.Get(), content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw MetricsFileError(Failure(path, "writing \"" + temporary + "\"", errno));
        done += static_cast<std::size_t>(n);
    }
    if (::fchmod(fd.Get(), 0644) != 0 || ::fsync(fd.Get()) != 0)
        throw MetricsFileError(Failure(path, "writing \"" + temporary + "\"", errno));
    if (::rename(temporary.c_str(), path.c_str()) != 0)
        throw MetricsFileError(Failure(path, "renaming \"" + temporary + "\" to it", errno));
    cleanup.Kept();
}

}  // namespace quellmark::purge_tool
