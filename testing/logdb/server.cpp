#include "logdb/server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <iostream>
#include <memory>
#include <thread>

#include "logdb/lock_faults.h"
#include "logdb/session.h"
#include "logdb/tds_wire.h"
#include "logdb/tsql.h"
namespace quellmark::logdb {
namespace {

constexpr int kMaxConnections = 128;

std::atomic<int> gConnections{0};

}  // namespace

void Session::Serve() {
    Message message;
    while (ReadMessage(channel_, message, kMaxBatchBytes)) {
        TokenWriter tokens(version_);
        switch (message.type) {
            case packet::kAttention:
                tokens.Done(done::kAttention, 0, 0);
                Send(tokens);
                break;
            case packet::kSqlBatch:
                Batch(message.payload, tokens);
                break;
            case packet::kRpc:
                Rpc(message.payload, tokens);
                break;
            default:
                tokens.Error(16805, 1, 16, "The log server accepts SQL batches only.", kServerName);
                tokens.Done(done::kError, 0, 0);
                Send(tokens);
                break;
        }
    }
}

std::string Session::BatchText(const std::vector<std::uint8_t>& payload) const {
    std::size_t skip = 0;
    if (version_ >= version::k72) {
        if (payload.size() < 4) throw ProtocolError("a SQL batch without its headers");
        skip = static_cast<std::size_t>(payload[0]) | (static_cast<std::size_t>(payload[1]) << 8) |
               (static_cast<std::size_t>(payload[2]) << 16) | (static_cast<std::size_t>(payload[3]) << 24);
        if (skip < 4 || skip > payload.size()) throw ProtocolError("a SQL batch whose headers overrun it");
    }
    return Utf16LeToUtf8(payload.data() + skip, (payload.size() - skip) & ~std::size_t{1});
}

void Session::Errors(TokenWriter& tokens, const SqlFailure& failure) {
    for (const SqlMessage& m : failure.Messages()) tokens.Error(m.number, m.state, m.severity, m.text, kServerName);
}

// Whether the client cancelled the statement under way: looks at what
// has arrived, then waits up to `wait` for an attention. A client that
// closed the connection throws Hangup.
bool Session::CancelledWithin(std::chrono::microseconds wait) {
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + wait;
    for (;;) {
        const auto left = std::max<Clock::duration>(until - Clock::now(), Clock::duration::zero());
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
        const timespec timeout{static_cast<time_t>(seconds.count()),
                               static_cast<long>(std::chrono::nanoseconds(left - seconds).count())};
        pollfd p{channel_.Socket(), POLLIN, 0};
        const int ready = channel_.HasBuffered() ? 1 : ::ppoll(&p, 1, &timeout, nullptr);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        Message message;
        if (!ReadMessage(channel_, message, kMaxBatchBytes)) throw Hangup{};
        if (message.type == packet::kAttention) return true;
        throw ProtocolError("a request arrived while a statement was running");
    }
}

std::optional<LogStore::TableLock> Session::WaitForTable() {
    const auto start = std::chrono::steady_clock::now();
    LogStore::TableLock table = store_.AskForTable();
    for (;;) {
        if (table.WaitFor(std::chrono::milliseconds(10))) return table;
        if (CancelledWithin(std::chrono::microseconds(0))) return std::nullopt;
        if (lockTimeout_ >= 0 && std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(lockTimeout_))
            throw SqlFailure(LockTimeout());
    }
}

void Session::Batch(const std::vector<std::uint8_t>& payload, TokenWriter& tokens) {
    if (Run(BatchText(payload), tokens)) Send(tokens);
}

// Runs a batch's statements into `tokens`. False when the client
// cancelled; the reply has then been sent.
bool Session::Run(const std::string& text, TokenWriter& tokens) {
    if (options_.logStatements) std::cerr << "[" << spid_ << "] " << text.substr(0, 300) << '\n';
    stats_.Batch(spid_, text);
    variables_.clear();
    std::vector<Statement> statements;
    try {
        statements = ParseBatch(text, database_);
    } catch (const SqlFailure& failure) {
        Errors(tokens, failure);
        tokens.Done(done::kError, 0, 0);
        stats_.Line(0, "other", 0);
        if (LimitReached()) {
            Send(tokens);
            Drop();
        }
        return true;
    }
    if (statements.empty()) tokens.Done(0, 0, 0);
    for (std::size_t i = 0; i < statements.size(); ++i) {
        const Statement& s = statements[i];
        const std::uint16_t more = i + 1 < statements.size() ? done::kMore : 0;
        if (s.kind == Statement::Kind::Set) {
            ApplySet(s);
            tokens.Done(more, done::kCmdSet, 0);
            continue;
        }
        if (s.kind == Statement::Kind::Declare) {
            try {
                Declare(s);
                tokens.Done(more, 0, 0);
            } catch (const SqlFailure& failure) {
                Errors(tokens, failure);
                tokens.Done(static_cast<std::uint16_t>(more | done::kError), 0, 0);
            }
            continue;
        }
        if (!RunStatement(s, more, tokens)) return false;
    }
    return true;
}

// A count, delete, insert, probe, view or EXEC of a batch into `tokens`.
// False when the client cancelled; the reply has then been sent.
bool Session::RunStatement(const Statement& s, std::uint16_t more, TokenWriter& tokens) {
    // A write takes effect only once the statement has finished without
    // an attention: a cancelled one is rolled back, as is one whose
    // client has gone. Counts and writes wait for the table while a
    // delete or insert holds it.
    const int delayMs = FaultsActive() ? options_.delayMs : 0;
    const std::size_t answered = tokens.Bytes().size();
    const auto cancelled = [&] {
        tokens.Bytes().resize(answered);
        tokens.SetInProc(false);
        tokens.Done(done::kAttention, 0, 0);
        Send(tokens);
        return false;
    };
    const bool writes = s.kind == Statement::Kind::Delete || s.kind == Statement::Kind::Insert;
    std::optional<LogStore::Transaction> transaction;
    const auto start = std::chrono::steady_clock::now();
    const char* kind = s.kind == Statement::Kind::Delete  ? "delete"
                       : s.kind == Statement::Kind::Count ? "count"
                                                          : "other";
    std::int64_t rows = 0;
    std::int64_t rowCount = 0;
    try {
        if (writes || s.kind == Statement::Kind::Count) {
            std::optional<LogStore::TableLock> table = WaitForTable();
            if (!table) return cancelled();
            if (writes) transaction.emplace(store_, std::move(*table));
        }
        if (writes)
            if (std::optional<SqlMessage> full = log_.Full()) throw SqlFailure(*full);
        Execute(s, more, tokens, kind, rows);
        rowCount = rows;
    } catch (const SqlFailure& failure) {
        transaction.reset();
        Errors(tokens, failure);
        tokens.Done(static_cast<std::uint16_t>(more | done::kError), 0, 0);
    }
    // A delete holds the table for as long as its rows take.
    if (s.kind == Statement::Kind::Delete && CancelledWithin(rowCost_.ForDelete(rows))) {
        transaction.reset();
        return cancelled();
    }
    const auto waitStart = std::chrono::steady_clock::now();
    if (CancelledWithin(std::chrono::milliseconds(delayMs))) {
        transaction.reset();
        return cancelled();
    }
    const auto waited = std::chrono::steady_clock::now() - waitStart;
    if (transaction) {
        if (std::optional<SqlMessage> full = log_.Commit(s.kind == Statement::Kind::Delete ? rows : 0)) {
            transaction.reset();  // the log filled up: rolled back
            tokens.Bytes().resize(answered);
            Errors(tokens, SqlFailure(*full));
            tokens.Done(static_cast<std::uint16_t>(more | done::kError), 0, 0);
            rowCount = rows = 0;
        } else {
            transaction->Commit();
        }
    }
    lastRowCount_ = rowCount;
    // The statement's own time, without the wait for an attention.
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start - waited)
            .count();
    stats_.Line(micros, kind, rows);
    if (LimitReached()) {
        Send(tokens);
        Drop();
    }
    return true;
}

