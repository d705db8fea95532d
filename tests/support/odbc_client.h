// A minimal ODBC client for driving the log server through FreeTDS's ODBC
// driver in tests: connect, run a statement, read the first value.
#pragma once

#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "harness/logdb_process.h"

namespace quellmark::test {

// The text FreeTDS puts before a server's message.
inline std::string WithoutPrefix(const std::string& message) {
    const std::string prefix = "[FreeTDS][SQL Server]";
    const auto at = message.find(prefix);
    return at == std::string::npos ? message : message.substr(at + prefix.size());
}

struct Diagnostic {
    std::string state;                  // of the first record
    std::string message;                // of the first record
    std::vector<std::string> messages;  // every record's, without the driver's prefix
};

inline Diagnostic Diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
    Diagnostic d;
    for (SQLSMALLINT record = 1; record <= 10; ++record) {
        SQLCHAR state[6] = {};
        SQLCHAR text[1024] = {};
        SQLINTEGER native = 0;
        SQLSMALLINT length = 0;
        if (!SQL_SUCCEEDED(SQLGetDiagRec(type, handle, record, state, &native, text, sizeof text, &length))) break;
        if (record == 1) {
            d.state = reinterpret_cast<char*>(state);
            d.message = reinterpret_cast<char*>(text);
        }
        d.messages.push_back(WithoutPrefix(reinterpret_cast<char*>(text)));
    }
    return d;
}

inline std::string ServerMessage(const Diagnostic& d) { return WithoutPrefix(d.message); }

class Odbc {
public:
    Odbc() {
        SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
        SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
    }
    ~Odbc() {
        if (connected_) SQLDisconnect(dbc_);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
        SQLFreeHandle(SQL_HANDLE_ENV, env_);
    }
    Odbc(const Odbc&) = delete;
    Odbc& operator=(const Odbc&) = delete;

