// The emulator's stored state under steady changes: small requests timed while one client adds a file
// every 50 ms, on an account seeded with N files through the control interface, against the same run
// on an account with no stored items. The account is seeded with the control interface's bulk form,
// SeedingBatch files a request from SeedingClients clients. Each run is a child process with its own data folder, so
// each side's peak memory is its own; the sides alternate, and the ratio (N files / empty account) of the p99 latency
// is reported as min/median/max over the pairs, beside both sides' figures.
//
//   state_bench [file counts, default 2000,30000,100000] [seconds of load per run, default 8] [pairs, default 3]

#include "emulator/CloudEmulator.h"

#include <curl/curl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace Nimbo::Emulator;
using Steady = std::chrono::steady_clock;

namespace {

constexpr int SeedingClients = 4;
constexpr int SeedingBatch = 500;  // files per request of the control interface's bulk form
constexpr int FilesPerFolder = 1000;
const std::string ProbeUrl = "https://api.dropbox.com/1/metadata/dropbox/Probe";

// One kept-alive HTTPS connection to the emulator.
class Client {
public:
    Client(const CloudEmulator& emulator, const std::string& token) : curl_(curl_easy_init()) {
        for (const auto& mapping : emulator.ConnectToMappings()) hosts_ = curl_slist_append(hosts_, mapping.c_str());
        if (!token.empty()) headers_ = curl_slist_append(headers_, ("Authorization: Bearer " + token).c_str());
        curl_easy_setopt(curl_, CURLOPT_CONNECT_TO, hosts_);
        curl_easy_setopt(curl_, CURLOPT_CAINFO, emulator.CaCertPath().c_str());
        curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers_);
        curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl_, CURLOPT_TIMEOUT, 60L);
        curl_easy_setopt(
            curl_, CURLOPT_WRITEFUNCTION,
            +[](char*, std::size_t item, std::size_t count, void*) -> std::size_t { return item * count; });
    }
    ~Client() {
        curl_easy_cleanup(curl_);
        curl_slist_free_all(hosts_);
        curl_slist_free_all(headers_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    void Get(const std::string& url) {
        curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl_, CURLOPT_HTTPGET, 1L);
        Perform(url);
    }
    void AddFile(const std::string& path) {
        const std::string url = "https://localhost/emulator/files",
                          fields = "service=dropbox&content=bytes+of+" + path + "&path=" + path;
        curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, fields.c_str());
        Perform(url);
    }
    // Many files in one request (the control interface's bulk form).
    void AddFiles(const std::vector<std::string>& paths) {
        const std::string url = "https://localhost/emulator/files";
        nlohmann::json files = nlohmann::json::array();
        for (const auto& path : paths) files.push_back({{"path", path}, {"content", "bytes of " + path}});
        const std::string body = nlohmann::json{{"service", "dropbox"}, {"files", files}}.dump();
        curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
        curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body.c_str());
        try {
            Perform(url);
        } catch (...) {
            curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers_);
            curl_slist_free_all(headers);
            throw;
        }
        curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers_);
        curl_slist_free_all(headers);
    }

private:
    CURL* curl_;
    curl_slist *hosts_ = nullptr, *headers_ = nullptr;

    void Perform(const std::string& url) {
        long status = 0;
        if (CURLcode rc = curl_easy_perform(curl_); rc != CURLE_OK)
            throw std::runtime_error(url + ": " + curl_easy_strerror(rc));
        curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status);
        if (status != 200) throw std::runtime_error(url + ": status " + std::to_string(status));
    }
};

struct Run {
    double seedPerSecond = 0;             // files seeded per second (0: none seeded)
    double median = 0, p99 = 0, max = 0;  // ms
    std::size_t requests = 0;
    long peakKiB = 0;
};

double Quantile(std::vector<double> values, double q) {
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(q * static_cast<double>(values.size())))];
}

// Seeds `files` files through the control interface, then times small requests under the load.
Run Measure(int files, int seconds) {
    auto dir = std::filesystem::temp_directory_path() / ("state-bench-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    Run run;
    {
        CloudEmulator emulator({.dataDir = dir});
        emulator.Start();
        emulator.RegisterClient(Cloud::Dropbox, "bench", "secret");
        const std::string token = emulator.IssueTokens(Cloud::Dropbox, "bench").accessToken;
        for (int i = 0; i < 10; ++i) emulator.AddFile(Cloud::Dropbox, "Probe/p" + std::to_string(i) + ".txt", "probe");

        auto seedStart = Steady::now();
        std::vector<std::thread> seeders;
        for (int c = 0; c < SeedingClients; ++c)
            seeders.emplace_back([&, c] {
                Client admin(emulator, "");
                std::vector<std::string> batch;
                for (int first = c * SeedingBatch; first < files; first += SeedingClients * SeedingBatch) {
                    batch.clear();
                    for (int i = first; i < std::min(files, first + SeedingBatch); ++i)
                        batch.push_back("Seed/d" + std::to_string(i / FilesPerFolder) + "/f" + std::to_string(i) +
                                        ".txt");
                    admin.AddFiles(batch);
                }
            });
        for (auto& seeder : seeders) seeder.join();
        if (files > 0) run.seedPerSecond = files / std::chrono::duration<double>(Steady::now() - seedStart).count();

        std::atomic<bool> done{false};
        std::thread writer([&] {
            Client admin(emulator, "");
            for (int i = 0; !done; ++i) {
                auto next = Steady::now() + std::chrono::milliseconds(50);
                admin.AddFile("Live/f" + std::to_string(i) + ".txt");
                std::this_thread::sleep_until(next);
            }
        });
        Client probe(emulator, token);
        std::vector<double> latencies;
        auto end = Steady::now() + std::chrono::seconds(seconds);
        while (Steady::now() < end) {
            auto start = Steady::now();
            probe.Get(ProbeUrl);
            latencies.push_back(std::chrono::duration<double, std::milli>(Steady::now() - start).count());
        }
        done = true;
        writer.join();
        run.median = Quantile(latencies, 0.5);
        run.p99 = Quantile(latencies, 0.99);
        run.max = *std::max_element(latencies.begin(), latencies.end());
        run.requests = latencies.size();
    }
    std::filesystem::remove_all(dir);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    run.peakKiB = usage.ru_maxrss;
    return run;
}

// The run in a child process of its own; its figures come back through a pipe.
Run InChild(int files, int seconds) {
    int pipe[2];
    if (::pipe(pipe) != 0) throw std::runtime_error("no pipe");
    pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe[0]);
        try {
            Run run = Measure(files, seconds);
            char text[256];
            int length = std::snprintf(text, sizeof text, "%f %f %f %f %zu %ld\n", run.seedPerSecond, run.median,
                                       run.p99, run.max, run.requests, run.peakKiB);
            if (::write(pipe[1], text, static_cast<std::size_t>(length)) != length) ::_exit(2);
            ::_exit(0);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "state_bench: %s\n", e.what());
            ::_exit(1);
        }
    }
    ::close(pipe[1]);
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    ::close(pipe[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("a run failed");
    Run run;
    std::istringstream(text) >> run.seedPerSecond >> run.median >> run.p99 >> run.max >> run.requests >> run.peakKiB;
    return run;
}

std::string Range(std::vector<double> values, const char* format) {
    char text[128];
    std::snprintf(text, sizeof text, format, *std::min_element(values.begin(), values.end()), Quantile(values, 0.5),
                  *std::max_element(values.begin(), values.end()));
    return text;
}

}  // namespace

