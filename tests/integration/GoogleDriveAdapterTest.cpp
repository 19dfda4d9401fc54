// The Google Drive adapter against the emulator: what is particular to it beyond the storage
// contract (sign-in through the page title, the token rules, the saved scope field, the exact
// requests on the wire).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sstream>

#include "AdapterTestSupport.h"
#include "Nimbo/Connection/ContentHash.h"
#include "Nimbo/Connection/Google.h"
#include "Nimbo/Connection/HeadlessAuth.h"

using namespace Nimbo::Connection;
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

const char* const Oob = "urn:ietf:wg:oauth:2.0:oob";
const std::string ApiHost = "www.googleapis.com";
const std::string EncodedOob = "urn%3Aietf%3Awg%3Aoauth%3A2.0%3Aoob";
const std::string ListRoot =
    "GET www.googleapis.com/drive/v2/files?q=%27root%27%20in%20parents%20and%20trashed%20%3D%20false";
const std::string TokenRequest = "POST accounts.google.com/o/oauth2/token";

AdapterTest::TAdapterKind GoogleDriveKind() {
    return {.Name = "GoogleDrive",
            .Service = Cloud::GoogleDrive,
            .RedirectUrl = Oob,
            .Create = [] { return std::make_unique<TNimboGDrive>(); },
            .PageSize = 100,  // the service's page size: the adapter sends no maxResults
            .HashAlgorithm = THashAlgorithm::Md5,
            .UniqueNames = false,
            .CopiesFolders = false};
}

[[maybe_unused]] const bool registered = AdapterTest::RegisterAdapterKind(GoogleDriveKind());

// "METHOD host/path?query" as the emulator received it.
std::string Line(const RecordedRequest& ARequest) {
    return ARequest.method + " " + ARequest.host + ARequest.path + (ARequest.query.empty() ? "" : "?" + ARequest.query);
}

std::string HeaderOf(const RecordedRequest& ARequest, const std::string& AName) {
    for (const auto& [name, value] : ARequest.headers)
        if (strcasecmp(name.c_str(), AName.c_str()) == 0) return value;
    return "<none>";
}

// The raw value of a query parameter, as written in the query.
std::string QueryValue(const std::string& AQuery, const std::string& AName) {
    std::istringstream pairs(AQuery);
    for (std::string pair; std::getline(pairs, pair, '&');)
        if (pair.starts_with(AName + "=")) return pair.substr(AName.size() + 1);
    return {};
}

// The bytes of a saved state: version, client id, tokens, expiry, then the token's scope bits.
std::string StateBytes(const std::string& AToken, const std::string& ARefresh, TDateTime AExpires,
                       std::uint64_t AScopes) {
    const auto text = [](const std::string& S) {
        std::string out;
        for (std::size_t n = S.size();; n >>= 7) {
            out += static_cast<char>((n & 0x7F) | (n >= 0x80 ? 0x80 : 0));
            if (n < 0x80) break;
        }
        return out + S;
    };
    const auto littleEndian = [](std::uint64_t ABits) {
        std::string out;
        for (int i = 0; i < 8; ++i) out += static_cast<char>((ABits >> (8 * i)) & 0xFF);
        return out;
    };
    std::uint64_t expiresBits;
    std::memcpy(&expiresBits, &AExpires, sizeof expiresBits);
    return "\x01" + text(AdapterTest::ClientId) + text(AToken) + text(ARefresh) + littleEndian(expiresBits) +
           littleEndian(AScopes);
}

std::string Saved(const TRestService& AService) {
    std::ostringstream out;
    AService.SaveState(out);
    return out.str();
}

void Load(TRestService& AService, const std::string& ABytes) {
    std::istringstream in(ABytes);
    AService.LoadState(in);
}

// The scope field at the end of the saved state.
std::uint8_t SavedTokenScopes(const TRestService& AService) {
    const std::string bytes = Saved(AService);
    EXPECT_EQ(bytes.substr(bytes.size() - 7), std::string(7, '\0'));
    return static_cast<std::uint8_t>(bytes[bytes.size() - 8]);
}

// An answer the emulator gives once instead of the service's own.
Fault Answer(int AStatus, std::string ABody = {}) {
    Fault fault;
    fault.status = AStatus;
    fault.body = std::move(ABody);
    return fault;
}

constexpr TDateTime OneMinute = 1.0 / 1440.0;

class GoogleDriveAdapter : public AdapterTest::TAdapterFixture {
protected:
    GoogleDriveAdapter() : TAdapterFixture(GoogleDriveKind()) {}

