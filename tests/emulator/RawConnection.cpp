#include "RawConnection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace EmulatorTest {

RawConnection::RawConnection(std::uint16_t port, const std::string& host) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot connect to the emulator");
    ctx_ = SSL_CTX_new(TLS_client_method());
    ssl_ = SSL_new(ctx_);
    SSL_set_fd(ssl_, fd_);
    SSL_set_tlsext_host_name(ssl_, host.c_str());
    if (SSL_connect(ssl_) != 1) throw std::runtime_error("TLS handshake with the emulator failed");
}

RawConnection::~RawConnection() {
    SSL_free(ssl_);
    SSL_CTX_free(ctx_);
    ::close(fd_);
}

bool RawConnection::Send(const std::string& bytes) {
    return bytes.empty() ||
           SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size());
}

bool RawConnection::Fill(int timeoutMs) {
    if (SSL_pending(ssl_) == 0) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return false;
    }
    char buffer[16384];
    int n = SSL_read(ssl_, buffer, sizeof buffer);
    if (n <= 0) return false;
    pending_.append(buffer, static_cast<std::size_t>(n));
    return true;
}

RawReply RawConnection::Read(int timeoutMs) {
    RawReply reply;
    std::size_t end;
    while ((end = pending_.find("\r\n\r\n")) == std::string::npos)
        if (!Fill(timeoutMs)) return reply;
    std::string head = pending_.substr(0, end);
    pending_.erase(0, end + 4);
    reply.status = std::stoi(head.substr(9, 3));
    for (std::size_t at = head.find("\r\n"); at != std::string::npos;) {
        auto next = head.find("\r\n", at + 2);
        std::string line = head.substr(at + 2, next == std::string::npos ? std::string::npos : next - at - 2);
        if (auto colon = line.find(':'); colon != std::string::npos) {
            std::string name = line.substr(0, colon);
            for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            reply.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
        }
        at = next;
    }
    std::size_t length = reply.headers.count("content-length") ? std::stoul(reply.headers["content-length"]) : 0;
    while (pending_.size() < length)
        if (!Fill(timeoutMs)) break;
    reply.body = pending_.substr(0, length);
    pending_.erase(0, std::min(length, pending_.size()));
    return reply;
}

bool RawConnection::ClosedByServer(int timeoutMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < until) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        char buffer[4096];
        int n = SSL_read(ssl_, buffer, sizeof buffer);
        if (n <= 0) return true;
    }
    return false;
}

}  // namespace EmulatorTest
