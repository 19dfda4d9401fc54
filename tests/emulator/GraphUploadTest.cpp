// Microsoft Graph's OneDrive: simple uploads, upload sessions and downloads through the
// pre-authenticated address.

#include "GraphFixture.h"
#include "RawConnection.h"
#include "TestData.h"

#include <gtest/gtest.h>

using namespace Nimbo::Emulator;
using namespace EmulatorTest;
using nlohmann::json;

namespace {

constexpr std::size_t Granule = 320 * 1024;

std::string Upper(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

class GraphUploadTest : public GraphFixture {
protected:
    // A session for a new file at the path below the root; its upload address.
    std::string StartSession(const std::string& escapedPath, const json& body = json::object()) const {
        Reply r = Call("POST", "/me/drive/root:/" + escapedPath + ":/createUploadSession", body.dump());
        EXPECT_EQ(r.status, 200) << r.body;
        EXPECT_EQ(r.Json()["nextExpectedRanges"], json::array({"0-"}));
        return r.Json().value("uploadUrl", "");
    }
    // One fragment of `whole`, sent without a token as the service asks (or with one, as some clients do).
    Reply Fragment(const std::string& url, const std::string& whole, std::size_t first, std::size_t length,
                   bool withToken = false) const {
        std::vector<std::string> headers = {"Content-Range: bytes " + std::to_string(first) + "-" +
                                            std::to_string(first + length - 1) + "/" + std::to_string(whole.size())};
        if (withToken) headers.push_back("Authorization: Bearer " + token);
        return client.Send("PUT", url, whole.substr(first, length), headers);
    }
};

TEST_F(GraphUploadTest, PutContentMakesANewFileOrANewVersion) {
    Reply made = Call("PUT", "/me/drive/root:/Deep/er/new.bin:/content", "first");
    ASSERT_EQ(made.status, 201) << made.body;  // the missing folders are made on the way
    std::string id = made.Json()["id"];
    EXPECT_EQ(emulator->Find(Cloud::LiveConnect, "Deep/er/new.bin")->content, "first");

    Reply again = Call("PUT", "/me/drive/root:/Deep/er/new.bin:/content", "second");
    EXPECT_EQ(again.status, 200);
    EXPECT_EQ(again.Json()["id"], id);
    Reply byId = Call("PUT", "/me/drive/items/" + id + "/content", "third");
    EXPECT_EQ(byId.status, 200);
    EXPECT_EQ(byId.Json()["size"], 5);
    EXPECT_EQ(emulator->Find(Cloud::LiveConnect, "Deep/er/new.bin")->content, "third");

    Reply fail = Call("PUT", "/me/drive/root:/Deep/er/new.bin:/content?@microsoft.graph.conflictBehavior=fail", "x");
    EXPECT_EQ(fail.status, 409);
    EXPECT_EQ(ErrorCode(fail), "nameAlreadyExists");
    Reply renamed =
        Call("PUT", "/me/drive/root:/Deep/er/new.bin:/content?@microsoft.graph.conflictBehavior=rename", "x");
    EXPECT_EQ(renamed.status, 201);
    EXPECT_EQ(renamed.Json()["name"], "new (1).bin");

    Reply empty = Call("PUT", "/me/drive/root:/empty.txt:/content", "");
    ASSERT_EQ(empty.status, 201);
    EXPECT_EQ(empty.Json()["size"], 0);
    EXPECT_EQ(empty.Json()["file"]["hashes"]["quickXorHash"], "AAAAAAAAAAAAAAAAAAAAAAAAAAA=");

    EXPECT_EQ(Call("PUT", "/me/drive/root:/Deep:/content", "x").status, 400);  // a folder
    EXPECT_EQ(Call("PUT", "/me/drive/root:/bad%3Fname:/content", "x").status, 400);
    EXPECT_EQ(Call("PUT", "/me/drive/items/NOPE!1/content", "x").status, 404);
}

TEST_F(GraphUploadTest, OversizedBodiesAreRefusedBeforeTheyArrive) {
    struct Case {
        std::string what, host, path, length, code;
    };
    const Case cases[] = {
        {"a simple upload over 250 MB", "graph.microsoft.com", "/v1.0/me/drive/root:/big.bin:/content", "262144001",
         "requestTooLarge"},
        {"a fragment of 60 MiB", "api.onedrive.com", "/rup/e0a1c0de5eed1e55/any", "62914561", "invalidRequest"},
    };
    for (const auto& c : cases) {
        RawConnection connection(emulator->Port(), c.host);
        connection.Send("PUT " + c.path + " HTTP/1.1\r\nHost: " + c.host + "\r\nAuthorization: Bearer " + token +
                        "\r\nContent-Length: " + c.length + "\r\nExpect: 100-continue\r\n\r\n");
        RawReply reply = connection.Read();
        EXPECT_EQ(reply.status, 413) << c.what;
        EXPECT_EQ(json::parse(reply.body, nullptr, false)["error"].value("code", ""), c.code) << c.what << reply.body;
    }
}

TEST_F(GraphUploadTest, ContentRedirectsToAnAddressThatAnswersRanges) {
    const std::string bytes = PatternBytes(100000);
    std::string id = Upload("data.bin", bytes)["id"];
    Reply redirect = Get("/me/drive/items/" + id + "/content");
    ASSERT_EQ(redirect.status, 302);
    std::string location = redirect.Header("location");
    EXPECT_EQ(location.rfind("https://public.dm.files.1drv.com/", 0), 0u) << location;
    EXPECT_EQ(location, Get("/me/drive/items/" + id).Json()["@microsoft.graph.downloadUrl"]);

    Reply whole = client.Get(location);  // no token
    ASSERT_EQ(whole.status, 200);
    EXPECT_EQ(whole.body, bytes);
    Reply head = client.Send("HEAD", location);
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.Header("content-length"), "100000");
    Reply part = client.Send("GET", location, "", {"Range: bytes=1000-1999"});
    ASSERT_EQ(part.status, 206);
    EXPECT_EQ(part.body, bytes.substr(1000, 1000));
    EXPECT_EQ(part.Header("content-range"), "bytes 1000-1999/100000");
    Reply tail = client.Send("GET", location, "", {"Range: bytes=99990-"});
    EXPECT_EQ(tail.body, bytes.substr(99990));

    // The address belongs to the content it was made for, and the ticket cannot be changed.
    std::string forged = location;
    forged[forged.find("t=") + 2] = forged[forged.find("t=") + 2] == 'a' ? 'b' : 'a';
    EXPECT_EQ(client.Get(forged).status, 404);
    Upload("data.bin", "new content");
    EXPECT_EQ(client.Get(location).status, 404);
    EXPECT_EQ(Get("/me/drive/root/content").status, 400);
}

TEST_F(GraphUploadTest, ASessionTakesFragmentsInOrderAndEndsWithTheItem) {
    const std::string bytes = PatternBytes(3 * Granule + 1000);
    std::string url =
        StartSession("Up/big.bin", {{"item",
                                     {{"@microsoft.graph.conflictBehavior", "fail"},
                                      {"fileSystemInfo", {{"lastModifiedDateTime", "2021-05-06T07:08:09Z"}}}}}});
    ASSERT_EQ(url.rfind("https://api.onedrive.com/", 0), 0u) << url;

    Reply first = Fragment(url, bytes, 0, 2 * Granule);
    ASSERT_EQ(first.status, 202) << first.body;
    EXPECT_EQ(first.Json()["nextExpectedRanges"], json::array({std::to_string(2 * Granule) + "-"}));
    EXPECT_TRUE(first.Json()["expirationDateTime"].is_string());

    Reply status = client.Get(url);
    ASSERT_EQ(status.status, 200);
    EXPECT_EQ(status.Json()["nextExpectedRanges"], first.Json()["nextExpectedRanges"]);

    Reply last = Fragment(url, bytes, 2 * Granule, Granule + 1000, true);  // a token along is ignored
    ASSERT_EQ(last.status, 201) << last.body;
    json item = last.Json();
    EXPECT_EQ(item["name"], "big.bin");
    EXPECT_EQ(item["size"], bytes.size());
    EXPECT_EQ(item["fileSystemInfo"]["lastModifiedDateTime"], "2021-05-06T07:08:09.000Z");
    EXPECT_EQ(item["file"]["hashes"]["sha256Hash"], Upper(Sha256Hex(bytes)));
    EXPECT_EQ(emulator->Find(Cloud::LiveConnect, "Up/big.bin")->content, bytes);
    EXPECT_EQ(client.Get(url).status, 404);  // the session is over

    // A session on an existing file's id gives it a new version (200).
    Reply replace = Call("POST", "/me/drive/items/" + item["id"].get<std::string>() + "/createUploadSession");
    ASSERT_EQ(replace.status, 200) << replace.body;
    Reply done = Fragment(replace.Json()["uploadUrl"], "short", 0, 5);
    EXPECT_EQ(done.status, 200) << done.body;
    EXPECT_EQ(done.Json()["id"], item["id"]);
    EXPECT_EQ(emulator->Find(Cloud::LiveConnect, "Up/big.bin")->content, "short");
}

TEST_F(GraphUploadTest, FragmentsThatDoNotContinueTheUploadAreRefused) {
    const std::string bytes = PatternBytes(3 * Granule);
    std::string url = StartSession("f.bin");
    ASSERT_EQ(Fragment(url, bytes, 0, Granule).status, 202);

    struct Case {
        const char* what;
        std::size_t first, length;
        int status;
        const char* detail;
    };
    const Case cases[] = {
        {"repeats bytes already received", 0, Granule, 416, "fragmentOverlap"},
        {"starts inside what was received", Granule / 2, Granule, 416, "fragmentOverlap"},
        {"leaves a gap", 2 * Granule, Granule, 416, "fragmentOutOfOrder"},
        {"is not a multiple of 320 KiB", Granule, 1000, 400, "invalidFragmentLength"},
    };
    for (const auto& c : cases) {
        Reply r = Fragment(url, bytes, c.first, c.length);
        EXPECT_EQ(r.status, c.status) << c.what << ": " << r.body;
        EXPECT_EQ(r.Json()["error"]["innerError"]["code"], c.detail) << c.what;
    }
    Reply otherTotal = client.Send("PUT", url, bytes.substr(Granule, Granule),
                                   {"Content-Range: bytes " + std::to_string(Granule) + "-" +
                                    std::to_string(2 * Granule - 1) + "/" + std::to_string(5 * Granule)});
    EXPECT_EQ(otherTotal.status, 400);
    Reply shortBody = client.Send("PUT", url, "abc",
                                  {"Content-Range: bytes " + std::to_string(Granule) + "-" +
                                   std::to_string(2 * Granule - 1) + "/" + std::to_string(bytes.size())});
    EXPECT_EQ(shortBody.status, 400);
    EXPECT_EQ(client.Send("PUT", url, "abc").status, 400);  // no Content-Range

    // None of it changed what the session holds: it goes on from where it was.
    EXPECT_EQ(client.Get(url).Json()["nextExpectedRanges"], json::array({std::to_string(Granule) + "-"}));
    EXPECT_EQ(Fragment(url, bytes, Granule, Granule).status, 202);
    EXPECT_EQ(Fragment(url, bytes, 2 * Granule, Granule).status, 201);
    EXPECT_EQ(emulator->Find(Cloud::LiveConnect, "f.bin")->content, bytes);
}

TEST_F(GraphUploadTest, ASessionEndsWhenCancelledOrExpired) {
    const std::string bytes = PatternBytes(2 * Granule);
    std::string cancelled = StartSession("c.bin");
    ASSERT_EQ(Fragment(cancelled, bytes, 0, Granule).status, 202);
    EXPECT_EQ(client.Send("DELETE", cancelled).status, 204);
    Reply gone = client.Get(cancelled);
    EXPECT_EQ(gone.status, 404);
    EXPECT_EQ(ErrorCode(gone), "itemNotFound");
    EXPECT_EQ(Fragment(cancelled, bytes, Granule, Granule).status, 404);
    EXPECT_FALSE(emulator->Find(Cloud::LiveConnect, "c.bin"));

    std::string expiring = StartSession("e.bin");
    ASSERT_EQ(Fragment(expiring, bytes, 0, Granule).status, 202);
    emulator->ExpireUploadSessions(Cloud::LiveConnect);
    EXPECT_EQ(Fragment(expiring, bytes, Granule, Granule).status, 404);
    EXPECT_EQ(client.Get(expiring).status, 404);
    EXPECT_FALSE(emulator->Find(Cloud::LiveConnect, "e.bin"));

    EXPECT_EQ(client.Get("https://api.onedrive.com/rup/e0a1c0de5eed1e55/unknown").status, 404);
}

TEST_F(GraphUploadTest, ANameTakenMeanwhileFollowsTheSessionsConflictBehaviour) {
    std::string failing = StartSession("taken.txt", {{"item", {{"@microsoft.graph.conflictBehavior", "fail"}}}});
    std::string renaming = StartSession("taken.txt", {{"item", {{"@microsoft.graph.conflictBehavior", "rename"}}}});
    Upload("taken.txt", "first");
    Reply conflict = Fragment(failing, "mine", 0, 4);
    EXPECT_EQ(conflict.status, 409);
    EXPECT_EQ(ErrorCode(conflict), "nameAlreadyExists");
    Reply renamed = Fragment(renaming, "also mine", 0, 9);
    EXPECT_EQ(renamed.status, 201);
    EXPECT_EQ(renamed.Json()["name"], "taken (1).txt");
    EXPECT_EQ(emulator->Find(Cloud::LiveConnect, "taken.txt")->content, "first");

    // A session for a name that is taken with fail is refused at once.
    Reply early = Call("POST", "/me/drive/root:/taken.txt:/createUploadSession",
                       R"({"item":{"@microsoft.graph.conflictBehavior":"fail"}})");
    EXPECT_EQ(early.status, 409);
}

}  // namespace
