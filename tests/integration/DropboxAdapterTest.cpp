// The Dropbox storage against the emulated service: sign-in, the saved state, names and paths, and
// the exact requests each operation sends. What every storage must do is in the contract suite.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <strings.h>

#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "AdapterTestSupport.h"
#include "Nimbo/Connection/DropBox.h"
#include "Nimbo/Connection/HeadlessAuth.h"

using namespace Nimbo::Connection;
using Nimbo::Emulator::Cloud;
using Nimbo::Emulator::Fault;
using Nimbo::Emulator::RecordedRequest;
using Nimbo::Emulator::Route;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using ::testing::ThrowsMessage;

namespace {

const std::string ApiHost = "api.dropbox.com";
const std::string ContentHost = "api-content.dropbox.com";
const std::string Receiver = "https://www.dropbox.com/1/oauth2/redirect_receiver";
const std::string EncodedReceiver = "https%3A%2F%2Fwww.dropbox.com%2F1%2Foauth2%2Fredirect_receiver";

AdapterTest::TAdapterKind DropboxKind() {
    return {.Name = "Dropbox",
            .Service = Cloud::Dropbox,
            .RedirectUrl = Receiver,
            .Create = [] { return std::make_unique<TNimboDropBox>(); },
            .PageSize = 0};
}

[[maybe_unused]] const bool Registered = AdapterTest::RegisterAdapterKind(DropboxKind());

// A request as one line: "METHOD host path?query".
std::string Line(const RecordedRequest& ARequest) {
    return ARequest.method + " " + ARequest.host + ARequest.path + (ARequest.query.empty() ? "" : "?" + ARequest.query);
}

std::vector<std::string> Lines(const std::vector<RecordedRequest>& ARequests) {
    std::vector<std::string> lines;
    for (const RecordedRequest& request : ARequests) lines.push_back(Line(request));
    return lines;
}

std::string HeaderOf(const RecordedRequest& ARequest, const std::string& AName) {
    for (const auto& [name, value] : ARequest.headers)
        if (strcasecmp(name.c_str(), AName.c_str()) == 0) return value;
    return {};
}

// The transport's error for a status outside 200-299, with the service's answer holding AText.
auto ThrowsProtocolError(int ACode, const std::string& AText) {
    return ::testing::Throws<EHttpProtocolError>(
        ::testing::AllOf(::testing::Property(&EHttpProtocolError::ErrorCode, ACode),
                         ::testing::Property(&EHttpProtocolError::ErrorMessage, HasSubstr(AText))));
}

// A string of the state stream: its length (below 128 here, so one byte), then its bytes.
std::string StreamString(const std::string& AText) {
    EXPECT_LT(AText.size(), 128u);
    return std::string(1, static_cast<char>(AText.size())) + AText;
}

// An answer the emulator gives instead of the normal one.
Fault Answer(int AStatus, std::string ABody, std::string AContentType = "application/json") {
    Fault fault;
    fault.status = AStatus;
    fault.body = std::move(ABody);
    fault.contentType = std::move(AContentType);
    return fault;
}

Fault DroppedConnection() {
    Fault fault;
    fault.dropConnection = true;
    return fault;
}

// The requests to AHost whose path begins with APathPrefix, of any method.
Route At(std::string AHost, std::string APathPrefix) { return Route{std::move(AHost), "", std::move(APathPrefix)}; }

const std::string MaxDateTimeBytes("\x1d\xac\xff\xff\x40\x92\x46\x41", 8);  // 2958465.99999, little-endian

class DropboxAdapterTest : public AdapterTest::TAdapterFixture {
protected:
    DropboxAdapterTest() : TAdapterFixture(DropboxKind()) {}

    TNimboDropBox& DropBox() { return DropBoxOf(Storage()); }

    // Signs in and forgets the requests that took.
    void SignIn() {
        DropBox().RefreshAccess();
        Emu().ClearRequests();
    }

    // The requests that reached the API and content hosts, as lines; the sign-in pages left out.
    std::vector<std::string> ApiLines() { return Lines(ApiRequests()); }

    std::vector<RecordedRequest> ApiRequests() {
        std::vector<RecordedRequest> requests;
        for (const RecordedRequest& request : Emu().Requests())
            if (request.host == ApiHost || request.host == ContentHost) requests.push_back(request);
        return requests;
    }

