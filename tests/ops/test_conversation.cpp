// What the server receives during a count and during a deletion run, batch by
// batch, and every figure the window shows on the way: one row per way an
// operation can go. The log server's statement log gives the batches each
// connection sent and whether the client left afterwards.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "ops/modGeneral.h"
#include "support/online_log.h"
#include "support/recording_window.h"

using namespace quellmark;

namespace {

using Texts = std::vector<std::string>;

constexpr std::int64_t kRows = 60;
constexpr const char* kLabel = "purge-me";
constexpr const char* kMarked = "label = 'purge-me'";
constexpr const char* kPurge = "label = 'purge-me'";

// "@" in an expected message stands for the server's address.
std::string WithServer(std::string text, const test::LogDbProcess& server) {
    const std::size_t at = text.find('@');
    if (at != std::string::npos) text.replace(at, 1, "127.0.0.1," + std::to_string(server.Port()));
    return text;
}

// The message is the expected one, where a '*' in it stands for any text.
void ExpectMessage(const std::string& message, const std::string& expected) {
    const std::size_t star = expected.find('*');
    if (star == std::string::npos) {
        EXPECT_EQ(message, expected);
        return;
    }
    const std::string head = expected.substr(0, star);
    const std::string tail = expected.substr(star + 1);
    EXPECT_TRUE(message.size() >= head.size() + tail.size() && message.starts_with(head) && message.ends_with(tail))
        << message << "\nexpected: " << expected;
}

// The batches a connection is expected to send: "C" the count statement,
// "D" the delete statement, in order.
Texts Batches(const std::string& steps, const std::string& countStatement, const std::string& deleteStatement) {
    Texts batches;
    for (char step : steps) batches.push_back(step == 'C' ? countStatement : deleteStatement);
    return batches;
}

constexpr const char* kStayDeleted =
    " The deletion run stopped here; the rows its earlier passes deleted stay deleted.";

struct RunCase {
    const char* name;
    std::int64_t matching;  // rows labelled 'purge-me' among kRows
    const char* top;        // TOP's argument in the statement box
    const char* filter;     // its WHERE clause
    std::vector<std::string> serverArgs;
    std::int32_t commandTimeout;
    int cancelAtRound;  // the event round in which Cancel is pressed; 0: never
    const char* steps;  // the batches the server receives
    const char* end;    // how the connection ends: "left" (the client closed it) or "dropped" (the server did)
    Texts shown;        // every Records Left figure, in order
    int pauses;
    std::int64_t left;    // matching rows left on the server
    std::string message;  // the one message, or "" for none
};
void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }

std::string TimedOut(bool deletedBefore) {
    return std::string("The SQL Server at @ did not finish the statement within 1 second, so it was cancelled.") +
           (deletedBefore ? kStayDeleted : "");
}

const std::string kNoCountAtFirst =
    "The server's answer to the count statement holds no row count, so nothing was changed.";
const std::string kNoCountLater =
    std::string("The server's answer to the count statement holds no row count.") + kStayDeleted;

