// The emulator against a bare cpp-httplib HTTPS server (library defaults) answering the same
// requests with fixed bodies, measured in the same run: per-request latency on one kept-alive
// connection, 100 concurrent kept-alive clients, 16 parallel downloads of an 8 MiB file, a 1 GiB
// upload and its download (the bare server drops what it receives and sends made-up bytes). Each
// measurement runs in its own child process, so each side's peak memory is its own; the sides
// alternate, and the ratio (emulator time / bare time) is reported as min/median/max over the pairs.
//
//   emulator_bench [pairs, default 5]

#include "emulator/CloudEmulator.h"
#include "emulator/Tls.h"

#include <curl/curl.h>
#include <httplib.h>
#include <openssl/pem.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
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

struct Endpoint {
  std::uint16_t port;
  std::string caPath, token, driveToken;
};

struct Result {
  double seconds = 0;  // per request (latency, concurrent) or for the whole batch (downloads)
  long peakKiB = 0;
};

std::size_t Discard(char *, std::size_t size, std::size_t count, void *) { return size * count; }

// A kept-alive client of one endpoint.
class Client {
public:
  explicit Client(const Endpoint &endpoint, const std::string &token = "") : curl_(curl_easy_init()) {
    for (const auto &host : CloudEmulator::Hosts())
      hosts_ = curl_slist_append(hosts_, (host + ":443:127.0.0.1:" + std::to_string(endpoint.port)).c_str());
    headers_ = curl_slist_append(headers_, ("Authorization: Bearer " + (token.empty() ? endpoint.token : token)).c_str());
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
  Client(const Client &) = delete;
  Client &operator=(const Client &) = delete;

  void Get(const std::string &url) {
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    long status = 0;
    if (curl_easy_perform(curl_) != CURLE_OK || (curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status), status != 200)) {
      std::fprintf(stderr, "request to %s failed (status %ld)\n", url.c_str(), status);
      std::_Exit(3);
    }
  }

  // Posts `size` made-up bytes without holding them; returns the answer.
  std::string PostGenerated(const std::string &url, std::uint64_t size) {
    std::uint64_t sent = 0;
    std::string answer;
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_, CURLOPT_POST, 1L);
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(size));
    curl_easy_setopt(curl_, CURLOPT_READDATA, &sent);
    curl_easy_setopt(curl_, CURLOPT_READFUNCTION, +[](char *buffer, std::size_t item, std::size_t count, void *data) {
      auto &done = *static_cast<std::uint64_t *>(data);
      std::size_t n = std::min<std::uint64_t>(item * count, HugeBytes - done);
      for (std::size_t i = 0; i < n; ++i) buffer[i] = static_cast<char>((done + i) * 2654435761u >> 24);
      done += n;
      return n;
    });
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, +[](char *data, std::size_t item, std::size_t count, void *out) {
      static_cast<std::string *>(out)->append(data, item * count);
      return item * count;
    });
    long status = 0;
    if (curl_easy_perform(curl_) != CURLE_OK || (curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status), status != 200)) {
      std::fprintf(stderr, "upload to %s failed (status %ld)\n", url.c_str(), status);
      std::_Exit(3);
    }
    curl_easy_setopt(curl_, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, Discard);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, nullptr);
    return answer;
  }

private:
  CURL *curl_;
  curl_slist *hosts_ = nullptr, *headers_ = nullptr;
};

double Seconds(Steady::time_point start) { return std::chrono::duration<double>(Steady::now() - start).count(); }

double Latency(const Endpoint &endpoint) {
  Client client(endpoint);
  client.Get(InfoUrl);  // connect first
  constexpr int requests = 300;
  auto start = Steady::now();
  for (int i = 0; i < requests; ++i) client.Get(InfoUrl);
  return Seconds(start) / requests;
}

double Concurrent(const Endpoint &endpoint) {
  constexpr int clients = 100, requests = 20;
  std::vector<std::thread> threads;
  auto start = Steady::now();
  for (int c = 0; c < clients; ++c)
    threads.emplace_back([&] {
      Client client(endpoint);
      for (int i = 0; i < requests; ++i) client.Get(InfoUrl);
    });
  for (auto &t : threads) t.join();
  return Seconds(start) / (clients * requests);
}

double Downloads(const Endpoint &endpoint) {
  constexpr int parallel = 16;
  std::vector<std::thread> threads;
  auto start = Steady::now();
  for (int c = 0; c < parallel; ++c)
    threads.emplace_back([&] {
      Client client(endpoint);
      client.Get(FileUrl);
    });
  for (auto &t : threads) t.join();
  return Seconds(start);
}

