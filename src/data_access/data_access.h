// Quellmark's data-access layer: connection, recordset, field and error-list
// objects in the shape the log database operations use.
//
// A Connection is given a connection string; its Provider= key picks the
// provider behind it ("Microsoft.Jet.OLEDB.4.0": an Access file read through
// libmdb; "SQLOLEDB": SQL Server through unixODBC and FreeTDS). Every failing
// operation throws data_access::Error carrying a description and also leaves
// its diagnostics in the connection's Errors list, which each Open and Execute
// clears first. Objects release what they hold when they go out of scope,
// whether or not they were closed.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace data_access {

// One diagnostic record: the description shown to the operator, and where the
// provider has them the SQLSTATE and the native (server) error number.
struct ErrorEntry {
    std::string Description;
    std::string SqlState;
    long NativeError = 0;
};

// The exception every failing operation throws. what() is the description of
// the most telling record, which is also the last entry.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& description);
    explicit Error(std::vector<ErrorEntry> entries);
    const std::vector<ErrorEntry>& Entries() const noexcept { return entries_; }

private:
    std::vector<ErrorEntry> entries_;
};

class Errors {
public:
    int Count() const noexcept { return static_cast<int>(entries_.size()); }
    const ErrorEntry& Item(int index) const { return entries_.at(static_cast<std::size_t>(index)); }
    void Clear() noexcept { entries_.clear(); }
    void Append(const std::vector<ErrorEntry>& entries);

private:
    std::vector<ErrorEntry> entries_;
};

// A field value: null, text (UTF-8), an integer or a floating-point number.
struct Null {
    bool operator==(const Null&) const = default;
};
using Value = std::variant<Null, std::string, std::int64_t, double>;

bool IsNull(const Value& value) noexcept;
// The value's text form: text as it is, numbers in plain decimal, null as "".
std::string ToText(const Value& value);

namespace provider {
class Connection;
class Cursor;
}  // namespace provider

class Recordset;

// The CommandTimeout every new Connection starts with: 30 seconds, as the
// platform's data-access layer gives a command. Tests set a shorter one.
std::int32_t DefaultCommandTimeout() noexcept;
void SetDefaultCommandTimeout(std::int32_t seconds) noexcept;

class Field {
public:
    Field(std::string name, data_access::Value value) : name_(std::move(name)), value_(std::move(value)) {}
    const std::string& Name() const noexcept { return name_; }
    const data_access::Value& Value() const noexcept { return value_; }

private:
    std::string name_;
    data_access::Value value_;
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
    // Seconds each Execute allows its statement; 0 means no limit. A
    // statement still running then is cancelled on the server and Execute
    // fails (SQL Server provider; the Access provider never waits on a
    // server).
    std::int32_t CommandTimeout = DefaultCommandTimeout();

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

    data_access::Errors& Errors() noexcept { return errors_; }
    const data_access::Errors& Errors() const noexcept { return errors_; }

private:
    friend class Recordset;
    provider::Connection& OpenProvider();
    // Runs op after clearing Errors; a data-access failure is recorded in
    // Errors and rethrown. Anything else (a programming error) passes through.
    template <class Op>
    auto Recorded(Op&& op) -> decltype(op());

    std::unique_ptr<provider::Connection> impl_;
    data_access::Errors errors_;
};

class Recordset {
public:
    Recordset();
    ~Recordset();
    Recordset(const Recordset&) = delete;
    Recordset& operator=(const Recordset&) = delete;

    int CursorType = -1;  // 3: static
    int LockType = -1;    // 3: optimistic

    // Opens a table by name (options 2) on an open connection and positions
    // on its first row. cursorType / lockType of -1 keep the values set above.
    void Open(const std::string& source, Connection& connection, int cursorType = -1, int lockType = -1,
              int options = -1);
    void Close();
    bool IsOpen() const noexcept { return cursor_ != nullptr; }
    // True when there is no current row (an empty table, or a statement that
    // returned no rows).
    bool EndOfFile() const;
    // Rows the statement affected, where the provider reports it; -1 otherwise.
    std::int64_t RowsAffected() const noexcept { return rowsAffected_; }

    data_access::Fields Fields() const { return data_access::Fields(*this); }

private:
    friend class Connection;
    friend class data_access::Fields;
    explicit Recordset(std::unique_ptr<provider::Cursor> cursor, std::int64_t rowsAffected);
    const provider::Cursor& Current() const;

    std::unique_ptr<provider::Cursor> cursor_;
    std::int64_t rowsAffected_ = -1;
};

}  // namespace data_access
