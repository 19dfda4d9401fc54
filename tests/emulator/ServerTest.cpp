// The emulator as a server under bad input, slow clients and crashes: every refusal in the
// service's own format, the data intact afterwards, nothing held that a client can grow.

#include "EmulatorFixture.h"
#include "RawConnection.h"
#include "TestData.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

using namespace Nimbo::Emulator;
using namespace EmulatorTest;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

namespace {

const std::string DropboxApi = "https://api.dropbox.com/1";
const std::string DropboxContent = "https://api-content.dropbox.com/1";

std::filesystem::path FreshFolder(const std::string& name) {
    auto dir = std::filesystem::temp_directory_path() / (name + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    return dir;
}

// Which service format an error body is in.
using Format = std::function<bool(const nlohmann::json&)>;
const Format DropboxError = [](const nlohmann::json& j) { return j.is_object() && j["error"].is_string(); };
const Format GoogleError = [](const nlohmann::json& j) { return j.is_object() && j["error"]["errors"].is_array(); };
const Format LiveError = [](const nlohmann::json& j) { return j.is_object() && j["error"]["code"].is_string(); };
Format BoxError(const std::string& code) {
    return [code](const nlohmann::json& j) { return j.is_object() && j["type"] == "error" && j["code"] == code; };
}

class ServerTest : public EmulatorFixture {
protected:
    ServerTest() : EmulatorFixture({Cloud::Dropbox, "key", "secret", {}}) {}
    static void SetUpTestSuite() {
        EmulatorOptions options;
        options.maxBodyBytes = 1u << 20;
        options.requestHeadTimeout = std::chrono::milliseconds(600);
        StartEmulator(options);
    }
    void SetUp() override {
        EmulatorFixture::SetUp();
        emulator->RegisterClient(Cloud::Box, "boxclient", "s3cret");
        emulator->RegisterClient(Cloud::LiveConnect, "live", "s3cret");
        emulator->RegisterClient(Cloud::GoogleDrive, "google", "s3cret");
        boxToken = emulator->IssueTokens(Cloud::Box, "boxclient").accessToken;
        liveToken = emulator->IssueTokens(Cloud::LiveConnect, "live").accessToken;
        googleToken = emulator->IssueTokens(Cloud::GoogleDrive, "google").accessToken;
    }
    std::string boxToken, liveToken, googleToken;

    // A request of the raw bytes given on a fresh connection to the host, and its answer.
    RawReply Raw(const std::string& host, const std::string& bytes) const {
        RawConnection connection(emulator->Port(), host);
        connection.Send(bytes);
        return connection.Read();
    }
};

TEST_F(ServerTest, BadNamesAreRefusedInTheServiceFormatAndNothingIsLost) {
    emulator->AddFile(Cloud::Dropbox, "Keep/kept.txt", "kept");
    const std::string longName(256, 'n');
    struct Case {
        std::string name;
        Reply reply;
        int status;
        Format format;
    };
    const Case cases[] = {
        {"dropbox byte FF",
         client.Send("PUT", DropboxContent + "/files_put/dropbox/Keep/a%FFb.txt", "x", {HttpsClient::Bearer(token)}),
         400, DropboxError},
        {"dropbox control character",
         client.Send("PUT", DropboxContent + "/files_put/dropbox/Keep/a%01b.txt", "x", {HttpsClient::Bearer(token)}),
         400, DropboxError},
        {"dropbox NUL",
         client.Form(DropboxApi + "/fileops/create_folder", {{"root", "dropbox"}, {"path", std::string("/a\0b", 4)}},
                     token),
         400, DropboxError},
        {"dropbox over-long",
         client.Send("PUT", DropboxContent + "/files_put/dropbox/" + longName, "x", {HttpsClient::Bearer(token)}), 400,
         DropboxError},
        {"box multipart file name",
         client.Multipart("https://upload.box.com/api/2.0/files/content",
                          {{"file", "x", "a\xff.txt", ""}, {"parent_id", "0", "", ""}}, boxToken),
         400, BoxError("item_name_invalid")},
        {"box control character",
         client.Send("POST", "https://api.box.com/2.0/folders", R"({"name":"a\u0007b","parent":{"id":"0"}})",
                     {HttpsClient::Bearer(boxToken)}),
         400, BoxError("item_name_invalid")},
        {"box over-long",
         client.Send("POST", "https://api.box.com/2.0/folders", R"({"name":")" + longName + R"(","parent":{"id":"0"}})",
                     {HttpsClient::Bearer(boxToken)}),
         400, BoxError("item_name_too_long")},
        {"live byte FF",
         client.Send("PUT", "https://apis.live.net/v5.0/me/skydrive/files/a%FF.txt", "x",
                     {HttpsClient::Bearer(liveToken)}),
         400, LiveError},
        {"live multipart file name",
         client.Multipart("https://apis.live.net/v5.0/me/skydrive/files", {{"file", "x", "b\x01.txt", ""}}, liveToken),
         400, LiveError},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.reply.status, c.status) << c.name << " " << c.reply.body;
        EXPECT_TRUE(c.format(c.reply.Json())) << c.name << " " << c.reply.body;
    }
    Reply listing = client.Get(DropboxApi + "/metadata/dropbox/Keep", token);
    ASSERT_EQ(listing.status, 200) << listing.body;
    EXPECT_EQ(listing.Json()["contents"].size(), 1u);
    EXPECT_EQ(client.Get("https://api.box.com/2.0/folders/0/items", boxToken).Json()["total_count"], 0);
    EXPECT_THAT([] { emulator->AddFile(Cloud::Box, "bad\xff", "x"); },
                ThrowsMessage<std::invalid_argument>(HasSubstr("not UTF-8")));
}

TEST_F(ServerTest, FramingIsReadAsHttp11Does) {
    const std::string auth = "Authorization: Bearer " + token + "\r\n";
    const std::string info = "GET /1/account/info HTTP/1.1\r\nHost: api.dropbox.com\r\n" + auth + "\r\n";
    // A body on GET or OPTIONS is read off the connection, not taken for the next request.
    for (const std::string method : {"GET", "OPTIONS"}) {
        RawConnection connection(emulator->Port(), "api.dropbox.com");
        connection.Send(method + " /1/account/info HTTP/1.1\r\nHost: api.dropbox.com\r\n" + auth +
                        "Content-Length: 11\r\n\r\nhello world");
        RawReply first = connection.Read();
        connection.Send(info);
        RawReply second = connection.Read();
        EXPECT_NE(first.status, 0) << method;
        EXPECT_EQ(second.status, 200) << method << " " << second.body;
    }
    // A POST without a length has an empty body; Drive makes an untitled file of it.
    RawReply empty = Raw("www.googleapis.com",
                         "POST /drive/v2/files HTTP/1.1\r\nHost: www.googleapis.com\r\n"
                         "Authorization: Bearer " +
                             googleToken + "\r\n\r\n");
    EXPECT_EQ(empty.status, 200) << empty.body;
    EXPECT_EQ(nlohmann::json::parse(empty.body, nullptr, false)["title"], "Untitled");

    struct Case {
        std::string name, head;
        int status;
    };
    const Case refused[] = {
        {"two lengths", "Content-Length: 3\r\nContent-Length: 4\r\n", 400},
        {"a length that is no number", "Content-Length: 3x\r\n", 400},
        {"a length with chunked coding", "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n", 400},
        {"over the limit", "Content-Length: 2000000\r\n", 413},
        {"over the limit, asking to continue", "Content-Length: 2000000\r\nExpect: 100-continue\r\n", 413},
    };
    for (const Case& c : refused) {
        RawConnection connection(emulator->Port(), "api.dropbox.com");
        connection.Send("POST /1/fileops/create_folder HTTP/1.1\r\nHost: api.dropbox.com\r\n" + auth + c.head + "\r\n");
        RawReply reply = connection.Read();  // at once, before any body was sent
        EXPECT_EQ(reply.status, c.status) << c.name;
        EXPECT_TRUE(DropboxError(nlohmann::json::parse(reply.body, nullptr, false))) << c.name << " " << reply.body;
        EXPECT_TRUE(connection.ClosedByServer(3000)) << c.name;
    }
    EXPECT_EQ(client.Get(DropboxApi + "/account/info", token).status, 200);
}

TEST_F(ServerTest, SeveralRangesGetTheWholeBodyOnce) {
    const std::string content(1 << 20, 'r');
    emulator->AddFile(Cloud::Dropbox, "big.bin", content);
    std::string ranges = "Range: bytes=0-";
    for (int i = 0; i < 400; ++i) ranges += ",0-";
    Reply many =
        client.Send("GET", DropboxContent + "/files/dropbox/big.bin", "", {HttpsClient::Bearer(token), ranges});
    EXPECT_EQ(many.status, 200);
    EXPECT_EQ(many.body.size(), content.size());
    Reply one = client.Send("GET", DropboxContent + "/files/dropbox/big.bin", "",
                            {HttpsClient::Bearer(token), "Range: bytes=10-19"});
    EXPECT_EQ(one.status, 206);
    EXPECT_EQ(one.body, content.substr(10, 10));
    // A range on an answer that is not file content changes nothing.
    Reply metadata = client.Send("GET", DropboxApi + "/metadata/dropbox/big.bin", "",
                                 {HttpsClient::Bearer(token), "Range: bytes=0-3"});
    EXPECT_EQ(metadata.status, 200);
    EXPECT_EQ(metadata.Json()["bytes"], 1 << 20);
}

TEST_F(ServerTest, LongRequestTextIsAnsweredNotFound) {
    std::string deep;
    for (int i = 0; i < 3000; ++i) deep += "/a";
    struct Case {
        std::string name, url;
        int status;
    };
    const Case cases[] = {
        {"long id", "https://www.googleapis.com/drive/v2/files/" + std::string(7000, 'a'), 404},
        {"deep path", "https://www.googleapis.com/drive/v2/files" + deep, 404},
        {"nested query", "https://www.googleapis.com/drive/v2/files?q=" + std::string(5000, '(') + "trashed%3Dfalse",
         400},
    };
    for (const Case& c : cases) {
        Reply r = client.Get(c.url, googleToken);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_TRUE(GoogleError(r.Json())) << c.name << " " << r.body.substr(0, 200);
    }
}

TEST_F(ServerTest, MalformedBasicCredentialsAreInvalidClients) {
    struct Case {
        std::string url;
        int status;
    };
    const Case cases[] = {
        {"https://accounts.google.com/o/oauth2/token", 401}, {"https://oauth2.googleapis.com/token", 401},
        {"https://api.dropbox.com/1/oauth2/token", 400},     {"https://app.box.com/api/oauth2/token", 400},
        {"https://login.live.com/oauth20_token.srf", 400},
    };
    for (const Case& c : cases) {
        for (const std::string credentials : {"====", "bm8gY29sb24="}) {  // bad base64; no colon
            Reply r =
                client.Send("POST", c.url, "grant_type=authorization_code&code=x",
                            {"Authorization: Basic " + credentials, "Content-Type: application/x-www-form-urlencoded"});
            EXPECT_EQ(r.status, c.status) << c.url;
            EXPECT_EQ(r.Json()["error"], "invalid_client") << c.url << " " << r.body;
        }
    }
}

TEST_F(ServerTest, IdleAndTricklingClientsDoNotHoldOthersUp) {
    RawConnection trickler(emulator->Port(), "api.dropbox.com");
    trickler.Send("G");
    // A body far slower than any real client sends it: its whole request has a deadline too.
    RawConnection bodyTrickler(emulator->Port(), "api-content.dropbox.com");
    bodyTrickler.Send(
        "PUT /1/files_put/dropbox/slow.txt HTTP/1.1\r\nHost: api-content.dropbox.com\r\n"
        "Authorization: Bearer " +
        token + "\r\nContent-Length: 100000\r\n\r\nfirst bytes");
    std::vector<std::unique_ptr<RawConnection>> idle;
    for (int i = 0; i < 24; ++i) idle.push_back(std::make_unique<RawConnection>(emulator->Port(), "api.dropbox.com"));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.Get(DropboxApi + "/account/info", token).status, 200);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(trickler.ClosedByServer(5000));  // the head did not arrive within its deadline
    EXPECT_TRUE(bodyTrickler.ClosedByServer(5000));
    EXPECT_EQ(client.Get(DropboxApi + "/metadata/dropbox/slow.txt", token).status, 404);  // nothing half-stored
}

