// quellmark-settings: writes the settings file Sarnwick.mdb (table
// Settings_General), shows what Quellmark reads from one, and checks that
// Quellmark can reach the log database with it.
//
//   quellmark-settings write FILE --type T --timeout N --server S --port P
//                                 --database D --user U
//                                 [--password W | --password-stdin] [--group G]
//   quellmark-settings show FILE
//   quellmark-settings check FILE
//   quellmark-settings trust FILE [--fingerprint HEX]
//
// Exit status: 0 done, 1 the file could not be written or read, or the check
// failed, 2 a usage error or a value the table cannot hold.
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/terminal_text.h"
#include "data_access/data_access.h"
#include "data_access/jet/writer.h"
#include "ops/modGeneral.h"
#include "ops/settings_file.h"
#include "settings/password_input.h"
#include "settings/settings_checks.h"
#include "settings/settings_row.h"
#include "settings/trust_command.h"

namespace {

namespace jet4 = quellmark::jet4;
namespace modGeneral = quellmark::modGeneral;
using quellmark::base::Visible;
using quellmark::base::VisibleLines;
using quellmark::settings_tool::UsageError;

constexpr const char* kTool = "quellmark-settings";

constexpr const char* kUsage =
    "Usage:\n"
    "  quellmark-settings write FILE OPTIONS   write a settings file (Jet 4 .mdb) holding one row\n"
    "  quellmark-settings show FILE            print the settings Quellmark reads from FILE\n"
    "  quellmark-settings check FILE           connect as Quellmark does and count the rows of ATR_Log\n"
    "  quellmark-settings trust FILE [--fingerprint HEX]\n"
    "                                          pin the certificate of the server FILE names\n"
    "\n"
    "write needs every value of the row in Settings_General (an empty text is fine):\n"
    "  --type T          \"Windows Authentication\", \"Local SQL Authentication\" or\n"
    "                    \"Remote SQL Authentication\"\n"
    "  --timeout N       connection time-out in seconds (16-bit integer)\n"
    "  --server S        server name or address\n"
    "  --port P          TCP port (32-bit integer; used by the remote type)\n"
    "  --database D      database name\n"
    "  --user U          SQL login name\n"
    "  --password-stdin  read the SQL login password from the first line of standard input\n"
    "  --password W      the SQL login password; other local users can see it while the\n"
    "                    command runs (ps), and the shell history keeps it\n"
    "With a terminal on standard input and without --password, write asks for the\n"
    "password without showing it.\n"
    "The file is readable by its owner only (mode 0600), also when it replaces one; with\n"
    "  --group G         it is owned by group G and readable by its members (mode 0640)\n"
    "\n"
    "check opens the connection with the settings as Quellmark does (the same time-out,\n"
    "the same messages) and counts the rows of ATR_Log: it prints one line and exits\n"
    "with 0, or prints the message Quellmark would show and exits with 1. A second line\n"
    "says which trust the server's certificate met: the pinned certificate, or an\n"
    "authority of the system's store.\n"
    "\n"
    "Exit status: 0 done, 1 the file could not be written or read, or the check failed,\n"
    "2 a usage error or a value the table cannot hold.\n";

// The group a --group option names. Throws UsageError when there is none.
jet4::FileAccess AccessFor(const std::optional<std::string>& groupName) {
    jet4::FileAccess access;
    if (!groupName) return access;
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    const int error = ::getgrnam_r(groupName->c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (error != 0 || found == nullptr) throw UsageError{"--group: there is no group named \"" + *groupName + "\"."};
    access.group = jet4::FileAccess::Group{found->gr_gid, *groupName};
    return access;
}

// The column of the password, the one value that may come after the others.
constexpr std::size_t kPasswordColumn = modGeneral::kOnlDbPass;
static_assert(kPasswordColumn == modGeneral::kSettingColumns.size() - 1);
static_assert(quellmark::settings_tool::kValueOptions[kPasswordColumn] == "--password");

// What write's arguments give.
struct WriteArguments {
    quellmark::settings_tool::SettingValues values;
    std::string file;
    std::optional<std::string> groupName;
    bool passwordFromStdin = false;
};

WriteArguments ParseWriteArguments(const std::vector<std::string>& args) {
    using namespace quellmark::settings_tool;
    WriteArguments parsed;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (TakeValueOption(args, i, parsed.values)) continue;
        if (TakeOption(args, i, "--group", parsed.groupName)) continue;
        if (args[i] == "--password-stdin") {
            if (parsed.passwordFromStdin) throw UsageError{"--password-stdin is given twice."};
            parsed.passwordFromStdin = true;
            continue;
        }
        if (args[i].rfind("--", 0) == 0) throw UsageError{"unknown option \"" + args[i] + "\"."};
        if (!parsed.file.empty()) throw UsageError{"write takes one FILE; \"" + args[i] + "\" is one too many."};
        parsed.file = args[i];
    }
    if (parsed.file.empty()) throw UsageError{"write needs a FILE."};
    if (parsed.passwordFromStdin && parsed.values[kPasswordColumn])
        throw UsageError{"give the password with --password or with --password-stdin, not both."};
    return parsed;
}

// Settings_General with its columns and no row yet.
jet4::Table SettingsTable() {
    jet4::Table table;
    table.name = std::string(modGeneral::kSettingsTable);
    for (const modGeneral::SettingColumn& column : modGeneral::kSettingColumns)
        table.columns.push_back({std::string(column.name), quellmark::settings_tool::JetTypeOf(column.type)});
    return table;
}

// The cells of the values given, in column order. Throws UsageError naming
// every value missing (the password is not, when it comes later).
jet4::Row RowOfValues(const quellmark::settings_tool::SettingValues& values, bool passwordLater) {
    using namespace quellmark::settings_tool;
    jet4::Row row;
    std::string missing;
    for (std::size_t c = 0; c < modGeneral::kSettingColumns.size(); ++c) {
        if (values[c]) {
            row.push_back(CellFor(c, *values[c], JetTypeOf(modGeneral::kSettingColumns[c].type)));
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
std::string LatePassword(const quellmark::settings_tool::SettingValues& values, bool askForPassword) {
    using namespace quellmark::settings_tool;
    std::optional<std::string> password;
    if (askForPassword) {
        password = PromptPassword("Password of the SQL login \"" + Visible(*values[modGeneral::kOnlDbUser]) + "\": ");
        if (!password) throw UsageError{"no password was typed."};
    } else {
        password = ReadPasswordLine(std::cin);
        if (!password)
            throw UsageError{"--password-stdin: standard input is empty (an empty line is an empty password)."};
    }
    return *password;
}

// The file of one table, written in place of FILE at once.
void WriteSettingsFile(const std::string& file, const jet4::Table& table, const jet4::FileAccess& access) {
    std::vector<std::uint8_t> bytes;
    try {
        bytes = jet4::BuildDatabase({table});
    } catch (const jet4::WriteError& e) {
        throw UsageError{e.what()};  // a value the table cannot hold
    }
    jet4::WriteFileAtomically(file, bytes, access);
}

int Write(const std::vector<std::string>& args) {
    using namespace quellmark::settings_tool;
    const WriteArguments parsed = ParseWriteArguments(args);
    const SettingValues& values = parsed.values;
    // A terminal on standard input is asked without echo, --password-stdin or not.
    const bool askForPassword = !values[kPasswordColumn] && StdinIsTerminal();
    const bool passwordLater = parsed.passwordFromStdin || askForPassword;

    // Every other value is checked before the password is read or asked for.
    jet4::Table table = SettingsTable();
    jet4::Row row = RowOfValues(values, passwordLater);
    const jet4::FileAccess access = AccessFor(parsed.groupName);
    CheckUsableRow(row);

    if (passwordLater) {
        row.push_back(CellFor(kPasswordColumn, LatePassword(values, askForPassword), jet4::ColumnType::Text));
        CheckUsableRow(row);
    }
    table.rows.push_back(std::move(row));
    WriteSettingsFile(parsed.file, table, access);
    return 0;
}

// Warns on standard error when every local user can read the file.
void WarnWhenOthersCanRead(const std::string& file) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || (info.st_mode & S_IROTH) == 0) return;
    std::cerr << kTool << ": warning: every local user can read " << Visible(file)
              << ", and it holds the SQL password; write it again with " << kTool
              << " write (mode 0600, or 0640 with --group), or run chmod o-rwx on it.\n";
}

int Show(const std::vector<std::string>& args) {
    if (args.size() != 1) throw UsageError{"show takes exactly one FILE."};
    WarnWhenOthersCanRead(args[0]);
    const modGeneral::OnlineSettings s = modGeneral::ReadOnlineSettings(modGeneral::SettingsConnStringForFile(args[0]));
    std::cout << "OnlConnType=" << Visible(s.OnlConnType) << '\n'
              << "OnlConnTimeout=" << s.OnlConnTimeout << '\n'
              << "OnlDbServer=" << Visible(s.OnlDbServer) << '\n'
              << "OnlDbPort=" << s.OnlDbPort << '\n'
              << "OnlDatabase=" << Visible(s.OnlDatabase) << '\n'
              << "OnlDbUser=" << Visible(s.OnlDbUser) << '\n'
              << "OnlDbPass=****\n";
    std::cout.flush();
    return std::cout ? 0 : 1;
}

// Opens the online connection and counts ATR_Log with the window's own code;
// a failure is reported with the text the window's message box would show.
int Check(const std::vector<std::string>& args) {
    if (args.size() != 1) throw UsageError{"check takes exactly one FILE."};
    const modGeneral::ShowFailure show = [](const std::string& description) {
        std::cerr << VisibleLines(description) << '\n';
    };
    std::optional<modGeneral::OnlineConnection> online =
        modGeneral::OpenOnlineConnection(modGeneral::SettingsConnStringForFile(args[0]), show);
    if (!online) return 1;
    std::unique_ptr<quellmark::data_access::Recordset> result;
    const std::optional<std::int32_t> count = modGeneral::RunCountStatement(
        *online->connection, modGeneral::BuildCountStatement("FROM ATR_Log"), result, show);
    if (!count) return 1;

    const modGeneral::OnlineSettings& s = online->settings;
    const bool windows = modGeneral::ConnTypeOf(s.OnlConnType) == modGeneral::ConnType::Windows;
    std::cout << "connected to " << Visible(modGeneral::ServerName(s)) << " (database " << Visible(s.OnlDatabase)
              << ") " << (windows ? "with Windows Authentication" : "as " + Visible(s.OnlDbUser)) << ": ATR_Log holds "
              << *count << (*count == 1 ? " row" : " rows") << '\n'
              << Visible(quellmark::settings_tool::TrustLine(online->connection->ConnectionString, s.OnlConnTimeout))
              << '\n';
    std::cout.flush();
    return std::cout ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    quellmark::data_access::StartUp();
    const std::vector<std::string> all(argv + 1, argv + argc);
    try {
        if (all.empty()) throw UsageError{"a command is needed: write, show, check or trust."};
        const std::string& command = all[0];
        const std::vector<std::string> rest(all.begin() + 1, all.end());
        if (command == "--help" || command == "-h" || command == "help") {
            std::cout << kUsage << '\n' << quellmark::settings_tool::kTrustUsage;
            return 0;
        }
        if (command == "write") return Write(rest);
        if (command == "show") return Show(rest);
        if (command == "check") return Check(rest);
        if (command == "trust") return quellmark::settings_tool::Trust(rest);
        throw UsageError{"unknown command \"" + command + "\"."};
    } catch (const UsageError& e) {
        std::cerr << kTool << ": " << Visible(e.what()) << "\nTry '" << kTool << " --help'.\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << VisibleLines(e.what()) << '\n';
        return 1;
    }
}
