#pragma once

// libcurl handles owned by RAII wrappers, and the connection settings every easy handle of the
// library shares. Internal to the library: the HTTP transport and the headless sign-in window.

#include <curl/curl.h>

#include <memory>
#include <string>

#include "Nimbo/Connection/HttpTransport.h"

namespace Nimbo::Connection::Curl {

struct TDeleter {
    void operator()(CURL* AHandle) const { curl_easy_cleanup(AHandle); }
    void operator()(curl_slist* AList) const { curl_slist_free_all(AList); }
};
using THandle = std::unique_ptr<CURL, TDeleter>;
using TList = std::unique_ptr<curl_slist, TDeleter>;

// Initialises libcurl once for the process.
void EnsureInitialized();
// A new easy handle; ETransportError when none can be made.
THandle NewHandle();

// An easy handle for one exchange. A reusable lease borrows the calling thread's kept handle, whose
// open connections and TLS sessions serve the next reusable exchange on that thread (with options
// and cookies cleared in between); any other lease owns a fresh handle that reuses nothing and
// keeps nothing. Either way, cookies live for one exchange (its redirects included). Reuse is only for exchanges that
// are safe to repeat: libcurl silently sends a request again when a reused connection turns out to be closed.
class TLease {
public:
    explicit TLease(bool AReusable);
    ~TLease();
    TLease(const TLease&) = delete;
    TLease& operator=(const TLease&) = delete;

    CURL* Get() const { return FHandle; }

private:
    THandle FOwned;
    CURL* FHandle = nullptr;
    bool FBorrowed = false;
};

void Append(TList& AList, const std::string& ALine);

// ETransportError naming the problem unless ACode is CURLE_OK.
void CheckOption(CURLcode ACode);

template <class T>
void SetOptionChecked(CURL* AHandle, CURLoption AOption, T AValue) {
    CheckOption(curl_easy_setopt(AHandle, AOption, AValue));
}

// Applies the process-wide settings that decide where and how a handle connects: trusted CAs, host
// mappings, time-outs and certificate checks. AConnectTo must outlive the transfer.
void ApplyConnectionSettings(CURL* AHandle, const THttpTransportSettings& ASettings, TList& AConnectTo);

}  // namespace Nimbo::Connection::Curl
