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

// The poll loop of one Run: the connections open and how many were accepted.
class FaultProxy::Loop {
public:
    explicit Loop(FaultProxy& proxy) : proxy_(proxy) {}

    void Run(const std::atomic<bool>& stop) {
        while (!stop.load()) {
            const std::optional<Clock::time_point> wake = DeliverAll(Clock::now());
            PollSet set = Watch();
            const int ready = ::poll(set.fds.data(), set.fds.size(), PollTimeout(wake));
            if (ready < 0) {
                if (errno == EINTR) continue;
                throw SystemError("poll");
            }
            ReadReady(set);
            if (set.fds[0].revents & POLLIN) Accept();
        }
        for (auto& c : connections_) Finish(*c, Abort::Close, "proxy stopped");
    }

private:
    // The descriptors polled, the listener first, and for each other the
    // connection and whether it is that connection's client side.
    struct PollSet {
        std::vector<pollfd> fds;
        std::vector<std::pair<Connection*, bool>> owners;
    };

    void Say(const Connection& c, const std::string& text) const {
        if (proxy_.log_) proxy_.log_(std::to_string(MonotonicMs()) + " conn " + std::to_string(c.number) + " " + text);
    }

    void Finish(Connection& c, Abort abort, const std::string& how) const {
        if (c.finished) return;
        if (abort == Abort::Reset) {
            ResetSocket(c.client);
            ResetSocket(c.server);
        } else {
            c.client.Reset();
            c.server.Reset();
        }
        c.finished = true;
        Say(c, "end to-server " + std::to_string(c.up.delivered) + " to-client " + std::to_string(c.down.delivered) +
                   " " + how);
    }

    void Strike(Connection& c, Flow& f, Clock::time_point now) const {
        c.struck = true;
        Say(c, "fault " + std::string(KindName(c.fault.kind)) + " " + std::string(DirectionName(f.direction)) + " at " +
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
                Finish(c, Abort::Reset, "reset by the fault");
                break;
            case FaultKind::Close:
                Finish(c, Abort::Close, "closed by the fault");
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
    }

    // Delivers what may go of every connection, ends those both ends have
    // closed and lets the finished go; returns the first moment one must be
    // looked at again (nullopt: when its descriptors are ready).
    std::optional<Clock::time_point> DeliverAll(Clock::time_point now) {
        std::optional<Clock::time_point> wake;
        for (auto& c : connections_) {
            for (Flow* f : {&c->up, &c->down}) {
                const auto at = Deliver(*c, *f, now);
                if (at && (!wake || *at < *wake)) wake = at;
            }
            if (!c->finished && c->up.shutDown && c->down.shutDown) Finish(*c, Abort::Close, "closed by both ends");
        }
        connections_.remove_if([](const std::unique_ptr<Connection>& c) { return c->finished; });
        return wake;
    }

    // Delivers what may go now; returns the moment it must be looked at
    // again (nullopt: when its descriptors are ready).
    std::optional<Clock::time_point> Deliver(Connection& c, Flow& f, Clock::time_point now) const {
        const bool faultHere = c.fault.kind != FaultKind::None && c.fault.direction == f.direction;
        while (!c.finished && !c.blackHole && !f.pending.empty()) {
            if (faultHere && !c.struck && f.delivered == c.fault.afterBytes) {
                Strike(c, f, now);
                continue;
            }
            if (f.stallUntil) {
                if (now < *f.stallUntil) return *f.stallUntil;
                f.stallUntil.reset();
                Say(c, "stall over " + std::string(DirectionName(f.direction)));
            }
            Chunk& chunk = f.pending.front();
            if (f.latency && now < chunk.readAt + *f.latency) return chunk.readAt + *f.latency;
            std::size_t n = chunk.bytes.size() - chunk.offset;
            if (f.toDrop > 0) {
                Drop(f, chunk, n);
                continue;
            }
            if (faultHere && !c.struck) n = std::min<std::uint64_t>(n, c.fault.afterBytes - f.delivered);
            if (f.drip) {
                if (now < f.nextDrip) return f.nextDrip;
                n = 1;
            }
            if (!Send(c, f, chunk, n)) return std::nullopt;
            if (f.drip) f.nextDrip = now + *f.drip;
        }
        if (!c.finished && !c.blackHole && f.pending.empty() && f.sourceEnded && !f.shutDown) {
            ::shutdown(c.ToFd(f), SHUT_WR);
            f.shutDown = true;
        }
        return std::nullopt;
    }

    // Leaves out what a cut still drops of the first chunk's `n` bytes.
    static void Drop(Flow& f, Chunk& chunk, std::size_t n) {
        const std::size_t drop = std::min<std::size_t>(n, f.toDrop);
        f.toDrop -= static_cast<std::uint32_t>(drop);
        chunk.offset += drop;
        f.pendingBytes -= drop;
        if (chunk.offset == chunk.bytes.size()) f.pending.pop_front();
    }

    // Sends up to `n` bytes of the first chunk; false when nothing more can
    // go now (the far side is full, or gone and the connection finished).
    bool Send(Connection& c, Flow& f, Chunk& chunk, std::size_t n) const {
        const ssize_t sent = ::send(c.ToFd(f), chunk.bytes.data() + chunk.offset, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return false;
            Finish(c, Abort::Reset, std::string(DirectionName(f.direction)) + " peer gone");
            return false;
        }
        chunk.offset += static_cast<std::size_t>(sent);
        f.pendingBytes -= static_cast<std::size_t>(sent);
        f.delivered += static_cast<std::uint64_t>(sent);
        if (chunk.offset == chunk.bytes.size()) f.pending.pop_front();
        return true;
    }

    // The listener and both sides of every connection, each with the events
    // it is waited for.
    PollSet Watch() const {
        PollSet set;
        set.fds.push_back({proxy_.listener_.Get(), POLLIN, 0});
        set.owners.emplace_back(nullptr, false);
        for (const auto& c : connections_) {
            for (const bool clientSide : {true, false}) {
                const Flow& out = clientSide ? c->up : c->down;  // read from this side
                const Flow& in = clientSide ? c->down : c->up;   // written to this side
                short events = out.sourceEnded ? 0 : POLLRDHUP;
                if (!c->blackHole) {
                    if (!out.sourceEnded && out.pendingBytes < kMaxPending) events |= POLLIN;
                    if (!in.pending.empty()) events |= POLLOUT;
                }
                set.fds.push_back({clientSide ? c->client.Get() : c->server.Get(), events, 0});
                set.owners.emplace_back(c.get(), clientSide);
            }
        }
        return set;
    }

    // At most 50 ms, and no later than `wake`.
    static int PollTimeout(const std::optional<Clock::time_point>& wake) {
        if (!wake) return 50;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*wake - Clock::now()).count();
        return static_cast<int>(std::clamp<long long>(left, 0, 50));
    }

