// Today's sign-in of the four services: authorization pages with loopback redirects and PKCE, token
// endpoints with each service's rules for secrets and refresh tokens, and the control interface.

#include "EmulatorFixture.h"
#include "TestData.h"

#include "emulator/Tls.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>

using namespace Nimbo::Emulator;
using namespace EmulatorTest;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

// RFC 7636, appendix B.
const std::string Verifier = "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk";
const std::string Challenge = "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM";
const std::string OtherVerifier = "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa";
const std::string State = "st-8c1";

struct Service {
    std::string name;  // as the control interface names it
    Cloud cloud;
    std::string authorize, token;
    std::string registered, redirect;  // the registered redirect address, and the one a sign-in sends
    std::string scope;                 // the authorization fields the service needs besides the common ones
    std::string secret;                // registered; empty: a public client
    bool sendSecret;                   // sent to the token endpoint
    bool pkce;                         // the service checks PKCE
    std::string api;                   // a call an access token opens
    bool rotates;                      // a refresh spends the refresh token and answers its successor
};

const Service Google{"google",
                     Cloud::GoogleDrive,
                     "https://accounts.google.com/o/oauth2/v2/auth",
                     "https://oauth2.googleapis.com/token",
                     "http://127.0.0.1",
                     "http://127.0.0.1:49321",
                     "&scope=https%3A%2F%2Fwww.googleapis.com%2Fauth%2Fdrive",
                     "g-secret",
                     true,
                     true,
                     "https://www.googleapis.com/drive/v2/about",
                     false};
const Service Microsoft{"live",
                        Cloud::LiveConnect,
                        "https://login.microsoftonline.com/consumers/oauth2/v2.0/authorize",
                        "https://login.microsoftonline.com/consumers/oauth2/v2.0/token",
                        "http://localhost",
                        "http://localhost:50123",
                        "&scope=Files.ReadWrite%20offline_access%20User.Read",
                        "",
                        false,
                        true,
                        "https://apis.live.net/v5.0/me/skydrive",
                        true};
const Service Dropbox{"dropbox",
                      Cloud::Dropbox,
                      "https://www.dropbox.com/oauth2/authorize",
                      "https://api.dropboxapi.com/oauth2/token",
                      "http://localhost:53682/",
                      "http://localhost:53682/",
                      "&token_access_type=offline",
                      "d-secret",
                      false,
                      true,
                      "https://api.dropbox.com/1/account/info",
                      false};
const Service Box{"box",
                  Cloud::Box,
                  "https://account.box.com/api/oauth2/authorize",
                  "https://api.box.com/oauth2/token",
                  "http://127.0.0.1/callback",
                  "http://127.0.0.1:41234/callback",
                  "",
                  "b-secret",
                  true,
                  false,
                  "https://api.box.com/2.0/users/me",
                  true};
const Service All[] = {Google, Microsoft, Dropbox, Box};

Service WithAuthorize(Service s, const std::string& authorize) {
    s.authorize = authorize;
    return s;
}
// The older authorization addresses apply the same rules.
const Service GoogleOld = WithAuthorize(Google, "https://accounts.google.com/o/oauth2/auth");
const Service BoxApp = WithAuthorize(Box, "https://app.box.com/api/oauth2/authorize");

Fields With(Fields fields, const std::string& key, const std::string& value) {
    fields.erase(std::remove_if(fields.begin(), fields.end(), [&](const auto& f) { return f.first == key; }),
                 fields.end());
    if (!value.empty()) fields.emplace_back(key, value);
    return fields;
}
Fields Without(const Fields& fields, const std::string& key) { return With(fields, key, ""); }

std::string BasicAuthorization(const std::string& id, const std::string& secret) {
    std::string raw = id + ":" + secret, text(4 * ((raw.size() + 2) / 3) + 1, '\0');
    text.resize(static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                                         reinterpret_cast<const unsigned char*>(raw.data()),
                                                         static_cast<int>(raw.size()))));
    return "Authorization: Basic " + text;
}

class SignInTest : public EmulatorFixture {
protected:
    SignInTest() : EmulatorFixture({Cloud::GoogleDrive, "fixture", "fixture-secret", {}}) {}

