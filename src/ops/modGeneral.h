// The log database operations: count the rows a statement's filter matches,
// and delete them chunk by chunk.
//
// The data's way through an operation:
//   SettingsConnString -> ReadOnlineSettings (Sarnwick.mdb, settings_file.h;
//   any failure is reported at once: handler mode)
//   -> BuildOnlineConnString -> open the online connection
//   -> the statement box's text (WindowPort) -> BuildCountStatement and the
//      delete statement -> Execute on the SQL Server
//   -> the count or the rows left, written back to the window.
// From the online connection on, a failing step is skipped (skip mode) and
// failures are found by inspecting the connection's Errors after the open and
// after each statement; each one is shown in one message box, which during a
// deletion run also says when rows deleted by its earlier passes stay deleted.
#pragma once

#include <cstdint>
#include <string>

#include "ops/settings_file.h"

namespace quellmark::modGeneral {

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
