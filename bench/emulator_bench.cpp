// The emulator against a bare cpp-httplib HTTPS server (Nagle off and a thread for each of the 100
// concurrent clients, as the emulator has, so neither side loses to a setting) answering the same
// requests with fixed bodies, measured in the same run: per-request latency on one kept-alive
// connection, 100 concurrent kept-alive clients, 16 parallel downloads of an 8 MiB file, a 1 GiB
// upload and its download (the bare server drops what it receives and sends made-up bytes), and
// listing a 10,000-item folder on each service with its own paging (the bare server answers the
// pages the emulator answered, captured before the run). Each
// measurement runs in its own child process, so each side's peak memory is its own; the sides
// alternate, and the ratio (emulator time / bare time) is reported as min/median/max over the pairs.
//
//   emulator_bench [pairs, default 5] [only the scenarios whose name holds this text]

#include "emulator/CloudEmulator.h"
#include "emulator/Tls.h"

#include <curl/curl.h>
#include <httplib.h>
#include <openssl/pem.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace Nimbo::Emulator;
using Steady = std::chrono::steady_clock;

namespace {

const std::string InfoUrl = "https://api.dropbox.com/1/account/info";
const std::string FileUrl = "https://api-content.dropbox.com/1/files/dropbox/big.bin";
constexpr std::size_t FileBytes = 8u << 20;
const std::string DriveUploadUrl = "https://www.googleapis.com/upload/drive/v2/files?uploadType=media";
const std::string DriveFilesUrl = "https://www.googleapis.com/drive/v2/files/";
constexpr std::uint64_t HugeBytes = 1ull << 30;
constexpr std::size_t BigFolderItems = 10000;
constexpr int ConcurrentClients = 100;

struct Endpoint {
    std::uint16_t port;
    std::string caPath, token, driveToken;
    std::map<Cloud, std::string> tokens, bigFolders;  // the listing scenarios' tokens and folder ids
};

struct Result {
    double seconds = 0;  // per request (latency, concurrent) or for the whole batch (downloads)
    long peakKiB = 0;
};

std::size_t Discard(char*, std::size_t size, std::size_t count, void*) { return size * count; }

// A kept-alive client of one endpoint.
class Client {
public:
    explicit Client(const Endpoint& endpoint, const std::string& token = "") : curl_(curl_easy_init()) {
        for (const auto& host : CloudEmulator::Hosts())
            hosts_ = curl_slist_append(hosts_, (host + ":443:127.0.0.1:" + std::to_string(endpoint.port)).c_str());
        headers_ =
            curl_slist_append(headers_, ("Authorization: Bearer " + (token.empty() ? endpoint.token : token)).c_str());
        curl_easy_setopt(curl_, CURLOPT_CONNECT_TO, hosts_);
        curl_easy_setopt(curl_, CURLOPT_CAINFO, endpoint.caPath.c_str());
        curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers_);
        curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, Discard);
        curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl_, CURLOPT_TIMEOUT, 60L);
    }
    ~Client() {
        curl_easy_cleanup(curl_);
        curl_slist_free_all(hosts_);
        curl_slist_free_all(headers_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // The answer's body; any status but 200 ends the run.
    std::string Fetch(const std::string& url) {
        std::string body;
        curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &body);
        curl_easy_setopt(
            curl_, CURLOPT_WRITEFUNCTION, +[](char* data, std::size_t item, std::size_t count, void* out) {
                static_cast<std::string*>(out)->append(data, item * count);
                return item * count;
            });
        Get(url);
        curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, Discard);
        curl_easy_setopt(curl_, CURLOPT_WRITEDATA, nullptr);
        return body;
    }

    void Get(const std::string& url) {
        curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
        long status = 0;
        if (curl_easy_perform(curl_) != CURLE_OK ||
            (curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status), status != 200)) {
            std::fprintf(stderr, "request to %s failed (status %ld)\n", url.c_str(), status);
            std::_Exit(3);
        }
    }

    // Posts `size` made-up bytes without holding them; returns the answer.
    std::string PostGenerated(const std::string& url, std::uint64_t size) {
        std::uint64_t sent = 0;
        std::string answer;
        curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl_, CURLOPT_POST, 1L);
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(size));
        curl_easy_setopt(curl_, CURLOPT_READDATA, &sent);
        curl_easy_setopt(
            curl_, CURLOPT_READFUNCTION, +[](char* buffer, std::size_t item, std::size_t count, void* data) {
                auto& done = *static_cast<std::uint64_t*>(data);
                std::size_t n = std::min<std::uint64_t>(item * count, HugeBytes - done);
                for (std::size_t i = 0; i < n; ++i) buffer[i] = static_cast<char>((done + i) * 2654435761u >> 24);
                done += n;
                return n;
            });
        curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &answer);
        curl_easy_setopt(
            curl_, CURLOPT_WRITEFUNCTION, +[](char* data, std::size_t item, std::size_t count, void* out) {
                static_cast<std::string*>(out)->append(data, item * count);
                return item * count;
            });
        long status = 0;
        if (curl_easy_perform(curl_) != CURLE_OK ||
            (curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status), status != 200)) {
            std::fprintf(stderr, "upload to %s failed (status %ld)\n", url.c_str(), status);
            std::_Exit(3);
        }
        curl_easy_setopt(curl_, CURLOPT_HTTPGET, 1L);
        curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, Discard);
        curl_easy_setopt(curl_, CURLOPT_WRITEDATA, nullptr);
        return answer;
    }

