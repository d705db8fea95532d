// The SQL Server provider's encryption and Kerberos checks: the words for
// each cause a login can fail with, the PRELOGIN probe against each of the
// log server's encryption modes, and what crosses the wire when the
// provider logs in (read from the log server's wire log).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "data_access/data_access.h"
#include "data_access/sqlserver/diagnostics.h"
#include "data_access/sqlserver/kerberos.h"
#include "data_access/sqlserver/login_failure.h"
#include "harness/logdb_process.h"

namespace {

namespace sqlserver = quellmark::data_access::sqlserver;
using quellmark::data_access::ErrorEntry;
using quellmark::test::Bytes;
using quellmark::test::LogDbOptions;
using quellmark::test::LogDbProcess;

// What FreeTDS reports for any login it gave up on before the server spoke.
std::vector<ErrorEntry> GenericFailure() {
    return {{"Unable to connect to data source", "08001", 0}, {"Adaptive Server connection failed", "01000", 20002}};
}

std::string Summary(const std::vector<ErrorEntry>& records, bool integrated,
                    const sqlserver::LoginFailureFacts& facts) {
    return sqlserver::ExplainConnectFailure(records, sqlserver::ParseDataSource("localhost,14333"), 15, integrated,
                                            facts)
        .back()
        .Description;
}

// ---- Wording ---------------------------------------------------------------------

TEST(OdbcLoginFailures, EachCauseIsNamedWithWhatToDo) {
    sqlserver::LoginFailureFacts noEncryption;
    noEncryption.Encryption = sqlserver::EncryptionOffer::NotOffered;
    EXPECT_EQ(Summary(GenericFailure(), false, noEncryption),
              "The SQL Server at localhost,14333 offers no encryption, so no login was sent to it: neither the user "
              "name nor the password left this computer. SQL Server encrypts at least the login unless it is very "
              "old or something between here and the server changes its answer; ask the server's administrator.");
    EXPECT_NE(Summary(GenericFailure(), true, noEncryption).find("no Kerberos ticket left this computer"),
              std::string::npos);

    sqlserver::LoginFailureFacts kerberos;
    kerberos.Encryption = sqlserver::EncryptionOffer::Offered;
    kerberos.ClientPrincipal = "ops@QUELLMARK.TEST";
    kerberos.ServicePrincipal = "MSSQLSvc/localhost:14333";
    kerberos.ServiceTicketChecked = true;
    kerberos.ServiceTicket.Outcome = sqlserver::ServiceTicketCheck::Result::UnknownPrincipal;
    EXPECT_EQ(Summary(GenericFailure(), true, kerberos),
              "Windows authentication to the SQL Server at localhost,14333 failed: the Kerberos realm does not know "
              "the service principal MSSQLSvc/localhost:14333. Write the server's name as its service principal is "
              "registered (host name and port), or ask the administrator to register "
              "MSSQLSvc/localhost:14333 for the SQL Server's service account.");

    kerberos.ServiceTicket = {sqlserver::ServiceTicketCheck::Result::Failed, "Cannot contact any KDC"};
    const std::string noKdc = Summary(GenericFailure(), true, kerberos);
    EXPECT_NE(noKdc.find("Kerberos gives ops@QUELLMARK.TEST no ticket for MSSQLSvc/localhost:14333 (Cannot contact "
                         "any KDC)"),
              std::string::npos)
        << noKdc;

    // The server answered: its refusal decides, whatever was checked.
    const std::vector<ErrorEntry> untrusted = {
        {"Login failed. The login is from an untrusted domain and cannot be used with Integrated authentication.",
         "42000", 18452},
        {"Unable to connect to data source", "08001", 0}};
    EXPECT_EQ(Summary(untrusted, true, kerberos),
              "The SQL Server at localhost,14333 did not accept the Kerberos ticket of ops@QUELLMARK.TEST: Login "
              "failed. The login is from an untrusted domain and cannot be used with Integrated authentication. The "
              "server cannot read tickets for MSSQLSvc/localhost:14333 (its service key or keytab may be out of date) "
              "or does not trust this user's realm; ask the server's administrator, or connect with a User Id and "
              "Password.");
    const std::vector<ErrorEntry> noLogin = {{"Login failed for user 'ops'.", "28000", 18456}};
    EXPECT_NE(Summary(noLogin, true, kerberos)
                  .find("refused the Windows authentication login of ops@QUELLMARK.TEST: "
                        "Login failed for user 'ops'. Ask the server's administrator"),
              std::string::npos);
    // Unexplained, with nothing found: the driver's words.
    EXPECT_EQ(Summary(GenericFailure(), false, {}),
              "Cannot connect to the SQL Server at localhost,14333: Adaptive Server connection failed.");
}

TEST(OdbcLoginFailures, CredentialsThatCannotStartALogin) {
    const sqlserver::SqlServerAddress address = sqlserver::ParseDataSource("localhost,14333");
    sqlserver::KerberosCheck expired;
    expired.Outcome = sqlserver::KerberosCheck::Result::Expired;
    expired.Principal = "ops@QUELLMARK.TEST";
    EXPECT_EQ(sqlserver::KerberosCredentialsProblem(expired, address),
              "The Kerberos ticket of ops@QUELLMARK.TEST has expired, so Windows authentication (Integrated "
              "Security=SSPI) to the SQL Server at localhost,14333 cannot log in. Get a new ticket with kinit "
              "ops@QUELLMARK.TEST, or connect with a User Id and Password.");
    sqlserver::KerberosCheck missing;
    missing.Detail = "No Kerberos credentials available";
    EXPECT_EQ(sqlserver::KerberosCredentialsProblem(missing, address),
              "Windows authentication (Integrated Security=SSPI) to the SQL Server at localhost,14333 needs a "
              "Kerberos ticket, and this user has none (No Kerberos credentials available). Get one with kinit, or "
              "connect with a User Id and Password.");
}

TEST(OdbcLoginFailures, ServicePrincipalAsFreeTdsNamesIt) {
    EXPECT_EQ(sqlserver::ServicePrincipalFor(sqlserver::ParseDataSource("localhost,14333")),
              "MSSQLSvc/localhost:14333");
    EXPECT_EQ(sqlserver::ServicePrincipalFor(sqlserver::ParseDataSource("sql01.example.net")),
              "MSSQLSvc/sql01.example.net:1433");
    EXPECT_EQ(sqlserver::ServicePrincipalFor(sqlserver::ParseDataSource("(local),1600")), "MSSQLSvc/127.0.0.1:1600");
    EXPECT_EQ(sqlserver::ServicePrincipalFor(sqlserver::ParseDataSource("sql01\\EVENTS")), "");
}

// ---- The PRELOGIN probe -------------------------------------------------------------

LogDbOptions Recorded(std::vector<std::string> extraArgs) {
    LogDbOptions options;
    options.user = "purge-operator";
    options.password = "Tr0ub4dor&3";
    options.rows = 300;
    options.wireLog = true;
    options.extraArgs = std::move(extraArgs);
    return options;
}

TEST(OdbcLoginChecks, ProbeReadsTheServersEncryptionAndSendsNoLogin) {
    const std::pair<const char*, sqlserver::EncryptionOffer> modes[] = {
        {"login", sqlserver::EncryptionOffer::Offered},
        {"forced", sqlserver::EncryptionOffer::Offered},
        {"none", sqlserver::EncryptionOffer::NotOffered}};
    for (const auto& [mode, offer] : modes) {
        SCOPED_TRACE(mode);
        LogDbProcess server(Recorded({"--encryption", mode}));
        EXPECT_EQ(quellmark::data_access::sqlserver::ProbeServer("127.0.0.1", server.Port(), 5, false).Encryption,
                  offer);
        for (const auto& [connection, bytes] : server.Received())
            EXPECT_EQ(quellmark::test::PlainPacketTypes(bytes), std::vector<std::uint8_t>{0x12});
    }
    {
        LogDbProcess silent(Recorded({"--hang-login"}));
        EXPECT_EQ(quellmark::data_access::sqlserver::ProbeServer("127.0.0.1", silent.Port(), 1, false).Encryption,
                  sqlserver::EncryptionOffer::Unknown);
        const std::uint16_t port = silent.Port();
        silent.Kill();
        EXPECT_EQ(quellmark::data_access::sqlserver::ProbeServer("127.0.0.1", port, 1, false).Encryption,
                  sqlserver::EncryptionOffer::Unknown);
    }
}

// ---- Through FreeTDS -----------------------------------------------------------------

std::string ConnectionString(const LogDbProcess& server) {
    return "Provider=SQLOLEDB;Network Library=DBMSSOCN;Data Source=127.0.0.1," + std::to_string(server.Port()) +
           ";Initial Catalog=logs;User Id=purge-operator;Password=Tr0ub4dor&3";
}

TEST(OdbcProviderEncryption, AServerWithoutEncryptionGetsNoLogin) {
    LogDbProcess server(Recorded({"--encryption", "none"}));
    quellmark::data_access::Connection connection;
    connection.ConnectionString = ConnectionString(server);
    try {
        connection.Open();
        ADD_FAILURE() << "the connection opened";
    } catch (const quellmark::data_access::Error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "The SQL Server at 127.0.0.1," + std::to_string(server.Port()) +
                      " offers no encryption, so no login was sent to it: neither the user name nor the password "
                      "left this computer. SQL Server encrypts at least the login unless it is very old or something "
                      "between here and the server changes its answer; ask the server's administrator.");
    }
    ASSERT_FALSE(server.Received().empty());
    for (const auto& [connection, bytes] : server.Received()) {
        EXPECT_EQ(quellmark::test::PlainPacketTypes(bytes), std::vector<std::uint8_t>{0x12})
            << "connection " << connection << " sent more than PRELOGIN";
        EXPECT_FALSE(quellmark::test::Contains(bytes, quellmark::test::Utf16Le("purge-operator")));
    }
}

