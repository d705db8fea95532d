// The SQLOLEDB provider: SQL Server through unixODBC and the FreeTDS driver.
//
// Each Execute runs on its own statement handle, copies the first row of the
// first result and then reads through everything else the server sends, so
// the connection is free again when Execute returns (FreeTDS allows only one
// active statement per connection). Autocommit stays on and statements are
// sent as plain batches without parameter markers. Each statement gets the
// connection's command time-out as its query time-out, and a Deadline ends
// the wait for a server that does not even acknowledge the cancellation
// (statement_deadline.h).
#include "data_access/internal/provider.h"

#include <netdb.h>
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/scope_exit.h"
#include "base/text.h"
#include "data_access/data_access.h"
#include "data_access/sqlserver/diagnostics.h"
#include "data_access/sqlserver/driver_connection_string.h"
#include "data_access/sqlserver/driver_socket.h"
#include "data_access/sqlserver/freetds_login_config.h"
#include "data_access/sqlserver/handles.h"
#include "data_access/sqlserver/host_lookup.h"
#include "data_access/sqlserver/kerberos.h"
#include "data_access/sqlserver/login_failure.h"
#include "data_access/sqlserver/odbc_wide.h"
#include "data_access/sqlserver/server_trust.h"
#include "data_access/sqlserver/sql_browser.h"
#include "data_access/sqlserver/statement_deadline.h"
#include "data_access/sqlserver/statement_failure.h"

