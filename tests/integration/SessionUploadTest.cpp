// Uploads above a service's single-request limit: the session uploads of Google Drive (v2 and v3),
// Dropbox and Box (new files and new versions, streams that cannot seek, interruptions and resumption), and
// OneDrive's refusal of content it cannot take.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <sstream>
#include <thread>

#include "AdapterTestSupport.h"
#include "Nimbo/Connection/BoxNet.h"
#include "Nimbo/Connection/DropBox.h"
#include "Nimbo/Connection/DropBox2.h"
#include "Nimbo/Connection/GDrive3.h"
#include "Nimbo/Connection/Google.h"
#include "Nimbo/Connection/HttpTransport.h"
#include "Nimbo/Connection/Microsoft.h"
#include "Nimbo/Connection/OneDriveGraph.h"

using namespace Nimbo::Connection;
using AdapterTest::Dropped;
using AdapterTest::HeaderOf;
using AdapterTest::Truncated;
using Nimbo::Emulator::Cloud;
using Nimbo::Emulator::Fault;
using Nimbo::Emulator::RecordedRequest;
using Nimbo::Emulator::Route;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

namespace {

// Bytes that differ from their neighbours, so that a chunk stored at the wrong place shows.
std::string Pattern(std::size_t ASize, unsigned ASeed) {
    std::string text(ASize, '\0');
    for (std::size_t i = 0; i < ASize; ++i) text[i] = static_cast<char>((i * 131 + ASeed * 7) % 251);
    return text;
}

// The SHA-1 of the text in base64, as Box's Digest header carries it.
std::string Sha1Base64(const std::string& AText) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(AText.data(), AText.size(), digest, &length, EVP_sha1(), nullptr);
    std::string text(4 * ((length + 2) / 3), '\0');
    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), digest, static_cast<int>(length));
    return text;
}

std::string Sha256(const std::string& AText) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(AText.data(), AText.size(), digest, &length, EVP_sha256(), nullptr);
    static constexpr char Hex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) hex += {Hex[digest[i] >> 4], Hex[digest[i] & 15]};
    return hex;
}

// The SHA-256 of what the service stores at the path, or a note that nothing is there.
std::string StoredHash(Cloud ACloud, const std::string& APath) {
    const auto item = AdapterTest::Emulator().Find(ACloud, APath);
    return item ? Sha256(item->content) : "<missing " + APath + ">";
}

std::string StoredId(Cloud ACloud, const std::string& APath) {
    const auto item = AdapterTest::Emulator().Find(ACloud, APath);
    return item ? item->id : "<missing " + APath + ">";
}

// A stream that can only be read forward, like a pipe.
class TPipeBuf : public std::streambuf {
public:
    explicit TPipeBuf(std::string AText) : FText(std::move(AText)) {
        setg(FText.data(), FText.data(), FText.data() + FText.size());
    }

private:
    std::string FText;
};

// A seekable stream of ASize zero bytes that holds none of them.
class TZeroBuf : public std::streambuf {
public:
    explicit TZeroBuf(std::int64_t ASize) : FSize(ASize) {}

protected:
    int_type underflow() override {
        if (FPos >= FSize) return traits_type::eof();
        const auto count = static_cast<std::ptrdiff_t>(std::min<std::int64_t>(sizeof FBlock, FSize - FPos));
        setg(FBlock, FBlock, FBlock + count);
        FPos += count;
        return 0;
    }
    pos_type seekoff(off_type AOffset, std::ios_base::seekdir AWay, std::ios_base::openmode) override {
        const std::int64_t current = FPos - (egptr() - gptr());
        const std::int64_t target = (AWay == std::ios_base::beg   ? 0
                                     : AWay == std::ios_base::cur ? current
                                                                  : FSize) +
                                    AOffset;
        if (target < 0 || target > FSize) return pos_type(off_type(-1));
        setg(FBlock, FBlock, FBlock);
        FPos = target;
        return pos_type(target);
    }
    pos_type seekpos(pos_type APos, std::ios_base::openmode AMode) override {
        return seekoff(off_type(APos), std::ios_base::beg, AMode);
    }

private:
    std::int64_t FSize;
    std::int64_t FPos = 0;
    char FBlock[4096] = {};
};

Fault ServerError(int AStatus) {
    Fault fault;
    fault.status = AStatus;
    fault.body = "{}";
    return fault;
}

// "PUT host /path?query [bytes 0-9/20] 308": a request at a glance, with the session's id (a query
// parameter, a path segment or a form field) shown as <id>.
std::vector<std::string> Lines(const std::vector<RecordedRequest>& ARequests, const std::string& ASessionId) {
    std::vector<std::string> lines;
    for (const RecordedRequest& r : ARequests) {
        std::string line = r.method + " " + r.host + " " + r.path + (r.query.empty() ? "" : "?" + r.query);
        if (const std::string range = HeaderOf(r, "Content-Range"); !range.empty()) line += " [" + range + "]";
        line += " " + std::to_string(r.status);
        for (std::size_t at; !ASessionId.empty() && (at = line.find(ASessionId)) != std::string::npos;)
            line.replace(at, ASessionId.size(), "<id>");
        lines.push_back(line);
    }
    return lines;
}

// The value of a query parameter of the request.
std::string QueryValue(const RecordedRequest& ARequest, const std::string& AName) {
    const std::string query = "&" + ARequest.query;
    const std::size_t at = query.find("&" + AName + "=");
    if (at == std::string::npos) return "";
    const std::size_t start = at + AName.size() + 2;
    return query.substr(start, query.find('&', start) - start);
}

// A dropped request may be logged after the requests that follow it: they are set apart.
std::vector<RecordedRequest> WithoutDropped(std::vector<RecordedRequest> ARequests, int& ADropped) {
    ADropped = static_cast<int>(std::erase_if(ARequests, [](const RecordedRequest& R) { return R.status == 0; }));
    return ARequests;
}

// What the shared tests need to know of one service's session upload.
struct TSessionCase {
    std::string Kind;  // the adapter kind's name
    // Makes the storage use its session for content above ALimit.
    std::function<void(TNimboStorage&, std::int64_t ALimit, int AMaxResumptions)> Configure;
    std::int64_t Limit;                                           // the single-request limit the tests set
    std::int64_t Size;                                            // content above it, several chunks long
    Route Chunks;                                                 // the requests that carry the chunks
    std::function<bool(const RecordedRequest&)> IsSingleRequest;  // the one request of content up to the limit
};

void PrintTo(const TSessionCase& ACase, std::ostream* AOut) { *AOut << ACase.Kind; }

