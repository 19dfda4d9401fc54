#pragma once
// What every emulated service shares: the exchange it answers, its tree, its OAuth registry and
// its account, and the sign-in page.

#include "emulator/Blobs.h"
#include "emulator/Json.h"
#include "emulator/OAuth.h"
#include "emulator/Records.h"
#include "emulator/Routes.h"
#include "emulator/Tree.h"
#include "emulator/Types.h"

#include <httplib.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Nimbo::Emulator {

// One request as a service sees it, and the answer it builds.
struct Exchange {
    const httplib::Request& req;
    httplib::Response& res;
    std::string host;                                       // without port, lower case
    std::shared_ptr<Spool> spool;                           // the raw body as it arrived (empty for multipart)
    std::string body;                                       // the raw body while it is small (forms, JSON); else empty
    std::vector<BodyPart> parts;                            // multipart parts in order
    std::vector<std::pair<std::string, std::string>> form;  // url-encoded form fields
    TimePoint now;
    SignInDecision signIn = SignInDecision::Ask;
    std::string emulatorOrigin;                    // "https://host" prefix the services use for their own links
    PathParams params;                             // the route's "{name}" segments
    std::unique_lock<std::mutex>* lock = nullptr;  // the emulator's, held while the service answers

    std::string Param(const std::string& name) const;
    const std::string& Path() const { return req.path; }
    const std::string& Method() const { return req.method; }
    bool HasQuery(const std::string& key) const { return req.has_param(key); }
    std::string Query(const std::string& key) const { return req.get_param_value(key); }
    bool HasForm(const std::string& key) const;
    std::string Form(const std::string& key) const;
    std::string Field(const std::string& key) const { return HasForm(key) ? Form(key) : Query(key); }
    std::string Header(const std::string& key) const { return req.get_header_value(key); }
    std::string BearerToken(bool queryAllowed) const;
    // Runs long work (joining or copying large contents) with the emulator's lock released; the
    // state may change meanwhile, so what the work relies on is looked up again afterwards.
    void WithoutLock(const std::function<void()>& work);
    std::uint64_t BodySize() const { return spool->Size(); }
    BlobRef Content() const { return spool->Blob(); }  // the raw body as file content

    void SendJson(int status, const Json& body, bool pretty = false);
    void SendText(int status, const std::string& text, const std::string& type = "text/plain; charset=utf-8");
    void SendHtml(int status, const std::string& html) { SendText(status, html, "text/html; charset=utf-8"); }
    void SendEmpty(int status);
    // File content streamed from its file after the answer's head (no lock held by then), honouring
    // a single "Range: bytes=a-b" request with 206 (several ranges: the whole).
    void SendContent(const BlobRef& content, const std::string& type);
    void Redirect(const std::string& url, int status = 302);
};

struct OAuthError {
    std::string error, description;
};

// What a service's token endpoint asks for and answers when refusing, besides its tokens. An empty
// text skips the check it belongs to.
struct TokenRules {
    bool postOnly = false;                      // other methods get invalid_request (notPost)
    bool refreshGrant = true;                   // false: authorization codes only
    bool rotateRefreshTokens = false;           // a refresh token works once; the answer carries its successor
    bool queryParameters = false;               // the fields may also come in the query string
    bool pkceInsteadOfSecret = false;           // a code (and its refresh tokens) redeemed by PKCE needs no secret
    bool redirectRequired = false;              // a code issued for a redirect address must be redeemed with it
    std::string codePrefix{}, refreshPrefix{};  // what the service writes before the codes and refresh tokens it issues
    int invalidClientStatus = 400;
    std::string notPost{}, noGrantType{}, badGrantType{};  // badGrantType: "%s" stands for the grant type sent
    std::string unknownClient{};  // an unknown client_id, told apart from wrong credentials (badClient)
    std::string badClient{}, noCode{}, noRedirect{}, noRefreshToken{};
    OAuthError codeUsed{}, codeExpired{}, codeUnknown{}, codeOtherRedirect{};  // empty: as codeUnknown
    OAuthError refreshUnknown{}, refreshSpent{}, refreshExpired{};             // empty: as refreshUnknown
    // A confidential client without its secret (empty: as badClient), with its status.
    OAuthError secretMissing{};
    int secretMissingStatus = 400;
    // PKCE: a code with a challenge redeemed without a verifier or with another one; a public
    // client's code without a challenge (empty: as verifierMissing).
    OAuthError verifierMissing{"invalid_grant", "code_verifier is missing"};
    OAuthError verifierWrong{"invalid_grant", "code_verifier does not match the code_challenge"};
    OAuthError pkceRequired{};
};