namespace quellmark::data_access::provider {
namespace {

using sqlserver::ConnectionHandle;
using sqlserver::EnvironmentHandle;
using sqlserver::OdbcLogin;
using sqlserver::StatementHandle;

// ADO's ConnectionTimeout of 0 means "no limit". A desktop tool that blocks
// while logging in must still come back, so "no limit" is ten minutes here.
constexpr int kNoLimitLoginSeconds = 600;
// How long a named instance's SQL Server Browser is given to answer.
constexpr int kBrowserSeconds = 16;

// "dbo.ATR_Log" -> "[dbo].[ATR_Log]", a ']' in a name doubled.
std::string QuoteTableName(const std::string& name) {
    std::string quoted;
    std::size_t start = 0;
    while (true) {
        const std::size_t dot = name.find('.', start);
        const std::string part = name.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (!quoted.empty()) quoted += '.';
        quoted += '[';
        for (char c : part) {
            quoted += c;
            if (c == ']') quoted += ']';
        }
        quoted += ']';
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    return quoted;
}

class OdbcCursor final : public Cursor {
public:
    OdbcCursor(std::vector<std::string> names, std::optional<std::vector<Value>> row)
        : names_(std::move(names)), row_(std::move(row)) {}

    int ColumnCount() const override { return static_cast<int>(names_.size()); }
    std::string ColumnName(int index) const override { return names_.at(static_cast<std::size_t>(index)); }
    bool HasRow() const override { return row_.has_value(); }
    Value Get(int index) const override { return row_.value().at(static_cast<std::size_t>(index)); }
    // The row was copied out of the driver; there is no handle left to free.
    void Close() override { row_.reset(); }

private:
    std::vector<std::string> names_;
    std::optional<std::vector<Value>> row_;
};

struct Column {
    std::string Name;
    SQLSMALLINT Type = SQL_UNKNOWN_TYPE;
    SQLULEN Size = 0;
    SQLSMALLINT Digits = 0;
};

enum class Representation { Integer, Real, Text };

Representation RepresentationOf(const Column& column) {
    switch (column.Type) {
        case SQL_BIT:
        case SQL_TINYINT:
        case SQL_SMALLINT:
        case SQL_INTEGER:
        case SQL_BIGINT:
            return Representation::Integer;
        case SQL_REAL:
        case SQL_FLOAT:
        case SQL_DOUBLE:
            return Representation::Real;
        case SQL_DECIMAL:
        case SQL_NUMERIC:
            // Whole numbers that fit: integers; anything else: a double, as
            // the log's columns hold nothing that needs more precision.
            return (column.Digits == 0 && column.Size <= 18) ? Representation::Integer : Representation::Real;
        default:
            return Representation::Text;
    }
}

// The time a login may take. Everything before the driver (host-name
// look-up, SQL Server Browser, Kerberos) must be done within the connection
// time-out; the driver is cut off a little after it; the checks that explain
// a failure end by the time-out plus 15 seconds, the whole login's bound.
class LoginBudget {
public:
    using Clock = std::chrono::steady_clock;

    LoginBudget(Clock::time_point start, int seconds) : start_(start), seconds_(seconds) {}

    int Seconds() const noexcept { return seconds_; }
    Clock::time_point PrepareBy() const { return start_ + std::chrono::seconds(seconds_); }
    // The driver's own time-out ends a login to a silent server first; this
    // ends one to a server that answers too slowly.
    Clock::time_point DriverBy() const {
        const auto grace = std::clamp(std::chrono::milliseconds(std::int64_t{seconds_} * 1000 / 3),
                                      std::chrono::milliseconds(2000), std::chrono::milliseconds(10'000));
        return std::min(PrepareBy() + grace, ChecksBy() - std::chrono::seconds(1));
    }
    Clock::time_point ChecksBy() const {
        return start_ + std::chrono::seconds(seconds_) + std::chrono::milliseconds(14'500);
    }

private:
    Clock::time_point start_;
    int seconds_;
};

// The time limit of one statement, and the deadline that keeps it against a
// server that does not answer its cancellation (null when there is none).
struct Limit {
    std::int32_t seconds = 0;
    sqlserver::Deadline* deadline = nullptr;
};

// What the driver answered to a login, and whether the watchdog had to cut
// it off.
struct DriverAnswer {
    SQLRETURN rc = SQL_ERROR;
    bool cut = false;
};

// The part of a statement's first result a cursor keeps.
struct FirstResult {
    std::vector<std::string> names;
    std::optional<std::vector<Value>> row;
};

class OdbcConnection final : public Connection {
public:
    OdbcConnection(OdbcLogin login, int loginTimeoutSeconds, const LoginBudget& budget) : login_(std::move(login)) {
        AllocateHandles(loginTimeoutSeconds);
        std::optional<sqlserver::WideText> wide = TakeConnectionString();
        const quellmark::base::ScopeExit wipe([&wide]() noexcept {
            if (wide) std::fill(wide->begin(), wide->end(), SQLWCHAR{0});
        });
        if (!wide) throw Error("The connection string is not UTF-8 text.");
        if (wide->size() > static_cast<std::size_t>(SHRT_MAX))
            throw Error("The connection string is too long for the ODBC driver.");
        const sqlserver::ServerTrust trust = sqlserver::TrustFor(login_.Server);
        // Where the driver goes: a named instance's port is asked for here,
        // under the login's deadline, so that the driver never waits on the
        // SQL Server Browser.
        sqlserver::SqlServerAddress target = login_.Address;
        Prepare(target, budget);
        std::optional<sqlserver::ServiceTicketCheck> ticket;
        if (login_.IntegratedSecurity) ticket = FetchServiceTicket(target, budget);

        const std::vector<sqlserver::OpenSocket> socketsBefore = sqlserver::InetStreamSockets();
        const DriverAnswer answer = ConnectDriver(*wide, target, trust, socketsBefore, budget);
        if (SQL_SUCCEEDED(answer.rc)) dbc_.MarkConnected();
        if (answer.cut) throw Error(ExplainCutLogin(answer.rc, loginTimeoutSeconds));
        if (!SQL_SUCCEEDED(answer.rc))
            throw Error(ExplainFailedLogin(loginTimeoutSeconds, trust, budget, ticket ? &*ticket : nullptr));
        socket_ = sqlserver::NewConnectedSocket(socketsBefore, target.Instance.empty() ? target.Port : 0);
    }

    std::unique_ptr<Cursor> OpenTable(const std::string& name, std::int32_t timeoutSeconds) override {
        // Only the first row is ever read through a cursor, so only one row
        // is asked for: the online log is far too big to fetch whole.
        std::int64_t ignored = -1;
        return Execute("SELECT TOP (1) * FROM " + QuoteTableName(name), timeoutSeconds, ignored);
    }

    std::unique_ptr<Cursor> Execute(const std::string& text, std::int32_t timeoutSeconds,
                                    std::int64_t& rowsAffected) override {
        rowsAffected = -1;
        CheckSendable(text);
        // Declared first, so it also covers releasing the statement handle,
        // for which the driver may wait on the server as well.
        std::optional<sqlserver::Deadline> deadline;
        if (timeoutSeconds > 0 && socket_) {
            const auto at = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds) +
                            sqlserver::CancellationGrace(timeoutSeconds);
            deadline.emplace(at, [socket = *socket_] { sqlserver::ShutDown(socket); });
        }
        const Limit limit{timeoutSeconds, deadline ? &*deadline : nullptr};
        const quellmark::base::ScopeExit done([this, &limit]() noexcept {
            // A deadline that passed just as the statement finished has
            // still closed the connection.
            if (limit.deadline && limit.deadline->Stop()) lost_ = true;
        });
        StatementHandle statement = AllocateStatement();
        SQLHANDLE stmt = statement.Get();
        // Cancel may reach the statement from another thread until it is released.
        SetRunning(stmt);
        const quellmark::base::ScopeExit running([this]() noexcept { SetRunning(SQL_NULL_HANDLE); });

        const SQLRETURN rc = Send(stmt, text, limit);
        FirstResult first = ReadFirstResult(stmt, rc, limit, rowsAffected);
        ReadThroughTheRest(stmt, limit);
        return std::make_unique<OdbcCursor>(std::move(first.names), std::move(first.row));
    }

    void Cancel() noexcept override {
        std::lock_guard<std::mutex> lock(runningMutex_);
        if (running_ != SQL_NULL_HANDLE) SQLCancel(running_);
    }

    void Close() override {
        dbc_.Reset();
        env_.Reset();
    }

private:
    // The environment (ODBC 3) and connection handles, with the login's
    // time-out and autocommit set.
    void AllocateHandles(int loginTimeoutSeconds) {
        SQLHANDLE env = SQL_NULL_HANDLE;
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env)))
            throw Error("The ODBC driver manager (unixODBC) could not be initialised.");
        env_ = EnvironmentHandle(env);
        if (!SQL_SUCCEEDED(SQLSetEnvAttr(env_.Get(), SQL_ATTR_ODBC_VERSION,
                                         reinterpret_cast<SQLPOINTER>(static_cast<SQLLEN>(SQL_OV_ODBC3)), 0)))
            Fail(SQL_HANDLE_ENV, env_.Get(), "The ODBC driver manager refused ODBC 3 behaviour.");

        SQLHANDLE dbc = SQL_NULL_HANDLE;
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env_.Get(), &dbc)))
            Fail(SQL_HANDLE_ENV, env_.Get(), "The ODBC driver manager could not create a connection.");
        dbc_ = ConnectionHandle(dbc);

