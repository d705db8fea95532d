#include "logdb/tsql_literals.h"

#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "base/text.h"

namespace quellmark::logdb {
namespace {

std::string DateTimeFromDays(double days) {
    using namespace std::chrono;
    const double whole = std::floor(days);
    const sys_days base = sys_days{year{1900} / January / 1} + std::chrono::days{static_cast<long>(whole)};
    const long seconds = std::lround((days - whole) * 86400.0);
    const year_month_day ymd{base};
    char out[64];
    std::snprintf(out, sizeof out, "%04d-%02u-%02u %02ld:%02ld:%02ld", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()), seconds / 3600,
                  (seconds / 60) % 60, seconds % 60);
    return out;
}

bool ReadDigits(std::string_view s, std::size_t& i, std::size_t count, int& value) {
    value = 0;
    for (std::size_t k = 0; k < count; ++k, ++i) {
        if (i >= s.size() || !std::isdigit(static_cast<unsigned char>(s[i]))) return false;
        value = value * 10 + (s[i] - '0');
    }
    return true;
}

}  // namespace

namespace tsql {

std::string SqliteString(std::string_view value) {
    if (value.find('\0') != std::string_view::npos) {
        static constexpr char kHex[] = "0123456789ABCDEF";
        std::string out = "CAST(X'";
        for (unsigned char c : value) {
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
        }
        return out + "' AS TEXT)";
    }
    std::string out = "'";
    for (char c : value) {
        out.push_back(c);
        if (c == '\'') out.push_back('\'');
    }
    return out + "'";
}

std::optional<std::int64_t> ParseIntLiteral(std::string_view s) {
    s = base::TrimSpaces(s);
    if (s.empty()) return 0;  // '' converts to 0
    bool negative = false;
    if (s.front() == '+' || s.front() == '-') {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty()) return std::nullopt;
    std::int64_t value = 0;
    for (char c : s) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > 99999999999LL) return value;  // large: reported as overflow by the caller
    }
    return negative ? -value : value;
}

std::string IntForColumn(const Operand& literal) {
    const std::string type = literal.national ? "nvarchar" : "varchar";
    const std::optional<std::int64_t> v = ParseIntLiteral(literal.text);
    if (!v)
        throw SqlFailure(SqlMessage{
            245, 1, 16,
            "Conversion failed when converting the " + type + " value '" + literal.text + "' to data type int."});
    if (*v > 2147483647LL || *v < -2147483648LL)
        throw SqlFailure(SqlMessage{
            248, 1, 16, "The conversion of the " + type + " value '" + literal.text + "' overflowed an int column."});
    return std::to_string(*v);
}

std::string DateTimeForColumn(const Operand& literal) {
    if (literal.kind == Operand::Kind::Number) {
        double days = 0;
        const auto [p, ec] = std::from_chars(literal.text.data(), literal.text.data() + literal.text.size(), days);
        (void)p;
        if (ec != std::errc() || days < -53690 || days > 2958463)
            throw SqlFailure(
                SqlMessage{8115, 2, 16, "Arithmetic overflow error converting expression to data type datetime."});
        return SqliteString(DateTimeFromDays(days));
    }
    const std::optional<std::string> canonical = CanonicalDateTime(literal.text);
    if (!canonical)
        throw SqlFailure(
            SqlMessage{241, 1, 16, "Conversion failed when converting date and/or time from character string."});
    return SqliteString(*canonical);
}

std::string EmitOperand(const Operand& o, const Operand& other) {
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

}  // namespace tsql

std::optional<std::string> CanonicalDateTime(std::string_view s) {
    s = base::TrimSpaces(s);
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0, ms = 0;
    std::size_t i = 0;
    const auto digitsHere = [&](std::size_t k) {
        std::size_t n = 0;
        while (k + n < s.size() && std::isdigit(static_cast<unsigned char>(s[k + n]))) ++n;
        return n;
    };
    const std::size_t lead = digitsHere(0);
    if (lead == 8) {  // YYYYMMDD
        if (!ReadDigits(s, i, 4, y) || !ReadDigits(s, i, 2, mo) || !ReadDigits(s, i, 2, d)) return std::nullopt;
    } else if (lead == 4 && i + 4 < s.size() && (s[4] == '-' || s[4] == '/' || s[4] == '.')) {  // YYYY-MM-DD
        const char sep = s[4];
        ReadDigits(s, i, 4, y);
        ++i;
        const std::size_t mLen = digitsHere(i);
        if (mLen < 1 || mLen > 2 || !ReadDigits(s, i, mLen, mo) || i >= s.size() || s[i] != sep) return std::nullopt;
        ++i;
        const std::size_t dLen = digitsHere(i);
        if (dLen < 1 || dLen > 2 || !ReadDigits(s, i, dLen, d)) return std::nullopt;
    } else if (lead >= 1 && lead <= 2 && lead < s.size() && (s[lead] == '/' || s[lead] == '-' || s[lead] == '.')) {
        const char sep = s[lead];  // M/D/YYYY, the us_english order
        ReadDigits(s, i, lead, mo);
        ++i;
        const std::size_t dLen = digitsHere(i);
        if (dLen < 1 || dLen > 2 || !ReadDigits(s, i, dLen, d) || i >= s.size() || s[i] != sep) return std::nullopt;
        ++i;
        if (digitsHere(i) != 4 || !ReadDigits(s, i, 4, y)) return std::nullopt;
    } else {
        return std::nullopt;
    }
    if (i < s.size()) {
        if (s[i] != ' ' && s[i] != 'T') return std::nullopt;
        while (i < s.size() && (s[i] == ' ' || s[i] == 'T')) ++i;
        const std::size_t hLen = digitsHere(i);
        if (hLen < 1 || hLen > 2 || !ReadDigits(s, i, hLen, h) || i >= s.size() || s[i] != ':') return std::nullopt;
        ++i;
        if (!ReadDigits(s, i, 2, mi)) return std::nullopt;
        if (i < s.size() && s[i] == ':') {
            ++i;
            if (!ReadDigits(s, i, 2, sec)) return std::nullopt;
            if (i < s.size() && (s[i] == '.' || s[i] == ':')) {
                ++i;
                const std::size_t fLen = digitsHere(i);
                if (fLen < 1 || fLen > 3) return std::nullopt;
                ReadDigits(s, i, fLen, ms);
                for (std::size_t k = fLen; k < 3; ++k) ms *= 10;
            }
        }
        if (i != s.size()) return std::nullopt;
    }
    using namespace std::chrono;
    const year_month_day date{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
    if (y < 1753 || y > 9999 || !date.ok() || h > 23 || mi > 59 || sec > 59) return std::nullopt;
    char out[80];  // room for any int, so the compiler can see nothing is cut
    if (ms == 0) {
        std::snprintf(out, sizeof out, "%04d-%02d-%02d %02d:%02d:%02d", y, mo, d, h, mi, sec);
    } else {
        std::snprintf(out, sizeof out, "%04d-%02d-%02d %02d:%02d:%02d.%03d", y, mo, d, h, mi, sec, ms);
    }
    return std::string(out);
}

}  // namespace quellmark::logdb
