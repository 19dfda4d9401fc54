// How a download is split into ranges, which download settings are refused, and how the download
// of a file in ranges meets failures of its ranges and of the local disk.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>

#include "Nimbo/Connection/ContentHash.h"
#include "Nimbo/Connection/RangedDownload.h"
#include "Nimbo/Connection/Storage.h"
#include "Nimbo/Connection/platform/Exceptions.h"

using namespace Nimbo::Connection;
using ::testing::Contains;
using ::testing::HasSubstr;

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

// ---------------------------------------------------------------------------------------------
// The download in ranges, against a storage whose ranges answer as a test says

// A file of the storage: its size and hash as the record holds them.
class TFileData : public TNimboCloudFileData {
public:
    TFileData(const TNimboStorage& AStorage, const std::string& AContent) : TNimboCloudFileData(AStorage) {
        const std::unique_ptr<TContentHasher> hasher = TContentHasher::Create(THashAlgorithm::Sha1);
        hasher->Update(AContent.data(), AContent.size());
        AssignInfo({.Id = "f",
                    .Name = "file.bin",
                    .Size = std::int64_t(AContent.size()),
                    .Hash = hasher->Finish(),
                    .HashAlgorithm = THashAlgorithm::Sha1});
    }
};

// Answers each range through Answer, on the stream threads; records the ranges asked for.
class TRangedStorage : public TNimboStorage {
public:
    // Writes the answer for bytes AFirst to ALast, whose content is AContent's; ACall counts the
    // ranges asked for so far, from 0.
    using TAnswer = std::function<void(std::int64_t AFirst, std::int64_t ALast, int ACall, std::ostream& AStream)>;

    TAnswer Answer;

    std::vector<TByteRange> Asked() const {
        std::lock_guard lock(FLock);
        return FAsked;
    }

    bool CanDownloadRanges(TNimboCloudFileData&) override { return true; }
    TRangeExchange RangeExchange(TNimboCloudFileData&, std::int64_t AFirst, std::int64_t ALast) override {
        int call = 0;
        {
            std::lock_guard lock(FLock);
            call = static_cast<int>(FAsked.size());
            FAsked.push_back({AFirst, ALast});
        }
        return [this, AFirst, ALast, call](std::ostream& AStream) { Answer(AFirst, ALast, call, AStream); };
    }

    TNimboCloudFile GetRoot() override { RaiseUnsupported("A root"); }
    void GetFiles(TNimboCloudFileData&, const TFileProc&) override {}
    void Download(TNimboCloudFileData&, std::ostream&) override { RaiseUnsupported("Downloading in one request"); }
    void Upload(TNimboCloudFileData&, std::istream&) override {}
    void Delete(TNimboCloudFileData&) override {}
    AutoFree<TNimboCloudFileData> CreateFolder(TNimboCloudFileData&, const std::string&) override { return nullptr; }
    AutoFree<TNimboCloudFileData> createFile(TNimboCloudFileData&, const std::string&, std::istream&) override {
        return nullptr;
    }

protected:
    std::string GetServerName() const override { return "ranges.example"; }

private:
    mutable std::mutex FLock;
    std::vector<TByteRange> FAsked;
};

// A file of 10 ranges of 64 KiB on 3 streams, and a local folder holding an older file of its name.
class RangedDownloadDriver : public ::testing::Test {
protected:
    void SetUp() override {
        Content.resize(10 * Piece);
        for (std::size_t i = 0; i < Content.size(); ++i) Content[i] = static_cast<char>(i * 7 % 253);
        Storage.SetDownloadSettings(
            {.Streams = 3, .MultiStreamCutoff = 1, .RangeSize = std::int64_t(Piece), .MaxResumptions = 2});
        std::string pattern = (std::filesystem::temp_directory_path() / "nimbo-ranged-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        Folder = pattern;
        std::ofstream(Target()) << "older";
    }
    void TearDown() override { std::filesystem::remove_all(Folder); }

    std::string Target() const { return (Folder / "file.bin").string(); }
    std::string Local() const {
        std::ifstream stream(Target(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(stream), {});
    }
    std::size_t Entries() const {
        return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(Folder), {}));
    }
    // The bytes of the range, as the service holds them.
    std::string Bytes(std::int64_t AFirst, std::int64_t ALast) const {
        return Content.substr(std::size_t(AFirst), std::size_t(ALast - AFirst + 1));
    }