// clang-format off
const RunCase kRunCases[] = {
    // name                                   matching top    filter  server switches            limit cancel
    //   batches      end        Records Left figures          pauses left message
    {"nothing matches",                             0, "10",  kPurge, {},                            30,  0,
        "C",         "left",    {"0", "0"},                        1,  0, ""},
    {"rows run out at a chunk boundary",           20, "10",  kPurge, {},                            30,  0,
        "CDCDC",     "left",    {"20", "10", "0", "0"},            3,  0, ""},
    {"rows run out part-way through a chunk",      25, "10",  kPurge, {},                            30,  0,
        "CDCDCDC",   "left",    {"25", "15", "5", "0", "0"},       4,  0, ""},
    {"a pass leaves exactly one row",              21, "10",  kPurge, {},                            30,  0,
        "CDCDCDC",   "left",    {"21", "11", "1", "0", "0"},       4,  0, ""},
    {"the chunk size equals the matching rows",    10, "10",  kPurge, {},                            30,  0,
        "CDC",       "left",    {"10", "0", "0"},                  2,  0, ""},
    {"Cancel in the first pause",                  20, "10",  kPurge, {},                            30,  5,
        "CD",        "left",    {"20", "20"},                      1, 10, ""},
    {"Cancel in the pause after the last delete",  20, "10",  kPurge, {},                            30, 25,
        "CDCD",      "left",    {"20", "10", "10"},                2,  0, ""},
    {"Cancel in the last pause",                   20, "10",  kPurge, {},                            30, 45,
        "CDCDC",     "left",    {"20", "10", "0", "0"},            3,  0, ""},
    {"the count fails at the first pass",          20, "10",  "lable = 'purge-me'", {},              30,  0,
        "C",         "left",    {},                                0, 20, "Invalid column name 'lable'."},
    {"the count fails at a later pass",            20, "10",  kPurge, {"--delay-ms", "3000", "--faults-after", "2"}, 1, 0,
        "CDC",       "left",    {"20"},                            1, 10, TimedOut(true)},
    {"the connection is lost before a later count", 20, "10", kPurge, {"--drop-after", "2"},         30,  0,
        "CD",        "dropped", {"20"},                            1, 10,
        std::string("The connection to the SQL Server at @ was lost*") + kStayDeleted},
    {"the delete fails at the first pass",         20, "'x'", kPurge, {},                            30,  0,
        "CD",        "left",    {"20"},                            0, 20,
        "The number of rows provided for a TOP or FETCH clauses row count parameter must be an integer."},
    {"the delete fails at a later pass",           20, "10",  kPurge, {"--delay-ms", "3000", "--faults-after", "3"}, 1, 0,
        "CDCD",      "left",    {"20", "10"},                      1, 10, TimedOut(true)},
    {"a count answer without a number at the first pass", 20, "10", kPurge, {"--count-answer", "none"}, 30, 0,
        "C",         "left",    {},                                0, 20, kNoCountAtFirst},
    {"a count answer without a number after a delete", 20, "10", kPurge,
        {"--count-answer", "null", "--faults-after", "2"},                                            30,  0,
        "CDC",       "left",    {"20"},                            1, 10, kNoCountLater},
    {"matching rows arrive between passes",        20, "10",  kPurge, {"--insert-after", "2:15:purge-me"}, 30, 0,
        "CDCDCDCDC", "left",    {"20", "25", "15", "5", "0", "0"}, 5,  0, ""},
};
// clang-format on

// A server of kRows rows, `matching` of them labelled 'purge-me', logging
// its statements, and the settings file pointing at it.
test::LogDbOptions LoggingServer(std::vector<std::string> args) {
    test::LogDbOptions options = test::SarnwickServer(kRows, 3, std::move(args));
    options.statementLog = true;
    return options;
}

void ExpectOneSession(const test::LogDbProcess& server, const Texts& batches, const std::string& end) {
    const std::map<int, test::LoggedSession> sessions = server.Sessions(std::chrono::seconds(10));
    ASSERT_EQ(sessions.size(), 1u) << "one connection per operation";
    const test::LoggedSession& session = sessions.begin()->second;
    EXPECT_EQ(session.batches, batches);
    EXPECT_EQ(session.end, end);
}

}  // namespace

// The test's name for a row: its words joined by underscores.
template <class Case>
std::string RowName(const testing::TestParamInfo<Case>& info) {
    std::string name;
    for (char ch : std::string(info.param.name)) name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    return name;
}

class DeletionRunConversation : public testing::TestWithParam<RunCase> {};

TEST_P(DeletionRunConversation, Row) {
    const RunCase& c = GetParam();
    test::OnlineLog log(LoggingServer(c.serverArgs));
    if (c.matching > 0) {
        ASSERT_EQ(log.Mark(kLabel, c.matching), c.matching);
    }
    log.UseSettings();
    const std::string others = log.server.Snapshot("NOT (" + std::string(kMarked) + ")");

    test::RecordingWindow window;
    window.statement = std::string("DELETE TOP (") + c.top + ") FROM ATR_Log WHERE " + c.filter;
    window.onEvents = [&](int round) {
        if (round == c.cancelAtRound) window.cancelRequested = true;
    };
    ops::DeleteRecordsInChunks(window, log.SettingsConnString(), c.commandTimeout);

    ExpectOneSession(
        log.server,
        Batches(c.steps, std::string("SELECT COUNT(log_id) FROM ATR_Log WHERE ") + c.filter, window.statement), c.end);
    EXPECT_EQ(window.recLeft, c.shown);
    EXPECT_EQ(window.eventRounds, 20 * c.pauses);
    EXPECT_EQ(window.count, "0");  // a run leaves the count box alone
    if (c.message.empty()) {
        EXPECT_TRUE(window.messages.empty()) << window.messages.front();
    } else {
        EXPECT_EQ(window.messages.size(), 1u);
        if (!window.messages.empty()) ExpectMessage(window.messages[0], WithServer(c.message, log.server));
    }
    EXPECT_EQ(log.server.CountRows(kMarked), c.left);
    EXPECT_TRUE(log.server.Snapshot("NOT (" + std::string(kMarked) + ")") == others);
}

