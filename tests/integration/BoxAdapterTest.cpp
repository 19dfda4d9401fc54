// The Box adapter against the emulator: what is particular to Box (its sign-in and token rules,
// the saved user name, the exact requests, multipart uploads) beyond the storage contract suite.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <optional>
#include <sstream>

#include "AdapterTestSupport.h"
#include "Nimbo/Connection/BoxNet.h"
#include "Nimbo/Connection/ContentHash.h"
#include "Nimbo/Connection/HeadlessAuth.h"

namespace {

using namespace Nimbo::Connection;
using AdapterTest::ClientId;
using AdapterTest::HeaderOf;
using Nimbo::Emulator::Cloud;
using Nimbo::Emulator::Fault;
using Nimbo::Emulator::RecordedRequest;
using Nimbo::Emulator::Route;
using Nimbo::Emulator::TokenPair;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Property;
using ::testing::ThrowsMessage;

const std::string ApiHost = "api.box.com";
const std::string UploadHost = "upload.box.com";
const std::string AppHost = "app.box.com";
const std::string TokenPath = "/api/oauth2/token";
const std::string ListQuery = "fields=name%2Csize%2Ccreated_at%2Cmodified_at%2Csha1&limit=1000&offset=0";
constexpr TDateTime OneMinute = 1.0 / (24 * 60);
constexpr TDateTime OneSecond = 1.0 / SecsPerDay;

AdapterTest::TAdapterKind BoxKind() {
    return {.Name = "Box",
            .Service = Cloud::Box,
            .RedirectUrl = TNimboBoxNet::BlankPageUrl,
            .Create = [] { return std::make_unique<TNimboBoxNet>(); },
            .PageSize = TNimboBoxNet::ListPageSize,
            .HashAlgorithm = THashAlgorithm::Sha1};
}

[[maybe_unused]] const bool Registered = AdapterTest::RegisterAdapterKind(BoxKind());

// A string as the state stream writes it: a one-byte length (texts here are short), then the bytes.
std::string Prefixed(const std::string& AText) { return char(AText.size()) + AText; }

// The state stream of a Box component: version 1, client id, token, refresh token, expiry (a
// little-endian double), then the user name.
std::string StateBytes(const std::string& AToken, const std::string& ARefresh, TDateTime AExpires,
                       const std::string& AUserName) {
    char expires[sizeof(double)];
    std::memcpy(expires, &AExpires, sizeof expires);
    return "\x01" + Prefixed(ClientId) + Prefixed(AToken) + Prefixed(ARefresh) + std::string(expires, sizeof expires) +
           Prefixed(AUserName);
}

// "GET api.box.com /2.0/folders/0/items?fields=..." — one line that shows a request at a glance.
std::string Line(const RecordedRequest& ARequest) {
    return ARequest.method + " " + ARequest.host + " " + ARequest.path +
           (ARequest.query.empty() ? "" : "?" + ARequest.query);
}

std::vector<std::string> Lines(const std::vector<RecordedRequest>& ARequests) {
    std::vector<std::string> lines;
    for (const RecordedRequest& request : ARequests) lines.push_back(Line(request));
    return lines;
}

std::string Download(const TNimboCloudFile& AFile) {
    std::ostringstream content;
    AFile.Download(content);
    return content.str();
}

// Checks the status and the service's own error text of a failed request.
auto ServiceError(int AStatus, const std::string& AText) {
    return ::testing::Throws<EHttpProtocolError>(AllOf(Property(&EHttpProtocolError::ErrorCode, AStatus),
                                                       Property(&EHttpProtocolError::ErrorMessage, HasSubstr(AText))));
}

class BoxAdapterTest : public AdapterTest::TAdapterFixture {
protected:
    BoxAdapterTest() : TAdapterFixture(BoxKind()) {}

    TNimboBoxNet& Box() { return dynamic_cast<TNimboBoxNet&>(Storage()); }

    // Signs in through the window, then forgets the requests that took.
    void SignIn() {
        Box().RefreshAccess();
        Emu().ClearRequests();
    }

