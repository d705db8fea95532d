#include "logdb/tsql_conditions.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>
#include <vector>

namespace quellmark::logdb::tsql {
namespace {

class ConditionParser {
public:
    explicit ConditionParser(TokenCursor& cursor) : c_(cursor) {}

    std::string Condition(int depth) {
        Deeper(depth);
        std::vector<std::string> terms{AndCondition(depth)};
        while (c_.IsWord("OR")) {
            c_.Skip();
            terms.push_back(AndCondition(depth));
        }
        return Balanced(terms, 0, terms.size(), "OR");
    }

private:
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

    std::string AndCondition(int depth) {
        std::vector<std::string> terms{NotCondition(depth)};
        while (c_.IsWord("AND")) {
            c_.Skip();
            terms.push_back(NotCondition(depth));
        }
        return Balanced(terms, 0, terms.size(), "AND");
    }

    std::string NotCondition(int depth) {
        if (c_.IsWord("NOT")) {
            c_.Skip();
            Deeper(depth + 1);
            return "(NOT " + NotCondition(depth + 1) + ")";
        }
        if (c_.IsOp("(")) {
            c_.Skip();
            const std::string inner = Condition(depth + 1);
            c_.ExpectOp(")");
            return "(" + inner + ")";
        }
        return Predicate();
    }

    static bool IsText(const Operand& o) {
        return (o.kind == Operand::Kind::Column && o.column->type == ColType::Text) || o.kind == Operand::Kind::String;
    }

    static std::string Left(const Operand& o, const Operand& other) {
        const std::string text = EmitOperand(o, other);
        const bool textual = IsText(o) && (IsText(other) || other.kind == Operand::Kind::Null);
        return textual ? "(" + text + " COLLATE QM_CI)" : text;
    }

    // The operand to match against in LIKE: dates in the form SQL Server
    // converts them to text with ('Jan  5 2025  3:04PM').
    static std::string LikeSubject(const Operand& o) {
        if (o.kind == Operand::Kind::Column && o.column->type == ColType::DateTime)
            return std::string("qm_datetime_text(\"") + o.column->name + "\")";
        if (o.kind == Operand::Kind::String) return SqliteString(o.text);
        return EmitOperand(o, Operand{});
    }

    static bool PlainAsciiPattern(const Operand& pattern) {
        if (pattern.kind != Operand::Kind::String) return false;
        return std::all_of(pattern.text.begin(), pattern.text.end(), [](char c) {
            const auto u = static_cast<unsigned char>(c);
            return u >= 0x20 && u < 0x80 && c != '[';
        });
    }

    std::string Predicate() {
        const Operand left = c_.ReadOperand();
        bool negate = false;
        if (c_.IsWord("NOT") && (c_.IsWord("LIKE", 1) || c_.IsWord("BETWEEN", 1) || c_.IsWord("IN", 1))) {
            c_.Skip();
            negate = true;
        }
        const auto wrap = [&](const std::string& e) { return negate ? "(NOT " + e + ")" : "(" + e + ")"; };
        if (c_.IsWord("LIKE")) {
            c_.Skip();
            const Operand pattern = c_.ReadOperand();
            std::optional<Operand> escape;
            if (c_.IsWord("ESCAPE")) {
                c_.Skip();
                escape = c_.ReadOperand();
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
        if (c_.IsWord("BETWEEN")) {
            c_.Skip();
            const Operand low = c_.ReadOperand();
            c_.ExpectWord("AND");
            const Operand high = c_.ReadOperand();
            return wrap(Left(left, low) + " BETWEEN " + EmitOperand(low, left) + " AND " + EmitOperand(high, left));
        }
        if (c_.IsWord("IN")) {
            c_.Skip();
            c_.ExpectOp("(");
            std::string list;
            bool textual = false;
            do {
                const Operand item = c_.ReadOperand();
                if (item.kind == Operand::Kind::Column) c_.Fail(c_.Peek());  // a column list is not a value list
                textual = textual || IsText(item);
                list += (list.empty() ? "" : ", ") + EmitOperand(item, left);
            } while (c_.IsOp(",") && (c_.Skip(), true));
            c_.ExpectOp(")");
            const std::string subject = EmitOperand(left, Operand{});
            return wrap((IsText(left) && textual ? "(" + subject + " COLLATE QM_CI)" : subject) + " IN (" + list + ")");
        }
        if (c_.IsWord("IS")) {
            c_.Skip();
            const bool isNot = c_.IsWord("NOT") && (c_.Skip(), true);
            c_.ExpectWord("NULL");
            return "(" + EmitOperand(left, Operand{}) + (isNot ? " IS NOT NULL)" : " IS NULL)");
        }
        const Token& op = c_.Peek();
        static constexpr std::array<std::string_view, 9> kCompare = {"=", "<>", "!=", "<", "<=", ">", ">=", "!<", "!>"};
        if (op.kind != Tok::Op || std::find(kCompare.begin(), kCompare.end(), op.text) == kCompare.end()) c_.Fail(op);
        std::string sqliteOp = c_.Take().text;
        if (sqliteOp == "!=") sqliteOp = "<>";
        if (sqliteOp == "!<") sqliteOp = ">=";
        if (sqliteOp == "!>") sqliteOp = "<=";
        const Operand right = c_.ReadOperand();
        if (left.kind == Operand::Kind::Null || right.kind == Operand::Kind::Null) return "(NULL)";  // ANSI_NULLS
        return "(" + Left(left, right) + " " + sqliteOp + " " + EmitOperand(right, left) + ")";
    }

    static std::size_t Utf8Length(std::string_view s) {
        return static_cast<std::size_t>(
            std::count_if(s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
    }

    TokenCursor& c_;
};

}  // namespace

std::string Condition(TokenCursor& cursor) { return ConditionParser(cursor).Condition(0); }

}  // namespace quellmark::logdb::tsql
