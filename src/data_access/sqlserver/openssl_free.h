// Owners for OpenSSL objects: each freed once, with its own free function.
//
//   std::unique_ptr<SSL_CTX, OpenSslFree<SSL_CTX_free>> context(SSL_CTX_new(...));
#pragma once

namespace data_access::sqlserver {

template <auto Free>
struct OpenSslFree {
    template <class T>
    void operator()(T* object) const noexcept {
        Free(object);
    }
};

}  // namespace data_access::sqlserver
