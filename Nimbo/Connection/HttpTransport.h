#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "Nimbo/Connection/platform/AutoFree.h"

namespace Nimbo::Connection {

// Process-wide settings of the HTTPS transport.
struct THttpTransportSettings {
    // A PEM file of certificates trusted in addition to the system's CA store; empty for none.
    std::string CaFile;
    // Host mappings "host:port:address:port": connections to host:port go to address:port while the
    // URL, the Host header and the TLS server name stay those of host.
    std::vector<std::string> ConnectTo;
    // Longest time to establish a connection, TLS handshake included.
    long ConnectTimeoutMs = 30000;
    // An exchange that moves no byte for this long fails.
    long StallTimeoutSeconds = 60;
    // Redirects followed before the exchange fails.
    long MaxRedirects = 10;
    // When set, told of every exchange once it ended: its method, URL and final status (0 when no
    // answer came). Called on the thread that ran the exchange.
    std::function<void(const std::string& AMethod, const std::string& AUrl, int AStatus)> OnExchange{};
};

// One header line of a request: name and value, sent exactly as given.
using THttpHeader = std::pair<std::string, std::string>;

// A stretch of a request body that stays in a seekable stream until the exchange sends it. It goes
// out before the in-memory body byte at offset At (at the end when At is the body's size).
struct THttpStreamPart {
    std::size_t At = 0;
    std::istream* Stream = nullptr;
    std::int64_t Start = 0;  // the stream position of its first byte
    std::int64_t Size = 0;
};

struct THttpExchange {
    std::string Method;  // "GET", "PUT", "POST" or "DELETE"
    std::string Url;
    std::vector<THttpHeader> Headers;
    // Sent for PUT and POST only: the bytes, with the stream parts (in order of At) spliced in. A
    // stream part is read while sending and left at its end afterwards, whatever the outcome.
    const TBytes* Body = nullptr;
    const std::vector<THttpStreamPart>* BodyStreams = nullptr;
    std::string UserAgent;
    // Off: a redirect answer is the final answer (and, being outside 200-299, an error).
    bool FollowRedirects = true;
    // A request that may be sent twice (a read): it may go on a kept-alive connection, which the
    // transport sends again on a new one when the server has closed it meanwhile. A GET always may.
    bool Repeatable = false;
    // When given, receives the header lines of the final answer, also when its status is an error.
    std::vector<THttpHeader>* ResponseHeaders = nullptr;
    // When set, called with the status and header lines of a 2xx answer before the first byte of its
    // body reaches the caller's stream; an exception it raises ends the exchange and comes out of
    // THttpTransport::Perform unchanged, no byte of that body written.
    std::function<void(int ACode, const std::vector<THttpHeader>& AHeaders)> BeforeBody{};
};

// How far one exchange has got, in bytes; a total is 0 while it is not known. The download counts
// start again with each answer (after a redirect, for instance).
struct THttpProgress {
    std::int64_t UploadDone = 0;
    std::int64_t UploadTotal = 0;
    std::int64_t DownloadDone = 0;
    std::int64_t DownloadTotal = 0;
};

// Called while an exchange runs: often while bytes move, about once a second while none do.
// Returning false ends the exchange at once, which then raises the silent EAbort; an exception the
// handler raises ends it too and comes out of THttpTransport::Perform unchanged.
using THttpProgressHandler = std::function<bool(const THttpProgress& AProgress)>;

// Reports the progress of every exchange this thread runs while the scope lives to AHandler; the
// handler in place before comes back when the scope ends.
class THttpProgressScope {
public:
    explicit THttpProgressScope(THttpProgressHandler AHandler);
    ~THttpProgressScope();

    THttpProgressScope(const THttpProgressScope&) = delete;
    THttpProgressScope& operator=(const THttpProgressScope&) = delete;

    // The handler in place on this thread; empty when there is none.
    static THttpProgressHandler Current();

private:
    THttpProgressHandler FPrevious;
};

// A Retry-After value: a number of seconds, or the date after which to try again; nothing for a
// value that is neither. Longer waits than any caller would keep are cut to some decades, so that
// the value converts to finer units without overflow.
std::optional<std::chrono::seconds> ParseRetryAfter(const std::string& AValue);

class THttpTransport {
public:
    static THttpTransportSettings Settings();
    static void Configure(const THttpTransportSettings& ASettings);

    // Performs one exchange and returns the final status code. A GET may go over a connection an
    // earlier GET of this thread left open (and is sent again, once, on a new one if that connection
    // turns out closed before any answer); any other method goes over a connection of its own,
    // opened for it and closed after it. A final status
    // in 200-299 writes the body to AResponse (if given) as it arrives; any other raises
    // EHttpProtocolError with the body as its text. Network, TLS and time-out failures raise
    // ETransportError; an exchange cancelled by the progress handler raises EAbort.
    static int Perform(const THttpExchange& AExchange, std::ostream* AResponse);
};

}  // namespace Nimbo::Connection