namespace {

// The procedure's number, also when the request names it instead; 0 for a
// procedure without one.
std::uint16_t ProcedureId(const RpcCall& call) {
    if (call.procId != 0) return call.procId;
    static const std::pair<const char*, std::uint16_t> kNames[] = {{"sp_executesql", proc::kExecuteSql},
                                                                   {"sp_prepare", proc::kPrepare},
                                                                   {"sp_execute", proc::kExecute},
                                                                   {"sp_prepexec", proc::kPrepExec},
                                                                   {"sp_unprepare", proc::kUnprepare}};
    for (const auto& [name, number] : kNames)
        if (base::EqualsIgnoreCase(call.procName, name)) return number;
    return 0;
}

const RpcParam* Param(const RpcCall& call, std::size_t i) { return i < call.params.size() ? &call.params[i] : nullptr; }

// Whether a call of sp_executesql, sp_prepare or sp_prepexec has parameters:
// declarations in @params (the second parameter) or values after the
// procedure's own `ownParameters`.
bool HasParameters(const RpcCall& call, std::size_t ownParameters) {
    const RpcParam* declarations = Param(call, 1);
    return (declarations && !declarations->isNull &&
            declarations->text.find_first_not_of(" \t\r\n") != std::string::npos) ||
           call.params.size() > ownParameters;
}

ProcArgument ArgumentOf(const RpcParam& p) {
    ProcArgument a;
    a.name = p.name;
    a.isNull = p.isNull;
    a.isInteger = p.isInteger;
    a.integer = p.integer;
    a.text = p.text;
    return a;
}

}  // namespace