    // Gives the component the tokens as a saved state with the expiry AMinutesLeft from now.
    void LoadTokens(const TokenPair& ATokens, double AMinutesLeft, const std::string& AUserName = "") {
        std::istringstream stream(
            StateBytes(ATokens.accessToken, ATokens.refreshToken, Now() + AMinutesLeft * OneMinute, AUserName));
        Storage().LoadState(stream);
    }

    // Every recorded request but the sign-in pages the window went through.
    std::vector<RecordedRequest> ServiceRequests() {
        std::vector<RecordedRequest> requests = Emu().Requests();
        std::erase_if(requests, [](const RecordedRequest& R) { return R.host == AppHost && R.path != TokenPath; });
        return requests;
    }

    std::vector<std::string> ServiceRequestLines() { return Lines(ServiceRequests()); }

    void AnswerOnce(const std::string& AHost, const std::string& AMethod, const std::string& APath, int AStatus,
                    const std::string& ABody = "") {
        Fault answer;
        answer.status = AStatus;
        answer.body = ABody;
        Emu().InjectFault(Route{.host = AHost, .method = AMethod, .pathPrefix = APath}, answer);
    }
};

// ---------------------------------------------------------------------------------------------
// Sign-in

TEST_F(BoxAdapterTest, FirstSignInCapturesTheCodeFromTheRedirectAndReadsTheUserName) {
    Emu().SetAccountName(Cloud::Box, "Zoë Ærø");
    const TDateTime before = Now();
    EXPECT_EQ(Box().GetUserName(), "Zoë Ærø");
    const TDateTime after = Now();

    const std::vector<std::string> visited = TNimboHeadlessAuth::Visited();
    ASSERT_FALSE(visited.empty());
    EXPECT_EQ(visited.front(),
              "https://app.box.com/api/oauth2/authorize?client_id=test-client"
              "&redirect_uri=https%3A%2F%2Fapp.box.com%2Fnimbo-blank&response_type=code");
    EXPECT_TRUE(std::any_of(visited.begin(), visited.end(),
                            [](const std::string& U) { return U.starts_with("https://app.box.com/nimbo-blank?"); }));

    const std::vector<RecordedRequest> requests = ServiceRequests();
    ASSERT_EQ(requests.size(), 2u);
    const RecordedRequest& exchange = requests[0];
    EXPECT_EQ(Line(exchange), "POST app.box.com /api/oauth2/token");
    EXPECT_EQ(HeaderOf(exchange, "Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_THAT(exchange.body,
                ::testing::MatchesRegex("code=[A-Za-z0-9_-]+&client_id=test-client&client_secret=test-secret"
                                        "&grant_type=authorization_code"));
    EXPECT_EQ(Line(requests[1]), "GET api.box.com /2.0/users/me");
    EXPECT_EQ(HeaderOf(requests[1], "Authorization"), "Bearer " + Storage().GetToken());

    EXPECT_FALSE(Storage().GetToken().empty());
    EXPECT_FALSE(Storage().GetRefresh().empty());
    // The emulator's tokens live an hour and up to ten minutes more, counted from the exchange.
    EXPECT_GE(Storage().GetExpires(), before + 3600 * OneSecond);
    EXPECT_LE(Storage().GetExpires(), after + 4200 * OneSecond);
}

TEST_F(BoxAdapterTest, CancelledOrRefusedSignInStoresNothingAndRunsNothing) {
    const TNimboCloudFile root = Storage().Root();
    const auto expectNothingDone = [&] {
        EXPECT_EQ(Storage().GetToken(), "");
        EXPECT_EQ(Storage().GetRefresh(), "");
        EXPECT_THAT(ServiceRequests(), ::testing::IsEmpty());
    };

    TNimboHeadlessAuth::SetDecision(THeadlessDecision::Cancel);
    EXPECT_THROW(root.Files(), EAbort);
    expectNothingDone();

    // The provider's text arrives as the redirect carries it (percent-encoded); this one needs no encoding.
    TNimboHeadlessAuth::SetDecision(THeadlessDecision::Deny, "Not_for.this-app");
    EXPECT_THAT([&] { root.Files(); }, ThrowsMessage<ERestError>(HasSubstr("Not_for.this-app")));
    expectNothingDone();
}

TEST_F(BoxAdapterTest, AccountRequestFailingLeavesTheSignInDone) {
    AnswerOnce(ApiHost, "GET", "/2.0/users/me", 500, R"({"type":"error","status":500,"code":"internal_server_error"})");
    EXPECT_EQ(Box().GetUserName(), "");
    EXPECT_FALSE(Storage().GetToken().empty());

    EXPECT_THAT(Storage().Root().Files(), ::testing::IsEmpty());
    EXPECT_EQ(ServiceRequests().back().path, "/2.0/folders/0/items");
}

TEST_F(BoxAdapterTest, OperationsNeedTheCredentialsBeforeAnyRequest) {
    const TNimboCloudFile root = Storage().Root();
    EXPECT_EQ(root.GetName(), "");
    EXPECT_TRUE(root.GetIsFolder());
    EXPECT_FALSE(root.GetHasCreatedAt());

    Storage().SetRedirectUrl("");
    EXPECT_THAT([&] { root.Files(); }, ThrowsMessage<ERestError>(HasSubstr("RedirectUrl is not specified")));
    EXPECT_THAT(Emu().Requests(), ::testing::IsEmpty());
}

// ---------------------------------------------------------------------------------------------
// Tokens

TEST_F(BoxAdapterTest, TokenIsReusedWithoutRequests) {
    SignIn();
    const std::string token = Storage().GetToken();
    Box().GetUserName();
    Storage().Root().Files();
    EXPECT_THAT(ServiceRequestLines(), ElementsAre("GET api.box.com /2.0/folders/0/items?" + ListQuery));
    EXPECT_EQ(Storage().GetToken(), token);
}

TEST_F(BoxAdapterTest, TokenIsRenewedOnlyInsideTheFiveMinuteMargin) {
    const TokenPair held = Emu().IssueTokens(Cloud::Box, ClientId);

    LoadTokens(held, 10, "Ada");
    Box().RefreshAccess();
    EXPECT_THAT(Emu().Requests(), ::testing::IsEmpty());
    EXPECT_EQ(Storage().GetToken(), held.accessToken);

    LoadTokens(held, 4, "Ada");
    const TDateTime before = Now();
    Storage().Root().Files();
    const std::vector<RecordedRequest> requests = ServiceRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(Line(requests[0]), "POST app.box.com /api/oauth2/token");
    EXPECT_EQ(requests[0].body,
              "client_id=test-client&client_secret=test-secret"
              "&redirect_uri=https%3A%2F%2Fapp.box.com%2Fnimbo-blank&grant_type=refresh_token"
              "&refresh_token=" +
                  held.refreshToken);
    EXPECT_EQ(HeaderOf(requests[0], "Authorization"), "");
    EXPECT_EQ(HeaderOf(requests[1], "Authorization"), "Bearer " + Storage().GetToken());

    // The service's refresh tokens work once: the one of the answer replaces the spent one.
    EXPECT_NE(Storage().GetToken(), held.accessToken);
    EXPECT_NE(Storage().GetRefresh(), held.refreshToken);
    EXPECT_GE(Storage().GetExpires(), before + 3600 * OneSecond);
    EXPECT_EQ(Box().GetUserName(), "Ada");  // a renewal does not ask for the account again
}

TEST_F(BoxAdapterTest, RenewalAnswerWithoutRefreshTokenKeepsTheStoredOne) {
    const TokenPair held = Emu().IssueTokens(Cloud::Box, ClientId);
    const TokenPair fresh = Emu().IssueTokens(Cloud::Box, ClientId);
    LoadTokens(held, 1);
    AnswerOnce(AppHost, "POST", TokenPath, 200,
               R"({"access_token":")" + fresh.accessToken + R"(","expires_in":1234,"token_type":"bearer"})");

    const TDateTime before = Now();
    Box().RefreshAccess();
    const TDateTime after = Now();

    EXPECT_EQ(Storage().GetToken(), fresh.accessToken);
    EXPECT_EQ(Storage().GetRefresh(), held.refreshToken);
    EXPECT_GE(Storage().GetExpires(), before + 1234 * OneSecond);
    EXPECT_LE(Storage().GetExpires(), after + 1234 * OneSecond);
}

TEST_F(BoxAdapterTest, RejectedRenewalLeavesTheStateAsItWas) {
    const TokenPair held = Emu().IssueTokens(Cloud::Box, ClientId);
    Emu().RevokeRefreshTokens(Cloud::Box);
    LoadTokens(held, 4);
    const TDateTime expires = Storage().GetExpires();

    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_THAT([&] { Storage().Root().Files(); }, ServiceError(400, "invalid_grant"));
        EXPECT_EQ(Storage().GetToken(), held.accessToken);
        EXPECT_EQ(Storage().GetRefresh(), held.refreshToken);
        EXPECT_EQ(Storage().GetExpires(), expires);
    }
    // Each call tries the renewal again; none falls back to the sign-in page.
    EXPECT_THAT(Lines(Emu().Requests()),
                ElementsAre("POST app.box.com /api/oauth2/token", "POST app.box.com /api/oauth2/token"));
}

TEST_F(BoxAdapterTest, RenewalsRacingOnOneStateSpendTheSingleUseRefreshTokenOnce) {
    const TokenPair held = Emu().IssueTokens(Cloud::Box, ClientId);
    LoadTokens(held, 1, "Ada");

    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int thread = 0; thread < 4; ++thread)
        threads.emplace_back([&] {
            try {
                Box().RefreshAccess();
            } catch (const std::exception&) {
                ++failures;
            }
        });
    for (std::thread& thread : threads) thread.join();

