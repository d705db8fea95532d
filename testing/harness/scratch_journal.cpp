#include "harness/scratch_journal.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace quellmark::test {
namespace {

using quellmark::base::UniqueFd;

// Runs in the new namespace: pairs of folders (one bound over the other) up
// to "--", then the program and its arguments.
constexpr const char* kMountScript = R"(set -e
journal=/run/systemd/journal
while [ "$1" != "--" ]; do
    if [ "$2" = "$journal" ] && [ ! -d "$journal" ]; then
        if [ -d /run/systemd ]; then
            mount -t tmpfs -o mode=0755 quellmark-scratch /run/systemd
        else
            mount -t tmpfs -o mode=0755 quellmark-scratch /run
            mkdir -p -m 1777 /run/lock
        fi
        mkdir -p "$journal"
    fi
    mount --bind "$1" "$2"
    shift 2
done
shift
exec "$@"
)";

bool ValidFieldName(std::string_view name) {
    if (name.empty() || name.size() > 64 || name[0] == '_' || (name[0] >= '0' && name[0] <= '9')) return false;
    for (const char c : name) {
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
    }
    return true;
}

std::string ReadWhole(int fd) {
    std::string data;
    std::array<char, 65536> buffer{};
    for (off_t offset = 0;;) {
        const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), offset);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw std::runtime_error(std::string("reading a passed descriptor: ") + std::strerror(errno));
        if (n == 0) return data;
        data.append(buffer.data(), static_cast<std::size_t>(n));
        offset += n;
    }
}

// An AF_UNIX socket of the type given, bound at `path`, which whoever runs
// the sender (a service's own user) may write to.
UniqueFd BoundSocket(const std::filesystem::path& path, int type) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string text = path.string();
    if (text.size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long: " + text);
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    UniqueFd fd(::socket(AF_UNIX, type | SOCK_CLOEXEC, 0));
    if (!fd) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("bind " + text + ": " + std::strerror(errno));
    ::chmod(text.c_str(), 0666);
    return fd;
}

}  // namespace

std::optional<std::string> JournalDatagram::Get(std::string_view name) const {
    for (const auto& [key, value] : fields) {
        if (key == name) return value;
    }
    return std::nullopt;
}

int JournalDatagram::Count(std::string_view name) const {
    int n = 0;
    for (const auto& field : fields) n += field.first == name ? 1 : 0;
    return n;
}

JournalDatagram ParseJournalDatagram(std::string_view data) {
    JournalDatagram record;
    std::size_t pos = 0;
    while (pos < data.size()) {
        const std::size_t end = data.find_first_of("=\n", pos);
        if (end == std::string_view::npos) throw std::runtime_error("journal field without a newline");
        const std::string name(data.substr(pos, end - pos));
        if (!ValidFieldName(name)) throw std::runtime_error("journal field name not valid: \"" + name + "\"");
        if (data[end] == '=') {
            const std::size_t newline = data.find('\n', end + 1);
            if (newline == std::string_view::npos) throw std::runtime_error("journal field " + name + " not ended");
            record.fields.emplace_back(name, std::string(data.substr(end + 1, newline - end - 1)));
            pos = newline + 1;
            continue;
        }
        // NAME\n, then the length as 64-bit little endian, the data and a newline.
        std::size_t at = end + 1;
        if (data.size() - at < 8) throw std::runtime_error("journal field " + name + " without its length");
        std::uint64_t length = 0;
        for (int i = 7; i >= 0; --i) length = (length << 8) | static_cast<unsigned char>(data[at + i]);
        at += 8;
        if (length >= data.size() - at || data[at + length] != '\n')
            throw std::runtime_error("journal field " + name + " longer than the datagram");
        record.fields.emplace_back(name, std::string(data.substr(at, length)));
        pos = at + length + 1;
    }
    return record;
}

DatagramListener::DatagramListener(std::filesystem::path path)
    : path_(std::move(path)), fd_(BoundSocket(path_, SOCK_DGRAM)) {}

DatagramListener::~DatagramListener() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
}

std::vector<std::string> DatagramListener::Receive(std::chrono::milliseconds wait) {
    std::vector<std::string> datagrams;
    for (;;) {
        pollfd ready{fd_.Get(), POLLIN, 0};
        const int polled = ::poll(&ready, 1, static_cast<int>(wait.count()));
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) return datagrams;
        const ssize_t size = ::recv(fd_.Get(), nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
        if (size < 0) throw std::runtime_error(std::string("recv: ") + std::strerror(errno));
        std::string data(static_cast<std::size_t>(size), '\0');
        iovec part{data.data(), data.size()};
        alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int) * 4)> control{};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        const ssize_t got = ::recvmsg(fd_.Get(), &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (got < 0) throw std::runtime_error(std::string("recvmsg: ") + std::strerror(errno));
        data.resize(static_cast<std::size_t>(got));
        std::vector<UniqueFd> passed;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
            const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int fd = -1;
                std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
                passed.emplace_back(fd);
            }
        }
        if ((message.msg_flags & MSG_CTRUNC) != 0) throw std::runtime_error("recvmsg: descriptors cut off");
        // A record too big for one datagram comes as an empty datagram
        // carrying a memfd that holds it.
        if (data.empty() && passed.size() == 1) data = ReadWhole(passed[0].Get());
        datagrams.push_back(std::move(data));
    }
}

ScratchJournal::ScratchJournal(JournalSocket socket) {
    ::chmod(dir_.Path().c_str(), 0755);
    switch (socket) {
        case JournalSocket::Listening:
            socket_.emplace(dir_ / "socket");
            break;
        case JournalSocket::Missing:
            break;
        case JournalSocket::Abandoned:
            BoundSocket(dir_ / "socket", SOCK_DGRAM);  // closed at once; the file stays
            break;
        case JournalSocket::Refusing:
            refusing_ = BoundSocket(dir_ / "socket", SOCK_STREAM);
            break;
    }
}

RunResult ScratchJournal::Run(const std::string& program, const std::vector<std::string>& args,
                              std::chrono::seconds timeout, const std::vector<BindMount>& more) const {
    std::vector<BindMount> binds = {{dir_.Path(), "/run/systemd/journal"}};
    binds.insert(binds.end(), more.begin(), more.end());
    return RunInPrivateMounts(binds, program, args, timeout);
}

std::vector<std::string> ScratchJournal::Receive() {
    if (!socket_) return {};
    return socket_->Receive();
}

RunResult RunInPrivateMounts(const std::vector<BindMount>& binds, const std::string& program,
                             const std::vector<std::string>& args, std::chrono::seconds timeout) {
    std::vector<std::string> command = {"--mount", "--propagation", "private", "/bin/sh", "-c", kMountScript, "sh"};
    for (const BindMount& bind : binds) command.insert(command.end(), {bind.from.string(), bind.to.string()});
    command.push_back("--");
    command.push_back(program);
    command.insert(command.end(), args.begin(), args.end());
    return quellmark::test::Run("unshare", command, timeout);
}

bool CanUseMountNamespaces() { return ::geteuid() == 0; }

}  // namespace quellmark::test
