// Keeping a statement's time limit on a FreeTDS connection.
//
// The driver keeps the limit itself (the statement's query time-out): when it
// runs out, FreeTDS sends the server an attention, which cancels the
// statement, and waits for the server to acknowledge it. But it waits as long
// again as the limit before it gives up and closes the connection, so a
// server that has stopped altogether (a frozen process, a dead network path)
// would hold the caller for twice the limit. The connection's TCP socket is
// therefore found when the connection is opened, and a Deadline shuts it down
// when the acknowledgement has not come a short while after the limit: the
// driver's wait then ends at once, with the connection closed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "data_access/sqlserver/driver_connection_string.h"
#include "data_access/value_types.h"

namespace data_access::odbc {

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

// Shuts the socket down in both directions, so that a read or write waiting
// on it ends at once. Does nothing when the descriptor has been closed or now
// refers to another socket.
void ShutDown(const OpenSocket& socket) noexcept;

// How long the server is given, once a statement's limit has run out, to
// acknowledge its cancellation: a third of the limit, at most 10 seconds.
std::chrono::milliseconds CancellationGrace(std::int32_t timeoutSeconds);

// Runs an action on a thread of its own when the time `at` passes before
// Stop is called (or the object destroyed).
class Deadline {
public:
    Deadline(std::chrono::steady_clock::time_point at, std::function<void()> action);
    ~Deadline() { Stop(); }
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

    // True once the action has run.
    bool Passed() const;
    // Ends the thread; afterwards the action can no longer run. True when it
    // has run.
    bool Stop();

private:
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool passed_ = false;
    std::thread thread_;
};

// True when the records say the statement ran past its limit (HYT00).
bool StatementTimedOut(const std::vector<ErrorEntry>& records);

// How a statement that ran past its limit ended.
enum class TimeoutEnd {
    Cancelled,       // the server acknowledged the cancellation
    DriverClosed,    // the driver gave up waiting and closed the connection
    DeadlineClosed,  // the acknowledgement did not come in time; the socket was shut down here
};

// The entry that says so in plain words, last of the statement's records.
ErrorEntry TimeoutEntry(const SqlServerAddress& address, std::int32_t timeoutSeconds, TimeoutEnd end);

}  // namespace data_access::odbc
