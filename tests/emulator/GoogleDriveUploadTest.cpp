// Google Drive's multipart and resumable uploads, as Google's own clients send them.

#include "EmulatorFixture.h"
#include "RawConnection.h"
#include "TestData.h"

#include <gtest/gtest.h>

using namespace Nimbo::Emulator;
using namespace EmulatorTest;

namespace {

const std::string Api = "https://www.googleapis.com/drive/v2/files";
const std::string Upload = "https://www.googleapis.com/upload/drive/v2/files";
constexpr std::size_t Granule = 256 << 10;

class GoogleDriveUploadTest : public EmulatorFixture {
protected:
    GoogleDriveUploadTest() : EmulatorFixture({Cloud::GoogleDrive, "app.apps.googleusercontent.com", "s3cret", {}}) {}

    Reply Multipart(const std::string& method, const std::string& url, const std::string& body,
                    const std::string& boundary = "foo_bar_baz") const {
        return client.Send(method, url, body,
                           {HttpsClient::Bearer(token), "Content-Type: multipart/related; boundary=" + boundary});
    }
    // Starts a resumable upload and returns the session address.
    std::string Start(const std::string& url, const std::string& metadata,
                      std::vector<std::string> headers = {}) const {
        headers.push_back(HttpsClient::Bearer(token));
        headers.push_back("Content-Type: application/json; charset=UTF-8");
        Reply r = client.Send(url == Upload ? "POST" : "PUT", url + "?uploadType=resumable", metadata, headers);
        EXPECT_EQ(r.status, 200) << r.body;
        EXPECT_TRUE(r.body.empty());
        return r.Header("location");
    }
    Reply Chunk(const std::string& session, const std::string& bytes, const std::string& range) const {
        std::vector<std::string> headers{HttpsClient::Bearer(token)};
        if (!range.empty()) headers.push_back("Content-Range: bytes " + range);
        return client.Send("PUT", session, bytes, headers);
    }
    static std::string Span(std::size_t first, std::size_t size, const std::string& total) {
        return std::to_string(first) + "-" + std::to_string(first + size - 1) + "/" + total;
    }
};

TEST_F(GoogleDriveUploadTest, MultipartInsertTakesTitleParentsAndMedia) {
    std::string folder = emulator->AddFolder(Cloud::GoogleDrive, "Docs");
    const std::string media = PatternBytes(70000);
    Reply r =
        Multipart("POST", Upload + "?uploadType=multipart",
                  Related({{"application/json; charset=UTF-8",
                            R"({"title":"report.bin","description":"numbers","parents":[{"id":")" + folder + R"("}]})"},
                           {"application/x-numbers", media}}));
    ASSERT_EQ(r.status, 200) << r.body;
    auto file = r.Json();
    EXPECT_EQ(file["title"], "report.bin");
    EXPECT_EQ(file["description"], "numbers");
    EXPECT_EQ(file["parents"][0]["id"], folder);
    EXPECT_EQ(file["mimeType"], "application/x-numbers");  // the media part's type when the metadata names none
    EXPECT_EQ(file["fileSize"], std::to_string(media.size()));
    EXPECT_EQ(file["md5Checksum"], Md5Hex(media));
    EXPECT_EQ(client.Get(file["downloadUrl"], token).body, media);
}

TEST_F(GoogleDriveUploadTest, MultipartUpdateReplacesContentAndKeepsWhatTheMetadataLeavesOut) {
    std::string folder = emulator->AddFolder(Cloud::GoogleDrive, "Docs");
    std::string id = emulator->AddFile(Cloud::GoogleDrive, "Docs/old.txt", "old", "text/plain");
    Reply r =
        Multipart("PUT", Upload + "/" + id + "?uploadType=multipart",
                  Related({{"application/json", R"({"title":"new.txt"})"}, {"text/plain", "new content"}}, "b0"), "b0");
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.Json()["title"], "new.txt");
    EXPECT_EQ(r.Json()["parents"][0]["id"], folder);
    EXPECT_EQ(emulator->Find(Cloud::GoogleDrive, "Docs/new.txt")->content, "new content");
}

