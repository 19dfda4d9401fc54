#include "emulator/CloudEmulator.h"

#include "emulator/Connections.h"
#include "emulator/Files.h"
#include "emulator/Multipart.h"
#include "emulator/RequestLog.h"
#include "emulator/Service.h"
#include "emulator/StateStore.h"
#include "emulator/Tls.h"

#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>

namespace Nimbo::Emulator {
namespace {

const char* const LoopbackHosts[] = {"localhost", "127.0.0.1"};

// Whether the service (or admin path) already answered this request; the error handler only
// fills in answers that the HTTP layer made on its own (unreadable requests).
thread_local bool t_answered = false;

// The HTTP library matches handler patterns with std::regex, which recurses once per character: a
// long path would exhaust the thread's stack. Every request therefore reaches the one handler under
// RoutedPath, and its own path waits here until the handler puts it back.
const char* const RoutedPath = "/";
thread_local std::optional<std::string> t_path;

void HideRequestPath(const httplib::Request& req) {
    t_path = std::move(const_cast<httplib::Request&>(req).path);
    const_cast<httplib::Request&>(req).path = RoutedPath;
}

void RestoreRequestPath(const httplib::Request& req) {
    if (!t_path) return;
    const_cast<httplib::Request&>(req).path = std::move(*t_path);
    t_path.reset();
}

std::string HostOf(const httplib::Request& req) {
    auto host = ToLower(req.get_header_value("Host"));
    if (auto colon = host.rfind(':'); colon != std::string::npos && host.find(']') == std::string::npos)
        host.resize(colon);
    return host;
}

bool Matches(const Route& route, const std::string& host, const httplib::Request& req) {
    return (route.host.empty() || EqualsIgnoreCase(route.host, host)) &&
           (route.method.empty() || EqualsIgnoreCase(route.method, req.method)) &&
           req.path.compare(0, route.pathPrefix.size(), route.pathPrefix) == 0;
}

struct ArmedFault {
    Route route;
    Fault fault;
    int remaining;
};

template <auto Free>
struct Deleter {
    template <class T>
    void operator()(T* p) const {
        Free(p);
    }
};

}  // namespace

const char* CloudName(Cloud cloud) {
    switch (cloud) {
        case Cloud::GoogleDrive:
            return "google";
        case Cloud::Dropbox:
            return "dropbox";
        case Cloud::LiveConnect:
            return "live";
        case Cloud::Box:
            return "box";
    }
    return "?";
}

std::optional<Cloud> CloudFromName(std::string_view name) {
    for (Cloud cloud : AllClouds)
        if (name == CloudName(cloud)) return cloud;
    return std::nullopt;
}

class CloudEmulator::Impl {
public:
    explicit Impl(EmulatorOptions options)
        : options_(std::move(options)),
          log_(options_.requestLogEntries, options_.requestLogBodyBytes),
          connections_({.maxConnections = std::max<std::size_t>(options_.maxConnections, 1),
                        .headDeadline = options_.requestHeadTimeout}) {
        services_.push_back(MakeGoogleDrive());
        services_.push_back(MakeDropbox());
        services_.push_back(MakeLiveConnect());
        services_.push_back(MakeBox());
        if (!options_.dataDir.empty()) MakePrivateFolder(options_.dataDir);
        blobs_ = std::make_shared<BlobStore>(options_.dataDir.empty() ? "" : options_.dataDir / "files");
        blobs_->DeferRemoval(!options_.dataDir.empty());
        for (auto& service : services_) {
            service->blobs = blobs_;
            service->uploadSessionLifetime = options_.uploadSessionLifetime;
            for (const auto& host : service->Hosts()) byHost_[host] = service.get();
        }
        store_ = std::make_unique<StateStore>(options_.dataDir);
        identity_ =
            LoadOrMakeTlsIdentity(CloudEmulator::Hosts(), options_.dataDir.empty() ? "" : options_.dataDir / "tls");
        WriteCaFile();
        LoadState();
    }

    ~Impl() {
        if (!ownCaDir_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(ownCaDir_, ignored);
        }
    }

