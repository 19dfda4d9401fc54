#pragma once
// One TLS connection to the emulator that sends exactly the bytes it is given: for requests no
// well-behaved client would make (conflicting lengths, bodies on GET, trickled headers).

#include <openssl/ssl.h>

#include <cstdint>
#include <map>
#include <string>

namespace EmulatorTest {

struct RawReply {
    int status = 0;                              // 0: no answer (the connection closed or timed out)
    std::map<std::string, std::string> headers;  // lower-case names
    std::string body;
};

class RawConnection {
public:
    RawConnection(std::uint16_t port, const std::string& host);
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool Send(const std::string& bytes);
    RawReply Read(int timeoutMs = 5000);  // one answer, its body framed by Content-Length
    bool ClosedByServer(int timeoutMs);   // true when the server ends the connection in time

private:
    int fd_ = -1;
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
    std::string pending_;
    bool Fill(int timeoutMs);
};

}  // namespace EmulatorTest
