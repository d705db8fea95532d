// quellmark-settings: writes the settings file Sarnwick.mdb (table
// Settings_General) and shows what Quellmark reads from one.
//
//   quellmark-settings write FILE [--type T] [--timeout N] ... [--rows K]
//   quellmark-settings show FILE
//
// Exit status: 0 done, 1 the file could not be written or read, 2 a usage
// error or a value the table cannot hold.
#include <charconv>
#include <cstdint>
#include <exception>
#include <iostream>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "connection_string.h"
#include "jet4_writer.h"
#include "modGeneral.h"

namespace {

namespace jet4 = quellmark::jet4;

constexpr const char* kTool = "quellmark-settings";
constexpr const char* kTable = "Settings_General";
constexpr int kMaxRows = 100000;

struct SettingColumn {
    const char* name;
    const char* option;
    jet4::ColumnType type;
};

// The columns of Settings_General in their order, with the option giving each.
constexpr SettingColumn kColumns[] = {
    {"OnlConnType", "--type", jet4::ColumnType::Text},
    {"OnlConnTimeout", "--timeout", jet4::ColumnType::Integer},
    {"OnlDbServer", "--server", jet4::ColumnType::Text},
    {"OnlDbPort", "--port", jet4::ColumnType::LongInteger},
    {"OnlDatabase", "--database", jet4::ColumnType::Text},
    {"OnlDbUser", "--user", jet4::ColumnType::Text},
    {"OnlDbPass", "--password", jet4::ColumnType::Text},
};
constexpr std::size_t kColumnCount = sizeof kColumns / sizeof kColumns[0];

constexpr const char* kUsage =
    "Usage:\n"
    "  quellmark-settings write FILE [options]   write a settings file (Jet 4 .mdb)\n"
    "  quellmark-settings show FILE              print the settings Quellmark reads from FILE\n"
    "\n"
    "Values of the row in Settings_General (each optional; a missing one is stored as null):\n"
    "  --type T  --timeout N  --server S  --port P  --database D  --user U  --password W\n"
    "Shape of the file:\n"
    "  --text-column NAME   store column NAME as Text(255)\n"
    "  --long-column NAME   store column NAME as Long Integer\n"
    "  --drop-column NAME   leave column NAME out\n"
    "  --no-table           write a database without the table Settings_General\n"
    "  --rows K             store the row K times (0 to 100000, default 1)\n";

// A usage error or a value the table cannot hold: exit status 2.
struct UsageError {
    std::string message;
};

bool SameName(std::string_view a, std::string_view b) { return data_access::EqualsIgnoreCase(a, b); }

std::size_t ColumnIndex(const std::string& option, const std::string& name) {
    for (std::size_t i = 0; i < kColumnCount; ++i) {
        if (SameName(kColumns[i].name, name)) return i;
    }
    throw UsageError{option + ": Settings_General has no column \"" + name + "\"."};
}

struct WriteRequest {
    std::string file;
    std::optional<std::string> values[kColumnCount];
    std::optional<jet4::ColumnType> typeOverride[kColumnCount];
    bool dropped[kColumnCount] = {};
    bool noTable = false;
    int rows = 1;
};

int ParseRows(const std::string& text) {
    int value = -1;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < 0 || value > kMaxRows) {
        throw UsageError{"--rows: expected a whole number from 0 to " + std::to_string(kMaxRows) + "."};
    }
    return value;
}

