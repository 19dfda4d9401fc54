#include "EmulatorFixture.h"

#include <gtest/gtest.h>

#include <set>

using namespace Nimbo::Emulator;
using namespace EmulatorTest;

namespace {

const std::string Api = "https://api.box.com/2.0";
const std::string Upload = "https://upload.box.com/api/2.0/files";
const std::string Authorize = "https://app.box.com/api/oauth2/authorize";
const std::string TokenUrl = "https://app.box.com/api/oauth2/token";
const std::string Redirect = "https://app.example/blank";
const std::string ListFields = "?fields=name%2Csize%2Ccreated_at%2Cmodified_at";

class BoxTest : public EmulatorFixture {
protected:
    BoxTest() : EmulatorFixture({Cloud::Box, "boxclient", "s3cret", {Redirect}}) {}

    std::string SignIn(const std::string& extra = "") const {
        Reply r = client.Get(Authorize +
                             "?client_id=boxclient&redirect_uri=https%3A%2F%2Fapp.example%2Fblank&response_type=code"
                             "&emulator_decision=allow" +
                             extra);
        EXPECT_EQ(r.status, 302);
        return HttpsClient::QueryValue(r.Header("location"), "code");
    }
    // The adapter's code exchange: four fields, no redirect_uri.
    Reply Redeem(const std::string& code, const std::string& secret = "s3cret") const {
        return client.Form(TokenUrl, {{"code", code},
                                      {"client_id", "boxclient"},
                                      {"client_secret", secret},
                                      {"grant_type", "authorization_code"}});
    }
    Reply Refresh(const std::string& refreshToken) const {
        return client.Form(TokenUrl, {{"client_id", "boxclient"},
                                      {"client_secret", "s3cret"},
                                      {"redirect_uri", Redirect},
                                      {"grant_type", "refresh_token"},
                                      {"refresh_token", refreshToken}});
    }
    Reply Call(const std::string& method, const std::string& url, const std::string& body = "",
               std::vector<std::string> headers = {}) const {
        headers.push_back(HttpsClient::Bearer(token));
        return client.Send(method, url, body, headers);
    }
    // createFile as the adapter sends it: the file part first, then parent_id.
    Reply Create(const std::string& name, const std::string& content, const std::string& parentId = "0") const {
        return client.Multipart(Upload + "/content", {{name, content, name, ""}, {"parent_id", parentId, "", ""}},
                                token);
    }
};

TEST_F(BoxTest, CodeGrantWorksOnceAndGivesBothTokens) {
    Reply r = client.Get(Authorize + "?client_id=boxclient&response_type=code&state=s1&emulator_decision=allow");
    ASSERT_EQ(r.status, 302);  // redirect_uri left out: the one registered
    std::string location = r.Header("location");
    EXPECT_EQ(location.rfind(Redirect + "?state=s1&code=", 0), 0u) << location;

    Reply tokens = Redeem(HttpsClient::QueryValue(location, "code"));
    ASSERT_EQ(tokens.status, 200) << tokens.body;
    auto json = tokens.Json();
    EXPECT_EQ(json["token_type"], "bearer");
    EXPECT_TRUE(json["restricted_to"].is_array());
    EXPECT_TRUE(json["refresh_token"].is_string());
    ASSERT_TRUE(json["expires_in"].is_number_integer());
    EXPECT_GE(json["expires_in"].get<int>(), 3600);
    EXPECT_LT(json["expires_in"].get<int>(), 4200);
    EXPECT_EQ(client.Get(Api + "/users/me", json["access_token"]).status, 200);

    Reply again = Redeem(HttpsClient::QueryValue(location, "code"));
    EXPECT_EQ(again.status, 400);
    EXPECT_EQ(again.Json()["error"], "invalid_grant");
}

TEST_F(BoxTest, RefreshTokensWorkOnce) {
    std::string first = Redeem(SignIn()).Json()["refresh_token"];
    Reply renewed = Refresh(first);
    ASSERT_EQ(renewed.status, 200) << renewed.body;
    std::string second = renewed.Json()["refresh_token"];
    EXPECT_NE(second, first);
    EXPECT_EQ(client.Get(Api + "/users/me", renewed.Json()["access_token"]).status, 200);

    Reply reused = Refresh(first);
    EXPECT_EQ(reused.status, 400);
    EXPECT_EQ(reused.Json()["error"], "invalid_grant");
    EXPECT_EQ(reused.Json()["error_description"], "Refresh token has expired");
    EXPECT_EQ(Refresh(second).status, 200);

    std::string issued = emulator->IssueTokens(Cloud::Box, "boxclient").refreshToken;
    emulator->RevokeRefreshTokens(Cloud::Box);
    EXPECT_EQ(Refresh(issued).Json()["error"], "invalid_grant");
}

TEST_F(BoxTest, TokenEndpointChecksClientAndGrant) {
    struct Case {
        std::string name;
        Reply reply;
        std::string error;
    };
    const Case cases[] = {
        {"wrong secret", Redeem(SignIn(), "wrong"), "invalid_client"},
        {"unknown client",
         client.Form(TokenUrl, {{"code", "x"},
                                {"client_id", "nobody"},
                                {"client_secret", "s3cret"},
                                {"grant_type", "authorization_code"}}),
         "invalid_client"},
        {"no grant type", client.Form(TokenUrl, {{"client_id", "boxclient"}, {"client_secret", "s3cret"}}),
         "invalid_request"},
        {"other grant",
         client.Form(TokenUrl, {{"client_id", "boxclient"}, {"client_secret", "s3cret"}, {"grant_type", "password"}}),
         "unsupported_grant_type"},
        {"unknown code", Redeem("nope"), "invalid_grant"},
        {"unknown refresh token", Refresh("nope"), "invalid_grant"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.reply.status, 400) << c.name;
        EXPECT_EQ(c.reply.Json()["error"], c.error) << c.name;
    }
    // The API host's token endpoint is the same server.
    Reply viaApi = client.Form("https://api.box.com/oauth2/token", {{"code", SignIn()},
                                                                    {"client_id", "boxclient"},
                                                                    {"client_secret", "s3cret"},
                                                                    {"grant_type", "authorization_code"}});
    EXPECT_EQ(viaApi.status, 200);
}

TEST_F(BoxTest, SignInPageAsksOrRefuses) {
    Reply page = client.Get(Authorize + "?client_id=boxclient&response_type=code&redirect_uri=" + Redirect);
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("<form"), std::string::npos);

