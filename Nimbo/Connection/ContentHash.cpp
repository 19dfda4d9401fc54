#include "Nimbo/Connection/ContentHash.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "Nimbo/Connection/platform/Exceptions.h"

namespace Nimbo::Connection {

namespace {

std::string Hex(const unsigned char* ABytes, std::size_t ASize) {
    static constexpr char Digits[] = "0123456789abcdef";
    std::string text(2 * ASize, '\0');
    for (std::size_t i = 0; i < ASize; ++i) {
        text[2 * i] = Digits[ABytes[i] >> 4];
        text[2 * i + 1] = Digits[ABytes[i] & 0xF];
    }
    return text;
}

std::string Base64(const unsigned char* ABytes, std::size_t ASize) {
    std::string text(4 * ((ASize + 2) / 3), '\0');
    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), ABytes, static_cast<int>(ASize));
    return text;
}

// One OpenSSL message digest, reusable after Final through Restart.
class TDigest {
public:
    explicit TDigest(const EVP_MD* AType) : FType(AType), FContext(EVP_MD_CTX_new(), &EVP_MD_CTX_free) {
        if (!FContext) throw ERestError("Content hashes cannot be computed: out of memory");
        Restart();
    }
    void Restart() {
        if (EVP_DigestInit_ex(FContext.get(), FType, nullptr) != 1)
            throw ERestError("Content hashes cannot be computed: the digest is not available");
    }
    void Update(const void* AData, std::size_t ASize) { EVP_DigestUpdate(FContext.get(), AData, ASize); }
    void Update(const std::string& ABytes) { Update(ABytes.data(), ABytes.size()); }
    // The raw digest; the digest must be restarted before it is fed again.
    std::string Final() {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(FContext.get(), digest, &length);
        return std::string(reinterpret_cast<const char*>(digest), length);
    }

private:
    const EVP_MD* FType;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> FContext;
};

const unsigned char* Bytes(const std::string& AText) { return reinterpret_cast<const unsigned char*>(AText.data()); }

class THexDigestHasher : public TContentHasher {
public:
    explicit THexDigestHasher(const EVP_MD* AType) : FDigest(AType) {}
    void Update(const char* AData, std::size_t ASize) override { FDigest.Update(AData, ASize); }
    std::string Finish() override {
        const std::string digest = FDigest.Final();
        return Hex(Bytes(digest), digest.size());
    }

private:
    TDigest FDigest;
};

class TDropboxContentHasher : public TContentHasher {
public:
    static constexpr std::size_t BlockSize = 4 << 20;

    void Update(const char* AData, std::size_t ASize) override {
        while (ASize > 0) {
            const std::size_t count = std::min(ASize, BlockSize - FInBlock);
            FBlock.Update(AData, count);
            FInBlock += count;
            AData += count;
            ASize -= count;
            if (FInBlock == BlockSize) EndBlock();
        }
    }
    std::string Finish() override {
        if (FInBlock > 0) EndBlock();
        const std::string digest = FBlocks.Final();
        return Hex(Bytes(digest), digest.size());
    }

private:
    void EndBlock() {
        FBlocks.Update(FBlock.Final());
        FBlock.Restart();
        FInBlock = 0;
    }

    TDigest FBlock{EVP_sha256()};
    TDigest FBlocks{EVP_sha256()};
    std::size_t FInBlock = 0;
};

// Bytes 160 apart land on the same bit position of the 160-bit register (160 * 11 is a multiple of
// 160), so the content is first folded into 160 byte lanes by XOR, a word at a time, and the lanes
// are spread onto the register once at the end.
class TQuickXorHasher : public TContentHasher {
public:
    void Update(const char* AData, std::size_t ASize) override {
        auto next = reinterpret_cast<const unsigned char*>(AData);
        FLength += ASize;
        while (ASize > 0 && FLane != 0) TakeByte(next, ASize);
        for (; ASize >= Lanes; next += Lanes, ASize -= Lanes) {
            for (std::size_t word = 0; word < Lanes / 8; ++word) {
                std::uint64_t in;
                std::memcpy(&in, next + 8 * word, 8);
                FWords[word] ^= in;
            }
        }
        while (ASize > 0) TakeByte(next, ASize);
    }

