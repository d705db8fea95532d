// A scratch system journal for tests: a datagram socket in a scratch folder,
// and programs run in a private mount namespace in which that folder is
// /run/systemd/journal, so that what they send to the journal arrives here
// (and nothing reaches the machine's own journal). A DatagramListener of its
// own serves as NOTIFY_SOCKET for sd_notify; RunInPrivateMounts binds other
// folders the same way (a scratch /run/lock, say).
//
//   ScratchJournal journal;
//   RunResult run = journal.Run(program, args);
//   for (const std::string& datagram : journal.Receive())
//       JournalDatagram record = ParseJournalDatagram(datagram);
//
// The namespace needs root (CAP_SYS_ADMIN); CanUseMountNamespaces() says
// whether this process may make one. Inside it, a machine with no
// /run/systemd/journal gets a tmpfs over /run/systemd (or over /run, when
// there is no /run/systemd; /run/lock is made again there) to hold the mount
// point; the machine's own /run is never written.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/unique_fd.h"
#include "harness/run_program.h"
#include "harness/scratch_dir.h"

namespace quellmark::test {

// A folder shown in place of another.
struct BindMount {
    std::filesystem::path from;
    std::filesystem::path to;  // must exist, but for /run/systemd/journal (see above)
};

// Runs program with args (as harness Run does) in a private mount namespace
// with the folders bound in order; nothing outside the namespace changes.
RunResult RunInPrivateMounts(const std::vector<BindMount>& binds, const std::string& program,
                             const std::vector<std::string>& args,
                             std::chrono::seconds timeout = std::chrono::seconds(60));

// One datagram of the native journal protocol: its fields in the order sent.
struct JournalDatagram {
    std::vector<std::pair<std::string, std::string>> fields;
    // The first value of the field, nullopt when it is missing.
    std::optional<std::string> Get(std::string_view name) const;
    int Count(std::string_view name) const;
};

// Reads "NAME=value\n" fields and the binary form "NAME\n<le64 length><data>\n".
// Throws std::runtime_error on anything else (a field name the journal would
// refuse, a length past the end, a missing newline).
JournalDatagram ParseJournalDatagram(std::string_view data);

// An AF_UNIX datagram socket bound at `path`.
class DatagramListener {
public:
    explicit DatagramListener(std::filesystem::path path);
    ~DatagramListener();
    DatagramListener(const DatagramListener&) = delete;
    DatagramListener& operator=(const DatagramListener&) = delete;

    const std::filesystem::path& Path() const noexcept { return path_; }
    // The datagrams waiting now, and those arriving within `wait` after the
    // last one; a datagram whose content came as a passed descriptor (a
    // sealed memfd, for large journal records) is read from it.
    std::vector<std::string> Receive(std::chrono::milliseconds wait = std::chrono::milliseconds(0));

private:
    std::filesystem::path path_;
    quellmark::base::UniqueFd fd_;
};

// What the scratch journal's folder holds as its socket.
enum class JournalSocket {
    Listening,  // the test's socket: it receives what is sent
    Missing,    // none, as on a machine without a journal
    Abandoned,  // a socket file nobody listens on, as after the journal stopped
    Refusing,   // a stream socket, which refuses every datagram sent to it
};

class ScratchJournal {
public:
    explicit ScratchJournal(JournalSocket socket = JournalSocket::Listening);

    const std::filesystem::path& Folder() const noexcept { return dir_.Path(); }

    // Runs program with args (as harness Run does) in a private mount
    // namespace where this folder is /run/systemd/journal, and any other
    // folders are bound as `more` says.
    RunResult Run(const std::string& program, const std::vector<std::string>& args,
                  std::chrono::seconds timeout = std::chrono::seconds(60),
                  const std::vector<BindMount>& more = {}) const;

    // The datagrams received since the last call (none when not listening).
    std::vector<std::string> Receive();

private:
    ScratchDir dir_{"journal"};
    std::optional<DatagramListener> socket_;
    quellmark::base::UniqueFd refusing_;
};

// Whether this process may make a private mount namespace (it runs as root).
bool CanUseMountNamespaces();

}  // namespace quellmark::test