// The procedures ODBC drivers call for prepared and parameterised
// statements: sp_executesql, sp_prepare, sp_execute, sp_prepexec and
// sp_unprepare. Statements with parameters are refused.
void Session::Rpc(const std::vector<std::uint8_t>& payload, TokenWriter& tokens) {
    RpcCall call;
    try {
        call = ParseRpc(payload, version_ >= version::k72);
    } catch (const UnsupportedRequest& e) {
        RpcFailure(tokens, 50000, std::string("The log server cannot take ") + e.what() + ".");
        return;
    }
    switch (ProcedureId(call)) {
        case proc::kExecuteSql:
            return ExecuteSql(call, tokens);
        case proc::kPrepare:
            return Prepare(call, false, tokens);
        case proc::kPrepExec:
            return Prepare(call, true, tokens);
        case proc::kExecute:
            return ExecutePrepared(call, tokens);
        case proc::kUnprepare:
            return Unprepare(call, tokens);
        default:
            break;
    }
    if (IsAppLockProcedure(call.procName)) return RpcAppLock(call, tokens);  // {? = call sp_getapplock(...)}
    RpcFailure(tokens, 2812,
               "Could not find stored procedure '" +
                   (call.procName.empty() ? std::to_string(call.procId) : call.procName) + "'.");
}

// sp_executesql @stmt, @params, values...
void Session::ExecuteSql(const RpcCall& call, TokenWriter& tokens) {
    const RpcParam* statement = Param(call, 0);
    if (!NeedStatementText(statement, tokens)) return;
    if (HasParameters(call, 2)) return RpcFailure(tokens, 50000, kNoParameters);
    tokens.SetInProc(true);
    if (!Run(statement->text, tokens)) return;
    RpcDone(tokens);
}

// sp_prepare @handle OUTPUT, @params, @stmt, @options
// sp_prepexec @handle OUTPUT, @params, @stmt, values...
void Session::Prepare(const RpcCall& call, bool execute, TokenWriter& tokens) {
    const RpcParam* statement = Param(call, 2);
    if (!NeedStatementText(statement, tokens)) return;
    if (HasParameters(call, 3)) return RpcFailure(tokens, 50000, kNoParameters);
    const std::int32_t handle = nextHandle_++;
    prepared_.emplace_back(handle, statement->text);
    if (execute) {
        tokens.SetInProc(true);
        if (!Run(statement->text, tokens)) return;
        tokens.SetInProc(false);
    }
    tokens.ReturnStatus(0);
    tokens.ReturnValueInt(0, Param(call, 0)->name, handle);
    tokens.DoneProc(0);
    Send(tokens);
}

// sp_execute @handle, values...
void Session::ExecutePrepared(const RpcCall& call, TokenWriter& tokens) {
    const auto found = FindPrepared(call, tokens);
    if (found == prepared_.end()) return;
    if (call.params.size() > 1) return RpcFailure(tokens, 50000, kNoParameters);
    tokens.SetInProc(true);
    const std::string text = found->second;
    if (!Run(text, tokens)) return;
    RpcDone(tokens);
}

