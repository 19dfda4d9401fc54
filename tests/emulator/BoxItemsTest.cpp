// Box calls on items beyond the basics: the upload pre-check, marker paging, updates, copies,
// content dates and the trash.

#include "EmulatorFixture.h"

#include <gtest/gtest.h>

#include <set>

using namespace Nimbo::Emulator;
using namespace EmulatorTest;

namespace {

const std::string Api = "https://api.box.com/2.0";
const std::string Upload = "https://upload.box.com/api/2.0/files";

class BoxItemsTest : public EmulatorFixture {
protected:
    BoxItemsTest() : EmulatorFixture({Cloud::Box, "boxclient", "s3cret", {}}) {}

    Reply Call(const std::string& method, const std::string& url, const std::string& body = "",
               std::vector<std::string> headers = {}) const {
        headers.push_back(HttpsClient::Bearer(token));
        return client.Send(method, url, body, headers);
    }
    std::string Id(const std::string& path) const { return emulator->Find(Cloud::Box, path)->id; }
    static std::string Parent(const std::string& id) { return R"({"parent":{"id":")" + id + R"("}})"; }
};

TEST_F(BoxItemsTest, PreflightAnswersAsTheUploadWould) {
    std::string docs = emulator->AddFolder(Cloud::Box, "Docs");
    std::string taken = emulator->AddFile(Cloud::Box, "Docs/taken.txt", "x");
    emulator->AddFile(Cloud::Box, "Docs/other.txt", "y");
    auto body = [&](const std::string& name, const std::string& extra = "") {
        return R"({"name":")" + name + R"(","parent":{"id":")" + docs + R"("})" + extra + "}";
    };
    Reply ok = Call("OPTIONS", Api + "/files/content", body("new.txt", R"(,"size":1000)"));
    ASSERT_EQ(ok.status, 200) << ok.body;
    EXPECT_EQ(ok.Json()["upload_url"].get<std::string>().rfind(Upload + "/content?upload_session_id=", 0), 0u);
    EXPECT_TRUE(ok.Json()["upload_token"].is_null());

    struct Case {
        std::string name;
        Reply reply;
        int status;
        std::string code;
    };
    const Case cases[] = {
        {"a name in use", Call("OPTIONS", Api + "/files/content", body("TAKEN.txt")), 409, "item_name_in_use"},
        {"over the largest file", Call("OPTIONS", Api + "/files/content", body("big.bin", R"(,"size":16106127361)")),
         403, "file_size_limit_exceeded"},
        {"over the account's space", Call("OPTIONS", Api + "/files/content", body("big.bin", R"(,"size":11000000000)")),
         403, "storage_limit_exceeded"},
        {"a bad name", Call("OPTIONS", Api + "/files/content", body("a\\\\b")), 400, "item_name_invalid"},
        {"an unknown folder", Call("OPTIONS", Api + "/files/content", R"({"name":"a","parent":{"id":"999"}})"), 404,
         "not_found"},
        {"a version renamed onto another file",
         Call("OPTIONS", Api + "/files/" + taken + "/content", R"({"name":"other.txt"})"), 409, "item_name_in_use"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.reply.status, c.status) << c.name << " " << c.reply.body;
        EXPECT_EQ(c.reply.Json()["code"], c.code) << c.name;
    }
    EXPECT_EQ(Call("OPTIONS", Api + "/files/content", body("TAKEN.txt")).Json()["context_info"]["conflicts"]["id"],
              taken);
    EXPECT_EQ(Call("OPTIONS", Api + "/files/" + taken + "/content", R"({"size":5})").status, 200);
}

TEST_F(BoxItemsTest, MarkerPagingWalksEveryItemOnce) {
    std::string big = emulator->AddFolder(Cloud::Box, "Big");
    for (int i = 0; i < 1500; ++i) emulator->AddFile(Cloud::Box, "Big/f" + std::to_string(10000 + i), "");
    const std::string items = Api + "/folders/" + big + "/items?usemarker=true&limit=1000";
    Reply first = Call("GET", items);
    ASSERT_EQ(first.status, 200) << first.body;
    auto page = first.Json();
    EXPECT_FALSE(page.contains("total_count"));
    EXPECT_FALSE(page.contains("offset"));
    ASSERT_EQ(page["entries"].size(), 1000u);
    ASSERT_TRUE(page["next_marker"].is_string());
    std::set<std::string> names;
    for (const auto& entry : page["entries"]) names.insert(entry["name"].get<std::string>());
    // An item that sorts before the marker, added between pages, neither shows nor shifts the rest.
    emulator->AddFile(Cloud::Box, "Big/a-late", "");
    Reply second = Call("GET", items + "&marker=" + HttpsClient::Encode({{"", page["next_marker"]}}).substr(1));
    ASSERT_EQ(second.status, 200) << second.body;
    auto last = second.Json();
    EXPECT_EQ(last["entries"].size(), 500u);
    EXPECT_TRUE(last["next_marker"].is_null());
    for (const auto& entry : last["entries"]) names.insert(entry["name"].get<std::string>());
    EXPECT_EQ(names.size(), 1500u);
    EXPECT_FALSE(names.count("a-late"));

    for (const std::string bad : {"usemarker=true&marker=bm9wZQ", "marker=x", "usemarker=true&offset=10"}) {
        Reply r = Call("GET", Api + "/folders/" + big + "/items?" + bad);
        EXPECT_EQ(r.status, 400) << bad;
        EXPECT_EQ(r.Json()["context_info"]["errors"][0]["reason"], "invalid_parameter") << bad;
    }
}

TEST_F(BoxItemsTest, PutRenamesMovesAndDescribes) {
    std::string a = emulator->AddFolder(Cloud::Box, "A"), b = emulator->AddFolder(Cloud::Box, "A/B");
    std::string file = emulator->AddFile(Cloud::Box, "A/f.txt", "x");
    emulator->AddFile(Cloud::Box, "A/B/taken.txt", "y");
    Reply moved = Call("PUT", Api + "/files/" + file,
                       R"({"name":"g.txt","parent":{"id":")" + b +
                           R"("},"description":"moved",)"
                           R"("content_modified_at":"2016-10-29T18:33:50-07:00"})");
    ASSERT_EQ(moved.status, 200) << moved.body;
    auto json = moved.Json();
    EXPECT_EQ(json["name"], "g.txt");
    EXPECT_EQ(json["parent"]["id"], b);
    EXPECT_EQ(json["path_collection"]["total_count"], 3);
    EXPECT_EQ(json["description"], "moved");
    EXPECT_EQ(json["content_modified_at"], "2016-10-29T17:33:50-08:00");  // the same moment in Box's offset
    EXPECT_EQ(json["etag"], "1");
    EXPECT_TRUE(emulator->Find(Cloud::Box, "A/B/g.txt"));

    struct Case {
        std::string name;
        Reply reply;
        int status;
        std::string code;
    };
    const Case cases[] = {
        {"a name in use", Call("PUT", Api + "/files/" + file, R"({"name":"TAKEN.txt"})"), 409, "item_name_in_use"},
        {"a folder into itself", Call("PUT", Api + "/folders/" + a, Parent(b)), 400, "cyclical_folder_structure"},
        {"the root renamed", Call("PUT", Api + "/folders/0", R"({"name":"x"})"), 403,
         "access_denied_insufficient_permissions"},
        {"an unknown parent", Call("PUT", Api + "/files/" + file, Parent("999")), 404, "not_found"},
        {"a stale etag", Call("PUT", Api + "/files/" + file, R"({"name":"h.txt"})", {"If-Match: 0"}), 412,
         "precondition_failed"},
        {"a long description",
         Call("PUT", Api + "/files/" + file, R"({"description":")" + std::string(257, 'd') + R"("})"), 400,
         "bad_request"},
        {"a bad date", Call("PUT", Api + "/files/" + file, R"({"content_modified_at":"yesterday"})"), 400,
         "bad_request"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.reply.status, c.status) << c.name << " " << c.reply.body;
        EXPECT_EQ(c.reply.Json()["code"], c.code) << c.name;
    }
    EXPECT_TRUE(emulator->Find(Cloud::Box, "A/B/g.txt"));
}

