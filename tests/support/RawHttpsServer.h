#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/TestCertificates.h"

namespace Nimbo::Testing {

// One request exactly as it arrived on the wire.
struct RawRequest {
    std::string Method;
    std::string Target;                    // path and query as sent
    std::vector<std::string> HeaderLines;  // in arrival order, without CR LF
    std::string Body;
    std::size_t Connection = 0;  // which connection it came on, counted from 1 in accepting order

    // The value of the first header with this name (case-insensitive), or empty.
    std::string HeaderValue(const std::string& AName) const;
    bool HasHeader(const std::string& AName) const;
};

// The bytes of a complete response.
std::string MakeResponse(int ACode, const std::string& ABody, const std::vector<std::string>& AHeaderLines = {});

// A loopback HTTP/1.1 server (TLS unless told otherwise) that records every request it receives
// and answers with what the handler returns; std::nullopt means "never answer" (the connection
// stays open until the server stops). Each connection has its own thread.
class RawHttpsServer {
public:
    using Handler = std::function<std::optional<std::string>(const RawRequest&)>;

    struct Options {
        bool Tls = true;
        std::vector<std::string> Names = {"localhost", "127.0.0.1"};
        // Accept connections but never read or write on them (for connect-phase time-outs).
        bool Silent = false;
    };

    explicit RawHttpsServer(Handler AHandler);
    RawHttpsServer(Handler AHandler, Options AOptions);
    ~RawHttpsServer();

    RawHttpsServer(const RawHttpsServer&) = delete;
    RawHttpsServer& operator=(const RawHttpsServer&) = delete;

    int Port() const { return FPort; }
    // PEM file of the CA that issued this server's certificate.
    const std::string& CaFile() const { return FCaFile; }
    std::vector<RawRequest> Requests() const;

private:
    void AcceptLoop();
    void Serve(int AFd, std::size_t AConnection);
    void Remember(const RawRequest& ARequest);

    Handler FHandler;
    Options FOptions;
    TestCertificates FCerts;
    std::string FCaFile;
    void* FContext = nullptr;  // SSL_CTX
    int FListenFd = -1;
    int FPort = 0;
    std::atomic<bool> FStopping{false};
    std::thread FAcceptThread;
    mutable std::mutex FLock;
    std::vector<std::thread> FConnectionThreads;
    std::vector<int> FConnectionFds;
    std::vector<RawRequest> FRequests;
};

}  // namespace Nimbo::Testing
