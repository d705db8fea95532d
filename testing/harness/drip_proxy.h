// A slow peer for login tests: a TCP proxy on a loopback port in front of a
// server on another, which passes the client's bytes on at once and the
// server's a byte at a time, each after a pause, so that the client always
// has something arriving and never sees a silent server.
//
//   LogDbProcess server;
//   DripProxy proxy(server.Port(), DripProxy::Drip::FirstMessage);
//   connect to 127.0.0.1,proxy.Port() ...
//
// FirstMessage drips the server's first TDS message (its PRELOGIN answer)
// and passes the rest on at once; Everything drips every byte (the TLS
// handshake, the login's answer). The destructor closes every connection
// and joins its threads.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "base/unique_fd.h"

namespace quellmark::test {

class DripProxy {
public:
    enum class Drip { FirstMessage, Everything };

    DripProxy(std::uint16_t serverPort, Drip drip, std::chrono::milliseconds pause = std::chrono::milliseconds(500));
    ~DripProxy();
    DripProxy(const DripProxy&) = delete;
    DripProxy& operator=(const DripProxy&) = delete;

    std::uint16_t Port() const noexcept { return port_; }

private:
    void Accept();
    void Relay(quellmark::base::UniqueFd client);

    std::uint16_t serverPort_;
    Drip drip_;
    std::chrono::milliseconds pause_;
    quellmark::base::UniqueFd listener_;
    // Written to when the proxy ends: every thread polls it.
    quellmark::base::UniqueFd stopRead_, stopWrite_;
    std::uint16_t port_ = 0;
    std::mutex mutex_;
    std::vector<std::thread> relays_;
    std::thread acceptor_;
};

}  // namespace quellmark::test
