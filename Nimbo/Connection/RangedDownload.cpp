#include "Nimbo/Connection/RangedDownload.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <streambuf>
#include <thread>

#include "Nimbo/Connection/ContentHash.h"
#include "Nimbo/Connection/Http.h"
#include "Nimbo/Connection/SessionUpload.h"
#include "Nimbo/Connection/Storage.h"
#include "Nimbo/Connection/UploadSource.h"
#include "Nimbo/Connection/platform/Exceptions.h"

namespace Nimbo::Connection {

void CheckDownloadSettings(const TDownloadSettings& ASettings) {
    if (ASettings.Streams < 1 || ASettings.Streams > MaxDownloadStreams)
        throw EArgumentException("Download streams must be from 1 to " + std::to_string(MaxDownloadStreams) + ", not " +
                                 std::to_string(ASettings.Streams));
    if (ASettings.MultiStreamCutoff < 0)
        throw EArgumentException("The size from which downloads use several streams cannot be negative");
    if (ASettings.RangeSize <= 0) throw EArgumentException("The size of a download range must be above 0");
    if (ASettings.MaxResumptions < 0) throw EArgumentException("The resumptions of a download cannot be negative");
}

std::vector<TByteRange> SplitRanges(std::int64_t ASize, int AStreams, std::int64_t ARangeSize) {
    constexpr std::int64_t MiB = 1 << 20;
    std::vector<TByteRange> ranges;
    if (ASize <= 0) return ranges;
    const std::int64_t streams = std::max(AStreams, 1);
    std::int64_t piece = std::min(std::max<std::int64_t>(ARangeSize, 1), (ASize + streams - 1) / streams);
    if (piece >= MiB) piece = (piece + MiB - 1) / MiB * MiB;
    for (std::int64_t first = 0; first < ASize; first += piece)
        ranges.push_back({first, std::min(first + piece, ASize) - 1});
    return ranges;
}

namespace {

constexpr std::chrono::milliseconds ReportInterval{200};
constexpr std::size_t IoBlock = 1 << 20;
constexpr std::int64_t HashSlice = 4 << 20;

std::string CannotWrite(const std::string& AFileName, int AErrno) {
    return "Cannot write file \"" + AFileName + "\". " + std::strerror(AErrno);
}

// One range of the file and how much of it is in the file so far.
struct TRangeState {
    explicit TRangeState(TByteRange ARange) : Range(ARange) {}

    const TByteRange Range;
    // Bytes from Range.First on that are in the file; written by the stream fetching the range.
    std::atomic<std::int64_t> Written{0};

    bool Done() const { return Written.load(std::memory_order_acquire) == Range.Size(); }
};

// Writes the bytes of a range at their offsets in the file through a buffer of its own, and has the
// system start writing each large stretch to the disk at once, so that syncing the file at the end
// waits for little more than the last stretches. Fails the stream when writing fails or the answer
// holds more bytes than the range.
class TRangeWriter : public std::streambuf {
public:
    TRangeWriter(int AFd, TRangeState& ARange, const std::string& AFileName, std::function<void()> AOnWritten)
        : FFd(AFd),
          FRange(ARange),
          FFileName(AFileName),
          FOnWritten(std::move(AOnWritten)),
          FBuffer(IoBlock),
          FWriteBackFrom(ARange.Range.First + ARange.Written) {
        setp(FBuffer.data(), FBuffer.data() + FBuffer.size());
    }

    // Writes what is buffered; false when writing failed, now or earlier.
    bool Finish() { return Flush(); }
    // Why the stream failed; empty when it did not.
    const std::exception_ptr& Failure() const { return FFailure; }

protected:
    int_type overflow(int_type AChar) override {
        if (!Flush()) return traits_type::eof();
        if (traits_type::eq_int_type(AChar, traits_type::eof())) return traits_type::not_eof(AChar);
        *pptr() = traits_type::to_char_type(AChar);
        pbump(1);
        return AChar;
    }

    std::streamsize xsputn(const char* AData, std::streamsize ACount) override {
        std::streamsize done = 0;
        while (done < ACount) {
            if (pptr() == epptr() && !Flush()) return done;
            const auto count = std::min<std::streamsize>(ACount - done, epptr() - pptr());
            std::memcpy(pptr(), AData + done, static_cast<std::size_t>(count));
            pbump(static_cast<int>(count));
            done += count;
        }
        return done;
    }

    int sync() override { return Flush() ? 0 : -1; }

private:
    static constexpr std::int64_t WriteBackStretch = 8 << 20;

