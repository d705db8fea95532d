#include "ops/settings_file.h"

#include <limits>
#include <optional>

#include "base/text.h"
#include "data_access/connection_string.h"
#include "data_access/data_access.h"
#include "data_access/jet/connection_string.h"
#include "ops/conversions.h"

namespace quellmark::ops {
namespace {

using quellmark::data_access::Value;

const std::string kTable(kSettingsTable);

quellmark::data_access::Error SettingError(std::string_view column, const std::string& problem) {
    return quellmark::data_access::Error("The setting " + std::string(column) + " in the table " + kTable + " " +
                                         problem);
}

template <class Int>
Int IntegerSetting(std::string_view column, const Value& value, const char* typeName) {
    if (quellmark::data_access::IsNull(value)) throw SettingError(column, "is empty (null).");
    const std::optional<double> number = WholeNumberOf(value);
    if (!number)
        throw SettingError(column, "holds \"" + quellmark::data_access::ToText(value) + "\", which is not a number.");
    if (*number < static_cast<double>(std::numeric_limits<Int>::min()) ||
        *number > static_cast<double>(std::numeric_limits<Int>::max())) {
        throw SettingError(column, "holds " + quellmark::data_access::ToText(value) +
                                       ", which is outside the range of " + typeName + " (" +
                                       std::to_string(std::numeric_limits<Int>::min()) + " to " +
                                       std::to_string(std::numeric_limits<Int>::max()) + ").");
    }
    return static_cast<Int>(*number);
}

std::string TextSetting(std::string_view column, const Value& value) {
    if (quellmark::data_access::IsNull(value)) throw SettingError(column, "is empty (null).");
    return quellmark::data_access::ToText(value);
}

Value ColumnValue(const quellmark::data_access::Recordset& settings, std::string_view column) {
    const quellmark::data_access::Fields fields = settings.Fields();
    for (int i = 0; i < fields.Count(); ++i) {
        const quellmark::data_access::Field field = fields.Item(i);
        if (quellmark::base::EqualsIgnoreCase(field.Name(), column)) return field.Value();
    }
    throw quellmark::data_access::Error("The table " + kTable + " has no column " + std::string(column) + ".");
}

// The value of the setting column at `index`, converted to its type.
template <std::size_t Index>
auto Setting(const quellmark::data_access::Recordset& settings) {
    constexpr SettingColumn column = kSettingColumns[Index];
    const Value value = ColumnValue(settings, column.name);
    if constexpr (column.type == SettingType::Integer16) {
        return IntegerSetting<std::int16_t>(column.name, value, "a 16-bit integer");
    } else if constexpr (column.type == SettingType::Integer32) {
        return IntegerSetting<std::int32_t>(column.name, value, "a 32-bit integer");
    } else {
        return TextSetting(column.name, value);
    }
}

}  // namespace

std::optional<ConnType> ConnTypeOf(std::string_view text) noexcept {
    for (std::size_t i = 0; i < kConnTypeNames.size(); ++i) {
        if (text == kConnTypeNames[i]) return static_cast<ConnType>(i);
    }
    return std::nullopt;
}

std::string ServerName(const OnlineSettings& settings) {
    if (ConnTypeOf(settings.OnlConnType) == ConnType::RemoteSql)
        return settings.OnlDbServer + "," + std::to_string(settings.OnlDbPort);
    return settings.OnlDbServer;
}

std::string SettingsConnStringForFile(const std::filesystem::path& file) {
    return quellmark::data_access::jet::JetConnectionString(file);
}

std::string SettingsConnStringForFolder(const std::string& folder) {
    return SettingsConnStringForFile(folder + std::filesystem::path::preferred_separator +
                                     std::string(kSettingsFileName));
}

OnlineSettings ReadOnlineSettings(const std::string& settingsConnString) {
    quellmark::data_access::Connection local;
    local.ConnectionString = settingsConnString;
    local.Open();
    quellmark::data_access::Recordset settings;
    settings.CursorType = quellmark::data_access::adOpenStatic;
    settings.LockType = quellmark::data_access::adLockOptimistic;
    settings.Open(kTable, local, quellmark::data_access::adOpenUnspecified, quellmark::data_access::adLockUnspecified,
                  quellmark::data_access::adCmdTable);
    if (settings.EndOfFile()) throw quellmark::data_access::Error("The table " + kTable + " holds no row.");

    // Read by name, in the table's order.
    OnlineSettings result;
    result.OnlConnType = Setting<kOnlConnType>(settings);
    result.OnlConnTimeout = Setting<kOnlConnTimeout>(settings);
    result.OnlDbServer = Setting<kOnlDbServer>(settings);
    result.OnlDbPort = Setting<kOnlDbPort>(settings);
    result.OnlDatabase = Setting<kOnlDatabase>(settings);
    result.OnlDbUser = Setting<kOnlDbUser>(settings);
    result.OnlDbPass = Setting<kOnlDbPass>(settings);

    settings.Close();
    local.Close();
    return result;
}

}  // namespace quellmark::ops
