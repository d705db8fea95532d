#include "ui/templates.h"

#include <array>
#include <cstdio>
#include <ctime>
#include <utility>

namespace quellmark::ui {
namespace {

constexpr const char* kTimeTemplate = "Priority AND Time";

struct Template {
    const char* name;
    const char* tail;  // follows the chunk size; "Priority AND Time" appends the cutoff
};

constexpr std::array<Template, 10> kTemplates{{
    {"Priority", ") FROM ATR_Log WHERE priority = '7'"},
    {kTimeTemplate, ") FROM ATR_Log WHERE priority = '7' AND time < '"},
    {"Device", ") FROM ATR_Log WHERE label = 'switch-01'"},
    {"Enterprise", ") FROM ATR_Log WHERE ent = 'snmpTraps'"},
    {"Trap", ") FROM ATR_Log WHERE oid = 'linkUp'"},
    {"Message", ") FROM ATR_Log WHERE message LIKE '%Threshold%'"},
    {"Priority AND Device", ") FROM ATR_Log WHERE priority = '7' AND label = 'switch-01'"},
    {"Device AND Enterprise", ") FROM ATR_Log WHERE label = 'switch-01' AND ent = 'snmpTraps'"},
    {"Device AND Trap", ") FROM ATR_Log WHERE label = 'switch-01' AND oid = 'linkUp'"},
    {"Device AND Message", ") FROM ATR_Log WHERE label = 'switch-01' AND message LIKE '%Threshold%'"},
}};

Clock& CurrentClock() {
    static Clock clock;
    return clock;
}

}  // namespace

const std::vector<std::string>& TemplateNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> result;
        for (const Template& t : kTemplates) result.emplace_back(t.name);
        return result;
    }();
    return names;
}

std::string CutoffDate(std::chrono::system_clock::time_point now) {
    using namespace std::chrono;
    const std::time_t seconds = system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&seconds, &local);
    // Calendar arithmetic on the local date: the same wall-clock time seven
    // days earlier always falls on the date seven days earlier.
    const year_month_day today{year{local.tm_year + 1900}, month{static_cast<unsigned>(local.tm_mon + 1)},
                               day{static_cast<unsigned>(local.tm_mday)}};
    const year_month_day cutoff{sys_days{today} - days{7}};
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(cutoff.year()),
                  static_cast<unsigned>(cutoff.month()), static_cast<unsigned>(cutoff.day()));
    return text;
}

std::optional<std::string> ComposeDeleteStatement(const std::string& templateName, const std::string& chunk,
                                                  std::chrono::system_clock::time_point now) {
    for (const Template& t : kTemplates) {
        if (templateName != t.name) continue;
        std::string statement = "DELETE TOP (" + chunk + t.tail;
        if (templateName == kTimeTemplate) statement += CutoffDate(now) + "'";
        return statement;
    }
    return std::nullopt;
}

std::chrono::system_clock::time_point Now() {
    const Clock& clock = CurrentClock();
    return clock ? clock() : std::chrono::system_clock::now();
}

void SetClock(Clock clock) { CurrentClock() = std::move(clock); }

}  // namespace quellmark::ui
