// Microsoft Graph's OneDrive: user and drive, addressing, listings in pages, folders, changes to
// items, copies, errors, and the account it shares with Live Connect.

#include "GraphFixture.h"
#include "emulator/QuickXorHash.h"

#include <gtest/gtest.h>

#include <set>

using namespace Nimbo::Emulator;
using namespace EmulatorTest;
using nlohmann::json;

namespace {

class GraphTest : public GraphFixture {};

TEST(QuickXorHashTest, MatchesKnownDigestsWhetherFedWholeOrInPieces) {
    struct Case {
        std::string bytes, digest;
    };
    const Case cases[] = {
        {"", "AAAAAAAAAAAAAAAAAAAAAAAAAAA="},
        {"hello", "aCgDG9jwBgAAAAAABQAAAAAAAAA="},
        {"hello world", "aCgDG9jwBhDc4Q1yawMZAAAAAAA="},
        {std::string(1000, '\0'), "AAAAAAAAAAAAAAAA6AMAAAAAAAA="},
        {std::string(1000, '\xff'), "Yxvb2MY2trGNbWxj89jYOc5xjnM="},  // wraps around the register
    };
    for (const auto& c : cases) {
        QuickXorHash whole;
        whole.Update(c.bytes);
        EXPECT_EQ(whole.Base64Digest(), c.digest) << c.bytes.size();
        QuickXorHash pieces;
        for (std::size_t at = 0; at < c.bytes.size(); at += 7) pieces.Update(std::string_view(c.bytes).substr(at, 7));
        EXPECT_EQ(pieces.Base64Digest(), c.digest) << c.bytes.size();
    }
}

TEST_F(GraphTest, MeAndTheDriveWithItsQuota) {
    emulator->SetAccountName(Cloud::LiveConnect, "Ada Lovelace");
    emulator->AddFile(Cloud::LiveConnect, "Docs/a.txt", "12345");
    Reply me = Get("/me");
    ASSERT_EQ(me.status, 200) << me.body;
    EXPECT_EQ(me.Json()["displayName"], "Ada Lovelace");
    EXPECT_EQ(me.Json()["givenName"], "Ada");
    EXPECT_EQ(me.Json()["surname"], "Lovelace");

    Reply drive = Get("/me/drive");
    ASSERT_EQ(drive.status, 200) << drive.body;
    json d = drive.Json();
    EXPECT_EQ(d["driveType"], "personal");
    EXPECT_EQ(d["owner"]["user"]["displayName"], "Ada Lovelace");
    EXPECT_EQ(d["quota"]["used"], 5);
    EXPECT_EQ(d["quota"]["remaining"].get<std::int64_t>() + 5, d["quota"]["total"].get<std::int64_t>());
    EXPECT_EQ(d["quota"]["state"], "normal");
    std::string driveId = d["id"];
    EXPECT_EQ(Get("/drives/" + driveId).Json()["id"], driveId);
    EXPECT_EQ(Get("/drives/" + driveId + "/root").Json()["id"], RootId());
    EXPECT_EQ(ErrorCode(Get("/drives/0123456789abcdef")), "itemNotFound");
}

TEST_F(GraphTest, TokensAreCheckedAndErrorsHaveGraphsShape) {
    Reply none = client.Get(GraphApi + "/me/drive/root");
    EXPECT_EQ(none.status, 401);
    EXPECT_EQ(ErrorCode(none), "InvalidAuthenticationToken");
    EXPECT_NE(none.Header("www-authenticate").find("Bearer"), std::string::npos);
    // Graph takes the token from the header only.
    EXPECT_EQ(client.Get(GraphApi + "/me/drive/root?access_token=" + token).status, 401);
    emulator->ExpireAccessTokens(Cloud::LiveConnect);
    EXPECT_EQ(client.Get(GraphApi + "/me/drive/root", token).status, 401);

    token = emulator->IssueTokens(Cloud::LiveConnect, "000000004C0E1234", "wl.signin wl.skydrive").accessToken;
    EXPECT_EQ(Get("/me/drive/root/children").status, 200);
    Reply readOnly = Call("POST", "/me/drive/root/children", R"({"name":"x","folder":{}})");
    EXPECT_EQ(readOnly.status, 403);
    EXPECT_EQ(ErrorCode(readOnly), "accessDenied");
    token = emulator
                ->IssueTokens(Cloud::LiveConnect, "000000004C0E1234",
                              "https://graph.microsoft.com/Files.ReadWrite offline_access")
                .accessToken;
    EXPECT_EQ(Call("POST", "/me/drive/root/children", R"({"name":"x","folder":{}})").status, 201);

    Reply missing = Get("/me/drive/items/NOPE!999");
    EXPECT_EQ(missing.status, 404);
    json error = missing.Json()["error"];
    EXPECT_EQ(error["code"], "itemNotFound");
    EXPECT_TRUE(error["message"].is_string());
    EXPECT_TRUE(error["innerError"]["request-id"].is_string());
    EXPECT_TRUE(error["innerError"]["date"].is_string());
    EXPECT_EQ(Call("GET", "/me/drive/root", "", {"client-request-id: abc-123"}).status, 200);
    EXPECT_EQ(Call("GET", "/me/drive/items/NOPE!1", "", {"client-request-id: abc-123"})
                  .Json()["error"]["innerError"]["client-request-id"],
              "abc-123");
    EXPECT_EQ(Call("POST", "/me/drive/root").status, 405);
    EXPECT_EQ(ErrorCode(Get("/me/drive/root/nonsense")), "invalidRequest");
    EXPECT_EQ(ErrorCode(Get("https://graph.microsoft.com/v2.0/me/drive")), "BadRequest");  // no such version
}

TEST_F(GraphTest, ItemsCarryTheirFieldsAndHashes) {
    std::string folder = MakeFolder("root", "Docs");
    json file = Upload("Docs/hello.txt", "hello world");
    EXPECT_EQ(file["name"], "hello.txt");
    EXPECT_EQ(file["size"], 11);
    EXPECT_EQ(file["file"]["mimeType"], "text/plain");
    EXPECT_EQ(file["file"]["hashes"]["quickXorHash"], "aCgDG9jwBhDc4Q1yawMZAAAAAAA=");
    EXPECT_EQ(file["file"]["hashes"]["sha1Hash"], "2AAE6C35C94FCFB415DBE95F408B9CE91EE846ED");
    EXPECT_EQ(file["file"]["hashes"]["sha256Hash"], "B94D27B9934D3E08A52E52D7DA7DABFAC484EFE37A5380EE9088F7ACE2EFCDE9");
    EXPECT_EQ(file["parentReference"]["id"], folder);
    EXPECT_EQ(file["parentReference"]["path"], "/drive/root:/Docs");
    EXPECT_EQ(file["parentReference"]["driveType"], "personal");
    EXPECT_TRUE(file["eTag"].is_string());
    EXPECT_TRUE(file["fileSystemInfo"]["lastModifiedDateTime"].is_string());
    EXPECT_EQ(file["@microsoft.graph.downloadUrl"].get<std::string>().rfind("https://public.dm.files.1drv.com/", 0),
              0u);
    // The download address answers a byte range.
    Reply part = client.Send("GET", file["@microsoft.graph.downloadUrl"].get<std::string>(), "", {"Range: bytes=6-10"});
    EXPECT_EQ(part.status, 206);
    EXPECT_EQ(part.body, "world");
    EXPECT_EQ(part.Header("content-range"), "bytes 6-10/11");

    json root = Get("/me/drive/root").Json();
    EXPECT_TRUE(root.contains("root"));
    EXPECT_EQ(root["folder"]["childCount"], 1);
    EXPECT_EQ(root["size"], 11);
    json docs = Get("/me/drive/items/" + folder).Json();
    EXPECT_EQ(docs["folder"]["childCount"], 1);
    EXPECT_EQ(docs["parentReference"]["path"], "/drive/root:");

    json picked = Get("/me/drive/items/" + file["id"].get<std::string>() + "?$select=id,name").Json();
    EXPECT_EQ(picked, (json{{"id", file["id"]}, {"name", "hello.txt"}}));
}

// Names that need escaping in a URL path, addressed by path for upload, lookup, children and
// content, and found by id under the name they were given.
TEST_F(GraphTest, PathAddressingTakesEscapedNames) {
    const std::string names[] = {"with space.txt", "hash#tag.txt", "100% sure.txt",
                                 "a+b.txt",        "it's.txt",     "caf\xc3\xa9.txt"};
    std::string folder = MakeFolder("root", "Odd names & more");
    for (const auto& name : names) {
        const std::string path = Escape("Odd names & more") + "/" + Escape(name);
        json made = Upload(path, "content of " + name);
        EXPECT_EQ(made["name"], name);
        Reply byPath = Get("/me/drive/root:/" + path + ":");
        ASSERT_EQ(byPath.status, 200) << name << " " << byPath.body;
        EXPECT_EQ(byPath.Json()["id"], made["id"]) << name;
        // The path form without the closing colon, and relative to the folder's id.
        EXPECT_EQ(Get("/me/drive/root:/" + path).Json()["id"], made["id"]) << name;
        EXPECT_EQ(Get("/me/drive/items/" + folder + ":/" + Escape(name) + ":").Json()["id"], made["id"]) << name;
        Reply content = Get("/me/drive/root:/" + path + ":/content");
        ASSERT_EQ(content.status, 302) << name;
        EXPECT_EQ(client.Get(content.Header("location")).body, "content of " + name);
        EXPECT_EQ(emulator->Find(Cloud::LiveConnect, "Odd names & more/" + name)->content, "content of " + name);
    }
    Reply children = Get("/me/drive/root:/" + Escape("Odd names & more") + ":/children");
    ASSERT_EQ(children.status, 200);
    EXPECT_EQ(children.Json()["value"].size(), std::size(names));
    // Names ignore case, as on Live Connect.
    EXPECT_EQ(Get("/me/drive/root:/ODD%20NAMES%20%26%20MORE/WITH%20SPACE.TXT").status, 200);
    EXPECT_EQ(ErrorCode(Get("/me/drive/root:/" + Escape("Odd names & more") + "/none.txt:")), "itemNotFound");
    EXPECT_EQ(ErrorCode(Get("/me/drive/root:/a/%2E%2E/b:")), "invalidRequest");
}

TEST_F(GraphTest, ChildrenComeInPagesFollowedThroughNextLink) {
    for (int i = 0; i < 1205; ++i) emulator->AddFile(Cloud::LiveConnect, "Many/f" + std::to_string(i) + ".txt", "x");
    std::string link = GraphApi + "/me/drive/root:/Many:/children?$top=500&$select=id,name,size";
    std::set<std::string> seen;
    std::vector<std::size_t> pages;
    while (!link.empty()) {
        Reply page = Call("GET", link);
        ASSERT_EQ(page.status, 200) << page.body;
        json body = page.Json();
        pages.push_back(body["value"].size());
        for (const auto& item : body["value"]) {
            EXPECT_EQ(item.size(), 3u);  // only what $select named
            EXPECT_TRUE(seen.insert(item["name"].get<std::string>()).second) << item["name"];
        }
        link = body.value("@odata.nextLink", "");
        if (!link.empty()) {
            EXPECT_EQ(link.rfind(GraphApi + "/me/drive/items/", 0), 0u) << link;
            EXPECT_NE(link.find("$skiptoken="), std::string::npos);
        }
    }
    EXPECT_EQ(pages, (std::vector<std::size_t>{500, 500, 205}));
    EXPECT_EQ(seen.size(), 1205u);

    // Without $top a page holds 200; more than 1,000 are never given at once.
    EXPECT_EQ(Get("/me/drive/root:/Many:/children").Json()["value"].size(), 200u);
    EXPECT_EQ(Get("/me/drive/root:/Many:/children?$top=5000").Json()["value"].size(), 1000u);
    EXPECT_EQ(ErrorCode(Get("/me/drive/root:/Many:/children?$top=0")), "invalidRequest");
    EXPECT_EQ(ErrorCode(Get("/me/drive/root:/Many:/children?$skiptoken=bogus")), "invalidRequest");
}

TEST_F(GraphTest, APageAfterADeletionNeitherRepeatsNorSkips) {
    for (int i = 0; i < 6; ++i) emulator->AddFile(Cloud::LiveConnect, "P/f" + std::to_string(i), "x");
    json first = Get("/me/drive/root:/P:/children?$top=3").Json();
    ASSERT_EQ(first["value"].size(), 3u);
    EXPECT_EQ(Call("DELETE", "/me/drive/items/" + first["value"][0]["id"].get<std::string>()).status, 204);
    json second = Call("GET", first["@odata.nextLink"]).Json();
    std::vector<std::string> names;
    for (const auto& item : second["value"]) names.push_back(item["name"]);
    EXPECT_EQ(names, (std::vector<std::string>{"f3", "f4", "f5"}));
    EXPECT_FALSE(second.contains("@odata.nextLink"));
}

TEST_F(GraphTest, NewFolderObeysTheConflictBehaviour) {
    MakeFolder("root", "Work");
    struct Case {
        std::string behaviour;
        int status;
        std::string name;
    };
    const Case cases[] = {{"", 409, ""}, {"fail", 409, ""}, {"rename", 201, "work (1)"}, {"replace", 201, "work"}};
    for (const auto& c : cases) {
        json body = {{"name", "work"}, {"folder", json::object()}};
        if (!c.behaviour.empty()) body["@microsoft.graph.conflictBehavior"] = c.behaviour;
        Reply r = Call("POST", "/me/drive/root/children", body.dump());
        EXPECT_EQ(r.status, c.status) << c.behaviour << r.body;
        EXPECT_EQ(c.status == 409 ? ErrorCode(r) : r.Json()["name"].get<std::string>(),
                  c.status == 409 ? "nameAlreadyExists" : c.name)
            << c.behaviour;
    }
    EXPECT_EQ(emulator->Children(Cloud::LiveConnect, "").size(), 2u);  // "Work 1" and the replacement

    const std::string bad[] = {R"({"folder":{}})", R"({"name":"a:b","folder":{}})", R"({"name":"ok"})",
                               R"({"name":"x","folder":{},"@microsoft.graph.conflictBehavior":"merge"})", "[1]"};
    for (const auto& body : bad) EXPECT_EQ(ErrorCode(Call("POST", "/me/drive/root/children", body)), "invalidRequest");
    std::string file = Upload("f.txt", "x")["id"];
    EXPECT_EQ(Call("POST", "/me/drive/items/" + file + "/children", R"({"name":"x","folder":{}})").status, 400);
}

TEST_F(GraphTest, PatchRenamesMovesAndSetsTheFilesOwnDates) {
    std::string a = MakeFolder("root", "A"), b = MakeFolder("root", "B");
    std::string file = Upload("A/doc.txt", "text")["id"];

    Reply renamed = Call("PATCH", "/me/drive/items/" + file, R"({"name":"renamed.txt"})");
    ASSERT_EQ(renamed.status, 200) << renamed.body;
    EXPECT_EQ(renamed.Json()["name"], "renamed.txt");
    EXPECT_EQ(renamed.Json()["id"], file);

    json move = {{"parentReference", {{"id", b}}}, {"name", "moved.txt"}};
    Reply moved = Call("PATCH", "/me/drive/items/" + file, move.dump());
    ASSERT_EQ(moved.status, 200) << moved.body;
    EXPECT_EQ(moved.Json()["parentReference"]["id"], b);
    EXPECT_EQ(emulator->Find(Cloud::LiveConnect, "B/moved.txt")->content, "text");
    EXPECT_FALSE(emulator->Find(Cloud::LiveConnect, "A/renamed.txt"));

    Reply dated = Call("PATCH", "/me/drive/items/" + file,
                       R"({"fileSystemInfo":{"lastModifiedDateTime":"2020-02-03T04:05:06Z",
                           "createdDateTime":"2019-01-01T00:00:00.5Z"}})");
    ASSERT_EQ(dated.status, 200) << dated.body;
    EXPECT_EQ(dated.Json()["fileSystemInfo"]["lastModifiedDateTime"], "2020-02-03T04:05:06.000Z");
    EXPECT_EQ(dated.Json()["fileSystemInfo"]["createdDateTime"], "2019-01-01T00:00:00.500Z");
    EXPECT_EQ(Get("/me/drive/items/" + file).Json()["fileSystemInfo"], dated.Json()["fileSystemInfo"]);

    // To the root by its id, by path, and refusals.
    json toRoot = {{"parentReference", {{"id", RootId()}}}};
    EXPECT_EQ(Call("PATCH", "/me/drive/items/" + file, toRoot.dump()).Json()["parentReference"]["path"],
              "/drive/root:");
    json byPath = {{"parentReference", {{"path", "/drive/root:/A"}}}};
    EXPECT_EQ(Call("PATCH", "/me/drive/items/" + file, byPath.dump()).Json()["parentReference"]["id"], a);
    Upload("B/moved.txt", "other");
    json clash = {{"parentReference", {{"id", b}}}, {"name", "MOVED.txt"}};
    EXPECT_EQ(ErrorCode(Call("PATCH", "/me/drive/items/" + file, clash.dump())), "nameAlreadyExists");
    EXPECT_EQ(Call("PATCH", "/me/drive/items/" + file + "?@microsoft.graph.conflictBehavior=rename", clash.dump())
                  .Json()["name"],
              "MOVED (1).txt");
    json intoItself = {{"parentReference", {{"id", a}}}};
    EXPECT_EQ(Call("PATCH", "/me/drive/items/" + a, intoItself.dump()).status, 400);
    EXPECT_EQ(Call("PATCH", "/me/drive/items/" + file, R"({"parentReference":{"id":"root"}})").status, 400);
    EXPECT_EQ(Call("PATCH", "/me/drive/items/" + file, R"({"name":"bad|name"})").status, 400);
    EXPECT_EQ(Call("PATCH", "/me/drive/items/" + file, R"({"fileSystemInfo":{"lastModifiedDateTime":"soon"}})").status,
              400);
}

