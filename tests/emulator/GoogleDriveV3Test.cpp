// Google Drive v3: listing, searching, field selections, metadata changes and their errors, on the
// same account as Drive v2.

#include "EmulatorFixture.h"
#include "TestData.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

using namespace Nimbo::Emulator;
using namespace EmulatorTest;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAreArray;

namespace {

const std::string Files = "https://www.googleapis.com/drive/v3/files";
const std::string About = "https://www.googleapis.com/drive/v3/about";
const std::string V2Files = "https://www.googleapis.com/drive/v2/files";
const std::string FolderMime = "application/vnd.google-apps.folder";

// The answer with its keys in the order they arrived.
nlohmann::ordered_json Ordered(const Reply& r) { return nlohmann::ordered_json::parse(r.body, nullptr, false); }

std::vector<std::string> Keys(const nlohmann::ordered_json& object) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : object.items()) keys.push_back(key);
    return keys;
}

class GoogleDriveV3Test : public EmulatorFixture {
protected:
    GoogleDriveV3Test() : EmulatorFixture({Cloud::GoogleDrive, "app.apps.googleusercontent.com", "s3cret", {}}) {}

    Reply Get(const std::string& url, const Fields& query = {}) const {
        return client.Get(query.empty() ? url : url + "?" + HttpsClient::Encode(query), token);
    }
    Reply Json(const std::string& method, const std::string& url, const std::string& body) const {
        return client.Send(method, url, body, {HttpsClient::Bearer(token), "Content-Type: application/json"});
    }
    // The names of every item a listing gives, following its pages.
    std::vector<std::string> Names(Fields query) const {
        query.emplace_back("fields", "nextPageToken,files(name)");
        std::vector<std::string> names;
        std::string pageToken;
        do {
            Fields page = query;
            if (!pageToken.empty()) page.emplace_back("pageToken", pageToken);
            Reply r = Get(Files, page);
            EXPECT_EQ(r.status, 200) << r.body;
            const auto body = r.Json();
            for (const auto& file : body["files"]) names.push_back(file["name"]);
            pageToken = body.value("nextPageToken", "");
        } while (!pageToken.empty());
        return names;
    }
    std::string MakeFolder(const std::string& name, const std::string& parent = "root") const {
        Reply r =
            Json("POST", Files, nlohmann::json{{"name", name}, {"mimeType", FolderMime}, {"parents", {parent}}}.dump());
        EXPECT_EQ(r.status, 200) << r.body;
        return r.Json()["id"];
    }
    static void ExpectError(const Reply& r, int status, const std::string& reason, const std::string& what) {
        EXPECT_EQ(r.status, status) << what << ": " << r.body;
        auto error = Ordered(r)["error"];
        EXPECT_THAT(Keys(error), ElementsAre("code", "message", "errors")) << what;
        EXPECT_EQ(error["code"], status) << what;
        EXPECT_EQ(error["errors"][0]["reason"], reason) << what << ": " << r.body;
        EXPECT_EQ(error["errors"][0]["message"], error["message"]) << what;
    }
};

TEST_F(GoogleDriveV3Test, ListingWithoutFieldsGivesTheDefaultSubsetAndIncludesTheTrash) {
    emulator->AddFile(Cloud::GoogleDrive, "kept.txt", "x");
    std::string trashed = emulator->AddFile(Cloud::GoogleDrive, "gone.txt", "y");
    ASSERT_EQ(Json("PATCH", Files + "/" + trashed, R"({"trashed":true})").status, 200);

    Reply r = Get(Files);
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_THAT(Keys(Ordered(r)), ElementsAre("kind", "incompleteSearch", "files"));
    EXPECT_EQ(r.Json()["kind"], "drive#fileList");
    ASSERT_EQ(r.Json()["files"].size(), 2u);
    const auto files = Ordered(r)["files"];
    for (const auto& file : files) EXPECT_THAT(Keys(file), ElementsAre("kind", "id", "name", "mimeType"));

    EXPECT_THAT(Names({{"q", "trashed=false"}}), ElementsAre("kept.txt"));
    EXPECT_THAT(Names({{"q", "trashed = true"}}), ElementsAre("gone.txt"));
}

