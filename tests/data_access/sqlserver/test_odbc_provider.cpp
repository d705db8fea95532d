// The SQL Server provider: connection-string translation and message wording
// without a server, then failures against sockets that refuse or never
// answer, then the whole path against the test log server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "data_access/connection_string.h"
#include "data_access/data_access.h"
#include "data_access/sqlserver/diagnostics.h"
#include "data_access/sqlserver/driver_connection_string.h"
#include "data_access/sqlserver/kerberos.h"
#include "data_access/sqlserver/login_failure.h"
#include "data_access/sqlserver/statement_failure.h"
#include "harness/logdb_process.h"
#include "harness/scoped_env.h"
#include "harness/stopped_process.h"

namespace {

using quellmark::data_access::ConnectionProperties;
using quellmark::data_access::ErrorEntry;
using quellmark::data_access::FailureCause;
namespace sqlserver = quellmark::data_access::sqlserver;

std::string Translate(const std::string& oledb) {
    return sqlserver::TranslateConnectionString(ConnectionProperties::Parse(oledb)).ConnectionString;
}

std::string TranslateError(const std::string& oledb) {
    try {
        Translate(oledb);
    } catch (const quellmark::data_access::Error& e) {
        return e.what();
    }
    return "(no error)";
}

// ---- Connection strings ---------------------------------------------------

TEST(OdbcConnectionString, SqlLoginBecomesFreeTdsKeys) {
    EXPECT_EQ(Translate("Provider=SQLOLEDB;Data Source=logsrv;Initial Catalog=Events;User Id=op;Password=pw"),
              "Driver={FreeTDS};Servername={quellmark-login};Database={Events};UID={op};PWD={pw};"
              "TDS_Version=7.4;ClientCharset=UTF-8;Encryption=require");
    // Keys are matched regardless of case.
    EXPECT_EQ(Translate("provider=sqloledb;DATA SOURCE=logsrv;initial catalog=Events;USER ID=op;PASSWORD=pw"),
              Translate("Provider=SQLOLEDB;Data Source=logsrv;Initial Catalog=Events;User Id=op;Password=pw"));
}

TEST(OdbcConnectionString, DataSourceForms) {
    struct Case {
        const char* dataSource;
        const char* host;
        const char* instance;
        int port;
        const char* label;
    };
    const Case cases[] = {
        {"logsrv", "logsrv", "", 1433, "logsrv,1433"},
        {"logsrv,1500", "logsrv", "", 1500, "logsrv,1500"},
        {" logsrv , 1500 ", "logsrv", "", 1500, "logsrv,1500"},
        {"logsrv\\EVENTS", "logsrv", "EVENTS", 1433, "logsrv\\EVENTS"},
        {"(local)", "127.0.0.1", "", 1433, "127.0.0.1,1433"},
        {"(LOCAL),1600", "127.0.0.1", "", 1600, "127.0.0.1,1600"},
        {".", "127.0.0.1", "", 1433, "127.0.0.1,1433"},
        {".\\SQLEXPRESS", "127.0.0.1", "SQLEXPRESS", 1433, "127.0.0.1\\SQLEXPRESS"},
        {"tcp:logsrv,1500", "logsrv", "", 1500, "logsrv,1500"},
        // A port given with an instance is used directly.
        {"logsrv\\EVENTS,1500", "logsrv", "", 1500, "logsrv,1500"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dataSource);
        const sqlserver::SqlServerAddress address = sqlserver::ParseDataSource(c.dataSource);
        EXPECT_EQ(address.Host, c.host);
        EXPECT_EQ(address.Instance, c.instance);
        if (address.Instance.empty()) {
            EXPECT_EQ(address.Port, c.port);
        }
        EXPECT_EQ(address.Label(), c.label);
    }
}

TEST(OdbcConnectionString, ServerTravelsOutsideTheStringAndKeepsItsWrittenName) {
    const sqlserver::OdbcLogin login = sqlserver::TranslateConnectionString(
        ConnectionProperties::Parse("Provider=SQLOLEDB;Data Source= .\\EVENTS ;User Id=op;Password=pw"));
    EXPECT_EQ(login.Address.Instance, "EVENTS");
    EXPECT_EQ(login.Server, ".\\EVENTS");
    EXPECT_EQ(login.ConnectionString.find("Port="), std::string::npos) << login.ConnectionString;
    EXPECT_EQ(login.ConnectionString.find("Server="), std::string::npos) << login.ConnectionString;
}

TEST(OdbcConnectionString, UnusableDataSourcesAreRefusedInPlainWords) {
    for (const char* bad : {"logsrv,", "logsrv,abc", "logsrv,0", "logsrv,65536", "logsrv,14 33", ",1433", "logsrv\\"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(sqlserver::ParseDataSource(bad), quellmark::data_access::Error);
    }
    EXPECT_NE(TranslateError("Provider=SQLOLEDB;User Id=op;Password=pw").find("names no server"), std::string::npos);
}

TEST(OdbcConnectionString, ValuesCannotAddKeys) {
    // Whatever the value holds stays inside one braced value; FreeTDS takes
    // braces inside it literally.
    EXPECT_EQ(sqlserver::BraceQuote("a;UID=sa;b", "x"), "{a;UID=sa;b}");
    EXPECT_EQ(sqlserver::BraceQuote("x}y{", "x"), "{x}y{}");
    EXPECT_EQ(sqlserver::BraceQuote("", "x"), "{}");
    const std::string text =
        Translate("Provider=SQLOLEDB;Data Source=logsrv;Initial Catalog='Ev;ents';User Id='o}p';Password=\"p;w}=x{\"");
    EXPECT_NE(text.find(";Database={Ev;ents};UID={o}p};PWD={p;w}=x{};"), std::string::npos) << text;
    // Leading and trailing spaces of a password survive.
    EXPECT_NE(Translate("Provider=SQLOLEDB;Data Source=s;User Id=u;Password=' pw '").find("PWD={ pw }"),
              std::string::npos);
    // "};" would end the value early and let the rest become keys.
    const std::string refused = TranslateError("Provider=SQLOLEDB;Data Source=s;User Id=u;Password='x};UID=sa'");
    EXPECT_NE(refused.find("The password contains"), std::string::npos) << refused;
    EXPECT_EQ(refused.find("UID=sa"), std::string::npos) << refused;
}

TEST(OdbcConnectionString, IntegratedSecurityUsesKerberosWithoutUserOrPassword) {
    const std::string text = Translate(
        "Provider=SQLOLEDB;Data Source=logsrv;Initial Catalog=Events;Integrated Security=SSPI;"
        "User Id=ignored;Password=secret");
    EXPECT_NE(text.find(";Trusted_Connection=Yes"), std::string::npos) << text;
    EXPECT_NE(text.find(";Encryption=require"), std::string::npos) << text;
    EXPECT_EQ(text.find("UID="), std::string::npos) << text;
    EXPECT_EQ(text.find("secret"), std::string::npos) << text;
    EXPECT_TRUE(sqlserver::TranslateConnectionString(
                    ConnectionProperties::Parse("Provider=SQLOLEDB;Data Source=s;Integrated Security=sspi"))
                    .IntegratedSecurity);
    EXPECT_NE(TranslateError("Provider=SQLOLEDB;Data Source=s;Integrated Security=Kerberos").find("not understood"),
              std::string::npos);
}

TEST(OdbcConnectionString, NoLoginAtAllIsRefused) {
    // An empty user would make FreeTDS attempt a Kerberos login unasked.
    EXPECT_NE(TranslateError("Provider=SQLOLEDB;Data Source=s;Password=pw").find("neither a User Id"),
              std::string::npos);
}

TEST(OdbcConnectionString, OnlyTcpNetworkLibrary) {
    EXPECT_NO_THROW(Translate("Provider=SQLOLEDB;Network Library=DBMSSOCN;Data Source=s,1500;User Id=u;Password=p"));
    EXPECT_NO_THROW(Translate("Provider=SQLOLEDB;Network Library=dbmssocn;Data Source=s;User Id=u;Password=p"));
    const std::string message =
        TranslateError("Provider=SQLOLEDB;Network Library=DBNMPNTW;Data Source=s;User Id=u;Password=p");
    EXPECT_NE(message.find("DBNMPNTW"), std::string::npos) << message;
    EXPECT_NE(message.find("TCP/IP"), std::string::npos) << message;
}

// ---- Message wording ------------------------------------------------------

TEST(OdbcDiagnostics, DriverTagsAreStripped) {
    EXPECT_EQ(sqlserver::StripDriverTags("[FreeTDS][SQL Server]Invalid column name 'prio'."),
              "Invalid column name 'prio'.");
    EXPECT_EQ(sqlserver::StripDriverTags("[unixODBC][Driver Manager]Data source name not found"),
              "Data source name not found");
    // Brackets that belong to the message stay.
    EXPECT_EQ(sqlserver::StripDriverTags("[dbo].[ATR_Log] is locked\n"), "[dbo].[ATR_Log] is locked");
}

TEST(OdbcDiagnostics, ConnectionStringPasswordsAreMaskedWhateverTheyHold) {
    EXPECT_EQ(sqlserver::WithoutConnectionPassword("bad: Server={s};PWD={s}3cr;t};UID=u"),
              "bad: Server={s};PWD=****;UID=u");
    EXPECT_EQ(sqlserver::WithoutConnectionPassword("pwd={a}}"), "pwd=****");
    EXPECT_EQ(sqlserver::WithoutConnectionPassword("Password=x;y PWD=;Password=z"),
              "Password=****;y PWD=****;Password=****");
    // Text that merely holds what could be a password is left as it is.
    for (const char* text : {"Login failed for user 'purge'.", "Password expired for user 'e'.", "PWD"})
        EXPECT_EQ(sqlserver::WithoutConnectionPassword(text), text);
}

std::vector<ErrorEntry> RefusedRecords() {
    return {{"Unable to connect: Adaptive Server is unavailable or does not exist", "08S01", 20009},
            {"Unable to connect to data source", "08001", 0}};
}

TEST(OdbcDiagnostics, ConnectFailuresEndWithServerAndCause) {
    const sqlserver::SqlServerAddress local = sqlserver::ParseDataSource("(local)");
    auto refused = sqlserver::ExplainConnectFailure(RefusedRecords(), local, 15, false);
    ASSERT_EQ(refused.size(), 3u);
    EXPECT_EQ(refused[0].Description, RefusedRecords()[0].Description);  // the driver's records are kept
    EXPECT_EQ(refused.back().Description,
              "Cannot connect to the SQL Server at 127.0.0.1,1433: the server is unavailable or does not exist.");
    EXPECT_EQ(refused.back().Cause, FailureCause::ConnectionLost);

    auto timedOut = sqlserver::ExplainConnectFailure(
        {{"Timeout expired", "HYT00", 0}, {"Unable to connect to data source", "08001", 0}}, local, 2, false);
    EXPECT_EQ(timedOut.back().Description,
              "Cannot connect to the SQL Server at 127.0.0.1,1433: the login timed out after 2 seconds without an "
              "answer from the server.");
    EXPECT_EQ(timedOut.back().Cause, FailureCause::ConnectionLost);

    auto login = sqlserver::ExplainConnectFailure(
        {{"Login failed for user 'u'.", "28000", 18456}, {"Unable to connect to data source", "08001", 0}}, local, 15,
        false);
    EXPECT_EQ(login.back().Description,
              "The SQL Server at 127.0.0.1,1433 refused the login: Login failed for user 'u'.");
    EXPECT_EQ(login.back().Cause, FailureCause::Login);

    auto other =
        sqlserver::ExplainConnectFailure({{"Cannot open database \"Nope\" requested by the login", "42000", 4060},
                                          {"Unable to connect to data source", "08001", 0}},
                                         local, 15, false);
    EXPECT_EQ(other.back().Description,
              "Cannot connect to the SQL Server at 127.0.0.1,1433: Cannot open database \"Nope\" requested by the "
              "login.");
    EXPECT_EQ(other.back().Cause, std::nullopt);  // left to what was being done
}

TEST(OdbcDiagnostics, StatementFailuresPutTheErrorLast) {
    const sqlserver::SqlServerAddress address = sqlserver::ParseDataSource("logsrv");
    auto records = sqlserver::ExplainStatementFailure(
        {{"Invalid column name 'prio'.", "42S22", 207}, {"Changed database context to 'Events'.", "01000", 5701}},
        address, false);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records.back().Description, "Invalid column name 'prio'.");
    EXPECT_FALSE(sqlserver::ConnectionLost(records));

    auto lost = sqlserver::ExplainStatementFailure({{"Read from the server failed", "08S01", 20004}}, address, false);
    EXPECT_TRUE(sqlserver::ConnectionLost(lost));
    EXPECT_NE(lost.back().Description.find("The connection to the SQL Server at logsrv,1433 was lost"),
              std::string::npos);
    // A vague record on a connection the driver reports dead.
    auto dead = sqlserver::ExplainStatementFailure({{"Unknown error", "HY000", 0}}, address, true);
    ASSERT_EQ(dead.size(), 2u);
    EXPECT_EQ(dead.front().Description, "Unknown error");
    EXPECT_NE(dead.back().Description.find("was lost"), std::string::npos);
}

// ---- Against sockets ------------------------------------------------------

// A TCP socket on 127.0.0.1 at a free port, listening or merely bound.
class LocalSocket {
public:
    explicit LocalSocket(bool listening) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        socklen_t length = sizeof address;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0 || (listening && listen(fd_, 4) != 0))
            throw std::runtime_error("cannot set up a local socket");
        port_ = ntohs(address.sin_port);
    }
    ~LocalSocket() {
        if (fd_ >= 0) close(fd_);
    }
    LocalSocket(const LocalSocket&) = delete;
    LocalSocket& operator=(const LocalSocket&) = delete;
    int Port() const noexcept { return port_; }