    EXPECT_EQ(failures, 0);
    EXPECT_THAT(ServiceRequestLines(), ElementsAre("POST app.box.com /api/oauth2/token"));
    EXPECT_NE(Storage().GetRefresh(), held.refreshToken);
}

TEST_F(BoxAdapterTest, RefusedRenewalNamesTheServicesReason) {
    LoadTokens(Emu().IssueTokens(Cloud::Box, ClientId), 1);
    AnswerOnce(AppHost, "POST", TokenPath, 400,
               R"({"error":"invalid_grant","error_description":"Refresh token has expired"})");
    EXPECT_THAT([&] { Box().RefreshAccess(); },
                ThrowsMessage<EOAuthError>(AllOf(HasSubstr("invalid_grant"), HasSubstr("Refresh token has expired"))));
}

// ---------------------------------------------------------------------------------------------
// Saved state

TEST_F(BoxAdapterTest, SavedStateEndsWithTheUserNameAndLoadsBack) {
    Emu().SetAccountName(Cloud::Box, "Zoë Ærø");
    SignIn();
    std::ostringstream saved;
    Storage().SaveState(saved);
    EXPECT_EQ(saved.str(), StateBytes(Storage().GetToken(), Storage().GetRefresh(), Storage().GetExpires(), "Zoë Ærø"));

    const std::unique_ptr<TNimboStorage> restored = NewStorage();
    std::istringstream stream(saved.str());
    restored->LoadState(stream);
    EXPECT_EQ(dynamic_cast<TNimboBoxNet&>(*restored).GetUserName(), "Zoë Ærø");
    std::ostringstream again;
    restored->SaveState(again);
    EXPECT_EQ(again.str(), saved.str());
    EXPECT_THAT(Emu().Requests(), ::testing::IsEmpty());
}