    static TNimboDropBox& DropBoxOf(TNimboStorage& AStorage) { return static_cast<TNimboDropBox&>(AStorage); }
};

// ---- sign-in ----

TEST_F(DropboxAdapterTest, FirstSignInTakesTheCodeFromTheRedirectAndAsksForTheAccountName) {
    Emu().SetAccountName(Cloud::Dropbox, "Adam Jones");

    DropBox().RefreshAccess();

    const std::vector<std::string> visited = TNimboHeadlessAuth::Visited();
    ASSERT_FALSE(visited.empty());
    EXPECT_EQ(visited.front(), "https://www.dropbox.com/1/oauth2/authorize?client_id=test-client&redirect_uri=" +
                                   EncodedReceiver + "&response_type=code");
    ASSERT_THAT(visited.back(), StartsWith(Receiver + "?code="));
    const std::string code = visited.back().substr((Receiver + "?code=").size());

    const std::vector<RecordedRequest> requests = ApiRequests();
    ASSERT_THAT(requests, ::testing::SizeIs(2));
    EXPECT_EQ(Line(requests[0]), "POST api.dropbox.com/1/oauth2/token");
    EXPECT_EQ(HeaderOf(requests[0], "Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(HeaderOf(requests[0], "Authorization"), "");
    EXPECT_EQ(requests[0].body, "code=" + code + "&client_id=test-client&client_secret=test-secret&redirect_uri=" +
                                    EncodedReceiver + "&grant_type=authorization_code");
    EXPECT_EQ(Line(requests[1]), "GET api.dropbox.com/1/account/info");
    EXPECT_EQ(HeaderOf(requests[1], "Authorization"), "Bearer " + DropBox().GetToken());

    EXPECT_FALSE(DropBox().GetToken().empty());
    EXPECT_EQ(DropBox().GetRefresh(), "");
    EXPECT_EQ(DropBox().GetExpires(), MaxDateTime);
    EXPECT_EQ(DropBox().GetUserName(), "Adam Jones");
}

struct TRefusalCase {
    std::string Name;
    THeadlessDecision Decision;
    std::function<void(const std::function<void()>&)> Check;
};

class DropboxRefusedSignInTest : public DropboxAdapterTest, public ::testing::WithParamInterface<TRefusalCase> {};

TEST_P(DropboxRefusedSignInTest, StoresNothingAndDoesNotRunTheOperation) {
    TNimboHeadlessAuth::SetDecision(GetParam().Decision, "Refused_by_the_tester");

    GetParam().Check([&] { DropBox().Root().Files(); });

    EXPECT_EQ(DropBox().GetToken(), "");
    EXPECT_THAT(ApiLines(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Decisions, DropboxRefusedSignInTest,
    ::testing::Values(TRefusalCase{"CanceledSilently", THeadlessDecision::Cancel,
                                   [](const std::function<void()>& AOperation) { EXPECT_THROW(AOperation(), EAbort); }},
                      TRefusalCase{"DeniedWithTheProvidersText", THeadlessDecision::Deny,
                                   [](const std::function<void()>& AOperation) {
                                       EXPECT_THAT(AOperation, ThrowsMessage<ERestError>("Refused_by_the_tester"));
                                   }}),
    [](const auto& AInfo) { return AInfo.param.Name; });

TEST_F(DropboxAdapterTest, HeldTokenIsUsedWithoutAnyRequestHoweverOld) {
    SignIn();
    DropBox().RefreshAccess();
    EXPECT_THAT(Emu().Requests(), IsEmpty());

    // A saved state from long ago, with a token the service still accepts.
    const std::string token = Emu().IssueTokens(Cloud::Dropbox, AdapterTest::ClientId).accessToken;
    std::istringstream saved("\x01" + StreamString(AdapterTest::ClientId) + StreamString(token) + StreamString("") +
                             std::string(8, '\0') + StreamString("Old Name"));
    const std::unique_ptr<TNimboStorage> other = NewStorage();
    other->LoadState(saved);
    other->Root().Files();
    EXPECT_THAT(Lines(Emu().Requests()), ElementsAre(StartsWith("GET api.dropbox.com/1/metadata/dropbox/?")));
    EXPECT_EQ(DropBoxOf(*other).GetUserName(), "Old Name");
}

TEST_F(DropboxAdapterTest, TokenTheServiceNoLongerAcceptsFailsTheOperationAndStays) {
    SignIn();
    const std::string token = DropBox().GetToken();
    Emu().ExpireAccessTokens(Cloud::Dropbox);

    for (int attempt = 0; attempt < 2; ++attempt)
        EXPECT_THAT([&] { DropBox().Root().Files(); }, ThrowsProtocolError(401, "doesn't exist or has expired"));
    EXPECT_EQ(DropBox().GetToken(), token);
    EXPECT_THAT(ApiLines(), ::testing::Each(StartsWith("GET api.dropbox.com/1/metadata/")));
}

TEST_F(DropboxAdapterTest, RefusedTokenRequestStoresNothingAndRunsNothing) {
    Emu().InjectFault(At(ApiHost, "/1/oauth2/token"),
                      Answer(400, R"({"error_description": "code doesn't exist or has expired", )"
                                  R"("error": "invalid_grant"})"));

    EXPECT_THAT([&] { DropBox().Root().Files(); }, ThrowsProtocolError(400, "invalid_grant"));
    EXPECT_EQ(DropBox().GetToken(), "");
    EXPECT_THAT(ApiLines(), ElementsAre("POST api.dropbox.com/1/oauth2/token"));
}

struct TAccountFault {
    std::string Name;
    Fault Answer;
};
void PrintTo(const TAccountFault& AFault, std::ostream* AOut) { *AOut << AFault.Name; }

class DropboxAccountFaultTest : public DropboxAdapterTest, public ::testing::WithParamInterface<TAccountFault> {};

TEST_P(DropboxAccountFaultTest, FailingAccountRequestLeavesTheNameEmptyAndTheSignInDone) {
    // Twice: a dropped request on a kept-alive connection is sent once more on a new one.
    Emu().InjectFault(At(ApiHost, "/1/account/info"), GetParam().Answer, 2);

    EXPECT_NO_THROW(DropBox().RefreshAccess());
    EXPECT_FALSE(DropBox().GetToken().empty());

    Emu().ClearRequests();
    EXPECT_EQ(DropBox().GetUserName(), "");
    DropBox().Root().Files();
    // A dropped account request may reach the log only after the client has moved on.
    std::vector<std::string> lines = Lines(Emu().Requests());
    std::erase(lines, "GET api.dropbox.com/1/account/info");
    EXPECT_THAT(lines, ElementsAre(StartsWith("GET api.dropbox.com/1/metadata/dropbox/?")));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DropboxAccountFaultTest,
    ::testing::Values(TAccountFault{"ServerError", Answer(500, R"({"error": "Internal Server Error"})")},
                      TAccountFault{"DroppedConnection", DroppedConnection()},
                      TAccountFault{"NotJson", Answer(200, "<html>maintenance</html>", "text/html")}),
    [](const auto& AInfo) { return AInfo.param.Name; });

// ---- saved state ----

TEST_F(DropboxAdapterTest, SavedStateEndsWithTheAccountNameAndLoadsBackExactly) {
    Emu().SetAccountName(Cloud::Dropbox, "Adam Jones");
    DropBox().RefreshAccess();
    const std::string token = DropBox().GetToken();

    std::ostringstream saved;
    DropBox().SaveState(saved);
    EXPECT_EQ(saved.str(), "\x01" + StreamString("test-client") + StreamString(token) + StreamString("") +
                               MaxDateTimeBytes + StreamString("Adam Jones"));

    const std::unique_ptr<TNimboStorage> other = NewStorage();
    std::istringstream input(saved.str());
    other->LoadState(input);
    EXPECT_EQ(input.peek(), std::char_traits<char>::eof());
    Emu().ClearRequests();
    EXPECT_EQ(DropBoxOf(*other).GetUserName(), "Adam Jones");
    EXPECT_EQ(other->GetToken(), token);
    EXPECT_EQ(other->GetExpires(), MaxDateTime);
    EXPECT_THAT(Emu().Requests(), IsEmpty());

    std::ostringstream resaved;
    other->SaveState(resaved);
    EXPECT_EQ(resaved.str(), saved.str());
}

TEST_F(DropboxAdapterTest, StateWithoutTheAccountNameIsRefusedAndChangesNothing) {
    std::istringstream truncated("\x01" + StreamString("test-client") + StreamString("db-token") + StreamString("") +
                                 MaxDateTimeBytes);
    EXPECT_THROW(DropBox().LoadState(truncated), EReadError);
    EXPECT_EQ(DropBox().GetToken(), "");
}

// ---- names and paths ----

TEST_F(DropboxAdapterTest, ItemNamesAndDatesComeFromThePath) {
    using TInfo = TNimboDropBox::TFileInfo;
    struct TCase {
        std::string Path;
        std::string Name;
    };
    const TCase cases[] = {{"/Docs/a.txt", "a.txt"}, {"/x:y", "y"}, {"/Docs", "Docs"}, {"plain", "plain"}};
    TNimboCloudFile root = DropBox().Root();
    auto& rootData = static_cast<TNimboDropBoxData&>(*root.Data());
    for (const TCase& c : cases) {
        TNimboCloudFile item(std::make_shared<TNimboDropBoxData>(rootData, TInfo{.path = c.Path}));
        EXPECT_EQ(item.GetName(), c.Name) << c.Path;
        EXPECT_FALSE(item.GetHasCreatedAt()) << c.Path;
        EXPECT_FALSE(item.GetHasModifiedAt()) << c.Path;
    }
    EXPECT_EQ(root.GetName(), "");
    EXPECT_TRUE(root.GetIsFolder());

    TNimboCloudFile barred(std::make_shared<TNimboDropBoxData>(rootData, TInfo{.path = "/a|b"}));
    EXPECT_THAT([&] { barred.GetName(); }, ThrowsMessage<EArgumentException>("Invalid characters in path"));

    // A date in another form is refused and leaves the item as it was.
    TNimboDropBoxData dated(rootData, TInfo{.path = "/a", .modified = "Wed, 20 Jul 2011 22:04:50 +0000"});
    EXPECT_THROW(dated.SetInfo(TInfo{.path = "/b", .bytes = 5, .modified = "yesterday"}), EConvertError);
    EXPECT_EQ(dated.GetPath(), "/a");
    EXPECT_EQ(DropBox().GetModifiedAt(dated), ComposeDateTime(EncodeDate(2011, 7, 20), EncodeTime(22, 4, 50)));
}

// A window that reports page titles but no addresses.
class TTitleOnlyWindow : public TAuthUI {
public:
    static TAuthEvents Supports() { return {aeTitleChanged, aeCanceled}; }
    void ShowModal(TAuthEvents, const std::string&) override { DoEvent(aeCanceled, ""); }
    void Close() override {}
};

// Puts the sign-in window classes in the given order for the scope's life, then restores the order.
class TWindowClassOrder {
public:
    explicit TWindowClassOrder(const std::vector<TAuthUIClass>& AOrder) : FSaved(TAuthUI::RegisteredClasses()) {
        Apply(AOrder);
    }
    ~TWindowClassOrder() { Apply(FSaved); }

private:
    static void Apply(const std::vector<TAuthUIClass>& AOrder) {
        for (const TAuthUIClass& registered : TAuthUI::RegisteredClasses()) TAuthUI::Unregister(registered);
        for (const TAuthUIClass& windowClass : AOrder) TAuthUI::Register(windowClass);
    }

    std::vector<TAuthUIClass> FSaved;
};

TEST_F(DropboxAdapterTest, SignInPassesOverWindowsThatCannotReportTheRedirectAddress) {
    const TWindowClassOrder order({TAuthUIClass::Of<TTitleOnlyWindow>(), TAuthUIClass::Of<TNimboHeadlessAuth>()});
    DropBox().RefreshAccess();
    EXPECT_FALSE(DropBox().GetToken().empty());
}

TEST_F(DropboxAdapterTest, NamesWithCharactersAPathCannotHoldAreRefusedBeforeAnyRequest) {
    Emu().AddFolder(Cloud::Dropbox, "Docs");
    const TNimboCloudFile docs = Child(DropBox().Root(), "Docs");
    Emu().ClearRequests();

    const auto invalidPath = ThrowsMessage<EArgumentException>("Invalid characters in path");
    for (const std::string name : {"a|b.txt", "a<b", "a>b", "say \"hi\"", "tab\there", "nl\n"}) {
        std::istringstream content("x");
        EXPECT_THAT([&] { docs.createFile(name, content); }, invalidPath) << name;
        EXPECT_THAT([&] { docs.CreateFolder(name); }, invalidPath) << name;
    }
    std::istringstream content("x");
    const auto emptyName = ThrowsMessage<EArgumentException>(HasSubstr("must not be empty"));
    EXPECT_THAT([&] { docs.createFile("", content); }, emptyName);
    EXPECT_THAT([&] { docs.CreateFolder(""); }, emptyName);

    EXPECT_THAT(ApiLines(), IsEmpty());
    EXPECT_THAT(Emu().Children(Cloud::Dropbox, "Docs"), IsEmpty());
}

TEST_F(DropboxAdapterTest, NamesThatWouldEndOrEscapeAUrlReachTheRightItem) {
    const std::string folderName = "Q? & A #1";
    const std::string fileName = "50% \xC3\xBC+?#.txt";
    const TNimboCloudFile folder = DropBox().Root().CreateFolder(folderName);
    std::istringstream content("answer");
    const TNimboCloudFile file = folder.createFile(fileName, content);

    ASSERT_TRUE(Emu().Find(Cloud::Dropbox, folderName + "/" + fileName).has_value());
    EXPECT_EQ(Emu().Find(Cloud::Dropbox, folderName + "/" + fileName)->content, "answer");
    EXPECT_EQ(file.GetName(), fileName);
    EXPECT_EQ(Child(folder, fileName).GetSize(), 6);

    std::ostringstream downloaded;
    file.Download(downloaded);
    EXPECT_EQ(downloaded.str(), "answer");

    file.Delete();
    EXPECT_FALSE(Emu().Find(Cloud::Dropbox, folderName + "/" + fileName).has_value());
    EXPECT_TRUE(Emu().Find(Cloud::Dropbox, folderName).has_value());
}

// ---- listing ----

TEST_F(DropboxAdapterTest, FolderLargerThanOneListingIsAClearErrorNotAPartialOne) {
    Emu().AddFile(Cloud::Dropbox, "Docs/a.txt", "a");
    SignIn();
    const TNimboCloudFile docs = Child(DropBox().Root(), "Docs");
    Emu().InjectFault(At(ApiHost, "/1/metadata/"), Answer(406, R"({"error": "Too many entries"})"));

    int delivered = 0;
    EXPECT_THAT([&] { docs.Files([&](TNimboCloudFile) { ++delivered; }); },
                ThrowsMessage<ERestError>(HasSubstr("\"/Docs\" holds more than 25000 items")));
    EXPECT_EQ(delivered, 0);
}

TEST_F(DropboxAdapterTest, UploadShowsTheSizeAndTimeOfTheAnswerAndAFailedOneChangesNothing) {
    std::istringstream first("x");
    const TNimboCloudFile file = DropBox().Root().createFile("a.txt", first);
    ASSERT_EQ(file.GetSize(), 1);
    const TDateTime created = file.GetModifiedAt();
    ASSERT_TRUE(file.GetHasModifiedAt());

    Emu().InjectFault(At(ContentHost, "/1/files_put/"), Answer(507, R"({"error": "over quota"})"));
    std::istringstream refused("refused content");
    EXPECT_THAT([&] { file.Upload(refused); }, ThrowsProtocolError(507, "over quota"));
    EXPECT_EQ(file.GetSize(), 1);
    EXPECT_EQ(file.GetModifiedAt(), created);

    std::istringstream second("hello world");
    file.Upload(second);
    EXPECT_EQ(file.GetSize(), 11);
    EXPECT_EQ(file.GetModifiedAt(), Child(DropBox().Root(), "a.txt").GetModifiedAt());
    EXPECT_EQ(file.GetMimeType(), "text/plain");
}

// ---- the exact requests ----

// The items a request case works on: the root, the folder /Docs and the file /Docs/a.txt.
struct TItems {
    TNimboCloudFile Root, Docs, File;
};

struct TRequestCase {
    std::string Name;
    std::function<void(const TItems&)> Operation;
    std::string Line;         // "METHOD host path?query", the path as the service decoded it
    std::string ContentType;  // empty: none sent
    std::string Body;
};

class DropboxRequestTest : public DropboxAdapterTest, public ::testing::WithParamInterface<TRequestCase> {};

TEST_P(DropboxRequestTest, SendsExactlyThisRequest) {
    Emu().AddFile(Cloud::Dropbox, "Docs/a.txt", "old content");
    SignIn();
    const TNimboCloudFile docs = Child(DropBox().Root(), "Docs");
    const TItems items{DropBox().Root(), docs, Child(docs, "a.txt")};
    Emu().ClearRequests();

    GetParam().Operation(items);

    const std::vector<RecordedRequest> requests = Emu().Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(Line(requests[0]), GetParam().Line);
    EXPECT_EQ(HeaderOf(requests[0], "Authorization"), "Bearer " + DropBox().GetToken());
    EXPECT_EQ(HeaderOf(requests[0], "Content-Type"), GetParam().ContentType);
    EXPECT_EQ(requests[0].body, GetParam().Body);
}

void CreateFileIn(const TNimboCloudFile& AFolder, const std::string& AName) {
    std::istringstream content("new content");
    AFolder.createFile(AName, content);
}

const char* const FormType = "application/x-www-form-urlencoded";

INSTANTIATE_TEST_SUITE_P(
    Operations, DropboxRequestTest,
    ::testing::Values(
        TRequestCase{"ListRoot", [](const TItems& I) { I.Root.Files(); },
                     "GET api.dropbox.com/1/metadata/dropbox/?list=true&file_limit=25000", "", ""},
        TRequestCase{"ListFolder", [](const TItems& I) { I.Docs.Files(); },
                     "GET api.dropbox.com/1/metadata/dropbox//Docs?list=true&file_limit=25000", "", ""},
        TRequestCase{"Download",
                     [](const TItems& I) {
                         std::ostringstream out;
                         I.File.Download(out);
                     },
                     "GET api-content.dropbox.com/1/files/dropbox//Docs/a.txt", "", ""},
        TRequestCase{"Upload",
                     [](const TItems& I) {
                         std::istringstream in("new content");
                         I.File.Upload(in);
                     },
                     "PUT api-content.dropbox.com/1/files_put/dropbox//Docs/a.txt", "", "new content"},
        TRequestCase{"DeleteFile", [](const TItems& I) { I.File.Delete(); }, "POST api.dropbox.com/1/fileops/delete",
                     FormType, "root=dropbox&path=%2FDocs%2Fa.txt"},
        TRequestCase{"DeleteFolder", [](const TItems& I) { I.Docs.Delete(); }, "POST api.dropbox.com/1/fileops/delete",
                     FormType, "root=dropbox&path=%2FDocs"},
        TRequestCase{"CreateFolderInRoot", [](const TItems& I) { I.Root.CreateFolder("New"); },
                     "POST api.dropbox.com/1/fileops/create_folder", FormType, "root=dropbox&path=New"},
        TRequestCase{"CreateFolderInFolder", [](const TItems& I) { I.Docs.CreateFolder("New"); },
                     "POST api.dropbox.com/1/fileops/create_folder", FormType, "root=dropbox&path=%2FDocs%2FNew"},
        TRequestCase{"CreateFileInRoot", [](const TItems& I) { CreateFileIn(I.Root, "b.txt"); },
                     "PUT api-content.dropbox.com/1/files_put/dropbox/b.txt", "", "new content"},
        TRequestCase{"CreateFileInFolder", [](const TItems& I) { CreateFileIn(I.Docs, "b.txt"); },
                     "PUT api-content.dropbox.com/1/files_put/dropbox//Docs/b.txt", "", "new content"},
        TRequestCase{"CreateFileWithABackslash", [](const TItems& I) { CreateFileIn(I.Docs, "x\\y.txt"); },
                     "PUT api-content.dropbox.com/1/files_put/dropbox//Docs/x/y.txt", "", "new content"},
        TRequestCase{"CreateFileNamedFromTheTop", [](const TItems& I) { CreateFileIn(I.Docs, "/z.txt"); },
                     "PUT api-content.dropbox.com/1/files_put/dropbox//z.txt", "", "new content"}),
    [](const auto& AInfo) { return AInfo.param.Name; });

TEST_F(DropboxAdapterTest, SuccessCodesOtherThan200AreRefused) {
    Emu().AddFile(Cloud::Dropbox, "Docs/a.txt", "a");
    SignIn();
    const TNimboCloudFile docs = Child(DropBox().Root(), "Docs");
    const TNimboCloudFile file = Child(docs, "a.txt");

    struct TCase {
        std::string Name;
        Route Where;
        int Status;
        std::function<void()> Operation;
    };
    const TCase cases[] = {
        {"delete", At(ApiHost, "/1/fileops/delete"), 204, [&] { file.Delete(); }},
        {"create folder", At(ApiHost, "/1/fileops/create_folder"), 201, [&] { docs.CreateFolder("New"); }},
        {"create file", At(ContentHost, "/1/files_put/"), 201, [&] { CreateFileIn(docs, "b.txt"); }},
        {"list", At(ApiHost, "/1/metadata/"), 203, [&] { docs.Files(); }},
    };
    for (const TCase& c : cases) {
        Emu().InjectFault(c.Where, Answer(c.Status, "{}"));
        EXPECT_THAT(c.Operation, ThrowsMessage<EHttpError>("Unacceptable response code: " + std::to_string(c.Status)))
            << c.Name;
    }
}

}  // namespace
