// The Drive v3 adapter against the emulator: what is particular to it beyond the storage contract
// (the loopback sign-in and the account name, the exact requests, names that need not be unique,
// the service's own documents, its error format and its rate limits).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "AdapterTestSupport.h"
#include "Nimbo/Connection/ContentHash.h"
#include "Nimbo/Connection/GDrive3.h"
#include "Nimbo/Connection/HeadlessAuth.h"

using namespace Nimbo::Connection;
using AdapterTest::HeaderOf;
using Nimbo::Emulator::Cloud;
using Nimbo::Emulator::Fault;
using Nimbo::Emulator::RecordedRequest;
using Nimbo::Emulator::Route;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Property;
using ::testing::StartsWith;
using ::testing::Throws;
using ::testing::ThrowsMessage;

namespace {

const std::string ApiHost = "www.googleapis.com";
const std::string FileFields =
    "id%2Cname%2CmimeType%2Csize%2CcreatedTime%2CmodifiedTime%2Cmd5Checksum%2Csha1Checksum%2Cparents";
const std::string ListQuery = "fields=nextPageToken%2Cfiles%28" + FileFields + "%29&pageSize=1000";

AdapterTest::TAdapterKind GDrive3Kind() {
    return {.Name = "GoogleDrive3",
            .Service = Cloud::GoogleDrive,
            .RedirectUrl = TOAuthClient::LoopbackRedirectUrl,
            .Create = [] { return std::make_unique<TNimboGDrive3>(); },
            .PageSize = TNimboGDrive3::ListPageSize,
            .HashAlgorithm = THashAlgorithm::Sha1,
            .UniqueNames = false,
            .CopiesFolders = false};
}

[[maybe_unused]] const bool registered = AdapterTest::RegisterAdapterKind(GDrive3Kind());

// "METHOD host/path?query" as the emulator received it.
std::string Line(const RecordedRequest& ARequest) {
    return ARequest.method + " " + ARequest.host + ARequest.path + (ARequest.query.empty() ? "" : "?" + ARequest.query);
}

// The search of a folder's listing, percent-encoded as it goes out.
std::string Search(const std::string& AEncodedId) {
    return "q=%27" + AEncodedId + "%27%20in%20parents%20and%20trashed%3Dfalse";
}

// An answer the emulator gives instead of the service's own.
Fault Answer(int AStatus, std::string ABody = {}) {
    Fault fault;
    fault.status = AStatus;
    fault.body = std::move(ABody);
    return fault;
}

// Drive's error body.
std::string ErrorBody(int ACode, const std::string& AReason, const std::string& AMessage) {
    return R"({"error": {"code": )" + std::to_string(ACode) + R"(, "message": ")" + AMessage +
           R"(", "errors": [{"domain": "usageLimits", "reason": ")" + AReason + R"(", "message": ")" + AMessage +
           R"("}]}})";
}

class GDrive3Adapter : public AdapterTest::TAdapterFixture {
protected:
    GDrive3Adapter() : TAdapterFixture(GDrive3Kind()) {}

    TNimboGDrive3& Drive() { return dynamic_cast<TNimboGDrive3&>(Storage()); }

    void SignIn() {
        Storage().RefreshAccess();
        Emu().ClearRequests();
    }

    std::vector<std::string> RequestLines(const std::string& AHost = "") {
        std::vector<std::string> lines;
        for (const RecordedRequest& request : Requests(AHost)) lines.push_back(Line(request));
        return lines;
    }