    void Start(CloudEmulator& owner) {
        if (server_) return;
        {
            const std::lock_guard lock(heldMutex_);
            stopping_ = false;
        }
        auto cert = ReadPem<X509>(identity_.certPem, PEM_read_bio_X509);
        auto key = ReadPem<EVP_PKEY>(identity_.keyPem, PEM_read_bio_PrivateKey);
        auto server = std::make_unique<httplib::SSLServer>(cert.get(), key.get());
        if (!server->is_valid()) throw std::runtime_error("cannot set up the TLS server");
        Configure(*server, owner);
        int port = options_.port == 0 ? server->bind_to_any_port("127.0.0.1")
                                      : (server->bind_to_port("127.0.0.1", options_.port) ? options_.port : -1);
        if (port <= 0) throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(options_.port));
        connections_.AfterBind();
        port_ = static_cast<std::uint16_t>(port);
        server_ = std::move(server);
        thread_ = std::thread([this] { server_->listen_after_bind(); });
        while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    void Stop() {
        if (!server_) return;
        {
            const std::lock_guard lock(heldMutex_);
            stopping_ = true;
        }
        heldWake_.notify_all();
        server_->stop();
        connections_.CloseAll();
        if (thread_.joinable()) thread_.join();
        server_.reset();
        // Every answered change is committed already; folding the log only tidies the folder, and
        // a stop (often from a destructor) must not fail for it.
        try {
            SaveState();
        } catch (const std::exception& error) {
            std::fprintf(stderr, "cloud-emulator: %s\n", error.what());
        }
    }

    bool Fresh() const { return fresh_; }

    bool Running() const { return server_ != nullptr; }
    std::uint16_t Port() const { return port_; }
    const std::string& CaPem() const { return identity_.caCertPem; }
    const std::filesystem::path& CaPath() const { return caPath_; }

    std::vector<std::unique_ptr<Service>>& Services() { return services_; }
    BlobStore& Blobs() { return *blobs_; }
    const EmulatorOptions& Options() const { return options_; }

    Service& Get(Cloud cloud) {
        for (auto& service : services_)
            if (service->Kind() == cloud) return *service;
        throw std::logic_error("unknown service");
    }

    std::mutex mutex;  // guards all state below and in the services
    std::vector<ArmedFault> faults;
    SignInDecision signIn = SignInDecision::Ask;
    RequestLog& Log() { return log_; }

    // Folds the stored changes into the database file, so that it alone holds the state.
    void SaveState() {
        std::lock_guard lock(mutex);
        store_->Checkpoint();
    }

    // Stores what the last change did before it is answered; runs under the lock. Throws when it
    // cannot: the change is then not answered as done.
    void Commit() { store_->Commit(services_, *blobs_); }

private:
    EmulatorOptions options_;
    RequestLog log_;
    std::shared_ptr<BlobStore> blobs_;
    Connections connections_;
    TlsIdentity identity_;
    std::filesystem::path caPath_, ownCaDir_;
    std::vector<std::unique_ptr<Service>> services_;
    std::map<std::string, Service*> byHost_;
    std::unique_ptr<httplib::SSLServer> server_;
    std::thread thread_;
    std::uint16_t port_ = 0;
    std::unique_ptr<StateStore> store_;
    bool fresh_ = false;
    std::mutex heldMutex_;  // guards stopping_
    std::condition_variable heldWake_;
    bool stopping_ = false;

    template <class T, class Reader>
    static std::unique_ptr<T, void (*)(T*)> ReadPem(const std::string& pem, Reader read) {
        std::unique_ptr<BIO, Deleter<BIO_free>> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
        void (*release)(T*);
        if constexpr (std::is_same_v<T, X509>)
            release = X509_free;
        else
            release = EVP_PKEY_free;
        return std::unique_ptr<T, void (*)(T*)>(read(bio.get(), nullptr, nullptr, nullptr), release);
    }

