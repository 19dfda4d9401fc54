#pragma once
// A plain libcurl client for the emulator tests: real service URLs, mapped to the emulator's port,
// verified against its CA, no redirects followed, short timeouts.

#include "emulator/CloudEmulator.h"

#include <nlohmann/json.hpp>

#include <curl/curl.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace EmulatorTest {

struct Reply {
    CURLcode error = CURLE_OK;
    long status = 0;
    std::string body;
    std::map<std::string, std::string> headers;  // lower-case names
    std::string Header(const std::string& name) const {
        auto it = headers.find(name);
        return it == headers.end() ? "" : it->second;
    }
    nlohmann::json Json() const { return nlohmann::json::parse(body, nullptr, false); }
};

struct Part {
    std::string name, content, fileName, contentType;
};

using Fields = std::vector<std::pair<std::string, std::string>>;

class HttpsClient {
public:
    explicit HttpsClient(const Nimbo::Emulator::CloudEmulator& emulator);
    HttpsClient(std::uint16_t port, std::string caPath);  // an emulator in another process

    Reply Send(const std::string& method, const std::string& url, const std::string& body = "",
               std::vector<std::string> headers = {}) const;
    Reply Get(const std::string& url, const std::string& token = "") const;
    Reply Form(const std::string& url, const Fields& fields, const std::string& token = "") const;
    Reply Multipart(const std::string& url, const std::vector<Part>& parts, const std::string& token = "",
                    const std::vector<std::string>& headers = {}) const;

    static std::string Encode(const Fields& fields);
    static std::string Bearer(const std::string& token) { return "Authorization: Bearer " + token; }
    // The value of a query field in a URL (decoded).
    static std::string QueryValue(const std::string& url, const std::string& key);

private:
    std::vector<std::string> mappings_;
    std::string caPath_;
    Reply Perform(CURL* curl, curl_slist* headers) const;
};

}  // namespace EmulatorTest
