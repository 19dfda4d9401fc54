#pragma once
// File contents as files: every content is written once into the store's folder, never changed,
// shared by whoever holds it, and removed when nobody does any more (at once when no saved state
// has named it, such as the parts of an abandoned upload). Request bodies arrive in a
// Spool that keeps small ones in memory and writes large ones straight into the store, so no
// content ever sits whole in memory.

#include "emulator/QuickXorHash.h"

#include <openssl/evp.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace Nimbo::Emulator {

class BlobStore;
struct BlobFolder;  // the folder and what waits there to be removed; outlives the store's blobs

// One stored content: a file that does not change while the Blob exists.
class Blob {
public:
    Blob(std::shared_ptr<BlobFolder> folder, std::string name, std::uint64_t size, std::string md5, std::string sha1,
         std::string sha256, std::string quickXor);
    ~Blob();  // hands the file back for removal
    Blob(const Blob&) = delete;
    Blob& operator=(const Blob&) = delete;

    const std::string& Name() const { return name_; }
    std::uint64_t Size() const { return size_; }
    // The digests are kept as raw bytes (a quarter of their text, and no allocations of their own).
    std::string Md5() const;       // hex
    std::string Sha1() const;      // hex
    std::string Sha256() const;    // hex
    std::string QuickXor() const;  // base64, see QuickXorHash
    std::filesystem::path Path() const;
    std::string Read() const;  // the whole content: for tests and small files only
    // A state that names this content is being written: from now on its file outlives it until a
    // state that no longer names it is on disk.
    void MarkNamedByState() const { namedByState_ = true; }

private:
    std::shared_ptr<BlobFolder> folder_;
    std::string name_;
    std::uint64_t size_;
    std::array<unsigned char, 16> md5_{};
    std::array<unsigned char, 20> sha1_{};
    std::array<unsigned char, 32> sha256_{};
    std::array<unsigned char, 20> quickXor_{};
    mutable std::atomic<bool> namedByState_{false};
};

using BlobRef = std::shared_ptr<const Blob>;  // null: empty content

// The digests of empty content, for items whose content is null.
const std::string& EmptyMd5();
const std::string& EmptySha1();
const std::string& EmptySha256();
const std::string& EmptyQuickXor();
// Whether two contents hold the same bytes (by size and digests).
bool SameBytes(const BlobRef& a, const BlobRef& b);

// A new content being written into the store, hashed on the way. Dropped unfinished, its file goes.
class BlobWriter {
public:
    explicit BlobWriter(std::shared_ptr<BlobFolder> folder);
    ~BlobWriter();
    BlobWriter(const BlobWriter&) = delete;
    BlobWriter& operator=(const BlobWriter&) = delete;

    void Write(std::string_view bytes);  // throws std::runtime_error when the disk refuses
    // Copies `length` bytes of another content from `offset` on.
    void Copy(const std::filesystem::path& from, std::uint64_t offset, std::uint64_t length);
    std::uint64_t Size() const { return size_; }
    const std::string& Name() const { return name_; }
    // The bytes so far reach the disk (with a saved state); from now on the file outlives the
    // writer until a state that no longer names it is on disk, as a named Blob's does.
    void Sync();
    BlobRef Finish();          // the content, closed; the writer is spent
    BlobRef FinishUnsynced();  // the same, leaving the synchronisation to the caller

private:
    friend class BlobStore;
    BlobWriter(std::shared_ptr<BlobFolder> folder, std::string name, int fd);
    std::shared_ptr<BlobFolder> folder_;
    std::string name_;
    int fd_ = -1;
    bool namedByState_ = false;
    BlobRef Close(bool sync);
    std::uint64_t size_ = 0;
    EVP_MD_CTX *md5_, *sha1_, *sha256_;
    QuickXorHash quickXor_;
};