// A whole decimal number of at least AMinimum; nullopt for anything else.
std::optional<int> Count(const std::string& AText, int AMinimum) {
    int value = 0;
    const auto [end, error] = std::from_chars(AText.data(), AText.data() + AText.size(), value);
    if (error != std::errc() || end != AText.data() + AText.size() || value < AMinimum) return std::nullopt;
    return value;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: state_bench [FILE_COUNTS] [SECONDS] [PAIRS]\n"
                 "  FILE_COUNTS  files in the account, comma-separated (default 2000,30000,100000)\n"
                 "  SECONDS      seconds of load per run (default 8)\n"
                 "  PAIRS        runs with the files and with an empty account, alternating (default 3)\n");
    return 2;
}

int main(int argc, char** argv) {
    if (argc > 4) return Usage();
    std::vector<int> sizes = {2000, 30000, 100000};
    if (argc > 1) {
        sizes.clear();
        std::istringstream list(argv[1]);
        for (std::string item; std::getline(list, item, ',');) {
            const std::optional<int> files = Count(item, 0);
            if (!files) return Usage();
            sizes.push_back(*files);
        }
        if (sizes.empty()) return Usage();
    }
    const std::optional<int> seconds = argc > 2 ? Count(argv[2], 1) : 8;
    const std::optional<int> pairs = argc > 3 ? Count(argv[3], 1) : 3;
    if (!seconds || !pairs) return Usage();
    curl_global_init(CURL_GLOBAL_DEFAULT);
    std::printf("small requests (Dropbox folder metadata) while a file is added every 50 ms; %d s per run, %d pairs\n",
                *seconds, *pairs);
    for (int files : sizes) {
        std::vector<double> ratios, seeded, median, p99, max, emptyMedian, emptyP99, emptyMax, peak, emptyPeak, perItem;
        for (int pair = 0; pair < *pairs; ++pair) {
            Run empty = InChild(0, *seconds), full = InChild(files, *seconds);
            ratios.push_back(full.p99 / empty.p99);
            seeded.push_back(full.seedPerSecond);
            median.push_back(full.median), p99.push_back(full.p99), max.push_back(full.max);
            emptyMedian.push_back(empty.median), emptyP99.push_back(empty.p99), emptyMax.push_back(empty.max);
            peak.push_back(static_cast<double>(full.peakKiB) / 1024),
                emptyPeak.push_back(static_cast<double>(empty.peakKiB) / 1024);
            if (files > 0) perItem.push_back(static_cast<double>(full.peakKiB - empty.peakKiB) * 1024 / files);
        }
        std::printf("%d files: p99 ratio to the empty account min/median/max %s\n", files,
                    Range(ratios, "%.2f/%.2f/%.2f").c_str());
        std::printf("  latency ms (min/median/max over runs): median %s, p99 %s, max %s\n",
                    Range(median, "%.2f/%.2f/%.2f").c_str(), Range(p99, "%.2f/%.2f/%.2f").c_str(),
                    Range(max, "%.1f/%.1f/%.1f").c_str());
        std::printf("  empty account:                         median %s, p99 %s, max %s\n",
                    Range(emptyMedian, "%.2f/%.2f/%.2f").c_str(), Range(emptyP99, "%.2f/%.2f/%.2f").c_str(),
                    Range(emptyMax, "%.1f/%.1f/%.1f").c_str());
        std::printf("  seeding through the control interface: %s files/s\n", Range(seeded, "%.0f/%.0f/%.0f").c_str());
        std::printf("  peak memory MiB: %s with the files, %s empty\n", Range(peak, "%.0f/%.0f/%.0f").c_str(),
                    Range(emptyPeak, "%.0f/%.0f/%.0f").c_str());
        if (!perItem.empty())
            std::printf("  bytes per item (peak difference / files): %s\n", Range(perItem, "%.0f/%.0f/%.0f").c_str());
        std::fflush(stdout);
    }
    curl_global_cleanup();
}
