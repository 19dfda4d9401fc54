// What the emulator keeps in its data folder: every answered change through a kill, the refusal of
// a database it must not use, and the state files of earlier versions taken in.

#include "HttpsClient.h"
#include "TestData.h"

#include "emulator/CloudEmulator.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

using namespace Nimbo::Emulator;
using namespace EmulatorTest;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

namespace {

const std::string DropboxApi = "https://api.dropbox.com/1";
const std::string DropboxContent = "https://api-content.dropbox.com/1";

std::string FileBytes(const std::filesystem::path& path) {
    std::stringstream bytes;
    bytes << std::ifstream(path, std::ios::binary).rdbuf();
    return bytes.str();
}

class DataFolder : public ::testing::Test {
protected:
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("emulator-durable-" + std::to_string(::getpid()));

    void SetUp() override { std::filesystem::remove_all(dir); }
    void TearDown() override { std::filesystem::remove_all(dir); }
};

// An emulator in a child process on the data folder, prepared there and killed without warning.
class KilledEmulator : public DataFolder {
protected:
    pid_t child = -1;
    std::uint16_t port = 0;

    void TearDown() override {
        Kill();
        DataFolder::TearDown();
    }

    // Starts it; `prepare` runs in the child (items, clients, tokens) and what it returns comes back.
    std::string Launch(const std::function<std::string(CloudEmulator&)>& prepare) {
        int pipe[2];
        if (::pipe(pipe) != 0) throw std::runtime_error("no pipe");
        child = ::fork();
        if (child == 0) {
            ::close(pipe[0]);
            try {
                CloudEmulator emulator({.dataDir = dir});
                emulator.Start();
                std::string message = std::to_string(emulator.Port()) + " " + prepare(emulator) + "\n";
                if (::write(pipe[1], message.data(), message.size()) != static_cast<ssize_t>(message.size()))
                    ::_exit(1);
                for (;;) ::pause();
            } catch (...) {
                ::_exit(1);
            }
        }
        ::close(pipe[1]);
        std::string message;
        char c;
        while (message.find('\n') == std::string::npos && ::read(pipe[0], &c, 1) == 1) message += c;
        ::close(pipe[0]);
        auto space = message.find(' ');
        if (space == std::string::npos) throw std::runtime_error("the emulator did not start");
        port = static_cast<std::uint16_t>(std::stoi(message.substr(0, space)));
        return message.substr(space + 1, message.size() - space - 2);
    }

    void Kill() {
        if (child <= 0) return;
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        child = -1;
    }

