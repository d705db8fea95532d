#include "logdb/tsql.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <functional>

#include "base/text.h"
#include "logdb/tsql_lexer.h"
#include "logdb/tsql_literals.h"

namespace quellmark::logdb {
namespace {

using namespace tsql;

// Msg 1060: a TOP or SET ROWCOUNT value that is not a whole number of rows.
SqlMessage RowCountNotAnInteger() {
    return {1060, 1, 15,
            "The number of rows provided for a TOP or FETCH clauses row count parameter must be an integer."};
}

// ---- Parser ------------------------------------------------------------------------

class Parser {
public:
    Parser(std::vector<Token> tokens, std::string_view database) : t_(std::move(tokens)), database_(database) {}

    std::vector<Statement> Batch() {
        std::vector<Statement> out;
        while (Peek().kind != Tok::End) {
            if (IsOp(";")) {
                ++pos_;
                continue;
            }
            out.push_back(OneStatement());
            const Token& next = Peek();
            if (!(next.kind == Tok::End || IsOp(";") || IsStatementStart(next))) Fail(next);
        }
        return out;
    }

private:
    // -- token helpers
    const Token& Peek(std::size_t ahead = 0) const { return t_[std::min(pos_ + ahead, t_.size() - 1)]; }
    const Token& Take() {
        const Token& t = Peek();
        if (pos_ < t_.size() - 1) ++pos_;
        return t;
    }
    bool IsWord(std::string_view w, std::size_t ahead = 0) const {
        const Token& t = Peek(ahead);
        return t.kind == Tok::Word && base::EqualsIgnoreCase(t.text, w);
    }
    bool IsOp(std::string_view op, std::size_t ahead = 0) const {
        const Token& t = Peek(ahead);
        return t.kind == Tok::Op && t.text == op;
    }
    static bool IsStatementStart(const Token& t) {
        return t.kind == Tok::Word &&
               (base::EqualsIgnoreCase(t.text, "SELECT") || base::EqualsIgnoreCase(t.text, "DELETE") ||
                base::EqualsIgnoreCase(t.text, "SET") || base::EqualsIgnoreCase(t.text, "DECLARE") ||
                base::EqualsIgnoreCase(t.text, "EXEC") || base::EqualsIgnoreCase(t.text, "EXECUTE"));
    }
    [[noreturn]] void Fail(const Token& t) const {
        // At the end of the text a server names the last token it read.
        if (t.kind == Tok::End && t_.size() >= 2) throw SqlFailure(SyntaxNear(t_[t_.size() - 2]));
        throw SqlFailure(SyntaxNear(t));
    }
    void ExpectWord(std::string_view w) {
        if (!IsWord(w)) Fail(Peek());
        ++pos_;
    }
    void ExpectOp(std::string_view op) {
        if (!IsOp(op)) Fail(Peek());
        ++pos_;
    }
    bool IsIdentifier(const Token& t) const {
        return t.kind == Tok::Quoted || (t.kind == Tok::Word && !IsReserved(t.text));
    }

    Statement OneStatement() {
        if (IsWord("SET")) return SetStatement();
        if (IsWord("SELECT")) return SelectStatement();
        if (IsWord("DELETE")) return DeleteStatement();
        if (IsWord("DECLARE")) return DeclareStatement();
        if (IsWord("EXEC") || IsWord("EXECUTE")) return ExecStatement();
        Fail(Peek());
    }

    // -- DECLARE @name [AS] type [(n|MAX)] [= value], ...
    Statement DeclareStatement() {
        ExpectWord("DECLARE");
        Statement s;
        s.kind = Statement::Kind::Declare;
        do {
            const Token& name = Take();
            if (name.kind != Tok::Variable || name.text.starts_with("@@")) Fail(name);
            Declaration d;
            d.name = Upper(name.text);
            if (IsWord("AS")) ++pos_;
            const Token& type = Take();
            if (type.kind != Tok::Word) Fail(type);
            static constexpr std::array kIntegers = {"INT", "INTEGER", "BIGINT", "SMALLINT", "TINYINT", "BIT"};
            static constexpr std::array kTexts = {"NVARCHAR", "VARCHAR", "NCHAR", "CHAR", "SYSNAME"};
            const std::string upper = Upper(type.text);
            d.isText = std::find(kTexts.begin(), kTexts.end(), upper) != kTexts.end();
            if (!d.isText && std::find(kIntegers.begin(), kIntegers.end(), upper) == kIntegers.end())
                throw SqlFailure(SqlMessage{
                    2715, 3, 16, "Column, parameter, or variable #1: Cannot find data type " + type.text + "."});
            if (d.isText && IsOp("(")) {
                ++pos_;
                const Token& size = Take();
                if (size.kind != Tok::Number && !(size.kind == Tok::Word && base::EqualsIgnoreCase(size.text, "MAX")))
                    Fail(size);
                ExpectOp(")");
            }
            if (IsOp("=")) {
                ++pos_;
                d.initial = Value(false);
            }
            s.declarations.push_back(std::move(d));
        } while (IsOp(",") && (++pos_, true));
        return s;
    }