    std::vector<std::string> Names(const TNimboCloudFile& AFolder) {
        std::vector<std::string> names;
        for (const TNimboCloudFile& child : AFolder.Files()) names.push_back(child.GetName());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string Content(const TNimboCloudFile& AFile) {
        std::ostringstream out;
        AFile.Download(out);
        return out.str();
    }
};

// Repeats at once instead of waiting, while it lives.
class TImmediateRetries {
public:
    TImmediateRetries() : FSaved(THttpClient::RetryPolicy()) {
        THttpClient::SetRetryPolicy({.Wait = [](std::chrono::milliseconds) {}});
    }
    ~TImmediateRetries() { THttpClient::SetRetryPolicy(FSaved); }
    TImmediateRetries(const TImmediateRetries&) = delete;
    TImmediateRetries& operator=(const TImmediateRetries&) = delete;

private:
    THttpRetryPolicy FSaved;
};

// ---- sign-in and the account ----

TEST_F(GDrive3Adapter, SignsInThroughTheLoopbackForTheDriveScopeAndReadsTheAccountName) {
    Emu().SetAccountName(Cloud::GoogleDrive, "Ada Lovelace");
    EXPECT_THAT(Storage().Root().Files(), IsEmpty());

    const std::vector<std::string> visited = TNimboHeadlessAuth::Visited();
    ASSERT_FALSE(visited.empty());
    EXPECT_THAT(visited.front(), StartsWith("https://accounts.google.com/o/oauth2/v2/auth?client_id=test-client&scope="
                                            "https%3A%2F%2Fwww.googleapis.com%2Fauth%2Fdrive&redirect_uri="
                                            "http%3A%2F%2F127.0.0.1%3A"));
    EXPECT_THAT(visited.front(), HasSubstr("&code_challenge_method=S256"));

    const std::vector<RecordedRequest> requests = Requests(ApiHost);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(Line(requests[0]), "GET www.googleapis.com/drive/v3/about?fields=user");
    EXPECT_EQ(Line(requests[1]), "GET www.googleapis.com/drive/v3/files?" + Search("root") + "&" + ListQuery);
    EXPECT_EQ(HeaderOf(requests[1], "Authorization"), "Bearer " + Storage().GetToken());
    EXPECT_EQ(Drive().GetUserName(), "Ada Lovelace");

    // The name is kept with the saved state.
    std::stringstream state;
    Storage().SaveState(state);
    const std::unique_ptr<TNimboStorage> restored = NewStorage();
    restored->LoadState(state);
    Emu().ClearRequests();
    EXPECT_EQ(dynamic_cast<TNimboGDrive3&>(*restored).GetUserName(), "Ada Lovelace");
    EXPECT_THAT(Requests(), IsEmpty());
}

TEST_F(GDrive3Adapter, AnotherScopeDropsTheTokenAndSignsInForIt) {
    SignIn();
    EXPECT_FALSE(Storage().GetToken().empty());
    Drive().SetScope(TNimboGDrive3::DriveScope);
    EXPECT_FALSE(Storage().GetToken().empty()) << "the same scope keeps the token";

    Drive().SetScope("https://www.googleapis.com/auth/drive.file");
    EXPECT_TRUE(Storage().GetToken().empty());
    Storage().Root().Files();
    EXPECT_THAT(TNimboHeadlessAuth::Visited().front(),
                HasSubstr("&scope=https%3A%2F%2Fwww.googleapis.com%2Fauth%2Fdrive.file&"));
    EXPECT_FALSE(Storage().GetToken().empty());
}

TEST_F(GDrive3Adapter, RefusesARedirectAddressThatIsNoLoopback) {
    Storage().SetRedirectUrl("urn:ietf:wg:oauth:2.0:oob");
    EXPECT_THAT([&] { Storage().Root().Files(); }, ThrowsMessage<ERestError>(HasSubstr("only through a loopback")));
    EXPECT_THAT(Requests(), IsEmpty());
}

// ---- listings ----

TEST_F(GDrive3Adapter, ListingFollowsThePageTokensToTheEnd) {
    const std::string folderId = Emu().AddFolder(Cloud::GoogleDrive, "Big");
    for (int i = 0; i < 2100; ++i) Emu().AddFile(Cloud::GoogleDrive, "Big/f" + std::to_string(10000 + i), "x");
    const TNimboCloudFile big = Child(Storage().Root(), "Big");
    Emu().ClearRequests();

    const std::vector<TNimboCloudFile> files = big.Files();
    ASSERT_EQ(files.size(), 2100u);
    EXPECT_EQ(files.front().GetName(), "f10000");
    EXPECT_EQ(files.back().GetName(), "f12099");

    const std::vector<RecordedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), 3u);
    const std::string first = "GET www.googleapis.com/drive/v3/files?" + Search(folderId) + "&" + ListQuery;
    EXPECT_EQ(Line(requests[0]), first);
    EXPECT_THAT(Line(requests[1]), StartsWith(first + "&pageToken="));
    EXPECT_THAT(Line(requests[2]), StartsWith(first + "&pageToken="));
    EXPECT_NE(requests[1].query, requests[2].query);
}

