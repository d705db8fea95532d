#include "data_access/sqlserver/host_lookup.h"

#include <optional>

#include "base/bounded_call.h"

namespace quellmark::data_access::sqlserver {
namespace {

struct Answer {
    int Error = EAI_FAIL;
    quellmark::base::UniqueAddrInfo Addresses;
};

}  // namespace

HostLookup LookUpHost(const std::string& host, const std::string& service, const addrinfo& hints,
                      std::chrono::steady_clock::time_point deadline) {
    HostLookup lookup;
    // Only the fields getaddrinfo reads from hints are copied.
    addrinfo wanted{};
    wanted.ai_flags = hints.ai_flags;
    wanted.ai_family = hints.ai_family;
    wanted.ai_socktype = hints.ai_socktype;
    wanted.ai_protocol = hints.ai_protocol;
    std::optional<Answer> answer = base::CallWithin<Answer>(deadline, [host, service, wanted] {
        addrinfo* found = nullptr;
        Answer result;
        result.Error = ::getaddrinfo(host.c_str(), service.empty() ? nullptr : service.c_str(), &wanted, &found);
        if (result.Error == 0) result.Addresses.reset(found);
        return result;
    });
    if (!answer) {
        lookup.Outcome = HostLookup::Result::NoAnswer;
    } else if (answer->Error == 0 && answer->Addresses) {
        lookup.Outcome = HostLookup::Result::Found;
        lookup.Addresses = std::move(answer->Addresses);
    } else {
        // EAI_AGAIN is also what a name server's own time-out ends in.
        lookup.Outcome = answer->Error == EAI_AGAIN ? HostLookup::Result::NoAnswer : HostLookup::Result::NotFound;
    }
    return lookup;
}

std::string NoAnswerFromNameServer(const std::string& host) {
    return "the name server (DNS) did not answer the look-up of the host name " + host + " in time";
}

}  // namespace quellmark::data_access::sqlserver
