#include "faultproxy/fault_plan.h"

#include <array>
#include <cmath>

namespace quellmark::faultproxy {

std::uint64_t SeededRandom::Next() noexcept {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

std::int64_t SeededRandom::Between(std::int64_t lo, std::int64_t hi) noexcept {
    if (hi <= lo) return lo;
    const auto span = static_cast<std::uint64_t>(hi - lo) + 1;
    return lo + static_cast<std::int64_t>(Next() % span);
}

std::uint64_t MixSeed(std::uint64_t a, std::uint64_t b) noexcept {
    SeededRandom random(a * 0x100000001B3ULL ^ (b + 0x632BE59BD9B4E019ULL));
    return random.Next();
}

std::string_view KindName(FaultKind kind) noexcept {
    switch (kind) {
        case FaultKind::None:
            return "none";
        case FaultKind::Latency:
            return "latency";
        case FaultKind::Stall:
            return "stall";
        case FaultKind::BlackHole:
            return "black-hole";
        case FaultKind::Reset:
            return "reset";
        case FaultKind::Close:
            return "close";
        case FaultKind::Drip:
            return "drip";
        case FaultKind::Cut:
            return "cut";
    }
    return "?";
}

std::string_view DirectionName(Direction direction) noexcept {
    return direction == Direction::ToServer ? "to-server" : "to-client";
}

std::string Describe(const Fault& fault) {
    if (fault.kind == FaultKind::None) return "none";
    std::string text = std::string(KindName(fault.kind)) + " " + std::string(DirectionName(fault.direction)) +
                       " after " + std::to_string(fault.afterBytes) + " bytes";
    const std::string ms = std::to_string(fault.time.count()) + " ms";
    switch (fault.kind) {
        case FaultKind::Latency:
            return text + ", " + ms + " a chunk";
        case FaultKind::Stall:
            return text + ", for " + ms;
        case FaultKind::Drip:
            return text + ", " + ms + " a byte";
        case FaultKind::Cut:
            return text + ", " + std::to_string(fault.cutBytes) + " bytes left out";
        default:
            return text;
    }
}

Fault PlanFault(std::uint64_t seed, int connection) {
    SeededRandom random(MixSeed(seed, static_cast<std::uint64_t>(connection)));
    Fault fault;
    if (connection > 0 && random.Between(0, 99) >= 25) return fault;
    constexpr std::array<FaultKind, 7> kinds = {FaultKind::Latency, FaultKind::Stall, FaultKind::BlackHole,
                                                FaultKind::Reset,   FaultKind::Close, FaultKind::Drip,
                                                FaultKind::Cut};
    fault.kind = kinds[static_cast<std::size_t>(random.Between(0, kinds.size() - 1))];
    fault.direction = random.Between(0, 1) == 0 ? Direction::ToServer : Direction::ToClient;
    // A tenth before the first byte; about a third log-uniform over the first
    // kilobyte (PRELOGIN, the TLS handshake, the login); the rest where the
    // statements of a few chunks lie (a login sends about 950 bytes and gets
    // about 1100, then each statement is about 190 bytes, each answer 60).
    const std::int64_t where = random.Between(0, 99);
    if (where < 10) {
        fault.afterBytes = 0;
    } else if (where < 45) {
        const double exponent = static_cast<double>(random.Between(0, 10000)) / 1000.0;
        fault.afterBytes = static_cast<std::uint64_t>(std::pow(2.0, exponent));
    } else if (fault.direction == Direction::ToServer) {
        fault.afterBytes = static_cast<std::uint64_t>(random.Between(900, 3000));
    } else {
        fault.afterBytes = static_cast<std::uint64_t>(random.Between(1050, 1800));
    }
    switch (fault.kind) {
        case FaultKind::Latency:
            fault.time = std::chrono::milliseconds(random.Between(5, 80));
            break;
        case FaultKind::Stall:
            fault.time = std::chrono::milliseconds(random.Between(300, 6000));
            break;
        case FaultKind::Drip:
            fault.time = std::chrono::milliseconds(random.Between(1, 40));
            break;
        case FaultKind::Cut:
            fault.cutBytes = static_cast<std::uint32_t>(random.Between(1, 48));
            break;
        default:
            break;
    }
    return fault;
}

}  // namespace quellmark::faultproxy
