// One client connection's bytes: the socket, every byte received from it
// written to the wire log as it arrived, and TLS on top once the client and
// server agreed on it in the PRELOGIN exchange.
//
// The TLS handshake travels inside TDS packets of type PRELOGIN; after it
// the client writes TLS records to the socket directly. When only the login
// is encrypted, the first packet after the handshake (the LOGIN7) is the only
// one in TLS and the connection is plain again after it, both ways.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "logdb/log_file.h"
#include "logdb/tds_wire.h"
#include "logdb/tls_context.h"

namespace quellmark::logdb {

// An owned file descriptor.
using Fd = base::UniqueFd;

// The bytes every connection received, before any decryption: one line per
// read from a socket, "<connection> <bytes in hex>", the connection being its
// SPID. Shared by all connections.
class WireLog {
public:
    explicit WireLog(const std::string& path) : file_(path, "wire log") {}
    void Received(std::uint16_t connection, const std::uint8_t* data, std::size_t size);

private:
    LogFile file_;
};

class Channel final : public ByteStream {
public:
    Channel(Fd socket, WireLog& wireLog, std::uint16_t connection)
        : socket_(std::move(socket)), wireLog_(wireLog), connection_(connection) {}

    bool Read(std::uint8_t* data, std::size_t size) override;
    void Write(const std::uint8_t* data, std::size_t size) override;

    int Socket() const noexcept { return socket_.Get(); }
    // Decrypted bytes not read yet, which a poll of the socket cannot see.
    bool HasBuffered() const noexcept { return at_ < plain_.size(); }
    bool Encrypted() const noexcept { return tls_; }

    // The server's side of the TLS handshake, each flight in PRELOGIN
    // packets. With `loginOnly` only the next packet read is encrypted.
    // Throws ProtocolError when the handshake fails.
    void StartTls(SSL_CTX* context, std::uint16_t spid, bool loginOnly);

private:
    // Some bytes from the socket, written to the wire log; 0 at its end.
    std::size_t Receive(std::uint8_t* data, std::size_t size);
    // Exactly `size` bytes; false when the socket ended before the first.
    bool ReceiveAll(std::uint8_t* data, std::size_t size);
    void Send(const std::uint8_t* data, std::size_t size);
    // Decrypts TLS records until some plain bytes are buffered; false when
    // the client ended the connection (or its TLS session) instead.
    bool Decrypt();
    // Decrypts until one whole TDS packet is buffered, then drops TLS.
    bool DecryptOnePacket();
    // What OpenSSL wrote for the client, taken out of its buffer.
    std::vector<std::uint8_t> TakeTlsOutput();

    Fd socket_;
    WireLog& wireLog_;
    std::uint16_t connection_;
    SslPtr ssl_;
    BIO* tlsIn_ = nullptr;   // owned by ssl_
    BIO* tlsOut_ = nullptr;  // owned by ssl_
    bool tls_ = false;       // reads and writes go through ssl_ (after the handshake)
    bool loginOnly_ = false;
    std::vector<std::uint8_t> plain_;  // decrypted bytes; those before at_ are read
    std::size_t at_ = 0;
};

}  // namespace quellmark::logdb
