// quellmark-purge's options and reports without a server: durations, the
// next local HH:MM, the JSON text, the exit status of each way a run ends.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

#include "harness/man_page.h"
#include "harness/scoped_env.h"
#include "purge/purge_options.h"
#include "purge/purge_report.h"

using namespace quellmark;
using namespace quellmark::ops;
namespace unattended = quellmark::ops::unattended;
using namespace quellmark::purge_tool;
using namespace std::chrono_literals;

namespace {

// TZ for the life of the object, read again by the C library as it comes and goes.
class ScopedZone {
public:
    explicit ScopedZone(const char* zone) : env_(std::in_place, "TZ", zone) { ::tzset(); }
    ~ScopedZone() {
        env_.reset();
        ::tzset();
    }

private:
    std::optional<test::ScopedEnv> env_;
};

TEST(PurgeOptions, DurationsAndClockTimes) {
    for (const auto& [text, value] : std::vector<std::pair<std::string, std::chrono::milliseconds>>{
             {"500ms", 500ms}, {"90s", 90s}, {"45m", 45min}, {"2h", 2h}, {"2400h", 2400h}, {"8640000000ms", 2400h}})
        EXPECT_EQ(ParseDuration(text, "max-runtime"), value) << text;
    EXPECT_EQ(ParseDuration("250", "max-log-wait", 1ms), 250ms);  // a number alone, where the option has a unit
    for (const char* bad : {"", "s", "0s", "10", "1.5h", "-5m", "5d", "1h30m", " 5m", "9999999999h", "ms", "2401h",
                            "8640000001ms", "5000000h", "2562048h", "99999999999999999999999999s"})
        EXPECT_THROW(ParseDuration(bad, "max-runtime"), UsageError) << bad;
    EXPECT_EQ(ParseClockTime("00:00"), 0);
    EXPECT_EQ(ParseClockTime("23:59"), 23 * 60 + 59);
    for (const char* bad : {"24:00", "12:60", "7:30", "07:3", "07-30", "0730", "07:30 "})
        EXPECT_THROW(ParseClockTime(bad), UsageError) << bad;
}

TEST(PurgeOptions, ChunkTimes) {
    for (const auto& [text, ms] : {std::pair{"500ms", 500}, {"0", 0}, {"2s", 2000}, {"1m", 60000}})
        EXPECT_EQ(ParseCommandLine({"--statement", "x", "--chunk-time", text}).chunkTime.count(), ms) << text;
    for (const char* bad : {"0ms", "ms", "500", "1.5s", "-5ms", "5 ms", "9999999999ms"})
        EXPECT_THROW(ParseCommandLine({"--statement", "x", "--chunk-time", bad}), UsageError) << bad;
    // The pause: a quarter of the chunk time, unless given or chunks are fixed.
    for (const auto& [args, ms] :
         std::vector<std::pair<std::vector<std::string>, int>>{{{}, 125},
                                                               {{"--chunk-time", "400ms"}, 100},
                                                               {{"--chunk-time", "1h"}, 200},
                                                               {{"--chunk-time", "0"}, 200},
                                                               {{"--pause-ms", "300"}, 300}}) {
        std::vector<std::string> line{"--statement", "x"};
        line.insert(line.end(), args.begin(), args.end());
        EXPECT_EQ(PauseBetweenChunksMs(ParseCommandLine(line)), ms) << line.back();
    }
}

TEST(PurgeOptions, UntilIsTheNextSuchMomentInLocalTime) {
    const ScopedZone zone("Europe/Berlin");
    std::tm at{};
    at.tm_year = 2026 - 1900;
    at.tm_mon = 2;  // 29 March 2026: clocks go from 02:00 to 03:00
    at.tm_mday = 28;
    at.tm_hour = 22;
    at.tm_isdst = -1;
    const auto evening = std::chrono::system_clock::from_time_t(std::mktime(&at));
    // 05:30 the next morning is 6 h 30 min away, one of them skipped.
    EXPECT_EQ(NextLocalTime(5 * 60 + 30, evening) - evening, 6h + 30min);
    // 23:00 the same evening; 22:00 is now, so the next one is a day later (23 h, the hour skipped).
    EXPECT_EQ(NextLocalTime(23 * 60, evening) - evening, 1h);
    EXPECT_EQ(NextLocalTime(22 * 60, evening) - evening, 23h);
}

std::chrono::system_clock::time_point Utc(int year, int month, int day, int hour, int minute) {
    std::tm at{};
    at.tm_year = year - 1900;
    at.tm_mon = month - 1;
    at.tm_mday = day;
    at.tm_hour = hour;
    at.tm_min = minute;
    return std::chrono::system_clock::from_time_t(::timegm(&at));
}

// The first moment the clock reads HH:MM, the nights the clocks change included.
TEST(PurgeOptions, UntilIsTheFirstMomentTheClockReadsIt) {
    const ScopedZone zone("Europe/Berlin");
    const struct {
        const char* what;
        std::chrono::system_clock::time_point now;
        int until;
        std::chrono::system_clock::time_point expected;
    } cases[] = {
        {"back: 02:30 CEST, not CET", Utc(2027, 10, 30, 22, 30), 150, Utc(2027, 10, 31, 0, 30)},
        {"back, between the two", Utc(2027, 10, 31, 0, 45), 150, Utc(2027, 10, 31, 1, 30)},
        {"forward: skipped, 03:00 CEST", Utc(2027, 3, 27, 23, 30), 150, Utc(2027, 3, 28, 1, 0)},
        {"forward, past the jump", Utc(2027, 3, 28, 1, 10), 150, Utc(2027, 3, 29, 0, 30)},
        {"an ordinary night", Utc(2027, 6, 15, 20, 0), 330, Utc(2027, 6, 16, 3, 30)},
        {"earlier than now: tomorrow", Utc(2027, 1, 10, 11, 0), 480, Utc(2027, 1, 11, 7, 0)},
    };
    for (const auto& c : cases) EXPECT_EQ(NextLocalTime(c.until, c.now), c.expected) << c.what;
}

TEST(PurgeOptions, CommandLine) {
    const PurgeOptions o = ParseCommandLine({"--statement", "x", "--pause-ms=0", "--retries", "3", "--until", "05:30",
                                             "--max-runtime=2h", "--dry-run", "--json", "-", "--quiet"});
    EXPECT_EQ(o.statement, "x");
    EXPECT_EQ(o.pauseMs, 0);
    EXPECT_EQ(o.retries, 3);
    EXPECT_EQ(o.untilMinute, 330);
    EXPECT_EQ(o.maxRuntime, 2h);
    EXPECT_TRUE(o.dryRun && o.quiet);
    EXPECT_EQ(o.json, "-");
    EXPECT_EQ(ParseCommandLine({"--statement", "x"}).lockTimeoutMs, 5000);
    EXPECT_EQ(ParseCommandLine({"--statement", "x"}).pauseMs, 200);
    EXPECT_EQ(ParseCommandLine({"--statement", "x"}).retries, 5);
    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"--statement"},
                                               {"--statement", "x", "--dry-run=maybe"},
                                               {"--statement", "x", "--help=yes"},
                                               {"--statement", "x", "extra"},
                                               {"--statement", "x", "--lock-timeout-ms", "1e3"},
                                               {"--statement", "x", "--json="},
                                               {"--password=p"}})
        EXPECT_THROW(ParseCommandLine(bad), UsageError) << bad.back();
}

