#include "EmulatorFixture.h"
#include "TestData.h"

#include "emulator/Tls.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <functional>
#include <map>

#include <fstream>
#include <sstream>

using namespace Nimbo::Emulator;
using namespace EmulatorTest;

namespace {

const std::string Info = "https://api.dropbox.com/1/account/info";

class ControlTest : public EmulatorFixture {
protected:
    ControlTest() : EmulatorFixture({Cloud::Dropbox, "key", "secret", {}}) {}
    static void SetUpTestSuite() {
        EmulatorOptions options;
        options.maxBodyBytes = 1024;
        StartEmulator(options);
    }
};

TEST_F(ControlTest, CertificateCoversEveryHost) {
    auto identity = MakeTlsIdentity(CloudEmulator::Hosts());
    auto names = CertificateNames(identity.certPem);
    for (const auto& host : CloudEmulator::Hosts())
        EXPECT_NE(std::find(names.begin(), names.end(), host), names.end()) << host;
    for (const char* host :
         {"www.googleapis.com", "accounts.google.com", "api.dropbox.com", "api-content.dropbox.com", "www.dropbox.com",
          "apis.live.net", "login.live.com", "api.box.com", "upload.box.com", "app.box.com", "127.0.0.1"})
        EXPECT_NE(std::find(names.begin(), names.end(), host), names.end()) << host;
}

TEST_F(ControlTest, RequestLogKeepsWhatArrived) {
    client.Send("PUT", "https://api-content.dropbox.com/1/files_put/dropbox/a%20b.txt?overwrite=true", "bytes",
                {HttpsClient::Bearer(token), "X-Probe: 1"});
    auto requests = emulator->Requests();
    ASSERT_EQ(requests.size(), 1u);
    const RecordedRequest& r = requests[0];
    EXPECT_EQ(r.method, "PUT");
    EXPECT_EQ(r.host, "api-content.dropbox.com");
    EXPECT_EQ(r.path, "/1/files_put/dropbox/a b.txt");
    EXPECT_EQ(r.query, "overwrite=true");
    EXPECT_EQ(r.body, "bytes");
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(std::find(r.headers.begin(), r.headers.end(), std::make_pair(std::string("X-Probe"), std::string("1"))),
              r.headers.end());
    emulator->ClearRequests();
    EXPECT_TRUE(emulator->Requests().empty());
}

TEST_F(ControlTest, MultipartPartsAreRecordedInOrder) {
    client.Multipart("https://api.dropbox.com/1/nothing",
                     {{"file", "abc", "a.txt", "text/plain"}, {"parent_id", "0", "", ""}}, token);
    auto requests = emulator->Requests();
    ASSERT_EQ(requests.size(), 1u);
    ASSERT_EQ(requests[0].parts.size(), 2u);
    EXPECT_EQ(requests[0].parts[0].name, "file");
    EXPECT_EQ(requests[0].parts[0].fileName, "a.txt");
    EXPECT_EQ(requests[0].parts[0].content, "abc");
    EXPECT_EQ(requests[0].parts[1].name, "parent_id");
    EXPECT_EQ(requests[0].parts[1].content, "0");
}

TEST_F(ControlTest, StatusFaultAppliesToTheNextNMatchingRequests) {
    Fault fault;
    fault.status = 503;
    fault.body = R"({"error": "busy"})";
    fault.retryAfterSeconds = 7;
    emulator->InjectFault({"api.dropbox.com", "GET", "/1/account"}, fault, 2);
    EXPECT_EQ(client.Get("https://api.dropbox.com/1/metadata/dropbox", token).status, 200);  // other route
    for (int i = 0; i < 2; ++i) {
        Reply r = client.Get(Info, token);
        EXPECT_EQ(r.status, 503);
        EXPECT_EQ(r.body, fault.body);
        EXPECT_EQ(r.Header("retry-after"), "7");
    }
    EXPECT_EQ(client.Get(Info, token).status, 200);
}

TEST_F(ControlTest, CorruptedAnswerArrivesWholeWithItsFirstByteChanged) {
    const std::string content = "0123456789abcdef";
    emulator->AddFile(Cloud::Dropbox, "damaged.txt", content);
    const std::string download = "https://api-content.dropbox.com/1/files/dropbox/damaged.txt";
    const std::string account = client.Get(Info, token).body;
    Fault corrupt;
    corrupt.corruptBody = true;
    emulator->InjectFault({"", "", "/1/"}, corrupt, 2);

    Reply file = client.Get(download, token);  // a streamed body
    EXPECT_EQ(file.status, 200);
    ASSERT_EQ(file.body.size(), content.size());
    EXPECT_NE(file.body[0], content[0]);
    EXPECT_EQ(file.body.substr(1), content.substr(1));

    Reply json = client.Get(Info, token);  // a body in memory
    ASSERT_EQ(json.body.size(), account.size());
    EXPECT_NE(json.body[0], account[0]);
    EXPECT_EQ(json.body.substr(1), account.substr(1));

    EXPECT_EQ(client.Get(download, token).body, content);  // the fault applied twice only
}

TEST_F(ControlTest, DroppedConnectionTruncatedBodyAndDelay) {
    Fault drop;
    drop.dropConnection = true;
    emulator->InjectFault({"", "", "/1/account"}, drop);
    Reply dropped = client.Get(Info, token);
    EXPECT_NE(dropped.error, CURLE_OK);
    EXPECT_EQ(dropped.status, 0);

    Fault truncate;
    truncate.truncateBody = true;
    emulator->InjectFault({"", "", "/1/account"}, truncate);
    Reply cut = client.Get(Info, token);
    EXPECT_EQ(cut.error, CURLE_PARTIAL_FILE);

    Fault slow;
    slow.delay = std::chrono::milliseconds(300);
    emulator->InjectFault({"", "", "/1/account"}, slow);
    auto start = std::chrono::steady_clock::now();
    Reply delayed = client.Get(Info, token);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_EQ(delayed.status, 200);

    emulator->InjectFault({"", "", "/1/account"}, drop, 5);
    emulator->ClearFaults();
    EXPECT_EQ(client.Get(Info, token).status, 200);
}

TEST_F(ControlTest, OversizedBodiesGet413InTheServiceFormat) {
    Reply r = client.Send("PUT", "https://api-content.dropbox.com/1/files_put/dropbox/big.bin", std::string(4096, 'x'),
                          {HttpsClient::Bearer(token)});
    EXPECT_EQ(r.status, 413);
    EXPECT_TRUE(r.Json()["error"].is_string()) << r.body;
    EXPECT_FALSE(emulator->Find(Cloud::Dropbox, "big.bin"));

    struct Case {
        std::string url;
        std::function<bool(const nlohmann::json&)> serviceFormat;
    };
    const Case cases[] = {
        {"https://apis.live.net/v5.0/me/skydrive/files/big.bin",
         [](const nlohmann::json& j) { return j["error"]["code"] == "request_entity_too_large"; }},
        {"https://upload.box.com/api/2.0/files/content",
         [](const nlohmann::json& j) { return j["type"] == "error" && j["status"] == 413; }},
    };
    for (const Case& c : cases) {
        Reply big = client.Send("PUT", c.url, std::string(4096, 'x'));
        EXPECT_EQ(big.status, 413) << c.url;
        EXPECT_TRUE(c.serviceFormat(big.Json())) << c.url << " " << big.body;
    }
}

TEST_F(ControlTest, BrokenMultipartGetsTheServiceError) {
    Reply r = client.Send("POST", "https://www.googleapis.com/upload/drive/v2/files?uploadType=media", "--x\r\nbroken",
                          {"Content-Type: multipart/form-data; boundary=x"});
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.Json()["error"]["code"], 400) << r.body;
}

