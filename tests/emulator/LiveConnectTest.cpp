#include "EmulatorFixture.h"
#include "RawConnection.h"

#include <gtest/gtest.h>

#include <set>

using namespace Nimbo::Emulator;
using namespace EmulatorTest;

namespace {

const std::string Api = "https://apis.live.net/v5.0";
const std::string Authorize = "https://login.live.com/oauth20_authorize.srf";
const std::string TokenUrl = "https://login.live.com/oauth20_token.srf";
const std::string Desktop = "https://login.live.com/oauth20_desktop.srf";
const std::string WebRedirect = "https://app.example/cb";
const std::string AllScopes = "wl.basic,wl.offline_access,wl.photos,wl.skydrive,wl.skydrive_update";

class LiveConnectTest : public EmulatorFixture {
protected:
    LiveConnectTest() : EmulatorFixture({Cloud::LiveConnect, "000000004C0E1234", "s3cret", {WebRedirect}}) {}

    // The sign-in URL as the adapter builds it, plus extra query text.
    static std::string SignInUrl(const std::string& scopes, const std::string& extra = "") {
        return Authorize + "?client_id=000000004C0E1234&scope=" + HttpsClient::Encode({{"", scopes}}).substr(1) +
               "&redirect_uri=" + HttpsClient::Encode({{"", Desktop}}).substr(1) + "&response_type=code" + extra;
    }
    std::string SignIn(const std::string& scopes) const {
        Reply r = client.Get(SignInUrl(scopes, "&emulator_decision=allow"));
        EXPECT_EQ(r.status, 302);
        return HttpsClient::QueryValue(r.Header("location"), "code");
    }
    Reply Redeem(const std::string& code, const std::string& secret = "s3cret") const {
        Fields form{{"code", code}, {"client_id", "000000004C0E1234"}};
        if (!secret.empty()) form.emplace_back("client_secret", secret);
        form.insert(form.end(), {{"redirect_uri", Desktop}, {"grant_type", "authorization_code"}});
        return client.Form(TokenUrl, form);
    }
    Reply Refresh(const std::string& refreshToken, const std::string& scope = "") const {
        Fields form{{"client_id", "000000004C0E1234"},
                    {"client_secret", "s3cret"},
                    {"redirect_uri", Desktop},
                    {"grant_type", "refresh_token"},
                    {"refresh_token", refreshToken}};
        if (!scope.empty()) form.emplace_back("scope", scope);
        return client.Form(TokenUrl, form);
    }
    Reply Call(const std::string& method, const std::string& path, const std::string& body = "",
               const std::string& bearer = "") const {
        return client.Send(method, Api + path, body, {HttpsClient::Bearer(bearer.empty() ? token : bearer)});
    }
    std::string RootId() const { return Call("GET", "/me/skydrive").Json()["id"]; }
};

TEST_F(LiveConnectTest, DesktopSignInEndsOnTheDesktopPageAndTheCodeWorksOnce) {
    Reply r = client.Get(SignInUrl(AllScopes, "&state=s1&emulator_decision=allow"));
    ASSERT_EQ(r.status, 302);
    std::string location = r.Header("location");
    EXPECT_EQ(location.rfind(Desktop + "?code=", 0), 0u) << location;
    EXPECT_EQ(HttpsClient::QueryValue(location, "lc"), "1033");
    EXPECT_EQ(HttpsClient::QueryValue(location, "state"), "s1");
    EXPECT_EQ(client.Get(location).status, 200);

    Reply tokens = Redeem(HttpsClient::QueryValue(location, "code"));
    ASSERT_EQ(tokens.status, 200) << tokens.body;
    auto json = tokens.Json();
    EXPECT_EQ(json["token_type"], "bearer");
    EXPECT_EQ(json["expires_in"], 3600);
    EXPECT_EQ(json["scope"], "wl.basic wl.offline_access wl.photos wl.skydrive wl.skydrive_update");
    EXPECT_TRUE(json["refresh_token"].is_string());
    EXPECT_FALSE(json.contains("authentication_token"));  // wl.signin was not asked for
    EXPECT_EQ(client.Get(Api + "/me", json["access_token"]).status, 200);

    Reply again = Redeem(HttpsClient::QueryValue(location, "code"));
    EXPECT_EQ(again.status, 400);
    EXPECT_EQ(again.Json()["error"], "invalid_grant");
}

TEST_F(LiveConnectTest, RefreshTokenOnlyWithOfflineAccess) {
    struct Case {
        std::string scopes;
        bool refresh, authentication;
    };
    for (const Case& c : {Case{"wl.skydrive wl.offline_access", true, false}, Case{"wl.skydrive", false, false},
                          Case{"wl.signin,wl.basic", false, true}}) {
        Reply tokens = Redeem(SignIn(c.scopes));
        ASSERT_EQ(tokens.status, 200) << c.scopes;
        EXPECT_EQ(tokens.Json().contains("refresh_token"), c.refresh) << c.scopes;
        EXPECT_EQ(tokens.Json().contains("authentication_token"), c.authentication) << c.scopes;
    }
}

TEST_F(LiveConnectTest, TokenEndpointChecksTheClient) {
    struct Case {
        std::string name;
        Fields form;
        std::string error;
    };
    const Case cases[] = {
        {"unknown client",
         {{"code", "x"}, {"client_id", "nobody"}, {"redirect_uri", Desktop}, {"grant_type", "authorization_code"}},
         "invalid_client"},
        {"wrong secret",
         {{"code", SignIn("wl.skydrive")},
          {"client_id", "000000004C0E1234"},
          {"client_secret", "wrong"},
          {"redirect_uri", Desktop},
          {"grant_type", "authorization_code"}},
         "invalid_client"},
        {"no secret off the desktop",
         {{"refresh_token", "x"},
          {"client_id", "000000004C0E1234"},
          {"redirect_uri", WebRedirect},
          {"grant_type", "refresh_token"}},
         "invalid_client"},
        {"no grant type", {{"client_id", "000000004C0E1234"}}, "invalid_request"},
        {"other grant", {{"client_id", "000000004C0E1234"}, {"grant_type", "password"}}, "unsupported_grant_type"},
        {"unknown code",
         {{"code", "nope"},
          {"client_id", "000000004C0E1234"},
          {"client_secret", "s3cret"},
          {"redirect_uri", Desktop},
          {"grant_type", "authorization_code"}},
         "invalid_grant"},
    };
    for (const Case& c : cases) {
        Reply r = client.Form(TokenUrl, c.form);
        EXPECT_EQ(r.status, 400) << c.name;
        EXPECT_EQ(r.Json()["error"], c.error) << c.name;
        EXPECT_TRUE(r.Json()["error_description"].is_string()) << c.name;
    }
    // A desktop application may leave its secret out.
    EXPECT_EQ(Redeem(SignIn("wl.skydrive"), "").status, 200);
}

TEST_F(LiveConnectTest, RefreshGrantRenewsWithinTheGrantedScopes) {
    std::string refresh = Redeem(SignIn("wl.basic wl.skydrive wl.offline_access")).Json()["refresh_token"];
    Reply renewed = Refresh(refresh);
    ASSERT_EQ(renewed.status, 200) << renewed.body;
    EXPECT_EQ(renewed.Json()["scope"], "wl.basic wl.skydrive wl.offline_access");
    EXPECT_EQ(client.Get(Api + "/me/skydrive", renewed.Json()["access_token"]).status, 200);
    EXPECT_EQ(Refresh(refresh).status, 200);  // Live refresh tokens may be used again

    Reply narrower = Refresh(refresh, "wl.skydrive");
    ASSERT_EQ(narrower.status, 200);
    EXPECT_EQ(client.Get(Api + "/me", narrower.Json()["access_token"]).status, 403);
    EXPECT_EQ(Refresh(refresh, "wl.skydrive_update").Json()["error"], "invalid_scope");

    emulator->RevokeRefreshTokens(Cloud::LiveConnect);
    Reply revoked = Refresh(refresh);
    EXPECT_EQ(revoked.status, 400);
    EXPECT_EQ(revoked.Json()["error"], "invalid_grant");
}

TEST_F(LiveConnectTest, SignInPageAsksOrRefuses) {
    Reply page = client.Get(SignInUrl(AllScopes));
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("name=\"decision\" value=\"deny\""), std::string::npos);

