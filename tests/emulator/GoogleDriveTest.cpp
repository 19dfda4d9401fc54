#include "EmulatorFixture.h"

#include <gtest/gtest.h>

#include <set>

using namespace Nimbo::Emulator;
using namespace EmulatorTest;

namespace {

const std::string Api = "https://www.googleapis.com/drive/v2/files";
const std::string Upload = "https://www.googleapis.com/upload/drive/v2/files";
const std::string Auth = "https://accounts.google.com/o/oauth2/auth";
const std::string TokenUrl = "https://accounts.google.com/o/oauth2/token";
const std::string Oob = "urn:ietf:wg:oauth:2.0:oob";

class GoogleDriveTest : public EmulatorFixture {
protected:
    GoogleDriveTest() : EmulatorFixture({Cloud::GoogleDrive, "app.apps.googleusercontent.com", "s3cret", {}}) {}
    std::string AuthUrl(const std::string& redirect, const std::string& extra = "") const {
        return Auth +
               "?client_id=app.apps.googleusercontent.com&scope=https%3A%2F%2Fwww.googleapis.com%2Fauth%2Fdrive"
               "&redirect_uri=" +
               redirect + "&response_type=code" + extra;
    }
    Reply Json(const std::string& method, const std::string& url, const std::string& body) const {
        return client.Send(method, url, body, {HttpsClient::Bearer(token), "Content-Type: application/json"});
    }
    std::string CodeFromOob() const {
        Reply r = client.Get(AuthUrl(Oob, "&emulator_decision=allow"));
        EXPECT_EQ(r.status, 302);
        Reply page = client.Get(r.Header("location"));
        auto start = page.body.find("<title>Success code=");
        EXPECT_NE(start, std::string::npos) << page.body;
        start += 20;
        return page.body.substr(start, page.body.find("</title>") - start);
    }
    Reply Exchange(const std::string& code, const std::string& secret = "s3cret") const {
        return client.Form(TokenUrl, {{"code", code},
                                      {"client_id", "app.apps.googleusercontent.com"},
                                      {"client_secret", secret},
                                      {"redirect_uri", Oob},
                                      {"grant_type", "authorization_code"}});
    }
};

TEST_F(GoogleDriveTest, SignInPageAsksWithAFormThatApprovesOrDenies) {
    Reply page = client.Get(AuthUrl(Oob));
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("<form"), std::string::npos);
    EXPECT_NE(page.body.find("name=\"decision\" value=\"allow\""), std::string::npos);

    // The form posts back its hidden fields with the decision.
    Reply allowed = client.Form(Auth, {{"client_id", "app.apps.googleusercontent.com"},
                                       {"scope", "x"},
                                       {"redirect_uri", Oob},
                                       {"response_type", "code"},
                                       {"decision", "allow"}});
    EXPECT_EQ(allowed.status, 302);
    EXPECT_NE(client.Get(allowed.Header("location")).body.find("<title>Success code="), std::string::npos);

    Reply denied = client.Get(AuthUrl(Oob, "&emulator_decision=deny"));
    Reply deniedPage = client.Get(denied.Header("location"));
    EXPECT_NE(deniedPage.body.find("<title>Denied error=access_denied</title>"), std::string::npos);
}

TEST_F(GoogleDriveTest, AuthorizationPageRefusesUnknownClientsAndMissingRedirect) {
    EXPECT_EQ(client.Get(Auth + "?client_id=nobody&scope=x&redirect_uri=" + Oob + "&response_type=code").status, 400);
    EXPECT_EQ(client.Get(Auth + "?client_id=app.apps.googleusercontent.com&scope=x&response_type=code").status, 400);
}

TEST_F(GoogleDriveTest, LoopbackRedirectCarriesCodeAndState) {
    Reply r = client.Get(AuthUrl("http%3A%2F%2Flocalhost%3A8080%2Fcb", "&state=xyz&emulator_decision=allow"));
    ASSERT_EQ(r.status, 302);
    EXPECT_EQ(r.Header("location").rfind("http://localhost:8080/cb?code=", 0), 0u);
    EXPECT_EQ(HttpsClient::QueryValue(r.Header("location"), "state"), "xyz");
}

