// One client connection of the log server: the login (PRELOGIN, TLS, LOGIN7,
// session_login.cpp) and then its batches, RPC requests and attentions
// (server.cpp). Only the server's own sources include this header.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/text.h"
#include "logdb/app_locks.h"
#include "logdb/channel.h"
#include "logdb/log_file.h"
#include "logdb/log_space.h"
#include "logdb/log_store.h"
#include "logdb/server_options.h"
#include "logdb/tds_wire.h"
#include "logdb/tsql.h"

namespace quellmark::logdb {

inline constexpr const char* kServerName = "quellmark-logdb";
inline constexpr std::size_t kMaxLoginBytes = 64 * 1024;
inline constexpr std::size_t kMaxBatchBytes = 64 * 1024 * 1024;
inline constexpr std::size_t kLoginPacketSize = 4096;

// One line per statement, for benchmarks, and the statement log, for tests:
// "<connection>\tlogin" once a login succeeded, "<connection>\tbatch\t<text>"
// (\\, \n, \r and \t escaped) per batch, then "<connection>\tleft" when the
// client closed the connection or "<connection>\tdropped" when the server
// did. Shared by every connection.
class StatsLog {
public:
    StatsLog(const std::string& path, const std::string& statementPath)
        : file_(path, "statistics file"), statements_(statementPath, "statement log") {}

    void Line(std::int64_t micros, const char* kind, std::int64_t rows) {
        if (!file_.Enabled()) return;
        file_.Line(std::to_string(micros) + '\t' + kind + '\t' + std::to_string(rows));
    }

    void Batch(std::uint16_t spid, std::string_view text) {
        if (!statements_.Enabled()) return;
        std::string line = std::to_string(spid) + "\tbatch\t";
        for (char c : text) {
            const char* escaped = c == '\\'   ? "\\\\"
                                  : c == '\n' ? "\\n"
                                  : c == '\r' ? "\\r"
                                  : c == '\t' ? "\\t"
                                              : nullptr;
            if (escaped) {
                line += escaped;
            } else {
                line += c;
            }
        }
        statements_.Line(line);
    }
    void Event(std::uint16_t spid, const char* what) { statements_.Line(std::to_string(spid) + '\t' + what); }

private:
    LogFile file_;
    LogFile statements_;
};

// The client closed the connection, or the server closes it on purpose.
struct Hangup {
    bool byServer = false;
};

class Session {
public:
    Session(Fd fd, const ServerOptions& options, LogStore& store, StatsLog& stats, WireLog& wireLog, LogFile& loginLog,
            const TlsContext* tls, AppLocks& appLocks, RowCost& rowCost, TransactionLog& log)
        : spid_(NextSpid()),
          channel_(std::move(fd), wireLog, spid_),
          options_(options),
          store_(store),
          stats_(stats),
          loginLog_(loginLog),
          tls_(tls),
          appLocks_(appLocks),
          rowCost_(rowCost),
          log_(log) {}

    void Run() {
        // The application locks of the session go with it, however it ends,
        // before its end is logged.
        struct ReleaseLocks {
            AppLocks& locks;
            std::uint16_t spid;
            ~ReleaseLocks() { locks.ReleaseAll(spid); }
        };
        try {
            {
                const ReleaseLocks releaseLocks{appLocks_, spid_};
                if (options_.hangLogin) {
                    Drain();
                    return;
                }
                if (!Login()) return;
                Serve();
            }
            stats_.Event(spid_, "left");
        } catch (const Hangup& hangup) {
            stats_.Event(spid_, hangup.byServer ? "dropped" : "left");
        } catch (const ProtocolError& e) {
            if (options_.logStatements) std::cerr << "connection " << spid_ << " closed: " << e.what() << '\n';
        } catch (const std::exception& e) {
            std::cerr << "connection " << spid_ << " failed: " << e.what() << '\n';
        }
    }

private:
    static std::uint16_t NextSpid();

    void Drain();

    void Send(TokenWriter& tokens);

    // PRELOGIN, then the TLS handshake when both sides agreed on
    // encryption. False when the client left.
    bool Prelogin(Message& message);

    // The login name of an integrated-security login, or nullopt when its
    // token is refused (the answer is then written to `tokens`).
    std::optional<std::string> KerberosLoginName(const Login7& login, TokenWriter& tokens);

    bool Login();

    void Serve();

    std::string BatchText(const std::vector<std::uint8_t>& payload) const;

    static void Errors(TokenWriter& tokens, const SqlFailure& failure);

    // Whether the client cancelled the statement under way: looks at what
    // has arrived, then waits up to `wait` for an attention. A client that
    // closed the connection throws Hangup.
    bool CancelledWithin(std::chrono::microseconds wait);

    // Waits for the table lock as a statement waits for a lock held by
    // another: until it is free (returned), the client cancels (nullopt),
    // or SET LOCK_TIMEOUT runs out (SqlFailure, Msg 1222).
    std::optional<LogStore::TableLock> WaitForTable();

