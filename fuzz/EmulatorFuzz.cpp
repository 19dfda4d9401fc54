// Sends arbitrary requests to an emulator in this process, over TLS on its port like any client.
// Whatever arrives, the emulator answers with a well-formed HTTP response in time, and never with
// the 500 that stands for an exception escaping a service (or closes the connection without a word
// when the request cannot be read as HTTP at all).
//
// Input: the request as written on the wire, with two conveniences. Markers are replaced before
// sending: @google@, @dropbox@, @live@ and @box@ by that service's access token, @google-refresh@
// (and so on) by its refresh token, @google-file@ / @google-folder@ (and so on) by the id of the file
// "Docs/a.txt" and of the folder "Docs", @client@ and @secret@ by the client's credentials. A
// request without a CR LF is taken as written with bare line breaks: its head gets CR LF line ends
// and a Content-Length for the rest.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "emulator/CloudEmulator.h"

using namespace Nimbo::Emulator;

namespace {

const std::string ClientId = "fuzz-client";
const std::string Secret = "fuzz-secret";
constexpr int AnswerTimeoutSeconds = 30;  // well above the emulator's own 10-second read limit

[[noreturn]] void Fail(const std::string& AWhat, std::string_view ARequest) {
    std::fprintf(stderr, "%s\nrequest:\n%.*s\n", AWhat.c_str(),
                 static_cast<int>(std::min<std::size_t>(ARequest.size(), 4000)), ARequest.data());
    std::abort();
}

struct TSslDeleter {
    void operator()(SSL* ASsl) const { SSL_free(ASsl); }
    void operator()(SSL_CTX* AContext) const { SSL_CTX_free(AContext); }
};

class TSocket {
public:
    TSocket() : FFd(::socket(AF_INET, SOCK_STREAM, 0)) {}
    ~TSocket() {
        if (FFd >= 0) ::close(FFd);
    }
    TSocket(const TSocket&) = delete;
    TSocket& operator=(const TSocket&) = delete;
    int Fd() const { return FFd; }

private:
    int FFd;
};

class TFuzzedEmulator {
public:
    TFuzzedEmulator() : FContext(SSL_CTX_new(TLS_client_method())) {
        FEmulator.Start();
        if (!FContext) Fail("no TLS context", {});
    }

    // Empty services with one client, its tokens, and a folder holding a file; returns the markers.
    std::map<std::string, std::string> Reset() {
        FEmulator.ResetAll();
        std::map<std::string, std::string> markers{{"@client@", ClientId}, {"@secret@", Secret}};
        for (const Cloud cloud : AllClouds) {
            const std::string name = CloudName(cloud);
            FEmulator.RegisterClient(cloud, ClientId, Secret, {"https://app.example/redirect"});
            const TokenPair tokens = FEmulator.IssueTokens(cloud, ClientId);
            markers["@" + name + "@"] = tokens.accessToken;
            markers["@" + name + "-refresh@"] = tokens.refreshToken;
            markers["@" + name + "-folder@"] = FEmulator.AddFolder(cloud, "Docs");
            markers["@" + name + "-file@"] = FEmulator.AddFile(cloud, "Docs/a.txt", "hello, world\n", "text/plain");
        }
        return markers;
    }

