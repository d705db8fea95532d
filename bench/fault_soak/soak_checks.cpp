#include "soak_checks.h"

#include <array>
#include <charconv>
#include <chrono>

#include "faultproxy/fault_plan.h"
#include "harness/template_filters.h"
#include "ui/templates.h"

namespace quellmark::soak {
namespace {

using faultproxy::SeededRandom;

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

std::chrono::system_clock::time_point PinnedNow() {
    using namespace std::chrono;
    // Noon UTC: the local date is 2025-12-20 in every time zone within 12 hours.
    return sys_days{year{2025} / December / 20} + hours{12};
}

std::optional<std::int64_t> Whole(const std::string& text) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

std::int64_t ChunkFor(std::int64_t matching, int passes) {
    if (matching <= 0 || passes <= 0) return 100;
    return (matching + passes - 1) / passes;
}

RunSpec PlanRun(std::uint64_t seed, int run, FrontEndChoice choice) {
    RunSpec spec;
    spec.run = run;
    spec.runSeed = faultproxy::MixSeed(seed, static_cast<std::uint64_t>(run));
    SeededRandom random(spec.runSeed);
    spec.frontEnd = choice == FrontEndChoice::Window  ? FrontEnd::Window
                    : choice == FrontEndChoice::Purge ? FrontEnd::Purge
                    : run % 2 == 0                    ? FrontEnd::Window
                                                      : FrontEnd::Purge;
    spec.countOnly = spec.frontEnd == FrontEnd::Window && random.Between(0, 3) == 0;
    spec.rows = random.Between(800, 2000);
    spec.dataSeed = static_cast<std::uint64_t>(random.Between(1, 1'000'000));
    spec.proxySeed = random.Next();
    const test::TemplateFilter& t =
        test::kTemplateFilters[static_cast<std::size_t>(random.Between(0, test::kTemplateFilters.size() - 1))];
    spec.templateName = t.name;
    const std::string statement = *ui::ComposeDeleteStatement(t.name, "", PinnedNow());
    spec.statementTail = statement.substr(std::string("DELETE TOP (").size());
    spec.sqliteWhere = t.sqliteWhere;
    // Other filter values than the template's: another priority, another device.
    static constexpr std::array<int, 4> kPriorities = {7, 7, 6, 5};
    const int priority = kPriorities[static_cast<std::size_t>(random.Between(0, kPriorities.size() - 1))];
    ReplaceAll(spec.statementTail, "priority = '7'", "priority = '" + std::to_string(priority) + "'");
    ReplaceAll(spec.sqliteWhere, "priority = 7", "priority = " + std::to_string(priority));
    const std::string device = "switch-0" + std::to_string(random.Between(1, 3));
    ReplaceAll(spec.statementTail, "'switch-01'", "'" + device + "'");
    ReplaceAll(spec.sqliteWhere, "'switch-01'", "'" + device + "'");
    spec.passes = static_cast<int>(random.Between(1, 4));
    return spec;
}

std::string DeleteStatement(const RunSpec& spec, std::int64_t chunk) {
    return "DELETE TOP (" + std::to_string(chunk) + spec.statementTail;
}

bool TrueFigure(std::int64_t value, std::int64_t before, std::int64_t chunk) {
    if (value < 0 || value > before || chunk <= 0) return false;
    return value == 0 || (before - value) % chunk == 0;
}

Verdict CheckWindow(const WindowObservation& o) {
    Verdict v;
    const auto note = [&v](bool& flag, const std::string& text) {
        flag = true;
        v.notes.push_back(text);
    };
    if (!o.outsideUnchanged) note(v.lost, "rows outside the filter changed");
    const bool failed = !o.messages.empty();
    if (o.messages.size() > 1) note(v.silent, std::to_string(o.messages.size()) + " messages for one operation");

    if (o.countOnly) {
        if (o.after != o.before) note(v.wrong, "Count Records changed the rows it counted");
        for (const std::string& shown : o.countShown) {
            if (Whole(shown) != o.before)
                note(v.wrong, "Count showed " + shown + ", the rows were " + std::to_string(o.before));
        }
        if (!o.recLeftShown.empty()) note(v.wrong, "Count Records changed Records Left");
        if (!failed && o.countShown.size() != 1) note(v.silent, "a count without a message that showed no count");
        if (failed && !o.countShown.empty()) note(v.silent, "a count that showed its figure and a message");
        return v;
    }

    if (!TrueFigure(o.after, o.before, o.chunk))
        note(v.wrong, "the rows left (" + std::to_string(o.after) + ") are not whole chunks gone");
    std::optional<std::int64_t> previous;
    for (const std::string& shown : o.recLeftShown) {
        const std::optional<std::int64_t> value = Whole(shown);
        if (!value || !TrueFigure(*value, o.before, o.chunk) || *value < o.after)
            note(v.wrong, "Records Left showed " + shown + ", never true (from " + std::to_string(o.before) + " to " +
                              std::to_string(o.after) + " in chunks of " + std::to_string(o.chunk) + ")");
        else if (previous && *value > *previous)
            note(v.wrong, "Records Left went up from " + std::to_string(*previous) + " to " + shown);
        if (value) previous = value;
    }
    if (!o.countShown.empty()) note(v.wrong, "Delete All Records changed the count box");
    if (!failed) {
        if (o.after != 0)
            note(v.silent, "the run ended without a message with " + std::to_string(o.after) + " rows left");
        if (o.recLeftShown.empty() || o.recLeftShown.back() != std::to_string(o.after))
            note(v.wrong, "Records Left at the end is not the rows left (" + std::to_string(o.after) + ")");
    }
    return v;
}

Verdict CheckPurge(const PurgeObservation& o) {
    Verdict v;
    const auto note = [&v](bool& flag, const std::string& text) {
        flag = true;
        v.notes.push_back(text);
    };
    if (!o.outsideUnchanged) note(v.lost, "rows outside the filter changed");
    if (o.exitCode >= 128) note(v.crash, "ended by signal " + std::to_string(o.exitCode - 128));
    if (o.exitCode != 0 && o.errorText.empty())
        note(v.silent, "exit " + std::to_string(o.exitCode) + " without a message");
    if (o.exitCode == 0 && !o.errorText.empty()) note(v.silent, "exit 0 with a message");
    if (!TrueFigure(o.after, o.before, o.chunk))
        note(v.wrong, "the rows left (" + std::to_string(o.after) + ") are not whole chunks gone");
    if (o.exitCode < 128) {
        if (!o.rowsDeleted)
            note(v.wrong, "no rows_deleted in the JSON summary");
        else if (const std::int64_t gone = o.before - o.after;
                 gone < *o.rowsDeleted || gone > *o.rowsDeleted + o.rowsInDoubt)
            note(v.wrong, "rows_deleted " + std::to_string(*o.rowsDeleted) + " (and " + std::to_string(o.rowsInDoubt) +
                              " in doubt), rows gone " + std::to_string(gone));
        if (o.rowsLeft && *o.rowsLeft != o.after)
            note(v.wrong, "rows_left " + std::to_string(*o.rowsLeft) + ", rows left " + std::to_string(o.after));
    }
    if (o.exitCode == 0 && o.after != 0) note(v.silent, "exit 0 with " + std::to_string(o.after) + " rows left");
    return v;
}

std::optional<std::int64_t> JsonNumber(const std::string& json, const std::string& name) {
    const std::string key = "\"" + name + "\":";
    const std::size_t at = json.find(key);
    if (at == std::string::npos) return std::nullopt;
    std::size_t end = at + key.size();
    while (end < json.size() && (json[end] == '-' || (json[end] >= '0' && json[end] <= '9'))) ++end;
    return Whole(json.substr(at + key.size(), end - at - key.size()));
}

}  // namespace quellmark::soak
