// Small text helpers shared by every layer and the test programs: ASCII case-insensitive comparison
// (connection-string keys, column names) and trimming of white space.
#pragma once

#include <string_view>

namespace quellmark::base {

bool EqualsIgnoreCase(std::string_view a, std::string_view b) noexcept;
bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) noexcept;

// The text without leading and trailing white space (space, tab, CR, LF, VT, FF).
std::string_view TrimSpaces(std::string_view text) noexcept;

}  // namespace quellmark::base
