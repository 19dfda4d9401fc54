#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "AuthUITestSupport.h"
#include "LoopbackTestSupport.h"
#include "Nimbo/Connection/Http.h"
#include "Nimbo/Connection/LoopbackListener.h"
#include "Nimbo/Connection/LoopbackSignIn.h"
#include "Nimbo/Connection/RestService.h"
#include "Nimbo/Connection/SystemBrowserAuth.h"

using namespace Nimbo::Connection;
using namespace Nimbo::Connection::Testing;
using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;
using TStatus = TLoopbackListener::TStatus;

namespace {

// A browser command for the system-browser window: "follows" the authorization address to its
// redirect with the sign-in's state, as a service would after the user's consent.
std::vector<std::string> BrowserReturning(const std::string& AQuery) {
    return {"bash", "-c",
            "u=\"$1\"; q=\"${u#*\\?}\"; for kv in ${q//&/ }; do case $kv in redirect_uri=*) r=${kv#*=};; "
            "state=*) s=${kv#*=};; esac; done; r=$(printf '%b' \"${r//%/\\\\x}\"); "
            "curl -s -o /dev/null \"$r?" +
                AQuery + "\"",
            "browser"};
}

class LoopbackSignIn : public ::testing::Test {
protected:
    TAuthUIRegistryIsolation Isolation;
    TServiceState State;

    void SetUp() override {
        Navigation() = {};
        TLoopbackSignIn::SetTimeout(5min);
    }
    void TearDown() override {
        TLoopbackSignIn::SetTimeout(5min);
        TNimboSystemBrowserAuth::SetCommand({"xdg-open"});
    }

