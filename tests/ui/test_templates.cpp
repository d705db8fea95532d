#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "ui/templates.h"

using namespace std::chrono;
using quellmark::ui::ComposeDeleteStatement;
using quellmark::ui::CutoffDate;

namespace {

// Pins the process's time zone for one test and restores it afterwards.
class ZoneGuard {
public:
    explicit ZoneGuard(const char* zone) {
        if (const char* old = std::getenv("TZ")) old_ = old, had_ = true;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneGuard() {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::string old_;
    bool had_ = false;
};

// A local wall-clock time in the zone currently set.
system_clock::time_point Local(int y, int mo, int d, int h, int mi, int isDst = -1) {
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_isdst = isDst;
    return system_clock::from_time_t(std::mktime(&tm));
}

}  // namespace

TEST(Templates, EveryTemplateWithEveryChunkSize) {
    ZoneGuard zone("UTC");
    const auto now = Local(2026, 5, 20, 12, 0);
    const std::pair<const char*, const char*> expected[] = {
        {"Priority", ") FROM ATR_Log WHERE priority = '7'"},
        {"Priority AND Time", ") FROM ATR_Log WHERE priority = '7' AND time < '2026-05-13'"},
        {"Device", ") FROM ATR_Log WHERE label = 'switch-01'"},
        {"Enterprise", ") FROM ATR_Log WHERE ent = 'snmpTraps'"},
        {"Trap", ") FROM ATR_Log WHERE oid = 'linkUp'"},
        {"Message", ") FROM ATR_Log WHERE message LIKE '%Threshold%'"},
        {"Priority AND Device", ") FROM ATR_Log WHERE priority = '7' AND label = 'switch-01'"},
        {"Device AND Enterprise", ") FROM ATR_Log WHERE label = 'switch-01' AND ent = 'snmpTraps'"},
        {"Device AND Trap", ") FROM ATR_Log WHERE label = 'switch-01' AND oid = 'linkUp'"},
        {"Device AND Message", ") FROM ATR_Log WHERE label = 'switch-01' AND message LIKE '%Threshold%'"},
    };
    ASSERT_EQ(quellmark::ui::TemplateNames().size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(quellmark::ui::TemplateNames()[i], expected[i].first);
        for (const char* chunk : {"1000", "2000", "5000"}) {
            EXPECT_EQ(ComposeDeleteStatement(expected[i].first, chunk, now),
                      std::string("DELETE TOP (") + chunk + expected[i].second)
                << expected[i].first << " / " << chunk;
        }
    }
}

TEST(Templates, NamesMatchExactlyAndChunkIsInsertedAsText) {
    const auto now = system_clock::now();
    EXPECT_FALSE(ComposeDeleteStatement("priority", "1000", now));
    EXPECT_FALSE(ComposeDeleteStatement("Priority ", "1000", now));
    EXPECT_FALSE(ComposeDeleteStatement("", "1000", now));
    EXPECT_EQ(ComposeDeleteStatement("Trap", " 07", now), "DELETE TOP ( 07) FROM ATR_Log WHERE oid = 'linkUp'");
}

TEST(CutoffDate, SevenCalendarDaysBackPadded) {
    ZoneGuard zone("Europe/Berlin");
    for (int hour : {0, 1, 12, 23}) {
        EXPECT_EQ(CutoffDate(Local(2026, 3, 8, hour, 59)), "2026-03-01") << "hour " << hour;
    }
    EXPECT_EQ(CutoffDate(Local(2026, 1, 3, 0, 5)), "2025-12-27");
    EXPECT_EQ(CutoffDate(Local(2026, 1, 3, 23, 55)), "2025-12-27");
    EXPECT_EQ(CutoffDate(Local(2024, 3, 6, 10, 0)), "2024-02-28");  // leap year
    EXPECT_EQ(CutoffDate(Local(2024, 3, 8, 10, 0)), "2024-03-01");
}

TEST(CutoffDate, JustAfterDaylightSavingChanges) {
    // A zone whose clocks change at midnight, where counting elapsed hours
    // instead of calendar days would land on the wrong date.
    ZoneGuard zone("XST0XDT,M3.5.0/0,M10.5.0/0");
    // Spring forward: 2026-03-29 00:00 XST becomes 01:00 XDT.
    EXPECT_EQ(CutoffDate(Local(2026, 3, 29, 1, 0, 1)), "2026-03-22");
    // Fall back: 2026-10-25 00:00 XDT becomes 2026-10-24 23:00 XST.
    const auto afterFallBack = system_clock::from_time_t(std::mktime([] {
        static std::tm tm{};
        tm = {};
        tm.tm_year = 2026 - 1900;
        tm.tm_mon = 9;
        tm.tm_mday = 24;
        tm.tm_hour = 23;
        tm.tm_min = 30;
        tm.tm_isdst = 0;  // the second 23:30, in standard time
        return &tm;
    }()));
    EXPECT_EQ(CutoffDate(afterFallBack), "2026-10-17");
}
