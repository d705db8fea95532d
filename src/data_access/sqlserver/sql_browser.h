// Asking the SQL Server Browser (UDP port 1434) on a host for the TCP port of
// a named instance, under a deadline, as the driver would ask it, so that
// the driver can be given host and port and never waits on the Browser.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "data_access/internal/layer_only.h"

namespace quellmark::data_access::sqlserver {

struct BrowserAnswer {
    enum class Result {
        Port,         // the instance listens on Port
        NoTcp,        // the Browser answered without a TCP port for the instance
        NoAnswer,     // no answer by the deadline
        HostUnknown,  // the host name does not resolve
        NameServerSilent,
    };
    Result Outcome = Result::NoAnswer;
    int Port = 0;
};

BrowserAnswer AskBrowser(const std::string& host, const std::string& instance,
                         std::chrono::steady_clock::time_point deadline);

// The TCP port a Browser's answer (SVR_RESP: 0x05, a 16-bit length, then
// "ServerName;...;InstanceName;NAME;...;tcp;PORT;;") gives for `instance`
// (letter case ignored); 0 when it gives none or the answer is shorter than
// its length says.
int TcpPortFromBrowserReply(const std::uint8_t* reply, std::size_t size, const std::string& instance);

}  // namespace quellmark::data_access::sqlserver
