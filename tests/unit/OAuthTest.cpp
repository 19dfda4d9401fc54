#include <gtest/gtest.h>

#include <optional>

#include "AuthUITestSupport.h"
#include "RestServiceTestSupport.h"

using namespace Nimbo::Connection;
using namespace Nimbo::Connection::Testing;

namespace {

const std::string Redirect = TTestState::DefaultRedirect;
const TAuthEvents AllEvents{aeNavigateComplete, aeTitleChanged, aeCanceled};
const char* const NoAuthUI =
    "No registered Auth-UI found. Please include Nimbo.Connection.VclAuth or Nimbo.Connection.FmxAuth unit into "
    "your project";

// What a sign-in ended with.
struct TOutcome {
    enum TKind { okCode, okError, okAbort, okAssertion } Kind;
    std::string Text;  // the code or the error message

    bool operator==(const TOutcome&) const = default;
};

void PrintTo(const TOutcome& A, std::ostream* AOut) {
    static const char* const kinds[] = {"code", "error", "abort", "assertion"};
    *AOut << kinds[A.Kind] << " '" << A.Text << "'";
}

TOutcome Code(const std::string& AText) { return {TOutcome::okCode, AText}; }
TOutcome Error(const std::string& AText) { return {TOutcome::okError, AText}; }
TOutcome Abort() { return {TOutcome::okAbort, ""}; }

TOutcome RunSignIn(TServiceState& AState, TAuthEvents ARequired = AllEvents,
                   const std::string& AUrl = "https://auth.example/") {
    std::string code = "stale";
    try {
        AState.OAuth20(ARequired, AUrl, code);
        return Code(code);
    } catch (const EAbort&) {
        EXPECT_EQ(code, "");
        return Abort();
    } catch (const ERestError& error) {
        EXPECT_EQ(code, "");
        return Error(error.Message());
    } catch (const EAssertionFailed&) {
        return {TOutcome::okAssertion, ""};
    }
}

class OAuth : public ::testing::Test {
protected:
    TAuthUIRegistryIsolation Isolation;
    TTestService Service;