// sp_unprepare @handle
void Session::Unprepare(const RpcCall& call, TokenWriter& tokens) {
    const auto found = FindPrepared(call, tokens);
    if (found == prepared_.end()) return;
    prepared_.erase(found);
    RpcDone(tokens);
}

void Session::RpcAppLock(const RpcCall& call, TokenWriter& tokens) {
    std::vector<ProcArgument> arguments;
    for (const RpcParam& p : call.params) arguments.push_back(ArgumentOf(p));
    int status = applock::kBadCall;
    try {
        status = CallAppLock(call.procName, arguments, tokens);
    } catch (const SqlFailure& failure) {
        Errors(tokens, failure);
    }
    tokens.ReturnStatus(status);
    tokens.DoneProc(0);
    Send(tokens);
}

bool Session::NeedStatementText(const RpcParam* statement, TokenWriter& tokens) {
    if (!statement || statement->isNull || statement->isInteger) {
        RpcFailure(tokens, 201, "Procedure expects parameter '@stmt' of type 'ntext/nchar/nvarchar'.");
        return false;
    }
    return true;
}

Session::PreparedStatements::iterator Session::FindPrepared(const RpcCall& call, TokenWriter& tokens) {
    const RpcParam* handle = Param(call, 0);
    const auto found = std::find_if(prepared_.begin(), prepared_.end(),
                                    [&](const auto& entry) { return handle && entry.first == handle->integer; });
    if (found == prepared_.end())
        RpcFailure(
            tokens, 8179,
            "Could not find prepared statement with handle " + std::to_string(handle ? handle->integer : 0) + ".");
    return found;
}

void Session::RpcDone(TokenWriter& tokens) {
    tokens.SetInProc(false);
    tokens.ReturnStatus(0);
    tokens.DoneProc(0);
    Send(tokens);
}

void Session::RpcFailure(TokenWriter& tokens, std::int32_t number, const std::string& message) {
    tokens.SetInProc(false);
    tokens.Error(number, 1, 16, message, kServerName);
    tokens.DoneProc(done::kError);
    Send(tokens);
}

// Counts one statement, lets --insert-after's rows arrive after it, and
// says whether --drop-after says to close now.
bool Session::LimitReached() {
    ++statements_;
    if (options_.arrival && statements_ == options_.arrival->after)
        store_.Insert(options_.arrival->label, options_.arrival->rows);
    return options_.dropAfter && statements_ >= *options_.dropAfter;
}

void Session::Drop() {
    ::shutdown(channel_.Socket(), SHUT_RDWR);
    throw Hangup{true};
}

void Session::ApplySet(const Statement& s) {
    if (s.option == "NOCOUNT") noCount_ = s.value == "ON";
    if (s.option == "LOCK_TIMEOUT") lockTimeout_ = std::stoll(s.value);
    if (s.option == "ROWCOUNT") rowCount_ = std::stoll(s.value);
}

// The most rows a statement may touch: its TOP clause and SET ROWCOUNT.
std::optional<std::int64_t> Session::Limit(const Statement& s) {
    std::optional<std::int64_t> limit;
    if (s.top) {
        if (s.topPercent) {
            const std::int64_t matching = store_.CountMatching(s.where);
            limit = static_cast<std::int64_t>(std::ceil(static_cast<double>(matching) * *s.top / 100.0));
        } else {
            limit = static_cast<std::int64_t>(*s.top);
        }
    }
    if (rowCount_ > 0) limit = limit ? std::min(*limit, rowCount_) : rowCount_;
    return limit;
}

