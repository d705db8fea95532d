#include "data_access/sqlserver/diagnostics.h"

#include <sqlext.h>

#include <algorithm>
#include <array>

#include "base/text.h"
#include "data_access/sqlserver/odbc_wide.h"

namespace quellmark::data_access::sqlserver {
namespace {

constexpr std::array<std::string_view, 4> kDriverTags = {"[FreeTDS]", "[SQL Server]", "[unixODBC]", "[Driver Manager]"};

bool Contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

std::size_t FindIgnoringCase(std::string_view text, std::string_view part, std::size_t from) {
    for (std::size_t at = from; at + part.size() <= text.size(); ++at) {
        if (quellmark::base::EqualsIgnoreCase(text.substr(at, part.size()), part)) return at;
    }
    return std::string_view::npos;
}

}  // namespace

std::string StripDriverTags(std::string_view message) {
    bool stripped = true;
    while (stripped) {
        stripped = false;
        for (std::string_view tag : kDriverTags) {
            if (message.starts_with(tag)) {
                message.remove_prefix(tag.size());
                stripped = true;
            }
        }
    }
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.remove_suffix(1);
    return std::string(message);
}

std::string WithoutConnectionPassword(std::string text) {
    for (const std::string_view key : {"PWD=", "Password="}) {
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t found = FindIgnoringCase(text, key, at);
            if (found == std::string::npos) break;
            const std::size_t value = found + key.size();
            std::size_t end = std::string::npos;
            if (value < text.size() && text[value] == '{') {
                // Braced as FreeTDS reads it: up to a '}' before a ';' or the end.
                for (std::size_t brace = text.find('}', value); brace != std::string::npos;
                     brace = text.find('}', brace + 1)) {
                    if (brace + 1 == text.size() || text[brace + 1] == ';') {
                        end = brace + 1;
                        break;
                    }
                }
            } else {
                end = text.find(';', value);
            }
            if (end == std::string::npos) end = text.size();
            text.replace(value, end - value, "****");
            at = value + 4;
        }
    }
    return text;
}

std::vector<ErrorEntry> ReadDiagnostics(SQLSMALLINT handleType, SQLHANDLE handle) {
    std::vector<ErrorEntry> records;
    if (handle == SQL_NULL_HANDLE) return records;
    // Bounded: a driver never keeps more than a handful of records.
    // Through the wide call: until a login has succeeded the driver gives
    // narrow text as Latin-1, with '?' for every other character.
    for (SQLSMALLINT number = 1; number <= 100; ++number) {
        SQLWCHAR state[6] = {};
        SQLINTEGER native = 0;
        WideText message(1024, SQLWCHAR{0});
        SQLSMALLINT length = 0;
        SQLRETURN rc = SQLGetDiagRecW(handleType, handle, number, state, &native, message.data(),
                                      static_cast<SQLSMALLINT>(message.size()), &length);
        if (rc == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(message.size())) {
            message.assign(static_cast<std::size_t>(length) + 1, SQLWCHAR{0});
            rc = SQLGetDiagRecW(handleType, handle, number, state, &native, message.data(),
                                static_cast<SQLSMALLINT>(message.size()), &length);
        }
        if (!SQL_SUCCEEDED(rc)) break;
        const std::size_t units =
            std::min<std::size_t>(static_cast<std::size_t>(std::max<SQLSMALLINT>(length, 0)), message.size() - 1);
        std::size_t stateUnits = 0;
        while (stateUnits < 5 && state[stateUnits] != 0) ++stateUnits;
        ErrorEntry entry;
        entry.Description = WithoutConnectionPassword(StripDriverTags(Utf8FromWide(message.data(), units)));
        entry.SqlState = Utf8FromWide(state, stateUnits);
        entry.NativeError = static_cast<long>(native);
        records.push_back(std::move(entry));
    }
    return records;
}

// FreeTDS's words where a record lacks the SQLSTATE that says the same.
bool TimedOut(const ErrorEntry& record) {
    return record.IsTimeout() || Contains(record.Description, "Timeout expired");
}

bool LoginRefused(const ErrorEntry& record) {
    return record.NativeError == 18456 || record.SqlState == "28000" || record.Description.starts_with("Login failed");
}

bool Unreachable(const ErrorEntry& record) {
    return Contains(record.Description, "unavailable or does not exist") || record.SqlState == "08S01";
}

bool DriverNamedTheCause(const std::vector<ErrorEntry>& records) {
    return std::any_of(records.begin(), records.end(),
                       [](const ErrorEntry& r) { return TimedOut(r) || LoginRefused(r) || Unreachable(r); });
}

bool ConnectionLost(const std::vector<ErrorEntry>& records) {
    return std::any_of(records.begin(), records.end(), [](const ErrorEntry& record) {
        return record.IsConnectionLost() || Contains(record.Description, "Read from the server failed") ||
               Contains(record.Description, "Write to the server failed");
    });
}

}  // namespace quellmark::data_access::sqlserver
