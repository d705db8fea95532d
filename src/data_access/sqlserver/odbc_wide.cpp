#include "data_access/sqlserver/odbc_wide.h"

#include "base/utf8.h"

namespace quellmark::data_access::sqlserver {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

}  // namespace

std::optional<WideText> WideFromUtf8(std::string_view utf8) {
    WideText out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        const auto decoded = base::DecodeUtf8(utf8, i);
        if (!decoded) return std::nullopt;
        const char32_t cp = decoded->value;
        if (cp >= 0x10000) {
            out += static_cast<SQLWCHAR>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<SQLWCHAR>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<SQLWCHAR>(cp);
        }
        i += decoded->length;
    }
    return out;
}

std::string Utf8FromWide(const SQLWCHAR* units, std::size_t count) {
    std::string out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        char32_t cp = units[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = kReplacement;
        }
        base::AppendUtf8(out, cp);
    }
    return out;
}

}  // namespace quellmark::data_access::sqlserver
