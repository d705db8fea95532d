// The T-SQL the log server runs, read from a batch's text and turned into
// SQLite statements over the ATR_Log table.
//
// Only these shapes are accepted; anything else is refused with the error a
// SQL Server would give (Incorrect syntax near ..., Invalid column name ...),
// so no text reaches SQLite unless this parser built it:
//   SELECT COUNT(*|[ALL|DISTINCT] col|n) | COUNT_BIG(...) [[AS] alias]
//          FROM <table> [WHERE cond] [ORDER BY 1]
//   SELECT [TOP (n) [PERCENT] | TOP n] * FROM <table> [WHERE cond]  (by log_id)
//   DELETE [TOP (n) [PERCENT]] [FROM] <table> [WITH (hints)] [WHERE cond]
//   INSERT [INTO] <table> (col, ...) VALUES (value, ...)
//   SELECT used_log_space_in_percent FROM sys.dm_db_log_space_usage
//   SELECT recovery_model_desc, log_reuse_wait_desc FROM sys.databases WHERE name = DB_NAME()
//                                             (either view's columns in any order)
//   SET <session option> ...                  (NOCOUNT and ROWCOUNT take effect)
//   SELECT @@VERSION, @@SPID, 1, 'text', DB_NAME(), @variable, ...  (probes)
//   DECLARE @name type [= value] [, ...]      (variables of the batch)
//   EXEC[UTE] [@status =] procedure [[@name =] value [OUTPUT], ...]
// <table> is ATR_Log, dbo.ATR_Log or <database>.dbo.ATR_Log, any letter case,
// [bracketed] or "quoted". cond combines AND, OR, NOT and parentheses over
// comparisons (= <> != < <= > >= !< !>), [NOT] LIKE ... [ESCAPE 'c'],
// IS [NOT] NULL, [NOT] BETWEEN ... AND ..., [NOT] IN (...).
//
// Text comparisons follow a case-insensitive collation (the SQLite collation
// QM_CI and the function qm_like, which LogStore registers); trailing spaces
// are ignored in comparisons as SQL Server's padding rules do.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "logdb/sql_message.h"

namespace quellmark::logdb {

struct ProbeItem {
    enum class Kind { Integer, Text, Variable, Function };
    Kind kind = Kind::Integer;
    std::int64_t integer = 0;
    std::string text;  // the text, or the variable's / function's name in upper case
    std::string alias;
};

// A value in DECLARE or an argument in EXEC.
struct ExecValue {
    enum class Kind { Default, Null, Integer, Text, Variable };
    Kind kind = Kind::Null;
    std::int64_t integer = 0;
    std::string text;  // the text, or the variable's name in upper case
};

struct ExecArgument {
    std::string name;  // "@Resource" as written; empty when positional
    ExecValue value;
};

struct Declaration {
    std::string name;  // upper case
    bool isText = false;
    std::optional<ExecValue> initial;
};

struct Statement {
    enum class Kind { Set, Probe, Count, Rows, Delete, Declare, Exec, Insert, LogView };
    Kind kind = Kind::Set;

    // Set: the option in upper case and its value (ON, OFF, a number, a word).
    std::string option;
    std::string value;

    // Probe.
    std::vector<ProbeItem> probe;

    // Count: the complete SQLite statement; the result column's name and width.
    std::string countSql;
    std::string columnName;
    bool bigCount = false;

    // Rows and Delete: the SQLite condition ("" = every row) and the TOP clause.
    std::string where;
    std::optional<double> top;
    bool topPercent = false;

    // Insert: the complete SQLite statement.
    std::string insertSql;

    // LogView: the columns selected, by their names in the view (lower case).
    std::vector<std::string> viewColumns;

    // Declare.
    std::vector<Declaration> declarations;

    // Exec: the variable taking the return status (upper case, "" for none),
    // the procedure's name as written (parts joined by dots) and the arguments.
    std::string statusVariable;
    std::string procedure;
    std::vector<ExecArgument> arguments;
};

// Parses a whole batch; `database` is the session's database, which a
// three-part table name must name. Throws SqlFailure.
std::vector<Statement> ParseBatch(std::string_view text, std::string_view database);

}  // namespace quellmark::logdb
