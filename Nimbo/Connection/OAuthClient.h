#pragma once

// The OAuth 2.0 client every adapter signs in with. An adapter describes its service in a table
// (endpoints, how the client authenticates, PKCE, whether refresh tokens rotate); the client builds
// the authorization address, runs the sign-in, exchanges the code, renews tokens before they run
// out, checks every token answer before anything is stored, and turns the service's refusals into
// errors that say what happened.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Nimbo/Connection/AuthUI.h"
#include "Nimbo/Connection/HttpJson.h"
#include "Nimbo/Connection/RestService.h"
#include "Nimbo/Connection/platform/DateTime.h"

namespace Nimbo::Connection {

// How the client proves itself at the token endpoint.
enum class TClientAuth {
    SecretInForm,  // client_id and client_secret in the form
    HttpBasic,     // client_id and client_secret as HTTP Basic credentials
    PublicClient   // client_id alone; the sign-in is bound by PKCE
};

// The ways a user can be sent back to the program after consenting.
enum class TSignInKind {
    Redirect,  // to a fixed address that the sign-in window watches for
    Loopback   // to a listener of the program on a loopback address and a port chosen at sign-in
};

// One way to sign in to a service and the endpoints it uses.
struct TSignInRoute {
    TSignInKind Kind = TSignInKind::Redirect;
    std::string AuthorizeUrl;
    std::string TokenUrl;
};

// What an adapter tells the client about its service.
struct TOAuthTable {
    // The sign-ins the service offers; the first one is the default.
    std::vector<TSignInRoute> SignIns;
    // The fixed address of the redirect sign-in; empty when the application sets its own.
    std::string RedirectUrl;
    // What the sign-in window must report during a redirect sign-in.
    TAuthEvents RedirectEvents = {aeNavigateComplete, aeCanceled};
    TClientAuth ClientAuth = TClientAuth::SecretInForm;
    // The service takes a PKCE S256 challenge; sent with every loopback sign-in.
    bool Pkce = false;
    // Each refresh token works once and every renewal hands out the next one.
    bool RotatingRefresh = false;
    // Whether the code exchange and the renewal name the redirect address.
    bool RedirectWithCode = true;
    bool RedirectWithRefresh = false;
    // False: the service's tokens last until revoked, and no expiry is kept.
    bool TokensExpire = true;
    // Further parameters of the authorization address, as name and value (written encoded).
    std::vector<std::pair<std::string, std::string>> AuthorizeParams{};
};

// A token endpoint's answer.
struct TOAuthToken {
    std::string access_token;
    std::string token_type;
    std::int32_t expires_in = 0;  // seconds
    std::string refresh_token;    // absent in many renewals
    NIMBO_JSON_FIELDS(TOAuthToken, access_token, token_type, expires_in, refresh_token)
};

// A token endpoint's refusal, keeping the status and the answer; the message names the service's
// error code and its description.
class EOAuthError : public EHttpProtocolError {
public:
    EOAuthError(const EHttpProtocolError& AAnswer, std::string AError, std::string ADescription);

    // The service's error code, such as "invalid_grant".
    const std::string& Error() const { return FError; }
    const std::string& Description() const { return FDescription; }

private:
    std::string FError;
    std::string FDescription;
};

// What a service needs of a token beyond its being fresh, and what follows a new one.
struct TAccessNeeds {
    // The scope text of the authorization address; none: the address names no scope.
    std::optional<std::string> Scope;
    // Whether the held token serves the services of the state (such as its scopes); empty: it does.
    std::function<bool()> Covered;
    // Runs after a new token has been stored, before it is used.
    std::function<void()> OnNewToken;
};

class TOAuthClient {
public:
    // A token is renewed once it has less than this left to live: five minutes, in days.
    static constexpr TDateTime ExpiryMargin = 5.0 / (24 * 60);
    // The default redirect address of a loopback sign-in; its port is chosen at sign-in.
    static constexpr const char* LoopbackRedirectUrl = "http://127.0.0.1/";

    // ATable must live as long as the client.
    explicit TOAuthClient(const TOAuthTable& ATable);

    const TOAuthTable& Table() const { return FTable; }
    // The redirect address of a new state: the loopback's when the default sign-in is the loopback.
    std::string DefaultRedirectUrl() const;
    // The sign-in that a redirect address stands for: the loopback for an http address on
    // 127.0.0.1, [::1] or localhost, else the redirect. ERestError when the service offers none.
    const TSignInRoute& RouteFor(const std::string& ARedirectUrl) const;

    // True when the state holds a token with more than ExpiryMargin left to live.
    bool HasFreshToken(const TServiceState& AState) const;

    // Makes sure AState holds a token that is fresh and covers ANeeds: keeps it, renews it with
    // the refresh token, or signs in. Renewals of one state run one at a time. Returns true when
    // the user signed in.
    bool EnsureAccess(TServiceState& AState, THttpClient& AHttp, const TAccessNeeds& ANeeds) const;

    // The authorization address; AStateParam and AChallenge (a PKCE S256 challenge) are sent when
    // given.
    std::string AuthorizationUrl(const TServiceState& AState, const TSignInRoute& ARoute,
                                 const std::optional<std::string>& AScope, const std::string& ARedirectUrl,
                                 const std::string& AStateParam = {}, const std::string& AChallenge = {}) const;

    // Signs in through a sign-in window and stores the tokens. Raises ERestError for a refused
    // sign-in, EAbort when the user closed the window, and EOAuthError when the code is refused.
    void SignIn(TServiceState& AState, THttpClient& AHttp, const std::optional<std::string>& AScope) const;
    // Renews the token with the state's refresh token and stores the answer.
    void Refresh(TServiceState& AState, THttpClient& AHttp) const;
    // The service refused ARefusedToken as expired before its time: renews it, unless another
    // request has renewed it already. False when the state holds no refresh token to renew with.
    bool RenewRefused(TServiceState& AState, THttpClient& AHttp, const std::string& ARefusedToken) const;

private:
    struct TField {
        std::string Name;
        std::string Value;
    };
    // Posts the fields (and the client's credentials) to the token endpoint; the checked answer.
    TOAuthToken RequestToken(const TServiceState& AState, THttpClient& AHttp, const std::string& ATokenUrl,
                             const std::vector<TField>& AFields, const std::vector<TField>& AAfterCredentials) const;
    // Stores an answer to a request sent at ASentAt; ARefresh when it carries no refresh token.
    void Store(TServiceState& AState, const TOAuthToken& AToken, const std::string& ARefresh, TDateTime ASentAt) const;
    std::string CodeByRedirect(TServiceState& AState, const TSignInRoute& ARoute,
                               const std::optional<std::string>& AScope) const;

    const TOAuthTable& FTable;
};

// The name of the signed-in account: AName of the record that AUrl answers with. Empty when the
// account cannot be read: the name is a courtesy, and the sign-in stands without it.
template <class TAbout>
std::string ReadAccountName(THttpClient& AHttp, const std::string& AUrl, const std::string& AToken,
                            std::string TAbout::*AName) {
    try {
        TAbout about;
        AHttp.Get(AUrl).Header("Authorization", "Bearer " + AToken).ValidResponse(200).Execute(about);
        return about.*AName;
    } catch (const Exception&) {
        return {};
    }
}

}  // namespace Nimbo::Connection
