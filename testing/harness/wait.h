// Waiting in tests for something to happen rather than for a fixed time: a
// busy machine may take far longer than an idle one, so the limit is only a
// generous bound against waiting forever.
#pragma once

#include <chrono>
#include <thread>

namespace quellmark::test {

// Asks `done` every few milliseconds until it answers true (then true) or
// `limit` has passed (then false).
template <class Done>
bool WaitUntil(Done&& done, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace quellmark::test