    bool Flush() {
        if (FFailure) return false;
        const auto pending = static_cast<std::int64_t>(pptr() - pbase());
        setp(FBuffer.data(), FBuffer.data() + FBuffer.size());
        if (pending == 0) return true;
        const std::int64_t written = FRange.Written.load(std::memory_order_relaxed);
        if (written + pending > FRange.Range.Size()) {
            FFailure = std::make_exception_ptr(ERestError(
                "The service sent more than the " + std::to_string(FRange.Range.Size()) + " bytes of the range " +
                std::to_string(FRange.Range.First) + "-" + std::to_string(FRange.Range.Last) + " it was asked for"));
            return false;
        }
        const std::int64_t at = FRange.Range.First + written;
        const char* data = FBuffer.data();
        for (std::int64_t left = pending, offset = at; left > 0;) {
            const ssize_t count = ::pwrite(FFd, data, static_cast<std::size_t>(left), offset);
            if (count < 0) {
                if (errno == EINTR) continue;
                FFailure = std::make_exception_ptr(EFileError(CannotWrite(FFileName, errno)));
                return false;
            }
            data += count;
            left -= count;
            offset += count;
        }
        FRange.Written.store(written + pending, std::memory_order_release);
        if (at + pending - FWriteBackFrom >= WriteBackStretch) {
            // Only a hint: a file system without it still gets every byte synced at the end.
            ::sync_file_range(FFd, FWriteBackFrom, at + pending - FWriteBackFrom, SYNC_FILE_RANGE_WRITE);
            FWriteBackFrom = at + pending;
        }
        FOnWritten();
        return true;
    }

    int FFd;
    TRangeState& FRange;
    const std::string& FFileName;
    std::function<void()> FOnWritten;
    std::vector<char> FBuffer;
    std::int64_t FWriteBackFrom;
    std::exception_ptr FFailure;
};

// The connections of one download, each on a thread of its own that fetches one range at a time, so
// that the connection it keeps open serves its next range. Ending, it stops the exchanges on their
// way and waits for the threads.
class TStreams {
public:
    // A range a stream ended, and the failure that ended it, if any.
    struct TEnded {
        TRangeState* Range;
        std::exception_ptr Error;
    };

    TStreams(int AFd, std::size_t ACount, const std::string& AFileName) : FFd(AFd), FFileName(AFileName) {
        FSlots.reserve(ACount);
        for (std::size_t index = 0; index < ACount; ++index) FSlots.push_back(std::make_unique<TSlot>());
        for (const std::unique_ptr<TSlot>& slot : FSlots) slot->Thread = std::thread([this, &s = *slot] { Serve(s); });
    }
    TStreams(const TStreams&) = delete;
    TStreams& operator=(const TStreams&) = delete;
    ~TStreams() {
        {
            std::lock_guard lock(FMutex);
            FStopping = true;
        }
        for (const std::unique_ptr<TSlot>& slot : FSlots) {
            slot->Work.notify_all();
            slot->Thread.join();
        }
    }

    std::size_t Busy() const {
        std::lock_guard lock(FMutex);
        return static_cast<std::size_t>(
            std::count_if(FSlots.begin(), FSlots.end(), [](const auto& S) { return S->Range != nullptr; }));
    }
    bool HasIdle() const { return Busy() < FSlots.size(); }

    // Has an idle stream fetch ARange (from its first missing byte) through AExchange.
    void Give(TRangeState& ARange, TRangeExchange AExchange) {
        std::lock_guard lock(FMutex);
        const auto idle = std::find_if(FSlots.begin(), FSlots.end(), [](const auto& S) { return S->Range == nullptr; });
        Assert(idle != FSlots.end(), "No download stream is idle");
        TSlot& slot = **idle;
        slot.Range = &ARange;
        slot.Exchange = std::move(AExchange);
        slot.Ended = false;
        slot.Error = nullptr;
        slot.Work.notify_all();
    }

