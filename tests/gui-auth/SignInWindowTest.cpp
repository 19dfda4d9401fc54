#include <gmock/gmock.h>

#include <unistd.h>
#include <QApplication>
#include <QMetaObject>
#include <QTest>
#include <QTimer>
#include <QWebEngineView>

#include <algorithm>
#include <functional>
#include <utility>
#include <vector>

#include "GuiAuthTestSupport.h"
#include "Nimbo/Connection/FmxAuth.h"
#include "Nimbo/Connection/Http.h"
#include "support/RawHttpsServer.h"

using namespace Nimbo::Connection;
using namespace GuiAuthTest;
using Nimbo::Emulator::Cloud;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::Pair;
using testing::StartsWith;
using testing::ThrowsMessage;
using TAnswer = TSignInUser::TAnswer;

namespace {

const std::string ClientId = "desktop-client";
const std::string Secret = "desktop-secret";

using TEvents = std::vector<std::pair<TAuthEvent, std::string>>;

std::string AuthorizeUrl(const std::string& AEndpoint, const std::string& ARedirect, const std::string& AScope = {}) {
    std::string url = AEndpoint + "?client_id=" + THttpClient::UrlEncode(ClientId) +
                      "&redirect_uri=" + THttpClient::UrlEncode(ARedirect) + "&response_type=code";
    if (!AScope.empty()) url += "&scope=" + THttpClient::UrlEncode(AScope);
    return url;
}

// One provider's sign-in: where it starts, where it ends and where its codes are redeemed.
struct TProvider {
    const char* Name;
    Cloud Service;
    std::string AuthorizeEndpoint;
    std::string Scope;
    std::string Redirect;
    TAuthEvents Required;  // what the provider's adapter asks the window for
    std::string TokenUrl;
};

TProvider Google() {
    return {"Google Drive, code in the page title",
            Cloud::GoogleDrive,
            "https://accounts.google.com/o/oauth2/auth",
            "https://www.googleapis.com/auth/drive",
            "urn:ietf:wg:oauth:2.0:oob",
            {aeTitleChanged, aeCanceled},
            "https://accounts.google.com/o/oauth2/token"};
}

TProvider Dropbox() {
    return {"Dropbox, redirect to a page that loads",
            Cloud::Dropbox,
            "https://www.dropbox.com/1/oauth2/authorize",
            "",
            "https://www.dropbox.com/1/oauth2/redirect_receiver",
            {aeCanceled},
            "https://api.dropbox.com/1/oauth2/token"};
}

TProvider Live() {
    return {"OneDrive, redirect to the desktop page",       Cloud::LiveConnect,
            "https://login.live.com/oauth20_authorize.srf", "wl.signin wl.skydrive",
            "https://login.live.com/oauth20_desktop.srf",   {aeNavigateComplete, aeCanceled},
            "https://login.live.com/oauth20_token.srf"};
}

TProvider BoxToUnreachablePage() {
    return {"Box, redirect to a page that cannot load",
            Cloud::Box,
            "https://app.box.com/api/oauth2/authorize",
            "",
            "http://127.0.0.1:" + std::to_string(UnusedLoopbackPort()) + "/callback",
            {aeCanceled},
            "https://app.box.com/api/oauth2/token"};
}

class SignInWindow : public testing::Test {
protected:
    void SetUp() override {
        Emulator().ResetAll();
        // A window that never gets its answer fails the test instead of hanging it.
        Watchdog.setSingleShot(true);
        QObject::connect(&Watchdog, &QTimer::timeout, [] {
            for (QWidget* window : QApplication::topLevelWidgets())
                if (auto* form = qobject_cast<TNimboAuthDialogFMX*>(window); form && form->isVisible()) {
                    ADD_FAILURE() << "the sign-in window was still open after " << WatchdogSeconds << " seconds";
                    form->close();
                }
        });
        Watchdog.start(WatchdogSeconds * 1000);
    }

    // Signs in as an adapter does: OAuth20 on the service's state, through the registered window.
    std::string SignIn(const TProvider& AProvider) {
        Emulator().RegisterClient(AProvider.Service, ClientId, Secret);
        Service.SetClientId(ClientId);
        Service.SetSecret(Secret);
        Service.SetRedirectUrl(AProvider.Redirect);
        std::string code;
        Service.State().OAuth20(AProvider.Required,
                                AuthorizeUrl(AProvider.AuthorizeEndpoint, AProvider.Redirect, AProvider.Scope), code);
        return code;
    }

    // The token endpoint's answer to the code; a code captured wrongly (cut, decoded) is refused there.
    static std::string Redeem(const TProvider& AProvider, const std::string& ACode) {
        THttpClient http("unused.example.test");
        std::string answer;
        http.Post(AProvider.TokenUrl)
            .BeginForm(true)
            .Prop("code", ACode)
            .Prop("client_id", ClientId)
            .Prop("client_secret", Secret)
            .Prop("grant_type", "authorization_code")
            .Prop("redirect_uri", AProvider.Redirect)
            .EndForm()
            .ValidResponse(200)
            .Execute(answer);
        return answer;
    }

