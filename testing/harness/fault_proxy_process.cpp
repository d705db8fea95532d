#include "harness/fault_proxy_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "base/unique_fd.h"
#include "harness/logdb_process.h"
#include "harness/run_program.h"
#include "harness/scratch_dir.h"

namespace quellmark::test {

FaultProxyProcess::FaultProxyProcess(std::uint16_t targetPort, std::uint64_t seed)
    : scratch_(std::make_unique<ScratchDir>("faultproxy")), log_(*scratch_ / "proxy.log") {
    std::vector<std::string> args = {FaultProxyPath(), "--target-port",      std::to_string(targetPort),
                                     "--seed",         std::to_string(seed), "--log",
                                     log_.string()};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("cannot create a pipe for quellmark-faultproxy");
    base::UniqueFd outRead(ends[0]);
    base::UniqueFd outWrite(ends[1]);
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("cannot start quellmark-faultproxy");
    if (pid_ == 0) {
        // A proxy never outlives the test that started it, however that ends.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::dup2(outWrite.Get(), STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    outWrite.Reset();
    std::string line;
    try {
        line = ReadFirstLine(outRead.Get(), std::chrono::seconds(20), "quellmark-faultproxy");
    } catch (...) {
        Kill();
        throw;
    }
    const std::string prefix = "listening on 127.0.0.1:";
    if (line.rfind(prefix, 0) != 0) {
        Kill();
        throw std::runtime_error("quellmark-faultproxy printed '" + line + "'");
    }
    port_ = static_cast<std::uint16_t>(std::stoi(line.substr(prefix.size())));
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
