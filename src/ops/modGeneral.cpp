#include "ops/modGeneral.h"

#include <chrono>
#include <limits>
#include <memory>
#include <optional>
#include <thread>

#include "data_access/connection_string.h"
#include "data_access/data_access.h"
#include "data_access/sqlserver/server_trust.h"
#include "ops/audit_record.h"
#include "ops/conversions.h"

namespace quellmark::ops {
namespace {

using quellmark::data_access::Connection;
using quellmark::data_access::Recordset;
using quellmark::data_access::Value;

constexpr const char* kTableMarker = "FROM ATR_Log";
constexpr const char* kCountPrefix = "SELECT COUNT(log_id) ";

// ---- The two error modes ---------------------------------------------------
//
// Reading the settings runs in handler mode: ReadOnlineSettings throws, and
// OpenOnlineConnection's single handler reports the description and ends the
// operation; the objects are released as the stack unwinds.
//
// From then on every step that can fail (open, execute, close, reading a
// field) runs in skip mode: a failing step is skipped, and whatever it would
// have assigned keeps its previous value. Failures of the online connection
// are found through its Errors list, after opening it and after each
// statement. Only data-access failures are skipped; anything else (a
// programming error, memory exhausted) goes on up to the window.

template <class Step>
void Skip(Step&& step) {
    try {
        step();
    } catch (const quellmark::data_access::Error&) {
        // Skipped: a failure of the connection is in its Errors.
    }
}

// The failure the connection's error list tells of after a statement, its
// words the most recent entry's description followed by `consequence` when
// one is given; nullopt when the list is empty.
std::optional<Failure> FailureAfterStatement(const Connection& connection, const std::string& consequence) {
    const std::vector<quellmark::data_access::ErrorEntry>& entries = connection.Errors().Entries();
    if (entries.empty()) return std::nullopt;
    const std::string& description = entries.back().Description;
    return ClassifyFailure(entries, FailedStep::Statement,
                           consequence.empty() ? description : description + " " + consequence);
}

// Shows FailureAfterStatement, if any.
bool ReportedConnectionFailure(const Connection& connection, const ShowFailure& show,
                               const std::string& consequence = {}) {
    const std::optional<Failure> failure = FailureAfterStatement(connection, consequence);
    if (failure) show(failure->what());
    return failure.has_value();
}

ShowFailure InMessageBox(WindowPort& window) {
    return [&window](const std::string& description) { window.ShowMessage(description); };
}

// ---- Counts -----------------------------------------------------------------

// The count in column 0 of the result's current row, when it is a whole
// number that fits 32 bits.
std::optional<std::int32_t> CountOf(const Recordset* result) {
    if (result == nullptr) return std::nullopt;
    std::optional<Value> value;
    Skip([&] { value = result->Fields().Item(0).Value(); });
    if (!value || quellmark::data_access::IsNull(*value)) return std::nullopt;
    const std::optional<double> number = WholeNumberOf(*value);
    if (!number || *number < 0 || *number > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
    return static_cast<std::int32_t>(*number);
}

// The pause between two passes of a deletion run, in which the window
// handles its events (Cancel among them).
constexpr std::int16_t kPauseBetweenPassesMs = 200;

constexpr const char* kNoCount = "The server's answer to the count statement holds no row count";
// What a failure during a deletion run leaves once a delete has run: the
// rows are not put back.
constexpr const char* kRunStopped = "The deletion run stopped here; the rows its earlier passes deleted stay deleted.";

std::string RunStopped(bool deletedBefore) { return deletedBefore ? kRunStopped : ""; }
constexpr const char* kNoMarker =
    "The statement does not contain \"FROM ATR_Log\" (in this letter case), so no count statement can be made from it.";

// The audit record of one deletion run of the window, sent when the run
// ends, whichever way (a failure unless the run says otherwise), once its
// settings were read.
class WindowRunAudit {
public:
    explicit WindowRunAudit(std::string statement) {
        record.frontEnd = quellmark::ops::FrontEnd::Window;
        record.statement = std::move(statement);
    }
    ~WindowRunAudit() {
        if (!settingsRead_) return;
        record.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        // A machine without a journal changes nothing in the window's run.
        static_cast<void>(quellmark::ops::SendToJournal(record));
    }
    WindowRunAudit(const WindowRunAudit&) = delete;
    WindowRunAudit& operator=(const WindowRunAudit&) = delete;

    void SettingsRead(const OnlineSettings& settings) {
        record.server = ServerName(settings);
        record.database = settings.OnlDatabase;
        record.login = quellmark::ops::LoginOf(settings);
        settingsRead_ = true;
    }
    // A delete the server carried out: its rows (when it reported them) are
    // counted, and the rows left are not known until the next count.
    void Deleted(std::int64_t rowsAffected) {
        if (rowsAffected > 0) record.rowsDeleted += rowsAffected;
        record.rowsLeft.reset();
    }

    quellmark::ops::DeletionRunRecord record;

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    bool settingsRead_ = false;
};

}  // namespace

std::variant<OnlineConnection, OpenFailure> TryOpenOnlineConnection(const std::string& settingsConnString,
                                                                    std::int32_t commandTimeout) {
    OnlineConnection online;
    try {
        online.settings = ReadOnlineSettings(settingsConnString);
    } catch (const quellmark::data_access::Error& e) {
        return OpenFailure(ClassifyFailure(e.Entries(), FailedStep::Settings, e.what()), std::nullopt);
    }
    online.connection = std::make_unique<Connection>();
    online.connection->ConnectionString = BuildOnlineConnString(online.settings);
    online.connection->ConnectionTimeout = online.settings.OnlConnTimeout;
    online.connection->CommandTimeout = commandTimeout;
    Skip([&] { online.connection->Open(); });
    const std::vector<quellmark::data_access::ErrorEntry>& entries = online.connection->Errors().Entries();
    if (entries.empty()) return online;
    // Without a connection string (an unknown authentication type) the open
    // fails before any server is asked: the settings are at fault.
    const FailedStep step = online.connection->ConnectionString.empty() ? FailedStep::Settings : FailedStep::Login;
    // A refused certificate's message names the command that trusts it, with
    // this settings file.
    const auto file = quellmark::data_access::ConnectionProperties::Parse(settingsConnString).Get("Data Source");
    std::string message = quellmark::data_access::sqlserver::ReplaceSettingsFileMark(
        entries.back().Description, file.value_or(std::string(kSettingsFileName)));
    return OpenFailure(ClassifyFailure(entries, step, std::move(message)), std::move(online.settings));
}

std::optional<OnlineConnection> OpenOnlineConnection(const std::string& settingsConnString, const ShowFailure& show,
                                                     std::int32_t commandTimeout,
                                                     std::optional<OnlineSettings>* settingsRead) {
    std::variant<OnlineConnection, OpenFailure> opened = TryOpenOnlineConnection(settingsConnString, commandTimeout);
    if (const OpenFailure* failure = std::get_if<OpenFailure>(&opened)) {
        if (settingsRead != nullptr) *settingsRead = failure->Settings();
        show(failure->what());
        return std::nullopt;
    }
    OnlineConnection& online = std::get<OnlineConnection>(opened);
    if (settingsRead != nullptr) *settingsRead = online.settings;
    return std::move(online);
}

std::variant<std::int32_t, Failure> TryRunCountStatement(Connection& online, const std::string& countStatement,
                                                         std::unique_ptr<Recordset>& result,
                                                         const std::string& consequence) {
    Skip([&] { result = online.Execute(countStatement); });
    if (std::optional<Failure> failure = FailureAfterStatement(online, consequence)) return std::move(*failure);
    const std::optional<std::int32_t> count = CountOf(result.get());
    if (count) return *count;
    return Failure(FailureCause::Internal,
                   std::string(kNoCount) + (consequence.empty() ? ", so nothing was changed." : ". " + consequence));
}

std::optional<std::int32_t> RunCountStatement(Connection& online, const std::string& countStatement,
                                              std::unique_ptr<Recordset>& result, const ShowFailure& show,
                                              const std::string& consequence) {
    const std::variant<std::int32_t, Failure> counted =
        TryRunCountStatement(online, countStatement, result, consequence);
    if (const Failure* failure = std::get_if<Failure>(&counted)) {
        show(failure->what());
        return std::nullopt;
    }
    return std::get<std::int32_t>(counted);
}

std::string BuildOnlineConnString(const OnlineSettings& s) {
    using quellmark::data_access::QuoteConnectionValue;
    const std::string catalog = ";Initial Catalog=" + QuoteConnectionValue(s.OnlDatabase);
    const std::string login =
        ";User Id=" + QuoteConnectionValue(s.OnlDbUser) + ";Password=" + QuoteConnectionValue(s.OnlDbPass);
    const std::optional<ConnType> type = ConnTypeOf(s.OnlConnType);
    if (!type) return {};
    switch (*type) {
        case ConnType::Windows:
            return "Provider=SQLOLEDB;Data Source=" + QuoteConnectionValue(s.OnlDbServer) + catalog +
                   ";Integrated Security=SSPI";
        case ConnType::LocalSql:
            return "Provider=SQLOLEDB;Data Source=" + QuoteConnectionValue(s.OnlDbServer) + catalog + login;
        case ConnType::RemoteSql:
            return "Provider=SQLOLEDB;Network Library=DBMSSOCN;Data Source=" + QuoteConnectionValue(ServerName(s)) +
                   catalog + login;
    }
    return {};
}

std::string TrimTrailingLineBreaks(const std::string& text) {
    std::size_t end = text.size();
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n')) --end;
    return text.substr(0, end);
}

std::string BuildCountStatement(const std::string& text) {
    const std::size_t pos = text.find(kTableMarker);
    if (pos == std::string::npos) return {};
    std::size_t begin = pos;
    std::size_t end = text.size();
    while (begin < end && text[begin] == ' ') ++begin;
    while (end > begin && text[end - 1] == ' ') --end;
    return TrimTrailingLineBreaks(kCountPrefix + text.substr(begin, end - begin));
}

void CountRecords(WindowPort& window, const std::string& settingsConnString, std::int32_t commandTimeout) {
    const ShowFailure show = InMessageBox(window);
    std::optional<OnlineConnection> online = OpenOnlineConnection(settingsConnString, show, commandTimeout);
    if (!online) return;

    const std::string countStatement = BuildCountStatement(window.SqlQueryText());
    if (countStatement.empty()) {
        window.ShowMessage(kNoMarker);
        return;
    }
    std::unique_ptr<Recordset> result;
    const std::optional<std::int32_t> count = RunCountStatement(*online->connection, countStatement, result, show);
    if (!count) return;
    window.SetCountText(std::to_string(*count));
    Skip([&] { result->Close(); });
    Skip([&] { online->connection->Close(); });
}

void DeleteRecordsInChunks(WindowPort& window, const std::string& settingsConnString, std::int32_t commandTimeout) {
    const ShowFailure show = InMessageBox(window);
    WindowRunAudit audit(TrimTrailingLineBreaks(window.SqlQueryText()));
    window.ClearCancelRequest();
    std::optional<OnlineSettings> settings;
    std::optional<OnlineConnection> online = OpenOnlineConnection(settingsConnString, show, commandTimeout, &settings);
    if (settings) audit.SettingsRead(*settings);
    if (!online) return;
    Connection& connection = *online->connection;

    // Both statements are prepared once, from the statement box as it is now.
    const std::string countStatement = BuildCountStatement(window.SqlQueryText());
    const std::string deleteStatement = TrimTrailingLineBreaks(window.SqlQueryText());
    audit.record.statement = deleteStatement;
    if (countStatement.empty()) {
        window.ShowMessage(kNoMarker);
        return;
    }

    std::int32_t left = 0;
    bool deleted = false;  // a delete of this run has been carried out
    std::unique_ptr<Recordset> result;
    do {
        const std::optional<std::int32_t> count =
            RunCountStatement(connection, countStatement, result, show, RunStopped(deleted));
        if (!count) return;
        left = *count;
        audit.record.rowsLeft = left;
        window.SetRecLeftText(std::to_string(left));
        if (left > 0) {
            Skip([&] { result = connection.Execute(deleteStatement); });
            if (ReportedConnectionFailure(connection, show, RunStopped(deleted))) return;
            deleted = true;
            audit.Deleted(result->RowsAffected());
        }
        PauseWithEvents(window, kPauseBetweenPassesMs);
    } while (left >= 1 && !window.CancelRequested());

    audit.record.stopReason = left >= 1 ? "cancelled" : "done";
    window.SetRecLeftText(std::to_string(left));
    Skip([&] { result->Close(); });
    Skip([&] { connection.Close(); });
}

void PauseWithEvents(WindowPort& window, std::int16_t ms) {
    for (int i = 1; i <= ms / 10; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        window.ProcessPendingEvents();
    }
}

}  // namespace quellmark::ops