void Session::Execute(const Statement& s, std::uint16_t more, TokenWriter& tokens, const char*& kind,
                      std::int64_t& rows) {
    const std::uint16_t countBit = noCount_ ? 0 : done::kCount;
    switch (s.kind) {
        case Statement::Kind::Count: {
            kind = "count";
            const std::int64_t n = store_.Count(s.countSql);
            if (!s.bigCount && n > 2147483647LL)
                throw SqlFailure(
                    SqlMessage{8115, 2, 16, "Arithmetic overflow error converting expression to data type int."});
            const std::vector<TokenWriter::Column> columns = {
                {s.columnName, s.bigCount ? TokenWriter::ColumnType::BigInt : TokenWriter::ColumnType::Int}};
            tokens.ColumnMetadata(columns);
            TokenWriter::Cell cell;
            cell.integer = n;
            const std::string answer = FaultsActive() ? options_.countAnswer : std::string();
            cell.isNull = answer == "null";
            const bool row = answer != "none";
            if (row) tokens.Row(columns, {cell});
            tokens.Done(static_cast<std::uint16_t>(more | countBit), done::kCmdSelect, row ? 1 : 0);
            rows = n;
            return;
        }
        case Statement::Kind::Rows: {
            using Type = TokenWriter::ColumnType;
            const std::vector<TokenWriter::Column> columns = {
                {"log_id", Type::Int},   {"priority", Type::Int}, {"time", Type::DateTime},   {"label", Type::NVarChar},
                {"ent", Type::NVarChar}, {"oid", Type::NVarChar}, {"message", Type::NVarChar}};
            const std::vector<LogStore::Row> found = store_.Rows(s.where, Limit(s));
            tokens.ColumnMetadata(columns);
            const auto text = [](const std::optional<std::string>& value) {
                TokenWriter::Cell cell;
                cell.isNull = !value;
                cell.text = value.value_or(std::string());
                return cell;
            };
            for (const LogStore::Row& row : found) {
                TokenWriter::Cell id, priority, time;
                id.integer = row.logId;
                priority.integer = row.priority;
                time.text = row.time;
                tokens.Row(columns,
                           {id, priority, time, text(row.label), text(row.ent), text(row.oid), text(row.message)});
            }
            rows = static_cast<std::int64_t>(found.size());
            tokens.Done(static_cast<std::uint16_t>(more | countBit), done::kCmdSelect,
                        static_cast<std::uint64_t>(rows));
            return;
        }
        case Statement::Kind::Delete: {
            kind = "delete";
            const std::optional<std::int64_t> limit = Limit(s);
            ++deletes_;
            if (options_.lockFault)
                if (auto failure = LockFaultFor(*options_.lockFault, deletes_, spid_)) throw SqlFailure(*failure);
            rows = store_.Delete(s.where, limit);
            tokens.Done(static_cast<std::uint16_t>(more | countBit), done::kCmdDelete,
                        static_cast<std::uint64_t>(rows));
            return;
        }
        case Statement::Kind::Insert:
            rows = store_.Append(s.insertSql, database_);
            tokens.Done(static_cast<std::uint16_t>(more | countBit), done::kCmdInsert,
                        static_cast<std::uint64_t>(rows));
            return;
        case Statement::Kind::LogView:
            LogView(s, more, tokens);
            rows = 1;
            return;
        case Statement::Kind::Probe:
            Probe(s, more, tokens);
            rows = 1;
            return;
        case Statement::Kind::Exec:
            Exec(s, more, tokens);
            return;
        case Statement::Kind::Set:
        case Statement::Kind::Declare:
            return;
    }
}

