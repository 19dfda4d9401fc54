#pragma once

// The listener of a loopback sign-in: a small HTTP/1.1 server on a loopback address that takes the
// one request the browser is redirected with, checks its `state`, and answers the browser with a
// short page. Plain POSIX sockets; one thread that ends, with every descriptor closed, when the
// listener stops or its time runs out.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace Nimbo::Connection {

class TLoopbackListener {
public:
    enum class TStatus {
        Waiting,   // no answer yet
        Answered,  // the browser brought a code
        Denied,    // the browser brought the service's error (the user refused)
        Mismatch,  // the browser brought an answer with another state: refused, never exchanged
        TimedOut   // the time ran out first; nothing listens any more
    };
    struct TOutcome {
        TStatus Status = TStatus::Waiting;
        std::string Code;
        std::string Error;  // the service's error description, or its error code
        std::string Url;    // the address the browser requested
    };

    // Listens for a request to ARedirectUrl (see TLoopbackSignIn) carrying AExpectedState, for at
    // most ATimeout. ERestError when no listener can be started.
    TLoopbackListener(const std::string& ARedirectUrl, std::string AExpectedState, std::chrono::milliseconds ATimeout);
    // Stops: nothing is left listening once it returns.
    ~TLoopbackListener();

    TLoopbackListener(const TLoopbackListener&) = delete;
    TLoopbackListener& operator=(const TLoopbackListener&) = delete;

    // The decoded value of the first parameter named AName in a query ("a=1&b=2").
    static std::optional<std::string> QueryValue(const std::string& AQuery, const std::string& AName);

    // The redirect address with the port the listener has.
    const std::string& RedirectUrl() const { return FRedirectUrl; }
    int Port() const { return FPort; }

    TOutcome Outcome() const;
    // The outcome once it is no longer Waiting, or after AFor at the latest.
    TOutcome WaitFor(std::chrono::milliseconds AFor) const;
    // True once the listener has closed its socket (stopped or timed out).
    bool Closed() const;

private:
    class TFd {
    public:
        explicit TFd(int AFd = -1) : FFd(AFd) {}
        ~TFd() { Reset(); }
        TFd(TFd&& AOther) noexcept : FFd(AOther.FFd) { AOther.FFd = -1; }
        TFd& operator=(TFd&& AOther) noexcept;
        TFd(const TFd&) = delete;
        TFd& operator=(const TFd&) = delete;
        int Get() const { return FFd; }
        void Reset();

    private:
        int FFd;
    };

    struct TRequestHead {
        std::string Method;
        std::string Path;
        std::string Query;
    };

    // Listens on AHost (an IPv4 or IPv6 literal) and APort (0: any free one); 0 or the errno.
    int Bind(const std::string& AHost, int APort);
    void Serve(std::chrono::steady_clock::time_point ADeadline);
    void Answer(const TFd& AClient, std::chrono::steady_clock::time_point ADeadline);
    // The page for the request, recording the outcome when it is the browser's answer.
    std::string Respond(const TRequestHead& AHead);
    bool ReadHead(const TFd& AClient, std::chrono::steady_clock::time_point ADeadline, std::string& AHead) const;
    void Finish(TStatus AStatus, std::string ACode, std::string AError, std::string AUrl);

    std::string FExpectedState;
    std::string FPath;
    std::string FOrigin;  // http://host:port
    std::string FRedirectUrl;
    int FPort = 0;
    TFd FSocket;
    TFd FWakeRead;
    TFd FWakeWrite;
    mutable std::mutex FLock;
    mutable std::condition_variable FChanged;
    TOutcome FOutcome;
    bool FClosed = false;
    std::thread FThread;
};

}  // namespace Nimbo::Connection