    // Reads from every connection's side that poll found ready.
    void ReadReady(const PollSet& set) const {
        for (std::size_t i = 1; i < set.fds.size(); ++i) {
            Connection& c = *set.owners[i].first;
            if (c.finished || set.fds[i].revents == 0) continue;
            const bool clientSide = set.owners[i].second;
            if (c.blackHole) {
                // Nothing moves; the connection goes once the client gives up.
                if (clientSide) {
                    Finish(c, Abort::Close, "client left the black hole");
                } else if (c.server) {
                    c.server.Reset();
                    Say(c, "server left the black hole");
                }
                continue;
            }
            Flow& out = clientSide ? c.up : c.down;
            if (set.fds[i].revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) {
                if (!out.sourceEnded) Receive(c, out);
            }
        }
    }

    void Receive(Connection& c, Flow& f) const {
        std::vector<std::uint8_t> buffer(kReadSize);
        const ssize_t got = ::recv(c.FromFd(f), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
            Finish(c, Abort::Reset, std::string(DirectionName(f.direction)) + " source reset");
            return;
        }
        if (got == 0) {
            f.sourceEnded = true;
            return;
        }
        buffer.resize(static_cast<std::size_t>(got));
        // The client's bytes as it sends them, whatever the fault does to them.
        if (&f == &c.up && c.login.Feed(buffer.data(), buffer.size()))
            Say(c, "login-done at " + std::to_string(f.received));
        f.received += buffer.size();
        f.pendingBytes += buffer.size();
        f.pending.push_back(Chunk{std::move(buffer), 0, Clock::now()});
    }

    // Takes a waiting client and connects it to the target, with its plan.
    void Accept() {
        UniqueFd client(::accept4(proxy_.listener_.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!client) return;
        auto c = std::make_unique<Connection>();
        c->number = accepted_++;
        c->fault = proxy_.faults_ ? proxy_.faults_(c->number) : Fault{};
        c->client = std::move(client);
        c->server.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        target.sin_port = htons(proxy_.targetPort_);
        Say(*c, "open plan " + Describe(c->fault));
        if (!c->server || ::connect(c->server.Get(), reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
            Finish(*c, Abort::Reset, "target refused");
            return;
        }
        const int one = 1;
        ::setsockopt(c->server.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ::setsockopt(c->client.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ::fcntl(c->server.Get(), F_SETFL, ::fcntl(c->server.Get(), F_GETFL) | O_NONBLOCK);
        connections_.push_back(std::move(c));
    }

    FaultProxy& proxy_;
    std::list<std::unique_ptr<Connection>> connections_;
    int accepted_ = 0;
};

void FaultProxy::Run(const std::atomic<bool>& stop) { Loop(*this).Run(stop); }

}  // namespace quellmark::faultproxy
