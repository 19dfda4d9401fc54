#include "EmulatorFixture.h"

#include <gtest/gtest.h>

using namespace Nimbo::Emulator;
using namespace EmulatorTest;

namespace {

const std::string Api = "https://api.dropbox.com/1";
const std::string Content = "https://api-content.dropbox.com/1";
const std::string Receiver = "https://www.dropbox.com/1/oauth2/redirect_receiver";

class DropboxTest : public EmulatorFixture {
protected:
    DropboxTest() : EmulatorFixture({Cloud::Dropbox, "key", "secret", {Receiver}}) {}
    Reply Put(const std::string& path, const std::string& body, const std::string& query = "") const {
        return client.Send("PUT", Content + "/files_put/dropbox" + path + query, body, {HttpsClient::Bearer(token)});
    }
    Reply Op(const std::string& op, const std::string& path) const {
        return client.Form(Api + "/fileops/" + op, {{"root", "dropbox"}, {"path", path}}, token);
    }
};

TEST_F(DropboxTest, CodeFlowRedirectsToTheReceiverAndTheCodeWorksOnce) {
    Reply page = client.Get("https://www.dropbox.com/1/oauth2/authorize?client_id=key&redirect_uri=" + Receiver +
                            "&response_type=code&state=s1&emulator_decision=allow");
    ASSERT_EQ(page.status, 302);
    std::string location = page.Header("location");
    EXPECT_EQ(location.rfind(Receiver + "?code=", 0), 0u);
    EXPECT_EQ(HttpsClient::QueryValue(location, "state"), "s1");
    EXPECT_EQ(client.Get(location).status, 200);  // the receiver page itself

    Fields form{{"code", HttpsClient::QueryValue(location, "code")},
                {"client_id", "key"},
                {"client_secret", "secret"},
                {"redirect_uri", Receiver},
                {"grant_type", "authorization_code"}};
    Reply tokens = client.Form(Api + "/oauth2/token", form);
    ASSERT_EQ(tokens.status, 200);
    EXPECT_EQ(tokens.Json()["token_type"], "bearer");
    EXPECT_TRUE(tokens.Json()["uid"].is_string());
    EXPECT_FALSE(tokens.Json().contains("refresh_token"));
    EXPECT_FALSE(tokens.Json().contains("expires_in"));
    EXPECT_EQ(client.Get(Api + "/account/info", tokens.Json()["access_token"]).status, 200);

    Reply reused = client.Form(Api + "/oauth2/token", form);
    EXPECT_EQ(reused.status, 400);
    EXPECT_EQ(reused.Json()["error"], "invalid_grant");
}

TEST_F(DropboxTest, DenialAndRefusedTokenRequests) {
    Reply denied = client.Get("https://www.dropbox.com/1/oauth2/authorize?client_id=key&redirect_uri=" + Receiver +
                              "&response_type=code&emulator_decision=deny&emulator_deny_reason=No+thanks");
    EXPECT_EQ(HttpsClient::QueryValue(denied.Header("location"), "error"), "access_denied");
    EXPECT_EQ(HttpsClient::QueryValue(denied.Header("location"), "error_description"), "No thanks");

    EXPECT_EQ(client
                  .Get("https://www.dropbox.com/1/oauth2/authorize?client_id=key&redirect_uri=https://evil.example/"
                       "&response_type=code")
                  .status,
              400);
    Reply refresh = client.Form(
        Api + "/oauth2/token",
        {{"grant_type", "refresh_token"}, {"refresh_token", "x"}, {"client_id", "key"}, {"client_secret", "secret"}});
    EXPECT_EQ(refresh.status, 400);
    EXPECT_EQ(refresh.Json()["error"], "unsupported_grant_type");
}

TEST_F(DropboxTest, AccountInfoAndTokenChecks) {
    emulator->SetAccountName(Cloud::Dropbox, "Adam Jones");
    Reply info = client.Get(Api + "/account/info", token);
    EXPECT_EQ(info.Json()["display_name"], "Adam Jones");
    EXPECT_TRUE(info.Json()["uid"].is_number());
    emulator->ExpireAccessTokens(Cloud::Dropbox);
    Reply expired = client.Get(Api + "/account/info", token);
    EXPECT_EQ(expired.status, 401);
    EXPECT_EQ(expired.Json()["error"], "The given OAuth 2 access token doesn't exist or has expired.");
}

TEST_F(DropboxTest, UploadListDownloadDelete) {
    Reply created = Put("/a.txt", "hello");
    ASSERT_EQ(created.status, 200) << created.body;
    EXPECT_EQ(created.Json()["path"], "/a.txt");
    EXPECT_EQ(created.Json()["bytes"], 5);
    EXPECT_EQ(created.Json()["size"], "5 bytes");
    EXPECT_EQ(created.Json()["mime_type"], "text/plain");

    // The adapter's double slash and missing parents.
    Reply nested = Put("//Docs/b.txt", "bb");
    ASSERT_EQ(nested.status, 200);
    EXPECT_EQ(nested.Json()["path"], "/Docs/b.txt");

    Reply root = client.Get(Api + "/metadata/dropbox/?list=true", token);
    ASSERT_EQ(root.status, 200);
    EXPECT_EQ(root.Json()["path"], "/");
    EXPECT_FALSE(root.Json().contains("modified"));
    EXPECT_EQ(root.Json()["contents"].size(), 2u);
    Reply unchanged = client.Get(Api + "/metadata/dropbox?hash=" + root.Json()["hash"].get<std::string>(), token);
    EXPECT_EQ(unchanged.status, 304) << unchanged.body.substr(0, 300) << root.body.substr(0, 300);

    Reply download = client.Get(Content + "/files/dropbox/DOCS/B.TXT", token);  // paths ignore case
    EXPECT_EQ(download.body, "bb");
    EXPECT_NE(download.Header("x-dropbox-metadata").find("\"/Docs/b.txt\""), std::string::npos);
    Reply range =
        client.Send("GET", Content + "/files/dropbox/a.txt", "", {HttpsClient::Bearer(token), "Range: bytes=1-2"});
    EXPECT_EQ(range.status, 206);
    EXPECT_EQ(range.body, "el");

    Reply deleted = Op("delete", "/Docs");
    ASSERT_EQ(deleted.status, 200);
    EXPECT_EQ(deleted.Json()["is_deleted"], true);
    EXPECT_EQ(client.Get(Content + "/files/dropbox/Docs/b.txt", token).status, 404);
    Reply again = Op("delete", "/Docs");
    EXPECT_EQ(again.status, 404);
    EXPECT_EQ(again.Json()["error"], "Path '/Docs' not found");
}

TEST_F(DropboxTest, UploadConflictsFollowOverwriteAndAutorename) {
    ASSERT_EQ(Put("/a.txt", "one").status, 200);
    struct Case {
        std::string query;
        int status;
        std::string path;
    };
    const Case cases[] = {
        {"", 200, "/a.txt"},                      // overwrite by default
        {"?overwrite=false", 200, "/a (1).txt"},  // autorename by default
        {"?overwrite=false&autorename=false", 409, ""},
        {"?overwrite=maybe", 400, ""},
    };
    for (const Case& c : cases) {
        Reply r = Put("/a.txt", "new " + c.query, c.query);
        EXPECT_EQ(r.status, c.status) << c.query;
        if (!c.path.empty())
            EXPECT_EQ(r.Json()["path"], c.path) << c.query;
        else
            EXPECT_TRUE(r.Json()["error"].is_string()) << c.query;
    }
}

TEST_F(DropboxTest, FolderOperationsAndLimits) {
    ASSERT_EQ(Op("create_folder", "/New").status, 200);
    Reply exists = Op("create_folder", "/new");
    EXPECT_EQ(exists.status, 403);
    EXPECT_NE(exists.Json()["error"].get<std::string>().find("already exists"), std::string::npos);
    for (int i = 0; i < 4; ++i) emulator->AddFile(Cloud::Dropbox, "New/f" + std::to_string(i), "");
    EXPECT_EQ(client.Get(Api + "/metadata/dropbox/New?file_limit=3", token).status, 406);
    EXPECT_EQ(client.Get(Api + "/metadata/dropbox/New?file_limit=4", token).status, 200);

    struct Case {
        std::string name;
        Reply reply;
        int status;
    };
    const Case cases[] = {
        {"dot-dot path", client.Get(Api + "/metadata/dropbox/New/%2E%2E/New", token), 400},
        {"bad root", client.Get(Api + "/metadata/elsewhere/New", token), 400},
        {"missing path field", client.Form(Api + "/fileops/create_folder", {{"root", "dropbox"}}, token), 400},
        {"ignored name", Put("/Thumbs.db", "x"), 400},
        {"unknown call", client.Get(Api + "/nothing", token), 404},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.reply.status, c.status) << c.name;
        EXPECT_TRUE(c.reply.Json()["error"].is_string()) << c.name;
    }
}

TEST_F(DropboxTest, EveryApiHostNameServesTheApi) {
    for (const std::string host :
         {"api.dropbox.com", "api1.dropbox.com", "api17.dropbox.com", "api30.dropbox.com", "api.dropboxapi.com"})
        EXPECT_EQ(client.Get("https://" + host + "/1/account/info", token).status, 200) << host;
    EXPECT_EQ(
        client
            .Send("PUT", "https://content.dropboxapi.com/1/files_put/dropbox/a.txt", "a", {HttpsClient::Bearer(token)})
            .status,
        200);
    EXPECT_NE(client.Get("https://api31.dropbox.com/1/account/info", token).error, CURLE_OK);  // not a name it answers
}

}  // namespace