TEST(OdbcProviderEncryption, NothingOfTheLoginOrTheWorkCrossesTheWireReadable) {
    for (const char* mode : {"login", "forced"}) {
        SCOPED_TRACE(mode);
        LogDbProcess server(Recorded({"--encryption", mode}));
        {
            quellmark::data_access::Connection connection;
            connection.ConnectionString = ConnectionString(server);
            connection.Open();
            auto count = connection.Execute("SELECT COUNT(log_id) FROM ATR_Log WHERE priority = '7'");
            EXPECT_EQ(std::get<std::int64_t>(count->Fields().Item(0).Value()), server.CountRows("priority = 7"));
            EXPECT_EQ(connection.Execute("DELETE TOP (10) FROM ATR_Log")->RowsAffected(), 10);
            connection.Close();
        }
        EXPECT_EQ(server.CountRows(), 290);
        for (const auto& [connection, bytes] : server.Received()) {
            using quellmark::test::Contains;
            EXPECT_FALSE(Contains(bytes, quellmark::test::Utf16Le("purge-operator")));
            EXPECT_FALSE(Contains(bytes, quellmark::test::ObfuscatedPassword("Tr0ub4dor&3")));
            EXPECT_FALSE(Contains(bytes, quellmark::test::Utf16Le("Tr0ub4dor&3")));
            EXPECT_FALSE(Contains(bytes, quellmark::test::Utf16Le("DELETE TOP (10)")));
            // After PRELOGIN and the TLS handshake (in PRELOGIN packets)
            // nothing is plain TDS.
            for (const std::uint8_t type : quellmark::test::PlainPacketTypes(bytes)) EXPECT_EQ(type, 0x12);
        }
    }
}

}  // namespace