    // Sends ARequest on a new connection, ends the sending side and returns all that comes back.
    std::string Exchange(const std::string& ARequest) {
        // The handshake comes before any of the request, so its rare failure on a loaded machine says
        // nothing about the request: it is tried again.
        std::string error;
        std::unique_ptr<TConnection> connection;
        for (int attempt = 0; attempt < 3 && !connection; ++attempt) connection = Connect(error);
        if (!connection) Fail("cannot reach the emulator: " + error, ARequest);
        SSL* const ssl = connection->Ssl.get();
        const int fd = connection->Socket.Fd();

        for (std::size_t sent = 0; sent < ARequest.size();) {
            const int n = SSL_write(ssl, ARequest.data() + sent, static_cast<int>(ARequest.size() - sent));
            if (n <= 0) break;  // the emulator may close early, having answered a request it could not read
            sent += static_cast<std::size_t>(n);
        }
        // Nothing more follows: the emulator sees the end of an incomplete request at once.
        SSL_shutdown(ssl);
        ::shutdown(fd, SHUT_WR);

        std::string answer;
        char buffer[16384];
        const auto start = std::chrono::steady_clock::now();
        for (;;) {
            // Acknowledged at once, so that the emulator's next write does not wait for a delayed ACK.
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
            const int n = SSL_read(ssl, buffer, sizeof buffer);
            if (n <= 0) break;
            answer.append(buffer, static_cast<std::size_t>(n));
        }
        if (std::chrono::steady_clock::now() - start >= std::chrono::seconds(AnswerTimeoutSeconds))
            Fail("the emulator did not finish its answer in time", ARequest);
        ERR_clear_error();
        return answer;
    }

private:
    struct TConnection {
        TSocket Socket;
        std::unique_ptr<SSL, TSslDeleter> Ssl;
    };

    // A TLS connection to the emulator, or null with the reason in AError.
    std::unique_ptr<TConnection> Connect(std::string& AError) {
        auto connection = std::make_unique<TConnection>();
        const int fd = connection->Socket.Fd();
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(FEmulator.Port());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const timeval timeout{AnswerTimeoutSeconds, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            AError = std::string("connect: ") + std::strerror(errno);
            return nullptr;
        }
        connection->Ssl.reset(SSL_new(FContext.get()));
        SSL_set_fd(connection->Ssl.get(), fd);
        if (const int result = SSL_connect(connection->Ssl.get()); result != 1) {
            char reason[256] = "";
            ERR_error_string_n(ERR_get_error(), reason, sizeof reason);
            AError = "TLS handshake: error " + std::to_string(SSL_get_error(connection->Ssl.get(), result)) + ", " +
                     reason + ", " + std::strerror(errno);
            ERR_clear_error();
            return nullptr;
        }
        return connection;
    }

    CloudEmulator FEmulator;
    std::unique_ptr<SSL_CTX, TSslDeleter> FContext;
};

// Started before the first input; stopped (its temporary files removed) when the fuzzer exits.
TFuzzedEmulator& Emulator() {
    static TFuzzedEmulator emulator;
    return emulator;
}

std::string ReplaceMarkers(std::string AText, const std::map<std::string, std::string>& AMarkers) {
    for (const auto& [marker, value] : AMarkers)
        for (std::size_t at = AText.find(marker); at != std::string::npos; at = AText.find(marker, at + value.size()))
            AText.replace(at, marker.size(), value);
    return AText;
}

// A request written with bare line breaks, framed for the wire.
std::string Framed(const std::string& AText) {
    if (AText.find("\r\n") != std::string::npos) return AText;
    const std::size_t headEnd = AText.find("\n\n");
    std::string head = AText.substr(0, headEnd);
    while (head.ends_with('\n')) head.pop_back();
    const std::string body = headEnd == std::string::npos ? "" : AText.substr(headEnd + 2);
    std::string framed;
    for (const char c : head) {
        if (c == '\n')
            framed += "\r\n";
        else
            framed.push_back(c);
    }
    return framed + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::signal(SIGPIPE, SIG_IGN);  // the emulator may close before the whole request is written
    Emulator();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
    const std::string request =
        Framed(ReplaceMarkers(std::string(reinterpret_cast<const char*>(AData), ASize), Emulator().Reset()));
    const std::string answer = Emulator().Exchange(request);
    if (answer.empty()) return 0;
    if (answer.size() < 12 || answer.compare(0, 9, "HTTP/1.1 ") != 0)
        Fail("the answer is not HTTP: " + answer, request);
    if (answer.compare(9, 3, "500") == 0) Fail("the emulator failed inside: " + answer, request);
    return 0;
}