const TSessionCase DriveCase{
    .Kind = "GoogleDrive",
    .Configure =
        [](TNimboStorage& AStorage, std::int64_t ALimit, int AMaxResumptions) {
            dynamic_cast<TNimboGDrive&>(AStorage).SetUploadSettings({.SingleRequestLimit = ALimit,
                                                                     .ChunkSize = TNimboGDrive::ChunkGranularity,
                                                                     .MaxResumptions = AMaxResumptions});
        },
    .Limit = 256 << 10,
    .Size = 3 * (256 << 10) + 1000,
    .Chunks = {.host = "www.googleapis.com", .method = "PUT", .pathPrefix = "/upload/drive/v2/files"},
    .IsSingleRequest = [](const RecordedRequest& R) { return R.query.find("uploadType=media") != std::string::npos; }};

const TSessionCase Drive3Case{
    .Kind = "GoogleDrive3",
    .Configure =
        [](TNimboStorage& AStorage, std::int64_t ALimit, int AMaxResumptions) {
            dynamic_cast<TNimboGDrive3&>(AStorage).SetUploadSettings({.SingleRequestLimit = ALimit,
                                                                      .ChunkSize = TNimboGDrive3::ChunkGranularity,
                                                                      .MaxResumptions = AMaxResumptions});
        },
    .Limit = 256 << 10,
    .Size = 3 * (256 << 10) + 1000,
    .Chunks = {.host = "www.googleapis.com", .method = "PUT", .pathPrefix = "/upload/drive/v3/files"},
    .IsSingleRequest =
        [](const RecordedRequest& R) { return R.query.find("uploadType=multipart") != std::string::npos; }};

const TSessionCase DropboxCase{
    .Kind = "Dropbox",
    .Configure =
        [](TNimboStorage& AStorage, std::int64_t ALimit, int AMaxResumptions) {
            dynamic_cast<TNimboDropBox&>(AStorage).SetUploadSettings(
                {.SingleRequestLimit = ALimit, .ChunkSize = 100000, .MaxResumptions = AMaxResumptions});
        },
    .Limit = 100000,
    .Size = 350000,
    .Chunks = {.host = "api-content.dropbox.com", .method = "PUT", .pathPrefix = "/1/chunked_upload"},
    .IsSingleRequest = [](const RecordedRequest& R) { return R.path.rfind("/1/files_put/", 0) == 0; }};

const TSessionCase Dropbox2Case{
    .Kind = "DropBox2",
    .Configure =
        [](TNimboStorage& AStorage, std::int64_t ALimit, int AMaxResumptions) {
            dynamic_cast<TNimboDropBox2&>(AStorage).SetUploadSettings(
                {.SingleRequestLimit = ALimit, .ChunkSize = 100000, .MaxResumptions = AMaxResumptions});
        },
    .Limit = 100000,
    .Size = 350000,
    .Chunks = {.host = "content.dropboxapi.com", .method = "POST", .pathPrefix = "/2/files/upload_session/append_v2"},
    .IsSingleRequest = [](const RecordedRequest& R) { return R.path == "/2/files/upload"; }};

const TSessionCase BoxCase{
    .Kind = "Box",
    .Configure =
        [](TNimboStorage& AStorage, std::int64_t ALimit, int AMaxResumptions) {
            dynamic_cast<TNimboBoxNet&>(AStorage).SetUploadSettings(
                {.SingleRequestLimit = ALimit, .ChunkSize = 1, .MaxResumptions = AMaxResumptions});
        },
    // The service's own smallest session, with parts of its own size.
    .Limit = TNimboBoxNet::MinSessionFileSize,
    .Size = TNimboBoxNet::MinSessionFileSize + 1234,
    .Chunks = {.host = "upload.box.com", .method = "PUT", .pathPrefix = "/api/2.0/files/upload_sessions/"},
    .IsSingleRequest = [](const RecordedRequest& R) { return R.path.ends_with("/content") && R.method == "POST"; }};

const TSessionCase GraphCase{
    .Kind = "OneDriveGraph",
    .Configure =
        [](TNimboStorage& AStorage, std::int64_t ALimit, int AMaxResumptions) {
            dynamic_cast<TNimboOneDriveGraph&>(AStorage).SetUploadSettings(
                {.SingleRequestLimit = ALimit,
                 .ChunkSize = TNimboOneDriveGraph::ChunkGranularity,
                 .MaxResumptions = AMaxResumptions});
        },
    .Limit = 320 << 10,
    .Size = 3 * (320 << 10) + 1000,
    .Chunks = {.host = "api.onedrive.com", .method = "PUT", .pathPrefix = "/"},
    .IsSingleRequest = [](const RecordedRequest& R) { return R.method == "PUT" && R.path.ends_with(":/content"); }};

bool Matches(const Route& ARoute, const RecordedRequest& ARequest) {
    return ARequest.host == ARoute.host && ARequest.method == ARoute.method &&
           ARequest.path.rfind(ARoute.pathPrefix, 0) == 0;
}

class SessionUpload : public AdapterTest::TAdapterFixture, public ::testing::WithParamInterface<TSessionCase> {
protected:
    SessionUpload() : TAdapterFixture(AdapterTest::AdapterKind(GetParam().Kind)) {}

    void Configure(int AMaxResumptions = 5) { GetParam().Configure(Storage(), GetParam().Limit, AMaxResumptions); }

    std::vector<RecordedRequest> Matching(const std::function<bool(const RecordedRequest&)>& APredicate) {
        std::vector<RecordedRequest> requests = Requests();
        std::erase_if(requests, [&](const RecordedRequest& R) { return !APredicate(R); });
        return requests;
    }
    std::vector<RecordedRequest> ChunkRequests() {
        return Matching([&](const RecordedRequest& R) { return Matches(GetParam().Chunks, R); });
    }
    std::vector<RecordedRequest> SingleRequests() { return Matching(GetParam().IsSingleRequest); }

    std::string StoredHash(const std::string& APath) { return ::StoredHash(Kind().Service, APath); }

    int CountNamed(const std::string& AName) {
        const auto children = Emu().Children(Kind().Service, "");
        return static_cast<int>(
            std::count_if(children.begin(), children.end(), [&](const auto& AItem) { return AItem.name == AName; }));
    }

    TNimboCloudFile CreateFrom(const std::string& AContent) {
        std::istringstream stream(AContent);
        return Storage().Root().createFile("big.bin", stream);
    }
};

TEST_P(SessionUpload, NewFilesAndNewVersionsGoUpChunkByChunk) {
    Configure();
    const std::string first = Pattern(GetParam().Size, 1);
    const TNimboCloudFile file = CreateFrom(first);
    EXPECT_EQ(file.GetName(), "big.bin");
    EXPECT_EQ(file.GetSize(), GetParam().Size);
    EXPECT_EQ(StoredHash("big.bin"), Sha256(first));
    const std::string id = StoredId(Kind().Service, "big.bin");

    // A new version, of another size.
    const std::string second = Pattern(GetParam().Size + 777, 2);
    std::istringstream stream(second);
    file.Upload(stream);
    EXPECT_EQ(file.GetSize(), GetParam().Size + 777);
    EXPECT_EQ(StoredHash("big.bin"), Sha256(second));
    EXPECT_EQ(StoredId(Kind().Service, "big.bin"), id) << "the file keeps its identity";
    EXPECT_EQ(CountNamed("big.bin"), 1);

    EXPECT_GE(ChunkRequests().size(), 6u) << "both uploads in several chunks";
    EXPECT_TRUE(SingleRequests().empty());
}

