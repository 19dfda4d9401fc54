#include "emulator/Blobs.h"

#include "emulator/Files.h"
#include "emulator/Json.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace Nimbo::Emulator {

struct BlobFolder {
    std::filesystem::path path;
    std::mutex mutex;
    bool deferred = false;
    std::vector<std::string> released;

    void Release(const std::string& name, bool namedByState) {
        std::lock_guard lock(mutex);
        if (deferred && namedByState)
            released.push_back(name);
        else
            ::unlink((path / name).c_str());
    }
};

namespace {

constexpr std::size_t CopyBuffer = 1u << 20;

[[noreturn]] void Fail(const std::string& what, const std::filesystem::path& path) {
    throw std::runtime_error("cannot " + what + " " + path.string() + ": " + std::strerror(errno));
}

struct ContextFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

EVP_MD_CTX* NewContext(const EVP_MD* md) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (!ctx || EVP_DigestInit_ex(ctx, md, nullptr) != 1) throw std::runtime_error("cannot start a digest");
    return ctx;
}

std::string FinalHex(EVP_MD_CTX* ctx) {
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx, value, &length);
    return HexOf(std::string_view(reinterpret_cast<const char*>(value), length));
}

// The digests of a content's file, for a state saved before all of them were kept; false when the
// file cannot be read to its size.
struct FileDigests {
    std::string md5, sha1, sha256, quickXor;
};
bool DigestFile(const std::filesystem::path& path, std::uint64_t size, FileDigests& digests) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::unique_ptr<int, void (*)(int*)> closer(&fd, [](int* f) { ::close(*f); });
    std::unique_ptr<EVP_MD_CTX, ContextFree> md5(NewContext(EVP_md5())), sha1(NewContext(EVP_sha1())),
        sha256(NewContext(EVP_sha256()));
    QuickXorHash xorHash;
    std::string buffer(CopyBuffer, '\0');
    std::uint64_t done = 0;
    while (done < size) {
        auto n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        for (EVP_MD_CTX* ctx : {md5.get(), sha1.get(), sha256.get()})
            EVP_DigestUpdate(ctx, buffer.data(), static_cast<std::size_t>(n));
        xorHash.Update(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
        done += static_cast<std::uint64_t>(n);
    }
    digests = {FinalHex(md5.get()), FinalHex(sha1.get()), FinalHex(sha256.get()), xorHash.Base64Digest()};
    return true;
}

