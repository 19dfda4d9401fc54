#pragma once
// Clients, authorization codes and tokens of one service's OAuth 2.0 server.

#include "emulator/Json.h"

#include <map>
#include <string>
#include <vector>

namespace Nimbo::Emulator {

struct OAuthClient {
    std::string id, secret;
    std::vector<std::string> redirectUris;  // empty: any redirect is accepted
};

struct Grant {  // what a code or token stands for
    std::string clientId, scope, redirectUri;
    TimePoint expires = TimePoint::max();
    bool spent = false;  // a used code, a revoked or used refresh token
};

enum class CodeCheck { Ok, Unknown, Used, Expired, OtherClient, OtherRedirect };
enum class TokenCheck { Ok, Missing, Unknown, Expired };

class OAuthRegistry {
public:
    explicit OAuthRegistry(std::string tokenPrefix) : prefix_(std::move(tokenPrefix)) {}

    void Clear();
    void RegisterClient(OAuthClient client);
    const OAuthClient* Client(const std::string& id) const;
    bool AcceptsRedirect(const OAuthClient& client, const std::string& redirectUri) const;

    std::string IssueCode(const Grant& grant);
    // Marks the code used when it is valid. redirectUri is checked when the code was issued for one.
    CodeCheck RedeemCode(const std::string& code, const std::string& clientId, const std::string& redirectUri,
                         TimePoint now, Grant& grant);

    std::string IssueAccessToken(const Grant& grant);
    std::string IssueRefreshToken(const Grant& grant, TimePoint expires = TimePoint::max());
    TokenCheck CheckAccessToken(const std::string& token, TimePoint now, Grant* grant = nullptr) const;
    Grant* RefreshToken(const std::string& token);

    // Ends an access token, or a refresh token and the access tokens of its grant; false when unknown.
    bool Revoke(const std::string& token);
    void ExpireAccessTokens(TimePoint now);
    void RevokeRefreshTokens();

    Json Save() const;
    void Load(const Json& state);

private:
    std::string prefix_;
    std::map<std::string, OAuthClient> clients_;
    std::map<std::string, Grant> codes_, accessTokens_, refreshTokens_;
};

}  // namespace Nimbo::Emulator