TEST_F(GoogleDriveTest, CodeGrantWorksOnceAndRefreshGrantGivesNoNewRefreshToken) {
    std::string code = CodeFromOob();
    Reply first = Exchange(code);
    ASSERT_EQ(first.status, 200) << first.body;
    auto tokens = first.Json();
    EXPECT_EQ(tokens["token_type"], "Bearer");
    EXPECT_EQ(tokens["expires_in"], 3600);
    ASSERT_TRUE(tokens["refresh_token"].is_string());
    EXPECT_EQ(client.Get(Api, tokens["access_token"]).status, 200);

    Reply again = Exchange(code);
    EXPECT_EQ(again.status, 400);
    EXPECT_EQ(again.Json()["error_description"], "Code was already redeemed.");

    Reply refreshed = client.Form(TokenUrl, {{"client_id", "app.apps.googleusercontent.com"},
                                             {"client_secret", "s3cret"},
                                             {"grant_type", "refresh_token"},
                                             {"refresh_token", tokens["refresh_token"]}});
    ASSERT_EQ(refreshed.status, 200) << refreshed.body;
    EXPECT_FALSE(refreshed.Json().contains("refresh_token"));
    EXPECT_EQ(client.Get(Api, refreshed.Json()["access_token"]).status, 200);

    emulator->RevokeRefreshTokens(Cloud::GoogleDrive);
    Reply revoked = client.Form(TokenUrl, {{"client_id", "app.apps.googleusercontent.com"},
                                           {"client_secret", "s3cret"},
                                           {"grant_type", "refresh_token"},
                                           {"refresh_token", tokens["refresh_token"]}});
    EXPECT_EQ(revoked.status, 400);
    EXPECT_EQ(revoked.Json()["error_description"], "Token has been revoked.");
}

TEST_F(GoogleDriveTest, TokenEndpointChecksClientSecret) {
    Reply r = Exchange(CodeFromOob(), "wrong");
    EXPECT_EQ(r.status, 401);
    EXPECT_EQ(r.Json()["error"], "invalid_client");
}

TEST_F(GoogleDriveTest, BearerTokenChecks) {
    struct Case {
        std::string name;
        std::string header;
        std::string reason;
    };
    std::string expiring = emulator->IssueTokens(Cloud::GoogleDrive, "app.apps.googleusercontent.com").accessToken;
    emulator->ExpireAccessTokens(Cloud::GoogleDrive);
    for (const Case& c : {Case{"missing", "", "required"}, Case{"wrong", HttpsClient::Bearer("nope"), "authError"},
                          Case{"expired", HttpsClient::Bearer(expiring), "authError"}}) {
        Reply r = client.Send("GET", Api, "",
                              c.header.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.header});
        EXPECT_EQ(r.status, 401) << c.name;
        EXPECT_EQ(r.Json()["error"]["errors"][0]["reason"], c.reason) << c.name;
        EXPECT_EQ(r.Json()["error"]["code"], 401) << c.name;
    }
}

TEST_F(GoogleDriveTest, FileLifeCycleAsTheAdapterDrivesIt) {
    Reply folder = Json(
        "POST", Api, R"({"title":"Docs","mimeType":"application/vnd.google-apps.folder","parents":[{"id":"root"}]})");
    ASSERT_EQ(folder.status, 200) << folder.body;
    std::string folderId = folder.Json()["id"];
    EXPECT_EQ(folder.Json()["parents"][0]["isRoot"], true);
    EXPECT_FALSE(folder.Json().contains("fileSize"));
    EXPECT_FALSE(folder.Json().contains("downloadUrl"));

    Reply uploaded = client.Send("POST", Upload + "?uploadType=media", "hello",
                                 {HttpsClient::Bearer(token), "Content-Type: text/plain"});
    ASSERT_EQ(uploaded.status, 200);
    EXPECT_EQ(uploaded.Json()["title"], "Untitled");
    EXPECT_EQ(uploaded.Json()["mimeType"], "text/plain");
    EXPECT_EQ(uploaded.Json()["fileSize"], "5");  // a JSON string
    std::string fileId = uploaded.Json()["id"];

    Reply moved = Json("PUT", Api + "/" + fileId, R"({"title":"a.txt","parents":[{"id":")" + folderId + R"("}]})");
    ASSERT_EQ(moved.status, 200);
    EXPECT_EQ(moved.Json()["title"], "a.txt");
    EXPECT_EQ(moved.Json()["parents"][0]["id"], folderId);

    Reply listed = client.Get(Api + "?q=%27" + folderId + "%27+in+parents+and+trashed+%3D+false", token);
    ASSERT_EQ(listed.status, 200);
    ASSERT_EQ(listed.Json()["items"].size(), 1u);
    EXPECT_FALSE(listed.Json().contains("nextPageToken"));
    std::string downloadUrl = listed.Json()["items"][0]["downloadUrl"];

    EXPECT_EQ(client.Get(downloadUrl, token).body, "hello");
    EXPECT_EQ(client.Get(downloadUrl).status, 401);

    Reply replaced =
        client.Send("PUT", Upload + "/" + fileId + "?uploadType=media", "hello again", {HttpsClient::Bearer(token)});
    ASSERT_EQ(replaced.status, 200);
    EXPECT_EQ(replaced.Json()["fileSize"], "11");
    EXPECT_EQ(replaced.Json()["title"], "a.txt");

    EXPECT_EQ(client.Send("DELETE", Api + "/" + folderId, "", {HttpsClient::Bearer(token)}).status, 204);
    EXPECT_EQ(client.Get(Api + "/" + fileId, token).status, 404);  // went with its folder
}

