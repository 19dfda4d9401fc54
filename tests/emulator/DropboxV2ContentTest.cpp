// Dropbox API v2 content calls: the argument in the header or the query, uploads with their write
// modes and content hash, upload sessions and their commits, downloads and temporary links.

#include "DropboxV2Fixture.h"
#include "TestData.h"

#include <gtest/gtest.h>

using namespace Nimbo::Emulator;
using namespace EmulatorTest;
using nlohmann::json;

namespace {

// Dropbox's content hash, written from its description: SHA-256 of every 4 MiB block, then
// SHA-256 of the digests one after another.
std::string BlockHash(const std::string& bytes) {
    const std::size_t block = 4u << 20;
    std::string digests;
    for (std::size_t at = 0; at < bytes.size(); at += block) digests += DigestOf(EVP_sha256(), bytes.substr(at, block));
    return Hex(DigestOf(EVP_sha256(), digests));
}

std::string UrlEncoded(const std::string& text) {
    std::string out;
    char hex[4];
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.')
            out += static_cast<char>(c);
        else
            std::snprintf(hex, sizeof hex, "%%%02X", c), out += hex;
    }
    return out;
}

class DropboxV2ContentTest : public DropboxV2Fixture {
protected:
    Reply Start(const std::string& bytes, bool close = false) const {
        return Upload("files/upload_session/start", {{"close", close}}, bytes);
    }
    Reply Append(const std::string& id, std::uint64_t offset, const std::string& bytes, bool close = false) const {
        return Upload("files/upload_session/append_v2",
                      {{"cursor", {{"session_id", id}, {"offset", offset}}}, {"close", close}}, bytes);
    }
    static json Finish(const std::string& id, std::uint64_t offset, const std::string& path, json mode = "add") {
        return {{"cursor", {{"session_id", id}, {"offset", offset}}}, {"commit", {{"path", path}, {"mode", mode}}}};
    }
    std::string Content(const std::string& path) const {
        auto item = emulator->Find(Cloud::Dropbox, path);
        return item ? item->content : "<missing>";
    }
};

TEST_F(DropboxV2ContentTest, TheArgumentComesInTheHeaderOrTheQuery) {
    Reply header = Put("/Docs/caf\u00e9 #1 + 50%'s.txt", "header");
    ASSERT_EQ(header.status, 200) << header.body;
    EXPECT_EQ(header.Header("content-type"), "application/json");
    EXPECT_EQ(header.Json()["path_display"], "/Docs/caf\u00e9 #1 + 50%'s.txt");
    EXPECT_EQ(header.Json()["size"], 6);
    EXPECT_FALSE(header.Json().contains(".tag"));

    std::string arg = json{{"path", "/Docs/qu\u00e9ry.txt"}}.dump();
    Reply query = client.Send("POST", ContentV2 + "files/upload?arg=" + UrlEncoded(arg), "query",
                              {HttpsClient::Bearer(token), "Content-Type: application/octet-stream"});
    ASSERT_EQ(query.status, 200) << query.body;
    EXPECT_EQ(Content("Docs/qu\u00e9ry.txt"), "query");

    // Downloads answer GET too, with the argument and the token in the query.
    Reply got = client.Get(ContentV2 +
                           "files/download?arg=" + UrlEncoded(json{{"path", "/DOCS/caf\u00e9 #1 + 50%'s.TXT"}}.dump()) +
                           "&authorization=" + UrlEncoded("Bearer " + token));
    ASSERT_EQ(got.status, 200) << got.body;
    EXPECT_EQ(got.body, "header");
    std::string result = got.Header("dropbox-api-result");
    EXPECT_EQ(result.find("\u00e9"), std::string::npos) << "header text is ASCII";
    EXPECT_EQ(json::parse(result)["name"], "caf\u00e9 #1 + 50%'s.txt");
}