    void WriteCaFile() {
        if (!options_.dataDir.empty()) {
            caPath_ = options_.dataDir / "tls" / "ca.pem";
            return;
        }
        std::string pattern = (std::filesystem::temp_directory_path() / "cloud-emulator-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
        ownCaDir_ = pattern;
        caPath_ = ownCaDir_ / "ca.pem";
        std::ofstream(caPath_) << identity_.caCertPem;
    }

    // The stored state; a state file of an earlier version is taken into the database once and
    // renamed aside. Content files nothing names (a killed emulator's half-written uploads) go.
    void LoadState() {
        auto now = Clock::now();
        for (auto& service : services_) service->Reset(now);
        Tree::Contents contents;
        store_->Load(services_, contents);
        auto legacy = options_.dataDir.empty() ? std::filesystem::path() : options_.dataDir / "state.json";
        fresh_ = store_->Fresh() && (legacy.empty() || !std::filesystem::exists(legacy));
        if (!legacy.empty() && std::filesystem::exists(legacy)) {
            std::ifstream in(legacy);
            Json state = Json::parse(in, nullptr, false);
            if (state.is_discarded() || !state.is_object())
                throw StateStoreError("unreadable state file " + legacy.string() + " (left as it is)");
            try {
                for (auto& service : services_)
                    if (state.contains(CloudName(service->Kind())))
                        service->Load(state[CloudName(service->Kind())], contents);
            } catch (const Json::exception& e) {
                throw StateStoreError("unreadable state file " + legacy.string() + " (left as it is): " + e.what());
            }
            Commit();
            std::filesystem::rename(legacy, legacy.string() + ".migrated");
        } else {
            Commit();  // what a new database starts with
        }
        blobs_->RemoveAllBut(contents);
    }

    void Configure(httplib::SSLServer& server, CloudEmulator& owner) {
        connections_.Install(server);
        server.set_payload_max_length(options_.maxBodyBytes);
        server.set_expect_100_continue_handler([this](const httplib::Request& req, httplib::Response& res) {
            auto limit = BodyLimitFor(req);
            if (DeclaredLength(req) <= limit.bytes) return 100;
            RefuseTooLarge(req, res, limit);
            res.set_header("Content-Length", std::to_string(res.body.size()));  // this path does not add it
            return 413;
        });
        server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
            Connections::HeadRead(DeclaredLength(req));
            if (!CheckFraming(const_cast<httplib::Request&>(req), res))
                return httplib::Server::HandlerResponse::Handled;
            HideRequestPath(req);
            return httplib::Server::HandlerResponse::Unhandled;
        });
        server.set_logger([](const httplib::Request&, const httplib::Response&) {
            t_answered = false;
            t_path.reset();
            Connections::AnswerWritten();
        });
        auto plain = [this, &owner](const httplib::Request& req, httplib::Response& res) {
            RestoreRequestPath(req);
            auto body = NewSpool();
            body->Write(req.body);
            body->Finish();
            Dispatch(owner, req, res, std::move(body), {});
        };
        auto withBody = [this, &owner](const httplib::Request& req, httplib::Response& res,
                                       const httplib::ContentReader& reader) {
            RestoreRequestPath(req);
            auto body = NewSpool();
            std::vector<BodyPart> parts;
            // Bodies sent in chunks have no length to check beforehand: they are counted as they come.
            const BodyLimit limit = BodyLimitFor(req);
            std::uint64_t received = 0;
            auto fits = [&](std::size_t size) {
                received += size;
                Connections::BodyArrived(received);
                return received <= limit.bytes;
            };
            auto newPart = [&](std::string name, std::string fileName, std::string type) {
                parts.push_back({std::move(name), std::move(fileName), std::move(type), NewSpool()});
            };
            bool ok;
            try {
                if (req.is_multipart_form_data()) {
                    ok = reader(
                        [&](const httplib::MultipartFormData& part) {
                            newPart(part.name, part.filename, part.content_type);
                            return true;
                        },
                        [&](const char* data, std::size_t size) {
                            if (!parts.empty()) parts.back().data->Write({data, size});
                            return fits(size);
                        });
                } else if (auto boundary = RelatedBoundary(req)) {
                    MultipartSplitter splitter(
                        *boundary,
                        [&](const PartHeaders& headers) { newPart("", "", HeaderValue(headers, "Content-Type")); },
                        [&](std::string_view data) { parts.back().data->Write(data); });
                    ok = reader([&](const char* data, std::size_t size) {
                        return fits(size) && splitter.Feed({data, size});
                    });
                    ok = ok && splitter.Complete();
                } else {
                    ok = reader([&](const char* data, std::size_t size) {
                        body->Write({data, size});
                        return fits(size);
                    });
                }
            } catch (const std::runtime_error& e) {  // the disk refused a body
                std::fprintf(stderr, "cloud-emulator: %s\n", e.what());
                return Refuse(req, res, 507, "Insufficient Storage");
            }
            if (!ok) {
                if (received > limit.bytes) return RefuseTooLarge(req, res, limit);
                return Refuse(req, res, res.status == 413 ? 413 : 400,
                              res.status == 413 ? "Request Entity Too Large" : "Bad Request");
            }
            body->Finish();
            for (auto& part : parts) part.data->Finish();
            Dispatch(owner, req, res, std::move(body), std::move(parts));
        };
        server.Get(RoutedPath, plain);
        server.Options(RoutedPath, plain);
        server.Post(RoutedPath, withBody);
        server.Put(RoutedPath, withBody);
        server.Patch(RoutedPath, withBody);
        server.Delete(RoutedPath, withBody);
        server.set_error_handler(
            httplib::Server::HandlerWithResponse([this, &owner](const httplib::Request& req, httplib::Response& res) {
                if (t_answered) return httplib::Server::HandlerResponse::Unhandled;
                RestoreRequestPath(req);
                if (req.method == "MOVE" || req.method == "COPY") return ServeUnknownVerb(owner, req, res);
                // The HTTP layer refused the request (unreadable head, unknown method): what follows on
                // the connection cannot be trusted.
                Refuse(req, res, res.status, res.status == 413 ? "Request Entity Too Large" : "Bad Request");
                return httplib::Server::HandlerResponse::Handled;
            }));
    }