    Reply denied = client.Get(Authorize +
                              "?client_id=boxclient&response_type=code&state=s2&emulator_decision=deny"
                              "&emulator_deny_reason=No+thanks");
    ASSERT_EQ(denied.status, 302);
    EXPECT_EQ(HttpsClient::QueryValue(denied.Header("location"), "error"), "access_denied");
    EXPECT_EQ(HttpsClient::QueryValue(denied.Header("location"), "error_description"), "No thanks");
    EXPECT_EQ(HttpsClient::QueryValue(denied.Header("location"), "state"), "s2");

    emulator->RegisterClient(Cloud::Box, "open", "x");  // any redirect, but it must be secure
    for (const std::string query : {"client_id=boxclient&response_type=token", "client_id=nobody&response_type=code",
                                    "client_id=boxclient&response_type=code&redirect_uri=https%3A%2F%2Fevil.example%2F",
                                    "client_id=open&response_type=code&redirect_uri=http%3A%2F%2Fapp.example%2Fcb",
                                    "client_id=open&response_type=code"})
        EXPECT_EQ(client.Get(Authorize + "?" + query + "&emulator_decision=allow").status, 400) << query;
    EXPECT_EQ(client
                  .Get(Authorize + "?client_id=open&response_type=code&emulator_decision=allow"
                                   "&redirect_uri=http%3A%2F%2Flocalhost%3A8080%2Fcb")
                  .status,
              302);
}

TEST_F(BoxTest, AppHostServesABlankRedirectPage) {
    Reply blank = client.Get("https://app.box.com/nimbo-blank?code=abc&state=s1");
    EXPECT_EQ(blank.status, 200);
    EXPECT_EQ(blank.body.find("<form"), std::string::npos);
    EXPECT_EQ(client.Get("https://app.box.com/nimbo-other").status, 404);
}

TEST_F(BoxTest, BearerTokenChecksAnswerWithAnEmptyBody) {
    std::string expiring = emulator->IssueTokens(Cloud::Box, "boxclient").accessToken;
    emulator->ExpireAccessTokens(Cloud::Box);
    struct Case {
        std::string name, header;
        bool invalidToken;
    };
    for (const Case& c : {Case{"missing", "", false}, Case{"wrong", HttpsClient::Bearer("nope"), true},
                          Case{"expired", HttpsClient::Bearer(expiring), true}}) {
        Reply r = client.Send("GET", Api + "/folders/0/items", "",
                              c.header.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.header});
        EXPECT_EQ(r.status, 401) << c.name;
        EXPECT_EQ(r.body, "") << c.name;
        EXPECT_EQ(r.Header("www-authenticate").find("error=\"invalid_token\"") != std::string::npos, c.invalidToken)
            << c.name;
    }
}