void Session::Probe(const Statement& s, std::uint16_t more, TokenWriter& tokens) {
    std::vector<TokenWriter::Column> columns;
    std::vector<TokenWriter::Cell> cells;
    for (const ProbeItem& item : s.probe) {
        TokenWriter::Cell cell;
        TokenWriter::ColumnType type = TokenWriter::ColumnType::Int;
        const auto number = [&](std::int64_t v) { cell.integer = v; };
        const auto text = [&](std::string v) {
            type = TokenWriter::ColumnType::NVarChar;
            cell.text = std::move(v);
        };
        switch (item.kind) {
            case ProbeItem::Kind::Integer:
                number(item.integer);
                break;
            case ProbeItem::Kind::Text:
                text(item.text);
                break;
            case ProbeItem::Kind::Variable:
                if (const auto v = variables_.find(item.text); v != variables_.end()) {
                    cell.isNull = v->second.isNull;
                    if (v->second.isText) {
                        text(v->second.text);
                    } else {
                        number(v->second.integer);
                    }
                } else if (item.text == "@@SPID") {
                    number(spid_);
                } else if (item.text == "@@TRANCOUNT" || item.text == "@@ERROR") {
                    number(0);
                } else if (item.text == "@@ROWCOUNT") {
                    number(lastRowCount_);
                } else if (item.text == "@@TEXTSIZE") {
                    number(2147483647);
                } else if (item.text == "@@LOCK_TIMEOUT") {
                    number(lockTimeout_);
                } else if (item.text == "@@MAX_PRECISION") {
                    number(38);
                } else if (item.text == "@@VERSION") {
                    text("Microsoft SQL Server (quellmark-logdb test server, SQLite " +
                         std::string(sqlite3_libversion()) + ")");
                } else if (item.text == "@@SERVERNAME" || item.text == "@@SERVICENAME") {
                    text(kServerName);
                } else if (item.text == "@@LANGUAGE") {
                    text("us_english");
                } else {
                    throw SqlFailure(SqlMessage{137, 2, 15, "Must declare the scalar variable \"" + item.text + "\"."});
                }
                break;
            case ProbeItem::Kind::Function:
                if (item.text == "DB_NAME") {
                    text(database_);
                } else if (item.text == "USER_NAME" || item.text == "CURRENT_USER") {
                    text("dbo");
                } else if (item.text == "SUSER_SNAME" || item.text == "SUSER_NAME") {
                    text(loginName_);
                } else {
                    throw SqlFailure(
                        SqlMessage{195, 10, 15, "'" + item.text + "' is not a recognized built-in function name."});
                }
                break;
        }
        columns.push_back({item.alias, type});
        cells.push_back(std::move(cell));
    }
    tokens.ColumnMetadata(columns);
    tokens.Row(columns, cells);
    tokens.Done(static_cast<std::uint16_t>(more | (noCount_ ? 0 : done::kCount)), done::kCmdSelect, 1);
}

void Session::LogView(const Statement& s, std::uint16_t more, TokenWriter& tokens) {
    std::vector<TokenWriter::Column> columns;
    std::vector<TokenWriter::Cell> cells;
    for (const std::string& name : s.viewColumns) {
        TokenWriter::Cell cell;
        if (name == "used_log_space_in_percent") {
            if (options_.denyLogView)
                throw SqlFailure(SqlMessage{
                    300, 1, 14, "VIEW SERVER STATE permission was denied on object 'server', database 'master'."});
            cell.real = log_.UsedPercent();
            columns.push_back({name, TokenWriter::ColumnType::Real});
        } else {
            cell.text = name == "recovery_model_desc" ? "FULL" : log_.ReuseWait();
            columns.push_back({name, TokenWriter::ColumnType::NVarChar});
        }
        cells.push_back(std::move(cell));
    }
    tokens.ColumnMetadata(columns);
    tokens.Row(columns, cells);
    tokens.Done(static_cast<std::uint16_t>(more | (noCount_ ? 0 : done::kCount)), done::kCmdSelect, 1);
}

void Session::Declare(const Statement& s) {
    for (const Declaration& d : s.declarations) {
        if (variables_.contains(d.name))
            throw SqlFailure(SqlMessage{134, 1, 15,
                                        "The variable name '" + d.name +
                                            "' has already been declared. Variable names must be unique within a "
                                            "query batch or stored procedure."});
        Variable& v = variables_[d.name];
        v.isText = d.isText;
        if (d.initial) Assign(v, Resolve(ExecArgument{"", *d.initial}));
    }
}

ProcArgument Session::Resolve(const ExecArgument& argument) const {
    ProcArgument a;
    a.name = argument.name;
    const ExecValue& v = argument.value;
    switch (v.kind) {
        case ExecValue::Kind::Default:
            a.isDefault = true;
            break;
        case ExecValue::Kind::Null:
            a.isNull = true;
            break;
        case ExecValue::Kind::Integer:
            a.isInteger = true;
            a.integer = v.integer;
            break;
        case ExecValue::Kind::Text:
            a.text = v.text;
            break;
        case ExecValue::Kind::Variable: {
            const auto found = variables_.find(v.text);
            if (found == variables_.end())
                throw SqlFailure(SqlMessage{137, 2, 15, "Must declare the scalar variable \"" + v.text + "\"."});
            a.isNull = found->second.isNull;
            a.isInteger = !found->second.isText;
            a.integer = found->second.integer;
            a.text = found->second.text;
            break;
        }
    }
    return a;
}