    std::string Finish() override {
        constexpr unsigned RegisterBits = 160, Shift = 11;
        unsigned char lanes[Lanes];
        std::memcpy(lanes, FWords.data(), Lanes);
        std::array<unsigned char, RegisterBits / 8> hash{};
        for (std::size_t lane = 0; lane < Lanes; ++lane) {
            const unsigned start = static_cast<unsigned>(lane * Shift % RegisterBits);
            for (unsigned bit = 0; bit < 8; ++bit) {
                if (((lanes[lane] >> bit) & 1) == 0) continue;
                const unsigned at = (start + bit) % RegisterBits;
                hash[at / 8] ^= static_cast<unsigned char>(1u << (at % 8));
            }
        }
        for (unsigned i = 0; i < 8; ++i) hash[hash.size() - 8 + i] ^= static_cast<unsigned char>(FLength >> (8 * i));
        return Base64(hash.data(), hash.size());
    }

private:
    static constexpr std::size_t Lanes = 160;

    void TakeByte(const unsigned char*& ANext, std::size_t& ALeft) {
        reinterpret_cast<unsigned char*>(FWords.data())[FLane] ^= *ANext++;
        --ALeft;
        if (++FLane == Lanes) FLane = 0;
    }

    std::array<std::uint64_t, Lanes / 8> FWords{};
    std::size_t FLane = 0;  // the lane of the next byte
    std::uint64_t FLength = 0;
};

// Hands the content block by block to another hasher running on a thread of its own.
class TConcurrentHasher : public TContentHasher {
public:
    explicit TConcurrentHasher(std::unique_ptr<TContentHasher> AInner)
        : FInner(std::move(AInner)), FWorker([this] { Work(); }) {
        FFilling.reserve(BlockSize);
    }
    ~TConcurrentHasher() override { Stop(); }

    void Update(const char* AData, std::size_t ASize) override {
        while (ASize > 0) {
            const std::size_t count = std::min(ASize, BlockSize - FFilling.size());
            FFilling.insert(FFilling.end(), AData, AData + count);
            AData += count;
            ASize -= count;
            if (FFilling.size() == BlockSize) Hand();
        }
    }

    std::string Finish() override {
        if (!FFilling.empty()) Hand();
        Stop();
        return FInner->Finish();
    }

private:
    // Small blocks keep what is held low (at most MaxQueued + 2 blocks); a handoff costs far less
    // than hashing a block.
    static constexpr std::size_t BlockSize = 256 << 10;
    static constexpr std::size_t MaxQueued = 8;

    // Queues the filled block, waiting while the worker is MaxQueued blocks behind, and goes on
    // filling a block the worker has finished with. Blocks are reused: a fresh megabyte for every
    // block would cost a mapping and its page faults each time, as much as the hash itself.
    void Hand() {
        std::unique_lock lock(FMutex);
        FChanged.wait(lock, [this] { return FQueue.size() < MaxQueued; });
        FQueue.push_back(std::move(FFilling));
        FChanged.notify_all();
        if (FSpare.empty()) {
            lock.unlock();
            FFilling = {};
            FFilling.reserve(BlockSize);
        } else {
            FFilling = std::move(FSpare.back());
            FSpare.pop_back();
        }
    }

    void Work() {
        std::unique_lock lock(FMutex);
        for (;;) {
            FChanged.wait(lock, [this] { return !FQueue.empty() || FStopping; });
            if (FQueue.empty()) return;
            std::vector<char> block = std::move(FQueue.front());
            FQueue.pop_front();
            FChanged.notify_all();
            lock.unlock();
            FInner->Update(block.data(), block.size());
            block.clear();
            lock.lock();
            FSpare.push_back(std::move(block));
        }
    }

