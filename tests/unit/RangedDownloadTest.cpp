// How a download is split into ranges, and which download settings are refused.

#include <gtest/gtest.h>

#include "Nimbo/Connection/RangedDownload.h"
#include "Nimbo/Connection/platform/Exceptions.h"

using namespace Nimbo::Connection;

namespace {

constexpr std::int64_t MiB = 1 << 20;

struct TSplitCase {
    std::int64_t Size;
    int Streams;
    std::int64_t RangeSize;
    std::vector<TByteRange> Expected;
};

TEST(SplitRanges, CoversTheContentInOrderWithEveryStreamGivenARange) {
    const TSplitCase cases[] = {
        {0, 4, 32 * MiB, {}},
        {1, 4, 32 * MiB, {{0, 0}}},
        {3, 4, 32 * MiB, {{0, 0}, {1, 1}, {2, 2}}},
        {10, 3, 32 * MiB, {{0, 3}, {4, 7}, {8, 9}}},
        {10, 1, 4, {{0, 3}, {4, 7}, {8, 9}}},
        // Ranges of a MiB or more are whole MiBs: a quarter of 64 MiB + 1 makes 17 MiB.
        {64 * MiB + 1,
         4,
         32 * MiB,
         {{0, 17 * MiB - 1}, {17 * MiB, 34 * MiB - 1}, {34 * MiB, 51 * MiB - 1}, {51 * MiB, 64 * MiB}}},
        {256 * MiB,
         4,
         32 * MiB,
         {{0, 32 * MiB - 1},
          {32 * MiB, 64 * MiB - 1},
          {64 * MiB, 96 * MiB - 1},
          {96 * MiB, 128 * MiB - 1},
          {128 * MiB, 160 * MiB - 1},
          {160 * MiB, 192 * MiB - 1},
          {192 * MiB, 224 * MiB - 1},
          {224 * MiB, 256 * MiB - 1}}},
        {3 * MiB + 5,
         8,
         32 * MiB,
         {{0, 393216},
          {393217, 786433},
          {786434, 1179650},
          {1179651, 1572867},
          {1572868, 1966084},
          {1966085, 2359301},
          {2359302, 2752518},
          {2752519, 3145732}}},
    };
    for (const TSplitCase& c : cases)
        EXPECT_EQ(SplitRanges(c.Size, c.Streams, c.RangeSize), c.Expected)
            << c.Size << " bytes, " << c.Streams << " streams, ranges of " << c.RangeSize;
}

TEST(SplitRanges, LargeContentHasNoGapNoOverlapAndNoRangeAboveTheLimit) {
    const std::int64_t size = 10'000 * MiB + 12345;
    const std::vector<TByteRange> ranges = SplitRanges(size, 4, 48 * MiB);
    std::int64_t next = 0;
    for (const TByteRange& range : ranges) {
        ASSERT_EQ(range.First, next);
        ASSERT_LE(range.Size(), 48 * MiB);
        next = range.Last + 1;
    }
    EXPECT_EQ(next, size);
}

TEST(DownloadSettings, RefusesWhatCannotWork) {
    EXPECT_NO_THROW(CheckDownloadSettings({}));
    EXPECT_NO_THROW(CheckDownloadSettings({.Streams = 1, .MultiStreamCutoff = 0, .RangeSize = 1, .MaxResumptions = 0}));
    const TDownloadSettings refused[] = {
        {.Streams = 0},         {.Streams = MaxDownloadStreams + 1}, {.MultiStreamCutoff = -1}, {.RangeSize = 0},
        {.MaxResumptions = -1},
    };
    for (const TDownloadSettings& settings : refused) EXPECT_THROW(CheckDownloadSettings(settings), EArgumentException);
}

}  // namespace
