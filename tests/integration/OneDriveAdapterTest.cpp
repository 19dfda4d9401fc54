// OneDrive through the Live Connect interface, end to end against the emulator: sign-in and token
// rules, the saved state, and the exact requests of each operation. What every adapter does is in the
// storage contract suite, which this file registers the adapter for.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "AdapterTestSupport.h"
#include "Nimbo/Connection/HeadlessAuth.h"
#include "Nimbo/Connection/Microsoft.h"
#include "Nimbo/Connection/platform/BinaryStream.h"

using namespace Nimbo::Connection;
using AdapterTest::Cloud;
using Nimbo::Emulator::Fault;
using Nimbo::Emulator::RecordedRequest;
using Nimbo::Emulator::TokenPair;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::Field;
using ::testing::HasSubstr;
using ::testing::Property;
using ::testing::StartsWith;
using ::testing::StrEq;
using ::testing::Throws;
using ::testing::ThrowsMessage;

namespace {

const std::string ApiHost = "apis.live.net";
const std::string LoginHost = "login.live.com";
const std::string DesktopRedirect = "https://" + LoginHost + "/oauth20_desktop.srf";
const std::string EncodedRedirect = "https%3A%2F%2Flogin.live.com%2Foauth20_desktop.srf";
const std::string AllScopesText = "wl.basic,wl.offline_access,wl.photos,wl.skydrive,wl.skydrive_update";
constexpr std::uint8_t AllScopesByte = 0x1F;
constexpr TDateTime OneHour = 1.0 / 24;
constexpr TDateTime OneMinute = 1.0 / (24 * 60);

const bool Registered = AdapterTest::RegisterAdapterKind({
    .Name = "OneDrive",
    .Service = Cloud::LiveConnect,
    .RedirectUrl = DesktopRedirect,
    .Create = [] { return std::make_unique<TNimboOneDrive>(); },
    .PageSize = TNimboOneDrive::ListPageSize,
    .CopiesFolders = false,
});

// The emulator's answer in place of the normal one.
Fault Answer(int AStatus, std::string ABody = {}) {
    Fault fault;
    fault.status = AStatus;
    fault.body = std::move(ABody);
    return fault;
}

// A Live error body.
std::string LiveError(const std::string& ACode) {
    return R"({"error":{"code":")" + ACode + R"(","message":"Injected."}})";
}

TNimboOneDrive::TFileInfo Info(std::string AId, std::string AName, std::string AType, std::int64_t ASize,
                               std::string ACreated, std::string AUpdated) {
    TNimboOneDrive::TFileInfo info;
    info.id = std::move(AId);
    info.name = std::move(AName);
    info.type = std::move(AType);
    info.size = ASize;
    info.created_time = std::move(ACreated);
    info.updated_time = std::move(AUpdated);
    return info;
}

// Matches a call that fails with the service's status and a body holding AText.
auto ThrowsServiceError(int AStatus, const std::string& AText) {
    return Throws<EHttpProtocolError>(AllOf(Property(&EHttpProtocolError::ErrorCode, AStatus),
                                            Property(&EHttpProtocolError::ErrorMessage, HasSubstr(AText))));
}

TNimboOneDrive& AsOneDrive(TNimboStorage& AStorage) { return dynamic_cast<TNimboOneDrive&>(AStorage); }

std::string Header(const RecordedRequest& ARequest, const std::string& AName) {
    for (const auto& [name, value] : ARequest.headers)
        if (name == AName) return value;
    return "<no " + AName + " header>";
}

// The value of a query parameter of a URL, as written.
std::string QueryValue(const std::string& AUrl, const std::string& AName) {
    const std::size_t at = AUrl.find(AName + "=", AUrl.find('?'));
    if (at == std::string::npos) return {};
    const std::size_t start = at + AName.size() + 1;
    return AUrl.substr(start, AUrl.find('&', start) - start);
}

// The extra fields of the saved state as the format fixes them: the token's scopes in the low byte of
// an 8-byte little-endian integer, then the user name with its length in one byte.
std::string ExtraFields(std::uint8_t AScopes, const std::string& AUserName) {
    EXPECT_LT(AUserName.size(), 128u) << "a longer name needs a longer length prefix";
    return std::string(1, static_cast<char>(AScopes)) + std::string(7, '\0') +
           std::string(1, static_cast<char>(AUserName.size())) + AUserName;
}

// The common part of a saved state: version, client id, tokens and expiry.
std::string CommonFields(const std::string& AToken, const std::string& ARefresh, TDateTime AExpires) {
    std::ostringstream out;
    TBinaryWriter writer(out);
    writer.Write(std::uint8_t{1});
    writer.Write(AdapterTest::ClientId);
    writer.Write(AToken);
    writer.Write(ARefresh);
    writer.Write(AExpires);
    return out.str();
}

std::string Saved(const TNimboStorage& AStorage) {
    std::ostringstream out;
    AStorage.SaveState(out);
    return out.str();
}

class OneDriveTest : public AdapterTest::TAdapterFixture {
protected:
    OneDriveTest() : TAdapterFixture(AdapterTest::AdapterKind("OneDrive")) {}

