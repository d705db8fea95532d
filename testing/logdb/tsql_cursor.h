// The log server's T-SQL parser reads a batch's tokens through a cursor:
// the token under it and the next ones, expectations that fail with the
// error SQL Server gives, and the names and operands every statement shape
// shares (the ATR_Log table, its columns, a literal or column).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "logdb/tsql_lexer.h"
#include "logdb/tsql_literals.h"

namespace quellmark::logdb::tsql {

class TokenCursor {
public:
    // `tokens` end with Tok::End; `database` is the session's database, which
    // a three-part table name must name.
    TokenCursor(std::vector<Token> tokens, std::string_view database) : t_(std::move(tokens)), database_(database) {}

    const Token& Peek(std::size_t ahead = 0) const;
    const Token& Take();
    void Skip(std::size_t count = 1) { pos_ += count; }
    std::size_t Position() const { return pos_; }
    void Rewind(std::size_t position) { pos_ = position; }

    bool IsWord(std::string_view w, std::size_t ahead = 0) const;
    bool IsOp(std::string_view op, std::size_t ahead = 0) const;
    static bool IsStatementStart(const Token& t);
    bool IsIdentifier(const Token& t) const;

    // Msg 156 / 102 near `t`; at the end of the text near the last token read.
    [[noreturn]] void Fail(const Token& t) const;
    void ExpectWord(std::string_view w);
    void ExpectOp(std::string_view op);

    // name, schema.name, db.schema.name, db..name: the parts as written.
    std::vector<std::string> MultiPartName();
    // ATR_Log under any of its names, or Msg 208.
    void TableName();
    // A column of ATR_Log, or Msg 207 / 4104.
    const ColumnInfo* ColumnRef();
    // A string, number, NULL or column.
    Operand ReadOperand();

private:
    bool NamesTable(const std::vector<std::string>& parts) const;

    std::vector<Token> t_;
    std::size_t pos_ = 0;
    std::string database_;
};

}  // namespace quellmark::logdb::tsql
