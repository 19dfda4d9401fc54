#pragma once
// The emulator's shared types: what callers of CloudEmulator pass and get back, and what the
// emulator's own pieces use below the facade.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Nimbo::Emulator {

enum class Cloud { GoogleDrive, Dropbox, LiveConnect, Box };

inline constexpr Cloud AllClouds[] = {Cloud::GoogleDrive, Cloud::Dropbox, Cloud::LiveConnect, Cloud::Box};

// "google", "dropbox", "live", "box": the names used by the admin path and the data folder.
const char* CloudName(Cloud cloud);
std::optional<Cloud> CloudFromName(std::string_view name);

struct EmulatorOptions {
    std::uint16_t port = 0;         // 0: any free loopback port
    std::filesystem::path dataDir;  // empty: state and file contents in a temporary folder, certificates in memory
    std::size_t maxBodyBytes = 5ull << 30;        // larger request bodies get 413 (bodies go to disk, not memory)
    bool adminApi = true;                         // serve /emulator/... on host localhost / 127.0.0.1
    std::size_t requestLogEntries = 1000;         // the newest requests kept by Requests()
    std::size_t requestLogBodyBytes = 64u << 10;  // how much of each body (and part) is kept
    std::chrono::milliseconds requestHeadTimeout{10000};  // TLS handshake and request head, whole
    std::size_t maxConnections = 1024;                    // served at once; more wait to be accepted
    std::chrono::milliseconds uploadSessionLifetime = std::chrono::hours(24 * 7);  // then a session answers 404
};

struct RecordedPart {
    std::string name, fileName, contentType, content;  // content: at most requestLogBodyBytes
    std::uint64_t size = 0;                            // the whole content's size
    std::string sha256;                                // and its SHA-256 (hex)
};

struct RecordedRequest {
    std::string method, host, path, query;                     // path percent-decoded, query raw
    std::vector<std::pair<std::string, std::string>> headers;  // in arrival order
    std::string body;                 // raw body (at most requestLogBodyBytes); empty for multipart
    std::uint64_t bodySize = 0;       // the whole body's size
    std::string bodySha256;           // and its SHA-256 (hex)
    std::vector<RecordedPart> parts;  // multipart/form-data parts in order
    int status = 0;                   // status answered
};

// What to do instead of (or before) the normal answer. Exactly one of the answer kinds applies:
// dropConnection, else status != 0 (an answer with that status and body), else truncateBody (the
// normal answer with only half its body sent), else corruptBody (the normal answer, whole, with its
// first byte changed), else the normal answer after the delay.
struct Fault {
    std::chrono::milliseconds delay{0};
    int status = 0;
    std::string body;
    std::string contentType = "application/json";
    std::optional<int> retryAfterSeconds;
    bool dropConnection = false;
    bool truncateBody = false;
    bool corruptBody = false;
};

// Which requests a fault applies to: empty fields match anything; path matches as a prefix.
struct Route {
    std::string host, method, pathPrefix;
};

enum class SignInDecision { Ask, Allow, Deny };

struct ItemInfo {
    std::string id, name, mimeType, content;
    bool isFolder = false;
    std::int64_t size = 0;
};

// A file to add through the control interface.
struct NewFile {
    std::string path, content, mimeType;
};

struct TokenPair {
    std::string accessToken, refreshToken;
};

}  // namespace Nimbo::Emulator