    void SetUp() override {
        TFullWindow::Script() = {};
        TOtherFullWindow::Script() = {};
        TAuthUI::Register(TAuthUIClass::Of<TFullWindow>());
    }
    void TearDown() override {
        EXPECT_EQ(TFullWindow::Script().Created, TFullWindow::Script().Destroyed) << "every window is destroyed";
        EXPECT_EQ(TOtherFullWindow::Script().Created, TOtherFullWindow::Script().Destroyed);
    }
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// The watcher

struct TWatcherCase {
    const char* Name;
    std::vector<std::pair<TAuthEvent, std::string>> Events;
    TOutcome Expected;
};

void PrintTo(const TWatcherCase& ACase, std::ostream* AOut) { *AOut << ACase.Name; }

class OAuthWatcher : public OAuth, public ::testing::WithParamInterface<TWatcherCase> {};

TEST_P(OAuthWatcher, CapturesTheCodeOrTheError) {
    TFullWindow::Script().Events = GetParam().Events;
    EXPECT_EQ(RunSignIn(Service.State()), GetParam().Expected);
    if (TFullWindow::Script().Closed > 0) {
        EXPECT_TRUE(TFullWindow::Script().DetachedBeforeClose);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, OAuthWatcher,
    ::testing::Values(
        TWatcherCase{"CodeKeptAsWritten", {{aeNavigateComplete, Redirect + "?code=4%2Fab&state=x"}}, Code("4%2Fab")},
        TWatcherCase{"DescriptionPreferred",
                     {{aeNavigateComplete, Redirect + "?error=access_denied&error_description=User+denied"}},
                     Error("User+denied")},
        TWatcherCase{"ErrorWithoutDescription",
                     {{aeNavigateComplete, Redirect + "?error=access_denied"}},
                     Error("access_denied")},
        TWatcherCase{"ErrorWithEmptyDescription",
                     {{aeNavigateComplete, Redirect + "?error_description=&error=access_denied"}},
                     Error("access_denied")},
        TWatcherCase{"ControlCharactersLeaveTheMessage",
                     {{aeNavigateComplete, Redirect + "?\"error=\x01no\x7F access\""}},
                     Error("no access")},
        TWatcherCase{"AnErrorOfControlCharactersStillSaysSomething",
                     {{aeNavigateComplete, Redirect + "?\"error=\x01\x02\""}},
                     Error("The service refused the sign-in without saying why")},
        TWatcherCase{"ErrorWinsOverCode", {{aeNavigateComplete, Redirect + "?code=c&error=e"}}, Error("e")},
        TWatcherCase{"RedirectAnywhereInTheUrl",
                     {{aeNavigateComplete, "https://login.example/done?from=" + Redirect + "&code=zz"}},
                     Code("zz")},
        TWatcherCase{"NamesIgnoreCaseFirstPairCounts",
                     {{aeNavigateComplete, Redirect + "?CODE=first&code=second"}},
                     Code("first")},
        TWatcherCase{"BlankEndsAPair", {{aeNavigateComplete, Redirect + "?code=ab cd"}}, Code("ab")},
        TWatcherCase{
            "QuotedPairRunsToItsQuote", {{aeNavigateComplete, Redirect + "?\"code=a&b\"&state=1"}}, Code("a&b")},
        TWatcherCase{"NoQuestionMarkLeavesTheWindowOpen",
                     {{aeNavigateComplete, Redirect}, {aeNavigateComplete, Redirect + "?code=later"}},
                     Code("later")},
        TWatcherCase{"OtherHostLeavesTheWindowOpen",
                     {{aeNavigateComplete, "https://other.example/cb?code=wrong"},
                      {aeNavigateComplete, Redirect + "?code=right"}},
                     Code("right")},
        TWatcherCase{"RedirectUrlComparedWithCase",
                     {{aeNavigateComplete, "https://APP.example/redirect?code=wrong"},
                      {aeNavigateComplete, Redirect + "?code=right"}},
                     Code("right")},
        TWatcherCase{"NeitherCodeNorErrorLeavesTheWindowOpen", {{aeNavigateComplete, Redirect + "?state=x"}}, Abort()},
        TWatcherCase{"SuccessTitle", {{aeTitleChanged, "Success code=xyz"}}, Code("xyz")},
        TWatcherCase{"SuccessTitleIsCaseSensitive", {{aeTitleChanged, "success code=xyz"}}, Abort()},
        TWatcherCase{"EmptySuccessTitleIsNoResult",
                     {{aeTitleChanged, "Success code="}, {aeTitleChanged, "Success code=2"}},
                     Code("2")},
        TWatcherCase{
            "OtherTitlesAreIgnored", {{aeTitleChanged, "Sign in"}, {aeTitleChanged, "Success code=q"}}, Code("q")},
        TWatcherCase{"EventsAfterTheResultAreNotSeen",
                     {{aeNavigateComplete, Redirect + "?code=one"}, {aeNavigateComplete, Redirect + "?code=two"}},
                     Code("one")},
        TWatcherCase{"UserClosingTheWindowAborts", {}, Abort()}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

TEST_F(OAuth, WindowIsShownWithTheUrlAndTheRequiredEvents) {
    TFullWindow::Script().Events = {{aeTitleChanged, "Success code=1"}};
    RunSignIn(Service.State(), {aeTitleChanged}, "https://auth.example/authorize?client_id=x");
    EXPECT_EQ(TFullWindow::Script().Url, "https://auth.example/authorize?client_id=x");
    EXPECT_EQ(TFullWindow::Script().Required, TAuthEvents{aeTitleChanged});
    EXPECT_EQ(TFullWindow::Script().Created, 1);
}

TEST_F(OAuth, EmptyRedirectUrlIgnoresEveryNavigation) {
    Service.SetRedirectUrl("");
    TFullWindow::Script().Events = {{aeNavigateComplete, "https://any.example/?code=nav"},
                                    {aeTitleChanged, "Success code=title"}};
    EXPECT_EQ(RunSignIn(Service.State()), Code("title"));
}

TEST_F(OAuth, CancelEndsSilentlyAndKeepsTheTokens) {
    Service.State().SetToken("token", "refresh", 9.5);
    TFullWindow::Script().Events = {{aeNavigateComplete, "https://auth.example/login"}};
    EXPECT_EQ(RunSignIn(Service.State()), Abort());
    EXPECT_EQ(Service.GetToken(), "token");
    EXPECT_EQ(Service.GetRefresh(), "refresh");
    EXPECT_EQ(Service.GetExpires(), 9.5);
}

TEST_F(OAuth, WindowEndingWithoutAnyResultIsAnInternalError) {
    TFullWindow::Script().UserClosesAtEnd = false;
    EXPECT_EQ(RunSignIn(Service.State()).Kind, TOutcome::okAssertion);
}

TEST_F(OAuth, WindowIsDestroyedWhenShowingItFails) {
    TFullWindow::Script().FailInShowModal = true;
    std::string code;
    EXPECT_THROW(Service.State().OAuth20(AllEvents, "https://auth.example/", code), std::runtime_error);
    EXPECT_EQ(TFullWindow::Script().Created, 1);
}

// ---------------------------------------------------------------------------------------------
// Choosing the window class

TEST_F(OAuth, NoWindowClassSupportingTheEvents) {
    TAuthUI::Unregister(TAuthUIClass::Of<TFullWindow>());
    TAuthUI::Register(TAuthUIClass::Of<TNavigateOnlyWindow>());
    EXPECT_EQ(RunSignIn(Service.State(), {aeTitleChanged}), Error(NoAuthUI));
    EXPECT_EQ(TNavigateOnlyWindow::Script().Created, TNavigateOnlyWindow::Script().Destroyed);
}

TEST_F(OAuth, HandlerCanReplaceTheWindowClass) {
    TOtherFullWindow::Script().Events = {{aeTitleChanged, "Success code=other"}};
    Service.SetOnGetAuthUIClass(
        [](TRestService&, TAuthUIClass& AClass) { AClass = TAuthUIClass::Of<TOtherFullWindow>(); });
    EXPECT_EQ(RunSignIn(Service.State()), Code("other"));
    EXPECT_EQ(TFullWindow::Script().Created, 0);
}

TEST_F(OAuth, HandlerClearingTheClassFailsEvenWithARegisteredClass) {
    Service.SetOnGetAuthUIClass([](TRestService&, TAuthUIClass& AClass) { AClass = {}; });
    EXPECT_EQ(RunSignIn(Service.State()), Error(NoAuthUI));
    EXPECT_EQ(TFullWindow::Script().Created, 0);
}

TEST_F(OAuth, HandlerCanSupplyAClassWhenNoneIsRegistered) {
    TAuthUI::Unregister(TAuthUIClass::Of<TFullWindow>());
    TFullWindow::Script().Events = {{aeTitleChanged, "Success code=supplied"}};
    Service.SetOnGetAuthUIClass([](TRestService&, TAuthUIClass& AClass) {
        if (!AClass) AClass = TAuthUIClass::Of<TFullWindow>();
    });
    EXPECT_EQ(RunSignIn(Service.State()), Code("supplied"));
}

TEST_F(OAuth, HandlersOfEveryServiceOfTheGroupAreChainedInRegistryOrder) {
    TTestService partner, outsider;
    Service.SetGroup(40);
    partner.SetGroup(40);
    std::vector<std::string> calls;
    Service.SetOnGetAuthUIClass([&](TRestService& ASender, TAuthUIClass& AClass) {
        EXPECT_EQ(&ASender, &Service);
        EXPECT_TRUE(AClass == TAuthUIClass::Of<TFullWindow>());
        calls.push_back("first");
        AClass = TAuthUIClass::Of<TOtherFullWindow>();
    });
    partner.SetOnGetAuthUIClass([&](TRestService& ASender, TAuthUIClass& AClass) {
        EXPECT_EQ(&ASender, &partner);
        EXPECT_TRUE(AClass == TAuthUIClass::Of<TOtherFullWindow>()) << "sees the earlier handler's choice";
        calls.push_back("second");
    });
    outsider.SetOnGetAuthUIClass([&](TRestService&, TAuthUIClass&) { calls.push_back("outsider"); });

    EXPECT_TRUE(partner.State().GetDialogClass(AllEvents) == TAuthUIClass::Of<TOtherFullWindow>());
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "second"}));
}

TEST_F(OAuth, HandlerOfTheOtherServiceOfTheGroupIsConsulted) {
    TTestService partner;
    Service.SetGroup(41);
    partner.SetGroup(41);
    partner.SetOnGetAuthUIClass([](TRestService&, TAuthUIClass& AClass) { AClass = {}; });
    EXPECT_EQ(RunSignIn(Service.State()), Error(NoAuthUI));
}
