#include "faultproxy/proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <list>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

namespace quellmark::faultproxy {

std::int64_t MonotonicMs() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

namespace {

using Clock = std::chrono::steady_clock;
using base::UniqueFd;

constexpr std::size_t kReadSize = 16 * 1024;
constexpr std::size_t kMaxPending = 256 * 1024;  // reading stops while this much waits

std::runtime_error SystemError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

// Closes with RST instead of FIN.
void ResetSocket(UniqueFd& fd) noexcept {
    if (!fd) return;
    const linger abort{1, 0};
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    fd.Reset();
}

struct Chunk {
    std::vector<std::uint8_t> bytes;
    std::size_t offset = 0;
    Clock::time_point readAt;
};

// One direction of a connection: bytes read from `from`, waiting, then
// delivered to `to`.
struct Flow {
    explicit Flow(Direction d) : direction(d) {}
    Direction direction;
    std::deque<Chunk> pending;
    std::size_t pendingBytes = 0;
    std::uint64_t delivered = 0;
    std::uint64_t received = 0;
    bool sourceEnded = false;  // `from` sent its FIN
    bool shutDown = false;     // our FIN went on to `to`
    // The fault's state once it struck in this direction.
    std::optional<std::chrono::milliseconds> latency;
    std::optional<Clock::time_point> stallUntil;
    std::optional<std::chrono::milliseconds> drip;
    Clock::time_point nextDrip{};
    std::uint32_t toDrop = 0;
};

// Follows the client's stream unit by unit, a TDS packet (PRELOGIN, the TLS
// handshake inside PRELOGIN packets, a batch) or a bare TLS record, to tell
// when the login is over: the login travels in the first bare TLS record, and
// the unit after it is the first request of the logged-in session.
class LoginWatch {
public:
    // Takes the bytes delivered; true once, at the first byte of that first request.
    bool Feed(const std::uint8_t* bytes, std::size_t n) {
        bool done = false;
        for (std::size_t i = 0; i < n; ++i) {
            if (left_ == 0 && have_ == 0) done |= UnitStarts(bytes[i]);
            if (left_ > 0) {
                --left_;
                continue;
            }
            header_[have_++] = bytes[i];
            if (have_ == 5) {
                const bool tls = header_[0] >= 0x14 && header_[0] <= 0x17;
                const std::size_t length = tls ? 5u + (header_[3] << 8 | header_[4]) : (header_[2] << 8 | header_[3]);
                left_ = length > 5 ? length - 5 : 0;
                have_ = 0;
            }
        }
        return done;
    }

private:
    bool UnitStarts(std::uint8_t type) {
        if (loggedIn_) return false;
        const bool tls = type >= 0x14 && type <= 0x17;
        if (bareRecords_ > 0) {
            loggedIn_ = true;
            return true;
        }
        if (tls) ++bareRecords_;
        return false;
    }
    std::uint8_t header_[5] = {};
    std::size_t have_ = 0;
    std::size_t left_ = 0;
    int bareRecords_ = 0;
    bool loggedIn_ = false;
};

}  // namespace

struct FaultProxy::Connection {
    int number = 0;
    Fault fault;
    bool struck = false;
    bool blackHole = false;
    bool finished = false;
    std::string how;  // how it ended
    UniqueFd client;
    UniqueFd server;
    Flow up = Flow(Direction::ToServer);
    Flow down = Flow(Direction::ToClient);
    LoginWatch login;