TEST_F(GDrive3Adapter, AQuoteOrBackslashInAnIdIsEscapedInTheSearch) {
    SignIn();
    Emu().InjectFault(Route{ApiHost, "GET", "/drive/v3/files"},
                      Answer(200, R"({"files": [{"id": "it's\\odd", "name": "Odd",
                                      "mimeType": "application/vnd.google-apps.folder"}]})"));
    const TNimboCloudFile odd = Child(Storage().Root(), "Odd");
    Emu().ClearRequests();

    EXPECT_THAT(odd.Files(), IsEmpty());
    ASSERT_EQ(Requests().size(), 1u);
    EXPECT_THAT(Requests()[0].query, StartsWith(Search("it%5C%27s%5C%5Codd") + "&"));
}

TEST_F(GDrive3Adapter, ListedItemsCarryTheServiceMetadata) {
    SignIn();
    Emu().InjectFault(Route{ApiHost, "GET", "/drive/v3/files"}, Answer(200, R"({"files": [
                           {"id": "f1", "name": "a.txt", "mimeType": "text/plain", "size": "3000000000",
                            "md5Checksum": "0cc175b9c0f1b6a831c399e269772661", "parents": ["p1"],
                            "sha1Checksum": "86f7e437faa5a7fce15d1ddcb9eaeaea377667b8",
                            "createdTime": "2015-05-06T09:02:13.756Z", "modifiedTime": "2016-02-29T23:59:59+02:00"},
                           {"id": "d1", "name": "Folder", "mimeType": "application/vnd.google-apps.folder"},
                           {"id": "f2", "name": "md5 only.txt", "md5Checksum": "92eb5ffee6ae2fec3ad71c777531578f"}]})"));

    const std::vector<TNimboCloudFile> items = Storage().Root().Files();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].GetName(), "a.txt");
    EXPECT_FALSE(items[0].GetIsFolder());
    EXPECT_EQ(items[0].GetSize(), 3000000000);
    EXPECT_EQ(items[0].GetHash(), "86f7e437faa5a7fce15d1ddcb9eaeaea377667b8");  // SHA-1 where both are given
    EXPECT_EQ(items[0].GetHashAlgorithm(), "sha1");
    EXPECT_EQ(items[0].GetCreatedAt(), ComposeDateTime(EncodeDate(2015, 5, 6), EncodeTime(9, 2, 13)));
    EXPECT_EQ(items[0].GetModifiedAt(),
              ComposeDateTime(EncodeDate(2016, 2, 29), EncodeTime(21, 59, 59)));  // the moment, in UTC
    EXPECT_THAT(dynamic_cast<TNimboGDrive3Data&>(*items[0].Data()).GetParents(), ElementsAre("p1"));
    EXPECT_TRUE(items[1].GetIsFolder());
    EXPECT_EQ(items[1].GetHash(), "");
    EXPECT_FALSE(items[1].GetHasCreatedAt());
    EXPECT_EQ(items[2].GetHash(), "92eb5ffee6ae2fec3ad71c777531578f");
    EXPECT_EQ(items[2].GetHashAlgorithm(), "md5");
}

TEST_F(GDrive3Adapter, AMalformedSizeIsAnErrorNamingIt) {
    SignIn();
    Emu().InjectFault(Route{ApiHost, "GET", "/drive/v3/files"},
                      Answer(200, R"({"files": [{"id": "f1", "name": "a.txt", "size": "12kB"}]})"));
    EXPECT_THAT([&] { Storage().Root().Files(); }, ThrowsMessage<EConvertError>(HasSubstr("12kB")));
}

// ---- names ----

TEST_F(GDrive3Adapter, NamesWithReservedCharactersAndQuotesArriveAsWritten) {
    const std::vector<std::string> names = {"it's here.txt", "back\\slash 'q'.txt", "a #1 + 50% é.txt",
                                            "\"quoted\".txt"};
    const TNimboCloudFile folder = Storage().Root().CreateFolder("Don't #%+ é");
    for (const std::string& name : names) {
        std::istringstream in("content of " + name);
        EXPECT_EQ(folder.createFile(name, in).GetName(), name);
    }
    const TNimboCloudFile listed = Child(Storage().Root(), "Don't #%+ é");
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(Names(listed), sorted);
    for (const std::string& name : names) EXPECT_EQ(Content(Child(listed, name)), "content of " + name) << name;
}

