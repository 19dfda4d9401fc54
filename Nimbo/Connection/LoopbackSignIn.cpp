#include "Nimbo/Connection/LoopbackSignIn.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <mutex>
#include <thread>
#include <vector>

#include "Nimbo/Connection/LoopbackListener.h"
#include "Nimbo/Connection/RestService.h"

namespace Nimbo::Connection {

namespace {

std::atomic<std::chrono::milliseconds::rep> TimeoutMs{5 * 60 * 1000};

// How long the sign-in waits for the listener to record an answer a window has already seen.
constexpr std::chrono::seconds AnswerGrace{2};
constexpr std::chrono::milliseconds PollSlice{50};

std::string Base64Url(const unsigned char* ABytes, std::size_t ASize) {
    std::string text(4 * ((ASize + 2) / 3), '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), ABytes, static_cast<int>(ASize));
    text.resize(static_cast<std::size_t>(length));
    while (!text.empty() && text.back() == '=') text.pop_back();
    std::replace(text.begin(), text.end(), '+', '-');
    std::replace(text.begin(), text.end(), '/', '_');
    return text;
}

std::string RandomText(std::size_t ABytes) {
    std::vector<unsigned char> bytes(ABytes);
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1)
        throw ERestError("No secure random numbers for the sign-in");
    return Base64Url(bytes.data(), bytes.size());
}

// The running loopback sign-ins, for windows that wait for the browser outside the program.
struct TRunning {
    std::mutex Lock;
    std::vector<std::shared_ptr<TLoopbackListener>> Listeners;
};

TRunning& Running() {
    static auto* running = new TRunning();
    return *running;
}

std::shared_ptr<TLoopbackListener> FindRunning(const std::string& ARedirectUrl) {
    TRunning& running = Running();
    std::lock_guard lock(running.Lock);
    for (const auto& listener : running.Listeners)
        if (listener->RedirectUrl() == ARedirectUrl) return listener;
    return nullptr;
}

// The redirect_uri parameter of an authorization address, decoded.
std::string RedirectOf(const std::string& AAuthorizationUrl) {
    const std::size_t question = AAuthorizationUrl.find('?');
    if (question == std::string::npos) return {};
    return TLoopbackListener::QueryValue(AAuthorizationUrl.substr(question + 1), "redirect_uri").value_or("");
}

}  // namespace

bool IsLoopbackRedirect(const std::string& AUrl) {
    std::string lower = AUrl.substr(0, 32);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    for (const std::string host : {"http://127.0.0.1", "http://[::1]", "http://localhost"})
        if (lower.starts_with(host) && (lower.size() == host.size() ||
                                        std::string_view(":/?#").find(lower[host.size()]) != std::string_view::npos))
            return true;
    return false;
}

std::string Pkce::NewVerifier() { return RandomText(48); }

std::string Pkce::ChallengeS256(const std::string& AVerifier) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(AVerifier.data(), AVerifier.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        throw ERestError("SHA-256 digests are not available");
    return Base64Url(digest, length);
}

TLoopbackSignIn::TLoopbackSignIn(const std::string& ARedirectUrl)
    : FState(RandomText(24)), FVerifier(Pkce::NewVerifier()) {
    FListener = std::make_shared<TLoopbackListener>(ARedirectUrl, FState, Timeout());
    TRunning& running = Running();
    std::lock_guard lock(running.Lock);
    running.Listeners.push_back(FListener);
}

TLoopbackSignIn::~TLoopbackSignIn() {
    {
        TRunning& running = Running();
        std::lock_guard lock(running.Lock);
        std::erase(running.Listeners, FListener);
    }
    // A window waiting in AwaitRedirect may still hold the listener; it stops listening now all the same.
    FListener.reset();
}

const std::string& TLoopbackSignIn::RedirectUrl() const { return FListener->RedirectUrl(); }

std::chrono::milliseconds TLoopbackSignIn::Timeout() { return std::chrono::milliseconds(TimeoutMs.load()); }

void TLoopbackSignIn::SetTimeout(std::chrono::milliseconds AValue) { TimeoutMs = AValue.count(); }

std::string TLoopbackSignIn::Run(TServiceState& AState, const std::string& AAuthorizationUrl) {
    const TAuthUIClass windowClass = AState.GetDialogClass(Events(), true);
    const TServiceState::TWindowOutcome window =
        TServiceState::ShowSignInWindow(windowClass, Events(), AAuthorizationUrl, FListener->RedirectUrl());
    // A window that saw the redirect saw the listener's answer to it, so the outcome is there.
    const bool windowSawAnswer = !window.Code.empty() || !window.Error.empty();
    const TLoopbackListener::TOutcome outcome =
        windowSawAnswer ? FListener->WaitFor(AnswerGrace) : FListener->Outcome();

    using TStatus = TLoopbackListener::TStatus;
    switch (outcome.Status) {
        case TStatus::Answered:
            return outcome.Code;
        case TStatus::Denied:
            throw ERestError(TServiceState::RefusalMessage(outcome.Error));
        case TStatus::Mismatch:
            throw ERestError(
                "The sign-in was refused: the browser came back with an answer that does not belong to "
                "this sign-in (its state differs)");
        case TStatus::TimedOut:
            throw ERestError("The sign-in timed out: no answer came back from the browser within " +
                             std::to_string(std::chrono::duration_cast<std::chrono::seconds>(Timeout()).count()) +
                             " seconds");
        case TStatus::Waiting:
            break;
    }
    if (window.Canceled) throw EAbort();
    if (!window.Error.empty()) throw ERestError(TServiceState::RefusalMessage(window.Error));
    throw ERestError("The sign-in window closed without the service's answer reaching the program");
}

bool TLoopbackSignIn::IsRunningFor(const std::string& AAuthorizationUrl) {
    return FindRunning(RedirectOf(AAuthorizationUrl)) != nullptr;
}

std::optional<std::string> TLoopbackSignIn::AwaitRedirect(const std::string& AAuthorizationUrl,
                                                          const std::function<bool()>& AKeepWaiting) {
    const std::shared_ptr<TLoopbackListener> listener = FindRunning(RedirectOf(AAuthorizationUrl));
    if (!listener) return std::nullopt;
    for (;;) {
        const TLoopbackListener::TOutcome outcome = listener->WaitFor(PollSlice);
        if (outcome.Status == TLoopbackListener::TStatus::TimedOut) return std::nullopt;
        if (outcome.Status != TLoopbackListener::TStatus::Waiting) return outcome.Url;
        if (listener->Closed() || !AKeepWaiting()) return std::nullopt;
    }
}

}  // namespace Nimbo::Connection
