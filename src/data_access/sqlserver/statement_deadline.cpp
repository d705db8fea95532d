#include "data_access/sqlserver/statement_deadline.h"

#include <algorithm>

namespace quellmark::data_access::sqlserver {

std::chrono::milliseconds CancellationGrace(std::int32_t timeoutSeconds) {
    return std::min(std::chrono::milliseconds(std::int64_t{timeoutSeconds} * 1000 / 3),
                    std::chrono::milliseconds(10'000));
}

Deadline::Deadline(std::chrono::steady_clock::time_point at, std::function<void()> action) {
    thread_ = std::thread([this, at, action = std::move(action)] {
        std::unique_lock lock(mutex_);
        if (wake_.wait_until(lock, at, [this] { return stop_; })) return;
        action();
        passed_ = true;
    });
}

bool Deadline::Stop() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
    return Passed();
}

bool Deadline::Passed() const {
    std::lock_guard lock(mutex_);
    return passed_;
}

}  // namespace quellmark::data_access::sqlserver