TEST(PurgeOptions, HelpAndManualPageGiveTheSameExitStatusesAndOptions) {
    const test::ManualPage page =
        test::ReadManualPage(std::filesystem::path(QUELLMARK_SOURCE_DIR) / "docs/man/quellmark-purge.1.in");
    std::vector<std::pair<int, std::string>> help;
    for (const ExitStatus& status : ExitStatuses()) help.emplace_back(status.status, std::string(status.meaning));
    EXPECT_EQ(page.exitStatuses, help);
    EXPECT_EQ(page.options, test::HelpOptions(kUsage));
    EXPECT_NE(kUsage.find("--lock-timeout-ms N     how long a statement waits for a lock (default 5000)"),
              std::string::npos);
}

unattended::PurgeResult Ended(unattended::StopReason reason, std::optional<std::int64_t> left) {
    unattended::PurgeResult r;
    r.stopReason = reason;
    r.rowsLeft = left;
    return r;
}

TEST(PurgeReport, ExitStatusOfEachEnd) {
    using unattended::StopReason;
    RunRecord record;
    const auto code = [&](unattended::PurgeResult result, bool dryRun = false) {
        record.result = std::move(result);
        record.dryRun = dryRun;
        return ExitCodeOf(record);
    };
    EXPECT_EQ(code(Ended(StopReason::Done, 0)), 0);
    EXPECT_EQ(code(Ended(StopReason::Done, 12)), 75);  // matching rows arrived meanwhile
    EXPECT_EQ(code(Ended(StopReason::Done, 2000), true), 0);
    EXPECT_EQ(code(Ended(StopReason::MaxRuntime, 300)), 75);
    EXPECT_EQ(code(Ended(StopReason::MaxRuntime, 0)), 0);
    EXPECT_EQ(code(Ended(StopReason::Until, 1)), 75);
    EXPECT_EQ(code(Ended(StopReason::Signal, std::nullopt)), 75);
    EXPECT_EQ(code(Ended(StopReason::RetriesExhausted, std::nullopt)), 75);
    unattended::PurgeResult locked = Ended(StopReason::LockHeld, std::nullopt);  // not run; the holder in `failure`
    locked.failure = Failure(FailureCause::Rejected, "The log ... is locked by process 7 ...");
    EXPECT_EQ(code(locked), 75);
    for (const auto& [cause, status] : {std::pair{FailureCause::Settings, 78},
                                        {FailureCause::Login, 69},
                                        {FailureCause::Trust, 69},
                                        {FailureCause::ConnectionLost, 69},
                                        {FailureCause::Rejected, 65},
                                        {FailureCause::LockConflict, 65},
                                        {FailureCause::Internal, 70}}) {
        unattended::PurgeResult failed = Ended(StopReason::Failed, std::nullopt);
        failed.failure = Failure(cause, "x", 1);
        EXPECT_EQ(code(failed), status);
    }
    // A summary that could not be written: 74, but for a run that failed otherwise.
    for (const auto& [run, withoutJson] : {std::pair{0, 74}, {75, 74}, {69, 69}})
        EXPECT_EQ(ExitCodeWithoutJson(run), withoutJson);
}

