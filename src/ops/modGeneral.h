// The log database operations: read the online settings from Sarnwick.mdb,
// build the online connection string, derive the count statement from the
// statement box, count the rows it matches, and delete them chunk by chunk.
//
// Data flow of an operation: SettingsConnString -> ReadOnlineSettings (failures
// reported at once, "handler mode") -> BuildOnlineConnString -> open the online
// connection -> statements from the window's statement box -> results written
// back to the window. From the online connection on, a failing step is skipped
// ("skip mode") and failures are found by inspecting the connection's Errors.
#pragma once

#include <cstdint>
#include <string>

namespace quellmark::modGeneral {

struct OnlineSettings {
    std::string OnlConnType;
    std::int16_t OnlConnTimeout = 0;
    std::string OnlDbServer;
    std::int32_t OnlDbPort = 0;
    std::string OnlDatabase;
    std::string OnlDbUser;
    std::string OnlDbPass;
};

// Reads the current row of Settings_General through the given connection
// string. Throws data_access::Error whose description names the file, table or
// column at fault (a missing file or table, a missing column, a null, a value
// that is not a number or does not fit its integer type).
OnlineSettings ReadOnlineSettings(const std::string& settingsConnString);

// The online connection string for the settings' authentication type; empty
// for an unknown type. A value that would break the string (a ';', surrounding
// spaces, a leading quote) is quoted; any other value is inserted unchanged.
std::string BuildOnlineConnString(const OnlineSettings& settings);

// "SELECT COUNT(log_id) " + the statement from "FROM ATR_Log" on, trimmed of
// spaces, without trailing line breaks; empty when the marker does not occur.
std::string BuildCountStatement(const std::string& text);
// The text without its trailing CR and LF characters.
std::string TrimTrailingLineBreaks(const std::string& text);

// Counts the rows the statement box's filter matches into txtCount.
void CountRecords();
// Deletes every row the statement box targets, one TOP (n) chunk a pass, with
// a 200 ms pause between passes, until none is left or Cancel was requested.
void DeleteRecordsInChunks();
// Waits ms milliseconds in 10 ms slices, processing window events after each.
void PauseWithEvents(std::int16_t ms);

}  // namespace quellmark::modGeneral
