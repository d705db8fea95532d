// SIGTERM, SIGINT and SIGHUP as stop requests. The signals are blocked in
// every thread and read by one watcher thread of their own (signalfd), so
// nothing runs in signal-handler context: the first one asks the run to stop
// after the statement under way; a SIGINT after that calls `cancel` (which
// cancels the statement on the server) and asks it to stop at once.
#pragma once

#include <functional>
#include <thread>

#include "base/unique_fd.h"
#include "ops/purge.h"

namespace quellmark::purge_tool {

class StopSignals {
public:
    // Blocks the signals in the calling thread, which every thread started
    // later inherits: construct it before any other thread starts.
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Starts watching; `note` tells the operator what a signal does.
    void Watch(purge::StopRequest& stop, std::function<void()> cancel, std::function<void(const char*)> note);
    // Stops watching (before what `cancel` reaches goes away).
    void Stop();

private:
    quellmark::base::UniqueFd signals_;
    quellmark::base::UniqueFd wake_;
    std::thread watcher_;
};

}  // namespace quellmark::purge_tool
