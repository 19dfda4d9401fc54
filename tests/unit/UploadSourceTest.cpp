#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>

#include "Nimbo/Connection/UploadSource.h"

using namespace Nimbo::Connection;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

namespace {

// Bytes that differ from their neighbours, so that a slice taken at the wrong place shows.
std::string Pattern(std::size_t ASize) {
    std::string text(ASize, '\0');
    for (std::size_t i = 0; i < ASize; ++i) text[i] = static_cast<char>(i * 131 % 251);
    return text;
}

// A stream that can only be read forward, like a pipe: it cannot tell its position or seek.
class TPipeBuf : public std::streambuf {
public:
    explicit TPipeBuf(std::string AText) : FText(std::move(AText)) {
        setg(FText.data(), FText.data(), FText.data() + FText.size());
    }

private:
    std::string FText;
};

// The content to upload, in a stream of either kind, after a prefix the upload starts behind.
struct TContent {
    TContent(const std::string& AText, bool ASeekable) : Text(AText) {
        const std::string all = "prefix:" + AText;
        if (ASeekable) {
            Stream = std::make_unique<std::istringstream>(all);
        } else {
            Pipe = std::make_unique<TPipeBuf>(all);
            Stream = std::make_unique<std::istream>(Pipe.get());
        }
        Stream->ignore(7);
    }

    std::string Text;
    std::unique_ptr<TPipeBuf> Pipe;
    std::unique_ptr<std::istream> Stream;
};

std::string Slice(TUploadSource& ASource, std::int64_t AOffset, std::int64_t ACount) {
    THttpClient client("h");
    const TBytes body = ASource.AddTo(client.Put("p"), AOffset, ACount).Get().BodyBytes();
    return std::string(body.begin(), body.end());
}

std::string ReadBack(TUploadSource& ASource, std::int64_t AOffset, std::int64_t ACount) {
    std::string text;
    ASource.Read(AOffset, ACount, [&](const char* AData, std::size_t ASize) { text.append(AData, ASize); });
    return text;
}

// Equal bytes; a failure tells where they part rather than printing them.
::testing::AssertionResult SameBytes(const std::string& AActual, const std::string& AExpected) {
    if (AActual == AExpected) return ::testing::AssertionSuccess();
    const std::size_t at = static_cast<std::size_t>(
        std::mismatch(AActual.begin(), AActual.end(), AExpected.begin(), AExpected.end()).first - AActual.begin());
    return ::testing::AssertionFailure() << AActual.size() << " bytes instead of " << AExpected.size()
                                         << ", the first difference at byte " << at;
}

class UploadSource : public ::testing::TestWithParam<bool> {
protected:
    bool Seekable() const { return GetParam(); }
};

}  // namespace

TEST_P(UploadSource, TellsWhetherTheContentExceedsTheLimit) {
    for (const std::size_t size : {0, 99, 100, 101, 5000}) {
        TContent content(Pattern(size), Seekable());
        TUploadSource source(*content.Stream, 100);
        EXPECT_EQ(source.ExceedsLimit(), size > 100) << size;
        if (Seekable() || size <= 100) {
            EXPECT_EQ(source.Size(), static_cast<std::int64_t>(size)) << size;
        }
        if (Seekable()) {
            EXPECT_EQ(content.Stream->tellg(), 7) << "a seekable stream is measured, not read";
        }
        if (size <= 100) {
            std::ostringstream whole;
            whole << source.Whole().rdbuf();
            EXPECT_EQ(whole.str(), content.Text) << size;
        }
    }
}

TEST_P(UploadSource, SlicesGoOutByteExactWithoutCopies) {
    // Slices that start and end anywhere in the blocks a stream that cannot seek is held in.
    const std::int64_t size = (3 << 20) + 1000, chunk = (1 << 20) / 3 * 2 + 7;
    TContent content(Pattern(size), Seekable());
    TUploadSource source(*content.Stream, 100);
    ASSERT_TRUE(source.ExceedsLimit());
    std::int64_t offset = 0;
    while (const std::int64_t count = source.Available(offset, chunk)) {
        THttpClient client("h");
        const THttpRequest request = source.AddTo(client.Put("p"), offset, count);
        EXPECT_TRUE(request.Get().Data.empty()) << "the bytes stay in the stream until sent";
        EXPECT_TRUE(SameBytes(Slice(source, offset, count), content.Text.substr(offset, count))) << offset;
        EXPECT_TRUE(SameBytes(ReadBack(source, offset, count), content.Text.substr(offset, count))) << offset;
        offset += count;
        source.Release(offset);
    }
    EXPECT_EQ(offset, size);
    EXPECT_EQ(source.Size(), size);
    source.Finish();
    EXPECT_TRUE(content.Stream->eof()) << "left at its end, as a single request leaves it";
}

