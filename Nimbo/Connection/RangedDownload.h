#pragma once

// Downloads of large files in ranges fetched on several connections at once, each range written at
// its offset into the same local file.

#include <cstdint>
#include <string>
#include <vector>

namespace Nimbo::Connection {

class TNimboStorage;
class TNimboCloudFileData;
class TContentHasher;

// How a download to a local file uses several connections.
struct TDownloadSettings {
    // Connections one download uses at once, each fetching a range of the file; 1: the whole file in
    // one request.
    int Streams = 4;
    // Smaller files go in one request.
    std::int64_t MultiStreamCutoff = 64 << 20;
    // Bytes one range request asks for at most.
    std::int64_t RangeSize = 32 << 20;
    // Interruptions (a lost connection, a time-out, a server error) one download survives by
    // fetching the rest of the interrupted range again.
    int MaxResumptions = 5;
};

inline constexpr int MaxDownloadStreams = 32;

// Raises EArgumentException unless the streams are from 1 to MaxDownloadStreams, the cutoff at least
// 0, the range size above 0 and the resumptions at least 0.
void CheckDownloadSettings(const TDownloadSettings& ASettings);

// Bytes First to Last of a file, both included.
struct TByteRange {
    std::int64_t First = 0;
    std::int64_t Last = 0;

    std::int64_t Size() const { return Last - First + 1; }
    bool operator==(const TByteRange&) const = default;
};

// The ranges, in order, that cover content of ASize bytes fetched on AStreams connections: of equal
// size but the last, at most ARangeSize bytes, and small enough that every connection gets one.
// Ranges of a MiB or more are whole MiBs. None for empty content.
std::vector<TByteRange> SplitRanges(std::int64_t ASize, int AStreams, std::int64_t ARangeSize);

// Downloads the file of AData (of the size its record holds) into the open file AFd as
// ASettings.Streams connections at once fetch its ranges (SplitRanges) through
// AStorage.RangeExchange, each writing at its offset through a buffer of its own. An interrupted
// range is fetched again from its first missing byte, as TUploadInterruptions counts and the retry
// policy waits; any other failure, or a cancel by the calling thread's progress handler, stops every
// connection and passes on. The handler hears the bytes written of the whole file. When AHasher is
// given, the file is fed to it from its start as far as the ranges have written it without a gap,
// read back from AFd while the download goes on. AWhat names the download in errors ("The download
// of \"a.bin\""), AFileName the local file.
void RunRangedDownload(TNimboStorage& AStorage, TNimboCloudFileData& AData, int AFd, const TDownloadSettings& ASettings,
                       TContentHasher* AHasher, const std::string& AWhat, const std::string& AFileName);

}  // namespace Nimbo::Connection