TEST_F(ServerTest, ImpossibleFaultStatusesAreRefused) {
    for (int status : {99, 100, 1000, -1})
        EXPECT_THAT(
            [&] {
                Fault fault;
                fault.status = status;
                emulator->InjectFault({}, fault);
            },
            ThrowsMessage<std::invalid_argument>(HasSubstr("200 to 599")))
            << status;
    EXPECT_EQ(client.Send("POST", "https://localhost/emulator/faults", R"({"status":1000})").status, 400);
    EXPECT_EQ(client.Get(DropboxApi + "/account/info", token).status, 200);  // nothing was armed
}

TEST(EmulatorRequestLog, KeepsTheNewestEntriesAndBodyPrefixes) {
    EmulatorOptions options;
    options.requestLogEntries = 3;
    options.requestLogBodyBytes = 4;
    CloudEmulator emulator(options);
    emulator.Start();
    emulator.RegisterClient(Cloud::Dropbox, "key", "secret");
    std::string token = emulator.IssueTokens(Cloud::Dropbox, "key").accessToken;
    HttpsClient client(emulator);
    for (int i = 0; i < 5; ++i)
        client.Send("PUT", DropboxContent + "/files_put/dropbox/f" + std::to_string(i), "content " + std::to_string(i),
                    {HttpsClient::Bearer(token)});
    client.Multipart(DropboxApi + "/nothing", {{"file", "part content", "p.txt", ""}}, token);
    auto requests = emulator.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].path, "/1/files_put/dropbox/f3");
    EXPECT_EQ(requests[0].body, "cont");
    EXPECT_EQ(requests[0].bodySize, 9u);
    EXPECT_EQ(requests[0].bodySha256, Sha256Hex("content 3"));
    ASSERT_EQ(requests[2].parts.size(), 1u);
    EXPECT_EQ(requests[2].parts[0].content, "part");
    EXPECT_EQ(requests[2].parts[0].size, 12u);
    EXPECT_EQ(requests[2].parts[0].sha256, Sha256Hex("part content"));
}