    // Through the control interface, as a tool outside the process registers its clients.
    Reply Register(const Service& s, const std::string& id, const std::string& secret,
                   const std::vector<std::string>& redirects) const {
        Fields fields{{"service", s.name}, {"client_id", id}, {"client_secret", secret}};
        for (const auto& redirect : redirects) fields.emplace_back("redirect_uri", redirect);
        return client.Form("https://localhost/emulator/clients", fields);
    }
    void Register(const Service& s) const { ASSERT_EQ(Register(s, "app", s.secret, {s.registered}).status, 200); }

    static std::string AuthorizeUrl(const Service& s, const std::string& redirect, const std::string& extra = "",
                                    bool pkce = true) {
        std::string url = s.authorize + "?client_id=app&response_type=code&state=" + State +
                          "&redirect_uri=" + HttpsClient::Encode({{"", redirect}}).substr(1) + s.scope + extra;
        if (pkce) url += "&code_challenge=" + Challenge + "&code_challenge_method=S256";
        return url;
    }

    // A sign-in the user allows: the code the redirect carries.
    std::string Code(const Service& s, const std::string& redirect, bool pkce = true) const {
        Reply r = client.Get(AuthorizeUrl(s, redirect, "&emulator_decision=allow", pkce));
        EXPECT_EQ(r.status, 302) << r.body;
        const std::string location = r.Header("location");
        EXPECT_THAT(location, StartsWith(redirect + "?")) << s.name;
        EXPECT_EQ(HttpsClient::QueryValue(location, "state"), State) << s.name;
        return HttpsClient::QueryValue(location, "code");
    }
    std::string Code(const Service& s) const { return Code(s, s.redirect); }

    static Fields CodeFields(const Service& s, const std::string& code) {
        Fields fields{
            {"grant_type", "authorization_code"}, {"code", code}, {"client_id", "app"}, {"redirect_uri", s.redirect}};
        if (s.pkce) fields.emplace_back("code_verifier", Verifier);
        if (s.sendSecret) fields.emplace_back("client_secret", s.secret);
        return fields;
    }
    static Fields RefreshFields(const Service& s, const std::string& refreshToken) {
        Fields fields{{"grant_type", "refresh_token"}, {"refresh_token", refreshToken}, {"client_id", "app"}};
        if (s.sendSecret) fields.emplace_back("client_secret", s.secret);
        return fields;
    }

    // A whole sign-in: the token endpoint's answer.
    nlohmann::json SignIn(const Service& s) const {
        Reply r = client.Form(s.token, CodeFields(s, Code(s)));
        EXPECT_EQ(r.status, 200) << s.name << ": " << r.body;
        return r.Json();
    }
};

TEST_F(SignInTest, EachServiceSignsInThroughALoopbackAddressWithPkce) {
    for (const Service& s : All) {
        SCOPED_TRACE(s.name);
        Register(s);
        auto tokens = SignIn(s);
        ASSERT_TRUE(tokens["access_token"].is_string()) << tokens;
        ASSERT_TRUE(tokens["refresh_token"].is_string()) << tokens;
        EXPECT_EQ(client.Get(s.api, tokens["access_token"]).status, 200);
        const std::string firstRefresh = tokens["refresh_token"];

        Reply refreshed = client.Form(s.token, RefreshFields(s, firstRefresh));
        ASSERT_EQ(refreshed.status, 200) << refreshed.body;
        auto renewed = refreshed.Json();
        EXPECT_EQ(client.Get(s.api, renewed["access_token"]).status, 200);
        if (s.rotates) {
            ASSERT_TRUE(renewed["refresh_token"].is_string()) << renewed;
            EXPECT_NE(renewed["refresh_token"], firstRefresh);
            EXPECT_EQ(client.Form(s.token, RefreshFields(s, firstRefresh)).status, 400);
            EXPECT_EQ(client.Form(s.token, RefreshFields(s, renewed["refresh_token"])).status, 200);
        } else {
            EXPECT_FALSE(renewed.contains("refresh_token")) << renewed;
            EXPECT_EQ(client.Form(s.token, RefreshFields(s, firstRefresh)).status, 200);
        }
    }
}

