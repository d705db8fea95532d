#include "logdb/channel.h"

#include <openssl/err.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace quellmark::logdb {
namespace {

// The handshake's flights are small; a client sending more is not a TDS
// client.
constexpr std::size_t kMaxHandshakeBytes = 64 * 1024;
constexpr std::size_t kHandshakePacketSize = 4096;
// A TLS record: type, version, length (big endian), then at most 16 KiB of
// data plus what the cipher adds.
constexpr std::size_t kRecordHeaderSize = 5;
constexpr std::size_t kMaxRecordBody = 16384 + 2048;

}  // namespace

void WireLog::Received(std::uint16_t connection, const std::uint8_t* data, std::size_t size) {
    if (!file_.Enabled()) return;
    static constexpr char kHex[] = "0123456789abcdef";
    std::string line = std::to_string(connection) + ' ';
    line.reserve(line.size() + 2 * size);
    for (std::size_t i = 0; i < size; ++i) {
        line += kHex[data[i] >> 4];
        line += kHex[data[i] & 0x0F];
    }
    file_.Line(line);
}

std::size_t Channel::Receive(std::uint8_t* data, std::size_t size) {
    for (;;) {
        const ssize_t n = ::recv(socket_.Get(), data, size, 0);
        if (n > 0) {
            wireLog_.Received(connection_, data, static_cast<std::size_t>(n));
            return static_cast<std::size_t>(n);
        }
        if (n == 0) return 0;
        if (errno == EINTR) continue;
        throw ProtocolError(std::string("cannot read from the client: ") + std::strerror(errno));
    }
}

bool Channel::ReceiveAll(std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const std::size_t n = Receive(data + done, size - done);
        if (n == 0) {
            if (done == 0) return false;
            throw ProtocolError("the client closed the connection inside a packet");
        }
        done += n;
    }
    return true;
}

void Channel::Send(const std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::send(socket_.Get(), data + done, size - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        throw ProtocolError(std::string("cannot write to the client: ") + std::strerror(errno));
    }
}

bool Channel::Read(std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        if (at_ < plain_.size()) {
            const std::size_t n = std::min(size - done, plain_.size() - at_);
            std::memcpy(data + done, plain_.data() + at_, n);
            at_ += n;
            done += n;
            continue;
        }
        plain_.clear();
        at_ = 0;
        bool more = true;
        if (tls_) {
            more = loginOnly_ ? DecryptOnePacket() : Decrypt();
        } else {
            const std::size_t n = Receive(data + done, size - done);
            done += n;
            more = n > 0;
        }
        if (!more) {
            if (done == 0) return false;
            throw ProtocolError("the client closed the connection inside a packet");
        }
    }
    return true;
}

void Channel::Write(const std::uint8_t* data, std::size_t size) {
    if (!tls_) {
        Send(data, size);
        return;
    }
    while (size > 0) {
        const int chunk = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
        ERR_clear_error();
        const int n = SSL_write(ssl_.get(), data, chunk);
        if (n <= 0) throw ProtocolError("cannot encrypt the reply: " + OpenSslErrors());
        data += n;
        size -= static_cast<std::size_t>(n);
        const std::vector<std::uint8_t> records = TakeTlsOutput();
        Send(records.data(), records.size());
    }
}

std::vector<std::uint8_t> Channel::TakeTlsOutput() {
    std::vector<std::uint8_t> bytes(BIO_ctrl_pending(tlsOut_));
    if (!bytes.empty()) {
        const int n = BIO_read(tlsOut_, bytes.data(), static_cast<int>(bytes.size()));
        bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    return bytes;
}

bool Channel::Decrypt() {
    for (;;) {
        std::uint8_t buffer[16384];
        ERR_clear_error();
        const int n = SSL_read(ssl_.get(), buffer, sizeof buffer);
        if (n > 0) {
            plain_.insert(plain_.end(), buffer, buffer + n);
            return true;
        }
        const int error = SSL_get_error(ssl_.get(), n);
        if (error == SSL_ERROR_ZERO_RETURN) return false;  // the client's close_notify
        if (error != SSL_ERROR_WANT_READ) throw ProtocolError("cannot decrypt the request: " + OpenSslErrors());
        // Exactly one more record from the socket, so that nothing after
        // it (plain bytes, once only the login was encrypted) is taken.
        std::uint8_t record[kRecordHeaderSize + kMaxRecordBody];
        if (!ReceiveAll(record, kRecordHeaderSize)) return false;
        const std::size_t length = (static_cast<std::size_t>(record[3]) << 8) | record[4];
        if (length > kMaxRecordBody) throw ProtocolError("a TLS record longer than TLS allows");
        if (length > 0 && !ReceiveAll(record + kRecordHeaderSize, length))
            throw ProtocolError("the client closed the connection inside a TLS record");
        BIO_write(tlsIn_, record, static_cast<int>(kRecordHeaderSize + length));
    }
}

bool Channel::DecryptOnePacket() {
    const auto whole = [&] {
        if (plain_.size() < packet::kHeaderSize) return false;
        const std::size_t length = (static_cast<std::size_t>(plain_[2]) << 8) | plain_[3];
        return plain_.size() >= length;
    };
    while (!whole()) {
        if (!Decrypt()) {
            if (plain_.empty()) return false;
            throw ProtocolError("the client closed the connection inside its login");
        }
    }
    // The client drops TLS after this packet without a close_notify.
    ssl_.reset();
    tlsIn_ = tlsOut_ = nullptr;
    tls_ = false;
    return true;
}

void Channel::StartTls(SSL_CTX* context, std::uint16_t spid, bool loginOnly) {
    ssl_.reset(SSL_new(context));
    if (!ssl_) throw ProtocolError("cannot start TLS: " + OpenSslErrors());
    tlsIn_ = BIO_new(BIO_s_mem());
    tlsOut_ = BIO_new(BIO_s_mem());
    if (!tlsIn_ || !tlsOut_) {
        BIO_free(tlsIn_);
        BIO_free(tlsOut_);
        tlsIn_ = tlsOut_ = nullptr;
        throw ProtocolError("cannot start TLS: " + OpenSslErrors());
    }
    SSL_set_bio(ssl_.get(), tlsIn_, tlsOut_);
    SSL_set_accept_state(ssl_.get());
    for (;;) {
        ERR_clear_error();
        const int done = SSL_do_handshake(ssl_.get());
        const int error = done == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl_.get(), done);
        // Sent even when the handshake failed: it may hold the alert that
        // tells the client why.
        const std::vector<std::uint8_t> flight = TakeTlsOutput();
        if (!flight.empty()) WriteMessage(*this, packet::kPrelogin, flight, kHandshakePacketSize, spid);
        if (done == 1) break;
        if (error != SSL_ERROR_WANT_READ) throw ProtocolError("the TLS handshake failed: " + OpenSslErrors());
        Message message;
        if (!ReadMessage(*this, message, kMaxHandshakeBytes))
            throw ProtocolError("the client closed the connection during the TLS handshake");
        if (message.type != packet::kPrelogin)
            throw ProtocolError("a request of type " + std::to_string(message.type) + " inside the TLS handshake");
        if (!message.payload.empty())
            BIO_write(tlsIn_, message.payload.data(), static_cast<int>(message.payload.size()));
    }
    tls_ = true;
    loginOnly_ = loginOnly;
}

}  // namespace quellmark::logdb