TEST_P(UploadSource, AStreamThatCannotSeekIsMeasuredWhenItsEndIsRead) {
    // Ends exactly at a chunk's end: the size must be known with that chunk, not one later.
    TContent content(Pattern(600), Seekable());
    TUploadSource source(*content.Stream, 100);
    EXPECT_EQ(source.Size().has_value(), Seekable());
    EXPECT_EQ(source.Available(0, 300), 300);
    EXPECT_EQ(source.Size().has_value(), Seekable());
    EXPECT_EQ(source.Available(300, 300), 300);
    EXPECT_EQ(source.Size(), 600);
    EXPECT_EQ(source.Available(600, 300), 0);
}

TEST_P(UploadSource, MakeMeasurableKeepsTheBytes) {
    const std::int64_t size = (2 << 20) + 3000;
    TContent content(Pattern(size), Seekable());
    TUploadSource source(*content.Stream, (1 << 20) + 5);
    source.MakeMeasurable();
    EXPECT_EQ(source.Size(), size);
    EXPECT_TRUE(SameBytes(Slice(source, 0, size), content.Text));
    EXPECT_TRUE(SameBytes(ReadBack(source, size - 500, 500), content.Text.substr(size - 500)));
}

INSTANTIATE_TEST_SUITE_P(Streams, UploadSource, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& AInfo) { return AInfo.param ? "Seekable" : "Pipe"; });

TEST(UploadSourcePipe, GoingBackBeforeReleasedBytesIsAClearError) {
    const std::int64_t released = (3 << 20) / 2;  // inside a block that stays held
    TContent content(Pattern(3 << 20), false);
    TUploadSource source(*content.Stream, 100);
    ASSERT_EQ(source.Available(0, released), released);
    source.Release(released);
    ASSERT_EQ(source.Available(released, 100), 100);
    EXPECT_TRUE(SameBytes(Slice(source, released, 100), content.Text.substr(released, 100)));
    const auto gone = ThrowsMessage<ERestError>(
        HasSubstr("cannot go back to byte " + std::to_string(released - 1) + " of a stream that cannot seek"));
    EXPECT_THAT([&] { Slice(source, released - 1, 1); }, gone);
    EXPECT_THAT([&] { ReadBack(source, released - 1, 1); }, gone);
}

TEST(UploadInterruptions, CountsLostConnectionsAndServerErrorsOnly) {
    TUploadInterruptions interruptions(2, "The upload of \"a.bin\"");
    const auto survive = [&](auto AError) {
        try {
            throw AError;
        } catch (...) {
            interruptions.Survive();
        }
    };
    EXPECT_NO_THROW(survive(ETransportError("PUT x failed: connection reset")));
    EXPECT_THROW(survive(EHttpProtocolError(404, "Not Found", "")), EHttpProtocolError);
    EXPECT_THROW(survive(EHttpProtocolError(507, "Insufficient Storage", "")), EHttpProtocolError);
    EXPECT_THROW(survive(ERestError("other")), ERestError);
    EXPECT_NO_THROW(survive(EHttpProtocolError(503, "Service Unavailable", "")));
    EXPECT_THAT(
        [&] { survive(ETransportError("PUT x failed: timed out")); },
        ThrowsMessage<ERestError>(HasSubstr(
            "The upload of \"a.bin\" was interrupted 3 times and has been given up (PUT x failed: timed out)")));
}

TEST(SessionUploadSettings, RefusesSettingsThatCannotWork) {
    struct Case {
        TSessionUploadSettings Settings;
        const char* Error;
    };
    for (const Case& c :
         {Case{{.SingleRequestLimit = -1, .ChunkSize = 1}, "limit must not be negative"},
          Case{{.SingleRequestLimit = 0, .ChunkSize = 0}, "chunk size must be above 0"},
          Case{{.SingleRequestLimit = 0, .ChunkSize = 1, .MaxResumptions = -1}, "must not be negative"},
          Case{{.SingleRequestLimit = 0, .ChunkSize = 1, .PartsInFlight = 0}, "parts in flight must be from 1 to 64"},
          Case{{.SingleRequestLimit = 0, .ChunkSize = 1, .PartsInFlight = 65}, "parts in flight must be from 1 to 64"}})
        EXPECT_THAT([&] { CheckSessionUploadSettings(c.Settings); },
                    ThrowsMessage<EArgumentException>(HasSubstr(c.Error)));
    EXPECT_NO_THROW(CheckSessionUploadSettings({.SingleRequestLimit = 0, .ChunkSize = 1, .MaxResumptions = 0}));
    EXPECT_NO_THROW(CheckSessionUploadSettings({.SingleRequestLimit = 0, .ChunkSize = 1, .PartsInFlight = 64}));
}
