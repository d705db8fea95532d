// The settings file: Sarnwick.mdb beside the executable, whose table
// Settings_General holds the one row of online connection settings. This is
// the one place that knows the file's name, the table, its seven columns and
// their types, the connection string that reaches the file, and how the row
// is read and converted. The window's start-up, the operations and the
// settings tool all take them from here.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quellmark::ops {

inline constexpr std::string_view kSettingsFileName = "Sarnwick.mdb";
inline constexpr std::string_view kSettingsTable = "Settings_General";

// The type a settings column holds in the file, and the type its value has
// after reading.
enum class SettingType {
    Text,       // Text (255)
    Integer16,  // Integer: 16-bit signed
    Integer32,  // Long Integer: 32-bit signed
};

struct SettingColumn {
    std::string_view name;
    SettingType type;
};

// The columns of Settings_General, in the order they are read.
inline constexpr std::array<SettingColumn, 7> kSettingColumns{{
    {"OnlConnType", SettingType::Text},
    {"OnlConnTimeout", SettingType::Integer16},
    {"OnlDbServer", SettingType::Text},
    {"OnlDbPort", SettingType::Integer32},
    {"OnlDatabase", SettingType::Text},
    {"OnlDbUser", SettingType::Text},
    {"OnlDbPass", SettingType::Text},
}};

// The positions of the columns in kSettingColumns (and in a row written in
// that order).
enum SettingIndex : std::size_t {
    kOnlConnType,
    kOnlConnTimeout,
    kOnlDbServer,
    kOnlDbPort,
    kOnlDatabase,
    kOnlDbUser,
    kOnlDbPass,
};

// The three ways of reaching the server that OnlConnType names, written
// exactly so (letter case included).
enum class ConnType {
    Windows,    // "Windows Authentication": Kerberos, no password
    LocalSql,   // "Local SQL Authentication": a SQL login, the server by name
    RemoteSql,  // "Remote SQL Authentication": a SQL login, "host,port" over TCP/IP
};
inline constexpr std::array<std::string_view, 3> kConnTypeNames{"Windows Authentication", "Local SQL Authentication",
                                                                "Remote SQL Authentication"};
// The connection type an OnlConnType value names; none for any other text.
std::optional<ConnType> ConnTypeOf(std::string_view text) noexcept;

// The seven online-connection settings, as read from the current row.
struct OnlineSettings {
    std::string OnlConnType;
    std::int16_t OnlConnTimeout = 0;
    std::string OnlDbServer;
    std::int32_t OnlDbPort = 0;
    std::string OnlDatabase;
    std::string OnlDbUser;
    std::string OnlDbPass;
};

// The server as the settings name it: "host,port" for Remote SQL
// Authentication, the name otherwise.
std::string ServerName(const OnlineSettings& settings);

// The Jet connection string of the settings file (quellmark::data_access::jet::JetConnectionString).
std::string SettingsConnStringForFile(const std::filesystem::path& file);
// The same for the settings file in `folder` (the executable's folder),
// joined with the platform's own separator.
std::string SettingsConnStringForFolder(const std::string& folder);

// Reads the current row of Settings_General through the given connection
// string. Throws quellmark::data_access::Error whose description names the file, table or
// column at fault (a missing file or table, a missing column, a null, a value
// that is not a number or does not fit its integer type).
OnlineSettings ReadOnlineSettings(const std::string& settingsConnString);

}  // namespace quellmark::ops
