#include "ops/purge_statement.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <limits>
#include <string_view>

#include "ops/modGeneral.h"

namespace quellmark::purge {
namespace {

constexpr std::string_view kForm = "DELETE TOP (n) FROM ATR_Log";

// Words that begin a statement of their own. SELECT is allowed inside
// parentheses, where it is a subquery of the filter.
constexpr std::string_view kStatementWords[] = {
    "ALTER",   "BACKUP",      "BEGIN",      "BREAK",    "BULK",   "CHECKPOINT", "CLOSE",    "COMMIT",     "CONTINUE",
    "CREATE",  "DBCC",        "DEALLOCATE", "DECLARE",  "DELETE", "DENY",       "DISABLE",  "DROP",       "DUMP",
    "ENABLE",  "EXEC",        "EXECUTE",    "FETCH",    "GET",    "GO",         "GOTO",     "GRANT",      "IF",
    "INSERT",  "KILL",        "LOAD",       "MERGE",    "MOVE",   "OPEN",       "PRINT",    "RAISERROR",  "READTEXT",
    "RECEIVE", "RECONFIGURE", "RESTORE",    "RETURN",   "REVERT", "REVOKE",     "ROLLBACK", "SAVE",       "SELECT",
    "SEND",    "SET",         "SETUSER",    "SHUTDOWN", "THROW",  "TRUNCATE",   "UPDATE",   "UPDATETEXT", "USE",
    "WAITFOR", "WHILE",       "WRITETEXT"};

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsWordChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '@' || c == '#' || c == '$' ||
           static_cast<unsigned char>(c) >= 0x80;
}

std::string Upper(std::string_view text) {
    std::string upper(text);
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return upper;
}

[[noreturn]] void Refuse(const std::string& why) { throw StatementRefused(why); }

[[noreturn]] void NotTheForm() {
    Refuse("The statement must begin with \"" + std::string(kForm) +
           "\", n a whole number of rows from 1 to 2147483647, as the window's templates write it.");
}

// Reads the form's beginning; returns n and moves `i` past "ATR_Log".
// `digits`, when given, receives where n's digits stand.
std::int64_t ReadForm(std::string_view text, std::size_t& i, std::string_view* digits = nullptr) {
    const auto spaces = [&](bool required) {
        const std::size_t start = i;
        while (i < text.size() && IsSpace(text[i])) ++i;
        if (required && i == start) NotTheForm();
    };
    const auto literal = [&](std::string_view word) {
        if (text.substr(i, word.size()) != word) NotTheForm();
        i += word.size();
    };
    spaces(false);
    literal("DELETE");
    spaces(true);
    literal("TOP");
    spaces(false);
    literal("(");
    spaces(false);
    const std::size_t digitsAt = i;
    while (i < text.size() && IsDigit(text[i])) ++i;
    const std::string_view number = text.substr(digitsAt, i - digitsAt);
    if (number.empty()) NotTheForm();
    if (digits) *digits = number;
    std::int64_t n = 0;
    for (char c : number) {
        n = n * 10 + (c - '0');
        if (n > std::numeric_limits<std::int32_t>::max()) NotTheForm();
    }
    if (n < 1) NotTheForm();
    spaces(false);
    literal(")");
    spaces(true);
    // The count statement is cut at exactly this text.
    literal("FROM ATR_Log");
    // ATR_Log itself, not a longer name or a part of one.
    if (i < text.size() && (IsWordChar(text[i]) || text[i] == '.')) NotTheForm();
    return n;
}

// Moves `i` past quoted text that starts at `i` with `open` and ends with
// `close`, a doubled `close` standing for itself.
void SkipQuoted(std::string_view text, std::size_t& i, char close, const char* what) {
    for (++i; i < text.size(); ++i) {
        if (text[i] != close) continue;
        if (i + 1 < text.size() && text[i + 1] == close) {
            ++i;
            continue;
        }
        ++i;
        return;
    }
    Refuse(std::string("The statement leaves ") + what + " open, so where it ends cannot be told.");
}

// Moves `i` past a block comment starting at `i`; comments nest.
void SkipBlockComment(std::string_view text, std::size_t& i) {
    int depth = 0;
    while (i < text.size()) {
        if (text.compare(i, 2, "/*") == 0) {
            ++depth;
            i += 2;
        } else if (text.compare(i, 2, "*/") == 0) {
            --depth;
            i += 2;
            if (depth == 0) return;
        } else {
            ++i;
        }
    }
    Refuse("The statement leaves a /* comment open, so where it ends cannot be told.");
}

// The keyword a run of word characters stands for, once the digits (and the
// decimal point) a number may put in front of it are taken off: the server
// reads "1DELETE" as the number 1 followed by DELETE.
std::string WordAfterNumber(std::string_view word) {
    std::size_t start = 0;
    while (start < word.size() && (IsDigit(word[start]) || word[start] == '.')) ++start;
    return Upper(word.substr(start));
}

void CheckRest(std::string_view text, std::size_t i) {
    int depth = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '\'') {
            SkipQuoted(text, i, '\'', "a quoted text ('...')");
        } else if (c == '"') {
            SkipQuoted(text, i, '"', "a quoted name (\"...\")");
        } else if (c == '[') {
            SkipQuoted(text, i, ']', "a bracketed name ([...])");
        } else if (text.compare(i, 2, "--") == 0) {
            while (i < text.size() && text[i] != '\n') ++i;
        } else if (text.compare(i, 2, "/*") == 0) {
            SkipBlockComment(text, i);
        } else if (c == ';') {
            Refuse("The statement holds a ';' outside quoted text; it must be one DELETE statement alone.");
        } else if (c == '(') {
            ++depth;
            ++i;
        } else if (c == ')') {
            --depth;
            ++i;
        } else if (IsWordChar(c) && c != '.') {
            const std::size_t start = i;
            while (i < text.size() && IsWordChar(text[i])) ++i;
            const std::string word = WordAfterNumber(text.substr(start, i - start));
            const bool statement =
                std::find(std::begin(kStatementWords), std::end(kStatementWords), word) != std::end(kStatementWords);
            if (statement && !(word == "SELECT" && depth > 0))
                Refuse("The statement holds a second statement (" + word +
                       ") outside quoted text; it must be one DELETE statement alone.");
        } else {
            ++i;
        }
    }
}

}  // namespace

PurgeStatement CheckPurgeStatement(const std::string& text) {
    std::size_t i = 0;
    PurgeStatement statement;
    statement.chunkSize = ReadForm(text, i);
    CheckRest(text, i);
    statement.deleteStatement = modGeneral::TrimTrailingLineBreaks(text);
    statement.countStatement = modGeneral::BuildCountStatement(text);
    return statement;
}

std::string WithTopRows(const std::string& deleteStatement, std::int64_t rows) {
    std::size_t i = 0;
    std::string_view digits;
    ReadForm(deleteStatement, i, &digits);
    const auto at = static_cast<std::size_t>(digits.data() - deleteStatement.data());
    return deleteStatement.substr(0, at) + std::to_string(rows) + deleteStatement.substr(at + digits.size());
}

}  // namespace quellmark::purge
