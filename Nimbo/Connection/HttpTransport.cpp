#include "Nimbo/Connection/HttpTransport.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "Nimbo/Connection/CurlEasy.h"
#include "Nimbo/Connection/platform/Exceptions.h"

namespace Nimbo::Connection {

namespace {

std::mutex GSettingsLock;
THttpTransportSettings GSettings;
thread_local THttpProgressHandler GProgressHandler;

using Curl::Append;
using TCurlList = Curl::TList;

bool SameHeaderName(const std::string& A, const char* B) {
    const std::size_t length = std::char_traits<char>::length(B);
    return A.size() == length && std::equal(A.begin(), A.end(), B, [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

bool HasHeader(const std::vector<THttpHeader>& AHeaders, const char* AName) {
    return std::any_of(AHeaders.begin(), AHeaders.end(),
                       [&](const THttpHeader& h) { return SameHeaderName(h.first, AName); });
}

std::string TrimmedValue(const std::string& AText) {
    const std::size_t first = AText.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return AText.substr(first, AText.find_last_not_of(" \t\r\n") - first + 1);
}

// Receives the answer: a 2xx body goes to the caller's stream, any other is kept as the error text.
class TResponseSink {
public:
    TResponseSink(CURL* AHandle, std::ostream* AResponse, const THttpExchange& AExchange)
        : FHandle(AHandle), FResponse(AResponse), FBeforeBody(AExchange.BeforeBody) {}

    static size_t OnBody(char* AData, size_t ASize, size_t ACount, void* ASelf) {
        return static_cast<TResponseSink*>(ASelf)->Body(AData, ASize * ACount);
    }
    static size_t OnHeader(char* AData, size_t ASize, size_t ACount, void* ASelf) {
        return static_cast<TResponseSink*>(ASelf)->HeaderLine(std::string(AData, ASize * ACount));
    }

    const std::string& ErrorText() const { return FErrorText; }
    // The header lines of the last answer received, as name and value.
    const std::vector<THttpHeader>& Headers() const { return FHeaders; }
    const std::string& Reason() const { return FReason; }
    const std::optional<std::chrono::seconds>& RetryAfter() const { return FRetryAfter; }
    bool StreamFailed() const { return FStreamFailed; }
    // What the check before the body raised, if anything.
    const std::exception_ptr& Refusal() const { return FRefusal; }
    // Whether the check before the body ran on the last answer (it had a body).
    bool BodyChecked() const { return FBodyChecked; }

private:
    static constexpr std::size_t MaxErrorText = 1 << 20;

    size_t Body(const char* AData, size_t ASize) {
        long code = 0;
        curl_easy_getinfo(FHandle, CURLINFO_RESPONSE_CODE, &code);
        if (code >= 200 && code <= 299) {
            if (FBeforeBody && !FBodyChecked && !CheckBeforeBody(static_cast<int>(code))) return 0;
            if (FResponse) {
                FResponse->write(AData, static_cast<std::streamsize>(ASize));
                if (!*FResponse) {
                    FStreamFailed = true;
                    return 0;
                }
            }
        } else if (FErrorText.size() < MaxErrorText) {
            FErrorText.append(AData, std::min(ASize, MaxErrorText - FErrorText.size()));
        }
        return ASize;
    }

    bool CheckBeforeBody(int ACode) {
        FBodyChecked = true;
        // Nothing may unwind through the transport's C code: keep the exception for later.
        try {
            FBeforeBody(ACode, FHeaders);
            return true;
        } catch (...) {
            FRefusal = std::current_exception();
            return false;
        }
    }

    size_t HeaderLine(const std::string& ALine) {
        if (ALine.rfind("HTTP/", 0) == 0) {
            // A new response begins (after a redirect or an interim answer).
            FBodyChecked = false;
            FErrorText.clear();
            FReason.clear();
            FHeaders.clear();
            FRetryAfter.reset();
            const std::size_t codeStart = ALine.find(' ');
            const std::size_t reasonStart = codeStart == std::string::npos ? codeStart : ALine.find(' ', codeStart + 1);
            if (reasonStart != std::string::npos) {
                FReason = ALine.substr(reasonStart + 1);
                while (!FReason.empty() && (FReason.back() == '\r' || FReason.back() == '\n')) FReason.pop_back();
            }
        } else if (const std::size_t colon = ALine.find(':'); colon != std::string::npos) {
            FHeaders.emplace_back(TrimmedValue(ALine.substr(0, colon)), TrimmedValue(ALine.substr(colon + 1)));
            if (SameHeaderName(FHeaders.back().first, "Retry-After"))
                FRetryAfter = ParseRetryAfter(FHeaders.back().second);
        }
        return ALine.size();
    }

    CURL* FHandle;
    std::ostream* FResponse;
    std::string FErrorText;
    std::string FReason;
    std::vector<THttpHeader> FHeaders;
    std::optional<std::chrono::seconds> FRetryAfter;
    bool FStreamFailed = false;
    const std::function<void(int, const std::vector<THttpHeader>&)>& FBeforeBody;
    bool FBodyChecked = false;
    std::exception_ptr FRefusal;
};

using Curl::SetOptionChecked;

// Feeds a request body to the transport: the in-memory bytes with the stream parts spliced in, each
// stream read only while it is sent. Rewinds when the transport must send the body again, and
// leaves every stream at its part's end when the exchange is over.
class TBodyReader {
public:
    TBodyReader(const TBytes& ABytes, const std::vector<THttpStreamPart>& AParts) : FBytes(ABytes), FParts(AParts) {
        FSize = static_cast<std::int64_t>(ABytes.size());
        for (const THttpStreamPart& part : AParts) FSize += part.Size;
    }
    ~TBodyReader() {
        for (const THttpStreamPart& part : FParts) {
            part.Stream->clear();
            part.Stream->seekg(part.Start + part.Size);
            part.Stream->setstate(std::ios::eofbit | std::ios::failbit);
        }
    }
    TBodyReader(const TBodyReader&) = delete;
    TBodyReader& operator=(const TBodyReader&) = delete;

    bool HasStreams() const { return !FParts.empty(); }
    std::int64_t Size() const { return FSize; }
    // Why reading the body failed; empty when it did not.
    const std::string& Failure() const { return FFailure; }

    static size_t OnRead(char* ABuffer, size_t ASize, size_t ACount, void* ASelf) {
        return static_cast<TBodyReader*>(ASelf)->Read(ABuffer, ASize * ACount);
    }
    static int OnSeek(void* ASelf, curl_off_t AOffset, int AOrigin) {
        if (AOrigin != SEEK_SET || AOffset != 0) return CURL_SEEKFUNC_CANTSEEK;
        auto* self = static_cast<TBodyReader*>(ASelf);
        self->FPart = 0;
        self->FByte = 0;
        self->FInPart = false;
        return CURL_SEEKFUNC_OK;
    }

private:
    // Where the in-memory stretch before the current part (or the last stretch) ends.
    std::size_t StretchEnd() const { return FPart < FParts.size() ? FParts[FPart].At : FBytes.size(); }

    size_t Read(char* ABuffer, size_t AMax) {
        size_t done = 0;
        while (done < AMax) {
            if (!FInPart) {
                const std::size_t end = StretchEnd();
                const std::size_t count = std::min(AMax - done, end - FByte);
                if (count > 0) std::memcpy(ABuffer + done, FBytes.data() + FByte, count);
                FByte += count;
                done += count;
                if (FByte < end || FPart >= FParts.size()) break;
                if (!StartPart()) return CURL_READFUNC_ABORT;
            } else {
                const THttpStreamPart& part = FParts[FPart];
                const auto wanted = static_cast<std::streamsize>(std::min<std::int64_t>(AMax - done, FLeft));
                part.Stream->read(ABuffer + done, wanted);
                const std::streamsize got = part.Stream->gcount();
                done += static_cast<size_t>(got);
                FLeft -= got;
                if (got < wanted) {
                    FFailure = "the stream of the request body ended " + std::to_string(FLeft) + " bytes early";
                    return CURL_READFUNC_ABORT;
                }
                if (FLeft == 0) {
                    FInPart = false;
                    ++FPart;
                }
            }
        }
        return done;
    }

    bool StartPart() {
        const THttpStreamPart& part = FParts[FPart];
        part.Stream->clear();
        if (!part.Stream->seekg(part.Start)) {
            FFailure = "the stream of the request body cannot be read again";
            return false;
        }
        FInPart = part.Size > 0;
        FLeft = part.Size;
        if (!FInPart) ++FPart;
        return true;
    }

    const TBytes& FBytes;
    const std::vector<THttpStreamPart>& FParts;
    std::int64_t FSize = 0;
    std::size_t FPart = 0;   // the next (or current) stream part
    std::size_t FByte = 0;   // the next in-memory byte
    bool FInPart = false;    // reading the stream of FParts[FPart]
    std::int64_t FLeft = 0;  // bytes of the current part still to send
    std::string FFailure;
};

// Passes the transport's progress to the handler and turns its answer into going on or stopping.
class TProgressRelay {
public:
    explicit TProgressRelay(THttpProgressHandler AHandler) : FHandler(std::move(AHandler)) {}

    static int OnProgress(void* ASelf, curl_off_t ADownTotal, curl_off_t ADownDone, curl_off_t AUpTotal,
                          curl_off_t AUpDone) {
        return static_cast<TProgressRelay*>(ASelf)->Report(
            {.UploadDone = AUpDone, .UploadTotal = AUpTotal, .DownloadDone = ADownDone, .DownloadTotal = ADownTotal});
    }

    // When the handler stopped the transfer: its exception, else the silent abort.
    void RaiseIfStopped() const {
        if (FError) std::rethrow_exception(FError);
        if (FStopped) throw EAbort();
    }

private:
    int Report(const THttpProgress& AProgress) {
        // Nothing may unwind through the transport's C code: keep the exception for later.
        try {
            FStopped = !FHandler(AProgress);
        } catch (...) {
            FError = std::current_exception();
            FStopped = true;
        }
        return FStopped ? 1 : 0;
    }

    THttpProgressHandler FHandler;
    std::exception_ptr FError;
    bool FStopped = false;
};

TCurlList BuildHeaderList(const THttpExchange& AExchange) {
    TCurlList list;
    for (const THttpHeader& header : AExchange.Headers)
        // "Name;" is how the transport is told to send a header with an empty value.
        Append(list, header.second.empty() ? header.first + ";" : header.first + ": " + header.second);
    // Keep the transport from adding headers that change the request's meaning or delay it.
    const bool hasBody = AExchange.Method == "PUT" || AExchange.Method == "POST" || AExchange.Method == "PATCH";
    if (hasBody && !HasHeader(AExchange.Headers, "Content-Type")) Append(list, "Content-Type:");
    if (!HasHeader(AExchange.Headers, "Expect")) Append(list, "Expect:");
    return list;
}

std::string DescribeFailure(const THttpExchange& AExchange, CURLcode ACode, const char* ADetail) {
    std::string what;
    switch (ACode) {
        case CURLE_OPERATION_TIMEDOUT:
            what = "timed out";
            break;
        case CURLE_COULDNT_RESOLVE_HOST:
            what = "could not resolve the host";
            break;
        case CURLE_COULDNT_CONNECT:
            what = "could not connect";
            break;
        case CURLE_PEER_FAILED_VERIFICATION:
            what = "the server's TLS certificate is not trusted";
            break;
        case CURLE_SSL_CONNECT_ERROR:
            what = "the TLS handshake failed";
            break;
        case CURLE_TOO_MANY_REDIRECTS:
            what = "too many redirects";
            break;
        case CURLE_UNSUPPORTED_PROTOCOL:
            what = "unsupported protocol";
            break;
        case CURLE_WRITE_ERROR:
            what = "writing the response failed";
            break;
        default:
            what = curl_easy_strerror(ACode);
            break;
    }
    std::string message = AExchange.Method + " " + AExchange.Url + " failed: " + what;
    if (ADetail && *ADetail) message += " (" + std::string(ADetail) + ")";
    return message;
}

}  // namespace

std::optional<std::chrono::seconds> ParseRetryAfter(const std::string& AValue) {
    constexpr long long Longest = 1LL << 31;
    long long seconds = 0;
    const char* end = AValue.data() + AValue.size();
    const auto [stop, error] = std::from_chars(AValue.data(), end, seconds);
    if (!AValue.empty() && stop == end) {
        if (error == std::errc::result_out_of_range && AValue[0] != '-') return std::chrono::seconds(Longest);
        if (error == std::errc() && seconds >= 0) return std::chrono::seconds(std::min(seconds, Longest));
        return std::nullopt;
    }
    const std::time_t date = curl_getdate(AValue.c_str(), nullptr);
    if (date == -1) return std::nullopt;
    return std::chrono::seconds(std::clamp<long long>(date - std::time(nullptr), 0, Longest));
}

THttpTransportSettings THttpTransport::Settings() {
    std::lock_guard lock(GSettingsLock);
    return GSettings;
}

void THttpTransport::Configure(const THttpTransportSettings& ASettings) {
    std::lock_guard lock(GSettingsLock);
    GSettings = ASettings;
}

THttpProgressScope::THttpProgressScope(THttpProgressHandler AHandler)
    : FPrevious(std::exchange(GProgressHandler, std::move(AHandler))) {}

THttpProgressScope::~THttpProgressScope() { GProgressHandler = std::move(FPrevious); }

THttpProgressHandler THttpProgressScope::Current() { return GProgressHandler; }

int THttpTransport::Perform(const THttpExchange& AExchange, std::ostream* AResponse) {
    const THttpTransportSettings settings = Settings();

    const Curl::TLease handle(AExchange.Method == "GET" || AExchange.Repeatable);
    CURL* h = handle.Get();
    char errorBuffer[CURL_ERROR_SIZE] = {};
    TResponseSink sink(h, AResponse, AExchange);

    SetOptionChecked(h, CURLOPT_ERRORBUFFER, errorBuffer);
    SetOptionChecked(h, CURLOPT_URL, AExchange.Url.c_str());
    // The URL goes out exactly as built: no "." or ".." segment is tidied away.
    SetOptionChecked(h, CURLOPT_PATH_AS_IS, 1L);
    SetOptionChecked(h, CURLOPT_FOLLOWLOCATION, AExchange.FollowRedirects ? 1L : 0L);
    SetOptionChecked(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    SetOptionChecked(h, CURLOPT_MAXREDIRS, settings.MaxRedirects);
    SetOptionChecked(h, CURLOPT_COOKIEFILE, "");  // cookies live for this exchange only
    TCurlList connectTo;
    Curl::ApplyConnectionSettings(h, settings, connectTo);
    if (!AExchange.UserAgent.empty()) SetOptionChecked(h, CURLOPT_USERAGENT, AExchange.UserAgent.c_str());

    TCurlList headers = BuildHeaderList(AExchange);
    SetOptionChecked(h, CURLOPT_HTTPHEADER, headers.get());

    static const TBytes NoBody;
    static const std::vector<THttpStreamPart> NoStreams;
    const TBytes& body = AExchange.Body ? *AExchange.Body : NoBody;
    TBodyReader streamedBody(body, AExchange.BodyStreams ? *AExchange.BodyStreams : NoStreams);
    if (AExchange.Method == "GET") {
        SetOptionChecked(h, CURLOPT_HTTPGET, 1L);
    } else if (AExchange.Method == "PUT" || AExchange.Method == "POST" || AExchange.Method == "PATCH") {
        if (streamedBody.HasStreams()) {
            SetOptionChecked(h, CURLOPT_POST, 1L);
            SetOptionChecked(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(streamedBody.Size()));
            SetOptionChecked(h, CURLOPT_READFUNCTION, &TBodyReader::OnRead);
            SetOptionChecked(h, CURLOPT_READDATA, &streamedBody);
            SetOptionChecked(h, CURLOPT_SEEKFUNCTION, &TBodyReader::OnSeek);
            SetOptionChecked(h, CURLOPT_SEEKDATA, &streamedBody);
        } else {
            SetOptionChecked(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
            // Never a null pointer: that would make the transport read the body from standard input.
            SetOptionChecked(h, CURLOPT_POSTFIELDS, body.empty() ? "" : reinterpret_cast<const char*>(body.data()));
        }
        if (AExchange.Method != "POST") SetOptionChecked(h, CURLOPT_CUSTOMREQUEST, AExchange.Method.c_str());
    } else if (AExchange.Method == "DELETE") {
        SetOptionChecked(h, CURLOPT_CUSTOMREQUEST, "DELETE");
    } else {
        throw ETransportError("Unsupported HTTP method " + AExchange.Method);
    }

    SetOptionChecked(h, CURLOPT_WRITEFUNCTION, &TResponseSink::OnBody);
    SetOptionChecked(h, CURLOPT_WRITEDATA, &sink);
    SetOptionChecked(h, CURLOPT_HEADERFUNCTION, &TResponseSink::OnHeader);
    SetOptionChecked(h, CURLOPT_HEADERDATA, &sink);

    std::optional<TProgressRelay> progress;
    if (GProgressHandler) {
        progress.emplace(GProgressHandler);
        SetOptionChecked(h, CURLOPT_XFERINFOFUNCTION, &TProgressRelay::OnProgress);
        SetOptionChecked(h, CURLOPT_XFERINFODATA, &*progress);
        SetOptionChecked(h, CURLOPT_NOPROGRESS, 0L);
    }

    const CURLcode rc = curl_easy_perform(h);
    long code = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
    if (settings.OnExchange) settings.OnExchange(AExchange.Method, AExchange.Url, rc == CURLE_OK ? int(code) : 0);
    if (rc != CURLE_OK) {
        if (progress) progress->RaiseIfStopped();
        if (sink.Refusal()) std::rethrow_exception(sink.Refusal());
        if (!streamedBody.Failure().empty())
            throw ETransportError(AExchange.Method + " " + AExchange.Url + " failed: " + streamedBody.Failure());
        if (sink.StreamFailed())
            throw ETransportError(AExchange.Method + " " + AExchange.Url + " failed: writing the response failed");
        throw ETransportError(DescribeFailure(AExchange, rc, errorBuffer));
    }

    if (AExchange.ResponseHeaders) *AExchange.ResponseHeaders = sink.Headers();
    if (code < 200 || code > 299)
        throw EHttpProtocolError(static_cast<int>(code), sink.Reason(), sink.ErrorText(), sink.RetryAfter());
    // An answer without a body is checked all the same.
    if (AExchange.BeforeBody && !sink.BodyChecked()) AExchange.BeforeBody(static_cast<int>(code), sink.Headers());
    return static_cast<int>(code);
}

}  // namespace Nimbo::Connection
