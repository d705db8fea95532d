#include "data_access/data_access.h"

#include <cstdio>

#include "data_access/connection_string.h"
#include "data_access/internal/provider.h"

namespace quellmark::data_access {

void StartUp() noexcept {
    try {
        provider::StartSqlServer();
    } catch (const std::exception&) {
        // Each login reports it, where it can be told in context.
    }
}

void Errors::Append(const std::vector<ErrorEntry>& entries) {
    entries_.insert(entries_.end(), entries.begin(), entries.end());
}

// ---- Connection ----------------------------------------------------------

std::int32_t Connection::CheckedCommandTimeout() const {
    if (CommandTimeout < 0)
        throw Error("The command time-out must be 0 (no limit) or a number of seconds, not " +
                    std::to_string(CommandTimeout) + ".");
    return CommandTimeout;
}

Connection::Connection() = default;

Connection::~Connection() {
    if (impl_) {
        try {
            impl_->Close();
        } catch (...) {
            // Releasing on scope exit never throws; the handle is freed either way.
        }
    }
}

template <class Op>
auto Connection::Recorded(Op&& op) -> decltype(op()) {
    errors_.Clear();
    try {
        return op();
    } catch (const Error& e) {
        errors_.Append(e.Entries());
        throw;
    }
}

namespace {

enum class ProviderKind { Jet, SqlServer };

ProviderKind ProviderOf(const ConnectionProperties& properties) {
    const std::optional<std::string> name = properties.Get("Provider");
    if (!name || name->empty())
        throw Error("The connection string names no provider, so there is nothing to connect to.");
    if (EqualsIgnoreCase(*name, "Microsoft.Jet.OLEDB.4.0")) return ProviderKind::Jet;
    if (EqualsIgnoreCase(*name, "SQLOLEDB")) return ProviderKind::SqlServer;
    throw Error("The provider \"" + *name + "\" is not known to Quellmark.");
}

}  // namespace

void Connection::Open() {
    Recorded([&] {
        if (impl_) throw Error("The connection is already open.");
        const ConnectionProperties properties = ConnectionProperties::Parse(ConnectionString);
        if (ProviderOf(properties) == ProviderKind::Jet) {
            impl_ = provider::OpenJet(properties);
        } else {
            impl_ = provider::OpenSqlServer(properties, ConnectionTimeout);
        }
    });
}

void CheckConnectionString(const std::string& connectionString, std::int16_t connectionTimeout) {
    const ConnectionProperties properties = ConnectionProperties::Parse(connectionString);
    if (ProviderOf(properties) == ProviderKind::SqlServer) provider::CheckSqlServer(properties, connectionTimeout);
}

provider::Connection& Connection::OpenProvider() {
    if (!impl_) throw Error("The operation needs an open connection, and this one is closed.");
    return *impl_;
}

std::unique_ptr<Recordset> Connection::Execute(const std::string& text) {
    return Recorded([&] {
        provider::Connection& connection = OpenProvider();
        const std::int32_t timeoutSeconds = CheckedCommandTimeout();
        std::int64_t rowsAffected = -1;
        std::unique_ptr<provider::Cursor> cursor = connection.Execute(text, timeoutSeconds, rowsAffected);
        return std::unique_ptr<Recordset>(new Recordset(std::move(cursor), rowsAffected));
    });
}

void Connection::Cancel() noexcept {
    if (impl_) impl_->Cancel();
}

void Connection::Close() {
    Recorded([&] {
        if (!impl_) throw Error("The connection is already closed.");
        std::unique_ptr<provider::Connection> impl = std::move(impl_);
        impl->Close();
    });
}

// ---- Recordset -----------------------------------------------------------

Recordset::Recordset() = default;

Recordset::Recordset(std::unique_ptr<provider::Cursor> cursor, std::int64_t rowsAffected)
    : cursor_(std::move(cursor)), rowsAffected_(rowsAffected) {}

Recordset::~Recordset() {
    if (cursor_) {
        try {
            cursor_->Close();
        } catch (...) {
        }
    }
}

void Recordset::Open(const std::string& source, Connection& connection, int cursorType, int lockType, int options) {
    if (cursorType != adOpenUnspecified) CursorType = cursorType;
    if (lockType != adLockUnspecified) LockType = lockType;
    connection.Recorded([&] {
        if (cursor_) throw Error("The recordset is already open.");
        if (options != adCmdTable && options != adCmdUnspecified)
            throw Error("Only a table name can be opened as a recordset source.");
        provider::Connection& provider = connection.OpenProvider();
        cursor_ = provider.OpenTable(source, connection.CheckedCommandTimeout());
        rowsAffected_ = -1;
    });
}

void Recordset::Close() {
    if (!cursor_) throw Error("The recordset is already closed.");
    std::unique_ptr<provider::Cursor> cursor = std::move(cursor_);
    cursor->Close();
}

bool Recordset::EndOfFile() const { return !Current().HasRow(); }

const provider::Cursor& Recordset::Current() const {
    if (!cursor_) throw Error("The recordset is closed.");
    return *cursor_;
}

// ---- Fields --------------------------------------------------------------

int Fields::Count() const { return owner_.Current().ColumnCount(); }

Field Fields::Item(int index) const {
    const provider::Cursor& cursor = owner_.Current();
    if (index < 0 || index >= cursor.ColumnCount())
        throw Error("The result has no column number " + std::to_string(index) + ".");
    if (!cursor.HasRow()) throw Error("The result holds no row to read column " + cursor.ColumnName(index) + " from.");
    return Field(cursor.ColumnName(index), cursor.Get(index));
}

Field Fields::Item(const std::string& name) const {
    const provider::Cursor& cursor = owner_.Current();
    for (int i = 0; i < cursor.ColumnCount(); ++i) {
        if (EqualsIgnoreCase(cursor.ColumnName(i), name)) return Item(i);
    }
    throw Error("The column " + name + " was not found.");
}

}  // namespace quellmark::data_access