    // -- EXEC[UTE] [@status =] name [[@name =] value [OUTPUT|OUT], ...]
    Statement ExecStatement() {
        ++pos_;
        Statement s;
        s.kind = Statement::Kind::Exec;
        if (Peek().kind == Tok::Variable && IsOp("=", 1)) {
            if (Peek().text.starts_with("@@")) Fail(Peek());
            s.statusVariable = Upper(Take().text);
            ++pos_;
        }
        const Token& first = Take();
        if (!IsIdentifier(first)) Fail(first);
        s.procedure = first.text;
        while (IsOp(".")) {  // schema.name, database.schema.name, database..name
            ++pos_;
            s.procedure += ".";
            if (IsOp(".")) continue;
            const Token& part = Take();
            if (!IsIdentifier(part)) Fail(part);
            s.procedure += part.text;
        }
        if (Peek().kind == Tok::End || IsOp(";") || IsStatementStart(Peek())) return s;
        do {
            ExecArgument a;
            if (Peek().kind == Tok::Variable && IsOp("=", 1)) {
                a.name = Take().text;
                ++pos_;
            }
            a.value = Value(true);
            if (IsWord("OUTPUT") || IsWord("OUT")) ++pos_;
            s.arguments.push_back(std::move(a));
        } while (IsOp(",") && (++pos_, true));
        return s;
    }

    // A value of DECLARE or EXEC: a number, a string, NULL, a variable; in
    // EXEC also DEFAULT and a bare word (taken as text, as T-SQL does).
    ExecValue Value(bool inExec) {
        ExecValue v;
        const Token& t = Take();
        if (t.kind == Tok::Number || (t.kind == Tok::Op && t.text == "-" && Peek().kind == Tok::Number)) {
            const bool negative = t.kind == Tok::Op;
            const Token& digits = negative ? Take() : t;
            const std::optional<std::int64_t> n = ParseIntLiteral(digits.text);
            if (!n || *n > 2147483647LL + (negative ? 1 : 0)) Fail(digits);
            v.kind = ExecValue::Kind::Integer;
            v.integer = negative ? -*n : *n;
        } else if (t.kind == Tok::String || t.kind == Tok::NString) {
            v.kind = ExecValue::Kind::Text;
            v.text = t.text;
        } else if (t.kind == Tok::Variable && !t.text.starts_with("@@")) {
            v.kind = ExecValue::Kind::Variable;
            v.text = Upper(t.text);
        } else if (t.kind == Tok::Word && base::EqualsIgnoreCase(t.text, "NULL")) {
            v.kind = ExecValue::Kind::Null;
        } else if (inExec && t.kind == Tok::Word && base::EqualsIgnoreCase(t.text, "DEFAULT")) {
            v.kind = ExecValue::Kind::Default;
        } else if (inExec && (t.kind == Tok::Word || t.kind == Tok::Quoted) && !IsStatementStart(t)) {
            v.kind = ExecValue::Kind::Text;
            v.text = t.text;
        } else {
            Fail(t);
        }
        return v;
    }

