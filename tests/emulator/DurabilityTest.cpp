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
