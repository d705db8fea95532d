// Host-name look-ups (getaddrinfo) that end by a deadline, even when a name
// server never answers.
#pragma once

#include <netdb.h>

#include <chrono>
#include <string>

#include "base/addr_info.h"
#include "data_access/internal/layer_only.h"

namespace quellmark::data_access::sqlserver {

struct HostLookup {
    enum class Result { Found, NotFound, NoAnswer };
    Result Outcome = Result::NotFound;
    quellmark::base::UniqueAddrInfo Addresses;  // with Found
};

// getaddrinfo(host, service, hints) by `deadline`: NoAnswer when it has not
// come back by then (the name server is silent or unreachable).
HostLookup LookUpHost(const std::string& host, const std::string& service, const addrinfo& hints,
                      std::chrono::steady_clock::time_point deadline);

// The plain words for a look-up that got no answer, naming the host.
std::string NoAnswerFromNameServer(const std::string& host);

}  // namespace quellmark::data_access::sqlserver
