#include "purge/purge_options.h"

#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <limits>
#include <map>
#include <system_error>
#include <utility>
#include <vector>

#include "base/text.h"
#include "ops/settings_file.h"
#include "purge/run_file.h"

namespace quellmark::purge_tool {
namespace {

enum class Kind {
    Value,        // --name TEXT
    File,         // --name FILE: relative to a job file's folder when given there
    Flag,         // --name, or name = true/false/yes/no in a job file
    CommandOnly,  // --name [VALUE] on the command line only
};

struct OptionSpec {
    std::string_view name;
    Kind kind;
    bool value;
};

constexpr OptionSpec kOptions[] = {
    {"statement", Kind::Value, true},
    {"statement-file", Kind::File, true},
    {"settings", Kind::File, true},
    {"lock-timeout-ms", Kind::Value, true},
    {"pause-ms", Kind::Value, true},
    {"retries", Kind::Value, true},
    {"max-runtime", Kind::Value, true},
    {"until", Kind::Value, true},
    {"dry-run", Kind::Flag, false},
    {"quiet", Kind::Flag, false},
    {"json", Kind::File, true},
    {"keytab", Kind::File, true},
    {"job", Kind::CommandOnly, true},
    {"help", Kind::CommandOnly, false},
    {"version", Kind::CommandOnly, false},
    {"chunk-time", Kind::Value, true},
    {"allow-table-lock", Kind::Flag, false},
    {"max-log-used", Kind::Value, true},
    {"max-log-wait", Kind::Value, true},
    {"metrics", Kind::File, true},
};

const OptionSpec& Spec(std::string_view name) {
    for (const OptionSpec& spec : kOptions)
        if (spec.name == name) return spec;
    throw UsageError("unknown option --" + std::string(name) + ".");
}

bool Flag(std::string_view name, const std::optional<std::string>& value) {
    if (!value) return true;
    for (const char* yes : {"true", "yes"})
        if (base::EqualsIgnoreCase(*value, yes)) return true;
    for (const char* no : {"false", "no"})
        if (base::EqualsIgnoreCase(*value, no)) return false;
    throw UsageError("--" + std::string(name) + " takes true or false (yes or no), not \"" + *value + "\".");
}

std::int64_t WholeNumber(std::string_view option, std::string_view text, std::int64_t min, std::int64_t max) {
    const auto fail = [&]() -> std::int64_t {
        throw UsageError("--" + std::string(option) + " needs a whole number from " + std::to_string(min) + " to " +
                         std::to_string(max) + ", not \"" + std::string(text) + "\".");
    };
    if (text.empty() || text.size() > 12) return fail();
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return fail();
        value = value * 10 + (c - '0');
    }
    if (value < min || value > max) return fail();
    return value;
}

constexpr std::time_t kDaySeconds = 24 * 60 * 60;

// What the local wall clock reads at `t`, counted in seconds as if it were UTC.
std::time_t WallReading(std::time_t t) {
    std::tm local{};
    ::localtime_r(&t, &local);
    return t + local.tm_gmtoff;
}

long OffsetAt(std::time_t t) { return static_cast<long>(WallReading(t) - t); }

}  // namespace