// A request held back by a delay fault does not hold up a stop: it is dropped at once.
TEST(EmulatorStop, DoesNotWaitOutARequestHeldBack) {
    CloudEmulator emulator;
    emulator.Start();
    emulator.RegisterClient(Cloud::Dropbox, "key", "secret");
    const std::string token = emulator.IssueTokens(Cloud::Dropbox, "key").accessToken;
    Fault slow;
    slow.delay = std::chrono::seconds(30);
    emulator.InjectFault({"", "", "/1/account"}, slow);
    Reply held;
    std::thread client([&] { held = HttpsClient(emulator).Get(DropboxApi + "/account/info", token); });
    std::this_thread::sleep_for(std::chrono::seconds(1));  // the request arrives and is held

    const auto start = std::chrono::steady_clock::now();
    emulator.Stop();
    const auto stopping = std::chrono::steady_clock::now() - start;
    client.join();
    EXPECT_LT(stopping, std::chrono::seconds(10));
    EXPECT_EQ(held.status, 0) << "dropped, not answered";
}

#ifdef CLOUD_EMULATOR_PROGRAM
// The emulator program in a child process with its data in `dir`; a stack limit applies to it as
// `ulimit -s` would (its threads get stacks of that size too). Killed when it goes out of scope.
class ChildEmulator {
public:
    explicit ChildEmulator(const std::filesystem::path& dir, rlim_t stackBytes = 0) {
        int out[2];
        if (::pipe(out) != 0) throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::close(out[0]);
            rlimit stack{};
            ::getrlimit(RLIMIT_STACK, &stack);
            stack.rlim_cur = stackBytes != 0 ? stackBytes : stack.rlim_cur;
            if (::setrlimit(RLIMIT_STACK, &stack) != 0) ::_exit(126);
            ::execl(CLOUD_EMULATOR_PROGRAM, CLOUD_EMULATOR_PROGRAM, "--data", dir.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        std::string banner;
        char c;
        while (banner.find('\n') == std::string::npos && ::read(out[0], &c, 1) == 1) banner += c;
        ::close(out[0]);
        auto colon = banner.rfind(':');
        if (colon == std::string::npos) throw std::runtime_error("the emulator did not start: " + banner);
        port = static_cast<std::uint16_t>(std::stoi(banner.substr(colon + 1)));
    }
    ~ChildEmulator() { Kill(); }
    ChildEmulator(const ChildEmulator&) = delete;
    ChildEmulator& operator=(const ChildEmulator&) = delete;

    bool Running() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }
    void Kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    std::uint16_t port = 0;

private:
    pid_t pid_ = -1;
};