    HttpsClient Client() const { return HttpsClient(port, (dir / "tls" / "ca.pem").string()); }
};

// A change answered, then the emulator killed at once: after a restart it is there.
struct Change {
    std::string name;
    std::function<std::string(CloudEmulator&)> prepare;  // in the child; returns a token
    std::function<Reply(const HttpsClient&, const std::string& token)> make;
    std::function<void(CloudEmulator& restarted, const std::string& token, const Reply& answer)> check;
};

std::string DropboxToken(CloudEmulator& emulator) {
    emulator.RegisterClient(Cloud::Dropbox, "key", "secret");
    return emulator.IssueTokens(Cloud::Dropbox, "key").accessToken;
}

Fields BoxRefresh(const std::string& refreshToken) {
    return {{"grant_type", "refresh_token"},
            {"refresh_token", refreshToken},
            {"client_id", "app"},
            {"client_secret", "secret"}};
}

const std::string Uploaded = PatternBytes(300 << 10);

const Change Changes[] = {
    {"upload", DropboxToken,
     [](const HttpsClient& client, const std::string& token) {
         return client.Send("PUT", DropboxContent + "/files_put/dropbox/up.bin", Uploaded,
                            {HttpsClient::Bearer(token)});
     },
     [](CloudEmulator& restarted, const std::string&, const Reply&) {
         auto item = restarted.Find(Cloud::Dropbox, "up.bin");
         ASSERT_TRUE(item);
         EXPECT_TRUE(item->content == Uploaded);
     }},
    {"folder creation", DropboxToken,
     [](const HttpsClient& client, const std::string& token) {
         return client.Form(DropboxApi + "/fileops/create_folder", {{"root", "dropbox"}, {"path", "/Made"}}, token);
     },
     [](CloudEmulator& restarted, const std::string&, const Reply&) {
         auto item = restarted.Find(Cloud::Dropbox, "Made");
         ASSERT_TRUE(item);
         EXPECT_TRUE(item->isFolder);
     }},
    {"rename",
     [](CloudEmulator& emulator) {
         emulator.AddFile(Cloud::Dropbox, "Old/name.txt", "renamed bytes");
         return DropboxToken(emulator);
     },
     [](const HttpsClient& client, const std::string& token) {
         return client.Form(DropboxApi + "/fileops/move",
                            {{"root", "dropbox"}, {"from_path", "/Old/name.txt"}, {"to_path", "/Old/new.txt"}}, token);
     },
     [](CloudEmulator& restarted, const std::string&, const Reply&) {
         EXPECT_FALSE(restarted.Find(Cloud::Dropbox, "Old/name.txt"));
         auto item = restarted.Find(Cloud::Dropbox, "Old/new.txt");
         ASSERT_TRUE(item);
         EXPECT_EQ(item->content, "renamed bytes");
     }},
    {"delete",
     [](CloudEmulator& emulator) {
         emulator.AddFile(Cloud::Dropbox, "Gone/file.txt", "deleted bytes");
         emulator.AddFile(Cloud::Dropbox, "kept.txt", "kept bytes");
         return DropboxToken(emulator);
     },
     [](const HttpsClient& client, const std::string& token) {
         return client.Form(DropboxApi + "/fileops/delete", {{"root", "dropbox"}, {"path", "/Gone"}}, token);
     },
     [](CloudEmulator& restarted, const std::string&, const Reply&) {
         EXPECT_FALSE(restarted.Find(Cloud::Dropbox, "Gone"));
         EXPECT_FALSE(restarted.Find(Cloud::Dropbox, "Gone/file.txt"));
         EXPECT_EQ(restarted.Find(Cloud::Dropbox, "kept.txt")->content, "kept bytes");
     }},
    {"token refresh",
     [](CloudEmulator& emulator) {
         emulator.RegisterClient(Cloud::Box, "app", "secret");
         return emulator.IssueTokens(Cloud::Box, "app").refreshToken;
     },
     [](const HttpsClient& client, const std::string& refreshToken) {
         return client.Form("https://api.box.com/oauth2/token", BoxRefresh(refreshToken));
     },
     [](CloudEmulator& restarted, const std::string& rotated, const Reply& answer) {
         restarted.Start();
         HttpsClient client(restarted);
         const std::string successor = answer.Json().value("refresh_token", "");
         ASSERT_FALSE(successor.empty()) << answer.body;
         EXPECT_EQ(client.Get("https://api.box.com/2.0/users/me", answer.Json().value("access_token", "")).status, 200);
         EXPECT_EQ(client.Form("https://api.box.com/oauth2/token", BoxRefresh(rotated)).status, 400);
         EXPECT_EQ(client.Form("https://api.box.com/oauth2/token", BoxRefresh(successor)).status, 200);
     }},
};

TEST_F(KilledEmulator, KeepsEveryAnsweredChange) {
    for (const Change& change : Changes) {
        SCOPED_TRACE(change.name);
        std::filesystem::remove_all(dir);
        const std::string token = Launch(change.prepare);
        const Reply answer = change.make(Client(), token);
        ASSERT_EQ(answer.status, 200) << answer.body;
        Kill();
        CloudEmulator restarted({.dataDir = dir});
        change.check(restarted, token, answer);
        restarted.Stop();
    }
}

TEST_F(KilledEmulator, LeavesNoContentWithoutItsItemNorItemWithoutItsContent) {
    const std::string token = Launch(DropboxToken);
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(Client()
                      .Send("PUT", DropboxContent + "/files_put/dropbox/f" + std::to_string(i) + ".bin",
                            PatternBytes(4096, i + 1), {HttpsClient::Bearer(token)})
                      .status,
                  200);
    Kill();
    std::ofstream(dir / "files" / "half-written-upload") << "partial";  // what a kill mid-upload leaves
    CloudEmulator restarted({.dataDir = dir});
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(restarted.Find(Cloud::Dropbox, "f" + std::to_string(i) + ".bin")->content ==
                    PatternBytes(4096, i + 1));
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir / "files")) files += entry.is_regular_file();
    EXPECT_EQ(files, 5u);
}