TEST_F(ControlTest, AdminPathControlsTheEmulator) {
    Reply added = client.Form("https://localhost/emulator/files",
                              {{"service", "dropbox"}, {"path", "Docs/n.txt"}, {"content", "hi"}});
    EXPECT_EQ(added.status, 200);
    EXPECT_EQ(emulator->Find(Cloud::Dropbox, "docs/N.TXT")->content, "hi");
    EXPECT_EQ(client.Form("https://localhost/emulator/reset", {{"service", "nowhere"}}).status, 400);
    EXPECT_EQ(client.Send("POST", "https://localhost/emulator/faults", R"({"path":"/1/account","status":429})").status,
              200);
    EXPECT_EQ(client.Get(Info, token).status, 429);
    EXPECT_EQ(client.Get("https://localhost/emulator/ca.pem").body, emulator->CaPem());
}

TEST_F(ControlTest, AdminPathAddsManyFilesInOneRequest) {
    const std::string binary("\0\xff\x01 bytes", 9);
    nlohmann::json files = {{{"path", "Bulk/a.txt"}, {"content", "first"}},
                            {{"path", "Bulk/Deep/b.bin"}, {"content_base64", "AP8BIGJ5dGVz"}, {"mime_type", "x/y"}},
                            {{"path", "Bulk/empty.txt"}}};
    Reply added =
        client.Send("POST", "https://localhost/emulator/files",
                    nlohmann::json{{"service", "box"}, {"files", files}}.dump(), {"Content-Type: application/json"});
    ASSERT_EQ(added.status, 200) << added.body;
    ASSERT_EQ(added.Json()["ids"].size(), 3u);
    EXPECT_EQ(added.Json()["ids"][0], emulator->Find(Cloud::Box, "Bulk/a.txt")->id);
    EXPECT_EQ(emulator->Find(Cloud::Box, "Bulk/a.txt")->content, "first");
    EXPECT_EQ(emulator->Find(Cloud::Box, "Bulk/Deep/b.bin")->content, binary);
    EXPECT_EQ(emulator->Find(Cloud::Box, "Bulk/Deep/b.bin")->mimeType, "x/y");
    EXPECT_EQ(emulator->Find(Cloud::Box, "Bulk/empty.txt")->size, 0);

    struct Refused {
        std::string body, error;
    };
    const Refused refusals[] = {
        {R"({"service":"nowhere","files":[]})", "service must be"},
        {R"({"service":"box"})", "files must be a list"},
        {R"({"service":"box","files":[{"content":"x"}]})", "files[0] must be an object with a path"},
        {R"({"service":"box","files":[{"path":"a","content":5}]})", "files[0].content must be text"},
        {R"({"service":"box","files":[{"path":"a","content_base64":"*"}]})", "not base64"},
        {R"({"service":"box","files":[{"path":"Bulk/ok.txt"},{"path":"Bulk/a.txt/under.txt"}]})",
         "file 1: a file is in the way"},
        {"[not json", "JSON object"},
    };
    for (const Refused& refused : refusals) {
        Reply r =
            client.Send("POST", "https://localhost/emulator/files", refused.body, {"Content-Type: application/json"});
        EXPECT_EQ(r.status, 400) << refused.body;
        EXPECT_NE(r.Json().value("error", "").find(refused.error), std::string::npos) << r.body;
    }
    EXPECT_TRUE(emulator->Find(Cloud::Box, "Bulk/ok.txt"));  // before the path that failed
    EXPECT_FALSE(emulator->Find(Cloud::Box, "a"));
}

