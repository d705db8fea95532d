#include "logdb/tsql_lexer.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace quellmark::logdb::tsql {

std::string Upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

constexpr std::array kReserved = {
    "ADD",       "ALL",      "ALTER",   "AND",    "ANY",         "AS",       "ASC",       "BACKUP",   "BEGIN",
    "BETWEEN",   "BREAK",    "BY",      "CASE",   "CHECK",       "CLOSE",    "COLLATE",   "COLUMN",   "COMMIT",
    "CREATE",    "CROSS",    "CURRENT", "CURSOR", "DATABASE",    "DECLARE",  "DEFAULT",   "DELETE",   "DENY",
    "DESC",      "DISTINCT", "DROP",    "ELSE",   "END",         "ESCAPE",   "EXCEPT",    "EXEC",     "EXECUTE",
    "EXISTS",    "FETCH",    "FOR",     "FROM",   "FULL",        "FUNCTION", "GO",        "GOTO",     "GRANT",
    "GROUP",     "HAVING",   "IF",      "IN",     "INNER",       "INSERT",   "INTERSECT", "INTO",     "IS",
    "JOIN",      "KILL",     "LEFT",    "LIKE",   "MERGE",       "NOT",      "NULL",      "OF",       "OFF",
    "ON",        "OPEN",     "OPTION",  "OR",     "ORDER",       "OUTER",    "PERCENT",   "PRINT",    "PROC",
    "PROCEDURE", "RETURN",   "REVOKE",  "RIGHT",  "ROLLBACK",    "SELECT",   "SET",       "SHUTDOWN", "TABLE",
    "THEN",      "TO",       "TOP",     "TRAN",   "TRANSACTION", "TRUNCATE", "UNION",     "UPDATE",   "USE",
    "VALUES",    "VIEW",     "WHEN",    "WHERE",  "WHILE",       "WITH",
};

bool IsReserved(std::string_view word) {
    const std::string up = Upper(word);
    return std::find(kReserved.begin(), kReserved.end(), up) != kReserved.end();
}

SqlMessage SyntaxNear(const Token& t) {
    if (t.kind == Tok::Word && IsReserved(t.text))
        return {156, 1, 15, "Incorrect syntax near the keyword '" + Upper(t.text) + "'."};
    return {102, 1, 15, "Incorrect syntax near '" + t.text + "'."};
}

namespace {

// The text of a quoted string or name from just after its opening quote up
// to the closing `close` (doubled, it stands for itself), leaving `i` after
// it. At the end of the batch: SQL Server's unclosed-quotation error, which a
// string literal follows with a syntax error.
std::string ReadQuoted(std::string_view s, std::size_t& i, char close, bool literal) {
    std::string text;
    for (;;) {
        if (i >= s.size()) {
            const SqlMessage unclosed{105, 1, 15, "Unclosed quotation mark after the character string '" + text + "'."};
            if (literal) throw SqlFailure({unclosed, SqlMessage{102, 1, 15, "Incorrect syntax near '" + text + "'."}});
            throw SqlFailure(unclosed);
        }
        if (s[i] == close) {
            if (i + 1 < s.size() && s[i + 1] == close) {
                text.push_back(close);
                i += 2;
                continue;
            }
            ++i;
            return text;
        }
        text.push_back(s[i++]);
    }
}

}  // namespace

std::vector<Token> Tokenize(std::string_view s) {
    std::vector<Token> tokens;
    std::size_t i = 0;
    const auto isWordStart = [](unsigned char c) { return std::isalpha(c) || c == '_' || c == '#' || c >= 0x80; };
    const auto isWordChar = [](unsigned char c) {
        return std::isalnum(c) || c == '_' || c == '#' || c == '@' || c == '$' || c >= 0x80;
    };
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (std::isspace(c)) {
            ++i;
        } else if (c == '-' && i + 1 < s.size() && s[i + 1] == '-') {
            while (i < s.size() && s[i] != '\n') ++i;
        } else if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
            int depth = 0;
            do {
                if (s.compare(i, 2, "/*") == 0) {
                    ++depth, i += 2;
                } else if (s.compare(i, 2, "*/") == 0) {
                    --depth, i += 2;
                } else {
                    ++i;
                }
            } while (depth > 0 && i < s.size());
            if (depth > 0) throw SqlFailure(SqlMessage{113, 1, 15, "Missing end comment mark '*/'."});
        } else if (c == '\'' || ((c == 'N' || c == 'n') && i + 1 < s.size() && s[i + 1] == '\'')) {
            Token t;
            t.kind = c == '\'' ? Tok::String : Tok::NString;
            i += c == '\'' ? 1 : 2;
            t.text = ReadQuoted(s, i, '\'', true);
            tokens.push_back(std::move(t));
        } else if (c == '[' || c == '"') {
            const char close = c == '[' ? ']' : '"';
            Token t{Tok::Quoted, {}};
            ++i;
            t.text = ReadQuoted(s, i, close, false);
            tokens.push_back(std::move(t));
        } else if (std::isdigit(c) ||
                   (c == '.' && i + 1 < s.size() && std::isdigit(static_cast<unsigned char>(s[i + 1])))) {
            const std::size_t start = i;
            while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
            if (i < s.size() && s[i] == '.') {
                ++i;
                while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
            }
            tokens.push_back({Tok::Number, std::string(s.substr(start, i - start))});
        } else if (c == '@') {
            const std::size_t start = i;
            while (i < s.size() && s[i] == '@') ++i;
            while (i < s.size() && isWordChar(static_cast<unsigned char>(s[i]))) ++i;
            tokens.push_back({Tok::Variable, std::string(s.substr(start, i - start))});
        } else if (isWordStart(c)) {
            const std::size_t start = i;
            while (i < s.size() && isWordChar(static_cast<unsigned char>(s[i]))) ++i;
            tokens.push_back({Tok::Word, std::string(s.substr(start, i - start))});
        } else {
            static constexpr std::array<std::string_view, 7> kTwo = {"<>", "!=", "<=", ">=", "!<", "!>", "=="};
            std::string op(1, static_cast<char>(c));
            if (i + 1 < s.size()) {
                const std::string_view two = s.substr(i, 2);
                if (std::find(kTwo.begin(), kTwo.end() - 1, two) != kTwo.end() - 1) op = std::string(two);
            }
            static constexpr std::string_view kSingle = "=<>(),;*.+-";
            if (op.size() == 1 && kSingle.find(static_cast<char>(c)) == std::string_view::npos) {
                std::string near(1, static_cast<char>(c));
                // keep a multi-byte character whole in the message
                while (i + near.size() < s.size() && (static_cast<unsigned char>(s[i + near.size()]) & 0xC0) == 0x80)
                    near.push_back(s[i + near.size()]);
                throw SqlFailure(SqlMessage{102, 1, 15, "Incorrect syntax near '" + near + "'."});
            }
            tokens.push_back({Tok::Op, op});
            i += op.size();
        }
    }
    tokens.push_back({Tok::End, {}});
    return tokens;
}

}  // namespace quellmark::logdb::tsql