TEST_F(DropboxV2ContentTest, ContentCallsRefuseBadArgumentsAndTypes) {
    const std::string upload = ContentV2 + "files/upload", download = ContentV2 + "files/download";
    const std::string arg = HeaderArg({{"path", "/a.txt"}}), octets = "Content-Type: application/octet-stream";
    struct Case {
        std::string url, body;
        std::vector<std::string> headers;
        std::string expected;
    };
    const Case cases[] = {
        {upload, "x", {octets}, "Must provide HTTP header \"Dropbox-API-Arg\" or URL parameter \"arg\""},
        {upload, "x", {octets, "Dropbox-API-Arg: {\"path\":"}, "could not decode input as JSON"},
        {upload, "x", {"Content-Type: application/json", arg}, "Bad HTTP \"Content-Type\" header"},
        {upload, "x", {"Content-Type:", arg}, "Content-Type"},
        {upload + "?arg=%7B%7D", "x", {octets, arg}, "Cannot provide both"},
        {upload, "x", {octets, "Dropbox-API-Arg: {\"path\":\"/caf\xc3\xa9.txt\"}"}, "must be escaped"},
        {upload, "x", {octets, HeaderArg({{"path", "/a.txt"}, {"mode", "replace"}})}, "mode: unknown tag 'replace'"},
        {upload, "x", {octets, HeaderArg({{"path", "/a.txt"}, {"mode", "update"}})}, "mode: update"},
        {upload, "x", {octets, HeaderArg({{"path", "a.txt"}})}, "did not match pattern"},
        {download, "body", {"Content-Type: application/octet-stream", arg}, "supposed to be empty"},
        {download, "", {"Content-Type:"}, "Must provide HTTP header \"Dropbox-API-Arg\""},
    };
    for (const auto& c : cases) {
        auto headers = c.headers;
        headers.push_back(HttpsClient::Bearer(token));
        Reply reply = client.Send("POST", c.url, c.body, headers);
        EXPECT_EQ(reply.status, 400) << c.expected << ": " << reply.body;
        EXPECT_NE(reply.body.find(c.expected), std::string::npos) << reply.body;
    }
    EXPECT_FALSE(emulator->Find(Cloud::Dropbox, "a.txt"));

    emulator->AddFolder(Cloud::Dropbox, "Folder");
    EXPECT_EQ(Summary(Fetch("/missing.txt")), "path/not_found/..");
    EXPECT_EQ(Summary(Fetch("/folder")), "path/not_file/..");
}

TEST_F(DropboxV2ContentTest, WriteModesAndAutorename) {
    Reply first = Put("/a.txt", "one");
    ASSERT_EQ(first.status, 200) << first.body;
    const std::string rev = first.Json()["rev"], id = first.Json()["id"];
    EXPECT_GE(rev.size(), 9u);

    Reply same = Put("/A.TXT", "one");  // the same bytes are no conflict and write nothing
    EXPECT_EQ(same.Json()["rev"], rev);
    EXPECT_EQ(Summary(Put("/a.txt", "two")), "path/conflict/file/..");
    EXPECT_EQ(Summary(Put("/a.txt", "one", {{"strict_conflict", true}})), "path/conflict/file/..");
    EXPECT_EQ(Put("/a.txt", "two", {{"autorename", true}}).Json()["path_display"], "/a (2).txt");
    EXPECT_EQ(Put("/a.txt", "three", {{"autorename", true}}).Json()["path_display"], "/a (3).txt");

    Reply overwritten = Put("/a.txt", "four", {{"mode", "overwrite"}});
    EXPECT_EQ(overwritten.Json()["id"], id);
    EXPECT_NE(overwritten.Json()["rev"], rev);
    EXPECT_EQ(Content("a.txt"), "four");

    json stale = {{".tag", "update"}, {"update", rev}};
    EXPECT_EQ(Summary(Put("/a.txt", "five", {{"mode", stale}})), "path/conflict/file/..");
    EXPECT_EQ(Put("/a.txt", "five", {{"mode", stale}, {"autorename", true}}).Json()["name"], "a (conflicted copy).txt");
    json current = {{".tag", "update"}, {"update", overwritten.Json()["rev"]}};
    Reply updated = Put("/a.txt", "six", {{"mode", current}, {"client_modified", "2020-01-02T03:04:05Z"}});
    ASSERT_EQ(updated.status, 200) << updated.body;
    EXPECT_EQ(updated.Json()["client_modified"], "2020-01-02T03:04:05Z");
    EXPECT_EQ(Content("a.txt"), "six");

    emulator->AddFolder(Cloud::Dropbox, "Folder");
    EXPECT_EQ(Summary(Put("/folder", "x", {{"mode", "overwrite"}})), "path/conflict/folder/..");
    EXPECT_EQ(Summary(Put("/a.txt/inside.txt", "x")), "path/conflict/file_ancestor/..");
    EXPECT_EQ(Put("/Made/On/The Way.txt", "x").status, 200);
}

TEST_F(DropboxV2ContentTest, ContentHashIsStoredAndChecked) {
    const std::string bytes = PatternBytes((4u << 20) + 10);  // two blocks
    const std::string hash = BlockHash(bytes);
    Reply wrong = Put("/big.bin", bytes, {{"content_hash", BlockHash("other")}});
    EXPECT_EQ(Summary(wrong), "content_hash_mismatch/..");
    EXPECT_FALSE(emulator->Find(Cloud::Dropbox, "big.bin"));

    Reply right = Put("/big.bin", bytes, {{"content_hash", hash}});
    ASSERT_EQ(right.status, 200) << right.body;
    EXPECT_EQ(right.Json()["content_hash"], hash);
    // Files written elsewhere carry theirs too.
    emulator->AddFile(Cloud::Dropbox, "small.txt", "small");
    EXPECT_EQ(Rpc("files/get_metadata", {{"path", "/small.txt"}}).Json()["content_hash"], BlockHash("small"));
    emulator->AddFile(Cloud::Dropbox, "empty.txt", "");
    EXPECT_EQ(Rpc("files/get_metadata", {{"path", "/empty.txt"}}).Json()["content_hash"], BlockHash(""));
}

