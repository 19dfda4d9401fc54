#include "Nimbo/Connection/Http.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <mutex>
#include <optional>
#include <thread>

#include "Nimbo/Connection/HttpTransport.h"
#include "Nimbo/Connection/Json.h"

namespace Nimbo::Connection {

namespace {

const char* MethodName(THttpMethod AMethod) {
    switch (AMethod) {
        case hmGet:
            return "GET";
        case hmPut:
            return "PUT";
        case hmPost:
            return "POST";
        case hmDelete:
            return "DELETE";
        case hmPatch:
            return "PATCH";
    }
    return "GET";
}

// The next ACount bytes of the stream (fewer when it ends first) as a part that stays in it, with
// the stream right after them; nothing (and the stream as it was) when the stream cannot seek.
std::optional<THttpStreamPart> SeekablePart(std::istream& AStream, std::size_t AAt, std::int64_t ACount) {
    if (!AStream.good()) return std::nullopt;
    const std::istream::pos_type start = AStream.tellg();
    if (start == std::istream::pos_type(-1)) return std::nullopt;
    if (!AStream.seekg(0, std::ios::end)) {
        AStream.clear();
        AStream.seekg(start);
        return std::nullopt;
    }
    const std::istream::pos_type end = AStream.tellg();
    if (end == std::istream::pos_type(-1) || end < start) {
        AStream.clear();
        AStream.seekg(start);
        return std::nullopt;
    }
    const std::int64_t size = std::min<std::int64_t>(ACount, end - start);
    if (size < end - start) AStream.seekg(start + static_cast<std::streamoff>(size));
    return THttpStreamPart{AAt, &AStream, static_cast<std::int64_t>(start), size};
}

bool SameHeaderName(const std::string& A, const std::string& B) {
    return std::equal(A.begin(), A.end(), B.begin(), B.end(),
                      [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

bool IsBlankOrControl(char C) { return static_cast<unsigned char>(C) <= ' '; }

std::string Trim(const std::string& S) {
    std::size_t first = 0, last = S.size();
    while (first < last && IsBlankOrControl(S[first])) ++first;
    while (last > first && IsBlankOrControl(S[last - 1])) --last;
    return S.substr(first, last - first);
}

// The stored header lines as name/value pairs, in order.
std::vector<THttpHeader> SplitHeaders(const std::string& AHeaders) {
    std::vector<THttpHeader> result;
    std::size_t start = 0;
    while (start < AHeaders.size()) {
        std::size_t end = AHeaders.find("\r\n", start);
        if (end == std::string::npos) end = AHeaders.size();
        const std::string line = AHeaders.substr(start, end - start);
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos)
            result.emplace_back(Trim(line), std::string());
        else
            result.emplace_back(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
        start = end + 2;
    }
    return result;
}

// Collects a response into memory.
class TByteSink : public std::streambuf {
public:
    explicit TByteSink(TBytes& ABytes) : FBytes(ABytes) {}

protected:
    std::streamsize xsputn(const char* AData, std::streamsize ACount) override {
        FBytes.insert(FBytes.end(), AData, AData + ACount);
        return ACount;
    }
    int_type overflow(int_type AChar) override {
        if (!traits_type::eq_int_type(AChar, traits_type::eof())) FBytes.push_back(static_cast<std::uint8_t>(AChar));
        return traits_type::not_eof(AChar);
    }

private:
    TBytes& FBytes;
};

// The reasons of Google's error body, {"error": {"errors": [{"reason": ...}]}}.
struct TRateLimitReason {
    std::string reason;
    NIMBO_JSON_FIELDS(TRateLimitReason, reason)
};
struct TRateLimitError {
    std::vector<TRateLimitReason> errors;
    NIMBO_JSON_FIELDS(TRateLimitError, errors)
};
struct TRateLimitAnswer {
    TRateLimitError error;
    NIMBO_JSON_FIELDS(TRateLimitAnswer, error)
};

std::mutex GRetryPolicyLock;
THttpRetryPolicy GRetryPolicy;

}  // namespace

// ---- THttpRetryPolicy ----

bool THttpRetryPolicy::IsInterruption() {
    try {
        throw;
    } catch (const ETransportError&) {
        return true;
    } catch (const EHttpProtocolError& E) {
        const int code = E.ErrorCode();
        return code == 500 || code == 502 || code == 503 || code == 504;
    } catch (...) {
        return false;
    }
}

bool THttpRetryPolicy::IsBusyAnswer(int ACode, const std::string& ABody) {
    if (IsBusyAnswer(ACode)) return true;
    if (ACode != 403) return false;
    TRateLimitAnswer answer;
    try {
        TJsonDecoder(ABody).Decode(answer);
    } catch (const Exception&) {
        return false;
    }
    return std::any_of(answer.error.errors.begin(), answer.error.errors.end(), [](const TRateLimitReason& AItem) {
        return AItem.reason == "rateLimitExceeded" || AItem.reason == "userRateLimitExceeded";
    });
}

std::chrono::milliseconds THttpRetryPolicy::Delay(std::optional<std::chrono::seconds> AAsked, int ARepeat) const {
    if (AAsked) return std::min<std::chrono::milliseconds>(*AAsked, MaxWait);
    std::chrono::milliseconds wait = FirstBackoff;
    for (int doubling = 0; doubling < ARepeat && wait < MaxWait; ++doubling) wait *= 2;
    return std::min(wait, MaxWait);
}

namespace {

// Sleeps for AWait in short slices, asking the thread's progress handler in between whether to go
// on: a stop asked during a long wait (a Retry-After of half a minute) ends it at once with EAbort.
void SleepUnlessStopped(std::chrono::milliseconds AWait) {
    constexpr std::chrono::milliseconds Slice{100};
    const THttpProgressHandler handler = THttpProgressScope::Current();
    const auto until = std::chrono::steady_clock::now() + AWait;
    for (auto now = std::chrono::steady_clock::now(); now < until; now = std::chrono::steady_clock::now()) {
        if (handler && !handler(THttpProgress{})) throw EAbort();
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(until - now, Slice));
    }
}

}  // namespace

void THttpRetryPolicy::Pause(std::optional<std::chrono::seconds> AAsked, int ARepeat) const {
    const std::chrono::milliseconds wait = Delay(AAsked, ARepeat);
    if (Wait)
        Wait(wait);
    else
        SleepUnlessStopped(wait);
}

// ---- THttpClient ----

THttpClient::THttpClient(const std::string& AServer) : FUserAgent("Velmor-Cumulo"), FServer(AServer) {}

THttpRequest THttpClient::Get(const std::string& AUrl) { return THttpRequest(this, hmGet, ExpandURL(AUrl)); }
THttpRequest THttpClient::Put(const std::string& AUrl) { return THttpRequest(this, hmPut, ExpandURL(AUrl)); }
THttpRequest THttpClient::Post(const std::string& AUrl) { return THttpRequest(this, hmPost, ExpandURL(AUrl)); }
THttpRequest THttpClient::Delete(const std::string& AUrl) { return THttpRequest(this, hmDelete, ExpandURL(AUrl)); }

THttpRequest THttpClient::Patch(const std::string& AUrl) { return THttpRequest(this, hmPatch, ExpandURL(AUrl)); }

std::string THttpClient::UrlEncode(const std::string& S) {
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::string result;
    result.reserve(S.size() * 3);
    for (char c : S) {
        const auto unit = static_cast<unsigned char>(c);
        const bool unreserved = (unit >= 'A' && unit <= 'Z') || (unit >= 'a' && unit <= 'z') ||
                                (unit >= '0' && unit <= '9') || unit == '-' || unit == '.' || unit == '_' ||
                                unit == '~';
        if (unreserved) {
            result.push_back(c);
        } else {
            result.push_back('%');
            result.push_back(Digits[unit / 16]);
            result.push_back(Digits[unit % 16]);
        }
    }
    return result;
}

std::string THttpClient::ExpandURL(const std::string& AUrl) const {
    if (AUrl.rfind("https://", 0) == 0 || AUrl.rfind("http://", 0) == 0) return AUrl;
    const std::string path = !AUrl.empty() && AUrl[0] == '/' ? AUrl.substr(1) : AUrl;
    return "https://" + FServer + "/" + path;
}

THttpRetryPolicy THttpClient::RetryPolicy() {
    std::lock_guard lock(GRetryPolicyLock);
    return GRetryPolicy;
}

void THttpClient::SetRetryPolicy(const THttpRetryPolicy& APolicy) {
    std::lock_guard lock(GRetryPolicyLock);
    GRetryPolicy = APolicy;
}

int THttpClient::ProcessRequest(const THttpRequest& ARequest, std::ostream* AResponse) {
    if (!ARequest.Get().SafeToRepeat) return ProcessRequestPeerAPI(ARequest, AResponse);
    const THttpRetryPolicy policy = RetryPolicy();
    for (int retry = 0;; ++retry) {
        try {
            return ProcessRequestPeerAPI(ARequest, AResponse);
        } catch (const EHttpProtocolError& E) {
            // Nothing of such an answer has reached AResponse, so the next attempt starts clean.
            if (retry >= policy.MaxRetries || !THttpRetryPolicy::IsBusyAnswer(E.ErrorCode(), E.ErrorMessage())) throw;
            policy.Pause(E.RetryAfter(), retry);
        }
    }
}

int THttpClient::ProcessRequestPeerAPI(const THttpRequest& ARequest, std::ostream* AResponse) {
    const THttpRequest::TData& data = ARequest.Get();
    THttpExchange exchange;
    exchange.Method = MethodName(data.Method);
    exchange.Url = data.Url;
    exchange.Headers = SplitHeaders(data.Headers);
    exchange.Body = &data.Data;
    exchange.BodyStreams = &data.Streams;
    exchange.UserAgent = FUserAgent;
    exchange.FollowRedirects = data.FollowRedirects;
    exchange.Repeatable = data.SafeToRepeat;
    exchange.BeforeBody = data.BeforeBody;
    // Kept with the request, written even when the exchange raises.
    ARequest.Get().ResponseHeaders.clear();
    exchange.ResponseHeaders = &ARequest.Get().ResponseHeaders;
    const int code = THttpTransport::Perform(exchange, AResponse);
    ARequest.CheckResponse(code);
    return code;
}

// ---- THttpRequest ----

THttpRequest::THttpRequest(THttpClient* AClient, THttpMethod AMethod, const std::string& AUrl)
    : FData(std::make_shared<TData>()) {
    FData->Client = AClient;
    FData->Method = AMethod;
    FData->Url = AUrl;
}

THttpRequest::THttpRequest(AutoFree<TData> AData) : FData(std::move(AData)) {}

THttpRequest THttpRequest::Param(const std::string& AName, const std::string& AValue) {
    DoAddParam(AName, AValue);
    return *this;
}

THttpRequest THttpRequest::ParamIf(bool ACondition, const std::string& AName, const std::string& AValue) {
    if (ACondition) DoAddParam(AName, AValue);
    return *this;
}

THttpRequest THttpRequest::Header(const std::string& AName, const std::string& AValue) {
    CheckNoHeadersInMultipart();
    DoAddHeader(AName, AValue);
    return *this;
}

THttpRequest THttpRequest::HeaderIf(bool ACondition, const std::string& AName, const std::string& AValue) {
    if (ACondition) Header(AName, AValue);
    return *this;
}

THttpRequest THttpRequest::Data(const TBytes& AData) {
    FData->Append(AData.data(), AData.size());
    return *this;
}

THttpRequest THttpRequest::Data(std::istream& AStream) {
    return Data(AStream, std::numeric_limits<std::int64_t>::max());
}

THttpRequest THttpRequest::Data(std::istream& AStream, std::int64_t ACount) {
    if (const std::optional<THttpStreamPart> part = SeekablePart(AStream, FData->Data.size(), ACount)) {
        FData->Streams.push_back(*part);
        // As after reading the part: at the stream's end, or right after the part inside it.
        if (ACount == std::numeric_limits<std::int64_t>::max()) AStream.setstate(std::ios::eofbit | std::ios::failbit);
        return *this;
    }
    char buffer[64 * 1024];
    for (std::int64_t left = ACount; left > 0;) {
        const auto wanted = static_cast<std::streamsize>(std::min<std::int64_t>(left, sizeof buffer));
        AStream.read(buffer, wanted);
        const std::streamsize got = AStream.gcount();
        FData->Append(buffer, static_cast<std::size_t>(got));
        left -= got;
        if (got < wanted) break;
    }
    return *this;
}

THttpRequest THttpRequest::Data(const void* AData, int ASize) {
    if (ASize > 0) FData->Append(AData, static_cast<std::size_t>(ASize));
    return *this;
}

THttpRequest THttpRequest::SafeToRepeat() {
    FData->SafeToRepeat = true;
    return *this;
}

THttpRequest THttpRequest::ByteRange(std::int64_t AFirst, std::int64_t ALast, std::int64_t ATotal) {
    if (AFirst < 0 || ALast < AFirst || ALast >= ATotal)
        throw EHttpError("Bytes " + std::to_string(AFirst) + "-" + std::to_string(ALast) +
                         " are not within content of " + std::to_string(ATotal) + " bytes");
    const std::string stretch = std::to_string(AFirst) + "-" + std::to_string(ALast);
    FData->BeforeBody = [stretch, expected = "bytes " + stretch + "/" + std::to_string(ATotal)](
                            int ACode, const std::vector<THttpHeader>& AHeaders) {
        if (ACode != 206)
            throw EHttpError("The service answered " + std::to_string(ACode) + " where bytes " + stretch +
                             " were asked for (206)");
        const auto range = std::find_if(AHeaders.begin(), AHeaders.end(),
                                        [](const THttpHeader& H) { return SameHeaderName(H.first, "Content-Range"); });
        const std::string given = range == AHeaders.end() ? std::string("none") : range->second;
        if (given != expected)
            throw EHttpError("The service answered Content-Range " + given + " where " + expected + " was asked for");
    };
    Header("Range", "bytes=" + stretch);
    return ValidResponse(206);
}

THttpRequest THttpRequest::Configure(const TConfigProc& AProc) {
    AProc(*this);
    return *this;
}

THttpRequest THttpRequest::FollowRedirects(bool AValue) {
    FData->FollowRedirects = AValue;
    return *this;
}

std::string THttpRequest::ResponseHeader(const std::string& AName) const {
    for (const THttpHeader& header : FData->ResponseHeaders)
        if (SameHeaderName(header.first, AName)) return header.second;
    return {};
}

THttpRequest THttpRequest::OnResponse(int ACode, std::function<void()> AProc) {
    FData->OnResponse.push_back({ACode, std::move(AProc)});
    return *this;
}

THttpRequest THttpRequest::OnResponse(int ACode, const std::string& AErrorMsg) {
    return OnResponse(ACode, [AErrorMsg] { throw EHttpError(AErrorMsg); });
}

THttpRequest THttpRequest::ValidResponse(int ACode) {
    FData->ValidResponse.push_back(ACode);
    return *this;
}

THttpRequest THttpRequest::ValidResponse(const std::vector<int>& ACodes) {
    FData->ValidResponse.insert(FData->ValidResponse.end(), ACodes.begin(), ACodes.end());
    return *this;
}

int THttpRequest::Execute() const { return FData->Client->ProcessRequest(*this, nullptr); }

int THttpRequest::Execute(TBytes& AResponse) const {
    AResponse.clear();
    TBytes received;
    TByteSink sink(received);
    std::ostream stream(&sink);
    const int code = FData->Client->ProcessRequest(*this, &stream);
    AResponse = std::move(received);
    return code;
}

int THttpRequest::Execute(std::string& AResponse) const {
    AResponse.clear();
    TBytes received;
    const int code = Execute(received);
    AResponse.assign(received.begin(), received.end());
    return code;
}

int THttpRequest::Execute(std::ostream& AResponse) const { return FData->Client->ProcessRequest(*this, &AResponse); }

TBytes THttpRequest::AddArrays(const TBytes& A, const TBytes& B) {
    TBytes result;
    result.reserve(A.size() + B.size());
    result.insert(result.end(), A.begin(), A.end());
    result.insert(result.end(), B.begin(), B.end());
    return result;
}

void THttpRequest::CheckResponse(int ACode) const {
    for (const TOnResponse& handler : FData->OnResponse) {
        if (handler.Code == ACode && handler.Proc) {
            handler.Proc();
            return;
        }
    }
    const std::vector<int>& valid = FData->ValidResponse;
    if (valid.empty() || std::find(valid.begin(), valid.end(), ACode) != valid.end()) return;
    throw EHttpError("Unacceptable response code: " + std::to_string(ACode));
}

void THttpRequest::DoAddHeader(const std::string& AName, const std::string& AValue) {
    // A NUL would silently cut the line where the transport reads it as a C string.
    static const std::string Forbidden("\r\n\0", 3);
    if (AName.find_first_of(Forbidden) != std::string::npos || AValue.find_first_of(Forbidden) != std::string::npos)
        throw EHttpError("Header \"" + AName.substr(0, AName.find_first_of(Forbidden)) +
                         "\" refused: a header name or value must not contain a line break or a NUL");
    std::string& headers = FData->Headers;
    if (!headers.empty()) headers += "\r\n";
    headers += AName + ": " + AValue;
}

void THttpRequest::DoAddParam(const std::string& AName, const std::string& AValue) {
    std::string& url = FData->Url;
    url += url.find('?') == std::string::npos ? '?' : '&';
    url += THttpClient::UrlEncode(AName) + "=" + THttpClient::UrlEncode(AValue);
}

void THttpRequest::CheckNoHeadersInMultipart() const {
    if (FData->InMultipart) throw EHttpError("Cannot add header inside multipart");
}

TBytes THttpRequest::TData::BodyBytes() const {
    TBytes body;
    std::size_t copied = 0;
    for (const THttpStreamPart& part : Streams) {
        body.insert(body.end(), Data.begin() + static_cast<std::ptrdiff_t>(copied),
                    Data.begin() + static_cast<std::ptrdiff_t>(part.At));
        copied = part.At;
        part.Stream->clear();
        part.Stream->seekg(part.Start);
        const std::size_t at = body.size();
        body.resize(at + static_cast<std::size_t>(part.Size));
        part.Stream->read(reinterpret_cast<char*>(body.data() + at), part.Size);
        body.resize(at + static_cast<std::size_t>(part.Stream->gcount()));
        part.Stream->clear();
        part.Stream->seekg(part.Start + part.Size);
        part.Stream->setstate(std::ios::eofbit | std::ios::failbit);
    }
    body.insert(body.end(), Data.begin() + static_cast<std::ptrdiff_t>(copied), Data.end());
    return body;
}

void THttpRequest::TData::Append(const void* ABytes, std::size_t ASize) {
    // Grows in place (amortised) rather than copying the whole body on every append.
    const auto* bytes = static_cast<const std::uint8_t*>(ABytes);
    Data.insert(Data.end(), bytes, bytes + ASize);
}

}  // namespace Nimbo::Connection
