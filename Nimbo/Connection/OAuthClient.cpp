#include "Nimbo/Connection/OAuthClient.h"

#include <openssl/evp.h>

#include <mutex>

#include "Nimbo/Connection/LoopbackSignIn.h"

namespace Nimbo::Connection {

namespace {

// The error record of RFC 6749 section 5.2, which every service answers a refusal with.
struct TOAuthErrorAnswer {
    std::string error;
    std::string error_description;
    NIMBO_JSON_FIELDS(TOAuthErrorAnswer, error, error_description)
};

std::string RefusalMessage(const EHttpProtocolError& AAnswer, const std::string& AError,
                           const std::string& ADescription) {
    std::string message = "The sign-in service refused the request (" + std::string(AAnswer.what()) + "): " + AError;
    if (!ADescription.empty()) message += ": " + ADescription;
    return message;
}

// The answer as a refusal in RFC 6749's terms; nothing when it is not one.
std::optional<TOAuthErrorAnswer> AsRefusal(const EHttpProtocolError& AAnswer) {
    try {
        TOAuthErrorAnswer refusal;
        TJsonDecoder(AAnswer.ErrorMessage()).Decode(refusal);
        if (refusal.error.empty()) return std::nullopt;
        return refusal;
    } catch (const Exception&) {
        return std::nullopt;
    }
}

std::string Base64(const std::string& AText) {
    std::string encoded(4 * ((AText.size() + 2) / 3), '\0');
    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                    reinterpret_cast<const unsigned char*>(AText.data()), static_cast<int>(AText.size()));
    return encoded;
}

}  // namespace

EOAuthError::EOAuthError(const EHttpProtocolError& AAnswer, std::string AError, std::string ADescription)
    : EHttpProtocolError(AAnswer.ErrorCode(), AAnswer.StatusText(), AAnswer.ErrorMessage(), AAnswer.RetryAfter(),
                         RefusalMessage(AAnswer, AError, ADescription)),
      FError(std::move(AError)),
      FDescription(std::move(ADescription)) {}

TOAuthClient::TOAuthClient(const TOAuthTable& ATable) : FTable(ATable) {
    Assert(!FTable.SignIns.empty(), "An OAuth table names no sign-in");
}

std::string TOAuthClient::DefaultRedirectUrl() const {
    return FTable.SignIns.front().Kind == TSignInKind::Loopback ? LoopbackRedirectUrl : FTable.RedirectUrl;
}

const TSignInRoute& TOAuthClient::RouteFor(const std::string& ARedirectUrl) const {
    const TSignInKind kind = IsLoopbackRedirect(ARedirectUrl) ? TSignInKind::Loopback : TSignInKind::Redirect;
    for (const TSignInRoute& route : FTable.SignIns)
        if (route.Kind == kind) return route;
    throw ERestError(kind == TSignInKind::Loopback
                         ? "This service offers no sign-in through a loopback address (" + ARedirectUrl + ")"
                         : "This service signs in only through a loopback address, not " + ARedirectUrl);
}

bool TOAuthClient::HasFreshToken(const TServiceState& AState) const {
    if (AState.GetToken().empty()) return false;
    return !FTable.TokensExpire || Now() <= AState.GetExpires() - ExpiryMargin;
}

bool TOAuthClient::EnsureAccess(TServiceState& AState, THttpClient& AHttp, const TAccessNeeds& ANeeds) const {
    {
        // A rotating refresh token works once: whoever holds the lock uses it and stores the next
        // one before anybody else can read it. The window of a sign-in is shown without the lock.
        std::lock_guard lock(AState.RefreshLock());
        if (HasFreshToken(AState) && (!ANeeds.Covered || ANeeds.Covered())) return false;
        if (!AState.GetRefresh().empty()) {
            Refresh(AState, AHttp);
            if (ANeeds.OnNewToken) ANeeds.OnNewToken();
            return false;
        }
    }
    SignIn(AState, AHttp, ANeeds.Scope);
    if (ANeeds.OnNewToken) ANeeds.OnNewToken();
    return true;
}

std::string TOAuthClient::AuthorizationUrl(const TServiceState& AState, const TSignInRoute& ARoute,
                                           const std::optional<std::string>& AScope, const std::string& ARedirectUrl,
                                           const std::string& AStateParam, const std::string& AChallenge) const {
    std::string url = ARoute.AuthorizeUrl + "?client_id=" + THttpClient::UrlEncode(AState.GetClientId());
    if (AScope) url += "&scope=" + THttpClient::UrlEncode(*AScope);
    url += "&redirect_uri=" + THttpClient::UrlEncode(ARedirectUrl) + "&response_type=code";
    if (!AStateParam.empty()) url += "&state=" + THttpClient::UrlEncode(AStateParam);
    if (!AChallenge.empty())
        url += "&code_challenge=" + THttpClient::UrlEncode(AChallenge) + "&code_challenge_method=S256";
    for (const auto& [name, value] : FTable.AuthorizeParams)
        url += "&" + THttpClient::UrlEncode(name) + "=" + THttpClient::UrlEncode(value);
    return url;
}

