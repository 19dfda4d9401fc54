#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <type_traits>
#include <vector>

#include "Nimbo/Connection/HttpTransport.h"
#include "Nimbo/Connection/platform/AutoFree.h"
#include "Nimbo/Connection/platform/Exceptions.h"

namespace Nimbo::Connection {

// AText as a JSON string literal: quotes, backslashes and control characters escaped, UTF-8 kept.
std::string JsonQuoted(const std::string& AText);

class THttpClient;

enum THttpMethod { hmGet, hmPut, hmPost, hmDelete, hmPatch };

// Fluent description of one HTTP request. Copies share one body holder, so a builder call made on
// any copy is seen by all of them.
class THttpRequest {
public:
    struct TOnResponse {
        int Code;
        std::function<void()> Proc;
    };

    class TData : public TAutoFreeBase<TData> {
    public:
        THttpClient* Client = nullptr;
        THttpMethod Method = hmGet;
        std::string Url;
        std::string Headers;  // "Name: value" lines joined by CR LF, in the order added
        TBytes Data;
        // Parts of seekable streams given to Data(std::istream&), read only while the request is sent.
        std::vector<THttpStreamPart> Streams;
        bool InMultipart = false;
        std::vector<std::size_t> PartDelimiters;  // where the multipart body's delimiter lines start
        std::vector<int> ValidResponse;
        std::vector<TOnResponse> OnResponse;
        bool SafeToRepeat = false;  // see THttpRequest::SafeToRepeat
        bool FollowRedirects = true;
        // Checks a 2xx answer before its body is written (see THttpExchange::BeforeBody); may be empty.
        std::function<void(int ACode, const std::vector<THttpHeader>& AHeaders)> BeforeBody;
        // The header lines of the last answer, also of one that raised; empty before any.
        std::vector<THttpHeader> ResponseHeaders;

        // Appends to the body, growing it in place.
        void Append(const void* ABytes, std::size_t ASize);
        void Append(const std::string& AText) { Append(AText.data(), AText.size()); }
        // The whole body as it goes out, stream parts read in; leaves each stream at its part's end.
        TBytes BodyBytes() const;
    };

    enum TJValue { jvBeginObject, jvBeginArray, jvNull, jvTrue, jvFalse };
    using TJRoot = TJValue;  // only jvBeginObject or jvBeginArray

    using TConfigProc = std::function<void(THttpRequest R)>;

    class TFormData;
    class TJsonData;

    THttpRequest(THttpClient* AClient, THttpMethod AMethod, const std::string& AUrl);
    explicit THttpRequest(AutoFree<TData> AData);

    TData& Get() const { return *FData; }

    THttpRequest Param(const std::string& AName, const std::string& AValue);
    THttpRequest ParamIf(bool ACondition, const std::string& AName, const std::string& AValue);
    // Raises EHttpError inside a multipart body, or when the name or value holds CR or LF.
    THttpRequest Header(const std::string& AName, const std::string& AValue);
    THttpRequest HeaderIf(bool ACondition, const std::string& AName, const std::string& AValue);
    THttpRequest Data(const TBytes& AData);
    // Appends everything from the stream's current position to its end and leaves the stream at its
    // end. A seekable stream is not copied: its bytes are read while the request is sent (the stream
    // must live until then), and again by every further Execute. Any other stream is read at once.
    THttpRequest Data(std::istream& AStream);
    // As above, for the next ACount bytes only (fewer when the stream ends first); leaves the stream
    // right after them.
    THttpRequest Data(std::istream& AStream, std::int64_t ACount);
    THttpRequest Data(const void* AData, int ASize);
    THttpRequest Configure(const TConfigProc& AProc);
    // Off: a redirect is the answer (and, being outside 200-299, raises EHttpProtocolError).
    THttpRequest FollowRedirects(bool AValue);
    THttpRequest OnResponse(int ACode, std::function<void()> AProc);
    THttpRequest OnResponse(int ACode, const std::string& AErrorMsg);
    THttpRequest ValidResponse(int ACode);
    THttpRequest ValidResponse(const std::vector<int>& ACodes);
    THttpRequest ValidResponse(std::initializer_list<int> ACodes) { return ValidResponse(std::vector<int>(ACodes)); }
    // Marks a request that may be sent again without changing anything on the service (a read):
    // the client repeats it when the service answers that it is busy (see THttpRetryPolicy).
    THttpRequest SafeToRepeat();
    // Asks for bytes AFirst to ALast (both included) of content of ATotal bytes. Only a 206 answer
    // whose Content-Range names exactly that stretch and total is accepted, checked before any byte
    // of its body reaches the caller's stream; any other 2xx answer (a 200 with the whole content, or
    // another stretch) raises EHttpError with nothing of it written.
    THttpRequest ByteRange(std::int64_t AFirst, std::int64_t ALast, std::int64_t ATotal);

