// quellmark-faultproxy: forwards connections on 127.0.0.1 to a target port,
// playing on each the fault the seed plans for it (see proxy.h).
//
//   quellmark-faultproxy --target-port 40123 --seed 17 [--log FILE]
//
// Prints "listening on 127.0.0.1:<port>" once it accepts connections, then
// runs until SIGTERM or SIGINT. The log goes to FILE (appended) or stderr.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "base/unique_fd.h"
#include "faultproxy/proxy.h"

namespace {

std::atomic<bool> stopRequested{false};

void OnStop(int) { stopRequested.store(true); }

unsigned long long Number(const char* option, const char* text, unsigned long long max) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value > max)
        throw std::runtime_error(std::string(option) + " needs a number from 0 to " + std::to_string(max));
    return value;
}

int Main(int argc, char** argv) {
    std::uint16_t target = 0;
    std::uint64_t seed = 0;
    std::string logFile;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) throw std::runtime_error(arg + " needs a value");
        const char* value = argv[++i];
        if (arg == "--target-port") {
            target = static_cast<std::uint16_t>(Number("--target-port", value, 65535));
        } else if (arg == "--seed") {
            seed = Number("--seed", value, ~0ULL);
        } else if (arg == "--log") {
            logFile = value;
        } else {
            throw std::runtime_error("unknown option " + arg);
        }
    }
    if (target == 0) throw std::runtime_error("--target-port is needed");

    quellmark::base::UniqueFd log(logFile.empty()
                                      ? ::dup(STDERR_FILENO)
                                      : ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    if (!log) throw std::runtime_error("cannot open the log " + logFile + ": " + std::strerror(errno));
    struct sigaction action {};
    action.sa_handler = OnStop;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);

    quellmark::faultproxy::FaultProxy proxy(
        target, [seed](int connection) { return quellmark::faultproxy::PlanFault(seed, connection); },
        [&log](const std::string& line) {
            const std::string text = line + "\n";
            // One write per line, so that lines of a log read while it grows stay whole.
            [[maybe_unused]] const ssize_t written = ::write(log.Get(), text.data(), text.size());
        });
    std::printf("listening on 127.0.0.1:%u\n", static_cast<unsigned>(proxy.Port()));
    std::fflush(stdout);
    proxy.Run(stopRequested);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Main(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quellmark-faultproxy: %s\n", e.what());
        return 1;
    }
}
