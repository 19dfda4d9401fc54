#include "emulator/StateStore.h"

#include "emulator/Files.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace Nimbo::Emulator {
namespace {

// 1: items, grants, accounts. 2: records of upload sessions and pending operations, the change
// journal. Every step only adds tables, so opening an older database makes the missing ones.
constexpr int SchemaVersion = 2;

const char* const Schema = R"(
CREATE TABLE IF NOT EXISTS accounts(
    service TEXT PRIMARY KEY,
    name TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS items(
    service TEXT NOT NULL,
    id TEXT NOT NULL,
    parent TEXT NOT NULL,
    name TEXT NOT NULL,
    seq INTEGER NOT NULL,
    record TEXT NOT NULL,
    PRIMARY KEY(service, id)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS items_by_name ON items(service, parent, name);
CREATE INDEX IF NOT EXISTS items_by_seq ON items(service, seq);
CREATE TABLE IF NOT EXISTS grants(
    service TEXT NOT NULL,
    kind TEXT NOT NULL,
    key TEXT NOT NULL,
    record TEXT NOT NULL,
    PRIMARY KEY(service, kind, key)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS records(
    service TEXT NOT NULL,
    kind TEXT NOT NULL,
    key TEXT NOT NULL,
    record TEXT NOT NULL,
    PRIMARY KEY(service, kind, key)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS changes(
    service TEXT NOT NULL,
    seq INTEGER NOT NULL,
    path TEXT NOT NULL,
    PRIMARY KEY(service, seq)) WITHOUT ROWID;
)";

// The tree's change journal among a service's records.
const char* const JournalKind = "tree.journal";

}  // namespace

// One prepared statement, reset after every use.
class StateStore::Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr) != SQLITE_OK)
            throw StateStoreError(std::string("cannot prepare a statement: ") + sqlite3_errmsg(db));
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Bind(int index, const std::string& text) {
        sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& Bind(int index, std::int64_t value) {
        sqlite3_bind_int64(stmt_, index, value);
        return *this;
    }
    // One step: true while it yields a row.
    bool Step() {
        int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
        if (rc != SQLITE_DONE) throw StateStoreError(std::string("the state database failed: ") + sqlite3_errmsg(db_));
        return false;
    }
    void Run() {
        while (Step()) {}
    }
    std::string Text(int column) const {
        auto text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
        return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column))) : std::string();
    }
    std::int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

StateStore::StateStore(const std::filesystem::path& folder) : folder_(folder), temporary_(folder.empty()) {
    if (temporary_) {
        std::string pattern = (std::filesystem::temp_directory_path() / "cloud-emulator-state-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw StateStoreError("cannot make a temporary folder for the state");
        folder_ = pattern;
    } else {
        MakePrivateFolder(folder_);
    }
    path_ = folder_ / "state.db";
    try {
        Lock();
        Open();
        StartCheckpointer();
    } catch (...) {
        CloseDatabase();
        if (lockFd_ >= 0) ::close(lockFd_);
        if (temporary_) std::filesystem::remove_all(folder_);
        throw;
    }
}

StateStore::~StateStore() {
    CloseDatabase();
    if (lockFd_ >= 0) ::close(lockFd_);  // closing releases the lock
    if (temporary_) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

void StateStore::CloseDatabase() {
    if (checkpointer_.joinable()) {
        {
            std::lock_guard lock(checkpointMutex_);
            stopping_ = true;
        }
        checkpointWake_.notify_all();
        checkpointer_.join();
    }
    if (checkpointDb_) sqlite3_close_v2(checkpointDb_);
    checkpointDb_ = nullptr;
    putItem_.reset();
    dropItem_.reset();
    putGrant_.reset();
    dropGrant_.reset();
    putAccount_.reset();
    putRecord_.reset();
    dropRecord_.reset();
    putChange_.reset();
    trimChanges_.reset();
    if (db_) sqlite3_close_v2(db_);
    db_ = nullptr;
}

// One emulator per data folder: a second one would write the same database from its own memory.
void StateStore::Lock() {
    auto file = folder_ / "state.lock";
    lockFd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd_ < 0) throw StateStoreError("cannot open " + file.string() + ": " + std::strerror(errno));
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            throw StateStoreError("another emulator is using the data folder " + folder_.string() +
                                  "; stop it first or choose another folder");
        throw StateStoreError("cannot lock " + file.string() + ": " + std::strerror(errno));
    }
}