    TFormData BeginForm(bool ASetContentType);
    TJsonData BeginJson(TJRoot ARoot, bool ASetContentType);
    THttpRequest BeginMultipart(const std::string& AParamName, const std::string& AFileName);
    THttpRequest NextPart(const std::string& AParamName, const std::string& AFileName);
    // Closes the body. Should a part hold the boundary, the body and its Content-Type change to a
    // longer boundary that occurs nowhere in it, so that every part arrives as written.
    THttpRequest EndMultipart();

    // Each form returns the status code once it has been accepted.
    int Execute() const;  // the body is read and discarded
    int Execute(TBytes& AResponse) const;
    int Execute(std::string& AResponse) const;
    int Execute(std::ostream& AResponse) const;  // written at the stream's current position
    // Decodes the JSON answer into a described record; defined in HttpJson.h.
    template <class T>
    requires(!std::is_base_of_v<std::ostream, T> && !std::is_same_v<T, TBytes> &&
             !std::is_same_v<T, std::string>) int Execute(T& AResponse) const;

    // The value of the last answer's first header of that name (any case); empty when absent.
    std::string ResponseHeader(const std::string& AName) const;

    static TBytes AddArrays(const TBytes& A, const TBytes& B);
    // Runs the first matching response handler, else checks the accepted codes.
    void CheckResponse(int ACode) const;

    static const char* const MultipartBoundary;

private:
    void DoAddHeader(const std::string& AName, const std::string& AValue);
    void DoAddParam(const std::string& AName, const std::string& AValue);
    void CheckNoHeadersInMultipart() const;
    void AppendPartHead(const std::string& AParamName, const std::string& AFileName);
    void AppendPartDelimiter(const std::string& AEnd);

    AutoFree<TData> FData;
};

// Writes an application/x-www-form-urlencoded body.
class THttpRequest::TFormData {
public:
    explicit TFormData(AutoFree<TData> AData) : FData(std::move(AData)) {}
    TFormData Prop(const std::string& AName, const std::string& AValue);
    THttpRequest EndForm();
    TData& Get() const { return *FData; }

private:
    AutoFree<TData> FData;
};

// Streams compact JSON text into the body; keeps no stack, so the caller closes what it opens.
// A name or value that is not valid UTF-8 raises EHttpError, and nothing of that call is written.
class THttpRequest::TJsonData {
public:
    TJsonData(AutoFree<TData> AData, TJRoot ARoot);

    TJsonData Prop(const std::string& AName, const std::string& AValue);
    TJsonData Prop(const std::string& AName, const char* AValue) { return Prop(AName, std::string(AValue)); }
    TJsonData Prop(const std::string& AName, TJValue AValue);
    TJsonData Prop(const std::string& AName, std::int64_t AValue);
    TJsonData PropIf(bool ACondition, const std::string& AName, const std::string& AValue);
    TJsonData PropIf(bool ACondition, const std::string& AName, const char* AValue) {
        return PropIf(ACondition, AName, std::string(AValue));
    }
    TJsonData PropIf(bool ACondition, const std::string& AName, TJValue AValue);
    TJsonData Elem(const std::string& AValue);
    TJsonData Elem(const char* AValue) { return Elem(std::string(AValue)); }
    TJsonData Elem(TJValue AValue);
    TJsonData ElemIf(bool ACondition, const std::string& AValue);
    TJsonData ElemIf(bool ACondition, const char* AValue) { return ElemIf(ACondition, std::string(AValue)); }
    TJsonData ElemIf(bool ACondition, TJValue AValue);
    TJsonData Elems(const std::function<void(TJsonData)>& AProc);
    TJsonData EndObject();
    TJsonData EndArray();
    THttpRequest EndJson();
    TData& Get() const { return *FData; }

