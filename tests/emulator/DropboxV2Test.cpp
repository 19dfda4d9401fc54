// Dropbox API v2 RPC calls: request checks, tokens, listing with cursors, the file operations and
// the account; v1 and v2 on one account.

#include "DropboxV2Fixture.h"

#include <gtest/gtest.h>

#include <set>

using namespace Nimbo::Emulator;
using namespace EmulatorTest;
using nlohmann::json;

namespace {

class DropboxV2Test : public DropboxV2Fixture {
protected:
    // Every entry of a listing and its continuations, with the number of pages.
    std::vector<json> ListAll(const json& arg, int& pages, std::string& cursor) const {
        std::vector<json> entries;
        Reply page = Rpc("files/list_folder", arg);
        for (pages = 1;; ++pages) {
            EXPECT_EQ(page.status, 200) << page.body;
            if (page.status != 200) break;
            json body = page.Json();
            for (const auto& entry : body["entries"]) entries.push_back(entry);
            cursor = body["cursor"];
            if (!body["has_more"].get<bool>()) break;
            page = Rpc("files/list_folder/continue", {{"cursor", cursor}});
        }
        return entries;
    }
    std::set<std::string> Names(const std::vector<json>& entries) const {
        std::set<std::string> names;
        for (const auto& entry : entries) names.insert(entry["name"].get<std::string>());
        return names;
    }
};

TEST_F(DropboxV2Test, BadRequestsGetPlainTextAnswers) {
    struct Case {
        std::string route, contentType, body, expected;
    };
    const Case cases[] = {
        {"files/list_folder", "application/x-www-form-urlencoded", R"({"path":""})",
         "Bad HTTP \"Content-Type\" header"},
        {"files/list_folder", "", R"({"path":""})", "Bad HTTP \"Content-Type\" header"},
        {"files/list_folder", "application/json", R"({"path":)", "could not decode input as JSON"},
        {"files/list_folder", "application/json", "", "could not decode input as JSON"},
        {"files/list_folder", "application/json", "{}", "missing required field 'path'"},
        {"files/list_folder", "application/json", R"({"path":5})", "path: expected string, got integer"},
        {"files/list_folder", "application/json", R"({"path":"/"})", "Specify the root folder as an empty string"},
        {"files/get_metadata", "application/json", R"({"path":"Docs"})", "did not match pattern"},
        {"files/list_folder", "application/json", R"({"path":"","limit":0})", "limit: 0 is not within range"},
        {"files/list_folder", "application/json", R"({"path":"","recursive":"yes"})", "expected boolean"},
        {"files/list_folder/continue", "application/json", R"({"cursor":"not a cursor"})", "Invalid \"cursor\""},
        {"files/no_such_call", "application/json", "{}", "Unknown API function: \"files/no_such_call\""},
    };
    for (const auto& c : cases) {
        Reply reply = client.Send("POST", ApiV2 + c.route, c.body,
                                  {HttpsClient::Bearer(token), "Content-Type: " + c.contentType});
        EXPECT_EQ(reply.status, 400) << c.route << " " << c.body;
        EXPECT_EQ(reply.Header("content-type").rfind("text/plain", 0), 0u) << c.body;
        EXPECT_NE(reply.body.find("Error in call to API function \"" + c.route + "\""), std::string::npos)
            << reply.body;
        EXPECT_NE(reply.body.find(c.expected), std::string::npos) << c.body << ": " << reply.body;
    }
    EXPECT_EQ(client.Get(ApiV2 + "files/list_folder", token).status, 400);  // RPC calls are POSTs
}

TEST_F(DropboxV2Test, CallsWithoutArgumentsTakeNoBodyAnEmptyBodyOrNull) {
    emulator->AddFile(Cloud::Dropbox, "a.bin", std::string(1000, 'x'));
    const std::vector<std::vector<std::string>> accepted = {
        {"Content-Type:"}, {"Content-Type: application/json"}, {"Content-Type: application/json"}};
    const std::string bodies[] = {"", "", "null"};
    for (std::size_t i = 0; i < accepted.size(); ++i) {
        auto headers = accepted[i];
        headers.push_back(HttpsClient::Bearer(token));
        Reply usage = client.Send("POST", ApiV2 + "users/get_space_usage", bodies[i], headers);
        ASSERT_EQ(usage.status, 200) << bodies[i] << usage.body;
        EXPECT_EQ(usage.Header("content-type"), "application/json");
        EXPECT_EQ(usage.Json()["used"], 1000);
        EXPECT_EQ(usage.Json()["allocation"][".tag"], "individual");
    }
    Reply form = client.Send("POST", ApiV2 + "users/get_space_usage", "",
                             {HttpsClient::Bearer(token), "Content-Type: application/x-www-form-urlencoded"});
    EXPECT_EQ(form.status, 400);
}

TEST_F(DropboxV2Test, TokensAreCheckedWithTheServicesAnswers) {
    Reply missing = client.Send("POST", ApiV2 + "users/get_current_account", "", {"Content-Type:"});
    EXPECT_EQ(missing.status, 400);
    EXPECT_NE(missing.body.find("Must provide HTTP header \"Authorization\""), std::string::npos);
    Reply basic = client.Send("POST", ApiV2 + "users/get_current_account", "", {"Authorization: Basic eDp5"});
    EXPECT_EQ(basic.status, 400);
    EXPECT_NE(basic.body.find("Expecting \"Bearer <oauth2-access-token>\""), std::string::npos);

    Reply unknown =
        client.Send("POST", ApiV2 + "users/get_current_account", "", {HttpsClient::Bearer("nope"), "Content-Type:"});
    EXPECT_EQ(unknown.status, 401);
    EXPECT_EQ(unknown.Header("content-type"), "application/json");
    EXPECT_EQ(unknown.Json()["error"][".tag"], "invalid_access_token");

    emulator->ExpireAccessTokens(Cloud::Dropbox);
    Reply expired = Rpc("files/list_folder", {{"path", ""}});
    EXPECT_EQ(expired.status, 401);
    EXPECT_EQ(expired.Header("content-type"), "application/json");
    EXPECT_EQ(expired.Json()["error_summary"].get<std::string>().rfind("expired_access_token/", 0), 0u);
    EXPECT_EQ(expired.Json()["error"][".tag"], "expired_access_token");
}

TEST_F(DropboxV2Test, ListingPagesPastTwoThousandItemsAndThenFollowsChanges) {
    for (int i = 0; i < 4500; ++i) emulator->AddFile(Cloud::Dropbox, "Big/f" + std::to_string(i) + ".txt", "");
    int pages = 0;
    std::string cursor;
    auto entries = ListAll({{"path", "/big"}, {"limit", 2000}}, pages, cursor);
    EXPECT_EQ(pages, 3);
    EXPECT_EQ(entries.size(), 4500u);
    EXPECT_EQ(Names(entries).size(), 4500u);
    EXPECT_EQ(entries.front()[".tag"], "file");
    EXPECT_EQ(entries.front()["path_display"].get<std::string>().rfind("/Big/f", 0), 0u);

    // The cursor of the last page is a change feed: what was added, changed and deleted since.
    emulator->AddFile(Cloud::Dropbox, "Big/new.txt", "n");
    emulator->AddFile(Cloud::Dropbox, "Big/f1.txt", "changed");
    ASSERT_EQ(Rpc("files/delete_v2", {{"path", "/Big/f2.txt"}}).status, 200);
    emulator->AddFile(Cloud::Dropbox, "Elsewhere/x.txt", "x");
    Reply changes = Rpc("files/list_folder/continue", {{"cursor", cursor}});
    ASSERT_EQ(changes.status, 200) << changes.body;
    std::map<std::string, std::string> seen;
    json changed = changes.Json();
    for (const auto& entry : changed["entries"]) seen[entry["path_lower"]] = entry[".tag"];
    EXPECT_EQ(seen, (std::map<std::string, std::string>{
                        {"/big/new.txt", "file"}, {"/big/f1.txt", "file"}, {"/big/f2.txt", "deleted"}}));
    EXPECT_FALSE(changes.Json()["has_more"].get<bool>());
    Reply nothing = Rpc("files/list_folder/continue", {{"cursor", changes.Json()["cursor"]}});
    EXPECT_TRUE(nothing.Json()["entries"].empty());
}

TEST_F(DropboxV2Test, RecursiveListingsNameEveryFolderBeforeWhatItHolds) {
    emulator->AddFile(Cloud::Dropbox, "b/deep/er/file.txt", "1");
    emulator->AddFile(Cloud::Dropbox, "a/file.txt", "2");
    emulator->AddFolder(Cloud::Dropbox, "late");
    // A folder made later and moved above older items still comes first.
    ASSERT_EQ(Rpc("files/move_v2", {{"from_path", "/b"}, {"to_path", "/late/b"}}).status, 200);
    int pages = 0;
    std::string cursor;
    auto entries = ListAll({{"path", ""}, {"recursive", true}, {"limit", 2}}, pages, cursor);
    EXPECT_EQ(pages, 4);
    std::set<std::string> listed{""};
    for (const auto& entry : entries) {
        std::string path = entry["path_lower"];
        EXPECT_TRUE(listed.count(path.substr(0, path.rfind('/')))) << path << " before its folder";
        listed.insert(path);
    }
    EXPECT_EQ(listed.size(), 8u);  // the root and 7 items

    auto top = ListAll({{"path", ""}}, pages, cursor);
    EXPECT_EQ(Names(top), (std::set<std::string>{"a", "late"}));
}

TEST_F(DropboxV2Test, ACursorFromBeforeAResetAnswersReset) {
    emulator->AddFile(Cloud::Dropbox, "a.txt", "1");
    std::string cursor = Rpc("files/list_folder", {{"path", ""}}).Json()["cursor"];
    emulator->Reset(Cloud::Dropbox);
    emulator->RegisterClient(Cloud::Dropbox, "key", "secret");
    token = emulator->IssueTokens(Cloud::Dropbox, "key").accessToken;
    Reply reset = Rpc("files/list_folder/continue", {{"cursor", cursor}});
    EXPECT_EQ(Summary(reset).rfind("reset/", 0), 0u);
    EXPECT_EQ(reset.Json()["error"][".tag"], "reset");
}

TEST_F(DropboxV2Test, LatestCursorAndLongpollSeeOnlyLaterChanges) {
    emulator->AddFile(Cloud::Dropbox, "Docs/old.txt", "1");
    Reply latest = Rpc("files/list_folder/get_latest_cursor", {{"path", "/Docs"}});
    ASSERT_EQ(latest.status, 200) << latest.body;
    std::string cursor = latest.Json()["cursor"];
    emulator->AddFile(Cloud::Dropbox, "Docs/new.txt", "2");
    // The long poll needs no token.
    Reply poll = client.Send("POST", NotifyV2 + "files/list_folder/longpoll", json{{"cursor", cursor}}.dump(),
                             {"Content-Type: application/json"});
    ASSERT_EQ(poll.status, 200) << poll.body;
    EXPECT_EQ(poll.Header("content-type"), "application/json");
    EXPECT_TRUE(poll.Json()["changes"].get<bool>());
    Reply changes = Rpc("files/list_folder/continue", {{"cursor", cursor}});
    ASSERT_EQ(changes.Json()["entries"].size(), 1u);
    EXPECT_EQ(changes.Json()["entries"][0]["name"], "new.txt");

    Reply badTimeout = client.Send("POST", NotifyV2 + "files/list_folder/longpoll",
                                   json{{"cursor", cursor}, {"timeout", 5}}.dump(), {"Content-Type: application/json"});
    EXPECT_EQ(badTimeout.status, 400);
}

TEST_F(DropboxV2Test, PathsIgnoreCaseAndKeepTheCaseTheyWereMadeWith) {
    Reply made = Rpc("files/create_folder_v2", {{"path", "/Docs/Sub Folder"}});
    ASSERT_EQ(made.status, 200) << made.body;
    EXPECT_EQ(made.Json()["metadata"]["path_display"], "/Docs/Sub Folder");
    EXPECT_FALSE(made.Json()["metadata"].contains(".tag"));
    Reply meta = Rpc("files/get_metadata", {{"path", "/DOCS/sub folder"}});
    ASSERT_EQ(meta.status, 200) << meta.body;
    EXPECT_EQ(meta.Json()[".tag"], "folder");
    EXPECT_EQ(meta.Json()["name"], "Sub Folder");
    EXPECT_EQ(meta.Json()["path_lower"], "/docs/sub folder");
    EXPECT_EQ(meta.Json()["path_display"], "/Docs/Sub Folder");
    EXPECT_EQ(Rpc("files/get_metadata", {{"path", meta.Json()["id"]}}).Json()["path_display"], "/Docs/Sub Folder");

    EXPECT_EQ(Summary(Rpc("files/create_folder_v2", {{"path", "/docs/SUB FOLDER"}})), "path/conflict/folder/..");
    Reply renamed = Rpc("files/create_folder_v2", {{"path", "/docs/SUB FOLDER"}, {"autorename", true}});
    EXPECT_EQ(renamed.Json()["metadata"]["path_display"], "/Docs/SUB FOLDER (2)");
    EXPECT_EQ(Summary(Rpc("files/get_metadata", {{"path", "/Docs/../x"}})), "path/malformed_path/..");
    EXPECT_EQ(Rpc("files/list_folder", {{"path", "//docs/"}}).Json()["entries"][0]["name"], "Sub Folder");
    EXPECT_EQ(Summary(Rpc("files/get_metadata", {{"path", "/nothing"}})), "path/not_found/..");
    EXPECT_EQ(Summary(Rpc("files/list_folder", {{"path", "/nothing"}})), "path/not_found/..");
    emulator->AddFile(Cloud::Dropbox, "Docs/a.txt", "1");
    EXPECT_EQ(Summary(Rpc("files/list_folder", {{"path", "/docs/A.TXT"}})), "path/not_folder/..");
    EXPECT_EQ(Summary(Rpc("files/create_folder_v2", {{"path", "/Docs/a.txt/inner"}})),
              "path/conflict/file_ancestor/..");
}

TEST_F(DropboxV2Test, MoveCopyAndDelete) {
    emulator->AddFile(Cloud::Dropbox, "Docs/a.txt", "aaa");
    emulator->AddFile(Cloud::Dropbox, "Docs/In/b.txt", "bbb");
    emulator->AddFile(Cloud::Dropbox, "Other/a.txt", "other");

    Reply moved = Rpc("files/move_v2", {{"from_path", "/docs/A.txt"}, {"to_path", "/New/Place/A moved.txt"}});
    ASSERT_EQ(moved.status, 200) << moved.body;
    EXPECT_EQ(moved.Json()["metadata"]["path_display"], "/New/Place/A moved.txt");
    EXPECT_EQ(emulator->Find(Cloud::Dropbox, "New/Place/A moved.txt")->content, "aaa");
    EXPECT_FALSE(emulator->Find(Cloud::Dropbox, "Docs/a.txt"));

    Reply copied = Rpc("files/copy_v2", {{"from_path", "/Docs"}, {"to_path", "/Copy of Docs"}});
    ASSERT_EQ(copied.status, 200) << copied.body;
    EXPECT_EQ(copied.Json()["metadata"][".tag"], "folder");
    EXPECT_EQ(emulator->Find(Cloud::Dropbox, "Copy of Docs/In/b.txt")->content, "bbb");
    EXPECT_EQ(emulator->Find(Cloud::Dropbox, "Docs/In/b.txt")->content, "bbb");

    EXPECT_EQ(Summary(Rpc("files/move_v2", {{"from_path", "/Other/a.txt"}, {"to_path", "/new/place/a MOVED.txt"}})),
              "to/conflict/file/..");
    Reply numbered = Rpc("files/copy_v2",
                         {{"from_path", "/Other/a.txt"}, {"to_path", "/New/Place/A moved.txt"}, {"autorename", true}});
    EXPECT_EQ(numbered.Json()["metadata"]["name"], "A moved (2).txt");
    EXPECT_EQ(Summary(Rpc("files/move_v2", {{"from_path", "/Docs"}, {"to_path", "/Docs/In/Docs"}})),
              "cant_move_folder_into_itself/..");
    EXPECT_EQ(Summary(Rpc("files/move_v2", {{"from_path", "/missing"}, {"to_path", "/x"}})),
              "from_lookup/not_found/..");

    Reply deleted = Rpc("files/delete_v2", {{"path", "/DOCS"}});
    ASSERT_EQ(deleted.status, 200) << deleted.body;
    EXPECT_EQ(deleted.Json()["metadata"][".tag"], "folder");
    EXPECT_EQ(deleted.Json()["metadata"]["path_display"], "/Docs");
    EXPECT_FALSE(emulator->Find(Cloud::Dropbox, "Docs/In/b.txt"));
    EXPECT_EQ(Summary(Rpc("files/delete_v2", {{"path", "/Docs"}})), "path_lookup/not_found/..");
}

TEST_F(DropboxV2Test, VersionOneAndTwoShareTheAccount) {
    Reply put = client.Send("PUT", "https://api-content.dropbox.com/1/files_put/dropbox/Shared/From%20v1.txt", "one",
                            {HttpsClient::Bearer(token)});
    ASSERT_EQ(put.status, 200) << put.body;
    Reply meta = Rpc("files/get_metadata", {{"path", "/shared/from V1.txt"}});
    ASSERT_EQ(meta.status, 200) << meta.body;
    EXPECT_EQ(meta.Json()["path_display"], "/Shared/From v1.txt");
    EXPECT_EQ(meta.Json()["size"], 3);

    ASSERT_EQ(Rpc("files/create_folder_v2", {{"path", "/Shared/From v2"}}).status, 200);
    Reply listed = client.Get("https://api.dropbox.com/1/metadata/dropbox/shared", token);
    ASSERT_EQ(listed.status, 200) << listed.body;
    std::set<std::string> paths;
    json contents = listed.Json()["contents"];
    for (const auto& item : contents) paths.insert(item["path"].get<std::string>());
    EXPECT_EQ(paths, (std::set<std::string>{"/Shared/From v1.txt", "/Shared/From v2"}));
}

TEST_F(DropboxV2Test, TheAccountAndItsSpace) {
    emulator->SetAccountName(Cloud::Dropbox, "Adam Jones");
    emulator->AddFile(Cloud::Dropbox, "a.bin", std::string(1234, 'a'));
    Reply account = client.Send("POST", ApiV2 + "users/get_current_account", "null",
                                {HttpsClient::Bearer(token), "Content-Type: application/json"});
    ASSERT_EQ(account.status, 200) << account.body;
    EXPECT_EQ(account.Json()["name"]["display_name"], "Adam Jones");
    EXPECT_EQ(account.Json()["name"]["given_name"], "Adam");
    EXPECT_EQ(account.Json()["account_id"].get<std::string>().rfind("dbid:", 0), 0u);
    Reply usage =
        client.Send("POST", ApiV2 + "users/get_space_usage", "", {HttpsClient::Bearer(token), "Content-Type:"});
    EXPECT_EQ(usage.Json()["used"], 1234);
    EXPECT_GT(usage.Json()["allocation"]["allocated"].get<std::int64_t>(), 1234);
}

}  // namespace
