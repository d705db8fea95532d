#include "data_access/sqlserver/driver_socket.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>

#include "base/unique_fd.h"

namespace quellmark::data_access::sqlserver {
namespace {

struct DirClose {
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};

bool IsInetStream(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
    if (address.ss_family != AF_INET && address.ss_family != AF_INET6) return false;
    int type = 0;
    socklen_t typeLength = sizeof type;
    return ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) == 0 && type == SOCK_STREAM;
}

// The peer's port, or -1 when the socket is not connected.
int PeerPort(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return -1;
    if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return -1;
}

}  // namespace

std::vector<OpenSocket> InetStreamSockets() {
    std::vector<OpenSocket> sockets;
    const std::unique_ptr<DIR, DirClose> dir(::opendir("/proc/self/fd"));
    if (dir == nullptr) return sockets;
    const int own = ::dirfd(dir.get());
    while (const dirent* entry = ::readdir(dir.get())) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == own) continue;
        struct stat status {};
        if (::fstat(static_cast<int>(fd), &status) != 0 || !S_ISSOCK(status.st_mode)) continue;
        if (IsInetStream(static_cast<int>(fd))) sockets.push_back(OpenSocket{static_cast<int>(fd), status.st_ino});
    }
    return sockets;
}

namespace {

// The connected sockets open now that were not among `before`.
std::vector<OpenSocket> NewConnected(const std::vector<OpenSocket>& before) {
    std::vector<OpenSocket> fresh;
    for (const OpenSocket& socket : InetStreamSockets()) {
        const bool known =
            std::any_of(before.begin(), before.end(), [&](const OpenSocket& old) { return old.Inode == socket.Inode; });
        if (!known && PeerPort(socket.Fd) >= 0) fresh.push_back(socket);
    }
    return fresh;
}

}  // namespace

int ShutDownNew(const std::vector<OpenSocket>& before, int peerPort) noexcept {
    try {
        int count = 0;
        for (const OpenSocket& socket : NewConnected(before)) {
            if (PeerPort(socket.Fd) != peerPort) continue;
            ShutDown(socket);
            ++count;
        }
        return count;
    } catch (...) {  // no memory for the list: nothing was shut down
        return 0;
    }
}

std::optional<OpenSocket> NewConnectedSocket(const std::vector<OpenSocket>& before, int peerPort) {
    std::vector<OpenSocket> fresh = NewConnected(before);
    if (fresh.size() > 1 && peerPort > 0) {
        std::erase_if(fresh, [&](const OpenSocket& socket) { return PeerPort(socket.Fd) != peerPort; });
    }
    if (fresh.size() != 1) return std::nullopt;
    return fresh.front();
}

void ShutDown(const OpenSocket& socket) noexcept {
    // A duplicate holds on to whatever the descriptor refers to while it is
    // checked, so the driver closing it meanwhile cannot make this shut down
    // another socket.
    const quellmark::base::UniqueFd copy(::fcntl(socket.Fd, F_DUPFD_CLOEXEC, 0));
    if (copy.Get() < 0) return;
    struct stat status {};
    if (::fstat(copy.Get(), &status) != 0 || !S_ISSOCK(status.st_mode) || status.st_ino != socket.Inode) return;
    ::shutdown(copy.Get(), SHUT_RDWR);
}

}  // namespace quellmark::data_access::sqlserver