    TNimboOneDrive& OneDrive() { return AsOneDrive(Storage()); }

    std::vector<RecordedRequest> TokenRequests() const {
        std::vector<RecordedRequest> requests = Requests(LoginHost);
        std::erase_if(requests, [](const RecordedRequest& r) { return r.path != "/oauth20_token.srf"; });
        return requests;
    }

    // Gives the storage a saved sign-in with tokens the emulator knows (all default scopes) that
    // expire AExpires, as though an earlier run had saved it.
    TokenPair LoadSignIn(TNimboStorage& AStorage, TDateTime AExpires, std::uint8_t AScopes = AllScopesByte,
                         const std::string& AUserName = "Saved Name") {
        const TokenPair tokens = Emu().IssueTokens(Cloud::LiveConnect, AdapterTest::ClientId);
        std::istringstream in(CommonFields(tokens.accessToken, tokens.refreshToken, AExpires) +
                              ExtraFields(AScopes, AUserName));
        AStorage.LoadState(in);
        return tokens;
    }

    std::string RefreshGrantBody(const std::string& ARefresh) const {
        return "client_id=test-client&client_secret=test-secret&redirect_uri=" + EncodedRedirect +
               "&grant_type=refresh_token&refresh_token=" + THttpClient::UrlEncode(ARefresh);
    }

