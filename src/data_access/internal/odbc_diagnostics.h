// Reading ODBC diagnostic records and turning them into the error entries the
// operator reads: the driver's and server's own words without the driver's
// "[FreeTDS][SQL Server]" tags, and a last entry saying in plain words what
// failed and where.
#pragma once

#include <sql.h>

#include <string>
#include <string_view>
#include <vector>

#include "data_access/data_access.h"
#include "data_access/internal/odbc_connection_string.h"
#include "data_access/internal/odbc_kerberos.h"
#include "data_access/internal/odbc_login_checks.h"

namespace data_access::odbc {

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

// True when the records of a failed SQLDriverConnect say why it failed: a
// time-out, a refused login, an unreachable server.
bool DriverNamedTheCause(const std::vector<ErrorEntry>& records);

// The records of a failed SQLDriverConnect followed by one entry naming the
// server and the cause: unreachable, refused login, timed out, no
// encryption offered, or a Kerberos service ticket the KDC does not give;
// `facts` (ExamineFailedLogin) tell what the records cannot.
std::vector<ErrorEntry> ExplainConnectFailure(std::vector<ErrorEntry> records, const SqlServerAddress& address,
                                              int timeoutSeconds, bool integratedSecurity,
                                              const LoginFailureFacts& facts = {});

// Why Windows authentication cannot start with this user's Kerberos
// credentials (none, or expired), and what to do.
std::string KerberosCredentialsProblem(const KerberosCheck& check, const SqlServerAddress& address);

// True when the records say the connection to the server is gone.
bool ConnectionLost(const std::vector<ErrorEntry>& records);

// The records of a failed statement, warnings first so that the last entry is
// an error; when the connection was lost (the records say so, or the driver
// reports the connection dead), a plain entry saying so comes last.
std::vector<ErrorEntry> ExplainStatementFailure(std::vector<ErrorEntry> records, const SqlServerAddress& address,
                                                bool connectionDead);

// The entry for a statement on a connection that was lost earlier.
ErrorEntry LostConnectionEntry(const SqlServerAddress& address, bool duringStatement);

}  // namespace data_access::odbc