    TNimboGDrive& Drive() { return AsDrive(Storage()); }
    static TNimboGDrive& AsDrive(TNimboStorage& AStorage) { return dynamic_cast<TNimboGDrive&>(AStorage); }

    std::vector<std::string> RequestLines() {
        std::vector<std::string> lines;
        for (const RecordedRequest& request : Requests()) lines.push_back(Line(request));
        return lines;
    }

    // A saved state with fresh tokens from the emulator which, as far as the component knows,
    // expire in AMinutesLeft minutes and were obtained for ATokenScopes.
    void LoadTokens(double AMinutesLeft, TNimboGoogleScopes ATokenScopes = {gsDrive}) {
        const auto tokens = Emu().IssueTokens(Cloud::GoogleDrive, AdapterTest::ClientId);
        Load(Storage(), StateBytes(tokens.accessToken, tokens.refreshToken, Now() + AMinutesLeft * OneMinute,
                                   ATokenScopes.Bits()));
        Emu().ClearRequests();
    }

    void SignIn() {
        Storage().RefreshAccess();
        Emu().ClearRequests();
    }

    void ExpectFreshExpiry(TDateTime ASentAfter) {
        EXPECT_GE(Storage().GetExpires(), ASentAfter + 3600.0 / SecsPerDay);
        EXPECT_LE(Storage().GetExpires(), Now() + 3600.0 / SecsPerDay);
    }
};

// ---- sign-in ----