// A 1 GiB file uploaded with Drive's simple upload, then downloaded.
double HugeFile(const Endpoint &endpoint) {
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

// The same answers from a bare server: the account JSON as the emulator writes it, and the file.
double RunBare(const std::function<double(const Endpoint &)> &measure, const std::string &accountJson) {
  auto identity = MakeTlsIdentity(CloudEmulator::Hosts());
  auto caPath = std::filesystem::temp_directory_path() / ("bare-ca-" + std::to_string(::getpid()) + ".pem");
  std::ofstream(caPath) << identity.caCertPem;
  BIO *certBio = BIO_new_mem_buf(identity.certPem.data(), static_cast<int>(identity.certPem.size()));
  BIO *keyBio = BIO_new_mem_buf(identity.keyPem.data(), static_cast<int>(identity.keyPem.size()));
  X509 *cert = PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr);
  EVP_PKEY *key = PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr);
  httplib::SSLServer server(cert, key);
  const std::string file(FileBytes, 'b');
  server.Get("/1/account/info", [&](const httplib::Request &, httplib::Response &res) {
    res.set_content(accountJson, "application/json");
  });
  server.Get("/1/files/dropbox/big.bin", [&](const httplib::Request &, httplib::Response &res) {
    res.set_content(file, "application/octet-stream");
  });
  server.Post("/upload/drive/v2/files", [&](const httplib::Request &, httplib::Response &res, const httplib::ContentReader &reader) {
    reader([](const char *, std::size_t) { return true; });
    res.set_content("{\n \"id\": \"huge\"\n}", "application/json");
  });
  server.Get("/drive/v2/files/huge", [&](const httplib::Request &, httplib::Response &res) {
    res.set_content_provider(HugeBytes, "application/octet-stream", [&](std::size_t, std::size_t length, httplib::DataSink &sink) {
      return sink.write(file.data(), std::min(length, file.size()));
    });
  });
  int port = server.bind_to_any_port("127.0.0.1");
  std::thread listener([&] { server.listen_after_bind(); });
  while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  double seconds = measure({static_cast<std::uint16_t>(port), caPath.string(), "bare", "bare"});
  server.stop();
  listener.join();
  X509_free(cert);
  EVP_PKEY_free(key);
  BIO_free(certBio);
  BIO_free(keyBio);
  std::filesystem::remove(caPath);
  return seconds;
}

double RunEmulator(const std::function<double(const Endpoint &)> &measure) {
  CloudEmulator emulator;
  emulator.Start();
  emulator.RegisterClient(Cloud::Dropbox, "bench", "secret");
  emulator.RegisterClient(Cloud::GoogleDrive, "bench", "secret");
  emulator.AddFile(Cloud::Dropbox, "big.bin", std::string(FileBytes, 'b'));
  Endpoint endpoint{emulator.Port(), emulator.CaCertPath().string(), emulator.IssueTokens(Cloud::Dropbox, "bench").accessToken,
                    emulator.IssueTokens(Cloud::GoogleDrive, "bench").accessToken};
  return measure(endpoint);
}

// One measurement in a child process: its time and its own peak memory.
Result InChild(const std::function<double()> &run) {
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

int main(int argc, char **argv) {
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
    std::function<double(const Endpoint &)> measure;
  };
  const Scenario scenarios[] = {
      {"latency, one kept-alive client", "ms/request", 1e3, Latency},
      {"100 concurrent kept-alive clients", "ms/request", 1e3, Concurrent},
      {"16 parallel 8 MiB downloads", "s/batch", 1, Downloads},
      {"1 GiB upload, then its download", "s", 1, HugeFile},
  };
  std::printf("emulator against a bare cpp-httplib server, %d alternating pairs; ratio = emulator / bare time\n", pairs);
  for (const Scenario &s : scenarios) {
    std::vector<double> ours, bare, ratios;
    long oursPeak = 0, barePeak = 0;
    for (int pair = 0; pair < pairs; ++pair) {
      auto runOurs = [&] { return InChild([&] { return RunEmulator(s.measure); }); };
      auto runBare = [&] { return InChild([&] { return RunBare(s.measure, accountJson); }); };
      Result a, b;
      if (pair % 2 == 0) a = runOurs(), b = runBare();
      else b = runBare(), a = runOurs();
      ours.push_back(a.seconds);
      bare.push_back(b.seconds);
      ratios.push_back(a.seconds / b.seconds);
      oursPeak = std::max(oursPeak, a.peakKiB);
      barePeak = std::max(barePeak, b.peakKiB);
    }
    std::printf("%-36s emulator %8.3f %s, bare %8.3f %s; ratio min %.2f median %.2f max %.2f; "
                "peak RSS emulator %ld MiB, bare %ld MiB\n",
                s.name, Median(ours) * s.scale, s.unit, Median(bare) * s.scale, s.unit,
                *std::min_element(ratios.begin(), ratios.end()), Median(ratios),
                *std::max_element(ratios.begin(), ratios.end()), oursPeak / 1024, barePeak / 1024);
  }
  return 0;
}
