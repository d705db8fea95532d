// Throwaway certificates for tests, made with OpenSSL in a scratch folder:
// self-signed ones, and a test authority that signs certificates for any
// name and validity. Every key is a P-256 key, made in a moment.
//
//   ScratchDir dir{"tls"};
//   TestAuthority authority(dir.Path());
//   CertificateFiles good = authority.Issue("localhost", "localhost");
//   CertificateFiles old = authority.Issue("old", "localhost", -3 * kDay, -kDay);
//   LogDbProcess server({.extraArgs = good.ServerArgs()});
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace quellmark::test {

inline constexpr long kDay = 24L * 3600;

struct CertificateFiles {
    std::filesystem::path certificate;  // PEM
    std::filesystem::path key;          // PEM
    std::string sha256;                 // colon-separated upper-case hex pairs

    std::string Pem() const;
    // {"--cert", certificate, "--key", key}, for quellmark-logdb.
    std::vector<std::string> ServerArgs() const;
};

// A self-signed certificate with common name `commonName` and no other name,
// valid from an hour ago for ten years, as <name>.pem and <name>.key.
CertificateFiles MakeSelfSigned(const std::filesystem::path& folder, const std::string& name,
                                const std::string& commonName);

class TestAuthority {
public:
    // Makes the authority's key and certificate ("Quellmark Test Authority")
    // in `folder`.
    explicit TestAuthority(const std::filesystem::path& folder);

    // The authority's certificate (PEM): the bundle a private system store holds.
    const std::filesystem::path& Bundle() const noexcept { return bundle_; }

    // A certificate for `host` (its common name and its one DNS name) signed
    // by the authority, valid from now + notBefore to now + notAfter seconds.
    CertificateFiles Issue(const std::string& name, const std::string& host, long notBefore = -3600,
                           long notAfter = 365 * kDay) const;

private:
    std::filesystem::path folder_;
    std::filesystem::path bundle_;
    std::filesystem::path key_;
};

}  // namespace quellmark::test