TEST_F(ControlTest, AdminPathIssuesTokensThatTheServiceTakes) {
    Reply issued = client.Form("https://localhost/emulator/tokens", {{"service", "dropbox"}, {"client_id", "key"}});
    ASSERT_EQ(issued.status, 200) << issued.body;
    const std::string access = issued.Json().value("access_token", "");
    ASSERT_FALSE(access.empty());
    EXPECT_EQ(client.Get(Info, access).status, 200);
    EXPECT_EQ(client.Get(Info, access + "x").status, 401);
    EXPECT_EQ(client.Form("https://localhost/emulator/tokens", {{"service", "dropbox"}}).status, 400);
    EXPECT_EQ(client.Form("https://localhost/emulator/tokens", {{"service", "nowhere"}, {"client_id", "key"}}).status,
              400);
}

TEST(EmulatorDataFolder, StateAndAuthoritySurviveARestart) {
    auto dir = std::filesystem::temp_directory_path() / ("emulator-data-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::string ca;
    {
        EmulatorOptions options;
        options.dataDir = dir;
        CloudEmulator first(options);
        first.Start();
        first.AddFile(Cloud::GoogleDrive, "Keep/me.txt", "kept");
        ca = first.CaPem();
    }
    EmulatorOptions options;
    options.dataDir = dir;
    CloudEmulator second(options);
    second.Start();
    EXPECT_EQ(second.CaPem(), ca);
    ASSERT_TRUE(second.Find(Cloud::GoogleDrive, "Keep/me.txt"));
    EXPECT_EQ(second.Find(Cloud::GoogleDrive, "Keep/me.txt")->content, "kept");
    second.Stop();
    std::filesystem::remove_all(dir);
}

// The files of a data folder's content store, by name.
std::map<std::string, std::filesystem::path> StoredFiles(const std::filesystem::path& dir) {
    std::map<std::string, std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir / "files"))
        files[entry.path().filename()] = entry.path();
    return files;
}

