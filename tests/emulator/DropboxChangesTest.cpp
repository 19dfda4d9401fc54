// Dropbox's move and copy file operations and its change feed (/1/delta).

#include "EmulatorFixture.h"

#include <gtest/gtest.h>

#include <map>

using namespace Nimbo::Emulator;
using namespace EmulatorTest;

namespace {

const std::string Api = "https://api.dropbox.com/1";
const std::string Content = "https://api-content.dropbox.com/1";

class DropboxChangesTest : public EmulatorFixture {
protected:
    DropboxChangesTest() : EmulatorFixture({Cloud::Dropbox, "key", "secret", {}}) {}

    Reply Op(const std::string& op, const std::string& from, const std::string& to) const {
        return client.Form(Api + "/fileops/" + op, {{"root", "dropbox"}, {"from_path", from}, {"to_path", to}}, token);
    }
    Reply Delta(const Fields& fields = {}) const { return client.Form(Api + "/delta", fields, token); }
    // Every page of the feed from the cursor on: the entries by path (null for gone), whether a
    // page said reset, and the cursor to go on with.
    struct Feed {
        std::map<std::string, nlohmann::json> entries;
        std::vector<std::size_t> pages;
        bool reset = false;
        std::string cursor;
    };
    Feed Drain(std::string cursor, const std::string& prefix = "") const {
        Feed feed;
        for (bool more = true; more && feed.pages.size() < 20;) {
            Fields fields;
            if (!cursor.empty()) fields.emplace_back("cursor", cursor);
            if (!prefix.empty()) fields.emplace_back("path_prefix", prefix);
            Reply r = Delta(fields);
            EXPECT_EQ(r.status, 200) << r.body;
            auto page = r.Json();
            feed.reset = feed.reset || page["reset"].get<bool>();
            feed.pages.push_back(page["entries"].size());
            for (const auto& entry : page["entries"]) feed.entries[entry[0].get<std::string>()] = entry[1];
            more = page["has_more"];
            cursor = feed.cursor = page["cursor"];
        }
        return feed;
    }
};

TEST_F(DropboxChangesTest, MoveAndCopyCarryWholeFolders) {
    emulator->AddFile(Cloud::Dropbox, "Docs/a.txt", "a");
    emulator->AddFile(Cloud::Dropbox, "Docs/Sub/b.txt", "b");
    Reply copied = Op("copy", "/Docs", "/Backup/Docs");  // missing folders on the way are made
    ASSERT_EQ(copied.status, 200) << copied.body;
    EXPECT_EQ(copied.Json()["path"], "/Backup/Docs");
    EXPECT_EQ(copied.Json()["is_dir"], true);
    EXPECT_EQ(emulator->Find(Cloud::Dropbox, "Backup/Docs/Sub/b.txt")->content, "b");

    Reply moved = Op("move", "/docs/a.txt", "/Moved/A.TXT");
    ASSERT_EQ(moved.status, 200) << moved.body;
    EXPECT_EQ(moved.Json()["path"], "/Moved/A.TXT");
    EXPECT_FALSE(emulator->Find(Cloud::Dropbox, "Docs/a.txt"));
    EXPECT_EQ(Op("move", "/Moved/A.TXT", "/Moved/a.txt").Json()["path"], "/Moved/a.txt");  // a change of case only

    // The fields may come in the query.
    Reply byQuery = client.Send("POST", Api + "/fileops/copy?root=dropbox&from_path=%2FMoved%2Fa.txt&to_path=%2Fc.txt",
                                "", {HttpsClient::Bearer(token)});
    EXPECT_EQ(byQuery.status, 200) << byQuery.body;

    struct Case {
        std::string name;
        Reply reply;
        int status;
    };
    const Case cases[] = {
        {"onto an item", Op("move", "/c.txt", "/backup/docs"), 403},
        {"a folder into itself", Op("move", "/Backup", "/Backup/Docs/Inner"), 403},
        {"a copy onto itself", Op("copy", "/c.txt", "/C.txt"), 403},
        {"nothing there", Op("move", "/nothing", "/x"), 404},
        {"the root", Op("move", "/", "/x"), 403},
        {"no destination", client.Form(Api + "/fileops/move", {{"root", "dropbox"}, {"from_path", "/c.txt"}}, token),
         400},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.reply.status, c.status) << c.name << " " << c.reply.body;
        EXPECT_TRUE(c.reply.Json()["error"].is_string()) << c.name;
    }
    EXPECT_TRUE(emulator->Find(Cloud::Dropbox, "Backup/Docs/Sub/b.txt"));
}

TEST_F(DropboxChangesTest, DeltaListsEverythingInPagesThenOnlyWhatChanged) {
    for (int i = 0; i < 1200; ++i) emulator->AddFile(Cloud::Dropbox, "Big/f" + std::to_string(i) + ".txt", "");
    emulator->AddFile(Cloud::Dropbox, "Docs/Sub/b.txt", "b");
    emulator->AddFile(Cloud::Dropbox, "gone.txt", "g");
    Feed full = Drain("");
    EXPECT_TRUE(full.reset);
    EXPECT_EQ(full.pages, (std::vector<std::size_t>{1000, 205}));
    ASSERT_TRUE(full.entries.count("/docs/sub/b.txt"));
    EXPECT_EQ(full.entries["/docs/sub/b.txt"]["path"], "/Docs/Sub/b.txt");  // keys lower case, metadata as stored
    EXPECT_FALSE(full.entries["/big"].contains("contents"));

    EXPECT_TRUE(Drain(full.cursor).entries.empty());
    ASSERT_EQ(client.Send("PUT", Content + "/files_put/dropbox/New.txt", "n", {HttpsClient::Bearer(token)}).status,
              200);
    client.Form(Api + "/fileops/delete", {{"root", "dropbox"}, {"path", "/gone.txt"}}, token);
    Op("move", "/Docs", "/Papers");
    Feed changes = Drain(full.cursor);
    EXPECT_FALSE(changes.reset);
    EXPECT_EQ(changes.entries["/new.txt"]["bytes"], 1);
    EXPECT_TRUE(changes.entries["/gone.txt"].is_null());
    EXPECT_TRUE(changes.entries["/docs"].is_null());
    EXPECT_EQ(changes.entries["/papers/sub/b.txt"]["path"], "/Papers/Sub/b.txt");  // a moved folder brings its items
    EXPECT_FALSE(changes.entries.count("/big/f1.txt"));

    Feed narrowed = Drain(full.cursor, "/Papers");
    for (const auto& [path, metadata] : narrowed.entries) EXPECT_EQ(path.rfind("/papers", 0), 0u) << path;
    EXPECT_FALSE(narrowed.entries.empty());

    Reply latest = client.Form(Api + "/delta/latest_cursor", {}, token);
    ASSERT_EQ(latest.status, 200);
    EXPECT_TRUE(Drain(latest.Json()["cursor"]).entries.empty());
    EXPECT_EQ(Delta({{"cursor", "not-a-cursor"}}).status, 400);
}

}  // namespace
