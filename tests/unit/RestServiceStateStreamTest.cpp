#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "RestServiceTestSupport.h"

using namespace Nimbo::Connection;
using namespace Nimbo::Connection::Testing;

namespace {

TBytes SavedBytes(const TRestService& AService) {
    std::ostringstream stream;
    AService.SaveState(stream);
    const std::string text = stream.str();
    return TBytes(text.begin(), text.end());
}

std::istringstream StreamOf(const TBytes& ABytes) {
    return std::istringstream(std::string(ABytes.begin(), ABytes.end()));
}

// A state class with an extra saved field, reached through the service's default forwarding.
class TScopedState : public TServiceState {
public:
    std::int64_t Scopes = 0;

protected:
    void DoSaveState(TBinaryWriter& AWriter) const override { AWriter.Write(Scopes); }
    TApplyState DoLoadState(TBinaryReader& AReader) override {
        const std::int64_t scopes = AReader.ReadInt64();
        return [this, scopes] { Scopes = scopes; };
    }
};

// A service that saves extra fields of its own, the way adapters keep the account's user name.
class TUserService : public TTestServiceOf<TScopedState> {
public:
    std::string UserName;
    bool FailWhileSaving = false;

    TScopedState& Scoped() { return StateAs<TScopedState>(); }

protected:
    void DoSaveState(TBinaryWriter& AWriter) const override {
        TTestServiceOf::DoSaveState(AWriter);  // the state's scopes
        AWriter.Write(UserName);
        if (FailWhileSaving) throw EFileError("disk full");
    }
    TApplyState DoLoadState(TBinaryReader& AReader) override {
        TApplyState applyState = TTestServiceOf::DoLoadState(AReader);
        std::string userName = AReader.ReadString();
        return [this, applyState, userName] {
            if (applyState) applyState();
            UserName = userName;
        };
    }
};

struct TSnapshot {
    std::string Token, Refresh, UserName;
    std::uint64_t ExpiresBits;
    std::int64_t Scopes;
    bool operator==(const TSnapshot&) const = default;
};

TSnapshot SnapshotOf(TUserService& AService) {
    return {AService.GetToken(), AService.GetRefresh(), AService.UserName,
            std::bit_cast<std::uint64_t>(AService.GetExpires()), AService.Scoped().Scopes};
}

void PrintTo(const TSnapshot& A, std::ostream* AOut) {
    *AOut << A.Token << "/" << A.Refresh << "/" << A.UserName << "/" << A.ExpiresBits << "/" << A.Scopes;
}

// A signed-in service with extra fields and a saved stream that differs from it in every field.
struct RestServiceStateLoad : public ::testing::Test {
    TUserService Service;
    TBytes OtherStream;

