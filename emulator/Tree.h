#pragma once
// The folder and file tree of one service account.

#include "emulator/Blobs.h"
#include "emulator/Json.h"

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

namespace Nimbo::Emulator {

struct Node {
    std::string id, parentId, name, mimeType;
    BlobRef content;          // a file's bytes, stored once with their digests; null: empty
    std::string description;  // free text some services keep with an item
    bool folder = false;
    bool trashed = false;            // in the trash, itself or with a folder above it
    bool explicitlyTrashed = false;  // put there itself
    TimePoint created{}, modified{}, trashedAt{};
    std::optional<TimePoint> contentCreated, contentModified;  // the file's own dates, as a client gave them
    std::uint64_t order = 0;                                   // creation order, for stable listings
    std::uint64_t version = 0;                                 // bumped on every change of content or metadata
    std::size_t storedDigest = 0;                              // of the record last handed to the store; 0: none
    std::int64_t Size() const { return content ? static_cast<std::int64_t>(content->Size()) : 0; }
    std::string Md5() const { return content ? content->Md5() : EmptyMd5(); }
    std::string Sha1() const { return content ? content->Sha1() : EmptySha1(); }
    std::string Sha256() const { return content ? content->Sha256() : EmptySha256(); }
};

class Tree {
public:
    using IdMaker = std::function<std::string(bool folder)>;

    Tree(std::string rootId, IdMaker makeId);

    void Clear(TimePoint now);
    const Node& Root() const { return nodes_.at(rootId_); }
    const std::string& RootId() const { return rootId_; }
    std::uint64_t Generation() const { return generation_; }  // grows with every change

    // Where items changed, oldest first, for change feeds: each change names a path an item had
    // before or after it (a moved folder: every path below it too). Only the newest are kept.
    struct Change {
        std::uint64_t sequence;
        std::string path;
    };
    const std::deque<Change>& Changes() const { return changes_; }
    std::uint64_t LastChange() const { return nextChange_ - 1; }
    const std::string& Epoch() const { return epoch_; }  // new with every Clear and Load: feeds start over
    const std::map<std::uint64_t, const Node*>& InOrder() const { return inOrder_; }  // every item, by creation

    Node* Find(const std::string& id);
    const Node* Find(const std::string& id) const;
    std::vector<const Node*> Children(const std::string& id) const;  // in creation order
    std::vector<const Node*> Trashed() const;  // what was put in the trash itself, in creation order
    Node* ChildByName(const std::string& parentId, const std::string& name,
                      bool ignoreCase);  // trashed items hold no name

    Node& AddFolder(const std::string& parentId, const std::string& name, TimePoint now);
    Node& AddFile(const std::string& parentId, const std::string& name, BlobRef content, std::string mimeType,
                  TimePoint now);
    void SetContent(Node& node, BlobRef content, TimePoint now);
    // Moves and renames go through the tree so that its indexes follow.
    void Move(Node& node, const std::string& parentId);
    void Rename(Node& node, const std::string& name);
    void Touch(Node& node, TimePoint now);
    void Remove(const std::string& id);  // with everything below it
    // Puts an item into the trash, or takes it out, with what is below it; items below that were put
    // there themselves keep their own state.
    void Trash(Node& node, bool trashed, TimePoint now);
    // A copy of the item (with everything below it but what is in the trash) under another parent;
    // contents are shared, not copied.
    Node& Copy(const Node& node, const std::string& parentId, const std::string& name, TimePoint now);
    bool IsInside(const std::string& id, const std::string& ancestorId) const;
    std::int64_t TotalSize(const std::string& id) const;
    std::vector<const Node*> Ancestors(const std::string& id) const;  // root first, without the node

    // "/"-separated names below the root; empty or "/" is the root.
    std::string PathOf(const std::string& id) const;
    Node* FindPath(const std::string& path, bool ignoreCase);
    Node& EnsureFolders(const std::string& path, bool ignoreCase, TimePoint now);

    // The stored form of the tree: one record per item. Loading puts the records back in the order
    // they were made; `contents` shares one content between the items that name the same file.
    using Contents = std::map<std::string, BlobRef>;
    static Json ItemRecord(const Node& node);
    void StartLoad();
    void LoadItem(const Json& record, BlobStore& blobs, Contents& contents);
    void FinishLoad();
    // An earlier version's saved tree: every record in one array.
    void Load(const Json& state, BlobStore& blobs, Contents& contents);

    // What changed since the last call, for the store: the records of items that were made or may
    // have been changed (any item handed out for change, unless its record is as stored), the ids
    // of items removed, after `cleared` dropped all earlier ones.
    struct Row {
        std::string id, parentId, name;
        std::uint64_t order;
        std::string record;  // JSON text
    };
    // With them the change journal: the changes made since, those older than `keptFrom` dropped, and
    // the journal's own record (JournalRecord) when it moved.
    struct Pending {
        bool cleared = false;
        std::vector<Row> rows;
        std::vector<std::string> removed;
        std::vector<Change> changes;
        std::uint64_t keptFrom = 0;
        std::optional<Json> journal;
    };
    Pending TakePending();
    void MarkAllPending();  // the next TakePending rewrites everything
    // The journal as stored: its epoch, the next change's number and the generation. Put back after
    // the items (FinishLoad starts a new journal), so a change feed goes on where it was.
    Json JournalRecord() const;
    void RestoreJournal(const Json& record, std::deque<Change> changes);

private:
    std::string rootId_;
    IdMaker makeId_;
    std::map<std::string, Node> nodes_;  // by id
    struct Folder {
        std::map<std::uint64_t, Node*> byOrder;         // children in creation order
        std::multimap<std::string, Node*> byLowerName;  // children by name, case folded
    };
    std::map<std::string, Folder> folders_;  // by parent id
    std::map<std::uint64_t, const Node*> inOrder_;
    std::uint64_t nextOrder_ = 1;
    std::uint64_t generation_ = 0;
    std::deque<Change> changes_;
    std::uint64_t nextChange_ = 1;
    std::string epoch_;
    bool cleared_ = false;
    std::unordered_set<std::string> touched_, removed_;
    std::uint64_t storedChange_ = 0;  // the newest change handed to the store
    std::uint64_t storedKeptFrom_ = 0;

    Node& Insert(Node node);
    void Record(const Node& node, bool withDescendants = false);
    void StartJournal();
    void Link(Node& node);
    void Unlink(Node& node);
};

// Splits a "/"-separated path into names, dropping empty ones. Returns false for "." or "..".
bool SplitPath(const std::string& path, std::vector<std::string>& names);

}  // namespace Nimbo::Emulator
