// Downloads to a file in ranges fetched on several connections at once: the bytes land exactly, a
// failed range is fetched again by itself, a damaged range fails the content check, an answer
// that is not the range asked for is refused, and a cancel stops every connection; whatever fails,
// the local file of that name is untouched and no temporary file is left.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "AdapterTestSupport.h"
#include "Nimbo/Connection/HttpTransport.h"
#include "Nimbo/Connection/RangedDownload.h"

using namespace Nimbo::Connection;
using AdapterTest::Corrupted;
using AdapterTest::Dropped;
using AdapterTest::HeaderOf;
using AdapterTest::TAdapterKind;
using AdapterTest::Truncated;
using Nimbo::Emulator::Fault;
using Nimbo::Emulator::RecordedRequest;
using Nimbo::Emulator::Route;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t KiB = 1024;
// Five ranges of 256 KiB and a short last one, on three connections.
constexpr std::int64_t FileSize = 5 * 256 * KiB + 321;
constexpr TDownloadSettings Ranged{.Streams = 3, .MultiStreamCutoff = 64 * KiB, .RangeSize = 256 * KiB};
constexpr char LocalContent[] = "the local copy, older";

// Bytes that differ from their neighbours, so that a range written at the wrong offset shows.
std::string Pattern(std::size_t ASize) {
    std::string text(ASize, '\0');
    for (std::size_t i = 0; i < ASize; ++i) text[i] = static_cast<char>((i * 131 + i / 251) % 251);
    return text;
}

Fault ServerError(int AStatus) {
    Fault fault;
    fault.status = AStatus;
    fault.body = "{}";
    return fault;
}

// The request that brings a file's bytes, on the host that sends them, behind any redirect.
Route ContentRoute(const TAdapterKind& AKind) {
    static const std::map<std::string, Route> routes = {
        {"Box", {"dl.boxcloud.com", "GET", "/d/1/"}},
        {"GoogleDrive3", {"www.googleapis.com", "GET", "/drive/v3/files/"}},
        {"DropBox2", {"content.dropboxapi.com", "POST", "/2/files/download"}},
        {"OneDriveGraph", {"public.dm.files.1drv.com", "GET", "/y4m/"}},
        {"GoogleDrive", {"doc-0s-00-docs.googleusercontent.com", "GET", "/"}},
        {"Dropbox", {"api-content.dropbox.com", "GET", "/1/files/dropbox/"}},
        {"OneDrive", {"storage.live.com", "GET", "/items/"}},
    };
    return routes.at(AKind.Name);
}

std::string ReadFile(const fs::path& APath) {
    std::ifstream in(APath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A signed-in storage that downloads in ranges, a file "Docs/big.bin" of FileSize bytes already
// listed, and a local folder holding an older file of the name it is downloaded to.
class RangedDownload : public AdapterTest::TAdapterFixtureFor {
protected:
    void SetUp() override {
        TAdapterFixtureFor::SetUp();
        Content = Pattern(FileSize);
        Emu().AddFolder(Kind().Service, "Docs");
        Emu().AddFile(Kind().Service, "Docs/big.bin", Content);
        Storage().SetDownloadSettings(Ranged);
        Big = Child(Child(Storage().Root(), "Docs"), "big.bin");
        LocalFolder = fs::path(::testing::TempDir()) / ("ranged-" + Kind().Name + "-" + std::to_string(::getpid()));
        fs::remove_all(LocalFolder);
        fs::create_directories(LocalFolder);
        std::ofstream(Target(), std::ios::binary) << LocalContent;
        Emu().ClearRequests();
    }

    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(LocalFolder, ignored);
        TAdapterFixtureFor::TearDown();
    }

    fs::path Target() const { return LocalFolder / "big.bin"; }

    // The names in the local folder: only the target, whatever happened.
    std::set<std::string> LocalNames() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(LocalFolder)) names.insert(entry.path().filename().string());
        return names;
    }

    // The Range headers of the content requests made, in order of arrival.
    std::vector<std::string> RangesAsked() const {
        const Route route = ContentRoute(Kind());
        std::vector<std::string> ranges;
        for (const RecordedRequest& request : Requests(route.host))
            if (request.method == route.method && request.path.rfind(route.pathPrefix, 0) == 0)
                ranges.push_back(HeaderOf(request, "Range"));
        return ranges;
    }

    // The download fails with a message holding AMessage, and leaves the old local file alone.
    void ExpectFailureLeavingTarget(const std::string& AMessage) {
        EXPECT_THAT([&] { Big.Download(Target().string()); }, ThrowsMessage<std::exception>(HasSubstr(AMessage)));
        EXPECT_EQ(ReadFile(Target()), LocalContent);
        EXPECT_EQ(LocalNames(), std::set<std::string>{"big.bin"});
    }

    std::string Content;
    TNimboCloudFile Big;
    fs::path LocalFolder;
};

TEST_P(RangedDownload, WritesEveryRangeAtItsOffsetOnSeveralConnections) {
    Big.Download(Target().string());
    EXPECT_TRUE(ReadFile(Target()) == Content) << "the downloaded bytes differ";
    EXPECT_EQ(LocalNames(), std::set<std::string>{"big.bin"});
    std::vector<std::string> asked = RangesAsked();
    std::sort(asked.begin(), asked.end());
    EXPECT_EQ(asked, (std::vector<std::string>{"bytes=0-262143", "bytes=1048576-1310719", "bytes=1310720-1311040",
                                               "bytes=262144-524287", "bytes=524288-786431", "bytes=786432-1048575"}));
}

