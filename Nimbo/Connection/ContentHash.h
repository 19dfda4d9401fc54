#pragma once

// The content hashes the services give for a file, computed locally from the bytes to check a
// transfer: each in the notation its service writes it.

#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>

namespace Nimbo::Connection {

// Names of the algorithms, as TNimboItemInfo::HashAlgorithm holds them.
namespace THashAlgorithm {
inline constexpr char Md5[] = "md5";        // lower-case hex
inline constexpr char Sha1[] = "sha1";      // lower-case hex
inline constexpr char Sha256[] = "sha256";  // lower-case hex
// SHA-256 of the concatenated SHA-256 digests of each 4 MiB block; lower-case hex.
inline constexpr char DropboxContent[] = "dropbox-content-hash";
// A 160-bit XOR of the bytes at positions advancing 11 bits per byte, with the length folded in; base64.
inline constexpr char QuickXor[] = "quickxor";
}  // namespace THashAlgorithm

// A running content hash, fed the content in pieces of any size.
class TContentHasher {
public:
    // A new hasher for the algorithm, or nullptr for an algorithm this library does not compute.
    static std::unique_ptr<TContentHasher> Create(const std::string& AAlgorithm);
    // The same, computing on a thread of its own while the caller goes on: for content that arrives
    // while it is transferred, whose hash would otherwise slow the transfer down. Update copies the
    // bytes (2.5 MiB at most are held) and waits only when the hash falls behind.
    static std::unique_ptr<TContentHasher> CreateConcurrent(const std::string& AAlgorithm);

    virtual ~TContentHasher() = default;
    virtual void Update(const char* AData, std::size_t ASize) = 0;
    // Ends the hash and gives it in the service's notation; call once.
    virtual std::string Finish() = 0;
};

// Whether two hashes of the algorithm name the same content (hex digests in any case).
bool SameContentHash(const std::string& AAlgorithm, const std::string& A, const std::string& B);

// Raises ERestError naming both hashes when the content's hash (AComputed) differs from the one the
// service gives (AExpected). AWhat names the content, e.g. "The download of \"a.txt\"".
void CheckContentHash(const std::string& AWhat, const std::string& AAlgorithm, const std::string& AExpected,
                      const std::string& AComputed);

// Forwards every byte written to the target stream and hashes it on the way.
class THashingStream : public std::ostream {
public:
    THashingStream(std::ostream& ATarget, TContentHasher& AHasher);
    THashingStream(const THashingStream&) = delete;
    THashingStream& operator=(const THashingStream&) = delete;

private:
    class TBuffer : public std::streambuf {
    public:
        TBuffer(std::ostream& ATarget, TContentHasher& AHasher) : FTarget(ATarget), FHasher(AHasher) {}

    protected:
        std::streamsize xsputn(const char* AData, std::streamsize ACount) override;
        int_type overflow(int_type AChar) override;

    private:
        std::ostream& FTarget;
        TContentHasher& FHasher;
    };

    TBuffer FBuffer;
};

// Reads the source stream's bytes from its current position on, and hashes the content they make
// up: bytes read again after a seek back are not hashed twice. When reading ends, Finish hashes what
// a seek forward skipped (reading it when the source can seek) and gives the hash of the content
// from the start to the source's end, leaving the source where reading left it.
class THashingInput : public std::istream {
public:
    THashingInput(std::istream& ASource, TContentHasher& AHasher);
    THashingInput(const THashingInput&) = delete;
    THashingInput& operator=(const THashingInput&) = delete;

    // The content's hash; empty when skipped bytes cannot be read again (a source that cannot seek).
    std::string Finish();

private:
    class TBuffer : public std::streambuf {
    public:
        TBuffer(std::streambuf& ASource, TContentHasher& AHasher);
        std::string Finish();

    protected:
        int_type underflow() override;
        std::streamsize xsgetn(char* AData, std::streamsize ACount) override;
        pos_type seekoff(off_type AOffset, std::ios_base::seekdir AWay, std::ios_base::openmode AMode) override;
        pos_type seekpos(pos_type APosition, std::ios_base::openmode AMode) override;

    private:
        // Bytes read from the source at FPosition.
        void Take(const char* AData, std::streamsize ACount);
        pos_type Moved(pos_type APosition);

        std::streambuf& FSource;
        TContentHasher& FHasher;
        bool FSeekable;
        std::int64_t FPosition;  // the source's position: the end of the get area
        std::int64_t FHashed;    // the content is hashed up to this position
        char FArea[16384];
    };

    TBuffer FBuffer;
};

}  // namespace Nimbo::Connection
