#include "purge/job_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string_view>

#include "base/text.h"
#include "base/unique_fd.h"

namespace quellmark::purge_tool {
namespace {

// A job or statement file is a few lines; anything much larger is not one.
constexpr off_t kMaxRunFileBytes = 64 * 1024;

std::string Octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Who besides root and the user running this can write a file or folder of
// this status: empty when nobody. A folder with the sticky bit (/tmp) lets
// others add files but not replace this one.
std::string OtherWriters(const struct stat& status, bool folder) {
    const uid_t self = ::geteuid();
    if (status.st_uid != 0 && status.st_uid != self) return "its owner (user " + std::to_string(status.st_uid) + ")";
    if (folder && (status.st_mode & S_ISVTX)) return {};
    if (status.st_mode & S_IWOTH) return "every user (mode " + Octal(status.st_mode) + ")";
    if ((status.st_mode & S_IWGRP) && status.st_gid != 0)
        return "the group " + std::to_string(status.st_gid) + " (mode " + Octal(status.st_mode) + ")";
    return {};
}

// Refuses a file that chooses the rows a run deletes when someone other than
// its owner can change it, or replace it through its folder.
void RefuseIfOthersCanWrite(const std::string& file, const struct stat& status, const std::string& what) {
    const std::string why = " chooses the rows that are deleted, so no one but its owner may change it";
    if (const std::string others = OtherWriters(status, false); !others.empty())
        throw UsageError("refusing the " + what + " \"" + file + "\": " + others + " can write it, and it" + why +
                         " (chown root and chmod go-w it).");
    std::filesystem::path folder = std::filesystem::path(file).parent_path();
    if (folder.empty()) folder = ".";
    struct stat folderStatus {};
    if (::stat(folder.c_str(), &folderStatus) != 0)
        throw UsageError("cannot read the folder of the " + what + " \"" + file + "\": " + std::strerror(errno) + ".");
    if (const std::string others = OtherWriters(folderStatus, true); !others.empty())
        throw UsageError("refusing the " + what + " \"" + file + "\": " + others + " can write its folder \"" +
                         folder.string() + "\", and so replace the file, which" + why + ".");
}

}  // namespace

std::string ReadRunFile(const std::string& file, const std::string& what, bool othersMayNotWrite) {
    // Opened without waiting, so that a FIFO is refused at once rather than
    // waited on for a writer.
    const base::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) throw UsageError("cannot read the " + what + " \"" + file + "\": " + std::strerror(errno) + ".");
    struct stat status {};
    if (::fstat(fd.Get(), &status) != 0 || !S_ISREG(status.st_mode))
        throw UsageError("the " + what + " \"" + file + "\" is not a regular file.");
    const std::string tooLarge = "the " + what + " \"" + file + "\" is over 64 KiB; a " + what + " is a few lines.";
    if (status.st_size > kMaxRunFileBytes) throw UsageError(tooLarge);

    if (othersMayNotWrite) RefuseIfOthersCanWrite(file, status, what);

    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw UsageError("cannot read the " + what + " \"" + file + "\": " + std::strerror(errno) + ".");
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > static_cast<std::size_t>(kMaxRunFileBytes)) throw UsageError(tooLarge);
    }
    return text;
}

PurgeOptions ReadJobFile(const std::string& file) {
    const std::string text = ReadRunFile(file, "job file", true);
    const std::filesystem::path folder = std::filesystem::path(file).parent_path();
    PurgeOptions options;
    std::map<std::string, int, std::less<>> seen;  // key -> line
    int line = 0;
    for (std::size_t start = 0; start <= text.size();) {
        ++line;
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string_view raw(text.data() + start, end - start);
        start = end + 1;
        if (line == 1 && raw.substr(0, 3) == "\xEF\xBB\xBF") raw.remove_prefix(3);  // a UTF-8 byte order mark
        const std::string at = file + ":" + std::to_string(line) + ": ";
        const std::string_view content = base::TrimSpaces(raw);
        if (content.empty() || content.front() == '#') continue;
        if (content.find('\0') != std::string_view::npos) throw UsageError(at + "the line holds a NUL byte.");
        const std::size_t equals = content.find('=');
        const std::string_view name =
            equals == std::string_view::npos ? std::string_view{} : base::TrimSpaces(content.substr(0, equals));
        if (name.empty()) {
            const std::string shown =
                content.size() > 60 ? std::string(content.substr(0, 57)) + "..." : std::string(content);
            throw UsageError(at + "expected `name = value`, not \"" + shown + "\".");
        }
        std::string value(base::TrimSpaces(content.substr(equals + 1)));
        if (!IsOption(name))
            throw UsageError(at + "unknown key \"" + std::string(name) +
                             "\"; the keys are the long option names of quellmark-purge --help.");
        if (!AllowedInJobFile(name))
            throw UsageError(at + std::string(name) + " is given on the command line only, not in a job file.");
        if (const auto earlier = seen.find(name); earlier != seen.end())
            throw UsageError(at + std::string(name) + " is given again; line " + std::to_string(earlier->second) +
                             " gave it first.");
        seen.emplace(std::string(name), line);
        if (NamesFile(name) && !value.empty() && value != "-" && std::filesystem::path(value).is_relative())
            value = (folder / value).string();
        try {
            ApplyOption(options, name, value);
        } catch (const UsageError& e) {
            throw UsageError(at + e.what());
        }
    }
    options.job = file;
    return options;
}

}  // namespace quellmark::purge_tool