    static const char* ValToStr(TJValue AValue);

private:
    void AddComma();
    void AddStr(const std::string& AText);
    void AddQuoted(const std::string& AText);

    AutoFree<TData> FData;
    TJRoot FRoot;
};

// When and how long the library waits to send something again. One policy serves every repeat:
// - reads (requests marked SafeToRepeat) when the service answers 429 (too many requests), 503
//   (unavailable) or a 403 naming a rate limit: such an answer says the service did nothing, and
//   its body never reaches the caller's stream; at most MaxRetries times;
// - the parts of a session upload after an interruption (IsInterruption), as often as the upload's
//   own settings allow;
// - any wait the service asks for before a request is sent again (Retry-After).
// Each wait is as long as the service asks or, when it does not, FirstBackoff doubled for every
// earlier repeat; never longer than MaxWait.
struct THttpRetryPolicy {
    int MaxRetries = 3;
    std::chrono::milliseconds FirstBackoff{1000};
    std::chrono::milliseconds MaxWait{30000};
    // Waits before a retry; empty: the calling thread sleeps, and ends the wait with EAbort as soon as
    // the thread's progress handler (THttpProgressScope) asks to stop.
    std::function<void(std::chrono::milliseconds)> Wait{};

    // An answer by which the service says it did not carry the request out and wants it later.
    static bool IsBusyAnswer(int ACode) { return ACode == 429 || ACode == 503; }
    // The same for the answer's status and body: also Google's 403 whose error body names a rate
    // limit (reason rateLimitExceeded or userRateLimitExceeded), which Google asks clients to repeat
    // after a backoff. A daily limit or a full quota is no busy answer: a repeat would not pass.
    static bool IsBusyAnswer(int ACode, const std::string& ABody);
    // Call inside a catch block: whether the exception being handled interrupted an exchange that
    // may be resumed: a transport failure, or a 500, 502, 503 or 504 answer (not one that refuses
    // for good, such as 507: out of space).
    static bool IsInterruption();
    // The wait before repeat number ARepeat (0 for the first one), as AAsked says when given.
    std::chrono::milliseconds Delay(std::optional<std::chrono::seconds> AAsked, int ARepeat) const;
    // Waits as long as Delay says, through Wait.
    void Pause(std::optional<std::chrono::seconds> AAsked, int ARepeat) const;
};

// The HTTP client of one API server.
class THttpClient {
public:
    explicit THttpClient(const std::string& AServer);
    virtual ~THttpClient() = default;

    const std::string& UserAgent() const { return FUserAgent; }
    void SetUserAgent(const std::string& AValue) { FUserAgent = AValue; }
    const std::string& Server() const { return FServer; }

    THttpRequest Get(const std::string& AUrl);
    THttpRequest Put(const std::string& AUrl);
    THttpRequest Post(const std::string& AUrl);
    THttpRequest Delete(const std::string& AUrl);
    THttpRequest Patch(const std::string& AUrl);

    // Percent-encodes every byte of the UTF-8 text that is not an RFC 3986 unreserved character.
    static std::string UrlEncode(const std::string& S);
    // "https://" + Server + "/" + path, unless AUrl already starts with "https://" or "http://".
    std::string ExpandURL(const std::string& AUrl) const;

    // The policy every client applies; process-wide.
    static THttpRetryPolicy RetryPolicy();
    static void SetRetryPolicy(const THttpRetryPolicy& APolicy);

    // Performs the exchange and checks the status; AResponse may be null (body discarded). A request
    // marked SafeToRepeat is repeated as the retry policy says.
    int ProcessRequest(const THttpRequest& ARequest, std::ostream* AResponse);

private:
    // The one transport binding: runs the exchange, then the request's response check.
    int ProcessRequestPeerAPI(const THttpRequest& ARequest, std::ostream* AResponse);

    std::string FUserAgent;
    std::string FServer;
};

}  // namespace Nimbo::Connection
