// What an unattended purge accepts as its statement: the window's form and
// one statement only, read as the server reads quotes and comments.
#include <gtest/gtest.h>

#include "ops/purge_statement.h"

using quellmark::purge::CheckPurgeStatement;
using quellmark::purge::StatementRefused;

namespace {

std::string Refusal(const std::string& text) {
    try {
        CheckPurgeStatement(text);
    } catch (const StatementRefused& e) {
        return e.what();
    }
    return {};
}

TEST(PurgeStatement, AcceptsTheWindowsFormAndPreparesBothStatements) {
    const auto s = CheckPurgeStatement("DELETE TOP (2000) FROM ATR_Log WHERE ent = 'snmpTraps'\r\n");
    EXPECT_EQ(s.chunkSize, 2000);
    EXPECT_EQ(s.deleteStatement, "DELETE TOP (2000) FROM ATR_Log WHERE ent = 'snmpTraps'");
    EXPECT_EQ(s.countStatement, "SELECT COUNT(log_id) FROM ATR_Log WHERE ent = 'snmpTraps'");

    struct Accepted {
        const char* text;
        std::int64_t chunk;
    };
    for (const Accepted& a : {
             Accepted{"DELETE TOP (1) FROM ATR_Log", 1},
             {"  DELETE  TOP( 0050 )\n FROM ATR_Log\tWHERE priority = 7", 50},
             {"DELETE TOP (2147483647) FROM ATR_Log", 2147483647},
             // Quoted text and comments may hold anything.
             {"DELETE TOP (5) FROM ATR_Log WHERE label = 'a; DROP TABLE x' AND descr = N'it''s; DELETE'", 5},
             {"DELETE TOP (5) FROM ATR_Log WHERE [odd;name]] col] = 1 AND \"x;\"\"y\" = 2", 5},
             {"DELETE TOP (5) FROM ATR_Log WHERE a = 1 -- ; DELETE everything\n AND b = 2", 5},
             {"DELETE TOP (5) FROM ATR_Log WHERE a = 1 /* ; /* nested ; */ still; DROP */ AND b = 2", 5},
             // A subquery, CASE ... END, a table hint, N'...'.
             {"DELETE TOP (5) FROM ATR_Log WITH (ROWLOCK) WHERE log_id IN (SELECT log_id FROM ATR_Log WHERE "
              "priority = 1) AND CASE WHEN a = 1 THEN 1 ELSE 0 END = 1 AND l = N'x'",
              5},
             {"DELETE TOP (5) FROM ATR_Log WHERE updated_by = 'x' AND selection = 1", 5},
         }) {
        SCOPED_TRACE(a.text);
        EXPECT_EQ(Refusal(a.text), "");
        EXPECT_EQ(CheckPurgeStatement(a.text).chunkSize, a.chunk);
    }
}

TEST(PurgeStatement, RefusesEveryOtherForm) {
    struct Refused {
        const char* text;
        const char* says;
    };
    for (const Refused& r : {
             Refused{"", "must begin with"},
             {"DELETE FROM ATR_Log WHERE a = 1", "must begin with"},
             {"DELETE TOP (0) FROM ATR_Log", "must begin with"},
             {"DELETE TOP (-5) FROM ATR_Log", "must begin with"},
             {"DELETE TOP (1.5) FROM ATR_Log", "must begin with"},
             {"DELETE TOP (2147483648) FROM ATR_Log", "must begin with"},
             {"DELETE TOP 5 FROM ATR_Log", "must begin with"},
             {"DELETE TOP (5) PERCENT FROM ATR_Log", "must begin with"},
             {"DELETE TOP (@n) FROM ATR_Log", "must begin with"},
             {"delete top (5) from ATR_Log", "must begin with"},
             {"DELETE TOP (5) FROM ATR_LogArchive", "must begin with"},
             {"DELETE TOP (5) FROM  ATR_Log", "must begin with"},
             {"DELETE TOP (5) FROM dbo.ATR_Log", "must begin with"},
             {"SELECT 1; DELETE TOP (5) FROM ATR_Log", "must begin with"},
             {"DELETE TOP (5) FROM ATR_Log;", "';'"},
             {"DELETE TOP (5) FROM ATR_Log WHERE a = 1; DROP TABLE ATR_Log", "';'"},
             // A second statement needs no ';' in T-SQL.
             {"DELETE TOP (5) FROM ATR_Log WHERE a = 1 DELETE FROM ATR_Log", "second statement (DELETE)"},
             {"DELETE TOP (5) FROM ATR_Log WHERE a = 1 exec xp_cmdshell 'x'", "second statement (EXEC)"},
             {"DELETE TOP (5) FROM ATR_Log WHERE a = 1 SELECT * FROM ATR_Log", "second statement (SELECT)"},
             {"DELETE TOP (5) FROM ATR_Log WHERE a = 1DROP TABLE ATR_Log", "second statement (DROP)"},
             {"DELETE TOP (5) FROM ATR_Log WHERE a IN (DELETE FROM x)", "second statement (DELETE)"},
             // What looks quoted or commented but is not, to the server.
             {"DELETE TOP (5) FROM ATR_Log WHERE a = 1 -- it's\n; DELETE FROM ATR_Log", "';'"},
             {"DELETE TOP (5) FROM ATR_Log WHERE a = 1 /* it's */ ; SELECT 'x'", "';'"},
             {"DELETE TOP (5) FROM ATR_Log WHERE a = 'x''; DELETE FROM ATR_Log --'", ""},
             {"DELETE TOP (5) FROM ATR_Log WHERE [a]]; DROP TABLE x; --] = 1", ""},
             // Anything left open.
             {"DELETE TOP (5) FROM ATR_Log WHERE a = 'open", "quoted text"},
             {"DELETE TOP (5) FROM ATR_Log WHERE a = N'it''s", "quoted text"},
             {"DELETE TOP (5) FROM ATR_Log WHERE [a = 1", "bracketed name"},
             {"DELETE TOP (5) FROM ATR_Log WHERE \"a = 1", "quoted name"},
             {"DELETE TOP (5) FROM ATR_Log WHERE a = 1 /* /* */ ; DELETE FROM ATR_Log", "/* comment"},
         }) {
        SCOPED_TRACE(r.text);
        const std::string refusal = Refusal(r.text);
        if (std::string(r.says).empty()) {
            // Quoted all the way: accepted, as the server reads it.
            EXPECT_EQ(refusal, "");
        } else {
            EXPECT_NE(refusal.find(r.says), std::string::npos) << refusal;
        }
    }
}

}  // namespace