template <std::size_t N>
std::string_view View(const std::array<unsigned char, N>& raw) {
    return {reinterpret_cast<const char*>(raw.data()), N};
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

template <std::size_t N>
bool RawDigest(const std::string& hex, std::array<unsigned char, N>& raw) {
    if (hex.size() != 2 * N) return false;
    for (std::size_t i = 0; i < N; ++i) {
        int high = HexValue(hex[2 * i]), low = HexValue(hex[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        raw[i] = static_cast<unsigned char>(high * 16 + low);
    }
    return true;
}

template <std::size_t N>
bool RawQuickXor(const std::string& base64, std::array<unsigned char, N>& raw) {
    std::string bytes;
    try {
        bytes = Base64Decode(base64);
    } catch (const std::invalid_argument&) {
        return false;
    }
    if (bytes.size() != N) return false;
    std::copy(bytes.begin(), bytes.end(), raw.begin());
    return true;
}

}  // namespace

const std::string& EmptyMd5() {
    static const std::string md5 = Md5Hex("");
    return md5;
}

const std::string& EmptySha1() {
    static const std::string sha1 = Sha1Hex("");
    return sha1;
}

const std::string& EmptySha256() {
    static const std::string sha256 = Sha256Hex("");
    return sha256;
}

const std::string& EmptyQuickXor() {
    static const std::string quickXor = QuickXorHash().Base64Digest();
    return quickXor;
}

bool SameBytes(const BlobRef& a, const BlobRef& b) {
    if (!a || !b) return !a && !b;
    return a == b || (a->Size() == b->Size() && a->Sha1() == b->Sha1() && a->Md5() == b->Md5());
}

// --- Blob ---

Blob::Blob(std::shared_ptr<BlobFolder> folder, std::string name, std::uint64_t size, std::string md5, std::string sha1,
           std::string sha256, std::string quickXor)
    : folder_(std::move(folder)), name_(std::move(name)), size_(size) {
    if (!RawDigest(md5, md5_) || !RawDigest(sha1, sha1_) || !RawDigest(sha256, sha256_) ||
        !RawQuickXor(quickXor, quickXor_))
        throw std::invalid_argument("malformed digests of content " + name_);
}

std::string Blob::Md5() const { return HexOf(View(md5_)); }
std::string Blob::Sha1() const { return HexOf(View(sha1_)); }
std::string Blob::Sha256() const { return HexOf(View(sha256_)); }
std::string Blob::QuickXor() const { return Base64Encode(View(quickXor_)); }

Blob::~Blob() { folder_->Release(name_, namedByState_); }

std::filesystem::path Blob::Path() const { return folder_->path / name_; }

std::string Blob::Read() const {
    std::string bytes(size_, '\0');
    int fd = ::open(Path().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) Fail("open", Path());
    std::size_t done = 0;
    while (done < bytes.size()) {
        auto n = ::pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (done != bytes.size()) throw std::runtime_error("stored content ended early: " + Path().string());
    return bytes;
}

// --- BlobWriter ---

BlobWriter::BlobWriter(std::shared_ptr<BlobFolder> folder)
    : folder_(std::move(folder)),
      md5_(NewContext(EVP_md5())),
      sha1_(NewContext(EVP_sha1())),
      sha256_(NewContext(EVP_sha256())) {
    do {
        // 15 characters (89 random bits; a name taken is drawn again) stay within the string
        // itself, so a content's name costs no allocation of its own.
        name_ = RandomToken(15);
        fd_ = ::open((folder_->path / name_).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    } while (fd_ < 0 && errno == EEXIST);
    if (fd_ < 0) {
        EVP_MD_CTX_free(md5_);
        EVP_MD_CTX_free(sha1_);
        EVP_MD_CTX_free(sha256_);
        Fail("create", folder_->path / name_);
    }
}

BlobWriter::BlobWriter(std::shared_ptr<BlobFolder> folder, std::string name, int fd)
    : folder_(std::move(folder)),
      name_(std::move(name)),
      fd_(fd),
      md5_(NewContext(EVP_md5())),
      sha1_(NewContext(EVP_sha1())),
      sha256_(NewContext(EVP_sha256())) {}

BlobWriter::~BlobWriter() {
    if (fd_ >= 0) {
        ::close(fd_);
        folder_->Release(name_, namedByState_);
    }
    EVP_MD_CTX_free(md5_);
    EVP_MD_CTX_free(sha1_);
    EVP_MD_CTX_free(sha256_);
}

void BlobWriter::Write(std::string_view bytes) {
    if (fd_ < 0) throw std::logic_error("the content is already finished");
    EVP_DigestUpdate(md5_, bytes.data(), bytes.size());
    EVP_DigestUpdate(sha1_, bytes.data(), bytes.size());
    EVP_DigestUpdate(sha256_, bytes.data(), bytes.size());
    quickXor_.Update(bytes);
    while (!bytes.empty()) {
        auto n = ::write(fd_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) Fail("write", folder_->path / name_);
        bytes.remove_prefix(static_cast<std::size_t>(n));
        size_ += static_cast<std::uint64_t>(n);
    }
}

void BlobWriter::Copy(const std::filesystem::path& from, std::uint64_t offset, std::uint64_t length) {
    int fd = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) Fail("open", from);
    std::unique_ptr<int, void (*)(int*)> closer(&fd, [](int* f) { ::close(*f); });
    std::string buffer(CopyBuffer, '\0');
    while (length > 0) {
        auto n = ::pread(fd, buffer.data(), std::min<std::uint64_t>(length, buffer.size()), static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("stored content ended early: " + from.string());
        Write(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
        offset += static_cast<std::uint64_t>(n);
        length -= static_cast<std::uint64_t>(n);
    }
}

void BlobWriter::Sync() {
    if (fd_ < 0) throw std::logic_error("the content is already finished");
    {
        std::lock_guard lock(folder_->mutex);
        if (!folder_->deferred) return;
    }
    if (::fdatasync(fd_) != 0) Fail("write", folder_->path / name_);
    namedByState_ = true;
}

BlobRef BlobWriter::Finish() { return Close(true); }

BlobRef BlobWriter::FinishUnsynced() { return Close(false); }

BlobRef BlobWriter::Close(bool sync) {
    if (fd_ < 0) throw std::logic_error("the content is already finished");
    int fd = std::exchange(fd_, -1);
    auto path = folder_->path / name_;
    bool durable;
    {
        std::lock_guard lock(folder_->mutex);
        durable = folder_->deferred && sync;
    }
    const bool synced = !durable || size_ == 0 || ::fdatasync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!synced || !closed) {
        ::unlink(path.c_str());
        Fail("write", path);
    }
    if (size_ == 0) {
        folder_->Release(name_, namedByState_);
        return nullptr;
    }
    auto blob = std::make_shared<Blob>(folder_, name_, size_, FinalHex(md5_), FinalHex(sha1_), FinalHex(sha256_),
                                       quickXor_.Base64Digest());
    if (namedByState_) blob->MarkNamedByState();
    return blob;
}

// --- BlobStore ---

BlobStore::BlobStore(const std::filesystem::path& folder)
    : folder_(std::make_shared<BlobFolder>()), temporary_(folder.empty()) {
    if (temporary_) {
        std::string pattern = (std::filesystem::temp_directory_path() / "cloud-emulator-files-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) Fail("make", pattern);
        folder_->path = pattern;
    } else {
        MakePrivateFolder(folder);
        folder_->path = folder;
    }
}

BlobStore::~BlobStore() {
    if (!temporary_) return;
    std::error_code ignored;
    std::filesystem::remove_all(folder_->path, ignored);
}

BlobRef BlobStore::Put(std::string_view bytes) {
    if (bytes.empty()) return nullptr;
    BlobWriter writer(folder_);
    writer.Write(bytes);
    return writer.Finish();
}

std::vector<BlobRef> BlobStore::PutAll(const std::vector<std::string_view>& contents) {
    std::vector<BlobRef> blobs;
    blobs.reserve(contents.size());
    for (std::string_view bytes : contents) {
        if (bytes.empty()) {
            blobs.push_back(nullptr);
            continue;
        }
        BlobWriter writer(folder_);
        writer.Write(bytes);
        blobs.push_back(writer.FinishUnsynced());
    }
    bool durable;
    {
        std::lock_guard lock(folder_->mutex);
        durable = folder_->deferred;
    }
    if (durable && !blobs.empty()) {
        int fd = ::open(folder_->path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) Fail("open", folder_->path);
        const bool synced = ::syncfs(fd) == 0;
        ::close(fd);
        if (!synced) Fail("synchronise", folder_->path);
    }
    return blobs;
}

std::unique_ptr<BlobWriter> BlobStore::Writer() { return std::make_unique<BlobWriter>(folder_); }

std::unique_ptr<BlobWriter> BlobStore::ResumeWriter(const std::string& name, std::uint64_t size) {
    auto path = folder_->path / name;
    if (name.empty() || name.find('/') != std::string::npos) throw std::runtime_error("not a content name: " + name);
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) Fail("open", path);
    std::unique_ptr<BlobWriter> writer(new BlobWriter(folder_, name, fd));
    writer->namedByState_ = true;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || static_cast<std::uint64_t>(info.st_size) < size)
        throw std::runtime_error("the received bytes in " + path.string() + " are shorter than stored");
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0) Fail("cut", path);
    std::string buffer(CopyBuffer, '\0');
    for (std::uint64_t done = 0; done < size;) {  // the digests go on from the bytes there
        auto n =
            ::pread(fd, buffer.data(), std::min<std::uint64_t>(size - done, buffer.size()), static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) Fail("read", path);
        const std::string_view bytes(buffer.data(), static_cast<std::size_t>(n));
        for (EVP_MD_CTX* ctx : {writer->md5_, writer->sha1_, writer->sha256_})
            EVP_DigestUpdate(ctx, bytes.data(), bytes.size());
        writer->quickXor_.Update(bytes);
        done += static_cast<std::uint64_t>(n);
    }
    if (::lseek(fd, static_cast<off_t>(size), SEEK_SET) < 0) Fail("seek in", path);
    writer->size_ = size;
    return writer;
}

BlobRef BlobStore::Existing(const std::string& name, std::uint64_t size, std::string md5, std::string sha1,
                            std::string sha256, std::string quickXor) {
    std::error_code error;
    auto path = folder_->path / name;
    if (name.empty() || name.find('/') != std::string::npos || std::filesystem::file_size(path, error) != size || error)
        return nullptr;
    std::shared_ptr<Blob> blob;
    try {
        blob = std::make_shared<Blob>(folder_, name, size, std::move(md5), std::move(sha1), std::move(sha256),
                                      std::move(quickXor));
    } catch (const std::invalid_argument&) {  // digests missing (an earlier state) or damaged: from the file
        FileDigests digests;
        if (!DigestFile(path, size, digests)) return nullptr;
        blob = std::make_shared<Blob>(folder_, name, size, std::move(digests.md5), std::move(digests.sha1),
                                      std::move(digests.sha256), std::move(digests.quickXor));
    }
    blob->MarkNamedByState();
    return blob;
}

const std::filesystem::path& BlobStore::Folder() const { return folder_->path; }

void BlobStore::DeferRemoval(bool deferred) {
    std::lock_guard lock(folder_->mutex);
    folder_->deferred = deferred;
}

std::vector<std::string> BlobStore::TakeReleased() {
    std::lock_guard lock(folder_->mutex);
    return std::exchange(folder_->released, {});
}

void BlobStore::KeepReleased(std::vector<std::string> names) {
    std::lock_guard lock(folder_->mutex);
    folder_->released.insert(folder_->released.end(), names.begin(), names.end());
}

void BlobStore::RemoveFiles(const std::vector<std::string>& names) {
    for (const auto& name : names) ::unlink((folder_->path / name).c_str());
}

// --- Spool ---

Spool::Spool(std::shared_ptr<BlobStore> store, std::size_t prefixBytes, std::size_t memoryLimit)
    : store_(std::move(store)),
      prefixBytes_(prefixBytes),
      memoryLimit_(memoryLimit),
      hash_(NewContext(EVP_sha256()), ContextFree()) {}

void Spool::Write(std::string_view bytes) {
    size_ += bytes.size();
    EVP_DigestUpdate(hash_.get(), bytes.data(), bytes.size());
    if (prefix_.size() < prefixBytes_) prefix_.append(bytes.substr(0, prefixBytes_ - prefix_.size()));
    if (writer_) return writer_->Write(bytes);
    memory_.append(bytes);
    if (memory_.size() > memoryLimit_) {
        writer_ = store_->Writer();
        writer_->Write(memory_);
        std::string().swap(memory_);
    }
}

void Spool::Finish() {
    if (sha256_.empty()) sha256_ = FinalHex(hash_.get());
}

BlobRef Spool::Blob() {
    if (blob_ || size_ == 0) return blob_;
    if (writer_) {
        blob_ = writer_->Finish();
        writer_.reset();
    } else if (memory_.size() == size_) {
        blob_ = store_->Put(memory_);
    } else {
        throw std::logic_error("the body was handed on already");
    }
    return blob_;
}

void Spool::AppendTo(std::unique_ptr<BlobWriter>& writer, std::uint64_t skip) {
    if (skip >= size_) return;
    if (!writer && skip == 0 && writer_) {
        writer = std::move(writer_);
        return;
    }
    if (!writer) writer = store_->Writer();
    if (memory_.size() == size_) return writer->Write(std::string_view(memory_).substr(skip));
    writer->Copy(Blob()->Path(), skip, size_ - skip);
}

}  // namespace Nimbo::Emulator
