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

jet4::ColumnType JetTypeOf(modGeneral::SettingType type) {
    switch (type) {
        case modGeneral::SettingType::Integer16:
            return jet4::ColumnType::Integer;
        case modGeneral::SettingType::Integer32:
            return jet4::ColumnType::LongInteger;
        case modGeneral::SettingType::Text:
            break;
    }
    return jet4::ColumnType::Text;
}

jet4::Value CellFor(std::size_t column, const std::string& text, jet4::ColumnType type) {
    if (type == jet4::ColumnType::Text) return text;
    const std::string option(kValueOptions.at(column));
    const std::string name(modGeneral::kSettingColumns.at(column).name);
    const std::string kind = type == jet4::ColumnType::Integer ? "an Integer (16-bit)" : "a Long Integer (32-bit)";
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
