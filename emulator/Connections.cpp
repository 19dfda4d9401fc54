#include "emulator/Connections.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace Nimbo::Emulator {
namespace {

using Steady = std::chrono::steady_clock;
constexpr Steady::rep NoDeadline = Steady::time_point::max().time_since_epoch().count();
constexpr auto LingerTime = std::chrono::seconds(2);
constexpr std::size_t LingerBytes = 64u << 20;

// One open connection, owned by the thread that serves it.
struct Slot {
    explicit Slot(const ConnectionLimits& limits) : limits(limits) {}
    const ConnectionLimits& limits;
    std::atomic<int> fd{-1};  // a duplicate of the socket: its number cannot be reused while held
    SSL* ssl = nullptr;
    std::atomic<Steady::rep> deadline{NoDeadline};
    bool closeAfterAnswer = false;
    Steady::time_point bodyStart;
    std::uint64_t bodyCredit = 0;  // body bytes the deadline already allows for

    void DeadlineIn(Steady::duration span) { deadline = (Steady::now() + span).time_since_epoch().count(); }
    void BodyDeadlineFor(std::uint64_t bytes) {
        bodyCredit = bytes;
        auto allowed =
            limits.headDeadline + std::chrono::seconds(bytes / std::max<std::uint64_t>(limits.minBodyRate, 1));
        deadline = (bodyStart + allowed).time_since_epoch().count();
    }
};

thread_local Slot* t_slot = nullptr;

// TLS handshakes start on the connection's thread: the moment to learn its socket.
void OnTlsEvent(const SSL* ssl, int where, int) {
    if (!(where & SSL_CB_HANDSHAKE_START) || !t_slot || t_slot->fd >= 0) return;
    int fd = SSL_get_fd(ssl);
    if (fd < 0) return;
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    t_slot->ssl = const_cast<SSL*>(ssl);
    t_slot->fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

// Reads and drops what the client still sends, for a short while, so that closing the socket does
// not reset the connection before the client has read the answer.
void Linger(int fd) {
    ::shutdown(fd, SHUT_WR);
    auto until = Steady::now() + LingerTime;
    std::size_t dropped = 0;
    char buffer[16384];
    while (dropped < LingerBytes) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Steady::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
        auto n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0) break;
        dropped += static_cast<std::size_t>(n);
    }
    ::shutdown(fd, SHUT_RD);
}

}  // namespace

struct Connections::Watch {
    explicit Watch(ConnectionLimits limits) : limits(limits) {}
    const ConnectionLimits limits;
    std::mutex mutex;
    std::condition_variable wake;
    std::set<Slot*> slots;
    bool stopping = false;
    std::atomic<int> listenFd{-1};
    std::thread thread;

    void Run() {
        std::unique_lock lock(mutex);
        while (!stopping) {
            wake.wait_for(lock, std::chrono::milliseconds(100));
            auto now = Steady::now().time_since_epoch().count();
            for (Slot* slot : slots) {
                int fd = slot->fd;
                if (fd >= 0 && now > slot->deadline) {
                    ::shutdown(fd, SHUT_RDWR);
                    slot->deadline = NoDeadline;
                }
            }
        }
    }

    void Add(Slot& slot) {
        std::lock_guard lock(mutex);
        slots.insert(&slot);
    }

    void Remove(Slot& slot) {
        std::lock_guard lock(mutex);
        slots.erase(&slot);
        if (int fd = slot.fd.exchange(-1); fd >= 0) ::close(fd);
    }

    void CloseAll() {
        std::lock_guard lock(mutex);
        for (Slot* slot : slots)
            if (int fd = slot->fd; fd >= 0) ::shutdown(fd, SHUT_RDWR);
    }
};

// The HTTP library's task queue, one thread per connection up to the limit.
class Connections::Pool final : public httplib::TaskQueue {
public:
    explicit Pool(std::shared_ptr<Watch> watch) : watch_(std::move(watch)) {}
    ~Pool() override { shutdown(); }

    void enqueue(std::function<void()> fn) override {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] {
            JoinFinished();
            return running_.size() < watch_->limits.maxConnections;
        });
        auto id = nextId_++;
        running_.emplace(id, std::thread([this, id, fn = std::move(fn)] {
                             Serve(fn);
                             std::lock_guard done(mutex_);
                             finished_.push_back(id);
                             changed_.notify_all();
                         }));
    }

    void shutdown() override {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] {
            JoinFinished();
            return running_.empty();
        });
    }

private:
    std::shared_ptr<Watch> watch_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::uint64_t, std::thread> running_;
    std::vector<std::uint64_t> finished_;
    std::uint64_t nextId_ = 0;

    void JoinFinished() {
        for (auto id : finished_) {
            auto it = running_.find(id);
            it->second.join();
            running_.erase(it);
        }
        finished_.clear();
    }

    void Serve(const std::function<void()>& fn) {
        // A write to a connection the client closed must fail with EPIPE, not end the process.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        Slot slot(watch_->limits);
        slot.DeadlineIn(watch_->limits.headDeadline);
        t_slot = &slot;
        watch_->Add(slot);
        fn();
        watch_->Remove(slot);
        t_slot = nullptr;
    }
};

