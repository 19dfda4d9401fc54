#include "emulator/Service.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <map>

namespace Nimbo::Emulator {

std::string Exchange::Param(const std::string& name) const {
    for (const auto& [k, v] : params)
        if (k == name) return v;
    return {};
}

bool Exchange::HasForm(const std::string& key) const {
    for (const auto& [k, v] : form)
        if (k == key) return true;
    return false;
}

std::string Exchange::Form(const std::string& key) const {
    for (const auto& [k, v] : form)
        if (k == key) return v;
    return {};
}

std::string Exchange::BearerToken(bool queryAllowed) const {
    auto header = Header("Authorization");
    if (header.size() > 7 && EqualsIgnoreCase(header.substr(0, 7), "Bearer ")) return header.substr(7);
    if (queryAllowed) {
        if (HasQuery("access_token")) return Query("access_token");
        if (HasQuery("oauth_token")) return Query("oauth_token");
    }
    return {};
}

void Exchange::WithoutLock(const std::function<void()>& work) {
    if (!lock) return work();
    lock->unlock();
    try {
        work();
    } catch (...) {
        lock->lock();
        throw;
    }
    lock->lock();
}

void Exchange::SendJson(int status, const Json& body, bool pretty) {
    res.status = status;
    res.set_content(pretty ? JsonText(body, 1) + "\n" : JsonText(body), "application/json; charset=UTF-8");
}

void Exchange::SendText(int status, const std::string& text, const std::string& type) {
    res.status = status;
    res.set_content(text, type.c_str());
}

namespace {

// The byte ranges of a "Range: bytes=..." header: nullopt when there is none to honour (no header,
// another unit, syntax the service ignores), else the first range; `several` tells that more
// than one was asked for.
struct ByteRange {
    long long first, last;  // first < 0: the last `last` bytes; last < 0: to the end
};

std::optional<ByteRange> RangeOf(const std::string& header, bool& several) {
    several = false;
    const std::string unit = "bytes=";
    if (header.compare(0, unit.size(), unit) != 0) return std::nullopt;
    std::string spec = header.substr(unit.size());
    several = spec.find(',') != std::string::npos;
    spec = spec.substr(0, spec.find(','));
    auto dash = spec.find('-');
    if (dash == std::string::npos) return std::nullopt;
    auto number = [](const std::string& text, long long& value) {
        if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) return false;
        value = std::stoll(text);
        return true;
    };
    ByteRange range{-1, -1};
    std::string from = spec.substr(0, dash), to = spec.substr(dash + 1);
    if (from.empty()) return number(to, range.last) ? std::optional(range) : std::nullopt;
    if (!number(from, range.first) || (!to.empty() && !number(to, range.last))) return std::nullopt;
    if (range.last >= 0 && range.last < range.first) return std::nullopt;
    return range;
}

}  // namespace

