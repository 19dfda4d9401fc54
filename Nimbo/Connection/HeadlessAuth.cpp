#include "Nimbo/Connection/HeadlessAuth.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <ostream>
#include <streambuf>
#include <string_view>
#include <utility>

#include "Nimbo/Connection/Http.h"
#include "Nimbo/Connection/platform/Exceptions.h"

namespace Nimbo::Connection {

namespace {

struct THeadlessConfig {
    THeadlessDecision Decision = THeadlessDecision::Allow;
    std::string DenyReason;
    std::vector<std::string> Visited;
};

THeadlessConfig& Config() {
    static THeadlessConfig config;
    return config;
}

// Pages and redirects one sign-in may pass through before the window gives up.
constexpr int MaxSteps = 20;
constexpr std::size_t MaxPageBytes = 1 << 20;

struct TRequest {
    std::string Url;
    std::string FormBody;  // empty: GET; else POSTed as application/x-www-form-urlencoded
};

struct TPage {
    long Status = 0;
    std::string Location;  // absolute target of a redirect, empty otherwise
    std::string Body;
};

std::string Lower(std::string_view AText) {
    std::string lower(AText);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return lower;
}

// Keeps the first MaxPageBytes of a page and drops the rest.
class TCappedPage : public std::streambuf {
public:
    explicit TCappedPage(std::string& ABody) : FBody(ABody) {}

protected:
    int_type overflow(int_type AChar) override {
        if (!traits_type::eq_int_type(AChar, traits_type::eof()) && FBody.size() < MaxPageBytes)
            FBody += traits_type::to_char_type(AChar);
        return traits_type::not_eof(AChar);
    }
    std::streamsize xsputn(const char* AData, std::streamsize ACount) override {
        const std::size_t room = MaxPageBytes - std::min(MaxPageBytes, FBody.size());
        FBody.append(AData, std::min(room, static_cast<std::size_t>(ACount)));
        return ACount;
    }

private:
    std::string& FBody;
};

std::string ResolveUrl(const std::string& ABase, const std::string& ATarget);

// Loads one URL through the request layer without following redirects; nothing when the page
// cannot be reached.
std::optional<TPage> Load(const TRequest& ARequest) {
    THttpClient client("");
    THttpRequest request = ARequest.FormBody.empty() ? client.Get(ARequest.Url) : client.Post(ARequest.Url);
    if (!ARequest.FormBody.empty())
        request.Header("Content-Type", "application/x-www-form-urlencoded")
            .Data(ARequest.FormBody.data(), static_cast<int>(ARequest.FormBody.size()));
    request.FollowRedirects(false);
    TPage page;
    try {
        TCappedPage body(page.Body);
        std::ostream stream(&body);
        page.Status = request.Execute(stream);
    } catch (const EHttpProtocolError& answer) {
        // A browser shows an error page like any other, and follows a redirect.
        page.Status = answer.ErrorCode();
        page.Body = answer.ErrorMessage().substr(0, MaxPageBytes);
        const std::string location = request.ResponseHeader("Location");
        if (page.Status >= 300 && page.Status < 400 && !location.empty())
            page.Location = ResolveUrl(ARequest.Url, location);
    } catch (const ETransportError&) {
        return std::nullopt;
    }
    return page;
}

std::string HtmlUnescape(std::string_view AText) {
    static const std::pair<std::string_view, char> Entities[] = {{"&amp;", '&'},  {"&lt;", '<'},   {"&gt;", '>'},
                                                                 {"&quot;", '"'}, {"&#39;", '\''}, {"&#x27;", '\''}};
    std::string text;
    for (std::size_t i = 0; i < AText.size();) {
        const auto entity = std::find_if(std::begin(Entities), std::end(Entities),
                                         [&](const auto& e) { return AText.substr(i).starts_with(e.first); });
        if (entity != std::end(Entities)) {
            text += entity->second;
            i += entity->first.size();
        } else {
            text += AText[i++];
        }
    }
    return text;
}

// The text between the opening tag ATag and its closing tag, searched without regard to case.
std::optional<std::string_view> Element(std::string_view AHtml, std::string_view ATag) {
    const std::string lower = Lower(AHtml);
    const std::size_t open = lower.find("<" + std::string(ATag));
    if (open == std::string::npos) return std::nullopt;
    const std::size_t contentStart = lower.find('>', open);
    const std::size_t close = lower.find("</" + std::string(ATag), contentStart);
    if (contentStart == std::string::npos || close == std::string::npos) return std::nullopt;
    return AHtml.substr(open, close - open);
}

std::optional<std::string> Title(std::string_view AHtml) {
    const std::optional<std::string_view> title = Element(AHtml, "title");
    if (!title) return std::nullopt;
    return HtmlUnescape(title->substr(title->find('>') + 1));
}

// The value of the attribute AName in the tag text ATag (from "<" to ">"), unescaped.
std::optional<std::string> Attribute(std::string_view ATag, std::string_view AName) {
    const std::string lower = Lower(ATag);
    const std::string key = " " + std::string(AName) + "=";
    const std::size_t at = lower.find(key);
    if (at == std::string::npos) return std::nullopt;
    std::size_t start = at + key.size();
    if (start >= ATag.size()) return std::string();
    const char quote = ATag[start];
    if (quote == '"' || quote == '\'') {
        const std::size_t end = ATag.find(quote, start + 1);
        return HtmlUnescape(
            ATag.substr(start + 1, end == std::string_view::npos ? std::string_view::npos : end - start - 1));
    }
    const std::size_t end = ATag.find_first_of(" >", start);
    return HtmlUnescape(ATag.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
}

// Every tag named ATag in AHtml, each from "<" to ">".
std::vector<std::string_view> Tags(std::string_view AHtml, std::string_view ATag) {
    std::vector<std::string_view> tags;
    const std::string lower = Lower(AHtml);
    const std::string open = "<" + std::string(ATag);
    for (std::size_t at = lower.find(open); at != std::string::npos; at = lower.find(open, at + 1)) {
        const std::size_t end = lower.find('>', at);
        if (end == std::string::npos) break;
        tags.push_back(AHtml.substr(at, end - at + 1));
    }
    return tags;
}

std::string ResolveUrl(const std::string& ABase, const std::string& ATarget) {
    // A target with a scheme of its own ("https:", "urn:") is absolute.
    const std::size_t colon = ATarget.find(':');
    if (colon != std::string::npos && colon > 0 && std::isalpha(static_cast<unsigned char>(ATarget[0])) &&
        std::all_of(ATarget.begin(), ATarget.begin() + static_cast<std::ptrdiff_t>(colon),
                    [](unsigned char c) { return std::isalnum(c) || c == '+' || c == '-' || c == '.'; }))
        return ATarget;
    const std::size_t hostStart = ABase.find("://");
    const std::size_t pathStart = hostStart == std::string::npos ? std::string::npos : ABase.find('/', hostStart + 3);
    const std::string origin = pathStart == std::string::npos ? ABase : ABase.substr(0, pathStart);
    if (ATarget.starts_with("/")) return origin + ATarget;
    const std::string base = ABase.substr(0, ABase.find('?'));
    return base.substr(0, base.rfind('/') + 1) + ATarget;
}

// The consent form of the page answered with ADecision: its hidden fields, then the decision.
std::optional<TRequest> AnswerConsent(const std::string& APageUrl, std::string_view AHtml,
                                      const THeadlessConfig& AConfig) {
    const std::optional<std::string_view> form = Element(AHtml, "form");
    if (!form) return std::nullopt;
    bool asksDecision = false;
    for (const std::string_view button : Tags(*form, "button"))
        asksDecision = asksDecision || Attribute(button, "name") == "decision";
    if (!asksDecision) return std::nullopt;

    const std::string_view formTag = form->substr(0, form->find('>') + 1);
    TRequest request{ResolveUrl(APageUrl, Attribute(formTag, "action").value_or(APageUrl)), ""};
    const auto add = [&](const std::string& AName, const std::string& AValue) {
        if (!request.FormBody.empty()) request.FormBody += '&';
        request.FormBody += THttpClient::UrlEncode(AName) + "=" + THttpClient::UrlEncode(AValue);
    };
    for (const std::string_view input : Tags(*form, "input"))
        if (Lower(Attribute(input, "type").value_or("")) == "hidden")
            add(Attribute(input, "name").value_or(""), Attribute(input, "value").value_or(""));
    const bool allow = AConfig.Decision == THeadlessDecision::Allow;
    add("decision", allow ? "allow" : "deny");
    if (!allow && !AConfig.DenyReason.empty()) add("emulator_deny_reason", AConfig.DenyReason);
    return request;
}

bool IsWebUrl(const std::string& AUrl) { return AUrl.starts_with("https://") || AUrl.starts_with("http://"); }

}  // namespace

void TNimboHeadlessAuth::SetDecision(THeadlessDecision ADecision, std::string ADenyReason) {
    Config().Decision = ADecision;
    Config().DenyReason = std::move(ADenyReason);
}

std::vector<std::string> TNimboHeadlessAuth::Visited() { return Config().Visited; }

void TNimboHeadlessAuth::ShowModal(TAuthEvents /*ARequired*/, const std::string& AUrl) {
    THeadlessConfig& config = Config();
    config.Visited.clear();
    FClosed = false;
    if (config.Decision == THeadlessDecision::Cancel) {
        DoEvent(aeCanceled, "");
        return;
    }

    TRequest next{AUrl, ""};
    for (int step = 0; step < MaxSteps && !FClosed; ++step) {
        config.Visited.push_back(next.Url);
        // A browser shows its own error page for an address it cannot load, but the address is
        // still the one navigated to: a redirect's code is in it.
        const std::optional<TPage> page = IsWebUrl(next.Url) ? Load(next) : std::nullopt;
        if (!page) {
            DoEvent(aeNavigateComplete, next.Url);
            break;
        }
        if (!page->Location.empty()) {
            next = {page->Location, ""};
            continue;
        }
        if (const std::optional<std::string> title = Title(page->Body)) DoEvent(aeTitleChanged, *title);
        if (FClosed) return;
        DoEvent(aeNavigateComplete, next.Url);
        if (FClosed) return;
        std::optional<TRequest> answer = AnswerConsent(next.Url, page->Body, config);
        if (!answer) break;
        next = std::move(*answer);
    }
    // Stuck on a page it cannot answer: the user closes the window.
    if (!FClosed) DoEvent(aeCanceled, "");
}

}  // namespace Nimbo::Connection