    std::string Id(const std::string& APath) {
        const auto item = Emu().Find(Cloud::LiveConnect, APath);
        return item ? item->id : "<missing " + APath + ">";
    }
};

// ---------------------------------------------------------------------------------------------
// Scopes, sign-in and tokens

TEST(OneDriveScopes, AreJoinedInOrdinalOrderWithCommas) {
    struct Case {
        TNimboOneDriveScopes Scopes;
        std::string Text;
    };
    const Case cases[] = {
        {TNimboOneDriveScopes::All(), AllScopesText},
        {{osSkydriveUpdate, osBasic}, "wl.basic,wl.skydrive_update"},
        {{ofOfflieAccess}, "wl.offline_access"},
        {{}, ""},
    };
    TNimboOneDrive drive;
    EXPECT_EQ(drive.GetScopes(), TNimboOneDriveScopes::All());
    for (const Case& c : cases) {
        drive.SetScopes(c.Scopes);
        EXPECT_EQ(drive.ScopesAsStr(), c.Text);
    }
}

TEST_F(OneDriveTest, FirstSignInCapturesTheCodeFromTheDesktopRedirect) {
    Emu().SetAccountName(Cloud::LiveConnect, "Ada Lovelace");
    const TDateTime before = Now();
    Storage().Root();
    const TDateTime after = Now();

    const std::vector<std::string> visited = TNimboHeadlessAuth::Visited();
    ASSERT_FALSE(visited.empty());
    EXPECT_EQ(visited.front(), "https://login.live.com/oauth20_authorize.srf?client_id=test-client&scope=" +
                                   THttpClient::UrlEncode(AllScopesText) + "&redirect_uri=" + EncodedRedirect +
                                   "&response_type=code");
    EXPECT_THAT(visited.back(), StartsWith(DesktopRedirect + "?code="));
    const std::string code = QueryValue(visited.back(), "code");

    const std::vector<RecordedRequest> tokens = TokenRequests();
    ASSERT_EQ(tokens.size(), 1u);
    EXPECT_EQ(tokens[0].method, "POST");
    EXPECT_EQ(Header(tokens[0], "Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(tokens[0].body, "code=" + code + "&client_id=test-client&client_secret=test-secret&redirect_uri=" +
                                  EncodedRedirect + "&grant_type=authorization_code");

    const std::vector<RecordedRequest> api = Requests(ApiHost);
    ASSERT_EQ(api.size(), 2u);
    EXPECT_EQ(api[0].path, "/v5.0/me");
    EXPECT_EQ(api[1].path, "/v5.0/me/skydrive");
    for (const RecordedRequest& request : api) {
        EXPECT_EQ(request.method, "GET");
        EXPECT_EQ(request.query, "");
        EXPECT_EQ(Header(request, "Authorization"), "Bearer " + Storage().GetToken());
    }

    EXPECT_FALSE(Storage().GetRefresh().empty());
    EXPECT_GE(Storage().GetExpires(), before + OneHour);
    EXPECT_LE(Storage().GetExpires(), after + OneHour);
    EXPECT_EQ(OneDrive().GetUserName(), "Ada Lovelace");
}

TEST_F(OneDriveTest, EmptyScopesLeaveTheScopeValueEmptyAndTheRefusalSurfaces) {
    OneDrive().SetScopes({});
    EXPECT_THROW(Storage().Root(), ERestError);
    ASSERT_FALSE(TNimboHeadlessAuth::Visited().empty());
    EXPECT_THAT(TNimboHeadlessAuth::Visited().front(), HasSubstr("&scope=&redirect_uri="));
    EXPECT_TRUE(Storage().GetToken().empty());
}

TEST_F(OneDriveTest, CancelledOrRefusedSignInSendsNoTokenRequestAndStoresNothing) {
    TNimboHeadlessAuth::SetDecision(THeadlessDecision::Cancel);
    EXPECT_THROW(Storage().Root(), EAbort);
    TNimboHeadlessAuth::SetDecision(THeadlessDecision::Deny, "Maybe_later");
    EXPECT_THAT([&] { Storage().Root(); }, ThrowsMessage<ERestError>(StrEq("Maybe_later")));

    EXPECT_TRUE(TokenRequests().empty());
    EXPECT_TRUE(Requests(ApiHost).empty());
    EXPECT_TRUE(Storage().GetToken().empty());
    EXPECT_TRUE(Storage().GetRefresh().empty());

    // Nothing half-done is left behind: the next attempt signs in and fetches the root.
    TNimboHeadlessAuth::SetDecision(THeadlessDecision::Allow);
    EXPECT_TRUE(Storage().Root().GetIsFolder());
}

TEST_F(OneDriveTest, UsableTokenIsReusedWithoutAnyTokenRequest) {
    Emu().AddFile(Cloud::LiveConnect, "a.txt", "a");
    Storage().Root();
    const std::string saved = Saved(Storage());
    Emu().ClearRequests();

    Storage().Root().Files();
    std::unique_ptr<TNimboStorage> restarted = NewStorage();
    std::istringstream in(saved);
    restarted->LoadState(in);
    EXPECT_EQ(restarted->Root().Files().size(), 1u);
    EXPECT_EQ(AsOneDrive(*restarted).GetUserName(), OneDrive().GetUserName());

    EXPECT_TRUE(Requests(LoginHost).empty());
    EXPECT_EQ(restarted->GetToken(), Storage().GetToken());
}

TEST_F(OneDriveTest, TokenIsRenewedFromFiveMinutesBeforeItExpires) {
    struct Case {
        double MinutesLeft;
        bool Renews;
    };
    for (const Case c : {Case{10, false}, Case{4, true}, Case{-60, true}}) {
        SCOPED_TRACE(c.MinutesLeft);
        std::unique_ptr<TNimboStorage> storage = NewStorage();
        const TokenPair tokens = LoadSignIn(*storage, Now() + c.MinutesLeft * OneMinute);
        Emu().ClearRequests();

        const TDateTime before = Now();
        storage->RefreshAccess();
        const TDateTime after = Now();

        EXPECT_EQ(AsOneDrive(*storage).GetUserName(), "Saved Name");  // a renewal does not ask for it again
        EXPECT_TRUE(Requests(ApiHost).empty());
        if (!c.Renews) {
            EXPECT_TRUE(Requests().empty());
            EXPECT_EQ(storage->GetToken(), tokens.accessToken);
            continue;
        }
        const std::vector<RecordedRequest> renewals = TokenRequests();
        ASSERT_EQ(renewals.size(), 1u);
        EXPECT_EQ(renewals[0].body, RefreshGrantBody(tokens.refreshToken));
        EXPECT_EQ(Requests(LoginHost).size(), 1u) << "no sign-in page";
        EXPECT_NE(storage->GetToken(), tokens.accessToken);
        EXPECT_GE(storage->GetExpires(), before + OneHour);
        EXPECT_LE(storage->GetExpires(), after + OneHour);
    }
}

TEST_F(OneDriveTest, GrowingScopesRenewTheTokenByRefreshTokenOrSignInAgainWithoutOne) {
    struct Case {
        TNimboOneDriveScopes First;
        std::string FirstScopeText;
        std::uint8_t FirstByte;
        bool HasRefreshToken;
    };
    const Case cases[] = {
        {{osBasic, ofOfflieAccess, osSkydrive}, "wl.basic%2Cwl.offline_access%2Cwl.skydrive", 0x0B, true},
        {{osBasic, osSkydrive}, "wl.basic%2Cwl.skydrive", 0x09, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.FirstScopeText);
        std::unique_ptr<TNimboStorage> storage = NewStorage();
        TNimboOneDrive& drive = AsOneDrive(*storage);
        drive.SetScopes(c.First);
        drive.RefreshAccess();
        EXPECT_THAT(TNimboHeadlessAuth::Visited().front(), HasSubstr("&scope=" + c.FirstScopeText + "&"));
        EXPECT_EQ(drive.GetRefresh().empty(), !c.HasRefreshToken);
        EXPECT_THAT(Saved(drive), HasSubstr(ExtraFields(c.FirstByte, drive.GetUserName())));

        const std::string refresh = drive.GetRefresh();
        Emu().ClearRequests();
        drive.SetScopes(TNimboOneDriveScopes::All());
        drive.Root();

        const std::vector<RecordedRequest> tokens = TokenRequests();
        ASSERT_EQ(tokens.size(), 1u);
        if (c.HasRefreshToken) {
            EXPECT_EQ(tokens[0].body, RefreshGrantBody(refresh));
            EXPECT_EQ(Requests(LoginHost).size(), 1u) << "no sign-in page";
        } else {
            EXPECT_THAT(tokens[0].body, HasSubstr("&grant_type=authorization_code"));
            EXPECT_THAT(TNimboHeadlessAuth::Visited().front(),
                        HasSubstr("&scope=" + THttpClient::UrlEncode(AllScopesText) + "&"));
        }
        EXPECT_THAT(Saved(drive), HasSubstr(ExtraFields(AllScopesByte, drive.GetUserName())));
    }
}

TEST_F(OneDriveTest, RenewalAnswerWithoutRefreshTokenKeepsTheStoredOne) {
    const TokenPair tokens = LoadSignIn(Storage(), Now() - OneMinute);
    Emu().InjectFault({.host = LoginHost, .method = "POST", .pathPrefix = "/oauth20_token.srf"},
                      Answer(200, R"({"token_type":"bearer","expires_in":3600,"access_token":"fresh"})"));

    Storage().RefreshAccess();

    EXPECT_EQ(Storage().GetToken(), "fresh");
    EXPECT_EQ(Storage().GetRefresh(), tokens.refreshToken);
}

TEST_F(OneDriveTest, RejectedRenewalLeavesTheStateAsItWasAndIsTriedAgainNextTime) {
    // Token scopes short of the component's: a renewal that stored anything would show in the bytes.
    LoadSignIn(Storage(), Now() + OneMinute, 0x07);
    Emu().RevokeRefreshTokens(Cloud::LiveConnect);
    const std::string before = Saved(Storage());

    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_THAT([&] { Storage().RefreshAccess(); }, ThrowsServiceError(400, "invalid_grant"));
        EXPECT_EQ(Saved(Storage()), before);
    }
    EXPECT_EQ(TokenRequests().size(), 2u);
    EXPECT_EQ(Requests(LoginHost).size(), 2u) << "no fallback to a sign-in";
}

TEST_F(OneDriveTest, SavedStateHoldsTheTokenScopesAndTheUserNameByteForByte) {
    Emu().SetAccountName(Cloud::LiveConnect, "Ada Lovelace");
    Storage().Root();

    const std::string saved = Saved(Storage());
    EXPECT_EQ(saved, CommonFields(Storage().GetToken(), Storage().GetRefresh(), Storage().GetExpires()) +
                         ExtraFields(AllScopesByte, "Ada Lovelace"));

    Emu().ClearRequests();
    std::unique_ptr<TNimboStorage> restarted = NewStorage();
    std::istringstream in(saved);
    restarted->LoadState(in);
    EXPECT_EQ(Saved(*restarted), saved);
    EXPECT_EQ(AsOneDrive(*restarted).GetUserName(), "Ada Lovelace");
    EXPECT_TRUE(Requests().empty());
}

TEST_F(OneDriveTest, FailedAccountRequestLeavesTheNameEmptyButTheSignInDone) {
    // A saved sign-in that has run out and cannot be renewed: the name it holds is the old account's.
    std::istringstream saved(CommonFields("stale", "", Now() - OneHour) + ExtraFields(AllScopesByte, "Old Name"));
    Storage().LoadState(saved);
    Emu().InjectFault({.host = ApiHost, .method = "GET", .pathPrefix = "/v5.0/me"},
                      Answer(500, LiveError("server_internal_error")));

    EXPECT_TRUE(Storage().Root().GetIsFolder());

    EXPECT_FALSE(Storage().GetToken().empty());
    EXPECT_EQ(OneDrive().GetUserName(), "");
    EXPECT_THAT(Saved(Storage()), HasSubstr(ExtraFields(AllScopesByte, "")));
    EXPECT_EQ(TokenRequests().size(), 1u);
}

TEST_F(OneDriveTest, RootIsFetchedOnceAndAgainOnlyAfterAFailure) {
    Emu().InjectFault({.host = ApiHost, .method = "GET", .pathPrefix = "/v5.0/me/skydrive"},
                      Answer(503, LiveError("server_internal_error")));
    EXPECT_THROW(Storage().Root(), EHttpProtocolError);

    const TNimboCloudFile first = Storage().Root();
    const TNimboCloudFile second = Storage().Root();

    EXPECT_EQ(first.Data(), second.Data());
    EXPECT_EQ(first.GetName(), "SkyDrive");
    const std::vector<RecordedRequest> api = Requests(ApiHost);
    const auto isRootRequest = [](const RecordedRequest& r) { return r.path == "/v5.0/me/skydrive"; };
    EXPECT_EQ(std::count_if(api.begin(), api.end(), isRootRequest), 2);
}

// ---------------------------------------------------------------------------------------------
// Storage operations

TEST_F(OneDriveTest, ListingAsksPageByPageInTheServicesOrder) {
    for (int i = 0; i < TNimboOneDrive::ListPageSize + 1; ++i)
        Emu().AddFile(Cloud::LiveConnect, "Many/" + std::to_string(i) + ".txt", "x");
    const TNimboCloudFile many = Child(Storage().Root(), "Many");
    Emu().ClearRequests();

    const std::vector<TNimboCloudFile> children = many.Files();

    ASSERT_EQ(children.size(), static_cast<std::size_t>(TNimboOneDrive::ListPageSize + 1));
    EXPECT_EQ(children.front().GetName(), "0.txt");
    EXPECT_EQ(children.back().GetName(), std::to_string(TNimboOneDrive::ListPageSize) + ".txt");
    const std::string path = "/v5.0/" + Id("Many") + "/files";
    EXPECT_THAT(
        Requests(),
        ElementsAre(
            AllOf(Field(&RecordedRequest::path, path), Field(&RecordedRequest::query, "limit=100&offset=0")),
            AllOf(Field(&RecordedRequest::path, path), Field(&RecordedRequest::query, "limit=100&offset=100"))));
}

TEST_F(OneDriveTest, ListingEndsAtAnEmptyPageEvenWhenItNamesANextOne) {
    Emu().AddFile(Cloud::LiveConnect, "Docs/a.txt", "a");
    const TNimboCloudFile docs = Child(Storage().Root(), "Docs");
    Emu().InjectFault({.host = ApiHost, .method = "GET", .pathPrefix = "/v5.0/" + Id("Docs") + "/files"},
                      Answer(200, R"({"data": [], "paging": {"next": "https://apis.live.net/v5.0/elsewhere"}})"), 5);
    Emu().ClearRequests();

    EXPECT_TRUE(docs.Files().empty());
    EXPECT_EQ(Requests().size(), 1u);
}

TEST_F(OneDriveTest, ItemsAreDescribedFromTheListing) {
    Emu().AddFile(Cloud::LiveConnect, "PHOTO.JPG", "12345");
    const TNimboCloudFile photo = Child(Storage().Root(), "PHOTO.JPG");

    EXPECT_FALSE(photo.GetIsFolder());
    EXPECT_EQ(photo.GetSize(), 5);
    EXPECT_EQ(photo.GetMimeType(), "application/octet-stream");  // extensions are matched as written
    EXPECT_TRUE(photo.GetHasCreatedAt());
    EXPECT_TRUE(photo.GetHasModifiedAt());
    EXPECT_FALSE(Storage().Root().GetHasCreatedAt());  // the service gives the root no creation time
}

TEST(OneDriveItems, AreFoldersForTheTypesFolderAndAlbumOnly) {
    struct Case {
        std::string Type;
        bool IsFolder;
    };
    const Case cases[] = {{"folder", true}, {"album", true},  {"Folder", false},
                          {"file", false},  {"photo", false}, {"", false}};
    TNimboOneDrive drive;
    for (const Case& c : cases) {
        const TNimboCloudFile item(std::make_shared<TNimboOneDriveData>(drive, Info("", "", c.Type, 0, "", "")));
        EXPECT_EQ(item.GetIsFolder(), c.IsFolder) << c.Type;
    }
}

TEST(OneDriveItems, DateInAnotherFormFailsAndChangesNothing) {
    TNimboOneDrive drive;
    auto data =
        std::make_shared<TNimboOneDriveData>(drive, Info("file.1", "a.txt", "file", 3, "2011-04-22T00:36:30+0000", ""));
    const TNimboCloudFile item(data);

    EXPECT_THROW(data->SetInfo(Info("file.2", "b.txt", "file", 9, "", "yesterday")), EConvertError);

    EXPECT_EQ(data->GetId(), "file.1");
    EXPECT_EQ(item.GetName(), "a.txt");
    EXPECT_EQ(item.GetSize(), 3);
    EXPECT_FALSE(item.GetHasModifiedAt());
}

TEST_F(OneDriveTest, CreatingAFolderPostsItsNameAsJson) {
    const TNimboCloudFile root = Storage().Root();
    Emu().ClearRequests();

    const TNimboCloudFile folder = root.CreateFolder("Q1 & Q2 reports");

    EXPECT_TRUE(folder.GetIsFolder());
    EXPECT_EQ(folder.GetName(), "Q1 & Q2 reports");
    const std::vector<RecordedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].path, "/v5.0/" + Id(""));
    EXPECT_EQ(Header(requests[0], "Content-Type"), "application/json");
    EXPECT_EQ(Header(requests[0], "Authorization"), "Bearer " + Storage().GetToken());
    EXPECT_EQ(requests[0].body, R"({"name": "Q1 & Q2 reports"})");
    EXPECT_EQ(requests[0].status, 201);
}

TEST_F(OneDriveTest, CreatingAFileSendsTheBytesUnderItsNameAndReadsTheItemBack) {
    const TNimboCloudFile root = Storage().Root();
    Emu().ClearRequests();

    std::istringstream content("skip:five bytes of ten");
    content.ignore(5);
    const TNimboCloudFile file = root.createFile("Grüße #1.txt", content);

    const std::string id = Id("Grüße #1.txt");
    const std::vector<RecordedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "PUT");
    EXPECT_EQ(requests[0].path, "/v5.0/" + Id("") + "/files/Grüße #1.txt");
    EXPECT_EQ(requests[0].query, "");
    EXPECT_EQ(requests[0].body, "five bytes of ten");
    EXPECT_EQ(requests[0].status, 201);
    EXPECT_EQ(requests[1].method, "GET");
    EXPECT_EQ(requests[1].path, "/v5.0/" + id);

