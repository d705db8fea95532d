#include "harness/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include "base/unique_fd.h"

extern char** environ;

namespace quellmark::test {
namespace {

using Fd = quellmark::base::UniqueFd;

struct Pipe {
    Fd read;
    Fd write;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
        read.Reset(fds[0]);
        write.Reset(fds[1]);
    }
};

class FileActions {
public:
    FileActions() { ::posix_spawn_file_actions_init(&actions_); }
    ~FileActions() { ::posix_spawn_file_actions_destroy(&actions_); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    posix_spawn_file_actions_t* Get() noexcept { return &actions_; }

private:
    posix_spawn_file_actions_t actions_{};
};

// Kills and reaps the child unless it was reaped normally.
class Child {
public:
    explicit Child(pid_t pid) : pid_(pid) {}
    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    // The exit status once the child has ended; -1 while it runs.
    int TryReap() {
        int status = 0;
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == 0 || (r < 0 && errno == EINTR)) return -1;
        if (r < 0) throw std::runtime_error(std::string("waitpid: ") + std::strerror(errno));
        pid_ = -1;
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    }

private:
    pid_t pid_;
};

std::string Describe(const std::string& program, const std::vector<std::string>& args) {
    std::string text = program;
    for (const std::string& a : args) text += " '" + a + "'";
    return text;
}

}  // namespace

RunResult Run(const std::string& program, const std::vector<std::string>& args, std::chrono::seconds timeout,
              const std::optional<std::string>& input) {
    Pipe in;
    Pipe out;
    Pipe err;
    FileActions actions;
    if (input) {
        ::posix_spawn_file_actions_adddup2(actions.Get(), in.read.Get(), 0);
    } else {
        ::posix_spawn_file_actions_addopen(actions.Get(), 0, "/dev/null", O_RDONLY, 0);
    }
    ::posix_spawn_file_actions_adddup2(actions.Get(), out.write.Get(), 1);
    ::posix_spawn_file_actions_adddup2(actions.Get(), err.write.Get(), 2);

    std::vector<std::string> argvStorage{program};
    argvStorage.insert(argvStorage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argvStorage) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, program.c_str(), actions.Get(), nullptr, argv.data(), environ);
    if (rc != 0) throw std::runtime_error("Cannot start " + program + ": " + std::strerror(rc));
    Child child(pid);
    in.read.Reset();
    out.write.Reset();
    err.write.Reset();
    if (input) {
        // A program that exits without reading its input must not end this
        // process with SIGPIPE; a short write is then simply dropped.
        std::signal(SIGPIPE, SIG_IGN);
        for (std::size_t done = 0; done < input->size();) {
            const ssize_t n = ::write(in.write.Get(), input->data() + done, input->size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
    }
    in.write.Reset();

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    RunResult result;
    std::array<pollfd, 2> fds{{{out.read.Get(), POLLIN, 0}, {err.read.Get(), POLLIN, 0}}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) throw std::runtime_error("Timed out: " + Describe(program, args));
        const int n = ::poll(fds.data(), fds.size(), static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                fds[i].fd = -1;  // end of output (the descriptor is closed by its Pipe)
                --open;
            }
        }
    }
    while ((result.exitCode = child.TryReap()) < 0) {
        if (std::chrono::steady_clock::now() >= deadline)
            throw std::runtime_error("Timed out: " + Describe(program, args));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return result;
}

void EndChild(pid_t& pid, int signal) noexcept {
    if (pid <= 0) return;
    ::kill(pid, signal);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
}

std::string SettingsToolPath() { return QUELLMARK_SETTINGS_TOOL; }
std::string TestMdbWriterPath() { return QUELLMARK_TEST_MDB_TOOL; }
std::string LogDbPath() { return QUELLMARK_LOGDB_TOOL; }
std::string FaultProxyPath() { return QUELLMARK_FAULTPROXY_TOOL; }

RunResult RunSettingsTool(const std::vector<std::string>& args, const std::optional<std::string>& input) {
    return Run(SettingsToolPath(), args, std::chrono::seconds(60), input);
}

void WriteSettingsFile(const std::filesystem::path& file, const std::vector<std::string>& args) {
    std::vector<std::string> full{file.string()};
    full.insert(full.end(), args.begin(), args.end());
    const RunResult r = Run(TestMdbWriterPath(), full);
    if (r.exitCode != 0)
        throw std::runtime_error("quellmark-test-mdb failed (exit " + std::to_string(r.exitCode) + "): " + r.err);
}

std::string ReadFirstLine(int fd, std::chrono::milliseconds limit, const std::string& program) {
    const auto until = std::chrono::steady_clock::now() + limit;
    std::string line;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
        if (left <= 0) throw std::runtime_error(program + " did not report its port in time");
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        char c = 0;
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error(program + " ended before it listened");
        if (c == '\n') return line;
        line.push_back(c);
        if (line.size() > 200) throw std::runtime_error(program + " printed an unexpected line");
    }
}

ListeningChild StartListening(std::vector<std::string> args, std::chrono::milliseconds limit, bool dieWithParent) {
    const std::string name = std::filesystem::path(args.at(0)).filename().string();
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("cannot create a pipe for " + name);
    base::UniqueFd outRead(ends[0]);
    base::UniqueFd outWrite(ends[1]);
    ListeningChild child;
    child.pid = ::fork();
    if (child.pid < 0) throw std::runtime_error("cannot start " + name);
    if (child.pid == 0) {
        if (dieWithParent) ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::dup2(outWrite.Get(), STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    outWrite.Reset();
    try {
        child.firstLine = ReadFirstLine(outRead.Get(), limit, name);
        const std::string prefix = "listening on 127.0.0.1:";
        if (child.firstLine.rfind(prefix, 0) != 0)
            throw std::runtime_error(name + " printed '" + child.firstLine + "'");
        child.port = static_cast<std::uint16_t>(std::stoi(child.firstLine.substr(prefix.size())));
    } catch (...) {
        EndChild(child.pid, SIGKILL);
        throw;
    }
    return child;
}

}  // namespace quellmark::test
