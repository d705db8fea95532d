// quellmark-settings: writes the settings file Sarnwick.mdb (table
// Settings_General) and shows what Quellmark reads from one.
//
//   quellmark-settings write FILE --type T --timeout N --server S --port P
//                                 --database D --user U --password W
//   quellmark-settings show FILE
//
// Exit status: 0 done, 1 the file could not be written or read, 2 a usage
// error or a value the table cannot hold.
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "data_access/data_access.h"
#include "ops/settings_file.h"
#include "settings/jet4_writer.h"
#include "settings/settings_row.h"

namespace {

namespace jet4 = quellmark::jet4;
namespace modGeneral = quellmark::modGeneral;
using quellmark::settings_tool::UsageError;

constexpr const char* kTool = "quellmark-settings";

constexpr const char* kUsage =
    "Usage:\n"
    "  quellmark-settings write FILE OPTIONS   write a settings file (Jet 4 .mdb) holding one row\n"
    "  quellmark-settings show FILE            print the settings Quellmark reads from FILE\n"
    "\n"
    "write needs every value of the row in Settings_General (an empty text is fine):\n"
    "  --type T      \"Windows Authentication\", \"Local SQL Authentication\" or\n"
    "                \"Remote SQL Authentication\"\n"
    "  --timeout N   connection time-out in seconds (16-bit integer)\n"
    "  --server S    server name or address\n"
    "  --port P      TCP port (32-bit integer; used by the remote type)\n"
    "  --database D  database name\n"
    "  --user U      SQL login name\n"
    "  --password W  SQL login password\n";

int Write(const std::vector<std::string>& args) {
    using namespace quellmark::settings_tool;
    SettingValues values;
    std::string file;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (TakeValueOption(args, i, values)) continue;
        if (args[i].rfind("--", 0) == 0) throw UsageError{"unknown option \"" + args[i] + "\"."};
        if (!file.empty()) throw UsageError{"write takes one FILE; \"" + args[i] + "\" is one too many."};
        file = args[i];
    }
    if (file.empty()) throw UsageError{"write needs a FILE."};

    jet4::Table table;
    table.name = std::string(modGeneral::kSettingsTable);
    jet4::Row row;
    std::string missing;
    for (std::size_t c = 0; c < modGeneral::kSettingColumns.size(); ++c) {
        const modGeneral::SettingColumn& column = modGeneral::kSettingColumns[c];
        const jet4::ColumnType type = JetTypeOf(column.type);
        table.columns.push_back({std::string(column.name), type});
        if (!values[c]) {
            missing += (missing.empty() ? "" : ", ") + std::string(kValueOptions[c]);
            continue;
        }
        row.push_back(CellFor(c, *values[c], type));
    }
    if (!missing.empty())
        throw UsageError{"write needs every setting; missing: " + missing +
                         " (an empty text such as --user \"\" is fine)."};
    table.rows.push_back(std::move(row));

    std::vector<std::uint8_t> bytes;
    try {
        bytes = jet4::BuildDatabase({table});
    } catch (const jet4::WriteError& e) {
        throw UsageError{e.what()};  // a value the table cannot hold
    }
    jet4::WriteFileAtomically(file, bytes);
    return 0;
}

int Show(const std::vector<std::string>& args) {
    if (args.size() != 1) throw UsageError{"show takes exactly one FILE."};
    const modGeneral::OnlineSettings s = modGeneral::ReadOnlineSettings(modGeneral::SettingsConnStringForFile(args[0]));
    std::cout << "OnlConnType=" << s.OnlConnType << '\n'
              << "OnlConnTimeout=" << s.OnlConnTimeout << '\n'
              << "OnlDbServer=" << s.OnlDbServer << '\n'
              << "OnlDbPort=" << s.OnlDbPort << '\n'
              << "OnlDatabase=" << s.OnlDatabase << '\n'
              << "OnlDbUser=" << s.OnlDbUser << '\n'
              << "OnlDbPass=****\n";
    std::cout.flush();
    return std::cout ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> all(argv + 1, argv + argc);
    try {
        if (all.empty()) throw UsageError{"a command is needed: write or show."};
        const std::string& command = all[0];
        const std::vector<std::string> rest(all.begin() + 1, all.end());
        if (command == "--help" || command == "-h" || command == "help") {
            std::cout << kUsage;
            return 0;
        }
        if (command == "write") return Write(rest);
        if (command == "show") return Show(rest);
        throw UsageError{"unknown command \"" + command + "\"."};
    } catch (const UsageError& e) {
        std::cerr << kTool << ": " << e.message << "\nTry '" << kTool << " --help'.\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
}
