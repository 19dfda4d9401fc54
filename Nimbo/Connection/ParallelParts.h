#pragma once

// Session uploads whose service takes the parts in any order and several at once: the parts are
// read in order, each held in memory only while it is in flight, sent on threads of their own, and a
// part that is interrupted is sent again by itself.

#include <cstdint>
#include <deque>
#include <functional>
#include <istream>
#include <memory>
#include <streambuf>
#include <string>

#include "Nimbo/Connection/Http.h"

namespace Nimbo::Connection {

class TRestService;
class TUploadSource;
class TSessionUploadSteps;
struct TSessionUploadSettings;

// One part of the content, held in memory while it is in flight.
class TSessionPart {
public:
    TSessionPart(std::int64_t AOffset, std::string ABytes, bool ALast)
        : FOffset(AOffset), FBytes(std::move(ABytes)), FLast(ALast) {}
    TSessionPart(const TSessionPart&) = delete;
    TSessionPart& operator=(const TSessionPart&) = delete;

    std::int64_t Offset() const { return FOffset; }
    std::int64_t Size() const { return static_cast<std::int64_t>(FBytes.size()); }
    // Whether the content ends with this part.
    bool Last() const { return FLast; }
    const std::string& Bytes() const { return FBytes; }

    // Appends the part's bytes to the request's body without copying them; the part must outlive
    // the request's exchange. Not safe to call from several threads at once.
    THttpRequest AddTo(THttpRequest ARequest) const;

private:
    // The bytes as a seekable stream of their own: each request reads from its own position.
    class TView : public std::streambuf {
    public:
        explicit TView(const std::string& ABytes);

    protected:
        pos_type seekoff(off_type AOffset, std::ios_base::seekdir AWay, std::ios_base::openmode AMode) override;
        pos_type seekpos(pos_type APos, std::ios_base::openmode AMode) override;
    };
    struct TViewStream {
        explicit TViewStream(const std::string& ABytes) : Buffer(ABytes), Stream(&Buffer) {}
        TView Buffer;
        std::istream Stream;
    };

    std::int64_t FOffset;
    std::string FBytes;
    bool FLast;
    mutable std::deque<std::unique_ptr<TViewStream>> FViews;
};

// Sends one part and returns the service's answer; runs on a thread of its own.
using TPartExchange = std::function<std::string()>;

// What a session upload's steps add when their service takes parts in parallel.
class TParallelParts {
public:
    virtual ~TParallelParts() = default;

    // Every part but the last is a multiple of this many bytes.
    virtual std::int64_t PartUnit() const = 0;
    // Builds, on the upload's thread, the exchange that sends APart; called again for a part sent
    // again. Parts are first asked for in order of their offsets.
    virtual TPartExchange PartExchange(const TSessionPart& APart) = 0;
    // The service stored APart and answered AAnswer; called on the upload's thread.
    virtual void PartStored(const TSessionPart& APart, const std::string& AAnswer) = 0;
};

// Runs a session upload of ASource whose parts may go up in parallel: Start (which chooses the part
// size, else ASettings.ChunkSize, either rounded down to a multiple of AParts.PartUnit()), then up
// to ASettings.PartsInFlight parts at once, read in order and each preceded by the service's sign-in
// check; at most that many parts are held in memory. An interrupted part is sent again by itself,
// and interruptions are counted as RunSessionUpload counts them; any other failure, or a cancel by
// the calling thread's progress handler, stops the parts in flight and abandons the session. Once
// every part is stored, Commit. Progress of the whole content goes to the calling thread's handler,
// on the calling thread. Leaves the caller's stream at the content's end.
void RunParallelParts(TRestService& AService, TUploadSource& ASource, TSessionUploadSteps& ASteps,
                      TParallelParts& AParts, const TSessionUploadSettings& ASettings, const std::string& AWhat);

}  // namespace Nimbo::Connection
