// The exclusive lock file: one holder at a time across processes, the
// holder's id in the file, what cannot be used refused with the reason.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/lock_file.h"

using quellmark::base::LockFile;
using quellmark::base::LockFileError;
using quellmark::base::ParseLockHolder;

namespace {

struct Folder {
    Folder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qm-lock-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~Folder() { std::filesystem::remove_all(path); }
    std::filesystem::path path;
};

std::string Text(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void Write(const std::filesystem::path& file, const std::string& text) { std::ofstream(file) << text; }

TEST(LockFile, OneHolderAtATimeNamedInTheFileWhichOutlivesIt) {
    Folder folder;
    const std::string path = (folder.path / "run.lock").string();
    const mode_t umask = ::umask(077);  // the unit's: the group can use the file all the same
    {
        quellmark::base::LockAttempt first = LockFile::TryTake(path);
        ASSERT_TRUE(first.lock);
        EXPECT_EQ(Text(path), std::to_string(::getpid()) + "\n");
        // Another open of the file, even in the same process, finds it held.
        const quellmark::base::LockAttempt second = LockFile::TryTake(path);
        EXPECT_FALSE(second.lock);
        EXPECT_EQ(second.holder, ::getpid());
    }
    ::umask(umask);
    EXPECT_EQ(std::filesystem::status(path).permissions(), std::filesystem::perms(0660));
    Write(path, "999999999 and more text a holder left behind\n");
    EXPECT_TRUE(LockFile::TryTake(path).lock);
    EXPECT_EQ(Text(path), std::to_string(::getpid()) + "\n");  // rewritten whole
}

TEST(LockFile, AnotherProcessHoldsItUntilItIsKilled) {
    Folder folder;
    const std::string path = (folder.path / "run.lock").string();
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        quellmark::base::LockAttempt held = LockFile::TryTake(path);
        const char c = held.lock ? 'y' : 'n';
        if (::write(ready[1], &c, 1) != 1) ::_exit(1);
        ::pause();
        ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    const quellmark::base::LockAttempt attempt = LockFile::TryTake(path);
    EXPECT_FALSE(attempt.lock);
    EXPECT_EQ(attempt.holder, child);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(LockFile::TryTake(path).lock);
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST(LockFile, AHolderWhoseIdIsNotInTheFileIsNotNamed) {
    Folder folder;
    const std::string path = (folder.path / "run.lock").string();
    // A process that is gone, its id left in a file someone holds without
    // having written to it.
    const pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    for (const std::string& text : {std::to_string(gone) + "\n", std::string(), std::string("garbage")}) {
        SCOPED_TRACE(text);
        Write(path, text);
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(::flock(fd, LOCK_EX), 0);
        const quellmark::base::LockAttempt attempt = LockFile::TryTake(path);
        EXPECT_FALSE(attempt.lock);
        EXPECT_FALSE(attempt.holder);
        ::close(fd);
    }
}

TEST(LockFile, WhatCannotBeUsedIsRefusedWithTheFileAndTheReason) {
    Folder folder;
    const std::string missing = (folder.path / "no-such-folder" / "run.lock").string();
    try {
        LockFile::TryTake(missing);
        ADD_FAILURE() << "a lock file in a missing folder";
    } catch (const LockFileError& e) {
        EXPECT_EQ(std::string(e.what()), "cannot open the lock file " + missing + ": No such file or directory.");
    }
    // A link planted in the world-writable lock folder is not followed.
    const std::filesystem::path target = folder.path / "elsewhere";
    Write(target, "keep");
    std::filesystem::create_symlink(target, folder.path / "run.lock");
    EXPECT_THROW(LockFile::TryTake((folder.path / "run.lock").string()), LockFileError);
    EXPECT_EQ(Text(target), "keep");
    const std::string fifo = (folder.path / "fifo.lock").string();  // nothing but a regular file,
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0660), 0);                     // in a folder not everyone can write
    for (const auto& [mode, why] : std::vector<std::pair<mode_t, std::string>>{
             {0700, "it is not a regular file."},
             {01777, "every user can write its folder " + folder.path.string() + ", and so hold the lock."}}) {
        ::chmod(folder.path.c_str(), mode);
        try {
            LockFile::TryTake(fifo);
            ADD_FAILURE() << "taken in a folder of mode " << mode;
        } catch (const LockFileError& e) {
            EXPECT_EQ(std::string(e.what()), "cannot use the lock file " + fifo + ": " + why);
        }
    }
}

TEST(LockFile, TheHolderIsReadAsAPositiveProcessIdOnly) {
    EXPECT_EQ(ParseLockHolder("1234\n"), 1234);
    EXPECT_EQ(ParseLockHolder("77"), 77);
    for (const char* text : {"", "\n", "abc", "-5", "0", "12x\n", "99999999999999999999"})
        EXPECT_FALSE(ParseLockHolder(text)) << text;
}

}  // namespace