TEST_F(GoogleDriveV3Test, ListingPagesThroughAFolderLargerThanAPage) {
    std::string folder = emulator->AddFolder(Cloud::GoogleDrive, "Big");
    std::set<std::string> made;
    for (int i = 0; i < 250; ++i) made.insert(emulator->AddFolder(Cloud::GoogleDrive, "Big/item " + std::to_string(i)));
    emulator->AddFolder(Cloud::GoogleDrive, "elsewhere");

    const std::string q = "'" + folder + "' in parents and trashed=false";
    std::vector<std::string> seen;
    std::vector<std::size_t> pageSizes;
    std::string pageToken;
    do {
        Fields query{{"q", q}, {"pageSize", "100"}, {"fields", "nextPageToken,files(id)"}};
        if (!pageToken.empty()) query.emplace_back("pageToken", pageToken);
        Reply r = Get(Files, query);
        ASSERT_EQ(r.status, 200) << r.body;
        const auto body = r.Json();
        for (const auto& file : body["files"]) seen.push_back(file["id"]);
        pageSizes.push_back(body["files"].size());
        pageToken = body.value("nextPageToken", "");
    } while (!pageToken.empty());
    EXPECT_THAT(pageSizes, ElementsAre(100u, 100u, 50u));
    EXPECT_THAT(seen, UnorderedElementsAreArray(made));

    Reply first = Get(Files, {{"q", q}, {"pageSize", "100"}});
    std::string token = first.Json()["nextPageToken"];
    ExpectError(Get(Files, {{"q", "trashed=false"}, {"pageToken", token}}), 400, "invalid", "token of another query");
    ExpectError(Get(Files, {{"pageToken", "not a token"}}), 400, "invalid", "made-up token");
    for (const char* size : {"0", "1001", "-1", "ten"})
        ExpectError(Get(Files, {{"pageSize", size}}), 400, "invalid", std::string("pageSize ") + size);
}

TEST_F(GoogleDriveV3Test, ItemsRemovedBetweenPagesDoNotShiftTheNextPage) {
    std::vector<std::string> ids;
    for (int i = 0; i < 6; ++i) ids.push_back(emulator->AddFolder(Cloud::GoogleDrive, "f" + std::to_string(i)));
    Reply first = Get(Files, {{"pageSize", "3"}, {"fields", "nextPageToken,files(name)"}});
    ASSERT_EQ(first.status, 200);
    ASSERT_EQ(client.Send("DELETE", Files + "/" + ids[0], "", {HttpsClient::Bearer(token)}).status, 204);
    Reply second = Get(Files, {{"pageSize", "3"}, {"pageToken", first.Json()["nextPageToken"]}});
    ASSERT_EQ(second.status, 200) << second.body;
    std::vector<std::string> names;
    const auto body = second.Json();
    for (const auto& file : body["files"]) names.push_back(file["name"]);
    EXPECT_THAT(names, ElementsAre("f3", "f4", "f5"));
}

