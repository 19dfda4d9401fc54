// Downloads a large body over HTTPS from a local server with the library (into a stream and into a
// file) and with the curl command-line tool, in the same run, and prints throughputs, their ratio
// and the process's peak memory.
//
//   http_download_bench [size in MiB, default 256]
#include <httplib.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#include "Nimbo/Connection/Http.h"
#include "Nimbo/Connection/HttpTransport.h"
#include "support/TestCertificates.h"

using namespace Nimbo::Connection;
using Clock = std::chrono::steady_clock;

namespace {

const char* const Host = "bench.test.example";

// Counts what it is given and keeps nothing.
class CountingBuffer : public std::streambuf {
public:
    std::size_t Count = 0;

protected:
    std::streamsize xsputn(const char*, std::streamsize n) override {
        Count += static_cast<std::size_t>(n);
        return n;
    }
    int_type overflow(int_type c) override {
        ++Count;
        return traits_type::not_eof(c);
    }
};

long PeakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

template <class F>
double BestOf(int runs, F&& once) {
    double best = 1e9;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        once();
        best = std::min(best, Seconds(start));
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    const std::size_t size = mib * 1024 * 1024;
    const auto certs = Nimbo::Testing::MakeTestCertificates({Host});
    const std::string caFile = Nimbo::Testing::WriteTempFile("bench-ca-", certs.CaPem);
    const std::string certFile = Nimbo::Testing::WriteTempFile("bench-cert-", certs.CertPem);
    const std::string keyFile = Nimbo::Testing::WriteTempFile("bench-key-", certs.KeyPem);

    httplib::SSLServer server(certFile.c_str(), keyFile.c_str());
    const std::string chunk(1 << 20, 'x');
    server.Get("/big", [&](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider(size, "application/octet-stream",
                                      [&](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                          const std::size_t n = std::min(length, chunk.size());
                                          (void)offset;
                                          return sink.write(chunk.data(), n);
                                      });
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { server.listen_after_bind(); });

    THttpTransportSettings settings;
    settings.CaFile = caFile;
    settings.ConnectTo = {std::string(Host) + ":443:127.0.0.1:" + std::to_string(port)};
    THttpTransport::Configure(settings);
    THttpClient client(Host);
    const std::string file = (std::filesystem::temp_directory_path() / "nimbo-bench-download.bin").string();
    const std::string url = std::string("https://") + Host + "/big";
    const std::string curlBase = "curl -s -f --cacert " + caFile + " --connect-to " + Host + ":443:127.0.0.1:" +
                                 std::to_string(port) + " " + url;

    const long rssBefore = PeakRssKiB();
    const int runs = 3;
    const double ourStream = BestOf(runs, [&] {
        CountingBuffer counter;
        std::ostream out(&counter);
        client.Get("/big").Execute(out);
        if (counter.Count != size) throw std::runtime_error("short download");
    });
    const double ourFile = BestOf(runs, [&] {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        client.Get("/big").Execute(out);
    });
    if (std::filesystem::file_size(file) != size) throw std::runtime_error("short file");
    const long rssAfter = PeakRssKiB();
    const double curlNull = BestOf(runs, [&] {
        if (std::system((curlBase + " -o /dev/null").c_str()) != 0) throw std::runtime_error("curl failed");
    });
    const double curlFile = BestOf(runs, [&] {
        if (std::system((curlBase + " -o " + file).c_str()) != 0) throw std::runtime_error("curl failed");
    });

    const double mb = static_cast<double>(size) / (1024 * 1024);
    std::printf("body: %zu MiB over HTTPS on loopback, best of %d runs\n", mib, runs);
    std::printf("%-28s %10s %10s\n", "", "MiB/s", "vs curl");
    std::printf("%-28s %10.1f %10.2f\n", "library -> stream", mb / ourStream, curlNull / ourStream);
    std::printf("%-28s %10.1f %10s\n", "curl tool -> /dev/null", mb / curlNull, "1.00");
    std::printf("%-28s %10.1f %10.2f\n", "library -> file", mb / ourFile, curlFile / ourFile);
    std::printf("%-28s %10.1f %10s\n", "curl tool -> file", mb / curlFile, "1.00");
    std::printf("peak RSS of this process: %ld KiB before the downloads, %ld KiB after (body %zu KiB)\n", rssBefore,
                rssAfter, size / 1024);

    server.stop();
    serving.join();
    for (const std::string& f : {caFile, certFile, keyFile, file}) std::remove(f.c_str());
    return 0;
}