TEST_P(SessionUpload, TheSessionBeginsOneByteAboveTheLimit) {
    Configure();
    for (const std::int64_t size : {GetParam().Limit, GetParam().Limit + 1}) {
        Emu().ClearRequests();
        const std::string name = std::to_string(size) + ".bin";
        const std::string content = Pattern(size, 3);
        std::istringstream stream(content);
        Storage().Root().createFile(name, stream);
        EXPECT_EQ(StoredHash(name), Sha256(content)) << size;
        EXPECT_EQ(SingleRequests().size(), size == GetParam().Limit ? 1u : 0u) << size;
        EXPECT_EQ(ChunkRequests().empty(), size == GetParam().Limit) << size;
    }
}

TEST_P(SessionUpload, AStreamThatCannotSeekGoesUpTheSameWay) {
    Configure();
    const std::string content = Pattern(GetParam().Size, 4);
    TPipeBuf pipe(content);
    std::istream stream(&pipe);
    const TNimboCloudFile file = Storage().Root().createFile("big.bin", stream);
    EXPECT_EQ(file.GetSize(), GetParam().Size);
    EXPECT_EQ(StoredHash("big.bin"), Sha256(content));
    EXPECT_TRUE(SingleRequests().empty());
}

TEST_P(SessionUpload, TooManyInterruptionsEndTheUploadWithAClearError) {
    Configure(2);
    Emu().InjectFault(GetParam().Chunks, Dropped(), 100);
    const std::string content = Pattern(GetParam().Size, 6);
    std::istringstream stream(content);
    EXPECT_THAT([&] { Storage().Root().createFile("big.bin", stream); },
                ThrowsMessage<ERestError>(HasSubstr("big.bin\" was interrupted 3 times and has been given up")));
    EXPECT_FALSE(Emu().Find(Kind().Service, "big.bin").has_value()) << "nothing was stored";
}

TEST_P(SessionUpload, ProgressCoversTheWholeContentAndACancelStoresNothing) {
    Configure();
    Storage().RefreshAccess();
    std::vector<THttpProgress> reports;
    {
        THttpProgressScope scope([&](const THttpProgress& AProgress) {
            reports.push_back(AProgress);
            return true;
        });
        CreateFrom(Pattern(GetParam().Size, 9));
    }
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().UploadDone, GetParam().Size);
    for (std::size_t i = 0; i < reports.size(); ++i) {
        EXPECT_EQ(reports[i].UploadTotal, GetParam().Size) << "report " << i;
        if (i > 0) {
            EXPECT_GE(reports[i].UploadDone, reports[i - 1].UploadDone) << "report " << i;
        }
    }

    THttpProgressScope cancelAfterTheFirstChunk(
        [&](const THttpProgress& AProgress) { return AProgress.UploadDone < GetParam().Size / 2; });
    std::istringstream stream(Pattern(GetParam().Size, 10));
    EXPECT_THROW(Storage().Root().createFile("cancelled.bin", stream), EAbort);
    EXPECT_FALSE(Emu().Find(Kind().Service, "cancelled.bin").has_value());
}

INSTANTIATE_TEST_SUITE_P(Services, SessionUpload,
                         ::testing::Values(DriveCase, Drive3Case, DropboxCase, Dropbox2Case, BoxCase, GraphCase),
                         [](const ::testing::TestParamInfo<TSessionCase>& AInfo) { return AInfo.param.Kind; });

// The services whose unfinished sessions the adapter drops.
class DroppedSession : public SessionUpload {
protected:
    // The request that opens the session.
    Route Opening() const {
        return GetParam().Kind == "Box"
                   ? Route{.host = "upload.box.com", .method = "POST", .pathPrefix = "/api/2.0/files/upload_sessions"}
                   : Route{.host = "graph.microsoft.com", .method = "POST", .pathPrefix = "/v1.0/me/drive/"};
    }
};

TEST_P(DroppedSession, AStopAskedWhileTheSessionOpensDropsTheSessionOnceItIsOpen) {
    Configure();
    Storage().RefreshAccess();
    Fault slowOpening;
    slowOpening.delay = std::chrono::milliseconds(2500);
    Emu().InjectFault(Opening(), slowOpening, 1);
    Emu().ClearRequests();

    std::atomic<bool> stop{false};
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stop = true;
    });
    {
        const THttpProgressScope stopWhenAsked([&](const THttpProgress&) { return !stop.load(); });
        EXPECT_THROW(CreateFrom(Pattern(GetParam().Size, 11)), EAbort);
    }
    stopper.join();

    // The service opens the session even when the client stopped waiting for it.
    std::vector<RecordedRequest> requests;
    auto opened = requests.end();
    for (int i = 0; i < 200 && opened == requests.end(); ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(25));
        requests = Requests();
        opened = std::find_if(requests.begin(), requests.end(),
                              [&](const RecordedRequest& R) { return Matches(Opening(), R); });
    }
    ASSERT_NE(opened, requests.end()) << "the session was opened";
    EXPECT_TRUE(std::any_of(opened, requests.end(), [](const RecordedRequest& R) { return R.method == "DELETE"; }))
        << "and dropped";
    EXPECT_FALSE(Emu().Find(Kind().Service, "big.bin").has_value());
}

INSTANTIATE_TEST_SUITE_P(Services, DroppedSession, ::testing::Values(BoxCase, GraphCase),
                         [](const ::testing::TestParamInfo<TSessionCase>& AInfo) { return AInfo.param.Kind; });

// ---------------------------------------------------------------------------------------------
// The exact requests of each service's session, whole and resumed.

// Lets the first AIndex requests of the route through and applies AFault to the next one.
void FaultOn(const Route& ARoute, int AIndex, const Fault& AFault) {
    if (AIndex > 0) AdapterTest::Emulator().InjectFault(ARoute, Fault{}, AIndex);
    AdapterTest::Emulator().InjectFault(ARoute, AFault, 1);
}

// "bytes <first>-<last>/<total>"
std::string Range(std::int64_t AFirst, std::int64_t ALast, std::int64_t ATotal) {
    return "bytes " + std::to_string(AFirst) + "-" + std::to_string(ALast) + "/" + std::to_string(ATotal);
}

// A fixture with the session set up for small content; signed in, the log cleared.
class SessionRequests : public AdapterTest::TAdapterFixture {
protected:
    explicit SessionRequests(const TSessionCase& ACase)
        : TAdapterFixture(AdapterTest::AdapterKind(ACase.Kind)), FCase(ACase) {}

    void SetUp() override {
        TAdapterFixture::SetUp();
        FCase.Configure(Storage(), FCase.Limit, 5);
        Storage().RefreshAccess();
        Emu().ClearRequests();
    }

