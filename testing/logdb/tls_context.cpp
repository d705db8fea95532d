#include "logdb/tls_context.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <stdexcept>

namespace quellmark::logdb {
namespace {

using KeyPtr = std::unique_ptr<EVP_PKEY, OpenSslFree<EVP_PKEY_free>>;
using CertificatePtr = std::unique_ptr<X509, OpenSslFree<X509_free>>;

constexpr long kValiditySeconds = 10L * 365 * 24 * 3600;

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error("cannot " + what + ": " + OpenSslErrors()); }

CertificatePtr SelfSigned(EVP_PKEY* key) {
    CertificatePtr certificate(X509_new());
    if (!certificate) Fail("make a certificate");
    unsigned char serial[8];
    if (RAND_bytes(serial, sizeof serial) != 1) Fail("make a certificate serial number");
    serial[0] &= 0x7F;  // a positive number
    std::unique_ptr<BIGNUM, OpenSslFree<BN_free>> number(BN_bin2bn(serial, sizeof serial, nullptr));
    X509_NAME* name = X509_get_subject_name(certificate.get());
    const auto cn = reinterpret_cast<const unsigned char*>("quellmark-logdb");
    if (!number || !BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(certificate.get())) ||
        X509_set_version(certificate.get(), 2) != 1 ||
        !X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600) ||
        !X509_gmtime_adj(X509_getm_notAfter(certificate.get()), kValiditySeconds) ||
        X509_set_pubkey(certificate.get(), key) != 1 ||
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, cn, -1, -1, 0) != 1 ||
        X509_set_issuer_name(certificate.get(), name) != 1 || X509_sign(certificate.get(), key, EVP_sha256()) == 0)
        Fail("make a self-signed certificate");
    return certificate;
}

}  // namespace

std::string OpenSslErrors() {
    std::string text;
    while (const unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        if (!text.empty()) text += "; ";
        text += buffer;
    }
    return text.empty() ? std::string("no reason given") : text;
}

TlsContext::TlsContext(const std::string& certificateFile, const std::string& keyFile) {
    context_.reset(SSL_CTX_new(TLS_server_method()));
    if (!context_ || SSL_CTX_set_max_proto_version(context_.get(), TLS1_2_VERSION) != 1) Fail("set up TLS");
    if (certificateFile.empty() != keyFile.empty()) throw std::runtime_error("--cert and --key go together");
    if (!certificateFile.empty()) {
        if (SSL_CTX_use_certificate_chain_file(context_.get(), certificateFile.c_str()) != 1)
            Fail("read the certificate " + certificateFile);
        if (SSL_CTX_use_PrivateKey_file(context_.get(), keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
            Fail("read the key " + keyFile);
    } else {
        // An EC key: made in a moment, where RSA would slow down every test
        // that starts a server.
        const KeyPtr key(EVP_EC_gen("P-256"));
        if (!key) Fail("make a key");
        const CertificatePtr certificate = SelfSigned(key.get());
        if (SSL_CTX_use_certificate(context_.get(), certificate.get()) != 1 ||
            SSL_CTX_use_PrivateKey(context_.get(), key.get()) != 1)
            Fail("set up TLS");
    }
    if (SSL_CTX_check_private_key(context_.get()) != 1) Fail("match the certificate with the key");
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(SSL_CTX_get0_certificate(context_.get()), EVP_sha256(), digest, &length) != 1)
        Fail("compute the certificate's fingerprint");
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (unsigned int i = 0; i < length; ++i) {
        if (i > 0) sha256_ += ':';
        sha256_ += kHex[digest[i] >> 4];
        sha256_ += kHex[digest[i] & 0x0F];
    }
    // Every connection makes a full handshake; nothing is resumed.
    SSL_CTX_set_options(context_.get(), SSL_OP_NO_TICKET);
    SSL_CTX_set_session_cache_mode(context_.get(), SSL_SESS_CACHE_OFF);
}

}  // namespace quellmark::logdb