// An upload session begun and a part of it answered, then the emulator killed: after a restart the
// client goes on where it was, and the file holds every byte.
struct SessionUpload {
    std::string name;
    Cloud cloud;
    std::string clientId, path, content;
    // Starts the session and sends the first part; returns what the client keeps of the session.
    std::function<std::string(const HttpsClient&, const std::string& token, const std::string& content)> begin;
    // Sends the rest and commits; the final answer.
    std::function<Reply(const HttpsClient&, const std::string& token, const std::string& content,
                        const std::string& session)>
        finish;
};

const std::string DriveUpload = "https://www.googleapis.com/upload/drive/v3/files";
const std::string BoxSessions = "https://upload.box.com/api/2.0/files/upload_sessions";
const std::string DropboxV2Content = "https://content.dropboxapi.com/2/";
constexpr std::size_t DriveGranule = 256u << 10, GraphGranule = 320u << 10, BoxPart = 8u << 20, DropboxBlock = 4u << 20;

std::string Range(std::size_t first, std::size_t length, std::size_t total) {
    return "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(first + length - 1) + "/" +
           std::to_string(total);
}

Reply BoxPartOf(const HttpsClient& client, const std::string& token, const std::string& session,
                const std::string& content, std::size_t first) {
    const std::string bytes = content.substr(first, BoxPart);
    return client.Send("PUT", BoxSessions + "/" + session, bytes,
                       {HttpsClient::Bearer(token), "Digest: sha=" + Sha1Base64(bytes),
                        "Content-Type: application/octet-stream", Range(first, bytes.size(), content.size())});
}

Reply DropboxV2Call(const HttpsClient& client, const std::string& token, const std::string& route,
                    const nlohmann::json& arg, const std::string& bytes = "") {
    return client.Send(
        "POST", DropboxV2Content + route, bytes,
        {HttpsClient::Bearer(token), "Content-Type: application/octet-stream", "Dropbox-API-Arg: " + arg.dump()});
}

nlohmann::json DropboxCursor(const std::string& session, std::size_t offset) {
    return {{"session_id", session}, {"offset", offset}};
}

