#include "base/terminal_text.h"

#include <cstdint>

#include "base/utf8.h"

namespace quellmark::base {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

void AppendEscaped(std::string& out, std::string_view prefix, std::uint32_t value, int digits) {
    out += prefix;
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out += kHex[(value >> shift) & 0xF];
}

bool IsBidiControl(std::uint32_t cp) {
    return cp == 0x061C || cp == 0x200E || cp == 0x200F || (cp >= 0x202A && cp <= 0x202E) ||
           (cp >= 0x2066 && cp <= 0x2069);
}

}  // namespace

std::string Visible(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto decoded = DecodeUtf8(text, i);
        const std::uint32_t cp = decoded ? decoded->value : 0;
        if (!decoded || cp < 0x20 || cp == 0x7F) {
            AppendEscaped(out, "\\x", static_cast<unsigned char>(text[i]), 2);
            ++i;
            continue;
        }
        if ((cp >= 0x80 && cp < 0xA0) || IsBidiControl(cp)) {
            AppendEscaped(out, "\\u", cp, 4);
        } else {
            out.append(text.substr(i, decoded->length));
        }
        i += decoded->length;
    }
    return out;
}

std::string VisibleLines(std::string_view text) {
    std::string out;
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find('\n', start);
        out += Visible(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) return out;
        out += '\n';
        start = end + 1;
    }
}

bool Report(std::FILE* out, std::string_view text, Layout layout, MessageEnd end) {
    std::string shown = layout == Layout::Lines ? VisibleLines(text) : Visible(text);
    if (end == MessageEnd::NewLine) shown += '\n';
    if (end == MessageEnd::InPlace) shown = '\r' + shown + "\x1b[K";
    const bool written = std::fwrite(shown.data(), 1, shown.size(), out) == shown.size();
    return std::fflush(out) == 0 && written;
}

}  // namespace quellmark::base
