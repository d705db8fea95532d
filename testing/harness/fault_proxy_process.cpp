#include "harness/fault_proxy_process.h"

#include <signal.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "harness/logdb_process.h"
#include "harness/run_program.h"
#include "harness/scratch_dir.h"

namespace quellmark::test {

FaultProxyProcess::FaultProxyProcess(std::uint16_t targetPort, std::uint64_t seed)
    : scratch_(std::make_unique<ScratchDir>("faultproxy")), log_(*scratch_ / "proxy.log") {
    std::vector<std::string> args = {FaultProxyPath(), "--target-port",      std::to_string(targetPort),
                                     "--seed",         std::to_string(seed), "--log",
                                     log_.string()};
    // A proxy never outlives the test that started it, however that ends.
    const ListeningChild child = StartListening(std::move(args), std::chrono::seconds(20), true);
    pid_ = child.pid;
    port_ = child.port;
    PinHarnessCertificate(port_);
}

FaultProxyProcess::~FaultProxyProcess() { Kill(); }

void FaultProxyProcess::Kill() noexcept { EndChild(pid_, SIGKILL); }

std::string FaultProxyProcess::LogText() const {
    std::ifstream in(log_);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<ProxyEvent> FaultProxyProcess::Events() const {
    std::vector<ProxyEvent> events;
    std::istringstream in(LogText());
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        ProxyEvent e;
        std::string conn;
        if (!(fields >> e.ms >> conn >> e.connection >> e.what) || conn != "conn") continue;
        std::getline(fields >> std::ws, e.rest);
        events.push_back(std::move(e));
    }
    return events;
}

}  // namespace quellmark::test