    TNimboCloudFile CreateFrom(const std::string& AContent) {
        std::istringstream stream(AContent);
        return Storage().Root().createFile("big.bin", stream);
    }

    // Uploads Content as a new version of an existing "big.bin"; the file's id and the requests sent.
    std::pair<std::string, std::vector<RecordedRequest>> UploadNewVersion() {
        const std::string id = Emu().AddFile(Kind().Service, "big.bin", "old");
        const TNimboCloudFile file = Child(Storage().Root(), "big.bin");
        Emu().ClearRequests();
        std::istringstream stream(Content);
        file.Upload(stream);
        return {id, Requests()};
    }

    std::string StoredHash() { return ::StoredHash(Kind().Service, "big.bin"); }

    const TSessionCase FCase;
    const std::string Content = Pattern(FCase.Size, 11);
    const std::string Total = std::to_string(FCase.Size);
};

class DriveSessionRequests : public SessionRequests {
protected:
    DriveSessionRequests() : SessionRequests(DriveCase) {}
    static constexpr std::int64_t Chunk = TNimboGDrive::ChunkGranularity;

    std::string ChunkLine(int AIndex, int AStatus) {
        const std::int64_t first = AIndex * Chunk, last = std::min<std::int64_t>(first + Chunk, FCase.Size) - 1;
        return Session + "[" + Range(first, last, FCase.Size) + "] " + std::to_string(AStatus);
    }

    const std::string Session = "PUT www.googleapis.com /upload/drive/v2/files?uploadType=resumable&upload_id=<id> ";
};

TEST_F(DriveSessionRequests, ANewFileIsNamedWhenTheSessionStartsAndSentInChunks) {
    CreateFrom(Content);
    const std::vector<RecordedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_THAT(Lines(requests, QueryValue(requests[1], "upload_id")),
                ElementsAre("POST www.googleapis.com /upload/drive/v2/files?uploadType=resumable 200",
                            ChunkLine(0, 308), ChunkLine(1, 308), ChunkLine(2, 308), ChunkLine(3, 200)));
    EXPECT_EQ(HeaderOf(requests[0], "X-Upload-Content-Type"), "application/octet-stream");
    EXPECT_EQ(HeaderOf(requests[0], "X-Upload-Content-Length"), Total);
    EXPECT_EQ(requests[0].body, R"({"title": "big.bin","parents": [{"id": "root"}]})");
    for (int i = 0; i < 4; ++i) EXPECT_EQ(requests[i + 1].bodySha256, Sha256(Content.substr(i * Chunk, Chunk))) << i;
    EXPECT_EQ(StoredHash(), Sha256(Content));
}

TEST_F(DriveSessionRequests, ANewVersionGoesToTheFilesOwnSession) {
    const auto [id, requests] = UploadNewVersion();
    ASSERT_EQ(requests.size(), 5u);
    const std::string session = "PUT www.googleapis.com /upload/drive/v2/files/" + id +
                                "?uploadType=resumable&upload_id=<id> [" +
                                Range(3 * Chunk, FCase.Size - 1, FCase.Size) + "] 200";
    EXPECT_THAT(Lines(requests, QueryValue(requests[1], "upload_id")),
                ElementsAre("PUT www.googleapis.com /upload/drive/v2/files/" + id + "?uploadType=resumable 200",
                            ::testing::_, ::testing::_, ::testing::_, session));
    EXPECT_EQ(HeaderOf(requests[0], "X-Upload-Content-Length"), Total);
    EXPECT_EQ(requests[0].body, "{}");
    EXPECT_EQ(StoredId(Cloud::GoogleDrive, "big.bin"), id);
    EXPECT_EQ(StoredHash(), Sha256(Content));
}

TEST_F(DriveSessionRequests, AnInterruptionAsksHowFarTheUploadGotAndGoesOnFromThere) {
    struct Case {
        const char* Name;
        int Chunk;
        Fault Interruption;
        std::vector<std::string> Answered;  // the requests answered, after the start
        int Dropped;
    };
    const std::string query = Session + "[bytes */" + Total + "] ";
    const Case cases[] = {
        {"connection dropped",
         1,
         Dropped(),
         {ChunkLine(0, 308), query + "308", ChunkLine(1, 308), ChunkLine(2, 308), ChunkLine(3, 200)},
         1},
        {"server error",
         1,
         ServerError(503),
         {ChunkLine(0, 308), ChunkLine(1, 503), query + "308", ChunkLine(1, 308), ChunkLine(2, 308), ChunkLine(3, 200)},
         0},
        // The last chunk completed the file but its answer was lost: the file is not sent again.
        {"answer to the last chunk cut off",
         3,
         Truncated(),
         {ChunkLine(0, 308), ChunkLine(1, 308), ChunkLine(2, 308), ChunkLine(3, 200), query + "200"},
         0},
    };
    for (const Case& c : cases) {
        Emu().ClearRequests();
        FaultOn(FCase.Chunks, c.Chunk, c.Interruption);
        std::istringstream stream(Content);
        Storage().Root().createFile(c.Name, stream);
        Emu().ClearFaults();

        int dropped = 0;
        const std::vector<RecordedRequest> answered = WithoutDropped(Requests(), dropped);
        ASSERT_FALSE(answered.size() < 2) << c.Name;
        std::vector<std::string> lines = Lines(answered, QueryValue(answered[1], "upload_id"));
        lines.erase(lines.begin());
        EXPECT_EQ(lines, c.Answered) << c.Name;
        EXPECT_EQ(dropped, c.Dropped) << c.Name;
        EXPECT_EQ(::StoredHash(Cloud::GoogleDrive, c.Name), Sha256(Content)) << c.Name;
    }
}

class Drive3SessionRequests : public SessionRequests {
protected:
    Drive3SessionRequests() : SessionRequests(Drive3Case) {}

    // The session's chunk requests of content of ATotal bytes in chunks of AChunk.
    static std::string ChunkLine(int AIndex, int AStatus, std::int64_t AChunk, std::int64_t ATotal) {
        const std::int64_t first = AIndex * AChunk, last = std::min<std::int64_t>(first + AChunk, ATotal) - 1;
        return Session + "[" + Range(first, last, ATotal) + "] " + std::to_string(AStatus);
    }
    std::string ChunkLine(int AIndex, int AStatus) const {
        return ChunkLine(AIndex, AStatus, TNimboGDrive3::ChunkGranularity, FCase.Size);
    }

    inline static const std::string Fields =
        "fields=id%2Cname%2CmimeType%2Csize%2CcreatedTime%2CmodifiedTime%2Cmd5Checksum%2Csha1Checksum%2Cparents";
    inline static const std::string Start =
        "POST www.googleapis.com /upload/drive/v3/files?uploadType=resumable&" + Fields;
    // The session's address keeps the parameters of the request that began it.
    inline static const std::string Session =
        "PUT www.googleapis.com /upload/drive/v3/files?" + Fields + "&uploadType=resumable&upload_id=<id> ";
};

