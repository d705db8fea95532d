// The three ways of reaching the server, each counting and deleting end to
// end through FreeTDS, against a log server that encrypts as SQL Server does
// (the login only unless the client asks for more, or everything), with
// Windows Authentication as a real Kerberos login to a throwaway realm.
#include <gtest/gtest.h>

#include "harness/kerberos_realm.h"
#include "ops/modGeneral.h"
#include "support/online_log.h"
#include "support/recording_window.h"

using namespace quellmark;

TEST(OnlineForms, EachFormCountsAndDeletesInEachEncryptionMode) {
    test::KerberosRealm realm;  // the user principal "ops", the server's login name
    for (const char* mode : {"login", "forced"}) {
        SCOPED_TRACE(std::string("--encryption ") + mode);
        test::OnlineLog log(test::SarnwickServer(3000, 4, {"--encryption", mode, "--kerberos-keytab", realm.Keytab()}));
        const std::string port = std::to_string(log.server.Port());
        realm.RegisterService("localhost", log.server.Port());
        realm.Kinit("ops");
        const std::pair<const char*, std::vector<std::string>> forms[] = {
            {"Windows Authentication", {"--server", "localhost," + port}},
            {"Local SQL Authentication", {"--server", "127.0.0.1," + port}},
            {"Remote SQL Authentication", {}},
        };
        std::int64_t rows = 3000;
        for (const auto& [type, changes] : forms) {
            SCOPED_TRACE(type);
            const std::string label = std::string("purge-") + type;
            log.server.Mark(label, 250);
            std::vector<std::string> settings = {"--type", type};
            settings.insert(settings.end(), changes.begin(), changes.end());
            log.UseSettings(settings);

            test::RecordingWindow window;
            window.statement = "DELETE TOP (200) FROM ATR_Log WHERE label = '" + label + "'";
            ops::CountRecords(window, log.SettingsConnString());
            EXPECT_TRUE(window.messages.empty()) << window.messages.front();
            EXPECT_EQ(window.count, "250");

            ops::DeleteRecordsInChunks(window, log.SettingsConnString());
            EXPECT_TRUE(window.messages.empty()) << window.messages.front();
            EXPECT_EQ(window.recLeft, (std::vector<std::string>{"250", "50", "0", "0"}));
            rows -= 250;
            EXPECT_EQ(log.server.CountRows("label = '" + label + "'"), 0);
            EXPECT_EQ(log.server.CountRows(), rows);
        }
    }
}

// Login fields beyond ASCII travel as the characters the settings file holds,
// also outside the Basic Multilingual Plane: the log server compares them as
// UTF-16 text and refuses anything else. The login name matches in any
// letter case, the password only exactly.
TEST(OnlineForms, EachFormLogsInWithCharactersBeyondAscii) {
    const std::string user = "jürgen_Ω";
    const std::string password = "pä€ß\U0001F600;x";
    test::KerberosRealm realm({user});
    test::LogDbOptions options = test::SarnwickServer(40, 2, {"--kerberos-keytab", realm.Keytab()}, password);
    options.user = user;
    options.database = "Nütz_東京";
    test::OnlineLog log(options);
    const std::string port = std::to_string(log.server.Port());
    realm.RegisterService("localhost", log.server.Port());
    realm.Kinit(user);
    const std::pair<const char*, std::vector<std::string>> forms[] = {
        {"Windows Authentication", {"--server", "localhost," + port}},
        {"Local SQL Authentication", {"--server", "127.0.0.1," + port, "--user", "JÜRGEN_ω"}},
        {"Remote SQL Authentication", {}},
    };
    for (const auto& [type, changes] : forms) {
        SCOPED_TRACE(type);
        std::vector<std::string> settings = {"--type", type};
        settings.insert(settings.end(), changes.begin(), changes.end());
        log.UseSettings(settings);
        test::RecordingWindow window;
        window.statement = "DELETE TOP (200) FROM ATR_Log WHERE priority >= 0";
        ops::CountRecords(window, log.SettingsConnString());
        EXPECT_TRUE(window.messages.empty()) << window.messages.front();
        EXPECT_EQ(window.count, "40");
    }

    // One character off, and the login is refused; the refusal names the user
    // as written.
    for (const std::vector<std::string>& changes : {std::vector<std::string>{"--password", "pä€ß\U0001F601;x"},
                                                    {"--password", "PÄ€ß\U0001F600;x"},
                                                    {"--user", "jurgen_Ω"},
                                                    {"--database", "Nutz_東京"}}) {
        SCOPED_TRACE(changes[1]);
        log.UseSettings(changes);
        test::RecordingWindow window;
        window.statement = "DELETE TOP (200) FROM ATR_Log WHERE priority >= 0";
        ops::CountRecords(window, log.SettingsConnString());
        ASSERT_EQ(window.messages.size(), 1u);
        const std::string shown = changes[0] == "--user" ? changes[1] : user;
        EXPECT_NE(window.messages[0].find("Login failed for user '" + shown + "'."), std::string::npos)
            << window.messages[0];
    }
}
