// quellmark-settings' command line: its commands, its table of options, its
// exit statuses, its --help text, and the way its messages are said.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/command_line.h"
#include "base/terminal_text.h"
#include "settings/settings_row.h"

namespace quellmark::settings_tool {

namespace exit_code {
inline constexpr int kDone = 0;
inline constexpr int kFailed = 1;  // not written or read, the check failed, nothing pinned
inline constexpr int kUsage = 2;   // a usage error, or settings the table or Quellmark cannot take
}  // namespace exit_code

// Every exit status, lowest first.
std::span<const base::ExitStatus> ExitStatuses();

// The commands; an option names those that take it.
enum Command : unsigned { kWrite = 1, kShow = 2, kCheck = 4, kTrust = 8 };

// The command of that name; nullopt for any other name.
std::optional<Command> CommandNamed(std::string_view name);

// What a command's arguments give.
struct Arguments {
    std::string file;
    SettingValues values;  // --type ... --password
    bool passwordFromStdin = false;
    std::optional<std::string> groupName;
    std::optional<std::string> fingerprint;  // as sqlserver::NormalizeFingerprint gives it
    bool help = false;
};

// Reads the arguments after the command's name: its one FILE and the options
// it takes, each once. Throws UsageError.
Arguments ParseArguments(Command command, const std::vector<std::string>& args);

// The text of --help: the commands, their options, the exit statuses.
extern const std::string kUsage;

// A message of quellmark-settings on standard error: "quellmark-settings: "
// and the text. A text from the server or the window (check's failure) goes
// to base::Report as it is, as the window shows it.
void Say(std::string_view text, base::Layout layout = base::Layout::Lines);

}  // namespace quellmark::settings_tool