    // -- SET
    Statement SetStatement() {
        ExpectWord("SET");
        static constexpr std::array kOnOff = {
            "NOCOUNT",
            "ANSI_NULLS",
            "ANSI_WARNINGS",
            "ANSI_PADDING",
            "ANSI_NULL_DFLT_ON",
            "ANSI_NULL_DFLT_OFF",
            "QUOTED_IDENTIFIER",
            "CONCAT_NULL_YIELDS_NULL",
            "ARITHABORT",
            "ARITHIGNORE",
            "IMPLICIT_TRANSACTIONS",
            "CURSOR_CLOSE_ON_COMMIT",
            "XACT_ABORT",
            "NUMERIC_ROUNDABORT",
            "ANSI_DEFAULTS",
            "FMTONLY",
            "NOEXEC",
            "PARSEONLY",
            "FORCEPLAN",
            "NO_BROWSETABLE",
        };
        static constexpr std::array kValued = {
            "ROWCOUNT",   "TEXTSIZE", "LOCK_TIMEOUT",      "DATEFIRST",
            "DATEFORMAT", "LANGUAGE", "DEADLOCK_PRIORITY", "QUERY_GOVERNOR_COST_LIMIT"};
        Statement s;
        s.kind = Statement::Kind::Set;
        const Token& name = Peek();
        if (name.kind != Tok::Word) Fail(name);
        const std::string option = Upper(name.text);
        if (option == "TRANSACTION") {
            ++pos_;
            ExpectWord("ISOLATION");
            ExpectWord("LEVEL");
            if (IsWord("READ")) {
                ++pos_;
                if (!IsWord("COMMITTED") && !IsWord("UNCOMMITTED")) Fail(Peek());
                ++pos_;
            } else if (IsWord("REPEATABLE")) {
                ++pos_;
                ExpectWord("READ");
            } else if (IsWord("SNAPSHOT") || IsWord("SERIALIZABLE")) {
                ++pos_;
            } else {
                Fail(Peek());
            }
            s.option = "TRANSACTION ISOLATION LEVEL";
            return s;
        }
        if (std::find(kOnOff.begin(), kOnOff.end(), option) != kOnOff.end()) {
            ++pos_;
            s.option = option;
            while (IsOp(",")) {  // SET ANSI_NULLS, ANSI_PADDING ON
                ++pos_;
                const Token& more = Take();
                if (more.kind != Tok::Word || std::find(kOnOff.begin(), kOnOff.end(), Upper(more.text)) == kOnOff.end())
                    Fail(more);
                s.option += "," + Upper(more.text);
            }
            if (!IsWord("ON") && !IsWord("OFF")) Fail(Peek());
            s.value = Upper(Take().text);
            return s;
        }
        if (std::find(kValued.begin(), kValued.end(), option) != kValued.end()) {
            ++pos_;
            s.option = option;
            std::string sign;
            if (IsOp("-")) {
                ++pos_;
                sign = "-";
            }
            const Token& v = Take();
            if (v.kind == Tok::Number) {
                s.value = sign + v.text;
            } else if (sign.empty() && (v.kind == Tok::Word || v.kind == Tok::String || v.kind == Tok::NString ||
                                        v.kind == Tok::Quoted)) {
                s.value = v.text;
            } else {
                Fail(v);
            }
            if (option == "ROWCOUNT" && (s.value.find('.') != std::string::npos || !sign.empty() ||
                                         !ParseIntLiteral(s.value) || *ParseIntLiteral(s.value) > 2147483647))
                throw SqlFailure(RowCountNotAnInteger());
            // A lock time-out in ms (-1: wait forever); a deadlock priority by name or from -10 to 10.
            const std::optional<std::int64_t> magnitude =
                v.kind == Tok::Number ? ParseIntLiteral(v.text) : std::optional<std::int64_t>();
            const bool isNumber = magnitude.has_value();
            const std::int64_t number = isNumber ? (sign.empty() ? *magnitude : -*magnitude) : 0;
            if (option == "LOCK_TIMEOUT" && !(isNumber && number >= -1 && number <= 2147483647)) Fail(v);
            const std::string word = v.kind == Tok::Word ? Upper(v.text) : std::string();
            if (option == "DEADLOCK_PRIORITY" &&
                !(isNumber ? number >= -10 && number <= 10 : word == "LOW" || word == "NORMAL" || word == "HIGH"))
                Fail(v);
            return s;
        }
        Fail(name);
    }

    // -- SELECT
    Statement SelectStatement() {
        ExpectWord("SELECT");
        if ((IsWord("COUNT") || IsWord("COUNT_BIG")) && IsOp("(", 1)) return CountStatement();
        if (IsWord("TOP") || IsOp("*")) return RowsStatement();
        return ProbeStatement();
    }