void StateStore::Open() {
    fresh_ = !std::filesystem::exists(path_);
    if (fresh_) {  // made owner-only before SQLite sees it; its journal files take the same mode
        int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) throw StateStoreError("cannot create " + path_.string() + ": " + std::strerror(errno));
        ::close(fd);
    }
    const std::string refused = "cannot use the state database " + path_.string() + " (left as it is): ";
    if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
        throw StateStoreError(refused + (db_ ? sqlite3_errmsg(db_) : "out of memory"));
    sqlite3_extended_result_codes(db_, 1);
    // Reading the version reads the header: a damaged or foreign file fails here, before any write.
    int version = 0;
    {
        Statement read(db_, "PRAGMA user_version");
        try {
            if (read.Step()) version = static_cast<int>(read.Int(0));
            read.Run();
        } catch (const StateStoreError&) {
            throw StateStoreError(refused + sqlite3_errmsg(db_) + "; move it aside to start afresh");
        }
    }
    if (version > SchemaVersion)
        throw StateStoreError(refused + "it was written by a newer version of the emulator (schema " +
                              std::to_string(version) + ", this one knows " + std::to_string(SchemaVersion) + ")");
    if (!fresh_) {
        Statement check(db_, "PRAGMA quick_check");
        std::string verdict;
        try {
            if (check.Step()) verdict = check.Text(0);
            check.Run();
        } catch (const StateStoreError&) {
            throw StateStoreError(refused + sqlite3_errmsg(db_) + "; move it aside to start afresh");
        }
        if (verdict != "ok") throw StateStoreError(refused + "it is damaged (" + verdict + ")");
    }
    // WAL: readers never wait for the writer. NORMAL synchronisation: a commit is in the log, in the
    // system's hands, before it returns, so it outlives a killed process; the log reaches the disk at
    // checkpoints. A temporary database outlives nothing, so it is not synchronised at all.
    Statement wal(db_, "PRAGMA journal_mode=WAL");
    std::string mode;
    if (wal.Step()) mode = wal.Text(0);
    wal.Run();
    if (mode != "wal") throw StateStoreError(refused + "it cannot be put in WAL mode (" + mode + ")");
    Execute(temporary_ ? "PRAGMA synchronous=OFF" : "PRAGMA synchronous=NORMAL");
    Execute("PRAGMA wal_autocheckpoint=0");
    Execute("BEGIN IMMEDIATE");
    try {
        Execute(Schema);
        Execute(("PRAGMA user_version=" + std::to_string(SchemaVersion)).c_str());
        Execute("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    putItem_ = std::make_unique<Statement>(
        db_, "INSERT OR REPLACE INTO items(service, id, parent, name, seq, record) VALUES(?, ?, ?, ?, ?, ?)");
    dropItem_ = std::make_unique<Statement>(db_, "DELETE FROM items WHERE service = ? AND id = ?");
    putGrant_ = std::make_unique<Statement>(
        db_, "INSERT OR REPLACE INTO grants(service, kind, key, record) VALUES(?, ?, ?, ?)");
    dropGrant_ = std::make_unique<Statement>(db_, "DELETE FROM grants WHERE service = ? AND kind = ? AND key = ?");
    putAccount_ = std::make_unique<Statement>(db_, "INSERT OR REPLACE INTO accounts(service, name) VALUES(?, ?)");
    putRecord_ = std::make_unique<Statement>(
        db_, "INSERT OR REPLACE INTO records(service, kind, key, record) VALUES(?, ?, ?, ?)");
    dropRecord_ = std::make_unique<Statement>(db_, "DELETE FROM records WHERE service = ? AND kind = ? AND key = ?");
    putChange_ = std::make_unique<Statement>(db_, "INSERT OR REPLACE INTO changes(service, seq, path) VALUES(?, ?, ?)");
    trimChanges_ = std::make_unique<Statement>(db_, "DELETE FROM changes WHERE service = ? AND seq < ?");
}

void StateStore::Execute(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message ? message : sqlite3_errmsg(db_);
        sqlite3_free(message);
        throw StateStoreError("the state database " + path_.string() + " failed: " + text);
    }
}

