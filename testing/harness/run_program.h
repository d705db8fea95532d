// Running the project's programs from tests and benchmarks: directly, without
// a shell, so every argument arrives exactly as given, collecting the exit
// status and output.
#pragma once

#include <sys/types.h>

#include <chrono>
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