TEST_F(BoxAdapterTest, StateWithoutTheUserNameIsRefusedAndChangesNothing) {
    LoadTokens({"token-a", "refresh-a"}, 30, "Ada");
    std::string truncated = StateBytes("token-b", "refresh-b", Now(), "");
    truncated.pop_back();  // the user name's length byte
    std::istringstream stream(truncated);
    EXPECT_THROW(Storage().LoadState(stream), EReadError);
    EXPECT_EQ(Storage().GetToken(), "token-a");
    EXPECT_EQ(Box().GetUserName(), "Ada");
}

// ---------------------------------------------------------------------------------------------
// Listing

TEST_F(BoxAdapterTest, ListingEntriesBecomeItemsAsTheServiceDescribesThem) {
    SignIn();
    AnswerOnce(ApiHost, "GET", "/2.0/folders/0/items", 200, R"({"total_count":4,"entries":[
        {"type":"Folder","id":"11","name":"Capital"},
        {"type":"folder","id":"12","name":"Plain","created_at":"2012-12-12T10:53:43-08:00"},
        {"type":"file","id":"13","name":"PHOTO.JPG","size":5,"modified_at":"2013-01-02T03:04:05-08:00"},
        {"type":"file","id":"14","name":"photo.jpg","size":6}],"offset":0,"limit":1000})");
    const std::vector<TNimboCloudFile> files = Storage().Root().Files();
    ASSERT_EQ(files.size(), 4u);

    EXPECT_FALSE(files[0].GetIsFolder());  // only "folder" exactly makes a folder
    EXPECT_TRUE(files[1].GetIsFolder());
    EXPECT_EQ(files[1].GetCreatedAt(), EncodeDate(2012, 12, 12) + EncodeTime(18, 53, 43));  // the moment, in UTC
    EXPECT_FALSE(files[1].GetHasModifiedAt());
    EXPECT_EQ(files[2].GetSize(), 5);
    EXPECT_EQ(files[2].GetModifiedAt(), EncodeDate(2013, 1, 2) + EncodeTime(11, 4, 5));
    EXPECT_EQ(files[2].GetMimeType(), "application/octet-stream");  // extensions match case-sensitively
    EXPECT_EQ(files[3].GetMimeType(), "image/jpeg");
}

