// The faults the fault-injecting proxy plays on a connection, drawn from a
// seed: connection i of a run with seed s always gets the same fault, so a
// run can be played again from its seed alone.
//
// A fault strikes one direction of a connection once a given number of bytes
// has been delivered in that direction (0: before the first byte), which may
// fall inside the PRELOGIN exchange, the TLS handshake, the login, a
// statement, a reply or between chunks of a deletion run.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace quellmark::faultproxy {

enum class FaultKind {
    None,
    Latency,    // every chunk from then on is held back `time`
    Stall,      // nothing moves in that direction for `time`, then all goes on
    BlackHole,  // nothing moves in either direction any more; the sockets stay open
    Reset,      // both sockets are reset (RST)
    Close,      // both sockets are closed cleanly (FIN)
    Drip,       // one byte every `time` from then on
    Cut,        // `cutBytes` bytes are left out of the stream, which then goes on
};

enum class Direction { ToServer, ToClient };

struct Fault {
    FaultKind kind = FaultKind::None;
    Direction direction = Direction::ToServer;
    std::uint64_t afterBytes = 0;
    std::chrono::milliseconds time{0};
    std::uint32_t cutBytes = 0;
};

std::string_view KindName(FaultKind kind) noexcept;
std::string_view DirectionName(Direction direction) noexcept;

// "drip to-client after 1234 bytes, 12 ms a byte", "none", ...
std::string Describe(const Fault& fault);

// The fault for the connection numbered `connection` (0 for the first the
// proxy accepts) under `seed`. The first connection always gets one; a later
// one (a client's second connection, or a probe that explains a failed
// login) gets one now and then.
Fault PlanFault(std::uint64_t seed, int connection);

// A small deterministic generator (splitmix64), for plans and soak runs alike.
class SeededRandom {
public:
    explicit SeededRandom(std::uint64_t seed) noexcept : state_(seed) {}
    std::uint64_t Next() noexcept;
    // A whole number from lo to hi, both included.
    std::int64_t Between(std::int64_t lo, std::int64_t hi) noexcept;

private:
    std::uint64_t state_;
};

// Mixes two numbers into a seed (a run's seed from the soak's and its number).
std::uint64_t MixSeed(std::uint64_t a, std::uint64_t b) noexcept;

}  // namespace quellmark::faultproxy
