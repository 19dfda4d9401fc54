#pragma once
// What a service keeps beside its tree and grants: upload sessions, pending operations, counters.
// Each kind is a table of JSON records by key that notes which keys a request may have changed, so
// the store writes only those; the bytes a session has received so far are a content file,
// synchronised before the record naming them is written.

#include "emulator/Blobs.h"
#include "emulator/Json.h"
#include "emulator/Tree.h"

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace Nimbo::Emulator {

// Puts the contents a stored record names back, shared with the tree's.
class RecordLoader {
public:
    RecordLoader(BlobStore& blobs, Tree::Contents& contents) : blobs_(blobs), contents_(contents) {}
    // A finished content (see ContentRecord); null for empty content or when its file is gone.
    BlobRef Content(const Json& record) const;
    // Bytes received so far (see WriterRecord), to be added to; null when there were none. Throws
    // std::runtime_error when the file is gone or shorter than the record says.
    std::unique_ptr<BlobWriter> Writer(const Json& record) const;

private:
    BlobStore& blobs_;
    Tree::Contents& contents_;
};

// A content as a record names it; from now on its file outlives it until a state without it is stored.
Json ContentRecord(const BlobRef& content);
// The bytes received so far, synchronised to the disk first (throws when they cannot be).
Json WriterRecord(const std::unique_ptr<BlobWriter>& writer);
Json TimeRecord(TimePoint time);
TimePoint TimeOf(const Json& record);
Json OptionalTime(const std::optional<TimePoint>& time);
std::optional<TimePoint> OptionalTimeOf(const Json& record);

// One kind of record of a service, as the store sees it.
class RecordTable {
public:
    explicit RecordTable(std::string kind) : kind_(std::move(kind)) {}
    virtual ~RecordTable() = default;
    RecordTable(const RecordTable&) = delete;
    RecordTable& operator=(const RecordTable&) = delete;

    const std::string& Kind() const { return kind_; }
    // What changed since the last call: every key handed out for change, with its record or none
    // when it is gone, after `cleared` dropped all earlier ones.
    struct Pending {
        bool cleared = false;
        std::vector<std::pair<std::string, std::optional<Json>>> records;
    };
    virtual Pending TakePending() = 0;
    virtual void MarkAllPending() = 0;  // the next TakePending rewrites everything
    // Puts one stored record back; a record that can no longer be used is dropped with a message.
    virtual void LoadRecord(const std::string& key, const Json& record, const RecordLoader& loader) = 0;

private:
    std::string kind_;
};

// A map of records by key that notes the keys handed out for change (find, [], at, emplace, erase,
// and a mutable walk over all of them).
template <class T>
class KeptMap final : public RecordTable {
public:
    using Map = std::map<std::string, T>;
    using iterator = typename Map::iterator;
    using const_iterator = typename Map::const_iterator;
    using Save = std::function<Json(T&)>;
    using Restore = std::function<T(const Json&, const RecordLoader&)>;  // throws for a record it cannot use

    KeptMap(std::string kind, Save save, Restore restore)
        : RecordTable(std::move(kind)), save_(std::move(save)), restore_(std::move(restore)) {}

    iterator find(const std::string& key) {
        auto it = map_.find(key);
        if (it != map_.end()) touched_.insert(key);
        return it;
    }
    const_iterator find(const std::string& key) const { return map_.find(key); }
    iterator begin() {
        for (const auto& entry : map_) touched_.insert(entry.first);
        return map_.begin();
    }
    iterator end() { return map_.end(); }
    const_iterator begin() const { return map_.begin(); }
    const_iterator end() const { return map_.end(); }
    T& operator[](const std::string& key) {
        touched_.insert(key);
        return map_[key];
    }
    T& at(const std::string& key) {
        touched_.insert(key);
        return map_.at(key);
    }
    template <class... Args>
    std::pair<iterator, bool> emplace(Args&&... args) {
        auto result = map_.emplace(std::forward<Args>(args)...);
        touched_.insert(result.first->first);
        return result;
    }
    iterator erase(iterator it) {
        touched_.insert(it->first);
        return map_.erase(it);
    }
    std::size_t erase(const std::string& key) {
        touched_.insert(key);
        return map_.erase(key);
    }
    template <class Predicate>
    void EraseIf(Predicate drop) {
        for (auto it = map_.begin(); it != map_.end();) it = drop(*it) ? erase(it) : std::next(it);
    }
    void clear() {
        map_.clear();
        touched_.clear();
        cleared_ = true;
    }
    std::size_t count(const std::string& key) const { return map_.count(key); }
    std::size_t size() const { return map_.size(); }
    bool empty() const { return map_.empty(); }

    Pending TakePending() override {
        Pending pending{std::exchange(cleared_, false), {}};
        for (const auto& key : touched_) {
            auto it = map_.find(key);
            pending.records.emplace_back(key, it == map_.end() ? std::nullopt : std::optional(save_(it->second)));
        }
        touched_.clear();
        return pending;
    }
    void MarkAllPending() override {
        cleared_ = true;
        for (const auto& entry : map_) touched_.insert(entry.first);
    }
    void LoadRecord(const std::string& key, const Json& record, const RecordLoader& loader) override;

private:
    Save save_;
    Restore restore_;
    Map map_;
    std::set<std::string> touched_;
    bool cleared_ = false;
};

// Reports a stored record that could not be put back.
void ReportDroppedRecord(const std::string& kind, const std::string& key, const std::string& why);

template <class T>
void KeptMap<T>::LoadRecord(const std::string& key, const Json& record, const RecordLoader& loader) {
    try {
        map_.insert_or_assign(key, restore_(record, loader));
    } catch (const std::exception& error) {
        ReportDroppedRecord(Kind(), key, error.what());
        touched_.insert(key);  // gone from the store too with the next commit
    }
}

// One value kept as a record (a counter, say); Set marks it changed.
template <class T>
class KeptValue final : public RecordTable {
public:
    KeptValue(std::string kind, T initial) : RecordTable(std::move(kind)), initial_(initial), value_(initial) {}
    const T& Get() const { return value_; }
    T& Change() {
        changed_ = true;
        return value_;
    }
    void Reset() {
        value_ = initial_;
        changed_ = true;
    }
    Pending TakePending() override {
        Pending pending;
        if (std::exchange(changed_, false)) pending.records.emplace_back("", Json(value_));
        return pending;
    }
    void MarkAllPending() override { changed_ = true; }
    void LoadRecord(const std::string&, const Json& record, const RecordLoader&) override { value_ = record.get<T>(); }

private:
    T initial_, value_;
    bool changed_ = false;
};

}  // namespace Nimbo::Emulator