TEST_F(GoogleDriveTest, DuplicateTitlesAreAllowed) {
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(Json("POST", Api, R"({"title":"Same","mimeType":"application/vnd.google-apps.folder"})").status, 200);
    EXPECT_EQ(emulator->Children(Cloud::GoogleDrive, "").size(), 2u);
}

TEST_F(GoogleDriveTest, BadRequestsGetGoogleErrors) {
    std::string fileId = emulator->AddFile(Cloud::GoogleDrive, "x.txt", "x");
    struct Case {
        std::string method, url, body;
        int status;
        std::string reason;
    };
    const Case cases[] = {
        {"GET", Api + "/nope", "", 404, "notFound"},
        {"DELETE", Api + "/nope", "", 404, "notFound"},
        {"PUT", Api + "/" + fileId, "{not json", 400, "parseError"},
        {"PUT", Api + "/" + fileId, R"({"parents":[{"id":"missing"}]})", 404, "notFound"},
        {"GET", Api + "?q=%27x%27+in", "", 400, "invalid"},
        {"GET", Api + "?maxResults=1001", "", 400, "invalid"},
        {"GET", Api + "?pageToken=forged", "", 400, "invalid"},
        {"POST", Upload + "?uploadType=bogus", "x", 400, "invalid"},
        {"POST", Upload + "?uploadType=resumable", "x", 400, "parseError"},
        {"PUT", Upload + "/nope?uploadType=media", "x", 404, "notFound"},
    };
    for (const Case& c : cases) {
        Reply r = Json(c.method, c.url, c.body);
        EXPECT_EQ(r.status, c.status) << c.method << " " << c.url;
        EXPECT_EQ(r.Json()["error"]["errors"][0]["reason"], c.reason) << c.method << " " << c.url;
    }
}

TEST_F(GoogleDriveTest, ListingPagesFollowNextPageToken) {
    emulator->AddFolder(Cloud::GoogleDrive, "Big");
    for (int i = 0; i < 250; ++i) emulator->AddFile(Cloud::GoogleDrive, "Big/f" + std::to_string(i), "");
    std::string bigId = emulator->Find(Cloud::GoogleDrive, "Big")->id;
    std::string url = Api + "?q=%27" + bigId + "%27+in+parents";
    std::vector<std::size_t> pages;
    std::set<std::string> seen;
    std::string next = url;
    while (!next.empty() && pages.size() < 10) {
        Reply r = client.Get(next, token);
        ASSERT_EQ(r.status, 200);
        auto page = r.Json();
        pages.push_back(page["items"].size());
        for (const auto& item : page["items"]) seen.insert(item["id"].get<std::string>());
        next = page.contains("nextPageToken") ? url + "&pageToken=" + page["nextPageToken"].get<std::string>() : "";
    }
    EXPECT_EQ(pages, (std::vector<std::size_t>{100, 100, 50}));
    EXPECT_EQ(seen.size(), 250u);
    Reply all = client.Get(url + "&maxResults=1000", token);
    EXPECT_EQ(all.Json()["items"].size(), 250u) << all.body.substr(0, 300);
}

}  // namespace

