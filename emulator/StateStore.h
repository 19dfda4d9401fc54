#pragma once
// Where the services' state lives between runs: a SQLite database (state.db in the data folder, or
// in a temporary folder removed with the store). Every answered change reaches it in one
// transaction before the answer leaves; the tree and OAuth registry say what changed, so a change
// costs what it touches. A second emulator on the same folder, a damaged database and one written by
// a newer version are refused at opening with a clear message, leaving the files as they were.

#include "emulator/Service.h"

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

struct sqlite3;

namespace Nimbo::Emulator {

// Why the state could not be opened or written.
class StateStoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class StateStore {
public:
    // Opens (or makes) the database in `folder`; an empty path: a temporary folder.
    explicit StateStore(const std::filesystem::path& folder);
    ~StateStore();
    StateStore(const StateStore&) = delete;
    StateStore& operator=(const StateStore&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    bool Fresh() const { return fresh_; }  // nothing was stored before this run

    // Puts the stored state of each service back; the contents named go into `contents`.
    void Load(const std::vector<std::unique_ptr<Service>>& services, Tree::Contents& contents);
    // Writes what changed in the services since the last commit, in one transaction; then removes
    // the content files nothing names any more. Runs under the emulator's lock.
    void Commit(const std::vector<std::unique_ptr<Service>>& services, BlobStore& blobs);
    // Folds the write-ahead log into the database file (at stop, and when asked to save).
    void Checkpoint();

private:
    class Statement;
    std::filesystem::path folder_, path_;
    bool temporary_, fresh_ = false;
    int lockFd_ = -1;
    sqlite3* db_ = nullptr;
    std::map<std::string, std::string> accounts_;  // the account names as stored, by service
    std::unique_ptr<Statement> putItem_, dropItem_, putGrant_, dropGrant_, putAccount_, putRecord_, dropRecord_,
        putChange_, trimChanges_;
    // Folding the log into the database synchronises it to the disk: done beside the requests, on a
    // connection of its own, never by a commit.
    sqlite3* checkpointDb_ = nullptr;
    std::thread checkpointer_;
    std::mutex checkpointMutex_;
    std::condition_variable checkpointWake_;
    bool stopping_ = false;

    void Lock();
    void Open();
    void Execute(const char* sql);
    // What one service changed since the last commit.
    struct Changes {
        const Service* service;
        Tree::Pending tree;
        OAuthRegistry::Pending oauth;
        std::vector<std::pair<std::string, RecordTable::Pending>> records;  // by kind
    };
    void Write(Changes& change);
    void LoadRecords(Service& service, const std::function<Json(const std::string&)>& parse, const RecordLoader& loader,
                     bool anyItems);
    void CloseDatabase();
    void StartCheckpointer();
};

}  // namespace Nimbo::Emulator
