#include "harness/drip_proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace quellmark::test {
namespace {

using quellmark::base::UniqueFd;
constexpr std::size_t kTdsHeader = 8;

// Waits for input on `fd` or the stop pipe, at most `wait` (-1: no limit);
// false when the proxy is ending.
bool WaitFor(int fd, int stop, int waitMs, bool& readable) {
    pollfd p[2] = {{fd, POLLIN, 0}, {stop, POLLIN, 0}};
    readable = false;
    for (;;) {
        const int n = ::poll(p, 2, waitMs);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || (p[1].revents & POLLIN)) return false;
        readable = n > 0 && p[0].revents != 0;
        return true;
    }
}

bool SendAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

DripProxy::DripProxy(std::uint16_t serverPort, Drip drip, std::chrono::milliseconds pause)
    : serverPort_(serverPort), drip_(drip), pause_(pause) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("drip proxy: no pipe");
    stopRead_.Reset(pipeFds[0]);
    stopWrite_.Reset(pipeFds[1]);
    listener_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (!listener_ || ::bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_.Get(), 16) != 0 ||
        ::getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error(std::string("drip proxy: cannot listen: ") + std::strerror(errno));
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { Accept(); });
}

DripProxy::~DripProxy() {
    const char stop = 's';
    [[maybe_unused]] const ssize_t written = ::write(stopWrite_.Get(), &stop, 1);
    acceptor_.join();
    const std::lock_guard lock(mutex_);
    for (std::thread& relay : relays_) relay.join();
}

void DripProxy::Accept() {
    for (;;) {
        bool readable = false;
        if (!WaitFor(listener_.Get(), stopRead_.Get(), -1, readable)) return;
        UniqueFd client(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client) continue;
        const std::lock_guard lock(mutex_);
        relays_.emplace_back([this, fd = client.Release()] { Relay(UniqueFd(fd)); });
    }
}

void DripProxy::Relay(UniqueFd client) {
    UniqueFd server(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(serverPort_);
    if (!server || ::connect(server.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return;

    // The server's bytes not yet passed on, and how many have been.
    std::vector<std::uint8_t> pending;
    std::size_t passed = 0;
    std::vector<std::uint8_t> head;  // the server's first bytes, up to 4
    std::size_t firstMessage = 0;    // known once the first header has come
    auto nextDrip = std::chrono::steady_clock::now();
    for (;;) {
        const bool dripping = drip_ == Drip::Everything || firstMessage == 0 || passed < firstMessage;
        int waitMs = -1;
        if (!pending.empty()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(nextDrip - std::chrono::steady_clock::now());
            waitMs = dripping ? static_cast<int>(std::max<std::int64_t>(left.count(), 0)) : 0;
        }
        pollfd p[3] = {{client.Get(), POLLIN, 0}, {server.Get(), POLLIN, 0}, {stopRead_.Get(), POLLIN, 0}};
        const int n = ::poll(p, 3, waitMs);
        if (n < 0 && errno != EINTR) return;
        if (p[2].revents) return;
        std::uint8_t buffer[16384];
        if (p[0].revents) {
            const ssize_t got = ::recv(client.Get(), buffer, sizeof buffer, 0);
            if (got <= 0 || !SendAll(server.Get(), buffer, static_cast<std::size_t>(got))) return;
        }
        if (p[1].revents) {
            const ssize_t got = ::recv(server.Get(), buffer, sizeof buffer, 0);
            if (got <= 0 && pending.empty()) return;
            if (got > 0) pending.insert(pending.end(), buffer, buffer + got);
            // The first packet's length, from its header (bytes 2 and 3).
            for (ssize_t i = 0; i < got && head.size() < 4; ++i) head.push_back(buffer[i]);
            if (firstMessage == 0 && head.size() == 4)
                firstMessage = std::max<std::size_t>((std::size_t{head[2]} << 8) | head[3], kTdsHeader);
        }
        if (pending.empty()) continue;
        if (!dripping) {
            if (!SendAll(client.Get(), pending.data(), pending.size())) return;
            passed += pending.size();
            pending.clear();
        } else if (std::chrono::steady_clock::now() >= nextDrip) {
            if (!SendAll(client.Get(), pending.data(), 1)) return;
            pending.erase(pending.begin());
            ++passed;
            nextDrip = std::chrono::steady_clock::now() + pause_;
        }
    }
}

}  // namespace quellmark::test
