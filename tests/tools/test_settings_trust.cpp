// The server's certificate through the real driver: quellmark-settings check
// and the window refuse a certificate they cannot trust before any LOGIN7
// reaches the server (its login log stays empty), and quellmark-settings
// trust pins one. Each test has a trust folder of its own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "harness/kerberos_realm.h"
#include "harness/scoped_env.h"
#include "harness/scratch_dir.h"
#include "harness/test_certificates.h"
#include "ops/modGeneral.h"
#include "ops/settings_file.h"
#include "support/online_log.h"
#include "support/recording_window.h"

namespace fs = std::filesystem;
using namespace quellmark;
using test::RunResult;
using test::RunSettingsTool;

namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

void ExpectMentions(const std::string& text, const std::vector<std::string>& parts) {
    for (const std::string& part : parts) EXPECT_TRUE(Contains(text, part)) << text << "\nshould mention: " << part;
}

// A server that presents its own certificate (none pinned) and logs each LOGIN7.
test::LogDbOptions UnpinnedServer(std::vector<std::string> extraArgs = {}) {
    test::LogDbOptions options = test::SarnwickServer(100, 1, std::move(extraArgs));
    options.pinned = false;
    options.loginLog = true;
    return options;
}

// The fingerprint with its first (or last) hex digit changed.
std::string Wrong(std::string fingerprint, bool last = false) {
    char& digit = last ? fingerprint.back() : fingerprint.front();
    digit = digit == 'A' ? 'B' : 'A';
    return fingerprint;
}

class SettingsTrust : public ::testing::Test {
protected:
    test::ScratchDir dir{"trust-tool"};
    test::ScopedEnv trustFolder{"QUELLMARK_TRUST_DIR", (dir / "trusted").string()};
    fs::path settings = dir / "Sarnwick.mdb";

    void WriteSettings(const std::string& type, const std::string& server, std::uint16_t port) const {
        test::WriteSettingsFile(settings,
                                {"--type", type, "--timeout", "5", "--server", server, "--port", std::to_string(port),
                                 "--database", "Sarnwick", "--user", "ops", "--password", "s3cret;pw"});
    }
    RunResult Check() const { return RunSettingsTool({"check", settings.string()}); }
    RunResult Trust(const std::string& fingerprint) const {
        return RunSettingsTool({"trust", settings.string(), "--fingerprint", fingerprint});
    }
    fs::path PinFile(const std::string& server) const { return dir / "trusted" / (server + ".pem"); }
    std::string PinnedPem(const std::string& server) const {
        test::CertificateFiles pinned;
        pinned.certificate = PinFile(server);
        return pinned.Pem();
    }
};

}  // namespace

