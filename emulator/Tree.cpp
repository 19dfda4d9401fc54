#include "emulator/Tree.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace Nimbo::Emulator {

bool SplitPath(const std::string& path, std::vector<std::string>& names) {
    names.clear();
    std::size_t start = 0;
    while (start <= path.size()) {
        auto slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        std::string name = path.substr(start, slash - start);
        if (name == "." || name == "..") return false;
        if (!name.empty()) names.push_back(name);
        start = slash + 1;
    }
    return true;
}

Tree::Tree(std::string rootId, IdMaker makeId) : rootId_(std::move(rootId)), makeId_(std::move(makeId)) {
    Clear(Clock::now());
}

namespace {
constexpr std::size_t KeptChanges = 100000;
}

void Tree::StartJournal() {
    changes_.clear();
    epoch_ = RandomToken(8);
}

void Tree::Record(const Node& node, bool withDescendants) {
    if (node.id == rootId_) return;
    changes_.push_back({nextChange_++, PathOf(node.id)});
    if (changes_.size() > KeptChanges) changes_.pop_front();
    if (withDescendants)
        for (const Node* child : Children(node.id)) Record(*child, true);
}

void Tree::Clear(TimePoint now) {
    nodes_.clear();
    folders_.clear();
    inOrder_.clear();
    touched_.clear();
    removed_.clear();
    cleared_ = true;
    StartJournal();
    Node root;
    root.id = rootId_;
    root.folder = true;
    root.created = root.modified = now;
    Insert(std::move(root));
}

Node& Tree::Insert(Node node) {
    node.order = nextOrder_++;
    ++generation_;
    auto id = node.id;
    Node& stored = nodes_[id] = std::move(node);
    stored.storedDigest = 0;
    touched_.insert(id);
    removed_.erase(id);
    Link(stored);
    inOrder_[stored.order] = &stored;
    Record(stored);
    return stored;
}

void Tree::Link(Node& node) {
    if (node.id == rootId_) return;
    Folder& folder = folders_[node.parentId];
    folder.byOrder[node.order] = &node;
    folder.byLowerName.emplace(ToLower(node.name), &node);
}

void Tree::Unlink(Node& node) {
    auto it = folders_.find(node.parentId);
    if (it == folders_.end()) return;
    it->second.byOrder.erase(node.order);
    auto [first, last] = it->second.byLowerName.equal_range(ToLower(node.name));
    for (auto at = first; at != last; ++at)
        if (at->second == &node) {
            it->second.byLowerName.erase(at);
            break;
        }
}

void Tree::Move(Node& node, const std::string& parentId) {
    Record(node);
    Unlink(node);
    node.parentId = parentId;
    Link(node);
    Record(node, true);
    ++generation_;
}

void Tree::Rename(Node& node, const std::string& name) {
    Record(node);
    Unlink(node);
    node.name = name;
    Link(node);
    Record(node, true);
    ++generation_;
}

Node* Tree::Find(const std::string& id) {
    auto it = nodes_.find(id);
    if (it == nodes_.end()) return nullptr;
    touched_.insert(id);  // the caller may change it
    return &it->second;
}

const Node* Tree::Find(const std::string& id) const {
    auto it = nodes_.find(id);
    return it == nodes_.end() ? nullptr : &it->second;
}

std::vector<const Node*> Tree::Children(const std::string& id) const {
    std::vector<const Node*> result;
    if (auto it = folders_.find(id); it != folders_.end())
        for (const auto& [order, node] : it->second.byOrder) result.push_back(node);
    return result;
}

std::vector<const Node*> Tree::Trashed() const {
    std::vector<const Node*> result;
    for (const auto& [order, node] : inOrder_)
        if (node->explicitlyTrashed) result.push_back(node);
    return result;
}

