#include "settings/settings_checks.h"

#include <string>

#include "data_access/data_access.h"
#include "ops/modGeneral.h"
#include "settings/settings_row.h"

namespace quellmark::settings_tool {
namespace {

const std::string& TextOf(const data_access::jet::Row& row, std::size_t column) {
    static const std::string kEmpty;
    if (column >= row.size()) return kEmpty;
    const std::string* text = std::get_if<std::string>(&row[column]);
    return text != nullptr ? *text : kEmpty;
}

std::int64_t NumberOf(const data_access::jet::Row& row, std::size_t column) {
    const std::int64_t* number = column < row.size() ? std::get_if<std::int64_t>(&row[column]) : nullptr;
    return number != nullptr ? *number : 0;
}

}  // namespace

void CheckUsableRow(const data_access::jet::Row& row) {
    for (std::size_t c = 0; c < row.size(); ++c) {
        if (TextOf(row, c).find('\0') != std::string::npos)
            throw UsageError{std::string(kValueOptions[c]) +
                             ": the value holds a NUL character; Quellmark would read it only up to there."};
    }
    // The columns in the order of ops::kSettingColumns. A number out
    // of its column's range is left to the writer, which names the column.
    using namespace ops;
    const std::int64_t timeout = NumberOf(row, kOnlConnTimeout);
    const std::int64_t port = NumberOf(row, kOnlDbPort);
    if (timeout != static_cast<std::int16_t>(timeout) || port != static_cast<std::int32_t>(port)) return;
    OnlineSettings s;
    s.OnlConnType = TextOf(row, kOnlConnType);
    s.OnlConnTimeout = static_cast<std::int16_t>(timeout);
    s.OnlDbServer = TextOf(row, kOnlDbServer);
    s.OnlDbPort = static_cast<std::int32_t>(port);
    s.OnlDatabase = TextOf(row, kOnlDatabase);
    s.OnlDbUser = TextOf(row, kOnlDbUser);
    s.OnlDbPass = TextOf(row, kOnlDbPass);
    const std::string connectionString = ops::BuildOnlineConnString(s);
    if (connectionString.empty())
        throw UsageError{
            "--type: Quellmark knows the connection types \"Windows Authentication\", \"Local SQL "
            "Authentication\" and \"Remote SQL Authentication\", written exactly so (letter case "
            "included)."};
    try {
        quellmark::data_access::CheckConnectionString(connectionString, s.OnlConnTimeout);
    } catch (const quellmark::data_access::Error& e) {
        throw UsageError{std::string("Quellmark could not connect with these settings: ") + e.what()};
    }
}

}  // namespace quellmark::settings_tool
