// The window's templates and what each one's filter means, as the log
// server's SQLite file reads it: tests compare the rows a statement touched
// with these. "Priority AND Time" has the cutoff a week before 2025-12-20,
// the day the tests pin the window's clock to.
#pragma once

#include <array>

namespace quellmark::test {

struct TemplateFilter {
    const char* name;
    const char* sqliteWhere;
};

inline constexpr std::array<TemplateFilter, 10> kTemplateFilters{{
    {"Priority", "priority = 7"},
    {"Priority AND Time", "priority = 7 AND time < '2025-12-13'"},
    {"Device", "label = 'switch-01'"},
    {"Enterprise", "ent = 'snmpTraps'"},
    {"Trap", "oid = 'linkUp'"},
    {"Message", "message LIKE '%Threshold%'"},
    {"Priority AND Device", "priority = 7 AND label = 'switch-01'"},
    {"Device AND Enterprise", "label = 'switch-01' AND ent = 'snmpTraps'"},
    {"Device AND Trap", "label = 'switch-01' AND oid = 'linkUp'"},
    {"Device AND Message", "label = 'switch-01' AND message LIKE '%Threshold%'"},
}};

}  // namespace quellmark::test
