#include "data_access/sqlserver/certificate.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>

#include "data_access/data_access.h"
#include "data_access/sqlserver/openssl_free.h"

namespace quellmark::data_access::sqlserver {
namespace {

using BioPtr = std::unique_ptr<BIO, OpenSslFree<BIO_free>>;
using StorePtr = std::unique_ptr<X509_STORE, OpenSslFree<X509_STORE_free>>;
using StoreContextPtr = std::unique_ptr<X509_STORE_CTX, OpenSslFree<X509_STORE_CTX_free>>;
struct StackFree {
    void operator()(STACK_OF(X509) * stack) const noexcept { sk_X509_free(stack); }
};
using StackPtr = std::unique_ptr<STACK_OF(X509), StackFree>;
using NamesPtr = std::unique_ptr<GENERAL_NAMES, OpenSslFree<GENERAL_NAMES_free>>;

std::shared_ptr<X509> Own(X509* x509) { return std::shared_ptr<X509>(x509, X509_free); }

std::string BioText(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

std::string NameText(const X509_NAME* name) {
    const BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0) return "?";
    return BioText(bio.get());
}

std::string Digest(X509* x509, const EVP_MD* type) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(x509, type, digest, &length) != 1) throw Error("A certificate's fingerprint cannot be computed.");
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        if (i > 0) text += ':';
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 0x0F];
    }
    return text;
}

std::time_t TimeOf(const ASN1_TIME* time) {
    std::tm parts{};
    if (!time || ASN1_TIME_to_tm(time, &parts) != 1) return 0;
    return timegm(&parts);
}

bool IsAddress(const std::string& host) {
    return !host.empty() && (host.find(':') != std::string::npos || std::all_of(host.begin(), host.end(), [](char c) {
                                 return c == '.' || std::isdigit(static_cast<unsigned char>(c));
                             }));
}

bool NamesHost(X509* x509, const std::string& host) {
    if (IsAddress(host)) return X509_check_ip_asc(x509, host.c_str(), 0) == 1;
    return X509_check_host(x509, host.data(), host.size(), 0, nullptr) == 1;
}

bool OutsideValidity(X509* x509, std::time_t now) {
    return X509_cmp_time(X509_get0_notBefore(x509), &now) > 0 || X509_cmp_time(X509_get0_notAfter(x509), &now) < 0;
}

// Collects the verification errors and lets the check go on, so that every
// problem of the chain is known.
struct ChainErrors {
    bool untrusted = false;
    bool outsideValidity = false;
};

int CollectError(int ok, X509_STORE_CTX* context) {
    if (ok) return 1;
    auto* errors = static_cast<ChainErrors*>(X509_STORE_CTX_get_app_data(context));
    switch (X509_STORE_CTX_get_error(context)) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID:
            errors->outsideValidity = true;
            break;
        default:
            errors->untrusted = true;
            break;
    }
    return 1;
}

}  // namespace

Certificate Certificate::FromDer(std::string_view der) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(der.data());
    X509* x509 = d2i_X509(nullptr, &bytes, static_cast<long>(der.size()));
    if (!x509) throw Error("The server sent a certificate that cannot be read.");
    return Certificate(Own(x509));
}

std::vector<Certificate> Certificate::FromPem(std::string_view pem) {
    std::vector<Certificate> certificates;
    const BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) return certificates;
    while (X509* x509 = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr))
        certificates.push_back(Certificate(Own(x509)));
    return certificates;
}

std::string Certificate::Der() const {
    unsigned char* bytes = nullptr;
    const int length = i2d_X509(x509_.get(), &bytes);
    if (length <= 0) throw Error("A certificate cannot be encoded.");
    std::string der(reinterpret_cast<char*>(bytes), static_cast<std::size_t>(length));
    OPENSSL_free(bytes);
    return der;
}

std::string Certificate::Pem() const {
    const BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), x509_.get()) != 1) throw Error("A certificate cannot be encoded.");
    return BioText(bio.get());
}

std::string Certificate::Subject() const { return NameText(X509_get_subject_name(x509_.get())); }
std::string Certificate::Issuer() const { return NameText(X509_get_issuer_name(x509_.get())); }
std::time_t Certificate::NotBefore() const { return TimeOf(X509_get0_notBefore(x509_.get())); }
std::time_t Certificate::NotAfter() const { return TimeOf(X509_get0_notAfter(x509_.get())); }
std::string Certificate::Sha256() const { return Digest(x509_.get(), EVP_sha256()); }
std::string Certificate::Sha1() const { return Digest(x509_.get(), EVP_sha1()); }
bool Certificate::operator==(const Certificate& other) const { return X509_cmp(Get(), other.Get()) == 0; }