const SessionUpload SessionUploads[] = {
    {"Drive resumable upload", Cloud::GoogleDrive, "app", "big.bin", PatternBytes(2 * DriveGranule + 100, 2),
     [](const HttpsClient& client, const std::string& token, const std::string& content) {
         Reply started = client.Send("POST", DriveUpload + "?uploadType=resumable", R"({"name":"big.bin"})",
                                     {HttpsClient::Bearer(token), "Content-Type: application/json"});
         EXPECT_EQ(started.status, 200) << started.body;
         const std::string session = started.Header("location");
         Reply first = client.Send("PUT", session, content.substr(0, DriveGranule),
                                   {HttpsClient::Bearer(token), Range(0, DriveGranule, content.size())});
         EXPECT_EQ(first.status, 308) << first.body;
         return session;
     },
     [](const HttpsClient& client, const std::string& token, const std::string& content, const std::string& session) {
         Reply status =
             client.Send("PUT", session, "",
                         {HttpsClient::Bearer(token), "Content-Range: bytes */" + std::to_string(content.size())});
         EXPECT_EQ(status.status, 308);
         EXPECT_EQ(status.Header("range"), "bytes=0-" + std::to_string(DriveGranule - 1));
         const std::size_t rest = content.size() - DriveGranule;
         return client.Send("PUT", session, content.substr(DriveGranule),
                            {HttpsClient::Bearer(token), Range(DriveGranule, rest, content.size())});
     }},
    {"Graph upload session", Cloud::LiveConnect, "000000004C0E1234", "Docs/big.bin",
     PatternBytes(GraphGranule + 100, 3),
     [](const HttpsClient& client, const std::string& token, const std::string& content) {
         Reply started =
             client.Send("POST", "https://graph.microsoft.com/v1.0/me/drive/root:/Docs/big.bin:/createUploadSession",
                         "{}", {HttpsClient::Bearer(token), "Content-Type: application/json"});
         EXPECT_EQ(started.status, 200) << started.body;
         const std::string session = started.Json().value("uploadUrl", "");
         Reply first =
             client.Send("PUT", session, content.substr(0, GraphGranule), {Range(0, GraphGranule, content.size())});
         EXPECT_EQ(first.status, 202) << first.body;
         return session;
     },
     [](const HttpsClient& client, const std::string&, const std::string& content, const std::string& session) {
         Reply status = client.Get(session);
         EXPECT_EQ(status.Json()["nextExpectedRanges"][0], std::to_string(GraphGranule) + "-") << status.body;
         return client.Send("PUT", session, content.substr(GraphGranule),
                            {Range(GraphGranule, content.size() - GraphGranule, content.size())});
     }},
    {"Box chunked session", Cloud::Box, "app", "film.bin", PatternBytes(20000000, 4),
     [](const HttpsClient& client, const std::string& token, const std::string& content) {
         Reply started =
             client.Send("POST", BoxSessions, R"({"folder_id":"0","file_size":20000000,"file_name":"film.bin"})",
                         {HttpsClient::Bearer(token), "Content-Type: application/json"});
         EXPECT_EQ(started.status, 201) << started.body;
         const std::string session = started.Json().value("id", "");
         EXPECT_EQ(BoxPartOf(client, token, session, content, BoxPart).status, 200);
         return session;
     },
     [](const HttpsClient& client, const std::string& token, const std::string& content, const std::string& session) {
         for (std::size_t first : {std::size_t{0}, 2 * BoxPart})
             EXPECT_EQ(BoxPartOf(client, token, session, content, first).status, 200);
         Reply parts = client.Get(BoxSessions + "/" + session + "/parts", token);
         EXPECT_EQ(parts.Json()["total_count"], 3) << parts.body;
         return client.Send(
             "POST", BoxSessions + "/" + session + "/commit", nlohmann::json{{"parts", parts.Json()["entries"]}}.dump(),
             {HttpsClient::Bearer(token), "Content-Type: application/json", "Digest: sha=" + Sha1Base64(content)});
     }},
    {"Dropbox chunked upload", Cloud::Dropbox, "key", "chunked.bin", PatternBytes(300000, 5),
     [](const HttpsClient& client, const std::string& token, const std::string& content) {
         Reply first = client.Send("PUT", DropboxContent + "/chunked_upload", content.substr(0, 100000),
                                   {HttpsClient::Bearer(token)});
         EXPECT_EQ(first.status, 200) << first.body;
         return first.Json().value("upload_id", "");
     },
     [](const HttpsClient& client, const std::string& token, const std::string& content, const std::string& session) {
         Reply next = client.Send("PUT", DropboxContent + "/chunked_upload?upload_id=" + session + "&offset=100000",
                                  content.substr(100000), {HttpsClient::Bearer(token)});
         EXPECT_EQ(next.status, 200) << next.body;
         EXPECT_EQ(next.Json()["offset"], content.size());
         return client.Form(DropboxContent + "/commit_chunked_upload/dropbox/chunked.bin", {{"upload_id", session}},
                            token);
     }},
    {"Dropbox upload session", Cloud::Dropbox, "key", "session.bin", PatternBytes(300000, 6),
     [](const HttpsClient& client, const std::string& token, const std::string& content) {
         Reply started = DropboxV2Call(client, token, "files/upload_session/start", nlohmann::json::object(),
                                       content.substr(0, 100000));
         EXPECT_EQ(started.status, 200) << started.body;
         return started.Json().value("session_id", "");
     },
     [](const HttpsClient& client, const std::string& token, const std::string& content, const std::string& session) {
         Reply appended = DropboxV2Call(client, token, "files/upload_session/append_v2",
                                        {{"cursor", DropboxCursor(session, 100000)}}, content.substr(100000, 100000));
         EXPECT_EQ(appended.status, 200) << appended.body;
         return DropboxV2Call(client, token, "files/upload_session/finish",
                              {{"cursor", DropboxCursor(session, 200000)}, {"commit", {{"path", "/session.bin"}}}},
                              content.substr(200000));
     }},
    {"Dropbox concurrent upload session", Cloud::Dropbox, "key", "pieces.bin", PatternBytes(DropboxBlock + 1000, 7),
     [](const HttpsClient& client, const std::string& token, const std::string& content) {
         Reply started = DropboxV2Call(client, token, "files/upload_session/start", {{"session_type", "concurrent"}});
         EXPECT_EQ(started.status, 200) << started.body;
         const std::string session = started.Json().value("session_id", "");
         Reply piece = DropboxV2Call(client, token, "files/upload_session/append_v2",
                                     {{"cursor", DropboxCursor(session, 0)}}, content.substr(0, DropboxBlock));
         EXPECT_EQ(piece.status, 200) << piece.body;
         return session;
     },
     [](const HttpsClient& client, const std::string& token, const std::string& content, const std::string& session) {
         Reply last = DropboxV2Call(client, token, "files/upload_session/append_v2",
                                    {{"cursor", DropboxCursor(session, DropboxBlock)}, {"close", true}},
                                    content.substr(DropboxBlock));
         EXPECT_EQ(last.status, 200) << last.body;
         return DropboxV2Call(
             client, token, "files/upload_session/finish",
             {{"cursor", DropboxCursor(session, content.size())}, {"commit", {{"path", "/pieces.bin"}}}});
     }},
};