TEST_F(BoxItemsTest, UploadsKeepTheContentDatesTheyAreGiven) {
    Reply modern =
        client.Multipart(Upload + "/content",
                         {{"attributes",
                           R"({"name":"a.txt","parent":{"id":"0"},"content_created_at":"2012-01-02T03:04:05Z",)"
                           R"("content_modified_at":"2013-01-02T03:04:05+01:00"})",
                           "", ""},
                          {"file", "x", "a.txt", ""}},
                         token);
    ASSERT_EQ(modern.status, 201) << modern.body;
    auto file = modern.Json()["entries"][0];
    EXPECT_EQ(file["content_created_at"], "2012-01-01T19:04:05-08:00");
    EXPECT_EQ(file["content_modified_at"], "2013-01-01T18:04:05-08:00");
    EXPECT_NE(file["created_at"], file["content_created_at"]);  // the server's own times stay its own

    Reply older = client.Multipart(Upload + "/content",
                                   {{"file", "y", "b.txt", ""},
                                    {"parent_id", "0", "", ""},
                                    {"content_modified_at", "2014-06-01T00:00:00Z", "", ""}},
                                   token);
    ASSERT_EQ(older.status, 201) << older.body;
    EXPECT_EQ(older.Json()["entries"][0]["content_modified_at"], "2014-05-31T16:00:00-08:00");

    Reply version = client.Multipart(
        Upload + "/" + file["id"].get<std::string>() + "/content",
        {{"attributes", R"({"content_modified_at":"2015-01-01T00:00:00Z"})", "", ""}, {"file", "z", "a.txt", ""}},
        token);
    ASSERT_EQ(version.status, 201) << version.body;
    EXPECT_EQ(version.Json()["entries"][0]["content_modified_at"], "2014-12-31T16:00:00-08:00");
    EXPECT_EQ(version.Json()["entries"][0]["content_created_at"], "2012-01-01T19:04:05-08:00");

    Reply bad =
        client.Multipart(Upload + "/content",
                         {{"attributes", R"({"name":"c.txt","parent":{"id":"0"},"content_created_at":"soon"})", "", ""},
                          {"file", "x", "c.txt", ""}},
                         token);
    EXPECT_EQ(bad.status, 400);
    EXPECT_FALSE(emulator->Find(Cloud::Box, "c.txt"));
}

