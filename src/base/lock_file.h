// An exclusive lock on a file (flock), held for the life of its owner. The
// file holds the holder's process id, written once the lock is taken, so
// that another process that finds it taken can name the holder. The file is
// left in place when the owner goes: removing it would race with a process
// that has just opened it and is about to lock it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <stdexcept>
#include <string>

#include "base/unique_fd.h"

namespace quellmark::base {

// The lock file could not be opened or locked (no folder, no permission, a
// read-only file system); the description names the file and the reason.
class LockFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct LockAttempt;

class LockFile {
public:
    // Takes the lock on `path` without waiting, creating the file when it is
    // missing. The file is made readable and writable by its owner and group
    // (0660) whatever the umask, so that every member of the folder's group
    // can lock it. Throws LockFileError when the file cannot be used: a link,
    // anything but a regular file, or one in a folder every user can write.
    static LockAttempt TryTake(const std::string& path);

    LockFile(LockFile&&) noexcept = default;
    LockFile& operator=(LockFile&&) noexcept = default;
    // Unlocks (closing the descriptor releases the flock).
    ~LockFile() = default;

    const std::string& Path() const noexcept { return path_; }

private:
    LockFile(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}

    UniqueFd fd_;
    std::string path_;
};

// What LockFile::TryTake found.
struct LockAttempt {
    std::optional<LockFile> lock;  // the lock, when taken
    // When another process holds it: its process id, as its file says
    // (nullopt when it names none, or a process that is gone).
    std::optional<pid_t> holder;
};

// The process id a lock file's text names ("1234\n"); nullopt for anything else.
std::optional<pid_t> ParseLockHolder(const std::string& text);

}  // namespace quellmark::base
