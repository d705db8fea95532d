#include "data_access/sqlserver/statement_failure.h"

#include <algorithm>

#include "data_access/sqlserver/diagnostics.h"

namespace quellmark::data_access::sqlserver {
namespace {

std::string Seconds(std::int32_t seconds) { return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds"); }

}  // namespace

ErrorEntry LostConnectionEntry(const SqlServerAddress& address, bool duringStatement) {
    std::string text = "The connection to the SQL Server at " + address.Label() + " was lost";
    text += duringStatement ? " while the statement ran; it may or may not have been carried out. " : " earlier. ";
    text += "Close the connection and open it again.";
    return ErrorEntry{std::move(text), "08S01", 0};
}

std::vector<ErrorEntry> ExplainStatementFailure(std::vector<ErrorEntry> records, const SqlServerAddress& address,
                                                bool connectionDead) {
    // Informational records ("01...") before errors, each group in the
    // driver's order, so the last entry is the error the operator must see.
    std::stable_partition(records.begin(), records.end(),
                          [](const ErrorEntry& record) { return record.SqlState.starts_with("01"); });
    if (connectionDead || ConnectionLost(records)) records.push_back(LostConnectionEntry(address, true));
    if (records.empty())
        records.push_back(ErrorEntry{
            "The SQL Server at " + address.Label() + " reported a failure of the statement but gave no reason.",
            {},
            0});
    return records;
}

bool StatementTimedOut(const std::vector<ErrorEntry>& records) {
    return std::any_of(records.begin(), records.end(), [](const ErrorEntry& record) { return record.IsTimeout(); });
}

ErrorEntry TimeoutEntry(const SqlServerAddress& address, std::int32_t timeoutSeconds, TimeoutEnd end) {
    std::string text =
        "The SQL Server at " + address.Label() + " did not finish the statement within " + Seconds(timeoutSeconds);
    switch (end) {
        case TimeoutEnd::Cancelled:
            text += ", so it was cancelled.";
            break;
        case TimeoutEnd::DriverClosed:
            text +=
                " and did not answer its cancellation, so the connection to it was closed; the statement may or "
                "may not have been carried out.";
            break;
        case TimeoutEnd::DeadlineClosed:
            text +=
                " and did not answer its cancellation either, so Quellmark closed the connection to it; the "
                "statement may or may not have been carried out.";
            break;
    }
    return ErrorEntry{std::move(text), "HYT00", 0};
}

}  // namespace quellmark::data_access::sqlserver