TEST_F(GraphTest, IfMatchGuardsChangesAndDeletion) {
    json file = Upload("f.txt", "one");
    std::string id = file["id"], etag = file["eTag"];
    Upload("f.txt", "two");  // a new version: the old eTag no longer matches
    Reply stale = Call("PATCH", "/me/drive/items/" + id, R"({"name":"g.txt"})", {"If-Match: " + etag});
    EXPECT_EQ(stale.status, 412);
    EXPECT_EQ(ErrorCode(stale), "resourceModified");
    EXPECT_EQ(Call("DELETE", "/me/drive/items/" + id, "", {"If-Match: " + etag}).status, 412);
    std::string current = Get("/me/drive/items/" + id).Json()["eTag"];
    EXPECT_EQ(Call("DELETE", "/me/drive/items/" + id, "", {"If-Match: " + current}).status, 204);
    EXPECT_EQ(Get("/me/drive/items/" + id).status, 404);
    EXPECT_EQ(Call("DELETE", "/me/drive/items/" + id).status, 404);
    EXPECT_EQ(Call("DELETE", "/me/drive/root").status, 403);
}

TEST_F(GraphTest, CopyAnswersAMonitorThatReportsProgressThenTheCopy) {
    std::string target = MakeFolder("root", "Target");
    std::string folder = MakeFolder("root", "Src");
    Upload("Src/inner.txt", "inner bytes");
    json copy = {{"parentReference", {{"driveId", Get("/me/drive").Json()["id"]}, {"id", target}}}, {"name", "Copied"}};
    Reply started = Call("POST", "/me/drive/items/" + folder + "/copy", copy.dump());
    ASSERT_EQ(started.status, 202) << started.body;
    std::string monitor = started.Header("location");
    ASSERT_EQ(monitor.rfind("https://api.onedrive.com/monitor/", 0), 0u) << monitor;

    Reply progress = client.Get(monitor);  // the monitor needs no token
    EXPECT_EQ(progress.status, 202);
    EXPECT_EQ(progress.Json()["status"], "inProgress");
    EXPECT_GT(progress.Json()["percentageComplete"].get<double>(), 0);
    Reply done = client.Get(monitor);
    ASSERT_EQ(done.status, 200);
    EXPECT_EQ(done.Json()["status"], "completed");
    json made = Get("/me/drive/items/" + done.Json()["resourceId"].get<std::string>()).Json();
    EXPECT_EQ(made["name"], "Copied");
    EXPECT_EQ(made["parentReference"]["id"], target);
    EXPECT_EQ(emulator->Find(Cloud::LiveConnect, "Target/Copied/inner.txt")->content, "inner bytes");
    EXPECT_EQ(emulator->Find(Cloud::LiveConnect, "Src/inner.txt")->content, "inner bytes");

    // A clash fails unless the request says otherwise; the same place needs another name.
    EXPECT_EQ(ErrorCode(Call("POST", "/me/drive/items/" + folder + "/copy", copy.dump())), "nameAlreadyExists");
    EXPECT_EQ(Call("POST", "/me/drive/items/" + folder + "/copy?@microsoft.graph.conflictBehavior=replace", copy.dump())
                  .status,
              202);
    EXPECT_EQ(Call("POST", "/me/drive/items/" + folder + "/copy").status, 409);
    EXPECT_EQ(Call("POST", "/me/drive/items/" + folder + "/copy", R"({"name":"Src copy"})").status, 202);
    json otherDrive = {{"parentReference", {{"driveId", "ffffffffffffffff"}, {"id", target}}}};
    EXPECT_EQ(Call("POST", "/me/drive/items/" + folder + "/copy", otherDrive.dump()).status, 400);
    EXPECT_EQ(client.Get("https://api.onedrive.com/monitor/unknown").status, 404);
}