const char* const kUsage =
    "Usage: quellmark-purge [OPTIONS] --statement TEXT\n"
    "       quellmark-purge [OPTIONS] --statement-file FILE\n"
    "       quellmark-purge [OPTIONS] --job FILE\n"
    "\n"
    "Deletes the rows of ATR_Log that a `DELETE TOP (n) FROM ATR_Log WHERE ...` statement\n"
    "matches, n rows at a time, with the connection settings the Quellmark window reads.\n"
    "\n"
    "  --statement TEXT        the delete statement, in the window's form\n"
    "  --statement-file FILE   read the statement from FILE\n"
    "  --settings FILE         the settings file (default: the Sarnwick.mdb the window reads)\n"
    "  --job FILE              read options from FILE, `name = value` lines of the long\n"
    "                          names below (dry-run = yes); the command line overrides them\n"
    "  --keytab FILE           Windows Authentication without kinit: the Kerberos ticket\n"
    "                          comes from this client keytab, into a ticket cache of the run\n"
    "  --dry-run               count the matching rows and the chunks; delete nothing\n"
    "  --lock-timeout-ms N     how long a statement waits for a lock (default 5000)\n"
    "  --pause-ms N            the pause between chunks (default 200)\n"
    "  --retries N             resend a chunk that lost a deadlock or a lock wait up to N\n"
    "                          times in a row, after 1 to 3 s (default 5)\n"
    "  --max-runtime DURATION  stop after the chunk under way once the run has taken\n"
    "                          DURATION (500ms, 90s, 45m, 2h; at most 100 days)\n"
    "  --until HH:MM           stop after the chunk under way when the clock next reads\n"
    "                          HH:MM, local time (on a night that skips it: when it jumps past)\n"
    "  --chunk-time DURATION   size each chunk to take about DURATION (500ms, 2s; default\n"
    "                          500ms), up to the statement's n; 0: every chunk n rows\n"
    "  --allow-table-lock      let a chunk go above 4000 rows, where SQL Server may lock the\n"
    "                          whole of ATR_Log and the monitoring system's inserts wait\n"
    "  --max-log-used PERCENT  before each chunk, wait while the transaction log is at least\n"
    "                          PERCENT full (default 80; 0: not watched)\n"
    "  --max-log-wait DURATION stop (75, log-full) when the log stayed full that long\n"
    "                          (default 1h)\n"
    "  --metrics FILE          write the run's figures for Prometheus (node_exporter's\n"
    "                          textfile collector) to FILE, replaced at the end of every run\n"
    "  --json FILE             write a summary as one JSON object to FILE (- for stdout)\n"
    "  --quiet                 no progress lines\n"
    "  --help, --version\n"
    "\n"
    "SIGTERM, SIGINT and SIGHUP stop the run after the statement under way; a second\n"
    "SIGINT cancels that statement on the server. Before the first count they end the\n"
    "run at once, also during the login, deleting nothing.\n"
    "\n"
    "One run at a time per log: a run that finds another holding the log's lock (the\n"
    "lock file in /run/lock, or the server's application lock) ends with 75, lock-held.\n"
    "\n"
    "Exit status: 0 done, nothing left; 75 stopped with rows left, the log is locked, or\n"
    "the transaction log stayed full; 69 server unreachable, login refused or connection\n"
    "lost; 65 the server rejected the statement; 78 the settings file is unusable; 73 the\n"
    "JSON file or the lock file cannot be written; 74 the metrics file cannot be written;\n"
    "64 usage; 70 internal error.\n";

bool TakesValue(std::string_view name) { return Spec(name).value; }
bool IsOption(std::string_view name) {
    for (const OptionSpec& spec : kOptions)
        if (spec.name == name) return true;
    return false;
}
bool IsFlag(std::string_view name) { return Spec(name).kind == Kind::Flag; }
bool AllowedInJobFile(std::string_view name) { return Spec(name).kind != Kind::CommandOnly; }
bool NamesFile(std::string_view name) { return Spec(name).kind == Kind::File; }

void ApplyOption(PurgeOptions& options, std::string_view name, const std::optional<std::string>& value) {
    const OptionSpec& spec = Spec(name);
    if (spec.value && !value) throw UsageError("--" + std::string(name) + " needs a value.");
    if (!spec.value && value && spec.kind != Kind::Flag)
        throw UsageError("--" + std::string(name) + " takes no value.");
    if (name == "statement") {
        options.statement = *value;
    } else if (name == "statement-file") {
        options.statementFile = *value;
    } else if (name == "settings") {
        if (value->empty()) throw UsageError("--settings needs a file.");
        options.settingsFile = *value;
    } else if (name == "lock-timeout-ms") {
        options.lockTimeoutMs = static_cast<std::int32_t>(WholeNumber(name, *value, 0, 86'400'000));
    } else if (name == "pause-ms") {
        options.pauseMs = static_cast<std::int32_t>(WholeNumber(name, *value, 0, 3'600'000));
    } else if (name == "retries") {
        options.retries = static_cast<int>(WholeNumber(name, *value, 0, 1000));
    } else if (name == "max-runtime") {
        options.maxRuntime = ParseDuration(*value, name);
    } else if (name == "until") {
        options.untilMinute = ParseClockTime(*value);
    } else if (name == "chunk-time") {
        options.chunkTime = *value == "0" ? std::chrono::milliseconds(0) : ParseDuration(*value, name);
    } else if (name == "allow-table-lock") {
        options.allowTableLock = Flag(name, value);
    } else if (name == "max-log-used") {
        options.maxLogUsedPercent = static_cast<int>(WholeNumber(name, *value, 0, 100));
    } else if (name == "max-log-wait") {
        options.maxLogWait = ParseDuration(*value, name);
    } else if (name == "metrics") {
        if (value->empty()) throw UsageError("--metrics needs a file.");
        options.metrics = *value;
    } else if (name == "dry-run") {
        options.dryRun = Flag(name, value);
    } else if (name == "quiet") {
        options.quiet = Flag(name, value);
    } else if (name == "json") {
        if (value->empty()) throw UsageError("--json needs a file, or - for standard output.");
        options.json = *value;
    } else if (name == "keytab") {
        if (value->empty()) throw UsageError("--keytab needs a file.");
        options.keytab = *value;
    } else if (name == "job") {
        if (value->empty()) throw UsageError("--job needs a file.");
        options.job = *value;
    } else if (name == "help") {
        options.help = true;
    } else if (name == "version") {
        options.version = true;
    }
}

