// The T-SQL lexer of the log server: a batch's text as words, [quoted]
// names, strings, numbers, @variables and operators, comments skipped.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "logdb/sql_message.h"

namespace quellmark::logdb::tsql {

enum class Tok { Word, Quoted, String, NString, Number, Variable, Op, End };

struct Token {
    Tok kind = Tok::End;
    std::string text;  // identifiers and strings decoded; operators and numbers as written
};

std::string Upper(std::string_view s);

// A word SQL Server reserves (it cannot name a table or column unquoted).
bool IsReserved(std::string_view word);

// Msg 156 / 102: "Incorrect syntax near ..." for the token `t`.
SqlMessage SyntaxNear(const Token& t);

// The tokens of `s`, ending with one Tok::End. Throws SqlFailure for an
// unclosed comment, string or quoted name and for a character no token starts with.
std::vector<Token> Tokenize(std::string_view s);

}  // namespace quellmark::logdb::tsql
