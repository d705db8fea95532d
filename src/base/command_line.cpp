#include "base/command_line.h"

#include <algorithm>

#include "base/usage_error.h"

namespace quellmark::base {

CommandArgument TakeArgument(const std::vector<std::string>& args, std::size_t& i,
                             const std::function<bool(std::string_view)>& takesValue) {
    const std::string& arg = args.at(i);
    if (arg.rfind("--", 0) != 0) return {"", arg};
    const std::size_t equals = arg.find('=');
    CommandArgument taken{arg.substr(0, equals), std::nullopt};
    const bool valued = takesValue(taken.option);
    if (equals != std::string::npos) {
        if (!valued) throw UsageError(taken.option + " takes no value.");
        taken.value = arg.substr(equals + 1);
    } else if (valued) {
        if (i + 1 >= args.size()) throw UsageError(taken.option + " needs a value.");
        taken.value = args[++i];
    }
    return taken;
}

std::string Wrapped(std::string_view text, std::size_t indent, std::size_t width) {
    std::string out;
    std::size_t column = indent;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find(' '), text.size());
        if (column > indent && column + 1 + end > width) {
            out += "\n" + std::string(indent, ' ');
            column = indent;
        } else if (column > indent) {
            out += ' ';
            ++column;
        }
        out += text.substr(0, end);
        column += end;
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return out;
}

std::string HelpEntry(std::string_view shown, std::string_view help, std::size_t column) {
    std::string text =
        "  " + std::string(shown) + std::string(std::max<std::size_t>(1, column - 2 - shown.size()), ' ');
    for (const char c : help) text += c == '\n' ? "\n" + std::string(column, ' ') : std::string(1, c);
    return text + '\n';
}

std::string ExitStatusLines(std::span<const ExitStatus> statuses) {
    std::string text;
    for (const ExitStatus& status : statuses) {
        const std::string number = std::to_string(status.status);
        text += "  " + number + std::string(4 - std::min<std::size_t>(number.size(), 3), ' ') +
                Wrapped(status.meaning, 6, 88) + '\n';
    }
    return text;
}

}  // namespace quellmark::base