    // A range whose stream ended within AWait, that stream idle again; nothing when none ended, or
    // when more of some range reached the file first.
    std::optional<TEnded> TakeEnded(std::chrono::milliseconds AWait) {
        std::unique_lock lock(FMutex);
        const auto ended = [&] {
            return std::find_if(FSlots.begin(), FSlots.end(), [](const auto& S) { return S->Range && S->Ended; });
        };
        FChanged.wait_for(lock, AWait, [&] { return FWritten || ended() != FSlots.end(); });
        FWritten = false;
        const auto it = ended();
        if (it == FSlots.end()) return std::nullopt;
        TSlot& slot = **it;
        TEnded result{slot.Range, slot.Error};
        slot.Range = nullptr;
        slot.Error = nullptr;
        return result;
    }

private:
    struct TSlot {
        TRangeState* Range = nullptr;  // the range given, until taken back ended
        TRangeExchange Exchange;
        bool Ended = false;
        std::exception_ptr Error;
        std::condition_variable Work;
        std::thread Thread;
    };

    void Serve(TSlot& ASlot) {
        const THttpProgressScope stop([this](const THttpProgress&) { return !FStopping.load(); });
        for (;;) {
            TRangeExchange exchange;
            TRangeState* range = nullptr;
            {
                std::unique_lock lock(FMutex);
                ASlot.Work.wait(lock, [&] { return FStopping || (ASlot.Range && !ASlot.Ended && ASlot.Exchange); });
                if (FStopping) return;
                exchange = std::move(ASlot.Exchange);
                ASlot.Exchange = nullptr;
                range = ASlot.Range;
            }
            std::exception_ptr error;
            try {
                Fetch(*range, exchange);
            } catch (...) {
                error = std::current_exception();
            }
            {
                std::lock_guard lock(FMutex);
                ASlot.Ended = true;
                ASlot.Error = error;
            }
            FChanged.notify_all();
        }
    }

    void Fetch(TRangeState& ARange, const TRangeExchange& AExchange) {
        TRangeWriter writer(FFd, ARange, FFileName, [this] {
            {
                std::lock_guard lock(FMutex);
                FWritten = true;
            }
            FChanged.notify_all();
        });
        std::ostream stream(&writer);
        std::exception_ptr error;
        try {
            AExchange(stream);
        } catch (...) {
            error = std::current_exception();
        }
        // What arrived before a failure is the range's own: kept, so that only the rest is fetched again.
        const bool flushed = static_cast<bool>(stream.flush());
        const bool finished = writer.Finish() && flushed;
        if (writer.Failure()) std::rethrow_exception(writer.Failure());
        if (error) std::rethrow_exception(error);
        if (!finished) throw EFileError("Cannot write file \"" + FFileName + "\"");
        if (!ARange.Done())
            throw ETransportError("The answer for bytes " + std::to_string(ARange.Range.First) + "-" +
                                  std::to_string(ARange.Range.Last) + " ended " +
                                  std::to_string(ARange.Range.Size() - ARange.Written) + " bytes early");
    }

    int FFd;
    const std::string& FFileName;
    std::vector<std::unique_ptr<TSlot>> FSlots;
    mutable std::mutex FMutex;
    std::condition_variable FChanged;  // a stream ended its range, or wrote more of it
    bool FWritten = false;             // guarded by FMutex
    std::atomic<bool> FStopping{false};
};

// Feeds the hasher the file from its start as far as it is written without a gap, reading it back.
class TPrefixHasher {
public:
    TPrefixHasher(int AFd, TContentHasher* AHasher, const std::string& AFileName)
        : FFd(AFd), FHasher(AHasher), FFileName(AFileName), FBuffer(AHasher ? IoBlock : 0) {}

    // Hashes up to AMost bytes of the file before AEnd; whether there was anything to hash.
    bool Advance(std::int64_t AEnd, std::int64_t AMost) {
        if (!FHasher || FHashed >= AEnd) return false;
        const std::int64_t stop = std::min(AEnd, FHashed + AMost);
        while (FHashed < stop) {
            const auto wanted = static_cast<std::size_t>(std::min<std::int64_t>(stop - FHashed, IoBlock));
            const ssize_t count = ::pread(FFd, FBuffer.data(), wanted, FHashed);
            if (count < 0 && errno == EINTR) continue;
            if (count <= 0)
                throw EFileError("Cannot read file \"" + FFileName + "\" back. " +
                                 (count < 0 ? std::strerror(errno) : "It ends early."));
            FHasher->Update(FBuffer.data(), static_cast<std::size_t>(count));
            FHashed += count;
        }
        return true;
    }

private:
    int FFd;
    TContentHasher* FHasher;
    const std::string& FFileName;
    std::vector<char> FBuffer;
    std::int64_t FHashed = 0;
};

// The ranges and how far the file is written from its start without a gap.
class TRangeTable {
public:
    explicit TRangeTable(const std::vector<TByteRange>& ARanges) {
        for (const TByteRange& range : ARanges) FRanges.push_back(std::make_unique<TRangeState>(range));
    }

