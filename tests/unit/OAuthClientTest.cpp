#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "AuthUITestSupport.h"
#include "LoopbackTestSupport.h"
#include "Nimbo/Connection/LoopbackSignIn.h"
#include "Nimbo/Connection/OAuthClient.h"
#include "RestServiceTestSupport.h"
#include "support/RawHttpsServer.h"

using namespace Nimbo::Connection;
using namespace Nimbo::Connection::Testing;
using Nimbo::Testing::MakeResponse;
using Nimbo::Testing::RawHttpsServer;
using Nimbo::Testing::RawRequest;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

namespace {

const char* const GoodAnswer =
    R"({"access_token":"new-token","token_type":"Bearer","expires_in":3600,"refresh_token":"new-refresh"})";

// A token endpoint that answers every request with the one answer set.
class OAuthClientTest : public ::testing::Test {
protected:
    TAuthUIRegistryIsolation Isolation;
    std::string Answer = MakeResponse(200, GoodAnswer, {"Content-Type: application/json"});
    RawHttpsServer Server{[this](const RawRequest&) { return Answer; }, {.Tls = false}};
    TTestService Service;
    TOAuthTable Table;

    void SetUp() override {
        Navigation() = {};
        Table = {.SignIns = {{TSignInKind::Redirect, "https://auth.example/authorize", TokenUrl()},
                             {TSignInKind::Loopback, "https://auth.example/v2/authorize", TokenUrl()}},
                 .RedirectUrl = TTestState::DefaultRedirect};
        Service.SetClientId("the client");
        Service.SetSecret("s&cret");
        Service.State().SetToken("old-token", "old-refresh", 1.0);
    }

    std::string TokenUrl() const { return "http://127.0.0.1:" + std::to_string(Server.Port()) + "/token"; }
    const RawRequest& OnlyRequest() const {
        static RawRequest request;
        const auto requests = Server.Requests();
        EXPECT_EQ(requests.size(), 1u);
        request = requests.empty() ? RawRequest{} : requests.front();
        return request;
    }
    void ExpectUnchanged() {
        EXPECT_EQ(Service.GetToken(), "old-token");
        EXPECT_EQ(Service.GetRefresh(), "old-refresh");
        EXPECT_EQ(Service.GetExpires(), 1.0);
    }
};

}  // namespace

TEST_F(OAuthClientTest, ClientAuthenticatesAsTheTableSays) {
    struct TCase {
        TClientAuth Auth;
        std::string Body;
        std::string Authorization;
    };
    const TCase cases[] = {
        {TClientAuth::SecretInForm,
         "client_id=the%20client&client_secret=s%26cret&grant_type=refresh_token&refresh_token=old-refresh", ""},
        // RFC 6749 section 2.3.1: both parts form-encoded before they are joined.
        {TClientAuth::HttpBasic, "grant_type=refresh_token&refresh_token=old-refresh",
         "Basic dGhlJTIwY2xpZW50OnMlMjZjcmV0"},
        {TClientAuth::PublicClient, "client_id=the%20client&grant_type=refresh_token&refresh_token=old-refresh", ""}};
    for (const TCase& c : cases) {
        RawHttpsServer server([this](const RawRequest&) { return Answer; }, {.Tls = false});
        Table.SignIns.front().TokenUrl = "http://127.0.0.1:" + std::to_string(server.Port()) + "/token";
        Table.ClientAuth = c.Auth;
        Service.State().SetToken("old-token", "old-refresh", 1.0);
        TOAuthClient(Table).Refresh(Service.State(), Service.Http());
        ASSERT_EQ(server.Requests().size(), 1u);
        EXPECT_EQ(server.Requests()[0].Body, c.Body);
        EXPECT_EQ(server.Requests()[0].HeaderValue("Authorization"), c.Authorization);
        EXPECT_EQ(Service.GetToken(), "new-token");
        EXPECT_EQ(Service.GetRefresh(), "new-refresh");
    }
}

TEST_F(OAuthClientTest, AnAnswerWithoutAnAccessTokenChangesNothing) {
    Answer = MakeResponse(200, R"({"token_type":"Bearer","expires_in":3600,"refresh_token":"r"})");
    EXPECT_THAT([&] { TOAuthClient(Table).Refresh(Service.State(), Service.Http()); },
                ThrowsMessage<ERestError>(HasSubstr("without an access token")));
    ExpectUnchanged();
}

