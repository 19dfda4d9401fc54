// cloud-emulator: serves the four emulated cloud services on one loopback port until stopped.

#include "emulator/CloudEmulator.h"

#include <unistd.h>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

void Usage(std::ostream& out) {
    out << "cloud-emulator " << NIMBO_VERSION << "\n";
    out << "usage: cloud-emulator [--port N] [--data DIR] [--print-ca | --ca-file PATH] [--auto-approve] [--max-body "
           "BYTES] [--upload-session-lifetime SECONDS]\n"
           "  --port N        listen on 127.0.0.1:N (default: a free port, printed at start)\n"
           "  --data DIR      keep certificates and service state in DIR between runs\n"
           "  --print-ca      print the CA certificate clients must trust, then keep serving\n"
           "  --ca-file PATH  write the CA certificate to PATH\n"
           "  --auto-approve  sign-in pages approve at once instead of asking\n"
           "  --max-body N    refuse request bodies over N bytes with 413 (default 5368709120)\n"
           "  --upload-session-lifetime N  Google Drive upload sessions answer 404 N seconds after they start\n"
           "                  (default a week)\n"
           "Serves Google Drive v2 and v3, Dropbox v1 and v2, OneDrive through Live Connect v5.0 and Microsoft\n"
           "Graph, and Box 2.0, with their OAuth 2.0 sign-in pages, chosen by the Host header; map every host\n"
           "below to 127.0.0.1:PORT and trust the CA:\n";
    for (const auto& host : Nimbo::Emulator::CloudEmulator::Hosts()) out << "  " << host << "\n";
}

}  // namespace

int main(int argc, char** argv) {
    using namespace Nimbo::Emulator;
    EmulatorOptions options;
    bool printCa = false, autoApprove = false;
    std::string caFile;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::cerr << "cloud-emulator: " << arg << " needs a value\n";
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--port") {
            try {
                int port = std::stoi(value());
                if (port < 0 || port > 65535) throw std::out_of_range("port");
                options.port = static_cast<std::uint16_t>(port);
            } catch (const std::exception&) {
                std::cerr << "cloud-emulator: --port needs a number from 0 to 65535\n";
                return 2;
            }
        } else if (arg == "--max-body") {
            std::string text = value();
            if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) {
                std::cerr << "cloud-emulator: --max-body needs a number of bytes\n";
                return 2;
            }
            options.maxBodyBytes = std::stoull(text);
        } else if (arg == "--upload-session-lifetime") {
            std::string text = value();
            if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
                std::cerr << "cloud-emulator: --upload-session-lifetime needs a number of seconds\n";
                return 2;
            }
            options.uploadSessionLifetime = std::chrono::seconds(std::stoull(text));
        } else if (arg == "--data") {
            options.dataDir = value();
        } else if (arg == "--print-ca") {
            printCa = true;
        } else if (arg == "--ca-file") {
            caFile = value();
        } else if (arg == "--auto-approve") {
            autoApprove = true;
        } else if (arg == "--help" || arg == "-h") {
            Usage(std::cout);
            return 0;
        } else if (arg == "--version") {
            std::cout << "cloud-emulator " << NIMBO_VERSION << "\n";
            return 0;
        } else {
            std::cerr << "cloud-emulator: unknown option " << arg << "\n";
            Usage(std::cerr);
            return 2;
        }
    }
    try {
        CloudEmulator emulator(options);
        if (autoApprove) emulator.SetSignInDecision(SignInDecision::Allow);
        emulator.Start();
        if (!caFile.empty()) {
            std::ofstream out(caFile, std::ios::trunc);
            out << emulator.CaPem();
            if (!out) throw std::runtime_error("cannot write " + caFile);
        }
        if (printCa) std::cout << emulator.CaPem() << std::flush;
        std::cout << "cloud-emulator listening on 127.0.0.1:" << emulator.Port() << "\n"
                  << "CA certificate: " << (caFile.empty() ? emulator.CaCertPath().string() : caFile) << "\n"
                  << "curl example: curl --cacert <CA> --connect-to www.googleapis.com:443:127.0.0.1:"
                  << emulator.Port() << " https://www.googleapis.com/drive/v2/about\n"
                  << std::flush;
        std::signal(SIGINT, OnSignal);
        std::signal(SIGTERM, OnSignal);
        while (!g_stop) pause();
        emulator.Stop();
    } catch (const std::exception& e) {
        std::cerr << "cloud-emulator: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