TEST_F(GDrive3Adapter, ASecondItemOfATakenNameIsASecondItem) {
    const TNimboCloudFile root = Storage().Root();
    std::istringstream first("first"), second("second");
    const TNimboCloudFile a = root.createFile("same.txt", first);
    const TNimboCloudFile b = root.createFile("same.txt", second);
    EXPECT_NE(a.Data()->Info().Id, b.Data()->Info().Id);

    std::istringstream third("third");
    const TNimboCloudFile other = root.createFile("other.txt", third);
    other.Rename("same.txt");

    std::vector<std::string> contents;
    for (const TNimboCloudFile& file : root.Files()) {
        EXPECT_EQ(file.GetName(), "same.txt");
        contents.push_back(Content(file));
    }
    std::sort(contents.begin(), contents.end());
    EXPECT_THAT(contents, ElementsAre("first", "second", "third"));
}

// ---- the service's own documents ----

TEST_F(GDrive3Adapter, DocumentsAreListedButTheirDownloadNamesTheExportAndSendsNothing) {
    struct TCase {
        std::string Name;
        std::string MimeType;
        std::string Expected;
    };
    const TCase cases[] = {
        {"Plan", "application/vnd.google-apps.document",
         "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
        {"Budget", "application/vnd.google-apps.spreadsheet", "spreadsheetml.sheet"},
        {"Survey", "application/vnd.google-apps.form", "application/pdf"},
        {"Link", "application/vnd.google-apps.shortcut", "shortcut"},
    };
    for (const TCase& c : cases) Emu().AddFile(Cloud::GoogleDrive, "Docs/" + c.Name, "", c.MimeType);
    const TNimboCloudFile docs = Child(Storage().Root(), "Docs");
    const std::filesystem::path local = std::filesystem::temp_directory_path() / "gdrive3-document.bin";
    std::ofstream(local) << "kept";
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const TNimboCloudFile doc = Child(docs, c.Name);
        EXPECT_FALSE(doc.GetIsFolder());
        EXPECT_EQ(doc.GetSize(), 0);
        EXPECT_EQ(doc.GetMimeType(), c.MimeType);
        Emu().ClearRequests();
        EXPECT_THAT([&] { doc.Download(local.string()); },
                    ThrowsMessage<ERestError>(AllOf(HasSubstr("\"" + c.Name + "\""), HasSubstr(c.Expected))));
        EXPECT_THAT(Requests(), IsEmpty());
    }
    std::ifstream in(local);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "kept");
    std::filesystem::remove(local);
}

// ---- requests ----

TEST_F(GDrive3Adapter, SmallContentGoesUpInOneMultipartRequestWithItsMetadata) {
    const std::string folderId = Emu().AddFolder(Cloud::GoogleDrive, "Docs");
    const TNimboCloudFile docs = Child(Storage().Root(), "Docs");
    Emu().ClearRequests();

    std::istringstream in("hello");
    const TNimboCloudFile file = docs.createFile("report.pdf", in);
    ASSERT_EQ(Requests().size(), 1u);
    const RecordedRequest created = Requests()[0];
    EXPECT_EQ(Line(created), "POST www.googleapis.com/upload/drive/v3/files?uploadType=multipart&fields=" + FileFields);
    EXPECT_THAT(HeaderOf(created, "Content-Type"), StartsWith("multipart/related; boundary="));
    ASSERT_EQ(created.parts.size(), 2u);
    EXPECT_EQ(created.parts[0].contentType, "application/json; charset=UTF-8");
    EXPECT_EQ(created.parts[0].content, R"({"name": "report.pdf","parents": [")" + folderId + R"("]})");
    EXPECT_EQ(created.parts[1].contentType, "application/pdf");
    EXPECT_EQ(created.parts[1].content, "hello");
    EXPECT_EQ(file.GetSize(), 5);
    EXPECT_EQ(file.GetMimeType(), "application/pdf");

    Emu().ClearRequests();
    std::istringstream second("hello again");
    file.Upload(second);
    ASSERT_EQ(Requests().size(), 1u);
    EXPECT_EQ(Line(Requests()[0]), "PATCH www.googleapis.com/upload/drive/v3/files/" + file.Data()->Info().Id +
                                       "?uploadType=multipart&fields=" + FileFields);
    ASSERT_EQ(Requests()[0].parts.size(), 2u);
    EXPECT_EQ(Requests()[0].parts[0].content, "{}");
    EXPECT_EQ(Requests()[0].parts[1].contentType, "application/pdf");
    EXPECT_EQ(Requests()[0].parts[1].content, "hello again");
    EXPECT_EQ(file.GetSize(), 11);
    EXPECT_EQ(Emu().Find(Cloud::GoogleDrive, "Docs/report.pdf")->content, "hello again");
    EXPECT_EQ(Emu().Children(Cloud::GoogleDrive, "Docs").size(), 1u);
}