    std::string Alias() {
        if (IsWord("AS")) {
            ++pos_;
            const Token& a = Take();
            if (!(IsIdentifier(a) || a.kind == Tok::String || a.kind == Tok::NString)) Fail(a);
            return a.text;
        }
        if (IsIdentifier(Peek()) && !IsWord("FROM")) return Take().text;
        if (Peek().kind == Tok::String) return Take().text;
        return {};
    }

    Statement ProbeStatement() {
        Statement s;
        s.kind = Statement::Kind::Probe;
        do {
            ProbeItem item;
            const Token& t = Take();
            if (t.kind == Tok::Variable) {
                item.kind = ProbeItem::Kind::Variable;
                item.text = Upper(t.text);
            } else if (t.kind == Tok::Number || (t.kind == Tok::Op && t.text == "-" && Peek().kind == Tok::Number)) {
                const std::string digits = t.kind == Tok::Number ? t.text : "-" + Take().text;
                if (digits.find('.') != std::string::npos) {
                    item.kind = ProbeItem::Kind::Text;
                    item.text = digits;
                } else {
                    const std::optional<std::int64_t> v = ParseIntLiteral(digits);
                    if (!v || *v > 2147483647LL || *v < -2147483648LL) Fail(t);
                    item.integer = *v;
                }
            } else if (t.kind == Tok::String || t.kind == Tok::NString) {
                item.kind = ProbeItem::Kind::Text;
                item.text = t.text;
            } else if (t.kind == Tok::Word && !IsReserved(t.text) && IsOp("(")) {
                ++pos_;
                ExpectOp(")");
                item.kind = ProbeItem::Kind::Function;
                item.text = Upper(t.text);
            } else {
                Fail(t);
            }
            item.alias = Alias();
            s.probe.push_back(std::move(item));
        } while (IsOp(",") && (++pos_, true));
        if (IsWord("FROM")) Fail(Peek());
        return s;
    }

    Statement CountStatement() {
        Statement s;
        s.kind = Statement::Kind::Count;
        s.bigCount = IsWord("COUNT_BIG");
        pos_ += 2;
        std::string argument;
        std::vector<std::string> pendingColumns;  // names to check once the table is known
        if (IsOp("*")) {
            ++pos_;
            argument = "*";
        } else if (Peek().kind == Tok::Number) {
            Take();
            argument = "*";  // COUNT(1): every row
        } else {
            bool distinct = false;
            if (IsWord("ALL")) {
                ++pos_;
            } else if (IsWord("DISTINCT")) {
                ++pos_;
                distinct = true;
            }
            const ColumnInfo* column = ColumnRef();
            argument = std::string(distinct ? "DISTINCT " : "") + "\"" + column->name + "\"" +
                       (distinct && column->type == ColType::Text ? " COLLATE QM_CI" : "");
        }
        ExpectOp(")");
        s.columnName = Alias();
        ExpectWord("FROM");
        TableName();
        std::string where;
        if (IsWord("WHERE")) {
            ++pos_;
            where = Condition(0);
        }
        if (IsWord("ORDER")) {
            ++pos_;
            ExpectWord("BY");
            do {
                if (Peek().kind == Tok::Number) {
                    const Token& n = Take();
                    if (n.text != "1")
                        throw SqlFailure(SqlMessage{108, 1, 15,
                                                    "The ORDER BY position number " + n.text +
                                                        " is out of range of the number of items in the select list."});
                } else {
                    const ColumnInfo* column = ColumnRef();
                    throw SqlFailure(
                        SqlMessage{8127, 1, 16,
                                   std::string("Column \"") + kTable + "." + column->name +
                                       "\" is invalid in the ORDER BY clause because it is not "
                                       "contained in either an aggregate function or the GROUP BY clause."});
                }
                if (IsWord("ASC") || IsWord("DESC")) ++pos_;
            } while (IsOp(",") && (++pos_, true));
        }
        s.countSql = "SELECT COUNT(" + argument + ") FROM \"" + std::string(kTable) + "\"";
        if (!where.empty()) s.countSql += " WHERE " + where;
        return s;
    }

