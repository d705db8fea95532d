// What the commands' command lines share: reading "--name VALUE",
// "--name=VALUE" and operands, and laying out --help's option and exit-status
// lines. Each command keeps its own table of options and of exit statuses.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quellmark::base {

// One argument of a command line: an option, with its value when it takes
// one, or an operand.
struct CommandArgument {
    std::string option;                // "--name"; empty for an operand
    std::optional<std::string> value;  // the option's value, or the operand
};

// Reads args[i] as "--name VALUE", "--name=VALUE", "--name" or an operand,
// advancing i past a value taken from the next argument. `takesValue` says
// whether an option (by its "--name") takes a value, and throws UsageError
// for one the command does not have. Throws UsageError for a missing value
// and for a value given to an option that takes none.
CommandArgument TakeArgument(const std::vector<std::string>& args, std::size_t& i,
                             const std::function<bool(std::string_view)>& takesValue);

// `text` in lines of at most `width` characters, each after `indent` spaces
// but the first.
std::string Wrapped(std::string_view text, std::size_t indent, std::size_t width);

// An option's lines in --help: "  --name VALUE", then its help from column
// `column` on, each line break in `help` going on in that column.
std::string HelpEntry(std::string_view shown, std::string_view help, std::size_t column);

// An exit status of a command and what it means, in the words of --help and
// of the manual page's EXIT STATUS.
struct ExitStatus {
    int status;
    std::string_view meaning;
};

// The exit-status lines of --help: the status, then its meaning wrapped.
std::string ExitStatusLines(std::span<const ExitStatus> statuses);

}  // namespace quellmark::base