private:
    CURL* curl_;
    curl_slist *hosts_ = nullptr, *headers_ = nullptr;
};

double Seconds(Steady::time_point start) { return std::chrono::duration<double>(Steady::now() - start).count(); }

double Latency(const Endpoint& endpoint) {
    Client client(endpoint);
    client.Get(InfoUrl);  // connect first
    constexpr int requests = 300;
    auto start = Steady::now();
    for (int i = 0; i < requests; ++i) client.Get(InfoUrl);
    return Seconds(start) / requests;
}

double Concurrent(const Endpoint& endpoint) {
    constexpr int clients = ConcurrentClients, requests = 20;
    std::vector<std::thread> threads;
    auto start = Steady::now();
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&] {
            Client client(endpoint);
            for (int i = 0; i < requests; ++i) client.Get(InfoUrl);
        });
    for (auto& t : threads) t.join();
    return Seconds(start) / (clients * requests);
}

double Downloads(const Endpoint& endpoint) {
    constexpr int parallel = 16;
    std::vector<std::thread> threads;
    auto start = Steady::now();
    for (int c = 0; c < parallel; ++c)
        threads.emplace_back([&] {
            Client client(endpoint);
            client.Get(FileUrl);
        });
    for (auto& t : threads) t.join();
    return Seconds(start);
}

// A 1 GiB file uploaded with Drive's simple upload, then downloaded.
double HugeFile(const Endpoint& endpoint) {
    Client client(endpoint, endpoint.driveToken);
    auto start = Steady::now();
    std::string answer = client.PostGenerated(DriveUploadUrl, HugeBytes);
    auto at = answer.find("\"id\": \"");
    if (at == std::string::npos) {
        std::fprintf(stderr, "the upload answered no id: %s\n", answer.substr(0, 200).c_str());
        std::_Exit(3);
    }
    at += 7;
    client.Get(DriveFilesUrl + answer.substr(at, answer.find('"', at) - at) + "?alt=media");
    return Seconds(start);
}

std::string Escaped(const std::string& text) {
    char* escaped = curl_easy_escape(nullptr, text.c_str(), static_cast<int>(text.size()));
    std::string result(escaped);
    curl_free(escaped);
    return result;
}

