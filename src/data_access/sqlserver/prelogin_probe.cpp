#include "data_access/sqlserver/prelogin_probe.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <iterator>
#include <memory>

#include "base/addr_info.h"
#include "base/unique_fd.h"

namespace data_access::odbc {
namespace {

using Clock = std::chrono::steady_clock;

using Socket = quellmark::base::UniqueFd;

// Waits for `events` on the socket until the deadline; false on time-out.
bool Wait(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, events, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready > 0) return true;
        if (ready == 0 || errno != EINTR) return false;
    }
}

// A connected, non-blocking socket to host:port, or -1.
int Connect(const std::string& host, int port, Clock::time_point deadline) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -1;
    const quellmark::base::UniqueAddrInfo addresses(found);
    for (const addrinfo* a = found; a; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) continue;
        Socket socket(fd);
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            int error = errno;
            if (error == EINPROGRESS && Wait(fd, POLLOUT, deadline)) {
                socklen_t length = sizeof error;
                if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
            }
            if (error != 0) continue;
        }
        return socket.Release();
    }
    return -1;
}

bool SendAll(int fd, const std::uint8_t* data, std::size_t size, Clock::time_point deadline) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else if (n < 0 && errno == EAGAIN && !Wait(fd, POLLOUT, deadline)) {
            return false;
        }
    }
    return true;
}

bool ReceiveAll(int fd, std::uint8_t* data, std::size_t size, Clock::time_point deadline) {
    while (size > 0) {
        const ssize_t n = ::recv(fd, data, size, 0);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            return false;
        } else if (errno == EAGAIN && !Wait(fd, POLLIN, deadline)) {
            return false;
        }
    }
    return true;
}

// A PRELOGIN request as FreeTDS sends it with Encryption=require: VERSION,
// ENCRYPTION on, no instance name, THREADID, end.
std::vector<std::uint8_t> PreloginRequest() {
    const std::uint8_t options[] = {
        0x00, 0x00, 0x15, 0x00, 0x06,              // VERSION at 21, 6 bytes
        0x01, 0x00, 0x1B, 0x00, 0x01,              // ENCRYPTION at 27, 1 byte
        0x02, 0x00, 0x1C, 0x00, 0x01,              // INSTOPT at 28, 1 byte
        0x03, 0x00, 0x1D, 0x00, 0x04,              // THREADID at 29, 4 bytes
        0xFF, 0x09, 0x00, 0x00, 0x00, 0x00, 0x00,  // version 9.0
        0x01,                                      // ENCRYPT_ON
        0x00,                                      // the default instance
        0x00, 0x00, 0x00, 0x00,
    };
    // Header: PRELOGIN, end of message, length (big endian), SPID 0, packet 1.
    std::vector<std::uint8_t> packet(8 + sizeof options);
    packet[0] = 0x12;
    packet[1] = 0x01;
    packet[2] = static_cast<std::uint8_t>(packet.size() >> 8);
    packet[3] = static_cast<std::uint8_t>(packet.size() & 0xFF);
    packet[6] = 1;
    std::copy(std::begin(options), std::end(options), packet.begin() + 8);
    return packet;
}

// The ENCRYPTION value of a PRELOGIN answer, or -1 when it has none.
int EncryptionAnswer(const std::vector<std::uint8_t>& p) {
    for (std::size_t at = 0; at + 5 <= p.size() && p[at] != 0xFF; at += 5) {
        const std::size_t offset = (static_cast<std::size_t>(p[at + 1]) << 8) | p[at + 2];
        const std::size_t length = (static_cast<std::size_t>(p[at + 3]) << 8) | p[at + 4];
        if (p[at] == 0x01 && length >= 1 && offset < p.size()) return p[offset];
    }
    return -1;
}

}  // namespace

EncryptionOffer ProbeEncryption(const std::string& host, int port, int timeoutSeconds) {
    const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    const Socket socket(Connect(host, port, deadline));
    if (socket.Get() < 0) return EncryptionOffer::Unknown;
    const std::vector<std::uint8_t> request = PreloginRequest();
    if (!SendAll(socket.Get(), request.data(), request.size(), deadline)) return EncryptionOffer::Unknown;
    std::uint8_t header[8];
    if (!ReceiveAll(socket.Get(), header, sizeof header, deadline) || header[0] != 0x04)
        return EncryptionOffer::Unknown;
    const std::size_t length = (static_cast<std::size_t>(header[2]) << 8) | header[3];
    if (length <= sizeof header) return EncryptionOffer::Unknown;
    std::vector<std::uint8_t> answer(length - sizeof header);
    if (!ReceiveAll(socket.Get(), answer.data(), answer.size(), deadline)) return EncryptionOffer::Unknown;
    switch (EncryptionAnswer(answer)) {
        case 0x00:  // login only
        case 0x01:  // on
        case 0x03:  // required
            return EncryptionOffer::Offered;
        case 0x02:
            return EncryptionOffer::NotOffered;
        default:
            return EncryptionOffer::Unknown;
    }
}

}  // namespace data_access::odbc
