#include "logdb/login_text.h"

#include <cstdint>
#include <locale>
#include <stdexcept>
#include <vector>

#include "logdb/tds_wire.h"

namespace quellmark::logdb {
namespace {

// The case mapping of the C.UTF-8 locale (every Unicode letter), or ASCII's
// where that locale is missing.
const std::ctype<wchar_t>& CaseMapping() {
    static const std::locale locale = [] {
        try {
            return std::locale("C.UTF-8");
        } catch (const std::runtime_error&) {
            return std::locale::classic();
        }
    }();
    return std::use_facet<std::ctype<wchar_t>>(locale);
}

char16_t Folded(char16_t unit) {
    if (unit >= 0xD800 && unit <= 0xDFFF) return unit;
    return static_cast<char16_t>(CaseMapping().tolower(static_cast<wchar_t>(unit)));
}

}  // namespace

std::u16string Utf16Of(std::string_view utf8) {
    std::vector<std::uint8_t> bytes;
    AppendUtf16Le(bytes, utf8);
    std::u16string units;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        units += static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
    return units;
}

bool SameName(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Folded(a[i]) != Folded(b[i])) return false;
    }
    return true;
}

}  // namespace quellmark::logdb
