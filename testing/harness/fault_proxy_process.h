// Runs quellmark-faultproxy in front of a log server for one test or soak
// run, and reads back what it did.
//
//   LogDbProcess server(...);
//   FaultProxyProcess proxy(server.Port(), seed);   // pins the server's certificate for proxy.Port()
//   ... point the settings at 127.0.0.1,proxy.Port() ...
//   for (const ProxyEvent& e : proxy.Events()) ...
//
// The destructor kills the proxy (SIGKILL) and reaps it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace quellmark::test {

class ScratchDir;

// One line of the proxy's log, read.
struct ProxyEvent {
    std::int64_t ms = 0;  // CLOCK_MONOTONIC milliseconds (steady_clock)
    int connection = 0;
    std::string what;  // "open", "fault", "end", ...
    std::string rest;  // the rest of the line
};

class FaultProxyProcess {
public:
    // Starts the proxy for `targetPort` with the plans of `seed` and waits for
    // its "listening on" line; throws std::runtime_error when it does not come.
    FaultProxyProcess(std::uint16_t targetPort, std::uint64_t seed);
    ~FaultProxyProcess();
    FaultProxyProcess(const FaultProxyProcess&) = delete;
    FaultProxyProcess& operator=(const FaultProxyProcess&) = delete;

    std::uint16_t Port() const noexcept { return port_; }
    pid_t Pid() const noexcept { return pid_; }
    // Every line the proxy logged so far.
    std::vector<ProxyEvent> Events() const;
    std::string LogText() const;
    void Kill() noexcept;

private:
    std::unique_ptr<ScratchDir> scratch_;
    std::filesystem::path log_;
    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
};

}  // namespace quellmark::test