// The program killed without warning keeps what changed a moment before.
TEST(EmulatorProgram, KeepsChangesThroughAKill) {
    auto dir = FreshFolder("emulator-kill");
    ChildEmulator program(dir);
    HttpsClient client(program.port, (dir / "tls" / "ca.pem").string());
    Reply added = client.Form("https://localhost/emulator/files",
                              {{"service", "box"}, {"path", "Kept/after.txt"}, {"content", "kept"}});
    EXPECT_EQ(added.status, 200) << added.body;
    program.Kill();  // at once: an answered change is already stored

    for (const auto& path : {dir, dir / "state.db", dir / "state.db-wal", dir / "files"}) {
        struct stat info {};
        ASSERT_EQ(::stat(path.c_str(), &info), 0) << path;
        EXPECT_EQ(info.st_mode & 0777, S_ISDIR(info.st_mode) ? 0700u : 0600u) << path;
    }

    EmulatorOptions options;
    options.dataDir = dir;
    CloudEmulator restarted(options);
    auto item = restarted.Find(Cloud::Box, "Kept/after.txt");
    ASSERT_TRUE(item);
    EXPECT_EQ(item->content, "kept");
    std::filesystem::remove_all(dir);
}
// Long request text under a small stack (4 MB, as `ulimit -s 4096` gives every thread): each
// request gets an answer in its service's format and the program goes on serving.
TEST(EmulatorProgram, LongRequestTextUnderASmallStackIsAnswered) {
    auto dir = FreshFolder("emulator-stack");
    ChildEmulator program(dir, 4u << 20);
    HttpsClient client(program.port, (dir / "tls" / "ca.pem").string());
    const std::string eightK(8000, 'a'), sixtyFourK(64u << 10, 'a');
    std::string deep;
    for (int i = 0; i < 4000; ++i) deep += "/a";
    struct Case {
        std::string name, method, url;
        std::vector<std::string> headers;
    };
    const Case cases[] = {
        {"8 KB path", "GET", "https://www.googleapis.com/drive/v2/files/" + eightK, {}},
        {"8 KB path with a body", "POST", "https://api.box.com/2.0/files/" + eightK + "/copy", {}},
        {"8 KB of segments", "DELETE", "https://graph.microsoft.com/v1.0/me/drive/root:" + deep, {}},
        {"64 KB path", "GET", "https://www.googleapis.com/drive/v2/files/" + sixtyFourK, {}},
        {"64 KB path with a body", "PUT", "https://apis.live.net/v5.0/" + sixtyFourK, {}},
        {"8 KB range",
         "GET",
         "https://www.googleapis.com/drive/v2/files/x",
         {"Range: bytes=0-" +
          [] {
              std::string more;
              for (int i = 0; i < 2600; ++i) more += ",0-";
              return more;
          }()}},
    };
    for (const Case& c : cases) {
        Reply r = client.Send(c.method, c.url, c.method == "GET" ? "" : "{}", c.headers);
        EXPECT_GE(r.status, 400) << c.name;
        EXPECT_LT(r.status, 500) << c.name;
        ASSERT_TRUE(program.Running()) << c.name;
    }
    Reply upload = client.Multipart("https://upload.box.com/api/2.0/files/content",
                                    {{eightK, "x", "", ""}, {"file", "y", "y.txt", ""}});
    EXPECT_GE(upload.status, 400);
    ASSERT_TRUE(program.Running());
    Reply added = client.Form("https://localhost/emulator/files",
                              {{"service", "box"}, {"path", "after.txt"}, {"content", "served"}});
    EXPECT_EQ(added.status, 200) << added.body;
    program.Kill();
    std::filesystem::remove_all(dir);
}
#endif

}  // namespace