TEST_F(KilledEmulator, AnUploadSessionGoesOnAfterARestart) {
    for (const SessionUpload& upload : SessionUploads) {
        SCOPED_TRACE(upload.name);
        std::filesystem::remove_all(dir);
        const std::string token = Launch([&](CloudEmulator& emulator) {
            emulator.RegisterClient(upload.cloud, upload.clientId, "secret");
            return emulator.IssueTokens(upload.cloud, upload.clientId).accessToken;
        });
        const std::string session = upload.begin(Client(), token, upload.content);
        ASSERT_FALSE(session.empty());
        Kill();
        CloudEmulator restarted({.dataDir = dir});
        restarted.Start();
        const Reply done = upload.finish(HttpsClient(restarted), token, upload.content, session);
        EXPECT_TRUE(done.status == 200 || done.status == 201) << done.status << " " << done.body;
        auto item = restarted.Find(upload.cloud, upload.path);
        ASSERT_TRUE(item);
        EXPECT_TRUE(item->content == upload.content);
        restarted.Stop();
    }
}

// Bytes a session wrote for a part that was never answered are not taken for received.
TEST_F(KilledEmulator, BytesOfAPartNeverAnsweredAreNotKept) {
    const std::string content = PatternBytes(300000, 8);
    const std::string token = Launch(DropboxToken);
    Reply started = DropboxV2Call(Client(), token, "files/upload_session/start", nlohmann::json::object(),
                                  content.substr(0, 100000));
    ASSERT_EQ(started.status, 200) << started.body;
    Kill();
    // What a kill in the middle of an append leaves: more bytes in the session's file than answered.
    for (const auto& entry : std::filesystem::directory_iterator(dir / "files"))
        std::ofstream(entry.path(), std::ios::binary | std::ios::app) << "half of an unanswered append";
    CloudEmulator restarted({.dataDir = dir});
    restarted.Start();
    HttpsClient client(restarted);
    const std::string session = started.Json()["session_id"];
    Reply wrong = DropboxV2Call(client, token, "files/upload_session/append_v2",
                                {{"cursor", DropboxCursor(session, 100028)}}, "x");
    EXPECT_EQ(wrong.status, 409);
    EXPECT_EQ(wrong.Json()["error"]["correct_offset"], 100000) << wrong.body;
    Reply finished = DropboxV2Call(client, token, "files/upload_session/finish",
                                   {{"cursor", DropboxCursor(session, 100000)}, {"commit", {{"path", "/cut.bin"}}}},
                                   content.substr(100000));
    ASSERT_EQ(finished.status, 200) << finished.body;
    EXPECT_TRUE(restarted.Find(Cloud::Dropbox, "cut.bin")->content == content);
    restarted.Stop();
}

