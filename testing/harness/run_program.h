// Running the project's programs from tests and benchmarks: directly, without
// a shell, so every argument arrives exactly as given, collecting the exit
// status and output.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quellmark::test {

struct RunResult {
    int exitCode = -1;  // the exit status; 128 + n when killed by signal n
    std::string out;
    std::string err;
};

// Runs program (looked up in PATH when it has no '/') with the arguments and
// waits for it. Standard input is `input` when given, /dev/null otherwise. A
// program still running after the timeout is killed and std::runtime_error
// thrown; so is a program that cannot be started.
RunResult Run(const std::string& program, const std::vector<std::string>& args,
              std::chrono::seconds timeout = std::chrono::seconds(60),
              const std::optional<std::string>& input = std::nullopt);

// Sends `signal` to a child started in the background, waits for it to end
// and sets `pid` to -1; does nothing when `pid` is not positive.
void EndChild(pid_t& pid, int signal) noexcept;

// Reads a child's first line from `fd` (its standard output), waiting at most
// `limit`; throws std::runtime_error naming `program` when none comes.
std::string ReadFirstLine(int fd, std::chrono::milliseconds limit, const std::string& program);

// A test server or proxy started in the background, listening on loopback.
struct ListeningChild {
    pid_t pid = -1;
    std::uint16_t port = 0;
    std::string firstLine;  // "listening on 127.0.0.1:PORT ..."
};
// Starts args[0] with the arguments args[1...] and waits at most `limit` for
// the first line of its standard output, "listening on 127.0.0.1:PORT...".
// Any other line, none in time, or a program that cannot be started: the
// child is ended and std::runtime_error thrown. With `dieWithParent` the
// child gets SIGKILL when the thread that started it ends.
ListeningChild StartListening(std::vector<std::string> args, std::chrono::milliseconds limit, bool dieWithParent);

// The built programs.
std::string SettingsToolPath();   // quellmark-settings, the operator's tool
std::string TestMdbWriterPath();  // quellmark-test-mdb
std::string LogDbPath();          // quellmark-logdb
std::string FaultProxyPath();     // quellmark-faultproxy

// Runs the built quellmark-settings with the arguments.
RunResult RunSettingsTool(const std::vector<std::string>& args, const std::optional<std::string>& input = std::nullopt);

// Writes a settings file of any shape with quellmark-test-mdb (values left
// out are stored as null; --text-column, --drop-column, --no-table, --rows
// ...). Throws std::runtime_error carrying the writer's message unless it
// succeeded.
void WriteSettingsFile(const std::filesystem::path& file, const std::vector<std::string>& args);

}  // namespace quellmark::test