    // The most body bytes a request may carry: the server's limit, or the call's own when smaller.
    struct BodyLimit {
        std::uint64_t bytes;
        bool callsOwn;  // the service's limit, refused as the service does
    };
    BodyLimit BodyLimitFor(const httplib::Request& req) const {
        BodyLimit limit{options_.maxBodyBytes, false};
        std::string host = HostOf(req);
        if (auto it = byHost_.find(host); it != byHost_.end())
            if (auto own = it->second->BodyLimit(req.method, host, req.path); own != 0 && own < limit.bytes)
                limit = {own, true};
        return limit;
    }

    void RefuseTooLarge(const httplib::Request& req, httplib::Response& res, const BodyLimit& limit) {
        Refuse(req, res, 413, "Request Entity Too Large", limit.callsOwn);
    }

    // The boundary of a multipart/related body (what the HTTP library does not split itself).
    static std::optional<std::string> RelatedBoundary(const httplib::Request& req) {
        auto type = ToLower(req.get_header_value("Content-Type"));
        if (type.rfind("multipart/related", 0) != 0) return std::nullopt;
        return MultipartBoundary(req.get_header_value("Content-Type"));
    }

    static std::uint64_t DeclaredLength(const httplib::Request& req) {
        auto text = req.get_header_value("Content-Length");
        return text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos
                   ? 0
                   : std::stoull(text);
    }

    // What the HTTP library would misread, refused before any body is read: lengths that disagree or
    // are not numbers, a length beside chunked coding, a body over the limit. A request without a
    // length or chunked coding has an empty body; one the library leaves unread (GET, HEAD, OPTIONS)
    // is read here so that it cannot be taken for the next request. False when refused.
    bool CheckFraming(httplib::Request& req, httplib::Response& res) {
        auto [first, last] = req.headers.equal_range("Content-Length");
        std::set<std::string> lengths;
        for (auto it = first; it != last; ++it) lengths.insert(it->second);
        bool chunked = req.has_header("Transfer-Encoding");
        for (const auto& length : lengths)
            if (length.empty() || length.size() > 19 || length.find_first_not_of("0123456789") != std::string::npos)
                return Refuse(req, res, 400, "Bad Request: Content-Length is not a number"), false;
        if (lengths.size() > 1) return Refuse(req, res, 400, "Bad Request: conflicting Content-Length headers"), false;
        if (chunked && !lengths.empty())
            return Refuse(req, res, 400, "Bad Request: Content-Length with Transfer-Encoding"), false;
        std::uint64_t length = DeclaredLength(req);
        if (auto limit = BodyLimitFor(req); length > limit.bytes) return RefuseTooLarge(req, res, limit), false;
        req.ranges.clear();  // answered by the services, for file content only
        if (lengths.empty() && !chunked) req.set_header("Content-Length", "0");
        bool bodyRead = req.method == "POST" || req.method == "PUT" || req.method == "PATCH" || req.method == "DELETE";
        if (!bodyRead && chunked) Connections::CloseAfterAnswer(res);  // its body is not read: end there
        if (!bodyRead && length > 0 && !Connections::ReadUnframedBody(req, length, req.body))
            return Refuse(req, res, 400, "Bad Request: the body ended early"), false;
        return true;
    }