TEST_F(GoogleDriveUploadTest, MalformedMultipartBodiesAreRefusedAndStoreNothing) {
    const std::string meta = R"({"title":"x.txt"})";
    struct Case {
        std::string name;
        Reply reply;
        int status;
        std::string reason;
    };
    const Case cases[] = {
        {"one part", Multipart("POST", Upload + "?uploadType=multipart", Related({{"application/json", meta}})), 400,
         "badRequest"},
        {"media first",
         Multipart("POST", Upload + "?uploadType=multipart",
                   Related({{"text/plain", "x"}, {"application/json", meta}})),
         400, "badRequest"},
        {"metadata not JSON",
         Multipart("POST", Upload + "?uploadType=multipart",
                   Related({{"application/json", "{x"}, {"text/plain", "x"}})),
         400, "parseError"},
        {"no closing delimiter",
         Multipart("POST", Upload + "?uploadType=multipart", "--foo_bar_baz\r\n\r\n{}\r\n--foo_bar_baz\r\n\r\nx"), 400,
         "badRequest"},
        {"form data",
         client.Multipart(Upload + "?uploadType=multipart",
                          {{"metadata", meta, "", "application/json"}, {"file", "x", "x.txt", ""}}, token),
         400, "badContent"},
        {"unknown parent",
         Multipart("POST", Upload + "?uploadType=multipart",
                   Related({{"application/json", R"({"parents":[{"id":"nope"}]})"}, {"text/plain", "x"}})),
         404, "notFound"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.reply.status, c.status) << c.name << " " << c.reply.body;
        EXPECT_EQ(c.reply.Json()["error"]["errors"][0]["reason"], c.reason) << c.name;
    }
    EXPECT_TRUE(emulator->Children(Cloud::GoogleDrive, "").empty());
}

TEST_F(GoogleDriveUploadTest, ResumableInsertAnswers308UntilTheLastChunk) {
    std::string folder = emulator->AddFolder(Cloud::GoogleDrive, "Docs");
    const std::string media = PatternBytes(2 * Granule + 1000);
    const std::string total = std::to_string(media.size());
    std::string session = Start(Upload, R"({"title":"big.bin","parents":[{"id":")" + folder + R"("}]})",
                                {"X-Upload-Content-Type: application/x-big", "X-Upload-Content-Length: " + total});
    ASSERT_EQ(session.rfind(Upload + "?uploadType=resumable&upload_id=", 0), 0u) << session;

    Reply first = Chunk(session, media.substr(0, Granule), Span(0, Granule, total));
    EXPECT_EQ(first.status, 308);
    EXPECT_EQ(first.Header("range"), "bytes=0-262143");
    EXPECT_TRUE(emulator->Children(Cloud::GoogleDrive, "Docs").empty());  // nothing shows before the end
    Reply second = Chunk(session, media.substr(Granule, Granule), Span(Granule, Granule, "*"));
    EXPECT_EQ(second.status, 308);
    EXPECT_EQ(second.Header("range"), "bytes=0-524287");
    Reply last = Chunk(session, media.substr(2 * Granule), Span(2 * Granule, 1000, total));
    ASSERT_EQ(last.status, 200) << last.body;
    EXPECT_EQ(last.Json()["title"], "big.bin");
    EXPECT_EQ(last.Json()["mimeType"], "application/x-big");
    EXPECT_EQ(last.Json()["md5Checksum"], Md5Hex(media));
    EXPECT_EQ(emulator->Find(Cloud::GoogleDrive, "Docs/big.bin")->content, media);
    // Asking again after the end answers the file, not a second one.
    Reply query = Chunk(session, "", "*/" + total);
    EXPECT_EQ(query.status, 200);
    EXPECT_EQ(query.Json()["id"], last.Json()["id"]);
    EXPECT_EQ(emulator->Children(Cloud::GoogleDrive, "Docs").size(), 1u);
}

TEST_F(GoogleDriveUploadTest, InterruptedResumableUploadResumesFromTheRangeStored) {
    const std::string media = PatternBytes(3 * Granule, 7);
    const std::string total = std::to_string(media.size());
    std::string session = Start(Upload, R"({"title":"resumed.bin"})");
    Reply query = Chunk(session, "", "*/" + total);
    EXPECT_EQ(query.status, 308);
    EXPECT_EQ(query.Header("range"), "");  // nothing stored yet
    ASSERT_EQ(Chunk(session, media.substr(0, Granule), Span(0, Granule, total)).status, 308);
    {
        // The next chunk breaks off half-way.
        std::string path = session.substr(session.find("/upload/"));
        RawConnection broken(emulator->Port(), "www.googleapis.com");
        broken.Send("PUT " + path + " HTTP/1.1\r\nHost: www.googleapis.com\r\nAuthorization: Bearer " + token +
                    "\r\nContent-Range: bytes " + Span(Granule, 2 * Granule, total) + "\r\nContent-Length: " +
                    std::to_string(2 * Granule) + "\r\n\r\n" + media.substr(Granule, Granule / 2));
    }
    query = Chunk(session, "", "*/" + total);
    EXPECT_EQ(query.status, 308);
    EXPECT_EQ(query.Header("range"), "bytes=0-262143");
    Reply rest = Chunk(session, media.substr(Granule), Span(Granule, 2 * Granule, total));
    ASSERT_EQ(rest.status, 200) << rest.body;
    EXPECT_EQ(rest.Json()["md5Checksum"], Md5Hex(media));
    EXPECT_EQ(emulator->Find(Cloud::GoogleDrive, "resumed.bin")->content, media);
}