TEST(PurgeReport, JsonEscapesWhatTheStatementHolds) {
    RunRecord record;
    record.statement = "DELETE TOP (5) FROM ATR_Log WHERE message = 'a \"b\" \\ c\tä'\x01\xff";
    record.chunkSize = 5;
    record.result = Ended(unattended::StopReason::Failed, std::nullopt);
    record.result.failure = Failure(FailureCause::Rejected, "Invalid column name 'x'.", 207);
    const std::string json = JsonSummary(record);
    EXPECT_NE(json.find(R"("statement":"DELETE TOP (5) FROM ATR_Log WHERE message = 'a \"b\" \\ c\tä'\u0001\ufffd")"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find(R"("server":null,"database":null)"), std::string::npos) << json;
    EXPECT_NE(json.find(R"("rows_left":null)"), std::string::npos) << json;
    EXPECT_NE(json.find(R"("stop_reason":"failed","error":"Invalid column name 'x'.")"), std::string::npos) << json;
    EXPECT_NE(
        json.find(
            R"("chunk_ms_median":null,"chunk_ms_p95":null,"chunk_rows_min":null,"chunk_rows_median":null,"chunk_rows_max":null})"),
        std::string::npos)
        << json;
    EXPECT_EQ(json.back(), '\n');
    EXPECT_EQ(json.find('\n'), json.size() - 1);
}

TEST(PurgeReport, ProgressText) {
    unattended::PurgeFigures f;
    f.rowsAtStart = 200000;
    f.rowsDeleted = 15000;
    f.rowsPerSecond = 24812.4;
    f.elapsed = 6s + 400ms;
    f.estimateLeft = 3726s;
    EXPECT_EQ(ProgressText(f), "deleted 15000 of 200000 rows (8%), 24812 rows/s, 0:00:06 elapsed, about 1:02:06 left");
    f.rowsPerSecond.reset();
    f.estimateLeft.reset();
    f.rowsDeleted = 0;
    EXPECT_EQ(ProgressText(f), "deleted 0 of 200000 rows (0%), - rows/s, 0:00:06 elapsed");
}

}  // namespace

namespace {

// What a printer wrote into a temporary file.
std::string Printed(bool terminal, bool quiet, std::chrono::steady_clock::duration interval) {
    std::FILE* out = std::tmpfile();
    ProgressPrinter printer(out, terminal, quiet, interval);
    unattended::PurgeFigures f;
    f.rowsAtStart = 300;
    printer.Counted(f);
    for (int chunk = 1; chunk <= 3; ++chunk) {
        f.rowsDeleted = chunk * 100;
        printer.ChunkDeleted(f);
    }
    printer.Retrying(Failure(FailureCause::LockConflict, "Lock request time out period exceeded.", 1222), 1500ms, 1);
    printer.Finish();
    std::rewind(out);
    std::string text;
    for (int c; (c = std::fgetc(out)) != EOF;) text.push_back(static_cast<char>(c));
    std::fclose(out);
    return text;
}

TEST(PurgeReport, ProgressLinesOnATerminalAndOff) {
    const std::string onTerminal = Printed(true, false, 10s);
    EXPECT_EQ(onTerminal.find("\rdeleted 0 of 300 rows (0%), - rows/s, 0:00:00 elapsed\x1b[K"), 0u) << onTerminal;
    EXPECT_NE(onTerminal.find("\rdeleted 300 of 300 rows (100%), - rows/s, 0:00:00 elapsed\x1b[K\n"
                              "quellmark-purge: Lock request time out period exceeded. (Msg 1222); sending it again "
                              "in 1.5 s (retry 1)\n"),
              std::string::npos)
        << onTerminal;
    // Off a terminal: whole lines, at most one per interval.
    EXPECT_EQ(
        Printed(false, false, 0s),
        "deleted 100 of 300 rows (33%), - rows/s, 0:00:00 elapsed\n"
        "deleted 200 of 300 rows (67%), - rows/s, 0:00:00 elapsed\n"
        "deleted 300 of 300 rows (100%), - rows/s, 0:00:00 elapsed\n"
        "quellmark-purge: Lock request time out period exceeded. (Msg 1222); sending it again in 1.5 s (retry 1)\n");
    EXPECT_EQ(
        Printed(false, false, 10s),
        "quellmark-purge: Lock request time out period exceeded. (Msg 1222); sending it again in 1.5 s (retry 1)\n");
    EXPECT_EQ(Printed(true, true, 0s), "");
}

}  // namespace