PurgeOptions ParseCommandLine(const std::vector<std::string>& args) {
    std::vector<std::pair<std::string, std::optional<std::string>>> given;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.rfind("--", 0) != 0 || arg.size() == 2)
            throw UsageError("unexpected argument \"" + arg + "\"; the statement goes after --statement.");
        const std::size_t equals = arg.find('=');
        std::string name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
        std::optional<std::string> value;
        if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
        } else if (TakesValue(name)) {
            if (i + 1 >= args.size()) throw UsageError("--" + name + " needs a value.");
            value = args[++i];
        }
        given.emplace_back(std::move(name), std::move(value));
    }

    // The job's options first, then the command line's over them; a
    // statement on the command line replaces the job's, whichever form each has.
    PurgeOptions options;
    PurgeOptions commandLine;
    bool statementGiven = false;
    for (const auto& [name, value] : given) {
        if (name == "job" && commandLine.job) throw UsageError("give --job once.");
        ApplyOption(commandLine, name, value);
        statementGiven = statementGiven || name == "statement" || name == "statement-file";
    }
    if (commandLine.help || commandLine.version) return commandLine;
    if (commandLine.job) {
        options = ReadJobFile(*commandLine.job);
        if (statementGiven) {
            options.statement.reset();
            options.statementFile.reset();
        }
    }
    for (const auto& [name, value] : given) ApplyOption(options, name, value);

    const std::string where = options.job ? " (the job file \"" + *options.job + "\" and the command line)" : "";
    if (options.statement && options.statementFile)
        throw UsageError("give the statement once: --statement or --statement-file, not both" + where + ".");
    if (!options.statement && !options.statementFile)
        throw UsageError("a statement is needed: --statement TEXT or --statement-file FILE" + where + ".");
    return options;
}

std::chrono::milliseconds ParseDuration(std::string_view text, std::string_view option,
                                        std::optional<std::chrono::milliseconds> bareUnit) {
    using std::chrono::milliseconds;
    const std::string shown = "--" + std::string(option);
    const auto fail = [&]() -> milliseconds {
        throw UsageError(shown + " needs a whole number and a unit, such as 500ms, 90s, 45m or 2h" +
                         (bareUnit ? std::string(", or a number alone") : std::string()) + ", not \"" +
                         std::string(text) + "\".");
    };
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    const std::string_view unitText = text.substr(digits);
    std::optional<milliseconds> unit;
    if (unitText.empty()) unit = bareUnit;
    for (const auto& [name, value] : {std::pair<std::string_view, milliseconds>{"ms", milliseconds(1)},
                                      {"s", std::chrono::seconds(1)},
                                      {"m", std::chrono::minutes(1)},
                                      {"h", std::chrono::hours(1)}})
        if (unitText == name) unit = value;
    if (digits == 0 || !unit) return fail();
    // The number is checked against the bound before it is multiplied, so
    // that no count of any length can overflow.
    const std::int64_t most = kMaxDuration / *unit;
    std::int64_t number = 0;
    for (char c : text.substr(0, digits)) {
        number = number * 10 + (c - '0');
        if (number > most) throw UsageError(shown + " is at most 100 days (2400h), not \"" + std::string(text) + "\".");
    }
    if (number < 1) return fail();
    return number * *unit;
}

int ParseClockTime(std::string_view text) {
    const auto digit = [&](std::size_t i) { return text[i] >= '0' && text[i] <= '9'; };
    if (text.size() != 5 || text[2] != ':' || !digit(0) || !digit(1) || !digit(3) || !digit(4))
        throw UsageError("--until needs a local time HH:MM, such as 05:30, not \"" + std::string(text) + "\".");
    const int hours = (text[0] - '0') * 10 + (text[1] - '0');
    const int minutes = (text[3] - '0') * 10 + (text[4] - '0');
    if (hours > 23 || minutes > 59)
        throw UsageError("--until needs a local time from 00:00 to 23:59, not \"" + std::string(text) + "\".");
    return hours * 60 + minutes;
}

