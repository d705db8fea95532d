// quellmark-test-mdb: writes settings files for tests, including the broken
// shapes an operator's file may have: a value left out (stored as null), a
// column stored with another type or missing, no table at all, no row or many.
//
//   quellmark-test-mdb FILE [--type T] [--timeout N] ... [--password W]
//                           [--text-column NAME] [--long-column NAME]
//                           [--drop-column NAME] [--no-table] [--rows K]
//
// Exit status: 0 written, 1 the file could not be written, 2 a usage error or
// a value the table cannot hold.
#include <charconv>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/command_line.h"
#include "base/text.h"
#include "data_access/jet/writer.h"
#include "ops/settings_file.h"
#include "settings/settings_row.h"

namespace {

namespace jet = quellmark::data_access::jet;
namespace ops = quellmark::ops;
using namespace quellmark::settings_tool;

constexpr std::size_t kColumnCount = ops::kSettingColumns.size();
constexpr int kMaxRows = 100000;

constexpr const char* kUsage =
    "Usage: quellmark-test-mdb FILE [options]\n"
    "Values of the row in Settings_General (each optional; a missing one is stored as null):\n"
    "  --type T  --timeout N  --server S  --port P  --database D  --user U  --password W\n"
    "Shape of the file:\n"
    "  --text-column NAME   store column NAME as Text(255)\n"
    "  --long-column NAME   store column NAME as Long Integer\n"
    "  --drop-column NAME   leave column NAME out\n"
    "  --no-table           write a database without the table Settings_General\n"
    "  --rows K             store the row K times (0 to 100000, default 1)\n";

struct Request {
    std::string file;
    SettingValues values;
    std::optional<jet::ColumnType> typeOverride[kColumnCount];
    bool dropped[kColumnCount] = {};
    bool noTable = false;
    std::optional<int> rows;
};

std::size_t ColumnNamed(const std::string& option, const std::string& name) {
    for (std::size_t c = 0; c < kColumnCount; ++c) {
        if (quellmark::base::EqualsIgnoreCase(ops::kSettingColumns[c].name, name)) return c;
    }
    throw UsageError{option + ": Settings_General has no column \"" + name + "\"."};
}

int ParseRows(const std::string& text) {
    int value = -1;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < 0 || value > kMaxRows)
        throw UsageError{"--rows: expected a whole number from 0 to " + std::to_string(kMaxRows) + "."};
    return value;
}

// Whether an option takes a value; throws UsageError for an unknown one.
bool TakesValue(std::string_view option) {
    if (option == "--no-table") return false;
    if (ColumnOfOption(option) || option == "--rows" || option == "--text-column" || option == "--long-column" ||
        option == "--drop-column")
        return true;
    throw UsageError{"unknown option \"" + std::string(option) + "\"."};
}

Request Parse(const std::vector<std::string>& args) {
    Request request;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const auto [option, given] = quellmark::base::TakeArgument(args, i, TakesValue);
        const std::string value = given.value_or("");
        if (option.empty()) {
            if (!request.file.empty()) throw UsageError{"one FILE only; \"" + value + "\" is one too many."};
            request.file = value;
        } else if (const std::optional<std::size_t> column = ColumnOfOption(option)) {
            if (request.values[*column]) throw UsageError{option + " is given twice."};
            request.values[*column] = value;
        } else if (option == "--no-table") {
            request.noTable = true;
        } else if (option == "--rows") {
            if (request.rows) throw UsageError{"--rows is given twice."};
            request.rows = ParseRows(value);
        } else if (option == "--drop-column") {
            request.dropped[ColumnNamed(option, value)] = true;
        } else {
            const std::size_t c = ColumnNamed(option, value);
            const auto type = option == "--text-column" ? jet::ColumnType::Text : jet::ColumnType::LongInteger;
            if (request.typeOverride[c] && *request.typeOverride[c] != type)
                throw UsageError{value + " is given both --text-column and --long-column."};
            request.typeOverride[c] = type;
        }
    }
    if (request.file.empty()) throw UsageError{"a FILE is needed."};
    return request;
}

std::vector<jet::Table> TablesFor(const Request& request) {
    if (request.noTable) return {};
    jet::Table table;
    table.name = std::string(ops::kSettingsTable);
    jet::Row row;
    for (std::size_t c = 0; c < kColumnCount; ++c) {
        if (request.dropped[c]) continue;
        const jet::ColumnType type = request.typeOverride[c].value_or(JetTypeOf(ops::kSettingColumns[c].type));
        table.columns.push_back({std::string(ops::kSettingColumns[c].name), type});
        if (request.values[c]) {
            row.push_back(CellFor(c, *request.values[c], type));
        } else {
            row.emplace_back(jet::Null{});
        }
    }
    if (table.columns.empty())
        throw UsageError{"every column is dropped; use --no-table for a file without the table."};
    table.rows.assign(static_cast<std::size_t>(request.rows.value_or(1)), row);
    return {table};
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
            std::cout << kUsage;
            return 0;
        }
        const Request request = Parse(args);
        std::vector<std::uint8_t> bytes;
        try {
            bytes = jet::BuildDatabase(TablesFor(request));
        } catch (const jet::WriteError& e) {
            throw UsageError{e.what()};
        }
        jet::WriteFileAtomically(request.file, bytes);
        return 0;
    } catch (const UsageError& e) {
        std::cerr << "quellmark-test-mdb: " << e.what() << "\n\n" << kUsage;
        return 2;
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
}