TEST_F(BoxAdapterTest, ShortPageBeforeTheEndMovesOnByThePageSize) {
    SignIn();
    Emu().AddFile(Cloud::Box, "late.txt", "x");
    // The service may answer fewer entries than a page holds before the end of the folder.
    AnswerOnce(
        ApiHost, "GET", "/2.0/folders/0/items", 200,
        R"({"total_count":1001,"entries":[{"type":"file","id":"13","name":"early.txt"}],"offset":0,"limit":1000})");
    std::vector<std::string> names;
    for (const TNimboCloudFile& file : Storage().Root().Files()) names.push_back(file.GetName());

    EXPECT_THAT(names, ElementsAre("early.txt"));  // the emulator holds only one child: nothing at 1000
    EXPECT_THAT(ServiceRequestLines(),
                ElementsAre("GET api.box.com /2.0/folders/0/items?" + ListQuery,
                            "GET api.box.com /2.0/folders/0/items?fields=name%2Csize%2Ccreated_at%2Cmodified_at%2Csha1"
                            "&limit=1000&offset=1000"));
}

// ---------------------------------------------------------------------------------------------
// Files and folders

TEST_F(BoxAdapterTest, CreateFileSendsTheFilePartThenTheParentId) {
    const std::string docsId = Emu().AddFolder(Cloud::Box, "Docs");
    SignIn();
    const struct {
        TNimboCloudFile Folder;
        std::string FolderId;
    } cases[] = {{Storage().Root(), "0"}, {Child(Storage().Root(), "Docs"), docsId}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.FolderId);
        Emu().ClearRequests();
        std::istringstream content("ignored|hello box");
        content.seekg(8);  // the bytes from the stream's position on
        const TNimboCloudFile file = c.Folder.createFile("new file.txt", content);

        const std::vector<RecordedRequest> requests = ServiceRequests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(Line(requests[0]), "POST upload.box.com /api/2.0/files/content");
        EXPECT_EQ(HeaderOf(requests[0], "Authorization"), "Bearer " + Storage().GetToken());
        ASSERT_EQ(requests[0].parts.size(), 2u);
        EXPECT_EQ(requests[0].parts[0].name, "new file.txt");
        EXPECT_EQ(requests[0].parts[0].fileName, "new file.txt");
        EXPECT_EQ(requests[0].parts[0].content, "hello box");
        EXPECT_EQ(requests[0].parts[1].name, "parent_id");
        EXPECT_EQ(requests[0].parts[1].fileName, "");
        EXPECT_EQ(requests[0].parts[1].content, c.FolderId);

        EXPECT_EQ(file.GetName(), "new file.txt");
        EXPECT_EQ(file.GetSize(), 9);
        EXPECT_TRUE(file.GetHasCreatedAt());
        EXPECT_EQ(Download(file), "hello box");
    }
}

