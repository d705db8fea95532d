// The log database operations: count the rows a statement's filter matches,
// and delete them chunk by chunk.
//
// Each operation is given what it works with: the window it serves (a
// WindowPort: the statement box, the two number boxes, the message box, its
// events and its Cancel button), the connection string of the settings file
// and the time each statement may run. It keeps nothing between calls; the
// window's buttons call it with the window itself.
//
// The data's way through an operation:
//   settings connection string -> ReadOnlineSettings (Sarnwick.mdb,
//   settings_file.h; any failure is reported at once: handler mode)
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
#include <variant>

#include "data_access/data_access.h"
#include "ops/failure.h"
#include "ops/settings_file.h"
#include "ops/window_port.h"

namespace quellmark::ops {

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
    std::unique_ptr<quellmark::data_access::Connection> connection;
};

// The online connection could not be opened: the failure, in the words the
// operator is shown, and the settings when they were read.
class OpenFailure : public Failure {
public:
    OpenFailure(Failure failure, std::optional<OnlineSettings> settings)
        : Failure(std::move(failure)), settings_(std::move(settings)) {}
    const std::optional<OnlineSettings>& Settings() const noexcept { return settings_; }

private:
    std::optional<OnlineSettings> settings_;
};

// OpenOnlineConnection without showing anything: the open connection, or
// why there is none.
std::variant<OnlineConnection, OpenFailure> TryOpenOnlineConnection(
    const std::string& settingsConnString,
    std::int32_t commandTimeout = quellmark::data_access::kDefaultCommandTimeout);

// The start of every operation: reads the settings through settingsConnString
// (handler mode), builds the online connection string and opens the
// connection with the settings' time-out (skip mode); each statement on it is
// then allowed commandTimeout seconds (0: no limit). Nullopt after a failure,
// whose description has been shown. `settingsRead`, when given, takes the
// settings as soon as they are read, also when the connection then fails.
std::optional<OnlineConnection> OpenOnlineConnection(
    const std::string& settingsConnString, const ShowFailure& show,
    std::int32_t commandTimeout = quellmark::data_access::kDefaultCommandTimeout,
    std::optional<OnlineSettings>* settingsRead = nullptr);

// RunCountStatement without showing anything: the count, or the failure in
// the words the operator is shown (without entries when the server answered
// without a count).
std::variant<std::int32_t, Failure> TryRunCountStatement(quellmark::data_access::Connection& online,
                                                         const std::string& countStatement,
                                                         std::unique_ptr<quellmark::data_access::Recordset>& result,
                                                         const std::string& consequence = {});

// Runs a count statement on the open connection in skip mode: `result` takes
// the statement's recordset (and keeps its previous value when the statement
// fails). The count, or nullopt after a failure, which has been shown; a
// non-empty `consequence` (what the failure leaves behind, during a deletion
// run) is added to that message.
std::optional<std::int32_t> RunCountStatement(quellmark::data_access::Connection& online,
                                              const std::string& countStatement,
                                              std::unique_ptr<quellmark::data_access::Recordset>& result,
                                              const ShowFailure& show, const std::string& consequence = {});

// Counts the rows the window's statement box's filter matches into its
// txtCount, with the settings read through settingsConnString.
void CountRecords(WindowPort& window, const std::string& settingsConnString,
                  std::int32_t commandTimeout = quellmark::data_access::kDefaultCommandTimeout);
// Deletes every row the window's statement box targets, one TOP (n) chunk a
// pass, with a 200 ms pause between passes, until none is left or the window
// says Cancel was pressed; the rows left are shown in its txtRecLeft. A run
// that got as far as reading its settings leaves its audit record in the
// system journal when it ends (audit_record.h), whichever way it ends.
void DeleteRecordsInChunks(WindowPort& window, const std::string& settingsConnString,
                           std::int32_t commandTimeout = quellmark::data_access::kDefaultCommandTimeout);
// Waits ms milliseconds in 10 ms slices, processing the window's events after
// each.
void PauseWithEvents(WindowPort& window, std::int16_t ms);

}  // namespace quellmark::ops