void Exchange::SendContent(const BlobRef& content, const std::string& type) {
    std::string mime = type.empty() ? "application/octet-stream" : type;
    bool several = false;
    auto range = RangeOf(Header("Range"), several);
    const auto size = content ? static_cast<long long>(content->Size()) : 0;
    long long from = 0, to = size - 1;
    res.status = 200;
    // Several ranges get the whole body: an answer must never grow with the number of ranges.
    if (range && !several && size > 0) {
        from = range->first, to = range->last;
        if (from < 0) from = std::max(0LL, size - to), to = size - 1;  // suffix range "-n"
        if (to < 0 || to >= size) to = size - 1;
        if (from >= size || (range->first < 0 && range->last == 0)) {
            res.set_header("Content-Range", "bytes */" + std::to_string(size));
            return SendText(416, "", mime);
        }
        res.status = 206;
        res.set_header("Content-Range",
                       "bytes " + std::to_string(from) + "-" + std::to_string(to) + "/" + std::to_string(size));
    }
    if (size == 0) return SendText(200, "", mime);
    // The open file and the content it belongs to live as long as the answer is being sent.
    int fd = ::open(content->Path().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open stored content " + content->Name());
    auto file = std::shared_ptr<int>(new int(fd), [content](int* f) {
        ::close(*f);
        delete f;
    });
    const auto first = static_cast<std::uint64_t>(from), count = static_cast<std::uint64_t>(to - from + 1);
    res.set_content_provider(static_cast<std::size_t>(count), mime.c_str(),
                             [file, first](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                 char buffer[65536];
                                 auto n = ::pread(*file, buffer, std::min(length, sizeof buffer),
                                                  static_cast<off_t>(first + offset));
                                 return n > 0 && sink.write(buffer, static_cast<std::size_t>(n));
                             });
}

void Exchange::SendEmpty(int status) {
    res.status = status;
    res.body.clear();
}

void Exchange::Redirect(const std::string& url, int status) {
    res.status = status;
    res.set_header("Location", url);
    res.body.clear();
}

Service::Service(Cloud kind, std::string rootId, Tree::IdMaker makeId, std::string tokenPrefix,
                 std::string defaultAccount)
    : tree(std::move(rootId), std::move(makeId)),
      oauth(std::move(tokenPrefix)),
      accountName(defaultAccount),
      kind_(kind),
      defaultAccount_(std::move(defaultAccount)) {}

std::string Service::RequestMethod(const Exchange& ex) const { return ex.Method(); }

void Service::Handle(Exchange& ex) {
    auto match = routes.Find(RequestMethod(ex), HostGroup(ex.host), ex.Path());
    switch (match.outcome) {
        case RouteTable::Outcome::Found:
            if (match.route->access == RouteTable::Access::Token && !Authorized(ex)) return;
            ex.params = std::move(match.params);
            return match.route->handler(ex);
        case RouteTable::Outcome::WrongMethod:
            return MethodNotAllowed(ex);
        case RouteTable::Outcome::Unknown:
            return UnknownRoute(ex);
    }
}

std::uint64_t Service::BodyLimit(const std::string& method, const std::string& host, const std::string& path) const {
    auto match = routes.Find(method, HostGroup(host), path);
    return match.outcome == RouteTable::Outcome::Found ? match.route->maxBody : 0;
}

void Service::Reset(TimePoint now) {
    tree.Clear(now);
    oauth.Clear();
    accountName = defaultAccount_;
}

void Service::Load(const Json& state, Tree::Contents& contents) {
    accountName = state.at("account").get<std::string>();
    tree.Load(state.at("tree"), *blobs, contents);
    oauth.Load(state.at("oauth"));
}

TokenPair Service::IssueTokens(const std::string& clientId, const std::string& scope, TimePoint now) {
    Grant grant{clientId, scope, "", now + std::chrono::hours(1), false};
    return {oauth.IssueAccessToken(grant), oauth.IssueRefreshToken(grant)};
}

// The names of a control-interface path; throws for a path no service would accept.
static std::vector<std::string> CheckedNames(const std::string& path) {
    std::vector<std::string> names;
    if (!SplitPath(path, names)) throw std::invalid_argument("a path may not hold . or ..: " + path);
    for (const auto& name : names)
        if (auto fault = NameFault(name); !fault.empty())
            throw std::invalid_argument("the name " + fault + ": " + path);
    return names;
}

std::string Service::AddFolder(const std::string& path, TimePoint now) {
    CheckedNames(path);
    return tree.EnsureFolders(path, NamesIgnoreCase(), now).id;
}

std::string Service::AddFile(const std::string& path, BlobRef content, const std::string& mimeType, TimePoint now) {
    std::vector<std::string> names = CheckedNames(path);
    if (names.empty()) throw std::invalid_argument("not a file path: " + path);
    std::string name = names.back();
    names.pop_back();
    std::string parentPath;
    for (const auto& n : names) parentPath += "/" + n;
    Node& parent = tree.EnsureFolders(parentPath, NamesIgnoreCase(), now);
    std::string mime = mimeType.empty() ? MimeTypeFor(name) : mimeType;
    if (Node* existing = tree.ChildByName(parent.id, name, NamesIgnoreCase()); existing && !existing->folder) {
        existing->mimeType = mime;
        tree.SetContent(*existing, std::move(content), now);
        return existing->id;
    }
    return tree.AddFile(parent.id, name, std::move(content), mime, now).id;
}

SignInDecision Service::Consent(const Exchange& ex) {
    auto choice = ex.HasForm("decision") ? ex.Form("decision") : ex.Query("emulator_decision");
    if (choice == "allow") return SignInDecision::Allow;
    if (choice == "deny") return SignInDecision::Deny;
    return ex.signIn;
}

std::string Service::DenyReason(const Exchange& ex, const std::string& fallback) {
    auto reason = ex.Field("emulator_deny_reason");
    return reason.empty() ? fallback : reason;
}

void Service::SendSignInForm(Exchange& ex, const std::string& serviceTitle, const std::string& clientId,
                             const std::string& scope) const {
    std::string hidden;
    for (const auto& [key, value] : ex.req.params)
        if (key != "emulator_decision" && key != "decision")
            hidden += "<input type=\"hidden\" name=\"" + HtmlEscape(key) + "\" value=\"" + HtmlEscape(value) + "\">\n";
    std::string html =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + HtmlEscape(serviceTitle) +
        " - Sign in</title></head>\n<body>\n<h1>" + HtmlEscape(serviceTitle) + "</h1>\n<p>Signed in as <b>" +
        HtmlEscape(accountName) + "</b>.</p>\n<p>The application <b>" + HtmlEscape(clientId) +
        "</b> would like to access your files" + (scope.empty() ? "" : " (" + HtmlEscape(scope) + ")") +
        ".</p>\n<form id=\"consent\" method=\"POST\" action=\"" + HtmlEscape(ex.Path()) + "\">\n" + hidden +
        "<label>Reason if you deny: <input type=\"text\" name=\"emulator_deny_reason\" value=\"\"></label><br>\n"
        "<button type=\"submit\" id=\"allow\" name=\"decision\" value=\"allow\">Allow</button>\n"
        "<button type=\"submit\" id=\"deny\" name=\"decision\" value=\"deny\">Deny</button>\n</form>\n</body></html>\n";
    ex.SendHtml(200, html);
}

const OAuthClient* Service::AuthorizingClient(Exchange& ex, const std::string& redirectUri, bool redirectRequired,
                                              const std::string& builtInRedirect, LoopbackPorts ports) {
    // The page's own form posts back the original fields, so read them from either place.
    const OAuthClient* client = oauth.Client(ex.Field("client_id"));
    std::string problem;
    if (!client)
        problem = "invalid_client: The OAuth client was not found.";
    else if (redirectRequired && redirectUri.empty())
        problem = "invalid_request: Missing required parameter: redirect_uri";
    else if (IsPlainHttp(redirectUri) && !IsLoopbackRedirect(redirectUri))
        problem = "invalid_request: A redirect over http must go to 127.0.0.1, [::1] or localhost.";
    else if (!redirectUri.empty() && redirectUri != builtInRedirect &&
             !oauth.AcceptsRedirect(*client, redirectUri, ports))
        problem = "redirect_uri_mismatch: The redirect URI in the request does not match a registered redirect URI.";
    else if (ex.Field("response_type") != "code" && ex.Field("response_type") != "token")
        problem = "unsupported_response_type: Invalid response_type: " + ex.Field("response_type");
    if (problem.empty()) return client;
    ex.SendHtml(400, "<!DOCTYPE html>\n<html><head><title>Error</title></head><body><h1>400. That's an error.</h1><p>" +
                         HtmlEscape(problem) + "</p></body></html>\n");
    return nullptr;
}

std::string Service::ReadPkce(const Exchange& ex, Grant& grant) {
    std::string challenge = ex.Field("code_challenge"), method = ex.Field("code_challenge_method");
    if (challenge.empty()) return method.empty() ? "" : "code_challenge_method without code_challenge";
    if (auto problem = PkceProblem(challenge, method); !problem.empty()) return problem;
    grant.challenge = challenge;
    grant.challengeMethod = method.empty() ? "plain" : method;
    return "";
}

namespace {

std::string WithoutPrefix(const std::string& text, const std::string& prefix) {
    return !prefix.empty() && text.rfind(prefix, 0) == 0 ? text.substr(prefix.size()) : text;
}

// The client's credentials as a token request brings them: HTTP Basic, else fields.
struct Credentials {
    std::string id, secret;
    bool malformed = false;  // a Basic header that does not decode: wrong credentials
};

Credentials ReadCredentials(const Exchange& ex, const std::function<std::string(const std::string&)>& field) {
    auto basic = ex.Header("Authorization");
    if (basic.size() <= 6 || !EqualsIgnoreCase(basic.substr(0, 6), "Basic "))
        return {field("client_id"), field("client_secret")};
    std::string decoded;
    try {
        decoded = Base64Decode(basic.substr(6));
    } catch (const std::invalid_argument&) {
        return {"", "", true};
    }
    auto colon = decoded.find(':');
    if (colon == std::string::npos) return {"", "", true};
    return {UrlDecode(decoded.substr(0, colon)), UrlDecode(decoded.substr(colon + 1))};
}

}  // namespace

void Service::Token(Exchange& ex, TokenEndpoint& endpoint) {
    const TokenRules& rules = endpoint.Rules();
    auto field = [&](const std::string& key) { return rules.queryParameters ? ex.Field(key) : ex.Form(key); };
    auto refuse = [&](const std::string& error, const std::string& description, int status = 400) {
        endpoint.SendTokenError(ex, status, {error, description});
    };
    auto refuseWith = [&](const OAuthError& error, const OAuthError& fallback = {}) {
        endpoint.SendTokenError(ex, 400, error.error.empty() ? fallback : error);
    };
    if (rules.postOnly && ex.Method() != "POST") return refuse("invalid_request", rules.notPost);
    const std::string grantType = field("grant_type");
    if (grantType.empty()) return refuse("invalid_request", rules.noGrantType);
    if (grantType != "authorization_code" && (grantType != "refresh_token" || !rules.refreshGrant)) {
        std::string text = rules.badGrantType;
        if (auto at = text.find("%s"); at != std::string::npos) text.replace(at, 2, grantType);
        return refuse("unsupported_grant_type", text);
    }
    const Credentials credentials = ReadCredentials(ex, field);
    if (!rules.unknownClient.empty() && !credentials.malformed && !oauth.Client(credentials.id))
        return refuse("invalid_client", rules.unknownClient, rules.invalidClientStatus);
    const OAuthClient* client = credentials.malformed ? nullptr : oauth.Client(credentials.id);
    if (!client || (!credentials.secret.empty() && credentials.secret != client->secret))
        return refuse("invalid_client", rules.badClient, rules.invalidClientStatus);
    // A confidential client leaves its secret out only where the endpoint lets it, or where PKCE
    // stands in for it (known once the code or refresh token is found).
    const bool secretShown = !credentials.secret.empty() || client->secret.empty();
    auto secretAccepted = [&](bool redeemedByPkce) {
        if (secretShown || !endpoint.SecretRequired(ex) || (rules.pkceInsteadOfSecret && redeemedByPkce)) return true;
        const OAuthError& missing = rules.secretMissing;
        if (missing.error.empty())
            refuse("invalid_client", rules.badClient, rules.invalidClientStatus);
        else
            endpoint.SendTokenError(ex, rules.secretMissingStatus, missing);
        return false;
    };
    if (!rules.pkceInsteadOfSecret && !secretAccepted(false)) return;

    Grant grant;
    if (grantType == "authorization_code") {
        const std::string code = WithoutPrefix(field("code"), rules.codePrefix);
        if (code.empty() && !rules.noCode.empty()) return refuse("invalid_request", rules.noCode);
        const std::string redirect = field("redirect_uri");
        if (redirect.empty() && !rules.noRedirect.empty()) return refuse("invalid_request", rules.noRedirect);
        CodeRedemption request{client->id, redirect, field("code_verifier"), rules.redirectRequired};
        switch (oauth.CheckCode(code, request, ex.now, grant)) {
            case CodeCheck::Ok:
                break;
            case CodeCheck::Used:
                return refuseWith(rules.codeUsed, rules.codeUnknown);
            case CodeCheck::Expired:
                return refuseWith(rules.codeExpired, rules.codeUnknown);
            case CodeCheck::OtherRedirect:
                return refuseWith(rules.codeOtherRedirect);
            case CodeCheck::VerifierMissing:
                return refuseWith(rules.verifierMissing);
            case CodeCheck::VerifierWrong:
                return refuseWith(rules.verifierWrong);
            case CodeCheck::Unknown:
            case CodeCheck::OtherClient:
                return refuseWith(rules.codeUnknown);
        }
        grant.pkce = !grant.challenge.empty();
        if (!secretAccepted(grant.pkce)) return;
        if (client->secret.empty() && !grant.pkce) return refuseWith(rules.pkceRequired, rules.verifierMissing);
        oauth.SpendCode(code);
        return endpoint.SendTokens(ex, grant, false);
    }
    const std::string token = WithoutPrefix(field("refresh_token"), rules.refreshPrefix);
    if (token.empty() && !rules.noRefreshToken.empty()) return refuse("invalid_request", rules.noRefreshToken);
    Grant* stored = token.empty() ? nullptr : oauth.RefreshToken(token);
    if (!stored || stored->clientId != client->id) return refuseWith(rules.refreshUnknown);
    if (stored->spent) return refuseWith(rules.refreshSpent, rules.refreshUnknown);
    if (ex.now >= stored->expires) return refuseWith(rules.refreshExpired, rules.refreshUnknown);
    if (!secretAccepted(stored->pkce)) return;
    grant = *stored;
    if (!endpoint.NarrowGrant(ex, grant)) return;
    if (rules.rotateRefreshTokens) stored->spent = true;
    endpoint.SendTokens(ex, grant, true);
}

std::string NameFault(std::string_view name, std::size_t maxLength) {
    if (!ValidUtf8(name)) return "is not UTF-8";
    if (std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }))
        return "holds a control character";
    std::size_t characters = std::count_if(name.begin(), name.end(), [](char c) { return (c & 0xC0) != 0x80; });
    if (characters > maxLength) return "is longer than " + std::to_string(maxLength) + " characters";
    return "";
}