TEST_F(GDrive3Adapter, DownloadAsksForTheMediaAndDeleteSkipsTheTrash) {
    const std::string id = Emu().AddFile(Cloud::GoogleDrive, "notes.txt", "some notes");
    const TNimboCloudFile notes = Child(Storage().Root(), "notes.txt");
    Emu().ClearRequests();

    EXPECT_EQ(Content(notes), "some notes");
    notes.Delete();
    EXPECT_THAT(RequestLines(), ElementsAre("GET www.googleapis.com/drive/v3/files/" + id + "?alt=media",
                                            "DELETE www.googleapis.com/drive/v3/files/" + id));
    EXPECT_FALSE(Emu().Find(Cloud::GoogleDrive, "notes.txt").has_value());
}

TEST_F(GDrive3Adapter, RenameMoveAndCopyAreOneRequestEach) {
    const std::string fromId = Emu().AddFolder(Cloud::GoogleDrive, "From");
    const std::string toId = Emu().AddFolder(Cloud::GoogleDrive, "To");
    const std::string id = Emu().AddFile(Cloud::GoogleDrive, "From/a.txt", "text");
    const TNimboCloudFile file = Child(Child(Storage().Root(), "From"), "a.txt");
    const TNimboCloudFile to = Child(Storage().Root(), "To");
    Emu().ClearRequests();

    file.Rename("b.txt");
    file.Move(to);
    const TNimboCloudFile copy = file.Copy(to, "c.txt");

    const std::vector<RecordedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(Line(requests[0]), "PATCH www.googleapis.com/drive/v3/files/" + id + "?fields=" + FileFields);
    EXPECT_EQ(requests[0].body, R"({"name": "b.txt"})");
    EXPECT_EQ(Line(requests[1]), "PATCH www.googleapis.com/drive/v3/files/" + id + "?addParents=" + toId +
                                     "&removeParents=" + fromId + "&fields=" + FileFields);
    EXPECT_EQ(requests[1].body, "{}");
    EXPECT_EQ(Line(requests[2]), "POST www.googleapis.com/drive/v3/files/" + id + "/copy?fields=" + FileFields);
    EXPECT_EQ(requests[2].body, R"({"name": "c.txt","parents": [")" + toId + R"("]})");
    EXPECT_THAT(dynamic_cast<TNimboGDrive3Data&>(*file.Data()).GetParents(), ElementsAre(toId));
    EXPECT_EQ(Names(to), (std::vector<std::string>{"b.txt", "c.txt"}));
    EXPECT_EQ(Content(copy), "text");

    Emu().ClearRequests();
    EXPECT_THAT([&] { to.Copy(Storage().Root(), "To copy"); },
                ThrowsMessage<ERestError>("Copying folders on Google Drive is not supported by this storage"));
    EXPECT_THAT(Requests(), IsEmpty());
}

TEST_F(GDrive3Adapter, SpaceHasNoTotalWhereTheAccountIsUnlimited) {
    SignIn();
    struct TCase {
        std::string Answer;
        std::int64_t Used;
        std::optional<std::int64_t> Total;
    };
    const TCase cases[] = {
        {R"({"storageQuota": {"limit": "16106127360", "usage": "5000000000"}})", 5000000000, 16106127360},
        {R"({"storageQuota": {"usage": "123", "usageInDrive": "100"}})", 123, std::nullopt},
    };
    for (const TCase& c : cases) {
        Emu().ClearRequests();
        Emu().InjectFault(Route{ApiHost, "GET", "/drive/v3/about"}, Answer(200, c.Answer));
        const TNimboSpace space = Storage().GetSpace();
        EXPECT_EQ(space.Used, c.Used);
        EXPECT_EQ(space.Total, c.Total);
        EXPECT_THAT(RequestLines(), ElementsAre("GET www.googleapis.com/drive/v3/about?fields=storageQuota"));
    }
}

