// Where quellmark-settings write takes the SQL password from when it is not
// on the command line (where ps and the shell history show it): the first
// line of standard input, or a prompt on the terminal that does not echo.
#pragma once

#include <istream>
#include <optional>
#include <string>

namespace quellmark::settings_tool {

// The first line of `in` without its line break ("\n" or "\r\n"); nullopt
// when `in` holds nothing at all. An empty line is an empty password.
std::optional<std::string> ReadPasswordLine(std::istream& in);

// True when standard input is a terminal.
bool StdinIsTerminal();

// Writes `prompt` to standard error and reads one line from the terminal on
// standard input with its echo switched off; the echo is switched back on
// afterwards, also when the tool is interrupted at the prompt. Nullopt at the
// end of input. Throws std::runtime_error when the echo cannot be switched off.
std::optional<std::string> PromptPassword(const std::string& prompt);

}  // namespace quellmark::settings_tool