    struct Case {
        std::string name, url, error, description;
    };
    const Case cases[] = {
        {"denied", SignInUrl(AllScopes, "&emulator_decision=deny&emulator_deny_reason=Not+now"), "access_denied",
         "Not now"},
        {"no scope", SignInUrl("", "&emulator_decision=allow"), "invalid_request", ""},
        {"unknown scope", SignInUrl("wl.everything", "&emulator_decision=allow"), "invalid_scope", ""},
    };
    for (const Case& c : cases) {
        Reply r = client.Get(c.url);
        ASSERT_EQ(r.status, 302) << c.name;
        std::string location = r.Header("location");
        EXPECT_EQ(location.rfind(Desktop + "?error=", 0), 0u) << c.name;
        EXPECT_EQ(HttpsClient::QueryValue(location, "error"), c.error) << c.name;
        if (!c.description.empty())
            EXPECT_EQ(HttpsClient::QueryValue(location, "error_description"), c.description) << c.name;
        else
            EXPECT_FALSE(HttpsClient::QueryValue(location, "error_description").empty()) << c.name;
    }
    Reply web = client.Get(Authorize +
                           "?client_id=000000004C0E1234&scope=wl.basic&response_type=code&emulator_decision=allow"
                           "&redirect_uri=https%3A%2F%2Fapp.example%2Fcb");
    EXPECT_EQ(web.Header("location").rfind(WebRedirect + "?code=", 0), 0u);  // a registered redirect works too
    EXPECT_EQ(
        client.Get(Authorize + "?client_id=nobody&scope=wl.basic&response_type=code&redirect_uri=" + Desktop).status,
        400);
    EXPECT_EQ(client
                  .Get(Authorize + "?client_id=000000004C0E1234&scope=wl.basic&response_type=code"
                                   "&redirect_uri=https%3A%2F%2Fevil.example%2F")
                  .status,
              400);
}

