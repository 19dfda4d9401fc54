// The OneDrive adapter on Microsoft Graph against the emulator: what is particular to it beyond the
// storage contract (the public client's sign-in and rotating refresh tokens, paging by next links,
// names in path addressing, the download's redirect, copies watched through a monitor, the error
// format and throttling).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>

#include "AdapterTestSupport.h"
#include "Nimbo/Connection/ContentHash.h"
#include "Nimbo/Connection/HeadlessAuth.h"
#include "Nimbo/Connection/OneDriveGraph.h"

using namespace Nimbo::Connection;
using AdapterTest::ClientId;
using AdapterTest::HeaderOf;
using Nimbo::Emulator::Cloud;
using Nimbo::Emulator::Fault;
using Nimbo::Emulator::RecordedRequest;
using Nimbo::Emulator::Route;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;
using ::testing::ThrowsMessage;

namespace {

const std::string GraphHost = "graph.microsoft.com";
const std::string LoginHost = "login.microsoftonline.com";
const std::string DownloadHost = "public.dm.files.1drv.com";
const std::string MonitorHost = "api.onedrive.com";
const std::string ListQuery =
    "%24top=1000&%24select=id%2Cname%2Csize%2CcreatedDateTime%2ClastModifiedDateTime%2Cfile%2Cfolder%2CparentReference";

AdapterTest::TAdapterKind GraphKind() {
    return {.Name = "OneDriveGraph",
            .Service = Cloud::LiveConnect,
            .RedirectUrl = TOAuthClient::LoopbackRedirectUrl,
            .Create = [] { return std::make_unique<TNimboOneDriveGraph>(); },
            .PageSize = TNimboOneDriveGraph::ListPageSize,
            .HashAlgorithm = THashAlgorithm::QuickXor,
            .UniqueNames = true,
            .CopiesFolders = true,
            .PublicClient = true};
}

[[maybe_unused]] const bool registered = AdapterTest::RegisterAdapterKind(GraphKind());

std::string Line(const RecordedRequest& ARequest) {
    return ARequest.method + " " + ARequest.host + ARequest.path + (ARequest.query.empty() ? "" : "?" + ARequest.query);
}

Fault Answer(int AStatus, std::string ABody = {}, std::optional<int> ARetryAfter = {}) {
    Fault fault;
    fault.status = AStatus;
    fault.body = std::move(ABody);
    fault.retryAfterSeconds = ARetryAfter;
    return fault;
}

const std::string Throttled =
    R"({"error": {"code": "activityLimitReached", "message": "The request has been throttled",
        "innerError": {"code": "throttledRequest"}}})";

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

class GraphAdapter : public AdapterTest::TAdapterFixture {
protected:
    GraphAdapter() : TAdapterFixture(GraphKind()) {}

    TNimboOneDriveGraph& Graph() { return dynamic_cast<TNimboOneDriveGraph&>(Storage()); }

    void SignIn() {
        Storage().RefreshAccess();
        Emu().ClearRequests();
    }

    // Gives the component these tokens as a saved state: version 1, client id, token, refresh
    // token, expiry (a little-endian double), user name; texts with a one-byte length.
    void LoadTokens(const std::string& AToken, const std::string& ARefresh, TDateTime AExpires) {
        const auto prefixed = [](const std::string& AText) { return char(AText.size()) + AText; };
        char expires[sizeof(double)];
        std::memcpy(expires, &AExpires, sizeof expires);
        std::istringstream state("\x01" + prefixed(ClientId) + prefixed(AToken) + prefixed(ARefresh) +
                                 std::string(expires, sizeof expires) + prefixed(""));
        Storage().LoadState(state);
    }

    std::string Content(const TNimboCloudFile& AFile) {
        std::ostringstream out;
        AFile.Download(out);
        return out.str();
    }
};

// ---- sign-in and the account ----

TEST_F(GraphAdapter, APublicClientSignsInWithPkceAndNoSecretAndReadsTheOwner) {
    Emu().SetAccountName(Cloud::LiveConnect, "Ada Lovelace");
    EXPECT_THAT(Storage().Root().Files(), IsEmpty());

    const std::vector<std::string> visited = TNimboHeadlessAuth::Visited();
    ASSERT_FALSE(visited.empty());
    EXPECT_THAT(visited.front(), StartsWith("https://login.microsoftonline.com/common/oauth2/v2.0/authorize?"));
    EXPECT_THAT(visited.front(), HasSubstr("scope=Files.ReadWrite%20offline_access%20User.Read"));
    EXPECT_THAT(visited.front(), HasSubstr("code_challenge_method=S256"));

    const std::vector<RecordedRequest> tokens = Requests(LoginHost);
    ASSERT_FALSE(tokens.empty());
    EXPECT_THAT(tokens.back().body, AllOf(HasSubstr("code_verifier="), Not(HasSubstr("client_secret"))));
    EXPECT_EQ(Graph().GetUserName(), "Ada Lovelace");
}