TEST_F(DropboxV2ContentTest, SessionsResumeAtTheOffsetTheServiceHolds) {
    const std::string bytes = PatternBytes(3000);
    Reply started = Start(bytes.substr(0, 1000));
    ASSERT_EQ(started.status, 200) << started.body;
    const std::string id = started.Json()["session_id"];

    // A chunk sent again after its answer was lost is refused with the offset to go on from.
    Reply resent = Append(id, 0, bytes.substr(0, 1000));
    EXPECT_EQ(Summary(resent), "incorrect_offset/..");
    EXPECT_EQ(resent.Json()["error"]["correct_offset"], 1000);
    Reply appended = Append(id, 1000, bytes.substr(1000, 1000));
    ASSERT_EQ(appended.status, 200) << appended.body;
    EXPECT_EQ(appended.body, "null");
    EXPECT_EQ(Summary(Append(id, 1000, "late")), "incorrect_offset/..");

    Reply behind = Upload("files/upload_session/finish", Finish(id, 1500, "/s.bin"), bytes.substr(2000));
    EXPECT_EQ(Summary(behind), "lookup_failed/incorrect_offset/..");
    EXPECT_EQ(behind.Json()["error"]["lookup_failed"]["correct_offset"], 2000);
    Reply finished = Upload("files/upload_session/finish", Finish(id, 2000, "/S.bin"), bytes.substr(2000));
    ASSERT_EQ(finished.status, 200) << finished.body;
    EXPECT_EQ(finished.Json()["size"], 3000);
    EXPECT_EQ(finished.Json()["content_hash"], BlockHash(bytes));
    EXPECT_EQ(Content("S.bin"), bytes);
    EXPECT_EQ(Summary(Upload("files/upload_session/finish", Finish(id, 3000, "/again.bin"), "")),
              "lookup_failed/not_found/..");
    EXPECT_EQ(Summary(Append("nosuchsession", 0, "x")), "not_found/..");
}

TEST_F(DropboxV2ContentTest, SessionChunksAndCommitsFollowTheirRules) {
    std::string id = Start("abc", true).Json()["session_id"];
    EXPECT_EQ(Summary(Append(id, 3, "def")), "closed/..");
    Reply mismatch = Upload("files/upload_session/append_v2",
                            {{"cursor", {{"session_id", Start("").Json()["session_id"]}, {"offset", 0}}},
                             {"content_hash", BlockHash("other")}},
                            "data");
    EXPECT_EQ(Summary(mismatch), "content_hash_mismatch/..");

    // A commit refused for its path keeps the data: retried with an empty body at the full offset.
    emulator->AddFile(Cloud::Dropbox, "taken.txt", "old");
    EXPECT_EQ(Summary(Upload("files/upload_session/finish", Finish(id, 3, "/taken.txt"), "")), "path/conflict/file/..");
    Reply retried = Upload("files/upload_session/finish", Finish(id, 3, "/taken.txt", "overwrite"), "");
    ASSERT_EQ(retried.status, 200) << retried.body;
    EXPECT_EQ(Content("taken.txt"), "abc");

    Reply concurrent = Upload("files/upload_session/start", {{"session_type", "concurrent"}}, "data");
    EXPECT_EQ(Summary(concurrent), "concurrent_session_data_not_allowed/..");
    Reply closed = Upload("files/upload_session/start", {{"session_type", "concurrent"}, {"close", true}}, "");
    EXPECT_EQ(Summary(closed), "concurrent_session_close_not_allowed/..");
}

