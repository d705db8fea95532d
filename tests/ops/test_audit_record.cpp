// The audit record's contract: priorities by how a run ended, the sentence,
// and the login a record names.
#include <gtest/gtest.h>

#include <algorithm>

#include "harness/scoped_env.h"
#include "harness/scratch_dir.h"
#include "ops/audit_record.h"

using namespace quellmark;

TEST(AuditRecord, PriorityFollowsHowTheRunEnded) {
    EXPECT_EQ(ops::PriorityOf("done"), 6);
    for (const char* failed : {"failed", "retries-exhausted"}) EXPECT_EQ(ops::PriorityOf(failed), 3) << failed;
    // Stopped with rows left, or not run at all; a name added later too.
    for (const char* stopped : {"cancelled", "max-runtime", "until", "signal", "lock-held", "some-new-reason"})
        EXPECT_EQ(ops::PriorityOf(stopped), 4) << stopped;
}

TEST(AuditRecord, TheSentenceNamesRowsTableServerDatabaseAndTheEnd) {
    ops::DeletionRunRecord record;
    record.frontEnd = ops::FrontEnd::Purge;
    record.server = "sql01.example.net,1433";
    record.database = "NetMon";
    record.rowsDeleted = 1;
    record.stopReason = "lock-held";
    EXPECT_EQ(ops::Sentence(record),
              "quellmark-purge deleted 1 row from ATR_Log on server sql01.example.net,1433, database NetMon: not run, "
              "another run holds the lock of this log.");
    record.frontEnd = ops::FrontEnd::Window;
    record.rowsDeleted = 5000;
    record.rowsLeft = 1;
    record.stopReason = "some-new-reason";
    EXPECT_EQ(ops::Sentence(record),
              "Delete All Records deleted 5000 rows from ATR_Log on server sql01.example.net,1433, database NetMon: "
              "ended (some-new-reason), 1 row left.");
    // A delete whose answer never came: the sentence and a field of its own say so.
    record.rowsInDoubt = 500;
    record.stopReason = "failed";
    EXPECT_EQ(ops::Sentence(record),
              "Delete All Records deleted 5000 rows from ATR_Log on server sql01.example.net,1433, database NetMon: "
              "failed, 1 row left; a delete's answer never came, so up to 500 rows more may be gone.");
    const std::vector<std::string> fields = ops::JournalFields(record);
    EXPECT_NE(std::find(fields.begin(), fields.end(), "QUELLMARK_ROWS_IN_DOUBT=500"), fields.end());
}

TEST(AuditRecord, FieldsCarryValuesAsTheyAre) {
    ops::DeletionRunRecord record;
    record.statement = "DELETE TOP (10) FROM ATR_Log\nWHERE text LIKE '%s%n'";
    record.seconds = -0.5;  // a clock stepped back
    const std::vector<std::string> fields = ops::JournalFields(record);
    EXPECT_EQ(fields.size(), 12u);
    const auto has = [&](const std::string& field) {
        return std::find(fields.begin(), fields.end(), field) != fields.end();
    };
    EXPECT_TRUE(has("QUELLMARK_STATEMENT=DELETE TOP (10) FROM ATR_Log\nWHERE text LIKE '%s%n'"));
    EXPECT_TRUE(has("QUELLMARK_ROWS_LEFT="));
    EXPECT_TRUE(has("QUELLMARK_STOP_REASON=failed"));  // unless the run says otherwise
    EXPECT_TRUE(has("PRIORITY=3"));
    EXPECT_TRUE(has("QUELLMARK_SECONDS=0.000"));
    record.chunkMin = 100, record.chunkMedian = 800, record.chunkMax = 4000;
    const std::vector<std::string> chunks = ops::JournalFields(record);
    EXPECT_EQ(std::vector<std::string>(chunks.end() - 3, chunks.end()),
              (std::vector<std::string>{"QUELLMARK_CHUNK_MIN=100", "QUELLMARK_CHUNK_MEDIAN=800",
                                        "QUELLMARK_CHUNK_MAX=4000"}));
}

TEST(AuditRecord, TheLoginIsTheSqlUserOrTheTicketsPrincipal) {
    ops::OnlineSettings settings;
    settings.OnlDbUser = "purge";
    settings.OnlDbPass = "secret";
    for (const char* type : {"Remote SQL Authentication", "Local SQL Authentication"}) {
        settings.OnlConnType = type;
        EXPECT_EQ(ops::LoginOf(settings), "purge") << type;
    }
    // No ticket cache: no principal, and never the user or password the
    // settings hold for the other types.
    test::ScratchDir dir("audit");
    const test::ScopedEnv cache("KRB5CCNAME", "FILE:" + (dir / "no-cache").string());
    settings.OnlConnType = "Windows Authentication";
    EXPECT_EQ(ops::LoginOf(settings), "");
}