TEST_F(GraphTest, LiveConnectAndGraphSeeTheSameItems) {
    // Made through Live Connect, seen through Graph.
    Reply liveFolder = client.Send("POST", LiveApi + "/me/skydrive", R"({"name":"From Live"})",
                                   {HttpsClient::Bearer(token), "Content-Type: application/json"});
    ASSERT_EQ(liveFolder.status, 201) << liveFolder.body;
    std::string liveId = liveFolder.Json()["id"];
    json seen = Get("/me/drive/root:/From%20Live:").Json();
    ASSERT_TRUE(seen.contains("id")) << seen;
    std::string graphId = seen["id"];
    EXPECT_EQ(liveId.substr(liveId.size() - graphId.size()), graphId);

    // Made through Graph, seen through Live Connect under its own id.
    json file = Upload("From%20Live/from-graph.txt", "graph bytes");
    Reply list = client.Get(LiveApi + "/" + liveId + "/files", token);
    ASSERT_EQ(list.status, 200) << list.body;
    ASSERT_EQ(list.Json()["data"].size(), 1u);
    json liveFile = list.Json()["data"][0];
    EXPECT_EQ(liveFile["name"], "from-graph.txt");
    EXPECT_EQ(liveFile["id"], "file.e0a1c0de5eed1e55." + file["id"].get<std::string>());
    Reply liveContent = client.Get(LiveApi + "/" + liveFile["id"].get<std::string>() + "/content", token);
    EXPECT_EQ(client.Get(liveContent.Header("location")).body, "graph bytes");

    // A rename through one shows in the other; a deletion too.
    Call("PATCH", "/me/drive/items/" + file["id"].get<std::string>(), R"({"name":"renamed.txt"})");
    EXPECT_EQ(client.Get(LiveApi + "/" + liveFile["id"].get<std::string>(), token).Json()["name"], "renamed.txt");
    EXPECT_EQ(client.Send("DELETE", LiveApi + "/" + liveId, "", {HttpsClient::Bearer(token)}).status, 204);
    EXPECT_EQ(Get("/me/drive/items/" + graphId).status, 404);
}

}  // namespace
