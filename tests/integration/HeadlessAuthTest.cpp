// The headless sign-in window against the emulator's real sign-in pages.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "AdapterTestSupport.h"
#include "Nimbo/Connection/HeadlessAuth.h"
#include "Nimbo/Connection/Http.h"

using namespace Nimbo::Connection;
using AdapterTest::ClientId;
using AdapterTest::Cloud;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

using TEvents = std::vector<std::pair<TAuthEvent, std::string>>;

const std::string DropboxRedirect = "https://www.dropbox.com/1/oauth2/redirect_receiver";

std::string DropboxSignInUrl(const std::string& ARedirect) {
    return "https://www.dropbox.com/1/oauth2/authorize?client_id=" + std::string(ClientId) +
           "&response_type=code&redirect_uri=" + THttpClient::UrlEncode(ARedirect);
}

class HeadlessAuth : public ::testing::Test {
protected:
    void SetUp() override {
        AdapterTest::Emulator().ResetAll();
        AdapterTest::Emulator().SetSignInDecision(Nimbo::Emulator::SignInDecision::Ask);
        TNimboHeadlessAuth::SetDecision(THeadlessDecision::Allow);
    }
    void TearDown() override { TNimboHeadlessAuth::SetDecision(THeadlessDecision::Allow); }

    // Shows a window at AUrl, recording its events; like the sign-in, it closes the window as soon
    // as an event satisfies AIsResult.
    TEvents Show(const std::string& AUrl, const std::function<bool(TAuthEvent, const std::string&)>& AIsResult) {
        TEvents events;
        TNimboHeadlessAuth window;
        window.SetOnEvent([&](TAuthEvent AEvent, const std::string& AText) {
            events.emplace_back(AEvent, AText);
            if (AIsResult(AEvent, AText)) window.Close();
        });
        window.ShowModal(TNimboHeadlessAuth::Supports(), AUrl);
        return events;
    }

    static bool AtRedirect(TAuthEvent AEvent, const std::string& AText, const std::string& ARedirect) {
        return AEvent == aeNavigateComplete && AText.starts_with(ARedirect);
    }
};

TEST_F(HeadlessAuth, AnswersTheConsentPageAndReportsTheRedirect) {
    AdapterTest::Emulator().RegisterClient(Cloud::Dropbox, ClientId, "secret", {DropboxRedirect});
    const TEvents events = Show(DropboxSignInUrl(DropboxRedirect),
                                [](TAuthEvent e, const std::string& t) { return AtRedirect(e, t, DropboxRedirect); });

    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[0].first, aeTitleChanged);
    EXPECT_THAT(events[0].second, HasSubstr("Sign in"));
    EXPECT_EQ(events[1], std::make_pair(aeNavigateComplete, DropboxSignInUrl(DropboxRedirect)));
    EXPECT_EQ(events.back().first, aeNavigateComplete);
    EXPECT_THAT(events.back().second, StartsWith(DropboxRedirect + "?code="));
    for (const auto& [event, text] : events) EXPECT_NE(event, aeCanceled);
}

TEST_F(HeadlessAuth, DenyCarriesTheReasonToTheRedirect) {
    AdapterTest::Emulator().RegisterClient(Cloud::Dropbox, ClientId, "secret", {DropboxRedirect});
    TNimboHeadlessAuth::SetDecision(THeadlessDecision::Deny, "No & never");
    const TEvents events = Show(DropboxSignInUrl(DropboxRedirect),
                                [](TAuthEvent e, const std::string& t) { return AtRedirect(e, t, DropboxRedirect); });
    ASSERT_FALSE(events.empty());
    EXPECT_THAT(events.back().second, AllOf(StartsWith(DropboxRedirect + "?"), HasSubstr("error=access_denied"),
                                            HasSubstr("No%20%26%20never")));
}

TEST_F(HeadlessAuth, CancelReportsOnlyTheCancel) {
    TNimboHeadlessAuth::SetDecision(THeadlessDecision::Cancel);
    EXPECT_THAT(Show(DropboxSignInUrl(DropboxRedirect), [](TAuthEvent, const std::string&) { return false; }),
                ElementsAre(std::make_pair(aeCanceled, std::string())));
}

TEST_F(HeadlessAuth, ARedirectToAnUnreachablePageIsStillReported) {
    const std::string unreachable = "http://127.0.0.1:1/callback";
    AdapterTest::Emulator().RegisterClient(Cloud::Dropbox, ClientId, "secret", {unreachable});
    const TEvents events = Show(DropboxSignInUrl(unreachable),
                                [&](TAuthEvent e, const std::string& t) { return AtRedirect(e, t, unreachable); });
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().first, aeNavigateComplete);
    EXPECT_THAT(events.back().second, StartsWith(unreachable + "?code="));
}

TEST_F(HeadlessAuth, APageWithoutAWayOnEndsAsACancel) {
    // An unknown client gets an error page and nothing to submit: a user would close the window.
    const TEvents events =
        Show(DropboxSignInUrl(DropboxRedirect), [](TAuthEvent, const std::string&) { return false; });
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), std::make_pair(aeCanceled, std::string()));
    EXPECT_THAT(TNimboHeadlessAuth::Visited(), ElementsAre(DropboxSignInUrl(DropboxRedirect)));
}

TEST_F(HeadlessAuth, ReportsTheTitleOfAnApprovalPage) {
    AdapterTest::Emulator().RegisterClient(Cloud::GoogleDrive, ClientId, "secret", {});
    const std::string url = "https://accounts.google.com/o/oauth2/auth?client_id=" + std::string(ClientId) +
                            "&scope=" + THttpClient::UrlEncode("https://www.googleapis.com/auth/drive") +
                            "&redirect_uri=" + THttpClient::UrlEncode("urn:ietf:wg:oauth:2.0:oob") +
                            "&response_type=code";
    const TEvents events = Show(
        url, [](TAuthEvent e, const std::string& t) { return e == aeTitleChanged && t.starts_with("Success code="); });
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().first, aeTitleChanged);
    EXPECT_GT(events.back().second.size(), std::string("Success code=").size());
}

}  // namespace