TEST_F(OAuthClientTest, ARefusalNamesTheServicesErrorAndKeepsTheAnswer) {
    const std::string body =
        R"({"error":"invalid_grant","error_description":"AADSTS70008: The refresh token has expired.",)"
        R"("error_codes":[70008]})";
    Answer = MakeResponse(400, body);
    EXPECT_THAT([&] { TOAuthClient(Table).Refresh(Service.State(), Service.Http()); },
                ThrowsMessage<EOAuthError>(AllOf(HasSubstr("400"), HasSubstr("invalid_grant"),
                                                 HasSubstr("AADSTS70008: The refresh token has expired."))));
    try {
        TOAuthClient(Table).Refresh(Service.State(), Service.Http());
    } catch (const EOAuthError& error) {
        EXPECT_EQ(error.ErrorCode(), 400);
        EXPECT_EQ(error.ErrorMessage(), body);
        EXPECT_EQ(error.Error(), "invalid_grant");
    }
    ExpectUnchanged();
}

TEST_F(OAuthClientTest, ATokenIsRenewedOnlyInsideTheMargin) {
    const TOAuthClient client(Table);
    Service.State().SetToken("old-token", "old-refresh", Now() + 2 * TOAuthClient::ExpiryMargin);
    EXPECT_FALSE(client.EnsureAccess(Service.State(), Service.Http(), {}));
    EXPECT_TRUE(Server.Requests().empty());

    Service.State().SetToken("old-token", "old-refresh", Now() + TOAuthClient::ExpiryMargin / 2);
    EXPECT_FALSE(client.EnsureAccess(Service.State(), Service.Http(), {}));
    EXPECT_EQ(Service.GetToken(), "new-token");
}

TEST_F(OAuthClientTest, LoopbackSignInSendsStateAndChallengeAndExchangesTheCodeWithItsVerifier) {
    TAuthUI::Register(TAuthUIClass::Of<TNavigatingWindow>());
    Table.Pkce = true;
    Service.SetRedirectUrl(TOAuthClient::LoopbackRedirectUrl);
    TOAuthClient(Table).SignIn(Service.State(), Service.Http(), std::string("files.read"));

    const std::string authorization = Navigation().Authorization;
    const std::string redirect = Param(authorization, "redirect_uri");
    EXPECT_THAT(redirect, ::testing::MatchesRegex("http://127\\.0\\.0\\.1:[0-9]+/"));
    EXPECT_EQ(Param(authorization, "scope"), "files.read");
    EXPECT_EQ(Param(authorization, "code_challenge_method"), "S256");
    EXPECT_FALSE(Param(authorization, "state").empty());

    const RawRequest& exchange = OnlyRequest();
    const std::string verifier = Param("?" + exchange.Body, "code_verifier");
    EXPECT_EQ(Pkce::ChallengeS256(verifier), Param(authorization, "code_challenge"));
    EXPECT_THAT(exchange.Body, HasSubstr("code=the-code&"));
    EXPECT_EQ(Param("?" + exchange.Body, "redirect_uri"), redirect);
    EXPECT_EQ(Service.GetToken(), "new-token");
    EXPECT_FALSE(Listening(std::stoi(redirect.substr(redirect.rfind(':') + 1))));
}

TEST_F(OAuthClientTest, AMismatchedOrDeniedLoopbackSignInIsNeverExchanged) {
    TAuthUI::Register(TAuthUIClass::Of<TNavigatingWindow>());
    Service.SetRedirectUrl("http://localhost/cb");
    Service.State().SetToken("old-token", "old-refresh", 1.0);
    for (const char* query : {"code=c&state=forged", "error=access_denied&state={state}"}) {
        Navigation().Query = query;
        EXPECT_THROW(TOAuthClient(Table).SignIn(Service.State(), Service.Http(), std::nullopt), ERestError);
        EXPECT_TRUE(Server.Requests().empty());
        ExpectUnchanged();
    }
}

TEST_F(OAuthClientTest, ASignInTheServiceDoesNotOfferIsRefused) {
    Table.SignIns.pop_back();
    Service.SetRedirectUrl(TOAuthClient::LoopbackRedirectUrl);
    EXPECT_THAT([&] { TOAuthClient(Table).SignIn(Service.State(), Service.Http(), std::nullopt); },
                ThrowsMessage<ERestError>(HasSubstr("no sign-in through a loopback address")));
    EXPECT_TRUE(Server.Requests().empty());
}