    void SetUp() override {
        Service.SetClientId("client");
        TUserService other;
        other.SetClientId("client");
        other.State().SetToken("other-token", "other-refresh", 45000.25);
        other.Scoped().Scopes = 0x1234;
        other.UserName = "Other User";
        OtherStream = SavedBytes(other);

        Service.State().SetToken("token", "refresh", 44000.75);
        Service.Scoped().Scopes = 7;
        Service.UserName = "User";
    }
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// The byte layout

TEST(RestServiceStateStream, NewStateIsTheVersionByteThreeEmptyStringsAndZeroExpiry) {
    TPlainService service;
    EXPECT_EQ(SavedBytes(service), (TBytes{0x01, 0x00, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(RestServiceStateStream, ResetStateHasTheMinimalDateAsExpiry) {
    TPlainService service;
    service.State().ResetToken();
    EXPECT_EQ(SavedBytes(service), (TBytes{0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x34, 0x10, 0x24, 0xC1}));
}

TEST(RestServiceStateStream, FieldsAreWrittenInOrderWithVariableLengthPrefixes) {
    TPlainService service;
    service.SetClientId("id");
    service.State().SetToken(std::string(200, 't'), "r\xC3\xA9", 1.0);
    const TBytes bytes = SavedBytes(service);

    TBytes expected{0x01, 0x02, 'i', 'd', 0xC8, 0x01};
    expected.insert(expected.end(), 200, 't');
    expected.insert(expected.end(), {0x03, 'r', 0xC3, 0xA9});
    expected.insert(expected.end(), {0, 0, 0, 0, 0, 0, 0xF0, 0x3F});  // 1.0
    EXPECT_EQ(bytes, expected);
}

TEST(RestServiceStateStream, ExtraFieldsFollowTheCommonOnes) {
    TUserService service;
    service.Scoped().Scopes = 0x0102;
    service.UserName = "Al";
    const TBytes bytes = SavedBytes(service);
    ASSERT_EQ(bytes.size(), 12u + 8u + 3u);
    EXPECT_EQ(TBytes(bytes.begin() + 12, bytes.end()), (TBytes{0x02, 0x01, 0, 0, 0, 0, 0, 0, 0x02, 'A', 'l'}));
}

TEST(RestServiceStateStream, WritesAtTheStreamsCurrentPosition) {
    TPlainService service;
    std::ostringstream stream;
    stream << "head";
    service.SaveState(stream);
    EXPECT_EQ(stream.str().substr(0, 5), std::string("head\x01", 5));
    EXPECT_EQ(stream.str().size(), 4u + 12u);
}

// ---------------------------------------------------------------------------------------------
// Loading

TEST_F(RestServiceStateLoad, RoundTripRestoresEveryFieldBitForBit) {
    const double oddExpiry = std::bit_cast<double>(std::uint64_t{0x40E5F3A9FBE76C8B});
    Service.State().SetToken("token", "refresh", oddExpiry);
    const TBytes saved = SavedBytes(Service);
    const TSnapshot before = SnapshotOf(Service);

    Service.State().ResetToken();
    Service.Scoped().Scopes = 0;
    Service.UserName.clear();
    auto stream = StreamOf(saved);
    Service.LoadState(stream);
    EXPECT_EQ(SnapshotOf(Service), before);
    EXPECT_EQ(stream.peek(), std::char_traits<char>::eof()) << "the whole state was consumed";
}

TEST_F(RestServiceStateLoad, LoadingIsSeenByEveryServiceOfTheGroup) {
    TUserService partner;
    Service.SetGroup(31);
    partner.SetGroup(31);
    auto stream = StreamOf(OtherStream);
    Service.LoadState(stream);
    EXPECT_EQ(partner.GetToken(), "other-token");
    EXPECT_EQ(partner.Scoped().Scopes, 0x1234);
}

TEST_F(RestServiceStateLoad, WrongVersionIsInvalidData) {
    TBytes stream = OtherStream;
    stream[0] = 2;
    const TSnapshot before = SnapshotOf(Service);
    auto input = StreamOf(stream);
    try {
        Service.LoadState(input);
        FAIL();
    } catch (const ERestError& error) {
        EXPECT_STREQ(error.what(), "Invalid data");
    }
    EXPECT_EQ(SnapshotOf(Service), before);
}

TEST_F(RestServiceStateLoad, StateOfAnotherClientIdIsRefused) {
    Service.SetClientId("another-client");
    Service.State().SetToken("kept", "kept-refresh", 3.0);
    const TSnapshot before = SnapshotOf(Service);
    auto input = StreamOf(OtherStream);
    try {
        Service.LoadState(input);
        FAIL();
    } catch (const ERestError& error) {
        EXPECT_STREQ(error.what(), "Invalid client-id");
    }
    EXPECT_EQ(SnapshotOf(Service), before);
}

TEST_F(RestServiceStateLoad, TruncatedStreamAtAnyPointLeavesEverythingAsItWas) {
    const TSnapshot before = SnapshotOf(Service);
    for (std::size_t length = 0; length < OtherStream.size(); ++length) {
        auto input = StreamOf(TBytes(OtherStream.begin(), OtherStream.begin() + static_cast<std::ptrdiff_t>(length)));
        EXPECT_THROW(Service.LoadState(input), EReadError) << "cut at " << length;
        ASSERT_EQ(SnapshotOf(Service), before) << "cut at " << length;
    }
}

TEST_F(RestServiceStateLoad, OverlongLengthPrefixLeavesEverythingAsItWas) {
    TBytes corrupt(OtherStream.begin(), OtherStream.begin() + 8);  // version and client id
    corrupt.insert(corrupt.end(), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01});
    const TSnapshot before = SnapshotOf(Service);
    auto input = StreamOf(corrupt);
    EXPECT_THROW(Service.LoadState(input), EReadError);
    EXPECT_EQ(SnapshotOf(Service), before);
}

// ---------------------------------------------------------------------------------------------
// Files

class RestServiceStateFile : public RestServiceStateLoad {
protected:
    std::filesystem::path Folder;

    void SetUp() override {
        RestServiceStateLoad::SetUp();
        std::string pattern = (std::filesystem::temp_directory_path() / "nimbo-state-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        Folder = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(Folder); }

    std::string ReadFile(const std::filesystem::path& APath) {
        std::ifstream stream(APath, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(stream), {});
    }
    std::size_t EntriesInFolder() {
        return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(Folder), {}));
    }
};

TEST_F(RestServiceStateFile, SaveAndLoadThroughAFile) {
    const std::string file = (Folder / "state.bin").string();
    Service.SaveState(file);
    const TBytes saved = SavedBytes(Service);
    EXPECT_EQ(ReadFile(file), std::string(saved.begin(), saved.end()));

    const TSnapshot before = SnapshotOf(Service);
    Service.State().ResetToken();
    Service.LoadState(file);
    EXPECT_EQ(SnapshotOf(Service), before);
    EXPECT_EQ(EntriesInFolder(), 1u);
}

TEST_F(RestServiceStateFile, MissingFileNamesTheFile) {
    const std::string file = (Folder / "missing.bin").string();
    try {
        Service.LoadState(file);
        FAIL();
    } catch (const EFileError& error) {
        EXPECT_NE(std::string(error.what()).find(file), std::string::npos) << error.what();
    }
}

TEST_F(RestServiceStateFile, FileThatCannotBeCreatedNamesTheFile) {
    const std::string file = (Folder / "no-such-folder" / "state.bin").string();
    try {
        Service.SaveState(file);
        FAIL();
    } catch (const EFileError& error) {
        EXPECT_NE(std::string(error.what()).find(file), std::string::npos) << error.what();
    }
}

TEST_F(RestServiceStateFile, StateFilesAreReadableByTheOwnerOnly) {
    struct Case {
        const char* Name;
        std::optional<std::filesystem::perms> Existing;
        std::filesystem::perms Expected;
    };
    using P = std::filesystem::perms;
    const Case cases[] = {
        {"new file", std::nullopt, P::owner_read | P::owner_write},
        {"replaced world-readable file", P::owner_read | P::owner_write | P::group_read | P::others_read,
         P::owner_read | P::owner_write},
        {"replaced stricter file keeps its mode", P::owner_read, P::owner_read},
    };
    const mode_t oldMask = ::umask(0);  // the mode must not depend on the process's mask
    for (const Case& c : cases) {
        const std::filesystem::path file = Folder / "state.bin";
        std::filesystem::remove(file);
        if (c.Existing) {
            std::ofstream(file) << "old";
            std::filesystem::permissions(file, *c.Existing);
        }
        Service.SaveState(file.string());
        EXPECT_EQ(std::filesystem::status(file).permissions(), c.Expected) << c.Name;
    }
    ::umask(oldMask);
}

TEST_F(RestServiceStateFile, FailedSaveKeepsThePreviousFile) {
    const std::string file = (Folder / "state.bin").string();
    std::ofstream(file, std::ios::binary) << "previous state";
    Service.FailWhileSaving = true;
    EXPECT_THROW(Service.SaveState(file), EFileError);
    EXPECT_EQ(ReadFile(file), "previous state");
    EXPECT_EQ(EntriesInFolder(), 1u) << "no temporary file is left behind";
}
