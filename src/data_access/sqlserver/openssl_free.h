// Owners for OpenSSL objects: each freed once, with its own free function.
//
//   std::unique_ptr<SSL_CTX, OpenSslFree<SSL_CTX_free>> context(SSL_CTX_new(...));
#pragma once

#include "base/free_with.h"

namespace quellmark::data_access::sqlserver {

template <auto Free>
using OpenSslFree = quellmark::base::FreeWith<Free>;

}  // namespace quellmark::data_access::sqlserver