private:
    int fd_;
    int port_ = 0;
};

std::string SqlLogin(int port, const std::string& password = "pw") {
    return "Provider=SQLOLEDB;Data Source=127.0.0.1," + std::to_string(port) +
           ";Initial Catalog=Events;User Id=op;Password=" + password;
}

std::string OpenError(quellmark::data_access::Connection& connection) {
    try {
        connection.Open();
    } catch (const quellmark::data_access::Error& e) {
        EXPECT_FALSE(connection.IsOpen());
        EXPECT_EQ(connection.Errors().Count(), static_cast<int>(e.Entries().size()));
        return e.what();
    }
    ADD_FAILURE() << "the connection opened";
    return {};
}

TEST(OdbcProviderOffline, NothingListeningSaysWhichServer) {
    // A bound socket that does not listen: connections to it are refused.
    LocalSocket closed(false);
    quellmark::data_access::Connection connection;
    connection.ConnectionString = SqlLogin(closed.Port(), "Wr0ng-Secret");
    const std::string message = OpenError(connection);
    EXPECT_EQ(message, "Cannot connect to the SQL Server at 127.0.0.1," + std::to_string(closed.Port()) +
                           ": the server is unavailable or does not exist.");
    ASSERT_GE(connection.Errors().Count(), 2);
    EXPECT_NE(connection.Errors().Item(0).Description.find("Adaptive Server is unavailable"), std::string::npos);
    for (int i = 0; i < connection.Errors().Count(); ++i) {
        EXPECT_EQ(connection.Errors().Item(i).Description.find("[FreeTDS]"), std::string::npos);
        EXPECT_EQ(connection.Errors().Item(i).Description.find("Wr0ng-Secret"), std::string::npos);
    }
}

