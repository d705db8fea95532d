#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "base/addr_info.h"
#include "base/text.h"
#include "base/unique_fd.h"

namespace {

using quellmark::base::UniqueAddrInfo;
using quellmark::base::UniqueFd;

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

// A descriptor of a fresh pipe's read end; the write end is closed at once.
int NewDescriptor() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    ::close(ends[1]);
    return ends[0];
}

TEST(UniqueFd, ClosesOnceWhenItsOwnerGoesOrTakesAnother) {
    const int first = NewDescriptor();
    {
        UniqueFd owner(first);
        EXPECT_TRUE(owner);
        const int second = NewDescriptor();
        owner.Reset(second);
        EXPECT_FALSE(IsOpen(first));
        EXPECT_TRUE(IsOpen(second));
        EXPECT_EQ(owner.Get(), second);
    }
    EXPECT_FALSE(IsOpen(first));
    UniqueFd empty;
    EXPECT_FALSE(empty);
    empty.Reset();  // nothing to close
}

TEST(UniqueFd, MovingHandsOverAndReleasingGivesUp) {
    const int fd = NewDescriptor();
    UniqueFd a(fd);
    UniqueFd b(std::move(a));
    EXPECT_FALSE(a);
    EXPECT_EQ(b.Get(), fd);
    UniqueFd c;
    c = std::move(b);
    EXPECT_EQ(c.Get(), fd);
    EXPECT_TRUE(IsOpen(fd));
    const int released = c.Release();
    EXPECT_FALSE(c);
    { UniqueFd gone(std::move(c)); }
    EXPECT_TRUE(IsOpen(released));  // released: no owner closes it
    ::close(released);
}

TEST(UniqueAddrInfo, OwnsWhatGetaddrinfoReturns) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    ASSERT_EQ(::getaddrinfo("127.0.0.1", "1433", &hints, &found), 0);
    const UniqueAddrInfo owner(found);  // freed at the end (the sanitizer round sees a leak otherwise)
    ASSERT_NE(owner, nullptr);
    EXPECT_EQ(owner->ai_family, AF_INET);
    const UniqueAddrInfo none(nullptr);  // an empty owner frees nothing
}

TEST(Text, TrimSpacesRemovesEveryKindOfWhiteSpaceAtBothEndsOnly) {
    using quellmark::base::TrimSpaces;
    EXPECT_EQ(TrimSpaces(" \t\r\n\v\fsql01 \t a\t\r\n\v\f "), "sql01 \t a");
    EXPECT_EQ(TrimSpaces(" \t "), "");
    EXPECT_EQ(TrimSpaces(""), "");
    EXPECT_EQ(TrimSpaces("x"), "x");
    EXPECT_EQ(TrimSpaces("\xC2\xA0x\xC2\xA0"), "\xC2\xA0x\xC2\xA0");  // a no-break space is text
}

TEST(Text, CaseInsensitiveComparisonFoldsAsciiLettersOnly) {
    using quellmark::base::EqualsIgnoreCase;
    using quellmark::base::StartsWithIgnoreCase;
    EXPECT_TRUE(EqualsIgnoreCase("Settings_General", "SETTINGS_general"));
    EXPECT_FALSE(EqualsIgnoreCase("ATR_Log", "ATR_Lo"));
    EXPECT_FALSE(EqualsIgnoreCase("ATR_Lo", "ATR_Log"));
    EXPECT_FALSE(EqualsIgnoreCase("[", "{"));  // '[' and '{' differ by the case bit but are no letters
    EXPECT_FALSE(EqualsIgnoreCase("Z\xC3\xBCrich", "Z\xC3\x9Crich"));  // ü and Ü: bytes beyond ASCII compare exactly
    EXPECT_TRUE(EqualsIgnoreCase("", ""));
    EXPECT_TRUE(StartsWithIgnoreCase("TCP:sql01", "tcp:"));
    EXPECT_FALSE(StartsWithIgnoreCase("tc", "tcp:"));
    EXPECT_TRUE(StartsWithIgnoreCase("anything", ""));
}

}  // namespace