// One token endpoint: its rules and how it answers. A service is the endpoint of its own sign-in;
// a newer sign-in of the same service, with other rules, is another endpoint beside it sharing the
// service's clients and tokens.
class TokenEndpoint {
public:
    virtual ~TokenEndpoint() = default;
    virtual const TokenRules& Rules() const = 0;
    // Whether this request must carry the client's secret (a confidential client's, that is).
    virtual bool SecretRequired(const Exchange&) const { return true; }
    virtual bool NarrowGrant(Exchange&, Grant&) { return true; }  // a refresh asking for less than was granted
    virtual void SendTokens(Exchange& ex, Grant grant, bool refreshing) = 0;
    virtual void SendTokenError(Exchange& ex, int status, const OAuthError& error) {
        ex.SendJson(status, {{"error", error.error}, {"error_description", error.description}});
    }
};

class Service : public TokenEndpoint {
public:
    Service(Cloud kind, std::string rootId, Tree::IdMaker makeId, std::string tokenPrefix, std::string defaultAccount);
    virtual ~Service() = default;

    Cloud Kind() const { return kind_; }
    virtual std::vector<std::string> Hosts() const = 0;
    // Answers a request to one of Hosts(); runs under the emulator's lock. By default through the
    // route table.
    virtual void Handle(Exchange& ex);
    // Answers with this service's error format (used for refusals made before the service runs).
    virtual void SendError(Exchange& ex, int status, const std::string& message) = 0;
    // The largest request body the call takes (0: no limit of its own), known before the body is
    // read; and the service's answer to one that is larger.
    virtual std::uint64_t BodyLimit(const std::string& method, const std::string& host, const std::string& path) const;
    virtual void SendTooLarge(Exchange& ex) { SendError(ex, 413, "Request Entity Too Large"); }

    virtual void Reset(TimePoint now);
    virtual void ExpireUploadSessions(TimePoint) {}  // open upload sessions run out now (where the service keeps them)
    virtual bool NamesIgnoreCase() const { return false; }
    // An earlier version's saved state of this service; replaces the present one.
    void Load(const Json& state, Tree::Contents& contents);

    // Tokens as a completed sign-in of the client would give them (the control interface's shortcut).
    // By default an access token for an hour and a refresh token.
    virtual TokenPair IssueTokens(const std::string& clientId, const std::string& scope, TimePoint now);

    std::string AddFolder(const std::string& path, TimePoint now);
    std::string AddFile(const std::string& path, BlobRef content, const std::string& mimeType, TimePoint now);

    // The service's other stored records (upload sessions, pending operations, counters), each
    // table kept by whoever owns it for as long as the service lives.
    void Keep(RecordTable& table) { kept_.push_back(&table); }
    const std::vector<RecordTable*>& KeptTables() const { return kept_; }