    // An answer to a request that could not be read (too large, broken framing or multipart), in the
    // format of the service the host belongs to; the connection closes after it.
    // The emulator's own body limit is refused in the service's error format; a call's own limit
    // (callsOwnLimit) as the service refuses it.
    void Refuse(const httplib::Request& req, httplib::Response& res, int status, const std::string& message,
                bool callsOwnLimit = false) {
        t_answered = true;
        std::string host = HostOf(req);
        {
            std::lock_guard lock(mutex);
            Exchange ex = MakeExchange(req, res, host, NewSpool(), {}, signIn);
            if (auto it = byHost_.find(host); it == byHost_.end())
                ex.SendText(status, message + "\n");
            else if (callsOwnLimit)
                it->second->SendTooLarge(ex);
            else
                it->second->SendError(ex, status, message);
        }
        Connections::CloseAfterAnswer(res);
        Spool nothing(nullptr, 0);
        nothing.Finish();
        log_.Add(req, host, nothing, {}, res.status);
    }

    // Live Connect's MOVE and COPY: the HTTP layer reads only the request line of a verb it does not
    // know, so the rest is read here and the request dispatched as any other. The connection closes
    // after the answer: the HTTP layer takes the request for one it refused.
    httplib::Server::HandlerResponse ServeUnknownVerb(CloudEmulator& owner, const httplib::Request& req,
                                                      httplib::Response& res) {
        constexpr std::size_t MaxBody = 64u << 10;  // a JSON body naming the destination
        auto& request = const_cast<httplib::Request&>(req);
        Connections::CloseAfterAnswer(res);
        if (!Connections::ReadRestOfUnknownVerb(request, MaxBody)) {
            Refuse(req, res, 400, "Bad Request");
            return httplib::Server::HandlerResponse::Handled;
        }
        auto body = NewSpool();
        body->Write(req.body);
        body->Finish();
        res.status = 200;
        Dispatch(owner, req, res, std::move(body), {});
        return httplib::Server::HandlerResponse::Handled;
    }

    std::shared_ptr<Spool> NewSpool() const { return std::make_shared<Spool>(blobs_, log_.BodyPrefixBytes()); }

    std::optional<Fault> TakeFault(const std::string& host, const httplib::Request& req) {
        std::lock_guard lock(mutex);
        for (auto it = faults.begin(); it != faults.end(); ++it) {
            if (!Matches(it->route, host, req)) continue;
            Fault fault = it->fault;
            if (--it->remaining <= 0) faults.erase(it);
            return fault;
        }
        return std::nullopt;
    }

    // The one place an exchange is built: the request as the services see it.
    static Exchange MakeExchange(const httplib::Request& req, httplib::Response& res, const std::string& host,
                                 std::shared_ptr<Spool> body, std::vector<BodyPart> parts, SignInDecision signIn) {
        std::string text = body->Text();
        Exchange ex{req,
                    res,
                    host,
                    std::move(body),
                    std::move(text),
                    std::move(parts),
                    {},
                    Clock::now(),
                    signIn,
                    "https://" + host,
                    {}};
        if (req.get_header_value("Content-Type").rfind("application/x-www-form-urlencoded", 0) == 0)
            ex.form = ParseQuery(ex.body);
        return ex;
    }