TEST_F(GoogleDriveUploadTest, ResumableUpdateInOneRequestRenamesAndReplaces) {
    std::string id = emulator->AddFile(Cloud::GoogleDrive, "a.txt", "old", "text/plain");
    std::string session = Start(Upload + "/" + id, R"({"title":"b.txt"})");
    ASSERT_NE(session.find("/files/" + id + "?"), std::string::npos) << session;
    Reply done = Chunk(session, "whole new content", "");
    ASSERT_EQ(done.status, 200) << done.body;
    EXPECT_EQ(done.Json()["id"], id);
    EXPECT_EQ(done.Json()["title"], "b.txt");
    EXPECT_EQ(done.Json()["mimeType"], "text/plain");
    EXPECT_EQ(emulator->Find(Cloud::GoogleDrive, "b.txt")->content, "whole new content");
}

TEST_F(GoogleDriveUploadTest, BadChunksAreRefusedAndTheSessionGoesOn) {
    const std::string media = PatternBytes(Granule + 10);
    const std::string total = std::to_string(media.size());
    std::string session = Start(Upload, "{}", {"X-Upload-Content-Length: " + total});
    ASSERT_EQ(Chunk(session, media.substr(0, Granule), Span(0, Granule, total)).status, 308);
    struct Case {
        std::string name;
        Reply reply;
        int status;
        std::string reason;
    };
    const Case cases[] = {
        {"a gap", Chunk(session, media.substr(Granule + 5), Span(Granule + 5, 5, total)), 400, "badRequest"},
        {"not a whole granule", Chunk(session, std::string(1000, 'x'), Span(Granule, 1000, "*")), 400, "badRequest"},
        {"fewer bytes than the range", Chunk(session, "abc", Span(Granule, 10, total)), 400, "badRequest"},
        {"another total", Chunk(session, media.substr(Granule), Span(Granule, 10, "999999")), 400, "badRequest"},
        {"an unreadable range", Chunk(session, "abc", "3-1/10"), 400, "badRequest"},
        {"bytes with a status query", Chunk(session, "abc", "*/" + total), 400, "badRequest"},
        {"over the largest file", Chunk(session, "", "*/6000000000000"), 413, "uploadTooLarge"},
        {"an unknown session", Chunk(Upload + "?uploadType=resumable&upload_id=nope", "x", ""), 404, "notFound"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.reply.status, c.status) << c.name << " " << c.reply.body;
        EXPECT_EQ(c.reply.Json()["error"]["errors"][0]["reason"], c.reason) << c.name;
    }
    // Resending stored bytes with the rest is fine.
    Reply done = Chunk(session, media.substr(Granule - 4), Span(Granule - 4, 14, total));
    ASSERT_EQ(done.status, 200) << done.body;
    EXPECT_EQ(done.Json()["md5Checksum"], Md5Hex(media));
}

TEST_F(GoogleDriveUploadTest, UploadsPastTheLargestFileAreRefusedAtTheStart) {
    Reply r = client.Send(
        "POST", Upload + "?uploadType=resumable", "{}",
        {HttpsClient::Bearer(token), "Content-Type: application/json", "X-Upload-Content-Length: 5497558138881"});
    EXPECT_EQ(r.status, 413);
    EXPECT_EQ(r.Json()["error"]["errors"][0]["reason"], "uploadTooLarge");
    Reply bad = client.Send("POST", Upload + "?uploadType=resumable", R"({"parents":[{"id":"nope"}]})",
                            {HttpsClient::Bearer(token), "Content-Type: application/json"});
    EXPECT_EQ(bad.status, 404);  // the metadata is checked before any byte is sent
}

}  // namespace
