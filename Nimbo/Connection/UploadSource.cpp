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
    FExceedsLimit = IsHeld() ? HeldEnd() > ALimit : FSize > ALimit;
}

std::optional<std::int64_t> TUploadSource::Size() const {
    if (FSize < 0) return std::nullopt;
    return FSize;
}

std::istream& TUploadSource::Whole() {
    Assert(!FExceedsLimit, "The whole content of an upload above the limit was asked for");
    if (!IsHeld()) return *FSeekable;
    ResetHeldView();
    return FHeldStream;
}

void TUploadSource::MakeMeasurable() {
    if (FSize >= 0) return;
    Assert(FHeldStart == 0 && FReleased == 0, "An upload source is made measurable after parts were released");
    FSpool = AnonymousFile();
    FSpool->write(reinterpret_cast<const char*>(FHeld.data()), static_cast<std::streamsize>(FHeld.size()));
    std::int64_t size = static_cast<std::int64_t>(FHeld.size());
    FHeld = TBytes();
    std::vector<char> block(BlockSize);
    while (FStream.read(block.data(), static_cast<std::streamsize>(block.size())) || FStream.gcount() > 0) {
        FSpool->write(block.data(), FStream.gcount());
        size += FStream.gcount();
    }
    FSpool->flush();
    if (!*FSpool) throw EFileError("Cannot write the temporary file for the upload (is the disk full?)");
    FSeekable = FSpool.get();
    FBase = 0;
    FSize = size;
}

std::int64_t TUploadSource::Available(std::int64_t AOffset, std::int64_t AMax) {
    if (IsHeld()) {
        CheckHeld(AOffset);
        ReadAhead(AOffset + AMax);
        return std::clamp<std::int64_t>(HeldEnd() - AOffset, 0, AMax);
    }
    return std::clamp<std::int64_t>(FSize - AOffset, 0, AMax);
}

THttpRequest TUploadSource::AddTo(THttpRequest ARequest, std::int64_t AOffset, std::int64_t ACount) {
    if (IsHeld()) {
        CheckHeld(AOffset);
        Assert(AOffset + ACount <= HeldEnd(), "Upload bytes asked for before they were read");
        ResetHeldView();
        FHeldStream.seekg(AOffset - FHeldStart);
        return ARequest.Data(FHeldStream, ACount);
    }
    FSeekable->clear();
    FSeekable->seekg(FBase + AOffset);
    return ARequest.Data(*FSeekable, ACount);
}

void TUploadSource::Read(std::int64_t AOffset, std::int64_t ACount,
                         const std::function<void(const char*, std::size_t)>& AProc) {
    if (IsHeld()) {
        CheckHeld(AOffset);
        Assert(AOffset + ACount <= HeldEnd(), "Upload bytes asked for before they were read");
        AProc(reinterpret_cast<const char*>(FHeld.data() + (AOffset - FHeldStart)), static_cast<std::size_t>(ACount));
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
    if (!IsHeld()) return;
    // Dropped in large steps, so that moving the rest to the front costs about as much as reading it.
    const std::int64_t drop = std::min(FReleased, HeldEnd()) - FHeldStart;
    if (drop <= 0 || drop < static_cast<std::int64_t>(FHeld.size()) / 2) return;
    FHeld.erase(FHeld.begin(), FHeld.begin() + drop);
    FHeld.shrink_to_fit();
    FHeldStart += drop;
}

void TUploadSource::Finish() {
    if (FSeekable != &FStream) return;
    FStream.clear();
    FStream.seekg(FBase + FSize);
    FStream.setstate(std::ios::eofbit | std::ios::failbit);
}

void TUploadSource::ReadAhead(std::int64_t AEnd) {
    if (FSize >= 0) return;
    while (HeldEnd() < AEnd) {
        const std::size_t at = FHeld.size();
        const auto wanted = static_cast<std::size_t>(std::min<std::int64_t>(AEnd - HeldEnd(), BlockSize));
        FHeld.resize(at + wanted);
        FStream.read(reinterpret_cast<char*>(FHeld.data() + at), static_cast<std::streamsize>(wanted));
        FHeld.resize(at + static_cast<std::size_t>(FStream.gcount()));
        if (FHeld.size() < at + wanted) {
            FSize = HeldEnd();
            return;
        }
    }
    // Exactly AEnd bytes so far: the content may end right here.
    if (FStream.peek() == std::istream::traits_type::eof()) FSize = HeldEnd();
}

void TUploadSource::CheckHeld(std::int64_t AOffset) const {
    if (AOffset < FHeldStart || AOffset < FReleased)
        throw ERestError("The upload cannot go back to byte " + std::to_string(AOffset) +
                         " of a stream that cannot seek");
}

void TUploadSource::ResetHeldView() {
    char* begin = reinterpret_cast<char*>(FHeld.data());
    FHeldBuf.Reset(begin, begin + FHeld.size());
    FHeldStream.clear();
}

std::streambuf::pos_type TUploadSource::TMemoryBuf::seekoff(off_type AOffset, std::ios_base::seekdir AWay,
                                                            std::ios_base::openmode) {
    char* from = AWay == std::ios_base::beg ? eback() : AWay == std::ios_base::cur ? gptr() : egptr();
    if (AOffset < eback() - from || AOffset > egptr() - from) return pos_type(off_type(-1));
    setg(eback(), from + AOffset, egptr());
    return pos_type(gptr() - eback());
}

std::streambuf::pos_type TUploadSource::TMemoryBuf::seekpos(pos_type APos, std::ios_base::openmode AMode) {
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
    try {
        throw;
    } catch (const ETransportError& E) {
        Count(E.what());
    } catch (const EHttpProtocolError& E) {
        if (E.ErrorCode() < 500 || E.ErrorCode() > 599) throw;
        Count("status " + std::string(E.what()));
    }
}

void TUploadInterruptions::Count(const std::string& AReason) {
    ++FCount;
    if (FCount > FMax)
        throw ERestError(FWhat + " was interrupted " + std::to_string(FCount) + " times and has been given up (" +
                         AReason + ")");
}

}  // namespace Nimbo::Connection