TEST_F(LiveConnectTest, BearerTokenChecksAndScopes) {
    std::string expiring = emulator->IssueTokens(Cloud::LiveConnect, "000000004C0E1234").accessToken;
    emulator->ExpireAccessTokens(Cloud::LiveConnect);
    token = emulator->IssueTokens(Cloud::LiveConnect, "000000004C0E1234").accessToken;
    std::string readOnly = emulator->IssueTokens(Cloud::LiveConnect, "000000004C0E1234", "wl.skydrive").accessToken;
    struct Case {
        std::string name, method, path, header;
        int status;
        std::string code;
    };
    const Case cases[] = {
        {"missing", "GET", "/me/skydrive", "", 401, "request_token_missing"},
        {"wrong", "GET", "/me/skydrive", HttpsClient::Bearer("nope"), 401, "request_token_invalid"},
        {"expired", "GET", "/me/skydrive", HttpsClient::Bearer(expiring), 401, "request_token_expired"},
        {"no wl.basic", "GET", "/me", HttpsClient::Bearer(readOnly), 403, "request_token_unauthorized"},
        {"read-only", "POST", "/me/skydrive", HttpsClient::Bearer(readOnly), 403, "request_token_unauthorized"},
    };
    for (const Case& c : cases) {
        Reply r = client.Send(c.method, Api + c.path, R"({"name":"x"})",
                              c.header.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.header});
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.Json()["error"]["code"], c.code) << c.name;
        EXPECT_TRUE(r.Json()["error"]["message"].is_string()) << c.name;
    }
    EXPECT_EQ(client.Get(Api + "/me/skydrive?access_token=" + readOnly).status, 200);  // the documented query style
}

TEST_F(LiveConnectTest, RootAndUserObjects) {
    emulator->SetAccountName(Cloud::LiveConnect, "Jack Jill");
    Reply me = Call("GET", "/me");
    ASSERT_EQ(me.status, 200);
    EXPECT_EQ(me.Json()["name"], "Jack Jill");
    EXPECT_EQ(me.Json()["first_name"], "Jack");
    EXPECT_EQ(me.Json()["last_name"], "Jill");

    emulator->AddFile(Cloud::LiveConnect, "a.txt", "abc");
    Reply root = Call("GET", "/me/skydrive");
    ASSERT_EQ(root.status, 200);
    auto json = root.Json();
    EXPECT_EQ(json["id"].get<std::string>().rfind("folder.", 0), 0u);
    EXPECT_EQ(json["type"], "folder");
    EXPECT_TRUE(json["parent_id"].is_null());
    EXPECT_TRUE(json["created_time"].is_null());
    EXPECT_EQ(json["count"], 1);
    EXPECT_EQ(json["upload_location"], "https://apis.live.net/v5.0/" + json["id"].get<std::string>() + "/files/");
    // Times carry an offset without a colon.
    EXPECT_EQ(json["updated_time"].get<std::string>().substr(19), "+0000");
    EXPECT_EQ(Call("GET", "/" + json["id"].get<std::string>()).Json()["id"], json["id"]);
}