    // Holds a request back for `delay`; false when the emulator stops meanwhile, which need not
    // wait the delay out.
    bool HoldBack(std::chrono::milliseconds delay) {
        std::unique_lock lock(heldMutex_);
        return !heldWake_.wait_for(lock, delay, [this] { return stopping_; });
    }

    void Dispatch(CloudEmulator& owner, const httplib::Request& req, httplib::Response& res,
                  std::shared_ptr<Spool> body, std::vector<BodyPart> parts) {
        Connections::BodyRead();
        t_answered = true;
        std::string host = HostOf(req);
        if (std::find(std::begin(LoopbackHosts), std::end(LoopbackHosts), host) != std::end(LoopbackHosts)) {
            Exchange ex = MakeExchange(req, res, host, body, {}, SignInDecision::Ask);
            if (!options_.adminApi || !HandleAdminRequest(owner, ex)) ex.SendText(404, "Not Found\n");
            return;
        }
        std::optional<Fault> fault = TakeFault(host, req);
        const bool stopped = fault && fault->delay.count() > 0 && !HoldBack(fault->delay);
        if (stopped || (fault && fault->dropConnection)) {
            // Logged first: the client learns of the drop at once and may read the log right away.
            log_.Add(req, host, *body, parts, 0);
            if (req.ssl) ::shutdown(SSL_get_fd(req.ssl), SHUT_RDWR);
            return;
        }
        if (fault && fault->status != 0) {
            res.status = fault->status;
            res.set_content(fault->body, fault->contentType.c_str());
            if (fault->retryAfterSeconds) res.set_header("Retry-After", std::to_string(*fault->retryAfterSeconds));
            log_.Add(req, host, *body, parts, res.status);
            return;
        }
        {
            std::unique_lock lock(mutex);
            Exchange ex = MakeExchange(req, res, host, body, parts, signIn);
            ex.lock = &lock;
            auto it = byHost_.find(host);
            if (it == byHost_.end()) {
                ex.SendText(404, "Unknown host " + host + "\n");
            } else {
                auto fail = [&](const std::string& what) {
                    res.headers.clear();
                    res.content_provider_ = nullptr;
                    res.content_length_ = 0;
                    it->second->SendError(ex, 500, what);
                };
                try {
                    it->second->Handle(ex);
                } catch (const std::exception& e) {
                    fail(std::string("Internal error: ") + e.what());
                }
                try {
                    Commit();
                } catch (const std::exception& e) {
                    fail(std::string("Internal error: the change could not be stored: ") + e.what());
                }
            }
        }
        if (fault && fault->retryAfterSeconds) res.set_header("Retry-After", std::to_string(*fault->retryAfterSeconds));
        log_.Add(req, host, *body, parts, res.status);
        if (fault && fault->truncateBody)
            Truncate(res);
        else if (fault && fault->corruptBody)
            Corrupt(res);
    }

    // Sends the whole answer with its first byte changed, as a copy damaged on the way would arrive.
    static void Corrupt(httplib::Response& res) {
        if (!res.content_provider_) {
            if (!res.body.empty()) res.body[0] = static_cast<char>(res.body[0] ^ 0x20);
            return;
        }
        res.content_provider_ = [whole = std::move(res.content_provider_)](std::size_t offset, std::size_t length,
                                                                           httplib::DataSink& sink) {
            if (offset != 0) return whole(offset, length, sink);
            const auto original = sink.write;
            bool changed = false;
            sink.write = [&original, &changed](const char* data, std::size_t size) {
                if (changed || size == 0) return original(data, size);
                std::string copy(data, size);
                copy[0] = static_cast<char>(copy[0] ^ 0x20);
                changed = true;
                return original(copy.data(), size);
            };
            const bool written = whole(offset, length, sink);
            sink.write = original;
            return written;
        };
    }

    // Announces the whole body but sends only its first half, then closes the connection.
    static void Truncate(httplib::Response& res) {
        if (!res.content_provider_) {
            auto full = std::make_shared<std::string>(std::move(res.body));
            res.body.clear();
            res.content_length_ = full->size();
            res.content_provider_ = [full](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                return sink.write(full->data() + offset, std::min(length, full->size() - offset));
            };
            if (!res.has_header("Content-Type")) res.set_header("Content-Type", "application/octet-stream");
        }
        const std::size_t half = res.content_length_ / 2;
        res.content_provider_ = [whole = std::move(res.content_provider_), half](std::size_t offset, std::size_t length,
                                                                                 httplib::DataSink& sink) {
            return offset < half && whole(offset, std::min(length, half - offset), sink);
        };
    }
};

