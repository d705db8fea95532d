// Making settings files for tests: runs quellmark-settings (or any other
// program) directly, without a shell, so every argument arrives exactly as
// given, and collects its exit status and output.
#pragma once

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace settings_file {

struct RunResult {
    int exitCode = -1;  // the exit status; 128 + n when killed by signal n
    std::string out;
    std::string err;
};

// Runs program (looked up in PATH when it has no '/') with the arguments,
// stdin from /dev/null, and waits for it. A program still running after the
// timeout is killed and std::runtime_error thrown; so is a program that cannot
// be started.
RunResult Run(const std::string& program, const std::vector<std::string>& args,
              std::chrono::seconds timeout = std::chrono::seconds(60));

// Runs the built quellmark-settings with the arguments.
RunResult RunTool(const std::vector<std::string>& args);

// quellmark-settings write FILE args...; throws std::runtime_error carrying
// the tool's message unless it succeeded.
void Write(const std::filesystem::path& file, const std::vector<std::string>& args);

}  // namespace settings_file