TEST_F(SignInTest, DropboxTokensLastFourHoursAndOnlyOfflineSignInsRefresh) {
    Register(Dropbox);
    auto offline = SignIn(Dropbox);
    EXPECT_EQ(offline["expires_in"], 14400);
    EXPECT_EQ(offline["token_type"], "bearer");
    EXPECT_TRUE(offline["account_id"].is_string());
    EXPECT_TRUE(offline["refresh_token"].is_string());

    Reply r = client.Get(Dropbox.authorize + "?client_id=app&response_type=code&token_access_type=online" +
                         "&redirect_uri=" + HttpsClient::Encode({{"", Dropbox.redirect}}).substr(1) +
                         "&code_challenge=" + Challenge + "&code_challenge_method=S256&emulator_decision=allow");
    Reply shortLived =
        client.Form(Dropbox.token, CodeFields(Dropbox, HttpsClient::QueryValue(r.Header("location"), "code")));
    ASSERT_EQ(shortLived.status, 200) << shortLived.body;
    EXPECT_EQ(shortLived.Json()["expires_in"], 14400);
    EXPECT_FALSE(shortLived.Json().contains("refresh_token"));
}

TEST_F(SignInTest, ACodeWorksOnceForItsClientRedirectAndVerifier) {
    for (const Service& s : All) {
        SCOPED_TRACE(s.name);
        Register(s);
        ASSERT_EQ(Register(s, "other", s.secret.empty() ? "" : s.secret, {s.registered}).status, 200);
        std::string code = Code(s);
        const Fields good = CodeFields(s, code);
        std::string otherPort = s.redirect;
        otherPort.replace(otherPort.rfind(':') + 1, 5, "40001");
        struct Refusal {
            std::string name;
            Fields fields;
            bool applies;
        };
        for (const Refusal& refusal : {Refusal{"wrong verifier", With(good, "code_verifier", OtherVerifier), s.pkce},
                                       Refusal{"no verifier", Without(good, "code_verifier"), s.pkce},
                                       Refusal{"another redirect", With(good, "redirect_uri", otherPort), true},
                                       Refusal{"another client", With(good, "client_id", "other"), true}}) {
            if (!refusal.applies) continue;
            Reply r = client.Form(s.token, refusal.fields);
            EXPECT_EQ(r.status, 400) << refusal.name << ": " << r.body;
            EXPECT_TRUE(r.Json()["error"].is_string()) << refusal.name << ": " << r.body;
        }
        // Refusals leave the code to its rightful request, which uses it up.
        EXPECT_EQ(client.Form(s.token, good).status, 200);
        Reply again = client.Form(s.token, good);
        EXPECT_EQ(again.status, 400);
        EXPECT_EQ(again.Json()["error"], "invalid_grant") << again.body;
    }
}

TEST_F(SignInTest, PlainPkceAndTheVerifierAsItIs) {
    Register(Google);
    Reply r = client.Get(Google.authorize + "?client_id=app&response_type=code&redirect_uri=" +
                         HttpsClient::Encode({{"", Google.redirect}}).substr(1) + Google.scope +
                         "&code_challenge=" + Verifier + "&code_challenge_method=plain&emulator_decision=allow");
    ASSERT_EQ(r.status, 302);
    const Fields fields = CodeFields(Google, HttpsClient::QueryValue(r.Header("location"), "code"));
    EXPECT_EQ(client.Form(Google.token, With(fields, "code_verifier", Challenge)).status, 400);
    EXPECT_EQ(client.Form(Google.token, fields).status, 200);

    for (const std::string& bad : {std::string("&code_challenge=short&code_challenge_method=S256"),
                                   "&code_challenge=" + Challenge + "&code_challenge_method=S512"}) {
        std::string url = Google.authorize + "?client_id=app&response_type=code&redirect_uri=" +
                          HttpsClient::Encode({{"", Google.redirect}}).substr(1) + Google.scope + bad +
                          "&emulator_decision=allow";
        EXPECT_EQ(client.Get(url).status, 400) << bad;
    }
}

