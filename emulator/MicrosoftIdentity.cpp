// The Microsoft identity platform v2.0 on login.microsoftonline.com: the authorization page and the
// token endpoint of /{common|consumers|organizations|tenant}/oauth2/v2.0/. Errors carry an AADSTS
// code in their description and in error_codes, with a timestamp, trace and correlation ids.

#include "emulator/SignInEndpoints.h"

#include <algorithm>
#include <ctime>

namespace Nimbo::Emulator {
namespace {

const std::string GraphResource = "https://graph.microsoft.com/";
const std::string ConsumersTenant = "9188040d-6c67-4c5b-b112-36a304b66dad";  // where personal accounts live
const std::string AccountObjectId = "00000000-0000-0000-e0a1-c0de5eed1e55";
constexpr int TokenSeconds = 3600;
constexpr auto CodeLifetime = std::chrono::minutes(10);

// Scopes that name no resource: they shape the sign-in itself.
bool IsSignInScope(const std::string& scope) {
    return scope == "openid" || scope == "profile" || scope == "email" || scope == "offline_access";
}

// The asked scopes as granted: resource scopes under Graph's address, once each, in the order asked.
std::string GrantedScopes(const std::string& asked) {
    std::vector<std::string> granted;
    std::string::size_type start = 0;
    while (start < asked.size()) {
        auto end = std::min(asked.find(' ', start), asked.size());
        std::string scope = asked.substr(start, end - start);
        start = end + 1;
        if (scope.empty()) continue;
        if (!IsSignInScope(scope) && scope.find("://") == std::string::npos) scope = GraphResource + scope;
        if (std::find(granted.begin(), granted.end(), scope) == granted.end()) granted.push_back(scope);
    }
    std::string text;
    for (const auto& scope : granted) text += (text.empty() ? "" : " ") + scope;
    return text;
}

bool HasScope(const std::string& granted, const std::string& scope) {
    return (" " + granted + " ").find(" " + scope + " ") != std::string::npos;
}

std::string Guid() {
    std::string hex = ToLower(Md5Hex(RandomToken(32)));
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-" +
           hex.substr(20, 12);
}

std::string Timestamp(TimePoint now) {  // 2026-12-10 13:24:16Z
    std::time_t seconds = Clock::to_time_t(now);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%SZ", &utc);
    return text;
}

std::string Base64Url(const std::string& bytes) {
    std::string text = Base64Encode(bytes);
    for (auto& c : text) c = c == '+' ? '-' : c == '/' ? '_' : c;
    text.erase(text.find_last_not_of('=') + 1);
    return text;
}

// An ID token (signed with nothing a client could check) naming the account and the application.
std::string IdToken(const Grant& grant, const std::string& accountName, TimePoint now) {
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    Json header = {{"typ", "JWT"}, {"alg", "RS256"}, {"kid", "emulator"}};
    Json claims = {{"ver", "2.0"},
                   {"iss", "https://login.microsoftonline.com/" + ConsumersTenant + "/v2.0"},
                   {"sub", Md5Hex(grant.clientId + AccountObjectId)},
                   {"aud", grant.clientId},
                   {"exp", seconds + TokenSeconds},
                   {"iat", seconds},
                   {"nbf", seconds},
                   {"name", accountName},
                   {"preferred_username", "user@example.com"},
                   {"oid", AccountObjectId},
                   {"tid", ConsumersTenant}};
    return Base64Url(JsonText(header)) + "." + Base64Url(JsonText(claims)) + "." + Base64Url(RandomToken(32));
}

// The number after "AADSTS" in a description.
int AadstsCode(const std::string& description) {
    if (description.rfind("AADSTS", 0) != 0) return 0;
    auto digits = description.substr(6, description.find(':') - 6);
    auto number = Digits(digits);
    return number ? static_cast<int>(*number) : 0;
}

}  // namespace

const std::string MicrosoftIdentity::Host = "login.microsoftonline.com";

bool HasGraphScope(const std::string& granted, const std::string& scope) {
    return HasScope(granted, GraphResource + scope);
}

bool GraphScopesAllow(const std::string& granted, bool write) {
    if (HasGraphScope(granted, "Files.ReadWrite") || HasGraphScope(granted, "Files.ReadWrite.All")) return true;
    return !write && (HasGraphScope(granted, "Files.Read") || HasGraphScope(granted, "Files.Read.All"));
}

void MicrosoftIdentity::Authorize(Exchange& ex) {
    const std::string redirect = ex.Field("redirect_uri");
    // Loopback addresses (MSAL registers http://localhost) match on any port.
    const OAuthClient* client = service_.AuthorizingClient(ex, redirect, true, "", LoopbackPorts::Any);
    if (!client) return;
    std::vector<std::pair<std::string, std::string>> answer;
    Grant grant{client->id, GrantedScopes(ex.Field("scope")), redirect, ex.now + CodeLifetime, false};
    std::string pkceProblem = Service::ReadPkce(ex, grant);
    if (ex.Field("response_type") != "code") {
        answer = {{"error", "unsupported_response_type"},
                  {"error_description", "AADSTS700054: response_type '" + ex.Field("response_type") +
                                            "' is not enabled for the application."}};
    } else if (grant.scope.empty()) {
        answer = {{"error", "invalid_request"},
                  {"error_description",
                   "AADSTS900144: The request body must contain the following parameter: "
                   "'scope'."}};
    } else if (!pkceProblem.empty()) {
        answer = {{"error", "invalid_request"}, {"error_description", "AADSTS501491: " + pkceProblem}};
    } else {
        SignInDecision decision = Service::Consent(ex);
        if (decision == SignInDecision::Ask) return service_.SendSignInForm(ex, "Microsoft", client->id, grant.scope);
        if (decision == SignInDecision::Allow)
            answer = {{"code", service_.oauth.IssueCode(grant)}};
        else
            answer = {{"error", "access_denied"},
                      {"error_description",
                       Service::DenyReason(ex, "AADSTS65004: User declined to consent to access the app.")}};
    }
    if (!ex.Field("state").empty()) answer.emplace_back("state", ex.Field("state"));
    if (ex.Field("response_mode") == "fragment") return ex.Redirect(WithFragment(redirect, answer));
    ex.Redirect(AppendQuery(redirect, answer));
}

const TokenRules& MicrosoftIdentity::Rules() const {
    static const std::string expired =
        "AADSTS70008: The provided authorization code or refresh token has expired due to inactivity. Send a new "
        "interactive authorization request for this user and resource.";
    static const TokenRules rules{
        .postOnly = true,
        .rotateRefreshTokens = true,
        .redirectRequired = true,
        .invalidClientStatus = 401,
        .notPost = "AADSTS900561: The endpoint only accepts POST requests.",
        .noGrantType = "AADSTS900144: The request body must contain the following parameter: 'grant_type'.",
        .badGrantType = "AADSTS70003: The app requested an unsupported grant type '%s'.",
        .unknownClient =
            "AADSTS700016: Application was not found in the directory. This can happen if the "
            "application has not been installed by the administrator of the tenant.",
        .badClient =
            "AADSTS7000215: Invalid client secret provided. Ensure the secret being sent in the request is "
            "the client secret value, not the client secret ID.",
        .noCode = "AADSTS900144: The request body must contain the following parameter: 'code'.",
        .noRedirect = "AADSTS900144: The request body must contain the following parameter: 'redirect_uri'.",
        .noRefreshToken = "AADSTS900144: The request body must contain the following parameter: 'refresh_token'.",
        .codeUsed = {"invalid_grant",
                     "AADSTS54005: OAuth2 Authorization code was already redeemed, please retry with a new valid "
                     "code or use an existing refresh token."},
        .codeExpired = {"invalid_grant", expired},
        .codeUnknown = {"invalid_grant", "AADSTS70000: The provided value for the 'code' parameter is not valid."},
        .codeOtherRedirect = {"invalid_grant",
                              "AADSTS70000: The provided value for the 'redirect_uri' is not valid. The value must "
                              "exactly match the redirect URI used to obtain the authorization code."},
        .refreshUnknown = {"invalid_grant", "AADSTS9002313: Invalid request. Request is malformed or invalid."},
        .refreshSpent = {"invalid_grant", expired},
        .refreshExpired = {"invalid_grant", expired},
        .secretMissing = {"invalid_client",
                          "AADSTS7000218: The request body must contain the following parameter: 'client_assertion' "
                          "or 'client_secret'."},
        .secretMissingStatus = 401,
        .verifierMissing = {"invalid_request",
                            "AADSTS900144: The request body must contain the following parameter: 'code_verifier'."},
        .verifierWrong = {"invalid_grant",
                          "AADSTS501481: The Code_Verifier does not match the code_challenge supplied in the "
                          "authorization request."},
        .pkceRequired = {"invalid_request",
                         "AADSTS9002325: Proof Key for Code Exchange is required for public clients."},
    };
    return rules;
}

// offline_access brings a refresh token with every answer (the one used for a refresh is spent),
// openid an ID token; client_info=1 asks for the account's ids as MSAL keeps them.
void MicrosoftIdentity::SendTokens(Exchange& ex, Grant grant, bool) {
    grant.expires = ex.now + std::chrono::seconds(TokenSeconds);
    Json answer = {{"token_type", "Bearer"},
                   {"scope", grant.scope},
                   {"expires_in", TokenSeconds},
                   {"ext_expires_in", TokenSeconds},
                   {"access_token", service_.oauth.IssueAccessToken(grant)}};
    if (HasScope(grant.scope, "offline_access")) answer["refresh_token"] = service_.oauth.IssueRefreshToken(grant);
    if (HasScope(grant.scope, "openid")) answer["id_token"] = IdToken(grant, service_.accountName, ex.now);
    if (ex.Field("client_info") == "1")
        answer["client_info"] = Base64Url(JsonText({{"uid", AccountObjectId}, {"utid", ConsumersTenant}}));
    ex.res.set_header("Cache-Control", "no-store, no-cache");
    ex.SendJson(200, answer);
}

void MicrosoftIdentity::SendTokenError(Exchange& ex, int status, const OAuthError& error) {
    const std::string timestamp = Timestamp(ex.now), trace = Guid(), correlation = Guid();
    const int code = AadstsCode(error.description);
    ex.SendJson(status, {{"error", error.error},
                         {"error_description", error.description + "\r\nTrace ID: " + trace + "\r\nCorrelation ID: " +
                                                   correlation + "\r\nTimestamp: " + timestamp},
                         {"error_codes", code ? Json::array({code}) : Json::array()},
                         {"timestamp", timestamp},
                         {"trace_id", trace},
                         {"correlation_id", correlation},
                         {"error_uri", "https://" + Host + "/error?code=" + std::to_string(code)}});
}

}  // namespace Nimbo::Emulator
