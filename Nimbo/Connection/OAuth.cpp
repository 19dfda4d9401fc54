// The provider-independent half of the OAuth 2.0 authorization-code sign-in: choosing the sign-in
// window, showing it and capturing the code (or the error) from the redirect or the page title.

#include <algorithm>
#include <cctype>
#include <optional>
#include <string_view>

#include "Nimbo/Connection/RestService.h"

namespace Nimbo::Connection {

namespace {

const char* const NoAuthUIMessage =
    "No registered Auth-UI found. Please include Nimbo.Connection.VclAuth or Nimbo.Connection.FmxAuth unit into "
    "your project";
const std::string_view SuccessTitlePrefix = "Success code=";

// A blank or a control character, which ends a pair of the query like "&" does.
bool IsSeparatorBlank(char AChar) { return static_cast<unsigned char>(AChar) <= ' '; }

// Splits a query into its pairs: at each "&", and also at blanks and control characters, which are
// skipped; a pair that begins with a double quote runs to the matching quote ("" stands for one quote
// inside) and loses its quotes. A trailing "&" adds an empty pair.
std::vector<std::string> SplitQueryPairs(std::string_view AQuery) {
    std::vector<std::string> pairs;
    std::size_t pos = 0;
    const auto skipBlanks = [&] {
        while (pos < AQuery.size() && IsSeparatorBlank(AQuery[pos])) ++pos;
    };
    skipBlanks();
    while (pos < AQuery.size()) {
        std::string pair;
        if (AQuery[pos] == '"') {
            for (++pos; pos < AQuery.size(); ++pos) {
                if (AQuery[pos] != '"') {
                    pair += AQuery[pos];
                } else if (pos + 1 < AQuery.size() && AQuery[pos + 1] == '"') {
                    pair += '"';
                    ++pos;
                } else {
                    ++pos;
                    break;
                }
            }
        } else {
            const std::size_t start = pos;
            while (pos < AQuery.size() && !IsSeparatorBlank(AQuery[pos]) && AQuery[pos] != '&') ++pos;
            pair.assign(AQuery.substr(start, pos - start));
        }
        pairs.push_back(std::move(pair));
        skipBlanks();
        if (pos < AQuery.size() && AQuery[pos] == '&') {
            if (pos + 1 == AQuery.size()) pairs.emplace_back();
            ++pos;
            skipBlanks();
        }
    }
    return pairs;
}

bool SameTextAscii(std::string_view A, std::string_view B) {
    return std::equal(A.begin(), A.end(), B.begin(), B.end(), [](char X, char Y) {
        return std::tolower(static_cast<unsigned char>(X)) == std::tolower(static_cast<unsigned char>(Y));
    });
}

// The value of the first pair named AName (names compared without regard to case), as written.
std::optional<std::string> FindValue(const std::vector<std::string>& APairs, std::string_view AName) {
    for (const std::string& pair : APairs) {
        const std::size_t equals = pair.find('=');
        if (equals != std::string::npos && SameTextAscii(std::string_view(pair).substr(0, equals), AName))
            return pair.substr(equals + 1);
    }
    return std::nullopt;
}

// Watches the sign-in window for the authorization code or an error and closes it when one is seen.
class TSignInWatcher {
public:
    TSignInWatcher(std::string ARedirectUrl, TAuthUI& AWindow)
        : FRedirectUrl(std::move(ARedirectUrl)), FWindow(AWindow) {}

    void OnEvent(TAuthEvent AEvent, const std::string& AText) {
        switch (AEvent) {
            case aeNavigateComplete:
                NavigateComplete(AText);
                break;
            case aeTitleChanged:
                TitleChanged(AText);
                break;
            case aeCanceled:
                FCanceled = true;  // the window is closing already
                break;
        }
    }

    const std::string& Code() const { return FCode; }
    const std::string& Error() const { return FError; }
    bool Canceled() const { return FCanceled; }

private:
    void NavigateComplete(const std::string& AUrl) {
        if (FRedirectUrl.empty() || AUrl.find(FRedirectUrl) == std::string::npos) return;
        const std::size_t question = AUrl.find('?');
        if (question == std::string::npos) return;
        const std::vector<std::string> pairs = SplitQueryPairs(std::string_view(AUrl).substr(question + 1));
        if (std::optional<std::string> error = FindValue(pairs, "error")) {
            FError = FindValue(pairs, "error_description").value_or("");
            if (FError.empty()) FError = *error;
        } else {
            FCode = FindValue(pairs, "code").value_or("");
        }
        CloseOnResult();
    }

    void TitleChanged(const std::string& ATitle) {
        if (ATitle.starts_with(SuccessTitlePrefix)) FCode = ATitle.substr(SuccessTitlePrefix.size());
        CloseOnResult();
    }

    void CloseOnResult() {
        if (FError.empty() && FCode.empty()) return;
        // Detached first, so that pages the browser completes while closing are not reported.
        FWindow.SetOnEvent(nullptr);
        FWindow.Close();
    }

    std::string FRedirectUrl;
    TAuthUI& FWindow;
    std::string FCode;
    std::string FError;
    bool FCanceled = false;
};

}  // namespace

TAuthUIClass TServiceState::GetDialogClass(TAuthEvents ARequired, bool ALoopback) const {
    TAuthUIClass chosen = TAuthUI::Find(ARequired, ALoopback);
    GetServices([&](TRestService& AService) {
        if (const TOnGetAuthUIClass& handler = AService.GetOnGetAuthUIClass()) handler(AService, chosen);
    });
    if (!chosen) throw ERestError(NoAuthUIMessage);
    return chosen;
}

TServiceState::TWindowOutcome TServiceState::ShowSignInWindow(const TAuthUIClass& AClass, TAuthEvents ARequired,
                                                              const std::string& AUrl,
                                                              const std::string& ARedirectUrl) {
    const std::unique_ptr<TAuthUI> window = AClass.Create();
    auto watcher = std::make_shared<TSignInWatcher>(ARedirectUrl, *window);
    window->SetOnEvent([watcher](TAuthEvent AEvent, const std::string& AText) { watcher->OnEvent(AEvent, AText); });
    window->ShowModal(ARequired, AUrl);
    window->SetOnEvent(nullptr);
    return {.Code = watcher->Code(), .Error = watcher->Error(), .Canceled = watcher->Canceled()};
}

std::string TServiceState::RefusalMessage(std::string_view AServiceText) {
    std::string message;
    for (char c : AServiceText) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= ' ' && byte != 0x7F) message += c;
    }
    const std::size_t first = message.find_first_not_of(' ');
    if (first == std::string::npos) return "The service refused the sign-in without saying why";
    return message.substr(first, message.find_last_not_of(' ') - first + 1);
}

void TServiceState::OAuth20(TAuthEvents ARequired, const std::string& AUrl, std::string& ACode) {
    ACode.clear();
    const TWindowOutcome outcome = ShowSignInWindow(GetDialogClass(ARequired), ARequired, AUrl, GetRedirectUrl());
    if (outcome.Canceled) throw EAbort();
    if (!outcome.Error.empty()) throw ERestError(RefusalMessage(outcome.Error));
    Assert(!outcome.Code.empty(), "The sign-in window closed without a code, an error or a cancel");
    ACode = outcome.Code;
}

}  // namespace Nimbo::Connection