TEST_F(BoxItemsTest, CopiesShareContentAndKeepContentDates) {
    std::string a = emulator->AddFolder(Cloud::Box, "A"), b = emulator->AddFolder(Cloud::Box, "B");
    std::string file = emulator->AddFile(Cloud::Box, "A/f.txt", "content");
    emulator->AddFile(Cloud::Box, "A/Sub/g.txt", "more");
    Call("PUT", Api + "/files/" + file, R"({"content_modified_at":"2010-01-01T00:00:00Z"})");

    Reply copied = Call("POST", Api + "/files/" + file + "/copy", Parent(b));
    ASSERT_EQ(copied.status, 201) << copied.body;
    EXPECT_NE(copied.Json()["id"], file);
    EXPECT_EQ(copied.Json()["sha1"], Call("GET", Api + "/files/" + file).Json()["sha1"]);
    EXPECT_EQ(copied.Json()["content_modified_at"], "2009-12-31T16:00:00-08:00");
    EXPECT_EQ(emulator->Find(Cloud::Box, "B/f.txt")->content, "content");
    EXPECT_EQ(
        Call("POST", Api + "/files/" + file + "/copy", R"({"parent":{"id":")" + a + R"("},"name":"f2.txt"})").status,
        201);

    Reply folder = Call("POST", Api + "/folders/" + a + "/copy", R"({"parent":{"id":")" + b + R"("},"name":"A copy"})");
    ASSERT_EQ(folder.status, 201) << folder.body;
    EXPECT_EQ(emulator->Find(Cloud::Box, "B/A copy/Sub/g.txt")->content, "more");

    struct Case {
        std::string name;
        Reply reply;
        int status;
        std::string code;
    };
    const Case cases[] = {
        {"the same name in the same folder", Call("POST", Api + "/files/" + file + "/copy", Parent(a)), 409,
         "item_name_in_use"},
        {"a folder into itself", Call("POST", Api + "/folders/" + a + "/copy", Parent(Id("A/Sub"))), 400,
         "cyclical_folder_structure"},
        {"no parent", Call("POST", Api + "/files/" + file + "/copy", "{}"), 400, "bad_request"},
        {"an unknown destination", Call("POST", Api + "/files/" + file + "/copy", Parent("999")), 404, "not_found"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.reply.status, c.status) << c.name << " " << c.reply.body;
        EXPECT_EQ(c.reply.Json()["code"], c.code) << c.name;
    }
}