TEST_F(GoogleDriveAdapter, FirstSignInTakesTheCodeFromThePageTitle) {
    const TDateTime before = Now();
    EXPECT_THAT(Storage().Root().Files(), IsEmpty());

    const std::vector<RecordedRequest> requests = Requests();
    ASSERT_GE(requests.size(), 3u);
    EXPECT_EQ(Line(requests.front()),
              "GET accounts.google.com/o/oauth2/auth?client_id=test-client&scope=https%3A%2F%2F"
              "www.googleapis.com%2Fauth%2Fdrive&redirect_uri=" +
                  EncodedOob + "&response_type=code");
    // The code page's address holds only an opaque ticket; the title carries the code as it is,
    // and the exchange sends it form-encoded.
    const RecordedRequest& exchange = requests[requests.size() - 2];
    const std::string encodedCode = QueryValue(exchange.body, "code");
    ASSERT_THAT(encodedCode, StartsWith("4%2F"));
    for (const RecordedRequest& request : requests) EXPECT_EQ(request.query.find(encodedCode), std::string::npos);

    EXPECT_EQ(Line(exchange), TokenRequest);
    EXPECT_EQ(HeaderOf(exchange, "Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(exchange.body, "code=" + encodedCode + "&client_id=test-client&client_secret=test-secret&redirect_uri=" +
                                 EncodedOob + "&grant_type=authorization_code");

    const RecordedRequest& listing = requests.back();
    EXPECT_EQ(Line(listing), ListRoot);
    EXPECT_EQ(HeaderOf(listing, "Authorization"), "Bearer " + Storage().GetToken());
    EXPECT_FALSE(Storage().GetRefresh().empty());
    ExpectFreshExpiry(before);
    EXPECT_EQ(SavedTokenScopes(Storage()), 1u << gsDrive);
}

TEST_F(GoogleDriveAdapter, CancelledSignInAbortsSilentlyAndKeepsTheState) {
    const std::string before = Saved(Storage());
    TNimboHeadlessAuth::SetDecision(THeadlessDecision::Cancel);

    EXPECT_THAT([&] { Storage().Root().Files(); }, Throws<EAbort>());
    EXPECT_EQ(Saved(Storage()), before);
    for (const std::string& line : RequestLines()) EXPECT_NE(line, TokenRequest);
}

TEST_F(GoogleDriveAdapter, RefusedSignInFailsWithTheProvidersText) {
    const std::string before = Saved(Storage());
    TNimboHeadlessAuth::SetDecision(THeadlessDecision::Deny, "Refused_by_the_account_owner.");

    EXPECT_THAT([&] { Storage().Root().Files(); }, ThrowsMessage<ERestError>("Refused_by_the_account_owner."));
    EXPECT_EQ(Saved(Storage()), before);
    for (const std::string& line : RequestLines()) EXPECT_NE(line, TokenRequest);
}

// ---- token rules ----

TEST_F(GoogleDriveAdapter, UsableTokenIsReusedWithoutRequests) {
    LoadTokens(60);
    Storage().Root().Files();
    Storage().Root().Files();
    EXPECT_THAT(RequestLines(), ElementsAre(ListRoot, ListRoot));
}

struct TRenewalCase {
    const char* Name;
    double MinutesLeft;
    TNimboGoogleScopes TokenScopes;
    TNimboGDriveScopes Scopes;
    bool Renewed;
};

void PrintTo(const TRenewalCase& ACase, std::ostream* AStream) { *AStream << ACase.Name; }

class GoogleDriveRenewal : public GoogleDriveAdapter, public ::testing::WithParamInterface<TRenewalCase> {};

TEST_P(GoogleDriveRenewal, RenewsWithTheRefreshTokenOnlyWhenNeeded) {
    const TRenewalCase& c = GetParam();
    Drive().SetScopes(c.Scopes);
    LoadTokens(c.MinutesLeft, c.TokenScopes);
    const std::string oldToken = Storage().GetToken();
    const std::string refresh = Storage().GetRefresh();
    const TDateTime before = Now();

    Storage().Root().Files();

    if (!c.Renewed) {
        EXPECT_THAT(RequestLines(), ElementsAre(ListRoot));
        EXPECT_EQ(Storage().GetToken(), oldToken);
        return;
    }
    const std::vector<RecordedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(Line(requests[0]), TokenRequest);
    EXPECT_EQ(requests[0].body,
              "client_id=test-client&client_secret=test-secret&grant_type=refresh_token&refresh_token=" +
                  THttpClient::UrlEncode(refresh));
    EXPECT_EQ(Line(requests[1]), ListRoot);
    EXPECT_NE(Storage().GetToken(), oldToken);
    EXPECT_EQ(HeaderOf(requests[1], "Authorization"), "Bearer " + Storage().GetToken());
    // The answer carries no refresh token: the old one stays.
    EXPECT_EQ(Storage().GetRefresh(), refresh);
    ExpectFreshExpiry(before);
    EXPECT_EQ(SavedTokenScopes(Storage()), c.Scopes.Bits());
}

INSTANTIATE_TEST_SUITE_P(Tokens, GoogleDriveRenewal,
                         ::testing::Values(TRenewalCase{"FarFromExpiry", 60, {gsDrive}, {gsDrive}, false},
                                           TRenewalCase{"JustOutsideTheMargin", 5.5, {gsDrive}, {gsDrive}, false},
                                           TRenewalCase{"InsideTheMargin", 4.5, {gsDrive}, {gsDrive}, true},
                                           TRenewalCase{"Expired", -30, {gsDrive}, {gsDrive}, true},
                                           TRenewalCase{"ScopesGrew", 60, {gsDrive}, {gsDrive, gsDriveAppdata}, true},
                                           TRenewalCase{
                                               "ScopesNarrowed", 60, {gsDrive, gsDriveFile}, {gsDrive}, false}),
                         [](const auto& AInfo) { return std::string(AInfo.param.Name); });

TEST_F(GoogleDriveAdapter, RejectedRefreshGrantLeavesTheStateAsItWas) {
    LoadTokens(-30);
    Emu().RevokeRefreshTokens(Cloud::GoogleDrive);
    const std::string before = Saved(Storage());
    const auto rejected =
        Throws<EHttpProtocolError>(AllOf(Property(&EHttpProtocolError::ErrorCode, 400),
                                         Property(&EHttpProtocolError::ErrorMessage, HasSubstr("invalid_grant"))));

    EXPECT_THAT([&] { Storage().Root().Files(); }, rejected);
    EXPECT_EQ(Saved(Storage()), before);
    // No fall-back to the sign-in page: the next operation tries the refresh token again.
    EXPECT_THAT([&] { Storage().Root().Files(); }, rejected);
    EXPECT_THAT(RequestLines(), ElementsAre(TokenRequest, TokenRequest));
}

// ---- saved state ----

TEST_F(GoogleDriveAdapter, SavedStateEndsWithTheTokenScopesAndLoadsBackByteForByte) {
    Drive().SetScopes({gsDrive, gsDriveAppdata});
    SignIn();
    const std::string expected = StateBytes(Storage().GetToken(), Storage().GetRefresh(), Storage().GetExpires(),
                                            (1u << gsDrive) | (1u << gsDriveAppdata));
    ASSERT_EQ(Saved(Storage()), expected);

    const std::unique_ptr<TNimboStorage> restored = NewStorage();
    AsDrive(*restored).SetScopes({gsDrive, gsDriveAppdata});
    Load(*restored, expected);
    EXPECT_EQ(Saved(*restored), expected);
    // The restored token covers the scopes: no sign-in, no renewal.
    restored->Root().Files();
    EXPECT_THAT(RequestLines(), ElementsAre(ListRoot));
}

TEST_F(GoogleDriveAdapter, LoadingIgnoresTheUpperBitsOfTheScopeFieldAndNeedsTheWholeField) {
    const std::string token = "ya29.token", refresh = "1/refresh";
    const TDateTime expires = Now() + 60 * OneMinute;

    Load(Storage(), StateBytes(token, refresh, expires, 0x7FFF000000000000ull | (1u << gsDrive)));
    EXPECT_EQ(Saved(Storage()), StateBytes(token, refresh, expires, 1u << gsDrive));

    const std::string full = StateBytes("other", "other", expires, 1u << gsDriveFile);
    EXPECT_THAT([&] { Load(Storage(), full.substr(0, full.size() - 3)); }, Throws<EReadError>());
    EXPECT_EQ(Saved(Storage()), StateBytes(token, refresh, expires, 1u << gsDrive));
}

// ---- group ----

TEST_F(GoogleDriveAdapter, GroupSharesOneSignInForTheScopesOfAll) {
    Drive().SetGroup(7);
    const std::unique_ptr<TNimboStorage> second = NewStorage();
    AsDrive(*second).SetScopes({gsDriveFile});
    AsDrive(*second).SetGroup(7);

    Storage().Root().Files();
    const std::vector<RecordedRequest> requests = Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(QueryValue(requests.front().query, "scope"),
              "https%3A%2F%2Fwww.googleapis.com%2Fauth%2Fdrive.file%20https%3A%2F%2Fwww.googleapis.com%2Fauth%2Fdrive");

    Emu().ClearRequests();
    second->Root().Files();
    EXPECT_THAT(RequestLines(), ElementsAre(ListRoot));
    EXPECT_EQ(second->GetToken(), Storage().GetToken());
}

// ---- operations on the wire ----

TEST_F(GoogleDriveAdapter, ListingFollowsThePageTokensWithTheSameSearch) {
    const std::string folderId = Emu().AddFolder(Cloud::GoogleDrive, "Big");
    for (int i = 0; i < 230; ++i) Emu().AddFile(Cloud::GoogleDrive, "Big/f" + std::to_string(1000 + i), "x");
    const TNimboCloudFile big = Child(Storage().Root(), "Big");
    Emu().ClearRequests();

    EXPECT_EQ(big.Files().size(), 230u);

    const std::vector<RecordedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), 3u);
    const std::string search = "q=%27" + folderId + "%27%20in%20parents%20and%20trashed%20%3D%20false";
    EXPECT_EQ(Line(requests[0]), "GET www.googleapis.com/drive/v2/files?" + search);
    for (const RecordedRequest& next : {requests[1], requests[2]}) {
        EXPECT_THAT(next.query, StartsWith(search + "&pageToken="));
        EXPECT_NE(QueryValue(next.query, "pageToken"), "");
    }
    EXPECT_NE(requests[1].query, requests[2].query);
}

