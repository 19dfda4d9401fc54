#pragma once
// The newer sign-in endpoints kept beside a service's own: each is a token endpoint with its own
// rules and answers that shares the service's clients, codes and tokens, so a sign-in through
// either works on every interface of the service.

#include "emulator/Service.h"

namespace Nimbo::Emulator {

// Dropbox's current token endpoint (api.dropboxapi.com/oauth2/token) and token revocation: access
// tokens for four hours, refresh tokens (token_access_type=offline) that do not rotate, PKCE in
// place of the secret, fields in the form or the query string.
class DropboxOAuth2 final : public TokenEndpoint {
public:
    DropboxOAuth2(Service& service, std::string uid) : service_(service), uid_(std::move(uid)) {}
    void Token(Exchange& ex) { service_.Token(ex, *this); }
    void Revoke(Exchange& ex);  // api.dropboxapi.com/2/auth/token/revoke

    const TokenRules& Rules() const override;
    void SendTokens(Exchange& ex, Grant grant, bool refreshing) override;
    void SendTokenError(Exchange& ex, int status, const OAuthError& error) override;

private:
    Service& service_;
    std::string uid_;
};

// The Microsoft identity platform v2.0 on login.microsoftonline.com/{tenant}/oauth2/v2.0/: the
// authorization page and the token endpoint. Public clients (no secret) must use PKCE;
// offline_access brings a refresh token, and every refresh replaces it.
class MicrosoftIdentity final : public TokenEndpoint {
public:
    static const std::string Host;
    explicit MicrosoftIdentity(Service& service) : service_(service) {}
    void Authorize(Exchange& ex);
    void Token(Exchange& ex) { service_.Token(ex, *this); }

    const TokenRules& Rules() const override;
    void SendTokens(Exchange& ex, Grant grant, bool refreshing) override;
    void SendTokenError(Exchange& ex, int status, const OAuthError& error) override;

private:
    Service& service_;
};

// Whether scopes granted by the identity platform allow reading (or, with write, changing) the
// account's files.
bool GraphScopesAllow(const std::string& granted, bool write);
// Whether a Graph scope ("User.Read") is among those granted.
bool HasGraphScope(const std::string& granted, const std::string& scope);

}  // namespace Nimbo::Emulator