TEST(OdbcProviderOffline, SilentServerEndsAtTheLoginTimeout) {
    // Accepts TCP (the kernel completes the handshake) but never answers.
    LocalSocket silent(true);
    quellmark::data_access::Connection connection;
    connection.ConnectionString = SqlLogin(silent.Port());
    connection.ConnectionTimeout = 2;
    const auto start = std::chrono::steady_clock::now();
    const std::string message = OpenError(connection);
    // Only a guard against hanging, not a measurement.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
    EXPECT_NE(message.find("timed out after 2 seconds"), std::string::npos) << message;
    EXPECT_NE(message.find("127.0.0.1," + std::to_string(silent.Port())), std::string::npos) << message;
}

TEST(OdbcProviderOffline, NegativeTimeoutIsRefused) {
    quellmark::data_access::Connection connection;
    connection.ConnectionString = SqlLogin(1);
    connection.ConnectionTimeout = -1;
    EXPECT_NE(OpenError(connection).find("time-out"), std::string::npos);
}

TEST(OdbcProviderOffline, WindowsAuthenticationWithoutTicketSaysSo) {
    // A credential cache that does not exist: this user holds no ticket.
    const quellmark::test::ScopedEnv noTicket("KRB5CCNAME", "FILE:/nonexistent/quellmark-no-ticket");
    LocalSocket closed(false);
    quellmark::data_access::Connection connection;
    connection.ConnectionString = "Provider=SQLOLEDB;Data Source=127.0.0.1," + std::to_string(closed.Port()) +
                                  ";Initial Catalog=Events;Integrated Security=SSPI";
    const std::string message = OpenError(connection);
    EXPECT_NE(message.find("Kerberos ticket"), std::string::npos) << message;
    EXPECT_NE(message.find("kinit"), std::string::npos) << message;
}

