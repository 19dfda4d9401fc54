// Services that fail, throttle, stall and answer nonsense, met through the storage model for every
// adapter: the error that surfaces, what stays as it was (the item, the saved sign-in, the local
// file, the service's files), and which requests went out again.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "AdapterTestSupport.h"
#include "Nimbo/Connection/HttpTransport.h"
#include "Nimbo/Connection/Json.h"
#include "Nimbo/Connection/platform/BinaryStream.h"

using namespace Nimbo::Connection;
using namespace std::chrono_literals;
using AdapterTest::Cloud;
using AdapterTest::Dropped;
using AdapterTest::TAdapterKind;
using AdapterTest::Truncated;
using Nimbo::Emulator::Fault;
using Nimbo::Emulator::RecordedRequest;
using Nimbo::Emulator::Route;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Property;
using ::testing::Throws;
using ::testing::ThrowsMessage;

namespace fs = std::filesystem;

namespace {

enum class TOperation { List, Download, DownloadToFile, Upload, CreateFolder, CreateFile, Delete };

// Where the fault is met.
enum class TTrigger {
    Operation,       // the operation's own request meets the injected fault
    TokenRenewal,    // the access token has run out; its renewal meets the injected fault
    ExpiredToken,    // the service no longer takes the access token the client still holds
    RevokedRefresh,  // the access token has run out and the service has revoked the refresh token
};

// The request of each operation (and of the token renewal) of one service, on the service's real
// hosts. The item ids are those of the fixture's folder and file.
struct TServiceRoutes {
    Route List, Download, Upload, CreateFolder, CreateFile, Delete, Token;

