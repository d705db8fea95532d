#include "modGeneral.h"

#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <thread>

#include "app_state.h"
#include "connection_string.h"
#include "data_access.h"
#include "window_port.h"

namespace quellmark::modGeneral {
namespace {

using data_access::Connection;
using data_access::Recordset;
using data_access::Value;

constexpr const char* kSettingsTable = "Settings_General";
constexpr const char* kTableMarker = "FROM ATR_Log";
constexpr const char* kCountPrefix = "SELECT COUNT(log_id) ";

// ---- The two error modes ---------------------------------------------------
//
// Reading the settings runs in handler mode: ReadOnlineSettings throws, and
// OpenOnlineConnection's single handler reports the description and ends the
// operation; the objects are released as the stack unwinds.
//
// From then on every step runs in skip mode: a failing step is skipped, and
// whatever it would have assigned keeps its previous value. Failures of the
// online connection are found through its Errors list, after opening it and
// after each statement.

template <class Step>
void Skip(Step&& step) noexcept {
    try {
        step();
    } catch (...) {
        // Skipped: the failure, if it came from the connection, is in its Errors.
    }
}

WindowPort& Window() {
    WindowPort* window = MainWindow();
    if (window == nullptr) throw std::logic_error("the database operations need the main window");
    return *window;
}

// Shows the most recent failure in the connection's error list, if any.
bool ReportedConnectionFailure(const Connection& connection, WindowPort& window) {
    const data_access::Errors& errors = connection.Errors();
    if (errors.Count() == 0) return false;
    window.ShowMessage(errors.Item(errors.Count() - 1).Description);
    return true;
}

// Reads the settings, builds the online connection string and opens the
// online connection. Null after a failure, which has then been reported.
std::unique_ptr<Connection> OpenOnlineConnection(WindowPort& window) {
    OnlineSettings settings;
    try {
        settings = ReadOnlineSettings(SettingsConnString);
    } catch (const std::exception& e) {
        window.ShowMessage(e.what());
        return nullptr;
    }
    std::string connString;
    Skip([&] { connString = BuildOnlineConnString(settings); });
    auto online = std::make_unique<Connection>();
    Skip([&] { online->ConnectionString = connString; });
    Skip([&] { online->ConnectionTimeout = settings.OnlConnTimeout; });
    Skip([&] { online->Open(); });
    if (ReportedConnectionFailure(*online, window)) return nullptr;
    return online;
}

// ---- Conversions of settings values ---------------------------------------

data_access::Error SettingError(const std::string& column, const std::string& problem) {
    return data_access::Error("The setting " + column + " in the table " + kSettingsTable + " " + problem);
}

std::string Trimmed(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return text.substr(begin, end - begin);
}

// A whole number from an integer, a real (rounded half to even) or a text
// holding a number; nullopt when the value is none of these.
std::optional<double> NumberOf(const Value& value) {
    if (const auto* integer = std::get_if<std::int64_t>(&value)) return static_cast<double>(*integer);
    if (const auto* real = std::get_if<double>(&value)) {
        if (!std::isfinite(*real)) return std::nullopt;
        return std::nearbyint(*real);
    }
    if (const auto* text = std::get_if<std::string>(&value)) {
        const std::string t = Trimmed(*text);
        if (t.empty()) return std::nullopt;
        double parsed = 0;
        const char* first = t.data();
        if (*first == '+') ++first;
        auto [end, ec] = std::from_chars(first, t.data() + t.size(), parsed);
        if (ec != std::errc() || end != t.data() + t.size() || !std::isfinite(parsed)) return std::nullopt;
        return std::nearbyint(parsed);
    }
    return std::nullopt;
}

template <class Int>
Int IntegerSetting(const std::string& column, const Value& value, const char* typeName) {
    if (data_access::IsNull(value)) throw SettingError(column, "is empty (null).");
    const std::optional<double> number = NumberOf(value);
    if (!number) throw SettingError(column, "holds \"" + data_access::ToText(value) + "\", which is not a number.");
    if (*number < static_cast<double>(std::numeric_limits<Int>::min()) ||
        *number > static_cast<double>(std::numeric_limits<Int>::max())) {
        throw SettingError(column, "holds " + data_access::ToText(value) + ", which is outside the range of " +
                                       typeName + " (" + std::to_string(std::numeric_limits<Int>::min()) + " to " +
                                       std::to_string(std::numeric_limits<Int>::max()) + ").");
    }
    return static_cast<Int>(*number);
}

std::string TextSetting(const std::string& column, const Value& value) {
    if (data_access::IsNull(value)) throw SettingError(column, "is empty (null).");
    return data_access::ToText(value);
}

Value ColumnValue(const Recordset& settings, const std::string& column) {
    const data_access::Fields fields = settings.Fields();
    for (int i = 0; i < fields.Count(); ++i) {
        const data_access::Field field = fields.Item(i);
        if (data_access::EqualsIgnoreCase(field.Name(), column)) return field.Value();
    }
    throw data_access::Error("The table " + std::string(kSettingsTable) + " has no column " + column + ".");
}

// ---- Counts -----------------------------------------------------------------

// The count in column 0 of the result's current row, when it is a whole
// number that fits 32 bits.
std::optional<std::int32_t> CountOf(const Recordset* result) {
    if (result == nullptr) return std::nullopt;
    std::optional<Value> value;
    Skip([&] { value = result->Fields().Item(0).Value(); });
    if (!value || data_access::IsNull(*value)) return std::nullopt;
    const std::optional<double> number = NumberOf(*value);
    if (!number || *number < 0 || *number > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
    return static_cast<std::int32_t>(*number);
}

constexpr const char* kNoCount = "The server's answer to the count statement holds no row count, so nothing was changed.";
constexpr const char* kNoMarker =
    "The statement does not contain \"FROM ATR_Log\" (in this letter case), so no count statement can be made from it.";

}  // namespace

OnlineSettings ReadOnlineSettings(const std::string& settingsConnString) {
    Connection local;
    local.ConnectionString = settingsConnString;
    local.Open();
    Recordset settings;
    settings.CursorType = 3;
    settings.LockType = 3;
    settings.Open(kSettingsTable, local, -1, -1, 2);
    if (settings.EndOfFile()) throw data_access::Error("The table " + std::string(kSettingsTable) + " holds no row.");

    OnlineSettings result;
    result.OnlConnType = TextSetting("OnlConnType", ColumnValue(settings, "OnlConnType"));
    result.OnlConnTimeout =
        IntegerSetting<std::int16_t>("OnlConnTimeout", ColumnValue(settings, "OnlConnTimeout"), "a 16-bit integer");
    result.OnlDbServer = TextSetting("OnlDbServer", ColumnValue(settings, "OnlDbServer"));
    result.OnlDbPort = IntegerSetting<std::int32_t>("OnlDbPort", ColumnValue(settings, "OnlDbPort"), "a 32-bit integer");
    result.OnlDatabase = TextSetting("OnlDatabase", ColumnValue(settings, "OnlDatabase"));
    result.OnlDbUser = TextSetting("OnlDbUser", ColumnValue(settings, "OnlDbUser"));
    result.OnlDbPass = TextSetting("OnlDbPass", ColumnValue(settings, "OnlDbPass"));

    settings.Close();
    local.Close();
    return result;
}

std::string BuildOnlineConnString(const OnlineSettings& s) {
    using data_access::QuoteConnectionValue;
    const std::string catalog = ";Initial Catalog=" + QuoteConnectionValue(s.OnlDatabase);
    const std::string login = ";User Id=" + QuoteConnectionValue(s.OnlDbUser) + ";Password=" + QuoteConnectionValue(s.OnlDbPass);
    if (s.OnlConnType == "Windows Authentication") {
        return "Provider=SQLOLEDB;Data Source=" + QuoteConnectionValue(s.OnlDbServer) + catalog + ";Integrated Security=SSPI";
    }
    if (s.OnlConnType == "Local SQL Authentication") {
        return "Provider=SQLOLEDB;Data Source=" + QuoteConnectionValue(s.OnlDbServer) + catalog + login;
    }
    if (s.OnlConnType == "Remote SQL Authentication") {
        return "Provider=SQLOLEDB;Network Library=DBMSSOCN;Data Source=" +
               QuoteConnectionValue(s.OnlDbServer + "," + std::to_string(s.OnlDbPort)) + catalog + login;
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

void CountRecords() {
    WindowPort& window = Window();
    std::unique_ptr<Connection> online = OpenOnlineConnection(window);
    if (!online) return;

    std::string countStatement;
    Skip([&] { countStatement = BuildCountStatement(window.SqlQueryText()); });
    if (countStatement.empty()) {
        window.ShowMessage(kNoMarker);
        return;
    }
    std::unique_ptr<Recordset> result;
    Skip([&] { result = online->Execute(countStatement); });
    if (ReportedConnectionFailure(*online, window)) return;

    const std::optional<std::int32_t> count = CountOf(result.get());
    if (!count) {
        window.ShowMessage(kNoCount);
        return;
    }
    window.SetCountText(std::to_string(*count));
    Skip([&] { result->Close(); });
    Skip([&] { online->Close(); });
}

void DeleteRecordsInChunks() {
    WindowPort& window = Window();
    CancelRequested = false;
    std::unique_ptr<Connection> online = OpenOnlineConnection(window);
    if (!online) return;

    // Both statements are prepared once, from the statement box as it is now.
    std::string countStatement;
    std::string deleteStatement;
    Skip([&] { countStatement = BuildCountStatement(window.SqlQueryText()); });
    Skip([&] { deleteStatement = TrimTrailingLineBreaks(window.SqlQueryText()); });
    if (countStatement.empty()) {
        window.ShowMessage(kNoMarker);
        return;
    }

    std::int32_t left = 0;
    std::unique_ptr<Recordset> result;
    do {
        Skip([&] { result = online->Execute(countStatement); });
        if (ReportedConnectionFailure(*online, window)) return;
        const std::optional<std::int32_t> count = CountOf(result.get());
        if (!count) {
            window.ShowMessage(kNoCount);
            return;
        }
        left = *count;
        window.SetRecLeftText(std::to_string(left));
        if (left > 0) {
            Skip([&] { result = online->Execute(deleteStatement); });
            if (ReportedConnectionFailure(*online, window)) return;
        }
        PauseWithEvents(200);
    } while (left >= 1 && !CancelRequested);

    window.SetRecLeftText(std::to_string(left));
    Skip([&] { result->Close(); });
    Skip([&] { online->Close(); });
}

void PauseWithEvents(std::int16_t ms) {
    WindowPort& window = Window();
    for (int i = 1; i <= ms / 10; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        window.ProcessPendingEvents();
    }
}

}  // namespace quellmark::modGeneral
