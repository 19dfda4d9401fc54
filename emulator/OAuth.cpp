#include "emulator/OAuth.h"

#include <algorithm>

namespace Nimbo::Emulator {

void OAuthRegistry::Clear() {
    clients_.clear();
    codes_.clear();
    accessTokens_.clear();
    refreshTokens_.clear();
}

void OAuthRegistry::RegisterClient(OAuthClient client) {
    auto id = client.id;
    clients_[id] = std::move(client);
}

const OAuthClient* OAuthRegistry::Client(const std::string& id) const {
    auto it = clients_.find(id);
    return it == clients_.end() ? nullptr : &it->second;
}

bool OAuthRegistry::AcceptsRedirect(const OAuthClient& client, const std::string& redirectUri) const {
    return client.redirectUris.empty() ||
           std::find(client.redirectUris.begin(), client.redirectUris.end(), redirectUri) != client.redirectUris.end();
}

std::string OAuthRegistry::IssueCode(const Grant& grant) {
    auto code = RandomToken(32);
    codes_[code] = grant;
    return code;
}

CodeCheck OAuthRegistry::RedeemCode(const std::string& code, const std::string& clientId,
                                    const std::string& redirectUri, TimePoint now, Grant& grant) {
    auto it = codes_.find(code);
    if (it == codes_.end()) return CodeCheck::Unknown;
    Grant& found = it->second;
    if (found.spent) return CodeCheck::Used;
    if (found.clientId != clientId) return CodeCheck::OtherClient;
    if (now >= found.expires) return CodeCheck::Expired;
    if (!found.redirectUri.empty() && !redirectUri.empty() && found.redirectUri != redirectUri)
        return CodeCheck::OtherRedirect;
    found.spent = true;
    grant = found;
    return CodeCheck::Ok;
}

std::string OAuthRegistry::IssueAccessToken(const Grant& grant) {
    auto token = prefix_ + RandomToken(40);
    accessTokens_[token] = grant;
    accessTokens_[token].spent = false;
    return token;
}

std::string OAuthRegistry::IssueRefreshToken(const Grant& grant, TimePoint expires) {
    auto token = RandomToken(48);
    Grant refresh = grant;
    refresh.expires = expires;
    refresh.spent = false;
    refreshTokens_[token] = refresh;
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
    return it == refreshTokens_.end() ? nullptr : &it->second;
}

bool OAuthRegistry::Revoke(const std::string& token) {
    if (accessTokens_.erase(token) > 0) return true;
    auto it = refreshTokens_.find(token);
    if (it == refreshTokens_.end() || it->second.spent) return false;
    it->second.spent = true;
    return true;
}

void OAuthRegistry::ExpireAccessTokens(TimePoint now) {
    for (auto& [token, grant] : accessTokens_) grant.expires = std::min(grant.expires, now);
}

void OAuthRegistry::RevokeRefreshTokens() {
    for (auto& [token, grant] : refreshTokens_) grant.spent = true;
}

static Json SaveGrants(const std::map<std::string, Grant>& grants) {
    Json out = Json::object();
    for (const auto& [key, g] : grants)
        out[key] = {{"client", g.clientId},
                    {"scope", g.scope},
                    {"redirect", g.redirectUri},
                    {"expires", g.expires == TimePoint::max() ? -1 : ToMillis(g.expires)},
                    {"spent", g.spent}};
    return out;
}

static std::map<std::string, Grant> LoadGrants(const Json& in) {
    std::map<std::string, Grant> grants;
    for (const auto& [key, g] : in.items()) {
        Grant grant;
        grant.clientId = g.at("client").get<std::string>();
        grant.scope = g.at("scope").get<std::string>();
        grant.redirectUri = g.at("redirect").get<std::string>();
        auto expires = g.at("expires").get<std::int64_t>();
        grant.expires = expires < 0 ? TimePoint::max() : FromMillis(expires);
        grant.spent = g.at("spent").get<bool>();
        grants[key] = grant;
    }
    return grants;
}

Json OAuthRegistry::Save() const {
    Json clients = Json::array();
    for (const auto& [id, c] : clients_)
        clients.push_back({{"id", c.id}, {"secret", c.secret}, {"redirects", c.redirectUris}});
    return {{"clients", clients}, {"access", SaveGrants(accessTokens_)}, {"refresh", SaveGrants(refreshTokens_)}};
}

void OAuthRegistry::Load(const Json& state) {
    Clear();
    for (const auto& c : state.at("clients"))
        RegisterClient({c.at("id").get<std::string>(), c.at("secret").get<std::string>(),
                        c.at("redirects").get<std::vector<std::string>>()});
    accessTokens_ = LoadGrants(state.at("access"));
    refreshTokens_ = LoadGrants(state.at("refresh"));
}

}  // namespace Nimbo::Emulator