    // Lets the worker hash what is queued, and ends it.
    void Stop() {
        {
            const std::lock_guard lock(FMutex);
            FStopping = true;
        }
        FChanged.notify_all();
        if (FWorker.joinable()) FWorker.join();
    }

    std::unique_ptr<TContentHasher> FInner;
    std::vector<char> FFilling;
    std::mutex FMutex;
    std::condition_variable FChanged;
    std::deque<std::vector<char>> FQueue;
    std::vector<std::vector<char>> FSpare;  // hashed blocks, emptied for reuse
    bool FStopping = false;
    std::thread FWorker;  // last: it starts once everything it uses is there
};

bool IsHexAlgorithm(const std::string& AAlgorithm) { return AAlgorithm != THashAlgorithm::QuickXor; }

std::string Lower(std::string AText) {
    std::transform(AText.begin(), AText.end(), AText.begin(),
                   [](unsigned char C) { return static_cast<char>(C >= 'A' && C <= 'Z' ? C + 32 : C); });
    return AText;
}

}  // namespace

std::unique_ptr<TContentHasher> TContentHasher::Create(const std::string& AAlgorithm) {
    if (AAlgorithm == THashAlgorithm::Md5) return std::make_unique<THexDigestHasher>(EVP_md5());
    if (AAlgorithm == THashAlgorithm::Sha1) return std::make_unique<THexDigestHasher>(EVP_sha1());
    if (AAlgorithm == THashAlgorithm::Sha256) return std::make_unique<THexDigestHasher>(EVP_sha256());
    if (AAlgorithm == THashAlgorithm::DropboxContent) return std::make_unique<TDropboxContentHasher>();
    if (AAlgorithm == THashAlgorithm::QuickXor) return std::make_unique<TQuickXorHasher>();
    return nullptr;
}

std::unique_ptr<TContentHasher> TContentHasher::CreateConcurrent(const std::string& AAlgorithm) {
    std::unique_ptr<TContentHasher> inner = Create(AAlgorithm);
    if (!inner) return nullptr;
    return std::make_unique<TConcurrentHasher>(std::move(inner));
}

bool SameContentHash(const std::string& AAlgorithm, const std::string& A, const std::string& B) {
    return IsHexAlgorithm(AAlgorithm) ? Lower(A) == Lower(B) : A == B;
}

void CheckContentHash(const std::string& AWhat, const std::string& AAlgorithm, const std::string& AExpected,
                      const std::string& AComputed) {
    if (SameContentHash(AAlgorithm, AExpected, AComputed)) return;
    throw ERestError(AWhat + " failed its content check: the service gives " + AAlgorithm + " " + AExpected +
                     " but the bytes give " + AComputed);
}

// ---------------------------------------------------------------------------------------------
// THashingStream

THashingStream::THashingStream(std::ostream& ATarget, TContentHasher& AHasher)
    : std::ostream(nullptr), FBuffer(ATarget, AHasher) {
    rdbuf(&FBuffer);
}

std::streamsize THashingStream::TBuffer::xsputn(const char* AData, std::streamsize ACount) {
    if (!FTarget.write(AData, ACount)) return 0;
    FHasher.Update(AData, static_cast<std::size_t>(ACount));
    return ACount;
}

THashingStream::TBuffer::int_type THashingStream::TBuffer::overflow(int_type AChar) {
    if (traits_type::eq_int_type(AChar, traits_type::eof())) return traits_type::not_eof(AChar);
    const char byte = traits_type::to_char_type(AChar);
    return xsputn(&byte, 1) == 1 ? AChar : traits_type::eof();
}

// ---------------------------------------------------------------------------------------------
// THashingInput

THashingInput::THashingInput(std::istream& ASource, TContentHasher& AHasher)
    : std::istream(nullptr), FBuffer(*ASource.rdbuf(), AHasher) {
    rdbuf(&FBuffer);
}