    // --delay-ms and --count-answer act on a connection's statements after
    // the --faults-after first ones.
    bool FaultsActive() const { return statements_ >= options_.faultsAfter; }

    void Batch(const std::vector<std::uint8_t>& payload, TokenWriter& tokens);

    // Runs a batch's statements into `tokens`. False when the client
    // cancelled; the reply has then been sent.
    bool Run(const std::string& text, TokenWriter& tokens);
    // One statement of the batch that is neither SET nor DECLARE, with its
    // wait for the table, its delays and its commit. False when the client
    // cancelled; the reply has then been sent.
    bool RunStatement(const Statement& s, std::uint16_t more, TokenWriter& tokens);

    // The procedures ODBC drivers call for prepared and parameterised
    // statements: sp_executesql, sp_prepare, sp_execute, sp_prepexec and
    // sp_unprepare. Statements with parameters are refused.
    void Rpc(const std::vector<std::uint8_t>& payload, TokenWriter& tokens);

    // The prepared statements of the session: handle and text.
    using PreparedStatements = std::vector<std::pair<std::int32_t, std::string>>;

    // Each answers one procedure's call, its DONEPROC included.
    void ExecuteSql(const RpcCall& call, TokenWriter& tokens);
    // sp_prepare, or sp_prepexec when `execute`.
    void Prepare(const RpcCall& call, bool execute, TokenWriter& tokens);
    void ExecutePrepared(const RpcCall& call, TokenWriter& tokens);
    void Unprepare(const RpcCall& call, TokenWriter& tokens);
    void RpcAppLock(const RpcCall& call, TokenWriter& tokens);

    // Whether @stmt is text; false once Msg 201 has been answered.
    bool NeedStatementText(const RpcParam* statement, TokenWriter& tokens);
    // The statement prepared under the handle in the call's first parameter;
    // prepared_.end() once Msg 8179 has been answered.
    PreparedStatements::iterator FindPrepared(const RpcCall& call, TokenWriter& tokens);
    // The end of a procedure's answer: return status 0, DONEPROC, sent.
    void RpcDone(TokenWriter& tokens);

    static constexpr const char* kNoParameters = "The log server runs statements without parameters only.";

    void RpcFailure(TokenWriter& tokens, std::int32_t number, const std::string& message);

    // Counts one statement; true when --drop-after says to close now.
    bool LimitReached();

    [[noreturn]] void Drop();

    void ApplySet(const Statement& s);

    void Execute(const Statement& s, std::uint16_t more, TokenWriter& tokens, const char*& kind, std::int64_t& rows);

    void Probe(const Statement& s, std::uint16_t more, TokenWriter& tokens);
    // sys.dm_db_log_space_usage or sys.databases, from the transaction log.
    void LogView(const Statement& s, std::uint16_t more, TokenWriter& tokens);
    std::optional<std::int64_t> Limit(const Statement& s);

    // DECLARE: the batch's variables.
    void Declare(const Statement& s);
    // A value with the batch's variables replaced.
    ProcArgument Resolve(const ExecArgument& argument) const;
    // EXEC of sp_getapplock or sp_releaseapplock: its messages, return
    // status and DONEPROC; the return status in the status variable.
    void Exec(const Statement& s, std::uint16_t more, TokenWriter& tokens);
    // sp_getapplock / sp_releaseapplock with bound arguments: the return value.
    int CallAppLock(std::string_view procedure, const std::vector<ProcArgument>& arguments, TokenWriter& tokens);

    // A variable of the batch: a number, a text or null.
    struct Variable {
        bool isText = false;
        bool isNull = true;
        std::int64_t integer = 0;
        std::string text;
    };
    void Assign(Variable& variable, const ProcArgument& value) const;

    std::uint16_t spid_;
    Channel channel_;
    const ServerOptions& options_;
    LogStore& store_;
    StatsLog& stats_;
    LogFile& loginLog_;
    const TlsContext* tls_;
    AppLocks& appLocks_;
    RowCost& rowCost_;
    TransactionLog& log_;
    std::map<std::string, Variable> variables_;  // the batch's, by name in upper case
    std::string loginName_;
    std::uint32_t version_ = version::k74;
    std::size_t packetSize_ = kLoginPacketSize;
    std::string database_;
    std::int64_t statements_ = 0;
    PreparedStatements prepared_;
    std::int32_t nextHandle_ = 1;
    std::int64_t lastRowCount_ = 0;
    std::int64_t rowCount_ = 0;
    std::int64_t deletes_ = 0;
    std::int64_t lockTimeout_ = -1;  // SET LOCK_TIMEOUT; DEADLOCK_PRIORITY is accepted and has no effect here
    bool noCount_ = false;
};

}  // namespace quellmark::logdb