        SetConnectAttribute(SQL_ATTR_LOGIN_TIMEOUT, static_cast<SQLULEN>(loginTimeoutSeconds));
        SetConnectAttribute(SQL_ATTR_AUTOCOMMIT, SQL_AUTOCOMMIT_ON);
    }

    // The connection string as UTF-16 (none when it is not UTF-8), for the
    // wide call: the driver reads a narrow connection string as Latin-1,
    // which would send every other character mis-encoded. The narrow string
    // holds the password and is wiped here, as it is not needed any more.
    std::optional<sqlserver::WideText> TakeConnectionString() {
        std::string& text = login_.ConnectionString;
        std::optional<sqlserver::WideText> wide = sqlserver::WideFromUtf8(text);
        text.assign(text.size(), '\0');
        text.clear();
        return wide;
    }

    // The driver's login to target, with the section for it written in the
    // driver's configuration while it runs.
    DriverAnswer ConnectDriver(sqlserver::WideText& wide, const sqlserver::SqlServerAddress& target,
                               const sqlserver::ServerTrust& trust,
                               const std::vector<sqlserver::OpenSocket>& socketsBefore, const LoginBudget& budget) {
        const sqlserver::LoginConfig config(target.Host, target.Port, target.Instance, trust);
        // The driver's own time-out holds for each wait, not for the
        // login: a server that answers a byte at a time keeps it going.
        // Shutting its socket down ends it.
        // Only a login waiting on its server's socket is ended that way.
        int shut = 0;
        sqlserver::Deadline watchdog(budget.DriverBy(), [&shut, &socketsBefore, port = target.Port] {
            shut = sqlserver::ShutDownNew(socketsBefore, port);
        });
        const SQLRETURN rc = SQLDriverConnectW(dbc_.Get(), nullptr, wide.data(), static_cast<SQLSMALLINT>(wide.size()),
                                               nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
        // Stop joins the watchdog's thread: `shut` is read after it wrote.
        const bool cut = watchdog.Stop() && shut > 0;
        return DriverAnswer{rc, cut};
    }

    // A login the watchdog ended: the server answered too slowly.
    std::vector<ErrorEntry> ExplainCutLogin(SQLRETURN rc, int loginTimeoutSeconds) const {
        return sqlserver::ExplainUnanswered(
            rc == SQL_ERROR ? Diagnostics(SQL_HANDLE_DBC, dbc_.Get()) : std::vector<ErrorEntry>{}, login_.Address,
            "the server did not complete the login within the connection time-out of " +
                std::to_string(loginTimeoutSeconds) + " seconds; it answers too slowly or has stopped answering");
    }

    // A login the driver refused, with what the checks after it found.
    std::vector<ErrorEntry> ExplainFailedLogin(int loginTimeoutSeconds, const sqlserver::ServerTrust& trust,
                                               const LoginBudget& budget,
                                               const sqlserver::ServiceTicketCheck* ticket) const {
        std::vector<ErrorEntry> records = Diagnostics(SQL_HANDLE_DBC, dbc_.Get());
        const sqlserver::LoginFailureFacts facts =
            sqlserver::ExamineFailedLogin(records, login_, loginTimeoutSeconds, trust, budget.ChecksBy(), ticket);
        return sqlserver::ExplainConnectFailure(std::move(records), login_.Address, loginTimeoutSeconds,
                                                login_.IntegratedSecurity, facts);
    }

    // Throws when the statement cannot go to the server at all.
    void CheckSendable(const std::string& text) const {
        if (!dbc_.Connected()) throw Error("The connection to the SQL Server is closed.");
        if (lost_) throw Error(std::vector<ErrorEntry>{sqlserver::LostConnectionEntry(login_.Address, false)});
        if (quellmark::base::TrimSpaces(text).empty())
            throw Error("The statement is empty, so nothing was sent to the server.");
        if (text.size() > static_cast<std::size_t>(INT_MAX))
            throw Error("The statement is larger than 2 GB and cannot be sent to the server.");
    }

    void SetRunning(SQLHANDLE stmt) {
        std::lock_guard<std::mutex> lock(runningMutex_);
        running_ = stmt;
    }

    // Sets the statement's options and sends the text; the driver's answer
    // to it, unless that is a failure.
    SQLRETURN Send(SQLHANDLE stmt, const std::string& text, const Limit& limit) {
        // The text goes to the server as written: no ODBC escape processing.
        SQLSetStmtAttr(stmt, SQL_ATTR_NOSCAN, reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(SQL_NOSCAN_ON)), 0);
        if (!SQL_SUCCEEDED(SQLSetStmtAttr(stmt, SQL_ATTR_QUERY_TIMEOUT,
                                          reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(limit.seconds)), 0)))
            FailStatement(stmt, limit);

        // A connection opened through the wide calls takes text through them
        // (the driver manager would convert narrow text by the locale).
        std::optional<sqlserver::WideText> wide = sqlserver::WideFromUtf8(text);
        if (!wide) throw Error("The statement is not UTF-8 text, so it was not sent to the server.");
        const SQLRETURN rc = SQLExecDirectW(stmt, wide->data(), static_cast<SQLINTEGER>(wide->size()));
        if (rc == SQL_ERROR || rc == SQL_INVALID_HANDLE) FailStatement(stmt, limit);
        return rc;
    }

    // The first result of the batch: its column names and first row, or
    // the rows it affected.
    FirstResult ReadFirstResult(SQLHANDLE stmt, SQLRETURN rc, const Limit& limit, std::int64_t& rowsAffected) {
        FirstResult first;
        if (rc == SQL_NO_DATA) {
            // A searched DELETE or UPDATE that matched nothing, or one whose
            // answer carried no row count (SET NOCOUNT ON): the driver's
            // count tells them apart, and an unknown count stays -1.
            SQLLEN count = -1;
            if (SQL_SUCCEEDED(SQLRowCount(stmt, &count)) && count >= 0) rowsAffected = static_cast<std::int64_t>(count);
            return first;
        }
        SQLSMALLINT columnCount = 0;
        if (!SQL_SUCCEEDED(SQLNumResultCols(stmt, &columnCount))) FailStatement(stmt, limit);
        if (columnCount == 0) {
            SQLLEN count = -1;
            if (SQL_SUCCEEDED(SQLRowCount(stmt, &count))) rowsAffected = static_cast<std::int64_t>(count);
            return first;
        }
        const std::vector<Column> columns = DescribeColumns(stmt, columnCount, limit);
        for (const Column& column : columns) first.names.push_back(column.Name);
        rc = SQLFetch(stmt);
        if (rc == SQL_ERROR || rc == SQL_INVALID_HANDLE) FailStatement(stmt, limit);
        if (rc != SQL_NO_DATA) first.row = ReadRow(stmt, columns, limit);
        return first;
    }

    // Everything after the first row: the rest of this result and any
    // further results of the batch. Reading through them lets the whole
    // batch run, and a later statement's failure is still reported.
    void ReadThroughTheRest(SQLHANDLE stmt, const Limit& limit) {
        while (true) {
            const SQLRETURN rc = SQLMoreResults(stmt);
            if (rc == SQL_NO_DATA) break;
            if (rc == SQL_ERROR || rc == SQL_INVALID_HANDLE) FailStatement(stmt, limit);
        }
    }

    // Before the driver: the host name looked up, or a named instance's port
    // asked of the SQL Server Browser, by the budget's preparation deadline.
    // What does not answer by then ends the login with a message naming it;
    // a name that does not exist is left to the driver, which says so.
    void Prepare(sqlserver::SqlServerAddress& target, const LoginBudget& budget) const {
        const std::string& host = target.Host;
        if (!target.Instance.empty()) {
            // The driver itself gives a Browser 16 seconds at most, whatever the time-out.
            const int browserSeconds = std::min(budget.Seconds(), kBrowserSeconds);
            const sqlserver::BrowserAnswer browser = sqlserver::AskBrowser(
                host, target.Instance,
                std::min(budget.PrepareBy(), std::chrono::steady_clock::now() + std::chrono::seconds(browserSeconds)));
            using Result = sqlserver::BrowserAnswer::Result;
            if (browser.Outcome == Result::Port) {
                target.Port = browser.Port;
                target.Instance.clear();
            } else if (browser.Outcome == Result::NoAnswer) {
                throw Error(sqlserver::ExplainUnanswered(
                    {}, login_.Address,
                    "the SQL Server Browser on " + host + " did not answer for the instance " + target.Instance +
                        " within " + std::to_string(browserSeconds) +
                        " seconds; check the host name, that the instance is running and that the SQL Server "
                        "Browser service on that host is running and reachable (UDP port 1434)"));
            } else if (browser.Outcome == Result::NameServerSilent) {
                throw Error(sqlserver::ExplainUnanswered({}, login_.Address, sqlserver::NoAnswerFromNameServer(host)));
            }
            return;
        }
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        if (sqlserver::LookUpHost(host, std::to_string(target.Port), hints, budget.PrepareBy()).Outcome ==
            sqlserver::HostLookup::Result::NoAnswer)
            throw Error(sqlserver::ExplainUnanswered({}, login_.Address, sqlserver::NoAnswerFromNameServer(host)));
    }

    // Windows authentication: the service ticket is put in the credential
    // cache under the budget's preparation deadline, so that the driver
    // finds it there and need not wait on the KDC itself. A KDC that does
    // not answer by then ends the login.
    sqlserver::ServiceTicketCheck FetchServiceTicket(const sqlserver::SqlServerAddress& target,
                                                     const LoginBudget& budget) const {
        sqlserver::LoginFailureFacts facts;
        facts.ClientPrincipal = login_.ClientPrincipal;
        facts.ServicePrincipal = sqlserver::ServicePrincipalFor(target, budget.PrepareBy());
        facts.ServiceTicket = sqlserver::CheckServiceTicket(facts.ServicePrincipal, budget.PrepareBy());
        facts.ServiceTicketChecked = true;
        if (facts.ServiceTicket.Outcome == sqlserver::ServiceTicketCheck::Result::NoAnswer)
            throw Error(sqlserver::ExplainConnectFailure({}, login_.Address, budget.Seconds(), true, facts));
        return facts.ServiceTicket;
    }

    std::vector<ErrorEntry> Diagnostics(SQLSMALLINT type, SQLHANDLE handle) const {
        return sqlserver::ReadDiagnostics(type, handle);
    }

    [[noreturn]] void Fail(SQLSMALLINT type, SQLHANDLE handle, const std::string& summary) const {
        std::vector<ErrorEntry> records = Diagnostics(type, handle);
        records.push_back(ErrorEntry{summary, {}, 0});
        throw Error(std::move(records));
    }

    [[noreturn]] void FailStatement(SQLHANDLE stmt, const Limit& limit) {
        std::vector<ErrorEntry> records = Diagnostics(SQL_HANDLE_STMT, stmt);
        if (records.empty()) records = Diagnostics(SQL_HANDLE_DBC, dbc_.Get());
        const bool deadlinePassed = limit.deadline && limit.deadline->Passed();
        if (deadlinePassed || (limit.seconds > 0 && sqlserver::StatementTimedOut(records))) {
            using sqlserver::TimeoutEnd;
            const TimeoutEnd end = deadlinePassed     ? TimeoutEnd::DeadlineClosed
                                   : ConnectionDead() ? TimeoutEnd::DriverClosed
                                                      : TimeoutEnd::Cancelled;
            if (end != TimeoutEnd::Cancelled) lost_ = true;
            records.push_back(sqlserver::TimeoutEntry(login_.Address, limit.seconds, end));
            throw Error(std::move(records));
        }
        // FreeTDS may describe a connection the server closed only as
        // "Unknown error"; the driver's own view of the connection decides.
        if (sqlserver::ConnectionLost(records) || ConnectionDead()) lost_ = true;
        throw Error(sqlserver::ExplainStatementFailure(std::move(records), login_.Address, lost_));
    }

    bool ConnectionDead() const noexcept {
        SQLUINTEGER dead = SQL_CD_FALSE;
        return SQL_SUCCEEDED(SQLGetConnectAttr(dbc_.Get(), SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
               dead == SQL_CD_TRUE;
    }

    void SetConnectAttribute(SQLINTEGER attribute, SQLULEN value) {
        if (!SQL_SUCCEEDED(SQLSetConnectAttr(dbc_.Get(), attribute, reinterpret_cast<SQLPOINTER>(value), 0)))
            Fail(SQL_HANDLE_DBC, dbc_.Get(), "The ODBC driver refused a connection setting.");
    }

    StatementHandle AllocateStatement() {
        SQLHANDLE stmt = SQL_NULL_HANDLE;
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc_.Get(), &stmt))) {
            std::vector<ErrorEntry> records = Diagnostics(SQL_HANDLE_DBC, dbc_.Get());
            if (sqlserver::ConnectionLost(records)) {
                lost_ = true;
                records.push_back(sqlserver::LostConnectionEntry(login_.Address, false));
            } else {
                records.push_back(ErrorEntry{"The ODBC driver could not prepare a statement.", {}, 0});
            }
            throw Error(std::move(records));
        }
        return StatementHandle(stmt);
    }

    std::vector<Column> DescribeColumns(SQLHANDLE stmt, SQLSMALLINT count, const Limit& limit) {
        std::vector<Column> columns;
        columns.reserve(static_cast<std::size_t>(count));
        for (SQLUSMALLINT number = 1; number <= static_cast<SQLUSMALLINT>(count); ++number) {
            Column column;
            sqlserver::WideText name(256, SQLWCHAR{0});
            SQLSMALLINT nameLength = 0;
            SQLSMALLINT nullable = 0;
            SQLRETURN rc = SQL_SUCCESS;
            for (int attempt = 0; attempt < 2; ++attempt) {
                rc = SQLDescribeColW(stmt, number, name.data(), static_cast<SQLSMALLINT>(name.size()), &nameLength,
                                     &column.Type, &column.Size, &column.Digits, &nullable);
                if (!SQL_SUCCEEDED(rc) || nameLength < static_cast<SQLSMALLINT>(name.size())) break;
                name.assign(static_cast<std::size_t>(nameLength) + 1, SQLWCHAR{0});
            }
            if (!SQL_SUCCEEDED(rc)) FailStatement(stmt, limit);
            column.Name = sqlserver::Utf8FromWide(
                name.data(), std::min(static_cast<std::size_t>(std::max<SQLSMALLINT>(nameLength, 0)), name.size() - 1));
            columns.push_back(std::move(column));
        }
        return columns;
    }

    std::vector<Value> ReadRow(SQLHANDLE stmt, const std::vector<Column>& columns, const Limit& limit) {
        std::vector<Value> row;
        row.reserve(columns.size());
        for (std::size_t i = 0; i < columns.size(); ++i) {
            const auto number = static_cast<SQLUSMALLINT>(i + 1);
            switch (RepresentationOf(columns[i])) {
                case Representation::Integer:
                    row.push_back(ReadFixed<std::int64_t>(stmt, number, SQL_C_SBIGINT, limit));
                    break;
                case Representation::Real:
                    row.push_back(ReadFixed<double>(stmt, number, SQL_C_DOUBLE, limit));
                    break;
                case Representation::Text:
                    row.push_back(ReadText(stmt, number, limit));
                    break;
            }
        }
        return row;
    }

    // A value of fixed size, fetched as cType into a T (SQL_C_SBIGINT into
    // std::int64_t, SQL_C_DOUBLE into double), or null.
    template <class T>
    Value ReadFixed(SQLHANDLE stmt, SQLUSMALLINT number, SQLSMALLINT cType, const Limit& limit) {
        T value{};
        SQLLEN indicator = 0;
        if (!SQL_SUCCEEDED(SQLGetData(stmt, number, cType, &value, sizeof value, &indicator)))
            FailStatement(stmt, limit);
        if (indicator == SQL_NULL_DATA) return Null{};
        return value;
    }

    // Text in pieces, as UTF-16: each call fills the buffer (less its
    // terminating NUL) until the driver reports the value complete. The
    // indicator counts bytes.
    Value ReadText(SQLHANDLE stmt, SQLUSMALLINT number, const Limit& limit) {
        sqlserver::WideText value;
        sqlserver::WideText buffer(32 * 1024, SQLWCHAR{0});
        const auto bufferBytes = static_cast<SQLLEN>(buffer.size() * sizeof(SQLWCHAR));
        while (true) {
            SQLLEN indicator = 0;
            const SQLRETURN rc = SQLGetData(stmt, number, SQL_C_WCHAR, buffer.data(), bufferBytes, &indicator);
            if (rc == SQL_NO_DATA) break;
            if (!SQL_SUCCEEDED(rc)) FailStatement(stmt, limit);
            if (indicator == SQL_NULL_DATA) return Null{};
            const bool truncated = indicator == SQL_NO_TOTAL || indicator >= bufferBytes;
            const std::size_t got =
                truncated ? buffer.size() - 1 : static_cast<std::size_t>(indicator) / sizeof(SQLWCHAR);
            value.append(buffer.data(), got);
            if (rc == SQL_SUCCESS || !truncated) break;
        }
        return sqlserver::Utf8FromWide(value.data(), value.size());
    }

    EnvironmentHandle env_;
    ConnectionHandle dbc_;
    OdbcLogin login_;
    // The connection's TCP socket, when it could be told apart from others.
    std::optional<sqlserver::OpenSocket> socket_;
    bool lost_ = false;
    // The statement Execute is running, for Cancel.
    std::mutex runningMutex_;
    SQLHANDLE running_ = SQL_NULL_HANDLE;
};

}  // namespace