// Lists a 10,000-item folder as a client of the service pages it; returns how many items came.
std::size_t WalkBigFolder(Cloud cloud, const std::string& folder,
                          const std::function<std::string(const std::string&)>& fetch) {
    using nlohmann::json;
    std::size_t items = 0;
    switch (cloud) {
        case Cloud::GoogleDrive: {
            const std::string base =
                "https://www.googleapis.com/drive/v2/files?maxResults=1000&q=" + Escaped("'" + folder + "' in parents");
            for (std::string url = base; !url.empty();) {
                json page = json::parse(fetch(url));
                items += page["items"].size();
                url = page.contains("nextPageToken") ? base + "&pageToken=" + Escaped(page["nextPageToken"]) : "";
            }
            break;
        }
        case Cloud::Dropbox:
            items = json::parse(fetch("https://api.dropbox.com/1/metadata/dropbox/Big?list=true"))["contents"].size();
            break;
        case Cloud::Box:
            for (std::size_t offset = 0, total = 1; offset < total;) {
                json page = json::parse(fetch("https://api.box.com/2.0/folders/" + folder +
                                              "/items?limit=1000&offset=" + std::to_string(offset)));
                total = page["total_count"];
                offset += page["entries"].size();
                items += page["entries"].size();
                if (page["entries"].empty()) break;
            }
            break;
        case Cloud::LiveConnect:
            items = json::parse(fetch("https://apis.live.net/v5.0/" + folder + "/files"))["data"].size();
            break;
    }
    return items;
}

std::function<double(const Endpoint&)> ListBigFolder(Cloud cloud) {
    return [cloud](const Endpoint& endpoint) {
        Client client(endpoint, endpoint.tokens.at(cloud));
        auto start = Steady::now();
        std::size_t items = WalkBigFolder(cloud, endpoint.bigFolders.at(cloud),
                                          [&](const std::string& url) { return client.Fetch(url); });
        double seconds = Seconds(start);
        if (items != BigFolderItems) {
            std::fprintf(stderr, "%s listed %zu items, not %zu\n", CloudName(cloud), items, BigFolderItems);
            std::_Exit(3);
        }
        return seconds;
    };
}

// Every service gets a folder "Big" of 10,000 empty files; the endpoint learns its ids and tokens.
void SeedBigFolders(CloudEmulator& emulator, Endpoint& endpoint) {
    for (Cloud cloud : AllClouds) {
        emulator.RegisterClient(cloud, "bench", "secret");
        endpoint.tokens[cloud] = emulator.IssueTokens(cloud, "bench").accessToken;
        endpoint.bigFolders[cloud] = emulator.AddFolder(cloud, "Big");
        for (std::size_t i = 0; i < BigFolderItems; ++i)
            emulator.AddFile(cloud, "Big/item " + std::to_string(100000 + i) + ".txt", "");
    }
}

// The pages the emulator answers for the listings, by request target, with the ids they name.
struct CapturedPages {
    std::map<std::string, std::string> bodies;
    Endpoint endpoint{};
};

void SavePages(const CapturedPages& pages, const std::filesystem::path& file) {
    nlohmann::json json = {
        {"bodies", pages.bodies}, {"tokens", nlohmann::json::object()}, {"folders", nlohmann::json::object()}};
    for (Cloud cloud : AllClouds) {
        json["tokens"][CloudName(cloud)] = pages.endpoint.tokens.at(cloud);
        json["folders"][CloudName(cloud)] = pages.endpoint.bigFolders.at(cloud);
    }
    std::ofstream(file, std::ios::binary) << json.dump();
}

CapturedPages LoadPages(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    nlohmann::json json = nlohmann::json::parse(in);
    CapturedPages pages;
    pages.bodies = json["bodies"].get<std::map<std::string, std::string>>();
    for (Cloud cloud : AllClouds) {
        pages.endpoint.tokens[cloud] = json["tokens"][CloudName(cloud)];
        pages.endpoint.bigFolders[cloud] = json["folders"][CloudName(cloud)];
    }
    return pages;
}

CapturedPages CaptureBigFolderPages() {
    CapturedPages captured;
    CloudEmulator emulator;
    emulator.Start();
    SeedBigFolders(emulator, captured.endpoint);
    for (Cloud cloud : AllClouds) {
        Client client({emulator.Port(), emulator.CaCertPath().string(), "", "", {}, {}},
                      captured.endpoint.tokens[cloud]);
        WalkBigFolder(cloud, captured.endpoint.bigFolders[cloud], [&](const std::string& url) {
            std::string body = client.Fetch(url);
            captured.bodies[url.substr(url.find('/', 8))] = body;
            return body;
        });
    }
    return captured;
}