void StateStore::Load(const std::vector<std::unique_ptr<Service>>& services, Tree::Contents& contents) {
    Statement account(db_, "SELECT name FROM accounts WHERE service = ?");
    Statement items(db_, "SELECT record FROM items WHERE service = ? ORDER BY seq");
    Statement grants(db_, "SELECT kind, key, record FROM grants WHERE service = ?");
    for (const auto& service : services) {
        const std::string name = CloudName(service->Kind());
        auto parse = [&](const std::string& text) {
            Json record = Json::parse(text, nullptr, false);
            if (record.is_discarded())
                throw StateStoreError("a record of " + name + " in " + path_.string() + " is damaged");
            return record;
        };
        account.Bind(1, name);
        if (account.Step()) service->accountName = accounts_[name] = account.Text(0);
        account.Run();
        Tree& tree = service->tree;
        items.Bind(1, name);
        bool any = false;
        while (items.Step()) {
            if (!std::exchange(any, true)) tree.StartLoad();
            tree.LoadItem(parse(items.Text(0)), *service->blobs, contents);
        }
        if (any)
            tree.FinishLoad();
        else  // nothing stored yet: the fresh tree stays, to be written
            tree.MarkAllPending();
        grants.Bind(1, name);
        while (grants.Step()) service->oauth.LoadRecord(grants.Text(0), grants.Text(1), parse(grants.Text(2)));
        service->oauth.TakePending();
        LoadRecords(*service, parse, RecordLoader(*service->blobs, contents), any);
    }
}

void StateStore::LoadRecords(Service& service, const std::function<Json(const std::string&)>& parse,
                             const RecordLoader& loader, bool anyItems) {
    const std::string name = CloudName(service.Kind());
    std::map<std::string, RecordTable*> tables;
    for (RecordTable* table : service.KeptTables()) tables[table->Kind()] = table;
    std::optional<Json> journal;
    Statement records(db_, "SELECT kind, key, record FROM records WHERE service = ?");
    records.Bind(1, name);
    while (records.Step()) {
        const std::string kind = records.Text(0);
        if (kind == JournalKind)
            journal = parse(records.Text(2));
        else if (auto table = tables.find(kind); table != tables.end())
            table->second->LoadRecord(records.Text(1), parse(records.Text(2)), loader);
    }
    if (journal && anyItems) {
        std::deque<Tree::Change> changes;
        Statement read(db_, "SELECT seq, path FROM changes WHERE service = ? ORDER BY seq");
        read.Bind(1, name);
        while (read.Step()) changes.push_back({static_cast<std::uint64_t>(read.Int(0)), read.Text(1)});
        try {
            service.tree.RestoreJournal(*journal, std::move(changes));
        } catch (const Json::exception&) {
            throw StateStoreError("the change journal of " + name + " in " + path_.string() + " is damaged");
        }
    }
    // What a load set right (a record dropped, a journal begun) is written with the first commit.
    for (RecordTable* table : service.KeptTables()) {
        auto pending = table->TakePending();
        for (auto& [key, record] : pending.records)
            if (!record) dropRecord_->Bind(1, name).Bind(2, table->Kind()).Bind(3, key).Run();
    }
    if (!journal && anyItems) {  // a database of a version without the journal
        Statement clear(db_, "DELETE FROM changes WHERE service = ?");
        clear.Bind(1, name).Run();
        putRecord_->Bind(1, name)
            .Bind(2, JournalKind)
            .Bind(3, "")
            .Bind(4, JsonText(service.tree.JournalRecord()))
            .Run();
    }
}

