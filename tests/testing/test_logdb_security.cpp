// quellmark-logdb's TLS and Kerberos as FreeTDS meets them: what each
// encryption mode answers to each client wish, what then crosses the wire
// (read from the server's wire log, before decryption), and integrated
// logins next to SQL logins on one port.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness/kerberos_realm.h"
#include "harness/logdb_process.h"
#include "harness/run_program.h"
#include "support/odbc_client.h"

namespace {

using namespace quellmark::test;

constexpr const char* kMarker = "SELECT COUNT(*) FROM ATR_Log WHERE label = 'wire-marker-7'";

LogDbOptions Server(const std::string& encryption, std::vector<std::string> extra = {}) {
    LogDbOptions options;
    options.rows = 50;
    options.password = "Pw-on-the-wire";
    options.wireLog = true;
    options.extraArgs = {"--encryption", encryption};
    options.extraArgs.insert(options.extraArgs.end(), extra.begin(), extra.end());
    return options;
}

// Everything received on every connection, one after the other.
Bytes AllReceived(const LogDbProcess& server) {
    Bytes all;
    for (const auto& [connection, bytes] : server.Received()) all.insert(all.end(), bytes.begin(), bytes.end());
    return all;
}

TEST(LogDbEncryption, EachModeAnswersEachClientAsSqlServerDoes) {
    struct Case {
        const char* server;
        const char* client;  // FreeTDS's Encryption key
        bool connects;
        bool loginReadable;      // the user name and password cross the wire readable
        bool statementReadable;  // so does the statement after the login
    };
    const Case cases[] = {
        {"login", "request", true, false, true},                                        // only the login in TLS
        {"login", "require", true, false, false},  {"login", "off", true, true, true},  // a client that cannot encrypt
        {"forced", "request", true, false, false}, {"forced", "require", true, false, false},
        {"none", "request", true, true, true},     {"none", "require", false, false, false},  // no login is sent at all
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.server) + " server, client Encryption=" + c.client);
        LogDbProcess server(Server(c.server));
        {
            Odbc client;
            const auto failure = client.Connect(server.OdbcConnectionString() + ";Encryption=" + c.client);
            EXPECT_EQ(!failure, c.connects) << (failure ? failure->message : "");
            if (!failure) {
                EXPECT_EQ(client.Count(kMarker), 0);
            }
        }
        const Bytes wire = AllReceived(server);
        EXPECT_EQ(Contains(wire, Utf16Le("Pw-on-the-wire")), false);  // never: LOGIN7 obfuscates it
        EXPECT_EQ(Contains(wire, ObfuscatedPassword("Pw-on-the-wire")), c.loginReadable);
        EXPECT_EQ(Contains(wire, Utf16Le(kMarker)), c.statementReadable);
        if (!c.connects) {
            for (const auto& [connection, bytes] : server.Received())
                EXPECT_EQ(PlainPacketTypes(bytes), std::vector<std::uint8_t>{0x12}) << "connection " << connection;
        }
    }
}

TEST(LogDbEncryption, ManyStatementsAndLargeRepliesThroughTls) {
    LogDbProcess server(Server("forced"));
    Odbc client;
    ASSERT_FALSE(client.Connect(server.OdbcConnectionString() + ";Encryption=require"));
    // A statement far larger than a TLS record, and many small ones.
    std::string list;
    while (list.size() < 200 * 1024) list += "-1,";
    EXPECT_EQ(client.Count("SELECT COUNT(*) FROM ATR_Log WHERE priority IN (" + list + "7)"),
              server.CountRows("priority = 7"));
    for (int i = 0; i < 50; ++i) ASSERT_EQ(client.Run("DELETE TOP (1) FROM ATR_Log").rowCount, 1);
    EXPECT_EQ(server.CountRows(), 0);
}