TEST_F(BoxTest, FileLifeCycleAsTheAdapterDrivesIt) {
    Reply folder = Call("POST", Api + "/folders", R"({"name":"Docs","parent":{"id":"0"}})");
    ASSERT_EQ(folder.status, 201) << folder.body;
    auto made = folder.Json();
    std::string folderId = made["id"];
    EXPECT_EQ(made["type"], "folder");
    EXPECT_TRUE(made["parent"]["sequence_id"].is_null());  // the root's
    EXPECT_EQ(made["parent"]["name"], "All Files");
    EXPECT_EQ(made["item_collection"]["total_count"], 0);

    Reply created = Create("a.txt", "hello", folderId);
    ASSERT_EQ(created.status, 201) << created.body;
    ASSERT_EQ(created.Json()["total_count"], 1);
    auto file = created.Json()["entries"][0];
    std::string fileId = file["id"];
    EXPECT_EQ(file["name"], "a.txt");
    EXPECT_EQ(file["size"], 5);
    EXPECT_EQ(file["sha1"], "aaf4c61ddcc5e8a2dabede0f3b482cd9aea9434d");
    EXPECT_EQ(file["path_collection"]["total_count"], 2);
    EXPECT_EQ(file["etag"], "0");

    Reply listed = Call("GET", Api + "/folders/" + folderId + "/items" + ListFields);
    ASSERT_EQ(listed.status, 200);
    auto entry = listed.Json()["entries"][0];
    EXPECT_EQ(entry["size"], 5);
    EXPECT_TRUE(entry["created_at"].is_string());
    EXPECT_EQ(entry["modified_at"].get<std::string>().substr(19), "-08:00");
    EXPECT_FALSE(entry.contains("path_collection"));  // only the fields asked for

    Reply redirect = Call("GET", Api + "/files/" + fileId + "/content");
    ASSERT_EQ(redirect.status, 302);
    std::string link = redirect.Header("location");
    EXPECT_EQ(link.rfind("https://dl.boxcloud.com/d/1/", 0), 0u);
    EXPECT_EQ(client.Get(link).body, "hello");  // no token needed
    Reply part = client.Send("GET", link, "", {"Range: bytes=1-3"});
    EXPECT_EQ(part.status, 206);
    EXPECT_EQ(part.body, "ell");
    EXPECT_EQ(part.Header("content-range"), "bytes 1-3/5");

    Reply version =
        client.Multipart(Upload + "/" + fileId + "/content", {{"a.txt", "hello again", "a.txt", ""}}, token);
    ASSERT_EQ(version.status, 201) << version.body;
    auto updated = version.Json()["entries"][0];
    EXPECT_EQ(updated["id"], fileId);
    EXPECT_EQ(updated["size"], 11);
    EXPECT_EQ(updated["etag"], "1");
    EXPECT_NE(updated["file_version"]["id"], file["file_version"]["id"]);
    EXPECT_EQ(client.Get(link).status, 404);  // the old link served the old version

    EXPECT_EQ(Call("DELETE", Api + "/files/" + fileId + "?recursive=true").status, 204);
    EXPECT_EQ(Call("GET", Api + "/files/" + fileId).status, 404);
    EXPECT_EQ(Call("DELETE", Api + "/folders/" + folderId + "?recursive=true").status, 204);
}

