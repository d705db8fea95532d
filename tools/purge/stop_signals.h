// SIGTERM, SIGINT and SIGHUP as stop requests, heard from the first line of
// main to the end of the run. The signals are blocked in every thread and
// read by one watcher thread of their own (signalfd), so nothing runs in
// signal-handler context.
//
// Before the run's chunks begin (the login, the locks) a signal stops the
// run at once: the statement under way, if any, is cancelled, and a login
// under way is left behind (LoginUnlessStopped). Once they have begun, the
// first signal asks the run to stop after the statement under way; a SIGINT
// after that cancels the statement and asks it to stop at once.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "base/bounded_call.h"
#include "base/unique_fd.h"
#include "ops/unattended/run.h"

namespace quellmark::purge_tool {

namespace unattended = ops::unattended;

class StopSignals {
public:
    // Blocks the signals in the calling thread, which every thread started
    // later inherits, and starts watching: construct it before any other
    // thread starts. `note` tells the operator what a signal does.
    explicit StopSignals(std::function<void(const char*)> note);
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    const unattended::StopRequest& Requested() const noexcept { return stop_; }
    // What cancels the statement under way on the server, once there is a
    // connection; the watcher may call it until Stop.
    void CancelWith(std::function<void()> cancel);
    // The chunks begin: from now on the first signal lets the statement
    // under way finish.
    void RunStarting();
    // Stops watching (before what `cancel` reaches goes away).
    void Stop();

private:
    void Heard(int signal);

    unattended::StopRequest stop_;
    std::function<void(const char*)> note_;
    std::mutex mutex_;  // guards cancel_ and running_
    std::function<void()> cancel_;
    bool running_ = false;
    quellmark::base::UniqueFd signals_;
    quellmark::base::UniqueFd wake_;
    std::thread watcher_;
};

// The value of `call`, run on a thread of its own, or nullopt when a stop is
// requested before it returns; the call is then left to finish by itself.
// An exception it throws in time is thrown here.
template <class T, class Call>
std::optional<T> UnlessStopped(const unattended::StopRequest& stop, Call call) {
    // A stop is looked for every 50 ms: well within the second a signal may take.
    return quellmark::base::CallUnlessStopped<T>([&stop] { return stop.Level() > 0; }, std::chrono::milliseconds(50),
                                                 std::move(call));
}

}  // namespace quellmark::purge_tool
