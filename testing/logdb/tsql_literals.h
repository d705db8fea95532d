// Literals of the log server's T-SQL as SQLite text: strings quoted, and a
// string or number converted to an int or datetime column's type the way SQL
// Server converts it, with its conversion errors.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "logdb/sql_message.h"

namespace quellmark::logdb::tsql {

// `value` as a SQLite string literal (a hex blob cast to TEXT when it holds NUL).
std::string SqliteString(std::string_view value);

// ---- Columns -----------------------------------------------------------------------

enum class ColType { Int, DateTime, Text };

struct ColumnInfo {
    const char* name;
    ColType type;
};

inline constexpr std::array<ColumnInfo, 7> kColumns = {{
    {"log_id", ColType::Int},
    {"priority", ColType::Int},
    {"time", ColType::DateTime},
    {"label", ColType::Text},
    {"ent", ColType::Text},
    {"oid", ColType::Text},
    {"message", ColType::Text},
}};

inline constexpr const char* kTable = "ATR_Log";

// ---- Operands ---------------------------------------------------------------------

struct Operand {
    enum class Kind { Column, String, Number, Null };
    Kind kind = Kind::Null;
    const ColumnInfo* column = nullptr;
    std::string text;  // string value or number as written (with sign)
    bool national = false;
};

// A string literal's value as an integer ('' is 0); nullopt when it is not one.
std::optional<std::int64_t> ParseIntLiteral(std::string_view s);

// A literal compared with an int column: its SQLite text, or Msg 245 / 248.
std::string IntForColumn(const Operand& literal);

// A literal compared with a datetime column: its SQLite text, or Msg 241 / 8115.
std::string DateTimeForColumn(const Operand& literal);

// `o` as SQLite text, converted to the type of `other` the way SQL Server
// converts a literal to a column's type.
std::string EmitOperand(const Operand& o, const Operand& other);

}  // namespace quellmark::logdb::tsql

namespace quellmark::logdb {

// 'YYYY-MM-DD[ hh:mm[:ss[.fff]]]' and the other forms a datetime literal may
// take, as the stored text 'YYYY-MM-DD hh:mm:ss[.fff]'; nullopt when invalid.
std::optional<std::string> CanonicalDateTime(std::string_view literal);

}  // namespace quellmark::logdb