    int FromFd(const Flow& f) const { return &f == &up ? client.Get() : server.Get(); }
    int ToFd(const Flow& f) const { return &f == &up ? server.Get() : client.Get(); }
};

namespace {

// Why a connection must end at once, with the way the far side is told.
enum class Abort { None, Reset, Close };

}  // namespace

FaultProxy::FaultProxy(std::uint16_t targetPort, FaultSource faults, ProxyLog log)
    : targetPort_(targetPort), faults_(std::move(faults)), log_(std::move(log)) {
    listener_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listener_) throw SystemError("socket");
    const int one = 1;
    ::setsockopt(listener_.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) throw SystemError("bind");
    if (::listen(listener_.Get(), 16) != 0) throw SystemError("listen");
    socklen_t length = sizeof address;
    if (::getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw SystemError("getsockname");
    port_ = ntohs(address.sin_port);
}

FaultProxy::~FaultProxy() = default;

void FaultProxy::Run(const std::atomic<bool>& stop) {
    std::list<std::unique_ptr<Connection>> connections;
    int accepted = 0;

    const auto say = [this](const Connection& c, const std::string& text) {
        if (log_) log_(std::to_string(MonotonicMs()) + " conn " + std::to_string(c.number) + " " + text);
    };
    const auto finish = [&](Connection& c, Abort abort, const std::string& how) {
        if (c.finished) return;
        if (abort == Abort::Reset) {
            ResetSocket(c.client);
            ResetSocket(c.server);
        } else {
            c.client.Reset();
            c.server.Reset();
        }
        c.finished = true;
        say(c, "end to-server " + std::to_string(c.up.delivered) + " to-client " + std::to_string(c.down.delivered) +
                   " " + how);
    };
    const auto strike = [&](Connection& c, Flow& f, Clock::time_point now) {
        c.struck = true;
        say(c, "fault " + std::string(KindName(c.fault.kind)) + " " + std::string(DirectionName(f.direction)) + " at " +
                   std::to_string(f.delivered));
        switch (c.fault.kind) {
            case FaultKind::Latency:
                f.latency = c.fault.time;
                break;
            case FaultKind::Stall:
                f.stallUntil = now + c.fault.time;
                break;
            case FaultKind::BlackHole:
                c.blackHole = true;
                break;
            case FaultKind::Reset:
                finish(c, Abort::Reset, "reset by the fault");
                break;
            case FaultKind::Close:
                finish(c, Abort::Close, "closed by the fault");
                break;
            case FaultKind::Drip:
                f.drip = c.fault.time;
                f.nextDrip = now;
                break;
            case FaultKind::Cut:
                f.toDrop = c.fault.cutBytes;
                break;
            case FaultKind::None:
                break;
        }
    };
    // Delivers what may go now; returns the moment it must be looked at
    // again (nullopt: when its descriptors are ready).
    const auto deliver = [&](Connection& c, Flow& f, Clock::time_point now) -> std::optional<Clock::time_point> {
        const bool faultHere = c.fault.kind != FaultKind::None && c.fault.direction == f.direction;
        while (!c.finished && !c.blackHole && !f.pending.empty()) {
            if (faultHere && !c.struck && f.delivered == c.fault.afterBytes) {
                strike(c, f, now);
                continue;
            }
            if (f.stallUntil) {
                if (now < *f.stallUntil) return *f.stallUntil;
                f.stallUntil.reset();
                say(c, "stall over " + std::string(DirectionName(f.direction)));
            }
            Chunk& chunk = f.pending.front();
            if (f.latency && now < chunk.readAt + *f.latency) return chunk.readAt + *f.latency;
            std::size_t n = chunk.bytes.size() - chunk.offset;
            if (f.toDrop > 0) {
                const std::size_t drop = std::min<std::size_t>(n, f.toDrop);
                f.toDrop -= static_cast<std::uint32_t>(drop);
                chunk.offset += drop;
                f.pendingBytes -= drop;
                if (chunk.offset == chunk.bytes.size()) f.pending.pop_front();
                continue;
            }
            if (faultHere && !c.struck) n = std::min<std::uint64_t>(n, c.fault.afterBytes - f.delivered);
            if (f.drip) {
                if (now < f.nextDrip) return f.nextDrip;
                n = 1;
            }
            const ssize_t sent = ::send(c.ToFd(f), chunk.bytes.data() + chunk.offset, n, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return std::nullopt;
                finish(c, Abort::Reset, std::string(DirectionName(f.direction)) + " peer gone");
                return std::nullopt;
            }
            chunk.offset += static_cast<std::size_t>(sent);
            f.pendingBytes -= static_cast<std::size_t>(sent);
            f.delivered += static_cast<std::uint64_t>(sent);
            if (chunk.offset == chunk.bytes.size()) f.pending.pop_front();
            if (f.drip) f.nextDrip = now + *f.drip;
        }
        if (!c.finished && !c.blackHole && f.pending.empty() && f.sourceEnded && !f.shutDown) {
            ::shutdown(c.ToFd(f), SHUT_WR);
            f.shutDown = true;
        }
        return std::nullopt;
    };
    const auto receive = [&](Connection& c, Flow& f) {
        std::vector<std::uint8_t> buffer(kReadSize);
        const ssize_t got = ::recv(c.FromFd(f), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
            finish(c, Abort::Reset, std::string(DirectionName(f.direction)) + " source reset");
            return;
        }
        if (got == 0) {
            f.sourceEnded = true;
            return;
        }
        buffer.resize(static_cast<std::size_t>(got));
        // The client's bytes as it sends them, whatever the fault does to them.
        if (&f == &c.up && c.login.Feed(buffer.data(), buffer.size()))
            say(c, "login-done at " + std::to_string(f.received));
        f.received += buffer.size();
        f.pendingBytes += buffer.size();
        f.pending.push_back(Chunk{std::move(buffer), 0, Clock::now()});
    };

    while (!stop.load()) {
        const Clock::time_point now = Clock::now();
        std::optional<Clock::time_point> wake;
        for (auto& c : connections) {
            for (Flow* f : {&c->up, &c->down}) {
                const auto at = deliver(*c, *f, now);
                if (at && (!wake || *at < *wake)) wake = at;
            }
            if (!c->finished && c->up.shutDown && c->down.shutDown) finish(*c, Abort::Close, "closed by both ends");
        }
        connections.remove_if([](const std::unique_ptr<Connection>& c) { return c->finished; });

        std::vector<pollfd> fds{{listener_.Get(), POLLIN, 0}};
        std::vector<std::pair<Connection*, bool>> owners{{nullptr, false}};  // (connection, client side)
        for (auto& c : connections) {
            for (const bool clientSide : {true, false}) {
                Flow& out = clientSide ? c->up : c->down;  // read from this side
                Flow& in = clientSide ? c->down : c->up;   // written to this side
                short events = out.sourceEnded ? 0 : POLLRDHUP;
                if (!c->blackHole) {
                    if (!out.sourceEnded && out.pendingBytes < kMaxPending) events |= POLLIN;
                    if (!in.pending.empty()) events |= POLLOUT;
                }
                fds.push_back({clientSide ? c->client.Get() : c->server.Get(), events, 0});
                owners.emplace_back(c.get(), clientSide);
            }
        }
        int timeout = 50;
        if (wake) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*wake - Clock::now()).count();
            timeout = static_cast<int>(std::clamp<long long>(left, 0, 50));
        }
        const int ready = ::poll(fds.data(), fds.size(), timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            throw SystemError("poll");
        }
        for (std::size_t i = 1; i < fds.size(); ++i) {
            Connection& c = *owners[i].first;
            if (c.finished || fds[i].revents == 0) continue;
            const bool clientSide = owners[i].second;
            if (c.blackHole) {
                // Nothing moves; the connection goes once the client gives up.
                if (clientSide) {
                    finish(c, Abort::Close, "client left the black hole");
                } else if (c.server) {
                    c.server.Reset();
                    say(c, "server left the black hole");
                }
                continue;
            }
            Flow& out = clientSide ? c.up : c.down;
            if (fds[i].revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) {
                if (!out.sourceEnded) receive(c, out);
            }
        }
        if (fds[0].revents & POLLIN) {
            UniqueFd client(::accept4(listener_.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
            if (client) {
                auto c = std::make_unique<Connection>();
                c->number = accepted++;
                c->fault = faults_ ? faults_(c->number) : Fault{};
                c->client = std::move(client);
                c->server.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
                sockaddr_in target{};
                target.sin_family = AF_INET;
                target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                target.sin_port = htons(targetPort_);
                say(*c, "open plan " + Describe(c->fault));
                if (!c->server ||
                    ::connect(c->server.Get(), reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
                    finish(*c, Abort::Reset, "target refused");
                } else {
                    const int one = 1;
                    ::setsockopt(c->server.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    ::setsockopt(c->client.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    ::fcntl(c->server.Get(), F_SETFL, ::fcntl(c->server.Get(), F_GETFL) | O_NONBLOCK);
                    connections.push_back(std::move(c));
                }
            }
        }
    }
    for (auto& c : connections) finish(*c, Abort::Close, "proxy stopped");
}

}  // namespace quellmark::faultproxy
