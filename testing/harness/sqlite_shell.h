// Reading and changing the log server's SQLite file (ATR_Log) from tests and
// benchmarks, through the sqlite3 shell, so they need no SQLite library.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace quellmark::test {

// Runs `sql` on `file` (waiting up to 5 s for a lock) and returns what the
// shell printed; throws std::runtime_error when it fails.
std::string RunSqlite(const std::filesystem::path& file, const std::string& sql, bool readOnly);

// Rows of ATR_Log in `file` matching `sqliteWhere` (SQLite syntax; empty: all rows).
std::int64_t CountLogRows(const std::filesystem::path& file, const std::string& sqliteWhere = "");

}  // namespace quellmark::test