Node* Tree::ChildByName(const std::string& parentId, const std::string& name, bool ignoreCase) {
    auto it = folders_.find(parentId);
    if (it == folders_.end()) return nullptr;
    auto [first, last] = it->second.byLowerName.equal_range(ToLower(name));
    for (auto at = first; at != last; ++at)
        if (!at->second->trashed && (ignoreCase || at->second->name == name)) {
            touched_.insert(at->second->id);  // the caller may change it
            return at->second;
        }
    return nullptr;
}

Node& Tree::AddFolder(const std::string& parentId, const std::string& name, TimePoint now) {
    Node node;
    node.id = makeId_(true);
    node.parentId = parentId;
    node.name = name;
    node.folder = true;
    node.created = node.modified = now;
    return Insert(std::move(node));
}

Node& Tree::AddFile(const std::string& parentId, const std::string& name, BlobRef content, std::string mimeType,
                    TimePoint now) {
    Node node;
    node.id = makeId_(false);
    node.parentId = parentId;
    node.name = name;
    node.content = std::move(content);
    node.mimeType = std::move(mimeType);
    node.created = node.modified = now;
    return Insert(std::move(node));
}

void Tree::SetContent(Node& node, BlobRef content, TimePoint now) {
    node.content = std::move(content);
    Touch(node, now);
}

void Tree::Touch(Node& node, TimePoint now) {
    node.modified = std::max(now, node.modified);
    ++node.version;
    ++generation_;
    Record(node);
}

void Tree::Remove(const std::string& id) {
    if (id == rootId_) throw std::logic_error("the root cannot be removed");
    for (const Node* child : Children(id)) Remove(child->id);
    auto it = nodes_.find(id);
    if (it == nodes_.end()) return;
    Record(it->second);
    Unlink(it->second);
    touched_.erase(id);
    removed_.insert(id);
    inOrder_.erase(it->second.order);
    folders_.erase(id);
    nodes_.erase(it);
    ++generation_;
}

void Tree::Trash(Node& node, bool trashed, TimePoint now) {
    node.trashed = node.explicitlyTrashed = trashed;
    node.trashedAt = trashed ? now : TimePoint{};
    ++generation_;
    Record(node);
    std::vector<const Node*> pending = Children(node.id);
    while (!pending.empty()) {
        Node* child = Find(pending.back()->id);
        pending.pop_back();
        if (child->explicitlyTrashed) continue;
        child->trashed = trashed;
        child->trashedAt = node.trashedAt;
        for (const Node* below : Children(child->id)) pending.push_back(below);
    }
}

Node& Tree::Copy(const Node& node, const std::string& parentId, const std::string& name, TimePoint now) {
    Node copy = node;
    copy.id = makeId_(node.folder);
    copy.parentId = parentId;
    copy.name = name;
    copy.created = copy.modified = now;
    copy.version = 0;
    copy.trashed = copy.explicitlyTrashed = false;
    copy.trashedAt = {};
    Node& made = Insert(std::move(copy));
    for (const Node* child : Children(node.id))
        if (!child->trashed) Copy(*child, made.id, child->name, now);
    return made;
}

bool Tree::IsInside(const std::string& id, const std::string& ancestorId) const {
    for (const Node* node = Find(id); node && node->id != rootId_; node = Find(node->parentId))
        if (node->parentId == ancestorId) return true;
    return false;
}

std::int64_t Tree::TotalSize(const std::string& id) const {
    const Node* node = Find(id);
    if (!node) return 0;
    if (!node->folder) return node->Size();
    std::int64_t total = 0;
    for (const Node* child : Children(id)) total += TotalSize(child->id);
    return total;
}

std::vector<const Node*> Tree::Ancestors(const std::string& id) const {
    std::vector<const Node*> result;
    const Node* node = Find(id);
    while (node && node->id != rootId_) {
        node = Find(node->parentId);
        if (node) result.insert(result.begin(), node);
    }
    return result;
}

