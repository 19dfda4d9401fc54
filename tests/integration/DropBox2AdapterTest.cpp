// The Dropbox v2 adapter against the emulator: what is particular to it beyond the storage contract
// (listings past one page, names that need escaping in the argument header, the request lines).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <stdexcept>

#include "AdapterTestSupport.h"
#include "Nimbo/Connection/ContentHash.h"
#include "Nimbo/Connection/DropBox2.h"
#include "Nimbo/Connection/HeadlessAuth.h"

using namespace Nimbo::Connection;
using Nimbo::Emulator::Cloud;
using Nimbo::Emulator::RecordedRequest;

namespace {

constexpr int SmallPage = 100;

// The service takes only the loopback address registered, port included. Test processes that run
// at the same time each sign in on a port that was free when theirs started, not on the adapter's
// one fixed port.
const std::string& RedirectOfThisProcess() {
    static const std::string url = [] {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("no free loopback port for the sign-in");
        ::close(fd);
        return "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";
    }();
    return url;
}

AdapterTest::TAdapterKind DropBox2Kind() {
    return {.Name = "DropBox2",
            .Service = Cloud::Dropbox,
            .RedirectUrl = RedirectOfThisProcess(),
            // Pages smaller than the service's largest, so that listings of several pages stay small.
            .Create =
                [] {
                    auto storage = std::make_unique<TNimboDropBox2>();
                    storage->SetListPageSize(SmallPage);
                    return storage;
                },
            .PageSize = SmallPage,
            .HashAlgorithm = THashAlgorithm::DropboxContent,
            .UniqueNames = true,
            .CopiesFolders = true,
            .MissingStatus = 409,
            .DownloadMethod = "POST"};
}

[[maybe_unused]] const bool registered = AdapterTest::RegisterAdapterKind(DropBox2Kind());

// An answer the emulator gives in the service's place.
Nimbo::Emulator::Fault Answer(int AStatus, std::string ABody) {
    Nimbo::Emulator::Fault fault;
    fault.status = AStatus;
    fault.body = std::move(ABody);
    return fault;
}

std::string Path(const RecordedRequest& ARequest) { return ARequest.path; }

std::vector<std::string> Paths(const std::vector<RecordedRequest>& ARequests) {
    std::vector<std::string> paths;
    std::transform(ARequests.begin(), ARequests.end(), std::back_inserter(paths), Path);
    return paths;
}

class DropBox2Adapter : public AdapterTest::TAdapterFixture {
protected:
    DropBox2Adapter() : TAdapterFixture(DropBox2Kind()) {}