class BlobStore {
public:
    // Keeps contents in `folder` (made private to the owner); an empty path: a temporary folder,
    // removed with the store.
    explicit BlobStore(const std::filesystem::path& folder);
    ~BlobStore();
    BlobStore(const BlobStore&) = delete;
    BlobStore& operator=(const BlobStore&) = delete;

    BlobRef Put(std::string_view bytes);  // null for empty content
    // Many contents, synchronised to the disk together (one sync of the file system) rather than
    // one by one.
    std::vector<BlobRef> PutAll(const std::vector<std::string_view>& contents);
    std::unique_ptr<BlobWriter> Writer();
    // A writer that goes on after the first `size` bytes of a file a saved state names (bytes
    // beyond them, written for an answer never given, are cut off). Throws std::runtime_error when
    // the file is gone or shorter.
    std::unique_ptr<BlobWriter> ResumeWriter(const std::string& name, std::uint64_t size);
    // A content stored earlier (a saved state names it, and it counts as named by one); null when its file is gone or
    // has another size. Digests the state does not name (it was saved before they were kept) are computed from the
    // file.
    BlobRef Existing(const std::string& name, std::uint64_t size, std::string md5, std::string sha1,
                     std::string sha256 = "", std::string quickXor = "");
    // Removes files no stored state can name: everything but `kept`.
    template <class Names>
    void RemoveAllBut(const Names& kept) {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(Folder(), error))
            if (!kept.count(entry.path().filename().string())) std::filesystem::remove(entry.path(), error);
    }
    const std::filesystem::path& Folder() const;

    // With a saved state, a released content's file must stay until a state no longer naming it is
    // saved: TakeReleased when the state is taken, RemoveFiles once it is on disk. Without one
    // (deferred false) files go at once. Deferred contents are also synchronised to the disk before
    // they count as written, so a state naming them never outlives them.
    void DeferRemoval(bool deferred);
    std::vector<std::string> TakeReleased();
    void KeepReleased(std::vector<std::string> names);  // taken, but the state naming them is still on disk
    void RemoveFiles(const std::vector<std::string>& names);

private:
    std::shared_ptr<BlobFolder> folder_;
    bool temporary_;
};

// A request body (or one part of it) as it arrives: in memory up to a limit, beyond that in a
// store file. It keeps a prefix, the size and the SHA-256 for the request log.
class Spool {
public:
    Spool(std::shared_ptr<BlobStore> store, std::size_t prefixBytes, std::size_t memoryLimit = 1u << 20);
    void Write(std::string_view bytes);
    void Finish();  // the body is complete: the SHA-256 is final

    std::uint64_t Size() const { return size_; }
    bool InMemory() const { return !writer_ && !blob_; }
    const std::string& Text() const { return memory_; }  // the bytes when InMemory(), else empty
    const std::string& Prefix() const { return prefix_; }
    const std::string& Sha256() const { return sha256_; }

    // The bytes as stored content (the same every call; a file kept on disk is taken as it is).
    BlobRef Blob();
    // Adds the bytes from `skip` on to a content being written; an empty slot takes the spool's own
    // file when it can, so a first chunk costs nothing.
    void AppendTo(std::unique_ptr<BlobWriter>& writer, std::uint64_t skip);

private:
    std::shared_ptr<BlobStore> store_;
    std::size_t prefixBytes_, memoryLimit_;
    std::string memory_, prefix_, sha256_;
    std::unique_ptr<BlobWriter> writer_;
    BlobRef blob_;
    std::uint64_t size_ = 0;
    std::shared_ptr<EVP_MD_CTX> hash_;
};

// One part of a multipart request body.
struct BodyPart {
    std::string name, fileName, contentType;
    std::shared_ptr<Spool> data;

    const std::string& Text() const { return data->Text(); }  // small parts (fields, metadata)
    std::uint64_t Size() const { return data->Size(); }
    BlobRef Content() const { return data->Blob(); }
};

}  // namespace Nimbo::Emulator
