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

#include "logdb/kerberos_acceptor.h"
#include "logdb/tds_wire.h"
#include "logdb/tsql.h"

namespace quellmark::logdb {

// One line per statement, for benchmarks; shared by every connection.
class StatsLog {
public:
    explicit StatsLog(const std::string& path) : file_(path, "statistics file") {}

    void Line(std::int64_t micros, const char* kind, std::int64_t rows) {
        if (!file_.Enabled()) return;
        file_.Line(std::to_string(micros) + '\t' + kind + '\t' + std::to_string(rows));
    }

private:
    LogFile file_;
};

namespace {

constexpr const char* kServerName = "quellmark-logdb";
constexpr std::size_t kMaxLoginBytes = 64 * 1024;
constexpr std::size_t kMaxBatchBytes = 64 * 1024 * 1024;
constexpr std::size_t kLoginPacketSize = 4096;
constexpr int kMaxConnections = 128;

std::atomic<int> gConnections{0};
std::atomic<std::uint16_t> gNextSpid{51};

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::uint32_t NegotiatedVersion(std::uint32_t client) {
    if (client >= version::k74) return version::k74;
    if (client >= 0x730B0003) return 0x730B0003;
    if (client >= 0x730A0003) return 0x730A0003;
    if (client >= version::k72) return version::k72;
    return version::k71;
}

// The client closed the connection, or the server closes it on purpose.
struct Hangup {};

// The ENCRYPTION answer to a client's PRELOGIN, as SQL Server gives it.
std::uint8_t EncryptionAnswer(Encryption server, std::uint8_t client) {
    if (server == Encryption::None) return encrypt::kNotSupported;
    if (client == encrypt::kOn || client == encrypt::kRequired) return encrypt::kOn;
    if (server == Encryption::Forced) return encrypt::kRequired;
    return client == encrypt::kOff ? encrypt::kOff : encrypt::kNotSupported;
}

class Session {
public:
    Session(Fd fd, const ServerOptions& options, LogStore& store, StatsLog& stats, WireLog& wireLog,
            const TlsContext* tls)
        : spid_(NextSpid()),
          channel_(std::move(fd), wireLog, spid_),
          options_(options),
          store_(store),
          stats_(stats),
          tls_(tls) {}

    void Run() {
        try {
            if (options_.hangLogin) {
                Drain();
                return;
            }
            if (!Login()) return;
            Serve();
        } catch (const Hangup&) {
        } catch (const ProtocolError& e) {
            if (options_.logStatements) std::cerr << "connection " << spid_ << " closed: " << e.what() << '\n';
        } catch (const std::exception& e) {
            std::cerr << "connection " << spid_ << " failed: " << e.what() << '\n';
        }
    }

private:
    static std::uint16_t NextSpid() {
        const std::uint16_t spid = gNextSpid++;
        return spid < 51 ? 51 : spid;
    }

    void Drain() {
        std::uint8_t byte = 0;
        while (channel_.Read(&byte, 1)) {
        }
    }

    void Send(TokenWriter& tokens) {
        WriteMessage(channel_, packet::kReply, tokens.Bytes(), packetSize_, spid_);
        tokens.Bytes().clear();
    }

    // PRELOGIN, then the TLS handshake when both sides agreed on
    // encryption. False when the client left.
    bool Prelogin(Message& message) {
        const std::uint8_t answer = EncryptionAnswer(options_.encryption, PreloginEncryption(message.payload));
        WriteMessage(channel_, packet::kReply, PreloginReply(answer), kLoginPacketSize, spid_);
        if (answer != encrypt::kNotSupported) channel_.StartTls(tls_->Get(), spid_, answer == encrypt::kOff);
        return ReadMessage(channel_, message, kMaxLoginBytes);
    }

    // The login name of an integrated-security login, or nullopt when its
    // token is refused (the answer is then written to `tokens`).
    std::optional<std::string> KerberosLoginName(const Login7& login, TokenWriter& tokens) {
        if (options_.kerberosKeytab.empty()) {
            if (options_.logStatements) std::cerr << "connection " << spid_ << ": no --kerberos-keytab\n";
            return std::nullopt;
        }
        const KerberosLogin kerberos = AcceptKerberosToken(options_.kerberosKeytab, login.sspi);
        if (!kerberos.accepted) {
            if (options_.logStatements)
                std::cerr << "connection " << spid_ << ": Kerberos token refused: " << kerberos.problem << '\n';
            return std::nullopt;
        }
        if (!kerberos.answer.empty()) tokens.Sspi(kerberos.answer);
        return LoginNameOf(kerberos.principal);
    }

