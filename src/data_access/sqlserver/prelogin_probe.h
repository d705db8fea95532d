// Asking a SQL Server whether it offers encryption at all (which the
// provider requires), without logging in.
#pragma once

#include <string>
#include <vector>

#include "data_access/internal/layer_only.h"
#include "data_access/sqlserver/driver_connection_string.h"
#include "data_access/sqlserver/kerberos.h"
#include "data_access/value_types.h"

namespace data_access::odbc {

enum class EncryptionOffer { Offered, NotOffered, Unknown };

// Connects to host:port, sends a PRELOGIN request that asks for encryption,
// reads the ENCRYPTION answer and closes: no login, no name and no password
// are sent. Unknown when the server cannot be reached or does not answer
// like a SQL Server within `timeoutSeconds`.
EncryptionOffer ProbeEncryption(const std::string& host, int port, int timeoutSeconds);

}  // namespace data_access::odbc