TEST_F(GoogleDriveAdapter, ListedItemsCarryTheServiceMetadata) {
    SignIn();
    Emu().InjectFault(Route{ApiHost, "GET", "/drive/v2/files"}, Answer(200, R"({"items": [
                           {"id": "f1", "title": "a.txt", "mimeType": "text/plain", "fileSize": "3000000000",
                            "downloadUrl": "https://doc-0s-00-docs.googleusercontent.com/docs/securesc/emulator/f1",
                            "createdDate": "2015-05-06T09:02:13.756Z", "modifiedDate": "2016-02-29T23:59:59+02:00"},
                           {"id": "d1", "title": "Folder", "mimeType": "application/vnd.google-apps.folder"}]})"));

    const std::vector<TNimboCloudFile> items = Storage().Root().Files();
    ASSERT_EQ(items.size(), 2u);
    const TNimboCloudFile& file = items[0];
    EXPECT_EQ(file.GetName(), "a.txt");
    EXPECT_FALSE(file.GetIsFolder());
    EXPECT_EQ(file.GetMimeType(), "text/plain");
    EXPECT_EQ(file.GetSize(), 3000000000);
    EXPECT_EQ(file.GetCreatedAt(), ComposeDateTime(EncodeDate(2015, 5, 6), EncodeTime(9, 2, 13)));
    EXPECT_EQ(file.GetModifiedAt(),
              ComposeDateTime(EncodeDate(2016, 2, 29), EncodeTime(21, 59, 59)));  // the moment, in UTC

    TNimboCloudFileData& folder = *items[1].Data();
    EXPECT_TRUE(Storage().GetIsFolder(folder));
    EXPECT_EQ(Storage().GetSize(folder), 0);
    EXPECT_EQ(Storage().GetCreatedAt(folder), MinDateTime);
    EXPECT_EQ(Storage().GetModifiedAt(folder), MinDateTime);

    const TNimboCloudFile root = Storage().Root();
    EXPECT_EQ(root.GetName(), "");
    EXPECT_TRUE(root.GetIsFolder());
    EXPECT_FALSE(root.GetHasCreatedAt());
    EXPECT_FALSE(root.GetHasModifiedAt());
}