TEST_F(SettingsTrust, AnUnknownSelfSignedCertificateGetsNoLoginUntilPinned) {
    const test::LogDbProcess server(UnpinnedServer());
    const std::string where = "127.0.0.1," + std::to_string(server.Port());
    WriteSettings("Remote SQL Authentication", "127.0.0.1", server.Port());

    RunResult r = Check();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    ExpectMentions(r.err,
                   {"did not log in to the SQL Server at " + where, "not signed by an authority this computer trusts",
                    "Subject:             CN=quellmark-logdb", "SHA-256 fingerprint: " + server.Sha256(),
                    "SHA-1 thumbprint:", "Neither the user name nor the password was sent",
                    "quellmark-settings trust " + settings.string()});
    EXPECT_FALSE(Contains(r.err, "s3cret"));

    // The window shows the same, once, and stays as it was.
    test::RecordingWindow window;
    window.statement = "DELETE TOP (10) FROM ATR_Log";
    window.count = "7";
    ops::CountRecords(window, ops::SettingsConnStringForFile(settings));
    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_EQ(window.messages[0] + "\n", r.err);
    EXPECT_EQ(window.count, "7");
    EXPECT_TRUE(server.Logins().empty());

    // Without a terminal, trust pins only what the fingerprint confirms.
    r = RunSettingsTool({"trust", settings.string()});
    EXPECT_EQ(r.exitCode, 2) << r.err;
    // One byte off, at either end, is another certificate.
    for (const bool last : {false, true}) {
        r = Trust(Wrong(server.Sha256(), last));
        EXPECT_EQ(r.exitCode, 1) << (last ? "the last byte differs" : "the first byte differs");
        ExpectMentions(r.err, {"nothing was pinned"});
        EXPECT_FALSE(fs::exists(PinFile(where)));
        EXPECT_TRUE(!fs::exists(dir / "trusted") || fs::is_empty(dir / "trusted"));
    }

    std::string bare;
    for (char c : server.Sha256())
        if (c != ':') bare += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    r = Trust(bare);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ExpectMentions(r.out, {"SHA-256 fingerprint: " + server.Sha256(), "Pinned for " + where});
    ASSERT_TRUE(fs::exists(PinFile(where)));

    r = Check();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ExpectMentions(r.out, {"ATR_Log holds 100 rows\ntrusted: the certificate pinned in " + PinFile(where).string() +
                           " (SHA-256 " + server.Sha256() + ")\n"});
    const std::vector<std::string> logins = server.Logins();
    ASSERT_EQ(logins.size(), 1u);
    EXPECT_TRUE(logins[0].ends_with(" ops sql")) << logins[0];
    // Trusting the same certificate again changes nothing.
    EXPECT_EQ(Trust(server.Sha256()).exitCode, 0);
}

TEST_F(SettingsTrust, AnotherCertificateOnThePinnedAddressIsAnImpostor) {
    std::uint16_t port = 0;
    std::string pinned;
    {
        const test::LogDbProcess genuine(UnpinnedServer());
        port = genuine.Port();
        pinned = genuine.Sha256();
        WriteSettings("Remote SQL Authentication", "127.0.0.1", port);
        ASSERT_EQ(Trust(pinned).exitCode, 0);
        ASSERT_EQ(Check().exitCode, 0);
    }
    const std::string where = "127.0.0.1," + std::to_string(port);
    const test::CertificateFiles other = test::MakeSelfSigned(dir.Path(), "impostor", "quellmark-logdb");
    std::vector<std::string> args = other.ServerArgs();
    args.insert(args.end(), {"--port", std::to_string(port)});
    const test::LogDbProcess impostor(UnpinnedServer(args));
    ASSERT_EQ(impostor.Port(), port);

    RunResult r = Check();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.rfind("WARNING: the SQL Server at " + where, 0), 0u) << r.err;
    ExpectMentions(r.err, {"differs from the certificate trusted for this server", other.sha256, pinned});
    EXPECT_TRUE(impostor.Logins().empty());

    // Replacing the pin needs the new certificate's fingerprint, and says so loudly.
    r = Trust(Wrong(other.sha256));
    EXPECT_EQ(r.exitCode, 1);
    ExpectMentions(r.err, {"WARNING: it DIFFERS from the certificate trusted for " + where});
    EXPECT_NE(PinnedPem(where), other.Pem());
    EXPECT_EQ(RunSettingsTool({"trust", settings.string(), "--fingerprint", "00"}).exitCode, 2);
    const std::string sha1 = r.out.substr(r.out.find("SHA-1 thumbprint:    ") + 21, 59);
    r = Trust(sha1);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(PinnedPem(where), other.Pem());
    EXPECT_EQ(Check().exitCode, 0);
    EXPECT_EQ(impostor.Logins().size(), 1u);
}