Connections::Connections(ConnectionLimits limits) : watch_(std::make_shared<Watch>(limits)) {
    watch_->thread = std::thread([watch = watch_.get()] { watch->Run(); });
}

Connections::~Connections() {
    {
        std::lock_guard lock(watch_->mutex);
        watch_->stopping = true;
    }
    watch_->wake.notify_all();
    watch_->thread.join();
}

void Connections::Install(httplib::SSLServer& server) {
    const ConnectionLimits& limits = watch_->limits;
    server.new_task_queue = [watch = watch_] { return new Pool(watch); };
    server.set_tcp_nodelay(true);
    server.set_keep_alive_max_count(1000000);
    server.set_keep_alive_timeout(limits.keepAlive.count());
    server.set_read_timeout(limits.readTimeout.count(), 0);
    server.set_write_timeout(limits.readTimeout.count(), 0);
    server.set_socket_options([watch = watch_](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        watch->listenFd = sock;
    });
    SSL_CTX_set_info_callback(server.ssl_context(), OnTlsEvent);
}

void Connections::AfterBind() const {
    if (int fd = watch_->listenFd; fd >= 0) ::listen(fd, SOMAXCONN);
}

void Connections::CloseAll() { watch_->CloseAll(); }

void Connections::HeadRead(std::uint64_t declaredBodyBytes) {
    if (!t_slot) return;
    t_slot->bodyStart = Steady::now();
    t_slot->BodyDeadlineFor(declaredBodyBytes);
}

void Connections::BodyArrived(std::uint64_t bytesSoFar) {
    if (t_slot && bytesSoFar > t_slot->bodyCredit) t_slot->BodyDeadlineFor(bytesSoFar);
}

void Connections::BodyRead() {
    if (t_slot) t_slot->deadline = NoDeadline;
}

void Connections::AnswerWritten() {
    if (!t_slot) return;
    if (t_slot->closeAfterAnswer) {
        t_slot->closeAfterAnswer = false;
        if (int fd = t_slot->fd; fd >= 0) Linger(fd);
        return;
    }
    // Idle for the keep-alive time at most, then the next head within its deadline.
    t_slot->DeadlineIn(t_slot->limits.keepAlive + t_slot->limits.headDeadline);
}

void Connections::CloseAfterAnswer(httplib::Response& res) {
    if (t_slot) t_slot->closeAfterAnswer = true;
    res.set_header("Connection", "close");
}

namespace {

bool ReadExactly(SSL* ssl, std::size_t length, std::string& body) {
    body.clear();
    char buffer[65536];
    while (body.size() < length) {
        int want = static_cast<int>(std::min(sizeof buffer, length - body.size()));
        int n = SSL_read(ssl, buffer, want);
        if (n <= 0) return false;
        body.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

// One header line without its CR LF, read a byte at a time so nothing after the head is taken.
bool ReadLine(SSL* ssl, std::string& line, std::size_t& budget) {
    line.clear();
    char byte;
    while (budget > 0 && SSL_read(ssl, &byte, 1) == 1) {
        --budget;
        if (byte == '\n') {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return true;
        }
        line += byte;
    }
    return false;
}

}  // namespace

bool Connections::ReadUnframedBody(const httplib::Request& req, std::size_t length, std::string& body) {
    return req.ssl && ReadExactly(const_cast<SSL*>(req.ssl), length, body);
}

bool Connections::ReadRestOfUnknownVerb(httplib::Request& req, std::size_t maxBody) {
    constexpr std::size_t MaxHead = 64u << 10;
    if (!t_slot || !t_slot->ssl) return false;
    std::size_t budget = MaxHead;
    std::string line;
    while (true) {
        if (!ReadLine(t_slot->ssl, line, budget)) return false;
        if (line.empty()) break;
        auto colon = line.find(':');
        if (colon == std::string::npos || colon == 0) return false;
        auto value = line.find_first_not_of(" \t", colon + 1);
        req.headers.emplace(line.substr(0, colon), value == std::string::npos ? "" : line.substr(value));
    }
    auto length = req.get_header_value("Content-Length");
    if (req.has_header("Transfer-Encoding") || req.get_header_value_count("Content-Length") > 1 || length.size() > 19 ||
        length.find_first_not_of("0123456789") != std::string::npos)
        return false;
    std::uint64_t bytes = length.empty() ? 0 : std::stoull(length);
    if (bytes > maxBody) return false;
    HeadRead(bytes);
    if (!ReadExactly(t_slot->ssl, bytes, req.body)) return false;
    auto query = req.target.find('?');
    req.path = httplib::detail::decode_url(req.target.substr(0, query), false);
    if (query != std::string::npos) httplib::detail::parse_query_text(req.target.substr(query + 1), req.params);
    return true;
}

}  // namespace Nimbo::Emulator