// A change feed goes on through a kill: a cursor taken before it answers the changes made after it,
// before and after the restart, and nothing else.
TEST_F(KilledEmulator, ACursorTakenBeforeAKillAnswersOnlyTheChangesAfterIt) {
    const std::string token = Launch([](CloudEmulator& emulator) {
        emulator.AddFile(Cloud::Dropbox, "Docs/old.txt", "old");
        return DropboxToken(emulator);
    });
    auto rpc = [&](const HttpsClient& client, const std::string& route, const nlohmann::json& arg) {
        return client.Send("POST", "https://api.dropboxapi.com/2/" + route, arg.dump(),
                           {HttpsClient::Bearer(token), "Content-Type: application/json"});
    };
    Reply latest = rpc(Client(), "files/list_folder/get_latest_cursor", {{"path", "/Docs"}, {"recursive", true}});
    ASSERT_EQ(latest.status, 200) << latest.body;
    const std::string cursor = latest.Json()["cursor"];
    Reply before = Client().Send("PUT", DropboxContent + "/files_put/dropbox/Docs/before.txt", "made before the kill",
                                 {HttpsClient::Bearer(token)});
    ASSERT_EQ(before.status, 200) << before.body;
    Kill();
    CloudEmulator restarted({.dataDir = dir});
    restarted.AddFile(Cloud::Dropbox, "Docs/after.txt", "made after the restart");
    restarted.Start();
    HttpsClient client(restarted);
    Reply changes = rpc(client, "files/list_folder/continue", {{"cursor", cursor}});
    ASSERT_EQ(changes.status, 200) << changes.body;
    std::vector<std::string> names;
    const nlohmann::json answer = changes.Json();
    for (const auto& entry : answer["entries"]) names.push_back(entry.value("name", ""));
    EXPECT_THAT(names, ::testing::UnorderedElementsAre("before.txt", "after.txt"));
    restarted.Stop();
}

// The database as a file, damaged in one of the ways a disk or a person damages it.
struct Damage {
    std::string name;
    std::function<void(std::string& bytes)> apply;
    std::string message;
};

TEST_F(DataFolder, ADatabaseItCannotUseStopsItAtStartAndIsLeftAsItIs) {
    const Damage damages[] = {
        {"not a database", [](std::string& bytes) { bytes = "this is a text file, not a database\n"; },
         "file is not a database"},
        {"a page overwritten",
         [](std::string& bytes) {
             for (std::size_t i = 4096; i < bytes.size() && i < 3 * 4096; ++i) bytes[i] = '\xA5';
         },
         "state.db"},
        {"a newer schema", {}, "newer version"},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.name);
        std::filesystem::remove_all(dir);
        {
            CloudEmulator first({.dataDir = dir});
            for (int i = 0; i < 50; ++i) first.AddFile(Cloud::Box, "Docs/f" + std::to_string(i) + ".txt", "bytes");
            first.Save();
        }
        if (damage.apply) {
            std::string bytes = FileBytes(dir / "state.db");
            damage.apply(bytes);
            std::ofstream(dir / "state.db", std::ios::binary | std::ios::trunc) << bytes;
        } else {
            sqlite3* db = nullptr;
            ASSERT_EQ(sqlite3_open((dir / "state.db").c_str(), &db), SQLITE_OK);
            EXPECT_EQ(sqlite3_exec(db, "PRAGMA user_version=99", nullptr, nullptr, nullptr), SQLITE_OK);
            sqlite3_close(db);
        }
        const std::string before = FileBytes(dir / "state.db");
        EXPECT_THAT([&] { CloudEmulator refused({.dataDir = dir}); },
                    ThrowsMessage<std::runtime_error>(HasSubstr(damage.message)));
        EXPECT_TRUE(FileBytes(dir / "state.db") == before);
        EXPECT_FALSE(std::filesystem::exists(dir / "state.db-wal"));
    }
}

