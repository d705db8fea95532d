// The settings row as the settings tools write it: the command-line option
// that gives each column of Settings_General, and the conversion of an
// option's text into the cell the column stores. The table, its columns and
// their types come from the operations' settings-file description.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "base/usage_error.h"
#include "data_access/jet/writer.h"
#include "ops/settings_file.h"

namespace quellmark::settings_tool {

// A usage error or a value the table cannot hold (exit status 2). The
// message names the option and column, never the value (it may be a password).
using base::UsageError;

// The option giving each column, in the order of ops::kSettingColumns.
inline constexpr std::array<std::string_view, ops::kSettingColumns.size()> kValueOptions{
    "--type", "--timeout", "--server", "--port", "--database", "--user", "--password"};

// The column an option gives; nullopt for any other option.
std::optional<std::size_t> ColumnOfOption(std::string_view option);

// The Jet type a column is stored as.
data_access::jet::ColumnType JetTypeOf(ops::SettingType type);

// The cell for column `column` stored as `type`: the text as it is for a Text
// column, a whole number in plain decimal otherwise. Throws UsageError.
data_access::jet::Value CellFor(std::size_t column, const std::string& text, data_access::jet::ColumnType type);

// The values of the seven columns as the options gave them.
using SettingValues = std::array<std::optional<std::string>, ops::kSettingColumns.size()>;

}  // namespace quellmark::settings_tool