// ---- Against the test log server -----------------------------------------

// The test log server with the data these tests assume, and the OLE DB
// connection string the operator would write for it.
class LogDb {
public:
    static constexpr const char* kDatabase = "Events";
    static constexpr const char* kUser = "op";
    // Characters that would end or add ODBC keys if they were not quoted.
    static constexpr const char* kPassword = "pa;ss}w=rd{";
    static constexpr int kRows = 240;

    explicit LogDb(std::vector<std::string> extra = {})
        : process_({.database = kDatabase,
                    .user = kUser,
                    .password = kPassword,
                    .rows = kRows,
                    .seed = 11,
                    .dbFile = {},
                    .extraArgs = std::move(extra)}) {}

    int Port() const noexcept { return process_.Port(); }
    pid_t Pid() const noexcept { return process_.Pid(); }
    std::string Label() const { return "127.0.0.1," + std::to_string(Port()); }
    // Matching rows read from the server's SQLite file, not through TDS.
    std::int64_t StoredRows(const std::string& sqliteWhere = "") const { return process_.CountRows(sqliteWhere); }
    std::string ConnectionString(const std::string& password = kPassword) const {
        return "Provider=SQLOLEDB;Network Library=DBMSSOCN;Data Source=127.0.0.1," + std::to_string(Port()) +
               ";Initial Catalog=" + kDatabase + ";User Id=" + kUser + ";Password=\"" + password + "\"";
    }

private:
    quellmark::test::LogDbProcess process_;
};