// A database of the first schema, which kept no sessions nor change journal, is taken up as it is.
TEST_F(DataFolder, ADatabaseOfAnEarlierSchemaIsMigrated) {
    {
        CloudEmulator first({.dataDir = dir});
        first.AddFile(Cloud::Dropbox, "Docs/kept.txt", "kept bytes");
        first.Save();
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir / "state.db").c_str(), &db), SQLITE_OK);
    EXPECT_EQ(
        sqlite3_exec(db, "DROP TABLE records; DROP TABLE changes; PRAGMA user_version=1", nullptr, nullptr, nullptr),
        SQLITE_OK);
    sqlite3_close(db);
    {
        CloudEmulator migrated({.dataDir = dir});
        EXPECT_EQ(migrated.Find(Cloud::Dropbox, "Docs/kept.txt")->content, "kept bytes");
        migrated.AddFile(Cloud::Dropbox, "Docs/new.txt", "new bytes");
    }
    ASSERT_EQ(sqlite3_open((dir / "state.db").c_str(), &db), SQLITE_OK);
    auto count = [&](const char* sql) {
        sqlite3_stmt* statement = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db, sql, -1, &statement, nullptr), SQLITE_OK) << sql;
        int value = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int(statement, 0) : -1;
        sqlite3_finalize(statement);
        return value;
    };
    EXPECT_EQ(count("PRAGMA user_version"), 2);
    EXPECT_EQ(count("SELECT count(*) FROM changes WHERE service = 'dropbox'"), 1);  // new.txt
    EXPECT_EQ(count("SELECT count(*) FROM records WHERE kind = 'tree.journal'"), 4);
    sqlite3_close(db);
    CloudEmulator again({.dataDir = dir});
    EXPECT_EQ(again.Find(Cloud::Dropbox, "Docs/new.txt")->content, "new bytes");
}

TEST_F(DataFolder, ASecondEmulatorOnTheFolderIsRefusedAndTheFirstGoesOn) {
    CloudEmulator first({.dataDir = dir});
    first.AddFolder(Cloud::GoogleDrive, "Mine");
    EXPECT_THAT([&] { CloudEmulator second({.dataDir = dir}); },
                ThrowsMessage<std::runtime_error>(HasSubstr("another emulator is using the data folder")));
    first.AddFolder(Cloud::GoogleDrive, "Mine/Still");
    first.Stop();
    EXPECT_TRUE(first.Find(Cloud::GoogleDrive, "Mine/Still"));
}

TEST_F(DataFolder, WithoutADataFolderItsDatabaseGoesWithIt) {
    auto temporaryStates = [] {
        std::set<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::temp_directory_path()))
            if (entry.path().filename().string().rfind("cloud-emulator-state-", 0) == 0)
                found.insert(entry.path().string());
        return found;
    };
    const auto before = temporaryStates();
    {
        CloudEmulator emulator;
        emulator.AddFile(Cloud::Box, "a.txt", "bytes");
        EXPECT_EQ(temporaryStates().size(), before.size() + 1);
        EXPECT_EQ(emulator.Find(Cloud::Box, "a.txt")->content, "bytes");
    }
    EXPECT_EQ(temporaryStates(), before);
}

// A state file of the earlier version, holding every kind of record it kept.
nlohmann::json EarlierState() {
    auto item = [](std::string id, std::string parent, std::string name, bool folder) {
        return nlohmann::json{{"id", id},
                              {"parent", parent},
                              {"name", name},
                              {"folder", folder},
                              {"mime", folder ? "" : "text/plain"},
                              {"content", ""},
                              {"size", 0},
                              {"created", 1000},
                              {"modified", 2000},
                              {"version", 3},
                              {"description", ""},
                              {"trashed", false},
                              {"explicitlyTrashed", false},
                              {"trashedAt", 0}};
    };
    nlohmann::json tree = nlohmann::json::array();
    tree.push_back(item("dropbox-root", "", "", true));
    tree.push_back(item("db-folder", "dropbox-root", "Docs", true));
    auto file = item("db-file", "db-folder", "notes.txt", false);
    file["content"] = "stored-notes", file["size"] = 11, file["md5"] = Md5Hex("hello notes");
    file["sha1"] = Sha1Hex("hello notes"), file["contentModified"] = 1234000;
    tree.push_back(file);
    auto shared = item("db-copy", "dropbox-root", "copy.txt", false);  // the same content as notes.txt
    shared["content"] = "stored-notes", shared["size"] = 11, shared["md5"] = Md5Hex("hello notes");
    shared["sha1"] = Sha1Hex("hello notes");
    tree.push_back(shared);
    auto trashed = item("db-trashed", "dropbox-root", "old.txt", false);
    trashed["trashed"] = trashed["explicitlyTrashed"] = true, trashed["trashedAt"] = 5000;
    tree.push_back(trashed);
    auto grant = [](bool spent) {
        return nlohmann::json{{"client", "key"}, {"scope", ""},    {"redirect", ""},
                              {"expires", -1},   {"spent", spent}, {"pkce", false}};
    };
    nlohmann::json oauth = {{"clients",
                             {{{"id", "key"}, {"secret", "secret"}, {"redirects", {"http://localhost:53682/"}}},
                              {{"id", "public"}, {"secret", ""}, {"redirects", nlohmann::json::array()}}}},
                            {"access", {{"live-access", grant(false)}}},
                            {"refresh", {{"live-refresh", grant(false)}, {"spent-refresh", grant(true)}}}};
    return {{"dropbox", {{"account", "Earlier Dropbox User"}, {"tree", tree}, {"oauth", oauth}}}};
}