TEST_F(Drive3SessionRequests, ANewFileIsNamedWhenTheSessionBeginsAndANewVersionHasItsOwnSession) {
    const TNimboCloudFile file = CreateFrom(Content);
    std::vector<RecordedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_THAT(
        Lines(requests, QueryValue(requests[1], "upload_id")),
        ElementsAre(Start + " 200", ChunkLine(0, 308), ChunkLine(1, 308), ChunkLine(2, 308), ChunkLine(3, 200)));
    EXPECT_EQ(HeaderOf(requests[0], "X-Upload-Content-Type"), "application/octet-stream");
    EXPECT_EQ(HeaderOf(requests[0], "X-Upload-Content-Length"), Total);
    EXPECT_EQ(requests[0].body, R"({"name": "big.bin","parents": ["root"]})");
    EXPECT_EQ(StoredHash(), Sha256(Content));

    const std::string id = file.Data()->Info().Id;
    Emu().ClearRequests();
    const std::string second = Pattern(FCase.Size, 12);
    std::istringstream stream(second);
    file.Upload(stream);
    requests = Requests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(Lines(requests, "").front(),
              "PATCH www.googleapis.com /upload/drive/v3/files/" + id + "?uploadType=resumable&" + Fields + " 200");
    EXPECT_EQ(requests[0].body, "{}");
    EXPECT_EQ(StoredId(Cloud::GoogleDrive, "big.bin"), id);
    EXPECT_EQ(StoredHash(), Sha256(second));
}

TEST_F(Drive3SessionRequests, ATwentyMiBUploadInterruptedHalfWayAsksHowFarItGotAndGoesOnFromThere) {
    dynamic_cast<TNimboGDrive3&>(Storage()).SetUploadSettings(TNimboGDrive3::DefaultUploadSettings);
    constexpr std::int64_t Size = 20 << 20, Chunk = TNimboGDrive3::DefaultUploadSettings.ChunkSize;
    const std::string content = Pattern(Size, 13);
    const std::string query = Session + "[bytes */" + std::to_string(Size) + "] ";
    struct Case {
        const char* Name;
        Fault Interruption;
        std::vector<std::string> Answered;  // the requests answered, after the start
    };
    const Case cases[] = {
        {"dropped.bin",
         Dropped(),
         {ChunkLine(0, 308, Chunk, Size), query + "308", ChunkLine(1, 308, Chunk, Size),
          ChunkLine(2, 200, Chunk, Size)}},
        {"server error.bin",
         ServerError(503),
         {ChunkLine(0, 308, Chunk, Size), ChunkLine(1, 503, Chunk, Size), query + "308", ChunkLine(1, 308, Chunk, Size),
          ChunkLine(2, 200, Chunk, Size)}},
    };
    for (const Case& c : cases) {
        Emu().ClearRequests();
        FaultOn(FCase.Chunks, 1, c.Interruption);
        std::istringstream stream(content);
        const TNimboCloudFile file = Storage().Root().createFile(c.Name, stream);
        Emu().ClearFaults();

        int dropped = 0;
        const std::vector<RecordedRequest> answered = WithoutDropped(Requests(), dropped);
        ASSERT_GE(answered.size(), 2u) << c.Name;
        std::vector<std::string> lines = Lines(answered, QueryValue(answered[1], "upload_id"));
        EXPECT_EQ(lines.front(), Start + " 200") << c.Name;
        lines.erase(lines.begin());
        EXPECT_EQ(lines, c.Answered) << c.Name;
        EXPECT_EQ(::StoredHash(Cloud::GoogleDrive, c.Name), Sha256(content)) << c.Name;
        EXPECT_EQ(file.GetSize(), Size) << c.Name;
    }
}

TEST_F(Drive3SessionRequests, ASessionTheServiceHasForgottenBeginsAgainFromTheFirstByte) {
    Fault expired;
    expired.status = 404;
    expired.body = R"({"error": {"code": 404, "message": "Upload session not found or expired.",)"
                   R"( "errors": [{"domain": "global", "reason": "notFound"}]}})";
    const std::string query = Session + "[bytes */" + Total + "] ";
    struct Case {
        const char* Name;
        std::vector<Fault> Faults;               // met in turn by the chunk requests, from the third on
        std::vector<std::string> BeforeRestart;  // the first session's requests answered after its start
        int Dropped;
    };
    const Case cases[] = {
        {"forgotten at a chunk", {expired}, {ChunkLine(0, 308), ChunkLine(1, 308), ChunkLine(2, 404)}, 0},
        {"forgotten when asked after an interruption",
         {Dropped(), expired},
         {ChunkLine(0, 308), ChunkLine(1, 308), query + "404"},
         1},
    };
    for (const Case& c : cases) {
        Emu().ClearRequests();
        FaultOn(FCase.Chunks, 2, c.Faults.front());
        for (std::size_t i = 1; i < c.Faults.size(); ++i) Emu().InjectFault(FCase.Chunks, c.Faults[i], 1);
        std::istringstream stream(Content);
        Storage().Root().createFile(c.Name, stream);
        Emu().ClearFaults();

        int dropped = 0;
        const std::vector<RecordedRequest> requests = WithoutDropped(Requests(), dropped);
        const std::size_t restart = c.BeforeRestart.size() + 1;
        ASSERT_EQ(requests.size(), restart + 5) << c.Name;
        const std::string first = QueryValue(requests[1], "upload_id");
        const std::string second = QueryValue(requests[restart + 1], "upload_id");
        EXPECT_NE(first, second) << c.Name;
        std::vector<std::string> expected = {Start + " 200"};
        expected.insert(expected.end(), c.BeforeRestart.begin(), c.BeforeRestart.end());
        for (const std::string& line :
             {Start + " 200", ChunkLine(0, 308), ChunkLine(1, 308), ChunkLine(2, 308), ChunkLine(3, 200)})
            expected.push_back(line);
        std::vector<std::string> lines = Lines(requests, first);
        for (std::size_t i = restart; i < lines.size(); ++i) lines[i] = Lines({requests[i]}, second).front();
        EXPECT_EQ(lines, expected) << c.Name;
        EXPECT_EQ(dropped, c.Dropped) << c.Name;
        EXPECT_EQ(::StoredHash(Cloud::GoogleDrive, c.Name), Sha256(Content)) << c.Name;
    }
}

class DropboxSessionRequests : public SessionRequests {
protected:
    DropboxSessionRequests() : SessionRequests(DropboxCase) {}
    static constexpr std::int64_t Chunk = 100000;

    std::string ChunkLine(int AIndex, int AStatus) {
        const std::string offset = std::to_string(AIndex * Chunk);
        return std::string("PUT api-content.dropbox.com /1/chunked_upload?") + (AIndex == 0 ? "" : "upload_id=<id>&") +
               "offset=" + offset + " " + std::to_string(AStatus);
    }
};

