#include "Nimbo/Connection/CurlEasy.h"

#include <filesystem>

#include "Nimbo/Connection/platform/Exceptions.h"

namespace Nimbo::Connection::Curl {

void CheckOption(CURLcode ACode) {
    if (ACode != CURLE_OK)
        throw ETransportError(std::string("Cannot configure the HTTP transport: ") + curl_easy_strerror(ACode));
}

void EnsureInitialized() {
    static const bool initialized = [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) throw ETransportError("Cannot initialise libcurl");
        return true;
    }();
    (void)initialized;
}

THandle NewHandle() {
    EnsureInitialized();
    THandle handle(curl_easy_init());
    if (!handle) throw ETransportError("Cannot create an HTTP transport");
    return handle;
}

namespace {

struct TThreadHandle {
    THandle Handle;
    bool InUse = false;
};
thread_local TThreadHandle GThreadHandle;

}  // namespace

TLease::TLease(bool AReusable) {
    if (AReusable && !GThreadHandle.InUse) {
        if (!GThreadHandle.Handle) GThreadHandle.Handle = NewHandle();
        GThreadHandle.InUse = true;
        FBorrowed = true;
        FHandle = GThreadHandle.Handle.get();
        return;
    }
    FOwned = NewHandle();
    FHandle = FOwned.get();
    SetOptionChecked(FHandle, CURLOPT_FRESH_CONNECT, 1L);
    SetOptionChecked(FHandle, CURLOPT_FORBID_REUSE, 1L);
}

TLease::~TLease() {
    if (!FBorrowed) return;
    // The cookies were the finished exchange's own: dropped with the engine (and its list of
    // cookie files, which a reset would leak). Its options point into it too.
    curl_easy_setopt(FHandle, CURLOPT_COOKIEFILE, nullptr);
    curl_easy_reset(FHandle);
    GThreadHandle.InUse = false;
}

void Append(TList& AList, const std::string& ALine) {
    curl_slist* grown = curl_slist_append(AList.get(), ALine.c_str());
    if (!grown) throw ETransportError("Out of memory building the request headers");
    AList.release();
    AList.reset(grown);
}

void ApplyConnectionSettings(CURL* AHandle, const THttpTransportSettings& ASettings, TList& AConnectTo) {
    SetOptionChecked(AHandle, CURLOPT_NOSIGNAL, 1L);
    SetOptionChecked(AHandle, CURLOPT_PROTOCOLS_STR, "http,https");
    SetOptionChecked(AHandle, CURLOPT_CONNECTTIMEOUT_MS, ASettings.ConnectTimeoutMs);
    SetOptionChecked(AHandle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    SetOptionChecked(AHandle, CURLOPT_LOW_SPEED_TIME, ASettings.StallTimeoutSeconds);
    SetOptionChecked(AHandle, CURLOPT_SSL_VERIFYPEER, 1L);
    SetOptionChecked(AHandle, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!ASettings.CaFile.empty()) {
        // Trust the configured file in addition to the system's store.
        SetOptionChecked(AHandle, CURLOPT_CAINFO, ASettings.CaFile.c_str());
        std::error_code ignored;
        if (std::filesystem::is_directory("/etc/ssl/certs", ignored))
            SetOptionChecked(AHandle, CURLOPT_CAPATH, "/etc/ssl/certs");
    }
    for (const std::string& mapping : ASettings.ConnectTo) Append(AConnectTo, mapping);
    if (AConnectTo) SetOptionChecked(AHandle, CURLOPT_CONNECT_TO, AConnectTo.get());
}

}  // namespace Nimbo::Connection::Curl