TEST_F(GoogleDriveAdapter, DownloadingAnItemWithoutDownloadUrlNamesTheItemAndSendsNothing) {
    SignIn();
    Emu().InjectFault(
        Route{ApiHost, "GET", "/drive/v2/files"},
        Answer(200,
               R"({"items": [{"id": "g1", "title": "Plan", "mimeType": "application/vnd.google-apps.document"}]})"));
    const TNimboCloudFile plan = Child(Storage().Root(), "Plan");
    Emu().ClearRequests();

    std::ostringstream out;
    EXPECT_THAT([&] { plan.Download(out); }, ThrowsMessage<ERestError>(HasSubstr("\"Plan\"")));
    EXPECT_THAT(RequestLines(), IsEmpty());
}

TEST_F(GoogleDriveAdapter, DownloadReadsTheDownloadUrlWithTheToken) {
    const std::string id = Emu().AddFile(Cloud::GoogleDrive, "notes.txt", "some notes");
    const TNimboCloudFile notes = Child(Storage().Root(), "notes.txt");
    Emu().ClearRequests();

    std::ostringstream out;
    notes.Download(out);
    EXPECT_EQ(out.str(), "some notes");
    const std::vector<RecordedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(Line(requests[0]),
              "GET doc-0s-00-docs.googleusercontent.com/docs/securesc/emulator/" + id + "?e=download&gd=true");
    EXPECT_EQ(HeaderOf(requests[0], "Authorization"), "Bearer " + Storage().GetToken());
}

TEST_F(GoogleDriveAdapter, UploadReplacesTheContentWithoutAContentType) {
    const std::string id = Emu().AddFile(Cloud::GoogleDrive, "notes.txt", "old");
    const TNimboCloudFile notes = Child(Storage().Root(), "notes.txt");
    Emu().ClearRequests();

    std::istringstream in("new content");
    notes.Upload(in);

    const std::vector<RecordedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(Line(requests[0]), "PUT www.googleapis.com/upload/drive/v2/files/" + id + "?uploadType=media");
    EXPECT_EQ(HeaderOf(requests[0], "Content-Type"), "<none>");
    EXPECT_EQ(HeaderOf(requests[0], "Authorization"), "Bearer " + Storage().GetToken());
    EXPECT_EQ(requests[0].body, "new content");
    // The item's metadata is refreshed in place.
    EXPECT_EQ(notes.GetSize(), 11);
    EXPECT_EQ(Emu().Find(Cloud::GoogleDrive, "notes.txt")->content, "new content");
}

TEST_F(GoogleDriveAdapter, CreateFolderPostsTheFolderResource) {
    SignIn();
    const TNimboCloudFile folder = Storage().Root().CreateFolder("New \"folder\"");

    const std::vector<RecordedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(Line(requests[0]), "POST www.googleapis.com/drive/v2/files");
    EXPECT_EQ(HeaderOf(requests[0], "Content-Type"), "application/json");
    EXPECT_EQ(requests[0].body, R"({"title": "New \"folder\"","mimeType": "application/vnd.google-apps.folder",)"
                                R"("parents": [{"id": "root"}]})");
    EXPECT_TRUE(folder.GetIsFolder());
    EXPECT_EQ(folder.GetName(), "New \"folder\"");
    EXPECT_TRUE(Emu().Find(Cloud::GoogleDrive, "New \"folder\"")->isFolder);
}