namespace {

OdbcLogin CheckedLogin(const ConnectionProperties& properties, std::int16_t timeoutSeconds) {
    if (timeoutSeconds < 0)
        throw Error("The connection time-out must be 0 (no limit) or a number of seconds, not " +
                    std::to_string(timeoutSeconds) + ".");
    return sqlserver::TranslateConnectionString(properties);
}

}  // namespace

void CheckSqlServer(const ConnectionProperties& properties, std::int16_t timeoutSeconds) {
    CheckedLogin(properties, timeoutSeconds);
}

void StartSqlServer() { sqlserver::StartDriverConfiguration(); }

std::unique_ptr<Connection> OpenSqlServer(const ConnectionProperties& properties, std::int16_t timeoutSeconds) {
    OdbcLogin login = CheckedLogin(properties, timeoutSeconds);
    const int loginSeconds = timeoutSeconds == 0 ? kNoLimitLoginSeconds : timeoutSeconds;
    const LoginBudget budget(std::chrono::steady_clock::now(), loginSeconds);
    if (login.IntegratedSecurity) {
        const std::optional<sqlserver::KerberosCheck> kerberos =
            sqlserver::CheckKerberosCredentials(budget.PrepareBy());
        if (!kerberos)
            throw Error("Windows authentication (Integrated Security=SSPI) to the SQL Server at " +
                        login.Address.Label() + " cannot start: the Kerberos library did not finish reading this " +
                        "user's credentials within " + std::to_string(loginSeconds) +
                        " seconds (the Kerberos realm's KDC does not answer).");
        if (kerberos->Outcome != sqlserver::KerberosCheck::Result::Available)
            throw Error(sqlserver::KerberosCredentialsProblem(*kerberos, login.Address));
        login.ClientPrincipal = kerberos->Principal;
    }
    return std::make_unique<OdbcConnection>(std::move(login), loginSeconds, budget);
}

}  // namespace quellmark::data_access::provider
