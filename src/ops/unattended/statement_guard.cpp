#include "ops/unattended/statement_guard.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iterator>
#include <limits>
#include <optional>
#include <string_view>

#include "base/utf8.h"
#include "ops/modGeneral.h"

namespace quellmark::ops::unattended {
namespace {

constexpr std::string_view kForm = "DELETE TOP (n) FROM ATR_Log";
constexpr std::string_view kOneStatement = "; it must be one DELETE statement alone.";

// Words that begin a statement of their own. SELECT is allowed right after
// '(', where it begins a subquery of the filter.
constexpr std::string_view kStatementWords[] = {
    "ALTER",   "BACKUP",      "BEGIN",      "BREAK",    "BULK",   "CHECKPOINT", "CLOSE",    "COMMIT",     "CONTINUE",
    "CREATE",  "DBCC",        "DEALLOCATE", "DECLARE",  "DELETE", "DENY",       "DISABLE",  "DROP",       "DUMP",
    "ENABLE",  "EXEC",        "EXECUTE",    "FETCH",    "GET",    "GO",         "GOTO",     "GRANT",      "IF",
    "INSERT",  "KILL",        "LOAD",       "MERGE",    "MOVE",   "OPEN",       "PRINT",    "RAISERROR",  "READTEXT",
    "RECEIVE", "RECONFIGURE", "RESTORE",    "RETURN",   "REVERT", "REVOKE",     "ROLLBACK", "SAVE",       "SELECT",
    "SEND",    "SET",         "SETUSER",    "SHUTDOWN", "THROW",  "TRUNCATE",   "UPDATE",   "UPDATETEXT", "USE",
    "WAITFOR", "WHILE",       "WRITETEXT"};

// The words of a filter that join, test or close values; none of them is a
// value or a name itself.
constexpr std::string_view kFilterWords[] = {"AND", "AS", "BETWEEN", "COLLATE", "ELSE", "END", "ESCAPE",
                                             "IN",  "IS", "LIKE",    "OR",      "THEN", "WHEN"};

template <std::size_t N>
bool OneOf(std::string_view word, const std::string_view (&words)[N]) {
    return std::find(std::begin(words), std::end(words), word) != std::end(words);
}

// What SQL Server reads as white space between tokens; other control
// characters never get this far.
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHexDigit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }
bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
// A character of a name not in quotes or brackets: ASCII here, as anything
// else outside quoted text is refused.
bool IsNameChar(char c) { return IsAsciiLetter(c) || IsDigit(c) || c == '_' || c == '@' || c == '#' || c == '$'; }
bool IsWordChar(char c) { return IsNameChar(c) || static_cast<unsigned char>(c) >= 0x80; }

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

std::string Format(const char* format, unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// Refuses bytes the server would not receive as written: what is not UTF-8
// (it cannot become the UTF-16 the server reads) and control characters but
// tab, CR and LF (a NUL ends the text the server reads, whatever follows it).
void CheckCharacters(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::string at = " at byte " + std::to_string(i + 1);
        const std::optional<base::CodePoint> code = base::DecodeUtf8(text, i);
        if (!code)
            Refuse("The statement is not UTF-8 text: byte " + Format("\\x%02X", static_cast<unsigned char>(text[i])) +
                   at + ".");
        const char32_t c = code->value;
        if ((c < 0x20 && c != '\t' && c != '\r' && c != '\n') || (c >= 0x7F && c <= 0x9F))
            Refuse("The statement holds the control character " +
                   Format(c < 0x80 ? "\\x%02X" : "U+%04X", static_cast<unsigned>(c)) + at +
                   "; the server would not read it as written (a NUL ends the statement there), so only tab, CR and "
                   "LF may be in a statement.");
        i += code->length;
    }
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

enum class Kind {
    Word,      // a keyword or a plain name, upper-cased
    Name,      // [...], "...", @variable, #temp: never a keyword
    Literal,   // '...', N'...', a number, 0x..., $...
    Operator,  // = <> != < <= !< > >= !> + - * / % & | ^ ~
    Open,
    Close,
    Comma,
    Dot,
    End
};

struct Token {
    Kind kind = Kind::End;
    std::string text;   // as written
    std::string upper;  // a word's text upper-cased, as keywords are compared
};

// The tokens after `DELETE TOP (n) FROM ATR_Log`, cut where SQL Server's
// lexer cuts them, white space and comments skipped.
class Lexer {
public:
    Lexer(std::string_view text, std::size_t at) : text_(text), i_(at) {}

    Token Next() {
        SkipSpacesAndComments();
        if (i_ >= text_.size()) return {};
        const std::size_t start = i_;
        const char c = text_[i_];
        const char next = i_ + 1 < text_.size() ? text_[i_ + 1] : '\0';
        if (c == '\'' || ((c == 'N' || c == 'n') && next == '\'')) {
            if (c != '\'') ++i_;
            SkipQuoted('\'', "a quoted text ('...')");
            return Take(Kind::Literal, start);
        }
        if (c == '"') {
            SkipQuoted('"', "a quoted name (\"...\")");
            return Take(Kind::Name, start);
        }
        if (c == '[') {
            SkipQuoted(']', "a bracketed name ([...])");
            return Take(Kind::Name, start);
        }
        if (IsDigit(c) || (c == '.' && IsDigit(next)) || c == '$') return Number();
        if (IsAsciiLetter(c) || c == '_' || c == '@' || c == '#') {
            while (i_ < text_.size() && IsNameChar(text_[i_])) ++i_;
            Token word = Take(c == '@' || c == '#' ? Kind::Name : Kind::Word, start);
            if (word.kind == Kind::Word) word.upper = Upper(word.text);
            return word;
        }
        ++i_;
        switch (c) {
            case '(':
                return Take(Kind::Open, start);
            case ')':
                return Take(Kind::Close, start);
            case ',':
                return Take(Kind::Comma, start);
            case '.':
                return Take(Kind::Dot, start);
            case ';':
                Refuse("The statement holds a ';' outside quoted text" + std::string(kOneStatement));
            case '<':
                if (next == '>' || next == '=') ++i_;
                return Take(Kind::Operator, start);
            case '>':
                if (next == '=') ++i_;
                return Take(Kind::Operator, start);
            case '!':
                if (next != '=' && next != '<' && next != '>') break;
                ++i_;
                return Take(Kind::Operator, start);
            case '=':
            case '+':
            case '-':
            case '*':
            case '/':
            case '%':
            case '&':
            case '|':
            case '^':
            case '~':
                return Take(Kind::Operator, start);
            default:
                break;
        }
        if (static_cast<unsigned char>(c) >= 0x80) {
            const std::optional<base::CodePoint> code = base::DecodeUtf8(text_, start);
            Refuse("The statement holds the character " + Format("U+%04X", static_cast<unsigned>(code->value)) +
                   " outside quoted text; a name with letters beyond ASCII goes in brackets ([...]).");
        }
        Refuse(std::string("The statement holds '") + c + "' outside quoted text, where it has no place in a filter.");
    }

private:
    Token Take(Kind kind, std::size_t start) const { return {kind, std::string(text_.substr(start, i_ - start)), {}}; }

    void Digits(bool hex) {
        while (i_ < text_.size() && (hex ? IsHexDigit(text_[i_]) : IsDigit(text_[i_]))) ++i_;
    }

    // 12, 1.5, .5e-3, 1e0, 0x1F, $1.25: the server ends a number at the
    // first character that cannot go on with it and reads a word after it
    // as the next token, so "1e0DELETE" is a number and a second statement.
    Token Number() {
        const std::size_t start = i_;
        if (text_[i_] == '0' && i_ + 1 < text_.size() && (text_[i_ + 1] == 'x' || text_[i_ + 1] == 'X')) {
            i_ += 2;
            Digits(true);
        } else {
            const bool money = text_[i_] == '$';
            if (money) ++i_;
            Digits(false);
            if (i_ < text_.size() && text_[i_] == '.') {
                ++i_;
                Digits(false);
            }
            if (!money && i_ < text_.size() && (text_[i_] == 'e' || text_[i_] == 'E')) {
                ++i_;
                if (i_ < text_.size() && (text_[i_] == '+' || text_[i_] == '-')) ++i_;
                Digits(false);
            }
        }
        if (i_ < text_.size() && IsNameChar(text_[i_])) {
            std::size_t end = i_;
            while (end < text_.size() && IsNameChar(text_[end])) ++end;
            const std::string number(text_.substr(start, i_ - start));
            const std::string word(text_.substr(i_, end - i_));
            const std::string twoTokens = ", which the server reads as two tokens" + std::string(kOneStatement);
            if (OneOf(Upper(word), kStatementWords))
                Refuse("The statement holds a second statement (" + Upper(word) + ") run together with the number " +
                       number + twoTokens);
            Refuse("The statement holds the number " + number + " run together with the word " + word + twoTokens);
        }
        return Take(Kind::Literal, start);
    }

    void SkipSpacesAndComments() {
        while (i_ < text_.size()) {
            if (IsSpace(text_[i_])) {
                ++i_;
            } else if (text_.compare(i_, 2, "--") == 0) {
                while (i_ < text_.size() && text_[i_] != '\n') ++i_;
            } else if (text_.compare(i_, 2, "/*") == 0) {
                SkipBlockComment();
            } else {
                return;
            }
        }
    }

    // Moves past quoted text that starts at i_ and ends with `close`, a
    // doubled `close` standing for itself.
    void SkipQuoted(char close, const char* what) {
        for (++i_; i_ < text_.size(); ++i_) {
            if (text_[i_] != close) continue;
            if (i_ + 1 < text_.size() && text_[i_ + 1] == close) {
                ++i_;
                continue;
            }
            ++i_;
            return;
        }
        Refuse(std::string("The statement leaves ") + what + " open, so where it ends cannot be told.");
    }

    // Moves past a block comment starting at i_; comments nest.
    void SkipBlockComment() {
        int depth = 0;
        while (i_ < text_.size()) {
            if (text_.compare(i_, 2, "/*") == 0) {
                ++depth;
                i_ += 2;
            } else if (text_.compare(i_, 2, "*/") == 0) {
                --depth;
                i_ += 2;
                if (depth == 0) return;
            } else {
                ++i_;
            }
        }
        Refuse("The statement leaves a /* comment open, so where it ends cannot be told.");
    }

    std::string_view text_;
    std::size_t i_;
};

// A token as a refusal shows it: quoted text and names cut short (at a
// character's start), control characters being refused before.
std::string Shown(const Token& token) {
    if (token.kind == Kind::End) return "the end of the statement";
    std::size_t end = token.text.size();
    if (end > 40) {
        end = 37;
        while (end > 0 && (static_cast<unsigned char>(token.text[end]) & 0xC0) == 0x80) --end;
    }
    return "\"" + token.text.substr(0, end) + (end < token.text.size() ? "...\"" : "\"");
}

[[noreturn]] void RefuseSecondStatement(const Token& word) {
    Refuse("The statement holds a second statement (" + word.upper + ") outside quoted text" +
           std::string(kOneStatement));
}

bool IsStatementWord(const Token& token) { return token.kind == Kind::Word && OneOf(token.upper, kStatementWords); }

// Moves past what lies within parentheses that are not part of the filter's
// own expressions (a subquery, table hints), up to and with the ')' that
// closes them; a word that begins a statement stays refused there.
void SkipParenthesized(Lexer& lex) {
    for (int depth = 1; depth > 0;) {
        const Token token = lex.Next();
        if (token.kind == Kind::End)
            Refuse("The statement leaves a parenthesis open, so where it ends cannot be told.");
        if (token.kind == Kind::Open) ++depth;
        if (token.kind == Kind::Close) --depth;
        if (IsStatementWord(token) && token.upper != "SELECT") RefuseSecondStatement(token);
    }
}

// The filter after WHERE: values (literals, names, function calls, CASE,
// subqueries in parentheses) joined by operators and the filter's words,
// and nothing after its last complete value.
void CheckFilter(Lexer& lex) {
    enum class Expect { Value, More, AfterNot };
    Expect expect = Expect::Value;
    int depth = 0;
    int cases = 0;
    Token previous{Kind::Word, "WHERE", "WHERE"};
    for (;;) {
        const Token token = lex.Next();
        const bool word = token.kind == Kind::Word;
        const auto is = [&](std::string_view upper) { return word && token.upper == upper; };
        const bool afterName = previous.kind == Kind::Word || previous.kind == Kind::Name;
        if (expect == Expect::AfterNot) {
            if (!is("IN") && !is("LIKE") && !is("BETWEEN"))
                Refuse("The statement holds " + Shown(token) + " after NOT, where IN, LIKE or BETWEEN belongs.");
            expect = Expect::Value;
        } else if (expect == Expect::Value) {
            if (token.kind == Kind::Literal || token.kind == Kind::Name || is("NULL")) {
                expect = Expect::More;
            } else if (is("SELECT") && previous.kind == Kind::Open) {
                SkipParenthesized(lex);
                --depth;
                expect = Expect::More;
            } else if (IsStatementWord(token)) {
                RefuseSecondStatement(token);
            } else if (is("CASE")) {
                ++cases;
            } else if (is("NOT") || is("EXISTS") || (is("WHEN") && previous.upper == "CASE")) {
                // a value follows
            } else if (word && !OneOf(token.upper, kFilterWords)) {
                expect = Expect::More;  // a column or a function
            } else if (token.kind == Kind::Open) {
                ++depth;
            } else if (token.kind == Kind::Operator && (token.text == "-" || token.text == "+" || token.text == "~")) {
                // a sign
            } else if (token.kind == Kind::Close && previous.kind == Kind::Open && depth > 0) {
                --depth;  // a function called without arguments
                expect = Expect::More;
            } else if (token.kind == Kind::End) {
                Refuse("The statement ends where its filter needs a value.");
            } else {
                Refuse("The statement holds " + Shown(token) + " where its filter needs a value.");
            }
        } else if (token.kind == Kind::End) {
            if (depth > 0) Refuse("The statement leaves a parenthesis open, so where it ends cannot be told.");
            if (cases > 0) Refuse("The statement leaves a CASE without its END.");
            return;
        } else if (token.kind == Kind::Operator && token.text != "~") {
            expect = Expect::Value;
        } else if (is("AND") || is("OR") || is("IS") || is("IN") || is("LIKE") || is("BETWEEN") || is("ESCAPE") ||
                   is("COLLATE") || (cases > 0 && (is("WHEN") || is("THEN") || is("ELSE"))) ||
                   (depth > 0 && is("AS"))) {
            expect = Expect::Value;
        } else if (is("NOT")) {
            expect = Expect::AfterNot;
        } else if (cases > 0 && is("END")) {
            --cases;
        } else if ((token.kind == Kind::Open && afterName) || token.kind == Kind::Comma ||
                   (token.kind == Kind::Dot && afterName)) {
            if (token.kind == Kind::Open) ++depth;
            if (token.kind == Kind::Comma && depth == 0)
                Refuse("The statement holds a ',' outside parentheses, where its filter is complete.");
            expect = Expect::Value;
        } else if (token.kind == Kind::Close && depth > 0) {
            --depth;
        } else if (IsStatementWord(token)) {
            RefuseSecondStatement(token);
        } else {
            Refuse("The statement goes on with " + Shown(token) + " where its filter is complete" +
                   std::string(kOneStatement));
        }
        previous = token;
    }
}

// What may follow `FROM ATR_Log`: table hints in WITH (...), then WHERE and
// the filter, or nothing.
void CheckRest(std::string_view text, std::size_t i) {
    Lexer lex(text, i);
    Token token = lex.Next();
    if (token.kind == Kind::Word && token.upper == "WITH") {
        if (lex.Next().kind != Kind::Open) Refuse("The statement's WITH must be followed by table hints in (...).");
        SkipParenthesized(lex);
        token = lex.Next();
    }
    if (token.kind == Kind::End) return;
    if (token.kind == Kind::Word && token.upper == "WHERE") return CheckFilter(lex);
    if (IsStatementWord(token)) RefuseSecondStatement(token);
    Refuse("The statement goes on with " + Shown(token) +
           " after \"FROM ATR_Log\", where only table hints (WITH (...)) and WHERE with its filter may follow.");
}

}  // namespace

PurgeStatement CheckPurgeStatement(const std::string& text) {
    CheckCharacters(text);
    std::size_t i = 0;
    PurgeStatement statement;
    statement.chunkSize = ReadForm(text, i);
    CheckRest(text, i);
    statement.deleteStatement = ops::TrimTrailingLineBreaks(text);
    statement.countStatement = ops::BuildCountStatement(text);
    return statement;
}

std::string WithTopRows(const std::string& deleteStatement, std::int64_t rows) {
    std::size_t i = 0;
    std::string_view digits;
    ReadForm(deleteStatement, i, &digits);
    const auto at = static_cast<std::size_t>(digits.data() - deleteStatement.data());
    return deleteStatement.substr(0, at) + std::to_string(rows) + deleteStatement.substr(at + digits.size());
}

}  // namespace quellmark::ops::unattended
