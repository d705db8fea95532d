#include "harness/test_certificates.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "base/free_with.h"

namespace quellmark::test {
namespace {

template <auto Free>
using OpenSslFree = quellmark::base::FreeWith<Free>;
using KeyPtr = std::unique_ptr<EVP_PKEY, OpenSslFree<EVP_PKEY_free>>;
using CertificatePtr = std::unique_ptr<X509, OpenSslFree<X509_free>>;
using FilePtr = std::unique_ptr<std::FILE, OpenSslFree<std::fclose>>;

void Require(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error("test certificates: cannot " + what);
}

KeyPtr NewKey() {
    KeyPtr key(EVP_EC_gen("P-256"));
    Require(key != nullptr, "make a key");
    return key;
}

void AddExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    Require(extension != nullptr && X509_add_ext(certificate, extension, -1) == 1, "add an extension");
    X509_EXTENSION_free(extension);
}

// A certificate for `key` named `commonName`, valid over the offsets given
// (seconds from now); signed later.
CertificatePtr NewCertificate(EVP_PKEY* key, const std::string& commonName, long notBefore, long notAfter) {
    CertificatePtr certificate(X509_new());
    Require(certificate != nullptr, "make a certificate");
    unsigned char serial[8];
    Require(RAND_bytes(serial, sizeof serial) == 1, "make a serial number");
    serial[0] &= 0x7F;
    ASN1_INTEGER* number = X509_get_serialNumber(certificate.get());
    BIGNUM* big = BN_bin2bn(serial, sizeof serial, nullptr);
    const bool serialSet = big && BN_to_ASN1_INTEGER(big, number);
    BN_free(big);
    X509_NAME* name = X509_get_subject_name(certificate.get());
    Require(serialSet && X509_set_version(certificate.get(), 2) == 1 &&
                X509_gmtime_adj(X509_getm_notBefore(certificate.get()), notBefore) &&
                X509_gmtime_adj(X509_getm_notAfter(certificate.get()), notAfter) &&
                X509_set_pubkey(certificate.get(), key) == 1 &&
                X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                           reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0) == 1,
            "fill in a certificate");
    return certificate;
}

std::string Sha256(X509* certificate) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    Require(X509_digest(certificate, EVP_sha256(), digest, &length) == 1, "compute a fingerprint");
    std::string text;
    char pair[4];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02X", digest[i]);
        text += (i ? ":" : "") + std::string(pair);
    }
    return text;
}

CertificateFiles Save(const std::filesystem::path& folder, const std::string& name, X509* certificate, EVP_PKEY* key) {
    CertificateFiles files{folder / (name + ".pem"), folder / (name + ".key"), Sha256(certificate)};
    const FilePtr pem(std::fopen(files.certificate.c_str(), "w"));
    Require(pem && PEM_write_X509(pem.get(), certificate) == 1, "write " + files.certificate.string());
    const FilePtr keyFile(std::fopen(files.key.c_str(), "w"));
    Require(keyFile && PEM_write_PrivateKey(keyFile.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
            "write " + files.key.string());
    return files;
}

KeyPtr ReadKey(const std::filesystem::path& file) {
    const FilePtr in(std::fopen(file.c_str(), "r"));
    KeyPtr key(in ? PEM_read_PrivateKey(in.get(), nullptr, nullptr, nullptr) : nullptr);
    Require(key != nullptr, "read " + file.string());
    return key;
}

CertificatePtr ReadCertificate(const std::filesystem::path& file) {
    const FilePtr in(std::fopen(file.c_str(), "r"));
    CertificatePtr certificate(in ? PEM_read_X509(in.get(), nullptr, nullptr, nullptr) : nullptr);
    Require(certificate != nullptr, "read " + file.string());
    return certificate;
}

}  // namespace

std::string CertificateFiles::Pem() const {
    std::ifstream in(certificate);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> CertificateFiles::ServerArgs() const {
    return {"--cert", certificate.string(), "--key", key.string()};
}

CertificateFiles MakeSelfSigned(const std::filesystem::path& folder, const std::string& name,
                                const std::string& commonName) {
    const KeyPtr key = NewKey();
    const CertificatePtr certificate = NewCertificate(key.get(), commonName, -3600, 3650 * kDay);
    X509_set_issuer_name(certificate.get(), X509_get_subject_name(certificate.get()));
    Require(X509_sign(certificate.get(), key.get(), EVP_sha256()) != 0, "sign a certificate");
    return Save(folder, name, certificate.get(), key.get());
}

TestAuthority::TestAuthority(const std::filesystem::path& folder) : folder_(folder) {
    const KeyPtr key = NewKey();
    const CertificatePtr certificate = NewCertificate(key.get(), "Quellmark Test Authority", -kDay, 3650 * kDay);
    X509_set_issuer_name(certificate.get(), X509_get_subject_name(certificate.get()));
    AddExtension(certificate.get(), certificate.get(), NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(certificate.get(), certificate.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(certificate.get(), certificate.get(), NID_subject_key_identifier, "hash");
    Require(X509_sign(certificate.get(), key.get(), EVP_sha256()) != 0, "sign the authority");
    const CertificateFiles files = Save(folder_, "authority", certificate.get(), key.get());
    bundle_ = files.certificate;
    key_ = files.key;
}

CertificateFiles TestAuthority::Issue(const std::string& name, const std::string& host, long notBefore,
                                      long notAfter) const {
    const KeyPtr authorityKey = ReadKey(key_);
    const CertificatePtr authority = ReadCertificate(bundle_);
    const KeyPtr key = NewKey();
    const CertificatePtr certificate = NewCertificate(key.get(), host, notBefore, notAfter);
    X509_set_issuer_name(certificate.get(), X509_get_subject_name(authority.get()));
    AddExtension(certificate.get(), authority.get(), NID_basic_constraints, "CA:FALSE");
    AddExtension(certificate.get(), authority.get(), NID_subject_alt_name, "DNS:" + host);
    AddExtension(certificate.get(), authority.get(), NID_authority_key_identifier, "keyid:always");
    Require(X509_sign(certificate.get(), authorityKey.get(), EVP_sha256()) != 0, "sign a certificate");
    return Save(folder_, name, certificate.get(), key.get());
}

}  // namespace quellmark::test