    bool Login() {
        Message message;
        if (!ReadMessage(channel_, message, kMaxLoginBytes)) return false;
        if (message.type == packet::kPrelogin && !Prelogin(message)) return false;
        if (message.type != packet::kLogin7) throw ProtocolError("expected a LOGIN7 request");
        if (options_.encryption == Encryption::Forced && !channel_.Encrypted())
            throw ProtocolError("a login without encryption, which this server requires");
        Login7 login = ParseLogin7(message.payload);
        if (login.tdsVersion < 0x71000000) throw ProtocolError("TDS versions before 7.1 are not served");
        version_ = NegotiatedVersion(login.tdsVersion);
        database_ = login.database.empty() ? options_.database : login.database;
        TokenWriter tokens(version_);
        packetSize_ = kLoginPacketSize;  // the login reply travels in packets of the initial size
        std::optional<std::string> name = login.userName;
        bool credentialsOk = false;
        if (login.integratedSecurity) {
            name = KerberosLoginName(login, tokens);
            credentialsOk = name.has_value();
        } else {
            credentialsOk = login.password == options_.password;
        }
        std::fill(login.password.begin(), login.password.end(), '\0');
        if (!name) {
            tokens.Error(18452, 1, 14,
                         "Login failed. The login is from an untrusted domain and cannot be used with Integrated "
                         "authentication.",
                         kServerName);
            tokens.Done(done::kError, 0, 0);
            Send(tokens);
            return false;
        }
        credentialsOk = credentialsOk && !options_.refuseLogin && EqualsNoCase(*name, options_.user);
        if (!credentialsOk || !EqualsNoCase(database_, options_.database)) {
            if (credentialsOk)
                tokens.Error(4060, 1, 11,
                             "Cannot open database \"" + database_ + "\" requested by the login. The login failed.",
                             kServerName);
            tokens.Error(18456, 1, 14, "Login failed for user '" + *name + "'.", kServerName);
            tokens.Done(done::kError, 0, 0);
            Send(tokens);
            return false;
        }
        loginName_ = *name;
        database_ = options_.database;
        tokens.EnvChange(1, database_, "master");
        tokens.Info(5701, 2, 0, "Changed database context to '" + database_ + "'.", kServerName);
        tokens.EnvChangeCollation(TokenWriter::kCollation);
        tokens.EnvChange(2, "us_english", "");
        tokens.Info(5703, 1, 0, "Changed language setting to us_english.", kServerName);
        tokens.LoginAck("Microsoft SQL Server", 16, 0, 1000);
        const std::size_t requested =
            login.packetSize == 0 ? kLoginPacketSize : std::clamp<std::size_t>(login.packetSize, 512, 32767);
        const std::string size = std::to_string(requested);
        tokens.EnvChange(4, size, size);
        tokens.Done(0, 0, 0);
        Send(tokens);
        packetSize_ = requested;
        return true;
    }

    void Serve() {
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

    std::string BatchText(const std::vector<std::uint8_t>& payload) const {
        std::size_t skip = 0;
        if (version_ >= version::k72) {
            if (payload.size() < 4) throw ProtocolError("a SQL batch without its headers");
            skip = static_cast<std::size_t>(payload[0]) | (static_cast<std::size_t>(payload[1]) << 8) |
                   (static_cast<std::size_t>(payload[2]) << 16) | (static_cast<std::size_t>(payload[3]) << 24);
            if (skip < 4 || skip > payload.size()) throw ProtocolError("a SQL batch whose headers overrun it");
        }
        return Utf16LeToUtf8(payload.data() + skip, (payload.size() - skip) & ~std::size_t{1});
    }

    static void Errors(TokenWriter& tokens, const SqlFailure& failure) {
        for (const SqlMessage& m : failure.Messages()) tokens.Error(m.number, m.state, m.severity, m.text, kServerName);
    }

    // Whether the client cancelled the statement under way: looks at what
    // has arrived, then waits up to `ms` for an attention. A client that
    // closed the connection throws Hangup.
    bool CancelledWithin(int ms) {
        using Clock = std::chrono::steady_clock;
        const auto until = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            pollfd p{channel_.Socket(), POLLIN, 0};
            const int ready =
                channel_.HasBuffered() ? 1 : ::poll(&p, 1, static_cast<int>(std::max<std::int64_t>(left, 0)));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return false;
            Message message;
            if (!ReadMessage(channel_, message, kMaxBatchBytes)) throw Hangup{};
            if (message.type == packet::kAttention) return true;
            throw ProtocolError("a request arrived while a statement was running");
        }
    }