std::vector<std::string> Certificate::Names() const {
    std::vector<std::string> names;
    const NamesPtr alternatives(
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(x509_.get(), NID_subject_alt_name, nullptr, nullptr)));
    for (int i = 0; alternatives && i < sk_GENERAL_NAME_num(alternatives.get()); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(alternatives.get(), i);
        if (name->type == GEN_DNS) {
            const ASN1_STRING* text = name->d.dNSName;
            names.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                               static_cast<std::size_t>(ASN1_STRING_length(text)));
        } else if (name->type == GEN_IPADD) {
            const ASN1_OCTET_STRING* ip = name->d.iPAddress;
            std::string address;
            const unsigned char* b = ASN1_STRING_get0_data(ip);
            if (ASN1_STRING_length(ip) == 4) {
                for (int k = 0; k < 4; ++k) address += (k ? "." : "") + std::to_string(b[k]);
            } else {
                address = "IPv6 address";
            }
            names.push_back(address);
        }
    }
    if (!names.empty()) return names;
    const X509_NAME* subject = X509_get_subject_name(x509_.get());
    for (int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1); at >= 0;
         at = X509_NAME_get_index_by_NID(subject, NID_commonName, at)) {
        const ASN1_STRING* text = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at));
        names.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                           static_cast<std::size_t>(ASN1_STRING_length(text)));
    }
    return names;
}

std::string UtcTime(std::time_t when) {
    std::tm parts{};
    gmtime_r(&when, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

bool Verdict::Has(Problem problem) const {
    return std::find(Problems.begin(), Problems.end(), problem) != Problems.end();
}

Verdict Evaluate(const std::vector<Certificate>& chain, const std::optional<Certificate>& pinned,
                 const std::string& host, std::time_t now, const std::filesystem::path& authorities) {
    Verdict verdict;
    if (chain.empty()) throw Error("The server sent no certificate.");
    X509* leaf = chain.front().Get();
    if (pinned) {
        if (!(chain.front() == *pinned))
            verdict.Problems.push_back(Problem::DiffersFromPinned);
        else if (OutsideValidity(leaf, now))
            verdict.Problems.push_back(Problem::OutsideValidity);
        return verdict;
    }

    const StorePtr store(X509_STORE_new());
    const StoreContextPtr context(X509_STORE_CTX_new());
    const StackPtr untrusted(sk_X509_new_null());
    if (!store || !context || !untrusted) throw Error("Out of memory while checking a certificate.");
    // A store that cannot be read trusts nothing.
    X509_STORE_load_file(store.get(), authorities.c_str());
    for (std::size_t i = 1; i < chain.size(); ++i) sk_X509_push(untrusted.get(), chain[i].Get());
    if (X509_STORE_CTX_init(context.get(), store.get(), leaf, untrusted.get()) != 1)
        throw Error("Out of memory while checking a certificate.");
    ChainErrors errors;
    X509_STORE_CTX_set_app_data(context.get(), &errors);
    X509_STORE_CTX_set_verify_cb(context.get(), CollectError);
    X509_STORE_CTX_set_time(context.get(), 0, now);
    X509_verify_cert(context.get());

    if (errors.untrusted) verdict.Problems.push_back(Problem::UntrustedAuthority);
    if (!NamesHost(leaf, host)) verdict.Problems.push_back(Problem::OtherHost);
    if (errors.outsideValidity || OutsideValidity(leaf, now)) verdict.Problems.push_back(Problem::OutsideValidity);
    if (!errors.untrusted) {
        STACK_OF(X509)* verified = X509_STORE_CTX_get0_chain(context.get());
        if (verified && sk_X509_num(verified) > 0)
            verdict.Authority = NameText(X509_get_subject_name(sk_X509_value(verified, sk_X509_num(verified) - 1)));
    }
    return verdict;
}

std::optional<std::string> NormalizeFingerprint(std::string_view text) {
    std::string hex;
    for (char c : text) {
        if (c == ':') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
        hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (hex.size() != 64 && hex.size() != 40) return std::nullopt;
    std::string pairs;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        if (i > 0) pairs += ':';
        pairs += hex.substr(i, 2);
    }
    return pairs;
}

}  // namespace quellmark::data_access::sqlserver
