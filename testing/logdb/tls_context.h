// The log server's side of TLS, as a SQL Server without a provisioned
// certificate has it: a key and a self-signed certificate made at start, and
// TLS 1.2 at most (SQL Server does not offer TLS 1.3 over TDS 7.x, and
// FreeTDS 1.3 cannot finish a TLS 1.3 handshake wrapped in TDS packets).
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

namespace quellmark::logdb {

// Frees an OpenSSL object with its own free function.
template <auto Free>
struct OpenSslFree {
    template <class T>
    void operator()(T* object) const noexcept {
        Free(object);
    }
};
using SslContextPtr = std::unique_ptr<SSL_CTX, OpenSslFree<SSL_CTX_free>>;
using SslPtr = std::unique_ptr<SSL, OpenSslFree<SSL_free>>;

// OpenSSL's reasons for the last failures of this thread, "; "-separated,
// and its error queue emptied.
std::string OpenSslErrors();

class TlsContext {
public:
    // Makes the key and certificate; throws std::runtime_error with
    // OpenSSL's reason when it cannot.
    TlsContext();
    SSL_CTX* Get() const noexcept { return context_.get(); }

private:
    SslContextPtr context_;
};

}  // namespace quellmark::logdb
