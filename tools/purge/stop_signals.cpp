#include "purge/stop_signals.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

namespace quellmark::purge_tool {
namespace {

sigset_t StopSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

StopSignals::StopSignals(std::function<void(const char*)> note) : note_(std::move(note)) {
    const sigset_t set = StopSet();
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) throw std::runtime_error("cannot block the stop signals");
    signals_.Reset(::signalfd(-1, &set, SFD_CLOEXEC));
    wake_.Reset(::eventfd(0, EFD_CLOEXEC));
    if (!signals_ || !wake_)
        throw std::runtime_error(std::string("cannot watch the stop signals: ") + std::strerror(errno));
    watcher_ = std::thread([this] {
        for (;;) {
            pollfd fds[2] = {{signals_.Get(), POLLIN, 0}, {wake_.Get(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents != 0) return;
            signalfd_siginfo info{};
            if (::read(signals_.Get(), &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
            Heard(static_cast<int>(info.ssi_signo));
        }
    });
}

StopSignals::~StopSignals() { Stop(); }

void StopSignals::CancelWith(std::function<void()> cancel) {
    const std::lock_guard lock(mutex_);
    cancel_ = std::move(cancel);
}

void StopSignals::RunStarting() {
    const std::lock_guard lock(mutex_);
    running_ = true;
}

void StopSignals::Heard(int signal) {
    const std::lock_guard lock(mutex_);
    if (!running_) {
        // Nothing is deleted yet: the run ends at once.
        if (stop_.Level() == 0) note_("stopping now; nothing was deleted");
        stop_.Request(2);
        if (cancel_) cancel_();
    } else if (signal == SIGINT && stop_.Level() >= 1) {
        stop_.Request(2);
        note_("cancelling the statement under way");
        if (cancel_) cancel_();
    } else if (stop_.Level() == 0) {
        stop_.Request(1);
        note_(signal == SIGINT ? "stopping after the statement under way (Ctrl+C again cancels it)"
                               : "stopping after the statement under way");
    }
}

void StopSignals::Stop() {
    if (!watcher_.joinable()) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_.Get(), &one, sizeof one);
    watcher_.join();
}

}  // namespace quellmark::purge_tool
