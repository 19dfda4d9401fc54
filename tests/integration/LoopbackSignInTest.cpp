// The loopback sign-in end to end: the headless window follows the service's page to the
// program's loopback listener, which takes the code, and the client exchanges it.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "AdapterTestSupport.h"
#include "Nimbo/Connection/BoxNet.h"
#include "Nimbo/Connection/GDrive3.h"
#include "Nimbo/Connection/Google.h"
#include "Nimbo/Connection/HeadlessAuth.h"
#include "Nimbo/Connection/OAuthClient.h"

using namespace Nimbo::Connection;
using namespace Nimbo::Emulator;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using ::testing::ThrowsMessage;

namespace {

struct TLoopbackCase {
    std::string Name;
    Cloud Service;
    std::function<std::unique_ptr<TNimboStorage>()> Create;
    std::string AuthorizeUrl;
    std::string TokenHost;
    bool Pkce;
};
void PrintTo(const TLoopbackCase& ACase, std::ostream* AOut) { *AOut << ACase.Name; }

const TLoopbackCase Cases[] = {{"Box", Cloud::Box, [] { return std::make_unique<TNimboBoxNet>(); },
                                "https://account.box.com/api/oauth2/authorize?", "api.box.com", false},
                               {"GoogleDrive", Cloud::GoogleDrive, [] { return std::make_unique<TNimboGDrive>(); },
                                "https://accounts.google.com/o/oauth2/v2/auth?", "oauth2.googleapis.com", true},
                               {"GoogleDrive3", Cloud::GoogleDrive, [] { return std::make_unique<TNimboGDrive3>(); },
                                "https://accounts.google.com/o/oauth2/v2/auth?", "oauth2.googleapis.com", true}};

class LoopbackSignIn : public AdapterTest::TAdapterFixture, public ::testing::WithParamInterface<TLoopbackCase> {
protected:
    LoopbackSignIn()
        : TAdapterFixture({.Name = GetParam().Name,
                           .Service = GetParam().Service,
                           .RedirectUrl = TOAuthClient::LoopbackRedirectUrl,
                           .Create = GetParam().Create}) {}

    std::vector<RecordedRequest> TokenRequests() {
        std::vector<RecordedRequest> requests = Emu().Requests();
        std::erase_if(requests, [](const RecordedRequest& R) { return R.path.find("token") == std::string::npos; });
        return requests;
    }
};

}  // namespace

TEST_P(LoopbackSignIn, TheBrowserComesBackToTheListenerWithTheCodeAndTheStateOfThisSignIn) {
    Storage().RefreshAccess();
    EXPECT_FALSE(Storage().GetToken().empty());

    const std::vector<std::string> visited = TNimboHeadlessAuth::Visited();
    ASSERT_FALSE(visited.empty());
    EXPECT_THAT(visited.front(), StartsWith(GetParam().AuthorizeUrl));
    EXPECT_THAT(visited.front(), HasSubstr("&redirect_uri=http%3A%2F%2F127.0.0.1%3A"));
    EXPECT_THAT(visited.front(), HasSubstr("&state="));
    EXPECT_EQ(visited.front().find("&code_challenge_method=S256") != std::string::npos, GetParam().Pkce);
    const auto loopback = std::find_if(visited.begin(), visited.end(),
                                       [](const std::string& U) { return U.starts_with("http://127.0.0.1:"); });
    ASSERT_NE(loopback, visited.end());
    EXPECT_THAT(*loopback, HasSubstr("code="));

    const std::vector<RecordedRequest> tokens = TokenRequests();
    ASSERT_EQ(tokens.size(), 1u);
    EXPECT_EQ(tokens[0].host, GetParam().TokenHost);
    EXPECT_THAT(tokens[0].body, HasSubstr("grant_type=authorization_code"));
    EXPECT_EQ(tokens[0].body.find("&code_verifier=") != std::string::npos, GetParam().Pkce);

    // The token works against the service, and the renewal goes to the same token endpoint.
    EXPECT_NO_THROW(Storage().Root().Files());
}

TEST_P(LoopbackSignIn, ADenialIsAClearErrorAndNothingIsExchanged) {
    TNimboHeadlessAuth::SetDecision(THeadlessDecision::Deny, "The user said no");
    EXPECT_THAT([&] { Storage().RefreshAccess(); }, ThrowsMessage<ERestError>(HasSubstr("The user said no")));
    EXPECT_TRUE(TokenRequests().empty());
    EXPECT_EQ(Storage().GetToken(), "");
}

TEST_P(LoopbackSignIn, ClosingTheWindowCancels) {
    TNimboHeadlessAuth::SetDecision(THeadlessDecision::Cancel);
    EXPECT_THROW(Storage().RefreshAccess(), EAbort);
    EXPECT_TRUE(TokenRequests().empty());
}

INSTANTIATE_TEST_SUITE_P(Services, LoopbackSignIn, ::testing::ValuesIn(Cases),
                         [](const auto& AInfo) { return AInfo.param.Name; });