std::string FileText(const std::filesystem::path& path) {
    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

TEST(EmulatorDataFolder, ContentsAreFilesBesideTheStateAndGoWithTheirItems) {
    auto dir = std::filesystem::temp_directory_path() / ("emulator-contents-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    const std::string big = PatternBytes(3 << 20);
    EmulatorOptions options{.dataDir = dir};
    {
        CloudEmulator emulator(options);
        emulator.Start();
        emulator.RegisterClient(Cloud::Dropbox, "key", "secret");
        std::string token = emulator.IssueTokens(Cloud::Dropbox, "key").accessToken;
        HttpsClient client(emulator);
        ASSERT_EQ(client
                      .Send("PUT", "https://api-content.dropbox.com/1/files_put/dropbox/big.bin", big,
                            {HttpsClient::Bearer(token)})
                      .status,
                  200);
        emulator.AddFile(Cloud::Dropbox, "small.txt", "small content");
        emulator.Save();

        std::string state = FileText(dir / "state.db");
        EXPECT_EQ(state.find("small content"), std::string::npos);
        EXPECT_EQ(state.find("c21hbGwgY29udGVudA"), std::string::npos);  // nor in base64
        EXPECT_LT(state.size(), 64u << 10);
        auto files = StoredFiles(dir);
        ASSERT_EQ(files.size(), 2u);
        std::vector<std::string> contents;
        for (const auto& [name, path] : files) {
            struct stat info {};
            ASSERT_EQ(::stat(path.c_str(), &info), 0);
            EXPECT_EQ(info.st_mode & 0777, 0600u) << name;
            contents.push_back(FileText(path));
        }
        EXPECT_TRUE(std::find(contents.begin(), contents.end(), big) != contents.end());

        // A deleted item's content goes once the deletion is stored, before it is answered.
        ASSERT_EQ(
            client.Form("https://api.dropbox.com/1/fileops/delete", {{"root", "dropbox"}, {"path", "/big.bin"}}, token)
                .status,
            200);
        EXPECT_EQ(StoredFiles(dir).size(), 1u);
    }
    std::ofstream(dir / "files" / "left-half-written") << "x";
    CloudEmulator restarted(options);
    EXPECT_EQ(restarted.Find(Cloud::Dropbox, "small.txt")->content, "small content");
    EXPECT_FALSE(restarted.Find(Cloud::Dropbox, "big.bin"));
    EXPECT_EQ(StoredFiles(dir).size(), 1u);  // what no state names is cleared away
    std::filesystem::remove_all(dir);
}

TEST(EmulatorDataFolder, AStateWithContentsInsideStillLoads) {
    auto dir = std::filesystem::temp_directory_path() / ("emulator-inline-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    // The form states had before contents were files: the bytes in base64, no size or digests.
    nlohmann::json tree = nlohmann::json::array();
    tree.push_back({{"id", "0"},
                    {"parent", ""},
                    {"name", ""},
                    {"folder", true},
                    {"mime", ""},
                    {"content", ""},
                    {"created", 0},
                    {"modified", 0},
                    {"version", 0}});
    tree.push_back({{"id", "11"},
                    {"parent", "0"},
                    {"name", "a.txt"},
                    {"folder", false},
                    {"mime", "text/plain"},
                    {"content", "b2xkIGJ5dGVz"},  // "old bytes"
                    {"created", 0},
                    {"modified", 0},
                    {"version", 0}});
    nlohmann::json state = {{"box",
                             {{"account", "Old"},
                              {"tree", tree},
                              {"oauth",
                               {{"clients", nlohmann::json::array()},
                                {"access", nlohmann::json::object()},
                                {"refresh", nlohmann::json::object()}}}}}};
    std::ofstream(dir / "state.json") << state.dump();
    CloudEmulator second({.dataDir = dir});
    auto item = second.Find(Cloud::Box, "a.txt");
    ASSERT_TRUE(item);
    EXPECT_EQ(item->content, "old bytes");
    EXPECT_EQ(item->size, 9);
    std::filesystem::remove_all(dir);
}

}  // namespace
