// A TCP proxy on 127.0.0.1 that forwards each connection it accepts to a
// target port and plays a planned fault on it (fault_plan.h). One thread, one
// poll loop for every connection; every descriptor has one owner.
//
// It writes one line per event to its log: when a connection opens (with
// its plan), when the fault strikes, and when the connection ends, with the
// bytes delivered each way. Times are CLOCK_MONOTONIC milliseconds, the
// clock std::chrono::steady_clock reads, so another process can line them
// up with its own.
//
//   <ms> conn <n> open plan <description>
//   <ms> conn <n> fault <kind> <direction> at <bytes>
//   <ms> conn <n> end to-server <bytes> to-client <bytes> <how>
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "base/unique_fd.h"
#include "faultproxy/fault_plan.h"

namespace quellmark::faultproxy {

// Where the log lines go (each without its line break).
using ProxyLog = std::function<void(const std::string& line)>;
// The fault for the n-th connection accepted.
using FaultSource = std::function<Fault(int connection)>;

class FaultProxy {
public:
    // Listens on a free port of 127.0.0.1; throws std::runtime_error when it cannot.
    FaultProxy(std::uint16_t targetPort, FaultSource faults, ProxyLog log);
    ~FaultProxy();
    FaultProxy(const FaultProxy&) = delete;
    FaultProxy& operator=(const FaultProxy&) = delete;

    std::uint16_t Port() const noexcept { return port_; }

    // Forwards until `stop` becomes true (looked at least every 50 ms).
    void Run(const std::atomic<bool>& stop);

private:
    struct Connection;
    class Loop;
    std::uint16_t targetPort_;
    FaultSource faults_;
    ProxyLog log_;
    base::UniqueFd listener_;
    std::uint16_t port_ = 0;
};

// CLOCK_MONOTONIC in milliseconds.
std::int64_t MonotonicMs() noexcept;

}  // namespace quellmark::faultproxy