std::chrono::system_clock::time_point NextLocalTime(int minuteOfDay, std::chrono::system_clock::time_point now) {
    const std::time_t nowT = std::chrono::system_clock::to_time_t(now);
    std::tm today{};
    ::localtime_r(&nowT, &today);
    for (int day = 0; day <= 2; ++day) {
        std::tm wanted{};
        wanted.tm_year = today.tm_year;
        wanted.tm_mon = today.tm_mon;
        wanted.tm_mday = today.tm_mday + day;
        wanted.tm_hour = minuteOfDay / 60;
        wanted.tm_min = minuteOfDay % 60;
        const std::time_t reading = ::timegm(&wanted);
        // The offsets from UTC a day before and a day after: the same, or
        // the two sides of a change of the clocks that night.
        const long early = OffsetAt(reading - kDaySeconds), late = OffsetAt(reading + kDaySeconds);
        std::vector<std::time_t> moments;  // when the clock reads the minute, earliest first
        for (const long offset : {std::max(early, late), std::min(early, late)})
            if (WallReading(reading - offset) == reading) moments.push_back(reading - offset);
        if (moments.empty() && early != late) {
            // Skipped: the first moment the clock reads past it, found
            // between the two readings of the wanted minute.
            std::time_t before = reading - std::max(early, late), after = reading - std::min(early, late);
            while (after - before > 1) {
                const std::time_t middle = before + (after - before) / 2;
                (WallReading(middle) >= reading ? after : before) = middle;
            }
            moments.push_back(after);
        }
        for (const std::time_t moment : moments)
            if (std::chrono::system_clock::from_time_t(moment) > now)
                return std::chrono::system_clock::from_time_t(moment);
    }
    return now + std::chrono::hours(24);
}

std::string DefaultSettingsFile() {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    const std::filesystem::path bin = error ? std::filesystem::path(".") : self.parent_path();
    return (bin / ".." / "lib" / "quellmark" / std::string(modGeneral::kSettingsFileName)).lexically_normal().string();
}

PurgeOptions ReadJobFile(const std::string& file) {
    const std::string text = ReadRunFile(file, "job file", true);
    const std::filesystem::path folder = std::filesystem::path(file).parent_path();
    PurgeOptions options;
    std::map<std::string, int, std::less<>> seen;  // key -> line
    int line = 0;
    for (std::size_t start = 0; start <= text.size();) {
        ++line;
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string_view raw(text.data() + start, end - start);
        start = end + 1;
        if (line == 1 && raw.substr(0, 3) == "\xEF\xBB\xBF") raw.remove_prefix(3);  // a UTF-8 byte order mark
        const std::string at = file + ":" + std::to_string(line) + ": ";
        const std::string_view content = base::TrimSpaces(raw);
        if (content.empty() || content.front() == '#') continue;
        if (content.find('\0') != std::string_view::npos) throw UsageError(at + "the line holds a NUL byte.");
        const std::size_t equals = content.find('=');
        const std::string_view name =
            equals == std::string_view::npos ? std::string_view{} : base::TrimSpaces(content.substr(0, equals));
        if (name.empty()) {
            const std::string shown =
                content.size() > 60 ? std::string(content.substr(0, 57)) + "..." : std::string(content);
            throw UsageError(at + "expected `name = value`, not \"" + shown + "\".");
        }
        std::string value(base::TrimSpaces(content.substr(equals + 1)));
        if (!IsOption(name))
            throw UsageError(at + "unknown key \"" + std::string(name) +
                             "\"; the keys are the long option names of quellmark-purge --help.");
        if (!AllowedInJobFile(name))
            throw UsageError(at + std::string(name) + " is given on the command line only, not in a job file.");
        if (const auto earlier = seen.find(name); earlier != seen.end())
            throw UsageError(at + std::string(name) + " is given again; line " + std::to_string(earlier->second) +
                             " gave it first.");
        seen.emplace(std::string(name), line);
        if (NamesFile(name) && !value.empty() && value != "-" && std::filesystem::path(value).is_relative())
            value = (folder / value).string();
        try {
            ApplyOption(options, name, value);
        } catch (const UsageError& e) {
            throw UsageError(at + e.what());
        }
    }
    options.job = file;
    return options;
}

}  // namespace quellmark::purge_tool
