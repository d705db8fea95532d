// What an unattended purge accepts as its statement: the window's form and
// one statement only, read as the server reads quotes and comments.
#include <gtest/gtest.h>

#include <string_view>

#include "ops/unattended/statement_guard.h"

using namespace std::literals;
using quellmark::ops::unattended::CheckPurgeStatement;
using quellmark::ops::unattended::StatementRefused;

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
             // The templates' filters, as the operator edits them.
             {"DELETE TOP (2000) FROM ATR_Log WHERE priority = '7' AND label = 'switch-01'", 2000},
             {"DELETE TOP (9) FROM ATR_Log WHERE priority = '7' AND time < DATEADD(day, -90, GETDATE())", 9},
             {"DELETE TOP (9) FROM ATR_Log\r\nWHERE priority = '7'\tAND time < '2026-11-01'\r\n", 9},
             {"DELETE TOP (9) FROM ATR_Log WHERE message LIKE '%Zürich – «core»%' AND [Süd] = 1", 9},
             // Every kind of number, and the words a filter is made of.
             {"DELETE TOP (5) FROM ATR_Log WHERE a = 1.5e-3 AND b = .5E+2 AND c = 0x1F AND d = $1.25 AND e = 1.", 5},
             {"DELETE TOP (5) FROM ATR_Log WHERE a IS NOT NULL AND b NOT LIKE 'x!%' ESCAPE '!' AND c NOT "
              "BETWEEN -1 AND ~2 OR NOT (d IN (1, 2) OR NOT EXISTS (SELECT 1 FROM t WHERE t.x = ATR_Log.y))",
              5},
             {"DELETE TOP (5) FROM ATR_Log WHERE CAST(time AS date) < @cut AND #t.x = 1 AND l = 'x' COLLATE "
              "Latin1_General_CS_AS AND CASE p WHEN 1 THEN 'a' ELSE 'b' END = 'a'",
              5},
         }) {
        SCOPED_TRACE(a.text);
        EXPECT_EQ(Refusal(a.text), "");
        EXPECT_EQ(CheckPurgeStatement(a.text).chunkSize, a.chunk);
    }
}

TEST(PurgeStatement, RefusesEveryOtherForm) {
    struct Refused {
        std::string_view text;
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
             {"DELETE TOP (5) FROM ATR_Log WHERE a = (SELECT 1 FROM t EXEC x)", "second statement (EXEC)"},
             {"DELETE TOP (5) FROM ATR_Log WHERE a = 1\nGO\nDELETE FROM ATR_Log", "second statement (GO)"},
             {"DELETE TOP (5) FROM ATR_Log WHERE a = 1\nTRUNCATE TABLE ATR_Log", "second statement (TRUNCATE)"},
             {"DELETE TOP (5) FROM ATR_Log WHERE a = 1e0 DELETE FROM ATR_Log", "second statement (DELETE)"},
             {"DELETE TOP (5) FROM ATR_Log WHERE a = (1) DROP TABLE t", "second statement (DROP)"},
             {"DELETE TOP (5) FROM ATR_Log WHERE a = 1 INSERT INTO t VALUES (1)", "second statement (INSERT)"},
             {"DELETE TOP (5) FROM ATR_Log UPDATE ATR_Log SET a = 1", "second statement (UPDATE)"},
             // A number ends where the server's lexer ends it; a word after it is the next token.
             {"DELETE TOP (5) FROM ATR_Log WHERE priority = 0xTRUNCATE TABLE ATR_Log",
              "second statement (TRUNCATE) run together with the number 0x,"},
             {"DELETE TOP (5) FROM ATR_Log WHERE priority = 1e0DELETE FROM ATR_Log",
              "(DELETE) run together with the number 1e0,"},
             {"DELETE TOP (5) FROM ATR_Log WHERE priority = .5e-3DELETE FROM ATR_Log", "number .5e-3,"},
             {"DELETE TOP (5) FROM ATR_Log WHERE priority = $1DELETE FROM ATR_Log", "number $1,"},
             {"DELETE TOP (5) FROM ATR_Log WHERE priority = $DELETE FROM ATR_Log", "number $,"},
             {"DELETE TOP (5) FROM ATR_Log WHERE priority = 0x1Fg OR 1 = 1",
              "number 0x1F run together with the word g,"},
             {"DELETE TOP (5) FROM ATR_Log WHERE priority = €DELETE FROM ATR_Log", "U+20AC outside quoted text"},
             {"DELETE TOP (5) FROM ATR_Log WHERE priority = 1\xC2\xA0"
              "DELETE FROM ATR_Log",
              "U+00A0 outside"},
             // Nothing may follow a complete filter, nor stand where a value belongs.
             {"DELETE TOP (5) FROM ATR_Log WHERE a = 1 b", "goes on with \"b\" where its filter is complete"},
             {"DELETE TOP (5) FROM ATR_Log WHERE a = 1 N'x'", "goes on with \"N'x'\""},
             {"DELETE TOP (5) FROM ATR_Log WHERE a = 1)", "goes on with \")\""},
             {"DELETE TOP (5) FROM ATR_Log WHERE a = 1, 2", "','"},
             {"DELETE TOP (5) FROM ATR_Log WHERE a += 1", "\"=\" where its filter needs a value"},
             {"DELETE TOP (5) FROM ATR_Log WHERE", "ends where its filter needs a value"},
             {"DELETE TOP (5) FROM ATR_Log WHERE a NOT = 1", "after NOT"},
             {"DELETE TOP (5) FROM ATR_Log WHERE a = {fn NOW()}", "'{'"},
             {"DELETE TOP (5) FROM ATR_Log ORDER BY time", "after \"FROM ATR_Log\""},
             {"DELETE TOP (5) FROM ATR_Log OPTION (MAXDOP 1)", "after \"FROM ATR_Log\""},
             {"DELETE TOP (5) FROM ATR_Log WHERE a = CASE WHEN b = 1 THEN 1", "CASE without its END"},
             // What the server would not receive as written, quoted or not.
             {"DELETE TOP (100) FROM ATR_Log WHERE priority = 3\0 AND 1 = 0"sv, "control character \\x00 at byte 49"},
             {"DELETE TOP (5) FROM ATR_Log WHERE a = 'x\0y'"sv, "\\x00"},
             {"DELETE TOP (5) FROM ATR_Log WHERE a = 'x\x1B[2J' -- \x7F", "\\x1B at byte 41"},
             {"DELETE TOP (5) FROM ATR_Log WHERE a = 1 /* \x7F */", "\\x7F"},
             {"DELETE TOP (5) FROM ATR_Log WHERE a = 1\v", "\\x0B"},
             {"DELETE TOP (5) FROM ATR_Log WHERE a = N'\xC2\x85'", "U+0085"},
             {"DELETE TOP (5) FROM ATR_Log WHERE a = '\xFF'", "not UTF-8 text: byte \\xFF at byte 40"},
             {"DELETE TOP (5) FROM ATR_Log WHERE a = '\xC3'", "not UTF-8"},
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
             {"DELETE TOP (5) FROM ATR_Log WHERE (a = 1", "parenthesis open"},
             {"DELETE TOP (5) FROM ATR_Log WHERE a IN (SELECT b FROM t", "parenthesis open"},
         }) {
        SCOPED_TRACE(std::string(r.text));
        const std::string refusal = Refusal(std::string(r.text));
        if (std::string(r.says).empty()) {
            // Quoted all the way: accepted, as the server reads it.
            EXPECT_EQ(refusal, "");
        } else {
            EXPECT_NE(refusal.find(r.says), std::string::npos) << refusal;
        }
    }
}

}  // namespace
