// Box's chunked upload sessions on upload.box.com and the size rules of its uploads.

#include "EmulatorFixture.h"
#include "RawConnection.h"
#include "TestData.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

using namespace Nimbo::Emulator;
using namespace EmulatorTest;

namespace {

const std::string Api = "https://api.box.com/2.0";
const std::string Files = "https://upload.box.com/api/2.0/files";
const std::string Sessions = Files + "/upload_sessions";
constexpr std::size_t PartSize = 8 << 20;
constexpr std::size_t FileSize = 20000000;  // the smallest a session takes: two whole parts and a rest

const std::string& Content() {
    static const std::string content = PatternBytes(FileSize, 3);
    return content;
}

class BoxUploadTest : public EmulatorFixture {
protected:
    BoxUploadTest() : EmulatorFixture({Cloud::Box, "boxclient", "s3cret", {}}) {}

    Reply Call(const std::string& method, const std::string& url, const std::string& body = "",
               std::vector<std::string> headers = {}) const {
        headers.push_back(HttpsClient::Bearer(token));
        return client.Send(method, url, body, headers);
    }
    std::string Open(const std::string& url, const std::string& body) const {
        Reply r = Call("POST", url, body);
        EXPECT_EQ(r.status, 201) << r.body;
        return r.Json()["id"];
    }
    Reply Part(const std::string& session, std::size_t first, const std::string& bytes,
               const std::string& digestPrefix = "sha=", std::size_t total = FileSize) const {
        return Call("PUT", Sessions + "/" + session, bytes,
                    {"Content-Type: application/octet-stream", "Digest: " + digestPrefix + Sha1Base64(bytes),
                     "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(first + bytes.size() - 1) +
                         "/" + std::to_string(total)});
    }
    // Uploads every part of Content(), last first; returns the part objects in file order.
    nlohmann::json AllParts(const std::string& session) const {
        nlohmann::json parts = nlohmann::json::array();
        for (std::size_t first = FileSize / PartSize * PartSize;; first -= PartSize) {
            Reply r = Part(session, first, Content().substr(first, PartSize), first == 0 ? "SHA=" : "sha=");
            EXPECT_EQ(r.status, 200) << r.body;
            parts.insert(parts.begin(), r.Json()["part"]);
            if (first == 0) break;
        }
        return parts;
    }
    Reply Commit(const std::string& session, const nlohmann::json& body, const std::string& whole = Content()) const {
        return Call("POST", Sessions + "/" + session + "/commit", body.dump(),
                    {"Content-Type: application/json", "Digest: sha=" + Sha1Base64(whole)});
    }
};

TEST_F(BoxUploadTest, ASessionTakesPartsInAnyOrderAndCommitsTheFile) {
    std::string folder = emulator->AddFolder(Cloud::Box, "Docs");
    Reply created =
        Call("POST", Sessions, R"({"folder_id":")" + folder + R"(","file_size":20000000,"file_name":"movie.bin"})");
    ASSERT_EQ(created.status, 201) << created.body;
    auto session = created.Json();
    EXPECT_EQ(session["type"], "upload_session");
    EXPECT_EQ(session["part_size"], PartSize);
    EXPECT_EQ(session["total_parts"], 3);
    EXPECT_EQ(session["num_parts_processed"], 0);
    std::string id = session["id"];
    EXPECT_EQ(session["session_endpoints"]["commit"], Sessions + "/" + id + "/commit");
    EXPECT_EQ(session["session_endpoints"]["upload_part"], Sessions + "/" + id);

    auto parts = AllParts(id);
    EXPECT_EQ(parts[1]["offset"], PartSize);
    EXPECT_EQ(parts[2]["size"], FileSize - 2 * PartSize);
    EXPECT_EQ(parts[0]["sha1"], Sha1Hex(Content().substr(0, PartSize)));
    Reply listed = Call("GET", Sessions + "/" + id + "/parts?limit=2&offset=1");
    ASSERT_EQ(listed.status, 200) << listed.body;
    EXPECT_EQ(listed.Json()["total_count"], 3);
    EXPECT_EQ(listed.Json()["entries"], nlohmann::json({parts[1], parts[2]}));
    EXPECT_EQ(Call("GET", Sessions + "/" + id).Json()["num_parts_processed"], 3);

    Reply committed = Commit(id, {{"parts", parts}, {"attributes", {{"name", "film.bin"}}}});
    ASSERT_EQ(committed.status, 201) << committed.body;
    auto file = committed.Json()["entries"][0];
    EXPECT_EQ(file["name"], "film.bin");
    EXPECT_EQ(file["size"], FileSize);
    EXPECT_EQ(file["sha1"], Sha1Hex(Content()));
    EXPECT_EQ(file["parent"]["id"], folder);
    EXPECT_EQ(emulator->Find(Cloud::Box, "Docs/film.bin")->content, Content());
    EXPECT_EQ(Call("GET", Sessions + "/" + id).status, 404);  // the session ended with its commit
}

// A version session renames the file only when it is given a name; left out, the name stays.
TEST_F(BoxUploadTest, AVersionSessionReplacesTheContentOfTheFile) {
    struct Case {
        std::string sessionBody;
        nlohmann::json attributes;
        std::string name;
    };
    const Case cases[] = {
        {R"({"file_size":20000000,"file_name":"b.bin"})", nullptr, "b.bin"},
        {R"({"file_size":20000000})", nullptr, "a.bin"},
        {R"({"file_size":20000000})", {{"content_modified_at", "2020-01-02T03:04:05Z"}}, "a.bin"},
        {R"({"file_size":20000000})", {{"name", "c.bin"}}, "c.bin"},
    };
    for (const Case& c : cases) {
        SetUp();  // a fresh account for each case
        std::string fileId = emulator->AddFile(Cloud::Box, "a.bin", "old");
        std::string id = Open(Files + "/" + fileId + "/upload_sessions", c.sessionBody);
        nlohmann::json body = {{"parts", AllParts(id)}};
        if (!c.attributes.is_null()) body["attributes"] = c.attributes;
        Reply committed = Commit(id, body);
        ASSERT_EQ(committed.status, 201) << committed.body;
        EXPECT_EQ(committed.Json()["entries"][0]["id"], fileId);
        EXPECT_EQ(committed.Json()["entries"][0]["name"], c.name) << c.sessionBody;
        EXPECT_EQ(committed.Json()["entries"][0]["etag"], "1");
        auto stored = emulator->Find(Cloud::Box, c.name);
        ASSERT_TRUE(stored) << c.sessionBody;
        EXPECT_EQ(stored->content, Content());
    }
}

TEST_F(BoxUploadTest, SessionsFollowTheSizeAndNameRules) {
    emulator->AddFile(Cloud::Box, "taken.bin", "x");
    struct Case {
        std::string name, body;
        int status;
        std::string code;
    };
    const Case cases[] = {
        {"under 20 MB", R"({"folder_id":"0","file_size":19999999,"file_name":"a.bin"})", 400, "file_size_too_small"},
        {"over the largest file", R"({"folder_id":"0","file_size":16106127361,"file_name":"a.bin"})", 403,
         "file_size_limit_exceeded"},
        {"a name in use", R"({"folder_id":"0","file_size":20000000,"file_name":"TAKEN.bin"})", 409, "item_name_in_use"},
        {"a bad name", R"({"folder_id":"0","file_size":20000000,"file_name":"a/b"})", 400, "item_name_invalid"},
        {"an unknown folder", R"({"folder_id":"999","file_size":20000000,"file_name":"a.bin"})", 404, "not_found"},
        {"no size", R"({"folder_id":"0","file_name":"a.bin"})", 400, "bad_request"},
        {"not JSON", "{", 400, "bad_request"},
    };
    for (const Case& c : cases) {
        Reply r = Call("POST", Sessions, c.body);
        EXPECT_EQ(r.status, c.status) << c.name << " " << r.body;
        EXPECT_EQ(r.Json()["code"], c.code) << c.name;
    }
}

TEST_F(BoxUploadTest, PartsAndCommitsThatBreakTheRulesAreRefused) {
    std::string id = Open(Sessions, R"({"folder_id":"0","file_size":20000000,"file_name":"a.bin"})");
    const std::string first = Content().substr(0, PartSize);
    ASSERT_EQ(Part(id, 0, first).status, 200);
    EXPECT_EQ(Part(id, 0, first).status, 200);  // the same part again
    std::string other = first;
    other[5] ^= 1;
    struct Case {
        std::string name;
        Reply reply;
        int status;
        std::string code;
    };
    const Case cases[] = {
        {"another part at a stored range", Part(id, 0, other), 409, "range_overlaps_existing_part"},
        {"not at a part boundary", Part(id, 100, Content().substr(100, PartSize)), 416,
         "requested_range_not_satisfiable"},
        {"a short part", Part(id, PartSize, Content().substr(PartSize, 1000)), 416, "requested_range_not_satisfiable"},
        {"another total", Part(id, PartSize, Content().substr(PartSize, PartSize), "sha=", FileSize + 1), 416,
         "requested_range_not_satisfiable"},
        {"a wrong digest",
         Call("PUT", Sessions + "/" + id, Content().substr(PartSize, PartSize),
              {"Digest: sha=" + Sha1Base64("x"), "Content-Range: bytes 8388608-16777215/20000000"}),
         412, "precondition_failed"},
        {"no digest",
         Call("PUT", Sessions + "/" + id, Content().substr(PartSize, PartSize),
              {"Content-Range: bytes 8388608-16777215/20000000"}),
         400, "bad_request"},
        {"no range", Call("PUT", Sessions + "/" + id, "x", {"Digest: sha=" + Sha1Base64("x")}), 400, "bad_request"},
        {"a malformed session id", Part("not-a-session", 0, first), 400, "invalid_upload_session_id"},
        {"an unknown session", Part("0123456789ABCDEF0123456789ABCDEF", 0, first), 404, "not_found"},
        {"a commit before every part",
         Commit(id, {{"parts", Call("GET", Sessions + "/" + id + "/parts").Json()["entries"]}}), 400, "parts_mismatch"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.reply.status, c.status) << c.name << " " << c.reply.body;
        EXPECT_EQ(c.reply.Json()["code"], c.code) << c.name;
    }
    EXPECT_EQ(Call("GET", Sessions + "/" + id).Json()["num_parts_processed"], 1);  // nothing refused was kept

    auto parts = AllParts(id);
    EXPECT_EQ(Commit(id, {{"parts", parts}}, "another file").status, 412);
    auto missing = parts;
    missing.erase(1);
    EXPECT_EQ(Commit(id, {{"parts", missing}}).Json()["code"], "parts_mismatch");
    EXPECT_TRUE(emulator->Children(Cloud::Box, "").empty());

    EXPECT_EQ(Call("DELETE", Sessions + "/" + id).status, 204);
    EXPECT_EQ(Commit(id, {{"parts", parts}}).status, 404);  // aborted
}

// With a data folder, where the contents a saved state names outlive their items until the next
// state is on disk: what no state has named leaves the folder as soon as nothing holds it.
class BoxUploadDataFolderTest : public BoxUploadTest {
protected:
    static std::filesystem::path Folder() {
        return std::filesystem::temp_directory_path() / ("box-upload-data-" + std::to_string(::getpid()));
    }
    static void SetUpTestSuite() {
        std::filesystem::remove_all(Folder());
        EmulatorOptions options;
        options.dataDir = Folder();
        StartEmulator(options);
    }
    static void TearDownTestSuite() {
        BoxUploadTest::TearDownTestSuite();
        std::filesystem::remove_all(Folder());
    }
    static std::set<std::string> StoredFiles() {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(Folder() / "files"))
            names.insert(entry.path().filename().string());
        return names;
    }
    std::string NewSession() const {
        return Open(Sessions, R"({"folder_id":"0","file_size":20000000,"file_name":"movie.bin"})");
    }
};

