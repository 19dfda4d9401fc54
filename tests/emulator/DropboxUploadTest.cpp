// Dropbox's chunked uploads and the size limit of files_put.

#include "EmulatorFixture.h"
#include "RawConnection.h"
#include "TestData.h"

#include <gtest/gtest.h>

using namespace Nimbo::Emulator;
using namespace EmulatorTest;

namespace {

const std::string Content = "https://api-content.dropbox.com/1";

class DropboxUploadTest : public EmulatorFixture {
protected:
    DropboxUploadTest() : EmulatorFixture({Cloud::Dropbox, "key", "secret", {}}) {}

    Reply Chunk(const std::string& bytes, const std::string& query = "", const std::string& method = "PUT") const {
        return client.Send(method, Content + "/chunked_upload" + query, bytes, {HttpsClient::Bearer(token)});
    }
    Reply Commit(const std::string& path, const Fields& fields) const {
        return client.Form(Content + "/commit_chunked_upload/dropbox" + path, fields, token);
    }
    // The answer to a request head alone, sent on its own connection.
    RawReply Head(const std::string& method, const std::string& path, const std::string& headers) const {
        RawConnection connection(emulator->Port(), "api-content.dropbox.com");
        connection.Send(method + " " + path + " HTTP/1.1\r\nHost: api-content.dropbox.com\r\nAuthorization: Bearer " +
                        token + "\r\n" + headers + "\r\n");
        return connection.Read();
    }
};

TEST_F(DropboxUploadTest, ChunksAddUpAndTheCommitStoresThemAtThePath) {
    const std::string bytes = PatternBytes(300000);
    Reply first = Chunk(bytes.substr(0, 100000));
    ASSERT_EQ(first.status, 200) << first.body;
    std::string id = first.Json()["upload_id"];
    EXPECT_EQ(first.Json()["offset"], 100000);
    EXPECT_TRUE(first.Json()["expires"].is_string());
    // The JavaScript client posts its chunks.
    Reply second = Chunk(bytes.substr(100000), "?upload_id=" + id + "&offset=100000", "POST");
    ASSERT_EQ(second.status, 200) << second.body;
    EXPECT_EQ(second.Json()["offset"], 300000);
    EXPECT_EQ(second.Json()["upload_id"], id);

    Reply committed = Commit("/Docs/big.bin", {{"upload_id", id}});
    ASSERT_EQ(committed.status, 200) << committed.body;
    EXPECT_EQ(committed.Json()["path"], "/Docs/big.bin");
    EXPECT_EQ(committed.Json()["bytes"], 300000);
    EXPECT_EQ(emulator->Find(Cloud::Dropbox, "Docs/big.bin")->content, bytes);
    EXPECT_EQ(Commit("/Docs/again.bin", {{"upload_id", id}}).status, 400);  // an upload commits once
}

TEST_F(DropboxUploadTest, AChunkAtTheWrongOffsetIsIgnoredAndAnsweredWithTheRightOne) {
    std::string id = Chunk("abc").Json()["upload_id"];
    for (const std::string offset : {"1", "9"}) {
        Reply wrong = Chunk("xyz", "?upload_id=" + id + "&offset=" + offset);
        EXPECT_EQ(wrong.status, 400) << offset;
        EXPECT_EQ(wrong.Json()["offset"], 3) << offset;
        EXPECT_EQ(wrong.Json()["upload_id"], id) << offset;
    }
    ASSERT_EQ(Chunk("def", "?upload_id=" + id + "&offset=3").status, 200);
    ASSERT_EQ(Commit("/a.txt", {{"upload_id", id}}).status, 200);
    EXPECT_EQ(emulator->Find(Cloud::Dropbox, "a.txt")->content, "abcdef");
}

TEST_F(DropboxUploadTest, CommitConflictsLeaveTheUploadForAnotherTry) {
    emulator->AddFile(Cloud::Dropbox, "a.txt", "old");
    std::string id = Chunk("new").Json()["upload_id"];
    Reply refused = Commit("/a.txt", {{"upload_id", id}, {"overwrite", "false"}, {"autorename", "false"}});
    EXPECT_EQ(refused.status, 409);
    EXPECT_EQ(emulator->Find(Cloud::Dropbox, "a.txt")->content, "old");
    Reply renamed = Commit("/a.txt", {{"upload_id", id}, {"overwrite", "false"}});
    ASSERT_EQ(renamed.status, 200) << renamed.body;
    EXPECT_EQ(renamed.Json()["path"], "/a (1).txt");
}

TEST_F(DropboxUploadTest, BadUploadRequestsGetDropboxErrors) {
    std::string id = Chunk("abc").Json()["upload_id"];
    struct Case {
        std::string name;
        Reply reply;
        int status;
    };
    const Case cases[] = {
        {"unknown upload id", Chunk("x", "?upload_id=nope&offset=0"), 404},
        {"a new upload past its start", Chunk("x", "?offset=5"), 400},
        {"an offset that is no number", Chunk("x", "?upload_id=" + id + "&offset=-1"), 400},
        {"commit without an upload id", Commit("/b.txt", {}), 400},
        {"commit of an unknown upload", Commit("/b.txt", {{"upload_id", "nope"}}), 400},
        {"commit to a bad root",
         client.Form(Content + "/commit_chunked_upload/elsewhere/b.txt", {{"upload_id", id}}, token), 400},
        {"a chunk sent in chunked coding",
         client.Send("PUT", Content + "/chunked_upload", "x",
                     {HttpsClient::Bearer(token), "Transfer-Encoding: chunked"}),
         411},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.reply.status, c.status) << c.name << " " << c.reply.body;
        EXPECT_TRUE(c.reply.Json()["error"].is_string()) << c.name << " " << c.reply.body;
    }
    EXPECT_TRUE(emulator->Children(Cloud::Dropbox, "").empty());
}

TEST_F(DropboxUploadTest, UploadsOver150MegabytesAreRefusedBeforeTheBody) {
    const std::string over = "Content-Length: " + std::to_string((150u << 20) + 1) + "\r\n";
    struct Case {
        std::string name, method, path, headers;
    };
    const Case cases[] = {
        {"files_put", "PUT", "/1/files_put/dropbox/big.bin", over},
        {"files_put by POST, asking to continue", "POST", "/1/files_put/dropbox/big.bin",
         over + "Expect: 100-continue\r\n"},
        {"a chunk", "PUT", "/1/chunked_upload", over},
    };
    for (const Case& c : cases) {
        RawReply reply = Head(c.method, c.path, c.headers);
        EXPECT_EQ(reply.status, 413) << c.name;
        EXPECT_NE(reply.body.find("<title>413 Request Entity Too Large</title>"), std::string::npos)
            << c.name << " " << reply.body;
    }
}

}  // namespace
