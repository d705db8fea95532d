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

StopSignals::StopSignals() {
    const sigset_t set = StopSet();
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) throw std::runtime_error("cannot block the stop signals");
    signals_.Reset(::signalfd(-1, &set, SFD_CLOEXEC));
    wake_.Reset(::eventfd(0, EFD_CLOEXEC));
    if (!signals_ || !wake_)
        throw std::runtime_error(std::string("cannot watch the stop signals: ") + std::strerror(errno));
}

StopSignals::~StopSignals() { Stop(); }

void StopSignals::Watch(purge::StopRequest& stop, std::function<void()> cancel, std::function<void(const char*)> note) {
    watcher_ = std::thread([this, &stop, cancel = std::move(cancel), note = std::move(note)] {
        for (;;) {
            pollfd fds[2] = {{signals_.Get(), POLLIN, 0}, {wake_.Get(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents != 0) return;
            signalfd_siginfo info{};
            if (::read(signals_.Get(), &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
            if (info.ssi_signo == SIGINT && stop.Level() >= 1) {
                stop.Request(2);
                note("cancelling the statement under way");
                cancel();
            } else if (stop.Level() == 0) {
                stop.Request(1);
                note(info.ssi_signo == SIGINT ? "stopping after the statement under way (Ctrl+C again cancels it)"
                                              : "stopping after the statement under way");
            }
        }
    });
}

void StopSignals::Stop() {
    if (!watcher_.joinable()) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_.Get(), &one, sizeof one);
    watcher_.join();
}

}  // namespace quellmark::purge_tool
