#include "data_access/sqlserver/freetds_login_config.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "base/unique_fd.h"
#include "data_access/data_access.h"

namespace quellmark::data_access::sqlserver {
namespace {

// FreeTDS reads its configuration in lines of at most 255 characters and ends
// a value at ';' or '#'.
constexpr std::size_t kMaxValue = 200;

bool SafeValue(const std::string& value) {
    return !value.empty() && value.size() <= kMaxValue && std::none_of(value.begin(), value.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u <= 0x20 || u == 0x7F || c == ';' || c == '#' || c == '[' || c == ']' || c == '=';
    });
}

// The process's private folder for the driver's configuration, made at the
// first login and removed when the process ends.
class RuntimeFolder {
public:
    RuntimeFolder() {
        const char* bases[] = {std::getenv("XDG_RUNTIME_DIR"), std::getenv("TMPDIR"), "/tmp"};
        for (const char* base : bases) {
            if (!base || !*base) continue;
            std::string pattern = std::string(base) + "/quellmark-XXXXXX";
            if (!SafeValue(pattern + "/pinned.pem")) continue;
            if (::mkdtemp(pattern.data())) {
                folder_ = pattern;
                break;
            }
        }
    }
    ~RuntimeFolder() {
        if (folder_.empty()) return;
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    RuntimeFolder(const RuntimeFolder&) = delete;
    RuntimeFolder& operator=(const RuntimeFolder&) = delete;

    bool Usable() const noexcept { return !folder_.empty(); }
    std::string ConfigFile() const { return folder_ + "/freetds.conf"; }
    std::string PinnedFile() const { return folder_ + "/pinned.pem"; }

private:
    std::string folder_;
};

std::mutex gLoginMutex;

RuntimeFolder& Folder() {
    static RuntimeFolder folder;
    return folder;
}

// Points the driver at the private folder's file, once.
void PointDriverAtFolder(RuntimeFolder& folder) {
    static const bool pointed = folder.Usable() && ::setenv("FREETDSCONF", folder.ConfigFile().c_str(), 1) == 0;
    if (!pointed)
        throw Error(
            "No private folder for the SQL Server driver's settings can be made (in $XDG_RUNTIME_DIR, "
            "$TMPDIR or /tmp).");
}

void WriteFile(const std::string& path, const std::string& text) {
    ::unlink(path.c_str());
    const quellmark::base::UniqueFd fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd || ::write(fd.Get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        throw Error("The SQL Server driver's settings cannot be written to " + path + ": " + std::strerror(errno) +
                    ".");
}

void RemoveFiles(RuntimeFolder& folder) {
    ::unlink(folder.ConfigFile().c_str());
    ::unlink(folder.PinnedFile().c_str());
}

}  // namespace

LoginConfig::LoginConfig(const std::string& host, int port, const std::string& instance, const ServerTrust& trust)
    : lock_(gLoginMutex) {
    if (!SafeValue(host))
        throw Error("The server name \"" + host +
                    "\" holds characters no host name has (spaces, ';', '#', '[', ']', '=' or control characters); "
                    "write the server's host name or address.");
    if (!instance.empty() && !SafeValue(instance))
        throw Error("The instance name \"" + instance + "\" holds characters no instance name has.");
    RuntimeFolder& folder = Folder();
    PointDriverAtFolder(folder);
    std::string text = "[global]\n[" + std::string(kFreeTdsSection) + "]\n\thost = " + host + "\n";
    text += instance.empty() ? "\tport = " + std::to_string(port) + "\n" : "\tinstance = " + instance + "\n";
    text += "\tencryption = require\n";
    try {
        if (trust.Pinned) {
            // A copy of the pinned certificate alone: whatever else the pin
            // file holds is no authority.
            WriteFile(folder.PinnedFile(), trust.Pinned->Pem());
            text += "\tca file = " + folder.PinnedFile() + "\n\tcheck certificate hostname = no\n";
        } else {
            text += "\tca file = system\n\tcheck certificate hostname = yes\n";
        }
        WriteFile(folder.ConfigFile(), text);
    } catch (...) {
        RemoveFiles(folder);
        throw;
    }
}

LoginConfig::~LoginConfig() { RemoveFiles(Folder()); }

void StartDriverConfiguration() { PointDriverAtFolder(Folder()); }

}  // namespace quellmark::data_access::sqlserver