    EXPECT_EQ(file.GetSize(), 17);
    EXPECT_EQ(std::dynamic_pointer_cast<TNimboOneDriveData>(file.Data())->GetId(), id);
    EXPECT_EQ(std::dynamic_pointer_cast<TNimboOneDriveData>(file.Data())->GetType(), "file");
    EXPECT_TRUE(file.GetHasCreatedAt());
    EXPECT_TRUE(file.GetHasModifiedAt());
}

TEST_F(OneDriveTest, UploadingSendsTheBytesToTheItemsContentAndReadsTheItemBack) {
    Emu().AddFile(Cloud::LiveConnect, "notes.txt", "old");
    const TNimboCloudFile notes = Child(Storage().Root(), "notes.txt");
    Emu().ClearRequests();

    std::istringstream content("a new, longer text");
    notes.Upload(content);

    const std::string id = Id("notes.txt");
    const std::vector<RecordedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "PUT");
    EXPECT_EQ(requests[0].path, "/v5.0/" + id + "/content");
    EXPECT_EQ(requests[0].body, "a new, longer text");
    EXPECT_EQ(Header(requests[0], "Authorization"), "Bearer " + Storage().GetToken());
    EXPECT_EQ(requests[1].method, "GET");
    EXPECT_EQ(requests[1].path, "/v5.0/" + id);
    EXPECT_EQ(notes.GetSize(), 18);
    EXPECT_TRUE(notes.GetHasCreatedAt());
}

