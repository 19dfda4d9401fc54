#pragma once

// What the adapters' session uploads share: the content read from the caller's stream part by part,
// the count of interruptions an upload survives, and its progress over the whole content.

#include <cstdint>
#include <deque>
#include <fstream>
#include <functional>
#include <istream>
#include <memory>
#include <optional>
#include <streambuf>
#include <string>
#include <vector>

#include "Nimbo/Connection/Http.h"

namespace Nimbo::Connection {

// The most parts one upload sends at the same time.
inline constexpr int MaxPartsInFlight = 64;

// When and how an adapter sends content through its service's session upload.
struct TSessionUploadSettings {
    // Content of up to this many bytes goes up in one request, larger content through the session.
    std::int64_t SingleRequestLimit = 0;
    // Bytes per session request, where the service lets the client choose.
    std::int64_t ChunkSize = 0;
    // Interruptions (a lost connection, a time-out, a server error) one upload survives by resuming.
    int MaxResumptions = 5;
    // Parts sent at the same time where the service takes them so; each one is held in memory while
    // it is on its way. 1: one after another, as every service takes them.
    int PartsInFlight = 4;
};

// Raises EArgumentException unless the limit is at least 0, the chunk size above 0, the number of
// resumptions at least 0 and the parts in flight from 1 to MaxPartsInFlight.
void CheckSessionUploadSettings(const TSessionUploadSettings& ASettings);

// The content from the stream's current position to its end. A seekable stream is measured without
// being read and is read only while each request is sent. Any other stream is read up to the limit
// (and one byte more) to tell whether it is larger; beyond that, bytes are read as they are needed
// and kept only until Release; asking for released bytes of such a stream raises ERestError.
class TUploadSource {
public:
    // The stream must outlive the source.
    TUploadSource(std::istream& AStream, std::int64_t ALimit);
    TUploadSource(const TUploadSource&) = delete;
    TUploadSource& operator=(const TUploadSource&) = delete;

    bool ExceedsLimit() const { return FExceedsLimit; }
    // Known for a seekable stream, else once the stream's end has been read.
    std::optional<std::int64_t> Size() const;

    // The whole content as a stream for a single request's Data; only when it does not exceed the
    // limit. It is the caller's stream itself when that can seek.
    std::istream& Whole();

    // Makes the size known: copies the rest of a stream that cannot seek into a temporary file
    // (removed with the source), from which the content is then read. Only before any Release.
    void MakeMeasurable();

    // How many bytes of the content follow AOffset, at most AMax; reads that far ahead when the
    // stream cannot seek, so that Size() is known once the content ends within them.
    std::int64_t Available(std::int64_t AOffset, std::int64_t AMax);
    // Appends bytes [AOffset, AOffset + ACount) to the request's body without copying them; call
    // Available first for a stream that cannot seek.
    THttpRequest AddTo(THttpRequest ARequest, std::int64_t AOffset, std::int64_t ACount);
    // Hands bytes [AOffset, AOffset + ACount) to AProc block by block.
    void Read(std::int64_t AOffset, std::int64_t ACount, const std::function<void(const char*, std::size_t)>& AProc);
    // The bytes before AOffset will not be asked for again: a stream that cannot seek frees them.
    void Release(std::int64_t AOffset);
    // Leaves the caller's stream as a single request would: at the content's end.
    void Finish();

private:
    // The bytes of a stream that cannot seek, held in blocks of equal size (so that freeing the
    // first ones or adding more never moves the rest), as a seekable stream whose positions are the
    // content's offsets.
    class THeldBytes : public std::streambuf {
    public:
        std::int64_t Start() const { return FStart; }
        std::int64_t End() const { return FEnd; }
        // Reads from AStream until End() reaches AEnd; false when the stream ended first.
        bool ReadFrom(std::istream& AStream, std::int64_t AEnd);
        // Frees the blocks wholly before AOffset.
        void DropBefore(std::int64_t AOffset);
        // Hands bytes [AOffset, AOffset + ACount) to AProc block by block; all must be held.
        void Read(std::int64_t AOffset, std::int64_t ACount,
                  const std::function<void(const char*, std::size_t)>& AProc) const;

    protected:
        int_type underflow() override;
        pos_type seekoff(off_type AOffset, std::ios_base::seekdir AWay, std::ios_base::openmode AMode) override;
        pos_type seekpos(pos_type APos, std::ios_base::openmode AMode) override;

    private:
        std::deque<std::vector<char>> FBlocks;
        std::int64_t FStart = 0;    // the offset of the first block's first byte
        std::int64_t FEnd = 0;      // the offset after the last byte held
        std::int64_t FAreaEnd = 0;  // the offset of the end of the get area
    };

    bool IsHeld() const { return FSeekable == nullptr; }
    // Reads the stream until the held bytes reach AEnd or the stream ends.
    void ReadAhead(std::int64_t AEnd);
    // Raises ERestError when bytes from AOffset on are no longer held; positions FHeldStream there.
    std::istream& HeldAt(std::int64_t AOffset);

    std::istream& FStream;
    std::istream* FSeekable = nullptr;  // the stream the content is read from by position, if any
    std::int64_t FBase = 0;             // FSeekable's position of the content's first byte
    std::int64_t FSize = -1;            // -1 while unknown
    bool FExceedsLimit = false;
    std::int64_t FReleased = 0;
    THeldBytes FHeld;  // for a stream that cannot seek
    std::istream FHeldStream{&FHeld};
    std::unique_ptr<std::fstream> FSpool;
};

// While it lives, the requests of one session upload report their progress to the thread's
// progress handler as progress of the whole content: bytes sent from the content's first byte on,
// never going back, out of the content's size (0 while unknown).
class TSessionProgress {
public:
    explicit TSessionProgress(const TUploadSource& ASource);
    // The next chunk starts at AOffset.
    void At(std::int64_t AOffset) { FOffset = AOffset; }

private:
    const TUploadSource& FSource;
    std::int64_t FOffset = 0;
    std::int64_t FReported = 0;
    std::optional<THttpProgressScope> FScope;
};

// Counts the interruptions of one session upload.
class TUploadInterruptions {
public:
    // AWhat names the upload in the error, e.g. "The upload of \"a.bin\"".
    TUploadInterruptions(int AMax, std::string AWhat) : FMax(AMax), FWhat(std::move(AWhat)) {}

    // Call inside a catch block. Returns when the exception being handled is an interruption that
    // the session may resume from (a transport failure, or a 500, 502, 503 or 504 answer) and no more
    // than the allowed number have happened; raises ERestError after too many, and rethrows any
    // other exception.
    void Survive();
    // Counts an interruption for AReason; ERestError after too many.
    void Count(const std::string& AReason);

private:
    int FMax;
    std::string FWhat;
    int FCount = 0;
};

}  // namespace Nimbo::Connection