INSTANTIATE_TEST_SUITE_P(EachWayARunCanGo, DeletionRunConversation, testing::ValuesIn(kRunCases), RowName<RunCase>);

struct CountCase {
    const char* name;
    std::string statement;
    std::vector<std::string> serverArgs;
    std::int32_t commandTimeout;
    const char* steps;  // "C": the count statement; "": nothing sent
    bool session;       // a connection was logged in at all
    std::string count;  // the count box afterwards (it starts as "7")
    std::string message;
};
void PrintTo(const CountCase& c, std::ostream* os) { *os << c.name; }

const std::string kPurgeStatement = "DELETE TOP (10) FROM ATR_Log WHERE label = 'purge-me'";

// clang-format off
const CountCase kCountCases[] = {
    // name                    statement box    server switches         limit batches session count message
    {"rows match",             kPurgeStatement, {},                        30, "C", true,  "20", ""},
    {"nothing matches",        "DELETE TOP (10) FROM ATR_Log WHERE label = 'nothing'", {}, 30, "C", true, "0", ""},
    {"the count fails",        "DELETE TOP (10) FROM ATR_Log WHERE lable = 'purge-me'", {}, 30, "C", true, "7",
        "Invalid column name 'lable'."},
    {"a count answer without a number", kPurgeStatement, {"--count-answer", "null"}, 30, "C", true, "7",
        kNoCountAtFirst},
    {"past the time limit",    kPurgeStatement, {"--delay-ms", "3000"},     1, "C", true,  "7", TimedOut(false)},
    {"no count statement can be made", "DELETE TOP (10) from ATR_Log WHERE label = 'purge-me'", {}, 30, "", true,
        "7", "The statement does not contain \"FROM ATR_Log\" (in this letter case), so no count statement can be "
             "made from it."},
    {"the login is refused",   kPurgeStatement, {"--refuse-login"},        30, "",  false, "7",
        "The SQL Server at @ refused the login: Login failed for user 'ops'."},
};
// clang-format on

class CountRecordsConversation : public testing::TestWithParam<CountCase> {};

TEST_P(CountRecordsConversation, Row) {
    const CountCase& c = GetParam();
    test::OnlineLog log(LoggingServer(c.serverArgs));
    ASSERT_EQ(log.Mark(kLabel, 20), 20);
    log.UseSettings();

    test::RecordingWindow window;
    window.count = "7";
    window.statement = c.statement;
    ops::CountRecords(window, log.SettingsConnString(), c.commandTimeout);

    if (c.session) {
        ExpectOneSession(log.server, Batches(c.steps, ops::BuildCountStatement(c.statement), ""), "left");
    } else {
        EXPECT_TRUE(log.server.Sessions().empty());
    }
    EXPECT_EQ(window.count, c.count);
    if (c.message.empty()) {
        EXPECT_TRUE(window.messages.empty()) << window.messages.front();
    } else {
        EXPECT_EQ(window.messages.size(), 1u);
        if (!window.messages.empty()) ExpectMessage(window.messages[0], WithServer(c.message, log.server));
    }
    EXPECT_TRUE(window.recLeft.empty());
    EXPECT_EQ(window.eventRounds, 0);
    EXPECT_EQ(log.server.CountRows(kMarked), 20);
}

INSTANTIATE_TEST_SUITE_P(OneCountAndTheClientLeaves, CountRecordsConversation, testing::ValuesIn(kCountCases),
                         RowName<CountCase>);
