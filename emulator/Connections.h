#pragma once
// The connection layer under the services: one thread per connection (an idle keep-alive client
// never holds a shared worker), a deadline on reading each request head and its body (a client
// trickling its headers or its body is cut off), Nagle off, a listen backlog sized for many clients, and closing a
// connection whose remaining input cannot be trusted once its answer is written.

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace Nimbo::Emulator {

struct ConnectionLimits {
    std::size_t maxConnections = 1024;              // further clients wait in the listen backlog
    std::chrono::milliseconds headDeadline{10000};  // TLS handshake and request head, whole
    std::chrono::seconds keepAlive{5};
    std::chrono::seconds readTimeout{30};   // per read while a body arrives
    std::uint64_t minBodyRate = 64u << 10;  // bytes/s a body must average, after the head's deadline as grace
};

class Connections {
public:
    explicit Connections(ConnectionLimits limits);
    ~Connections();
    Connections(const Connections&) = delete;
    Connections& operator=(const Connections&) = delete;

    // Before binding: thread per connection, timeouts, TCP_NODELAY, the head-deadline watch.
    void Install(httplib::SSLServer& server);
    // After binding: widens the listen backlog the HTTP library set.
    void AfterBind() const;
    // Cuts every open connection (used when stopping).
    void CloseAll();

    // On the connection's own thread:
    // The request head arrived: its deadline is met, and the body's (of the length declared, 0 for
    // a chunked one) starts.
    static void HeadRead(std::uint64_t declaredBodyBytes);
    static void BodyArrived(std::uint64_t bytesSoFar);     // a chunked body earns time as it comes
    static void BodyRead();                                // the whole request is in: no deadline while it is answered
    static void AnswerWritten();                           // the next request head has a fresh deadline
    static void CloseAfterAnswer(httplib::Response& res);  // input left unread: close when answered
    // Reads up to `length` body bytes that the HTTP library leaves on the connection (it reads no
    // body for GET, HEAD and OPTIONS). False when the connection failed.
    static bool ReadUnframedBody(const httplib::Request& req, std::size_t length, std::string& body);
    // The headers and body of a request whose verb the HTTP library does not know: it reads only the
    // request line of such a request, then answers it as an error. False when they cannot be read, or
    // the head or body is larger than the limits.
    static bool ReadRestOfUnknownVerb(httplib::Request& req, std::size_t maxBody);

    class Pool;
    struct Watch;

private:
    std::shared_ptr<Watch> watch_;
};

}  // namespace Nimbo::Emulator
