#pragma once
// The emulator's own certificate authority and the server certificate it issues for every host.

#include <filesystem>
#include <string>
#include <vector>

namespace Nimbo::Emulator {

struct TlsIdentity {
    std::string caCertPem, caKeyPem;  // the authority clients trust
    std::string certPem, keyPem;      // the server's certificate (signed by the authority) and key
};

// A fresh authority and a server certificate whose subject alternative names are the given hosts
// (IP literals become IP entries).
TlsIdentity MakeTlsIdentity(const std::vector<std::string>& hosts);

// Loads the identity kept in dir; makes what is missing, stale (expiring within a day) or lacking a
// host, and writes it back. An empty dir means MakeTlsIdentity.
TlsIdentity LoadOrMakeTlsIdentity(const std::vector<std::string>& hosts, const std::filesystem::path& dir);

// The subject alternative names (DNS and IP) of a PEM certificate, for checks.
std::vector<std::string> CertificateNames(const std::string& certPem);

}  // namespace Nimbo::Emulator