std::unique_ptr<quellmark::data_access::Connection> Open(const LogDb& server) {
    auto connection = std::make_unique<quellmark::data_access::Connection>();
    connection->ConnectionString = server.ConnectionString();
    connection->Open();
    return connection;
}

std::int64_t Count(quellmark::data_access::Connection& connection, const std::string& where = "") {
    auto rs = connection.Execute("SELECT COUNT(*) FROM ATR_Log" + (where.empty() ? "" : " WHERE " + where));
    EXPECT_FALSE(rs->EndOfFile());
    return std::get<std::int64_t>(rs->Fields().Item(0).Value());
}

std::string ExecuteError(quellmark::data_access::Connection& connection, const std::string& text) {
    try {
        connection.Execute(text);
    } catch (const quellmark::data_access::Error& e) {
        EXPECT_EQ(connection.Errors().Count(), static_cast<int>(e.Entries().size()));
        return e.what();
    }
    ADD_FAILURE() << "the statement succeeded: " << text.substr(0, 80);
    return {};
}

TEST(OdbcProviderLogDb, CountAndDeleteAgreeWithTheSeededRows) {
    LogDb server;
    auto connection = Open(server);
    EXPECT_EQ(Count(*connection), LogDb::kRows);

    const std::int64_t urgent = Count(*connection, "priority > 3");
    EXPECT_EQ(urgent, server.StoredRows("priority > 3"));
    ASSERT_GT(urgent, 0);
    ASSERT_LT(urgent, LogDb::kRows);
    auto deleted = connection->Execute("DELETE FROM ATR_Log WHERE priority > 3");
    EXPECT_EQ(deleted->RowsAffected(), urgent);
    EXPECT_TRUE(deleted->EndOfFile());
    EXPECT_EQ(server.StoredRows("priority > 3"), 0);
    EXPECT_EQ(Count(*connection), LogDb::kRows - urgent);

    // A delete that matches nothing is a success with no rows, not a failure.
    auto none = connection->Execute("DELETE FROM ATR_Log WHERE priority > 3");
    EXPECT_EQ(none->RowsAffected(), 0);
    EXPECT_EQ(connection->Errors().Count(), 0);

    // With NOCOUNT on the answer carries no figure: unknown, never zero.
    connection->Execute("SET NOCOUNT ON");
    EXPECT_EQ(connection->Execute("DELETE TOP (1) FROM ATR_Log")->RowsAffected(), -1);
    EXPECT_EQ(connection->Execute("DELETE FROM ATR_Log WHERE priority > 3")->RowsAffected(), -1);
}

