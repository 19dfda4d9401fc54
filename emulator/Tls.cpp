#include "emulator/Tls.h"

#include "emulator/Files.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace Nimbo::Emulator {
namespace {

template <auto Free>
struct Deleter {
    template <class T>
    void operator()(T* p) const {
        Free(p);
    }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free>>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION_free>>;
using NamesPtr = std::unique_ptr<GENERAL_NAMES, Deleter<GENERAL_NAMES_free>>;

void Check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("TLS setup failed: ") + what);
}

KeyPtr MakeKey() {
    KeyPtr key(EVP_EC_gen("P-256"));
    Check(key != nullptr, "key generation");
    return key;
}

std::string KeyToPem(EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    Check(PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1, "key to PEM");
    char* data = nullptr;
    long len = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(len));
}

std::string CertToPem(X509* cert) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    Check(PEM_write_bio_X509(bio.get(), cert) == 1, "certificate to PEM");
    char* data = nullptr;
    long len = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(len));
}

KeyPtr KeyFromPem(const std::string& pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    return KeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

CertPtr CertFromPem(const std::string& pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    return CertPtr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    ExtPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
    Check(ext != nullptr && X509_add_ext(cert, ext.get(), -1) == 1, "certificate extension");
}

CertPtr NewCertificate(EVP_PKEY* key, const std::string& commonName, long days) {
    CertPtr cert(X509_new());
    Check(cert != nullptr, "certificate allocation");
    X509_set_version(cert.get(), 2);
    unsigned char serial[16];
    Check(RAND_bytes(serial, sizeof serial) == 1, "serial number");
    serial[0] &= 0x7f;
    std::unique_ptr<BIGNUM, Deleter<BN_free>> bn(BN_bin2bn(serial, sizeof serial, nullptr));
    Check(BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert.get())) != nullptr, "serial number");
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -24L * 3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), days * 24L * 3600);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Nimbo Cloud Emulator"),
                               -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                               -1, -1, 0);
    return cert;
}

bool IsIpLiteral(const std::string& host) {
    return !host.empty() &&
           std::all_of(host.begin(), host.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

TlsIdentity IssueServerCertificate(TlsIdentity identity, const std::vector<std::string>& hosts) {
    KeyPtr caKey = KeyFromPem(identity.caKeyPem);
    CertPtr caCert = CertFromPem(identity.caCertPem);
    Check(caKey && caCert, "reading the authority");
    KeyPtr key = MakeKey();
    CertPtr cert = NewCertificate(key.get(), hosts.empty() ? "localhost" : hosts.front(), 397);
    Check(X509_set_issuer_name(cert.get(), X509_get_subject_name(caCert.get())) == 1, "issuer");
    AddExtension(cert.get(), caCert.get(), NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(cert.get(), caCert.get(), NID_key_usage, "critical,digitalSignature,keyEncipherment");
    AddExtension(cert.get(), caCert.get(), NID_ext_key_usage, "serverAuth");
    AddExtension(cert.get(), caCert.get(), NID_subject_key_identifier, "hash");
    AddExtension(cert.get(), caCert.get(), NID_authority_key_identifier, "keyid:always");
    std::string names;
    for (const auto& host : hosts) {
        if (!names.empty()) names += ',';
        names += (IsIpLiteral(host) ? "IP:" : "DNS:") + host;
    }
    AddExtension(cert.get(), caCert.get(), NID_subject_alt_name, names.c_str());
    Check(X509_sign(cert.get(), caKey.get(), EVP_sha256()) > 0, "signing the server certificate");
    identity.certPem = CertToPem(cert.get());
    identity.keyPem = KeyToPem(key.get());
    return identity;
}

TlsIdentity MakeAuthority() {
    KeyPtr key = MakeKey();
    CertPtr cert = NewCertificate(key.get(), "Nimbo Cloud Emulator CA", 3650);
    Check(X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get())) == 1, "issuer");
    AddExtension(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE,pathlen:0");
    AddExtension(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(cert.get(), cert.get(), NID_subject_key_identifier, "hash");
    Check(X509_sign(cert.get(), key.get(), EVP_sha256()) > 0, "signing the authority");
    TlsIdentity identity;
    identity.caCertPem = CertToPem(cert.get());
    identity.caKeyPem = KeyToPem(key.get());
    return identity;
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::filesystem::path& path, const std::string& text, bool secret) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out) throw std::runtime_error("cannot write " + path.string());
    }
    if (secret)
        std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

bool ServerCertificateUsable(const TlsIdentity& identity, const std::vector<std::string>& hosts) {
    CertPtr cert = CertFromPem(identity.certPem);
    KeyPtr key = KeyFromPem(identity.keyPem);
    CertPtr ca = CertFromPem(identity.caCertPem);
    if (!cert || !key || !ca) return false;
    if (X509_check_private_key(cert.get(), key.get()) != 1) return false;
    if (X509_check_issued(ca.get(), cert.get()) != X509_V_OK) return false;
    time_t tomorrow = time(nullptr) + 24 * 3600;
    if (X509_cmp_time(X509_get0_notAfter(cert.get()), &tomorrow) <= 0) return false;
    auto names = CertificateNames(identity.certPem);
    return std::all_of(hosts.begin(), hosts.end(),
                       [&](const std::string& h) { return std::find(names.begin(), names.end(), h) != names.end(); });
}

}  // namespace

