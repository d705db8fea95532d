// How the log server compares what a LOGIN7 request carries with the login it
// serves: as UTF-16 text, the way SQL Server does under a case-insensitive,
// accent-sensitive collation. Login and database names match whatever their
// letter case ("JÜRGEN" is "jürgen"), a password only unit for unit. Text
// that arrived mis-encoded ("jÃ¼rgen" for "jürgen") matches neither.
#pragma once

#include <string>
#include <string_view>

namespace quellmark::logdb {

// The UTF-16 code units of UTF-8 text (malformed input as U+FFFD).
std::u16string Utf16Of(std::string_view utf8);

// Login and database names: equal after folding each character's case;
// characters outside the Basic Multilingual Plane compare as they are.
bool SameName(std::u16string_view a, std::u16string_view b);

}  // namespace quellmark::logdb
