// Dropbox's current token endpoint and token revocation on api.dropboxapi.com. Its authorization
// page is the Dropbox service's own (www.dropbox.com/oauth2/authorize), which records PKCE and
// token_access_type in the code.

#include "emulator/SignInEndpoints.h"

namespace Nimbo::Emulator {
namespace {

constexpr int AccessTokenSeconds = 4 * 60 * 60;
// What an app with every permission is granted when it asks for no scope in particular.
const std::string AppScopes =
    "account_info.read files.content.read files.content.write files.metadata.read files.metadata.write";

}  // namespace

const TokenRules& DropboxOAuth2::Rules() const {
    static const TokenRules rules{
        .queryParameters = true,
        .pkceInsteadOfSecret = true,
        .redirectRequired = true,
        .noGrantType = "No grant_type given",
        .badGrantType = "grant_type must be 'authorization_code' or 'refresh_token'",
        .badClient = "Invalid client_id or client_secret",
        .noCode = "No code given",
        .noRefreshToken = "No refresh_token given",
        .codeUnknown = {"invalid_grant", "code doesn't exist or has expired"},
        .codeOtherRedirect = {"invalid_grant", "redirect_uri mismatch"},
        .refreshUnknown = {"invalid_grant", "refresh token is invalid or revoked"},
        .secretMissing = {"invalid_request", "No auth function available for given request"},
        .verifierMissing = {"invalid_grant", "invalid code verifier"},
        .verifierWrong = {"invalid_grant", "invalid code verifier"},
        .pkceRequired = {"invalid_request", "No auth function available for given request"},
    };
    return rules;
}

// A refresh answers the new access token alone: the refresh token stays the same.
void DropboxOAuth2::SendTokens(Exchange& ex, Grant grant, bool refreshing) {
    grant.expires = ex.now + std::chrono::seconds(AccessTokenSeconds);
    Json answer = {{"access_token", service_.oauth.IssueAccessToken(grant)},
                   {"token_type", "bearer"},
                   {"expires_in", AccessTokenSeconds}};
    if (!refreshing) {
        if (grant.offline) answer["refresh_token"] = service_.oauth.IssueRefreshToken(grant);
        answer["scope"] = grant.scope.empty() ? AppScopes : grant.scope;
        answer["uid"] = uid_;
        answer["account_id"] = "dbid:AAD" + uid_;
    }
    ex.SendJson(200, answer);
}

void DropboxOAuth2::SendTokenError(Exchange& ex, int status, const OAuthError& error) {
    ex.SendJson(status, {{"error_description", error.description}, {"error", error.error}});
}

// Revokes the access token the request is made with; the answer is JSON null.
void DropboxOAuth2::Revoke(Exchange& ex) {
    std::string token = ex.BearerToken(false);
    if (token.empty())
        return ex.SendText(400,
                           "Error in call to API function \"auth/token/revoke\": Must provide HTTP header "
                           "\"Authorization\" or URL parameter \"authorization\".");
    switch (service_.oauth.CheckAccessToken(token, ex.now)) {
        case TokenCheck::Ok:
            service_.oauth.Revoke(token);
            return ex.SendText(200, "null", "application/json");
        case TokenCheck::Expired:
            return ex.SendJson(
                401, {{"error_summary", "expired_access_token/"}, {"error", {{".tag", "expired_access_token"}}}});
        case TokenCheck::Missing:
        case TokenCheck::Unknown:
            break;
    }
    ex.SendJson(401, {{"error_summary", "invalid_access_token/"}, {"error", {{".tag", "invalid_access_token"}}}});
}

}  // namespace Nimbo::Emulator