TEST_F(BoxTest, AttributesFormAndNameConflicts) {
    Reply modern = client.Multipart(Upload + "/content",
                                    {{"attributes", R"({"name":"b.txt","parent":{"id":"0"}})", "", ""},
                                     {"file", "bb", "ignored.txt", "text/plain"}},
                                    token);
    ASSERT_EQ(modern.status, 201) << modern.body;
    std::string id = modern.Json()["entries"][0]["id"];
    EXPECT_EQ(modern.Json()["entries"][0]["name"], "b.txt");

    Reply late = client.Multipart(
        Upload + "/content",
        {{"file", "cc", "c.txt", ""}, {"attributes", R"({"name":"c.txt","parent":{"id":"0"}})", "", ""}}, token);
    EXPECT_EQ(late.status, 400);
    EXPECT_EQ(late.Json()["code"], "metadata_after_file_contents");

    Reply taken = Create("B.TXT", "again");
    EXPECT_EQ(taken.status, 409);
    EXPECT_EQ(taken.Json()["code"], "item_name_in_use");
    EXPECT_EQ(taken.Json()["context_info"]["conflicts"]["id"], id);  // one object for uploads

    Call("POST", Api + "/folders", R"({"name":"Sub","parent":{"id":"0"}})");
    Reply folder = Call("POST", Api + "/folders", R"({"name":"sub","parent":{"id":"0"}})");
    EXPECT_EQ(folder.status, 409);
    ASSERT_TRUE(folder.Json()["context_info"]["conflicts"].is_array());  // a list for folders
    EXPECT_EQ(folder.Json()["context_info"]["conflicts"][0]["name"], "Sub");

    Reply renamed = client.Multipart(Upload + "/" + id + "/content",
                                     {{"attributes", R"({"name":"sub"})", "", ""}, {"file", "x", "x", ""}}, token);
    EXPECT_EQ(renamed.status, 409);
    EXPECT_EQ(emulator->Find(Cloud::Box, "b.txt")->content, "bb");  // a refused version changes nothing
}

TEST_F(BoxTest, DirectUploadIsCheckedAgainstItsContentMd5HoldingTheSha1) {
    struct TCase {
        const char* Header;
        long Status;
    };
    const TCase cases[] = {
        {"", 201},
        {"Content-MD5: 388ad1c312a488ee9e12998fe097f2258fa8d5ee", 201},
        {"Content-MD5: 388AD1C312A488EE9E12998FE097F2258FA8D5EE", 201},
        {"Content-MD5: 0000000000000000000000000000000000000000", 400},
    };
    int number = 0;
    for (const TCase& check : cases) {
        SCOPED_TRACE(check.Header);
        const std::string name = "d" + std::to_string(++number) + ".txt";
        std::vector<std::string> headers;
        if (*check.Header) headers.emplace_back(check.Header);
        Reply reply = client.Multipart(
            Upload + "/content",
            {{"attributes", R"({"name":")" + name + R"(","parent":{"id":"0"}})", "", ""}, {"file", "dd", name, ""}},
            token, headers);
        EXPECT_EQ(reply.status, check.Status) << reply.body;
        if (check.Status == 400) {
            EXPECT_EQ(reply.Json()["code"], "bad_digest");
            EXPECT_FALSE(emulator->Find(Cloud::Box, name).has_value());  // nothing kept
        }
    }
    Reply empty = client.Multipart(
        Upload + "/content",
        {{"attributes", R"({"name":"empty.txt","parent":{"id":"0"}})", "", ""}, {"file", "", "empty.txt", ""}}, token,
        {"Content-MD5: da39a3ee5e6b4b0d3255bfef95601890afd80709"});
    EXPECT_EQ(empty.status, 201) << empty.body;

    const std::string id = emulator->Find(Cloud::Box, "d1.txt")->id;
    Reply version = client.Multipart(Upload + "/" + id + "/content", {{"file", "ee", "d1.txt", ""}}, token,
                                     {"Content-MD5: 388ad1c312a488ee9e12998fe097f2258fa8d5ee"});
    EXPECT_EQ(version.status, 400);
    EXPECT_EQ(emulator->Find(Cloud::Box, "d1.txt")->content, "dd");
}

TEST_F(BoxTest, ListingPagesByOffsetWithBoxLimits) {
    std::string big = emulator->AddFolder(Cloud::Box, "Big");
    for (int i = 0; i < 250; ++i) emulator->AddFile(Cloud::Box, "Big/f" + std::to_string(1000 + i), "");
    emulator->AddFolder(Cloud::Box, "Big/zz-folder");
    std::vector<std::size_t> pages;
    std::set<std::string> seen;
    for (std::size_t offset = 0, total = 1; offset < total && pages.size() < 10;) {
        Reply r = Call("GET", Api + "/folders/" + big + "/items?offset=" + std::to_string(offset));
        ASSERT_EQ(r.status, 200);
        auto page = r.Json();
        total = page["total_count"];
        EXPECT_EQ(page["limit"], 100);
        pages.push_back(page["entries"].size());
        for (const auto& item : page["entries"]) seen.insert(item["id"].get<std::string>());
        offset += page["entries"].size();
    }
    EXPECT_EQ(pages, (std::vector<std::size_t>{100, 100, 51}));
    EXPECT_EQ(seen.size(), 251u);

    auto first = Call("GET", Api + "/folders/" + big + "/items?limit=5000").Json();
    EXPECT_EQ(first["limit"], 1000);  // cut to the maximum
    EXPECT_EQ(first["entries"].size(), 251u);
    EXPECT_EQ(first["entries"][0]["type"], "folder");    // folders before files
    EXPECT_FALSE(first["entries"][1].contains("size"));  // mini entries without fields
    EXPECT_TRUE(first["entries"][1]["sha1"].is_string());
    for (const char* bad : {"offset=300001", "limit=0", "limit=ten", "offset=-1"}) {
        Reply r = Call("GET", Api + "/folders/" + big + "/items?" + bad);
        EXPECT_EQ(r.status, 400) << bad;
        EXPECT_EQ(r.Json()["context_info"]["errors"][0]["reason"], "invalid_parameter") << bad;
    }
}

