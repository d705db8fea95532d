// The entries that say in plain words why a statement failed: the
// connection lost, or the statement past its time limit and how that ended.
#pragma once

#include <cstdint>
#include <vector>

#include "data_access/internal/layer_only.h"
#include "data_access/sqlserver/driver_connection_string.h"
#include "data_access/value_types.h"

namespace quellmark::data_access::sqlserver {

// The records of a failed statement, warnings first so that the last entry is
// an error; when the connection was lost (the records say so, or the driver
// reports the connection dead), a plain entry saying so comes last.
std::vector<ErrorEntry> ExplainStatementFailure(std::vector<ErrorEntry> records, const SqlServerAddress& address,
                                                bool connectionDead);

// The entry for a statement on a connection that was lost earlier.
ErrorEntry LostConnectionEntry(const SqlServerAddress& address, bool duringStatement);

// True when the records say the statement ran past its limit (SQLSTATE class HYT).
bool StatementTimedOut(const std::vector<ErrorEntry>& records);

// How a statement that ran past its limit ended.
enum class TimeoutEnd {
    Cancelled,       // the server acknowledged the cancellation
    DriverClosed,    // the driver gave up waiting and closed the connection
    DeadlineClosed,  // the acknowledgement did not come in time; the socket was shut down here
};

// The entry that says so in plain words, last of the statement's records.
ErrorEntry TimeoutEntry(const SqlServerAddress& address, std::int32_t timeoutSeconds, TimeoutEnd end);

}  // namespace quellmark::data_access::sqlserver