    // --delay-ms and --count-answer act on a connection's statements after
    // the --faults-after first ones.
    bool FaultsActive() const { return statements_ >= options_.faultsAfter; }

    void Batch(const std::vector<std::uint8_t>& payload, TokenWriter& tokens) {
        if (Run(BatchText(payload), tokens)) Send(tokens);
    }

    // Runs a batch's statements into `tokens`. False when the client
    // cancelled; the reply has then been sent.
    bool Run(const std::string& text, TokenWriter& tokens) {
        if (options_.logStatements) std::cerr << "[" << spid_ << "] " << text.substr(0, 300) << '\n';
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
            // A delete takes effect only once the statement has finished
            // without an attention: a cancelled one is rolled back, as is one
            // whose client has gone.
            const int delayMs = FaultsActive() ? options_.delayMs : 0;
            const std::size_t answered = tokens.Bytes().size();
            std::optional<LogStore::Transaction> transaction;
            if (s.kind == Statement::Kind::Delete) transaction.emplace(store_);
            const auto start = std::chrono::steady_clock::now();
            const char* kind = "other";
            std::int64_t rows = 0;
            std::int64_t rowCount = 0;
            try {
                Execute(s, more, tokens, kind, rows);
                rowCount = rows;
            } catch (const SqlFailure& failure) {
                Errors(tokens, failure);
                tokens.Done(static_cast<std::uint16_t>(more | done::kError), 0, 0);
            }
            const auto waitStart = std::chrono::steady_clock::now();
            if (CancelledWithin(delayMs)) {
                transaction.reset();
                tokens.Bytes().resize(answered);
                tokens.SetInProc(false);
                tokens.Done(done::kAttention, 0, 0);
                Send(tokens);
                return false;
            }
            const auto waited = std::chrono::steady_clock::now() - waitStart;
            if (transaction) transaction->Commit();
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
        }
        return true;
    }

    // The procedures ODBC drivers call for prepared and parameterised
    // statements: sp_executesql, sp_prepare, sp_execute, sp_prepexec and
    // sp_unprepare. Statements with parameters are refused.
    void Rpc(const std::vector<std::uint8_t>& payload, TokenWriter& tokens) {
        RpcCall call;
        try {
            call = ParseRpc(payload, version_ >= version::k72);
        } catch (const UnsupportedRequest& e) {
            RpcFailure(tokens, 50000, std::string("The log server cannot take ") + e.what() + ".");
            return;
        }
        std::uint16_t id = call.procId;
        static const std::pair<const char*, std::uint16_t> kNames[] = {
            {"sp_executesql", 10}, {"sp_prepare", 11}, {"sp_execute", 12}, {"sp_prepexec", 13}, {"sp_unprepare", 15}};
        for (const auto& [name, number] : kNames)
            if (id == 0 && EqualsNoCase(call.procName, name)) id = number;
        const auto param = [&](std::size_t i) -> const RpcParam* {
            return i < call.params.size() ? &call.params[i] : nullptr;
        };
        const auto hasParameters = [&](std::size_t declarations) {
            const RpcParam* p = param(declarations);
            return (p && !p->isNull && p->text.find_first_not_of(" \t\r\n") != std::string::npos) ||
                   call.params.size() > declarations + 1 + (id == 11 || id == 13 ? 1 : 0);
        };
        const auto needText = [&](const RpcParam* p) {
            if (!p || p->isNull || p->isInteger) {
                RpcFailure(tokens, 201, "Procedure expects parameter '@stmt' of type 'ntext/nchar/nvarchar'.");
                return false;
            }
            return true;
        };
        switch (id) {
            case 10: {  // sp_executesql @stmt, @params, values...
                if (!needText(param(0))) return;
                if (hasParameters(1)) return RpcFailure(tokens, 50000, kNoParameters);
                tokens.SetInProc(true);
                if (!Run(param(0)->text, tokens)) return;
                break;
            }
            case 11:    // sp_prepare @handle OUTPUT, @params, @stmt, @options
            case 13: {  // sp_prepexec @handle OUTPUT, @params, @stmt, values...
                if (!needText(param(2))) return;
                if (hasParameters(1)) return RpcFailure(tokens, 50000, kNoParameters);
                const std::int32_t handle = nextHandle_++;
                prepared_.emplace_back(handle, param(2)->text);
                if (id == 13) {
                    tokens.SetInProc(true);
                    if (!Run(param(2)->text, tokens)) return;
                    tokens.SetInProc(false);
                }
                tokens.ReturnStatus(0);
                tokens.ReturnValueInt(0, param(0)->name, handle);
                tokens.DoneProc(0);
                Send(tokens);
                return;
            }
            case 12:    // sp_execute @handle, values...
            case 15: {  // sp_unprepare @handle
                const RpcParam* h = param(0);
                const auto found = std::find_if(prepared_.begin(), prepared_.end(),
                                                [&](const auto& entry) { return h && entry.first == h->integer; });
                if (found == prepared_.end())
                    return RpcFailure(
                        tokens, 8179,
                        "Could not find prepared statement with handle " + std::to_string(h ? h->integer : 0) + ".");
                if (id == 15) {
                    prepared_.erase(found);
                    break;
                }
                if (call.params.size() > 1) return RpcFailure(tokens, 50000, kNoParameters);
                tokens.SetInProc(true);
                const std::string text = found->second;
                if (!Run(text, tokens)) return;
                break;
            }
            default:
                return RpcFailure(tokens, 2812,
                                  "Could not find stored procedure '" +
                                      (call.procName.empty() ? std::to_string(call.procId) : call.procName) + "'.");
        }
        tokens.SetInProc(false);
        tokens.ReturnStatus(0);
        tokens.DoneProc(0);
        Send(tokens);
    }