    const std::vector<std::unique_ptr<TRangeState>>& Ranges() const { return FRanges; }

    std::int64_t WrittenPrefix() {
        while (FFirstOpen < FRanges.size() && FRanges[FFirstOpen]->Done()) ++FFirstOpen;
        if (FFirstOpen == FRanges.size()) return FRanges.empty() ? 0 : FRanges.back()->Range.Last + 1;
        const TRangeState& open = *FRanges[FFirstOpen];
        return open.Range.First + open.Written.load(std::memory_order_acquire);
    }

    std::int64_t WrittenTotal() const {
        std::int64_t total = 0;
        for (const std::unique_ptr<TRangeState>& range : FRanges)
            total += range->Written.load(std::memory_order_relaxed);
        return total;
    }

private:
    std::vector<std::unique_ptr<TRangeState>> FRanges;
    std::size_t FFirstOpen = 0;
};

// Progress of the whole file for the calling thread's handler, on the calling thread; the exchanges
// of the calling thread itself (a sign-in refreshed) report what was written before them.
class TWholeProgress {
public:
    explicit TWholeProgress(std::int64_t ATotal) : FOuter(THttpProgressScope::Current()), FTotal(ATotal) {
        if (FOuter) FScope.emplace([this](const THttpProgress&) { return Tell(FReported); });
    }

    // ADone bytes of the file are written; EAbort when the handler cancels. AForce: even when the
    // handler heard of the download a moment ago.
    void Report(std::int64_t ADone, bool AForce = false) {
        if (!FOuter) return;
        const auto now = std::chrono::steady_clock::now();
        if (!AForce && now - FLast < std::chrono::milliseconds(50)) return;
        FLast = now;
        if (!Tell(ADone)) throw EAbort();
    }

private:
    bool Tell(std::int64_t ADone) {
        FReported = std::max(FReported, ADone);
        return FOuter({.DownloadDone = FReported, .DownloadTotal = FTotal});
    }

    THttpProgressHandler FOuter;
    std::int64_t FTotal;
    std::int64_t FReported = 0;
    std::chrono::steady_clock::time_point FLast{};
    std::optional<THttpProgressScope> FScope;
};

}  // namespace

void RunRangedDownload(TNimboStorage& AStorage, TNimboCloudFileData& AData, int AFd, const TDownloadSettings& ASettings,
                       TContentHasher* AHasher, const std::string& AWhat, const std::string& AFileName) {
    const std::int64_t size = AData.Info().Size;
    TRangeTable table(SplitRanges(size, ASettings.Streams, ASettings.RangeSize));
    TWholeProgress progress(size);
    TPrefixHasher hasher(AFd, AHasher, AFileName);
    TUploadInterruptions interruptions(ASettings.MaxResumptions, AWhat);
    const THttpRetryPolicy policy = THttpClient::RetryPolicy();
    int waits = 0;
    std::deque<TRangeState*> pending;
    for (const std::unique_ptr<TRangeState>& range : table.Ranges()) pending.push_back(range.get());
    {
        TStreams streams(AFd, std::min<std::size_t>(static_cast<std::size_t>(ASettings.Streams), pending.size()),
                         AFileName);
        while (!pending.empty() || streams.Busy() > 0) {
            while (!pending.empty() && streams.HasIdle()) {
                TRangeState& range = *pending.front();
                pending.pop_front();
                streams.Give(range, AStorage.RangeExchange(AData, range.Range.First + range.Written, range.Range.Last));
            }
            const bool hashed = hasher.Advance(table.WrittenPrefix(), HashSlice);
            const std::optional<TStreams::TEnded> ended =
                streams.TakeEnded(hashed ? std::chrono::milliseconds(0) : ReportInterval);
            // A range whose every byte arrived before its exchange failed needs nothing more.
            if (ended && ended->Error && !ended->Range->Done()) {
                try {
                    std::rethrow_exception(ended->Error);
                } catch (...) {
                    interruptions.Survive();
                    if (const std::optional<std::chrono::seconds> asked = RetryWaitAsked())
                        policy.Pause(asked, waits++);
                }
                // First again: the part of the file hashed so far cannot grow past it.
                pending.push_front(ended->Range);
            }
            progress.Report(table.WrittenTotal());
        }
    }
    hasher.Advance(size, size);
    progress.Report(size, true);
}

}  // namespace Nimbo::Connection