TEST_F(DropboxSessionRequests, ChunksThenOneCommitAtThePath) {
    CreateFrom(Content);
    const std::vector<RecordedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), 5u);
    const std::string id = QueryValue(requests[1], "upload_id");
    EXPECT_THAT(Lines(requests, id),
                ElementsAre(ChunkLine(0, 200), ChunkLine(1, 200), ChunkLine(2, 200), ChunkLine(3, 200),
                            "POST api-content.dropbox.com /1/commit_chunked_upload/dropbox/big.bin 200"));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(requests[i].bodySha256, Sha256(Content.substr(i * Chunk, Chunk))) << i;
    EXPECT_EQ(requests[4].body, "upload_id=" + id);
    EXPECT_EQ(StoredHash(), Sha256(Content));
}

TEST_F(DropboxSessionRequests, AnInterruptedChunkGoesOnFromTheOffsetTheServiceHolds) {
    struct Case {
        const char* Name;
        Fault Interruption;
        std::vector<std::string> Answered;  // the chunk requests answered
        int Dropped;
    };
    const Case cases[] = {
        {"connection dropped",
         Dropped(),
         {ChunkLine(0, 200), ChunkLine(1, 200), ChunkLine(2, 200), ChunkLine(3, 200)},
         1},
        // The chunk was stored but its answer lost: the service refuses it again and tells its offset.
        {"answer cut off",
         Truncated(),
         {ChunkLine(0, 200), ChunkLine(1, 200), ChunkLine(1, 400), ChunkLine(2, 200), ChunkLine(3, 200)},
         0},
        {"server error",
         ServerError(503),
         {ChunkLine(0, 200), ChunkLine(1, 503), ChunkLine(1, 200), ChunkLine(2, 200), ChunkLine(3, 200)},
         0},
    };
    for (const Case& c : cases) {
        Emu().ClearRequests();
        FaultOn(FCase.Chunks, 1, c.Interruption);
        std::istringstream stream(Content);
        Storage().Root().createFile(c.Name, stream);
        Emu().ClearFaults();

        int dropped = 0;
        std::vector<RecordedRequest> answered = WithoutDropped(Requests(), dropped);
        ASSERT_GE(answered.size(), 2u) << c.Name;
        const std::string id = QueryValue(answered[1], "upload_id");
        EXPECT_EQ(answered.back().path, std::string("/1/commit_chunked_upload/dropbox/") + c.Name) << c.Name;
        answered.pop_back();
        EXPECT_EQ(Lines(answered, id), c.Answered) << c.Name;
        EXPECT_EQ(dropped, c.Dropped) << c.Name;
        EXPECT_EQ(::StoredHash(Cloud::Dropbox, c.Name), Sha256(Content)) << c.Name;
    }
}

TEST_F(DropboxSessionRequests, ALostCommitIsNotRepeated) {
    Emu().InjectFault({.host = "api-content.dropbox.com", .method = "POST", .pathPrefix = "/1/commit_chunked_upload/"},
                      Dropped(), 5);
    EXPECT_THROW(CreateFrom(Content), ETransportError);
    int dropped = 0;
    WithoutDropped(Requests(), dropped);
    EXPECT_EQ(dropped, 1);
}

// Box's session with one part at a time, so that the requests come in a fixed order.
class BoxSessionRequests : public SessionRequests {
protected:
    BoxSessionRequests() : SessionRequests(BoxCase) {}
    void SetUp() override {
        SessionRequests::SetUp();
        OnePartAtATime(5);
    }
    void OnePartAtATime(int AMaxResumptions) {
        dynamic_cast<TNimboBoxNet&>(Storage()).SetUploadSettings(
            {.SingleRequestLimit = FCase.Limit, .ChunkSize = 1, .MaxResumptions = AMaxResumptions, .PartsInFlight = 1});
    }
    // The part size the service chooses.
    static constexpr std::int64_t Part = 8 << 20;
    const std::string Sessions = "upload.box.com /api/2.0/files/upload_sessions";

    std::string PartLine(int AIndex, int AStatus) {
        const std::int64_t first = AIndex * Part, last = std::min<std::int64_t>(first + Part, FCase.Size) - 1;
        return "PUT " + Sessions + "/<id> [" + Range(first, last, FCase.Size) + "] " + std::to_string(AStatus);
    }
    static std::string SessionId(const RecordedRequest& APart) { return APart.path.substr(APart.path.rfind('/') + 1); }
};

TEST_F(BoxSessionRequests, PartsWithTheirDigestsThenACommitWithTheWholeFilesDigest) {
    CreateFrom(Content);
    const std::vector<RecordedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_THAT(Lines(requests, SessionId(requests[1])),
                ElementsAre("POST " + Sessions + " 201", PartLine(0, 200), PartLine(1, 200), PartLine(2, 200),
                            "POST " + Sessions + "/<id>/commit 201"));
    EXPECT_EQ(requests[0].body, R"({"folder_id": "0","file_size": )" + Total + R"(,"file_name": "big.bin"})");
    for (int i = 0; i < 3; ++i) {
        const std::string part = Content.substr(i * Part, Part);
        EXPECT_EQ(requests[i + 1].bodySha256, Sha256(part)) << i;
        EXPECT_EQ(HeaderOf(requests[i + 1], "Digest"), "sha=" + Sha1Base64(part)) << i;
        EXPECT_EQ(HeaderOf(requests[i + 1], "Content-Type"), "application/octet-stream") << i;
    }
    EXPECT_EQ(HeaderOf(requests[4], "Digest"), "sha=" + Sha1Base64(Content));
    EXPECT_THAT(requests[4].body, ::testing::StartsWith(R"({"parts": [{"part_id": ")"));
    EXPECT_EQ(StoredHash(), Sha256(Content));
}

TEST_F(BoxSessionRequests, ANewVersionHasASessionOfItsOwn) {
    const auto [id, requests] = UploadNewVersion();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(Lines(requests, "").front(), "POST upload.box.com /api/2.0/files/" + id + "/upload_sessions 201");
    EXPECT_EQ(requests[0].body, R"({"file_size": )" + Total + R"(,"file_name": "big.bin"})");
    EXPECT_EQ(StoredId(Cloud::Box, "big.bin"), id);
    EXPECT_EQ(StoredHash(), Sha256(Content));
}

TEST_F(BoxSessionRequests, AnInterruptedPartGoesOnFromThePartsTheSessionHolds) {
    struct Case {
        const char* Name;
        Fault Interruption;
        std::vector<std::string> Answered;  // the requests answered between the session's start and its commit
        int Dropped;
    };
    const std::string list = "GET " + Sessions + "/<id>/parts?offset=0&limit=1000 200";
    const Case cases[] = {
        {"connection dropped", Dropped(), {PartLine(0, 200), list, PartLine(1, 200), PartLine(2, 200)}, 1},
        // The part was stored but its answer lost: it is not sent again.
        {"answer cut off", Truncated(), {PartLine(0, 200), PartLine(1, 200), list, PartLine(2, 200)}, 0},
        {"server error",
         ServerError(503),
         {PartLine(0, 200), PartLine(1, 503), list, PartLine(1, 200), PartLine(2, 200)},
         0},
    };
    for (const Case& c : cases) {
        Emu().ClearRequests();
        FaultOn(FCase.Chunks, 1, c.Interruption);
        std::istringstream stream(Content);
        Storage().Root().createFile(c.Name, stream);
        Emu().ClearFaults();

        int dropped = 0;
        std::vector<std::string> lines = Lines(WithoutDropped(Requests(), dropped), SessionId(Requests()[1]));
        ASSERT_GE(lines.size(), 2u) << c.Name;
        EXPECT_EQ(lines.front(), "POST " + Sessions + " 201") << c.Name;
        EXPECT_EQ(lines.back(), "POST " + Sessions + "/<id>/commit 201") << c.Name;
        EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end() - 1), c.Answered) << c.Name;
        EXPECT_EQ(dropped, c.Dropped) << c.Name;
        EXPECT_EQ(::StoredHash(Cloud::Box, c.Name), Sha256(Content)) << c.Name;
    }
}

