// quellmark-settings: writes the settings file Sarnwick.mdb (table
// Settings_General), shows what Quellmark reads from one, checks that
// Quellmark can reach the log database with it, and pins its server's
// certificate. See kUsage and the manual page quellmark-settings(1).
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/terminal_text.h"
#include "data_access/data_access.h"
#include "data_access/jet/writer.h"
#include "ops/modGeneral.h"
#include "ops/settings_file.h"
#include "settings/password_input.h"
#include "settings/settings_checks.h"
#include "settings/settings_command.h"
#include "settings/settings_row.h"
#include "settings/trust_command.h"

namespace {

namespace jet = quellmark::data_access::jet;
namespace ops = quellmark::ops;
namespace tool = quellmark::settings_tool;
namespace exit_code = tool::exit_code;
using quellmark::base::Layout;
using quellmark::base::Report;
using quellmark::settings_tool::UsageError;

// The group a --group option names. Throws UsageError when there is none.
jet::FileAccess AccessFor(const std::optional<std::string>& groupName) {
    jet::FileAccess access;
    if (!groupName) return access;
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    const int error = ::getgrnam_r(groupName->c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (error != 0 || found == nullptr) throw UsageError{"--group: there is no group named \"" + *groupName + "\"."};
    access.group = jet::FileAccess::Group{found->gr_gid, *groupName};
    return access;
}

// The column of the password, the one value that may come after the others.
constexpr std::size_t kPasswordColumn = ops::kOnlDbPass;
static_assert(kPasswordColumn == ops::kSettingColumns.size() - 1);
static_assert(tool::kValueOptions[kPasswordColumn] == "--password");

// Settings_General with its columns and no row yet.
jet::Table SettingsTable() {
    jet::Table table;
    table.name = std::string(ops::kSettingsTable);
    for (const ops::SettingColumn& column : ops::kSettingColumns)
        table.columns.push_back({std::string(column.name), tool::JetTypeOf(column.type)});
    return table;
}

// The cells of the values given, in column order. Throws UsageError naming
// every value missing (the password is not, when it comes later).
jet::Row RowOfValues(const tool::SettingValues& values, bool passwordLater) {
    using namespace quellmark::settings_tool;
    jet::Row row;
    std::string missing;
    for (std::size_t c = 0; c < ops::kSettingColumns.size(); ++c) {
        if (values[c]) {
            row.push_back(CellFor(c, *values[c], JetTypeOf(ops::kSettingColumns[c].type)));
        } else if (c != kPasswordColumn || !passwordLater) {
            missing += (missing.empty() ? "" : ", ") + std::string(kValueOptions[c]);
        }
    }
    if (!missing.empty())
        throw UsageError{"write needs every setting; missing: " + missing +
                         " (an empty text such as --user \"\" is fine)." +
                         (values[kPasswordColumn] ? "" : " The password can also come from --password-stdin.")};
    return row;
}

// The password asked for on the terminal or read from standard input.
std::string LatePassword(const tool::SettingValues& values, bool askForPassword) {
    std::optional<std::string> password;
    if (askForPassword) {
        password = tool::PromptPassword("Password of the SQL login \"" + *values[ops::kOnlDbUser] + "\": ");
        if (!password) throw UsageError{"no password was typed."};
    } else {
        password = tool::ReadPasswordLine(std::cin);
        if (!password)
            throw UsageError{"--password-stdin: standard input is empty (an empty line is an empty password)."};
    }
    return *password;
}

// The file of one table, written in place of FILE at once.
void WriteSettingsFile(const std::string& file, const jet::Table& table, const jet::FileAccess& access) {
    std::vector<std::uint8_t> bytes;
    try {
        bytes = jet::BuildDatabase({table});
    } catch (const jet::WriteError& e) {
        throw UsageError{e.what()};  // a value the table cannot hold
    }
    jet::WriteFileAtomically(file, bytes, access);
}

int Write(const tool::Arguments& arguments) {
    const tool::SettingValues& values = arguments.values;
    if (arguments.passwordFromStdin && values[kPasswordColumn])
        throw UsageError{"give the password with --password or with --password-stdin, not both."};
    // A terminal on standard input is asked without echo, --password-stdin or not.
    const bool askForPassword = !values[kPasswordColumn] && tool::StdinIsTerminal();
    const bool passwordLater = arguments.passwordFromStdin || askForPassword;

    // Every other value is checked before the password is read or asked for.
    jet::Table table = SettingsTable();
    jet::Row row = RowOfValues(values, passwordLater);
    const jet::FileAccess access = AccessFor(arguments.groupName);
    tool::CheckUsableRow(row);

    if (passwordLater) {
        row.push_back(tool::CellFor(kPasswordColumn, LatePassword(values, askForPassword), jet::ColumnType::Text));
        tool::CheckUsableRow(row);
    }
    table.rows.push_back(std::move(row));
    WriteSettingsFile(arguments.file, table, access);
    return exit_code::kDone;
}

// Warns on standard error when every local user can read the file.
void WarnWhenOthersCanRead(const std::string& file) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || (info.st_mode & S_IROTH) == 0) return;
    tool::Say("warning: every local user can read " + file +
                  ", and it holds the SQL password; write it again with quellmark-settings write (mode 0600, or "
                  "0640 with --group), or run chmod o-rwx on it.",
              Layout::OneLine);
}