// The system's store is the test authority's alone, inside a private mount
// namespace that binds its bundle over the system's: the machine's files stay
// as they are.
TEST_F(SettingsTrust, TheSystemsAuthoritiesVouchOnlyForTheHostNamedWhileValid) {
    if (::geteuid() != 0) GTEST_SKIP() << "a private mount namespace needs root";
    const test::TestAuthority authority(dir.Path());
    const auto checkWithAuthority = [&] {
        return test::Run("unshare",
                         {"--mount", "--propagation", "private", "sh", "-c",
                          "mount --bind \"$0\" /etc/ssl/certs/ca-certificates.crt && exec \"$@\"",
                          authority.Bundle().string(), test::SettingsToolPath(), "check", settings.string()});
    };

    const test::LogDbProcess good(UnpinnedServer(authority.Issue("localhost", "localhost").ServerArgs()));
    WriteSettings("Remote SQL Authentication", "localhost", good.Port());
    RunResult r = checkWithAuthority();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ExpectMentions(r.out, {"trusted: a certificate for this host signed by the authority CN=Quellmark Test Authority"});
    EXPECT_EQ(good.Logins().size(), 1u);
    // Outside the namespace the machine's own store does not know the authority.
    r = Check();
    EXPECT_EQ(r.exitCode, 1);
    ExpectMentions(r.err, {"not signed by an authority this computer trusts"});

    WriteSettings("Remote SQL Authentication", "127.0.0.1", good.Port());
    r = checkWithAuthority();
    EXPECT_EQ(r.exitCode, 1);
    ExpectMentions(r.err, {"names another host (localhost), not 127.0.0.1"});
    EXPECT_FALSE(Contains(r.err, "not signed by an authority"));
    EXPECT_EQ(good.Logins().size(), 1u);

    const test::LogDbProcess expired(
        UnpinnedServer(authority.Issue("expired", "localhost", -30 * test::kDay, -test::kDay).ServerArgs()));
    WriteSettings("Remote SQL Authentication", "localhost", expired.Port());
    r = checkWithAuthority();
    EXPECT_EQ(r.exitCode, 1);
    ExpectMentions(r.err, {"it expired on "});
    EXPECT_TRUE(expired.Logins().empty());
}

TEST_F(SettingsTrust, WindowsAuthenticationSendsNoTicketToAnUntrustedServer) {
    test::KerberosRealm realm;
    test::LogDbProcess server(UnpinnedServer({"--kerberos-keytab", realm.Keytab()}));
    realm.RegisterService("localhost", server.Port());
    realm.Kinit("ops");
    WriteSettings("Windows Authentication", "localhost," + std::to_string(server.Port()), 0);

    RunResult r = Check();
    EXPECT_EQ(r.exitCode, 1);
    ExpectMentions(r.err, {"not signed by an authority this computer trusts", "No Kerberos ticket was sent"});
    EXPECT_TRUE(server.Logins().empty());

    // The pin is named after the server as written, port included.
    ASSERT_EQ(Trust(server.Sha256()).exitCode, 0);
    EXPECT_TRUE(fs::exists(PinFile("localhost," + std::to_string(server.Port()))));
    r = Check();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::vector<std::string> logins = server.Logins();
    ASSERT_EQ(logins.size(), 1u);
    EXPECT_TRUE(logins[0].ends_with(" ops kerberos")) << logins[0];
}

TEST_F(SettingsTrust, OnATerminalTrustAsksFirst) {
    const test::LogDbProcess server(UnpinnedServer());
    const std::string where = "127.0.0.1," + std::to_string(server.Port());
    WriteSettings("Remote SQL Authentication", "127.0.0.1", server.Port());
    // script(1) gives the tool a terminal on its standard input.
    const auto onTerminal = [&](const std::string& answer) {
        return test::Run("script", {"-qec", test::SettingsToolPath() + " trust " + settings.string(), "/dev/null"},
                         std::chrono::seconds(60), answer + "\n");
    };
    RunResult r = onTerminal("n");
    EXPECT_EQ(r.exitCode, 1) << r.out;
    ExpectMentions(r.out, {"SHA-256 fingerprint: " + server.Sha256(), "Trust this certificate for " + where + "? [y/N]",
                           "quellmark-settings: nothing was pinned."});
    EXPECT_FALSE(fs::exists(PinFile(where)));
    r = onTerminal("y");
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_TRUE(fs::exists(PinFile(where)));
}