namespace {

TEST_F(GoogleDriveTest, QueryLanguageSelectsAsTheServiceDoes) {
    std::string docs = emulator->AddFolder(Cloud::GoogleDrive, "Docs");
    emulator->AddFile(Cloud::GoogleDrive, "Docs/HelloWorld.txt", "x", "text/plain");
    emulator->AddFile(Cloud::GoogleDrive, "Docs/World report.pdf", "x", "application/pdf");
    emulator->AddFile(Cloud::GoogleDrive, "Docs/it's.txt", "x", "text/plain");
    emulator->AddFile(Cloud::GoogleDrive, "Other/World.txt", "x", "text/plain");
    const std::string inDocs = "'" + docs + "' in parents";
    struct Case {
        std::string q;
        std::set<std::string> titles;
    };
    const Case cases[] = {
        {inDocs + " and title contains 'World'", {"World report.pdf"}},  // words from their start only
        {inDocs + " and title contains 'hello'", {"HelloWorld.txt"}},
        {inDocs + " and mimeType != 'text/plain'", {"World report.pdf"}},
        {inDocs + " and (title = 'HelloWorld.txt' or mimeType contains 'pdf')", {"HelloWorld.txt", "World report.pdf"}},
        {inDocs + " and not mimeType = 'text/plain' and trashed = false", {"World report.pdf"}},
        {"title = 'it\\'s.txt'", {"it's.txt"}},
        {"title contains 'World' and not '" + docs + "' in parents", {"World.txt"}},
        {inDocs + " and modifiedDate > '2000-01-01T00:00:00'", {"HelloWorld.txt", "World report.pdf", "it's.txt"}},
        {inDocs + " and modifiedDate < '2000-01-01'", {}},
    };
    for (const Case& c : cases) {
        Reply r = client.Get(Api + "?q=" + HttpsClient::Encode({{"", c.q}}).substr(1), token);
        ASSERT_EQ(r.status, 200) << c.q << " " << r.body;
        std::set<std::string> titles;
        auto page = r.Json();
        for (const auto& item : page["items"]) titles.insert(item["title"].get<std::string>());
        EXPECT_EQ(titles, c.titles) << c.q;
    }
    for (const std::string bad : {"name = 'x'", "title < 'x'", "trashed = maybe", "(title = 'x'", "title = 'x' and",
                                  "modifiedDate > 'yesterday'", "'x' in nowhere"}) {
        Reply r = client.Get(Api + "?q=" + HttpsClient::Encode({{"", bad}}).substr(1), token);
        EXPECT_EQ(r.status, 400) << bad;
        EXPECT_EQ(r.Json()["error"]["errors"][0]["location"], "q") << bad;
    }
}

TEST_F(GoogleDriveTest, OutOfBandApprovalAddressHoldsNoCode) {
    Reply r = client.Get(AuthUrl(Oob, "&emulator_decision=allow"));
    ASSERT_EQ(r.status, 302);
    std::string location = r.Header("location");
    EXPECT_EQ(location.find("code"), std::string::npos) << location;
    EXPECT_EQ(location.find("oob"), std::string::npos) << location;
    Reply page = client.Get(location);
    auto start = page.body.find("<title>Success code=") + 20;
    std::string code = page.body.substr(start, page.body.find("</title>") - start);
    // The newer token endpoint takes the code as the older one does, and revoking ends the token.
    Reply tokens = client.Form("https://oauth2.googleapis.com/token", {{"code", code},
                                                                       {"client_id", "app.apps.googleusercontent.com"},
                                                                       {"client_secret", "s3cret"},
                                                                       {"redirect_uri", Oob},
                                                                       {"grant_type", "authorization_code"}});
    ASSERT_EQ(tokens.status, 200) << tokens.body;
    std::string access = tokens.Json()["access_token"];
    EXPECT_EQ(client.Get(Api, access).status, 200);
    EXPECT_EQ(client.Get("https://oauth2.googleapis.com/revoke?token=" + access).status, 404);  // POST only there
    EXPECT_EQ(client.Form("https://oauth2.googleapis.com/revoke", {{"token", access}}).status, 200);
    EXPECT_EQ(client.Get(Api, access).status, 401);
    Reply again = client.Get("https://accounts.google.com/o/oauth2/revoke?token=" + access);
    EXPECT_EQ(again.status, 400);
    EXPECT_EQ(again.Json()["error"], "invalid_token");
}

}  // namespace
