// Finding the TCP socket a connection's driver opened, through the process's
// descriptor table (/proc/self/fd), and shutting it down so that a read or
// write the driver waits in ends at once.
#pragma once

#include <sys/types.h>

#include <optional>
#include <vector>

#include "data_access/internal/layer_only.h"

namespace quellmark::data_access::sqlserver {

// A TCP/IP socket the process has open: its descriptor and its inode, which
// tells it apart from a later socket given the same descriptor.
struct OpenSocket {
    int Fd = -1;
    ino_t Inode = 0;
};

// Every TCP/IP stream socket the process has open now.
std::vector<OpenSocket> InetStreamSockets();

// The socket a connection has opened: the connected TCP/IP socket that is
// open now and was not among `before`. Where several are new, only the one
// connected to `peerPort` (0: any) is taken; nullopt when that leaves none or
// more than one.
std::optional<OpenSocket> NewConnectedSocket(const std::vector<OpenSocket>& before, int peerPort);

// Shuts down every connected TCP/IP socket that is open now, was not among
// `before` and is connected to `peerPort`: the sockets a login under way has
// opened to its server. Returns how many.
int ShutDownNew(const std::vector<OpenSocket>& before, int peerPort) noexcept;

// Shuts the socket down in both directions, so that a read or write waiting
// on it ends at once. Does nothing when the descriptor has been closed or now
// refers to another socket.
void ShutDown(const OpenSocket& socket) noexcept;

}  // namespace quellmark::data_access::sqlserver