    static constexpr std::size_t Piece = 64 << 10;
    std::string Content;
    TRangedStorage Storage;
    TNimboCloudFile File{std::make_shared<TFileData>(Storage, std::string(10 * Piece, '\0'))};
    std::filesystem::path Folder;
};

TEST_F(RangedDownloadDriver, ARangeCutShortIsAskedForAgainFromItsFirstMissingByte) {
    File = TNimboCloudFile(std::make_shared<TFileData>(Storage, Content));
    Storage.Answer = [&](std::int64_t AFirst, std::int64_t ALast, int, std::ostream& AStream) {
        if (AFirst == std::int64_t(4 * Piece)) {  // half of the fifth range, then the connection is lost
            AStream << Bytes(AFirst, AFirst + std::int64_t(Piece / 2) - 1);
            throw ETransportError("connection lost");
        }
        AStream << Bytes(AFirst, ALast);
    };
    File.Download(Target());
    EXPECT_TRUE(Local() == Content) << "the downloaded bytes differ";
    EXPECT_THAT(Storage.Asked(),
                Contains(TByteRange{std::int64_t(4 * Piece + Piece / 2), std::int64_t(5 * Piece - 1)}));
    EXPECT_EQ(Storage.Asked().size(), 11u);
}

TEST_F(RangedDownloadDriver, FailuresThatAreNoInterruptionEndTheDownloadAtOnce) {
    File = TNimboCloudFile(std::make_shared<TFileData>(Storage, Content));
    const struct {
        const char* Name;
        TRangedStorage::TAnswer Answer;
        std::string Error;
    } cases[] = {
        {"more bytes than the range",
         [&](std::int64_t AFirst, std::int64_t ALast, int, std::ostream& AStream) {
             AStream << Bytes(AFirst, ALast) << "x";
         },
         "sent more than the 65536 bytes"},
        {"a refusal",
         [&](std::int64_t AFirst, std::int64_t ALast, int, std::ostream& AStream) {
             if (AFirst == std::int64_t(4 * Piece)) throw ERestError("not yours");
             AStream << Bytes(AFirst, ALast);
         },
         "not yours"},
    };
    for (const auto& c : cases) {
        Storage.Answer = c.Answer;
        try {
            File.Download(Target());
            ADD_FAILURE() << c.Name << ": no error";
        } catch (const ERestError& E) {
            EXPECT_THAT(E.Message(), HasSubstr(c.Error)) << c.Name;
        }
        EXPECT_EQ(Local(), "older") << c.Name;
        EXPECT_EQ(Entries(), 1u) << c.Name;
    }
}

TEST_F(RangedDownloadDriver, TooManyInterruptionsEndTheDownload) {
    Storage.Answer = [&](std::int64_t, std::int64_t, int, std::ostream&) { throw ETransportError("connection lost"); };
    EXPECT_THAT([&] { File.Download(Target()); },
                ::testing::ThrowsMessage<ERestError>(HasSubstr("was interrupted 3 times")));
    EXPECT_EQ(Local(), "older");
    EXPECT_EQ(Entries(), 1u);
}

TEST_F(RangedDownloadDriver, AFullDiskEndsTheDownloadWithoutFetchingAgain) {
    Storage.Answer = [&](std::int64_t AFirst, std::int64_t ALast, int, std::ostream& AStream) {
        AStream << Bytes(AFirst, ALast);
    };
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = before;
    limited.rlim_cur = 2 * Piece;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    std::string error;
    try {
        File.Download(Target());
    } catch (const EFileError& E) {
        error = E.Message();
    }
    ::setrlimit(RLIMIT_FSIZE, &before);
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_THAT(error, HasSubstr("Cannot write file"));
    EXPECT_LE(Storage.Asked().size(), 10u);  // no range asked for again
    EXPECT_EQ(Local(), "older");
    EXPECT_EQ(Entries(), 1u);
}

}  // namespace