TEST_F(OneDriveTest, UploadCountsAsDoneWhenTheItemCannotBeReadBack) {
    Emu().AddFile(Cloud::LiveConnect, "notes.txt", "old");
    const TNimboCloudFile root = Storage().Root();
    const TNimboCloudFile notes = Child(root, "notes.txt");
    struct Case {
        std::string Name;
        std::function<TNimboCloudFile(std::istream&)> Upload;
    };
    const Case cases[] = {
        {"new.txt", [&](std::istream& AIn) { return root.createFile("new.txt", AIn); }},
        {"notes.txt",
         [&](std::istream& AIn) {
             notes.Upload(AIn);
             return notes;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Emu().InjectFault({.host = ApiHost, .method = "GET", .pathPrefix = "/v5.0/file."},
                          Answer(500, LiveError("server_internal_error")));
        std::istringstream content("stored anyway");

        const TNimboCloudFile file = c.Upload(content);

        EXPECT_EQ(Emu().Find(Cloud::LiveConnect, c.Name)->content, "stored anyway");
        EXPECT_EQ(file.GetName(), c.Name);
        EXPECT_EQ(std::dynamic_pointer_cast<TNimboOneDriveData>(file.Data())->GetId(), Id(c.Name));
        EXPECT_FALSE(file.GetIsFolder());
        EXPECT_EQ(file.GetSize(), 0) << "only what the upload answer gave";
    }
}

TEST_F(OneDriveTest, DownloadFollowsTheContentAddressAndRefusesANoContentAnswer) {
    Emu().AddFile(Cloud::LiveConnect, "data.txt", "payload");
    const TNimboCloudFile file = Child(Storage().Root(), "data.txt");
    const std::string path = "/v5.0/" + Id("data.txt") + "/content";
    Emu().ClearRequests();

    std::ostringstream out;
    file.Download(out);
    EXPECT_EQ(out.str(), "payload");
    const std::vector<RecordedRequest> api = Requests(ApiHost);
    ASSERT_EQ(api.size(), 1u);
    EXPECT_EQ(api[0].method, "GET");
    EXPECT_EQ(api[0].path, path);
    EXPECT_EQ(Header(api[0], "Authorization"), "Bearer " + Storage().GetToken());
    const std::vector<RecordedRequest> storage = Requests("storage.live.com");
    ASSERT_EQ(storage.size(), 1u);
    EXPECT_EQ(Header(storage[0], "Authorization"), "<no Authorization header>") << "the token stays with the API host";

    Emu().InjectFault({.host = ApiHost, .method = "GET", .pathPrefix = path}, Answer(204));
    std::ostringstream none;
    EXPECT_THAT([&] { file.Download(none); }, ThrowsMessage<EHttpError>(StrEq("Unacceptable response code: 204")));
}

TEST_F(OneDriveTest, DeleteAcceptsTheNoContentAnswerForFilesAndFolders) {
    Emu().AddFile(Cloud::LiveConnect, "gone.txt", "x");
    Emu().AddFile(Cloud::LiveConnect, "Old/inside.txt", "y");
    for (const std::string name : {"gone.txt", "Old"}) {
        SCOPED_TRACE(name);
        const std::string id = Id(name);
        const TNimboCloudFile item = Child(Storage().Root(), name);
        Emu().ClearRequests();

        item.Delete();

        const std::vector<RecordedRequest> requests = Requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].method, "DELETE");
        EXPECT_EQ(requests[0].path, "/v5.0/" + id);
        EXPECT_EQ(requests[0].status, 204);
        EXPECT_EQ(Header(requests[0], "Authorization"), "Bearer " + Storage().GetToken());
        EXPECT_FALSE(Emu().Find(Cloud::LiveConnect, name));
    }
}

