// An X.509 certificate as the operator compares it with the database
// administrator's: subject, issuer, validity and fingerprints, and the checks
// Quellmark makes of a SQL Server's certificate (the pinned one, or the
// system's authorities, the host name and the validity).
#pragma once

#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

typedef struct x509_st X509;

namespace quellmark::data_access::sqlserver {

// The system's authorities: the bundle Debian's ca-certificates keeps, which
// is also what the FreeTDS driver's TLS library reads for "ca file = system".
inline constexpr const char* kSystemAuthorities = "/etc/ssl/certs/ca-certificates.crt";

class Certificate {
public:
    // Throws quellmark::data_access::Error when the bytes are no certificate.
    static Certificate FromDer(std::string_view der);
    // Every certificate of a PEM text, in order; none when it holds none.
    static std::vector<Certificate> FromPem(std::string_view pem);

    X509* Get() const noexcept { return x509_.get(); }
    std::string Der() const;
    std::string Pem() const;
    // One line each, most specific part first: "CN=db01.example.net,O=Example".
    std::string Subject() const;
    std::string Issuer() const;
    std::time_t NotBefore() const;
    std::time_t NotAfter() const;
    // Colon-separated upper-case hex pairs.
    std::string Sha256() const;
    std::string Sha1() const;
    // The host names and addresses it names: its subject alternative names,
    // or its common name when it has none.
    std::vector<std::string> Names() const;
    bool operator==(const Certificate& other) const;

private:
    explicit Certificate(std::shared_ptr<X509> x509) : x509_(std::move(x509)) {}
    std::shared_ptr<X509> x509_;
};

// "2026-03-01 12:00:00 UTC"
std::string UtcTime(std::time_t when);

// What is wrong with a server's certificate; empty: it is accepted.
enum class Problem {
    DiffersFromPinned,   // another certificate is pinned for the server
    UntrustedAuthority,  // no authority of the system's store signed it
    OtherHost,           // it names other hosts than the one connected to
    OutsideValidity,     // expired, or not valid yet
};

struct Verdict {
    std::vector<Problem> Problems;  // in the order above
    // Accepted through the system's store: the authority it chains to.
    std::string Authority;
    bool Accepted() const noexcept { return Problems.empty(); }
    bool Has(Problem problem) const;
};

// Checks `chain` (the server's certificate first, then what else it sent)
// as the login does: equal to `pinned` when there is one (its host name is
// not checked), else chained to an authority in the PEM file `authorities`
// and naming `host`; within its validity at `now` in both cases.
Verdict Evaluate(const std::vector<Certificate>& chain, const std::optional<Certificate>& pinned,
                 const std::string& host, std::time_t now, const std::filesystem::path& authorities);

// Accepts "AB:CD:..." or "abcd..." (SHA-256 or SHA-1); the canonical form of
// the fingerprint, or nullopt when it is neither.
std::optional<std::string> NormalizeFingerprint(std::string_view text);

}  // namespace quellmark::data_access::sqlserver