TEST_F(GraphAdapter, AnotherTenantSignsInThere) {
    Graph().SetTenant("consumers");
    Storage().Root().Files();
    EXPECT_THAT(TNimboHeadlessAuth::Visited().front(),
                StartsWith("https://login.microsoftonline.com/consumers/oauth2/v2.0/authorize?"));
}

TEST_F(GraphAdapter, EveryRenewalKeepsTheNewRefreshToken) {
    SignIn();
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const std::string spent = Storage().GetRefresh();
        ASSERT_FALSE(spent.empty());
        LoadTokens(Storage().GetToken(), spent, Now() - 1.0 / (24 * 60));
        Emu().ClearRequests();
        Storage().Root().Files();
        const std::vector<RecordedRequest> tokens = Requests(LoginHost);
        ASSERT_EQ(tokens.size(), 1u);
        EXPECT_THAT(tokens.front().body, AllOf(HasSubstr("grant_type=refresh_token"),
                                               HasSubstr("refresh_token=" + THttpClient::UrlEncode(spent))));
        // The one sent is spent: only the new one renews next time.
        EXPECT_NE(Storage().GetRefresh(), spent);
    }
}

// ---- listings and names ----

TEST_F(GraphAdapter, ListingFollowsTheNextLinksVerbatimToTheEnd) {
    const std::string liveId = Emu().AddFolder(Cloud::LiveConnect, "Big");
    const std::string bigId = liveId.substr(liveId.rfind('.') + 1);
    for (int i = 0; i < 2100; ++i) Emu().AddFile(Cloud::LiveConnect, "Big/f" + std::to_string(10000 + i), "x");
    const TNimboCloudFile big = Child(Storage().Root(), "Big");
    Emu().ClearRequests();

    std::vector<std::string> names;
    for (const TNimboCloudFile& file : big.Files()) names.push_back(file.GetName());
    ASSERT_EQ(names.size(), 2100u);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(std::unique(names.begin(), names.end()), names.end());

    const std::vector<RecordedRequest> requests = Requests(GraphHost);
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(Line(requests[0]), "GET graph.microsoft.com/v1.0/me/drive/items/" + bigId + "/children?" + ListQuery);
    EXPECT_NE(requests[1].query, requests[2].query);
    for (const RecordedRequest& next : {requests[1], requests[2]})
        EXPECT_EQ(HeaderOf(next, "Authorization"), "Bearer " + Storage().GetToken());
}

TEST_F(GraphAdapter, NamesWithReservedCharactersSurviveThePathAddressing) {
    SignIn();
    const TNimboCloudFile root = Storage().Root();
    for (const std::string name : {"a b.txt", "c#d.txt", "50%.txt", "x+y.txt", "it's.txt", "caf\xC3\xA9.txt"}) {
        SCOPED_TRACE(name);
        Emu().ClearRequests();
        std::istringstream content("content of " + name);
        const TNimboCloudFile file = root.createFile(name, content);
        EXPECT_EQ(file.GetName(), name);
        const std::vector<RecordedRequest> requests = Requests(GraphHost);
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(requests.back().method, "PUT");
        EXPECT_EQ(requests.back().path, "/v1.0/me/drive/items/root:/" + name + ":/content");
        EXPECT_EQ(Content(Child(root, name)), "content of " + name);

        root.CreateFolder("dir " + name);
        EXPECT_TRUE(Child(root, "dir " + name).GetIsFolder());
    }
}

// ---- content ----

TEST_F(GraphAdapter, TheDownloadFollowsTheRedirectWithoutTheBearerToken) {
    const std::string liveId = Emu().AddFile(Cloud::LiveConnect, "a.txt", "hello");
    const std::string id = liveId.substr(liveId.rfind('.') + 1);  // Graph's id ends the Live one
    const TNimboCloudFile file = Child(Storage().Root(), "a.txt");
    Emu().ClearRequests();

    EXPECT_EQ(Content(file), "hello");
    const std::vector<RecordedRequest> ask = Requests(GraphHost);
    ASSERT_EQ(ask.size(), 1u);
    EXPECT_EQ(Line(ask[0]), "GET graph.microsoft.com/v1.0/me/drive/items/" + id + "/content");
    EXPECT_EQ(ask[0].status, 302);
    const std::vector<RecordedRequest> pickup = Requests(DownloadHost);
    ASSERT_EQ(pickup.size(), 1u);
    EXPECT_EQ(HeaderOf(pickup[0], "Authorization"), "");
}

TEST_F(GraphAdapter, UploadSessionFragmentsCarryNoBearerToken) {
    Graph().SetUploadSettings({.SingleRequestLimit = 1000, .ChunkSize = TNimboOneDriveGraph::ChunkGranularity});
    SignIn();
    std::istringstream content(std::string(2 * TNimboOneDriveGraph::ChunkGranularity + 5, 'z'));
    const TNimboCloudFile file = Storage().Root().createFile("big.bin", content);
    EXPECT_EQ(file.GetSize(), 2 * TNimboOneDriveGraph::ChunkGranularity + 5);

    std::vector<RecordedRequest> fragments = Requests(MonitorHost);
    ASSERT_EQ(fragments.size(), 3u);
    for (const RecordedRequest& fragment : fragments) EXPECT_EQ(HeaderOf(fragment, "Authorization"), "");
    EXPECT_EQ(Line(Requests(GraphHost).front()),
              "POST graph.microsoft.com/v1.0/me/drive/items/root:/big.bin:/createUploadSession");
}

