// One owner for the address list getaddrinfo() returns: freed once, with
// freeaddrinfo(), when its owner goes.
#pragma once

#include <netdb.h>

#include <memory>

namespace quellmark::base {

struct AddrInfoFree {
    void operator()(addrinfo* info) const noexcept {
        if (info) ::freeaddrinfo(info);
    }
};

using UniqueAddrInfo = std::unique_ptr<addrinfo, AddrInfoFree>;

}  // namespace quellmark::base