void Session::Assign(Variable& variable, const ProcArgument& value) const {
    variable.isNull = value.isNull;
    if (value.isNull) return;
    if (variable.isText) {
        variable.text = value.isInteger ? std::to_string(value.integer) : value.text;
        return;
    }
    if (value.isInteger) {
        variable.integer = value.integer;
        return;
    }
    try {
        std::size_t used = 0;
        variable.integer = std::stoll(value.text, &used);
        if (value.text.find_first_not_of(' ', used) == std::string::npos) return;
    } catch (const std::exception&) {
    }
    throw SqlFailure(SqlMessage{
        245, 1, 16, "Conversion failed when converting the varchar value '" + value.text + "' to data type int."});
}

void Session::Exec(const Statement& s, std::uint16_t more, TokenWriter& tokens) {
    if (!IsAppLockProcedure(s.procedure))
        throw SqlFailure(SqlMessage{2812, 62, 16, "Could not find stored procedure '" + s.procedure + "'."});
    Variable* status = nullptr;
    if (!s.statusVariable.empty()) {
        const auto found = variables_.find(s.statusVariable);
        if (found == variables_.end())
            throw SqlFailure(SqlMessage{137, 2, 15, "Must declare the scalar variable \"" + s.statusVariable + "\"."});
        status = &found->second;
    }
    std::vector<ProcArgument> arguments;
    for (const ExecArgument& a : s.arguments) arguments.push_back(Resolve(a));
    const int value = CallAppLock(s.procedure, arguments, tokens);
    if (status) {
        ProcArgument number;
        number.isInteger = true;
        number.integer = value;
        Assign(*status, number);
    }
    // As SQL Server: the procedure's own statement (DONEINPROC), its
    // return status, then the end of the EXEC (DONEPROC).
    tokens.SetInProc(true);
    tokens.Done(noCount_ ? 0 : done::kCount, 0, 0);
    tokens.SetInProc(false);
    tokens.ReturnStatus(value);
    tokens.DoneProc(more);
}

int Session::CallAppLock(std::string_view procedure, const std::vector<ProcArgument>& arguments, TokenWriter& tokens) {
    const AppLockCall call = BindAppLockCall(procedure, arguments);
    const AppLockOutcome outcome = RunAppLockCall(appLocks_, call, database_, spid_, lockTimeout_);
    if (outcome.message)
        tokens.Error(outcome.message->number, outcome.message->state, outcome.message->severity, outcome.message->text,
                     kServerName);
    return outcome.returnValue;
}

Server::Server(ServerOptions options, LogStore& store)
    : options_(std::move(options)),
      store_(store),
      stats_(std::make_shared<StatsLog>(options_.statsFile, options_.statementLog)),
      wireLog_(std::make_shared<WireLog>(options_.wireLog)),
      loginLog_(std::make_shared<LogFile>(options_.loginLog, "login log")),
      rowCost_(std::make_shared<RowCost>(options_.rowCostMicros, options_.rowCostLater)),
      log_(std::make_shared<TransactionLog>(options_.log, options_.database)) {
    if (options_.encryption != Encryption::None)
        tls_ = std::make_shared<TlsContext>(options_.certificateFile, options_.keyFile);
    listener_ = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (listener_.Get() < 0) throw std::runtime_error(std::string("cannot create a socket: ") + std::strerror(errno));
    const int on = 1;
    ::setsockopt(listener_.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(options_.port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(options_.port) + ": " +
                                 std::strerror(errno));
    if (::listen(listener_.Get(), 64) != 0)
        throw std::runtime_error(std::string("cannot listen: ") + std::strerror(errno));
    socklen_t length = sizeof address;
    ::getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
}

void Server::Run() {
    for (;;) {
        Fd client(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (client.Get() < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE) {
                if (errno == EMFILE || errno == ENFILE) std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            throw std::runtime_error(std::string("cannot accept a connection: ") + std::strerror(errno));
        }
        if (gConnections.load() >= kMaxConnections) continue;  // closes it
        ++gConnections;
        auto session = std::make_shared<Session>(std::move(client), options_, store_, *stats_, *wireLog_, *loginLog_,
                                                 tls_.get(), *appLocks_, *rowCost_, *log_);
        std::thread([session] {
            session->Run();
            --gConnections;
        }).detach();
    }
}

}  // namespace quellmark::logdb