TEST(OdbcProviderLogDb, ServerErrorIsShownInItsOwnWordsAndClearedBySuccess) {
    LogDb server;
    auto connection = Open(server);
    EXPECT_EQ(ExecuteError(*connection, "SELECT COUNT(*) FROM ATR_Log WHERE prio = 1"), "Invalid column name 'prio'.");
    ASSERT_GE(connection->Errors().Count(), 1);
    EXPECT_EQ(connection->Errors().Item(connection->Errors().Count() - 1).NativeError, 207);
    // The connection is usable after the failure, and success clears the list.
    EXPECT_EQ(Count(*connection), LogDb::kRows);
    EXPECT_EQ(connection->Errors().Count(), 0);
}

TEST(OdbcProviderLogDb, EmptyStatementIsRefusedBeforeSending) {
    LogDb server;
    auto connection = Open(server);
    for (const char* blank : {"", "   ", " \r\n\t "}) {
        EXPECT_EQ(ExecuteError(*connection, blank), "The statement is empty, so nothing was sent to the server.");
        EXPECT_EQ(connection->Errors().Count(), 1);
    }
    EXPECT_EQ(Count(*connection), LogDb::kRows);
}

TEST(OdbcProviderLogDb, RecordsetsStayReadableWhileTheNextStatementRuns) {
    LogDb server;
    auto connection = Open(server);
    auto before = connection->Execute("SELECT COUNT(*) AS total FROM ATR_Log");
    auto deleted = connection->Execute("DELETE TOP (5) FROM ATR_Log");
    auto after = connection->Execute("SELECT COUNT(*) AS total FROM ATR_Log");
    EXPECT_EQ(deleted->RowsAffected(), 5);
    EXPECT_EQ(std::get<std::int64_t>(before->Fields().Item("TOTAL").Value()), LogDb::kRows);
    EXPECT_EQ(std::get<std::int64_t>(after->Fields().Item("total").Value()), LogDb::kRows - 5);
}

TEST(OdbcProviderLogDb, EveryStatementOfABatchRuns) {
    LogDb server;
    auto connection = Open(server);
    // Only the first result is returned, but the delete after it still runs.
    auto first = connection->Execute("SELECT COUNT(*) FROM ATR_Log; DELETE TOP (7) FROM ATR_Log");
    EXPECT_EQ(std::get<std::int64_t>(first->Fields().Item(0).Value()), LogDb::kRows);
    EXPECT_EQ(Count(*connection), LogDb::kRows - 7);
}

TEST(OdbcProviderLogDb, TextTravelsAsUtf8BothWays) {
    LogDb server;
    auto connection = Open(server);
    auto rs = connection->Execute("SELECT N'Zürich – Ωmega' AS city");
    ASSERT_FALSE(rs->EndOfFile());
    EXPECT_EQ(rs->Fields().Item(0).Name(), "city");
    EXPECT_EQ(std::get<std::string>(rs->Fields().Item("city").Value()), "Zürich – Ωmega");
    EXPECT_EQ(Count(*connection, "label = N'Zürich'"), 0);
}

TEST(OdbcProviderLogDb, MegabyteStatement) {
    LogDb server;
    auto connection = Open(server);
    std::string list;
    while (list.size() < 1024 * 1024) list += "-1,";
    list += "1,2";
    EXPECT_EQ(Count(*connection, "priority IN (" + list + ")"), Count(*connection, "priority BETWEEN 1 AND 2"));
}