// The same answers from a bare server: the account JSON as the emulator writes it, and the file.
double RunBare(const std::function<double(const Endpoint&)>& measure, const std::string& accountJson, bool bigFolders,
               const std::filesystem::path& pagesFile) {
    auto identity = MakeTlsIdentity(CloudEmulator::Hosts());
    auto caPath = std::filesystem::temp_directory_path() / ("bare-ca-" + std::to_string(::getpid()) + ".pem");
    std::ofstream(caPath) << identity.caCertPem;
    BIO* certBio = BIO_new_mem_buf(identity.certPem.data(), static_cast<int>(identity.certPem.size()));
    BIO* keyBio = BIO_new_mem_buf(identity.keyPem.data(), static_cast<int>(identity.keyPem.size()));
    X509* cert = PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr);
    EVP_PKEY* key = PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr);
    httplib::SSLServer server(cert, key);
    server.set_tcp_nodelay(true);
    server.new_task_queue = [] { return new httplib::ThreadPool(ConcurrentClients + 16); };
    const std::string file(FileBytes, 'b');
    server.Get("/1/account/info", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(accountJson, "application/json");
    });
    server.Get("/1/files/dropbox/big.bin", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(file, "application/octet-stream");
    });
    server.Post("/upload/drive/v2/files",
                [&](const httplib::Request&, httplib::Response& res, const httplib::ContentReader& reader) {
                    reader([](const char*, std::size_t) { return true; });
                    res.set_content("{\n \"id\": \"huge\"\n}", "application/json");
                });
    server.Get("/drive/v2/files/huge", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content_provider(HugeBytes, "application/octet-stream",
                                 [&](std::size_t, std::size_t length, httplib::DataSink& sink) {
                                     return sink.write(file.data(), std::min(length, file.size()));
                                 });
    });
    // The listing pages, for the listing scenarios only: holding them is part of the bare side's cost.
    const CapturedPages pages = bigFolders ? LoadPages(pagesFile) : CapturedPages{};
    server.Get(".*", [&](const httplib::Request& req, httplib::Response& res) {
        auto it = pages.bodies.find(req.target);
        if (it == pages.bodies.end())
            res.status = 404;
        else
            res.set_content(it->second, "application/json");
    });
    int port = server.bind_to_any_port("127.0.0.1");
    std::thread listener([&] { server.listen_after_bind(); });
    while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Endpoint endpoint = pages.endpoint;
    endpoint.port = static_cast<std::uint16_t>(port);
    endpoint.caPath = caPath.string();
    endpoint.token = endpoint.driveToken = "bare";
    double seconds = measure(endpoint);
    server.stop();
    listener.join();
    X509_free(cert);
    EVP_PKEY_free(key);
    BIO_free(certBio);
    BIO_free(keyBio);
    std::filesystem::remove(caPath);
    return seconds;
}

double RunEmulator(const std::function<double(const Endpoint&)>& measure, bool bigFolders) {
    CloudEmulator emulator;
    emulator.Start();
    emulator.RegisterClient(Cloud::Dropbox, "bench", "secret");
    emulator.RegisterClient(Cloud::GoogleDrive, "bench", "secret");
    emulator.AddFile(Cloud::Dropbox, "big.bin", std::string(FileBytes, 'b'));
    Endpoint endpoint{emulator.Port(),
                      emulator.CaCertPath().string(),
                      emulator.IssueTokens(Cloud::Dropbox, "bench").accessToken,
                      emulator.IssueTokens(Cloud::GoogleDrive, "bench").accessToken,
                      {},
                      {}};
    if (bigFolders) SeedBigFolders(emulator, endpoint);
    return measure(endpoint);
}