TEST_P(RangedDownload, SmallFilesAndOneStreamGoInOneRequest) {
    Storage().SetDownloadSettings({.Streams = 1, .MultiStreamCutoff = 64 * KiB, .RangeSize = 256 * KiB});
    Big.Download(Target().string());
    Storage().SetDownloadSettings({.Streams = 4, .MultiStreamCutoff = FileSize + 1, .RangeSize = 256 * KiB});
    Big.Download(Target().string());
    EXPECT_TRUE(ReadFile(Target()) == Content) << "the downloaded bytes differ";
    EXPECT_EQ(RangesAsked(), (std::vector<std::string>{"", ""}));
}

TEST_P(RangedDownload, FetchesAnInterruptedRangeAgainByItself) {
    const struct {
        const char* Name;
        Fault Met;
        std::size_t Distinct;  // ranges asked for: the six, and the rest of a range cut short
    } cases[] = {{"dropped", Dropped(), 6}, {"server error", ServerError(500), 6}, {"cut short", Truncated(), 7}};
    for (const auto& c : cases) {
        Emu().ClearRequests();
        Emu().InjectFault(ContentRoute(Kind()), c.Met);
        Big.Download(Target().string());
        EXPECT_TRUE(ReadFile(Target()) == Content) << c.Name << ": the downloaded bytes differ";
        const std::vector<std::string> asked = RangesAsked();
        EXPECT_EQ(asked.size(), 7u) << c.Name;
        EXPECT_EQ(std::set<std::string>(asked.begin(), asked.end()).size(), c.Distinct) << c.Name;
    }
}

TEST_P(RangedDownload, GivesUpAfterTooManyInterruptions) {
    Storage().SetDownloadSettings(
        {.Streams = 3, .MultiStreamCutoff = 64 * KiB, .RangeSize = 256 * KiB, .MaxResumptions = 2});
    Emu().InjectFault(ContentRoute(Kind()), ServerError(502), 3);
    ExpectFailureLeavingTarget("was interrupted 3 times");
}

TEST_P(RangedDownload, DamagedRangeFailsTheContentCheck) {
    if (Kind().HashAlgorithm.empty()) GTEST_SKIP() << Kind().Name << " gives no content hashes";
    Emu().InjectFault(ContentRoute(Kind()), Corrupted());
    ExpectFailureLeavingTarget("The download of \"big.bin\" failed its content check");
}

TEST_P(RangedDownload, RefusesTheWholeContentWhereARangeWasAsked) {
    Fault whole;
    whole.status = 200;
    whole.body = Content;
    whole.contentType = "application/octet-stream";
    Emu().InjectFault(ContentRoute(Kind()), whole);
    ExpectFailureLeavingTarget("answered 200 where bytes");
}

TEST_P(RangedDownload, CancelStopsEveryConnectionAndLeavesNoTemporaryFile) {
    Fault slow;
    slow.delay = std::chrono::milliseconds(1500);
    Emu().InjectFault(ContentRoute(Kind()), slow);
    int calls = 0;
    const THttpProgressScope cancel([&](const THttpProgress& AProgress) {
        ++calls;
        EXPECT_EQ(AProgress.DownloadTotal, FileSize);
        return AProgress.DownloadDone == 0;  // cancelled once some bytes are in
    });
    EXPECT_THROW(Big.Download(Target().string()), EAbort);
    EXPECT_GT(calls, 0);
    EXPECT_EQ(ReadFile(Target()), LocalContent);
    EXPECT_EQ(LocalNames(), std::set<std::string>{"big.bin"});
}

TEST_P(RangedDownload, ProgressAddsUpTheConnections) {
    std::int64_t last = -1;
    bool backwards = false;
    const THttpProgressScope watch([&](const THttpProgress& AProgress) {
        if (AProgress.DownloadTotal == FileSize) {
            backwards = backwards || AProgress.DownloadDone < last;
            last = AProgress.DownloadDone;
        }
        return true;
    });
    Big.Download(Target().string());
    EXPECT_FALSE(backwards);
    EXPECT_EQ(last, FileSize);
}

std::vector<TAdapterKind> RangedKinds() {
    std::vector<TAdapterKind> kinds;
    for (const TAdapterKind& kind : AdapterTest::AdapterKinds())
        if (kind.Name != "GoogleDrive" && kind.Name != "Dropbox" && kind.Name != "OneDrive") kinds.push_back(kind);
    return kinds;
}

GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(RangedDownload);
INSTANTIATE_TEST_SUITE_P(Adapters, RangedDownload, ::testing::ValuesIn(RangedKinds()), AdapterTest::KindName);

// The older interfaces fetch ranges as well.
class LegacyRangedDownload : public RangedDownload {};

TEST_P(LegacyRangedDownload, WritesEveryRangeAtItsOffset) {
    Big.Download(Target().string());
    EXPECT_TRUE(ReadFile(Target()) == Content) << "the downloaded bytes differ";
    EXPECT_EQ(RangesAsked().size(), 6u);
}

std::vector<TAdapterKind> LegacyKinds() {
    std::vector<TAdapterKind> kinds;
    for (const TAdapterKind& kind : AdapterTest::AdapterKinds())
        if (kind.Name == "GoogleDrive" || kind.Name == "Dropbox" || kind.Name == "OneDrive") kinds.push_back(kind);
    return kinds;
}

GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(LegacyRangedDownload);
INSTANTIATE_TEST_SUITE_P(Adapters, LegacyRangedDownload, ::testing::ValuesIn(LegacyKinds()), AdapterTest::KindName);

}  // namespace