TEST(OdbcProviderLogDb, WrongPasswordNamesTheUserButNeverThePassword) {
    LogDb server;
    quellmark::data_access::Connection connection;
    const std::string wrong = "Wr0ng;P}ss";
    connection.ConnectionString = server.ConnectionString(wrong);
    const std::string message = OpenError(connection);
    EXPECT_EQ(message, "The SQL Server at 127.0.0.1," + std::to_string(server.Port()) +
                           " refused the login: Login failed for user 'op'.");
    for (int i = 0; i < connection.Errors().Count(); ++i) {
        const std::string& description = connection.Errors().Item(i).Description;
        EXPECT_EQ(description.find("Wr0ng"), std::string::npos) << description;
        EXPECT_EQ(description.find(LogDb::kPassword), std::string::npos) << description;
    }
}

// The refusal reads the same whatever the wrong password: nothing masked,
// nothing that depends on it, also for passwords that are words of the
// message, the user's own name or single letters.
TEST(OdbcProviderLogDb, ARefusalTellsNothingAboutThePassword) {
    LogDb server;
    const std::string passwords[] = {"e",   "o",      "r",       "L",     "'",     ".",   " ",    "op",
                                     "OP",  "in",     "for",     "user",  "Login", "SQL", "the",  "failed",
                                     "127", "Events", "refused", "Serve", "*",     "**",  "login"};
    std::optional<std::vector<std::string>> first;
    for (const std::string& password : passwords) {
        SCOPED_TRACE("password \"" + password + "\"");
        quellmark::data_access::Connection connection;
        connection.ConnectionString = "Provider=SQLOLEDB;Data Source=" + server.Label() +
                                      ";Initial Catalog=" + LogDb::kDatabase + ";User Id=" + LogDb::kUser +
                                      ";Password=" + quellmark::data_access::QuoteConnectionValue(password);
        EXPECT_NE(OpenError(connection).find("Login failed for user 'op'."), std::string::npos);
        std::vector<std::string> descriptions;
        for (int i = 0; i < connection.Errors().Count(); ++i)
            descriptions.push_back(connection.Errors().Item(i).Description);
        for (const std::string& d : descriptions) EXPECT_EQ(d.find("**"), std::string::npos) << d;
        if (!first) first = descriptions;
        EXPECT_EQ(descriptions, *first);
    }
}

TEST(OdbcProviderLogDb, RefusedLoginIsReported) {
    LogDb server({"--refuse-login"});
    quellmark::data_access::Connection connection;
    connection.ConnectionString = server.ConnectionString();
    EXPECT_NE(OpenError(connection).find("refused the login: Login failed for user 'op'"), std::string::npos);
}

TEST(OdbcProviderLogDb, HangingLoginEndsAtTheTimeout) {
    LogDb server({"--hang-login"});
    quellmark::data_access::Connection connection;
    connection.ConnectionString = server.ConnectionString();
    connection.ConnectionTimeout = 2;
    const auto start = std::chrono::steady_clock::now();
    const std::string message = OpenError(connection);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));  // hang guard only
    EXPECT_NE(message.find("the login timed out after 2 seconds"), std::string::npos) << message;
}

TEST(OdbcProviderLogDb, DroppedConnectionIsReportedAsLost) {
    LogDb server({"--drop-after", "1"});
    auto connection = Open(server);
    EXPECT_EQ(Count(*connection), LogDb::kRows);
    const std::string lost = ExecuteError(*connection, "DELETE TOP (1) FROM ATR_Log");
    EXPECT_NE(lost.find("The connection to the SQL Server at 127.0.0.1," + std::to_string(server.Port()) + " was lost"),
              std::string::npos)
        << lost;
    // Later statements say the same instead of failing obscurely.
    EXPECT_NE(ExecuteError(*connection, "SELECT COUNT(*) FROM ATR_Log").find("was lost"), std::string::npos);
    EXPECT_NO_THROW(connection->Close());
}

// ---- The statement time limit ---------------------------------------------

