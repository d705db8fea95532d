// The log server's side of TLS: a certificate and key from files, or, as a
// SQL Server without a provisioned certificate has it, a key and a
// self-signed certificate made at start; TLS 1.2 at most (SQL Server does not offer TLS 1.3 over TDS 7.x, and
// FreeTDS 1.3 cannot finish a TLS 1.3 handshake wrapped in TDS packets).
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

#include "base/free_with.h"

namespace quellmark::logdb {

template <auto Free>
using OpenSslFree = quellmark::base::FreeWith<Free>;
using SslContextPtr = std::unique_ptr<SSL_CTX, OpenSslFree<SSL_CTX_free>>;
using SslPtr = std::unique_ptr<SSL, OpenSslFree<SSL_free>>;

// OpenSSL's reasons for the last failures of this thread, "; "-separated,
// and its error queue emptied.
std::string OpenSslErrors();

class TlsContext {
public:
    // With empty paths makes the key and a self-signed certificate, else
    // reads the certificate (PEM, the server's first, any further ones sent
    // as its chain) and the key (PEM); throws std::runtime_error with
    // OpenSSL's reason when it cannot.
    TlsContext(const std::string& certificateFile = {}, const std::string& keyFile = {});
    SSL_CTX* Get() const noexcept { return context_.get(); }
    // The SHA-256 fingerprint of the server's certificate, as colon-separated
    // upper-case hex pairs.
    const std::string& Sha256() const noexcept { return sha256_; }

private:
    SslContextPtr context_;
    std::string sha256_;
};

}  // namespace quellmark::logdb
