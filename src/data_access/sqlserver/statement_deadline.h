// Keeping a statement's time limit on a FreeTDS connection.
//
// The driver keeps the limit itself (the statement's query time-out): when it
// runs out, FreeTDS sends the server an attention, which cancels the
// statement, and waits for the server to acknowledge it. But it waits as long
// again as the limit before it gives up and closes the connection, so a
// server that has stopped altogether (a frozen process, a dead network path)
// would hold the caller for twice the limit. The connection's TCP socket is
// therefore found when the connection is opened, and a Deadline shuts it down
// when the acknowledgement has not come a short while after the limit: the
// driver's wait then ends at once, with the connection closed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "data_access/internal/layer_only.h"

namespace quellmark::data_access::sqlserver {

// How long the server is given, once a statement's limit has run out, to
// acknowledge its cancellation: a third of the limit, at most 10 seconds.
std::chrono::milliseconds CancellationGrace(std::int32_t timeoutSeconds);

// Runs an action on a thread of its own when the time `at` passes before
// Stop is called (or the object destroyed).
class Deadline {
public:
    Deadline(std::chrono::steady_clock::time_point at, std::function<void()> action);
    ~Deadline() { Stop(); }
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

    // True once the action has run.
    bool Passed() const;
    // Ends the thread; afterwards the action can no longer run. True when it
    // has run.
    bool Stop();

private:
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool passed_ = false;
    std::thread thread_;
};

}  // namespace quellmark::data_access::sqlserver
