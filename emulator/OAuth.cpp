#include "emulator/OAuth.h"

#include <openssl/evp.h>

#include <algorithm>
#include <optional>

namespace Nimbo::Emulator {
namespace {

struct UriParts {
    std::string scheme, host, port, rest;  // rest: path, query and fragment ("/" when there is no path)
};

std::optional<UriParts> SplitUri(const std::string& uri) {
    auto separator = uri.find("://");
    if (separator == std::string::npos) return std::nullopt;
    UriParts parts;
    parts.scheme = ToLower(uri.substr(0, separator));
    auto start = separator + 3, end = uri.find_first_of("/?#", start);
    std::string authority = uri.substr(start, end == std::string::npos ? std::string::npos : end - start);
    parts.rest = end == std::string::npos ? "/" : uri.substr(end);
    if (parts.rest.front() != '/') parts.rest.insert(0, "/");
    if (authority.find('@') != std::string::npos) return std::nullopt;  // user information: never a loopback
    std::string::size_type colon;
    if (!authority.empty() && authority.front() == '[') {
        auto close = authority.find(']');
        if (close == std::string::npos) return std::nullopt;
        colon = close + 1 < authority.size() ? close + 1 : std::string::npos;
        if (colon != std::string::npos && authority[colon] != ':') return std::nullopt;
    } else {
        colon = authority.rfind(':');
    }
    parts.host = ToLower(authority.substr(0, colon));
    if (colon != std::string::npos) parts.port = authority.substr(colon + 1);
    if (parts.port.find_first_not_of("0123456789") != std::string::npos || parts.port.size() > 5) return std::nullopt;
    return parts;
}

bool IsLoopback(const UriParts& parts) {
    return parts.scheme == "http" && (parts.host == "127.0.0.1" || parts.host == "[::1]" || parts.host == "localhost");
}

// The same loopback address but for the port.
bool SameButPort(const std::string& registered, const std::string& requested) {
    auto a = SplitUri(registered), b = SplitUri(requested);
    return a && b && IsLoopback(*a) && IsLoopback(*b) && a->host == b->host && a->rest == b->rest;
}

bool IsVerifierText(const std::string& text) {
    return text.size() >= 43 && text.size() <= 128 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                      c == '.' || c == '_' || c == '~';
           });
}

std::string Sha256Base64Url(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
    std::string encoded = Base64Encode(std::string_view(reinterpret_cast<const char*>(digest), length));
    for (auto& c : encoded) c = c == '+' ? '-' : c == '/' ? '_' : c;
    encoded.erase(encoded.find_last_not_of('=') + 1);
    return encoded;
}

}  // namespace

bool IsLoopbackRedirect(const std::string& uri) {
    auto parts = SplitUri(uri);
    return parts && IsLoopback(*parts);
}

bool IsPlainHttp(const std::string& uri) { return ToLower(uri.substr(0, 7)) == "http://"; }

std::string PkceProblem(const std::string& challenge, const std::string& method) {
    if (!method.empty() && method != "S256" && method != "plain")
        return "Unsupported code_challenge_method: " + method + " (S256 or plain)";
    if (!IsVerifierText(challenge)) return "code_challenge must be 43 to 128 characters of A-Z, a-z, 0-9, -, ., _, ~";
    return "";
}

bool VerifierMatches(const std::string& verifier, const std::string& challenge, const std::string& method) {
    if (!IsVerifierText(verifier)) return false;
    return method == "S256" ? Sha256Base64Url(verifier) == challenge : verifier == challenge;
}

void OAuthRegistry::Clear() {
    clients_.clear();
    codes_.clear();
    accessTokens_.clear();
    refreshTokens_.clear();
    touched_.clear();
    cleared_ = true;
}

void OAuthRegistry::RegisterClient(OAuthClient client) {
    auto id = client.id;
    Touch("client", id);
    clients_[id] = std::move(client);
}

const OAuthClient* OAuthRegistry::Client(const std::string& id) const {
    auto it = clients_.find(id);
    return it == clients_.end() ? nullptr : &it->second;
}

bool OAuthRegistry::AcceptsRedirect(const OAuthClient& client, const std::string& redirectUri,
                                    LoopbackPorts ports) const {
    if (IsPlainHttp(redirectUri) && !IsLoopbackRedirect(redirectUri)) return false;
    return client.redirectUris.empty() ||
           std::any_of(client.redirectUris.begin(), client.redirectUris.end(), [&](const std::string& registered) {
               return registered == redirectUri ||
                      (ports == LoopbackPorts::Any && SameButPort(registered, redirectUri));
           });
}

std::string OAuthRegistry::IssueCode(const Grant& grant) {
    auto code = RandomToken(32);
    codes_[code] = grant;
    Touch("code", code);
    return code;
}

CodeCheck OAuthRegistry::CheckCode(const std::string& code, const CodeRedemption& request, TimePoint now,
                                   Grant& grant) const {
    auto it = codes_.find(code);
    if (it == codes_.end()) return CodeCheck::Unknown;
    const Grant& found = it->second;
    if (found.spent) return CodeCheck::Used;
    if (found.clientId != request.clientId) return CodeCheck::OtherClient;
    if (now >= found.expires) return CodeCheck::Expired;
    bool redirectNamed = !request.redirectUri.empty() || request.redirectRequired;
    if (!found.redirectUri.empty() && redirectNamed && found.redirectUri != request.redirectUri)
        return CodeCheck::OtherRedirect;
    if (!found.challenge.empty()) {
        if (request.verifier.empty()) return CodeCheck::VerifierMissing;
        if (!VerifierMatches(request.verifier, found.challenge, found.challengeMethod)) return CodeCheck::VerifierWrong;
    }
    grant = found;
    return CodeCheck::Ok;
}

