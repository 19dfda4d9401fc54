#include "support/TestCertificates.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace Nimbo::Testing {

namespace {

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;

void Check(bool AOk, const char* AWhat) {
    if (!AOk) throw std::runtime_error(std::string("test certificate: ") + AWhat);
}

KeyPtr MakeKey() {
    KeyPtr key(EVP_EC_gen("P-256"));
    Check(key != nullptr, "key generation");
    return key;
}

void AddExtension(X509* ACert, X509* AIssuer, int ANid, const std::string& AValue) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, AIssuer, ACert, nullptr, nullptr, 0);
    ExtPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, ANid, AValue.c_str()));
    Check(ext != nullptr, "extension");
    Check(X509_add_ext(ACert, ext.get(), -1) == 1, "add extension");
}

CertPtr MakeCert(EVP_PKEY* AKey, const std::string& ACommonName, X509* AIssuer, long ASerial) {
    CertPtr cert(X509_new());
    Check(cert != nullptr, "new certificate");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), ASerial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 7L * 24 * 3600);
    X509_set_pubkey(cert.get(), AKey);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(ACommonName.c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(cert.get(), AIssuer ? X509_get_subject_name(AIssuer) : name);
    return cert;
}

std::string ToPem(X509* ACert) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    Check(PEM_write_bio_X509(bio.get(), ACert) == 1, "write certificate");
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

std::string ToPem(EVP_PKEY* AKey) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    Check(PEM_write_bio_PrivateKey(bio.get(), AKey, nullptr, nullptr, 0, nullptr, nullptr) == 1, "write key");
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

bool IsIpAddress(const std::string& AName) {
    return !AName.empty() && AName.find_first_not_of("0123456789.") == std::string::npos;
}

}  // namespace

TestCertificates MakeTestCertificates(const std::vector<std::string>& ANames) {
    KeyPtr caKey = MakeKey();
    CertPtr ca = MakeCert(caKey.get(), "Test CA", nullptr, 1);
    AddExtension(ca.get(), ca.get(), NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(ca.get(), ca.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(ca.get(), ca.get(), NID_subject_key_identifier, "hash");
    Check(X509_sign(ca.get(), caKey.get(), EVP_sha256()) > 0, "sign CA");

    KeyPtr key = MakeKey();
    CertPtr cert = MakeCert(key.get(), ANames.empty() ? "localhost" : ANames.front(), ca.get(), 2);
    std::string altNames;
    for (const std::string& name : ANames) {
        if (!altNames.empty()) altNames += ",";
        altNames += (IsIpAddress(name) ? "IP:" : "DNS:") + name;
    }
    AddExtension(cert.get(), ca.get(), NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(cert.get(), ca.get(), NID_ext_key_usage, "serverAuth");
    AddExtension(cert.get(), ca.get(), NID_authority_key_identifier, "keyid");
    if (!altNames.empty()) AddExtension(cert.get(), ca.get(), NID_subject_alt_name, altNames);
    Check(X509_sign(cert.get(), caKey.get(), EVP_sha256()) > 0, "sign certificate");

    return {ToPem(ca.get()), ToPem(cert.get()), ToPem(key.get())};
}

std::string WriteTempFile(const std::string& APrefix, const std::string& AContent) {
    const char* dir = std::getenv("TMPDIR");
    std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/" + APrefix + "XXXXXX";
    const int fd = mkstemp(pattern.data());
    Check(fd >= 0, "temporary file");
    close(fd);
    std::ofstream(pattern, std::ios::binary) << AContent;
    return pattern;
}

}  // namespace Nimbo::Testing