TEST_F(SignInTest, RedirectAddressesFollowEachServicesRules) {
    struct Case {
        const Service& service;
        std::vector<std::string> registered;
        std::string sent;
        bool accepted;
    };
    const Case cases[] = {
        {Google, {"http://127.0.0.1"}, "http://127.0.0.1:5000", true},
        {Google, {"http://127.0.0.1"}, "http://localhost:5000", false},
        {Google, {"http://[::1]/"}, "http://[::1]:5000/", true},
        {GoogleOld, {"http://127.0.0.1"}, "http://127.0.0.1:5001", true},
        {BoxApp, {"http://localhost/cb"}, "http://localhost:5002/cb", true},
        {Microsoft, {"http://localhost"}, "http://localhost:61000", true},
        {Microsoft, {"http://localhost"}, "http://127.0.0.1:61000", false},
        {Box, {"http://127.0.0.1/callback"}, "http://127.0.0.1:41234/callback", true},
        {Box, {"http://127.0.0.1/callback"}, "http://127.0.0.1:41234/other", false},
        {Box, {"https://app.example/cb"}, "https://app.example:8443/cb", false},
        {Dropbox, {"http://localhost:53682/"}, "http://localhost:53682/", true},
        {Dropbox, {"http://localhost:53682/"}, "http://localhost:53683/", false},
        // Plain http only to a loopback host, even for a client that registered no address.
        {Google, {}, "http://app.example:5000/", false},
        {Microsoft, {}, "http://app.example/cb", false},
        {Dropbox, {}, "http://localhost.app.example/cb", false},
        {Box, {}, "http://127.0.0.1.app.example/cb", false},
        {Dropbox, {}, "http://127.0.0.1:9/cb", true},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(Register(c.service, "app", c.service.secret, c.registered).status, 200);
        Reply r = client.Get(AuthorizeUrl(c.service, c.sent, "&emulator_decision=allow", c.service.pkce));
        EXPECT_EQ(r.status, c.accepted ? 302 : 400) << c.service.name << " " << c.sent;
        if (c.accepted) {
            EXPECT_THAT(r.Header("location"), StartsWith(c.sent + "?"));
            EXPECT_FALSE(HttpsClient::QueryValue(r.Header("location"), "code").empty());
        }
    }
}