TEST_F(DropboxV2ContentTest, ConcurrentSessionsTakeBlockAlignedPiecesInAnyOrder) {
    const std::uint64_t block = 4u << 20;
    const std::string bytes = PatternBytes(2 * block + 100);
    Reply started = Upload("files/upload_session/start", {{"session_type", "concurrent"}}, "");
    ASSERT_EQ(started.status, 200) << started.body;
    const std::string id = started.Json()["session_id"];
    EXPECT_EQ(Summary(Append(id, 100, "x")), "concurrent_session_invalid_offset/..");
    EXPECT_EQ(Summary(Append(id, 0, "short")), "concurrent_session_invalid_data_size/..");
    EXPECT_EQ(Summary(Upload("files/upload_session/finish", Finish(id, 0, "/c.bin"), "")),
              "lookup_failed/concurrent_session_not_closed/..");

    ASSERT_EQ(Append(id, 2 * block, bytes.substr(2 * block), true).status, 200);  // the last piece first
    ASSERT_EQ(Append(id, block, bytes.substr(block, block)).status, 200);
    EXPECT_EQ(Append(id, 2 * block, bytes.substr(2 * block), true).status, 200);           // the same piece again
    EXPECT_EQ(Summary(Append(id, block, bytes.substr(block, block), true)), "closed/..");  // another end
    EXPECT_EQ(Summary(Upload("files/upload_session/finish", Finish(id, bytes.size(), "/c.bin"), "")),
              "lookup_failed/concurrent_session_missing_data/..");
    ASSERT_EQ(Append(id, 0, bytes.substr(0, block)).status, 200);
    Reply finished = Upload("files/upload_session/finish", Finish(id, bytes.size(), "/c.bin"), "");
    ASSERT_EQ(finished.status, 200) << finished.body;
    EXPECT_EQ(finished.Json()["content_hash"], BlockHash(bytes));
    EXPECT_EQ(Content("c.bin"), bytes);
}

TEST_F(DropboxV2ContentTest, BatchCommitsAnswerEachEntry) {
    std::string one = Start("first", true).Json()["session_id"];
    std::string two = Start("second").Json()["session_id"];
    ASSERT_EQ(Append(two, 6, "", true).status, 200);
    std::string open = Start("open").Json()["session_id"];
    Reply batch = Rpc(
        "files/upload_session/finish_batch_v2",
        {{"entries", {Finish(one, 5, "/b/one.txt"), Finish(two, 6, "/b/two.txt"), Finish(open, 4, "/b/open.txt")}}});
    ASSERT_EQ(batch.status, 200) << batch.body;
    auto entries = batch.Json()["entries"];
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0][".tag"], "success");
    EXPECT_EQ(entries[0]["path_display"], "/b/one.txt");
    EXPECT_EQ(entries[1][".tag"], "success");
    EXPECT_EQ(entries[2][".tag"], "failure");
    EXPECT_EQ(entries[2]["failure"]["lookup_failed"][".tag"], "not_closed");
    EXPECT_EQ(Content("b/two.txt"), "second");

    ASSERT_EQ(Append(open, 4, "", true).status, 200);
    Reply job = Rpc("files/upload_session/finish_batch", {{"entries", {Finish(open, 4, "/b/open.txt")}}});
    ASSERT_EQ(job.Json()[".tag"], "async_job_id") << job.body;
    Reply check = Rpc("files/upload_session/finish_batch/check", {{"async_job_id", job.Json()["async_job_id"]}});
    EXPECT_EQ(check.Json()[".tag"], "complete");
    EXPECT_EQ(check.Json()["entries"][0][".tag"], "success");
    EXPECT_EQ(Content("b/open.txt"), "open");
    EXPECT_EQ(Summary(Rpc("files/upload_session/finish_batch/check", {{"async_job_id", "dbjid:nope"}})),
              "invalid_async_job_id/..");
}

TEST_F(DropboxV2ContentTest, DownloadsHonourRangesAndTemporaryLinksNeedNoToken) {
    const std::string bytes = PatternBytes(1000);
    emulator->AddFile(Cloud::Dropbox, "Docs/data.bin", bytes);
    Reply part = Fetch("/docs/data.bin", {"Range: bytes=100-199"});
    EXPECT_EQ(part.status, 206);
    EXPECT_EQ(part.body, bytes.substr(100, 100));
    EXPECT_EQ(json::parse(part.Header("dropbox-api-result"))["size"], 1000);

    Reply whole = Fetch("/Docs/data.bin");
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(whole.body, bytes);
    Reply cached = Fetch("/Docs/data.bin", {"If-None-Match: " + whole.Header("etag")});
    EXPECT_EQ(cached.status, 304);

    Reply link = Rpc("files/get_temporary_link", {{"path", "/Docs/data.bin"}});
    ASSERT_EQ(link.status, 200) << link.body;
    const std::string url = link.Json()["link"];
    EXPECT_EQ(url.rfind("https://dl.dropboxusercontent.com/", 0), 0u);
    Reply fetched = client.Get(url);
    EXPECT_EQ(fetched.status, 200);
    EXPECT_EQ(fetched.body, bytes);
    EXPECT_EQ(client.Get(url + "x").status, 404);
    EXPECT_EQ(Summary(Rpc("files/get_temporary_link", {{"path", "/Docs"}})), "path/not_file/..");
}

}  // namespace
