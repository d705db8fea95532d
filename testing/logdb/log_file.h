// A text file the log server appends lines to from every connection's
// thread: the statistics and the wire dump.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace quellmark::logdb {

class LogFile {
public:
    // An empty path: no file, Line does nothing. Throws std::runtime_error,
    // naming `what`, when the file cannot be opened for appending.
    LogFile(const std::string& path, std::string_view what);
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    bool Enabled() const noexcept { return file_ != nullptr; }
    // Appends `line` and a line break and flushes, so that a reader sees
    // whole lines even while the server runs.
    void Line(std::string_view line);

private:
    std::mutex mutex_;
    std::FILE* file_ = nullptr;
};

}  // namespace quellmark::logdb