TEST_F(BoxTest, BadRequestsGetBoxErrors) {
    std::string folder = emulator->AddFolder(Cloud::Box, "Full");
    std::string file = emulator->AddFile(Cloud::Box, "Full/x.txt", "x");
    struct Case {
        std::string name;
        Reply reply;
        int status;
        std::string code;
    };
    const Case cases[] = {
        {"unknown folder", Call("GET", Api + "/folders/999/items"), 404, "not_found"},
        {"file as folder", Call("GET", Api + "/folders/" + file + "/items"), 404, "not_found"},
        {"unknown download", Call("GET", Api + "/files/999/content"), 404, "not_found"},
        {"not empty", Call("DELETE", Api + "/folders/" + folder), 400, "folder_not_empty"},
        {"stale etag", Call("DELETE", Api + "/files/" + file, "", {"If-Match: 7"}), 412, "precondition_failed"},
        {"root", Call("DELETE", Api + "/folders/0?recursive=true"), 403, "access_denied_insufficient_permissions"},
        {"bad json", Call("POST", Api + "/folders", "{nope"), 400, "bad_request"},
        {"no parent", Call("POST", Api + "/folders", R"({"name":"n"})"), 400, "bad_request"},
        {"unknown parent", Call("POST", Api + "/folders", R"({"name":"n","parent":{"id":"999"}})"), 404, "not_found"},
        {"bad name", Call("POST", Api + "/folders", R"({"name":"a/b","parent":{"id":"0"}})"), 400, "item_name_invalid"},
        {"upload without file", client.Multipart(Upload + "/content", {{"parent_id", "0", "", ""}}, token), 400,
         "bad_request"},
        {"upload without parent", client.Multipart(Upload + "/content", {{"f", "x", "f.txt", ""}}, token), 400,
         "bad_request"},
        {"upload to a file", Create("y.txt", "y", file), 404, "not_found"},
        {"wrong method", Call("PUT", Api + "/folders/0/items"), 405, "method_not_allowed"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.reply.status, c.status) << c.name << " " << c.reply.body;
        auto json = c.reply.Json();
        EXPECT_EQ(json["type"], "error") << c.name;
        EXPECT_EQ(json["status"], c.status) << c.name;
        EXPECT_EQ(json["code"], c.code) << c.name;
        EXPECT_TRUE(json["request_id"].is_string()) << c.name;
        EXPECT_NE(c.reply.body.find(R"("help_url":"http:\/\/developers.box.com\/docs\/#errors")"), std::string::npos)
            << c.name;
    }
    EXPECT_EQ(Call("GET", Api + "/folders/999/items").Json()["context_info"].is_null(), true);
    EXPECT_EQ(Call("POST", Api + "/folders", R"({"name":"n","parent":{"id":"999"}})")
                  .Json()["context_info"]["errors"][0]["name"],
              "parent");
    EXPECT_TRUE(emulator->Find(Cloud::Box, "Full/x.txt"));
}

TEST_F(BoxTest, UserObject) {
    emulator->SetAccountName(Cloud::Box, "Test User");
    emulator->AddFile(Cloud::Box, "a.bin", std::string(10, 'x'));
    auto me = Call("GET", Api + "/users/me").Json();
    EXPECT_EQ(me["type"], "user");
    EXPECT_EQ(me["name"], "Test User");
    EXPECT_TRUE(me["id"].is_string());
    EXPECT_EQ(me["space_used"], 10);
}

}  // namespace