    // TOP (n) [PERCENT], or TOP n where a SELECT allows it.
    void Top(Statement& s, bool parenthesesRequired) {
        ExpectWord("TOP");
        int depth = 0;
        if (parenthesesRequired && !IsOp("(")) Fail(Peek());
        while (IsOp("(")) ++pos_, ++depth;
        const Token& n = Take();
        // A negative number or a text where the row count goes.
        if ((n.kind == Tok::Op && n.text == "-" && Peek().kind == Tok::Number) || n.kind == Tok::String ||
            n.kind == Tok::NString)
            throw SqlFailure(RowCountNotAnInteger());
        if (n.kind != Tok::Number) Fail(n);
        for (; depth > 0; --depth) ExpectOp(")");
        double value = 0;
        std::from_chars(n.text.data(), n.text.data() + n.text.size(), value);
        if (IsWord("PERCENT")) {
            ++pos_;
            s.topPercent = true;
            if (value > 100) throw SqlFailure(SqlMessage{1031, 1, 15, "Percent values must be between 0 and 100."});
        } else if (n.text.find('.') != std::string::npos) {
            throw SqlFailure(RowCountNotAnInteger());
        }
        s.top = value;
    }

    // -- SELECT [TOP (n) | TOP n] * FROM <table> [WHERE cond]: rows by log_id
    Statement RowsStatement() {
        Statement s;
        s.kind = Statement::Kind::Rows;
        if (IsWord("TOP")) Top(s, false);
        ExpectOp("*");
        ExpectWord("FROM");
        TableName();
        if (IsWord("WHERE")) {
            ++pos_;
            s.where = Condition(0);
        }
        return s;
    }

    // -- DELETE
    Statement DeleteStatement() {
        ExpectWord("DELETE");
        Statement s;
        s.kind = Statement::Kind::Delete;
        if (IsWord("TOP")) Top(s, true);  // DELETE needs TOP's parentheses
        if (IsWord("FROM")) ++pos_;
        TableName();
        if (IsWord("WITH") && IsOp("(", 1)) {  // table hints: accepted, no effect here
            pos_ += 2;
            do {
                const Token& hint = Take();
                if (hint.kind != Tok::Word) Fail(hint);
            } while (IsOp(",") && (++pos_, true));
            ExpectOp(")");
        }
        if (IsWord("WHERE")) {
            ++pos_;
            s.where = Condition(0);
        }
        return s;
    }

    // -- names
    std::vector<std::string> MultiPartName() {
        std::vector<std::string> parts;
        for (;;) {
            if (IsOp(".")) {  // an empty part: db..table
                parts.emplace_back();
                ++pos_;
                continue;
            }
            const Token& t = Peek();
            if (!IsIdentifier(t)) Fail(t);
            parts.push_back(Take().text);
            if (!IsOp(".")) break;
            ++pos_;
        }
        return parts;
    }

    static std::string Joined(const std::vector<std::string>& parts) {
        std::string out;
        for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? "." : "") + parts[i];
        return out;
    }

    bool NamesTable(const std::vector<std::string>& parts) const {
        if (parts.empty() || parts.size() > 3 || !base::EqualsIgnoreCase(parts.back(), kTable)) return false;
        if (parts.size() >= 2 && !parts[parts.size() - 2].empty() &&
            !base::EqualsIgnoreCase(parts[parts.size() - 2], "dbo"))
            return false;
        if (parts.size() == 3 && !base::EqualsIgnoreCase(parts[0], database_)) return false;
        return true;
    }

    void TableName() {
        const std::vector<std::string> parts = MultiPartName();
        if (!NamesTable(parts))
            throw SqlFailure(SqlMessage{208, 1, 16, "Invalid object name '" + Joined(parts) + "'."});
    }

    const ColumnInfo* ColumnRef() {
        const std::vector<std::string> parts = MultiPartName();
        const std::string& name = parts.back();
        if (parts.size() > 1) {
            const std::vector<std::string> table(parts.begin(), parts.end() - 1);
            if (!NamesTable(table))
                throw SqlFailure(
                    SqlMessage{4104, 1, 16, "The multi-part identifier \"" + Joined(parts) + "\" could not be bound."});
        }
        for (const ColumnInfo& c : kColumns)
            if (base::EqualsIgnoreCase(c.name, name)) return &c;
        throw SqlFailure(SqlMessage{207, 1, 16, "Invalid column name '" + name + "'."});
    }

    // -- conditions
    static constexpr int kMaxDepth = 128;

    void Deeper(int depth) const {
        if (depth > kMaxDepth)
            throw SqlFailure(SqlMessage{191, 1, 15,
                                        "Some part of your SQL statement is nested too deeply. Rewrite the query or "
                                        "break it up into smaller queries."});
    }