void ExpectEarlierState(CloudEmulator& emulator) {
    auto docs = emulator.Children(Cloud::Dropbox, "Docs");
    ASSERT_EQ(docs.size(), 1u);
    EXPECT_EQ(docs[0].name, "notes.txt");
    EXPECT_EQ(docs[0].content, "hello notes");
    EXPECT_EQ(emulator.Find(Cloud::Dropbox, "copy.txt")->content, "hello notes");
    EXPECT_FALSE(emulator.Find(Cloud::Dropbox, "old.txt"));  // in the trash
    emulator.Start();
    HttpsClient client(emulator);
    Reply account = client.Get(DropboxApi + "/account/info", "live-access");
    ASSERT_EQ(account.status, 200) << account.body;
    EXPECT_EQ(account.Json()["display_name"], "Earlier Dropbox User");
    auto refresh = [&](const std::string& token) {
        return client
            .Form("https://api.dropboxapi.com/oauth2/token", {{"grant_type", "refresh_token"},
                                                              {"refresh_token", token},
                                                              {"client_id", "key"},
                                                              {"client_secret", "secret"}})
            .status;
    };
    EXPECT_EQ(refresh("spent-refresh"), 400);
    EXPECT_EQ(refresh("live-refresh"), 200);
    emulator.Stop();
}

TEST_F(DataFolder, AnEarlierStateFileIsTakenInOnceAndKeptAside) {
    std::filesystem::create_directories(dir / "files");
    std::ofstream(dir / "files" / "stored-notes", std::ios::binary) << "hello notes";
    const std::string earlier = EarlierState().dump(1);
    std::ofstream(dir / "state.json") << earlier;
    {
        CloudEmulator first({.dataDir = dir});
        EXPECT_FALSE(std::filesystem::exists(dir / "state.json"));
        EXPECT_EQ(FileBytes(dir / "state.json.migrated"), earlier);
        ExpectEarlierState(first);
        // The two items naming one content share it: removing one keeps the other's bytes.
        first.Start();
        HttpsClient client(first);
        ASSERT_EQ(
            client.Form(DropboxApi + "/fileops/delete", {{"root", "dropbox"}, {"path", "/copy.txt"}}, "live-access")
                .status,
            200);
        first.Stop();
    }
    CloudEmulator second({.dataDir = dir});  // from the database alone
    EXPECT_FALSE(second.Find(Cloud::Dropbox, "copy.txt"));
    EXPECT_EQ(second.Find(Cloud::Dropbox, "Docs/notes.txt")->content, "hello notes");
    EXPECT_EQ(FileBytes(dir / "state.json.migrated"), earlier);
}

TEST_F(DataFolder, AnUnreadableEarlierStateFileStopsItAndIsLeftAsItIs) {
    std::filesystem::create_directories(dir);
    for (const std::string text : {"{not json", R"({"box": {"account": 5}})"}) {
        SCOPED_TRACE(text);
        std::ofstream(dir / "state.json", std::ios::trunc) << text;
        EXPECT_THAT([&] { CloudEmulator refused({.dataDir = dir}); },
                    ThrowsMessage<std::runtime_error>(HasSubstr("state.json")));
        EXPECT_EQ(FileBytes(dir / "state.json"), text);
    }
}

}  // namespace