CloudEmulator::CloudEmulator(EmulatorOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}
CloudEmulator::~CloudEmulator() {
    try {
        Stop();
    } catch (...) {
        // A failed save must not escape a destructor.
    }
}

void CloudEmulator::Start() { impl_->Start(*this); }
void CloudEmulator::Stop() { impl_->Stop(); }
bool CloudEmulator::Running() const { return impl_->Running(); }
std::uint16_t CloudEmulator::Port() const { return impl_->Port(); }
const std::string& CloudEmulator::CaPem() const { return impl_->CaPem(); }
std::filesystem::path CloudEmulator::CaCertPath() const { return impl_->CaPath(); }

std::vector<std::string> CloudEmulator::Hosts() {
    std::vector<std::string> hosts;
    for (auto maker : {MakeGoogleDrive, MakeDropbox, MakeLiveConnect, MakeBox})
        for (const auto& host : maker()->Hosts()) hosts.push_back(host);
    for (const char* host : LoopbackHosts) hosts.emplace_back(host);
    return hosts;
}

std::vector<std::string> CloudEmulator::ConnectToMappings() const {
    std::vector<std::string> mappings;
    for (const auto& host : Hosts()) mappings.push_back(host + ":443:127.0.0.1:" + std::to_string(Port()));
    return mappings;
}

void CloudEmulator::Reset(Cloud cloud) {
    std::lock_guard lock(impl_->mutex);
    impl_->Get(cloud).Reset(Clock::now());
    impl_->Commit();
}

void CloudEmulator::ResetAll() {
    std::lock_guard lock(impl_->mutex);
    for (auto& service : impl_->Services()) {
        service->Reset(Clock::now());
        service->uploadSessionLifetime = impl_->Options().uploadSessionLifetime;
    }
    impl_->Commit();
    impl_->Log().Clear();
    impl_->faults.clear();
    impl_->signIn = SignInDecision::Ask;
}

void CloudEmulator::SetAccountName(Cloud cloud, const std::string& displayName) {
    std::lock_guard lock(impl_->mutex);
    impl_->Get(cloud).accountName = displayName;
    impl_->Commit();
}

std::string CloudEmulator::AddFolder(Cloud cloud, const std::string& path) {
    std::lock_guard lock(impl_->mutex);
    auto id = impl_->Get(cloud).AddFolder(path, Clock::now());
    impl_->Commit();
    return id;
}

std::string CloudEmulator::AddFile(Cloud cloud, const std::string& path, const std::string& content,
                                   const std::string& mimeType) {
    BlobRef blob = impl_->Blobs().Put(content);  // written (and synchronised) without holding the lock
    std::lock_guard lock(impl_->mutex);
    auto id = impl_->Get(cloud).AddFile(path, std::move(blob), mimeType, Clock::now());
    impl_->Commit();
    return id;
}

std::vector<std::string> CloudEmulator::AddFiles(Cloud cloud, const std::vector<NewFile>& files) {
    std::vector<std::string_view> contents;
    for (const auto& file : files) contents.push_back(file.content);
    std::vector<BlobRef> blobs = impl_->Blobs().PutAll(contents);  // without holding the lock
    std::lock_guard lock(impl_->mutex);
    Service& service = impl_->Get(cloud);
    std::vector<std::string> ids;
    const TimePoint now = Clock::now();
    for (std::size_t i = 0; i < files.size(); ++i) {
        try {
            ids.push_back(service.AddFile(files[i].path, std::move(blobs[i]), files[i].mimeType, now));
        } catch (const std::invalid_argument& error) {
            impl_->Commit();
            throw std::invalid_argument("file " + std::to_string(i) + ": " + error.what() + " (the " +
                                        std::to_string(i) + " before it are added)");
        }
    }
    impl_->Commit();
    return ids;
}