// ---- errors and rate limits ----

TEST_F(GDrive3Adapter, TheServicesErrorBecomesAnErrorWithItsMessageAndReason) {
    Emu().AddFile(Cloud::GoogleDrive, "gone.txt", "x");
    const TNimboCloudFile gone = Child(Storage().Root(), "gone.txt");
    TNimboCloudFile(gone).Delete();

    std::ostringstream out;
    EXPECT_THAT([&] { gone.Download(out); },
                Throws<EGDrive3Error>(AllOf(
                    Property(&EGDrive3Error::ErrorCode, 404), Property(&EGDrive3Error::Reason, "notFound"),
                    Property(&EGDrive3Error::ServiceMessage, HasSubstr("File not found")),
                    Property(&EGDrive3Error::Message, AllOf(HasSubstr("File not found"), HasSubstr("notFound"))))));
    // An answer in another format passes on as it came.
    Emu().InjectFault(Route{ApiHost, "DELETE", ""}, Answer(500, R"({"error": "injected"})"));
    EXPECT_THAT([&] { gone.Delete(); },
                Throws<EHttpProtocolError>(AllOf(Property(&EHttpProtocolError::ErrorCode, 500),
                                                 Property(&EHttpProtocolError::ErrorMessage, HasSubstr("injected")))));
}

TEST_F(GDrive3Adapter, RateLimitsAreWaitedOutForReadsOnly) {
    const TImmediateRetries immediate;
    Emu().AddFile(Cloud::GoogleDrive, "a.txt", "a");
    SignIn();
    const Route listing{ApiHost, "GET", "/drive/v3/files"};
    Emu().InjectFault(listing, Answer(403, ErrorBody(403, "userRateLimitExceeded", "User Rate Limit Exceeded")), 1);
    Emu().InjectFault(listing, Answer(429, ErrorBody(429, "rateLimitExceeded", "Rate Limit Exceeded")), 1);
    Emu().InjectFault(listing, Answer(403, ErrorBody(403, "rateLimitExceeded", "Rate Limit Exceeded")), 1);
    EXPECT_EQ(Names(Storage().Root()), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(Requests().size(), 4u);

    // A daily limit does not pass with a repeat.
    Emu().ClearRequests();
    Emu().InjectFault(listing, Answer(403, ErrorBody(403, "dailyLimitExceeded", "Daily Limit Exceeded")), 1);
    EXPECT_THAT([&] { Storage().Root().Files(); },
                Throws<EGDrive3Error>(Property(&EGDrive3Error::Reason, "dailyLimitExceeded")));
    EXPECT_EQ(Requests().size(), 1u);

    // A request that changes something is not repeated: the caller decides.
    Emu().ClearRequests();
    Emu().InjectFault(Route{ApiHost, "POST", "/drive/v3/files"},
                      Answer(403, ErrorBody(403, "userRateLimitExceeded", "User Rate Limit Exceeded")), 1);
    EXPECT_THAT([&] { Storage().Root().CreateFolder("New"); },
                Throws<EGDrive3Error>(AllOf(Property(&EGDrive3Error::ErrorCode, 403),
                                            Property(&EGDrive3Error::Reason, "userRateLimitExceeded"))));
    EXPECT_EQ(Requests().size(), 1u);
    EXPECT_FALSE(Emu().Find(Cloud::GoogleDrive, "New").has_value());
}

TEST_F(GDrive3Adapter, UploadSettingsTakeChunksOfWhole256KiBOnly) {
    EXPECT_THROW(Drive().SetUploadSettings({.SingleRequestLimit = 1 << 20, .ChunkSize = 300000}), EArgumentException);
    EXPECT_EQ(Drive().GetUploadSettings().ChunkSize, TNimboGDrive3::DefaultUploadSettings.ChunkSize);
    Drive().SetUploadSettings({.SingleRequestLimit = 1 << 20, .ChunkSize = 3 * TNimboGDrive3::ChunkGranularity});
    EXPECT_EQ(Drive().GetUploadSettings().ChunkSize, 3 * TNimboGDrive3::ChunkGranularity);
}

}  // namespace
