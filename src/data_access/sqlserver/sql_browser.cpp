#include "data_access/sqlserver/sql_browser.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "base/unique_fd.h"
#include "data_access/sqlserver/host_lookup.h"

namespace quellmark::data_access::sqlserver {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kBrowserPort = "1434";
constexpr std::uint8_t kUnicastInstanceRequest = 0x04;
constexpr std::uint8_t kServerResponse = 0x05;
// UDP may lose the request or the answer: it is sent again this often.
constexpr auto kResend = std::chrono::milliseconds(1000);

}  // namespace

int TcpPortFromBrowserReply(const std::uint8_t* reply, std::size_t size, const std::string& instance) {
    if (size < 3 || reply[0] != kServerResponse) return 0;
    const std::size_t length = reply[1] | (static_cast<std::size_t>(reply[2]) << 8);
    // A cut answer could end inside the port's digits.
    if (length > size - 3) return 0;
    const std::string_view text(reinterpret_cast<const char*>(reply + 3), length);
    // Pairs of name;value, one instance after another, each ended by ";;".
    std::vector<std::string_view> parts;
    for (std::size_t at = 0; at <= text.size();) {
        const std::size_t end = std::min(text.find(';', at), text.size());
        parts.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    bool ours = false;
    for (std::size_t i = 0; i < parts.size();) {
        if (parts[i].empty()) {  // the end of one instance's pairs
            ours = false;
            ++i;
            continue;
        }
        if (i + 1 >= parts.size()) break;
        const std::string name(parts[i]);
        const std::string value(parts[i + 1]);
        if (quellmark::base::EqualsIgnoreCase(name, "InstanceName"))
            ours = quellmark::base::EqualsIgnoreCase(value, instance);
        if (ours && quellmark::base::EqualsIgnoreCase(name, "tcp")) {
            int port = 0;
            for (char c : value) {
                if (c < '0' || c > '9' || port > 65535) return 0;
                port = port * 10 + (c - '0');
            }
            return port >= 1 && port <= 65535 ? port : 0;
        }
        i += 2;
    }
    return 0;
}

BrowserAnswer AskBrowser(const std::string& host, const std::string& instance, Clock::time_point deadline) {
    BrowserAnswer answer;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    const HostLookup lookup = LookUpHost(host, kBrowserPort, hints, deadline);
    if (lookup.Outcome != HostLookup::Result::Found) {
        answer.Outcome = lookup.Outcome == HostLookup::Result::NoAnswer ? BrowserAnswer::Result::NameServerSilent
                                                                        : BrowserAnswer::Result::HostUnknown;
        return answer;
    }
    std::vector<std::uint8_t> request{kUnicastInstanceRequest};
    request.insert(request.end(), instance.begin(), instance.end());
    request.push_back(0);

    // One socket per address the name has, all asked at once.
    std::vector<quellmark::base::UniqueFd> sockets;
    for (const addrinfo* a = lookup.Addresses.get(); a; a = a->ai_next) {
        quellmark::base::UniqueFd fd(::socket(a->ai_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (fd && ::connect(fd.Get(), a->ai_addr, a->ai_addrlen) == 0) sockets.push_back(std::move(fd));
    }
    if (sockets.empty()) return answer;
    auto resendAt = Clock::now();
    std::vector<pollfd> polled;
    for (;;) {
        const auto now = Clock::now();
        if (now >= deadline) return answer;
        if (now >= resendAt) {
            for (const auto& fd : sockets) ::send(fd.Get(), request.data(), request.size(), MSG_NOSIGNAL);
            resendAt = now + kResend;
        }
        polled.clear();
        for (const auto& fd : sockets) polled.push_back(pollfd{fd.Get(), POLLIN, 0});
        const auto until = std::min(deadline, resendAt);
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1;
        if (::poll(polled.data(), polled.size(), static_cast<int>(wait)) <= 0) continue;
        for (const pollfd& p : polled) {
            if (p.revents == 0) continue;
            std::uint8_t reply[4096];
            // An ICMP refusal shows as an error here; the other addresses may still answer.
            const ssize_t n = ::recv(p.fd, reply, sizeof reply, 0);
            if (n <= 0) continue;
            answer.Port = TcpPortFromBrowserReply(reply, static_cast<std::size_t>(n), instance);
            answer.Outcome = answer.Port ? BrowserAnswer::Result::Port : BrowserAnswer::Result::NoTcp;
            return answer;
        }
    }
}

}  // namespace quellmark::data_access::sqlserver