TEST_F(BoxSessionRequests, AnUploadGivenUpOrCancelledAbortsItsSession) {
    OnePartAtATime(1);
    const auto sessionEnd = [&] {
        int dropped = 0;
        const std::vector<RecordedRequest> answered = WithoutDropped(Requests(), dropped);
        return answered.size() < 2 ? "<too few requests>" : Lines(answered, SessionId(answered[1])).back();
    };

    FaultOn(FCase.Chunks, 1, Dropped());
    Emu().InjectFault(FCase.Chunks, Dropped(), 1);
    EXPECT_THAT([&] { CreateFrom(Content); },
                ThrowsMessage<ERestError>(
                    HasSubstr("The upload of \"big.bin\" was interrupted 2 times and has been given up")));
    EXPECT_EQ(sessionEnd(), "DELETE " + Sessions + "/<id> 204") << "given up";

    Emu().ClearRequests();
    {
        const THttpProgressScope cancelAfterTheFirstPart(
            [](const THttpProgress& AProgress) { return AProgress.UploadDone <= Part; });
        EXPECT_THROW(CreateFrom(Content), EAbort);
    }
    EXPECT_EQ(sessionEnd(), "DELETE " + Sessions + "/<id> 204") << "cancelled";
    EXPECT_FALSE(Emu().Find(Cloud::Box, "big.bin").has_value());
}

// ---------------------------------------------------------------------------------------------
// Parts sent several at once, where the service takes them so.

// What the parallel tests need to know of one service's session.
struct TParallelCase {
    std::string Kind;
    std::function<void(TNimboStorage&, int AMaxResumptions)> Configure;  // four parts in flight
    std::int64_t Part;                                                   // the part size
    std::int64_t Size;                                                   // content of several parts
    Route Parts;                                                         // the requests that carry parts
    std::function<std::int64_t(const RecordedRequest&)> Offset;          // where a part request's bytes start
    std::function<bool(const RecordedRequest&)> OpensParallelSession;    // of the request that opens it
};

void PrintTo(const TParallelCase& ACase, std::ostream* AOut) { *AOut << ACase.Kind; }

const TParallelCase BoxParallel{
    .Kind = "Box",
    .Configure =
        [](TNimboStorage& AStorage, int AMaxResumptions) {
            dynamic_cast<TNimboBoxNet&>(AStorage).SetUploadSettings(
                {.SingleRequestLimit = TNimboBoxNet::MinSessionFileSize,
                 .ChunkSize = 1,
                 .MaxResumptions = AMaxResumptions,
                 .PartsInFlight = 4});
        },
    .Part = 8 << 20,  // the service chooses it
    .Size = TNimboBoxNet::MinSessionFileSize + 1234,
    .Parts = BoxCase.Chunks,
    .Offset =
        [](const RecordedRequest& R) {
            const std::string range = HeaderOf(R, "Content-Range");  // "bytes <first>-..."
            return std::stoll(range.substr(6, range.find('-') - 6));
        },
    .OpensParallelSession = [](const RecordedRequest& R) { return R.method == "POST" && R.status == 201; },
};

const TParallelCase Dropbox2Parallel{
    .Kind = "DropBox2",
    .Configure =
        [](TNimboStorage& AStorage, int AMaxResumptions) {
            dynamic_cast<TNimboDropBox2&>(AStorage).SetUploadSettings(
                {.SingleRequestLimit = 4 << 20, .ChunkSize = 4 << 20, .MaxResumptions = AMaxResumptions});
        },
    .Part = 4 << 20,
    .Size = 3 * (4 << 20) + 1000,
    .Parts = Dropbox2Case.Chunks,
    .Offset =
        [](const RecordedRequest& R) {
            return nlohmann::json::parse(HeaderOf(R, "Dropbox-API-Arg"))["cursor"]["offset"].get<std::int64_t>();
        },
    .OpensParallelSession =
        [](const RecordedRequest& R) {
            return R.path == "/2/files/upload_session/start" &&
                   nlohmann::json::parse(HeaderOf(R, "Dropbox-API-Arg")).value("session_type", "") == "concurrent";
        },
};

class ParallelParts : public AdapterTest::TAdapterFixture, public ::testing::WithParamInterface<TParallelCase> {
protected:
    ParallelParts() : TAdapterFixture(AdapterTest::AdapterKind(GetParam().Kind)) {}

    void SetUp() override {
        TAdapterFixture::SetUp();
        GetParam().Configure(Storage(), 5);
        Storage().RefreshAccess();
        Emu().ClearRequests();
    }

    // The offsets of the part requests answered, in the order they were answered.
    std::vector<std::int64_t> PartOffsets(int& ADropped) {
        std::vector<std::int64_t> offsets;
        for (const RecordedRequest& R : WithoutDropped(Requests(), ADropped))
            if (Matches(GetParam().Parts, R)) offsets.push_back(GetParam().Offset(R));
        return offsets;
    }

    std::vector<std::int64_t> AllOffsets() const {
        std::vector<std::int64_t> offsets;
        for (std::int64_t at = 0; at < GetParam().Size; at += GetParam().Part) offsets.push_back(at);
        return offsets;
    }

    const std::string Content = Pattern(GetParam().Size, 12);
};