    static constexpr const char* kNoParameters = "The log server runs statements without parameters only.";

    void RpcFailure(TokenWriter& tokens, std::int32_t number, const std::string& message) {
        tokens.SetInProc(false);
        tokens.Error(number, 1, 16, message, kServerName);
        tokens.DoneProc(done::kError);
        Send(tokens);
    }

    // Counts one statement; true when --drop-after says to close now.
    bool LimitReached() {
        ++statements_;
        return options_.dropAfter && statements_ >= *options_.dropAfter;
    }

    [[noreturn]] void Drop() {
        ::shutdown(channel_.Socket(), SHUT_RDWR);
        throw Hangup{};
    }

    void ApplySet(const Statement& s) {
        if (s.option == "NOCOUNT") noCount_ = s.value == "ON";
        if (s.option == "LOCK_TIMEOUT") lockTimeout_ = std::stoll(s.value);
        if (s.option == "ROWCOUNT") rowCount_ = std::stoll(s.value);
    }

    void Execute(const Statement& s, std::uint16_t more, TokenWriter& tokens, const char*& kind, std::int64_t& rows) {
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
            case Statement::Kind::Delete: {
                kind = "delete";
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
                ++deletes_;
                if (options_.lockFault)
                    if (auto failure = LockFaultFor(*options_.lockFault, deletes_, spid_)) throw SqlFailure(*failure);
                rows = store_.Delete(s.where, limit);
                tokens.Done(static_cast<std::uint16_t>(more | countBit), done::kCmdDelete,
                            static_cast<std::uint64_t>(rows));
                return;
            }
            case Statement::Kind::Probe:
                Probe(s, more, tokens);
                rows = 1;
                return;
            case Statement::Kind::Set:
                return;
        }
    }

    void Probe(const Statement& s, std::uint16_t more, TokenWriter& tokens) {
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
                    if (item.text == "@@SPID") {
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
                        throw SqlFailure(
                            SqlMessage{137, 2, 15, "Must declare the scalar variable \"" + item.text + "\"."});
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

    std::uint16_t spid_;
    Channel channel_;
    const ServerOptions& options_;
    LogStore& store_;
    StatsLog& stats_;
    const TlsContext* tls_;
    std::string loginName_;
    std::uint32_t version_ = version::k74;
    std::size_t packetSize_ = kLoginPacketSize;
    std::string database_;
    std::int64_t statements_ = 0;
    std::vector<std::pair<std::int32_t, std::string>> prepared_;
    std::int32_t nextHandle_ = 1;
    std::int64_t lastRowCount_ = 0;
    std::int64_t rowCount_ = 0;
    std::int64_t deletes_ = 0;
    std::int64_t lockTimeout_ = -1;  // SET LOCK_TIMEOUT; DEADLOCK_PRIORITY is accepted and has no effect here
    bool noCount_ = false;
};

}  // namespace

Server::Server(ServerOptions options, LogStore& store)
    : options_(std::move(options)),
      store_(store),
      stats_(std::make_shared<StatsLog>(options_.statsFile)),
      wireLog_(std::make_shared<WireLog>(options_.wireLog)) {
    if (options_.encryption != Encryption::None) tls_ = std::make_shared<TlsContext>();
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
        auto session = std::make_shared<Session>(std::move(client), options_, store_, *stats_, *wireLog_, tls_.get());
        std::thread([session] {
            session->Run();
            --gConnections;
        }).detach();
    }
}

}  // namespace quellmark::logdb