TEST(LogDbEncryption, ACancelTravelsInTlsAsWell) {
    // The client's attention request, in a TLS record, stops the delayed
    // delete; the connection stays usable (SET is answered undelayed).
    LogDbProcess server(Server("forced", {"--delay-ms", "4000"}));
    Odbc client;
    ASSERT_FALSE(client.Connect(server.OdbcConnectionString() + ";Encryption=require"));
    const Odbc::Result cancelled = client.Run("DELETE FROM ATR_Log", false, /*queryTimeout=*/1);
    EXPECT_FALSE(cancelled.ok);
    EXPECT_EQ(cancelled.error.state, "HYT00") << cancelled.error.message;
    EXPECT_EQ(server.CountRows(), 50);
    EXPECT_TRUE(client.Run("SET NOCOUNT OFF").ok);
}

TEST(LogDbEncryption, TsqlLogsInThroughTls) {
    // FreeTDS's own command-line client, with its default (request).
    LogDbProcess server(Server("login"));
    const RunResult r = quellmark::test::Run(
        "tsql",
        {"-H", "127.0.0.1", "-p", std::to_string(server.Port()), "-U", "u", "-P", "Pw-on-the-wire", "-D", "logs"},
        std::chrono::seconds(30), std::string(kMarker) + "\ngo\nexit\n");
    EXPECT_NE(r.out.find("(1 row affected)"), std::string::npos) << r.out << r.err;
    EXPECT_FALSE(Contains(AllReceived(server), ObfuscatedPassword("Pw-on-the-wire")));
}

// ---- Kerberos ----------------------------------------------------------------------

TEST(LogDbKerberos, IntegratedAndSqlLoginsOnOnePort) {
    KerberosRealm realm({"ops", "guest"});
    LogDbOptions options = Server("login", {"--kerberos-keytab", realm.Keytab()});
    options.user = "ops";
    LogDbProcess server(options);
    const std::string port = std::to_string(server.Port());
    const std::string integrated = "Driver=FreeTDS;Server=localhost;Port=" + port +
                                   ";Database=logs;Trusted_Connection=Yes;TDS_Version=7.4;Encryption=require";
    realm.RegisterService("localhost", server.Port());

    realm.Kinit("ops");
    {
        Odbc client;
        const auto failure = client.Connect(integrated);
        ASSERT_FALSE(failure) << failure->message;
        EXPECT_EQ(client.Count("SELECT COUNT(*) FROM ATR_Log"), 50);
    }
    {
        // A SQL login on the same port, meanwhile.
        Odbc client;
        EXPECT_FALSE(client.Connect(server.OdbcConnectionString()));
    }
    {
        // The ticket is good, but the principal's name is not the login's.
        realm.Kinit("guest");
        Odbc client;
        const auto failure = client.Connect(integrated);
        ASSERT_TRUE(failure);
        EXPECT_NE(std::find(failure->messages.begin(), failure->messages.end(), "Login failed for user 'guest'."),
                  failure->messages.end())
            << failure->message;
    }
    {
        // The server's keys are out of date: the token itself is refused.
        realm.Kinit("ops");
        realm.ChangeKey("MSSQLSvc/localhost:" + port);
        realm.Kdestroy();
        realm.Kinit("ops");
        Odbc client;
        const auto failure = client.Connect(integrated);
        ASSERT_TRUE(failure);
        EXPECT_EQ(ServerMessage(*failure),
                  "Login failed. The login is from an untrusted domain and cannot be used with Integrated "
                  "authentication.");
    }
}

TEST(LogDbKerberos, WithoutAKeytabIntegratedLoginsAreRefused) {
    KerberosRealm realm;
    LogDbOptions options = Server("login");
    options.user = "ops";
    LogDbProcess server(options);
    realm.RegisterService("localhost", server.Port());
    realm.Kinit("ops");
    Odbc client;
    const auto failure = client.Connect("Driver=FreeTDS;Server=localhost;Port=" + std::to_string(server.Port()) +
                                        ";Database=logs;Trusted_Connection=Yes;TDS_Version=7.4");
    ASSERT_TRUE(failure);
    EXPECT_NE(ServerMessage(*failure).find("untrusted domain"), std::string::npos) << failure->message;
}

}  // namespace
