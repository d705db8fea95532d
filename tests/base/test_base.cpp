#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <future>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "base/addr_info.h"
#include "base/bounded_call.h"
#include "base/text.h"
#include "base/unique_fd.h"
#include "base/utf8.h"

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

// The code point at `at` and its length, or {0, 0} for bytes that are not UTF-8.
std::pair<char32_t, std::size_t> Decoded(std::string_view text, std::size_t at = 0) {
    const auto decoded = quellmark::base::DecodeUtf8(text, at);
    return decoded ? std::pair{decoded->value, decoded->length} : std::pair<char32_t, std::size_t>{0, 0};
}

TEST(Utf8, DecodesEachWellFormedSequenceWithItsLengthAtTheBoundsOfEachForm) {
    using Result = std::pair<char32_t, std::size_t>;
    EXPECT_EQ(Decoded(std::string_view("\0", 1)), (Result{0, 1}));
    EXPECT_EQ(Decoded("\x7F"), (Result{0x7F, 1}));
    EXPECT_EQ(Decoded("\xC2\x80"), (Result{0x80, 2}));
    EXPECT_EQ(Decoded("\xDF\xBF"), (Result{0x7FF, 2}));
    EXPECT_EQ(Decoded("\xE0\xA0\x80"), (Result{0x800, 3}));
    EXPECT_EQ(Decoded("\xED\x9F\xBF"), (Result{0xD7FF, 3}));  // just below the surrogates
    EXPECT_EQ(Decoded("\xEE\x80\x80"), (Result{0xE000, 3}));  // just above them
    EXPECT_EQ(Decoded("\xEF\xBF\xBF"), (Result{0xFFFF, 3}));
    EXPECT_EQ(Decoded("\xF0\x90\x80\x80"), (Result{0x10000, 4}));
    EXPECT_EQ(Decoded("\xF4\x8F\xBF\xBF"), (Result{0x10FFFF, 4}));
    // At a position inside the text, with more text after the sequence.
    EXPECT_EQ(Decoded("a\xC3\xA9z", 1), (Result{0xE9, 2}));
    EXPECT_EQ(Decoded("a\xF0\x9F\x98\x80", 1), (Result{0x1F600, 4}));
}

TEST(Utf8, RefusesEveryMalformedSequence) {
    const std::string_view malformed[] = {
        "\x80",              // a continuation byte where a lead belongs
        "\xBF",              //
        "\xC0\x80",          // overlong two-byte forms (their leads are never valid)
        "\xC1\xBF",          //
        "\xE0\x9F\xBF",      // overlong three-byte form of U+07FF
        "\xF0\x8F\xBF\xBF",  // overlong four-byte form of U+FFFF
        "\xED\xA0\x80",      // surrogates
        "\xED\xBF\xBF",      //
        "\xF4\x90\x80\x80",  // U+110000
        "\xF5\x80\x80\x80",  // leads F5-FF
        "\xFF",              //
        "\xC3",              // cut short
        "\xE2\x82",          //
        "\xF0\x9F\x98",      //
        "\xC3(",             // interrupted by another character
        "\xE2\x82(",         //
        "\xF0\x9F\x98\xC3",  //
    };
    for (const std::string_view text : malformed) {
        EXPECT_EQ(Decoded(text).second, 0u) << ::testing::PrintToString(std::string(text));
    }
    // A sequence is cut short by the end of the text, not by bytes beyond it.
    EXPECT_EQ(Decoded(std::string_view("\xC3\xA9", 1)).second, 0u);
}

TEST(Utf8, EncodingGivesBackTheSequencesDecodingReads) {
    for (const char32_t code : {U'\0', U'\x7F', U'\x80', U'\x7FF', U'\x800', U'\xFFFF', U'\x10000', U'\x10FFFF'}) {
        std::string text = "x";
        quellmark::base::AppendUtf8(text, code);
        EXPECT_EQ(Decoded(text, 1), (std::pair{code, text.size() - 1})) << static_cast<unsigned>(code);
    }
    std::string euro;
    quellmark::base::AppendUtf8(euro, 0x20AC);
    EXPECT_EQ(euro, "\xE2\x82\xAC");
}

// A blocked call stays blocked until its row ends; what a call made is released once, reached or left behind.
TEST(BoundedCall, TheWaiterHasTheAnswerOrGoesOnWithoutIt) {
    using namespace std::chrono_literals;
    using Value = std::shared_ptr<void>;
    enum Does { kReturns, kBlocksPastTheDeadline, kBlocksAndAsksStop };
    for (const auto& [byDeadline, does] :
         {std::pair{true, kReturns}, {false, kReturns}, {true, kBlocksPastTheDeadline}, {false, kBlocksAndAsksStop}}) {
        SCOPED_TRACE(does);
        std::promise<void> release;
        const auto gone = std::make_shared<std::promise<void>>();
        std::atomic<bool> stop = false;
        auto call = [&stop, does, blocked = release.get_future().share(), gone] {
            stop = does == kBlocksAndAsksStop;
            if (does != kReturns) blocked.wait_for(20s);
            return Value(nullptr, [gone](void*) { gone->set_value(); });
        };
        const auto deadline = std::chrono::steady_clock::now() + (does == kReturns ? 1h : 10ms);
        EXPECT_EQ((byDeadline ? quellmark::base::CallWithin<Value>(deadline, call)
                              : quellmark::base::CallUnlessStopped<Value>([&] { return stop.load(); }, 1ms, call))
                      .has_value(),
                  does == kReturns);
        EXPECT_TRUE(does != kBlocksPastTheDeadline || std::chrono::steady_clock::now() >= deadline);
        release.set_value();
        EXPECT_EQ(gone->get_future().wait_for(20s), std::future_status::ready);
    }
    const auto fails = []() -> int { throw std::runtime_error("no"); };
    EXPECT_THROW(quellmark::base::CallUnlessStopped<int>([] { return false; }, 1ms, fails), std::runtime_error);
}

}  // namespace
