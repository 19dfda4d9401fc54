// Google Drive v3's uploads: media, multipart and resumable sessions, for new files and new content.

#include "EmulatorFixture.h"
#include "TestData.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

using namespace Nimbo::Emulator;
using namespace EmulatorTest;

namespace {

const std::string Files = "https://www.googleapis.com/drive/v3/files";
const std::string Upload = "https://www.googleapis.com/upload/drive/v3/files";
const std::string V2Files = "https://www.googleapis.com/drive/v2/files";
const std::string Checked = "fields=id,name,parents,mimeType,size,md5Checksum,sha256Checksum";
constexpr std::size_t Granule = 256 << 10;

class GoogleDriveV3UploadTest : public EmulatorFixture {
protected:
    GoogleDriveV3UploadTest() : EmulatorFixture({Cloud::GoogleDrive, "app.apps.googleusercontent.com", "s3cret", {}}) {}

    Reply Multipart(const std::string& method, const std::string& url, const std::string& metadata,
                    const std::string& mediaType, const std::string& media) const {
        return client.Send(method, url, Related({{"application/json; charset=UTF-8", metadata}, {mediaType, media}}),
                           {HttpsClient::Bearer(token), "Content-Type: multipart/related; boundary=foo_bar_baz"});
    }
    // Starts a resumable upload and returns the session's address.
    std::string Start(const std::string& method, const std::string& url, const std::string& metadata,
                      std::vector<std::string> headers = {}) const {
        headers.push_back(HttpsClient::Bearer(token));
        headers.push_back("Content-Type: application/json; charset=UTF-8");
        Reply r = client.Send(method, url, metadata, headers);
        EXPECT_EQ(r.status, 200) << r.body;
        EXPECT_TRUE(r.body.empty());
        return r.Header("location");
    }
    Reply Chunk(const std::string& session, const std::string& bytes, const std::string& range,
                const std::string& method = "PUT") const {
        std::vector<std::string> headers{HttpsClient::Bearer(token)};
        if (!range.empty()) headers.push_back("Content-Range: bytes " + range);
        return client.Send(method, session, bytes, headers);
    }
    static std::string Span(std::size_t first, std::size_t size, std::size_t total) {
        return std::to_string(first) + "-" + std::to_string(first + size - 1) + "/" + std::to_string(total);
    }
    static void ExpectFile(const Reply& r, const std::string& name, const std::string& bytes, const std::string& what) {
        ASSERT_EQ(r.status, 200) << what << ": " << r.body;
        auto file = r.Json();
        EXPECT_EQ(file["name"], name) << what;
        EXPECT_EQ(file["size"], std::to_string(bytes.size())) << what;
        EXPECT_EQ(file["md5Checksum"], Md5Hex(bytes)) << what;
        EXPECT_EQ(file["sha256Checksum"], Sha256Hex(bytes)) << what;
    }
    std::string Download(const std::string& id) const {
        return client.Get(Files + "/" + id + "?alt=media", token).body;
    }
};

TEST_F(GoogleDriveV3UploadTest, MediaAndMultipartUploadsMakeNewFiles) {
    std::string folder = emulator->AddFolder(Cloud::GoogleDrive, "Docs");
    const std::string bytes = PatternBytes(70000);

    Reply media = client.Send("POST", Upload + "?uploadType=media&" + Checked, bytes,
                              {HttpsClient::Bearer(token), "Content-Type: image/png"});
    ExpectFile(media, "Untitled", bytes, "media");
    EXPECT_EQ(media.Json()["mimeType"], "image/png");
    EXPECT_EQ(media.Json()["parents"][0], emulator->Find(Cloud::GoogleDrive, "/")->id);

    Reply multipart =
        Multipart("POST", Upload + "?uploadType=multipart&" + Checked,
                  R"({"name":"report é.bin","parents":[")" + folder + R"("]})", "application/x-numbers", bytes);
    ExpectFile(multipart, "report é.bin", bytes, "multipart");
    EXPECT_EQ(multipart.Json()["mimeType"], "application/x-numbers");  // the media part's type
    EXPECT_EQ(multipart.Json()["parents"][0], folder);
    EXPECT_EQ(Download(multipart.Json()["id"]), bytes);
    // Drive v2 sees the same file with the same digest.
    EXPECT_EQ(client.Get(V2Files + "/" + multipart.Json()["id"].get<std::string>(), token).Json()["md5Checksum"],
              Md5Hex(bytes));

    Reply plain = client.Send("POST", Upload + "?uploadType=media", "x", {HttpsClient::Bearer(token)});
    EXPECT_EQ(plain.Json().size(), 4u);  // kind, id, name, mimeType without fields
}

TEST_F(GoogleDriveV3UploadTest, NewContentArrivesByPatchOrPut) {
    std::string folder = emulator->AddFolder(Cloud::GoogleDrive, "Moved");
    for (const std::string method : {"PATCH", "PUT"}) {
        std::string id = emulator->AddFile(Cloud::GoogleDrive, "old " + method + ".txt", "old", "text/plain");
        std::string root = emulator->Find(Cloud::GoogleDrive, "/")->id;
        const std::string first = PatternBytes(5000, 2), second = PatternBytes(9000, 3);

        Reply media = client.Send(method, Upload + "/" + id + "?uploadType=media&" + Checked, first,
                                  {HttpsClient::Bearer(token), "Content-Type: text/csv"});
        ExpectFile(media, "old " + method + ".txt", first, method + " media");
        EXPECT_EQ(media.Json()["mimeType"], "text/csv") << method;

        Reply multipart = Multipart(
            method,
            Upload + "/" + id + "?uploadType=multipart&addParents=" + folder + "&removeParents=" + root + "&" + Checked,
            R"({"name":"new.txt"})", "text/plain", second);
        ExpectFile(multipart, "new.txt", second, method + " multipart");
        EXPECT_EQ(multipart.Json()["parents"][0], folder) << method;
        EXPECT_EQ(Download(id), second) << method;
    }
}

TEST_F(GoogleDriveV3UploadTest, ResumableUploadTakesChunksByPutAndPostAndAnswersStatusQueries) {
    std::string folder = emulator->AddFolder(Cloud::GoogleDrive, "Big");
    const std::string bytes = PatternBytes(3 * Granule + 1000);
    const std::size_t total = bytes.size();
    std::string session = Start(
        "POST", Upload + "?uploadType=resumable&" + Checked, R"({"name":"big.bin","parents":[")" + folder + R"("]})",
        {"X-Upload-Content-Type: application/x-big", "X-Upload-Content-Length: " + std::to_string(total)});
    ASSERT_EQ(session.rfind(Upload + "?", 0), 0u) << session;  // back at the emulator, under the real host name
    EXPECT_FALSE(HttpsClient::QueryValue(session, "upload_id").empty());
    EXPECT_EQ(HttpsClient::QueryValue(session, "fields"), "id,name,parents,mimeType,size,md5Checksum,sha256Checksum");

    Reply nothing = Chunk(session, "", "*/" + std::to_string(total));
    EXPECT_EQ(nothing.status, 308);
    EXPECT_EQ(nothing.Header("range"), "");  // nothing stored yet

    Reply first = Chunk(session, bytes.substr(0, Granule), Span(0, Granule, total));
    EXPECT_EQ(first.status, 308) << first.body;
    EXPECT_EQ(first.Header("range"), "bytes=0-262143");
    Reply second = Chunk(session, bytes.substr(Granule, 2 * Granule), Span(Granule, 2 * Granule, total), "POST");
    EXPECT_EQ(second.status, 308) << second.body;

    // After a lost answer the client asks how far the upload got and goes on from there.
    Reply status = Chunk(session, "", "*/" + std::to_string(total));
    EXPECT_EQ(status.status, 308);
    EXPECT_EQ(status.Header("range"), "bytes=0-" + std::to_string(3 * Granule - 1));

    struct Case {
        std::string what, bytes, range;
    };
    const Case refused[] = {
        {"a gap", bytes.substr(3 * Granule + 10), Span(3 * Granule + 10, 990, total)},
        {"another total", bytes.substr(3 * Granule), Span(3 * Granule, 1000, total + 1)},
        {"beyond the total", bytes.substr(3 * Granule) + "xx", Span(3 * Granule, 1002, total)},
        {"length not as named", bytes.substr(3 * Granule, 10), Span(3 * Granule, 1000, total)},
        {"not a range", "x", "0-0"},
    };
    for (const Case& c : refused) EXPECT_EQ(Chunk(session, c.bytes, c.range).status, 400) << c.what;

    Reply last = Chunk(session, bytes.substr(3 * Granule), Span(3 * Granule, 1000, total));
    ExpectFile(last, "big.bin", bytes, "last chunk");
    EXPECT_EQ(last.Json()["mimeType"], "application/x-big");
    EXPECT_EQ(last.Json()["parents"][0], folder);
    EXPECT_EQ(Download(last.Json()["id"]), bytes);

    Reply again = Chunk(session, "", "*/" + std::to_string(total));  // a finished upload answers with its file
    EXPECT_EQ(again.status, 200);
    EXPECT_EQ(again.Json()["id"], last.Json()["id"]);
    EXPECT_EQ(emulator->Children(Cloud::GoogleDrive, "Big").size(), 1u);
}

TEST_F(GoogleDriveV3UploadTest, ChunksOtherThanTheLastComeInWholeGranules) {
    const std::string bytes = PatternBytes(2 * Granule);
    std::string session = Start("POST", Upload + "?uploadType=resumable", R"({"name":"g.bin"})");
    EXPECT_EQ(Chunk(session, bytes.substr(0, 1000), "0-999/*").status, 400);
    EXPECT_EQ(Chunk(session, bytes.substr(0, Granule), "0-262143/*").status, 308);
    Reply last = Chunk(session, bytes.substr(Granule), Span(Granule, Granule, 2 * Granule));
    EXPECT_EQ(last.status, 200) << last.body;
    EXPECT_EQ(emulator->Find(Cloud::GoogleDrive, "g.bin")->content, bytes);
}

TEST_F(GoogleDriveV3UploadTest, ResumableUpdateReplacesTheContentOfAFile) {
    std::string id = emulator->AddFile(Cloud::GoogleDrive, "Docs/keep.txt", "old");
    const std::string bytes = PatternBytes(Granule + 5);
    std::string session = Start("PATCH", Upload + "/" + id + "?uploadType=resumable&" + Checked,
                                R"({"name":"kept.txt"})", {"X-Upload-Content-Type: text/plain"});
    ASSERT_EQ(session.rfind(Upload + "/" + id + "?", 0), 0u) << session;
    EXPECT_EQ(Chunk(session, bytes.substr(0, Granule), Span(0, Granule, bytes.size())).status, 308);
    Reply last = Chunk(session, bytes.substr(Granule), Span(Granule, 5, bytes.size()));
    ExpectFile(last, "kept.txt", bytes, "update");
    EXPECT_EQ(last.Json()["id"], id);
    EXPECT_EQ(emulator->Find(Cloud::GoogleDrive, "Docs/kept.txt")->content, bytes);
}

TEST_F(GoogleDriveV3UploadTest, SessionsExpireAfterTheirLifetime) {
    emulator->SetUploadSessionLifetime(std::chrono::milliseconds(0));
    std::string expired = Start("POST", Upload + "?uploadType=resumable", R"({"name":"late.bin"})");
    emulator->SetUploadSessionLifetime(std::chrono::milliseconds(300));
    std::string brief = Start("POST", Upload + "?uploadType=resumable", R"({"name":"brief.bin"})");
    emulator->SetUploadSessionLifetime(std::chrono::hours(1));
    std::string live = Start("POST", Upload + "?uploadType=resumable", R"({"name":"live.bin"})");

    Reply gone = Chunk(expired, "abc", "0-2/3");
    EXPECT_EQ(gone.status, 404) << gone.body;
    EXPECT_EQ(gone.Json()["error"]["errors"][0]["reason"], "notFound");
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(Chunk(brief, "", "*/3").status, 404);
    EXPECT_EQ(Chunk(live, "abc", "0-2/3").status, 200);
    EXPECT_FALSE(emulator->Find(Cloud::GoogleDrive, "late.bin").has_value());
    EXPECT_EQ(Chunk(Upload + "?uploadType=resumable&upload_id=made-up", "", "*/3").status, 404);
}

TEST_F(GoogleDriveV3UploadTest, BadUploadsAreRefusedAndStoreNothing) {
    std::string folder = emulator->AddFolder(Cloud::GoogleDrive, "Docs");
    std::string file = emulator->AddFile(Cloud::GoogleDrive, "Docs/a.txt", "a");
    struct Case {
        std::string what;
        Reply reply;
        int status;
        std::string reason;
    };
    const Case cases[] = {
        {"no upload type", client.Send("POST", Upload, "x", {HttpsClient::Bearer(token)}), 400, "invalid"},
        {"new content for a folder",
         client.Send("PATCH", Upload + "/" + folder + "?uploadType=media", "x", {HttpsClient::Bearer(token)}), 400,
         "badContent"},
        {"POST to a file without a session",
         client.Send("POST", Upload + "/" + file + "?uploadType=media", "x", {HttpsClient::Bearer(token)}), 405,
         "httpMethodNotAllowed"},
        {"media first",
         client.Send("POST", Upload + "?uploadType=multipart",
                     Related({{"text/plain", "x"}, {"application/json", "{}"}}),
                     {HttpsClient::Bearer(token), "Content-Type: multipart/related; boundary=foo_bar_baz"}),
         400, "badRequest"},
        {"metadata not JSON",
         client.Send("POST", Upload + "?uploadType=multipart",
                     Related({{"application/json", "{x"}, {"text/plain", "x"}}),
                     {HttpsClient::Bearer(token), "Content-Type: multipart/related; boundary=foo_bar_baz"}),
         400, "parseError"},
        {"unknown parent",
         Multipart("POST", Upload + "?uploadType=multipart", R"({"parents":["nope"]})", "text/plain", "x"), 404,
         "notFound"},
        {"a folder with bytes",
         Multipart("POST", Upload + "?uploadType=multipart", R"({"mimeType":"application/vnd.google-apps.folder"})",
                   "text/plain", "x"),
         400, "badContent"},
        {"a resumable folder",
         client.Send("POST", Upload + "?uploadType=resumable", R"({"mimeType":"application/vnd.google-apps.folder"})",
                     {HttpsClient::Bearer(token), "Content-Type: application/json"}),
         400, "badContent"},
        {"unknown file", client.Send("PATCH", Upload + "/nope?uploadType=media", "x", {HttpsClient::Bearer(token)}),
         404, "notFound"},
        {"bad length",
         client.Send("POST", Upload + "?uploadType=resumable", "{}",
                     {HttpsClient::Bearer(token), "X-Upload-Content-Length: lots"}),
         400, "invalid"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.reply.status, c.status) << c.what << ": " << c.reply.body;
        EXPECT_EQ(c.reply.Json()["error"]["errors"][0]["reason"], c.reason) << c.what;
        EXPECT_EQ(c.reply.Header("location"), "") << c.what;
    }
    EXPECT_EQ(emulator->Children(Cloud::GoogleDrive, "/").size(), 1u);
    EXPECT_EQ(emulator->Find(Cloud::GoogleDrive, "Docs/a.txt")->content, "a");
}

}  // namespace
