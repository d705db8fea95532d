#include "settings/settings_row.h"

#include <charconv>
#include <cstdint>

namespace quellmark::settings_tool {

std::optional<std::size_t> ColumnOfOption(std::string_view option) {
    for (std::size_t c = 0; c < kValueOptions.size(); ++c) {
        if (kValueOptions[c] == option) return c;
    }
    return std::nullopt;
}

data_access::jet::ColumnType JetTypeOf(ops::SettingType type) {
    switch (type) {
        case ops::SettingType::Integer16:
            return data_access::jet::ColumnType::Integer;
        case ops::SettingType::Integer32:
            return data_access::jet::ColumnType::LongInteger;
        case ops::SettingType::Text:
            break;
    }
    return data_access::jet::ColumnType::Text;
}

data_access::jet::Value CellFor(std::size_t column, const std::string& text, data_access::jet::ColumnType type) {
    if (type == data_access::jet::ColumnType::Text) return text;
    const std::string option(kValueOptions.at(column));
    const std::string name(ops::kSettingColumns.at(column).name);
    const std::string kind =
        type == data_access::jet::ColumnType::Integer ? "an Integer (16-bit)" : "a Long Integer (32-bit)";
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (first != last && *first == '+') ++first;
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(first, last, value);
    if (first == last || end != last || ec == std::errc::invalid_argument)
        throw UsageError{option + ": the value is not a whole number, and " + name + " is " + kind + " column."};
    if (ec == std::errc::result_out_of_range)
        throw UsageError{option + ": the value does not fit " + name + ", " + kind + " column."};
    return value;
}

}  // namespace quellmark::settings_tool