    static constexpr int WatchdogSeconds = 30;
    QTimer Watchdog;
    TSignInService Service;
};

// Records what a window reports; runs AOnEvent (if given) after recording.
TAuthProc Recorder(TEvents& AEvents, std::function<void(TAuthEvent, const std::string&)> AOnEvent = {}) {
    return [&AEvents, AOnEvent](TAuthEvent AEvent, const std::string& AText) {
        AEvents.emplace_back(AEvent, AText);
        if (AOnEvent) AOnEvent(AEvent, AText);
    };
}

long Cancels(const TEvents& AEvents) {
    return std::count_if(AEvents.begin(), AEvents.end(), [](const auto& e) { return e.first == aeCanceled; });
}

}  // namespace

TEST(SignInWindowClass, IsRegisteredAtProgramStartForAllThreeEvents) {
    EXPECT_TRUE(TAuthUI::Find({aeNavigateComplete, aeTitleChanged, aeCanceled}) == TAuthUIClass::Of<TNimboAuthFMX>());
}

TEST(SignInBrowserRouting, MapsTheServiceHostsButLeavesLoopbackAlone) {
    EXPECT_THAT(
        TNimboAuthBrowser::HostMappingArguments({"a.example", "localhost", "127.0.0.1", "::1", "b.example"}, 4433),
        ElementsAre("--host-resolver-rules=MAP a.example 127.0.0.1:4433,MAP b.example 127.0.0.1:4433"));
    EXPECT_THAT(TNimboAuthBrowser::HostMappingArguments({"localhost"}, 4433), IsEmpty());
}

