// The log server's network side: a listening socket on 127.0.0.1 and one
// thread per client connection (a Session, session.h). Each connection goes
// PRELOGIN (and the TLS handshake, channel.h) -> LOGIN7 (a SQL login, or a
// Kerberos token, kerberos_acceptor.h) -> SQL batches (and attention
// requests); statements are parsed by tsql.h and run on the shared LogStore.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "logdb/app_locks.h"
#include "logdb/channel.h"
#include "logdb/log_space.h"
#include "logdb/log_store.h"
#include "logdb/server_options.h"

namespace quellmark::logdb {

class StatsLog;

class Server {
public:
    // Binds and listens; throws std::runtime_error when it cannot.
    Server(ServerOptions options, LogStore& store);
    std::uint16_t Port() const noexcept { return port_; }
    // The SHA-256 fingerprint of the certificate it presents; empty without TLS.
    std::string CertificateSha256() const { return tls_ ? tls_->Sha256() : std::string(); }
    // Accepts connections until the process ends.
    [[noreturn]] void Run();

private:
    ServerOptions options_;
    LogStore& store_;
    std::shared_ptr<StatsLog> stats_;
    std::shared_ptr<WireLog> wireLog_;
    std::shared_ptr<LogFile> loginLog_;
    std::shared_ptr<TlsContext> tls_;                                    // null with Encryption::None
    std::shared_ptr<AppLocks> appLocks_ = std::make_shared<AppLocks>();  // sp_getapplock, shared by the sessions
    std::shared_ptr<RowCost> rowCost_;
    std::shared_ptr<TransactionLog> log_;
    Fd listener_;
    std::uint16_t port_ = 0;
};

}  // namespace quellmark::logdb
