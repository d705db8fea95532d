// What a command's manual page (man(7) markup) and its --help text say, for
// the tests that keep the two in step with the command's own tables.
#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quellmark::test {

struct ManualPage {
    // The entries of EXIT STATUS: the status and its text, as it reads.
    std::vector<std::pair<int, std::string>> exitStatuses;
    // The names ("--name") of the options the entries of OPTIONS give.
    std::set<std::string> options;
};

ManualPage ReadManualPage(const std::filesystem::path& page);

// The options an --help text lists: the "--name" that starts each of its
// "  --name ..." lines, and a ", --other" just after it.
std::set<std::string> HelpOptions(std::string_view usage);

}  // namespace quellmark::test