int Show(const tool::Arguments& arguments) {
    WarnWhenOthersCanRead(arguments.file);
    const ops::OnlineSettings s = ops::ReadOnlineSettings(ops::SettingsConnStringForFile(arguments.file));
    bool written = true;
    for (const std::string& line :
         {"OnlConnType=" + s.OnlConnType, "OnlConnTimeout=" + std::to_string(s.OnlConnTimeout),
          "OnlDbServer=" + s.OnlDbServer, "OnlDbPort=" + std::to_string(s.OnlDbPort), "OnlDatabase=" + s.OnlDatabase,
          "OnlDbUser=" + s.OnlDbUser, std::string("OnlDbPass=****")})
        written = Report(stdout, line, Layout::OneLine) && written;
    return written ? exit_code::kDone : exit_code::kFailed;
}

// Opens the online connection and counts ATR_Log with the window's own code;
// a failure is reported with the text the window's message box would show.
int Check(const tool::Arguments& arguments) {
    const ops::ShowFailure show = [](const std::string& description) { Report(stderr, description); };
    std::optional<ops::OnlineConnection> online =
        ops::OpenOnlineConnection(ops::SettingsConnStringForFile(arguments.file), show);
    if (!online) return exit_code::kFailed;
    std::unique_ptr<quellmark::data_access::Recordset> result;
    const std::optional<std::int32_t> count =
        ops::RunCountStatement(*online->connection, ops::BuildCountStatement("FROM ATR_Log"), result, show);
    if (!count) return exit_code::kFailed;

    const ops::OnlineSettings& s = online->settings;
    const bool windows = ops::ConnTypeOf(s.OnlConnType) == ops::ConnType::Windows;
    const bool written =
        Report(stdout,
               "connected to " + ops::ServerName(s) + " (database " + s.OnlDatabase + ") " +
                   (windows ? "with Windows Authentication" : "as " + s.OnlDbUser) + ": ATR_Log holds " +
                   std::to_string(*count) + (*count == 1 ? " row" : " rows"),
               Layout::OneLine) &&
        Report(stdout, tool::TrustLine(online->connection->ConnectionString, s.OnlConnTimeout), Layout::OneLine);
    return written ? exit_code::kDone : exit_code::kFailed;
}

int Run(const std::vector<std::string>& all) {
    if (all.empty()) throw UsageError{"a command is needed: write, show, check or trust."};
    const std::string& command = all[0];
    const std::optional<tool::Command> named = tool::CommandNamed(command);
    const bool help = command == "--help" || command == "-h" || command == "help";
    if (!named && !help) throw UsageError{"unknown command \"" + command + "\"."};
    const tool::Arguments arguments =
        named ? tool::ParseArguments(*named, {all.begin() + 1, all.end()}) : tool::Arguments{};
    if (help || arguments.help) {
        const std::string_view usage = tool::kUsage;
        return Report(stdout, usage.substr(0, usage.find_last_not_of('\n') + 1)) ? exit_code::kDone
                                                                                 : exit_code::kFailed;
    }
    switch (*named) {
        case tool::kWrite:
            return Write(arguments);
        case tool::kShow:
            return Show(arguments);
        case tool::kCheck:
            return Check(arguments);
        case tool::kTrust:
            return tool::Trust(arguments);
    }
    return exit_code::kUsage;
}

}  // namespace

int main(int argc, char** argv) {
    quellmark::data_access::StartUp();
    try {
        return Run({argv + 1, argv + argc});
    } catch (const UsageError& e) {
        tool::Say(e.what(), Layout::OneLine);
        Report(stderr, "Try quellmark-settings --help.");
        return exit_code::kUsage;
    } catch (const std::exception& e) {
        tool::Say(e.what());
        return exit_code::kFailed;
    }
}
