// Reading ODBC diagnostic records into error entries: the driver's and
// server's own words without the driver's "[FreeTDS][SQL Server]" tags and
// without the password, and what the records say happened.
#pragma once

#include <sql.h>

#include <string>
#include <string_view>
#include <vector>

#include "data_access/internal/layer_only.h"
#include "data_access/value_types.h"

namespace quellmark::data_access::sqlserver {

// "[FreeTDS][SQL Server]Invalid column name 'prio'." -> "Invalid column name 'prio'."
std::string StripDriverTags(std::string_view message);

// The text with the value of every "PWD=" or "Password=" it holds (a driver
// echoing its connection string) replaced by "****". Nothing else is
// touched: what is masked never depends on the password, so a message never
// tells anything about it. (The password itself is in no text this layer
// writes, and neither FreeTDS nor unixODBC puts it in theirs.)
std::string WithoutConnectionPassword(std::string text);

// All diagnostic records of the handle, in the driver's order, tags stripped
// and connection-string passwords masked.
std::vector<ErrorEntry> ReadDiagnostics(SQLSMALLINT handleType, SQLHANDLE handle);

// What a single record says: the login or statement ran out of time, the
// server refused the login, the server could not be reached.
bool TimedOut(const ErrorEntry& record);
bool LoginRefused(const ErrorEntry& record);
bool Unreachable(const ErrorEntry& record);

// True when the records of a failed SQLDriverConnect say why it failed: a
// time-out, a refused login, an unreachable server.
bool DriverNamedTheCause(const std::vector<ErrorEntry>& records);

// True when the records say the connection to the server is gone.
bool ConnectionLost(const std::vector<ErrorEntry>& records);

}  // namespace quellmark::data_access::sqlserver
