// A WHERE clause of the log server's T-SQL as a SQLite condition: AND, OR,
// NOT and parentheses over comparisons, LIKE, IS NULL, BETWEEN and IN, with
// SQL Server's conversions, collation and NULL rules.
#pragma once

#include <string>

#include "logdb/tsql_cursor.h"

namespace quellmark::logdb::tsql {

// Reads the condition at `cursor`. Throws SqlFailure.
std::string Condition(TokenCursor& cursor);

}  // namespace quellmark::logdb::tsql
