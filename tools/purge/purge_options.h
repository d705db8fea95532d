// quellmark-purge's options: read from the command line, each by its long
// name, so that any other source of `name value` pairs can give them too.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/command_line.h"
#include "base/usage_error.h"
#include "ops/unattended/run.h"

namespace quellmark::purge_tool {

namespace unattended = ops::unattended;

// A usage error: exit status 64, the message and a pointer to --help.
using base::UsageError;

struct PurgeOptions {
    std::optional<std::string> statement;
    std::optional<std::string> statementFile;
    std::optional<std::string> settingsFile;  // default: DefaultSettingsFile()
    // The engine's own defaults.
    std::int32_t lockTimeoutMs = unattended::PurgePlan{}.lockTimeoutMs;
    std::int32_t pauseMs = unattended::PurgePlan{}.pauseMs;
    bool pauseGiven = false;  // --pause-ms given, on the command line or in the job file
    int retries = unattended::PurgePlan{}.retries;
    std::optional<std::chrono::milliseconds> maxRuntime;
    std::optional<int> untilMinute;            // minutes after midnight, local time
    std::chrono::milliseconds chunkTime{500};  // 0: every chunk at the statement's n
    bool allowTableLock = false;
    int maxLogUsedPercent = 80;  // 0: the transaction log not watched
    std::chrono::milliseconds maxLogWait = unattended::PurgePlan{}.maxLogWait;
    std::optional<std::string> metrics;  // the Prometheus text file
    bool dryRun = false;
    bool quiet = false;
    std::optional<std::string> json;    // a file, or "-" for standard output
    std::optional<std::string> job;     // the job file the other options were read from
    std::optional<std::string> keytab;  // a client keytab for Windows Authentication
    bool help = false;
    bool version = false;
};

// Applies one option by its long name (without "--"); `value` is given for
// the options that take one. A flag (dry-run, quiet) is set without a value,
// or by true/false or yes/no. Throws UsageError.
void ApplyOption(PurgeOptions& options, std::string_view name, const std::optional<std::string>& value);
// Whether the option takes a value; throws UsageError for an unknown name.
bool TakesValue(std::string_view name);
// Whether quellmark-purge has an option of this name.
bool IsOption(std::string_view name);
// Whether the option is a flag, set by its name alone on the command line.
bool IsFlag(std::string_view name);
// Whether a job file may give the option (job, help and version it may not).
bool AllowedInJobFile(std::string_view name);
// Whether the option names a file (read relative to a job file's folder).
bool NamesFile(std::string_view name);

// Reads the command line (without the program name): "--name value" and
// "--name=value". With --job FILE the job file's options come first and the
// command line's replace them; a statement given on the command line replaces
// the job's statement or statement file. Throws UsageError, also when no
// statement or two are given.
PurgeOptions ParseCommandLine(const std::vector<std::string>& args);

// The longest duration any option takes.
inline constexpr std::chrono::milliseconds kMaxDuration = std::chrono::hours(24 * 100);

// Reads a job file (`name = value` lines with the long option
// names, `#` comments) into options (with `job` set to `file`). Throws
// UsageError naming the file and the line: an unknown key, a line that is
// not `name = value`, a key given twice, a bad value. A file that others
// than its owner (root or the user running this) can write, by its mode bits
// or an ACL entry, or that lies below a folder others can write (but for a
// sticky one such as /tmp), is refused: it chooses which rows are deleted.
// For a link, the folders of both the link and the file it names count.
PurgeOptions ReadJobFile(const std::string& file);

// The pause between chunks: --pause-ms when it was given, or when every chunk
// is n rows; with chunks sized by time, a quarter of the chunk time (at most
// the default), so that a run of short chunks does not spend a third of its
// time pausing. The monitoring system's writes go on as each chunk ends.
std::int32_t PauseBetweenChunksMs(const PurgeOptions& options);

// The value of a duration option (`option`, its long name, names it in the
// messages): "500ms", "90s", "45m", "2h", a whole number from 1 and a unit;
// a number alone counts in `bareUnit`, and without one it is refused.
// Throws UsageError, also for anything over kMaxDuration.
std::chrono::milliseconds ParseDuration(std::string_view text, std::string_view option,
                                        std::optional<std::chrono::milliseconds> bareUnit = std::nullopt);
// "HH:MM" (00:00 to 23:59) as minutes after midnight. Throws UsageError.
int ParseClockTime(std::string_view text);
// The first moment after `now` at which the local wall clock reads the
// minute given: on the night the clocks go back, the first of the two; on
// the night they skip it, the moment they jump past it.
std::chrono::system_clock::time_point NextLocalTime(int minuteOfDay, std::chrono::system_clock::time_point now);

// The settings file the window reads: Sarnwick.mdb in lib/quellmark beside
// the bin folder that holds this program (/usr/lib/quellmark/Sarnwick.mdb
// for /usr/bin/quellmark-purge).
std::string DefaultSettingsFile();

// Every exit status of quellmark-purge, lowest first.
using base::ExitStatus;
std::span<const ExitStatus> ExitStatuses();

// The text of --help: the options with their defaults, the exit statuses.
extern const std::string kUsage;

}  // namespace quellmark::purge_tool
