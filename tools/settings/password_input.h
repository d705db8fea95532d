// Where quellmark-settings write takes the SQL password from when it is not
// on the command line (where ps and the shell history show it): the first
// line of standard input, or a prompt on the terminal that does not echo.
#pragma once

#include <cstddef>
#include <istream>
#include <optional>
#include <string>

namespace quellmark::settings_tool {

// The most ReadPasswordLine reads: far more than a password of the longest
// kind a SQL login can have, so that an endless input ends at once.
inline constexpr std::size_t kMaxPasswordLineBytes = 1024;

// The first line of `in` without its line break ("\n" or "\r\n"); nullopt
// when `in` holds nothing at all. An empty line is an empty password. Throws
// UsageError, having read no more of `in`, when the line is longer than
// kMaxPasswordLineBytes.
std::optional<std::string> ReadPasswordLine(std::istream& in);

// True when standard input is a terminal.
bool StdinIsTerminal();

// Writes `prompt` to standard error, its control characters made visible,
// and reads one line from the terminal on standard input with its echo
// switched off; the echo is switched back on afterwards, also when the tool
// is interrupted at the prompt. Stopped at the prompt (Ctrl-Z), the tool gives
// the terminal back as it was, without what was typed so far; continued, it
// switches the echo off again and asks anew.
// Nullopt at the end of input. Throws std::runtime_error when the echo cannot be switched off.
std::optional<std::string> PromptPassword(const std::string& prompt);

}  // namespace quellmark::settings_tool