void StateStore::Commit(const std::vector<std::unique_ptr<Service>>& services, BlobStore& blobs) {
    std::vector<Changes> changes;
    std::vector<std::string> released;
    try {
        for (const auto& service : services) {
            Changes change{service.get(), service->tree.TakePending(), service->oauth.TakePending(), {}};
            bool any = false;
            for (RecordTable* table : service->KeptTables()) {
                auto pending = table->TakePending();  // synchronises the session bytes the records name
                any = any || pending.cleared || !pending.records.empty();
                change.records.emplace_back(table->Kind(), std::move(pending));
            }
            auto stored = accounts_.find(CloudName(service->Kind()));
            bool accountChanged = stored == accounts_.end() || stored->second != service->accountName;
            if (any || change.tree.cleared || !change.tree.rows.empty() || !change.tree.removed.empty() ||
                change.tree.journal || change.oauth.cleared || !change.oauth.records.empty() || accountChanged)
                changes.push_back(std::move(change));
        }
        released = blobs.TakeReleased();  // named by nothing the commit leaves
        if (changes.empty() && released.empty()) return;
        Execute("BEGIN IMMEDIATE");
        for (auto& change : changes) Write(change);
        Execute("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        // What was taken is written again, whole, by the next commit.
        for (const auto& service : services) {
            service->tree.MarkAllPending();
            service->oauth.MarkAllPending();
            for (RecordTable* table : service->KeptTables()) table->MarkAllPending();
        }
        accounts_.clear();
        blobs.KeepReleased(std::move(released));
        throw;
    }
    blobs.RemoveFiles(released);
}

void StateStore::Write(Changes& change) {
    const Service& service = *change.service;
    Tree::Pending& tree = change.tree;
    OAuthRegistry::Pending& oauth = change.oauth;
    const std::string name = CloudName(service.Kind());
    if (tree.cleared) {
        Statement clear(db_, "DELETE FROM items WHERE service = ?");
        clear.Bind(1, name).Run();
    }
    for (const auto& id : tree.removed) dropItem_->Bind(1, name).Bind(2, id).Run();
    for (const auto& row : tree.rows)
        putItem_->Bind(1, name)
            .Bind(2, row.id)
            .Bind(3, row.parentId)
            .Bind(4, row.name)
            .Bind(5, static_cast<std::int64_t>(row.order))
            .Bind(6, row.record)
            .Run();
    if (tree.cleared) {
        Statement clear(db_, "DELETE FROM changes WHERE service = ?");
        clear.Bind(1, name).Run();
    } else if (tree.keptFrom != 0) {
        trimChanges_->Bind(1, name).Bind(2, static_cast<std::int64_t>(tree.keptFrom)).Run();
    }
    for (const auto& entry : tree.changes)
        putChange_->Bind(1, name).Bind(2, static_cast<std::int64_t>(entry.sequence)).Bind(3, entry.path).Run();
    if (tree.journal) putRecord_->Bind(1, name).Bind(2, JournalKind).Bind(3, "").Bind(4, JsonText(*tree.journal)).Run();
    for (auto& [kind, pending] : change.records) {
        if (pending.cleared) {
            Statement clear(db_, "DELETE FROM records WHERE service = ? AND kind = ?");
            clear.Bind(1, name).Bind(2, kind).Run();
        }
        for (const auto& [key, record] : pending.records) {
            if (record)
                putRecord_->Bind(1, name).Bind(2, kind).Bind(3, key).Bind(4, JsonText(*record)).Run();
            else
                dropRecord_->Bind(1, name).Bind(2, kind).Bind(3, key).Run();
        }
    }
    if (oauth.cleared) {
        Statement clear(db_, "DELETE FROM grants WHERE service = ?");
        clear.Bind(1, name).Run();
    }
    for (const auto& record : oauth.records) {
        if (record.record)
            putGrant_->Bind(1, name).Bind(2, record.kind).Bind(3, record.key).Bind(4, JsonText(*record.record)).Run();
        else
            dropGrant_->Bind(1, name).Bind(2, record.kind).Bind(3, record.key).Run();
    }
    if (auto stored = accounts_.find(name); stored == accounts_.end() || stored->second != service.accountName) {
        putAccount_->Bind(1, name).Bind(2, service.accountName).Run();
        accounts_[name] = service.accountName;
    }
}

void StateStore::Checkpoint() {
    // The background connection may be folding the log at this very moment, which makes this fold
    // busy for a while. The log keeps every commit meanwhile, so a fold that stays busy is left to
    // the next start rather than reported.
    for (int attempt = 0;; ++attempt) {
        const int result = sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
        if (result == SQLITE_OK) return;
        if (result != SQLITE_BUSY && result != SQLITE_LOCKED)
            throw StateStoreError("cannot fold the log into " + path_.string() + ": " + sqlite3_errmsg(db_));
        if (attempt == 100) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void StateStore::StartCheckpointer() {
    if (sqlite3_open_v2(path_.c_str(), &checkpointDb_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK)
        throw StateStoreError("cannot open " + path_.string() + " twice: " + sqlite3_errmsg(checkpointDb_));
    sqlite3_exec(checkpointDb_, temporary_ ? "PRAGMA synchronous=OFF" : "PRAGMA synchronous=NORMAL", nullptr, nullptr,
                 nullptr);
    checkpointer_ = std::thread([this] {
        std::unique_lock lock(checkpointMutex_);
        while (!stopping_) {
            checkpointWake_.wait_for(lock, std::chrono::milliseconds(500));
            if (stopping_) break;
            lock.unlock();
            // Passive: it copies what no reader still needs and never makes a commit wait.
            sqlite3_wal_checkpoint_v2(checkpointDb_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
            lock.lock();
        }
    });
}

}  // namespace Nimbo::Emulator
