// The fault soak's runs and verdicts: a soak whose checks miss a wrong figure
// or a silent failure would pass whatever the front ends do.
#include <set>

#include "gtest/gtest.h"
#include "soak_checks.h"

namespace {

using namespace quellmark::soak;

TEST(SoakPlan, ARunIsTheSameForTheSameSeedAndItsFilterMeansTheSameOnBothSides) {
    std::set<std::string> templates;
    int counts = 0;
    for (int run = 0; run < 300; ++run) {
        const RunSpec spec = PlanRun(5, run, FrontEndChoice::Both);
        const RunSpec again = PlanRun(5, run, FrontEndChoice::Both);
        EXPECT_EQ(spec.statementTail, again.statementTail);
        EXPECT_EQ(spec.proxySeed, again.proxySeed);
        EXPECT_EQ(spec.dataSeed, again.dataSeed);
        EXPECT_EQ(spec.frontEnd, run % 2 == 0 ? FrontEnd::Window : FrontEnd::Purge);
        EXPECT_TRUE(spec.frontEnd == FrontEnd::Window || !spec.countOnly) << "quellmark-purge has no count";
        EXPECT_GE(spec.passes, 1);
        EXPECT_LE(spec.passes, 4);
        counts += spec.countOnly;
        templates.insert(spec.templateName);
        // The value in the statement is the value of the SQLite filter.
        for (const char* priority : {"5", "6", "7"}) {
            EXPECT_EQ(spec.statementTail.find("priority = '" + std::string(priority) + "'") != std::string::npos,
                      spec.sqliteWhere.find("priority = " + std::string(priority)) != std::string::npos)
                << spec.statementTail << " / " << spec.sqliteWhere;
        }
        for (const char* device : {"'switch-01'", "'switch-02'", "'switch-03'"}) {
            EXPECT_EQ(spec.statementTail.find(device) != std::string::npos,
                      spec.sqliteWhere.find(device) != std::string::npos);
        }
        EXPECT_EQ(DeleteStatement(spec, 25).rfind("DELETE TOP (25) FROM ATR_Log WHERE ", 0), 0u);
    }
    EXPECT_EQ(templates.size(), 10u);
    EXPECT_GT(counts, 20);
    EXPECT_NE(PlanRun(5, 1, FrontEndChoice::Both).proxySeed, PlanRun(6, 1, FrontEndChoice::Both).proxySeed);
    EXPECT_EQ(PlanRun(5, 1, FrontEndChoice::Window).frontEnd, FrontEnd::Window);
    EXPECT_EQ(PlanRun(5, 2, FrontEndChoice::Purge).frontEnd, FrontEnd::Purge);
}

TEST(SoakPlan, ChunksAndTheFiguresADeletionRunCanShow) {
    EXPECT_EQ(ChunkFor(100, 3), 34);
    EXPECT_EQ(ChunkFor(99, 3), 33);
    EXPECT_EQ(ChunkFor(1, 4), 1);
    EXPECT_GT(ChunkFor(0, 2), 0);
    for (const std::int64_t value : {100, 66, 32, 0}) EXPECT_TRUE(TrueFigure(value, 100, 34)) << value;
    for (const std::int64_t value : {101, 99, 50, 1, -1}) EXPECT_FALSE(TrueFigure(value, 100, 34)) << value;
}

WindowObservation CleanDelete() {
    WindowObservation o;
    o.chunk = 40;
    o.before = 100;
    o.after = 0;
    o.recLeftShown = {"100", "60", "20", "0"};
    return o;
}

TEST(SoakVerdict, WindowDeletionRuns) {
    EXPECT_TRUE(CheckWindow(CleanDelete()).notes.empty());

    WindowObservation failed = CleanDelete();  // a failure after two chunks, with its message
    failed.after = 20;
    failed.recLeftShown = {"100", "60", "20"};
    failed.messages = {"connection lost"};
    const Verdict ok = CheckWindow(failed);
    EXPECT_FALSE(ok.wrong || ok.silent || ok.lost) << ok.notes.front();

    WindowObservation o = CleanDelete();
    o.recLeftShown = {"100", "61", "0"};
    EXPECT_TRUE(CheckWindow(o).wrong) << "61 was never the number of rows left";
    o.recLeftShown = {"100", "20", "60", "0"};
    EXPECT_TRUE(CheckWindow(o).wrong) << "Records Left went up";
    o = failed;
    o.recLeftShown = {"100", "60", "20", "0"};
    EXPECT_TRUE(CheckWindow(o).wrong) << "0 was shown while 20 rows were still there";
    o = failed;
    o.messages = {};
    EXPECT_TRUE(CheckWindow(o).silent) << "rows left without a message";
    o = failed;
    o.messages = {"one", "two"};
    EXPECT_TRUE(CheckWindow(o).silent);
    o = CleanDelete();
    o.after = 30;  // not a whole number of chunks gone
    o.messages = {"failed"};
    o.recLeftShown = {"100"};
    EXPECT_TRUE(CheckWindow(o).wrong);
    o = CleanDelete();
    o.outsideUnchanged = false;
    EXPECT_TRUE(CheckWindow(o).lost);
    o = CleanDelete();
    o.countShown = {"100"};
    EXPECT_TRUE(CheckWindow(o).wrong);
}

TEST(SoakVerdict, WindowCounts) {
    WindowObservation o;
    o.countOnly = true;
    o.before = o.after = 77;
    o.countShown = {"77"};
    EXPECT_TRUE(CheckWindow(o).notes.empty());
    o.countShown = {"76"};
    EXPECT_TRUE(CheckWindow(o).wrong);
    o.countShown = {};
    EXPECT_TRUE(CheckWindow(o).silent) << "neither a count nor a message";
    o.messages = {"timed out"};
    EXPECT_TRUE(CheckWindow(o).notes.empty());
    o.countShown = {"77"};
    EXPECT_TRUE(CheckWindow(o).silent) << "a count shown and a failure reported";
    o.countShown = {};
    o.after = 70;
    EXPECT_TRUE(CheckWindow(o).wrong) << "a count deleted rows";
}

PurgeObservation CleanPurge() {
    PurgeObservation o;
    o.chunk = 30;
    o.before = 90;
    o.after = 0;
    o.rowsDeleted = 90;
    o.rowsLeft = 0;
    return o;
}

TEST(SoakVerdict, PurgeRuns) {
    EXPECT_TRUE(CheckPurge(CleanPurge()).notes.empty());
    PurgeObservation o = CleanPurge();
    o.exitCode = 69;
    o.errorText = "connection lost";
    o.after = 30;
    o.rowsDeleted = 60;
    o.rowsLeft.reset();
    EXPECT_TRUE(CheckPurge(o).notes.empty()) << CheckPurge(o).notes.front();
    o.rowsDeleted = 30;  // a chunk went whose answer was lost
    EXPECT_TRUE(CheckPurge(o).wrong);
    o.rowsInDoubt = 30;  // ... and the summary says so
    EXPECT_FALSE(CheckPurge(o).wrong);
    o.rowsDeleted = 60;
    EXPECT_FALSE(CheckPurge(o).wrong) << "the chunk in doubt was not carried out";
    o.rowsDeleted = 20;
    EXPECT_TRUE(CheckPurge(o).wrong) << "more gone than deleted and in doubt";
    o = CleanPurge();
    o.rowsDeleted.reset();
    EXPECT_TRUE(CheckPurge(o).wrong);
    o = CleanPurge();
    o.rowsLeft = 30;
    EXPECT_TRUE(CheckPurge(o).wrong);
    o = CleanPurge();
    o.exitCode = 69;
    EXPECT_TRUE(CheckPurge(o).silent) << "a failure without a message";
    o = CleanPurge();
    o.errorText = "warning";
    EXPECT_TRUE(CheckPurge(o).silent) << "a success with a message";
    o = CleanPurge();
    o.after = 30;
    o.rowsDeleted = 60;
    o.rowsLeft = 30;
    EXPECT_TRUE(CheckPurge(o).silent) << "exit 0 with rows left";
    o = CleanPurge();
    o.exitCode = 128 + 11;
    o.errorText = "Segmentation fault";
    EXPECT_TRUE(CheckPurge(o).crash);
    o = CleanPurge();
    o.outsideUnchanged = false;
    EXPECT_TRUE(CheckPurge(o).lost);
}

TEST(SoakVerdict, NumbersOfTheJsonSummary) {
    const std::string json = R"({"rows_at_start":90,"rows_deleted":60,"rows_left":null,"chunks":-2})";
    EXPECT_EQ(JsonNumber(json, "rows_deleted"), 60);
    EXPECT_EQ(JsonNumber(json, "rows_left"), std::nullopt);
    EXPECT_EQ(JsonNumber(json, "chunks"), -2);
    EXPECT_EQ(JsonNumber(json, "retries"), std::nullopt);
    EXPECT_EQ(JsonNumber("", "rows_deleted"), std::nullopt);
}

}  // namespace