// One measurement in a child process: its time and its own peak memory.
Result InChild(const std::function<double()>& run) {
    int pipe[2];
    if (::pipe(pipe) != 0) std::_Exit(2);
    pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe[0]);
        curl_global_init(CURL_GLOBAL_DEFAULT);
        Result result{run(), 0};
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        result.peakKiB = usage.ru_maxrss;
        if (::write(pipe[1], &result, sizeof result) != sizeof result) std::_Exit(2);
        std::_Exit(0);
    }
    ::close(pipe[1]);
    Result result;
    bool complete = ::read(pipe[0], &result, sizeof result) == sizeof result;
    ::close(pipe[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!complete || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "a measurement failed\n");
        std::exit(1);
    }
    return result;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    int pairs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    // The account answer the bare server sends: what the emulator answers, fetched once.
    std::string accountJson = R"({"referral_link":"https://db.tt/emulated","display_name":"Emulated Dropbox User",)"
                              R"("uid":576540315,"locale":"en","email_verified":true,"team":null,)"
                              R"("quota_info":{"datastores":0,"shared":0,"quota":2147483648,"normal":8388608},)"
                              R"("is_paired":false,"country":"US","name_details":{"familiar_name":"Emulated",)"
                              R"("surname":"Dropbox User","given_name":"Emulated"},"email":"user@example.com"})";
    struct Scenario {
        const char *name, *unit;
        double scale;
        std::function<double(const Endpoint&)> measure;
        bool bigFolders = false;
    };
    const Scenario scenarios[] = {
        {"latency, one kept-alive client", "ms/request", 1e3, Latency},
        {"100 concurrent kept-alive clients", "ms/request", 1e3, Concurrent},
        {"16 parallel 8 MiB downloads", "s/batch", 1, Downloads},
        {"1 GiB upload, then its download", "s", 1, HugeFile},
        {"Drive: list 10,000 items (10 pages)", "s", 1, ListBigFolder(Cloud::GoogleDrive), true},
        {"Dropbox: list 10,000 items (1 answer)", "s", 1, ListBigFolder(Cloud::Dropbox), true},
        {"Box: list 10,000 items (10 pages)", "s", 1, ListBigFolder(Cloud::Box), true},
        {"Live: list 10,000 items (1 answer)", "s", 1, ListBigFolder(Cloud::LiveConnect), true},
    };
    // The pages the bare side answers for the listings: captured in a child (so no measured process
    // inherits them) into a file the bare listing runs load.
    const auto pagesFile =
        std::filesystem::temp_directory_path() / ("emulator-bench-pages-" + std::to_string(::getpid()) + ".json");
    InChild([&] {
        SavePages(CaptureBigFolderPages(), pagesFile);
        return 0.0;
    });
    std::printf("emulator against a bare cpp-httplib server, %d alternating pairs; ratio = emulator / bare time\n",
                pairs);
    const std::string only = argc > 2 ? argv[2] : "";
    for (const Scenario& s : scenarios) {
        if (std::string(s.name).find(only) == std::string::npos) continue;
        std::vector<double> ours, bare, ratios;
        long oursPeak = 0, barePeak = 0;
        for (int pair = 0; pair < pairs; ++pair) {
            auto runOurs = [&] { return InChild([&] { return RunEmulator(s.measure, s.bigFolders); }); };
            auto runBare = [&] {
                return InChild([&] { return RunBare(s.measure, accountJson, s.bigFolders, pagesFile); });
            };
            Result a, b;
            if (pair % 2 == 0)
                a = runOurs(), b = runBare();
            else
                b = runBare(), a = runOurs();
            ours.push_back(a.seconds);
            bare.push_back(b.seconds);
            ratios.push_back(a.seconds / b.seconds);
            oursPeak = std::max(oursPeak, a.peakKiB);
            barePeak = std::max(barePeak, b.peakKiB);
        }
        std::printf(
            "%-36s emulator %8.3f %s, bare %8.3f %s; ratio min %.2f median %.2f max %.2f; "
            "peak RSS emulator %ld MiB, bare %ld MiB\n",
            s.name, Median(ours) * s.scale, s.unit, Median(bare) * s.scale, s.unit,
            *std::min_element(ratios.begin(), ratios.end()), Median(ratios),
            *std::max_element(ratios.begin(), ratios.end()), oursPeak / 1024, barePeak / 1024);
    }
    std::filesystem::remove(pagesFile);
    return 0;
}