    // Joins terms as a balanced tree, so long AND/OR chains stay shallow for SQLite.
    static std::string Balanced(const std::vector<std::string>& terms, std::size_t from, std::size_t to,
                                const char* op) {
        if (to - from == 1) return terms[from];
        const std::size_t mid = from + (to - from) / 2;
        return "(" + Balanced(terms, from, mid, op) + " " + op + " " + Balanced(terms, mid, to, op) + ")";
    }

    std::string Condition(int depth) {
        Deeper(depth);
        std::vector<std::string> terms{AndCondition(depth)};
        while (IsWord("OR")) {
            ++pos_;
            terms.push_back(AndCondition(depth));
        }
        return Balanced(terms, 0, terms.size(), "OR");
    }

    std::string AndCondition(int depth) {
        std::vector<std::string> terms{NotCondition(depth)};
        while (IsWord("AND")) {
            ++pos_;
            terms.push_back(NotCondition(depth));
        }
        return Balanced(terms, 0, terms.size(), "AND");
    }

    std::string NotCondition(int depth) {
        if (IsWord("NOT")) {
            ++pos_;
            Deeper(depth + 1);
            return "(NOT " + NotCondition(depth + 1) + ")";
        }
        if (IsOp("(")) {
            ++pos_;
            const std::string inner = Condition(depth + 1);
            ExpectOp(")");
            return "(" + inner + ")";
        }
        return Predicate();
    }

    Operand ReadOperand() {
        Operand o;
        const Token& t = Peek();
        if (t.kind == Tok::String || t.kind == Tok::NString) {
            o.kind = Operand::Kind::String;
            o.national = t.kind == Tok::NString;
            o.text = Take().text;
        } else if (t.kind == Tok::Number) {
            o.kind = Operand::Kind::Number;
            o.text = Take().text;
        } else if ((IsOp("-") || IsOp("+")) && Peek(1).kind == Tok::Number) {
            const std::string sign = Take().text == "-" ? "-" : "";
            o.kind = Operand::Kind::Number;
            o.text = sign + Take().text;
        } else if (IsWord("NULL")) {
            ++pos_;
            o.kind = Operand::Kind::Null;
        } else if (IsIdentifier(t)) {
            o.kind = Operand::Kind::Column;
            o.column = ColumnRef();
        } else if (t.kind == Tok::Variable) {
            throw SqlFailure(SqlMessage{137, 2, 15, "Must declare the scalar variable \"" + t.text + "\"."});
        } else {
            Fail(t);
        }
        return o;
    }

    static bool IsText(const Operand& o) {
        return (o.kind == Operand::Kind::Column && o.column->type == ColType::Text) || o.kind == Operand::Kind::String;
    }

    // `o` as SQLite text, converted to the type of `other` the way SQL Server
    // converts a literal to a column's type.
    static std::string Emit(const Operand& o, const Operand& other) {
        switch (o.kind) {
            case Operand::Kind::Null:
                return "NULL";
            case Operand::Kind::Column:
                if (o.column->type == ColType::Text && other.kind == Operand::Kind::Number)
                    return std::string("qm_int(\"") + o.column->name + "\")";
                return std::string("\"") + o.column->name + "\"";
            case Operand::Kind::Number:
                if (other.kind == Operand::Kind::Column && other.column->type == ColType::DateTime)
                    return DateTimeForColumn(o);
                return o.text;
            case Operand::Kind::String:
                if (other.kind == Operand::Kind::Column && other.column->type == ColType::Int) return IntForColumn(o);
                if (other.kind == Operand::Kind::Number) return IntForColumn(o);
                if (other.kind == Operand::Kind::Column && other.column->type == ColType::DateTime)
                    return DateTimeForColumn(o);
                return SqliteString(o.text);
        }
        return "NULL";
    }

    static std::string Left(const Operand& o, const Operand& other) {
        const std::string text = Emit(o, other);
        const bool textual = IsText(o) && (IsText(other) || other.kind == Operand::Kind::Null);
        return textual ? "(" + text + " COLLATE QM_CI)" : text;
    }

    // The operand to match against in LIKE: dates in the form SQL Server
    // converts them to text with ('Jan  5 2025  3:04PM').
    static std::string LikeSubject(const Operand& o) {
        if (o.kind == Operand::Kind::Column && o.column->type == ColType::DateTime)
            return std::string("qm_datetime_text(\"") + o.column->name + "\")";
        if (o.kind == Operand::Kind::String) return SqliteString(o.text);
        return Emit(o, Operand{});
    }