TEST_F(LiveConnectTest, FileLifeCycleAsTheAdapterDrivesIt) {
    std::string root = RootId();
    Reply folder = Call("POST", "/" + root, R"({"name":"Docs"})");
    ASSERT_EQ(folder.status, 201) << folder.body;
    std::string folderId = folder.Json()["id"];
    EXPECT_EQ(folder.Json()["parent_id"], root);
    EXPECT_EQ(folder.Json()["count"], 0);

    Reply created = Call("PUT", "/" + folderId + "/files/a%20b.txt", "hello");
    ASSERT_EQ(created.status, 201) << created.body;
    auto stored = created.Json();
    EXPECT_EQ(stored["name"], "a b.txt");
    EXPECT_EQ(stored.size(), 3u);  // id, name, source only
    std::string fileId = stored["id"];
    EXPECT_EQ(fileId.rfind("file.", 0), 0u);

    Reply listed = Call("GET", "/" + folderId + "/files");
    ASSERT_EQ(listed.status, 200);
    ASSERT_EQ(listed.Json()["data"].size(), 1u);
    auto entry = listed.Json()["data"][0];
    EXPECT_EQ(entry["type"], "file");
    EXPECT_EQ(entry["size"], 5);
    EXPECT_EQ(entry["parent_id"], folderId);
    EXPECT_TRUE(listed.Json()["paging"].empty());

    Reply redirect = Call("GET", "/" + fileId + "/content");
    ASSERT_EQ(redirect.status, 302);
    std::string source = redirect.Header("location");
    EXPECT_EQ(client.Get(source).body, "hello");  // no token needed at the storage host
    Reply range = client.Send("GET", source, "", {"Range: bytes=1-3"});
    EXPECT_EQ(range.status, 206);
    EXPECT_EQ(range.body, "ell");
    EXPECT_EQ(Call("GET", "/" + fileId + "/content?suppress_redirects=true").Json()["location"], source);

    Reply replaced = Call("PUT", "/" + fileId + "/content", "hello again");
    ASSERT_EQ(replaced.status, 200);
    EXPECT_EQ(replaced.Json()["id"], fileId);
    EXPECT_EQ(client.Get(source).status, 404);  // download links do not outlive the content
    EXPECT_EQ(client.Get(replaced.Json()["source"]).body, "hello again");

    EXPECT_EQ(Call("DELETE", "/" + folderId).status, 204);
    Reply gone = Call("GET", "/" + fileId);
    EXPECT_EQ(gone.status, 404);
    EXPECT_EQ(gone.Json()["error"]["code"], "resource_not_found");
}

TEST_F(LiveConnectTest, UploadNameConflictsFollowOverwrite) {
    std::string root = RootId();
    std::string first = Call("PUT", "/" + root + "/files/a.txt", "one").Json()["id"];
    Call("POST", "/" + root, R"({"name":"Sub"})");
    struct Case {
        std::string path;
        int status;
        std::string name;
    };
    const Case cases[] = {
        {"/files/A.TXT", 200, "a.txt"},  // overwrite by default; names ignore case
        {"/files/a.txt?overwrite=true", 200, "a.txt"},
        {"/files/a.txt?overwrite=false", 409, ""},
        {"/files/a.txt?overwrite=ChooseNewName", 201, "a (1).txt"},
        {"/files/a.txt?overwrite=choosenewname", 201, "a (2).txt"},
        {"/files/sub", 409, ""},  // a folder is never replaced by a file
        {"/files/a.txt?overwrite=maybe", 400, ""},
        {"/files/a%3Ab.txt", 400, ""},
    };
    for (const Case& c : cases) {
        Reply r = Call("PUT", "/" + root + c.path, "new");
        EXPECT_EQ(r.status, c.status) << c.path << " " << r.body;
        if (c.name.empty())
            EXPECT_TRUE(r.Json()["error"]["code"].is_string()) << c.path;
        else
            EXPECT_EQ(r.Json()["name"], c.name) << c.path;
    }
    EXPECT_EQ(Call("PUT", "/" + root + "/files/a.txt?overwrite=false", "x").Json()["error"]["code"],
              "resource_already_exists");
    EXPECT_EQ(emulator->Find(Cloud::LiveConnect, "a.txt")->id, first);
    EXPECT_EQ(emulator->Children(Cloud::LiveConnect, "").size(), 4u);
}

