#include "purge/purge_options.h"

#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <limits>
#include <system_error>

#include "base/text.h"
#include "ops/settings_file.h"
#include "purge/job_file.h"

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

// A duration as ParseDuration reads it, its message naming `option`.
std::chrono::seconds DurationOf(std::string_view option, std::string_view text) {
    try {
        return ParseDuration(text);
    } catch (const UsageError&) {
        throw UsageError("--" + std::string(option) +
                         " needs a whole number and a unit, such as 90s, 45m or 2h, not \"" + std::string(text) +
                         "\".");
    }
}

// "0", "750ms", or a duration as ParseDuration reads it.
std::chrono::milliseconds ChunkTime(std::string_view text) {
    const auto fail = [&]() -> std::chrono::milliseconds {
        throw UsageError("--chunk-time needs 0 or a whole number and a unit, such as 500ms, 2s or 1m, not \"" +
                         std::string(text) + "\".");
    };
    if (text == "0") return std::chrono::milliseconds(0);
    if (!text.ends_with("ms")) {
        try {
            return ParseDuration(text);
        } catch (const UsageError&) {
            return fail();
        }
    }
    const std::string_view digits = text.substr(0, text.size() - 2);
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string_view::npos)
        return fail();
    const std::chrono::milliseconds time(std::stoll(std::string(digits)));
    return time.count() > 0 ? time : fail();
}

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
    "                          DURATION (90s, 45m, 2h)\n"
    "  --until HH:MM           stop after the chunk under way at the next HH:MM, local time\n"
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
    "SIGINT cancels that statement on the server.\n"
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
        options.maxRuntime = ParseDuration(*value);
    } else if (name == "until") {
        options.untilMinute = ParseClockTime(*value);
    } else if (name == "chunk-time") {
        options.chunkTime = ChunkTime(*value);
    } else if (name == "allow-table-lock") {
        options.allowTableLock = Flag(name, value);
    } else if (name == "max-log-used") {
        options.maxLogUsedPercent = static_cast<int>(WholeNumber(name, *value, 0, 100));
    } else if (name == "max-log-wait") {
        options.maxLogWait = DurationOf(name, *value);
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

std::chrono::seconds ParseDuration(std::string_view text) {
    const auto fail = [&]() -> std::chrono::seconds {
        throw UsageError("--max-runtime needs a whole number and a unit, such as 90s, 45m or 2h, not \"" +
                         std::string(text) + "\".");
    };
    if (text.size() < 2) return fail();
    const char unit = text.back();
    const std::int64_t factor = unit == 's' ? 1 : unit == 'm' ? 60 : unit == 'h' ? 3600 : 0;
    if (factor == 0) return fail();
    const std::string_view digits = text.substr(0, text.size() - 1);
    if (digits.empty() || digits.size() > 9) return fail();
    std::int64_t number = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return fail();
        number = number * 10 + (c - '0');
    }
    if (number < 1) return fail();
    return std::chrono::seconds(number * factor);
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
    std::tm local{};
    ::localtime_r(&nowT, &local);
    for (int day = 0; day <= 2; ++day) {
        std::tm at = local;
        at.tm_mday += day;
        at.tm_hour = minuteOfDay / 60;
        at.tm_min = minuteOfDay % 60;
        at.tm_sec = 0;
        at.tm_isdst = -1;  // whatever applies on that day
        const std::time_t t = std::mktime(&at);
        if (t != static_cast<std::time_t>(-1) && std::chrono::system_clock::from_time_t(t) > now)
            return std::chrono::system_clock::from_time_t(t);
    }
    return now + std::chrono::hours(24);
}

std::string DefaultSettingsFile() {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    const std::filesystem::path bin = error ? std::filesystem::path(".") : self.parent_path();
    return (bin / ".." / "lib" / "quellmark" / std::string(modGeneral::kSettingsFileName)).lexically_normal().string();
}

}  // namespace quellmark::purge_tool
