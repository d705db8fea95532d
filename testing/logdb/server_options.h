// How the log server is set up: its port, database and login, its TLS, and
// the fault switches and cost models the tests and benchmarks turn on.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "logdb/lock_faults.h"
#include "logdb/log_space.h"

namespace quellmark::logdb {

// What the server answers to a client's PRELOGIN encryption wish, as a SQL
// Server with a certificate (Login: "force encryption" off; Forced: on) or,
// unlike any SQL Server since 2005, without one (None).
enum class Encryption {
    Login,   // the login in TLS; the rest too if the client asks
    Forced,  // everything in TLS
    None,    // no TLS: encryption not supported
};

struct ServerOptions {
    std::uint16_t port = 0;  // 0: any free port
    std::string database;
    std::string user;
    std::string password;
    // Fault switches. Only statements other than SET count and are delayed.
    // A statement takes delayMs longer to finish; an attention meanwhile
    // cancels it and rolls it back.
    int delayMs = 0;
    std::int64_t faultsAfter = 0;           // delayMs and countAnswer spare a connection's first statements
    std::optional<std::int64_t> dropAfter;  // close the connection after this many statements
    bool refuseLogin = false;               // every login fails with error 18456
    bool hangLogin = false;                 // never answer PRELOGIN or LOGIN7
    // How a count is answered: "" the number; "none" the column without a
    // row (as a grouped count matching nothing); "null" a row holding null.
    std::string countAnswer;
    std::string statsFile;     // append "<microseconds>\t<count|delete|other>\t<rows>" per statement
    std::string statementLog;  // append each batch's text, and how each session ended
    // After a connection's `after`-th statement, `rows` new rows labelled
    // `label` arrive in ATR_Log (as events logged while a client works).
    struct Arrival {
        std::int64_t after = 0;
        std::int64_t rows = 0;
        std::string label;
    };
    std::optional<Arrival> arrival;
    bool logStatements = false;  // print each batch's text to stderr
    Encryption encryption = Encryption::Login;
    std::string wireLog;          // hex dump of every byte received, before decryption
    std::string kerberosKeytab;   // accept integrated-security logins with these service keys
    std::string certificateFile;  // PEM; empty: a self-signed certificate made at start
    std::string keyFile;          // PEM, with certificateFile
    std::string loginLog;         // "<spid> <login name> sql|kerberos" per LOGIN7 received

    // Every n-th delete of a connection fails with Msg 1205 or 1222.
    std::optional<LockFault> lockFault;

    // What a delete costs (log_space.h): its time per row, for the whole
    // delete with the table held, and its rows' space in the transaction log.
    std::int64_t rowCostMicros = 0;
    std::optional<RowCost::Later> rowCostLater;
    TransactionLog::Settings log;
    // sys.dm_db_log_space_usage is refused for want of VIEW SERVER STATE.
    bool denyLogView = false;
};

}  // namespace quellmark::logdb