TlsIdentity MakeTlsIdentity(const std::vector<std::string>& hosts) {
    return IssueServerCertificate(MakeAuthority(), hosts);
}

TlsIdentity LoadOrMakeTlsIdentity(const std::vector<std::string>& hosts, const std::filesystem::path& dir) {
    if (dir.empty()) return MakeTlsIdentity(hosts);
    MakePrivateFolder(dir);
    const auto caCert = dir / "ca.pem", caKey = dir / "ca-key.pem", cert = dir / "server.pem",
               key = dir / "server-key.pem";
    TlsIdentity identity;
    if (std::filesystem::exists(caCert) && std::filesystem::exists(caKey)) {
        identity.caCertPem = ReadFile(caCert);
        identity.caKeyPem = ReadFile(caKey);
    }
    if (!CertFromPem(identity.caCertPem) || !KeyFromPem(identity.caKeyPem)) {
        identity = MakeAuthority();
        WriteFile(caKey, identity.caKeyPem, true);
        WriteFile(caCert, identity.caCertPem, false);
    }
    if (std::filesystem::exists(cert) && std::filesystem::exists(key)) {
        identity.certPem = ReadFile(cert);
        identity.keyPem = ReadFile(key);
    }
    if (!ServerCertificateUsable(identity, hosts)) {
        identity = IssueServerCertificate(identity, hosts);
        WriteFile(key, identity.keyPem, true);
        WriteFile(cert, identity.certPem, false);
    }
    return identity;
}

std::vector<std::string> CertificateNames(const std::string& certPem) {
    std::vector<std::string> result;
    CertPtr cert = CertFromPem(certPem);
    if (!cert) return result;
    NamesPtr names(static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert.get(), NID_subject_alt_name, nullptr, nullptr)));
    if (!names) return result;
    for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
        if (name->type == GEN_DNS) {
            const auto* s = name->d.dNSName;
            result.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)), ASN1_STRING_length(s));
        } else if (name->type == GEN_IPADD && ASN1_STRING_length(name->d.iPAddress) == 4) {
            const unsigned char* ip = ASN1_STRING_get0_data(name->d.iPAddress);
            result.push_back(std::to_string(ip[0]) + "." + std::to_string(ip[1]) + "." + std::to_string(ip[2]) + "." +
                             std::to_string(ip[3]));
        }
    }
    return result;
}

}  // namespace Nimbo::Emulator