TEST_F(BoxItemsTest, TheTrashHoldsDeletedItemsUntilRestoredOrPurged) {
    std::string docs = emulator->AddFolder(Cloud::Box, "Docs");
    std::string inner = emulator->AddFile(Cloud::Box, "Docs/inner.txt", "inner");
    std::string file = emulator->AddFile(Cloud::Box, "loose.txt", "loose");
    ASSERT_EQ(Call("DELETE", Api + "/files/" + file).status, 204);
    ASSERT_EQ(Call("DELETE", Api + "/folders/" + docs + "?recursive=true").status, 204);

    Reply gone = Call("GET", Api + "/files/" + file);
    EXPECT_EQ(gone.status, 404);
    EXPECT_EQ(gone.Json()["code"], "trashed");
    EXPECT_EQ(Call("GET", Api + "/files/" + inner).Json()["code"], "trashed");  // below a trashed folder
    // Downloading or deleting it again answers as for an item that is gone.
    EXPECT_EQ(Call("GET", Api + "/files/" + file + "/content").Json()["code"], "not_found");
    EXPECT_EQ(Call("DELETE", Api + "/files/" + file).Json()["code"], "not_found");
    EXPECT_EQ(Call("GET", Api + "/folders/0/items").Json()["total_count"], 0);
    Reply trashed = Call("GET", Api + "/files/" + file + "/trash");
    ASSERT_EQ(trashed.status, 200) << trashed.body;
    EXPECT_EQ(trashed.Json()["item_status"], "trashed");
    EXPECT_EQ(trashed.Json()["path_collection"]["entries"][0]["name"], "Trash");
    EXPECT_TRUE(trashed.Json()["trashed_at"].is_string());
    EXPECT_EQ(Call("GET", Api + "/files/" + inner + "/trash").Json()["code"], "not_trashed");  // not put there itself

    Reply listing = Call("GET", Api + "/folders/trash/items");
    ASSERT_EQ(listing.status, 200) << listing.body;
    EXPECT_EQ(listing.Json()["total_count"], 2);
    EXPECT_EQ(listing.Json()["entries"][0]["id"], docs);  // folders first

    // The name is free while its item is in the trash; taking it back then clashes.
    emulator->AddFile(Cloud::Box, "loose.txt", "newer");
    EXPECT_EQ(Call("POST", Api + "/files/" + file).status, 409);
    Reply restored = Call("POST", Api + "/files/" + file, R"({"name":"loose (old).txt"})");
    ASSERT_EQ(restored.status, 201) << restored.body;
    EXPECT_EQ(restored.Json()["item_status"], "active");
    EXPECT_EQ(emulator->Find(Cloud::Box, "loose (old).txt")->content, "loose");

    ASSERT_EQ(Call("POST", Api + "/folders/" + docs).status, 201);
    EXPECT_EQ(Call("GET", Api + "/files/" + inner).status, 200);  // back with its folder

    EXPECT_EQ(Call("DELETE", Api + "/files/" + inner + "/trash").Json()["code"], "not_trashed");
    ASSERT_EQ(Call("DELETE", Api + "/files/" + inner).status, 204);
    EXPECT_EQ(Call("DELETE", Api + "/files/" + inner + "/trash").status, 204);
    EXPECT_EQ(Call("GET", Api + "/files/" + inner).Json()["code"], "not_found");
    EXPECT_EQ(Call("GET", Api + "/folders/trash/items").Json()["total_count"], 0);
}

TEST_F(BoxItemsTest, AnItemWhoseFolderIsInTheTrashNeedsAParentToComeBack) {
    std::string docs = emulator->AddFolder(Cloud::Box, "Docs");
    std::string file = emulator->AddFile(Cloud::Box, "Docs/a.txt", "a");
    std::string other = emulator->AddFolder(Cloud::Box, "Other");
    Call("DELETE", Api + "/files/" + file);
    Call("DELETE", Api + "/folders/" + docs + "?recursive=true");
    EXPECT_EQ(Call("POST", Api + "/files/" + file).status, 400);
    Reply restored = Call("POST", Api + "/files/" + file, Parent(other));
    ASSERT_EQ(restored.status, 201) << restored.body;
    EXPECT_EQ(restored.Json()["parent"]["id"], other);
    EXPECT_TRUE(emulator->Find(Cloud::Box, "Other/a.txt"));
}

}  // namespace
