// A throwaway Kerberos realm for tests: an MIT KDC (krb5kdc) on a loopback
// port, its database, configuration, keytabs and credential cache in a
// scratch folder, and this process's Kerberos environment (KRB5_CONFIG,
// KRB5_KDC_PROFILE, KRB5CCNAME, KRB5_KTNAME, KRB5RCACHEDIR) pointed at them
// while the object lives. No root, nothing under /etc; the destructor stops
// the KDC and restores the environment. Programs started meanwhile (the log
// server) inherit the environment.
//
//   KerberosRealm realm;                                   // user "ops" exists
//   LogDbProcess server({... {"--kerberos-keytab", realm.Keytab()}});
//   realm.RegisterService("localhost", server.Port());    // MSSQLSvc/localhost:PORT
//   realm.Kinit("ops");                                    // a ticket for this process
//
// No password is used anywhere: principals get random keys, and users get
// their tickets from a keytab of their own.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace quellmark::test {

class ScopedEnv;
class ScratchDir;

class KerberosRealm {
public:
    static constexpr const char* kRealm = "QUELLMARK.TEST";

    // Creates the realm with these user principals and starts its KDC;
    // throws std::runtime_error (with the tool's output) when it cannot.
    explicit KerberosRealm(const std::vector<std::string>& users = {"ops"});
    ~KerberosRealm();
    KerberosRealm(const KerberosRealm&) = delete;
    KerberosRealm& operator=(const KerberosRealm&) = delete;

    // The service keys of every registered service, for quellmark-logdb's
    // --kerberos-keytab.
    std::string Keytab() const;

    // The keys of the user principals, a client keytab each user can get
    // tickets from (kinit -k, or KRB5_CLIENT_KTNAME).
    std::string UserKeytab() const;

    // Registers MSSQLSvc/<host>:<port>, as SQL Server's service account
    // would be, writes its key to Keytab() and returns the principal's name.
    std::string RegisterService(const std::string& host, std::uint16_t port);
    // Gives the principal a new key in the KDC only: Keytab() is then out
    // of date, as a server's is after its account's password changed.
    void ChangeKey(const std::string& principal);

    // A ticket-granting ticket for the user in this process's credential
    // cache, valid for `lifetime`.
    void Kinit(const std::string& user, std::chrono::seconds lifetime = std::chrono::hours(1));
    // A ticket for the user that has already expired: the shortest one the
    // KDC issues, waited out.
    void KinitExpired(const std::string& user);
    // Empties the credential cache.
    void Kdestroy();

    // Stops the KDC (SIGSTOP) without closing its ports: requests reach it
    // and are never answered; it has stopped when PauseKdc returns. Resume
    // lets it go on; the destructor does too.
    void PauseKdc();
    void ResumeKdc();

private:
    void Admin(const std::string& query);
    // krb5.conf and kdc.conf for a KDC on 127.0.0.1:port.
    void WriteConfiguration(std::uint16_t port);
    void StartKdc();

    std::unique_ptr<ScratchDir> dir_;
    std::vector<std::unique_ptr<ScopedEnv>> environment_;
    std::uint16_t port_ = 0;
    pid_t kdc_ = -1;
};

}  // namespace quellmark::test