TEST_F(BoxUploadDataFolderTest, AnAbortedSessionLeavesNoPartBehind) {
    const std::set<std::string> before = StoredFiles();
    const std::string id = NewSession();
    ASSERT_EQ(Part(id, 0, Content().substr(0, PartSize)).status, 200);
    ASSERT_EQ(Part(id, PartSize, Content().substr(PartSize, PartSize)).status, 200);
    EXPECT_EQ(StoredFiles().size(), before.size() + 2);

    EXPECT_EQ(Call("DELETE", Sessions + "/" + id).status, 204);
    EXPECT_EQ(StoredFiles(), before);
}

TEST_F(BoxUploadDataFolderTest, APartCutOffMidwayLeavesNothingBehind) {
    const std::set<std::string> before = StoredFiles();
    const std::string id = NewSession();
    {
        RawConnection connection(emulator->Port(), "upload.box.com");
        const std::string part = Content().substr(0, PartSize);
        connection.Send("PUT /api/2.0/files/upload_sessions/" + id + " HTTP/1.1\r\nHost: upload.box.com\r\n" +
                        "Authorization: Bearer " + token + "\r\nDigest: sha=" + Sha1Base64(part) +
                        "\r\nContent-Range: bytes 0-8388607/20000000\r\nContent-Length: 8388608\r\n\r\n" +
                        part.substr(0, 3 << 20));
    }
    // The server notices the hang-up when it next reads.
    for (int i = 0; i < 50 && StoredFiles() != before; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(StoredFiles(), before);
    EXPECT_EQ(Call("GET", Sessions + "/" + id).Json()["num_parts_processed"], 0);
}

}  // namespace
