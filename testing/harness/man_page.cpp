#include "harness/man_page.h"

#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace quellmark::test {
namespace {

// The lines of the page's section `name`, up to the next section.
std::vector<std::string> Section(const std::filesystem::path& page, const std::string& name) {
    std::ifstream in(page);
    if (!in) throw std::runtime_error("cannot read " + page.string());
    std::vector<std::string> lines;
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(".SH ", 0) == 0)
            inside = line == ".SH " + name;
        else if (inside)
            lines.push_back(line);
    }
    return lines;
}

// A line of man(7) text as it reads: .B's words, .BR's and .RB's joined.
std::string Plain(std::string line) {
    if (line.rfind(".B ", 0) == 0) line = line.substr(3);
    if (line.rfind(".BR ", 0) == 0 || line.rfind(".RB ", 0) == 0)
        line = std::regex_replace(line.substr(4), std::regex(R"(\"([^\"]*)\"|\s+)"), "$1");
    return std::regex_replace(line, std::regex(R"(\\-)"), "-");
}

}  // namespace

ManualPage ReadManualPage(const std::filesystem::path& page) {
    ManualPage read;
    const std::vector<std::string> exitLines = Section(page, "EXIT STATUS");
    for (std::size_t i = 0; i < exitLines.size(); ++i) {
        if (exitLines[i] == ".TP" && ++i < exitLines.size()) {
            read.exitStatuses.emplace_back(std::stoi(Plain(exitLines[i])), "");
        } else if (!read.exitStatuses.empty() && exitLines[i].rfind(".\\\"", 0) != 0) {
            std::string& text = read.exitStatuses.back().second;
            text += (text.empty() ? "" : " ") + Plain(exitLines[i]);
        }
    }
    const std::vector<std::string> optionLines = Section(page, "OPTIONS");
    for (std::size_t i = 0; i + 1 < optionLines.size(); ++i) {
        const std::string& term = optionLines[i + 1];
        if (optionLines[i] != ".TP" || term.rfind(".B", 0) != 0) continue;
        const std::string shown = Plain(term.substr(term.find(' ') + 1));
        if (shown.rfind("--", 0) == 0) read.options.insert(shown.substr(0, shown.find(' ')));
    }
    return read;
}

std::set<std::string> HelpOptions(std::string_view usage) {
    const std::regex optionLine(R"(^  (--[a-z-]+)(?: [A-Z:]+)?(?:, (--[a-z-]+))?)");
    std::set<std::string> options;
    std::istringstream lines{std::string(usage)};
    for (std::string line; std::getline(lines, line);)
        if (std::smatch m; std::regex_search(line, m, optionLine))
            for (std::size_t g = 1; g < m.size(); ++g)
                if (m[g].matched) options.insert(m[g]);
    return options;
}

}  // namespace quellmark::test