TEST_F(SignInTest, SecretsAreRequiredWhereTheServiceRequiresThem) {
    struct Case {
        std::string name;
        const Service& service;
        std::string registeredSecret;
        bool pkce;
        long status;
        std::string error, description;
    };
    const Case cases[] = {
        {"google with PKCE", Google, "g-secret", true, 400, "invalid_request", "client_secret is missing."},
        {"box", Box, "b-secret", false, 400, "invalid_client", ""},
        {"microsoft confidential", Microsoft, "m-secret", true, 401, "invalid_client", "AADSTS7000218"},
        {"microsoft public without PKCE", Microsoft, "", false, 400, "invalid_request", "AADSTS9002325"},
        {"dropbox without PKCE", Dropbox, "d-secret", false, 400, "invalid_request", "No auth function"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(Register(c.service, "app", c.registeredSecret, {c.service.registered}).status, 200);
        Fields fields = Without(CodeFields(c.service, Code(c.service, c.service.redirect, c.pkce)), "client_secret");
        if (!c.pkce) fields = Without(fields, "code_verifier");
        Reply r = client.Form(c.service.token, fields);
        EXPECT_EQ(r.status, c.status) << c.name << ": " << r.body;
        EXPECT_EQ(r.Json()["error"], c.error) << c.name;
        EXPECT_THAT(r.Json()["error_description"].get<std::string>(), HasSubstr(c.description)) << c.name;
        // With its secret the same kind of sign-in goes through, unless PKCE is what is missing.
        if (!c.registeredSecret.empty()) {
            Fields withSecret = With(CodeFields(c.service, Code(c.service, c.service.redirect, c.pkce)),
                                     "client_secret", c.registeredSecret);
            if (!c.pkce) withSecret = Without(withSecret, "code_verifier");
            EXPECT_EQ(client.Form(c.service.token, withSecret).status, 200) << c.name;
        }
    }
}

TEST_F(SignInTest, PublicClientsNeedNoSecretButCannotUseAWrongOne) {
    ASSERT_EQ(Register(Microsoft, "app", "", {Microsoft.registered}).status, 200);
    Reply wrong = client.Form(Microsoft.token, With(CodeFields(Microsoft, Code(Microsoft)), "client_secret", "guess"));
    EXPECT_EQ(wrong.status, 401);
    EXPECT_EQ(wrong.Json()["error"], "invalid_client");
    EXPECT_EQ(Register(Box, "app", "", {Box.registered}).status, 400);  // Box has no public clients
    EXPECT_EQ(Register(Google, "app", "x", {"http://app.example/cb"}).status, 400);
}

TEST_F(SignInTest, DropboxTakesCredentialsByBasicOrInTheQueryString) {
    Register(Dropbox);
    const Fields withoutCredentials =
        Without(Without(CodeFields(Dropbox, Code(Dropbox, Dropbox.redirect, false)), "code_verifier"), "client_id");
    Reply wrongSecret = client.Send("POST", Dropbox.token + "?" + HttpsClient::Encode(withoutCredentials), "",
                                    {BasicAuthorization("app", "nope")});
    EXPECT_EQ(wrongSecret.status, 400);
    EXPECT_EQ(wrongSecret.Json()["error"], "invalid_client");
    Reply byBasic = client.Send("POST", Dropbox.token + "?" + HttpsClient::Encode(withoutCredentials), "",
                                {BasicAuthorization("app", "d-secret")});
    EXPECT_EQ(byBasic.status, 200) << byBasic.body;

    Fields inQuery = With(Without(CodeFields(Dropbox, Code(Dropbox, Dropbox.redirect, false)), "code_verifier"),
                          "client_secret", "d-secret");
    Reply byQuery = client.Send("POST", Dropbox.token + "?" + HttpsClient::Encode(inQuery));
    EXPECT_EQ(byQuery.status, 200) << byQuery.body;
    EXPECT_EQ(client.Get(Dropbox.api, byQuery.Json()["access_token"]).status, 200);
}

TEST_F(SignInTest, MicrosoftAnswersForAnyTenantAndErrorsCarryTheirCodes) {
    Register(Microsoft);
    for (const std::string tenant : {"common", "organizations", "9188040d-6c67-4c5b-b112-36a304b66dad"}) {
        Service s = Microsoft;
        s.authorize = "https://login.microsoftonline.com/" + tenant + "/oauth2/v2.0/authorize";
        s.token = "https://login.microsoftonline.com/" + tenant + "/oauth2/v2.0/token";
        EXPECT_EQ(SignIn(s)["token_type"], "Bearer") << tenant;
    }
    Reply r = client.Form(Microsoft.token, CodeFields(Microsoft, "not-a-code"));
    EXPECT_EQ(r.status, 400);
    auto error = r.Json();
    EXPECT_EQ(error["error"], "invalid_grant");
    EXPECT_THAT(error["error_description"].get<std::string>(), StartsWith("AADSTS70000:"));
    EXPECT_EQ(error["error_codes"], nlohmann::json::array({70000}));
    for (const char* key : {"timestamp", "trace_id", "correlation_id"})
        EXPECT_FALSE(error[key].get<std::string>().empty()) << key;
    Reply get = client.Get(Microsoft.token);
    EXPECT_EQ(get.status, 400);
    EXPECT_EQ(get.Json()["error_codes"], nlohmann::json::array({900561}));
}

TEST_F(SignInTest, MicrosoftAnswersAnIdTokenAndClientInfoWhenAsked) {
    Register(Microsoft);
    Service s = Microsoft;
    s.scope = "&scope=openid%20profile%20offline_access%20Files.ReadWrite";
    Reply plain = client.Form(s.token, CodeFields(s, Code(s)));
    ASSERT_EQ(plain.status, 200) << plain.body;
    EXPECT_FALSE(plain.Json().contains("client_info"));
    Reply r = client.Form(s.token, With(CodeFields(s, Code(s)), "client_info", "1"));
    ASSERT_EQ(r.status, 200) << r.body;
    auto tokens = r.Json();
    EXPECT_EQ(tokens["scope"], "openid profile offline_access https://graph.microsoft.com/Files.ReadWrite");
    const std::string idToken = tokens["id_token"];
    EXPECT_EQ(std::count(idToken.begin(), idToken.end(), '.'), 2) << idToken;
    std::string info = tokens["client_info"];
    std::replace(info.begin(), info.end(), '-', '+');
    std::replace(info.begin(), info.end(), '_', '/');
    info.append((4 - info.size() % 4) % 4, '=');
    std::string decoded(info.size(), '\0');
    decoded.resize(static_cast<std::size_t>(EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                                                            reinterpret_cast<const unsigned char*>(info.data()),
                                                            static_cast<int>(info.size()))));
    auto ids = nlohmann::json::parse(decoded.substr(0, decoded.rfind('}') + 1), nullptr, false);
    EXPECT_TRUE(ids["uid"].is_string()) << decoded;
    EXPECT_TRUE(ids["utid"].is_string()) << decoded;
}