std::string THashingInput::Finish() { return FBuffer.Finish(); }

THashingInput::TBuffer::TBuffer(std::streambuf& ASource, TContentHasher& AHasher) : FSource(ASource), FHasher(AHasher) {
    const pos_type start = FSource.pubseekoff(0, std::ios_base::cur, std::ios_base::in);
    FSeekable = start != pos_type(off_type(-1));
    FPosition = FHashed = FSeekable ? static_cast<std::int64_t>(start) : 0;
}

void THashingInput::TBuffer::Take(const char* AData, std::streamsize ACount) {
    const std::int64_t end = FPosition + ACount;
    if (FPosition <= FHashed && FHashed < end) {
        FHasher.Update(AData + (FHashed - FPosition), static_cast<std::size_t>(end - FHashed));
        FHashed = end;
    }
    FPosition = end;
}

THashingInput::TBuffer::int_type THashingInput::TBuffer::underflow() {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    const std::streamsize count = FSource.sgetn(FArea, sizeof FArea);
    if (count <= 0) return traits_type::eof();
    Take(FArea, count);
    setg(FArea, FArea, FArea + count);
    return traits_type::to_int_type(*gptr());
}

std::streamsize THashingInput::TBuffer::xsgetn(char* AData, std::streamsize ACount) {
    const std::streamsize buffered = std::min<std::streamsize>(ACount, egptr() - gptr());
    if (buffered > 0) {  // before the first read the get area is null
        std::memcpy(AData, gptr(), static_cast<std::size_t>(buffered));
        gbump(static_cast<int>(buffered));
    }
    if (buffered == ACount) return ACount;
    const std::streamsize count = FSource.sgetn(AData + buffered, ACount - buffered);
    if (count > 0) Take(AData + buffered, count);
    return buffered + std::max<std::streamsize>(count, 0);
}

THashingInput::TBuffer::pos_type THashingInput::TBuffer::seekoff(off_type AOffset, std::ios_base::seekdir AWay,
                                                                 std::ios_base::openmode AMode) {
    if (!FSeekable || (AMode & std::ios_base::in) == 0) return pos_type(off_type(-1));
    const std::int64_t current = FPosition - (egptr() - gptr());
    if (AWay == std::ios_base::cur) return AOffset == 0 ? pos_type(current) : seekpos(current + AOffset, AMode);
    return Moved(FSource.pubseekoff(AOffset, AWay, std::ios_base::in));
}

THashingInput::TBuffer::pos_type THashingInput::TBuffer::seekpos(pos_type APosition, std::ios_base::openmode AMode) {
    if (!FSeekable || (AMode & std::ios_base::in) == 0) return pos_type(off_type(-1));
    return Moved(FSource.pubseekpos(APosition, std::ios_base::in));
}

THashingInput::TBuffer::pos_type THashingInput::TBuffer::Moved(pos_type APosition) {
    setg(FArea, FArea, FArea);
    if (APosition != pos_type(off_type(-1))) FPosition = static_cast<std::int64_t>(APosition);
    return APosition;
}

std::string THashingInput::TBuffer::Finish() {
    if (FSeekable) {
        // Hashes what reading skipped, up to the source's end, and puts the source back.
        const std::int64_t current = FPosition - (egptr() - gptr());
        std::int64_t at = FHashed;
        if (FSource.pubseekpos(at, std::ios_base::in) == pos_type(off_type(-1))) return {};
        for (std::streamsize count; (count = FSource.sgetn(FArea, sizeof FArea)) > 0; at += count)
            FHasher.Update(FArea, static_cast<std::size_t>(count));
        FHashed = at;
        setg(FArea, FArea, FArea);
        FPosition = current;
        FSource.pubseekpos(current, std::ios_base::in);
    } else if (FSource.sgetc() != traits_type::eof()) {
        return {};  // the content was not read to its end, and cannot be read again
    }
    return FHasher.Finish();
}

}  // namespace Nimbo::Connection
