// Running a blocking library call that has no time limit of its own (a
// host-name look-up, a Kerberos exchange with the KDC) under a deadline.
//
// The call runs on a thread of its own. When the deadline passes first, the
// caller goes on without it and the thread is left to finish by itself: it
// owns everything it touches (the callable and its copied arguments, and the
// shared state its result goes to), so nothing goes away under it, and what
// it made is released when it ends.
#pragma once

#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "data_access/internal/layer_only.h"

namespace quellmark::data_access::sqlserver {

// The value `call` returns, or nullopt when it has not returned by
// `deadline`. An exception the call throws in time is thrown here.
template <class T, class Call>
std::optional<T> CallWithin(std::chrono::steady_clock::time_point deadline, Call call) {
    struct State {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<T> result;
        std::exception_ptr failure;
        bool finished = false;
    };
    const auto state = std::make_shared<State>();
    std::thread([state, call = std::move(call)]() mutable {
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
    }).detach();
    std::unique_lock lock(state->mutex);
    if (!state->done.wait_until(lock, deadline, [&] { return state->finished; })) return std::nullopt;
    if (state->failure) std::rethrow_exception(state->failure);
    return std::move(state->result);
}

}  // namespace quellmark::data_access::sqlserver