    TNimboDropBox2& Drive() { return dynamic_cast<TNimboDropBox2&>(Storage()); }

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

TEST(DropBox2Argument, IsAsciiWithEscapesForWhatIsNot) {
    struct TCase {
        std::string Text;
        std::string Json;
    } cases[] = {
        {"/plain name.txt", R"("/plain name.txt")"},
        {"/quo\"te\\", R"("/quo\"te\\")"},
        {"/é", R"("/\u00e9")"},
        {"/50%", R"("/50\u0025")"},
        {"/\xF0\x9F\x98\x80", R"("/\ud83d\ude00")"},
    };
    for (const TCase& c : cases) EXPECT_EQ(TNimboDropBox2::AsciiJson(c.Text), c.Json) << c.Text;
    EXPECT_THROW(TNimboDropBox2::AsciiJson("/\xC3"), EArgumentException);
}

TEST_F(DropBox2Adapter, ListingContinuesUntilTheLastPage) {
    Emu().AddFolder(Cloud::Dropbox, "Big");
    for (int i = 0; i < 2 * SmallPage + 10; ++i)
        Emu().AddFile(Cloud::Dropbox, "Big/f" + std::to_string(10000 + i), "x");
    const TNimboCloudFile big = Child(Storage().Root(), "Big");
    Emu().ClearRequests();

    EXPECT_EQ(big.Files().size(), 2u * SmallPage + 10);
    const std::vector<RecordedRequest> requests = Requests();
    EXPECT_THAT(Paths(requests), ::testing::ElementsAre("/2/files/list_folder", "/2/files/list_folder/continue",
                                                        "/2/files/list_folder/continue"));
    EXPECT_THAT(requests.front().body, ::testing::HasSubstr("\"limit\":" + std::to_string(SmallPage)));
}

TEST_F(DropBox2Adapter, ATokenThatExpiresInTheMiddleOfAListingIsRenewedAndTheListingGoesOn) {
    Emu().AddFolder(Cloud::Dropbox, "Long");
    for (int i = 0; i < SmallPage + 5; ++i) Emu().AddFile(Cloud::Dropbox, "Long/g" + std::to_string(1000 + i), "y");
    const TNimboCloudFile folder = Child(Storage().Root(), "Long");
    Emu().ClearRequests();

    std::size_t listed = 0;
    folder.Files([&](const TNimboCloudFile&) {
        if (listed++ == 0) Emu().ExpireAccessTokens(Cloud::Dropbox);  // while the first page is handed out
    });
    EXPECT_EQ(listed, SmallPage + 5u);
    EXPECT_THAT(Paths(Requests()), ::testing::ElementsAre("/2/files/list_folder", "/2/files/list_folder/continue",
                                                          "/oauth2/token", "/2/files/list_folder/continue"));
}

TEST_F(DropBox2Adapter, NamesWithSpacesAndReservedCharactersArriveAsWritten) {
    const std::vector<std::string> names = {"it's here.txt", "a #1 + 50% é.txt", "plus+sign.txt"};
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

TEST_F(DropBox2Adapter, SignsInForOfflineAccessWithPkce) {
    Storage().RefreshAccess();
    const std::vector<std::string> visited = TNimboHeadlessAuth::Visited();
    ASSERT_FALSE(visited.empty());
    EXPECT_THAT(visited.front(), ::testing::HasSubstr("token_access_type=offline"));
    EXPECT_THAT(visited.front(), ::testing::HasSubstr("code_challenge_method=S256"));
    EXPECT_FALSE(Storage().GetRefresh().empty()) << "offline access gives a refresh token";
}

TEST_F(DropBox2Adapter, ATokenTheServiceCallsExpiredIsRenewedOnceAndTheCallRepeated) {
    Emu().AddFile(Cloud::Dropbox, "kept.txt", "kept");
    Storage().RefreshAccess();
    const std::string before = Storage().GetToken();
    Emu().ExpireAccessTokens(Cloud::Dropbox);
    Emu().ClearRequests();

    EXPECT_EQ(Names(Storage().Root()), std::vector<std::string>{"kept.txt"});
    EXPECT_NE(Storage().GetToken(), before);
    EXPECT_THAT(Paths(Requests()),
                ::testing::ElementsAre("/2/files/list_folder", "/oauth2/token", "/2/files/list_folder"));

    // A token refused again after its renewal is not renewed a second time for the same call.
    Emu().ExpireAccessTokens(Cloud::Dropbox);
    Emu().InjectFault(
        {"api.dropboxapi.com", "POST", "/2/files/list_folder"},
        Answer(401, R"({"error_summary": "expired_access_token/..", "error": {".tag": "expired_access_token"}})"), 2);
    Emu().ClearRequests();
    EXPECT_THAT([&] { Storage().Root().Files(); },
                ::testing::Throws<EDropBox2Error>(::testing::Property(&EDropBox2Error::ErrorCode, 401)));
    EXPECT_THAT(Paths(Requests()),
                ::testing::ElementsAre("/2/files/list_folder", "/oauth2/token", "/2/files/list_folder"));
}

TEST_F(DropBox2Adapter, APublicClientSignsInWithoutASecret) {
    Emu().AddFile(Cloud::Dropbox, "public.txt", "p");
    const std::unique_ptr<TNimboStorage> storage = NewStorage();
    storage->SetSecret("");
    EXPECT_EQ(Names(storage->Root()), std::vector<std::string>{"public.txt"});
    for (const RecordedRequest& request : Requests("api.dropboxapi.com")) {
        if (request.path == "/oauth2/token") {
            EXPECT_THAT(request.body + request.query, ::testing::Not(::testing::HasSubstr("client_secret")));
        }
    }
}

TEST_F(DropBox2Adapter, AListingTheServiceResetsStartsAgainAndDeliversEachEntryOnce) {
    Emu().AddFile(Cloud::Dropbox, "a.txt", "a");
    Emu().AddFile(Cloud::Dropbox, "b.txt", "b");
    // A first page with one entry and a cursor that the service then resets.
    Emu().InjectFault(
        {"api.dropboxapi.com", "POST", "/2/files/list_folder"},
        Answer(200, R"({"entries": [{".tag": "file", "name": "a.txt", "path_lower": "/a.txt", )"
                    R"("path_display": "/a.txt", "id": "id:first-page", "rev": "0123456789", "size": 1}], )"
                    R"("cursor": "stale", "has_more": true})"),
        1);
    Emu().InjectFault({"api.dropboxapi.com", "POST", "/2/files/list_folder/continue"},
                      Answer(409, R"({"error_summary": "reset/..", "error": {".tag": "reset"}})"), 1);
    EXPECT_EQ(Names(Storage().Root()), (std::vector<std::string>{"a.txt", "b.txt"}));
}

TEST_F(DropBox2Adapter, RefusalsNameTheServicesSummaryOrItsPlainText) {
    Emu().AddFile(Cloud::Dropbox, "x.txt", "x");
    const TNimboCloudFile file = Child(Storage().Root(), "x.txt");
    Emu().InjectFault({"content.dropboxapi.com", "POST", "/2/files/download"},
                      Answer(400, "Error in call to API function \"files/download\": bad argument\nmore"), 1);
    EXPECT_THAT([&] { Content(file); },
                ::testing::ThrowsMessage<EDropBox2Error>(::testing::EndsWith(
                    "(400 Bad Request): Error in call to API function \"files/download\": bad argument")));
    TNimboCloudFile(Child(Storage().Root(), "x.txt")).Delete();
    EXPECT_THAT([&] { Content(file); },
                ::testing::Throws<EDropBox2Error>(::testing::AllOf(
                    ::testing::Property(&EDropBox2Error::Tag, "path"),
                    ::testing::Property(&EDropBox2Error::Message, ::testing::HasSubstr("path/not_found")))));
}

TEST_F(DropBox2Adapter, AnUploadSessionGoesOnFromTheOffsetTheServiceSaysItHolds) {
    Drive().SetUploadSettings({.SingleRequestLimit = 1000, .ChunkSize = 1000, .MaxResumptions = 3});
    std::string content(3500, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>('a' + i % 23);
    Storage().RefreshAccess();
    // The second part is stored, but its answer is cut short: the part is sent again at the same
    // offset, and the service's incorrect_offset answer tells where to go on from.
    const Nimbo::Emulator::Route append{"content.dropboxapi.com", "POST", "/2/files/upload_session/append_v2"};
    Emu().ClearRequests();
    Emu().InjectFault(append, Nimbo::Emulator::Fault{}, 1);  // the first part as usual
    Emu().InjectFault(append, AdapterTest::Truncated(), 1);
    std::istringstream in(content);
    const TNimboCloudFile file = Storage().Root().createFile("session.bin", in);
    EXPECT_EQ(Content(file), content);

    std::vector<int> statuses;
    for (const RecordedRequest& request : Requests("content.dropboxapi.com"))
        if (request.path == append.pathPrefix) statuses.push_back(request.status);
    EXPECT_THAT(statuses, ::testing::ElementsAre(200, 200, 409, 200, 200));
}

TEST_F(DropBox2Adapter, ANameWithASlashOrNoNameIsRefusedBeforeAnyRequest) {
    const TNimboCloudFile root = Storage().Root();
    Storage().RefreshAccess();
    Emu().ClearRequests();
    for (const std::string name : {"a/b", ""}) {
        std::istringstream in("x");
        EXPECT_THROW(root.CreateFolder(name), EArgumentException) << name;
        EXPECT_THROW(root.createFile(name, in), EArgumentException) << name;
    }
    EXPECT_TRUE(Requests().empty());
    EXPECT_TRUE(Emu().Children(Cloud::Dropbox, "").empty());
}

TEST_F(DropBox2Adapter, NewFilesAndVersionsCarryTheirContentHashAndANewFileNeverOverwrites) {
    Emu().AddFile(Cloud::Dropbox, "v.txt", "one");
    const TNimboCloudFile file = Child(Storage().Root(), "v.txt");
    Emu().ClearRequests();
    std::istringstream two("two");
    file.Upload(two);
    const std::vector<RecordedRequest> uploads = Requests("content.dropboxapi.com");
    ASSERT_EQ(uploads.size(), 1u);
    std::string arg;
    for (const auto& [name, value] : uploads[0].headers)
        if (name == "Dropbox-API-Arg") arg = value;
    EXPECT_THAT(arg, ::testing::HasSubstr(R"("mode":"overwrite")"));
    const auto hasher = TContentHasher::Create(THashAlgorithm::DropboxContent);
    hasher->Update("two", 3);
    EXPECT_THAT(arg, ::testing::HasSubstr("\"content_hash\":\"" + hasher->Finish() + "\""));
    EXPECT_EQ(Content(Child(Storage().Root(), "v.txt")), "two");

    std::istringstream other("other");
    EXPECT_THAT([&] { Storage().Root().createFile("v.txt", other); },
                ::testing::ThrowsMessage<ERestError>(::testing::HasSubstr("\"v.txt\"")));
    EXPECT_EQ(Content(Child(Storage().Root(), "v.txt")), "two");
}

}  // namespace

namespace {

TEST_F(DropBox2Adapter, SignsInThroughTheLoopbackWithPkce) {
    try {
        Storage().RefreshAccess();
    } catch (const Exception& E) {
        std::string visited;
        for (const std::string& url : TNimboHeadlessAuth::Visited()) visited += url + "\n";
        FAIL() << E.Message() << "\n" << visited;
    }
}

}  // namespace
