// The ATR_Log table in SQLite: created and seeded with repeatable log data,
// then counted, deleted from and inserted into by the statements tsql.h
// builds. One SQLite connection; every call is serialized by the store's
// mutex, which a Transaction holds from its start to its end, as it holds the
// table lock (SQL Server's escalated table lock, held by a delete).
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace quellmark::logdb {

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Owns one sqlite3 connection.
class SqliteDb {
public:
    explicit SqliteDb(const std::string& path);
    ~SqliteDb();
    SqliteDb(const SqliteDb&) = delete;
    SqliteDb& operator=(const SqliteDb&) = delete;
    sqlite3* Get() const noexcept { return db_; }
    void Exec(const std::string& sql);

private:
    sqlite3* db_ = nullptr;
};

// Owns one prepared statement.
class SqliteStatement {
public:
    SqliteStatement(sqlite3* db, const std::string& sql);
    ~SqliteStatement();
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;
    sqlite3_stmt* Get() const noexcept { return stmt_; }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

struct SeedOptions {
    std::uint64_t seed = 1;
    // Rows are spread over the 60 days before this day's midnight (YYYY-MM-DD).
    std::string endDate = "2026-01-01";
};

class LogStore {
public:
    // `file` empty: an in-memory database. `rows` given: the table is
    // replaced by that many freshly seeded rows; absent: a table already in
    // the file is kept as it is, and a new file gets an empty table.
    LogStore(const std::string& file, std::optional<std::int64_t> rows, const SeedOptions& seed);

    // Runs a complete count statement; throws SqlFailure for conversion errors.
    std::int64_t Count(const std::string& sql);
    // Deletes the rows matching `where` ("" = all), at most `limit` of them
    // when given. Returns the number of rows deleted.
    std::int64_t Delete(const std::string& where, std::optional<std::int64_t> limit);
    // One row of ATR_Log as stored; time as 'YYYY-MM-DD hh:mm:ss[.fff]'.
    struct Row {
        std::int64_t logId = 0;
        std::int64_t priority = 0;
        std::string time;
        std::optional<std::string> label, ent, oid, message;
    };
    // The rows matching `where` ("" = all) in log_id order, at most `limit`
    // of them when given; throws SqlFailure for conversion errors.
    std::vector<Row> Rows(const std::string& where, std::optional<std::int64_t> limit);
    // For TOP (p) PERCENT: the number of matching rows.
    std::int64_t CountMatching(const std::string& where);
    // Adds `rows` new rows labelled `label`, the newest of the log.
    void Insert(const std::string& label, std::int64_t rows);
    // Runs a complete INSERT statement; returns the rows inserted. A null
    // for a column that takes none fails with Msg 515, naming the table as
    // in database `database`.
    std::int64_t Append(const std::string& sql, const std::string& database);

    // A request for the table lock. Requests are granted one at a time in the
    // order they were made, as SQL Server's lock manager queues them (a
    // waiting delete is not overtaken by inserts that ask after it). The
    // request leaves the queue, or releases the table, when destroyed.
    class TableLock {
    public:
        TableLock(TableLock&& other) noexcept : store_(std::exchange(other.store_, nullptr)), id_(other.id_) {}
        TableLock& operator=(TableLock&&) = delete;
        ~TableLock();
        // True once the table is this request's; waits up to `wait` for that.
        bool WaitFor(std::chrono::milliseconds wait);

    private:
        friend class LogStore;
        TableLock(LogStore& store, std::uint64_t id) : store_(&store), id_(id) {}
        LogStore* store_;
        std::uint64_t id_;
    };
    TableLock AskForTable();

    // The store to one session, from construction until the object is
    // destroyed: what is deleted meanwhile takes effect only if Commit was
    // called, and is rolled back otherwise.
    class Transaction {
    public:
        // With the table lock granted (TableLock::WaitFor).
        Transaction(LogStore& store, TableLock table);
        ~Transaction();
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;
        void Commit();

    private:
        LogStore& store_;
        TableLock table_;
        std::unique_lock<std::recursive_mutex> lock_;
        bool open_ = true;
    };

private:
    void Seed(std::int64_t rows, const SeedOptions& seed);

    std::recursive_mutex mutex_;  // each use of the SQLite connection

    std::mutex tableMutex_;
    std::condition_variable tableFreed_;
    std::list<std::uint64_t> tableQueue_;  // the first holds the table
    std::uint64_t nextRequest_ = 0;
    SqliteDb db_;
};

}  // namespace quellmark::logdb
