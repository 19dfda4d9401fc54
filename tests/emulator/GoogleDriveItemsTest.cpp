// Google Drive calls on items beyond the basics: copy, the trash, children and parents.

#include "EmulatorFixture.h"

#include <gtest/gtest.h>

#include <set>

using namespace Nimbo::Emulator;
using namespace EmulatorTest;

namespace {

const std::string Api = "https://www.googleapis.com/drive/v2/files";

class GoogleDriveItemsTest : public EmulatorFixture {
protected:
    GoogleDriveItemsTest() : EmulatorFixture({Cloud::GoogleDrive, "app.apps.googleusercontent.com", "s3cret", {}}) {}

    Reply Call(const std::string& method, const std::string& url, const std::string& body = "") const {
        return client.Send(method, url, body, {HttpsClient::Bearer(token), "Content-Type: application/json"});
    }
    std::set<std::string> Titles(const std::string& q) const {
        Reply r = client.Get(Api + "?q=" + HttpsClient::Encode({{"", q}}).substr(1), token);
        EXPECT_EQ(r.status, 200) << q << " " << r.body;
        std::set<std::string> titles;
        auto page = r.Json();
        for (const auto& item : page["items"]) titles.insert(item["title"].get<std::string>());
        return titles;
    }
};

TEST_F(GoogleDriveItemsTest, CopyNamesTheCopyAndSharesTheContent) {
    std::string docs = emulator->AddFolder(Cloud::GoogleDrive, "Docs");
    std::string other = emulator->AddFolder(Cloud::GoogleDrive, "Other");
    std::string file = emulator->AddFile(Cloud::GoogleDrive, "Docs/a.txt", "content", "text/plain");
    Reply plain = Call("POST", Api + "/" + file + "/copy");
    ASSERT_EQ(plain.status, 200) << plain.body;
    EXPECT_NE(plain.Json()["id"], file);
    EXPECT_EQ(plain.Json()["title"], "Copy of a.txt");
    EXPECT_EQ(plain.Json()["parents"][0]["id"], docs);
    EXPECT_EQ(plain.Json()["md5Checksum"], Call("GET", Api + "/" + file).Json()["md5Checksum"]);

    Reply placed =
        Call("POST", Api + "/" + file + "/copy", R"({"title":"b.txt","parents":[{"id":")" + other + R"("}]})");
    ASSERT_EQ(placed.status, 200) << placed.body;
    EXPECT_EQ(emulator->Find(Cloud::GoogleDrive, "Other/b.txt")->content, "content");

    EXPECT_EQ(Call("POST", Api + "/" + docs + "/copy").status, 403);  // folders are not copied
    EXPECT_EQ(Call("POST", Api + "/nope/copy").Json()["error"]["errors"][0]["reason"], "notFound");
}

TEST_F(GoogleDriveItemsTest, TrashedItemsStayReadableAndComeBack) {
    std::string docs = emulator->AddFolder(Cloud::GoogleDrive, "Docs");
    std::string inner = emulator->AddFile(Cloud::GoogleDrive, "Docs/inner.txt", "x");
    emulator->AddFile(Cloud::GoogleDrive, "kept.txt", "y");
    Reply trashed = Call("POST", Api + "/" + docs + "/trash");
    ASSERT_EQ(trashed.status, 200) << trashed.body;
    EXPECT_EQ(trashed.Json()["labels"]["trashed"], true);
    EXPECT_EQ(trashed.Json()["explicitlyTrashed"], true);
    auto child = Call("GET", Api + "/" + inner).Json();
    EXPECT_EQ(child["labels"]["trashed"], true);  // with its folder
    EXPECT_EQ(child["explicitlyTrashed"], false);

    EXPECT_EQ(Titles("trashed = false"), (std::set<std::string>{"kept.txt"}));
    EXPECT_EQ(Titles("trashed = true"), (std::set<std::string>{"Docs", "inner.txt"}));
    EXPECT_EQ(Titles("'" + docs + "' in parents"), (std::set<std::string>{"inner.txt"}));  // no term, no filter

    Reply untrashed = Call("POST", Api + "/" + docs + "/untrash");
    ASSERT_EQ(untrashed.status, 200);
    EXPECT_EQ(untrashed.Json()["labels"]["trashed"], false);
    EXPECT_EQ(Titles("trashed = false"), (std::set<std::string>{"Docs", "inner.txt", "kept.txt"}));

    Call("POST", Api + "/" + inner + "/trash");
    EXPECT_EQ(Call("DELETE", Api + "/trash").status, 204);
    EXPECT_EQ(Call("GET", Api + "/" + inner).status, 404);
    EXPECT_EQ(Call("GET", Api + "/" + docs).status, 200);
    EXPECT_EQ(Call("POST", Api + "/root/trash").status, 403);
}

TEST_F(GoogleDriveItemsTest, ChildrenPageLikeFilesAndParentsNameTheFolder) {
    std::string big = emulator->AddFolder(Cloud::GoogleDrive, "Big");
    for (int i = 0; i < 250; ++i) emulator->AddFile(Cloud::GoogleDrive, "Big/f" + std::to_string(i), "");
    std::string first = emulator->Find(Cloud::GoogleDrive, "Big/f0")->id;
    Call("POST", Api + "/" + first + "/trash");
    const std::string children = Api + "/" + big + "/children";
    std::vector<std::size_t> pages;
    std::set<std::string> ids;
    for (std::string next = children; !next.empty() && pages.size() < 10;) {
        Reply r = client.Get(next, token);
        ASSERT_EQ(r.status, 200) << r.body;
        auto page = r.Json();
        EXPECT_EQ(page["kind"], "drive#childList");
        pages.push_back(page["items"].size());
        for (const auto& item : page["items"]) {
            EXPECT_EQ(item["kind"], "drive#childReference");
            EXPECT_FALSE(item.contains("title"));
            ids.insert(item["id"].get<std::string>());
        }
        next =
            page.contains("nextPageToken") ? children + "?pageToken=" + page["nextPageToken"].get<std::string>() : "";
    }
    EXPECT_EQ(pages, (std::vector<std::size_t>{100, 100, 50}));  // the trashed child too: no q, no filter
    EXPECT_EQ(ids.size(), 250u);
    auto live = client.Get(children + "?maxResults=1000&q=trashed%20%3D%20false", token).Json();
    EXPECT_EQ(live["items"].size(), 249u);
    EXPECT_EQ(client.Get(Api + "/root/children", token).Json()["items"][0]["id"], big);
    EXPECT_EQ(client.Get(Api + "/nope/children", token).status, 404);
    EXPECT_EQ(client.Get(children + "?q=nonsense", token).status, 400);

    auto parents = client.Get(Api + "/" + first + "/parents", token).Json();
    EXPECT_EQ(parents["kind"], "drive#parentList");
    ASSERT_EQ(parents["items"].size(), 1u);
    EXPECT_EQ(parents["items"][0]["id"], big);
    EXPECT_EQ(parents["items"][0]["isRoot"], false);
    EXPECT_TRUE(client.Get(Api + "/root/parents", token).Json()["items"].empty());
}

TEST_F(GoogleDriveItemsTest, UnknownCallsAreNotMistakenForUnknownFiles) {
    std::string file = emulator->AddFile(Cloud::GoogleDrive, "a.txt", "x");
    for (const std::string& url :
         {Api + "/" + file + "/nothing", std::string("https://www.googleapis.com/drive/v2/nothing")}) {
        Reply r = client.Get(url, token);
        EXPECT_EQ(r.status, 404) << url;
        EXPECT_EQ(r.Json()["error"]["errors"][0]["reason"], "notFound") << url;
        EXPECT_EQ(r.Json()["error"]["message"].get<std::string>().find("File not found"), std::string::npos) << url;
    }
    EXPECT_EQ(Call("PUT", Api + "/" + file + "/trash").status, 405);
}

}  // namespace