TEST_F(SignInTest, HeadlessConsentAnswersAtOnceAndTheFormOtherwise) {
    for (const Service& s : All) {
        SCOPED_TRACE(s.name);
        Register(s);
        Reply denied = client.Get(AuthorizeUrl(s, s.redirect, "&emulator_decision=deny", s.pkce));
        ASSERT_EQ(denied.status, 302);
        EXPECT_THAT(denied.Header("location"), StartsWith(s.redirect + "?"));
        EXPECT_EQ(HttpsClient::QueryValue(denied.Header("location"), "error"), "access_denied");
        EXPECT_EQ(HttpsClient::QueryValue(denied.Header("location"), "state"), State);
        EXPECT_EQ(denied.Header("set-cookie"), "");
        Reply page = client.Get(AuthorizeUrl(s, s.redirect, "", s.pkce));
        EXPECT_EQ(page.status, 200);
        EXPECT_THAT(page.body, HasSubstr("name=\"decision\" value=\"allow\""));
    }
    // The bare dropbox.com serves the same page.
    Reply bare = client.Get(
        "https://dropbox.com/oauth2/authorize" +
        AuthorizeUrl(Dropbox, Dropbox.redirect, "&emulator_decision=allow").substr(Dropbox.authorize.size()));
    EXPECT_EQ(bare.status, 302);
}

TEST_F(SignInTest, ExpiringTokensEndsEveryAccessTokenAndRefreshTokensStillWork) {
    for (const Service& s : All) {
        SCOPED_TRACE(s.name);
        Register(s);
        auto tokens = SignIn(s);
        std::string fromControl = emulator->IssueTokens(s.cloud, "app").accessToken;
        ASSERT_EQ(client.Form("https://localhost/emulator/expire-tokens", {{"service", s.name}}).status, 200);
        EXPECT_EQ(client.Get(s.api, tokens["access_token"]).status, 401);
        EXPECT_EQ(client.Get(s.api, fromControl).status, 401);
        Reply refreshed = client.Form(s.token, RefreshFields(s, tokens["refresh_token"]));
        ASSERT_EQ(refreshed.status, 200) << refreshed.body;
        EXPECT_EQ(client.Get(s.api, refreshed.Json()["access_token"]).status, 200);
    }
}

TEST_F(SignInTest, RevokedTokensStopWorking) {
    Register(Dropbox);
    std::string dropbox = SignIn(Dropbox)["access_token"];
    Reply revoked =
        client.Send("POST", "https://api.dropboxapi.com/2/auth/token/revoke", "", {HttpsClient::Bearer(dropbox)});
    EXPECT_EQ(revoked.status, 200);
    EXPECT_EQ(revoked.body, "null");
    EXPECT_EQ(client.Get(Dropbox.api, dropbox).status, 401);
    Reply again =
        client.Send("POST", "https://api.dropboxapi.com/2/auth/token/revoke", "", {HttpsClient::Bearer(dropbox)});
    EXPECT_EQ(again.status, 401);
    EXPECT_EQ(again.Json()["error"][".tag"], "invalid_access_token");

    Register(Box);
    auto box = SignIn(Box);
    EXPECT_EQ(client
                  .Form("https://api.box.com/oauth2/revoke",
                        {{"client_id", "app"}, {"client_secret", "wrong"}, {"token", box["refresh_token"]}})
                  .status,
              400);
    EXPECT_EQ(client
                  .Form("https://api.box.com/oauth2/revoke",
                        {{"client_id", "app"}, {"client_secret", "b-secret"}, {"token", box["refresh_token"]}})
                  .status,
              200);
    EXPECT_EQ(client.Form(Box.token, RefreshFields(Box, box["refresh_token"])).status, 400);
}

TEST(SignInHosts, HelpAndCertificateNameEverySignInHost) {
    std::unique_ptr<FILE, int (*)(FILE*)> help(popen(CLOUD_EMULATOR_PROGRAM " --help", "r"), pclose);
    ASSERT_TRUE(help);
    std::string text;
    char buffer[4096];
    while (auto n = std::fread(buffer, 1, sizeof buffer, help.get())) text.append(buffer, n);
    auto names = CertificateNames(MakeTlsIdentity(CloudEmulator::Hosts()).certPem);
    for (const std::string host :
         {"accounts.google.com", "oauth2.googleapis.com", "login.microsoftonline.com", "www.dropbox.com", "dropbox.com",
          "api.dropboxapi.com", "account.box.com", "app.box.com", "api.box.com"}) {
        EXPECT_THAT(text, HasSubstr("\n  " + host + "\n")) << host;
        EXPECT_NE(std::find(names.begin(), names.end(), host), names.end()) << host;
    }
}

}  // namespace
