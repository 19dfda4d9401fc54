#pragma once
// The connection layer under the services: one thread per connection (an idle keep-alive client
// never holds a shared worker), a deadline on reading each request head (a client trickling its
// headers is cut off), Nagle off, a listen backlog sized for many clients, and closing a
// connection whose remaining input cannot be trusted once its answer is written.

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <memory>

namespace Nimbo::Emulator {

struct ConnectionLimits {
  std::size_t maxConnections = 1024;  // further clients wait in the listen backlog
  std::chrono::milliseconds headDeadline{10000};  // TLS handshake and request head, whole
  std::chrono::seconds keepAlive{5};
  std::chrono::seconds readTimeout{30};  // per read while a body arrives
};

class Connections {
public:
  explicit Connections(ConnectionLimits limits);
  ~Connections();
  Connections(const Connections &) = delete;
  Connections &operator=(const Connections &) = delete;

  // Before binding: thread per connection, timeouts, TCP_NODELAY, the head-deadline watch.
  void Install(httplib::SSLServer &server);
  // After binding: widens the listen backlog the HTTP library set.
  void AfterBind() const;
  // Cuts every open connection (used when stopping).
  void CloseAll();

  // On the connection's own thread:
  static void HeadRead();                 // the request head arrived: its deadline is met
  static void AnswerWritten();            // the next request head has a fresh deadline
  static void CloseAfterAnswer(httplib::Response &res);  // input left unread: close when answered
  // Reads up to `length` body bytes that the HTTP library leaves on the connection (it reads no
  // body for GET, HEAD and OPTIONS). False when the connection failed.
  static bool ReadUnframedBody(const httplib::Request &req, std::size_t length, std::string &body);

  class Pool;
  struct Watch;

private:
  std::shared_ptr<Watch> watch_;
};

}  // namespace Nimbo::Emulator