TEST_F(LiveConnectTest, ListingPagesFollowNextLinks) {
    std::string big = emulator->AddFolder(Cloud::LiveConnect, "Big");
    for (int i = 0; i < 5; ++i) emulator->AddFile(Cloud::LiveConnect, "Big/f" + std::to_string(i), "");
    EXPECT_EQ(Call("GET", "/" + big + "/files").Json()["data"].size(), 5u);  // no limit: everything

    std::vector<std::size_t> pages;
    std::set<std::string> seen;
    std::string next = Api + "/" + big + "/files?limit=2";
    while (!next.empty() && pages.size() < 10) {
        Reply r = client.Get(next, token);
        ASSERT_EQ(r.status, 200);
        auto page = r.Json();
        pages.push_back(page["data"].size());
        for (const auto& item : page["data"]) seen.insert(item["name"].get<std::string>());
        EXPECT_EQ(page["paging"].contains("previous"), pages.size() > 1);
        next = page["paging"].value("next", "");
    }
    EXPECT_EQ(pages, (std::vector<std::size_t>{2, 2, 1}));
    EXPECT_EQ(seen.size(), 5u);

    auto names = [&](const std::string& query) {
        std::vector<std::string> result;
        auto page = Call("GET", "/" + big + "/files?" + query).Json();
        for (const auto& item : page["data"]) result.push_back(item["name"]);
        return result;
    };
    EXPECT_EQ(names("sort_by=name&sort_order=descending&limit=2&offset=1"), (std::vector<std::string>{"f3", "f2"}));
    EXPECT_TRUE(names("filter=folders").empty());
    for (const char* bad : {"limit=0", "limit=-1", "offset=x", "filter=everything"})
        EXPECT_EQ(Call("GET", "/" + big + "/files?" + bad).Json()["error"]["code"], "request_parameter_invalid") << bad;
}

TEST_F(LiveConnectTest, BadRequestsGetLiveErrors) {
    std::string root = RootId();
    std::string file = emulator->AddFile(Cloud::LiveConnect, "x.txt", "x");
    emulator->AddFolder(Cloud::LiveConnect, "Taken");
    struct Case {
        std::string method, path, body;
        int status;
        std::string code;
    };
    const Case cases[] = {
        {"GET", "/folder.nope", "", 404, "resource_not_found"},
        {"DELETE", "/file.nope", "", 404, "resource_not_found"},
        {"POST", "/" + root, "{not json", 400, "request_body_invalid"},
        {"POST", "/" + root, R"({"name":42})", 400, "request_body_invalid"},
        {"POST", "/" + root, R"({"name":".."})", 400, "request_body_invalid"},
        {"POST", "/" + root, R"({"name":"TAKEN"})", 409, "resource_already_exists"},
        {"POST", "/" + file, R"({"name":"inside a file"})", 400, "request_url_invalid"},
        {"PUT", "/" + file + "/files/y.txt", "y", 400, "request_url_invalid"},
        {"GET", "/" + root + "/content", "", 400, "request_url_invalid"},
        {"GET", "/" + file + "/comments", "", 400, "request_url_invalid"},
        {"PATCH", "/" + file, "", 405, "request_method_invalid"},
        {"DELETE", "/" + root, "", 405, "request_method_invalid"},
    };
    for (const Case& c : cases) {
        Reply r = Call(c.method, c.path, c.body);
        EXPECT_EQ(r.status, c.status) << c.method << " " << c.path;
        EXPECT_EQ(r.Json()["error"]["code"], c.code) << c.method << " " << c.path;
    }
    EXPECT_EQ(Call("GET", "/folder.nope?suppress_response_codes=true").status, 200);
}

