#pragma once

// The sign-in of a native application (RFC 8252): the browser is sent back to a listener of this
// program on a loopback address, on a port chosen at sign-in; the request carries `state` and is
// bound to a PKCE challenge (RFC 7636). The listener takes exactly one answer on its path, answers
// anything else with 404, and stops when the sign-in ends, is cancelled or times out.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Nimbo/Connection/AuthUI.h"

namespace Nimbo::Connection {

class TServiceState;
class TLoopbackListener;

// True for an http address on 127.0.0.1, [::1] or localhost: the redirect of a loopback sign-in.
bool IsLoopbackRedirect(const std::string& AUrl);

namespace Pkce {
// A fresh code verifier of 64 characters from the unreserved set, from a secure random source.
std::string NewVerifier();
// The S256 challenge of a verifier: base64url of its SHA-256 digest, without padding.
std::string ChallengeS256(const std::string& AVerifier);
}  // namespace Pkce

// One loopback sign-in: its listener, state and PKCE verifier. Nothing of it outlives the object.
class TLoopbackSignIn {
public:
    // What a window reports during a loopback sign-in.
    static constexpr TAuthEvents Events() { return {aeNavigateComplete, aeCanceled}; }

    // Starts the listener for the redirect address ARedirectUrl (http://127.0.0.1/, http://[::1]/ or
    // http://localhost/, with any path). Without a port in it, a free one is chosen; 127.0.0.1
    // falls back to [::1] when it cannot be bound. ERestError when no listener can be started.
    explicit TLoopbackSignIn(const std::string& ARedirectUrl);
    ~TLoopbackSignIn();

    TLoopbackSignIn(const TLoopbackSignIn&) = delete;
    TLoopbackSignIn& operator=(const TLoopbackSignIn&) = delete;

    // The redirect address with the port the listener has.
    const std::string& RedirectUrl() const;
    const std::string& State() const { return FState; }
    const std::string& Verifier() const { return FVerifier; }
    std::string Challenge() const { return Pkce::ChallengeS256(FVerifier); }

    // Shows a sign-in window at AAuthorizationUrl and returns the code the browser brought back.
    // ERestError when the user denied, when the answer's state is not this sign-in's, or when no
    // answer came in time; EAbort when the user closed the window.
    std::string Run(TServiceState& AState, const std::string& AAuthorizationUrl);

    // How long a sign-in waits for the browser; process-wide. Five minutes unless set.
    static std::chrono::milliseconds Timeout();
    static void SetTimeout(std::chrono::milliseconds AValue);

    // For windows that open the browser outside the program: waits for the browser's request to
    // the running sign-in whose redirect address AAuthorizationUrl names, and returns the address
    // it requested. Nothing when that sign-in ends without one (it timed out), when AKeepWaiting
    // (asked a few times a second) says to stop, or when no such sign-in is running.
    // True while a sign-in whose redirect address AAuthorizationUrl names is running.
    static bool IsRunningFor(const std::string& AAuthorizationUrl);
    static std::optional<std::string> AwaitRedirect(const std::string& AAuthorizationUrl,
                                                    const std::function<bool()>& AKeepWaiting);

private:
    std::shared_ptr<TLoopbackListener> FListener;
    std::string FState;
    std::string FVerifier;
};

}  // namespace Nimbo::Connection
