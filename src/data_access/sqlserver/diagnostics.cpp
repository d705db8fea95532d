#include "data_access/sqlserver/diagnostics.h"

#include <sqlext.h>

#include <algorithm>
#include <array>

namespace data_access::odbc {
namespace {

constexpr std::array<std::string_view, 4> kDriverTags = {"[FreeTDS]", "[SQL Server]", "[unixODBC]", "[Driver Manager]"};

bool Contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

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

std::string WithoutSecret(std::string text, std::string_view secret) {
    if (secret.empty()) return text;
    for (std::size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 4))
        text.replace(at, secret.size(), "****");
    return text;
}

std::vector<ErrorEntry> ReadDiagnostics(SQLSMALLINT handleType, SQLHANDLE handle, std::string_view secret) {
    std::vector<ErrorEntry> records;
    if (handle == SQL_NULL_HANDLE) return records;
    // Bounded: a driver never keeps more than a handful of records.
    for (SQLSMALLINT number = 1; number <= 100; ++number) {
        SQLCHAR state[6] = {};
        SQLINTEGER native = 0;
        std::string message(1024, '\0');
        SQLSMALLINT length = 0;
        SQLRETURN rc =
            SQLGetDiagRec(handleType, handle, number, state, &native, reinterpret_cast<SQLCHAR*>(message.data()),
                          static_cast<SQLSMALLINT>(message.size()), &length);
        if (rc == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(message.size())) {
            message.assign(static_cast<std::size_t>(length) + 1, '\0');
            rc = SQLGetDiagRec(handleType, handle, number, state, &native, reinterpret_cast<SQLCHAR*>(message.data()),
                               static_cast<SQLSMALLINT>(message.size()), &length);
        }
        if (!SQL_SUCCEEDED(rc)) break;
        message.resize(
            std::min<std::size_t>(static_cast<std::size_t>(std::max<SQLSMALLINT>(length, 0)), message.size() - 1));
        ErrorEntry entry;
        entry.Description = WithoutSecret(StripDriverTags(message), secret);
        entry.SqlState = WithoutSecret(std::string(reinterpret_cast<const char*>(state)), secret);
        entry.NativeError = static_cast<long>(native);
        records.push_back(std::move(entry));
    }
    return records;
}

bool TimedOut(const ErrorEntry& record) {
    return record.SqlState == "HYT00" || record.SqlState == "HYT01" || Contains(record.Description, "Timeout expired");
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
        return record.SqlState.starts_with("08") || Contains(record.Description, "Read from the server failed") ||
               Contains(record.Description, "Write to the server failed");
    });
}

}  // namespace data_access::odbc