TEST_F(LiveConnectTest, UploadsOver100MegabytesAreRefusedBeforeTheBody) {
    std::string fileId = emulator->AddFile(Cloud::LiveConnect, "a.txt", "kept");
    const std::string over = "Content-Length: " + std::to_string((100u << 20) + 1) + "\r\n";
    for (const std::string& target : {std::string("/v5.0/me/skydrive/files/big.bin"), "/v5.0/" + fileId + "/content",
                                      std::string("/v5.0/me/skydrive/files?overwrite=true")}) {
        RawConnection connection(emulator->Port(), "apis.live.net");
        connection.Send("PUT " + target + " HTTP/1.1\r\nHost: apis.live.net\r\nAuthorization: Bearer " + token +
                        "\r\n" + over + "\r\n");
        RawReply reply = connection.Read();
        EXPECT_EQ(reply.status, 413) << target;
        auto error = nlohmann::json::parse(reply.body, nullptr, false)["error"];
        EXPECT_EQ(error["code"], "request_entity_too_large") << target << " " << reply.body;
        EXPECT_EQ(error["message"], "The request entity body has exceeded the maximum size.") << target;
    }
    EXPECT_EQ(emulator->Find(Cloud::LiveConnect, "a.txt")->content, "kept");
}

// MOVE and COPY as the verbs themselves, and as POST with the verb in the query for clients that
// cannot send other verbs: the same answers either way.
class LiveMoveCopyTest : public LiveConnectTest, public ::testing::WithParamInterface<bool> {
protected:
    Reply Call(const std::string& method, const std::string& id, const std::string& destination,
               const std::string& with = "") {
        const bool asVerb = GetParam();
        return client.Send(asVerb ? method : "POST", Api + "/" + id + (asVerb ? "" : "?method=" + method),
                           R"({"destination":")" + destination + R"("})",
                           {HttpsClient::Bearer(with.empty() ? token : with), "Content-Type: application/json"});
    }
};