    std::string AuthorizationUrl(const TLoopbackSignIn& ASignIn) const {
        return "https://auth.example/authorize?redirect_uri=" + THttpClient::UrlEncode(ASignIn.RedirectUrl()) +
               "&state=" + THttpClient::UrlEncode(ASignIn.State());
    }
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// PKCE and addresses

TEST(Pkce, ChallengeOfTheWorkedExampleOfRfc7636) {
    EXPECT_EQ(Pkce::ChallengeS256("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
              "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
}

TEST(Pkce, VerifiersAreFreshAndWithinTheAllowedLengthAndCharacters) {
    const std::string first = Pkce::NewVerifier();
    EXPECT_GE(first.size(), 43u);
    EXPECT_LE(first.size(), 128u);
    EXPECT_THAT(first, ::testing::MatchesRegex("[A-Za-z0-9._~-]+"));
    EXPECT_NE(Pkce::NewVerifier(), first);
}

TEST(LoopbackRedirect, TellsLoopbackAddressesFromOthers) {
    const std::pair<const char*, bool> cases[] = {{"http://127.0.0.1/", true},
                                                  {"http://127.0.0.1:8080/cb", true},
                                                  {"http://[::1]/", true},
                                                  {"HTTP://LOCALHOST/", true},
                                                  {"http://localhost", true},
                                                  {"https://127.0.0.1/", false},
                                                  {"http://127.0.0.10/", false},
                                                  {"http://localhost.evil.example/", false},
                                                  {"urn:ietf:wg:oauth:2.0:oob", false},
                                                  {"https://app.box.com/nimbo-blank", false}};
    for (const auto& [url, loopback] : cases) EXPECT_EQ(IsLoopbackRedirect(url), loopback) << url;
}

// ---------------------------------------------------------------------------------------------
// The listener

TEST(LoopbackListener, TakesTheOneAnswerOnItsPathAndAnswersEverythingElseWith404) {
    TLoopbackListener listener("http://127.0.0.1/callback", "s1", 1min);
    const std::string origin = "http://127.0.0.1:" + std::to_string(listener.Port());
    EXPECT_EQ(listener.RedirectUrl(), origin + "/callback");

    EXPECT_EQ(Get(origin + "/favicon.ico").Status, 404);
    EXPECT_EQ(Get(origin + "/callback").Status, 404) << "no answer in it";
    EXPECT_EQ(Get(origin + "/other?code=c&state=s1").Status, 404);
    EXPECT_EQ(listener.Outcome().Status, TStatus::Waiting);

    const TAnswer answer = Get(origin + "/callback?code=the%20code&state=s1");
    EXPECT_EQ(answer.Status, 200);
    EXPECT_THAT(answer.Body, HasSubstr("You may close this window"));
    EXPECT_EQ(listener.Outcome().Status, TStatus::Answered);
    EXPECT_EQ(listener.Outcome().Code, "the code");

    // A second answer, even a well-formed one, is refused and changes nothing.
    EXPECT_EQ(Get(origin + "/callback?code=other&state=s1").Status, 404);
    EXPECT_EQ(listener.Outcome().Code, "the code");
}

TEST(LoopbackListener, RefusesAnAnswerWithAnotherState) {
    TLoopbackListener listener("http://127.0.0.1/", "expected", 1min);
    const TAnswer answer = Get(listener.RedirectUrl() + "?code=stolen&state=forged");
    EXPECT_EQ(answer.Status, 400);
    EXPECT_THAT(answer.Body, HasSubstr("does not belong"));
    EXPECT_EQ(listener.Outcome().Status, TStatus::Mismatch);
    EXPECT_EQ(listener.Outcome().Code, "");
}

TEST(LoopbackListener, TellsTheBrowserAboutADenialWithoutEscapingIntoThePage) {
    TLoopbackListener listener("http://127.0.0.1/", "s", 1min);
    const TAnswer answer =
        Get(listener.RedirectUrl() + "?error=access_denied&error_description=%3Cb%3Eno%3C%2Fb%3E&state=s");
    EXPECT_THAT(answer.Body, HasSubstr("&lt;b&gt;no&lt;/b&gt;"));
    EXPECT_EQ(listener.Outcome().Status, TStatus::Denied);
    EXPECT_EQ(listener.Outcome().Error, "<b>no</b>");
}

TEST(LoopbackListener, LeavesNothingListeningWhenStoppedOrTimedOut) {
    int port = 0;
    {
        TLoopbackListener listener("http://127.0.0.1/", "s", 1min);
        port = listener.Port();
        EXPECT_TRUE(Listening(port));
    }
    EXPECT_FALSE(Listening(port));

    TLoopbackListener listener("http://127.0.0.1/", "s", 200ms);
    EXPECT_EQ(listener.WaitFor(5s).Status, TStatus::TimedOut);
    for (int wait = 0; wait < 100 && !listener.Closed(); ++wait) std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(Listening(listener.Port()));
}

TEST(LoopbackListener, KeepsAPortGivenInTheAddress) {
    int port = 0;
    {
        TLoopbackListener probe("http://127.0.0.1/", "s", 1min);
        port = probe.Port();
    }
    TLoopbackListener listener("http://localhost:" + std::to_string(port) + "/cb", "s", 1min);
    EXPECT_EQ(listener.RedirectUrl(), "http://localhost:" + std::to_string(port) + "/cb");
    EXPECT_THAT([&] { TLoopbackListener("http://127.0.0.1:" + std::to_string(port) + "/", "s", 1min); },
                ThrowsMessage<ERestError>(HasSubstr("Cannot listen")));
}

TEST(LoopbackListener, ListensOnTheIpv6LoopbackWhenTheAddressSaysSo) {
    std::unique_ptr<TLoopbackListener> listener;
    try {
        listener = std::make_unique<TLoopbackListener>("http://[::1]/cb", "s", 1min);
    } catch (const ERestError& error) {
        GTEST_SKIP() << "no IPv6 loopback here: " << error.what();
    }
    EXPECT_EQ(listener->RedirectUrl(), "http://[::1]:" + std::to_string(listener->Port()) + "/cb");
    EXPECT_EQ(Get(listener->RedirectUrl() + "?code=c6&state=s").Status, 200);
    EXPECT_EQ(listener->Outcome().Code, "c6");
}

// ---------------------------------------------------------------------------------------------
// The sign-in with a window that navigates to the loopback itself

TEST_F(LoopbackSignIn, ReturnsTheCodeTheBrowserBroughtBack) {
    TAuthUI::Register(TAuthUIClass::Of<TNavigatingWindow>());
    TLoopbackSignIn signIn("http://127.0.0.1/");
    EXPECT_EQ(signIn.Run(State, AuthorizationUrl(signIn)), "the-code");
    EXPECT_EQ(Navigation().Answer.Status, 200);
}

TEST_F(LoopbackSignIn, RefusesDeniedMismatchedAndCancelledSignIns) {
    TAuthUI::Register(TAuthUIClass::Of<TNavigatingWindow>());
    {
        Navigation().Query = "code=stolen&state=forged";
        TLoopbackSignIn signIn("http://127.0.0.1/");
        EXPECT_THAT([&] { signIn.Run(State, AuthorizationUrl(signIn)); },
                    ThrowsMessage<ERestError>(HasSubstr("does not belong to this sign-in")));
    }
    {
        Navigation().Query = "error=access_denied&error_description=The+user+denied+access&state={state}";
        TLoopbackSignIn signIn("http://127.0.0.1/");
        EXPECT_THAT([&] { signIn.Run(State, AuthorizationUrl(signIn)); },
                    ThrowsMessage<ERestError>(HasSubstr("The user denied access")));
    }
    {
        Navigation().Query = "error=%00&error_description=%00%0A&state={state}";
        TLoopbackSignIn signIn("http://127.0.0.1/");
        EXPECT_THAT([&] { signIn.Run(State, AuthorizationUrl(signIn)); },
                    ThrowsMessage<ERestError>("The service refused the sign-in without saying why"));
    }
    {
        Navigation() = {};
        Navigation().Cancel = true;
        TLoopbackSignIn signIn("http://127.0.0.1/");
        const int port = std::stoi(signIn.RedirectUrl().substr(std::string("http://127.0.0.1:").size()));
        EXPECT_THROW(signIn.Run(State, AuthorizationUrl(signIn)), EAbort);
        EXPECT_TRUE(Listening(port)) << "until the sign-in object goes";
    }
}

// ---------------------------------------------------------------------------------------------
// The system browser

TEST_F(LoopbackSignIn, SystemBrowserReportsTheLoopbackRequestAsTheRedirect) {
    TAuthUI::Register(TAuthUIClass::Of<TNimboSystemBrowserAuth>());
    TNimboSystemBrowserAuth::SetCommand(BrowserReturning("code=from-browser&state=$s"));
    TLoopbackSignIn signIn("http://127.0.0.1/done");
    EXPECT_EQ(signIn.Run(State, AuthorizationUrl(signIn)), "from-browser");
}

TEST_F(LoopbackSignIn, SystemBrowserServesOnlyLoopbackSignIns) {
    TAuthUI::Register(TAuthUIClass::Of<TNimboSystemBrowserAuth>());
    EXPECT_FALSE(TAuthUI::Find({aeNavigateComplete, aeCanceled}));
    EXPECT_TRUE(TAuthUI::Find({aeNavigateComplete, aeCanceled}, true));

    // Chosen all the same by a handler, it refuses a redirect it cannot see, without opening anything.
    TNimboSystemBrowserAuth::SetCommand({"/nonexistent/browser"});
    const auto window = TAuthUIClass::Of<TNimboSystemBrowserAuth>().Create();
    EXPECT_THAT([&] { window->ShowModal({}, "https://auth.example/?redirect_uri=https%3A%2F%2Fapp.example%2Fcb"); },
                ThrowsMessage<ERestError>(HasSubstr("only through a loopback address")));
}

TEST_F(LoopbackSignIn, AUserWhoNeverComesBackTimesOutAndFreesThePort) {
    TAuthUI::Register(TAuthUIClass::Of<TNimboSystemBrowserAuth>());
    TNimboSystemBrowserAuth::SetCommand({"true"});
    TLoopbackSignIn::SetTimeout(300ms);
    int port = 0;
    {
        TLoopbackSignIn signIn("http://127.0.0.1/");
        port = std::stoi(signIn.RedirectUrl().substr(std::string("http://127.0.0.1:").size()));
        EXPECT_THAT([&] { signIn.Run(State, AuthorizationUrl(signIn)); },
                    ThrowsMessage<ERestError>(HasSubstr("timed out")));
    }
    EXPECT_FALSE(Listening(port));
}

TEST_F(LoopbackSignIn, ABrowserCommandThatFailsIsReported) {
    TAuthUI::Register(TAuthUIClass::Of<TNimboSystemBrowserAuth>());
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"false"}, "exited with status 1"}, {{"/nonexistent/browser"}, "could not be opened"}};
    for (const auto& [command, message] : cases) {
        TNimboSystemBrowserAuth::SetCommand(command);
        TLoopbackSignIn signIn("http://127.0.0.1/");
        EXPECT_THAT([&] { signIn.Run(State, AuthorizationUrl(signIn)); },
                    ThrowsMessage<ERestError>(HasSubstr(message)));
    }
}