void TOAuthClient::SignIn(TServiceState& AState, THttpClient& AHttp, const std::optional<std::string>& AScope) const {
    const TSignInRoute& route = RouteFor(AState.GetRedirectUrl());
    std::vector<TField> fields;
    std::string redirectUrl = AState.GetRedirectUrl();
    std::string verifier;
    std::string code;
    if (route.Kind == TSignInKind::Redirect) {
        code = CodeByRedirect(AState, route, AScope);
    } else {
        TLoopbackSignIn loopback(AState.GetRedirectUrl());
        redirectUrl = loopback.RedirectUrl();
        if (FTable.Pkce) verifier = loopback.Verifier();
        code = loopback.Run(AState, AuthorizationUrl(AState, route, AScope, redirectUrl, loopback.State(),
                                                     FTable.Pkce ? loopback.Challenge() : std::string()));
    }

    const TDateTime sentAt = Now();
    fields.push_back({"code", code});
    std::vector<TField> after;
    if (FTable.RedirectWithCode) after.push_back({"redirect_uri", redirectUrl});
    after.push_back({"grant_type", "authorization_code"});
    if (!verifier.empty()) after.push_back({"code_verifier", verifier});
    const TOAuthToken token = RequestToken(AState, AHttp, route.TokenUrl, fields, after);
    Store(AState, token, token.refresh_token, sentAt);
}

std::string TOAuthClient::CodeByRedirect(TServiceState& AState, const TSignInRoute& ARoute,
                                         const std::optional<std::string>& AScope) const {
    std::string code;
    AState.OAuth20(FTable.RedirectEvents, AuthorizationUrl(AState, ARoute, AScope, AState.GetRedirectUrl()), code);
    return code;
}

void TOAuthClient::Refresh(TServiceState& AState, THttpClient& AHttp) const {
    const std::string refresh = AState.GetRefresh();
    const TDateTime sentAt = Now();
    std::vector<TField> after;
    if (FTable.RedirectWithRefresh) after.push_back({"redirect_uri", AState.GetRedirectUrl()});
    after.push_back({"grant_type", "refresh_token"});
    after.push_back({"refresh_token", refresh});
    const TOAuthToken token = RequestToken(AState, AHttp, RouteFor(AState.GetRedirectUrl()).TokenUrl, {}, after);
    // Most services answer a renewal without a new refresh token: the old one stays valid.
    Store(AState, token, token.refresh_token.empty() ? refresh : token.refresh_token, sentAt);
}

bool TOAuthClient::RenewRefused(TServiceState& AState, THttpClient& AHttp, const std::string& ARefusedToken) const {
    std::lock_guard lock(AState.RefreshLock());
    if (AState.GetToken() != ARefusedToken) return true;
    if (AState.GetRefresh().empty()) return false;
    Refresh(AState, AHttp);
    return true;
}

TOAuthToken TOAuthClient::RequestToken(const TServiceState& AState, THttpClient& AHttp, const std::string& ATokenUrl,
                                       const std::vector<TField>& AFields,
                                       const std::vector<TField>& AAfterCredentials) const {
    THttpRequest request = AHttp.Post(ATokenUrl);
    if (FTable.ClientAuth == TClientAuth::HttpBasic)
        request.Header("Authorization", "Basic " + Base64(THttpClient::UrlEncode(AState.GetClientId()) + ":" +
                                                          THttpClient::UrlEncode(AState.GetSecret())));
    THttpRequest::TFormData form = request.BeginForm(true);
    for (const TField& field : AFields) form = form.Prop(field.Name, field.Value);
    if (FTable.ClientAuth != TClientAuth::HttpBasic) form = form.Prop("client_id", AState.GetClientId());
    if (FTable.ClientAuth == TClientAuth::SecretInForm) form = form.Prop("client_secret", AState.GetSecret());
    for (const TField& field : AAfterCredentials) form = form.Prop(field.Name, field.Value);

    TOAuthToken token;
    try {
        form.EndForm().ValidResponse(200).Execute(token);
    } catch (const EHttpProtocolError& error) {
        if (const std::optional<TOAuthErrorAnswer> refusal = AsRefusal(error))
            throw EOAuthError(error, refusal->error, refusal->error_description);
        throw;
    }
    if (token.access_token.empty()) throw ERestError("The sign-in service answered without an access token");
    if (token.expires_in < 0) throw ERestError("The sign-in service answered with a token that has expired already");
    return token;
}

void TOAuthClient::Store(TServiceState& AState, const TOAuthToken& AToken, const std::string& ARefresh,
                         TDateTime ASentAt) const {
    const TDateTime expires =
        FTable.TokensExpire ? ASentAt + AToken.expires_in / static_cast<double>(SecsPerDay) : MaxDateTime;
    AState.SetToken(AToken.access_token, ARefresh, expires);
}

}  // namespace Nimbo::Connection
