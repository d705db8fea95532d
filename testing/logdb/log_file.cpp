#include "logdb/log_file.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace quellmark::logdb {

LogFile::LogFile(const std::string& path, std::string_view what) {
    if (path.empty()) return;
    file_ = std::fopen(path.c_str(), "a");
    if (!file_)
        throw std::runtime_error("cannot open the " + std::string(what) + " " + path + ": " + std::strerror(errno));
}

LogFile::~LogFile() {
    if (file_) std::fclose(file_);
}

void LogFile::Line(std::string_view line) {
    if (!file_) return;
    std::lock_guard lock(mutex_);
    std::fwrite(line.data(), 1, line.size(), file_);
    std::fputc('\n', file_);
    std::fflush(file_);
}

}  // namespace quellmark::logdb