TEST_F(GoogleDriveAdapter, CreateFileSendsTheContentTypedByNameThenTheNameAndFolder) {
    struct TCase {
        std::string Name, ContentType;
    };
    const TCase cases[] = {{"report.pdf", "application/pdf"},
                           {"README", "application/octet-stream"},
                           // Allowed in a title though not in a local file name.
                           {"say \"hi\".txt", "application/octet-stream"}};
    const std::string docsId = Emu().AddFolder(Cloud::GoogleDrive, "Docs");
    const TNimboCloudFile docs = Child(Storage().Root(), "Docs");

    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Emu().ClearRequests();
        std::istringstream in("hello");
        const TNimboCloudFile file = docs.createFile(c.Name, in);

        const std::vector<RecordedRequest> requests = Requests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(Line(requests[0]), "POST www.googleapis.com/upload/drive/v2/files?uploadType=media");
        EXPECT_EQ(HeaderOf(requests[0], "Content-Type"), c.ContentType);
        EXPECT_EQ(requests[0].body, "hello");
        const auto created = Emu().Find(Cloud::GoogleDrive, "Docs/" + c.Name);
        ASSERT_TRUE(created.has_value());
        EXPECT_EQ(Line(requests[1]), "PUT www.googleapis.com/drive/v2/files/" + created->id);
        EXPECT_EQ(HeaderOf(requests[1], "Content-Type"), "application/json");
        std::string title = c.Name;
        for (std::size_t quote = title.find('"'); quote != std::string::npos; quote = title.find('"', quote + 2))
            title.insert(quote, "\\");
        EXPECT_EQ(requests[1].body, R"({"title": ")" + title + R"(","parents": [{"id": ")" + docsId + R"("}]})");

        EXPECT_EQ(file.GetName(), c.Name);
        EXPECT_EQ(file.GetSize(), 5);
        EXPECT_EQ(file.GetMimeType(), c.ContentType);
        EXPECT_EQ(created->content, "hello");
    }
}

TEST_F(GoogleDriveAdapter, CreateFileLeavesTheUploadedContentWhenNamingItFails) {
    SignIn();
    Emu().InjectFault(Route{ApiHost, "PUT", "/drive/v2/files/"},
                      Answer(500, R"({"error": {"code": 500, "message": "Backend Error"}})"));

    std::istringstream in("kept");
    EXPECT_THAT([&] { Storage().Root().createFile("a.txt", in); },
                Throws<EHttpProtocolError>(Property(&EHttpProtocolError::ErrorCode, 500)));
    EXPECT_EQ(Emu().Find(Cloud::GoogleDrive, "Untitled")->content, "kept");
    EXPECT_FALSE(Emu().Find(Cloud::GoogleDrive, "a.txt").has_value());
}

TEST_F(GoogleDriveAdapter, DeleteAccepts200And204Only) {
    struct TCase {
        int InjectedStatus;  // 0: the service's own answer, 204
        bool Accepted;
    };
    const TCase cases[] = {{0, true}, {200, true}, {202, false}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.InjectedStatus);
        const std::string name = "doomed" + std::to_string(c.InjectedStatus) + ".txt";
        const std::string id = Emu().AddFile(Cloud::GoogleDrive, name, "x");
        const TNimboCloudFile doomed = Child(Storage().Root(), name);
        if (c.InjectedStatus != 0) Emu().InjectFault(Route{ApiHost, "DELETE", ""}, Answer(c.InjectedStatus));
        Emu().ClearRequests();

        if (c.Accepted)
            EXPECT_NO_THROW(doomed.Delete());
        else
            EXPECT_THAT([&] { doomed.Delete(); }, ThrowsMessage<EHttpError>("Unacceptable response code: 202"));
        EXPECT_THAT(RequestLines(), ElementsAre("DELETE www.googleapis.com/drive/v2/files/" + id));
    }
    EXPECT_FALSE(Emu().Find(Cloud::GoogleDrive, "doomed0.txt").has_value());
}

TEST(GoogleDriveFileData, DecodeSizeReadsDecimalIntegersOnly) {
    EXPECT_EQ(TNimboGDriveFileData::DecodeSize(""), 0);
    EXPECT_EQ(TNimboGDriveFileData::DecodeSize("9264"), 9264);
    EXPECT_EQ(TNimboGDriveFileData::DecodeSize("5242880000000"), 5242880000000);
    for (const char* bad : {"12a", "1.5", " 7", "99999999999999999999"})
        EXPECT_THAT([&] { TNimboGDriveFileData::DecodeSize(bad); }, ThrowsMessage<EConvertError>(HasSubstr(bad)));
}

}  // namespace
