#pragma once
// Clients, authorization codes and tokens of one service's OAuth 2.0 server, the redirect rules its
// authorization pages apply, and PKCE (RFC 7636).

#include "emulator/Json.h"

#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace Nimbo::Emulator {

struct OAuthClient {
    std::string id, secret;                 // an empty secret: a public client, which proves itself by PKCE
    std::vector<std::string> redirectUris;  // empty: any redirect is accepted
};

struct Grant {  // what a code or token stands for
    std::string clientId, scope, redirectUri;
    TimePoint expires = TimePoint::max();
    bool spent = false;                          // a used code, a revoked or used refresh token
    std::string challenge{}, challengeMethod{};  // a code's PKCE challenge ("S256" or "plain"); empty: none
    bool offline = false;                        // a code whose tokens include a refresh token (Dropbox's choice)
    bool pkce = false;                           // tokens of a code that was redeemed with its verifier
};

// How a registered loopback address (http on 127.0.0.1, [::1] or localhost) matches: exactly, or on
// any port, as services let native applications pick the port at sign-in.
enum class LoopbackPorts { Exact, Any };

// Whether the address is http on a loopback host; http anywhere else is refused by every service.
bool IsLoopbackRedirect(const std::string& uri);
bool IsPlainHttp(const std::string& uri);

// What is wrong with a PKCE challenge and its method ("" means plain); empty when nothing is.
std::string PkceProblem(const std::string& challenge, const std::string& method);
bool VerifierMatches(const std::string& verifier, const std::string& challenge, const std::string& method);

enum class CodeCheck { Ok, Unknown, Used, Expired, OtherClient, OtherRedirect, VerifierMissing, VerifierWrong };
enum class TokenCheck { Ok, Missing, Unknown, Expired };

// What a token request brings to redeem a code.
struct CodeRedemption {
    std::string clientId, redirectUri, verifier;
    bool redirectRequired = false;  // a code issued for a redirect needs it named again
};

class OAuthRegistry {
public:
    explicit OAuthRegistry(std::string tokenPrefix) : prefix_(std::move(tokenPrefix)) {}

    void Clear();
    void RegisterClient(OAuthClient client);
    const OAuthClient* Client(const std::string& id) const;
    bool AcceptsRedirect(const OAuthClient& client, const std::string& redirectUri,
                         LoopbackPorts ports = LoopbackPorts::Exact) const;

    std::string IssueCode(const Grant& grant);
    // Checks a code without using it up: the client, its age, the redirect address (when the request
    // names one, or always when it must) and the PKCE verifier.
    CodeCheck CheckCode(const std::string& code, const CodeRedemption& request, TimePoint now, Grant& grant) const;
    void SpendCode(const std::string& code);

    std::string IssueAccessToken(const Grant& grant);
    std::string IssueRefreshToken(const Grant& grant, TimePoint expires = TimePoint::max());
    TokenCheck CheckAccessToken(const std::string& token, TimePoint now, Grant* grant = nullptr) const;
    Grant* RefreshToken(const std::string& token);

    // Ends an access token, or a refresh token; false when unknown.
    bool Revoke(const std::string& token);
    void ExpireAccessTokens(TimePoint now);
    void RevokeRefreshTokens();

    // An earlier version's saved registry (clients, access and refresh tokens); replaces this one.
    void Load(const Json& state);

    // The records kept for the store, one per client, code and token: kind ("client", "code",
    // "access", "refresh"), key and a JSON record.
    struct Record {
        std::string kind, key;
        std::optional<Json> record;  // none: the record is gone
    };
    // What changed since the last call: every record touched (a refresh token handed out for
    // change included), after `cleared` dropped all earlier ones.
    struct Pending {
        bool cleared = false;
        std::vector<Record> records;
    };
    Pending TakePending();
    void MarkAllPending();  // the next TakePending rewrites everything
    // Puts back one stored record; false for a kind this registry does not keep.
    bool LoadRecord(const std::string& kind, const std::string& key, const Json& record);

private:
    std::string prefix_;
    std::map<std::string, OAuthClient> clients_;
    std::map<std::string, Grant> codes_, accessTokens_, refreshTokens_;
    bool cleared_ = false;
    std::set<std::pair<std::string, std::string>> touched_;  // kind and key

    void Touch(const char* kind, const std::string& key) { touched_.emplace(kind, key); }
};

}  // namespace Nimbo::Emulator