TEST_F(BoxAdapterTest, UploadSendsOnePartNamedAfterTheFileAndTakesTheNewData) {
    Emu().AddFile(Cloud::Box, "notes.txt", "old");
    SignIn();
    const TNimboCloudFile file = Child(Storage().Root(), "notes.txt");
    Emu().ClearRequests();

    std::istringstream content("newer content");
    file.Upload(content);

    const std::vector<RecordedRequest> requests = ServiceRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(Line(requests[0]),
              "POST upload.box.com /api/2.0/files/" + Emu().Find(Cloud::Box, "notes.txt")->id + "/content");
    ASSERT_EQ(requests[0].parts.size(), 1u);
    EXPECT_EQ(requests[0].parts[0].name, "notes.txt");
    EXPECT_EQ(requests[0].parts[0].fileName, "notes.txt");
    EXPECT_EQ(file.GetSize(), 13);
    EXPECT_EQ(Emu().Find(Cloud::Box, "notes.txt")->content, "newer content");
}

TEST_F(BoxAdapterTest, UploadAnswerThatCannotBeTakenFailsAndChangesNothing) {
    Emu().AddFile(Cloud::Box, "notes.txt", "old");
    SignIn();
    const TNimboCloudFile file = Child(Storage().Root(), "notes.txt");
    const struct {
        std::string Answer;
        std::string Error;
    } cases[] = {
        {R"({"total_count":2,"entries":[{"type":"file","id":"1","name":"a","size":1},)"
         R"({"type":"file","id":"2","name":"b","size":2}]})",
         "Assertion failure (Nimbo.Connection.BoxNet)"},
        {R"({"total_count":1,"entries":[{"type":"file","id":"1","name":"a","size":1,"created_at":"yesterday"}]})",
         "not a valid"},
    };
    for (const auto& c : cases) {
        AnswerOnce(UploadHost, "POST", "/api/2.0/files/", 201, c.Answer);
        std::istringstream content("newer content");
        EXPECT_THAT([&] { file.Upload(content); }, ThrowsMessage<Exception>(HasSubstr(c.Error)));
        EXPECT_EQ(file.GetName(), "notes.txt");
        EXPECT_EQ(file.GetSize(), 3);
    }

    AnswerOnce(UploadHost, "POST", "/api/2.0/files/content", 201, R"({"total_count":0,"entries":[]})");
    std::istringstream other("x");
    EXPECT_THAT([&] { Storage().Root().createFile("other.txt", other); },
                ThrowsMessage<EAssertionFailed>(HasSubstr("Assertion failure (Nimbo.Connection.BoxNet)")));
}

TEST_F(BoxAdapterTest, CreateFolderSendsNameThenParentAsJson) {
    SignIn();
    const TNimboCloudFile folder = Storage().Root().CreateFolder("Ünïcode \"quoted\"");

    const std::vector<RecordedRequest> requests = ServiceRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(Line(requests[0]), "POST api.box.com /2.0/folders");
    EXPECT_EQ(HeaderOf(requests[0], "Content-Type"), "application/json");
    EXPECT_EQ(requests[0].body, R"({"name": "Ünïcode \"quoted\"","parent": {"id": "0"}})");
    EXPECT_TRUE(folder.GetIsFolder());
    EXPECT_EQ(folder.GetName(), "Ünïcode \"quoted\"");
    const std::optional<Nimbo::Emulator::ItemInfo> created = Emu().Find(Cloud::Box, "Ünïcode \"quoted\"");
    ASSERT_TRUE(created.has_value());
    EXPECT_TRUE(created->isFolder);
}