TEST_F(GoogleDriveV3Test, FieldSelectionsShapeTheAnswer) {
    emulator->AddFile(Cloud::GoogleDrive, "Docs/a.txt", "abc");
    struct Case {
        std::string fields;
        std::vector<std::string> answerKeys, fileKeys;
    };
    const Case cases[] = {
        {"files(id,name),nextPageToken", {"files"}, {"id", "name"}},
        {"files/id", {"files"}, {"id"}},
        {"files(id,owners/displayName),kind", {"kind", "files"}, {"id", "owners"}},
        {"files(name), files(id)", {"files"}, {"id", "name"}},  // merged, in the resource's order
        {"files(id,size,md5Checksum,mimeType)", {"files"}, {"id", "mimeType", "md5Checksum", "size"}},
    };
    for (const Case& c : cases) {
        Reply r = Get(Files, {{"q", "name='a.txt'"}, {"fields", c.fields}});
        ASSERT_EQ(r.status, 200) << c.fields << ": " << r.body;
        EXPECT_EQ(Keys(Ordered(r)), c.answerKeys) << c.fields;
        ASSERT_EQ(r.Json()["files"].size(), 1u) << c.fields;
        EXPECT_EQ(Keys(Ordered(r)["files"][0]), c.fileKeys) << c.fields;
    }
    Reply owners = Get(Files, {{"q", "name='a.txt'"}, {"fields", "files(owners/displayName)"}});
    EXPECT_THAT(Keys(Ordered(owners)["files"][0]["owners"][0]), ElementsAre("displayName"));

    Reply all = Get(Files, {{"q", "name='a.txt'"}, {"fields", "*"}});
    EXPECT_EQ(all.Json()["files"][0]["size"], "3");
    EXPECT_EQ(all.Json()["files"][0]["sha256Checksum"], Sha256Hex("abc"));
    Reply whole = Get(Files, {{"q", "name='a.txt'"}, {"fields", "files"}});
    EXPECT_EQ(whole.Json()["files"][0], all.Json()["files"][0]);

    for (const std::string bad :
         {"files(nam)", "nope", "files(id", "files(id))", "files/id/x", "kind(id)", "files(,)"}) {
        Reply r = Get(Files, {{"fields", bad}});
        ExpectError(r, 400, "invalidParameter", bad);
        EXPECT_EQ(r.Json()["error"]["errors"][0]["location"], "fields") << bad;
        EXPECT_EQ(r.Json()["error"]["message"].get<std::string>().rfind("Invalid field selection ", 0), 0u) << bad;
    }
    EXPECT_EQ(Get(Files, {{"fields", "files(nam)"}}).Json()["error"]["message"], "Invalid field selection nam");
}

