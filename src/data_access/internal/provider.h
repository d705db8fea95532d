// The interface each provider implements behind quellmark::data_access::Connection.
// Providers report every failure by throwing quellmark::data_access::Error with one or
// more diagnostic records, the most telling one last.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "data_access/connection_string.h"
#include "data_access/internal/layer_only.h"
#include "data_access/value_types.h"

namespace quellmark::data_access::provider {

// The current row of a result or a table, with its column names.
class Cursor {
public:
    virtual ~Cursor() = default;
    virtual int ColumnCount() const = 0;
    virtual std::string ColumnName(int index) const = 0;
    // False when there is no current row.
    virtual bool HasRow() const = 0;
    // The current row's value of a column; only called when HasRow().
    virtual Value Get(int index) const = 0;
    // Releases what the cursor holds; called once by Recordset::Close and by
    // the destructor otherwise. Must not throw from the destructor path.
    virtual void Close() = 0;
};

class Connection {
public:
    virtual ~Connection() = default;
    // A table by name, positioned on its first row, allowing a provider that
    // asks a server for it timeoutSeconds (0: no limit).
    virtual std::unique_ptr<Cursor> OpenTable(const std::string& name, std::int32_t timeoutSeconds) = 0;
    // Runs the statement text unchanged, allowing it timeoutSeconds (0: no
    // limit). The cursor holds the first row of the first result (or no row);
    // rowsAffected is set where the provider knows it (-1 otherwise). The
    // connection is ready for the next statement when this returns: no result
    // stays pending on it.
    virtual std::unique_ptr<Cursor> Execute(const std::string& text, std::int32_t timeoutSeconds,
                                            std::int64_t& rowsAffected) = 0;
    // Asks the server to cancel the statement Execute is running on another
    // thread; nothing when none is running.
    virtual void Cancel() noexcept {}
    virtual void Close() = 0;
};

// The providers. Each opens a connection from the parsed connection string,
// or throws Error.
std::unique_ptr<Connection> OpenJet(const ConnectionProperties& properties);
std::unique_ptr<Connection> OpenSqlServer(const ConnectionProperties& properties, std::int16_t timeoutSeconds);
// Throws the Error OpenSqlServer throws for these settings before it reaches
// for a Kerberos ticket or the server.
void CheckSqlServer(const ConnectionProperties& properties, std::int16_t timeoutSeconds);
// The SQL Server provider's process-wide set-up (data_access::StartUp);
// throws Error when it cannot be made.
void StartSqlServer();

}  // namespace quellmark::data_access::provider
