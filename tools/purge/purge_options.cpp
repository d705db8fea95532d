#include "purge/purge_options.h"

#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <limits>
#include <map>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/text.h"
#include "ops/settings_file.h"
#include "purge/purge_report.h"
#include "purge/run_file.h"

namespace quellmark::purge_tool {
namespace {

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

// How an option sets its member of PurgeOptions from its value (given for
// the options that take one).
using Apply = void (*)(PurgeOptions&, std::string_view name, const std::optional<std::string>& value);

template <auto member>
void SetText(PurgeOptions& options, std::string_view, const std::optional<std::string>& value) {
    options.*member = *value;
}
template <auto member>
void SetFile(PurgeOptions& options, std::string_view name, const std::optional<std::string>& value) {
    if (value->empty()) throw UsageError("--" + std::string(name) + " needs a file.");
    options.*member = *value;
}
template <auto member, std::int64_t min, std::int64_t max>
void SetNumber(PurgeOptions& options, std::string_view name, const std::optional<std::string>& value) {
    options.*member =
        static_cast<std::remove_reference_t<decltype(options.*member)>>(WholeNumber(name, *value, min, max));
}
template <auto member>
void SetDuration(PurgeOptions& options, std::string_view name, const std::optional<std::string>& value) {
    options.*member = ParseDuration(*value, name);
}
template <auto member>
void SetFlag(PurgeOptions& options, std::string_view name, const std::optional<std::string>& value) {
    options.*member = Flag(name, value);
}
template <auto member>
void SetTrue(PurgeOptions& options, std::string_view, const std::optional<std::string>&) {
    options.*member = true;
}

// The default an option's help line shows, read from PurgeOptions{}.
using Shown = std::string (*)(const PurgeOptions&);

template <auto member>
std::string ShowNumber(const PurgeOptions& options) {
    return std::to_string(options.*member);
}
template <auto member>
std::string ShowDuration(const PurgeOptions& options) {
    const std::chrono::milliseconds duration = options.*member;
    for (const auto& [unit, name] : {std::pair<std::chrono::milliseconds, const char*>{std::chrono::hours(1), "h"},
                                     {std::chrono::minutes(1), "m"},
                                     {std::chrono::seconds(1), "s"}})
        if (duration.count() != 0 && duration % unit == std::chrono::milliseconds(0))
            return std::to_string(duration / unit) + name;
    return std::to_string(duration.count()) + "ms";
}

enum class Kind {
    Value,        // --name VALUE
    File,         // --name FILE: relative to a job file's folder when given there
    Flag,         // --name, or name = true/false/yes/no in a job file
    CommandOnly,  // --name [VALUE] on the command line only
};

struct Option {
    std::string_view name;
    Kind kind;
    std::string_view value;  // what --help calls its value; empty: it takes none
    Apply apply;
    // The help line; a line break goes on below the first line, and {}
    // stands for the default. Without one, the option is listed on the
    // last line with the others that have none.
    std::string_view help;
    Shown shownDefault = nullptr;
};

using O = PurgeOptions;

// The options of quellmark-purge, in the order --help lists them: the
// command line, the job file's keys and --help are read from here.
constexpr Option kOptions[] = {
    {"statement", Kind::Value, "TEXT", SetText<&O::statement>, "the delete statement, in the window's form"},
    {"statement-file", Kind::File, "FILE", SetText<&O::statementFile>, "read the statement from FILE"},
    {"settings", Kind::File, "FILE", SetFile<&O::settingsFile>,
     "the settings file (default: the Sarnwick.mdb the window reads)"},
    {"job", Kind::CommandOnly, "FILE", SetFile<&O::job>,
     "read options from FILE, `name = value` lines of the long\n"
     "names below (dry-run = yes); the command line overrides them"},
    {"keytab", Kind::File, "FILE", SetFile<&O::keytab>,
     "Windows Authentication without kinit: the Kerberos ticket\n"
     "comes from this client keytab, into a ticket cache of the run"},
    {"dry-run", Kind::Flag, "", SetFlag<&O::dryRun>, "count the matching rows and the chunks; delete nothing"},
    {"lock-timeout-ms", Kind::Value, "N", SetNumber<&O::lockTimeoutMs, 0, 86'400'000>,
     "how long a statement waits for a lock (default {})", ShowNumber<&O::lockTimeoutMs>},
    {"pause-ms", Kind::Value, "N",
     [](O& options, std::string_view name, const std::optional<std::string>& value) {
         SetNumber<&O::pauseMs, 0, 3'600'000>(options, name, value);
         options.pauseGiven = true;
     },
     "the pause between chunks (default {}; with chunks sized by\n"
     "time, a quarter of --chunk-time)",
     ShowNumber<&O::pauseMs>},
    {"retries", Kind::Value, "N", SetNumber<&O::retries, 0, 1000>,
     "resend a chunk that lost a deadlock or a lock wait up to N\n"
     "times in a row, after 1 to 3 s (default {})",
     ShowNumber<&O::retries>},
    {"max-runtime", Kind::Value, "DURATION", SetDuration<&O::maxRuntime>,
     "stop after the chunk under way once the run has taken\n"
     "DURATION (500ms, 90s, 45m, 2h; at most 100 days)"},
    {"until", Kind::Value, "HH:MM",
     [](O& options, std::string_view, const std::optional<std::string>& value) {
         options.untilMinute = ParseClockTime(*value);
     },
     "stop after the chunk under way when the clock next reads\n"
     "HH:MM, local time (on a night that skips it: when it jumps past)"},
    {"chunk-time", Kind::Value, "DURATION",
     [](O& options, std::string_view name, const std::optional<std::string>& value) {
         options.chunkTime = *value == "0" ? std::chrono::milliseconds(0) : ParseDuration(*value, name);
     },
     "size each chunk to take about DURATION (500ms, 2s; default\n"
     "{}), up to the statement's n; 0: every chunk n rows",
     ShowDuration<&O::chunkTime>},
    {"allow-table-lock", Kind::Flag, "", SetFlag<&O::allowTableLock>,
     "let a chunk go above 4000 rows, where SQL Server may lock the\n"
     "whole of ATR_Log and the monitoring system's inserts wait"},
    {"max-log-used", Kind::Value, "PERCENT", SetNumber<&O::maxLogUsedPercent, 0, 100>,
     "before each chunk, wait while the transaction log is at least\n"
     "PERCENT full (default {}; 0: not watched)",
     ShowNumber<&O::maxLogUsedPercent>},
    {"max-log-wait", Kind::Value, "DURATION", SetDuration<&O::maxLogWait>,
     "stop (75, log-full) when the log stayed full that long\n"
     "(default {})",
     ShowDuration<&O::maxLogWait>},
    {"metrics", Kind::File, "FILE", SetFile<&O::metrics>,
     "write the run's figures for Prometheus (node_exporter's\n"
     "textfile collector) to FILE, replaced at the end of every run"},
    {"json", Kind::File, "FILE",
     [](O& options, std::string_view, const std::optional<std::string>& value) {
         if (value->empty()) throw UsageError("--json needs a file, or - for standard output.");
         options.json = *value;
     },
     "write a summary as one JSON object to FILE (- for stdout)"},
    {"quiet", Kind::Flag, "", SetFlag<&O::quiet>, "no progress lines"},
    {"help", Kind::CommandOnly, "", SetTrue<&O::help>, ""},
    {"version", Kind::CommandOnly, "", SetTrue<&O::version>, ""},
};

const Option* Find(std::string_view name) {
    for (const Option& option : kOptions)
        if (option.name == name) return &option;
    return nullptr;
}

const Option& Spec(std::string_view name) {
    if (const Option* option = Find(name)) return *option;
    throw UsageError("unknown option --" + std::string(name) + ".");
}

constexpr ExitStatus kExitStatuses[] = {
    {exit_code::kDone, "Done: nothing is left to delete (or a dry run counted)."},
    {exit_code::kUsage, "A usage error, or a statement refused: not one DELETE TOP (n) FROM ATR_Log statement alone."},
    {exit_code::kRejected, "The server rejected the statement (a misspelt column, a syntax error)."},
    {exit_code::kUnavailable, "The server is unreachable, refused the login, or the connection was lost."},
    {exit_code::kInternal, "An internal error (an answer the run cannot read)."},
    {exit_code::kCantCreate, "The JSON file or the lock file cannot be written."},
    {exit_code::kIoError,
     "The run ended, but its JSON summary or its metrics file could not be written (a full disk, a device that "
     "refuses it); given in place of 0 or 75, a run that failed otherwise keeps its own status."},
    {exit_code::kStopped,
     "Stopped with rows left: by --max-runtime, --until, a signal, retries running out, or a transaction log that "
     "stayed full for --max-log-wait, or rows that match arrived while the run went on; or not run, because another "
     "run holds the log's lock; run it again later."},
    {exit_code::kSettings, "The settings file is missing or unusable, or the keytab cannot be read."},
};

std::string UsageText() {
    constexpr std::size_t kHelpColumn = 26;
    std::string text =
        "Usage: quellmark-purge [OPTIONS] --statement TEXT\n"
        "       quellmark-purge [OPTIONS] --statement-file FILE\n"
        "       quellmark-purge [OPTIONS] --job FILE\n"
        "\n"
        "Deletes the rows of ATR_Log that a `DELETE TOP (n) FROM ATR_Log WHERE ...` statement\n"
        "matches, n rows at a time, with the connection settings the Quellmark window reads.\n"
        "\n";
    std::string withoutHelp;
    for (const Option& option : kOptions) {
        const std::string shown =
            "--" + std::string(option.name) + (option.value.empty() ? "" : " ") + std::string(option.value);
        if (option.help.empty()) {
            withoutHelp += (withoutHelp.empty() ? "" : ", ") + shown;
            continue;
        }
        std::string help(option.help);
        if (const std::size_t at = help.find("{}"); at != std::string::npos)
            help.replace(at, 2, option.shownDefault(PurgeOptions{}));
        text += base::HelpEntry(shown, help, kHelpColumn);
    }
    text += "  " + withoutHelp +
            "\n"
            "\n"
            "SIGTERM, SIGINT and SIGHUP stop the run after the statement under way; a second\n"
            "SIGINT cancels that statement on the server. Before the first count they end the\n"
            "run at once, also during the login, deleting nothing.\n"
            "\n"
            "One run at a time per log: a run that finds another holding the log's lock (the\n"
            "lock file in /run/lock, or the server's application lock) ends with 75, lock-held.\n"
            "\n"
            "Exit status:\n" +
            base::ExitStatusLines(kExitStatuses);
    return text;
}

}  // namespace

std::span<const ExitStatus> ExitStatuses() { return kExitStatuses; }

const std::string kUsage = UsageText();

bool TakesValue(std::string_view name) { return !Spec(name).value.empty(); }
bool IsOption(std::string_view name) { return Find(name) != nullptr; }
bool IsFlag(std::string_view name) { return Spec(name).kind == Kind::Flag; }
bool AllowedInJobFile(std::string_view name) { return Spec(name).kind != Kind::CommandOnly; }
bool NamesFile(std::string_view name) { return Spec(name).kind == Kind::File; }

void ApplyOption(PurgeOptions& options, std::string_view name, const std::optional<std::string>& value) {
    const Option& option = Spec(name);
    if (!option.value.empty() && !value) throw UsageError("--" + std::string(name) + " needs a value.");
    if (option.value.empty() && value && option.kind != Kind::Flag)
        throw UsageError("--" + std::string(name) + " takes no value.");
    option.apply(options, name, value);
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
    return (bin / ".." / "lib" / "quellmark" / std::string(ops::kSettingsFileName)).lexically_normal().string();
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

std::int32_t PauseBetweenChunksMs(const PurgeOptions& options) {
    if (options.pauseGiven || options.chunkTime.count() == 0) return options.pauseMs;
    return static_cast<std::int32_t>(std::min<std::int64_t>(options.pauseMs, options.chunkTime.count() / 4));
}

}  // namespace quellmark::purge_tool
