// The scratch journal of the harness: the native protocol's two field forms,
// records that come as a passed memfd, and refusal of what the journal
// itself would refuse.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <fstream>

#include "base/unique_fd.h"
#include "harness/scratch_dir.h"
#include "harness/scratch_journal.h"

using namespace quellmark;

namespace {

std::string Binary(const std::string& name, const std::string& value) {
    std::string field = name + "\n";
    std::uint64_t length = value.size();
    for (int i = 0; i < 8; ++i) field += static_cast<char>((length >> (8 * i)) & 0xff);
    return field + value + "\n";
}

// Sends `data` to the socket at `path`, as a datagram or (with `asMemfd`) as
// an empty datagram carrying a memfd that holds it.
void Send(const std::filesystem::path& path, const std::string& data, bool asMemfd) {
    base::UniqueFd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(socket);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    msghdr message{};
    message.msg_name = &address;
    message.msg_namelen = sizeof address;
    iovec part{const_cast<char*>(data.data()), data.size()};
    base::UniqueFd memfd;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (asMemfd) {
        memfd.Reset(::memfd_create("record", MFD_CLOEXEC));
        ASSERT_TRUE(memfd);
        ASSERT_EQ(::write(memfd.Get(), data.data(), data.size()), static_cast<ssize_t>(data.size()));
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&message);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        const int fd = memfd.Get();
        std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    } else {
        message.msg_iov = &part;
        message.msg_iovlen = 1;
    }
    ASSERT_EQ(::sendmsg(socket.Get(), &message, 0), asMemfd ? 0 : static_cast<ssize_t>(data.size()))
        << std::strerror(errno);
}

}  // namespace

TEST(ScratchJournal, BothFieldFormsAreRead) {
    const std::string value = "two\nlines = and an equals sign";
    const test::JournalDatagram record =
        test::ParseJournalDatagram("MESSAGE=a=b\n" + Binary("QUELLMARK_STATEMENT", value) + "EMPTY=\nMESSAGE=again\n");
    ASSERT_EQ(record.fields.size(), 4u);
    EXPECT_EQ(record.Get("MESSAGE"), "a=b");
    EXPECT_EQ(record.Count("MESSAGE"), 2);
    EXPECT_EQ(record.Get("QUELLMARK_STATEMENT"), value);
    EXPECT_EQ(record.Get("EMPTY"), "");
    EXPECT_EQ(record.Get("MISSING"), std::nullopt);
}

TEST(ScratchJournal, WhatTheJournalWouldRefuseIsRefused) {
    const std::string binary = Binary("NAME", "value");
    for (const std::string& bad :
         {std::string("MESSAGE=no newline"), std::string("lower=case\n"), std::string("_TRUSTED=field\n"),
          std::string("=value\n"), binary.substr(0, binary.size() - 1),  // the newline after the data
          binary.substr(0, 9)}) {                                        // the length cut short
        EXPECT_THROW(test::ParseJournalDatagram(bad), std::runtime_error) << bad;
    }
}

TEST(ScratchJournal, DatagramsArriveInOrderAndAMemfdIsReadInItsPlace) {
    test::ScratchJournal journal;
    const std::filesystem::path socket = journal.Folder() / "socket";
    const std::string big = "MESSAGE=" + std::string(300000, 'x') + "\n";
    Send(socket, "MESSAGE=first\n", false);
    Send(socket, big, true);
    Send(socket, "MESSAGE=third\n", false);
    const std::vector<std::string> datagrams = journal.Receive();
    ASSERT_EQ(datagrams.size(), 3u);
    EXPECT_EQ(datagrams[0], "MESSAGE=first\n");
    EXPECT_EQ(datagrams[1], big);
    EXPECT_EQ(datagrams[2], "MESSAGE=third\n");
    EXPECT_TRUE(journal.Receive().empty());

    test::ScratchJournal missing(test::JournalSocket::Missing);
    EXPECT_FALSE(std::filesystem::exists(missing.Folder() / "socket"));
    test::ScratchJournal abandoned(test::JournalSocket::Abandoned);
    EXPECT_TRUE(std::filesystem::is_socket(abandoned.Folder() / "socket"));
}

// The folders bound are seen in the namespace only.
TEST(ScratchJournal, FoldersAreBoundInsideTheNamespaceOnly) {
    if (!test::CanUseMountNamespaces()) GTEST_SKIP() << "a private mount namespace needs root";
    test::ScratchDir lock("run-lock");
    std::ofstream(lock / "quellmark-scratch-marker") << "inside\n";
    test::ScratchJournal journal;
    const test::RunResult run =
        journal.Run("/bin/sh", {"-c", "cat /run/lock/quellmark-scratch-marker && test -S /run/systemd/journal/socket"},
                    std::chrono::seconds(30), {{lock.Path(), "/run/lock"}});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "inside\n");
    EXPECT_FALSE(std::filesystem::exists("/run/lock/quellmark-scratch-marker"));
}
