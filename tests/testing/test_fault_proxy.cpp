// The fault proxy: its plans, and each fault played byte-exactly on a
// loopback connection between a test client and a test server.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_fd.h"
#include "faultproxy/fault_plan.h"
#include "faultproxy/proxy.h"
#include "gtest/gtest.h"

namespace {

using namespace quellmark::faultproxy;
using quellmark::base::UniqueFd;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

UniqueFd Listener(std::uint16_t& port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(::listen(fd.Get(), 4), 0);
    socklen_t n = sizeof a;
    ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&a), &n);
    port = ntohs(a.sin_port);
    return fd;
}

UniqueFd Connect(std::uint16_t port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    EXPECT_EQ(::connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return fd;
}

void SendAll(int fd, const std::string& text) {
    ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

// What arrives on `fd` within `limit`: the bytes, and how the stream ended.
struct Received {
    std::string bytes;
    bool eof = false;
    bool reset = false;
    std::vector<Clock::time_point> arrivals;  // one per read
};

Received ReadFor(int fd, std::chrono::milliseconds limit, std::size_t enough = ~std::size_t{0}) {
    Received r;
    const auto until = Clock::now() + limit;
    while (r.bytes.size() < enough) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n == 0) {
            r.eof = true;
            break;
        }
        if (n < 0) {
            r.reset = errno == ECONNRESET;
            break;
        }
        r.bytes.append(buffer, static_cast<std::size_t>(n));
        r.arrivals.push_back(Clock::now());
    }
    return r;
}

int OpenDescriptors() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

// A proxy on its own thread in front of a listener of the test, with the
// given fault on the first connection; the log kept in memory.
class ProxyFixture {
public:
    explicit ProxyFixture(Fault fault, Fault second = {})
        : target_(Listener(targetPort_)),
          proxy_(
              targetPort_, [fault, second](int n) { return n == 0 ? fault : second; },
              [this](const std::string& line) {
                  const std::lock_guard lock(mutex_);
                  log_.push_back(line);
              }),
          thread_([this] { proxy_.Run(stop_); }) {}
    ~ProxyFixture() {
        stop_ = true;
        thread_.join();
    }