    // Empty on success, else the driver's first diagnostic.
    std::optional<Diagnostic> Connect(const std::string& connectionString, SQLUINTEGER loginTimeout = 10) {
        SQLSetConnectAttr(dbc_, SQL_ATTR_LOGIN_TIMEOUT,
                          reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(loginTimeout)), 0);
        std::string text = connectionString;
        const SQLRETURN rc = SQLDriverConnect(dbc_, nullptr, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS, nullptr,
                                              0, nullptr, SQL_DRIVER_NOPROMPT);
        if (SQL_SUCCEEDED(rc)) {
            connected_ = true;
            return std::nullopt;
        }
        return Diagnostics(SQL_HANDLE_DBC, dbc_);
    }

    struct Result {
        bool ok = false;
        Diagnostic error;
        std::optional<long long> value;  // first column of the first row, if any
        SQLLEN rowCount = -1;
    };

    Result Run(const std::string& sql, bool prepare = false, SQLULEN queryTimeout = 0) {
        SQLHSTMT stmt = SQL_NULL_HSTMT;
        SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt);
        const std::unique_ptr<void, void (*)(void*)> owner(stmt, [](void* h) { SQLFreeHandle(SQL_HANDLE_STMT, h); });
        if (queryTimeout) SQLSetStmtAttr(stmt, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(queryTimeout), 0);
        std::string text = sql;
        SQLRETURN rc;
        if (prepare) {
            rc = SQLPrepare(stmt, reinterpret_cast<SQLCHAR*>(text.data()), static_cast<SQLINTEGER>(text.size()));
            if (SQL_SUCCEEDED(rc)) rc = SQLExecute(stmt);
        } else {
            rc = SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(text.data()), static_cast<SQLINTEGER>(text.size()));
        }
        Result result;
        if (rc == SQL_NO_DATA) {  // a statement without results or a row count
            result.ok = true;
            return result;
        }
        if (!SQL_SUCCEEDED(rc)) {
            result.error = Diagnostics(SQL_HANDLE_STMT, stmt);
            return result;
        }
        result.ok = true;
        SQLRowCount(stmt, &result.rowCount);
        SQLSMALLINT columns = 0;
        SQLNumResultCols(stmt, &columns);
        if (columns > 0 && SQL_SUCCEEDED(SQLFetch(stmt))) {
            SQLBIGINT v = 0;
            SQLLEN indicator = 0;
            if (SQL_SUCCEEDED(SQLGetData(stmt, 1, SQL_C_SBIGINT, &v, 0, &indicator)) && indicator != SQL_NULL_DATA)
                result.value = v;
        }
        return result;
    }

    // An ODBC call escape, "{? = call procedure(...)}": the procedure's
    // return status in `value`, through the bound first parameter.
    Result Call(const std::string& callEscape) {
        SQLHSTMT stmt = SQL_NULL_HSTMT;
        SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt);
        const std::unique_ptr<void, void (*)(void*)> owner(stmt, [](void* h) { SQLFreeHandle(SQL_HANDLE_STMT, h); });
        SQLINTEGER status = 0;
        SQLLEN indicator = 0;
        SQLBindParameter(stmt, 1, SQL_PARAM_OUTPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &status, 0, &indicator);
        std::string text = callEscape;
        SQLRETURN rc =
            SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(text.data()), static_cast<SQLINTEGER>(text.size()));
        Result result;
        if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
            result.error = Diagnostics(SQL_HANDLE_STMT, stmt);
            return result;
        }
        while (SQL_SUCCEEDED(rc)) rc = SQLMoreResults(stmt);  // output parameters arrive last
        result.ok = true;
        if (indicator != SQL_NULL_DATA) result.value = status;
        return result;
    }

    // The first row of a statement's result, each column as text (nullopt
    // for null), with each column's SQL type.
    struct Row {
        bool ok = false;
        Diagnostic error;
        std::vector<std::optional<std::string>> values;
        std::vector<SQLSMALLINT> types;
    };
    Row FirstRow(const std::string& sql) {
        SQLHSTMT stmt = SQL_NULL_HSTMT;
        SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt);
        const std::unique_ptr<void, void (*)(void*)> owner(stmt, [](void* h) { SQLFreeHandle(SQL_HANDLE_STMT, h); });
        std::string text = sql;
        Row row;
        if (!SQL_SUCCEEDED(
                SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(text.data()), static_cast<SQLINTEGER>(text.size())))) {
            row.error = Diagnostics(SQL_HANDLE_STMT, stmt);
            return row;
        }
        row.ok = true;
        SQLSMALLINT columns = 0;
        SQLNumResultCols(stmt, &columns);
        if (columns == 0 || !SQL_SUCCEEDED(SQLFetch(stmt))) return row;
        for (SQLUSMALLINT c = 1; c <= static_cast<SQLUSMALLINT>(columns); ++c) {
            SQLSMALLINT type = 0;
            SQLDescribeCol(stmt, c, nullptr, 0, nullptr, &type, nullptr, nullptr, nullptr);
            row.types.push_back(type);
            char value[256] = {};
            SQLLEN indicator = 0;
            SQLGetData(stmt, c, SQL_C_CHAR, value, sizeof value, &indicator);
            row.values.push_back(indicator == SQL_NULL_DATA ? std::nullopt : std::optional<std::string>(value));
        }
        return row;
    }

    long long Count(const std::string& sql) {
        const Result r = Run(sql);
        EXPECT_TRUE(r.ok) << sql << ": " << r.error.message;
        EXPECT_TRUE(r.value.has_value()) << sql;
        return r.value.value_or(-1);
    }

private:
    SQLHENV env_ = SQL_NULL_HENV;
    SQLHDBC dbc_ = SQL_NULL_HDBC;
    bool connected_ = false;
};

// `extra` is appended to the connection string, e.g. ";ClientCharset=UTF-8"
// for text beyond ASCII through the narrow ODBC calls.
inline std::unique_ptr<Odbc> Connected(const LogDbProcess& server, const std::string& extra = "") {
    auto client = std::make_unique<Odbc>();
    const std::optional<Diagnostic> failure = client->Connect(server.OdbcConnectionString() + extra);
    EXPECT_FALSE(failure) << failure->message;
    return client;
}

}  // namespace quellmark::test
