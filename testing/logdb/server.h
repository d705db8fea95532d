// The log server's network side: a listening socket on 127.0.0.1 and one
// thread per client connection. Each connection goes PRELOGIN -> LOGIN7 ->
// SQL batches (and attention requests); statements are parsed by tsql.h
// and run on the shared LogStore.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "logdb/log_store.h"

namespace quellmark::logdb {

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
    std::string statsFile;       // append "<microseconds>\t<count|delete|other>\t<rows>" per statement
    bool logStatements = false;  // print each batch's text to stderr
};

// An owned file descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) noexcept : fd_(fd) {}
    ~Fd();
    Fd(Fd&& other) noexcept : fd_(other.Release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const noexcept { return fd_; }
    int Release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_ = -1;
};

class StatsLog;

class Server {
public:
    // Binds and listens; throws std::runtime_error when it cannot.
    Server(ServerOptions options, LogStore& store);
    std::uint16_t Port() const noexcept { return port_; }
    // Accepts connections until the process ends.
    [[noreturn]] void Run();

private:
    ServerOptions options_;
    LogStore& store_;
    std::shared_ptr<StatsLog> stats_;
    Fd listener_;
    std::uint16_t port_ = 0;
};

}  // namespace quellmark::logdb
