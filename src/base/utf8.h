// UTF-8 decoding and encoding, one code point at a time, for every layer that
// converts text between UTF-8 and UTF-16 or shows it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quellmark::base {

struct CodePoint {
    char32_t value = 0;
    std::size_t length = 0;  // bytes of its UTF-8 sequence, 1 to 4
};

// The code point whose UTF-8 sequence starts at text[at] (at < text.size()).
// Nothing when the bytes there are not well-formed UTF-8: a lead byte C0, C1
// or F5-FF, a continuation byte where a lead belongs, a sequence cut short or
// interrupted, an overlong form, a surrogate (U+D800-U+DFFF) or a value above
// U+10FFFF.
std::optional<CodePoint> DecodeUtf8(std::string_view text, std::size_t at) noexcept;

// Appends the UTF-8 sequence of `code` (at most U+10FFFF) to `out`.
void AppendUtf8(std::string& out, char32_t code);

}  // namespace quellmark::base
