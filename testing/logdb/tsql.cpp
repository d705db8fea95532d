#include "logdb/tsql.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <functional>

#include "base/text.h"
#include "logdb/tsql_conditions.h"
#include "logdb/tsql_cursor.h"
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

// The session options SET turns ON or OFF, and those SET gives a value.
constexpr std::array kOnOffOptions = {
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
constexpr std::array kValuedOptions = {"ROWCOUNT",   "TEXTSIZE", "LOCK_TIMEOUT",      "DATEFIRST",
                                       "DATEFORMAT", "LANGUAGE", "DEADLOCK_PRIORITY", "QUERY_GOVERNOR_COST_LIMIT"};

bool IsOnOffOption(const std::string& upper) {
    return std::find(kOnOffOptions.begin(), kOnOffOptions.end(), upper) != kOnOffOptions.end();
}

// ---- Parser ------------------------------------------------------------------------

class Parser : private TokenCursor {
public:
    using TokenCursor::TokenCursor;

    std::vector<Statement> Batch() {
        std::vector<Statement> out;
        while (Peek().kind != Tok::End) {
            if (IsOp(";")) {
                Skip();
                continue;
            }
            out.push_back(OneStatement());
            const Token& next = Peek();
            if (!(next.kind == Tok::End || IsOp(";") || IsStatementStart(next))) Fail(next);
        }
        return out;
    }

private:
    Statement OneStatement() {
        if (IsWord("SET")) return SetStatement();
        if (IsWord("SELECT")) return SelectStatement();
        if (IsWord("DELETE")) return DeleteStatement();
        if (IsWord("INSERT")) return InsertStatement();
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
            if (IsWord("AS")) Skip();
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
                Skip();
                const Token& size = Take();
                if (size.kind != Tok::Number && !(size.kind == Tok::Word && base::EqualsIgnoreCase(size.text, "MAX")))
                    Fail(size);
                ExpectOp(")");
            }
            if (IsOp("=")) {
                Skip();
                d.initial = Value(false);
            }
            s.declarations.push_back(std::move(d));
        } while (IsOp(",") && (Skip(), true));
        return s;
    }

    // -- EXEC[UTE] [@status =] name [[@name =] value [OUTPUT|OUT], ...]
    Statement ExecStatement() {
        Skip();
        Statement s;
        s.kind = Statement::Kind::Exec;
        if (Peek().kind == Tok::Variable && IsOp("=", 1)) {
            if (Peek().text.starts_with("@@")) Fail(Peek());
            s.statusVariable = Upper(Take().text);
            Skip();
        }
        const Token& first = Take();
        if (!IsIdentifier(first)) Fail(first);
        s.procedure = first.text;
        while (IsOp(".")) {  // schema.name, database.schema.name, database..name
            Skip();
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
                Skip();
            }
            a.value = Value(true);
            if (IsWord("OUTPUT") || IsWord("OUT")) Skip();
            s.arguments.push_back(std::move(a));
        } while (IsOp(",") && (Skip(), true));
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
        Statement s;
        s.kind = Statement::Kind::Set;
        const Token& name = Peek();
        if (name.kind != Tok::Word) Fail(name);
        const std::string option = Upper(name.text);
        if (option == "TRANSACTION") {
            Skip();
            SetIsolationLevel(s);
        } else if (IsOnOffOption(option)) {
            Skip();
            SetOnOff(s, option);
        } else if (std::find(kValuedOptions.begin(), kValuedOptions.end(), option) != kValuedOptions.end()) {
            Skip();
            SetValued(s, option);
        } else {
            Fail(name);
        }
        return s;
    }

    // SET TRANSACTION ISOLATION LEVEL ..., after TRANSACTION.
    void SetIsolationLevel(Statement& s) {
        ExpectWord("ISOLATION");
        ExpectWord("LEVEL");
        if (IsWord("READ")) {
            Skip();
            if (!IsWord("COMMITTED") && !IsWord("UNCOMMITTED")) Fail(Peek());
            Skip();
        } else if (IsWord("REPEATABLE")) {
            Skip();
            ExpectWord("READ");
        } else if (IsWord("SNAPSHOT") || IsWord("SERIALIZABLE")) {
            Skip();
        } else {
            Fail(Peek());
        }
        s.option = "TRANSACTION ISOLATION LEVEL";
    }

    // SET option[, option ...] ON|OFF, after the first option.
    void SetOnOff(Statement& s, const std::string& option) {
        s.option = option;
        while (IsOp(",")) {  // SET ANSI_NULLS, ANSI_PADDING ON
            Skip();
            const Token& more = Take();
            if (more.kind != Tok::Word || !IsOnOffOption(Upper(more.text))) Fail(more);
            s.option += "," + Upper(more.text);
        }
        if (!IsWord("ON") && !IsWord("OFF")) Fail(Peek());
        s.value = Upper(Take().text);
    }

    // SET option value, after the option: a number, or a word or text.
    void SetValued(Statement& s, const std::string& option) {
        s.option = option;
        std::string sign;
        if (IsOp("-")) {
            Skip();
            sign = "-";
        }
        const Token& v = Take();
        if (v.kind == Tok::Number) {
            s.value = sign + v.text;
        } else if (sign.empty() &&
                   (v.kind == Tok::Word || v.kind == Tok::String || v.kind == Tok::NString || v.kind == Tok::Quoted)) {
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
    }

    // -- SELECT
    Statement SelectStatement() {
        ExpectWord("SELECT");
        if ((IsWord("COUNT") || IsWord("COUNT_BIG")) && IsOp("(", 1)) return CountStatement();
        if (IsIdentifier(Peek()) && !IsOp("(", 1)) {
            const std::size_t start = Position();
            if (std::optional<Statement> view = LogViewStatement()) return *view;
            Rewind(start);  // not a view: refused as before
        }
        if (IsWord("TOP") || IsOp("*")) return RowsStatement();
        return ProbeStatement();
    }

    // SELECT columns FROM sys.dm_db_log_space_usage, or FROM sys.databases
    // WHERE name = DB_NAME(); nullopt when the FROM names neither view.
    std::optional<Statement> LogViewStatement() {
        std::vector<std::string> written;
        do {
            const Token& c = Take();
            if (!IsIdentifier(c)) return std::nullopt;
            written.push_back(c.text);
        } while (IsOp(",") && (Skip(), true));
        if (!IsWord("FROM")) return std::nullopt;
        Skip();
        const std::vector<std::string> parts = MultiPartName();
        if (parts.size() != 2 || !base::EqualsIgnoreCase(parts[0], "sys")) return std::nullopt;
        static constexpr std::array<const char*, 1> kLogSpace = {"used_log_space_in_percent"};
        static constexpr std::array<const char*, 2> kDatabases = {"recovery_model_desc", "log_reuse_wait_desc"};
        const bool databases = base::EqualsIgnoreCase(parts[1], "databases");
        if (!databases && !base::EqualsIgnoreCase(parts[1], "dm_db_log_space_usage")) return std::nullopt;
        Statement s;
        s.kind = Statement::Kind::LogView;
        for (const std::string& name : written) {
            const auto matches = [&](const char* known) { return base::EqualsIgnoreCase(name, known); };
            const char* const* found = databases ? std::find_if(kDatabases.begin(), kDatabases.end(), matches)
                                                 : std::find_if(kLogSpace.begin(), kLogSpace.end(), matches);
            if (found == (databases ? kDatabases.end() : kLogSpace.end()))
                throw SqlFailure(SqlMessage{207, 1, 16, "Invalid column name '" + name + "'."});
            s.viewColumns.emplace_back(*found);
        }
        if (databases) {  // one row: the session's database
            ExpectWord("WHERE");
            ExpectWord("name");
            ExpectOp("=");
            ExpectWord("DB_NAME");
            ExpectOp("(");
            ExpectOp(")");
        }
        return s;
    }

    // -- INSERT [INTO] <table> (col, ...) VALUES (value, ...): each value
    // converted to its column's type; log_id is the table's identity.
    Statement InsertStatement() {
        ExpectWord("INSERT");
        if (IsWord("INTO")) Skip();
        TableName();
        ExpectOp("(");
        std::vector<Operand> columns;
        do {
            Operand column;
            column.kind = Operand::Kind::Column;
            column.column = ColumnRef();
            if (column.column == &kColumns[0])
                throw SqlFailure(SqlMessage{544, 1, 16,
                                            std::string("Cannot insert explicit value for identity column in table '") +
                                                kTable + "' when IDENTITY_INSERT is set to OFF."});
            columns.push_back(column);
        } while (IsOp(",") && (Skip(), true));
        ExpectOp(")");
        ExpectWord("VALUES");
        ExpectOp("(");
        std::vector<Operand> values;
        do {
            if (IsIdentifier(Peek())) Fail(Peek());
            values.push_back(ReadOperand());
        } while (IsOp(",") && (Skip(), true));
        ExpectOp(")");
        if (values.size() != columns.size()) {
            const bool moreColumns = columns.size() > values.size();
            throw SqlFailure(SqlMessage{
                moreColumns ? 109 : 110, 1, 15,
                std::string("There are ") + (moreColumns ? "more" : "fewer") +
                    " columns in the INSERT statement than values specified in the VALUES clause. The number of "
                    "values in the VALUES clause must match the number of columns specified in the INSERT "
                    "statement."});
        }
        std::string names, emitted;
        for (std::size_t i = 0; i < columns.size(); ++i) {
            names += std::string(i ? ", " : "") + "\"" + columns[i].column->name + "\"";
            emitted += (i ? ", " : "") + EmitOperand(values[i], columns[i]);
        }
        Statement s;
        s.kind = Statement::Kind::Insert;
        s.insertSql = "INSERT INTO \"" + std::string(kTable) + "\" (" + names + ") VALUES (" + emitted + ")";
        return s;
    }

    std::string Alias() {
        if (IsWord("AS")) {
            Skip();
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
                Skip();
                ExpectOp(")");
                item.kind = ProbeItem::Kind::Function;
                item.text = Upper(t.text);
            } else {
                Fail(t);
            }
            item.alias = Alias();
            s.probe.push_back(std::move(item));
        } while (IsOp(",") && (Skip(), true));
        if (IsWord("FROM")) Fail(Peek());
        return s;
    }

    Statement CountStatement() {
        Statement s;
        s.kind = Statement::Kind::Count;
        s.bigCount = IsWord("COUNT_BIG");
        Skip(2);
        std::string argument;
        std::vector<std::string> pendingColumns;  // names to check once the table is known
        if (IsOp("*")) {
            Skip();
            argument = "*";
        } else if (Peek().kind == Tok::Number) {
            Take();
            argument = "*";  // COUNT(1): every row
        } else {
            bool distinct = false;
            if (IsWord("ALL")) {
                Skip();
            } else if (IsWord("DISTINCT")) {
                Skip();
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
            Skip();
            where = tsql::Condition(*this);
        }
        if (IsWord("ORDER")) {
            Skip();
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
                if (IsWord("ASC") || IsWord("DESC")) Skip();
            } while (IsOp(",") && (Skip(), true));
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
        while (IsOp("(")) Skip(), ++depth;
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
            Skip();
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
            Skip();
            s.where = tsql::Condition(*this);
        }
        return s;
    }

    // -- DELETE
    Statement DeleteStatement() {
        ExpectWord("DELETE");
        Statement s;
        s.kind = Statement::Kind::Delete;
        if (IsWord("TOP")) Top(s, true);  // DELETE needs TOP's parentheses
        if (IsWord("FROM")) Skip();
        TableName();
        if (IsWord("WITH") && IsOp("(", 1)) {  // table hints: accepted, no effect here
            Skip(2);
            do {
                const Token& hint = Take();
                if (hint.kind != Tok::Word) Fail(hint);
            } while (IsOp(",") && (Skip(), true));
            ExpectOp(")");
        }
        if (IsWord("WHERE")) {
            Skip();
            s.where = tsql::Condition(*this);
        }
        return s;
    }
};

}  // namespace

std::vector<Statement> ParseBatch(std::string_view text, std::string_view database) {
    Parser parser(Tokenize(text), database);
    return parser.Batch();
}

}  // namespace quellmark::logdb