    // A client through the proxy and the server's end of that connection.
    std::pair<UniqueFd, UniqueFd> Open() {
        UniqueFd client = Connect(proxy_.Port());
        UniqueFd server(::accept4(target_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        return {std::move(client), std::move(server)};
    }
    std::vector<std::string> Log() {
        const std::lock_guard lock(mutex_);
        return log_;
    }
    // Waits until a log line contains `text`.
    bool Logged(const std::string& text, std::chrono::milliseconds limit = 2000ms) {
        const auto until = Clock::now() + limit;
        while (Clock::now() < until) {
            for (const std::string& line : Log())
                if (line.find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }

private:
    std::uint16_t targetPort_ = 0;
    UniqueFd target_;
    std::mutex mutex_;
    std::vector<std::string> log_;
    std::atomic<bool> stop_{false};
    FaultProxy proxy_;
    std::thread thread_;
};

Fault Make(FaultKind kind, Direction direction, std::uint64_t after, std::chrono::milliseconds time = 0ms,
           std::uint32_t cut = 0) {
    Fault f;
    f.kind = kind;
    f.direction = direction;
    f.afterBytes = after;
    f.time = time;
    f.cutBytes = cut;
    return f;
}

TEST(FaultPlan, TheSameSeedGivesTheSamePlansAndSeedsCoverEveryFault) {
    std::set<FaultKind> kinds;
    std::set<Direction> directions;
    int zero = 0, large = 0, laterConnectionsFaulted = 0;
    for (std::uint64_t seed = 1; seed <= 400; ++seed) {
        const Fault first = PlanFault(seed, 0);
        EXPECT_EQ(Describe(first), Describe(PlanFault(seed, 0)));
        EXPECT_NE(first.kind, FaultKind::None) << "the first connection always gets a fault";
        EXPECT_LE(first.afterBytes, 3000u);
        kinds.insert(first.kind);
        directions.insert(first.direction);
        zero += first.afterBytes == 0;
        large += first.afterBytes > 2000;
        laterConnectionsFaulted += PlanFault(seed, 1).kind != FaultKind::None;
        if (first.kind == FaultKind::Cut) {
            EXPECT_GE(first.cutBytes, 1u);
        }
        if (first.kind == FaultKind::Stall || first.kind == FaultKind::Drip || first.kind == FaultKind::Latency) {
            EXPECT_GT(first.time.count(), 0);
        }
    }
    EXPECT_EQ(kinds.size(), 7u);
    EXPECT_EQ(directions.size(), 2u);
    EXPECT_GT(zero, 10);   // before the first byte
    EXPECT_GT(large, 40);  // past the login, among statements and replies
    EXPECT_GT(laterConnectionsFaulted, 40);
    EXPECT_LT(laterConnectionsFaulted, 200);
    EXPECT_NE(Describe(PlanFault(1, 0)) + Describe(PlanFault(2, 0)) + Describe(PlanFault(3, 0)),
              Describe(PlanFault(4, 0)) + Describe(PlanFault(5, 0)) + Describe(PlanFault(6, 0)));
    EXPECT_EQ(Describe(Make(FaultKind::Drip, Direction::ToClient, 1234, 12ms)),
              "drip to-client after 1234 bytes, 12 ms a byte");
}

TEST(FaultProxy, ForwardsBothWaysUntouchedWithoutAFaultAndLogsTheConnection) {
    ProxyFixture proxy(Fault{});
    auto [client, server] = proxy.Open();
    SendAll(client.Get(), "hello server");
    EXPECT_EQ(ReadFor(server.Get(), 2s, 12).bytes, "hello server");
    SendAll(server.Get(), "hello client");
    EXPECT_EQ(ReadFor(client.Get(), 2s, 12).bytes, "hello client");
    client.Reset();
    EXPECT_TRUE(ReadFor(server.Get(), 2s).eof);
    server.Reset();
    EXPECT_TRUE(proxy.Logged("conn 0 end to-server 12 to-client 12"));
    EXPECT_TRUE(proxy.Logged("conn 0 open plan none"));
}

TEST(FaultProxy, CloseAndResetStrikeAtTheirByte) {
    {
        ProxyFixture proxy(Make(FaultKind::Close, Direction::ToClient, 10));
        auto [client, server] = proxy.Open();
        SendAll(server.Get(), std::string(100, 'x'));
        const Received r = ReadFor(client.Get(), 2s);
        EXPECT_EQ(r.bytes, std::string(10, 'x'));
        EXPECT_TRUE(r.eof);
        EXPECT_TRUE(proxy.Logged("conn 0 fault close to-client at 10"));
    }
    {
        ProxyFixture proxy(Make(FaultKind::Reset, Direction::ToServer, 5));
        auto [client, server] = proxy.Open();
        SendAll(client.Get(), "0123456789abcdef");
        const Received atServer = ReadFor(server.Get(), 2s);
        EXPECT_EQ(atServer.bytes, "01234");
        EXPECT_TRUE(atServer.reset) << "the server must see a reset, not a clean end";
        EXPECT_TRUE(ReadFor(client.Get(), 2s).reset);
    }
}

TEST(FaultProxy, CutLeavesBytesOutAndGoesOn) {
    ProxyFixture proxy(Make(FaultKind::Cut, Direction::ToServer, 4, 0ms, 3));
    auto [client, server] = proxy.Open();
    SendAll(client.Get(), "abcdefghij");
    EXPECT_EQ(ReadFor(server.Get(), 2s, 7).bytes, "abcdhij");
    SendAll(client.Get(), "KLM");
    EXPECT_EQ(ReadFor(server.Get(), 2s, 3).bytes, "KLM");
    SendAll(server.Get(), "back");  // the other way is untouched
    EXPECT_EQ(ReadFor(client.Get(), 2s, 4).bytes, "back");
}

TEST(FaultProxy, StallHoldsOneDirectionForItsTimeThenDeliversEverything) {
    ProxyFixture proxy(Make(FaultKind::Stall, Direction::ToClient, 3, 400ms));
    auto [client, server] = proxy.Open();
    const auto sent = Clock::now();
    SendAll(server.Get(), "abcdefgh");
    const Received first = ReadFor(client.Get(), 300ms);
    EXPECT_EQ(first.bytes, "abc");
    SendAll(client.Get(), "up");  // the other direction still moves during the stall
    EXPECT_EQ(ReadFor(server.Get(), 200ms, 2).bytes, "up");
    const Received rest = ReadFor(client.Get(), 2s, 5);
    EXPECT_EQ(rest.bytes, "defgh");
    ASSERT_FALSE(rest.arrivals.empty());
    EXPECT_GE(rest.arrivals.front() - sent, 390ms);
}

TEST(FaultProxy, DripDeliversOneByteAtATimeAndLatencyHoldsEveryChunk) {
    {
        ProxyFixture proxy(Make(FaultKind::Drip, Direction::ToServer, 2, 30ms));
        auto [client, server] = proxy.Open();
        const auto sent = Clock::now();
        SendAll(client.Get(), "abcdef");
        const Received r = ReadFor(server.Get(), 3s, 6);
        EXPECT_EQ(r.bytes, "abcdef");
        EXPECT_GE(r.arrivals.size(), 4u) << "the bytes after the second came one by one";
        EXPECT_GE(r.arrivals.back() - sent, 3 * 30ms);
    }
    {
        ProxyFixture proxy(Make(FaultKind::Latency, Direction::ToClient, 0, 150ms));
        auto [client, server] = proxy.Open();
        for (const char* text : {"one", "two"}) {
            const auto sent = Clock::now();
            SendAll(server.Get(), text);
            const Received r = ReadFor(client.Get(), 2s, 3);
            EXPECT_EQ(r.bytes, text);
            ASSERT_FALSE(r.arrivals.empty());
            EXPECT_GE(r.arrivals.front() - sent, 140ms);
        }
    }
}

TEST(FaultProxy, ABlackHoleMovesNothingEitherWayUntilTheClientLeaves) {
    ProxyFixture proxy(Make(FaultKind::BlackHole, Direction::ToServer, 2));
    auto [client, server] = proxy.Open();
    SendAll(client.Get(), "abcdef");
    const Received atServer = ReadFor(server.Get(), 400ms);
    EXPECT_EQ(atServer.bytes, "ab");
    EXPECT_FALSE(atServer.eof);
    SendAll(server.Get(), "reply");
    const Received atClient = ReadFor(client.Get(), 400ms);
    EXPECT_EQ(atClient.bytes, "");
    EXPECT_FALSE(atClient.eof || atClient.reset) << "the socket stays open";
    client.Reset();
    const Received end = ReadFor(server.Get(), 2s);
    EXPECT_TRUE(end.eof || end.reset) << "the proxy lets the server go once the client has left";
    EXPECT_TRUE(proxy.Logged("client left the black hole"));
}

// A TDS packet of `type` with `body` bytes, or a bare TLS record.
std::string TdsPacket(char type, std::size_t body) {
    const std::size_t length = 8 + body;
    std::string p = {type, 1, static_cast<char>(length >> 8), static_cast<char>(length & 0xFF), 0, 0, 1, 0};
    return p + std::string(body, 'p');
}
std::string TlsRecord(char type, std::size_t body) {
    std::string r = {type, 3, 3, static_cast<char>(body >> 8), static_cast<char>(body & 0xFF)};
    return r + std::string(body, 'r');
}

TEST(FaultProxy, TellsWhenTheClientsLoginIsOver) {
    ProxyFixture proxy(Fault{});
    auto [client, server] = proxy.Open();
    // PRELOGIN, the handshake in PRELOGIN packets (a TLS record inside), the
    // login in the first bare TLS record, split over two writes.
    const std::string login = TdsPacket(0x12, 40) + TdsPacket(0x12, 300) + TlsRecord(0x17, 700);
    SendAll(client.Get(), login.substr(0, 500));
    SendAll(client.Get(), login.substr(500));
    EXPECT_EQ(ReadFor(server.Get(), 2s, login.size()).bytes.size(), login.size());
    EXPECT_FALSE(proxy.Logged("login-done", 200ms)) << "the login itself is not its end";
    SendAll(client.Get(), TlsRecord(0x17, 90));  // the first statement
    EXPECT_TRUE(proxy.Logged("conn 0 login-done at " + std::to_string(login.size())));
    SendAll(client.Get(), TlsRecord(0x17, 90));
    std::this_thread::sleep_for(100ms);
    int lines = 0;
    for (const std::string& line : proxy.Log()) lines += line.find("login-done") != std::string::npos;
    EXPECT_EQ(lines, 1);
}

TEST(FaultProxy, LaterConnectionsGetTheirOwnPlanAndNoDescriptorOutlivesAConnection) {
    const int before = OpenDescriptors();
    {
        ProxyFixture proxy(Fault{}, Make(FaultKind::Close, Direction::ToServer, 1));
        for (int round = 0; round < 2; ++round) {
            auto [client, server] = proxy.Open();
            SendAll(client.Get(), "xyz");
            const Received r = ReadFor(server.Get(), 1s, 3);
            EXPECT_EQ(r.bytes, round == 0 ? "xyz" : "x");
            client.Reset();
            server.Reset();
            EXPECT_TRUE(proxy.Logged("conn " + std::to_string(round) + " end"));
        }
        // The proxy's own listener remains while it runs; the connections' four descriptors are gone.
        EXPECT_EQ(OpenDescriptors(), before + 2);
    }
    EXPECT_EQ(OpenDescriptors(), before);
}

}  // namespace
