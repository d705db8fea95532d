#include "base/lock_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

namespace quellmark::base {
namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& path, int error) {
    throw LockFileError("cannot " + what + " the lock file " + path + ": " + std::strerror(error) + ".");
}

std::string ReadSmall(int fd) {
    char buffer[64];
    std::string text;
    off_t at = 0;
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
        at += n;
        if (text.size() >= 64) break;
    }
    return text;
}

}  // namespace

std::optional<pid_t> ParseLockHolder(const std::string& text) {
    std::size_t end = text.size();
    while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == ' ')) --end;
    if (end == 0) return std::nullopt;
    long value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + end, value);
    if (ec != std::errc() || ptr != text.data() + end || value <= 0 || value > 0x3fffffff) return std::nullopt;
    return static_cast<pid_t>(value);
}

LockAttempt LockFile::TryTake(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const UniqueFd folderFd(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folderFd) Fail("open", path, errno);
    struct stat status {};
    if (::fstat(folderFd.Get(), &status) != 0) Fail("open", path, errno);
    // Where every user can make files (/run/lock, /tmp), anyone could take
    // the lock first and hold it, or leave something else in its place.
    if (status.st_mode & S_IWOTH)
        throw LockFileError("cannot use the lock file " + path + ": every user can write its folder " + folder +
                            ", and so hold the lock.");

    // No link followed, nothing opened that could block (a FIFO).
    constexpr int kFlags = O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK;
    UniqueFd fd(::openat(folderFd.Get(), name.c_str(), O_RDWR | O_CREAT | kFlags, 0660));
    bool writable = true;
    if (!fd && (errno == EACCES || errno == EROFS)) {
        // Another user's file (or a read-only copy): a lock needs no write
        // access, only the holder's id cannot be written then.
        const int openError = errno;
        fd.Reset(::openat(folderFd.Get(), name.c_str(), O_RDONLY | kFlags));
        if (!fd) Fail("open", path, openError);
        writable = false;
    }
    if (!fd) Fail("open", path, errno);
    if (::fstat(fd.Get(), &status) != 0) Fail("open", path, errno);
    if (!S_ISREG(status.st_mode))
        throw LockFileError("cannot use the lock file " + path + ": it is not a regular file.");
    // Every run of the group uses the file, whoever made it and whatever the
    // umask of that run.
    if (status.st_uid == ::geteuid() && (status.st_mode & 0777) != 0660 && ::fchmod(fd.Get(), 0660) != 0)
        Fail("set the mode of", path, errno);
    while (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno == EWOULDBLOCK) {
            // A holder that could not write its id leaves an earlier one
            // behind: a process that is gone is no holder to name.
            std::optional<pid_t> holder = ParseLockHolder(ReadSmall(fd.Get()));
            if (holder && ::kill(*holder, 0) != 0 && errno == ESRCH) holder.reset();
            return LockAttempt{std::nullopt, holder};
        }
        Fail("lock", path, errno);
    }
    if (writable) {
        const std::string text = std::to_string(::getpid()) + "\n";
        if (::ftruncate(fd.Get(), 0) != 0 ||
            ::pwrite(fd.Get(), text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
            Fail("write the process id to", path, errno);
    }
    return LockAttempt{LockFile(std::move(fd), path), std::nullopt};
}

}  // namespace quellmark::base
