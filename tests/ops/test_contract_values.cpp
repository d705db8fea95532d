// The values operators rely on, each pinned where the operations use it: the
// time a statement is given on a new connection, the pause between two
// passes of a deletion run, and the login time-out read from the settings
// file. (The statement box's 10-character minimum is pinned by the window's
// tests.)
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "data_access/data_access.h"
#include "ops/modGeneral.h"
#include "support/online_log.h"
#include "support/recording_window.h"

using namespace quellmark;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

TEST(ContractValues, AStatementIsGivenThirtySeconds) {
    EXPECT_EQ(quellmark::data_access::Connection().CommandTimeout, 30);

    // The operations open their connection with it unless told otherwise.
    test::OnlineLog log(test::SarnwickServer(10));
    log.UseSettings();
    std::vector<std::string> shown;
    const auto online =
        ops::OpenOnlineConnection(log.SettingsConnString(), [&](const std::string& text) { shown.push_back(text); });
    ASSERT_TRUE(online) << shown.front();
    EXPECT_EQ(online->connection->CommandTimeout, 30);
}

namespace {

// Notes when each Records Left figure is shown and when each event round runs.
struct TimingWindow : test::RecordingWindow {
    std::vector<Clock::time_point> figures;
    std::vector<Clock::time_point> rounds;
    void SetRecLeftText(const std::string& text) override {
        figures.push_back(Clock::now());
        RecordingWindow::SetRecLeftText(text);
    }
    void ProcessPendingEvents() override {
        rounds.push_back(Clock::now());
        RecordingWindow::ProcessPendingEvents();
    }
};

}  // namespace

// Each pass ends in a pause of 200 ms, in 20 slices of 10 ms with the
// window's events processed after each.
TEST(ContractValues, PassesArePausedTwoHundredMilliseconds) {
    test::OnlineLog log(test::SarnwickServer(60, 3));
    ASSERT_EQ(log.Mark("purge-me", 20), 20);
    log.UseSettings();
    TimingWindow window;
    window.statement = "DELETE TOP (10) FROM ATR_Log WHERE label = 'purge-me'";
    ops::DeleteRecordsInChunks(window, log.SettingsConnString());
    ASSERT_EQ(window.recLeft, (std::vector<std::string>{"20", "10", "0", "0"}));
    ASSERT_EQ(window.rounds.size(), 60u);
    for (std::size_t pass = 0; pass < 3; ++pass) {
        SCOPED_TRACE(pass);
        const Clock::time_point first = window.rounds[pass * 20];
        const Clock::time_point last = window.rounds[pass * 20 + 19];
        EXPECT_GT(first, window.figures[pass]);
        EXPECT_LT(last, window.figures[pass + 1]);  // the pause ends before the next pass
        EXPECT_GE(first - window.figures[pass], milliseconds(10));
        EXPECT_GE(last - first, milliseconds(190));
        EXPECT_GE(last - window.figures[pass], milliseconds(200));
    }
}

// The login is given OnlConnTimeout seconds from the settings file.
TEST(ContractValues, TheLoginIsGivenTheSettingsTimeOut) {
    for (const int seconds : {1, 3}) {
        SCOPED_TRACE(seconds);
        test::OnlineLog log(test::SarnwickServer(10, 1, {"--hang-login"}));
        log.UseSettings({"--timeout", std::to_string(seconds)});
        test::RecordingWindow window;
        window.statement = "DELETE TOP (10) FROM ATR_Log";
        const Clock::time_point start = Clock::now();
        ops::CountRecords(window, log.SettingsConnString());
        const Clock::duration took = Clock::now() - start;
        ASSERT_EQ(window.messages.size(), 1u);
        EXPECT_NE(window.messages[0].find("the login timed out after " + std::to_string(seconds) +
                                          (seconds == 1 ? " second " : " seconds ")),
                  std::string::npos)
            << window.messages[0];
        EXPECT_GE(took, milliseconds(seconds * 1000 - 300));
    }
}