// Whatever happened to it, the part that failed is sent again by itself; the others once.
TEST_P(ParallelParts, APartFailingOnceIsSentAgainByItself) {
    struct Case {
        const char* Name;
        Fault Interruption;
    };
    const Case cases[] = {{"dropped.bin", Dropped()}, {"cut.bin", Truncated()}, {"error.bin", ServerError(503)}};
    for (const Case& c : cases) {
        Emu().ClearRequests();
        FaultOn(GetParam().Parts, 1, c.Interruption);
        std::istringstream stream(Content);
        Storage().Root().createFile(c.Name, stream);
        Emu().ClearFaults();

        EXPECT_EQ(StoredHash(Kind().Service, c.Name), Sha256(Content)) << c.Name;
        int dropped = 0;
        std::vector<std::int64_t> offsets = PartOffsets(dropped);
        EXPECT_EQ(offsets.size() + dropped, AllOffsets().size() + 1) << c.Name << ": one part twice";
        std::sort(offsets.begin(), offsets.end());
        offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
        EXPECT_EQ(offsets, AllOffsets()) << c.Name;
        const std::vector<RecordedRequest> session = Requests(GetParam().Parts.host);
        EXPECT_EQ(session.size(), AllOffsets().size() + 3)
            << c.Name << ": the start, the parts, the part again and the commit, nothing asked";
        ASSERT_FALSE(session.empty());
        EXPECT_TRUE(GetParam().OpensParallelSession(session.front())) << c.Name;
    }
}

// The last part, whole or not, from a stream that can seek or not, ends the content.
TEST_P(ParallelParts, AStreamThatCannotSeekAndContentOfWholePartsGoUpTheSameWay) {
    struct Case {
        std::string Name;
        std::int64_t Size;
        bool Pipe;
    };
    const std::int64_t wholeParts = 3 * GetParam().Part;
    const Case cases[] = {
        {"pipe.bin", GetParam().Size, true}, {"whole.bin", wholeParts, false}, {"whole-pipe.bin", wholeParts, true}};
    for (const Case& c : cases) {
        const std::string content = Pattern(c.Size, 13);
        TPipeBuf pipe(content);
        std::istringstream seekable(content);
        std::istream piped(&pipe);
        const TNimboCloudFile file = Storage().Root().createFile(c.Name, c.Pipe ? piped : seekable);
        EXPECT_EQ(file.GetSize(), c.Size) << c.Name;
        EXPECT_EQ(StoredHash(Kind().Service, c.Name), Sha256(content)) << c.Name;
    }
}

TEST_P(ParallelParts, AnUploadGivenUpOrCancelledLeavesNothing) {
    GetParam().Configure(Storage(), 1);
    Emu().InjectFault(GetParam().Parts, ServerError(503), 2);
    std::istringstream stream(Content);
    EXPECT_THAT([&] { Storage().Root().createFile("big.bin", stream); },
                ThrowsMessage<ERestError>(HasSubstr("\"big.bin\" was interrupted 2 times and has been given up")));
    EXPECT_FALSE(Emu().Find(Kind().Service, "big.bin").has_value());

    const THttpProgressScope cancelHalfWay(
        [&](const THttpProgress& AProgress) { return AProgress.UploadDone < GetParam().Size / 2; });
    std::istringstream again(Content);
    EXPECT_THROW(Storage().Root().createFile("big.bin", again), EAbort);
    EXPECT_FALSE(Emu().Find(Kind().Service, "big.bin").has_value());
    if (GetParam().Kind == "Box") {
        const auto requests = Requests("upload.box.com");
        EXPECT_EQ(std::count_if(requests.begin(), requests.end(), [](const auto& R) { return R.method == "DELETE"; }),
                  2)
            << "both sessions aborted";
    }
}

INSTANTIATE_TEST_SUITE_P(Services, ParallelParts, ::testing::Values(BoxParallel, Dropbox2Parallel),
                         [](const ::testing::TestParamInfo<TParallelCase>& AInfo) { return AInfo.param.Kind; });

// ---------------------------------------------------------------------------------------------
// OneDrive: no upload in parts, so content above its limit is refused before anything is sent.

class OneDriveUploadLimit : public AdapterTest::TAdapterFixture {
protected:
    OneDriveUploadLimit() : TAdapterFixture(AdapterTest::AdapterKind("OneDrive")) {}
    TNimboOneDrive& OneDrive() { return dynamic_cast<TNimboOneDrive&>(Storage()); }
};

TEST_F(OneDriveUploadLimit, ContentAboveTheLimitIsRefusedNamingIt) {
    Emu().AddFile(Cloud::LiveConnect, "kept.txt", "old content");
    const TNimboCloudFile root = Storage().Root();
    const TNimboCloudFile kept = Child(root, "kept.txt");
    Emu().ClearRequests();

    // The service's own limit, with a stream that holds none of its bytes.
    TZeroBuf huge(TNimboOneDrive::DefaultUploadLimit + 1);
    std::istream hugeStream(&huge);
    const auto aboveDefault =
        ThrowsMessage<ERestError>(HasSubstr("the service takes at most 104857600 bytes in one upload"));
    EXPECT_THAT([&] { root.createFile("huge.bin", hugeStream); }, aboveDefault);
    EXPECT_THAT([&] { kept.Upload(hugeStream); }, aboveDefault);

    // A stream that cannot seek is read up to the limit to find out.
    OneDrive().SetUploadLimit(1000);
    TPipeBuf pipe(Pattern(1001, 7));
    std::istream pipeStream(&pipe);
    EXPECT_THAT(
        [&] { kept.Upload(pipeStream); },
        ThrowsMessage<ERestError>(HasSubstr("\"kept.txt\" cannot be uploaded: the service takes at most 1000 bytes")));

    EXPECT_TRUE(Requests().empty()) << "nothing was sent";
    EXPECT_EQ(StoredHash(Cloud::LiveConnect, "kept.txt"), Sha256("old content"));
    EXPECT_FALSE(Emu().Find(Cloud::LiveConnect, "huge.bin").has_value());

    std::istringstream atLimit(Pattern(1000, 8));
    kept.Upload(atLimit);
    EXPECT_EQ(StoredHash(Cloud::LiveConnect, "kept.txt"), Sha256(Pattern(1000, 8)));
}

}  // namespace

class GraphSessionRequests : public SessionRequests {
protected:
    GraphSessionRequests() : SessionRequests(GraphCase) {}
    static constexpr std::int64_t Chunk = TNimboOneDriveGraph::ChunkGranularity;
};

// The fragment's bytes that were cut off are sent again from the first byte the session expects.
TEST_F(GraphSessionRequests, AnInterruptedFragmentResumesFromTheRangeTheSessionExpects) {
    FaultOn(GraphCase.Chunks, 1, Dropped());
    CreateFrom(Content);

    std::vector<std::string> session;
    for (const RecordedRequest& R : Requests("api.onedrive.com"))
        session.push_back(R.method + " " + HeaderOf(R, "Content-Range") + " " + std::to_string(R.status));
    EXPECT_THAT(session, ElementsAre("PUT " + Range(0, Chunk - 1, FCase.Size) + " 202",
                                     "PUT " + Range(Chunk, 2 * Chunk - 1, FCase.Size) + " 0", "GET  200",
                                     "PUT " + Range(Chunk, 2 * Chunk - 1, FCase.Size) + " 202",
                                     "PUT " + Range(2 * Chunk, 3 * Chunk - 1, FCase.Size) + " 202",
                                     "PUT " + Range(3 * Chunk, FCase.Size - 1, FCase.Size) + " 201"));
    EXPECT_EQ(StoredHash(), Sha256(Content));
}