    const Route& Of(TOperation AOperation) const {
        switch (AOperation) {
            case TOperation::List:
                return List;
            case TOperation::Download:
            case TOperation::DownloadToFile:
                return Download;
            case TOperation::Upload:
                return Upload;
            case TOperation::CreateFolder:
                return CreateFolder;
            case TOperation::CreateFile:
                return CreateFile;
            case TOperation::Delete:
                return Delete;
        }
        throw std::logic_error("unknown operation");
    }
};

// Downloads are aimed at the host that sends the bytes, behind any redirect.
TServiceRoutes RoutesOf(const TAdapterKind& AKind, const std::string& AFolderId, const std::string& AFileId) {
    // Today's interfaces of a service share its emulated account with the old ones.
    if (AKind.Name == "GoogleDrive3")
        return {.List = {"www.googleapis.com", "GET", "/drive/v3/files"},
                .Download = {"www.googleapis.com", "GET", "/drive/v3/files/" + AFileId},
                .Upload = {"www.googleapis.com", "PATCH", "/upload/drive/v3/files/" + AFileId},
                .CreateFolder = {"www.googleapis.com", "POST", "/drive/v3/files"},
                .CreateFile = {"www.googleapis.com", "POST", "/upload/drive/v3/files"},
                .Delete = {"www.googleapis.com", "DELETE", "/drive/v3/files/" + AFileId},
                .Token = {"oauth2.googleapis.com", "POST", "/token"}};
    // Graph names items by ids of its own: the routes stop at the items.
    if (AKind.Name == "OneDriveGraph")
        return {.List = {"graph.microsoft.com", "GET", "/v1.0/me/drive/items/"},
                .Download = {"public.dm.files.1drv.com", "GET", "/y4m/"},
                .Upload = {"graph.microsoft.com", "PUT", "/v1.0/me/drive/items/"},
                .CreateFolder = {"graph.microsoft.com", "POST", "/v1.0/me/drive/items/"},
                .CreateFile = {"graph.microsoft.com", "PUT", "/v1.0/me/drive/items/"},
                .Delete = {"graph.microsoft.com", "DELETE", "/v1.0/me/drive/items/"},
                .Token = {"login.microsoftonline.com", "POST", "/common/oauth2/v2.0/token"}};
    if (AKind.Name == "DropBox2")
        return {.List = {"api.dropboxapi.com", "POST", "/2/files/list_folder"},
                .Download = {"content.dropboxapi.com", "POST", "/2/files/download"},
                .Upload = {"content.dropboxapi.com", "POST", "/2/files/upload"},
                .CreateFolder = {"api.dropboxapi.com", "POST", "/2/files/create_folder_v2"},
                .CreateFile = {"content.dropboxapi.com", "POST", "/2/files/upload"},
                .Delete = {"api.dropboxapi.com", "POST", "/2/files/delete_v2"},
                .Token = {"api.dropboxapi.com", "POST", "/oauth2/token"}};
    switch (AKind.Service) {
        case Cloud::GoogleDrive:
            return {.List = {"www.googleapis.com", "GET", "/drive/v2/files"},
                    .Download = {"doc-0s-00-docs.googleusercontent.com", "GET", "/"},
                    .Upload = {"www.googleapis.com", "PUT", "/upload/drive/v2/files/" + AFileId},
                    .CreateFolder = {"www.googleapis.com", "POST", "/drive/v2/files"},
                    .CreateFile = {"www.googleapis.com", "POST", "/upload/drive/v2/files"},
                    .Delete = {"www.googleapis.com", "DELETE", "/drive/v2/files/" + AFileId},
                    .Token = {"accounts.google.com", "POST", "/o/oauth2/token"}};
        case Cloud::Dropbox:
            return {.List = {"api.dropbox.com", "GET", "/1/metadata/dropbox/"},
                    .Download = {"api-content.dropbox.com", "GET", "/1/files/dropbox/"},
                    .Upload = {"api-content.dropbox.com", "PUT", "/1/files_put/dropbox/"},
                    .CreateFolder = {"api.dropbox.com", "POST", "/1/fileops/create_folder"},
                    .CreateFile = {"api-content.dropbox.com", "PUT", "/1/files_put/dropbox/"},
                    .Delete = {"api.dropbox.com", "POST", "/1/fileops/delete"},
                    .Token = {}};
        case Cloud::LiveConnect:
            return {.List = {"apis.live.net", "GET", "/v5.0/" + AFolderId + "/files"},
                    .Download = {"storage.live.com", "GET", "/items/"},
                    .Upload = {"apis.live.net", "PUT", "/v5.0/" + AFileId + "/content"},
                    .CreateFolder = {"apis.live.net", "POST", "/v5.0/" + AFolderId},
                    .CreateFile = {"apis.live.net", "PUT", "/v5.0/" + AFolderId + "/files/"},
                    .Delete = {"apis.live.net", "DELETE", "/v5.0/" + AFileId},
                    .Token = {"login.live.com", "POST", "/oauth20_token.srf"}};
        case Cloud::Box:
            return {.List = {"api.box.com", "GET", "/2.0/folders/" + AFolderId + "/items"},
                    .Download = {"dl.boxcloud.com", "GET", "/d/1/"},
                    .Upload = {"upload.box.com", "POST", "/api/2.0/files/" + AFileId + "/content"},
                    .CreateFolder = {"api.box.com", "POST", "/2.0/folders"},
                    .CreateFile = {"upload.box.com", "POST", "/api/2.0/files/content"},
                    .Delete = {"api.box.com", "DELETE", "/2.0/files/" + AFileId},
                    .Token = {"app.box.com", "POST", "/api/oauth2/token"}};
    }
    throw std::logic_error("unknown service");
}

using TRequestKind = std::function<bool(const RecordedRequest&)>;

TRequestKind On(const Route& ARoute) {
    return [ARoute](const RecordedRequest& ARequest) {
        return ARequest.host == ARoute.host && ARequest.method == ARoute.method &&
               ARequest.path.compare(0, ARoute.pathPrefix.size(), ARoute.pathPrefix) == 0;
    };
}

TRequestKind AnsweredWith(int AStatus) {
    return [AStatus](const RecordedRequest& ARequest) { return ARequest.status == AStatus; };
}

// ---- faults ----

Fault Status(int ACode, std::optional<int> ARetryAfter = std::nullopt) {
    Fault fault;
    fault.status = ACode;
    fault.body = R"({"error": "injected failure"})";
    fault.retryAfterSeconds = ARetryAfter;
    return fault;
}

// Longer than the stall time-out that the stall cases configure.
Fault Stalled() {
    Fault fault;
    fault.delay = 2500ms;
    return fault;
}

// An item record of every service without the item's id (or path), as an upload answers: Box's
// list of the one entry, the others' object.
constexpr char Itemless[] = R"({"entries": [{"type": "file", "name": "report.txt"}], "title": "report.txt"})";
// A listing page of every service whose one entry has no id (or path).
constexpr char ListingOfGhosts[] =
    R"({"items": [{"title": "ghost"}], "contents": [{"bytes": 1}], "data": [{"name": "ghost"}],)"
    R"( "entries": [{"name": "ghost"}], "files": [{"name": "ghost"}], "value": [{"name": "ghost"}], "total_count": 1})";

Fault Json200(const std::string& ABody) {
    Fault fault;
    fault.status = 200;
    fault.body = ABody;
    return fault;
}

Fault NotJson() {
    Fault fault;
    fault.status = 200;
    fault.body = "<html><body>Service temporarily unavailable</body></html>";
    fault.contentType = "text/html";
    return fault;
}

// ---- expected errors ----

using TRaises = ::testing::Matcher<std::function<void()>>;

TRaises ProtocolError(int ACode, const std::string& AText = "") {
    return Throws<EHttpProtocolError>(AllOf(Property(&EHttpProtocolError::ErrorCode, ACode),
                                            Property(&EHttpProtocolError::ErrorMessage, HasSubstr(AText))));
}
TRaises TransportError(const std::string& AText) { return ThrowsMessage<ETransportError>(HasSubstr(AText)); }
TRaises JsonError() { return Throws<EJsonError>(); }
// The answer is well formed but lacks what it is for.
TRaises Unanswered(const std::string& AText) { return ThrowsMessage<ERestError>(HasSubstr(AText)); }

// ---- what the client sees of an item ----

struct TItemView {
    std::string Name;
    bool IsFolder;
    std::int64_t Size;
    TDateTime Created, Modified;
    bool operator==(const TItemView&) const = default;
};

TItemView ViewOf(const TNimboCloudFile& AFile) {
    return {AFile.GetName(), AFile.GetIsFolder(), AFile.GetSize(), AFile.GetCreatedAt(), AFile.GetModifiedAt()};
}

std::string FileText(const fs::path& APath) {
    std::ifstream in(APath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The saved state with the access token's expiry moved into the past, so that the next operation
// renews the token first.
std::string WithTokenRunOut(const std::string& AState) {
    std::istringstream in(AState);
    TBinaryReader reader(in);
    std::ostringstream out;
    TBinaryWriter writer(out);
    writer.Write(reader.ReadByte());    // format version
    writer.Write(reader.ReadString());  // client id
    writer.Write(reader.ReadString());  // access token
    writer.Write(reader.ReadString());  // refresh token
    reader.ReadDouble();
    writer.Write(1.0);                                           // expiry: a day in 1899
    out << std::string(std::istreambuf_iterator<char>(in), {});  // the service's own fields
    return out.str();
}

constexpr char OriginalContent[] = "the report as the service holds it";
constexpr char LocalContent[] = "an older local copy that must survive";
constexpr char NewContent[] = "new content sent by the client";

// A signed-in storage with a folder "Docs" holding "report.txt", both already listed, and a local
// folder holding an older copy of the report.
class TFaultFixture : public AdapterTest::TAdapterFixture {
protected:
    using TAdapterFixture::TAdapterFixture;

    void SetUp() override {
        TAdapterFixture::SetUp();
        FSavedTransport = THttpTransport::Settings();
        const std::string folderId = Emu().AddFolder(Kind().Service, "Docs");
        const std::string fileId = Emu().AddFile(Kind().Service, "Docs/report.txt", OriginalContent);
        Routes = RoutesOf(Kind(), folderId, fileId);
        Docs = Child(Storage().Root(), "Docs");
        Report = Child(Docs, "report.txt");
        // Read once, so that every read of the report goes on a kept-alive connection, whichever
        // tests ran before in this process.
        std::ostringstream warm;
        Report.Download(warm);
        LocalFolder = fs::path(::testing::TempDir()) /
                      ("faults-" + Kind().Name + "-" + std::to_string(::getpid()) + "-" + std::to_string(++FCounter));
        fs::create_directories(LocalFolder);
        std::ofstream(LocalFile(), std::ios::binary) << LocalContent;
        Emu().ClearRequests();
    }

    void TearDown() override {
        THttpTransport::Configure(FSavedTransport);
        std::error_code ignored;
        fs::remove_all(LocalFolder, ignored);
        TAdapterFixture::TearDown();
    }

    fs::path LocalFile() const { return LocalFolder / "report.txt"; }

    std::string SavedState() {
        std::ostringstream out;
        Storage().SaveState(out);
        return out.str();
    }

    void Run(TOperation AOperation) {
        switch (AOperation) {
            case TOperation::List:
                Docs.Files();
                return;
            case TOperation::Download: {
                std::ostringstream out;
                Report.Download(out);
                return;
            }
            case TOperation::DownloadToFile:
                Report.Download(LocalFile().string());
                return;
            case TOperation::Upload: {
                std::istringstream in(NewContent);
                Report.Upload(in);
                return;
            }
            case TOperation::CreateFolder:
                Docs.CreateFolder("Archive");
                return;
            case TOperation::CreateFile: {
                std::istringstream in(NewContent);
                Docs.createFile("summary.txt", in);
                return;
            }
            case TOperation::Delete:
                Report.Delete();
                return;
        }
    }

    // A short stall time-out for the cases of a stalled server; TearDown restores the setting.
    void UseShortStallTimeout() {
        THttpTransportSettings settings = THttpTransport::Settings();
        settings.StallTimeoutSeconds = 1;
        THttpTransport::Configure(settings);
    }

    // How many of the requests the service has received are of that kind.
    std::size_t Received(const TRequestKind& AKind) const {
        const std::vector<RecordedRequest> requests = Requests();
        return static_cast<std::size_t>(std::count_if(requests.begin(), requests.end(), AKind));
    }

    // The service records a stalled request only once its answer is due; waits for that, so that
    // the request neither escapes the count nor reaches the next test.
    void AwaitReceived(const TRequestKind& AKind, std::size_t ACount) const {
        for (auto deadline = std::chrono::steady_clock::now() + 10s;
             Received(AKind) < ACount && std::chrono::steady_clock::now() < deadline;)
            std::this_thread::sleep_for(20ms);
    }

    // The files of "Docs" on the service side, with their contents.
    std::vector<std::string> ServiceFiles() {
        std::vector<std::string> files;
        for (const Nimbo::Emulator::ItemInfo& item : Emu().Children(Kind().Service, "Docs"))
            files.push_back(item.name + (item.isFolder ? "/" : "=" + item.content));
        std::sort(files.begin(), files.end());
        return files;
    }

    std::vector<std::string> LocalFiles() const {
        std::vector<std::string> names;
        for (const fs::directory_entry& entry : fs::directory_iterator(LocalFolder))
            names.push_back(entry.path().filename().string());
        return names;
    }

    TServiceRoutes Routes;
    TNimboCloudFile Docs, Report;
    fs::path LocalFolder;

private:
    inline static int FCounter = 0;
    THttpTransportSettings FSavedTransport;
};

// ---------------------------------------------------------------------------------------------
// Faults that end the operation with an error

// The fault of a case and where it is met.
struct TInjection {
    TTrigger Trigger;
    Fault Injected;

    // Whether the fault keeps the request from reaching the service's files: an answer in the
    // service's place, a dropped request, or a failure before the operation's request.
    bool KeepsTheServiceUntouched() const {
        return Trigger != TTrigger::Operation || Injected.status != 0 || Injected.dropConnection;
    }
};

TInjection OnRequest(Fault AFault) { return {TTrigger::Operation, std::move(AFault)}; }
TInjection OnRenewal(Fault AFault) { return {TTrigger::TokenRenewal, std::move(AFault)}; }
TInjection ExpiredToken() { return {TTrigger::ExpiredToken, {}}; }
TInjection RevokedRefresh() { return {TTrigger::RevokedRefresh, {}}; }

struct TFailureCase {
    const char* Name;
    TOperation Operation;
    TInjection Injection;
    TRaises Raises;  // what the caller gets
    int Sent;        // requests that met the fault: more than one only for a repeated read
};

const TFailureCase FailureCases[] = {
    // A server error is not a busy answer: even a read is not repeated.
    {"ServerErrorOnListing", TOperation::List, OnRequest(Status(500)), ProtocolError(500, "injected"), 1},
    {"ServerErrorOnUpload", TOperation::Upload, OnRequest(Status(500)), ProtocolError(500), 1},
    // A read that stays unavailable is given up after three retries.
    {"UnavailableDownload", TOperation::DownloadToFile, OnRequest(Status(503, 1)), ProtocolError(503), 4},
    {"UnavailableOnCreateFolder", TOperation::CreateFolder, OnRequest(Status(503, 1)), ProtocolError(503), 1},
    {"UnavailableOnDelete", TOperation::Delete, OnRequest(Status(503, 1)), ProtocolError(503), 1},
    {"TooManyRequestsOnUpload", TOperation::Upload, OnRequest(Status(429, 1)), ProtocolError(429), 1},
    {"TooManyRequestsOnCreateFile", TOperation::CreateFile, OnRequest(Status(429, 1)), ProtocolError(429), 1},
    // A read on a kept-alive connection that closes unanswered is sent once more on a new one (it
    // may have met the server's idle close); the fixture has listed and downloaded before, so the
    // listing and the download are such reads. The error names the request's method and address.
    {"DroppedListing", TOperation::List, OnRequest(Dropped()), TransportError(" https://"), 2},
    {"DroppedDownload", TOperation::DownloadToFile, OnRequest(Dropped()), TransportError(" https://"), 2},
    {"DroppedUpload", TOperation::Upload, OnRequest(Dropped()), TransportError("https://"), 1},
    {"DroppedDelete", TOperation::Delete, OnRequest(Dropped()), TransportError("https://"), 1},
    {"TruncatedListing", TOperation::List, OnRequest(Truncated()), TransportError(" https://"), 1},
    {"TruncatedDownload", TOperation::DownloadToFile, OnRequest(Truncated()), TransportError(" https://"), 1},
    // The service has stored the content; only its answer is cut short.
    {"TruncatedUploadAnswer", TOperation::Upload, OnRequest(Truncated()), TransportError("https://"), 1},
    {"TruncatedCreateFileAnswer", TOperation::CreateFile, OnRequest(Truncated()), TransportError("https://"), 1},
    {"StalledListing", TOperation::List, OnRequest(Stalled()), TransportError("timed out"), 1},
    {"StalledDownload", TOperation::DownloadToFile, OnRequest(Stalled()), TransportError("timed out"), 1},
    {"NotJsonListing", TOperation::List, OnRequest(NotJson()), JsonError(), 1},
    {"NotJsonUploadAnswer", TOperation::Upload, OnRequest(NotJson()), JsonError(), 1},
    {"NotJsonCreateFolderAnswer", TOperation::CreateFolder, OnRequest(NotJson()), JsonError(), 1},
    {"ExpiredTokenOnListing", TOperation::List, ExpiredToken(), ProtocolError(401), 1},
    {"ExpiredTokenOnDownload", TOperation::DownloadToFile, ExpiredToken(), ProtocolError(401), 1},
    {"ExpiredTokenOnUpload", TOperation::Upload, ExpiredToken(), ProtocolError(401), 1},
    {"RevokedRefreshToken", TOperation::List, RevokedRefresh(), ProtocolError(400, "invalid_grant"), 1},
    {"UnavailableTokenRenewal", TOperation::List, OnRenewal(Status(503, 1)), ProtocolError(503), 1},
    {"NotJsonTokenRenewal", TOperation::List, OnRenewal(NotJson()), JsonError(), 1},
    {"DroppedTokenRenewal", TOperation::Upload, OnRenewal(Dropped()), TransportError("POST https://"), 1},
    // Answers in the right syntax that lack what they are for.
    {"TokenAnswerWithoutToken", TOperation::List, OnRenewal(Json200(R"({"token_type": "Bearer", "expires_in": 3600})")),
     Unanswered("without an access token"), 1},
    {"ListingEntriesWithoutId", TOperation::List, OnRequest(Json200(ListingOfGhosts)), Unanswered("without the item's"),
     1},
    {"UploadAnswerWithoutItem", TOperation::Upload, OnRequest(Json200(Itemless)), Unanswered("without the item's"), 1},
    {"CreateFolderAnswerWithoutItem", TOperation::CreateFolder, OnRequest(Json200(Itemless)),
     Unanswered("without the item's"), 1},
    {"CreateFileAnswerWithoutItem", TOperation::CreateFile, OnRequest(Json200(Itemless)),
     Unanswered("without the item's"), 1},
};

bool UsesTokenRenewal(const TFailureCase& ACase) {
    return ACase.Injection.Trigger == TTrigger::TokenRenewal || ACase.Injection.Trigger == TTrigger::RevokedRefresh;
}

// Dropbox's first interface gives tokens that do not run out and no refresh token.
bool RenewsTokens(const TAdapterKind& AKind) { return AKind.Service != Cloud::Dropbox || AKind.Name == "DropBox2"; }

// Dropbox v2 renews a token that the service calls expired and repeats the call (a test of its
// own shows it); the others report the refusal.
bool RenewsARefusedToken(const TAdapterKind& AKind) { return AKind.Name == "DropBox2"; }

// Whether the adapter reads with requests that carry a body (Dropbox v2 reads by POST). The bytes
// such a request sends count as progress to the transport's stall check for a few seconds, longer
// than the short stall of these cases.
bool ReadsWithABody(const TAdapterKind& AKind) { return AKind.Name == "DropBox2"; }

bool Applies(const TAdapterKind& AKind, const TFailureCase& ACase) {
    if (UsesTokenRenewal(ACase) && !RenewsTokens(AKind)) return false;
    if (ACase.Injection.Trigger == TTrigger::ExpiredToken && RenewsARefusedToken(AKind)) return false;
    if (ACase.Injection.Injected.delay > 0ms && ACase.Operation == TOperation::List && ReadsWithABody(AKind))
        return false;
    return true;
}

// One case against one adapter.
template <class TCase>
struct TCaseFor {
    TAdapterKind Kind;
    TCase Case;
    friend void PrintTo(const TCaseFor& AParam, std::ostream* AOut) {
        *AOut << AParam.Kind.Name << " " << AParam.Case.Name;
    }
};

template <class TCase>
std::string CaseName(const ::testing::TestParamInfo<TCaseFor<TCase>>& AInfo) {
    return AInfo.param.Kind.Name + "_" + AInfo.param.Case.Name;
}

std::vector<TCaseFor<TFailureCase>> FailuresForEveryAdapter() {
    std::vector<TCaseFor<TFailureCase>> params;
    for (const TAdapterKind& kind : AdapterTest::AdapterKinds())
        for (const TFailureCase& failure : FailureCases)
            if (Applies(kind, failure)) params.push_back({kind, failure});
    return params;
}

class FaultInjection : public TFaultFixture, public ::testing::WithParamInterface<TCaseFor<TFailureCase>> {
protected:
    FaultInjection() : TFaultFixture(GetParam().Kind) {}
    const TFailureCase& Case() const { return GetParam().Case; }

    // Sets up the case's fault and tells which requests meet it.
    TRequestKind Inject() {
        if (UsesTokenRenewal(Case())) {
            std::istringstream state(WithTokenRunOut(SavedState()));
            Storage().LoadState(state);
        }
        // Every request on the route meets the fault, a repeated one included.
        constexpr int EveryRequest = 10;
        switch (Case().Injection.Trigger) {
            case TTrigger::Operation:
                Emu().InjectFault(Routes.Of(Case().Operation), Case().Injection.Injected, EveryRequest);
                return On(Routes.Of(Case().Operation));
            case TTrigger::TokenRenewal:
                Emu().InjectFault(Routes.Token, Case().Injection.Injected, EveryRequest);
                return On(Routes.Token);
            case TTrigger::ExpiredToken:
                Emu().ExpireAccessTokens(Kind().Service);
                return AnsweredWith(401);
            case TTrigger::RevokedRefresh:
                Emu().ExpireAccessTokens(Kind().Service);
                Emu().RevokeRefreshTokens(Kind().Service);
                return On(Routes.Token);
        }
        throw std::logic_error("unknown trigger");
    }
};

TEST_P(FaultInjection, SurfacesAsAnErrorAndChangesNothing) {
    if (Case().Injection.Injected.delay > 0ms) UseShortStallTimeout();

    const TRequestKind faulty = Inject();
    const std::string stateBefore = SavedState();
    const TItemView reportBefore = ViewOf(Report), docsBefore = ViewOf(Docs);
    const std::vector<std::string> serviceBefore = ServiceFiles();

    EXPECT_THAT([&] { Run(Case().Operation); }, Case().Raises);

    AwaitReceived(faulty, Case().Sent);
    EXPECT_EQ(Received(faulty), static_cast<std::size_t>(Case().Sent));
    EXPECT_EQ(SavedState(), stateBefore);
    EXPECT_EQ(ViewOf(Report), reportBefore);
    EXPECT_EQ(ViewOf(Docs), docsBefore);
    EXPECT_EQ(LocalFiles(), std::vector<std::string>{"report.txt"});
    EXPECT_EQ(FileText(LocalFile()), LocalContent);
    if (Case().Injection.KeepsTheServiceUntouched()) {
        EXPECT_EQ(ServiceFiles(), serviceBefore);
    }
}

GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(FaultInjection);
INSTANTIATE_TEST_SUITE_P(Adapters, FaultInjection, ::testing::ValuesIn(FailuresForEveryAdapter()),
                         CaseName<TFailureCase>);

// ---------------------------------------------------------------------------------------------
// Busy answers to a read: repeated after the wait the service asks for, or after a backoff

struct TRecoveryCase {
    const char* Name;
    TOperation Operation;  // a read
    Fault Injected;
    int Times;                       // busy answers before the service answers
    std::chrono::seconds LeastWait;  // the waits they ask for, together
    std::string Delivered;           // what reaches the caller
};

const TRecoveryCase RecoveryCases[] = {
    {"ListingAfterTooManyRequests", TOperation::List, Status(429, 1), 1, 1s, "report.txt"},
    {"DownloadAfterUnavailableWithoutRetryAfter", TOperation::Download, Status(503), 1, 1s,
     std::string("head:") + OriginalContent},
    {"DownloadToFileAfterTwoBusyAnswers", TOperation::DownloadToFile, Status(429, 1), 2, 2s, OriginalContent},
};

std::vector<TCaseFor<TRecoveryCase>> RecoveriesForEveryAdapter() {
    std::vector<TCaseFor<TRecoveryCase>> params;
    for (const TAdapterKind& kind : AdapterTest::AdapterKinds())
        for (const TRecoveryCase& recovery : RecoveryCases) params.push_back({kind, recovery});
    return params;
}

class BusyServiceRecovery : public TFaultFixture, public ::testing::WithParamInterface<TCaseFor<TRecoveryCase>> {
protected:
    BusyServiceRecovery() : TFaultFixture(GetParam().Kind) {}
    const TRecoveryCase& Case() const { return GetParam().Case; }

    // Runs the read and answers what reached the caller: the names listed, the stream's text after
    // a head written before, or the local file's content.
    std::string Read(TOperation AOperation) {
        switch (AOperation) {
            case TOperation::List: {
                std::string names;
                for (const TNimboCloudFile& file : Docs.Files()) names += (names.empty() ? "" : ",") + file.GetName();
                return names;
            }
            case TOperation::Download: {
                std::ostringstream out;
                out << "head:";
                Report.Download(out);
                return out.str();
            }
            case TOperation::DownloadToFile:
                Report.Download(LocalFile().string());
                return FileText(LocalFile());
            default:
                throw std::logic_error("not a read");
        }
    }
};

TEST_P(BusyServiceRecovery, RepeatsTheReadAndDeliversItOnce) {
    const Route& route = Routes.Of(Case().Operation);
    Emu().InjectFault(route, Case().Injected, Case().Times);
    const std::string stateBefore = SavedState();

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Read(Case().Operation), Case().Delivered);
    EXPECT_GE(std::chrono::steady_clock::now() - start, Case().LeastWait);
    EXPECT_EQ(Received(On(route)), static_cast<std::size_t>(Case().Times + 1));
    EXPECT_EQ(SavedState(), stateBefore);
    EXPECT_EQ(LocalFiles(), std::vector<std::string>{"report.txt"});
}

GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(BusyServiceRecovery);
INSTANTIATE_TEST_SUITE_P(Adapters, BusyServiceRecovery, ::testing::ValuesIn(RecoveriesForEveryAdapter()),
                         CaseName<TRecoveryCase>);

}  // namespace