TEST(SignInBrowserRouting, ChromiumArgumentsFollowTheWebEngineMarker) {
    struct Case {
        const char* Name;
        std::vector<std::string> Given, Chromium, Expected;
    };
    const Case cases[] = {
        {"marker added", {"prog", "--sandbox"}, {"--x=1"}, {"prog", "--sandbox", "--webEngineArgs", "--x=1"}},
        {"marker present", {"prog", "--webEngineArgs", "--y"}, {"--x=1"}, {"prog", "--webEngineArgs", "--y", "--x=1"}},
        {"nothing to add", {"prog", "--sandbox"}, {}, {"prog", "--sandbox"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> given = c.Given;
        std::vector<char*> argv;
        for (std::string& argument : given) argv.push_back(argument.data());
        TNimboApplicationArguments arguments(static_cast<int>(argv.size()), argv.data(), c.Chromium);
        EXPECT_EQ(std::vector<std::string>(arguments.Argv(), arguments.Argv() + arguments.Argc()), c.Expected)
            << c.Name;
        EXPECT_EQ(arguments.Argv()[arguments.Argc()], nullptr) << c.Name;
    }
}

TEST_F(SignInWindow, BrowserCoversTheWholeFormAndFollowsItsSize) {
    TNimboAuthFMX window;
    TNimboAuthDialogFMX& form = window.Form();
    EXPECT_EQ(form.windowTitle(), "Authentication");
    EXPECT_EQ(form.size(), QSize(640, 480));

    form.SetUrl("about:blank");
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_EQ(form.BrowserPanel->geometry(), form.rect());
    EXPECT_EQ(form.Browser()->parentWidget(), &form);
    EXPECT_EQ(form.Browser()->geometry(), form.BrowserPanel->geometry());

    form.resize(800, 300);
    EXPECT_TRUE(QTest::qWaitFor([&] { return form.Browser()->geometry() == QRect(0, 0, 800, 300); }))
        << "browser at " << form.Browser()->geometry().width() << "x" << form.Browser()->geometry().height();
    EXPECT_EQ(form.BrowserPanel->geometry(), form.Browser()->geometry());
}

TEST_F(SignInWindow, SignsInThroughTheProvidersPages) {
    TSignInUser user(TAnswer::Allow);
    for (const TProvider& provider : {Google(), Dropbox(), Live(), BoxToUnreachablePage()}) {
        const std::string code = SignIn(provider);
        EXPECT_FALSE(code.empty()) << provider.Name;
        EXPECT_THAT(Redeem(provider, code), HasSubstr("access_token")) << provider.Name;
    }
}

TEST_F(SignInWindow, GoogleCodeComesFromThePageTitle) {
    TSignInUser user(TAnswer::Allow);
    // The title shows the code as the user would copy it; the page's address has it percent-encoded.
    EXPECT_THAT(SignIn(Google()), StartsWith("4/"));
}

TEST_F(SignInWindow, RefusedSignInFailsWithTheProvidersDescription) {
    TSignInUser user(TAnswer::Deny);
    // The provider's description, as the redirect carries it.
    EXPECT_THAT([&] { SignIn(Dropbox()); },
                ThrowsMessage<ERestError>(HasSubstr("chose%20not%20to%20give%20your%20app%20access")));
}

TEST_F(SignInWindow, WindowClosedByHandEndsTheSignInSilently) {
    TSignInUser user(TAnswer::CloseWindow);
    EXPECT_THROW(SignIn(Live()), EAbort);
}

TEST_F(SignInWindow, ClosingByHandReportsExactlyOneCancel) {
    Emulator().RegisterClient(Cloud::Dropbox, ClientId, Secret);
    const std::string url = AuthorizeUrl(Dropbox().AuthorizeEndpoint, Dropbox().Redirect);
    const std::pair<const char*, std::function<void(QDialog&)>> ways[] = {
        {"window closed", [](QDialog& AForm) { AForm.close(); }},
        {"Escape pressed", [](QDialog& AForm) { QTest::keyClick(&AForm, Qt::Key_Escape); }},
    };
    for (const auto& [name, closeByHand] : ways) {
        TNimboAuthFMX window;
        TEvents events;
        bool closing = false;
        window.SetOnEvent(Recorder(events, [&](TAuthEvent AEvent, const std::string&) {
            if (AEvent != aeNavigateComplete || std::exchange(closing, true)) return;
            QMetaObject::invokeMethod(
                &window.Form(), [&, closeByHand = closeByHand] { closeByHand(window.Form()); }, Qt::QueuedConnection);
        }));
        window.ShowModal({aeCanceled}, url);

        EXPECT_EQ(Cancels(events), 1) << name;
        ASSERT_FALSE(events.empty()) << name;
        EXPECT_THAT(events.back(), Pair(aeCanceled, "")) << name;
        const std::size_t reported = events.size();
        QTest::qWait(300);
        EXPECT_EQ(events.size(), reported) << name << ": the closed window went on reporting";
    }
}

TEST_F(SignInWindow, PageThatCannotLoadStillReportsItsAddress) {
    const std::string url =
        "http://127.0.0.1:" + std::to_string(UnusedLoopbackPort()) + "/callback?code=4%2Fab&state=x";
    TNimboAuthFMX window;
    TEvents events;
    window.SetOnEvent(Recorder(events, [&](TAuthEvent AEvent, const std::string&) {
        if (AEvent == aeNavigateComplete) window.Close();
    }));
    window.ShowModal({aeNavigateComplete}, url);
    std::vector<std::string> navigations;
    for (const auto& [event, text] : events)
        if (event == aeNavigateComplete) navigations.push_back(text);
    EXPECT_THAT(navigations, ElementsAre(url));
    EXPECT_EQ(Cancels(events), 0) << "a window closed through Close reports no cancel";
}

TEST_F(SignInWindow, OnlyCertificatesOfTheTrustedAuthorityForTheVisitedHostAreAccepted) {
    Nimbo::Testing::RawHttpsServer stranger([](const Nimbo::Testing::RawRequest&) {
        return Nimbo::Testing::MakeResponse(200, "<html><head><title>Stranger</title></head></html>",
                                            {"Content-Type: text/html"});
    });
    const std::pair<const char*, std::string> pages[] = {
        {"another authority", "https://localhost:" + std::to_string(stranger.Port()) + "/page"},
        {"a host the certificate does not name", "https://" + UncoveredHost + "/page"},
    };
    for (const auto& [name, url] : pages) {
        TNimboAuthFMX window;
        TEvents events;
        window.SetOnEvent(Recorder(events, [&](TAuthEvent AEvent, const std::string&) {
            if (AEvent == aeNavigateComplete) window.Close();
        }));
        window.ShowModal({aeNavigateComplete}, url);
        EXPECT_THAT(events, testing::Contains(Pair(aeNavigateComplete, url))) << name;
        EXPECT_THAT(events, testing::Not(testing::Contains(Pair(aeTitleChanged, "Stranger")))) << name;
    }
    EXPECT_THAT(stranger.Requests(), IsEmpty());
    for (const auto& request : Emulator().Requests()) EXPECT_NE(request.host, UncoveredHost);
}

TEST(SignInWindowAsRoot, WithoutTheSandboxSwitchIsAClearErrorNotAnEndOfTheProgram) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    const QByteArray saved = qgetenv("QTWEBENGINE_DISABLE_SANDBOX");
    qunsetenv("QTWEBENGINE_DISABLE_SANDBOX");
    EXPECT_THAT([] { TNimboAuthFMX window; }, ThrowsMessage<ERestError>(HasSubstr("QTWEBENGINE_DISABLE_SANDBOX=1")));
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", saved);
}

TEST_F(SignInWindow, HandlerErrorClosesTheWindowAndComesOutOfShowModal) {
    TNimboAuthFMX window;
    TEvents events;
    window.SetOnEvent(Recorder(events, [](TAuthEvent AEvent, const std::string&) {
        if (AEvent != aeCanceled) throw EConvertError("handler failed");
    }));
    EXPECT_THAT([&] { window.ShowModal({}, "about:blank"); },
                ThrowsMessage<EConvertError>(HasSubstr("handler failed")));
    EXPECT_EQ(events.size(), 1u) << "events reached the handler after it failed, or a cancel followed";
}