WriteRequest ParseWrite(const std::vector<std::string>& args) {
    WriteRequest request;
    std::set<std::string> seen;
    bool haveFile = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string option = args[i];
        std::optional<std::string> inlineValue;
        if (option.rfind("--", 0) == 0) {
            if (const auto eq = option.find('='); eq != std::string::npos) {
                inlineValue = option.substr(eq + 1);
                option.resize(eq);
            }
        } else {
            if (haveFile) throw UsageError{"write takes one FILE; \"" + option + "\" is one too many."};
            request.file = option;
            haveFile = true;
            continue;
        }
        if (option == "--no-table") {
            if (inlineValue) throw UsageError{"--no-table takes no value."};
            request.noTable = true;
            continue;
        }
        auto value = [&]() -> std::string {
            if (inlineValue) return *inlineValue;
            if (i + 1 >= args.size()) throw UsageError{option + " needs a value."};
            return args[++i];
        };
        bool known = false;
        for (std::size_t c = 0; c < kColumnCount; ++c) {
            if (option != kColumns[c].option) continue;
            known = true;
            if (!seen.insert(option).second) throw UsageError{option + " is given twice."};
            request.values[c] = value();
        }
        if (known) continue;
        if (option == "--rows") {
            if (!seen.insert(option).second) throw UsageError{"--rows is given twice."};
            request.rows = ParseRows(value());
        } else if (option == "--text-column" || option == "--long-column") {
            const std::size_t c = ColumnIndex(option, value());
            const auto type = option == "--text-column" ? jet4::ColumnType::Text : jet4::ColumnType::LongInteger;
            if (request.typeOverride[c] && *request.typeOverride[c] != type) {
                throw UsageError{std::string(kColumns[c].name) + " is given both --text-column and --long-column."};
            }
            request.typeOverride[c] = type;
        } else if (option == "--drop-column") {
            request.dropped[ColumnIndex(option, value())] = true;
        } else {
            throw UsageError{"unknown option \"" + option + "\"."};
        }
    }
    if (!haveFile) throw UsageError{"write needs a FILE."};
    return request;
}

// A whole number in plain decimal, or a usage error naming the option (never
// the value, which may be a password).
std::int64_t ParseWholeNumber(const std::string& text, const SettingColumn& column, jet4::ColumnType type) {
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (first != last && *first == '+') ++first;
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(first, last, value);
    const std::string kind = type == jet4::ColumnType::Integer ? "an Integer (16-bit)" : "a Long Integer (32-bit)";
    const std::string hint = " (--text-column " + std::string(column.name) + " stores it as text)";
    if (first == last || end != last || ec == std::errc::invalid_argument) {
        throw UsageError{std::string(column.option) + ": the value is not a whole number, and " + column.name + " is " +
                         kind + " column" + hint + "."};
    }
    if (ec == std::errc::result_out_of_range) {
        throw UsageError{std::string(column.option) + ": the value does not fit " + column.name + ", " + kind + " column" +
                         hint + "."};
    }
    return value;
}

std::vector<jet4::Table> TablesFor(const WriteRequest& request) {
    if (request.noTable) return {};
    jet4::Table table;
    table.name = kTable;
    jet4::Row row;
    for (std::size_t c = 0; c < kColumnCount; ++c) {
        if (request.dropped[c]) continue;
        const jet4::ColumnType type = request.typeOverride[c].value_or(kColumns[c].type);
        table.columns.push_back({kColumns[c].name, type});
        if (!request.values[c]) {
            row.emplace_back(jet4::Null{});
        } else if (type == jet4::ColumnType::Text) {
            row.emplace_back(*request.values[c]);
        } else {
            row.emplace_back(ParseWholeNumber(*request.values[c], kColumns[c], type));
        }
    }
    if (table.columns.empty()) throw UsageError{"every column is dropped; use --no-table for a file without the table."};
    table.rows.assign(static_cast<std::size_t>(request.rows), row);
    return {table};
}

int Write(const std::vector<std::string>& args) {
    const WriteRequest request = ParseWrite(args);
    std::vector<std::uint8_t> bytes;
    try {
        bytes = jet4::BuildDatabase(TablesFor(request));
    } catch (const jet4::WriteError& e) {
        throw UsageError{e.what()};  // a value or shape the table cannot hold
    }
    jet4::WriteFileAtomically(request.file, bytes);
    return 0;
}

int Show(const std::vector<std::string>& args) {
    if (args.size() != 1) throw UsageError{"show takes exactly one FILE."};
    const std::string connString = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" +
                                   data_access::QuoteConnectionValue(args[0]) + ";Persist Security Info=False";
    const quellmark::modGeneral::OnlineSettings s = quellmark::modGeneral::ReadOnlineSettings(connString);
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
