// Quellmark's data-access layer: connection, recordset, field and error-list
// objects in the shape the log database operations use.
//
// A Connection is given a connection string; its Provider= key picks the
// provider behind it ("Microsoft.Jet.OLEDB.4.0": an Access file read through
// libmdb; "SQLOLEDB": SQL Server through unixODBC and FreeTDS). Every failing
// operation throws quellmark::data_access::Error carrying a description and also leaves
// its diagnostics in the connection's Errors list, which each Open and Execute
// clears first. Objects release what they hold when they go out of scope,
// whether or not they were closed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "data_access/value_types.h"

namespace quellmark::data_access {

class Errors {
public:
    int Count() const noexcept { return static_cast<int>(entries_.size()); }
    const ErrorEntry& Item(int index) const { return entries_.at(static_cast<std::size_t>(index)); }
    const std::vector<ErrorEntry>& Entries() const noexcept { return entries_; }
    void Clear() noexcept { entries_.clear(); }
    void Append(const std::vector<ErrorEntry>& entries);

private:
    std::vector<ErrorEntry> entries_;
};

namespace provider {
class Connection;
class Cursor;
}  // namespace provider

class Recordset;

// Process-wide set-up of the SQL Server provider, made once by each program
// at its start, before it starts threads: makes the process's private folder
// (0700, removed at exit) for the FreeTDS driver's configuration and points
// the environment variable FREETDSCONF at the file there. Each login writes
// its own section into that file, with encryption required and the CA file
// or pinned certificate to check the server against, and removes it when the
// login is done; logins therefore take turns (one at a time per process).
// A FREETDSCONF the user had set is replaced for the whole process: the
// driver reads one file, and a section from elsewhere could turn encryption
// or the certificate check off. Calling it again does nothing; a login in a
// program that did not call it makes the same set-up then. When no private
// folder can be made ($XDG_RUNTIME_DIR, $TMPDIR, /tmp), every SQL Server
// login fails with an Error saying so.
void StartUp() noexcept;

// The CommandTimeout every new Connection starts with: 30 seconds, as the
// platform's data-access layer gives a command.
inline constexpr std::int32_t kDefaultCommandTimeout = 30;

class Field {
public:
    Field(std::string name, quellmark::data_access::Value value) : name_(std::move(name)), value_(std::move(value)) {}
    const std::string& Name() const noexcept { return name_; }
    const quellmark::data_access::Value& Value() const noexcept { return value_; }

private:
    std::string name_;
    quellmark::data_access::Value value_;
};

class Fields {
public:
    explicit Fields(const Recordset& owner) : owner_(owner) {}
    int Count() const;
    // By column name (compared case-insensitively, as the providers do) or by
    // 0-based index; an unknown name or index out of range throws Error.
    Field Item(const std::string& name) const;
    Field Item(int index) const;

private:
    const Recordset& owner_;
};

class Connection {
public:
    Connection();
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    std::string ConnectionString;
    // Seconds allowed for establishing the connection; 0 means no limit of
    // its own (the SQL Server provider still gives up after ten minutes).
    std::int16_t ConnectionTimeout = 15;
    // Seconds each Execute, and each Recordset::Open on this connection,
    // allows its statement; 0 means no limit. A statement still running then
    // is cancelled on the server and the call fails (SQL Server provider; the
    // Access provider never waits on a server).
    std::int32_t CommandTimeout = kDefaultCommandTimeout;

    void Open();
    // Runs the text unchanged. The recordset is positioned on the first row of
    // the first result, if the statement returned rows.
    std::unique_ptr<Recordset> Execute(const std::string& text);
    // Called from another thread while Execute runs: asks the server to
    // cancel the statement, and Execute then fails. Does nothing when no
    // statement is running; the connection must stay open during the call.
    void Cancel() noexcept;
    void Close();
    bool IsOpen() const noexcept { return impl_ != nullptr; }

    quellmark::data_access::Errors& Errors() noexcept { return errors_; }
    const quellmark::data_access::Errors& Errors() const noexcept { return errors_; }

private:
    friend class Recordset;
    provider::Connection& OpenProvider();
    // CommandTimeout, or Error when it is negative.
    std::int32_t CheckedCommandTimeout() const;
    // Runs op after clearing Errors; a data-access failure is recorded in
    // Errors and rethrown. Anything else (a programming error) passes through.
    template <class Op>
    auto Recorded(Op&& op) -> decltype(op());

    std::unique_ptr<provider::Connection> impl_;
    quellmark::data_access::Errors errors_;
};

// ADO's values for a recordset's cursor type, lock type and source kind; the
// unspecified ones keep what the recordset has.
inline constexpr int adOpenUnspecified = -1;
inline constexpr int adOpenStatic = 3;
inline constexpr int adLockUnspecified = -1;
inline constexpr int adLockOptimistic = 3;
inline constexpr int adCmdUnspecified = -1;
inline constexpr int adCmdTable = 2;
// Throws the Error Connection::Open would throw for this connection string
// and time-out before it reaches any file or server (no provider, an unknown
// one, a SQL Server login that cannot be sent); what only the file or server
// can tell is not checked.
void CheckConnectionString(const std::string& connectionString, std::int16_t connectionTimeout);

class Recordset {
public:
    Recordset();
    ~Recordset();
    Recordset(const Recordset&) = delete;
    Recordset& operator=(const Recordset&) = delete;

    int CursorType = adOpenUnspecified;
    int LockType = adLockUnspecified;

    // Opens a table by name (options adCmdTable) on an open connection and
    // positions on its first row. Unspecified cursorType / lockType keep the
    // values set above.
    void Open(const std::string& source, Connection& connection, int cursorType = adOpenUnspecified,
              int lockType = adLockUnspecified, int options = adCmdUnspecified);
    void Close();
    bool IsOpen() const noexcept { return cursor_ != nullptr; }
    // True when there is no current row (an empty table, or a statement that
    // returned no rows).
    bool EndOfFile() const;
    // Rows the statement affected, where the provider reports it; -1 otherwise.
    std::int64_t RowsAffected() const noexcept { return rowsAffected_; }

    quellmark::data_access::Fields Fields() const { return quellmark::data_access::Fields(*this); }

private:
    friend class Connection;
    friend class quellmark::data_access::Fields;
    explicit Recordset(std::unique_ptr<provider::Cursor> cursor, std::int64_t rowsAffected);
    const provider::Cursor& Current() const;

    std::unique_ptr<provider::Cursor> cursor_;
    std::int64_t rowsAffected_ = -1;
};

}  // namespace quellmark::data_access
