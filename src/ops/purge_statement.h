// The statement an unattended purge runs: the window's form
// `DELETE TOP (n) FROM ATR_Log WHERE ...`, and nothing besides it.
//
// A scheduler runs the statement again and again with nobody watching, so it
// is read the way the server will read it before anything is sent: quoted
// text ('...', N'...', "...", [...], each with its doubled closing
// character), line comments (-- to the end of the line) and block comments
// (/* */, nested as the server nests them) are skipped, and what remains must
// hold no ';' and no word that starts another statement.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace quellmark::purge {

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
// table's name not going on), holds a ';' or a second statement
// outside quoted text and comments, or leaves a quote or comment open.
PurgeStatement CheckPurgeStatement(const std::string& text);

// A checked delete statement with `rows` in place of n, all else as it is.
std::string WithTopRows(const std::string& deleteStatement, std::int64_t rows);

}  // namespace quellmark::purge