    static bool PlainAsciiPattern(const Operand& pattern) {
        if (pattern.kind != Operand::Kind::String) return false;
        return std::all_of(pattern.text.begin(), pattern.text.end(), [](char c) {
            const auto u = static_cast<unsigned char>(c);
            return u >= 0x20 && u < 0x80 && c != '[';
        });
    }

    std::string Predicate() {
        const Operand left = ReadOperand();
        bool negate = false;
        if (IsWord("NOT") && (IsWord("LIKE", 1) || IsWord("BETWEEN", 1) || IsWord("IN", 1))) {
            ++pos_;
            negate = true;
        }
        const auto wrap = [&](const std::string& e) { return negate ? "(NOT " + e + ")" : "(" + e + ")"; };
        if (IsWord("LIKE")) {
            ++pos_;
            const Operand pattern = ReadOperand();
            std::optional<Operand> escape;
            if (IsWord("ESCAPE")) {
                ++pos_;
                escape = ReadOperand();
                if (escape->kind != Operand::Kind::String || Utf8Length(escape->text) != 1)
                    throw SqlFailure(SqlMessage{
                        506, 1, 16,
                        "The invalid escape character \"" + escape->text + "\" was specified in a LIKE predicate."});
            }
            const bool subjectIsTextOrInt =
                left.kind == Operand::Kind::Column && left.column->type != ColType::DateTime;
            if (!escape && subjectIsTextOrInt && PlainAsciiPattern(pattern))
                return wrap(std::string("\"") + left.column->name + "\" LIKE " + SqliteString(pattern.text));
            return wrap("qm_like(" + LikeSubject(left) + ", " + LikeSubject(pattern) + ", " +
                        (escape ? SqliteString(escape->text) : std::string("NULL")) + ")");
        }
        if (IsWord("BETWEEN")) {
            ++pos_;
            const Operand low = ReadOperand();
            ExpectWord("AND");
            const Operand high = ReadOperand();
            return wrap(Left(left, low) + " BETWEEN " + Emit(low, left) + " AND " + Emit(high, left));
        }
        if (IsWord("IN")) {
            ++pos_;
            ExpectOp("(");
            std::string list;
            bool textual = false;
            do {
                const Operand item = ReadOperand();
                if (item.kind == Operand::Kind::Column) Fail(Peek());  // a column list is not a value list
                textual = textual || IsText(item);
                list += (list.empty() ? "" : ", ") + Emit(item, left);
            } while (IsOp(",") && (++pos_, true));
            ExpectOp(")");
            const std::string subject = Emit(left, Operand{});
            return wrap((IsText(left) && textual ? "(" + subject + " COLLATE QM_CI)" : subject) + " IN (" + list + ")");
        }
        if (IsWord("IS")) {
            ++pos_;
            const bool isNot = IsWord("NOT") && (++pos_, true);
            ExpectWord("NULL");
            return "(" + Emit(left, Operand{}) + (isNot ? " IS NOT NULL)" : " IS NULL)");
        }
        const Token& op = Peek();
        static constexpr std::array<std::string_view, 9> kCompare = {"=", "<>", "!=", "<", "<=", ">", ">=", "!<", "!>"};
        if (op.kind != Tok::Op || std::find(kCompare.begin(), kCompare.end(), op.text) == kCompare.end()) Fail(op);
        std::string sqliteOp = Take().text;
        if (sqliteOp == "!=") sqliteOp = "<>";
        if (sqliteOp == "!<") sqliteOp = ">=";
        if (sqliteOp == "!>") sqliteOp = "<=";
        const Operand right = ReadOperand();
        if (left.kind == Operand::Kind::Null || right.kind == Operand::Kind::Null) return "(NULL)";  // ANSI_NULLS
        return "(" + Left(left, right) + " " + sqliteOp + " " + Emit(right, left) + ")";
    }

    static std::size_t Utf8Length(std::string_view s) {
        return static_cast<std::size_t>(
            std::count_if(s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
    }

    std::vector<Token> t_;
    std::size_t pos_ = 0;
    std::string database_;
};

}  // namespace

std::vector<Statement> ParseBatch(std::string_view text, std::string_view database) {
    Parser parser(Tokenize(text), database);
    return parser.Batch();
}

}  // namespace quellmark::logdb
