#include "HttpsClient.h"

#include <memory>

namespace EmulatorTest {
namespace {

struct CurlDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct ListDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
struct MimeDeleter {
    void operator()(curl_mime* m) const { curl_mime_free(m); }
};

std::size_t WriteBody(char* data, std::size_t size, std::size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

std::size_t WriteHeader(char* data, std::size_t size, std::size_t count, void* out) {
    std::string line(data, size * count);
    auto colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon), value = line.substr(colon + 1);
        for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        value.erase(0, value.find_first_not_of(' '));
        value.erase(value.find_last_not_of("\r\n") + 1);
        (*static_cast<std::map<std::string, std::string>*>(out))[name] = value;
    }
    return size * count;
}

}  // namespace

HttpsClient::HttpsClient(const Nimbo::Emulator::CloudEmulator& emulator)
    : mappings_(emulator.ConnectToMappings()), caPath_(emulator.CaCertPath().string()) {}

HttpsClient::HttpsClient(std::uint16_t port, std::string caPath) : caPath_(std::move(caPath)) {
    for (const auto& host : Nimbo::Emulator::CloudEmulator::Hosts())
        mappings_.push_back(host + ":443:127.0.0.1:" + std::to_string(port));
}

Reply HttpsClient::Perform(CURL* curl, curl_slist* headers) const {
    std::unique_ptr<curl_slist, ListDeleter> connectTo;
    curl_slist* list = nullptr;
    for (const auto& m : mappings_) list = curl_slist_append(list, m.c_str());
    connectTo.reset(list);
    Reply reply;
    curl_easy_setopt(curl, CURLOPT_CONNECT_TO, list);
    curl_easy_setopt(curl, CURLOPT_CAINFO, caPath_.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 8000L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, 3000L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, WriteHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply.headers);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    reply.error = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    return reply;
}

Reply HttpsClient::Send(const std::string& method, const std::string& url, const std::string& body,
                        std::vector<std::string> headers) const {
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    std::unique_ptr<curl_slist, ListDeleter> list;
    curl_slist* raw = nullptr;
    for (const auto& h : headers) raw = curl_slist_append(raw, h.c_str());
    list.reset(raw);
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_CUSTOMREQUEST, method.c_str());
    if (method == "HEAD") curl_easy_setopt(curl.get(), CURLOPT_NOBODY, 1L);
    if (method != "GET" && method != "HEAD") {
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    }
    return Perform(curl.get(), raw);
}

Reply HttpsClient::Get(const std::string& url, const std::string& token) const {
    return Send("GET", url, "", token.empty() ? std::vector<std::string>{} : std::vector<std::string>{Bearer(token)});
}

Reply HttpsClient::Form(const std::string& url, const Fields& fields, const std::string& token) const {
    std::vector<std::string> headers{"Content-Type: application/x-www-form-urlencoded"};
    if (!token.empty()) headers.push_back(Bearer(token));
    return Send("POST", url, Encode(fields), headers);
}

Reply HttpsClient::Multipart(const std::string& url, const std::vector<Part>& parts, const std::string& token,
                             const std::vector<std::string>& headers) const {
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    std::unique_ptr<curl_mime, MimeDeleter> mime(curl_mime_init(curl.get()));
    for (const auto& p : parts) {
        curl_mimepart* part = curl_mime_addpart(mime.get());
        curl_mime_name(part, p.name.c_str());
        curl_mime_data(part, p.content.data(), p.content.size());
        if (!p.fileName.empty()) curl_mime_filename(part, p.fileName.c_str());
        if (!p.contentType.empty()) curl_mime_type(part, p.contentType.c_str());
    }
    std::unique_ptr<curl_slist, ListDeleter> list;
    if (!token.empty()) list.reset(curl_slist_append(nullptr, Bearer(token).c_str()));
    for (const std::string& header : headers) list.reset(curl_slist_append(list.release(), header.c_str()));
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_MIMEPOST, mime.get());
    return Perform(curl.get(), list.get());
}

std::string HttpsClient::Encode(const Fields& fields) {
    std::string out;
    for (const auto& [key, value] : fields) {
        char* k = curl_easy_escape(nullptr, key.c_str(), static_cast<int>(key.size()));
        char* v = curl_easy_escape(nullptr, value.c_str(), static_cast<int>(value.size()));
        out += (out.empty() ? "" : "&") + std::string(k) + "=" + v;
        curl_free(k);
        curl_free(v);
    }
    return out;
}

std::string HttpsClient::QueryValue(const std::string& url, const std::string& key) {
    auto start = url.find_first_of("?#");
    while (start != std::string::npos) {
        auto end = url.find('&', start + 1);
        std::string pair = url.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
        if (pair.rfind(key + "=", 0) == 0) {
            int length = 0;
            std::string raw = pair.substr(key.size() + 1);
            char* decoded = curl_easy_unescape(nullptr, raw.c_str(), static_cast<int>(raw.size()), &length);
            std::string value(decoded, static_cast<std::size_t>(length));
            curl_free(decoded);
            return value;
        }
        start = end;
    }
    return "";
}

}  // namespace EmulatorTest