TEST_F(OneDriveTest, ConflictsAndMissingItemsSurfaceWithTheServicesStatusAndText) {
    Emu().AddFolder(Cloud::LiveConnect, "Taken");
    Emu().AddFile(Cloud::LiveConnect, "gone.txt", "x");
    const TNimboCloudFile root = Storage().Root();
    const TNimboCloudFile gone = Child(root, "gone.txt");
    TNimboCloudFile(gone).Delete();

    struct Case {
        std::string What;
        std::function<void()> Action;
        int Status;
        std::string Code;
    };
    const Case cases[] = {
        {"folder over a folder", [&] { root.CreateFolder("taken"); }, 409, "resource_already_exists"},
        {"file over a folder",
         [&] {
             std::istringstream in("x");
             root.createFile("Taken", in);
         },
         409, "resource_already_exists"},
        {"download of a deleted file",
         [&] {
             std::ostringstream out;
             gone.Download(out);
         },
         404, "resource_not_found"},
        {"delete of a deleted file", [&] { gone.Delete(); }, 404, "resource_not_found"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        EXPECT_THAT(c.Action, ThrowsServiceError(c.Status, c.Code));
    }
    EXPECT_EQ(Emu().Children(Cloud::LiveConnect, "").size(), 1u);
}

}  // namespace
