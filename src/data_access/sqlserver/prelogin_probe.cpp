#include "data_access/sqlserver/prelogin_probe.h"

#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <iterator>
#include <memory>

#include "base/unique_fd.h"
#include "data_access/sqlserver/host_lookup.h"
#include "data_access/sqlserver/openssl_free.h"

namespace quellmark::data_access::sqlserver {
namespace {

using Clock = std::chrono::steady_clock;
using Socket = quellmark::base::UniqueFd;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kPrelogin = 0x12;
constexpr std::uint8_t kReply = 0x04;
constexpr std::size_t kHeader = 8;
// A PRELOGIN packet as FreeTDS sends them during the handshake.
constexpr std::size_t kPacketSize = 4096;
// The whole handshake of a server with a long chain stays far below this.
constexpr std::size_t kMaxHandshakeBytes = 256 * 1024;

using SslContextPtr = std::unique_ptr<SSL_CTX, OpenSslFree<SSL_CTX_free>>;
using SslPtr = std::unique_ptr<SSL, OpenSslFree<SSL_free>>;

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

// A connected, non-blocking socket to host:port, or none.
Socket Connect(const std::string& host, int port, Clock::time_point deadline) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    const HostLookup lookup = LookUpHost(host, std::to_string(port), hints, deadline);
    if (lookup.Outcome != HostLookup::Result::Found) return Socket();
    for (const addrinfo* a = lookup.Addresses.get(); a; a = a->ai_next) {
        Socket socket(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol));
        if (!socket) continue;
        if (::connect(socket.Get(), a->ai_addr, a->ai_addrlen) != 0) {
            int error = errno;
            if (error == EINPROGRESS && Wait(socket.Get(), POLLOUT, deadline)) {
                socklen_t length = sizeof error;
                if (::getsockopt(socket.Get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
            }
            if (error != 0) continue;
        }
        return socket;
    }
    return Socket();
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

// One TDS packet: the 8-byte header, then `payload`.
Bytes Packet(std::uint8_t type, const std::uint8_t* payload, std::size_t size, bool last) {
    Bytes packet(kHeader + size);
    packet[0] = type;
    packet[1] = last ? 0x01 : 0x00;
    packet[2] = static_cast<std::uint8_t>(packet.size() >> 8);
    packet[3] = static_cast<std::uint8_t>(packet.size() & 0xFF);
    packet[6] = 1;
    std::copy(payload, payload + size, packet.begin() + kHeader);
    return packet;
}

// A PRELOGIN request as FreeTDS sends it with Encryption=require: VERSION,
// ENCRYPTION on, no instance name, THREADID, end.
Bytes PreloginRequest() {
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
    return Packet(kPrelogin, options, sizeof options, true);
}

// The payload of one whole message (its packets up to end of message), or
// false when none comes before the deadline or it grows past `limit`.
bool ReadMessage(int fd, std::uint8_t& type, Bytes& payload, std::size_t limit, Clock::time_point deadline) {
    payload.clear();
    for (;;) {
        std::uint8_t header[kHeader];
        if (!ReceiveAll(fd, header, sizeof header, deadline)) return false;
        const std::size_t length = (static_cast<std::size_t>(header[2]) << 8) | header[3];
        if (length < kHeader || payload.size() + length > limit) return false;
        type = header[0];
        const std::size_t at = payload.size();
        payload.resize(at + length - kHeader);
        if (!ReceiveAll(fd, payload.data() + at, length - kHeader, deadline)) return false;
        if (header[1] & 0x01) return true;
    }
}

// The ENCRYPTION value of a PRELOGIN answer, or -1 when it has none.
int EncryptionAnswer(const Bytes& p) {
    for (std::size_t at = 0; at + 5 <= p.size() && p[at] != 0xFF; at += 5) {
        const std::size_t offset = (static_cast<std::size_t>(p[at + 1]) << 8) | p[at + 2];
        const std::size_t length = (static_cast<std::size_t>(p[at + 3]) << 8) | p[at + 4];
        if (p[at] == 0x01 && length >= 1 && offset < p.size()) return p[offset];
    }
    return -1;
}

// Sends what TLS wrote, in PRELOGIN packets.
bool SendFlight(int fd, BIO* out, Clock::time_point deadline) {
    Bytes flight;
    char buffer[4096];
    for (int n; (n = BIO_read(out, buffer, sizeof buffer)) > 0;) flight.insert(flight.end(), buffer, buffer + n);
    for (std::size_t at = 0; at < flight.size();) {
        const std::size_t size = std::min(flight.size() - at, kPacketSize - kHeader);
        const Bytes packet = Packet(kPrelogin, flight.data() + at, size, at + size == flight.size());
        if (!SendAll(fd, packet.data(), packet.size(), deadline)) return false;
        at += size;
    }
    return true;
}

// The client's side of the handshake, the certificate accepted whatever it
// is: it is judged afterwards, and nothing but the handshake is sent.
std::vector<Certificate> Handshake(int fd, Clock::time_point deadline, std::string& problem) {
    const SslContextPtr context(SSL_CTX_new(TLS_client_method()));
    // As the driver: TLS 1.2 at most inside TDS 7.x packets.
    if (!context || SSL_CTX_set_max_proto_version(context.get(), TLS1_2_VERSION) != 1) {
        problem = "TLS cannot be set up";
        return {};
    }
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
    const SslPtr ssl(SSL_new(context.get()));
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    if (!ssl || !in || !out) {
        BIO_free(in);
        BIO_free(out);
        problem = "TLS cannot be set up";
        return {};
    }
    SSL_set_bio(ssl.get(), in, out);
    SSL_set_connect_state(ssl.get());
    std::size_t received = 0;
    for (;;) {
        ERR_clear_error();
        const int done = SSL_do_handshake(ssl.get());
        const int error = done == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl.get(), done);
        if (done != 1 && error != SSL_ERROR_WANT_READ) {
            problem = "the TLS handshake with the server failed";
            break;
        }
        // Once the server's certificate has come, the handshake stops: the
        // client's key exchange is not even sent.
        if (done == 1 || SSL_get_peer_cert_chain(ssl.get()) != nullptr) break;
        if (!SendFlight(fd, out, deadline)) {
            problem = "the server closed the connection during the TLS handshake";
            break;
        }
        std::uint8_t type = 0;
        Bytes payload;
        if (!ReadMessage(fd, type, payload, kMaxHandshakeBytes - received, deadline)) {
            problem = "the server did not finish the TLS handshake";
            break;
        }
        received += payload.size();
        BIO_write(in, payload.data(), static_cast<int>(payload.size()));
    }
    ERR_clear_error();
    std::vector<Certificate> chain;
    if (STACK_OF(X509)* sent = SSL_get_peer_cert_chain(ssl.get())) {
        for (int i = 0; i < sk_X509_num(sent); ++i) {
            unsigned char* der = nullptr;
            const int length = i2d_X509(sk_X509_value(sent, i), &der);
            if (length <= 0) continue;
            chain.push_back(
                Certificate::FromDer(std::string_view(reinterpret_cast<char*>(der), static_cast<std::size_t>(length))));
            OPENSSL_free(der);
        }
    }
    if (!chain.empty()) problem.clear();
    return chain;
}

}  // namespace

ProbeResult ProbeServer(const std::string& host, int port, int timeoutSeconds, bool withCertificate) {
    return ProbeServer(host, port, Clock::now() + std::chrono::seconds(timeoutSeconds), withCertificate);
}

ProbeResult ProbeServer(const std::string& host, int port, std::chrono::steady_clock::time_point deadline,
                        bool withCertificate) {
    ProbeResult result;
    const Socket socket = Connect(host, port, deadline);
    if (!socket) {
        result.Problem = "the server cannot be reached";
        return result;
    }
    const Bytes request = PreloginRequest();
    std::uint8_t type = 0;
    Bytes answer;
    if (!SendAll(socket.Get(), request.data(), request.size(), deadline) ||
        !ReadMessage(socket.Get(), type, answer, kPacketSize, deadline) || type != kReply) {
        result.Problem = "the server does not answer like a SQL Server";
        return result;
    }
    switch (EncryptionAnswer(answer)) {
        case 0x00:  // login only
        case 0x01:  // on
        case 0x03:  // required
            result.Encryption = EncryptionOffer::Offered;
            break;
        case 0x02:
            result.Encryption = EncryptionOffer::NotOffered;
            result.Problem = "the server offers no encryption";
            return result;
        default:
            result.Problem = "the server does not answer like a SQL Server";
            return result;
    }
    if (withCertificate) result.Chain = Handshake(socket.Get(), deadline, result.Problem);
    return result;
}

}  // namespace quellmark::data_access::sqlserver
