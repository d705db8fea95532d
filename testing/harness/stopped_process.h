// Stopping a test server (SIGSTOP) so that it answers nothing, and letting
// it run again (SIGCONT).
//
// kill() returns before the process has stopped: the kernel wakes one of its
// threads to carry the stop to the others, and on a busy machine another
// thread may still read and answer a request meanwhile. StopProcess returns
// only once every thread of the process is in the stopped state, so whatever
// is sent afterwards reaches a server that cannot answer.
#pragma once

#include <sys/types.h>

#include <chrono>

namespace quellmark::test {

// Sends SIGSTOP to `pid` and waits (at most `limit`) until /proc shows every
// one of its threads stopped. False when the signal could not be sent or the
// process did not stop in time (it is then resumed again).
bool StopProcess(pid_t pid, std::chrono::milliseconds limit = std::chrono::seconds(30));

// Sends SIGCONT to `pid`.
void ResumeProcess(pid_t pid) noexcept;

// Whether every thread of `pid` is stopped (state T in /proc/PID/task/*/stat).
bool AllThreadsStopped(pid_t pid);

}  // namespace quellmark::test