std::string MimeTypeFor(const std::string& name) {
    static const std::map<std::string, std::string> types = {
        {"txt", "text/plain"},
        {"html", "text/html"},
        {"htm", "text/html"},
        {"css", "text/css"},
        {"csv", "text/csv"},
        {"json", "application/json"},
        {"xml", "application/xml"},
        {"pdf", "application/pdf"},
        {"zip", "application/zip"},
        {"jpg", "image/jpeg"},
        {"jpeg", "image/jpeg"},
        {"png", "image/png"},
        {"gif", "image/gif"},
        {"bmp", "image/bmp"},
        {"svg", "image/svg+xml"},
        {"mp3", "audio/mpeg"},
        {"mp4", "video/mp4"},
        {"md", "text/plain"},
        {"doc", "application/msword"},
        {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
        {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"}};
    auto dot = name.rfind('.');
    if (dot == std::string::npos) return "application/octet-stream";
    auto it = types.find(ToLower(name.substr(dot + 1)));
    return it == types.end() ? "application/octet-stream" : it->second;
}

std::string NumberedName(const std::string& name, int number) {
    auto dot = name.rfind('.');
    std::string suffix = " (" + std::to_string(number) + ")";
    if (dot == std::string::npos || dot == 0) return name + suffix;
    return name.substr(0, dot) + suffix + name.substr(dot);
}

std::optional<std::uint64_t> Digits(std::string_view text) {
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    return std::stoull(std::string(text));
}

std::optional<ContentRange> ParseContentRange(std::string_view text) {
    if (text.rfind("bytes ", 0) != 0) return std::nullopt;
    text.remove_prefix(6);
    auto slash = text.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    ContentRange range;
    std::string_view span = text.substr(0, slash), total = text.substr(slash + 1);
    if (total != "*" && !(range.total = Digits(total))) return std::nullopt;
    if (span == "*") return range;
    auto dash = span.find('-');
    if (dash == std::string_view::npos) return std::nullopt;
    auto first = Digits(span.substr(0, dash)), last = Digits(span.substr(dash + 1));
    if (!first || !last || *last < *first || (range.total && *last >= *range.total)) return std::nullopt;
    range.bytes = {*first, *last};
    return range;
}

}  // namespace Nimbo::Emulator