TEST_F(GoogleDriveV3Test, SearchFindsNamesWithEveryKindOfCharacter) {
    const std::vector<std::string> names = {"a b.txt",       "hash#1.txt", "100%.txt",       "c++ notes.txt",
                                            "O'Brien's.txt", "café.txt",   "back\\slash.txt"};
    std::string folder = emulator->AddFolder(Cloud::GoogleDrive, "Mixed");
    for (const auto& name : names) emulator->AddFile(Cloud::GoogleDrive, "Mixed/" + name, name);
    emulator->AddFolder(Cloud::GoogleDrive, "Mixed/Sub");
    emulator->AddFile(Cloud::GoogleDrive, "Mixed/Sub/a b.txt", "deeper");

    struct Case {
        std::string q;
        std::vector<std::string> found;
    };
    const std::string in = "'" + folder + "' in parents";
    const Case cases[] = {
        {"name = 'a b.txt'", {"a b.txt", "a b.txt"}},
        {in + " and name = 'a b.txt'", {"a b.txt"}},
        {"name = 'hash#1.txt'", {"hash#1.txt"}},
        {"name = '100%.txt'", {"100%.txt"}},
        {"name = 'c++ notes.txt'", {"c++ notes.txt"}},
        {R"(name = 'O\'Brien\'s.txt')", {"O'Brien's.txt"}},
        {"name = 'café.txt'", {"café.txt"}},
        {R"(name = 'back\\slash.txt')", {"back\\slash.txt"}},
        {"name contains 'caf' and " + in, {"café.txt"}},
        {in + " and mimeType = '" + FolderMime + "'", {"Sub"}},
        {in + " and not mimeType = '" + FolderMime + "' and (name = 'a b.txt' or name contains 'hash')",
         {"a b.txt", "hash#1.txt"}},
        {in + " and modifiedTime > '2000-01-01T00:00:00' and createdTime < '2099-01-01T00:00:00Z' and "
              "name = '100%.txt'",
         {"100%.txt"}},
        {"'root' in parents", {"Mixed"}},
        {"'nope' in parents", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(Names({{"q", c.q}}), c.found) << c.q;

    for (const std::string bad :
         {"name = 'unterminated", "title = 'a b.txt'", "modifiedDate > '2000-01-01'", "name ~ 'x'", "(trashed = false",
          "name = 'x' and", "trashed = maybe", "modifiedTime > 'tomorrow'",
          // past what the emulator's clock holds: refused rather than wrapped round
          "modifiedTime < '2999-01-01T00:00:00'"}) {
        Reply r = Get(Files, {{"q", bad}});
        ExpectError(r, 400, "invalid", bad);
        EXPECT_EQ(r.Json()["error"]["errors"][0]["location"], "q") << bad;
    }
}

TEST_F(GoogleDriveV3Test, OrderByAppliesAcrossPages) {
    for (const char* name : {"b10.txt", "B2.txt", "a.txt"}) emulator->AddFile(Cloud::GoogleDrive, name, name);
    for (const char* name : {"zeta", "Alpha"}) emulator->AddFolder(Cloud::GoogleDrive, name);
    struct Case {
        std::string orderBy;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {"folder,name", {"Alpha", "zeta", "a.txt", "b10.txt", "B2.txt"}},
        {"name desc", {"zeta", "B2.txt", "b10.txt", "Alpha", "a.txt"}},
        {"folder desc, name_natural", {"a.txt", "B2.txt", "b10.txt", "Alpha", "zeta"}},
        {"quotaBytesUsed desc,name", {"b10.txt", "B2.txt", "a.txt", "Alpha", "zeta"}},
    };
    for (const Case& c : cases) EXPECT_EQ(Names({{"orderBy", c.orderBy}, {"pageSize", "2"}}), c.names) << c.orderBy;
    for (const char* bad : {"size", "name sideways", "name desc desc"})
        ExpectError(Get(Files, {{"orderBy", bad}}), 400, "invalid", bad);
}

TEST_F(GoogleDriveV3Test, GetGivesMetadataWithChecksumsAndMediaWithRanges) {
    const std::string bytes = PatternBytes(1000);
    std::string id = emulator->AddFile(Cloud::GoogleDrive, "Docs/data.bin", bytes, "application/x-data");
    std::string folder = emulator->Find(Cloud::GoogleDrive, "Docs")->id;

    Reply plain = Get(Files + "/" + id);
    ASSERT_EQ(plain.status, 200) << plain.body;
    EXPECT_THAT(Keys(Ordered(plain)), ElementsAre("kind", "id", "name", "mimeType"));

    Reply meta = Get(Files + "/" + id, {{"fields", "id,name,parents,size,md5Checksum,sha1Checksum,sha256Checksum"}});
    ASSERT_EQ(meta.status, 200) << meta.body;
    EXPECT_EQ(meta.Json(), (nlohmann::json{{"id", id},
                                           {"name", "data.bin"},
                                           {"parents", {folder}},
                                           {"md5Checksum", Md5Hex(bytes)},
                                           {"sha1Checksum", Sha1Hex(bytes)},
                                           {"sha256Checksum", Sha256Hex(bytes)},
                                           {"size", "1000"}}));

    Reply media = Get(Files + "/" + id, {{"alt", "media"}});
    EXPECT_EQ(media.status, 200);
    EXPECT_EQ(media.body, bytes);
    EXPECT_EQ(media.Header("content-type"), "application/x-data");
    Reply part =
        client.Send("GET", Files + "/" + id + "?alt=media", "", {HttpsClient::Bearer(token), "Range: bytes=100-199"});
    EXPECT_EQ(part.status, 206);
    EXPECT_EQ(part.body, bytes.substr(100, 100));
    EXPECT_EQ(part.Header("content-range"), "bytes 100-199/1000");
    Reply tail =
        client.Send("GET", Files + "/" + id + "?alt=media", "", {HttpsClient::Bearer(token), "Range: bytes=-10"});
    EXPECT_EQ(tail.body, bytes.substr(990));
    EXPECT_EQ(
        client.Send("GET", Files + "/" + id + "?alt=media", "", {HttpsClient::Bearer(token), "Range: bytes=5000-"})
            .status,
        416);

    Reply root = Get(Files + "/root", {{"fields", "id,name,parents"}});
    EXPECT_EQ(root.Json()["name"], "My Drive");
    EXPECT_FALSE(root.Json().contains("parents"));

    ExpectError(Get(Files + "/" + folder, {{"alt", "media"}}), 403, "fileNotDownloadable", "folder");
    Reply missing = Get(Files + "/nope");
    ExpectError(missing, 404, "notFound", "unknown id");
    EXPECT_EQ(missing.Json()["error"]["message"], "File not found: nope.");
    EXPECT_EQ(missing.Json()["error"]["errors"][0]["location"], "fileId");
    ExpectError(client.Get(Files + "/" + id), 401, "required", "no token");
}

TEST_F(GoogleDriveV3Test, CreateMakesFoldersAndFilesFromMetadataAlone) {
    std::string folder = MakeFolder("Docs");
    Reply file = Json("POST", Files + "?fields=id,name,parents,mimeType,size",
                      R"({"name":"notes.txt","mimeType":"text/plain","parents":[")" + folder + R"("]})");
    ASSERT_EQ(file.status, 200) << file.body;
    EXPECT_EQ(file.Json()["parents"][0], folder);
    EXPECT_EQ(file.Json()["size"], "0");
    Reply same = Json("POST", Files, R"({"name":"notes.txt","parents":[")" + folder + R"("]})");
    ASSERT_EQ(same.status, 200);
    EXPECT_NE(same.Json()["id"], file.Json()["id"]);  // names are not unique in a folder
    EXPECT_THAT(Names({{"q", "'" + folder + "' in parents"}}), ElementsAre("notes.txt", "notes.txt"));

    Reply untitled = Json("POST", Files + "?fields=name,parents", "{}");
    EXPECT_EQ(untitled.Json()["name"], "Untitled");
    EXPECT_EQ(untitled.Json()["parents"][0], emulator->Find(Cloud::GoogleDrive, "/")->id);

    Reply dated =
        Json("POST", Files + "?fields=modifiedTime,createdTime",
             R"({"name":"old.txt","modifiedTime":"2001-02-03T04:05:06.789Z","createdTime":"2000-01-01T00:00:00Z"})");
    EXPECT_EQ(dated.Json()["modifiedTime"], "2001-02-03T04:05:06.789Z");
    EXPECT_EQ(dated.Json()["createdTime"], "2000-01-01T00:00:00.000Z");

    struct Case {
        std::string body;
        int status;
        std::string reason;
    };
    const Case refused[] = {
        {R"({"name":"x","parents":["nope"]})", 404, "notFound"},
        {R"({"name":"x","parents":[")" + folder + R"(","root"]})", 403, "cannotAddParent"},
        {R"({"name":"x","size":"12"})", 403, "fieldNotWritable"},
        {R"({"name":42})", 400, "invalid"},
        {R"({"name":"x","modifiedTime":"yesterday"})", 400, "invalid"},
        {R"({"name":"x")", 400, "parseError"},
    };
    for (const Case& c : refused) ExpectError(Json("POST", Files, c.body), c.status, c.reason, c.body);
    ExpectError(Json("POST", Files + "?fields=nope", R"({"name":"x"})"), 400, "invalidParameter", "bad fields");
    EXPECT_EQ(Names({{"q", "name = 'x'"}}).size(), 0u);  // nothing was made by a refused request
}

TEST_F(GoogleDriveV3Test, PatchRenamesMovesAndTrashes) {
    std::string a = MakeFolder("A"), b = MakeFolder("B"), inner = MakeFolder("Inner", a);
    std::string id = emulator->AddFile(Cloud::GoogleDrive, "A/file.txt", "x");

    Reply renamed = Json("PATCH", Files + "/" + id + "?fields=name,parents", R"({"name":"renamed.txt"})");
    ASSERT_EQ(renamed.status, 200) << renamed.body;
    EXPECT_EQ(renamed.Json(), (nlohmann::json{{"name", "renamed.txt"}, {"parents", {a}}}));

    Reply moved =
        Json("PATCH", Files + "/" + id + "?addParents=" + b + "&removeParents=" + a + "&fields=parents", "{}");
    ASSERT_EQ(moved.status, 200) << moved.body;
    EXPECT_EQ(moved.Json()["parents"], nlohmann::json({b}));
    EXPECT_TRUE(emulator->Find(Cloud::GoogleDrive, "B/renamed.txt").has_value());

    Reply trashed = Json("PATCH", Files + "/" + a + "?fields=trashed,explicitlyTrashed", R"({"trashed":true})");
    EXPECT_EQ(trashed.Json(), (nlohmann::json{{"trashed", true}, {"explicitlyTrashed", true}}));
    Reply below = Get(Files + "/" + inner, {{"fields", "trashed,explicitlyTrashed"}});
    EXPECT_EQ(below.Json(), (nlohmann::json{{"trashed", true}, {"explicitlyTrashed", false}}));
    EXPECT_THAT(Names({{"q", "trashed = false and mimeType = '" + FolderMime + "'"}}), ElementsAre("B"));
    EXPECT_EQ(client.Get(V2Files + "/" + a, token).Json()["labels"]["trashed"], true);
    Json("PATCH", Files + "/" + a, R"({"trashed":false})");
    EXPECT_EQ(Get(Files + "/" + inner, {{"fields", "trashed"}}).Json()["trashed"], false);

    struct Case {
        std::string what, url, body;
        int status;
        std::string reason;
    };
    const Case refused[] = {
        {"parents in the body", Files + "/" + id, R"({"parents":[")" + a + R"("]})", 403, "fieldNotWritable"},
        {"a second parent", Files + "/" + id + "?addParents=" + a, "{}", 403, "cannotAddParent"},
        {"no parent left", Files + "/" + id + "?removeParents=" + b, "{}", 400, "badRequest"},
        {"into itself", Files + "/" + a + "?addParents=" + inner + "&removeParents=root", "{}", 400, "invalidParent"},
        {"unknown parent", Files + "/" + id + "?addParents=nope&removeParents=" + b, "{}", 404, "notFound"},
        {"folder to file", Files + "/" + a, R"({"mimeType":"text/plain"})", 400, "badRequest"},
        {"trashed not a flag", Files + "/" + id, R"({"trashed":"yes"})", 400, "invalid"},
        {"rename the root", Files + "/root", R"({"name":"Mine"})", 403, "insufficientFilePermissions"},
        {"unknown item", Files + "/nope", R"({"name":"x"})", 404, "notFound"},
        {"read-only key", Files + "/" + id, R"({"md5Checksum":"00"})", 403, "fieldNotWritable"},
        {"name and a bad move", Files + "/" + id + "?addParents=nope&removeParents=" + b, R"({"name":"lost"})", 404,
         "notFound"},
    };
    for (const Case& c : refused) ExpectError(Json("PATCH", c.url, c.body), c.status, c.reason, c.what);
    Reply after = Get(Files + "/" + id, {{"fields", "name,parents"}});
    EXPECT_EQ(after.Json(), (nlohmann::json{{"name", "renamed.txt"}, {"parents", {b}}}));  // nothing half done
}

TEST_F(GoogleDriveV3Test, CopyMakesFilesAndRefusesFolders) {
    std::string folder = MakeFolder("Target");
    std::string id = emulator->AddFile(Cloud::GoogleDrive, "Docs/report.txt", "numbers");
    std::string docs = emulator->Find(Cloud::GoogleDrive, "Docs")->id;

    Reply plain = Json("POST", Files + "/" + id + "/copy?fields=id,name,parents,md5Checksum", "{}");
    ASSERT_EQ(plain.status, 200) << plain.body;
    EXPECT_EQ(plain.Json()["name"], "Copy of report.txt");
    EXPECT_EQ(plain.Json()["parents"][0], docs);
    EXPECT_EQ(plain.Json()["md5Checksum"], Md5Hex("numbers"));
    EXPECT_NE(plain.Json()["id"], id);

    Reply placed = Json("POST", Files + "/" + id + "/copy?fields=name,parents",
                        R"({"name":"mine.txt","parents":[")" + folder + R"("]})");
    EXPECT_EQ(placed.Json(), (nlohmann::json{{"name", "mine.txt"}, {"parents", {folder}}}));
    EXPECT_EQ(emulator->Find(Cloud::GoogleDrive, "Target/mine.txt")->content, "numbers");

    Reply refused = Json("POST", Files + "/" + docs + "/copy", "{}");
    ExpectError(refused, 403, "cannotCopyFile", "folder");
    EXPECT_EQ(refused.Json()["error"]["message"], "Folders cannot be copied.");
    ExpectError(Json("POST", Files + "/nope/copy", "{}"), 404, "notFound", "unknown");
    ExpectError(Json("POST", Files + "/" + id + "/copy", R"({"mimeType":")" + FolderMime + R"("})"), 400, "badRequest",
                "a copy that would be a folder");
}

TEST_F(GoogleDriveV3Test, DeleteSkipsTheTrashAndEmptyTrashTakesOnlyTheTrash) {
    std::string kept = emulator->AddFile(Cloud::GoogleDrive, "kept.txt", "k");
    std::string binned = emulator->AddFile(Cloud::GoogleDrive, "Old/binned.txt", "b");
    std::string old = emulator->Find(Cloud::GoogleDrive, "Old")->id;
    std::string deleted = emulator->AddFile(Cloud::GoogleDrive, "deleted.txt", "d");

    EXPECT_EQ(client.Send("DELETE", Files + "/" + deleted, "", {HttpsClient::Bearer(token)}).status, 204);
    ExpectError(Get(Files + "/" + deleted), 404, "notFound", "deleted");
    Json("PATCH", Files + "/" + old, R"({"trashed":true})");
    EXPECT_EQ(client.Send("DELETE", Files + "/trash", "", {HttpsClient::Bearer(token)}).status, 204);
    ExpectError(Get(Files + "/" + binned), 404, "notFound", "below a trashed folder");
    EXPECT_EQ(Get(Files + "/" + kept).status, 200);
    ExpectError(client.Send("DELETE", Files + "/root", "", {HttpsClient::Bearer(token)}), 403,
                "insufficientFilePermissions", "root");
    ExpectError(client.Send("DELETE", Files + "/nope", "", {HttpsClient::Bearer(token)}), 404, "notFound", "unknown");
}

TEST_F(GoogleDriveV3Test, AboutNeedsFieldsAndGivesOnlyThem) {
    emulator->SetAccountName(Cloud::GoogleDrive, "Ada");
    emulator->AddFile(Cloud::GoogleDrive, "a.bin", std::string(300, 'a'));
    std::string binned = emulator->AddFile(Cloud::GoogleDrive, "b.bin", std::string(200, 'b'));
    Json("PATCH", Files + "/" + binned, R"({"trashed":true})");

    Reply missing = Get(About);
    ExpectError(missing, 400, "required", "no fields");
    EXPECT_EQ(missing.Json()["error"]["message"], "The 'fields' parameter is required for this method.");

    Reply user = Get(About, {{"fields", "user"}});
    ASSERT_EQ(user.status, 200) << user.body;
    EXPECT_THAT(Keys(Ordered(user)), ElementsAre("user"));
    EXPECT_EQ(user.Json()["user"]["displayName"], "Ada");
    EXPECT_EQ(user.Json()["user"]["me"], true);

    Reply quota = Get(About, {{"fields", "storageQuota(usage,usageInDriveTrash),user/emailAddress"}});
    EXPECT_EQ(quota.Json(), (nlohmann::json{{"user", {{"emailAddress", "user@example.com"}}},
                                            {"storageQuota", {{"usage", "500"}, {"usageInDriveTrash", "200"}}}}));
    ExpectError(Get(About, {{"fields", "quota"}}), 400, "invalidParameter", "unknown field");
}

TEST_F(GoogleDriveV3Test, V2AndV3SeeTheSameItems) {
    Reply fromV2 = Json("POST", V2Files, R"({"title":"made in v2","mimeType":")" + FolderMime + R"("})");
    ASSERT_EQ(fromV2.status, 200);
    std::string v2Folder = fromV2.Json()["id"];
    EXPECT_EQ(Get(Files + "/" + v2Folder, {{"fields", "name,mimeType"}}).Json(),
              (nlohmann::json{{"name", "made in v2"}, {"mimeType", FolderMime}}));

    Reply fromV3 = Json("POST", Files, R"({"name":"made in v3.txt","parents":[")" + v2Folder + R"("]})");
    std::string v3File = fromV3.Json()["id"];
    Reply seen = client.Get(V2Files + "/" + v3File, token);
    EXPECT_EQ(seen.Json()["title"], "made in v3.txt");
    EXPECT_EQ(seen.Json()["parents"][0]["id"], v2Folder);

    Reply listed = client.Get(V2Files + "?" + HttpsClient::Encode({{"q", "'" + v2Folder + "' in parents"}}), token);
    ASSERT_EQ(listed.Json()["items"].size(), 1u);
    EXPECT_EQ(listed.Json()["items"][0]["id"], v3File);

    Json("PUT", V2Files + "/" + v3File, R"({"title":"renamed in v2.txt"})");
    EXPECT_EQ(Get(Files + "/" + v3File).Json()["name"], "renamed in v2.txt");
}

// States saved before contents kept a SHA-256 get theirs from the stored file when they load.
TEST(GoogleDriveV3State, ChecksumsMissingFromASavedStateAreComputedOnLoad) {
    auto dir = std::filesystem::temp_directory_path() / ("emulator-v3-state-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    const std::string bytes = PatternBytes(5000);
    std::filesystem::create_directories(dir / "files");
    std::ofstream(dir / "files" / "old-content", std::ios::binary) << bytes;
    nlohmann::json tree = nlohmann::json::array();
    tree.push_back({{"id", "0AEmuRootFolderUk9PVA"},
                    {"parent", ""},
                    {"name", ""},
                    {"folder", true},
                    {"mime", ""},
                    {"content", ""},
                    {"size", 0},
                    {"created", 0},
                    {"modified", 0},
                    {"version", 0}});
    tree.push_back({{"id", "0Bold"},
                    {"parent", "0AEmuRootFolderUk9PVA"},
                    {"name", "old.bin"},
                    {"folder", false},
                    {"mime", "application/octet-stream"},
                    {"content", "old-content"},
                    {"size", bytes.size()},
                    {"md5", Md5Hex(bytes)},
                    {"sha1", Sha1Hex(bytes)},
                    {"created", 0},
                    {"modified", 0},
                    {"version", 0}});
    nlohmann::json oauth = {{"clients", nlohmann::json::array()},
                            {"access", nlohmann::json::object()},
                            {"refresh", nlohmann::json::object()}};
    std::ofstream(dir / "state.json")
        << nlohmann::json{{"google", {{"account", "Old"}, {"tree", tree}, {"oauth", oauth}}}}.dump();

    CloudEmulator second({.dataDir = dir});
    second.Start();
    second.RegisterClient(Cloud::GoogleDrive, "app", "s3cret");
    std::string token = second.IssueTokens(Cloud::GoogleDrive, "app").accessToken;
    std::string id = second.Find(Cloud::GoogleDrive, "old.bin")->id;
    Reply r = HttpsClient(second).Get(Files + "/" + id + "?fields=md5Checksum,sha256Checksum", token);
    EXPECT_EQ(r.Json(), (nlohmann::json{{"md5Checksum", Md5Hex(bytes)}, {"sha256Checksum", Sha256Hex(bytes)}}));
    second.Stop();
    std::filesystem::remove_all(dir);
}

}  // namespace