TEST(OdbcProviderLogDb, StatementPastItsLimitIsCancelledAndChangesNothing) {
    LogDb server({"--delay-ms", "4000"});  // every statement takes 4 s more
    auto connection = Open(server);
    connection->CommandTimeout = -1;
    EXPECT_NE(ExecuteError(*connection, "SELECT COUNT(*) FROM ATR_Log").find("time-out"), std::string::npos);

    connection->CommandTimeout = 1;
    EXPECT_EQ(ExecuteError(*connection, "DELETE TOP (10) FROM ATR_Log"),
              "The SQL Server at " + server.Label() +
                  " did not finish the statement within 1 second, so it was "
                  "cancelled.");
    EXPECT_EQ(server.StoredRows(), LogDb::kRows);
    // The server acknowledged the cancellation, so the connection serves on;
    // without a limit the slow statement is waited for.
    connection->CommandTimeout = 0;
    EXPECT_EQ(Count(*connection), LogDb::kRows);
}

// Holds a server stopped (SIGSTOP), every thread of it, until Resume or the
// end of the scope.
class StoppedServer {
public:
    explicit StoppedServer(const LogDb& server) : pid_(server.Pid()), stopped_(quellmark::test::StopProcess(pid_)) {}
    ~StoppedServer() { Resume(); }
    StoppedServer(const StoppedServer&) = delete;
    StoppedServer& operator=(const StoppedServer&) = delete;
    bool Stopped() const noexcept { return stopped_; }
    void Resume() noexcept {
        if (stopped_) quellmark::test::ResumeProcess(pid_);
        stopped_ = false;
    }

private:
    pid_t pid_;
    bool stopped_;
};

TEST(OdbcProviderLogDb, StoppedServerIsGivenUpShortlyAfterTheLimit) {
    LogDb server;
    auto connection = Open(server);
    connection->CommandTimeout = 3;
    StoppedServer stopped(server);
    ASSERT_TRUE(stopped.Stopped());
    // Not even the cancellation is answered. The driver alone would wait
    // another 3 seconds for it and then report only that it gave up.
    const std::string message = ExecuteError(*connection, "DELETE TOP (10) FROM ATR_Log");
    EXPECT_EQ(message, "The SQL Server at " + server.Label() +
                           " did not finish the statement within 3 seconds and did not answer its cancellation "
                           "either, so Quellmark closed the connection to it; the statement may or may not have "
                           "been carried out.");
    EXPECT_NE(ExecuteError(*connection, "SELECT COUNT(*) FROM ATR_Log").find("was lost"), std::string::npos);
    EXPECT_NO_THROW(connection->Close());
    // Running again, the server finds the delete and its cancellation
    // waiting; whether it reads the cancellation before it has carried the
    // delete out depends on how the two arrived, which is what the message
    // says; nothing else is deleted, and the server goes on serving.
    stopped.Resume();
    const auto untouchedOrOneChunk = [](std::int64_t rows) {
        return rows == LogDb::kRows || rows == LogDb::kRows - 10;
    };
    EXPECT_PRED1(untouchedOrOneChunk, Count(*Open(server)));
    EXPECT_PRED1(untouchedOrOneChunk, server.StoredRows());
}

// Opening a table asks the server too, and is given the connection's own
// limit, not a default.
TEST(OdbcProviderLogDb, OpeningATableKeepsTheConnectionsLimit) {
    LogDb server;
    auto connection = Open(server);
    connection->CommandTimeout = -1;
    quellmark::data_access::Recordset refused;
    EXPECT_THROW(refused.Open("ATR_Log", *connection), quellmark::data_access::Error);
    ASSERT_EQ(connection->Errors().Count(), 1);
    EXPECT_NE(connection->Errors().Item(0).Description.find("time-out"), std::string::npos);

    connection->CommandTimeout = 1;
    StoppedServer stopped(server);
    ASSERT_TRUE(stopped.Stopped());
    quellmark::data_access::Recordset table;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(table.Open("ATR_Log", *connection), quellmark::data_access::Error);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    ASSERT_GT(connection->Errors().Count(), 0);
    EXPECT_EQ(connection->Errors().Item(connection->Errors().Count() - 1).Description,
              "The SQL Server at " + server.Label() +
                  " did not finish the statement within 1 second and did not answer its cancellation either, so "
                  "Quellmark closed the connection to it; the statement may or may not have been carried out.");
    // Running again, the server gives the table's first row.
    stopped.Resume();
    auto again = Open(server);
    quellmark::data_access::Recordset first;
    first.Open("ATR_Log", *again);
    EXPECT_EQ(std::get<std::int64_t>(first.Fields().Item("log_id").Value()), 1);
}

}  // namespace
