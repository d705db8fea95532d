#include "harness/stopped_process.h"

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

#include "harness/wait.h"

namespace quellmark::test {

bool AllThreadsStopped(pid_t pid) {
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code error;
    std::filesystem::directory_iterator it(tasks, error);
    if (error) return false;
    bool any = false;
    for (const auto& task : it) {
        std::ifstream in(task.path() / "stat");
        const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // "TID (name) S ...": the name may hold spaces and parentheses, the
        // state follows the last ')'. A thread gone meanwhile has no stat.
        const std::size_t close = stat.rfind(')');
        if (close == std::string::npos || close + 2 >= stat.size()) continue;
        const char state = stat[close + 2];
        if (state == 'Z' || state == 'X') continue;  // ended, holds nothing
        if (state != 'T' && state != 't') return false;
        any = true;
    }
    return any;
}

bool StopProcess(pid_t pid, std::chrono::milliseconds limit) {
    if (pid <= 0 || ::kill(pid, SIGSTOP) != 0) return false;
    if (WaitUntil([pid] { return AllThreadsStopped(pid); }, limit)) return true;
    ResumeProcess(pid);
    return false;
}

void ResumeProcess(pid_t pid) noexcept {
    if (pid > 0) ::kill(pid, SIGCONT);
}

}  // namespace quellmark::test
