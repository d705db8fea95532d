#include "harness/kerberos_realm.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "harness/run_program.h"
#include "harness/scoped_env.h"
#include "harness/scratch_dir.h"
#include "harness/stopped_process.h"

extern char** environ;

namespace quellmark::test {
namespace {

using namespace std::chrono_literals;

// Debian puts the KDC's programs in /usr/sbin, which a user's PATH may lack.
std::string Tool(const std::string& name) {
    for (const char* folder : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"}) {
        const std::string path = folder + name;
        if (::access(path.c_str(), X_OK) == 0) return path;
    }
    return name;
}

RunResult Checked(const std::string& tool, const std::vector<std::string>& args,
                  const std::optional<std::string>& input = std::nullopt) {
    RunResult r = Run(Tool(tool), args, 60s, input);
    if (r.exitCode != 0) {
        std::string command = tool;
        for (const std::string& a : args) command += " " + a;
        throw std::runtime_error(command + " failed (exit " + std::to_string(r.exitCode) + "): " + r.err + r.out);
    }
    return r;
}

// A port of 127.0.0.1 that nothing listens on just now.
std::uint16_t FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    if (fd >= 0) ::close(fd);
    if (!ok) throw std::runtime_error("cannot find a free port for the KDC");
    return ntohs(address.sin_port);
}

bool Accepts(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) ::close(fd);
    return ok;
}

std::string RandomSecret() {
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device random;
    std::string secret;
    for (int i = 0; i < 32; ++i) secret += kAlphabet[random() % (sizeof kAlphabet - 1)];
    return secret;
}

void WriteFile(const std::filesystem::path& file, const std::string& text) {
    std::ofstream out(file);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + file.string());
}

}  // namespace

KerberosRealm::KerberosRealm(const std::vector<std::string>& users) : dir_(std::make_unique<ScratchDir>("kdc")) {
    const std::filesystem::path& dir = dir_->Path();
    const auto set = [&](const char* name, const std::string& value) {
        environment_.push_back(std::make_unique<ScopedEnv>(name, value));
    };
    set("KRB5_CONFIG", (dir / "krb5.conf").string());
    set("KRB5_KDC_PROFILE", (dir / "kdc.conf").string());
    set("KRB5CCNAME", "FILE:" + (dir / "ccache").string());
    set("KRB5_KTNAME", "FILE:" + Keytab());
    set("KRB5RCACHEDIR", dir.string());
    WriteConfiguration(FreePort());
    // The database and its stash: the master key comes on standard input,
    // never on a command line.
    const std::string master = RandomSecret();
    Checked("kdb5_util", {"create", "-s", "-r", kRealm}, master + "\n" + master + "\n");
    for (const std::string& user : users) {
        Admin("addprinc -randkey " + user);
        Admin("ktadd -k " + UserKeytab() + " " + user);
    }
    StartKdc();
}

void KerberosRealm::WriteConfiguration(std::uint16_t port) {
    const std::filesystem::path& dir = dir_->Path();
    port_ = port;
    const std::string where = "127.0.0.1:" + std::to_string(port);
    WriteFile(dir / "krb5.conf", "[libdefaults]\n  default_realm = " + std::string(kRealm) +
                                     "\n  dns_lookup_kdc = false\n  dns_lookup_realm = false\n  rdns = false\n"
                                     "  udp_preference_limit = 1\n[realms]\n  " +
                                     kRealm + " = {\n    kdc = " + where + "\n  }\n");
    WriteFile(dir / "kdc.conf",
              "[kdcdefaults]\n  kdc_listen = " + where + "\n  kdc_tcp_listen = " + where + "\n[realms]\n  " + kRealm +
                  " = {\n    database_name = " + (dir / "principal").string() + "\n    key_stash_file = " +
                  (dir / "stash").string() + "\n    acl_file = " + (dir / "kadm5.acl").string() +
                  "\n  }\n[logging]\n  kdc = FILE:" + (dir / "kdc.log").string() + "\n");
}

KerberosRealm::~KerberosRealm() {
    ResumeKdc();
    EndChild(kdc_, SIGTERM);
}

void KerberosRealm::PauseKdc() {
    if (kdc_ > 0) StopProcess(kdc_);
}

void KerberosRealm::ResumeKdc() {
    if (kdc_ > 0) ResumeProcess(kdc_);
}

std::string KerberosRealm::Keytab() const { return (dir_->Path() / "services.keytab").string(); }

std::string KerberosRealm::UserKeytab() const { return (dir_->Path() / "users.keytab").string(); }

void KerberosRealm::Admin(const std::string& query) { Checked("kadmin.local", {"-r", kRealm, "-q", query}); }

void KerberosRealm::StartKdc() {
    const std::filesystem::path& dir = dir_->Path();
    // The port is chosen before krb5kdc binds it; another program may take
    // it meanwhile, so a KDC that ends at once is tried again elsewhere.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (attempt > 0) WriteConfiguration(FreePort());
        posix_spawn_file_actions_t actions;
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        const std::string log = (dir / "krb5kdc.out").string();
        ::posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        ::posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::string program = Tool("krb5kdc"), noFork = "-n", realm = "-r", name = kRealm;
        char* argv[] = {program.data(), noFork.data(), realm.data(), name.data(), nullptr};
        const int rc = ::posix_spawn(&kdc_, program.c_str(), &actions, nullptr, argv, environ);
        ::posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) throw std::runtime_error("cannot start krb5kdc: " + std::string(std::strerror(rc)));

        const auto until = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < until) {
            if (Accepts(port_)) return;
            int status = 0;
            if (::waitpid(kdc_, &status, WNOHANG) == kdc_) {
                kdc_ = -1;
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
        EndChild(kdc_, SIGTERM);
    }
    std::ifstream out(dir / "krb5kdc.out");
    std::stringstream text;
    text << out.rdbuf();
    throw std::runtime_error("krb5kdc did not start: " + text.str());
}

std::string KerberosRealm::RegisterService(const std::string& host, std::uint16_t port) {
    const std::string principal = "MSSQLSvc/" + host + ":" + std::to_string(port);
    Admin("addprinc -randkey " + principal);
    Admin("ktadd -k " + Keytab() + " " + principal);
    return principal;
}

void KerberosRealm::ChangeKey(const std::string& principal) { Admin("cpw -randkey " + principal); }

void KerberosRealm::Kinit(const std::string& user, std::chrono::seconds lifetime) {
    Checked("kinit", {"-l", std::to_string(lifetime.count()) + "s", "-k", "-t", UserKeytab(), user});
}

void KerberosRealm::KinitExpired(const std::string& user) {
    Kinit(user, 1s);
    // klist -s fails once no ticket in the cache is valid any more.
    const auto until = std::chrono::steady_clock::now() + 60s;
    while (Run(Tool("klist"), {"-s"}).exitCode == 0) {
        if (std::chrono::steady_clock::now() > until) throw std::runtime_error("the ticket did not expire");
        std::this_thread::sleep_for(100ms);
    }
}

void KerberosRealm::Kdestroy() { Run(Tool("kdestroy"), {}); }

}  // namespace quellmark::test