TEST_F(BoxAdapterTest, DeleteSendsRecursiveForFilesAndFolders) {
    Emu().AddFile(Cloud::Box, "Full/inner.txt", "x");
    Emu().AddFile(Cloud::Box, "gone.txt", "x");
    SignIn();
    const std::string folderId = Emu().Find(Cloud::Box, "Full")->id;
    const std::string fileId = Emu().Find(Cloud::Box, "gone.txt")->id;
    const TNimboCloudFile folder = Child(Storage().Root(), "Full");
    const TNimboCloudFile file = Child(Storage().Root(), "gone.txt");
    Emu().ClearRequests();

    folder.Delete();
    file.Delete();

    EXPECT_THAT(ServiceRequestLines(), ElementsAre("DELETE api.box.com /2.0/folders/" + folderId + "?recursive=true",
                                                   "DELETE api.box.com /2.0/files/" + fileId + "?recursive=true"));
    EXPECT_EQ(ServiceRequests()[0].status, 204);
    EXPECT_THAT(Emu().Children(Cloud::Box, ""), ::testing::IsEmpty());
}

TEST_F(BoxAdapterTest, AnswersWithoutBodyAreAcceptedWhereTheOperationExpectsThem) {
    Emu().AddFile(Cloud::Box, "a.txt", "abc");
    SignIn();
    const TNimboCloudFile file = Child(Storage().Root(), "a.txt");

    AnswerOnce(ApiHost, "DELETE", "/2.0/files/", 200);
    EXPECT_NO_THROW(file.Delete());  // 200 and 204 both end a delete

    AnswerOnce(ApiHost, "GET", "/2.0/files/", 204);
    std::ostringstream content;
    EXPECT_THAT([&] { file.Download(content); },
                ThrowsMessage<EHttpError>(HasSubstr("Unacceptable response code: 204")));
    EXPECT_EQ(content.str(), "");

    AnswerOnce(ApiHost, "POST", "/2.0/folders", 204);
    EXPECT_THAT([&] { Storage().Root().CreateFolder("x"); },
                ThrowsMessage<EHttpError>(HasSubstr("Unacceptable response code: 204")));
}

TEST_F(BoxAdapterTest, DownloadFollowsTheServiceRedirectWithoutTheToken) {
    Emu().AddFile(Cloud::Box, "a.txt", "abc");
    SignIn();
    const TNimboCloudFile file = Child(Storage().Root(), "a.txt");
    Emu().ClearRequests();

    EXPECT_EQ(Download(file), "abc");
    const std::vector<RecordedRequest> requests = ServiceRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(Line(requests[0]), "GET api.box.com /2.0/files/" + Emu().Find(Cloud::Box, "a.txt")->id + "/content");
    EXPECT_EQ(requests[1].host, "dl.boxcloud.com");
    EXPECT_EQ(HeaderOf(requests[1], "Authorization"), "");
}

TEST_F(BoxAdapterTest, ConflictAndNotFoundSurfaceWithStatusAndText) {
    Emu().AddFile(Cloud::Box, "taken.txt", "x");
    Emu().AddFolder(Cloud::Box, "Taken");
    Emu().AddFile(Cloud::Box, "vanishing.txt", "x");
    const TNimboCloudFile root = Storage().Root();
    const TNimboCloudFile vanishing = Child(root, "vanishing.txt");
    vanishing.Delete();

    std::istringstream content("y");
    EXPECT_THAT([&] { root.createFile("TAKEN.txt", content); }, ServiceError(409, "item_name_in_use"));
    EXPECT_THAT([&] { root.CreateFolder("Taken"); }, ServiceError(409, "Item with the same name already exists"));
    EXPECT_THAT([&] { Download(vanishing); }, ServiceError(404, "not_found"));
    EXPECT_THAT([&] { vanishing.Delete(); }, ServiceError(404, "not_found"));
}

}  // namespace