void OAuthRegistry::SpendCode(const std::string& code) {
    if (auto it = codes_.find(code); it != codes_.end()) {
        it->second.spent = true;
        Touch("code", code);
    }
}

std::string OAuthRegistry::IssueAccessToken(const Grant& grant) {
    auto token = prefix_ + RandomToken(40);
    accessTokens_[token] = grant;
    accessTokens_[token].spent = false;
    Touch("access", token);
    return token;
}

std::string OAuthRegistry::IssueRefreshToken(const Grant& grant, TimePoint expires) {
    auto token = RandomToken(48);
    Grant refresh = grant;
    refresh.expires = expires;
    refresh.spent = false;
    refreshTokens_[token] = refresh;
    Touch("refresh", token);
    return token;
}

TokenCheck OAuthRegistry::CheckAccessToken(const std::string& token, TimePoint now, Grant* grant) const {
    if (token.empty()) return TokenCheck::Missing;
    auto it = accessTokens_.find(token);
    if (it == accessTokens_.end()) return TokenCheck::Unknown;
    if (now >= it->second.expires) return TokenCheck::Expired;
    if (grant) *grant = it->second;
    return TokenCheck::Ok;
}

Grant* OAuthRegistry::RefreshToken(const std::string& token) {
    auto it = refreshTokens_.find(token);
    if (it == refreshTokens_.end()) return nullptr;
    Touch("refresh", token);  // the caller may spend it
    return &it->second;
}

bool OAuthRegistry::Revoke(const std::string& token) {
    if (accessTokens_.erase(token) > 0) return Touch("access", token), true;
    auto it = refreshTokens_.find(token);
    if (it == refreshTokens_.end() || it->second.spent) return false;
    it->second.spent = true;
    Touch("refresh", token);
    return true;
}

void OAuthRegistry::ExpireAccessTokens(TimePoint now) {
    for (auto& [token, grant] : accessTokens_)
        if (grant.expires > now) {
            grant.expires = now;
            Touch("access", token);
        }
}

void OAuthRegistry::RevokeRefreshTokens() {
    for (auto& [token, grant] : refreshTokens_)
        if (!grant.spent) {
            grant.spent = true;
            Touch("refresh", token);
        }
}

namespace {

Json GrantRecord(const Grant& g) {
    return {{"client", g.clientId},
            {"scope", g.scope},
            {"redirect", g.redirectUri},
            {"expires", g.expires == TimePoint::max() ? -1 : ToMillis(g.expires)},
            {"spent", g.spent},
            {"challenge", g.challenge},
            {"challengeMethod", g.challengeMethod},
            {"offline", g.offline},
            {"pkce", g.pkce}};
}

Grant GrantFrom(const Json& g) {
    Grant grant;
    grant.clientId = g.at("client").get<std::string>();
    grant.scope = g.at("scope").get<std::string>();
    grant.redirectUri = g.at("redirect").get<std::string>();
    auto expires = g.at("expires").get<std::int64_t>();
    grant.expires = expires < 0 ? TimePoint::max() : FromMillis(expires);
    grant.spent = g.at("spent").get<bool>();
    grant.challenge = g.value("challenge", "");
    grant.challengeMethod = g.value("challengeMethod", "");
    grant.offline = g.value("offline", false);
    grant.pkce = g.value("pkce", false);
    return grant;
}

Json ClientRecord(const OAuthClient& c) { return {{"id", c.id}, {"secret", c.secret}, {"redirects", c.redirectUris}}; }

OAuthClient ClientFrom(const Json& c) {
    return {c.at("id").get<std::string>(), c.at("secret").get<std::string>(),
            c.at("redirects").get<std::vector<std::string>>()};
}

}  // namespace

void OAuthRegistry::Load(const Json& state) {
    Clear();
    for (const auto& c : state.at("clients")) RegisterClient(ClientFrom(c));
    for (const char* kind : {"code", "access", "refresh"})
        if (state.contains(kind))
            for (const auto& [key, g] : state.at(kind).items()) LoadRecord(kind, key, g);
    MarkAllPending();
}

void OAuthRegistry::MarkAllPending() {
    cleared_ = true;
    for (const auto& [id, client] : clients_) Touch("client", id);
    for (const auto& [code, grant] : codes_) Touch("code", code);
    for (const auto& [token, grant] : accessTokens_) Touch("access", token);
    for (const auto& [token, grant] : refreshTokens_) Touch("refresh", token);
}

bool OAuthRegistry::LoadRecord(const std::string& kind, const std::string& key, const Json& record) {
    if (kind == "client")
        clients_[key] = ClientFrom(record);
    else if (kind == "code")
        codes_[key] = GrantFrom(record);
    else if (kind == "access")
        accessTokens_[key] = GrantFrom(record);
    else if (kind == "refresh")
        refreshTokens_[key] = GrantFrom(record);
    else
        return false;
    return true;
}

OAuthRegistry::Pending OAuthRegistry::TakePending() {
    Pending pending{std::exchange(cleared_, false), {}};
    auto grant = [](const std::map<std::string, Grant>& grants, const std::string& key) -> std::optional<Json> {
        auto it = grants.find(key);
        return it == grants.end() ? std::nullopt : std::optional<Json>(GrantRecord(it->second));
    };
    for (const auto& [kind, key] : touched_) {
        std::optional<Json> record;
        if (kind == "client") {
            if (auto it = clients_.find(key); it != clients_.end()) record = ClientRecord(it->second);
        } else {
            record = grant(kind == "code" ? codes_ : kind == "access" ? accessTokens_ : refreshTokens_, key);
        }
        pending.records.push_back({kind, key, std::move(record)});
    }
    touched_.clear();
    return pending;
}

}  // namespace Nimbo::Emulator