    Tree tree;
    OAuthRegistry oauth;
    std::string accountName;
    std::shared_ptr<BlobStore> blobs;                                              // where file contents are kept
    std::chrono::milliseconds uploadSessionLifetime = std::chrono::hours(24 * 7);  // sessions started from now on

protected:
    RouteTable routes;
    template <class S>
    void Route(std::string method, std::string host, std::string_view pattern, void (S::*handler)(Exchange&),
               RouteTable::Access access = RouteTable::Access::Token, std::uint64_t maxBody = 0) {
        routes.Add(
            std::move(method), std::move(host), pattern,
            [this, handler](Exchange& ex) { (static_cast<S*>(this)->*handler)(ex); }, access, maxBody);
    }
    // The parts of route dispatch a service words its own way.
    virtual std::string HostGroup(const std::string& host) const { return host; }  // hosts that share routes
    virtual std::string RequestMethod(const Exchange& ex) const;
    virtual bool Authorized(Exchange&) { return true; }  // else answers the refusal
    virtual void MethodNotAllowed(Exchange& ex) { SendError(ex, 405, "Method Not Allowed"); }
    virtual void UnknownRoute(Exchange& ex) { SendError(ex, 404, "Not Found"); }

public:
    // The parts of a sign-in every service shares, also used by the newer sign-in endpoints kept
    // beside a service (see TokenEndpoint).

    // The token endpoint: the grant type, the client's credentials, the code (with its PKCE verifier)
    // or refresh token checked by the endpoint's rules; the tokens and errors answered in its form.
    void Token(Exchange& ex) { Token(ex, *this); }
    void Token(Exchange& ex, TokenEndpoint& endpoint);

    // Sign-in page handling shared by the authorization endpoints. Returns the decision for this
    // request: an explicit choice in the request, else the emulator-wide one (Ask shows the form).
    static SignInDecision Consent(const Exchange& ex);
    static std::string DenyReason(const Exchange& ex, const std::string& fallback);
    void SendSignInForm(Exchange& ex, const std::string& serviceTitle, const std::string& clientId,
                        const std::string& scope) const;
    // The client and redirect checks every authorization page makes; answers an error page and
    // returns nullptr when they fail. builtInRedirect, when set, is accepted for every client.
    const OAuthClient* AuthorizingClient(Exchange& ex, const std::string& redirectUri, bool redirectRequired,
                                         const std::string& builtInRedirect = "",
                                         LoopbackPorts ports = LoopbackPorts::Exact);
    // The request's PKCE challenge (code_challenge, code_challenge_method) put into the code's grant;
    // what is wrong with it, or empty.
    static std::string ReadPkce(const Exchange& ex, Grant& grant);

private:
    Cloud kind_;
    std::string defaultAccount_;
    std::vector<RecordTable*> kept_;
};

std::string MimeTypeFor(const std::string& name);
// What is wrong with an item name by the rules every service shares (not UTF-8, a control
// character, longer than maxLength characters); empty when nothing is.
std::string NameFault(std::string_view name, std::size_t maxLength = 255);
// Adds sequential digits to the name before its extension: "a.txt" -> "a (1).txt".
std::string NumberedName(const std::string& name, int number);
// A decimal number of at most 19 digits; nullopt for anything else.
std::optional<std::uint64_t> Digits(std::string_view text);

// The Content-Range of an upload's piece: "bytes a-b/T", "bytes a-b/*", "bytes */T", "bytes */*".
struct ContentRange {
    std::optional<std::pair<std::uint64_t, std::uint64_t>> bytes;  // first and last; none: a status query
    std::optional<std::uint64_t> total;
};
std::optional<ContentRange> ParseContentRange(std::string_view text);

}  // namespace Nimbo::Emulator

namespace Nimbo::Emulator {
class CloudEmulator;
std::unique_ptr<Service> MakeGoogleDrive();  // v2 and v3 on one account
std::unique_ptr<Service> MakeDropbox();
std::unique_ptr<Service> MakeLiveConnect();
std::unique_ptr<Service> MakeBox();
// The admin path on the loopback host names; answers false when the request is not for it.
bool HandleAdminRequest(CloudEmulator& emulator, Exchange& ex);
}  // namespace Nimbo::Emulator
