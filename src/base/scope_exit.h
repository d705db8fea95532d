// Runs a callable when the scope it is declared in ends, whichever way it
// ends (return or exception), once:
//
//   const quellmark::base::ScopeExit restore([&] { running = nullptr; });
//
// The callable must not throw: it runs in a destructor, also during unwinding.
#pragma once

#include <type_traits>
#include <utility>

namespace quellmark::base {

template <class F>
class ScopeExit {
public:
    static_assert(std::is_nothrow_invocable_v<F&>, "a scope-exit action must be noexcept");

    explicit ScopeExit(F action) noexcept(std::is_nothrow_move_constructible_v<F>) : action_(std::move(action)) {}
    ~ScopeExit() { action_(); }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

private:
    F action_;
};

}  // namespace quellmark::base
