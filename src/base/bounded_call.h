// A blocking call that has no bound of its own (a host-name look-up, a
// Kerberos exchange with the KDC, a login), run on a thread of its own and
// waited for at most so long: until a deadline passes, or until a stop is
// asked.
//
// A call that returns in time is joined, and its value, or the exception it
// threw, reaches the waiter. A call the waiter stops waiting for is left to
// finish by itself: it owns everything it touches (the callable and its
// copied arguments, and the shared state its result goes to), so nothing goes
// away under it, and what it made is released when it ends.
#pragma once

#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace quellmark::base {
namespace bounded_call_detail {

// Starts `call` on a thread of its own; `wait(lock, done, returned)` waits on
// `done` and says whether the call has returned.
template <class T, class Call, class Wait>
std::optional<T> RunAndWait(Call call, Wait wait) {
    struct State {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<T> result;
        std::exception_ptr failure;
        bool finished = false;
    };
    const auto state = std::make_shared<State>();
    std::thread worker([state, call = std::move(call)]() mutable {
        std::optional<T> result;
        std::exception_ptr failure;
        try {
            result.emplace(call());
        } catch (...) {
            failure = std::current_exception();
        }
        {
            const std::lock_guard lock(state->mutex);
            state->result = std::move(result);
            state->failure = failure;
            state->finished = true;
        }
        state->done.notify_all();
    });
    bool returned = false;
    {
        std::unique_lock lock(state->mutex);
        returned = wait(lock, state->done, [&state] { return state->finished; });
    }
    if (!returned) {
        worker.detach();
        return std::nullopt;
    }
    worker.join();  // it has returned: it ends at once
    if (state->failure) std::rethrow_exception(state->failure);
    return std::move(state->result);
}

}  // namespace bounded_call_detail

// The value `call` returns, or nullopt when it has not returned by `deadline`.
template <class T, class Call>
std::optional<T> CallWithin(std::chrono::steady_clock::time_point deadline, Call call) {
    return bounded_call_detail::RunAndWait<T>(std::move(call), [deadline](auto& lock, auto& done, auto returned) {
        return done.wait_until(lock, deadline, returned);
    });
}

// The value `call` returns, or nullopt when `stopped()` is true before it
// returns: it is asked before the call starts (which is then not made) and
// then every `every`.
template <class T, class Call, class Stopped>
std::optional<T> CallUnlessStopped(Stopped stopped, std::chrono::milliseconds every, Call call) {
    if (stopped()) return std::nullopt;
    return bounded_call_detail::RunAndWait<T>(std::move(call),
                                              [&stopped, every](auto& lock, auto& done, auto returned) {
                                                  while (!done.wait_for(lock, every, returned))
                                                      if (stopped()) return false;
                                                  return true;
                                              });
}

}  // namespace quellmark::base
