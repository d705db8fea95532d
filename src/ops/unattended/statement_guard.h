// The statement an unattended purge runs: the window's form
// `DELETE TOP (n) FROM ATR_Log WHERE ...`, and nothing besides it.
//
// A scheduler runs the statement again and again with nobody watching, so it
// is read the way the server will read it before anything is sent. It must be
// UTF-8 text with no control character but tab, CR and LF (the server would
// not receive anything else as written). Its tokens are cut as the server's
// lexer cuts them: quoted text ('...', N'...', "...", [...], each with its
// doubled closing character), line comments (-- to the end of the line),
// block comments (/* */, nested as the server nests them), numbers (1.5,
// .5e-3, 0x1F, $1) and names; a number run together with a word, and any
// character beyond ASCII outside quoted text, are refused. After the form may
// come table hints (WITH (...)) and WHERE with a filter: values joined by
// operators and the words of a filter (AND, OR, NOT, IN, LIKE, BETWEEN, IS,
// CASE ... END, ...), with nothing after its last complete value, no ';' and
// no word that starts another statement.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace quellmark::ops::unattended {

// A statement refused, with what is wrong with it in plain words.
class StatementRefused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct PurgeStatement {
    std::string deleteStatement;  // the text without its trailing line breaks
    std::string countStatement;   // the window's count statement for it
    std::int64_t chunkSize = 0;   // n of TOP (n)
};

// Checks the text and prepares the run's two statements from it. Throws
// StatementRefused when the text does not begin with
// `DELETE TOP (n) FROM ATR_Log` (n a whole number from 1 to 2147483647, the
// table's name not going on), holds a character refused above, a ';' or a
// second statement outside quoted text and comments, goes on after its
// filter is complete, or leaves a quote, comment or parenthesis open.
PurgeStatement CheckPurgeStatement(const std::string& text);

// A checked delete statement with `rows` in place of n, all else as it is.
std::string WithTopRows(const std::string& deleteStatement, std::int64_t rows);

}  // namespace quellmark::ops::unattended
