#include "support/RawHttpsServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace Nimbo::Testing {

namespace {

bool SameName(const std::string& A, const std::string& B) {
    return A.size() == B.size() && std::equal(A.begin(), A.end(), B.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

const char* ReasonPhrase(int ACode) {
    switch (ACode) {
        case 200:
            return "OK";
        case 201:
            return "Created";
        case 204:
            return "No Content";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 303:
            return "See Other";
        case 307:
            return "Temporary Redirect";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 404:
            return "Not Found";
        case 500:
            return "Internal Server Error";
        default:
            return "Status";
    }
}

// A connection's byte channel, with or without TLS.
class Channel {
public:
    Channel(int AFd, SSL_CTX* AContext) : FFd(AFd) {
        if (AContext) {
            FSsl = SSL_new(AContext);
            SSL_set_fd(FSsl, AFd);
            if (SSL_accept(FSsl) != 1) FBroken = true;
        }
    }
    ~Channel() {
        if (FSsl) {
            if (!FBroken) SSL_shutdown(FSsl);
            SSL_free(FSsl);
        }
    }
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    bool Broken() const { return FBroken; }

    // Reads some bytes; false at the end of the connection.
    bool ReadSome(std::string& ABuffer) {
        char chunk[16384];
        const int n = FSsl ? SSL_read(FSsl, chunk, sizeof chunk) : static_cast<int>(::read(FFd, chunk, sizeof chunk));
        if (n <= 0) return false;
        ABuffer.append(chunk, static_cast<std::size_t>(n));
        return true;
    }

    bool WriteAll(const std::string& AData) {
        std::size_t done = 0;
        while (done < AData.size()) {
            const int chunk = static_cast<int>(std::min<std::size_t>(AData.size() - done, 1 << 20));
            const int n = FSsl ? SSL_write(FSsl, AData.data() + done, chunk)
                               : static_cast<int>(::send(FFd, AData.data() + done, chunk, MSG_NOSIGNAL));
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

private:
    int FFd;
    SSL* FSsl = nullptr;
    bool FBroken = false;
};

// Reads one request from the channel; false when the connection ended first.
bool ReadRequest(Channel& AChannel, std::string& APending, RawRequest& ARequest) {
    std::size_t headEnd;
    while ((headEnd = APending.find("\r\n\r\n")) == std::string::npos)
        if (!AChannel.ReadSome(APending)) return false;
    const std::string head = APending.substr(0, headEnd);
    APending.erase(0, headEnd + 4);

    std::size_t lineStart = 0;
    bool first = true;
    while (lineStart <= head.size()) {
        std::size_t lineEnd = head.find("\r\n", lineStart);
        if (lineEnd == std::string::npos) lineEnd = head.size();
        const std::string line = head.substr(lineStart, lineEnd - lineStart);
        if (first) {
            const std::size_t sp1 = line.find(' ');
            const std::size_t sp2 = line.rfind(' ');
            ARequest.Method = line.substr(0, sp1);
            ARequest.Target = line.substr(sp1 + 1, sp2 - sp1 - 1);
            first = false;
        } else {
            ARequest.HeaderLines.push_back(line);
        }
        lineStart = lineEnd + 2;
    }
    const std::string length = ARequest.HeaderValue("Content-Length");
    const std::size_t bodySize = length.empty() ? 0 : std::stoul(length);
    while (APending.size() < bodySize)
        if (!AChannel.ReadSome(APending)) return false;
    ARequest.Body = APending.substr(0, bodySize);
    APending.erase(0, bodySize);
    return true;
}

}  // namespace

std::string RawRequest::HeaderValue(const std::string& AName) const {
    for (const std::string& line : HeaderLines) {
        const std::size_t colon = line.find(':');
        if (colon != std::string::npos && SameName(line.substr(0, colon), AName)) {
            std::size_t start = colon + 1;
            while (start < line.size() && line[start] == ' ') ++start;
            return line.substr(start);
        }
    }
    return {};
}

bool RawRequest::HasHeader(const std::string& AName) const {
    return std::any_of(HeaderLines.begin(), HeaderLines.end(), [&](const std::string& line) {
        const std::size_t colon = line.find(':');
        return colon != std::string::npos && SameName(line.substr(0, colon), AName);
    });
}

std::string MakeResponse(int ACode, const std::string& ABody, const std::vector<std::string>& AHeaderLines) {
    std::string response = "HTTP/1.1 " + std::to_string(ACode) + " " + ReasonPhrase(ACode) + "\r\n";
    for (const std::string& line : AHeaderLines) response += line + "\r\n";
    response += "Content-Length: " + std::to_string(ABody.size()) + "\r\n\r\n" + ABody;
    return response;
}

RawHttpsServer::RawHttpsServer(Handler AHandler) : RawHttpsServer(std::move(AHandler), Options{}) {}

RawHttpsServer::RawHttpsServer(Handler AHandler, Options AOptions)
    : FHandler(std::move(AHandler)), FOptions(std::move(AOptions)) {
    // A client that drops the connection mid-handshake must not kill the test process.
    signal(SIGPIPE, SIG_IGN);
    if (FOptions.Tls) {
        FCerts = MakeTestCertificates(FOptions.Names);
        FCaFile = WriteTempFile("test-ca-", FCerts.CaPem);
        SSL_CTX* context = SSL_CTX_new(TLS_server_method());
        std::unique_ptr<BIO, decltype(&BIO_free)> certBio(BIO_new_mem_buf(FCerts.CertPem.data(), -1), BIO_free);
        std::unique_ptr<BIO, decltype(&BIO_free)> keyBio(BIO_new_mem_buf(FCerts.KeyPem.data(), -1), BIO_free);
        std::unique_ptr<X509, decltype(&X509_free)> cert(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr),
                                                         X509_free);
        std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
            PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
        if (!context || SSL_CTX_use_certificate(context, cert.get()) != 1 ||
            SSL_CTX_use_PrivateKey(context, key.get()) != 1)
            throw std::runtime_error("test server: TLS setup failed");
        FContext = context;
    }

    FListenFd = socket(AF_INET, SOCK_STREAM, 0);
    const int yes = 1;
    setsockopt(FListenFd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(FListenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(FListenFd, 64) != 0)
        throw std::runtime_error("test server: cannot listen on loopback");
    socklen_t length = sizeof address;
    getsockname(FListenFd, reinterpret_cast<sockaddr*>(&address), &length);
    FPort = ntohs(address.sin_port);
    FAcceptThread = std::thread([this] { AcceptLoop(); });
}

RawHttpsServer::~RawHttpsServer() {
    FStopping = true;
    shutdown(FListenFd, SHUT_RDWR);
    FAcceptThread.join();
    close(FListenFd);
    {
        std::lock_guard lock(FLock);
        for (int fd : FConnectionFds) shutdown(fd, SHUT_RDWR);
    }
    for (std::thread& t : FConnectionThreads) t.join();
    for (int fd : FConnectionFds) close(fd);
    if (FContext) SSL_CTX_free(static_cast<SSL_CTX*>(FContext));
    if (!FCaFile.empty()) std::remove(FCaFile.c_str());
}

std::vector<RawRequest> RawHttpsServer::Requests() const {
    std::lock_guard lock(FLock);
    return FRequests;
}

void RawHttpsServer::Remember(const RawRequest& ARequest) {
    std::lock_guard lock(FLock);
    FRequests.push_back(ARequest);
}

void RawHttpsServer::AcceptLoop() {
    while (!FStopping) {
        const int fd = accept(FListenFd, nullptr, nullptr);
        if (fd < 0) {
            if (FStopping) return;
            continue;
        }
        std::lock_guard lock(FLock);
        FConnectionFds.push_back(fd);
        FConnectionThreads.emplace_back([this, fd, number = FConnectionFds.size()] { Serve(fd, number); });
    }
}

void RawHttpsServer::Serve(int AFd, std::size_t AConnection) {
    if (FOptions.Silent) {
        pollfd wait{AFd, POLLRDHUP, 0};
        while (!FStopping && poll(&wait, 1, 50) == 0) {}
        return;
    }
    Channel channel(AFd, static_cast<SSL_CTX*>(FContext));
    if (channel.Broken()) return;
    std::string pending;
    RawRequest request;
    while (!FStopping && ReadRequest(channel, pending, request)) {
        request.Connection = AConnection;
        Remember(request);
        const std::optional<std::string> response = FHandler(request);
        if (!response) {
            std::string ignored;
            while (!FStopping && channel.ReadSome(ignored)) {}
            return;
        }
        if (!channel.WriteAll(*response)) return;
        request = RawRequest{};
    }
}

}  // namespace Nimbo::Testing