TEST_P(LiveMoveCopyTest, MoveKeepsTheIdCopyMakesANewOneAndBadCallsGetLiveErrors) {
    std::string docs = emulator->AddFolder(Cloud::LiveConnect, "Docs");
    std::string other = emulator->AddFolder(Cloud::LiveConnect, "Other");
    std::string file = emulator->AddFile(Cloud::LiveConnect, "Docs/a.txt", "content");
    emulator->AddFile(Cloud::LiveConnect, "Other/taken.txt", "x");
    Reply copied = Call("COPY", file, other);
    ASSERT_EQ(copied.status, 201) << copied.body;
    EXPECT_NE(copied.Json()["id"], file);
    EXPECT_EQ(copied.Json()["parent_id"], other);
    EXPECT_EQ(emulator->Find(Cloud::LiveConnect, "Other/a.txt")->content, "content");

    Reply moved = Call("MOVE", docs, other);
    ASSERT_EQ(moved.status, 201) << moved.body;
    EXPECT_EQ(moved.Json()["id"], docs);  // a move keeps the id
    EXPECT_EQ(moved.Json()["parent_id"], other);
    EXPECT_EQ(emulator->Find(Cloud::LiveConnect, "Other/Docs/a.txt")->id, file);

    std::string reader = emulator->IssueTokens(Cloud::LiveConnect, "000000004C0E1234", "wl.skydrive").accessToken;
    struct Case {
        std::string name;
        Reply reply;
        int status;
        std::string code;
    };
    const Case cases[] = {
        {"a folder copied", Call("COPY", docs, "me/skydrive"), 400, "request_parameter_invalid"},
        {"the root moved", Call("MOVE", "me/skydrive", other), 400, "request_parameter_invalid"},
        {"into a file", Call("MOVE", file, emulator->Find(Cloud::LiveConnect, "Other/taken.txt")->id), 400,
         "request_parameter_invalid"},
        {"into itself", Call("MOVE", other, docs), 400, "request_parameter_invalid"},
        {"onto a name in use", Call("COPY", file, other), 409, "resource_already_exists"},
        {"an unknown destination", Call("MOVE", file, "folder.nope"), 404, "resource_not_found"},
        {"without the update scope", Call("MOVE", file, "me/skydrive", reader), 403, "request_token_unauthorized"},
        {"without a token",
         client.Send(GetParam() ? "MOVE" : "POST", Api + "/" + file + (GetParam() ? "" : "?method=MOVE"),
                     R"({"destination":"me/skydrive"})", {"Content-Type: application/json"}),
         401, "request_token_missing"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.reply.status, c.status) << c.name << " " << c.reply.body;
        EXPECT_EQ(c.reply.Json()["error"]["code"], c.code) << c.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Live, LiveMoveCopyTest, ::testing::Bool(), [](const ::testing::TestParamInfo<bool>& info) {
    return info.param ? "Verb" : "MethodInQuery";
});

TEST_F(LiveConnectTest, AVerbRequestThatCannotBeReadIsRefusedAndTheConnectionClosed) {
    std::string file = emulator->AddFile(Cloud::LiveConnect, "a.txt", "content");
    const std::string head =
        "COPY /v5.0/" + file + " HTTP/1.1\r\nHost: apis.live.net\r\nAuthorization: Bearer " + token + "\r\n";
    for (const std::string& rest :
         {std::string("Content-Length: 99999999\r\n\r\n{}"), std::string("Transfer-Encoding: chunked\r\n\r\n"),
          std::string("no colon here\r\n\r\n")}) {
        RawConnection raw(emulator->Port(), "apis.live.net");
        raw.Send(head + rest);
        RawReply refused = raw.Read();
        EXPECT_EQ(refused.status, 400) << rest;
        EXPECT_TRUE(raw.ClosedByServer(5000)) << rest;
    }
    EXPECT_EQ(emulator->Find(Cloud::LiveConnect, "a.txt")->content, "content");
}

TEST_F(LiveConnectTest, PutOnAnItemRenamesItAndRefusesATakenOrBadName) {
    std::string file = emulator->AddFile(Cloud::LiveConnect, "Docs/a.txt", "content");
    emulator->AddFile(Cloud::LiveConnect, "Docs/taken.txt", "x");
    auto put = [&](const std::string& id, const std::string& body) {
        return client.Send("PUT", Api + "/" + id, body, {HttpsClient::Bearer(token), "Content-Type: application/json"});
    };
    Reply renamed = put(file, R"({"name":"b é.txt","description":"notes"})");
    ASSERT_EQ(renamed.status, 200) << renamed.body;
    EXPECT_EQ(renamed.Json()["id"], file);
    EXPECT_EQ(renamed.Json()["name"], "b é.txt");
    EXPECT_EQ(renamed.Json()["description"], "notes");
    EXPECT_EQ(emulator->Find(Cloud::LiveConnect, "Docs/b é.txt")->content, "content");

    struct Case {
        std::string name;
        Reply reply;
        int status;
        std::string code;
    };
    const Case cases[] = {
        {"a name in use", put(file, R"({"name":"taken.txt"})"), 409, "resource_already_exists"},
        {"a bad name", put(file, R"({"name":"a/b"})"), 400, "request_body_invalid"},
        {"not JSON", put(file, "name=x"), 400, "request_body_invalid"},
        {"the root renamed", put("me/skydrive", R"({"name":"x"})"), 400, "request_parameter_invalid"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.reply.status, c.status) << c.name << " " << c.reply.body;
        EXPECT_EQ(c.reply.Json()["error"]["code"], c.code) << c.name;
    }
    EXPECT_TRUE(emulator->Find(Cloud::LiveConnect, "Docs/b é.txt"));
}

TEST_F(LiveConnectTest, QuotaCountsWhatIsStored) {
    auto before = client.Get(Api + "/me/skydrive/quota", token).Json();
    ASSERT_TRUE(before["quota"].is_number_integer());
    emulator->AddFile(Cloud::LiveConnect, "a.bin", std::string(1000, 'x'));
    auto after = client.Get(Api + "/me/skydrive/quota", token).Json();
    EXPECT_EQ(after["quota"], before["quota"]);
    EXPECT_EQ(before["available"].get<std::int64_t>() - after["available"].get<std::int64_t>(), 1000);
}

}  // namespace
