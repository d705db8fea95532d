// quellmark-settings' command line without running it: each command's
// options read from the one table, and the manual page against the tables.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness/man_page.h"
#include "settings/settings_command.h"

using namespace quellmark::settings_tool;
namespace ops = quellmark::ops;

namespace {

TEST(SettingsCommand, EachCommandTakesItsOwnOptionsOnce) {
    const std::pair<Command, std::vector<std::string>> refused[] = {
        {kShow, {"f", "--group", "g"}},
        {kCheck, {"--fingerprint=ab", "f"}},
        {kTrust, {"f", "--port", "1"}},
        {kWrite, {"f", "--password-stdin=yes"}},
        {kWrite, {"f", "--user", "a", "--user=b"}},
        {kWrite, {"--server"}},
        {kShow, {"f", "g"}},
        {kTrust, {"f", "--fingerprint", "ab"}},
        {kCheck, {}},
    };
    const char* messages[] = {
        "--group is not an option of show.",
        "--fingerprint is not an option of check.",
        "--port is not an option of trust.",
        "--password-stdin takes no value.",
        "--user is given twice.",
        "--server needs a value.",
        "show takes exactly one FILE; \"g\" is one too many.",
        "--fingerprint takes a SHA-256 fingerprint (64 hex digits) or a SHA-1 thumbprint (40 hex digits), colons "
        "optional.",
        "check takes exactly one FILE.",
    };
    for (std::size_t i = 0; i < std::size(refused); ++i) {
        try {
            ParseArguments(refused[i].first, refused[i].second);
            ADD_FAILURE() << messages[i];
        } catch (const UsageError& e) {
            EXPECT_EQ(std::string(e.what()), messages[i]);
        }
    }
    const Arguments write = ParseArguments(kWrite, {"--group=staff", "f", "--password-stdin", "--user", ""});
    EXPECT_EQ(write.file, "f");
    EXPECT_EQ(write.groupName, "staff");
    EXPECT_TRUE(write.passwordFromStdin);
    EXPECT_EQ(write.values[ops::kOnlDbUser], "");
    EXPECT_TRUE(ParseArguments(kTrust, {"f", "--fingerprint", std::string(40, 'a')}).fingerprint);
    EXPECT_TRUE(ParseArguments(kShow, {"--help"}).help);
}

TEST(SettingsCommand, HelpAndManualPageGiveTheSameExitStatusesAndOptions) {
    const quellmark::test::ManualPage page =
        quellmark::test::ReadManualPage(std::string(QUELLMARK_SOURCE_DIR) + "/docs/man/quellmark-settings.1.in");
    std::vector<std::pair<int, std::string>> statuses;
    for (const auto& status : ExitStatuses()) statuses.emplace_back(status.status, std::string(status.meaning));
    EXPECT_EQ(page.exitStatuses, statuses);
    EXPECT_EQ(page.options, quellmark::test::HelpOptions(kUsage));
    EXPECT_NE(kUsage.find("Exit status:\n" + quellmark::base::ExitStatusLines(ExitStatuses())), std::string::npos);
}

}  // namespace