TEST_F(GraphAdapter, A100MiBUploadCutOffMidwayResumesAndArrivesWhole) {
    SignIn();
    std::string content(100 << 20, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 2654435761u) >> 13);
    Emu().InjectFault(Route{MonitorHost, "PUT", "/rup/"}, Fault{}, 4);
    Fault drop;
    drop.dropConnection = true;
    Emu().InjectFault(Route{MonitorHost, "PUT", "/rup/"}, drop, 1);

    std::istringstream stream(content);
    const TNimboCloudFile file = Storage().Root().createFile("big.bin", stream);
    EXPECT_EQ(file.GetSize(), std::int64_t{100} << 20);
    EXPECT_EQ(Content(file), content);

    const std::vector<RecordedRequest> session = Requests(MonitorHost);
    const auto status =
        std::find_if(session.begin(), session.end(), [](const RecordedRequest& R) { return R.method == "GET"; });
    ASSERT_NE(status, session.end()) << "the session was asked how far it got";
    ASSERT_NE(status + 1, session.end());
    EXPECT_EQ(HeaderOf(*(status + 1), "Content-Range"), HeaderOf(*(status - 1), "Content-Range"));
}

TEST_F(GraphAdapter, RefusesFragmentSizesTheServiceDoesNotTake) {
    for (const std::int64_t size : {std::int64_t{100000}, std::int64_t{TNimboOneDriveGraph::ChunkGranularity * 192}})
        EXPECT_THROW(Graph().SetUploadSettings({.SingleRequestLimit = 1000, .ChunkSize = size}), EArgumentException)
            << size;
}

// ---- copies ----

TEST_F(GraphAdapter, ACopyIsWatchedThroughItsMonitorUntilItCompletes) {
    Emu().AddFile(Cloud::LiveConnect, "Src/inner.txt", "inside");
    Emu().AddFolder(Cloud::LiveConnect, "Dst");
    const TNimboCloudFile root = Storage().Root();
    const TNimboCloudFile src = Child(root, "Src");
    const TNimboCloudFile dst = Child(root, "Dst");
    Emu().ClearRequests();

    const TNimboCloudFile copy = src.Copy(dst, "Copied");
    EXPECT_EQ(copy.GetName(), "Copied");
    EXPECT_TRUE(copy.GetIsFolder());
    EXPECT_EQ(Content(Child(Child(dst, "Copied"), "inner.txt")), "inside");

    std::vector<RecordedRequest> polls = Requests(MonitorHost);
    ASSERT_FALSE(polls.empty());
    for (const RecordedRequest& poll : polls) {
        EXPECT_EQ(poll.method, "GET");
        EXPECT_EQ(HeaderOf(poll, "Authorization"), "");
    }
    EXPECT_EQ(polls.back().status, 200);
}

// ---- errors and throttling ----

TEST_F(GraphAdapter, TheServicesErrorBodyBecomesAnErrorNamingItsCode) {
    Emu().AddFile(Cloud::LiveConnect, "gone.txt", "x");
    const TNimboCloudFile file = Child(Storage().Root(), "gone.txt");
    Child(Storage().Root(), "gone.txt").Delete();
    try {
        Content(file);
        FAIL() << "the download of a removed item succeeded";
    } catch (const EGraphError& E) {
        EXPECT_EQ(E.Code(), "itemNotFound");
        EXPECT_EQ(E.ErrorCode(), 404);
        EXPECT_THAT(E.what(), HasSubstr("itemNotFound"));
    }
}

TEST_F(GraphAdapter, ThrottlingIsWaitedOutForReadsOnly) {
    const TImmediateRetries immediate;
    SignIn();
    Emu().InjectFault(Route{GraphHost, "GET", "/v1.0/me/drive/items/root/children"}, Answer(429, Throttled, 1));
    EXPECT_THAT(Storage().Root().Files(), IsEmpty());
    EXPECT_EQ(Requests(GraphHost).size(), 2u);

    Emu().ClearRequests();
    Emu().InjectFault(Route{GraphHost, "POST", "/v1.0/me/drive/items/root/children"}, Answer(503, Throttled, 1));
    EXPECT_THAT([&] { Storage().Root().CreateFolder("New"); },
                ThrowsMessage<EGraphError>(HasSubstr("activityLimitReached")));
    EXPECT_EQ(Requests(GraphHost).size(), 1u) << "a folder's creation is not repeated";
}

TEST_F(GraphAdapter, SpaceAndHashAlgorithm) {
    EXPECT_EQ(Storage().GetHashAlgorithm(), "quickxor");
    const TNimboSpace space = Storage().GetSpace();
    ASSERT_TRUE(space.Total.has_value());
    EXPECT_GE(*space.Total, space.Used);
}

}  // namespace
