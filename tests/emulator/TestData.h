#pragma once
// Test bytes and their digests, computed independently of the emulator.

#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace EmulatorTest {

// A multipart/related body of the given parts (content type, content).
inline std::string Related(const std::vector<std::pair<std::string, std::string>>& parts,
                           const std::string& boundary = "foo_bar_baz") {
    std::string body;
    for (const auto& [type, content] : parts)
        body += "--" + boundary + "\r\n" + (type.empty() ? "" : "Content-Type: " + type + "\r\n") + "\r\n" + content +
                "\r\n";
    return body + "--" + boundary + "--";
}

// Bytes that differ at every offset, so that a misplaced or repeated chunk shows.
inline std::string PatternBytes(std::size_t size, std::uint32_t seed = 1) {
    std::string bytes(size, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<char>(state >> 24);
    }
    return bytes;
}

inline std::string DigestOf(const EVP_MD* md, const std::string& bytes) {
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), value, &length, md, nullptr);
    return std::string(reinterpret_cast<char*>(value), length);
}

inline std::string Hex(const std::string& raw) {
    std::string hex;
    char two[3];
    for (unsigned char c : raw) std::snprintf(two, sizeof two, "%02x", c), hex += two;
    return hex;
}

inline std::string Md5Hex(const std::string& bytes) { return Hex(DigestOf(EVP_md5(), bytes)); }
inline std::string Sha1Hex(const std::string& bytes) { return Hex(DigestOf(EVP_sha1(), bytes)); }
inline std::string Sha256Hex(const std::string& bytes) { return Hex(DigestOf(EVP_sha256(), bytes)); }
inline std::string Sha1Base64(const std::string& bytes) {
    std::string raw = DigestOf(EVP_sha1(), bytes);
    std::string text(4 * ((raw.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                            reinterpret_cast<const unsigned char*>(raw.data()), static_cast<int>(raw.size()));
    text.resize(static_cast<std::size_t>(n));
    return text;
}

}  // namespace EmulatorTest
