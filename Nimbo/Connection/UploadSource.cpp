#include "Nimbo/Connection/UploadSource.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>

namespace Nimbo::Connection {

namespace {

constexpr std::size_t BlockSize = 1 << 20;

// The stream's bytes from its position to its end, the stream left where it was; nothing when it
// cannot seek.
std::optional<std::int64_t> RemainingSize(std::istream& AStream) {
    if (!AStream.good()) return std::nullopt;
    const std::istream::pos_type start = AStream.tellg();
    if (start == std::istream::pos_type(-1)) return std::nullopt;
    const bool atEnd = static_cast<bool>(AStream.seekg(0, std::ios::end));
    const std::istream::pos_type end = atEnd ? AStream.tellg() : std::istream::pos_type(-1);
    AStream.clear();
    AStream.seekg(start);
    if (end == std::istream::pos_type(-1) || end < start) return std::nullopt;
    return static_cast<std::int64_t>(end - start);
}

// A new file in the temporary folder that is gone from the folder as soon as it is open.
std::unique_ptr<std::fstream> AnonymousFile() {
    std::string path = (std::filesystem::temp_directory_path() / "nimbo-upload-XXXXXX").string();
    const int fd = mkstemp(path.data());
    if (fd < 0) throw EFileError("Cannot create a temporary file for the upload: " + std::string(std::strerror(errno)));
    auto file = std::make_unique<std::fstream>(path, std::ios::in | std::ios::out | std::ios::binary | std::ios::trunc);
    unlink(path.c_str());
    close(fd);
    if (!*file) throw EFileError("Cannot open the temporary file for the upload");
    return file;
}

}  // namespace

void CheckSessionUploadSettings(const TSessionUploadSettings& ASettings) {
    if (ASettings.SingleRequestLimit < 0) throw EArgumentException("The single-request limit must not be negative");
    if (ASettings.ChunkSize <= 0) throw EArgumentException("The chunk size must be above 0");
    if (ASettings.MaxResumptions < 0) throw EArgumentException("The number of resumptions must not be negative");
    if (ASettings.PartsInFlight < 1 || ASettings.PartsInFlight > MaxPartsInFlight)
        throw EArgumentException("The parts in flight must be from 1 to " + std::to_string(MaxPartsInFlight));
}

// ---- TUploadSource ----

TUploadSource::TUploadSource(std::istream& AStream, std::int64_t ALimit) : FStream(AStream) {
    if (const std::optional<std::int64_t> size = RemainingSize(AStream)) {
        FSeekable = &AStream;
        FBase = static_cast<std::int64_t>(AStream.tellg());
        FSize = *size;
    } else {
        ReadAhead(ALimit < std::numeric_limits<std::int64_t>::max() ? ALimit + 1 : ALimit);
    }
    FExceedsLimit = IsHeld() ? FHeld.End() > ALimit : FSize > ALimit;
}

std::optional<std::int64_t> TUploadSource::Size() const {
    if (FSize < 0) return std::nullopt;
    return FSize;
}

std::istream& TUploadSource::Whole() {
    Assert(!FExceedsLimit, "The whole content of an upload above the limit was asked for");
    if (IsHeld()) return HeldAt(0);
    FSeekable->clear();
    FSeekable->seekg(FBase);  // the content may have been read already, for its hash
    return *FSeekable;
}

void TUploadSource::MakeMeasurable() {
    if (FSize >= 0) return;
    Assert(FReleased == 0, "An upload source is made measurable after parts were released");
    FSpool = AnonymousFile();
    FHeld.Read(0, FHeld.End(), [&](const char* AData, std::size_t ASize) {
        FSpool->write(AData, static_cast<std::streamsize>(ASize));
    });
    FHeld.DropBefore(FHeld.End());
    std::vector<char> block(BlockSize);
    while (FStream.read(block.data(), static_cast<std::streamsize>(block.size())) || FStream.gcount() > 0)
        FSpool->write(block.data(), FStream.gcount());
    FSpool->flush();
    if (!*FSpool) throw EFileError("Cannot write the temporary file for the upload (is the disk full?)");
    FSeekable = FSpool.get();
    FBase = 0;
    FSize = static_cast<std::int64_t>(FSpool->tellp());
}

std::int64_t TUploadSource::Available(std::int64_t AOffset, std::int64_t AMax) {
    if (IsHeld()) {
        HeldAt(AOffset);
        ReadAhead(AOffset + AMax);
        return std::clamp<std::int64_t>(FHeld.End() - AOffset, 0, AMax);
    }
    return std::clamp<std::int64_t>(FSize - AOffset, 0, AMax);
}

THttpRequest TUploadSource::AddTo(THttpRequest ARequest, std::int64_t AOffset, std::int64_t ACount) {
    if (IsHeld()) {
        Assert(AOffset + ACount <= FHeld.End(), "Upload bytes asked for before they were read");
        return ARequest.Data(HeldAt(AOffset), ACount);
    }
    FSeekable->clear();
    FSeekable->seekg(FBase + AOffset);
    return ARequest.Data(*FSeekable, ACount);
}

void TUploadSource::Read(std::int64_t AOffset, std::int64_t ACount,
                         const std::function<void(const char*, std::size_t)>& AProc) {
    if (IsHeld()) {
        HeldAt(AOffset);
        Assert(AOffset + ACount <= FHeld.End(), "Upload bytes asked for before they were read");
        FHeld.Read(AOffset, ACount, AProc);
        return;
    }
    FSeekable->clear();
    FSeekable->seekg(FBase + AOffset);
    std::vector<char> block(static_cast<std::size_t>(std::min<std::int64_t>(ACount, BlockSize)));
    for (std::int64_t left = ACount; left > 0;) {
        const auto wanted = static_cast<std::streamsize>(std::min<std::int64_t>(left, block.size()));
        FSeekable->read(block.data(), wanted);
        if (FSeekable->gcount() != wanted)
            throw ERestError("The stream of the upload ended " + std::to_string(left - FSeekable->gcount()) +
                             " bytes early");
        AProc(block.data(), static_cast<std::size_t>(wanted));
        left -= wanted;
    }
}

void TUploadSource::Release(std::int64_t AOffset) {
    FReleased = std::max(FReleased, AOffset);
    if (IsHeld()) FHeld.DropBefore(FReleased);
}

void TUploadSource::Finish() {
    if (FSeekable != &FStream) return;
    FStream.clear();
    FStream.seekg(FBase + FSize);
    FStream.setstate(std::ios::eofbit | std::ios::failbit);
}

void TUploadSource::ReadAhead(std::int64_t AEnd) {
    if (FSize >= 0 || FHeld.End() >= AEnd) return;
    if (!FHeld.ReadFrom(FStream, AEnd) || FStream.peek() == std::istream::traits_type::eof())
        FSize = FHeld.End();  // the content may end right after the bytes asked for, too
}

std::istream& TUploadSource::HeldAt(std::int64_t AOffset) {
    if (AOffset < FHeld.Start() || AOffset < FReleased)
        throw ERestError("The upload cannot go back to byte " + std::to_string(AOffset) +
                         " of a stream that cannot seek");
    FHeldStream.clear();
    FHeldStream.seekg(AOffset);
    return FHeldStream;
}

// ---- TUploadSource::THeldBytes ----

bool TUploadSource::THeldBytes::ReadFrom(std::istream& AStream, std::int64_t AEnd) {
    while (FEnd < AEnd) {
        if (FBlocks.empty() || FBlocks.back().size() == BlockSize) {
            FBlocks.emplace_back();
            FBlocks.back().reserve(BlockSize);  // filled in place: the get area may point into it
        }
        std::vector<char>& block = FBlocks.back();
        const std::size_t at = block.size();
        const auto wanted = static_cast<std::size_t>(std::min<std::int64_t>(AEnd - FEnd, BlockSize - at));
        block.resize(at + wanted);
        AStream.read(block.data() + at, static_cast<std::streamsize>(wanted));
        block.resize(at + static_cast<std::size_t>(AStream.gcount()));
        FEnd += AStream.gcount();
        if (block.size() < at + wanted) return false;
    }
    return true;
}

void TUploadSource::THeldBytes::DropBefore(std::int64_t AOffset) {
    bool dropped = false;
    while (!FBlocks.empty() && FStart + static_cast<std::int64_t>(FBlocks.front().size()) <= AOffset) {
        FStart += static_cast<std::int64_t>(FBlocks.front().size());
        FBlocks.pop_front();
        dropped = true;
    }
    if (dropped) setg(nullptr, nullptr, nullptr);  // the get area may have been in a dropped block
}

void TUploadSource::THeldBytes::Read(std::int64_t AOffset, std::int64_t ACount,
                                     const std::function<void(const char*, std::size_t)>& AProc) const {
    while (ACount > 0) {
        const std::vector<char>& block = FBlocks[static_cast<std::size_t>((AOffset - FStart) / BlockSize)];
        const auto at = static_cast<std::size_t>((AOffset - FStart) % BlockSize);
        const std::size_t count = std::min<std::size_t>(block.size() - at, static_cast<std::size_t>(ACount));
        AProc(block.data() + at, count);
        AOffset += static_cast<std::int64_t>(count);
        ACount -= static_cast<std::int64_t>(count);
    }
}

std::streambuf::int_type TUploadSource::THeldBytes::underflow() {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    const std::int64_t position = FAreaEnd;
    if (position < FStart || position >= FEnd) return traits_type::eof();
    std::vector<char>& block = FBlocks[static_cast<std::size_t>((position - FStart) / BlockSize)];
    const auto at = static_cast<std::size_t>((position - FStart) % BlockSize);
    setg(block.data(), block.data() + at, block.data() + block.size());
    FAreaEnd = position + static_cast<std::int64_t>(block.size() - at);
    return traits_type::to_int_type(*gptr());
}

std::streambuf::pos_type TUploadSource::THeldBytes::seekoff(off_type AOffset, std::ios_base::seekdir AWay,
                                                            std::ios_base::openmode) {
    const std::int64_t current = FAreaEnd - (egptr() - gptr());
    const std::int64_t target = (AWay == std::ios_base::beg   ? 0
                                 : AWay == std::ios_base::cur ? current
                                                              : FEnd) +
                                AOffset;
    if (target < FStart || target > FEnd) return pos_type(off_type(-1));
    setg(nullptr, nullptr, nullptr);
    FAreaEnd = target;
    return pos_type(target);
}

std::streambuf::pos_type TUploadSource::THeldBytes::seekpos(pos_type APos, std::ios_base::openmode AMode) {
    return seekoff(off_type(APos), std::ios_base::beg, AMode);
}

// ---- TSessionProgress ----

TSessionProgress::TSessionProgress(const TUploadSource& ASource) : FSource(ASource) {
    THttpProgressHandler outer = THttpProgressScope::Current();
    if (!outer) return;
    FScope.emplace([this, outer = std::move(outer)](const THttpProgress& AProgress) {
        THttpProgress whole = AProgress;
        whole.UploadTotal = FSource.Size().value_or(0);
        // Never backwards (a resent chunk, a commit's own small body) and never beyond the total.
        FReported = std::max(FReported, FOffset + AProgress.UploadDone);
        if (whole.UploadTotal > 0) FReported = std::min(FReported, whole.UploadTotal);
        whole.UploadDone = FReported;
        return outer(whole);
    });
}

// ---- TUploadInterruptions ----

void TUploadInterruptions::Survive() {
    if (!THttpRetryPolicy::IsInterruption()) throw;
    try {
        throw;
    } catch (const EHttpProtocolError& E) {
        Count("status " + std::string(E.what()));
    } catch (const std::exception& E) {
        Count(E.what());
    }
}

void TUploadInterruptions::Count(const std::string& AReason) {
    ++FCount;
    if (FCount > FMax)
        throw ERestError(FWhat + " was interrupted " + std::to_string(FCount) + " times and has been given up (" +
                         AReason + ")");
}

}  // namespace Nimbo::Connection
