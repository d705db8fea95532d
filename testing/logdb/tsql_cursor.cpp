#include "logdb/tsql_cursor.h"

#include <algorithm>

#include "base/text.h"

namespace quellmark::logdb::tsql {
namespace {

std::string Joined(const std::vector<std::string>& parts) {
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? "." : "") + parts[i];
    return out;
}

}  // namespace

const Token& TokenCursor::Peek(std::size_t ahead) const { return t_[std::min(pos_ + ahead, t_.size() - 1)]; }

const Token& TokenCursor::Take() {
    const Token& t = Peek();
    if (pos_ < t_.size() - 1) ++pos_;
    return t;
}

bool TokenCursor::IsWord(std::string_view w, std::size_t ahead) const {
    const Token& t = Peek(ahead);
    return t.kind == Tok::Word && base::EqualsIgnoreCase(t.text, w);
}

bool TokenCursor::IsOp(std::string_view op, std::size_t ahead) const {
    const Token& t = Peek(ahead);
    return t.kind == Tok::Op && t.text == op;
}

bool TokenCursor::IsStatementStart(const Token& t) {
    return t.kind == Tok::Word &&
           (base::EqualsIgnoreCase(t.text, "SELECT") || base::EqualsIgnoreCase(t.text, "DELETE") ||
            base::EqualsIgnoreCase(t.text, "INSERT") || base::EqualsIgnoreCase(t.text, "SET") ||
            base::EqualsIgnoreCase(t.text, "DECLARE") || base::EqualsIgnoreCase(t.text, "EXEC") ||
            base::EqualsIgnoreCase(t.text, "EXECUTE"));
}

bool TokenCursor::IsIdentifier(const Token& t) const {
    return t.kind == Tok::Quoted || (t.kind == Tok::Word && !IsReserved(t.text));
}

void TokenCursor::Fail(const Token& t) const {
    // At the end of the text a server names the last token it read.
    if (t.kind == Tok::End && t_.size() >= 2) throw SqlFailure(SyntaxNear(t_[t_.size() - 2]));
    throw SqlFailure(SyntaxNear(t));
}

void TokenCursor::ExpectWord(std::string_view w) {
    if (!IsWord(w)) Fail(Peek());
    ++pos_;
}

void TokenCursor::ExpectOp(std::string_view op) {
    if (!IsOp(op)) Fail(Peek());
    ++pos_;
}

std::vector<std::string> TokenCursor::MultiPartName() {
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

bool TokenCursor::NamesTable(const std::vector<std::string>& parts) const {
    if (parts.empty() || parts.size() > 3 || !base::EqualsIgnoreCase(parts.back(), kTable)) return false;
    if (parts.size() >= 2 && !parts[parts.size() - 2].empty() &&
        !base::EqualsIgnoreCase(parts[parts.size() - 2], "dbo"))
        return false;
    if (parts.size() == 3 && !base::EqualsIgnoreCase(parts[0], database_)) return false;
    return true;
}

void TokenCursor::TableName() {
    const std::vector<std::string> parts = MultiPartName();
    if (!NamesTable(parts)) throw SqlFailure(SqlMessage{208, 1, 16, "Invalid object name '" + Joined(parts) + "'."});
}

const ColumnInfo* TokenCursor::ColumnRef() {
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

Operand TokenCursor::ReadOperand() {
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

}  // namespace quellmark::logdb::tsql
