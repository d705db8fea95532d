// The fault soak's runs and its verdicts, as plain functions of what a run
// was and what it left behind, apart from the programs that carry it out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quellmark::soak {

enum class FrontEnd { Window, Purge };

// One run of the soak, drawn from the soak's seed and the run's number.
struct RunSpec {
    int run = 0;
    std::uint64_t runSeed = 0;
    FrontEnd frontEnd = FrontEnd::Window;
    bool countOnly = false;       // the window's Count Records instead of Delete All Records
    std::int64_t rows = 0;        // seeded rows
    std::uint64_t dataSeed = 0;   // the server's --seed
    std::uint64_t proxySeed = 0;  // the fault proxy's --seed
    std::string templateName;
    std::string statementTail;  // the statement after "DELETE TOP (": ") FROM ATR_Log WHERE ..."
    std::string sqliteWhere;    // the same filter for the SQLite file
    int passes = 1;             // the chunk size is the matching rows / passes, rounded up
};

// Run `run` of a soak with `seed`; the front end alternates with "both".
enum class FrontEndChoice { Window, Purge, Both };
RunSpec PlanRun(std::uint64_t seed, int run, FrontEndChoice choice);

// The chunk size for `matching` rows deleted in `passes` passes (at least 1).
std::int64_t ChunkFor(std::int64_t matching, int passes);

// "DELETE TOP (<chunk>" + the tail.
std::string DeleteStatement(const RunSpec& spec, std::int64_t chunk);

// The counts a deletion run can leave behind or show: before, before - chunk,
// before - 2 chunks, ... down to 0 (every chunk deletes exactly chunk rows, or
// what is left).
bool TrueFigure(std::int64_t value, std::int64_t before, std::int64_t chunk);

struct Verdict {
    bool lost = false;    // a row outside the filter went
    bool wrong = false;   // a figure reported or shown was never true
    bool silent = false;  // a failure without its one message, or a success with one
    bool crash = false;   // an abnormal end
    std::vector<std::string> notes;
};

// What the window showed and left behind.
struct WindowObservation {
    bool countOnly = false;
    std::int64_t chunk = 1;
    std::int64_t before = 0;  // matching rows before the run
    std::int64_t after = 0;   // matching rows after it
    bool outsideUnchanged = true;
    std::vector<std::string> countShown;    // txtCount's texts, in the order set
    std::vector<std::string> recLeftShown;  // txtRecLeft's texts, in the order set
    std::vector<std::string> messages;
};
Verdict CheckWindow(const WindowObservation& o);

// What quellmark-purge reported and left behind.
struct PurgeObservation {
    int exitCode = 0;  // 128 + n when ended by signal n
    std::string errorText;
    std::optional<std::int64_t> rowsDeleted;  // from its JSON summary
    std::optional<std::int64_t> rowsLeft;
    std::int64_t rowsInDoubt = 0;  // a chunk it could not tell the outcome of
    std::int64_t chunk = 1;
    std::int64_t before = 0;
    std::int64_t after = 0;
    bool outsideUnchanged = true;
};
Verdict CheckPurge(const PurgeObservation& o);

// A number field of a one-line JSON object ("rows_deleted"); nullopt when it
// is missing or null.
std::optional<std::int64_t> JsonNumber(const std::string& json, const std::string& name);

}  // namespace quellmark::soak