static ItemInfo InfoOf(const Node& node) {
    return {node.id, node.name, node.mimeType, node.content ? node.content->Read() : "", node.folder, node.Size()};
}

std::optional<ItemInfo> CloudEmulator::Find(Cloud cloud, const std::string& path) const {
    std::lock_guard lock(impl_->mutex);
    Service& service = impl_->Get(cloud);
    const Node* node = service.tree.FindPath(path, service.NamesIgnoreCase());
    if (!node) return std::nullopt;
    return InfoOf(*node);
}

std::vector<ItemInfo> CloudEmulator::Children(Cloud cloud, const std::string& path) const {
    std::lock_guard lock(impl_->mutex);
    Service& service = impl_->Get(cloud);
    std::vector<ItemInfo> result;
    if (const Node* node = service.tree.FindPath(path, service.NamesIgnoreCase()))
        for (const Node* child : service.tree.Children(node->id))
            if (!child->trashed) result.push_back(InfoOf(*child));
    return result;
}

void CloudEmulator::Save() const { impl_->SaveState(); }

bool CloudEmulator::StartedFresh() const { return impl_->Fresh(); }

void CloudEmulator::RegisterClient(Cloud cloud, const std::string& clientId, const std::string& secret,
                                   std::vector<std::string> redirectUris) {
    if (clientId.empty()) throw std::invalid_argument("a client needs a client_id");
    if (cloud == Cloud::Box && secret.empty())
        throw std::invalid_argument("Box has no public clients: a Box client needs its client_secret");
    for (const auto& uri : redirectUris)
        if (IsPlainHttp(uri) && !IsLoopbackRedirect(uri))
            throw std::invalid_argument("a redirect over http must go to 127.0.0.1, [::1] or localhost: " + uri);
    std::lock_guard lock(impl_->mutex);
    impl_->Get(cloud).oauth.RegisterClient({clientId, secret, std::move(redirectUris)});
    impl_->Commit();
}

TokenPair CloudEmulator::IssueTokens(Cloud cloud, const std::string& clientId, const std::string& scope) {
    std::lock_guard lock(impl_->mutex);
    auto tokens = impl_->Get(cloud).IssueTokens(clientId, scope, Clock::now());
    impl_->Commit();
    return tokens;
}

void CloudEmulator::ExpireAccessTokens(Cloud cloud) {
    std::lock_guard lock(impl_->mutex);
    impl_->Get(cloud).oauth.ExpireAccessTokens(Clock::now());
    impl_->Commit();
}

void CloudEmulator::RevokeRefreshTokens(Cloud cloud) {
    std::lock_guard lock(impl_->mutex);
    impl_->Get(cloud).oauth.RevokeRefreshTokens();
    impl_->Commit();
}

void CloudEmulator::ExpireUploadSessions(Cloud cloud) {
    std::lock_guard lock(impl_->mutex);
    impl_->Get(cloud).ExpireUploadSessions(Clock::now());
    impl_->Commit();
}

void CloudEmulator::SetSignInDecision(SignInDecision decision) {
    std::lock_guard lock(impl_->mutex);
    impl_->signIn = decision;
}

void CloudEmulator::SetUploadSessionLifetime(std::chrono::milliseconds lifetime) {
    std::lock_guard lock(impl_->mutex);
    for (auto& service : impl_->Services()) service->uploadSessionLifetime = lifetime;
}

std::vector<RecordedRequest> CloudEmulator::Requests() const { return impl_->Log().Entries(); }

void CloudEmulator::ClearRequests() { impl_->Log().Clear(); }

void CloudEmulator::InjectFault(const Route& route, const Fault& fault, int times) {
    if (fault.status != 0 && (fault.status < 200 || fault.status > 599))
        throw std::invalid_argument("a fault's status must be from 200 to 599, not " + std::to_string(fault.status));
    if (fault.delay.count() < 0) throw std::invalid_argument("a fault's delay cannot be negative");
    if (times <= 0) return;
    std::lock_guard lock(impl_->mutex);
    impl_->faults.push_back({route, fault, times});
}

void CloudEmulator::ClearFaults() {
    std::lock_guard lock(impl_->mutex);
    impl_->faults.clear();
}

}  // namespace Nimbo::Emulator