std::string Tree::PathOf(const std::string& id) const {
    std::string path;
    for (const Node* node = Find(id); node && node->id != rootId_; node = Find(node->parentId))
        path = "/" + node->name + path;
    return path.empty() ? "/" : path;
}

Node* Tree::FindPath(const std::string& path, bool ignoreCase) {
    std::vector<std::string> names;
    if (!SplitPath(path, names)) return nullptr;
    Node* node = Find(rootId_);
    for (const auto& name : names) {
        if (!node || !node->folder) return nullptr;
        node = ChildByName(node->id, name, ignoreCase);
    }
    return node;
}

Node& Tree::EnsureFolders(const std::string& path, bool ignoreCase, TimePoint now) {
    std::vector<std::string> names;
    if (!SplitPath(path, names)) throw std::invalid_argument("path with . or ..: " + path);
    Node* node = Find(rootId_);
    for (const auto& name : names) {
        Node* child = ChildByName(node->id, name, ignoreCase);
        if (child && !child->folder) throw std::invalid_argument("a file is in the way: " + path);
        node = child ? child : &AddFolder(node->id, name, now);
    }
    return *node;
}

Json Tree::ItemRecord(const Node& node) {
    return {{"id", node.id},
            {"parent", node.parentId},
            {"name", node.name},
            {"order", node.order},
            {"folder", node.folder},
            {"mime", node.mimeType},
            {"content", node.content ? node.content->Name() : ""},
            {"size", node.Size()},
            {"md5", node.Md5()},
            {"sha1", node.Sha1()},
            {"sha256", node.Sha256()},
            {"quickXor", node.content ? node.content->QuickXor() : EmptyQuickXor()},
            {"description", node.description},
            {"created", ToMillis(node.created)},
            {"modified", ToMillis(node.modified)},
            {"version", node.version},
            {"trashed", node.trashed},
            {"explicitlyTrashed", node.explicitlyTrashed},
            {"trashedAt", ToMillis(node.trashedAt)},
            {"contentCreated", node.contentCreated ? Json(ToMillis(*node.contentCreated)) : Json()},
            {"contentModified", node.contentModified ? Json(ToMillis(*node.contentModified)) : Json()}};
}

// A stored item's content: the name of its file in the store (states written before contents were
// files held the bytes themselves, in base64, without a size). Items naming the same file share it.
static BlobRef LoadContent(const Json& item, BlobStore& blobs, Tree::Contents& contents) {
    const std::string text = item.value("content", "");
    if (!item.contains("size")) {
        BlobRef blob = blobs.Put(Base64Decode(text));
        if (blob) contents.emplace(blob->Name(), blob);
        return blob;
    }
    auto size = item.at("size").get<std::uint64_t>();
    if (size == 0) return nullptr;
    if (auto known = contents.find(text); known != contents.end() && known->second && known->second->Size() == size)
        return known->second;
    BlobRef blob = blobs.Existing(text, size, item.value("md5", ""), item.value("sha1", ""), item.value("sha256", ""),
                                  item.value("quickXor", ""));
    if (!blob)
        std::fprintf(stderr, "cloud-emulator: the content of %s is missing; it is empty now\n",
                     item.value("name", "?").c_str());
    else
        contents.emplace(text, blob);
    return blob;
}

void Tree::StartLoad() {
    nodes_.clear();
    folders_.clear();
    inOrder_.clear();
    nextOrder_ = 1;
}

