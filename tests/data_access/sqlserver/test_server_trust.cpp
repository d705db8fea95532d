// The certificate checks, the trust folder, the driver's configuration
// section and the refusal messages, with certificates of a throwaway test
// authority.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>

#include "data_access/data_access.h"
#include "data_access/sqlserver/freetds_login_config.h"
#include "data_access/sqlserver/login_failure.h"
#include "data_access/sqlserver/server_trust.h"
#include "harness/scoped_env.h"
#include "harness/scratch_dir.h"
#include "harness/test_certificates.h"
#include "support/odbc_client.h"

namespace sqlserver = quellmark::data_access::sqlserver;
using sqlserver::Certificate;
using sqlserver::Problem;
using namespace quellmark;

namespace {

Certificate Load(const test::CertificateFiles& files) { return Certificate::FromPem(files.Pem()).at(0); }

std::string ReadAll(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class ServerTrust : public ::testing::Test {
protected:
    test::ScratchDir dir{"trust"};
    test::TestAuthority authority{dir.Path()};
    test::CertificateFiles localhost = authority.Issue("localhost", "localhost");
    test::CertificateFiles other = authority.Issue("other", "other.example");
    test::CertificateFiles expired = authority.Issue("expired", "localhost", -30 * test::kDay, -test::kDay);
    test::CertificateFiles early = authority.Issue("early", "localhost", test::kDay, 30 * test::kDay);
    test::CertificateFiles selfSigned = test::MakeSelfSigned(dir.Path(), "self", "localhost");
    std::time_t now = std::time(nullptr);

    sqlserver::Verdict BySystem(const test::CertificateFiles& files, const std::string& host) const {
        return sqlserver::Evaluate({Load(files)}, std::nullopt, host, now, authority.Bundle());
    }
};

}  // namespace

TEST_F(ServerTrust, TheSystemsAuthoritiesVouchForTheHostNamedWhileValid) {
    const sqlserver::Verdict good = BySystem(localhost, "localhost");
    EXPECT_TRUE(good.Accepted());
    EXPECT_EQ(good.Authority, "CN=Quellmark Test Authority");
    // Host names compare without regard to case, as DNS does.
    EXPECT_TRUE(BySystem(localhost, "LOCALHOST").Accepted());

    EXPECT_EQ(BySystem(localhost, "127.0.0.1").Problems, std::vector{Problem::OtherHost});
    EXPECT_EQ(BySystem(other, "localhost").Problems, std::vector{Problem::OtherHost});
    EXPECT_EQ(BySystem(expired, "localhost").Problems, std::vector{Problem::OutsideValidity});
    EXPECT_EQ(BySystem(early, "localhost").Problems, std::vector{Problem::OutsideValidity});
    EXPECT_EQ(BySystem(selfSigned, "localhost").Problems, std::vector{Problem::UntrustedAuthority});
    // A store that cannot be read trusts nobody.
    EXPECT_EQ(sqlserver::Evaluate({Load(localhost)}, std::nullopt, "localhost", now, dir / "missing.pem").Problems,
              std::vector{Problem::UntrustedAuthority});
}

TEST_F(ServerTrust, APinnedCertificateIsTrustedExactlyWhateverItNames) {
    const auto pinned = [&](const test::CertificateFiles& presented, const test::CertificateFiles& pin) {
        return sqlserver::Evaluate({Load(presented)}, Load(pin), "127.0.0.1", now, dir / "no-authorities.pem");
    };
    EXPECT_TRUE(pinned(selfSigned, selfSigned).Accepted());
    EXPECT_TRUE(pinned(other, other).Accepted());
    EXPECT_EQ(pinned(localhost, other).Problems, std::vector{Problem::DiffersFromPinned});
    // An authority's signature does not stand in for the pin.
    EXPECT_EQ(pinned(localhost, selfSigned).Problems, std::vector{Problem::DiffersFromPinned});
    EXPECT_EQ(pinned(expired, expired).Problems, std::vector{Problem::OutsideValidity});
}

TEST_F(ServerTrust, FingerprintsAreColonSeparatedUpperCaseHexPairs) {
    const Certificate certificate = Load(localhost);
    EXPECT_EQ(certificate.Sha256(), localhost.sha256);
    EXPECT_EQ(certificate.Sha1().size(), 59u);
    EXPECT_EQ(certificate.Subject(), "CN=localhost");
    EXPECT_EQ(certificate.Issuer(), "CN=Quellmark Test Authority");
    EXPECT_EQ(certificate.Names(), std::vector<std::string>{"localhost"});
    EXPECT_EQ(Load(selfSigned).Names(), std::vector<std::string>{"localhost"});  // its common name
    EXPECT_LT(certificate.NotBefore(), now);
    EXPECT_GT(certificate.NotAfter(), now + 300 * test::kDay);

    std::string bare;
    for (char c : certificate.Sha256())
        if (c != ':') bare += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(sqlserver::NormalizeFingerprint(bare), certificate.Sha256());
    EXPECT_EQ(sqlserver::NormalizeFingerprint(certificate.Sha1()), certificate.Sha1());
    for (const char* bad : {"", "AB:CD", "zz", "AB-CD"}) EXPECT_FALSE(sqlserver::NormalizeFingerprint(bad)) << bad;
    EXPECT_FALSE(sqlserver::NormalizeFingerprint(certificate.Sha256() + ":00"));
}

TEST_F(ServerTrust, TheTrustFolderHoldsOnePemFilePerServerAsWritten) {
    const test::ScopedEnv folder("QUELLMARK_TRUST_DIR", (dir / "trusted").string());
    sqlserver::ServerTrust trust = sqlserver::TrustFor(" db01,1433 ");
    EXPECT_EQ(trust.PinFile, dir / "trusted" / "db01,1433.pem");
    EXPECT_FALSE(trust.Pinned);

    sqlserver::Pin(trust, Load(selfSigned));
    struct stat info {};
    ASSERT_EQ(::stat(trust.PinFile.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    trust = sqlserver::TrustFor("db01,1433");
    ASSERT_TRUE(trust.Pinned);
    EXPECT_EQ(trust.Pinned->Sha256(), selfSigned.sha256);
    // Another name of the same server is another pin.
    EXPECT_FALSE(sqlserver::TrustFor("db01").Pinned);

    // Only the first certificate of a pin file is trusted.
    std::ofstream(dir / "trusted" / "two.pem") << other.Pem() << authority.Issue("x", "x").Pem();
    EXPECT_EQ(sqlserver::TrustFor("two").Pinned->Sha256(), other.sha256);

    std::ofstream(dir / "trusted" / "broken.pem") << "not a certificate\n";
    EXPECT_THROW(sqlserver::TrustFor("broken"), quellmark::data_access::Error);
    EXPECT_THROW(sqlserver::TrustFor("../etc/passwd"), quellmark::data_access::Error);
    EXPECT_THROW(sqlserver::TrustFor("  "), quellmark::data_access::Error);
}

TEST_F(ServerTrust, TheDriverSectionCarriesTheTrustButNoSecret) {
    const test::ScopedEnv folder("QUELLMARK_TRUST_DIR", (dir / "trusted").string());
    std::string config;
    std::string pinned;
    {
        sqlserver::ServerTrust trust = sqlserver::TrustFor("db01,1500");
        trust.Pinned = Load(selfSigned);
        const sqlserver::LoginConfig section("db01", 1500, "", trust);
        const char* named = std::getenv("FREETDSCONF");
        ASSERT_NE(named, nullptr);
        config = ReadAll(named);
        struct stat info {};
        ASSERT_EQ(::stat(std::filesystem::path(named).parent_path().c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u);
        const std::string caLine = "\tca file = ";
        const std::size_t at = config.find(caLine);
        ASSERT_NE(at, std::string::npos) << config;
        pinned = ReadAll(config.substr(at + caLine.size(), config.find('\n', at) - at - caLine.size()));
    }
    const std::filesystem::path named = std::getenv("FREETDSCONF");
    EXPECT_EQ(config,
              "[global]\n[quellmark-login]\n\thost = db01\n\tport = 1500\n\tencryption = require\n\tca file = " +
                  (named.parent_path() / "pinned.pem").string() + "\n\tcheck certificate hostname = no\n");
    EXPECT_EQ(pinned, selfSigned.Pem());
    // Gone once the login is done.
    EXPECT_FALSE(std::filesystem::exists(std::getenv("FREETDSCONF")));

    {
        const sqlserver::LoginConfig section("db01", 1433, "EVENTS", sqlserver::TrustFor("db01\\EVENTS"));
        config = ReadAll(std::getenv("FREETDSCONF"));
    }
    EXPECT_TRUE(Contains(config, "\tinstance = EVENTS\n")) << config;
    EXPECT_FALSE(Contains(config, "port")) << config;
    EXPECT_TRUE(Contains(config, "\tca file = system\n\tcheck certificate hostname = yes\n")) << config;

    // A host that would end the value or add a line is refused.
    for (const char* host : {"db01;x", "db01 #x", "db\n01", "[db]", ""})
        EXPECT_THROW(sqlserver::LoginConfig(host, 1433, "", sqlserver::TrustFor("x")), quellmark::data_access::Error)
            << host;
}

TEST_F(ServerTrust, RefusalsSayWhyShowTheCertificateAndTheCommand) {
    const test::ScopedEnv folder("QUELLMARK_TRUST_DIR", (dir / "trusted").string());
    const Certificate presented = Load(selfSigned);
    const sqlserver::ServerTrust unpinned = sqlserver::TrustFor("127.0.0.1,1433");
    std::string text = sqlserver::RefusalMessage(
        "127.0.0.1,1433", unpinned, sqlserver::Verdict{{Problem::UntrustedAuthority, Problem::OtherHost}, {}},
        {presented}, false);
    for (const std::string& part :
         {std::string("SQL Server at 127.0.0.1,1433"), std::string("not signed by an authority this computer trusts"),
          std::string("names another host (localhost), not 127.0.0.1"), std::string("CN=localhost"), presented.Sha256(),
          presented.Sha1(), std::string("Neither the user name nor the password was sent"),
          std::string("quellmark-settings trust <settings file>")})
        EXPECT_TRUE(Contains(text, part)) << text << "\nshould mention: " << part;
    EXPECT_FALSE(Contains(text, "WARNING"));
    EXPECT_FALSE(Contains(text, "sudo"));  // a trust folder of one's own needs no root
    EXPECT_EQ(sqlserver::ReplaceSettingsFileMark(text, "/srv/Sarnwick.mdb").find("<settings file>"), std::string::npos);

    sqlserver::ServerTrust pinned = unpinned;
    pinned.Pinned = Load(other);
    text = sqlserver::RefusalMessage("127.0.0.1,1433", pinned, sqlserver::Verdict{{Problem::DiffersFromPinned}, {}},
                                     {presented}, true);
    EXPECT_EQ(text.rfind("WARNING: ", 0), 0u) << text;
    for (const std::string& part : {std::string("differs from the certificate trusted for this server"),
                                    presented.Sha256(), other.sha256, std::string("No Kerberos ticket was sent")})
        EXPECT_TRUE(Contains(text, part)) << text << "\nshould mention: " << part;

    const Certificate old = Load(expired);
    text = sqlserver::RefusalMessage("localhost,1433", unpinned, sqlserver::Verdict{{Problem::OutsideValidity}, {}},
                                     {old}, false);
    EXPECT_TRUE(Contains(text, "it expired on " + sqlserver::UtcTime(old.NotAfter()))) << text;
}

// A verified login sends what an unverified one sends: one connection, the
// same PRELOGIN and handshake packets before the encrypted LOGIN7, and no
// connection of its own to fetch the certificate.
TEST(ServerTrustLogin, AGoodLoginCostsNoExtraRoundTrip) {
    test::LogDbOptions options;
    options.wireLog = true;
    test::LogDbProcess verified(options);
    test::LogDbProcess unverified(options);

    quellmark::data_access::Connection connection;
    connection.ConnectionString = "Provider=SQLOLEDB;Data Source=127.0.0.1," + std::to_string(verified.Port()) +
                                  ";Initial Catalog=logs;User Id=u;Password=p";
    connection.Open();
    connection.Close();
    test::Odbc client;
    ASSERT_FALSE(client.Connect(unverified.OdbcConnectionString() + ";Encryption=require"));

    const std::map<int, test::Bytes> checked = verified.Received();
    const std::map<int, test::Bytes> plain = unverified.Received();
    ASSERT_EQ(checked.size(), 1u);
    ASSERT_EQ(plain.size(), 1u);
    const std::vector<std::uint8_t> packets = test::PlainPacketTypes(checked.begin()->second);
    EXPECT_EQ(packets, test::PlainPacketTypes(plain.begin()->second));
    // PRELOGIN, then the client's two handshake flights.
    EXPECT_EQ(packets, (std::vector<std::uint8_t>{0x12, 0x12, 0x12}));
}

// What the driver says of a refused certificate, and the summary made of it.
TEST(ServerTrustLogin, TheRefusalIsTheLastWordOfAFailedLogin) {
    const std::vector<quellmark::data_access::ErrorEntry> records = {{"Adaptive Server connection failed", "01000", 0},
                                                                     {"Unable to connect to data source", "S1000", 0}};
    quellmark::data_access::sqlserver::LoginFailureFacts facts;
    facts.Encryption = quellmark::data_access::sqlserver::EncryptionOffer::Offered;
    facts.CertificateRefusal = "WARNING: the SQL Server at db01,1433 presented ...";
    const auto address = quellmark::data_access::sqlserver::ParseDataSource("db01");
    EXPECT_EQ(
        quellmark::data_access::sqlserver::ExplainConnectFailure(records, address, 5, false, facts).back().Description,
        facts.CertificateRefusal);
    EXPECT_EQ(
        quellmark::data_access::sqlserver::ExplainConnectFailure(records, address, 5, true, facts).back().Description,
        facts.CertificateRefusal);
    EXPECT_EQ(quellmark::data_access::sqlserver::ExplainConnectFailure(records, address, 5, true, facts).back().Cause,
              quellmark::data_access::FailureCause::Trust);
    // A named instance's certificate cannot be fetched: the summary says how to get there.
    const std::string instance =
        quellmark::data_access::sqlserver::ExplainConnectFailure(
            records, quellmark::data_access::sqlserver::ParseDataSource("db01\\EVENTS"), 5, false, {})
            .back()
            .Description;
    EXPECT_EQ(instance,
              "Cannot connect to the SQL Server at db01\\EVENTS: Adaptive Server connection failed. If its "
              "certificate is not trusted, write the server as host,port (the instance's port) and pin the certificate "
              "with quellmark-settings trust.");
}
