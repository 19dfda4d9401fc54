// Downloads a large body over HTTPS from a local server with the library and with the curl tool, each
// as a process of its own, in alternating pairs: into nothing (the bytes are counted and dropped;
// curl writes to /dev/null) and into a new file. Prints the per-pair throughput ratios and the peak
// memory of both sides as "@row|..." lines (see BenchSupport.h).
//
//   http_download_bench [--size MIB (default 256)] [--pairs N (default 5)]
//   http_download_bench --fetch URL --ca FILE --connect-to MAPPING --out FILE|-    (our side)
#include <httplib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "BenchSupport.h"
#include "Nimbo/Connection/Http.h"
#include "Nimbo/Connection/HttpTransport.h"
#include "support/TestCertificates.h"

using namespace Nimbo::Connection;

namespace {

const char* const Host = "bench.test.example";

// Counts what it is given and keeps nothing.
class TCountingBuffer : public std::streambuf {
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

// Our side: one GET through the library, the body into a new file or into nothing.
int Fetch(const std::string& AUrl, const std::string& ACaFile, const std::string& AConnectTo, const std::string& AOut) {
    THttpTransportSettings settings;
    settings.CaFile = ACaFile;
    settings.ConnectTo = {AConnectTo};
    THttpTransport::Configure(settings);
    THttpClient client(Host);
    if (AOut == "-") {
        TCountingBuffer counter;
        std::ostream out(&counter);
        client.Get(AUrl).Execute(out);
        std::cout << counter.Count << "\n";
    } else {
        std::ofstream out(AOut, std::ios::binary | std::ios::trunc);
        client.Get(AUrl).Execute(out);
        out.close();
        if (!out) throw std::runtime_error("cannot write " + AOut);
    }
    return 0;
}

std::string OptionAfter(int argc, char** argv, const std::string& AName, const std::string& ADefault = {}) {
    for (int i = 1; i + 1 < argc; ++i)
        if (argv[i] == AName) return argv[i + 1];
    return ADefault;
}

long WholeNumber(const std::string& AName, const std::string& AText, long AMin, long AMax) {
    char* end = nullptr;
    const long value = std::strtol(AText.c_str(), &end, 10);
    if (AText.empty() || *end || value < AMin || value > AMax) {
        std::cerr << "http_download_bench: " << AName << " needs a whole number from " << AMin << " to " << AMax
                  << "\n";
        std::exit(2);
    }
    return value;
}

// The temporary files of one run, removed at the end.
struct TTempFiles {
    std::vector<std::string> Paths;
    ~TTempFiles() {
        for (const std::string& path : Paths) std::remove(path.c_str());
    }
};

int Compare(std::size_t AMiB, int APairs) {
    const std::size_t size = AMiB * 1024 * 1024;
    TTempFiles temp;
    const auto certs = Nimbo::Testing::MakeTestCertificates({Host});
    const std::string caFile = Nimbo::Testing::WriteTempFile("bench-ca-", certs.CaPem);
    const std::string certFile = Nimbo::Testing::WriteTempFile("bench-cert-", certs.CertPem);
    const std::string keyFile = Nimbo::Testing::WriteTempFile("bench-key-", certs.KeyPem);
    const std::string dir =
        std::filesystem::temp_directory_path() / ("nimbo-download-bench-" + std::to_string(::getpid()));
    const std::string oursFile = dir + "-ours.bin", curlFile = dir + "-curl.bin";
    temp.Paths = {caFile, certFile, keyFile, oursFile, curlFile};

    httplib::SSLServer server(certFile.c_str(), keyFile.c_str());
    const std::string chunk(1 << 20, 'x');
    server.Get("/big", [&](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider(size, "application/octet-stream",
                                      [&](std::size_t, std::size_t length, httplib::DataSink& sink) {
                                          return sink.write(chunk.data(), std::min(length, chunk.size()));
                                      });
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { server.listen_after_bind(); });
    while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    const std::string curl = Bench::FindProgram("curl");
    const std::string url = std::string("https://") + Host + "/big";
    const std::string connectTo = std::string(Host) + ":443:127.0.0.1:" + std::to_string(port);
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const Bench::TRunOptions runOptions{.Timeout = std::chrono::seconds(120 + AMiB / 4)};
    int status = 0;
    try {
        if (curl.empty()) throw std::runtime_error("the curl program is not in PATH");
        for (const bool toFile : {false, true}) {
            const std::string oursOut = toFile ? oursFile : "-", curlOut = toFile ? curlFile : "/dev/null";
            auto checked = [&](const std::vector<std::string>& AArgs, const std::string& AFile) {
                if (toFile) std::remove(AFile.c_str());
                const Bench::TRunResult result = Bench::Run(AArgs, runOptions);
                if (toFile && std::filesystem::file_size(AFile) != size) throw std::runtime_error(AFile + " is short");
                return result;
            };
            const Bench::TPairs pairs = Bench::RunPairs(
                APairs,
                [&](int) {
                    return checked({self, "--fetch", url, "--ca", caFile, "--connect-to", connectTo, "--out", oursOut},
                                   oursFile);
                },
                [&](int) {
                    return checked(
                        {curl, "-sS", "--fail", "--cacert", caFile, "--connect-to", connectTo, "-o", curlOut, url},
                        curlFile);
                });
            const Bench::TSpread ratio = Bench::ThroughputRatio(pairs);
            const double mib = static_cast<double>(AMiB);
            Bench::PrintRow(
                {.Benchmark =
                     "HTTPS GET " + std::to_string(AMiB) + " MiB " + (toFile ? "into a new file" : "into nothing"),
                 .Ratio = "throughput library/curl",
                 .Spread = ratio,
                 .Pairs = APairs,
                 .Goal = ">= 0.90",
                 .Verdict = Bench::VerdictAtLeast(ratio, 0.90),
                 .OursPeak = Bench::MiB(Bench::MaxPeak(pairs.Ours)),
                 .BasePeak = Bench::MiB(Bench::MaxPeak(pairs.Base)),
                 .Note = "median library " + Bench::Fixed(mib / Bench::MedianSeconds(pairs.Ours), 0) + " MiB/s, curl " +
                         Bench::Fixed(mib / Bench::MedianSeconds(pairs.Base), 0) + " MiB/s; " +
                         (toFile ? "library: ofstream; curl -o FILE" : "library: counting stream; curl -o /dev/null")});
        }
    } catch (const std::exception& e) {
        std::cerr << "http_download_bench: " << e.what() << "\n";
        status = 1;
    }
    server.stop();
    serving.join();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc > 1 && std::string(argv[1]) == "--fetch")
            return Fetch(OptionAfter(argc, argv, "--fetch"), OptionAfter(argc, argv, "--ca"),
                         OptionAfter(argc, argv, "--connect-to"), OptionAfter(argc, argv, "--out", "-"));
        const auto mib =
            static_cast<std::size_t>(WholeNumber("--size", OptionAfter(argc, argv, "--size", "256"), 1, 64 * 1024));
        const int pairs = static_cast<int>(WholeNumber("--pairs", OptionAfter(argc, argv, "--pairs", "5"), 1, 100));
        return Compare(mib, pairs);
    } catch (const std::exception& e) {
        std::cerr << "http_download_bench: " << e.what() << "\n";
        return 1;
    }
}
