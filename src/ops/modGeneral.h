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
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "data_access/data_access.h"
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

// Shows a failure's description to the operator: the window's message box,
// or the terminal of quellmark-settings check.
using ShowFailure = std::function<void(const std::string& description)>;

// An open online connection and the settings it was opened with.
struct OnlineConnection {
    OnlineSettings settings;
    std::unique_ptr<data_access::Connection> connection;
};

// The start of every operation: reads the settings through settingsConnString
// (handler mode), builds the online connection string and opens the
// connection with the settings' time-out (skip mode). Nullopt after a
// failure, whose description has been shown.
std::optional<OnlineConnection> OpenOnlineConnection(const std::string& settingsConnString, const ShowFailure& show);

// Runs a count statement on the open connection in skip mode: `result` takes
// the statement's recordset (and keeps its previous value when the statement
// fails). The count, or nullopt after a failure, which has been shown; a
// non-empty `consequence` (what the failure leaves behind, during a deletion
// run) is added to that message.
std::optional<std::int32_t> RunCountStatement(data_access::Connection& online, const std::string& countStatement,
                                              std::unique_ptr<data_access::Recordset>& result, const ShowFailure& show,
                                              const std::string& consequence = {});

// Counts the rows the statement box's filter matches into txtCount.
void CountRecords();
// Deletes every row the statement box targets, one TOP (n) chunk a pass, with
// a 200 ms pause between passes, until none is left or Cancel was requested.
void DeleteRecordsInChunks();
// Waits ms milliseconds in 10 ms slices, processing window events after each.
void PauseWithEvents(std::int16_t ms);

}  // namespace quellmark::modGeneral