void Tree::LoadItem(const Json& item, BlobStore& blobs, Contents& contents) {
    Node node;
    node.id = item.at("id").get<std::string>();
    node.parentId = item.at("parent").get<std::string>();
    node.name = item.at("name").get<std::string>();
    node.folder = item.at("folder").get<bool>();
    node.mimeType = item.at("mime").get<std::string>();
    node.content = LoadContent(item, blobs, contents);
    node.description = item.value("description", "");
    node.created = FromMillis(item.at("created").get<std::int64_t>());
    node.modified = FromMillis(item.at("modified").get<std::int64_t>());
    node.version = item.at("version").get<std::uint64_t>();
    node.trashed = item.value("trashed", false);
    node.explicitlyTrashed = item.value("explicitlyTrashed", false);
    node.trashedAt = FromMillis(item.value("trashedAt", std::int64_t{0}));
    if (item.contains("contentCreated") && item["contentCreated"].is_number())
        node.contentCreated = FromMillis(item["contentCreated"].get<std::int64_t>());
    if (item.contains("contentModified") && item["contentModified"].is_number())
        node.contentModified = FromMillis(item["contentModified"].get<std::int64_t>());
    nextOrder_ = std::max(nextOrder_, item.value("order", std::uint64_t{0}));
    Insert(std::move(node));
}

void Tree::FinishLoad() {
    if (!Find(rootId_)) Clear(Clock::now());
    StartJournal();
    touched_.clear();
    removed_.clear();
    cleared_ = false;
}

void Tree::Load(const Json& state, BlobStore& blobs, Contents& contents) {
    StartLoad();
    for (const auto& item : state) LoadItem(item, blobs, contents);
    FinishLoad();
    MarkAllPending();
}

Json Tree::JournalRecord() const { return {{"epoch", epoch_}, {"next", nextChange_}, {"generation", generation_}}; }

void Tree::RestoreJournal(const Json& record, std::deque<Change> changes) {
    epoch_ = record.at("epoch").get<std::string>();
    nextChange_ = record.at("next").get<std::uint64_t>();
    generation_ = std::max(generation_, record.at("generation").get<std::uint64_t>());
    changes_ = std::move(changes);
    while (!changes_.empty() && changes_.back().sequence >= nextChange_) changes_.pop_back();
    storedChange_ = nextChange_ - 1;
    storedKeptFrom_ = changes_.empty() ? nextChange_ : changes_.front().sequence;
}

void Tree::MarkAllPending() {
    cleared_ = true;
    removed_.clear();
    storedChange_ = 0;
    storedKeptFrom_ = 0;
    for (auto& [id, node] : nodes_) {
        node.storedDigest = 0;
        touched_.insert(id);
    }
}

Tree::Pending Tree::TakePending() {
    Pending pending;
    pending.cleared = std::exchange(cleared_, false);
    pending.removed.assign(removed_.begin(), removed_.end());
    for (const auto& id : touched_) {
        auto it = nodes_.find(id);
        if (it == nodes_.end()) continue;
        Node& node = it->second;
        std::string record = JsonText(ItemRecord(node));
        std::size_t digest = std::hash<std::string>()(record) | 1;  // never 0, which means none
        if (digest == node.storedDigest && !pending.cleared) continue;
        node.storedDigest = digest;
        if (node.content) node.content->MarkNamedByState();
        pending.rows.push_back({node.id, node.parentId, node.name, node.order, std::move(record)});
    }
    if (pending.cleared) storedChange_ = 0;
    if (storedChange_ != nextChange_ - 1 || pending.cleared) {
        for (auto it = changes_.rbegin(); it != changes_.rend() && it->sequence > storedChange_; ++it)
            pending.changes.push_back(*it);
        std::reverse(pending.changes.begin(), pending.changes.end());
        storedChange_ = nextChange_ - 1;
    }
    const std::uint64_t keptFrom = changes_.empty() ? nextChange_ : changes_.front().sequence;
    if (keptFrom != storedKeptFrom_) pending.keptFrom = storedKeptFrom_ = keptFrom;
    if (!pending.rows.empty() || !pending.removed.empty() || !pending.changes.empty() || pending.cleared)
        pending.journal = JournalRecord();
    // Emptied the cheap way: clearing walks every bucket, as many as once held the whole tree.
    touched_ = {};
    removed_ = {};
    return pending;
}

}  // namespace Nimbo::Emulator
