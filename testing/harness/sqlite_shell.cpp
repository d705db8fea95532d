#include "harness/sqlite_shell.h"

#include <stdexcept>
#include <vector>

#include "harness/run_program.h"

namespace quellmark::test {

std::string RunSqlite(const std::filesystem::path& file, const std::string& sql, bool readOnly) {
    std::vector<std::string> args = {"-batch", "-cmd", ".timeout 5000", file.string(), sql};
    if (readOnly) args.insert(args.begin(), "-readonly");
    const RunResult r = Run("sqlite3", args);
    if (r.exitCode != 0) throw std::runtime_error("sqlite3 failed on: " + sql);
    return r.out;
}

std::int64_t CountLogRows(const std::filesystem::path& file, const std::string& sqliteWhere) {
    const std::string sql = "SELECT COUNT(*) FROM ATR_Log" + (sqliteWhere.empty() ? "" : " WHERE " + sqliteWhere) + ";";
    const std::string text = RunSqlite(file, sql, true);
    if (text.empty()) throw std::runtime_error("sqlite3 could not count the rows where " + sqliteWhere);
    return std::stoll(text);
}

}  // namespace quellmark::test
