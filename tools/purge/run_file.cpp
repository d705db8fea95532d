#include "purge/run_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string_view>
#include <vector>

#include "base/free_with.h"
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

// One entry of a POSIX access ACL as Linux keeps it in the extended
// attribute system.posix_acl_access: a version word (2), then entries of a
// 16-bit tag, 16-bit permissions and a 32-bit id, little-endian.
struct AclEntry {
    std::uint16_t tag = 0;
    std::uint16_t permissions = 0;
    std::uint32_t id = 0;
};
constexpr std::uint16_t kAclUser = 0x02, kAclGroupObj = 0x04, kAclGroup = 0x08, kAclMask = 0x10;
constexpr std::uint16_t kAclWrite = 0x02;
constexpr const char* kAclAttribute = "system.posix_acl_access";

std::uint32_t LittleEndian(const unsigned char* bytes, int size) {
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i) value = (value << 8) | bytes[i];
    return value;
}

// The access ACL of the file open as `fd` (or at `path` when fd < 0); empty
// when it has none beyond its mode bits, or its file system keeps none.
std::vector<AclEntry> AccessAcl(int fd, const std::string& path) {
    std::vector<unsigned char> bytes;
    for (;;) {
        ssize_t size =
            fd >= 0 ? ::fgetxattr(fd, kAclAttribute, nullptr, 0) : ::getxattr(path.c_str(), kAclAttribute, nullptr, 0);
        if (size >= 0) {
            bytes.resize(static_cast<std::size_t>(size));
            size = fd >= 0 ? ::fgetxattr(fd, kAclAttribute, bytes.data(), bytes.size())
                           : ::getxattr(path.c_str(), kAclAttribute, bytes.data(), bytes.size());
        }
        if (size >= 0) {
            bytes.resize(static_cast<std::size_t>(size));
            break;
        }
        if (errno == ERANGE) continue;  // it grew in between
        if (errno == ENODATA || errno == ENOTSUP) return {};
        throw UsageError("cannot read the ACL of \"" + path + "\": " + std::strerror(errno) + ".");
    }
    if (bytes.size() < 4 || (bytes.size() - 4) % 8 != 0 || LittleEndian(bytes.data(), 4) != 2)
        throw UsageError("cannot read the ACL of \"" + path + "\": it is not a POSIX ACL of version 2.");
    std::vector<AclEntry> entries;
    for (std::size_t at = 4; at < bytes.size(); at += 8)
        entries.push_back({static_cast<std::uint16_t>(LittleEndian(&bytes[at], 2)),
                           static_cast<std::uint16_t>(LittleEndian(&bytes[at + 2], 2)),
                           LittleEndian(&bytes[at + 4], 4)});
    return entries;
}

std::string AclText(const AclEntry& entry, const char* kind) {
    const auto rwx = [](unsigned p) {
        return std::string(p & 4 ? "r" : "-") + (p & 2 ? "w" : "-") + (p & 1 ? "x" : "-");
    };
    return "(ACL entry " + std::string(kind) + ":" + (entry.tag == kAclGroupObj ? "" : std::to_string(entry.id)) + ":" +
           rwx(entry.permissions) + ")";
}

// Who besides root and the user running this can write a file or folder of
// this status (and access ACL, read from `fd` or `path`): empty when nobody.
// A folder with the sticky bit (/tmp) lets others add files but not replace
// this one. With an ACL, a named user, a named group or the owning group
// writes when its entry and the mask both allow it.
std::string OtherWriters(const struct stat& status, bool folder, int fd, const std::string& path) {
    const uid_t self = ::geteuid();
    if (status.st_uid != 0 && status.st_uid != self) return "its owner (user " + std::to_string(status.st_uid) + ")";
    if (folder && (status.st_mode & S_ISVTX)) return {};
    if (status.st_mode & S_IWOTH) return "every user (mode " + Octal(status.st_mode) + ")";
    const std::vector<AclEntry> acl = AccessAcl(fd, path);
    if (acl.empty()) {
        if ((status.st_mode & S_IWGRP) && status.st_gid != 0)
            return "the group " + std::to_string(status.st_gid) + " (mode " + Octal(status.st_mode) + ")";
        return {};
    }
    bool maskWrites = true;  // no mask: a minimal ACL, the mode bits' own
    for (const AclEntry& entry : acl)
        if (entry.tag == kAclMask) maskWrites = entry.permissions & kAclWrite;
    for (const AclEntry& entry : acl) {
        if (!(entry.permissions & kAclWrite) || !maskWrites) continue;
        if (entry.tag == kAclUser && entry.id != 0 && entry.id != self)
            return "the user " + std::to_string(entry.id) + " " + AclText(entry, "user");
        if (entry.tag == kAclGroup && entry.id != 0)
            return "the group " + std::to_string(entry.id) + " " + AclText(entry, "group");
        if (entry.tag == kAclGroupObj && status.st_gid != 0)
            return "the group " + std::to_string(status.st_gid) + " " + AclText(entry, "group");
    }
    return {};
}

// Refuses a file that chooses the rows a run deletes when someone other than
// its owner can change it, or replace it through a folder on its way from /:
// the folders of the name given and, for a link, of the file it names.
void RefuseIfOthersCanWrite(const std::string& file, const struct stat& status, int fd, const std::string& what) {
    const std::string why = " chooses the rows that are deleted, so no one but its owner may change it";
    if (const std::string others = OtherWriters(status, false, fd, file); !others.empty())
        throw UsageError("refusing the " + what + " \"" + file + "\": " + others + " can write it, and it" + why +
                         " (chown root, chmod go-w and setfacl -b it).");
    std::filesystem::path given = std::filesystem::path(file).parent_path();
    if (given.empty()) given = ".";
    std::vector<std::filesystem::path> starts;
    for (const std::filesystem::path& name : {given, std::filesystem::path(file)}) {
        const std::unique_ptr<char, base::FreeWith<::free>> real(::realpath(name.c_str(), nullptr));
        if (!real)
            throw UsageError("cannot read the folder of the " + what + " \"" + file + "\": " + std::strerror(errno) +
                             ".");
        starts.emplace_back(real.get());
    }
    starts.back() = starts.back().parent_path();  // the folder of the file a link names
    if (starts.back() == starts.front()) starts.pop_back();
    for (std::size_t i = 0; i < starts.size(); ++i) {
        for (std::filesystem::path folder = starts[i];; folder = folder.parent_path()) {
            struct stat folderStatus {};
            if (::stat(folder.c_str(), &folderStatus) != 0)
                throw UsageError("cannot read the folder \"" + folder.string() + "\" of the " + what + " \"" + file +
                                 "\": " + std::strerror(errno) + ".");
            if (const std::string others = OtherWriters(folderStatus, true, -1, folder.string()); !others.empty())
                throw UsageError("refusing the " + what + " \"" + file + "\": " + others + " can write " +
                                 (i == 0 && folder == starts[0] ? "its folder" : "the folder") + " \"" +
                                 folder.string() + "\", and so replace the file, which" + why + ".");
            if (folder == folder.parent_path()) break;
        }
    }
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

    if (othersMayNotWrite) RefuseIfOthersCanWrite(file, status, fd.Get(), what);

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

}  // namespace quellmark::purge_tool
