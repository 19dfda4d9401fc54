#include "Nimbo/Connection/OneDriveGraph.h"

#include <charconv>
#include <chrono>
#include <optional>
#include <thread>

#include "Nimbo/Connection/ContentHash.h"
#include "Nimbo/Connection/DateFormats.h"
#include "Nimbo/Connection/Paging.h"
#include "Nimbo/Connection/UploadSource.h"

namespace Nimbo::Connection {

namespace {

const std::string ApiHost = "graph.microsoft.com";
const std::string DrivePath = "v1.0/me/drive";
const std::string ItemsPath = "v1.0/me/drive/items/";
const std::string MePath = "v1.0/me";

// What the item record needs of a driveItem.
const std::string ItemFields = "id,name,size,createdDateTime,lastModifiedDateTime,file,folder,parentReference";

const TPageTokenPaging ListPaging(TNimboOneDriveGraph::ListPageSize, "next link");

// A copy is polled at growing intervals, for ten minutes at most.
constexpr std::chrono::milliseconds FirstPoll{50};
constexpr std::chrono::milliseconds LongestPoll{2000};
constexpr std::chrono::minutes CopyPatience{10};

// One page of children; "@odata.nextLink" is absent on the last page.
struct TChildren {
    std::string nextLink;
    std::vector<TNimboOneDriveGraph::TItem> value;
    friend std::span<const TFieldInfo> NimboJsonFields(TChildren*) {
        static const std::vector<TFieldInfo> fields = [] {
            const TChildren probe{};
            return std::vector<TFieldInfo>{JsonDetail::MakeField(probe, "@odata.nextLink", &TChildren::nextLink),
                                           JsonDetail::MakeField(probe, "value", &TChildren::value)};
        }();
        return fields;
    }
};

struct TIdentity {
    std::string displayName;
    std::string email;
    NIMBO_JSON_FIELDS(TIdentity, displayName, email)
};
struct TOwner {
    TIdentity user;
    NIMBO_JSON_FIELDS(TOwner, user)
};
struct TQuota {
    std::int64_t total = -1;
    std::int64_t used = 0;
    NIMBO_JSON_FIELDS(TQuota, total, used)
};
struct TDrive {
    TOwner owner;
    TQuota quota;
    NIMBO_JSON_FIELDS(TDrive, owner, quota)
};
struct TMe {
    std::string displayName;
    std::string userPrincipalName;
    NIMBO_JSON_FIELDS(TMe, displayName, userPrincipalName)
};

struct TSessionAnswer {
    std::string uploadUrl;
    std::vector<std::string> nextExpectedRanges;
    NIMBO_JSON_FIELDS(TSessionAnswer, uploadUrl, nextExpectedRanges)
};

struct TMonitorError {
    std::string code;
    std::string message;
    NIMBO_JSON_FIELDS(TMonitorError, code, message)
};
struct TMonitor {
    std::string status;
    std::string resourceId;
    TMonitorError error;
    NIMBO_JSON_FIELDS(TMonitor, status, resourceId, error)
};

struct TErrorDetail {
    std::string code;
    std::string message;
    NIMBO_JSON_FIELDS(TErrorDetail, code, message)
};
struct TErrorAnswer {
    TErrorDetail error;
    NIMBO_JSON_FIELDS(TErrorAnswer, error)
};

std::optional<TErrorDetail> AsRefusal(const EHttpProtocolError& AAnswer) {
    try {
        TErrorAnswer answer;
        TJsonDecoder(AAnswer.ErrorMessage()).Decode(answer);
        if (answer.error.code.empty()) return std::nullopt;
        return answer.error;
    } catch (const Exception&) {
        return std::nullopt;
    }
}

std::string RefusalMessage(const EHttpProtocolError& AAnswer, const std::string& ACode, const std::string& AMessage) {
    return "OneDrive refused the request (" + std::string(AAnswer.what()) + ", " + ACode + "): " + AMessage;
}

TOAuthTable OAuthTable(const std::string& ATenant, bool APublic) {
    const std::string base = "https://login.microsoftonline.com/" + THttpClient::UrlEncode(ATenant) + "/oauth2/v2.0/";
    return {.SignIns = {{TSignInKind::Loopback, base + "authorize", base + "token"}},
            .RedirectUrl = {},
            .ClientAuth = APublic ? TClientAuth::PublicClient : TClientAuth::SecretInForm,
            .Pkce = true,
            .RotatingRefresh = true};
}

TNimboOneDriveGraph::TItem Identified(TNimboOneDriveGraph::TItem AItem) {
    if (AItem.id.empty()) throw ERestError("The service answered without the item's id");
    return AItem;
}

// A child addressed by name under its folder: items/{folder}:/{name}:
std::string ChildPath(const std::string& AFolderId, const std::string& AName) {
    return ItemsPath + THttpClient::UrlEncode(AFolderId) + ":/" + THttpClient::UrlEncode(AName) + ":";
}

std::string ItemPath(const std::string& AId) { return ItemsPath + THttpClient::UrlEncode(AId); }

// The first byte the session still wants, from nextExpectedRanges ("12345-" or "12345-67890").
std::int64_t FirstExpected(const std::vector<std::string>& ARanges) {
    if (ARanges.empty()) return 0;
    const std::string& range = ARanges.front();
    std::int64_t first = -1;
    const auto [stop, error] = std::from_chars(range.data(), range.data() + range.size(), first);
    if (error != std::errc() || first < 0 || stop == range.data() + range.size() || *stop != '-')
        throw ERestError("The service reports an upload's progress as \"" + range + "\", which is not a byte range");
    return first;
}

// Where a request's 302 answer points; the Graph answer itself becomes an error otherwise.
std::string RedirectTarget(THttpRequest ARequest) {
    try {
        ARequest.Execute();
    } catch (const EHttpProtocolError& E) {
        if (E.ErrorCode() != 302) throw;
        const std::string location = ARequest.ResponseHeader("Location");
        if (location.empty()) throw ERestError("The service gave no address for the content of the download");
        return location;
    }
    throw ERestError("The service answered the download without the address of its content");
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// EGraphError

EGraphError::EGraphError(const EHttpProtocolError& AAnswer, std::string ACode, std::string AServiceMessage)
    : EHttpProtocolError(AAnswer.ErrorCode(), AAnswer.StatusText(), AAnswer.ErrorMessage(), AAnswer.RetryAfter(),
                         RefusalMessage(AAnswer, ACode, AServiceMessage)),
      FCode(std::move(ACode)),
      FServiceMessage(std::move(AServiceMessage)) {}

template <class TCall>
decltype(auto) TNimboOneDriveGraph::Translated(TCall&& ACall) {
    try {
        return ACall();
    } catch (const EOAuthError&) {
        throw;
    } catch (const EGraphError&) {
        throw;
    } catch (const EHttpProtocolError& E) {
        const std::optional<TErrorDetail> refusal = AsRefusal(E);
        if (!refusal) throw;
        throw EGraphError(E, refusal->code, refusal->message);
    }
}

// ---------------------------------------------------------------------------------------------
// TNimboOneDriveGraphState

std::string TNimboOneDriveGraphState::DefaultRedirectUrl() const { return TOAuthClient::LoopbackRedirectUrl; }

// ---------------------------------------------------------------------------------------------
// TNimboOneDriveGraphData

void TNimboOneDriveGraphData::SetInfo(TNimboOneDriveGraph::TItem AItem) {
    TNimboItemInfo info{.Id = std::move(AItem.id),
                        .Name = std::move(AItem.name),
                        .IsFolder = AItem.folder.childCount >= 0,
                        .Size = AItem.size,
                        .MimeType = std::move(AItem.file.mimeType),
                        .Created = TRfc3339::MomentFromStr(AItem.createdDateTime, MinDateTime),
                        .Modified = TRfc3339::MomentFromStr(AItem.lastModifiedDateTime, MinDateTime),
                        .Hash = std::move(AItem.file.hashes.quickXorHash)};
    if (!info.Hash.empty()) info.HashAlgorithm = THashAlgorithm::QuickXor;
    AssignInfo(std::move(info));
}

// ---------------------------------------------------------------------------------------------
// TNimboOneDriveGraph: component

TNimboOneDriveGraph::TNimboOneDriveGraph(TComponent* AOwner)
    : TNimboStorage(AOwner), FRoot(std::make_shared<TNimboOneDriveGraphData>(*this, GetRootInfo())) {}

TNimboOneDriveGraph::TItem TNimboOneDriveGraph::GetRootInfo() {
    TItem root;
    root.id = "root";
    root.folder.childCount = 0;
    return root;
}

std::string TNimboOneDriveGraph::GetServerName() const { return ApiHost; }

TServiceStateClass TNimboOneDriveGraph::GetStateClass() const {
    return TServiceStateClass::Of<TNimboOneDriveGraphState>();
}

void TNimboOneDriveGraph::DoSaveState(TBinaryWriter& AWriter) const { AWriter.Write(FUserName); }

TApplyState TNimboOneDriveGraph::DoLoadState(TBinaryReader& AReader) {
    return [this, userName = AReader.ReadString()] { FUserName = userName; };
}

void TNimboOneDriveGraph::SetUploadSettings(const TSessionUploadSettings& AValue) {
    CheckSessionUploadSettings(AValue);
    if (AValue.ChunkSize % ChunkGranularity != 0 || AValue.ChunkSize >= MaxChunkSize)
        throw EArgumentException("The fragment size of an upload session must be a multiple of " +
                                 std::to_string(ChunkGranularity) + " bytes below " + std::to_string(MaxChunkSize));
    FUploadSettings = AValue;
}

void TNimboOneDriveGraph::SetScope(const std::string& AValue) {
    if (AValue == FScope) return;
    FScope = AValue;
    State().ResetToken();
}

void TNimboOneDriveGraph::SetTenant(const std::string& AValue) {
    if (AValue.empty()) throw EArgumentException("The tenant must not be empty");
    if (AValue == FTenant) return;
    FTenant = AValue;
    State().ResetToken();
}

THttpRequest::TConfigProc TNimboOneDriveGraph::Authorization() const {
    return [token = GetToken()](THttpRequest R) { R.Header("Authorization", "Bearer " + token); };
}

// ---------------------------------------------------------------------------------------------
// TNimboOneDriveGraph: tokens and the account

void TNimboOneDriveGraph::RefreshAccess() {
    // A public client has no secret to check.
    if (GetClientId().empty()) throw ERestError("ClientId is not specified");
    if (GetRedirectUrl().empty()) throw ERestError("RedirectUrl is not specified");
    const TOAuthTable table = OAuthTable(FTenant, GetSecret().empty());
    const TOAuthClient client(table);
    if (client.EnsureAccess(State(), Http(), {.Scope = FScope, .Covered = {}, .OnNewToken = {}}))
        FUserName = ReadUserName();
}

// The drive's owner, else the profile; the sign-in stands without it.
std::string TNimboOneDriveGraph::ReadUserName() {
    try {
        TDrive drive;
        Http().Get(DrivePath).Configure(Authorization()).ValidResponse(200).SafeToRepeat().Execute(drive);
        if (!drive.owner.user.displayName.empty()) return drive.owner.user.displayName;
        TMe me;
        Http().Get(MePath).Configure(Authorization()).ValidResponse(200).SafeToRepeat().Execute(me);
        return me.displayName.empty() ? me.userPrincipalName : me.displayName;
    } catch (const Exception&) {
        return {};
    }
}

std::string TNimboOneDriveGraph::GetUserName() {
    RefreshAccess();
    if (FUserName.empty()) FUserName = ReadUserName();
    return FUserName;
}

// ---------------------------------------------------------------------------------------------
// TNimboOneDriveGraph: the upload session

// The session's address comes from createUploadSession; fragments go there without the bearer
// token. The service answers 202 with the ranges it still expects, and the item with the last
// fragment. A session it no longer knows (404) is begun anew and the content sent again.
class TNimboOneDriveGraph::TSession : public TSessionUploadSteps {
public:
    TSession(TNimboOneDriveGraph& AGraph, const std::string& APath, TUploadSource& ASource, const std::string& AName)
        : FGraph(AGraph), FPath(APath), FSource(ASource), FName(AName) {}

    std::int64_t Start() override {
        Begin();
        return 0;
    }

    TSessionHeld SendPart(std::int64_t AOffset, std::int64_t ACount) override {
        const THttpRequest part = FGraph.Http().Put(FUrl).Header("Content-Range", ChunkRange(AOffset, ACount, Total()));
        const std::optional<TSessionHeld> held = Step(FSource.AddTo(part, AOffset, ACount));
        if (!held) throw ESessionOffset(0);
        return *held;
    }

    std::optional<TSessionHeld> AskHeld() override {
        // The status answers 200 with the ranges still expected.
        TSessionAnswer status;
        try {
            FGraph.Http().Get(FUrl).ValidResponse(200).SafeToRepeat().Execute(status);
        } catch (const EHttpProtocolError& E) {
            if (E.ErrorCode() != 404) throw;
            Begin();
            return TSessionHeld{};
        }
        return TSessionHeld{.Bytes = FirstExpected(status.nextExpectedRanges)};
    }

    void Commit() override {
        throw ERestError("The service did not complete the upload of \"" + FName + "\" after all of its " +
                         std::to_string(Total()) + " bytes arrived");
    }

    void Abandon() override {
        if (FUrl.empty()) return;
        try {
            // Sent also when the upload was stopped through the progress handler.
            const THttpProgressScope unreported({});
            FGraph.Http().Delete(FUrl).ValidResponse({200, 204}).Execute();
        } catch (const Exception&) {
            // the session expires on its own
        }
    }

    const TItem& Item() const { return FItem; }

private:
    std::int64_t Total() const { return FSource.Size().value_or(0); }

    void Begin() {
        TSessionAnswer answer;
        FGraph.Http()
            .Post(FPath)
            .Configure(FGraph.Authorization())
            .BeginJson(THttpRequest::jvBeginObject, true)
            .Prop("item", THttpRequest::jvBeginObject)
            .Prop("@microsoft.graph.conflictBehavior", "replace")
            .EndObject()
            .EndJson()
            .ValidResponse(200)
            .Execute(answer);
        FUrl = answer.uploadUrl;
        if (FUrl.empty()) throw ERestError("The service began no upload session for \"" + FName + "\"");
    }

    // What the session holds after the request; nothing when the session was gone and a new one
    // has begun.
    std::optional<TSessionHeld> Step(THttpRequest ARequest) {
        std::string answer;
        int status = 0;
        try {
            status = ARequest.ValidResponse({200, 201, 202}).Execute(answer);
        } catch (const EHttpProtocolError& E) {
            if (E.ErrorCode() != 404) throw;
            Begin();
            return std::nullopt;
        }
        if (status == 202) {
            TSessionAnswer progress;
            TJsonDecoder(answer).Decode(progress);
            return TSessionHeld{.Bytes = FirstExpected(progress.nextExpectedRanges)};
        }
        TJsonDecoder(answer).Decode(FItem);
        return TSessionHeld{.Complete = true};
    }

    TNimboOneDriveGraph& FGraph;
    const std::string& FPath;
    TUploadSource& FSource;
    const std::string& FName;
    std::string FUrl;
    TItem FItem;
};

TNimboOneDriveGraph::TItem TNimboOneDriveGraph::SendContent(std::istream& AStream, const std::string& AName,
                                                            const std::string& ASimplePath,
                                                            const std::string& ASessionPath) {
    TUploadSource source(AStream, FUploadSettings.SingleRequestLimit);
    return Translated([&] {
        RefreshAccess();
        TItem item;
        if (!source.ExceedsLimit()) {
            Http()
                .Put(ASimplePath)
                .Configure(Authorization())
                .Header("Content-Type", "application/octet-stream")
                .Data(source.Whole())
                .ValidResponse({200, 201})
                .Execute(item);
            return Identified(std::move(item));
        }
        source.MakeMeasurable();
        TSession session(*this, ASessionPath, source, AName);
        RunSessionUpload(*this, source, session, FUploadSettings, "The upload of \"" + AName + "\"");
        return Identified(session.Item());
    });
}

// ---------------------------------------------------------------------------------------------
// TNimboOneDriveGraph: operations

void TNimboOneDriveGraph::GetFiles(TNimboCloudFileData& AData, const TFileProc& AProc) {
    const std::string path = ItemPath(DataAs<TNimboOneDriveGraphData>(AData).Info().Id) + "/children";
    Translated([&] {
        ListPages<TChildren>(
            *this, ListPaging,
            [&](const TPagePosition& APage) {
                // The next link is followed as the service wrote it.
                if (!APage.First) return Http().Get(APage.Token).Configure(Authorization()).ValidResponse(200);
                return Http()
                    .Get(path)
                    .Param("$top", std::to_string(APage.PageSize))
                    .Param("$select", ItemFields)
                    .Configure(Authorization())
                    .ValidResponse(200);
            },
            [&](TChildren& APage) {
                for (TItem& item : APage.value)
                    AProc(
                        TNimboCloudFile(std::make_shared<TNimboOneDriveGraphData>(AData, Identified(std::move(item)))));
                return TPageSummary{.Entries = APage.value.size(), .Next = std::move(APage.nextLink)};
            });
    });
}

void TNimboOneDriveGraph::Download(TNimboCloudFileData& AData, std::ostream& AStream) {
    const std::string path = ItemPath(DataAs<TNimboOneDriveGraphData>(AData).Info().Id) + "/content";
    Translated([&] {
        RefreshAccess();
        const std::string location = RedirectTarget(
            Http().Get(path).Configure(Authorization()).FollowRedirects(false).SafeToRepeat().ValidResponse(302));
        // The address carries its own authorization: the bearer token stays with Graph.
        Http().Get(location).ValidResponse(200).SafeToRepeat().Execute(AStream);
    });
}

bool TNimboOneDriveGraph::CanDownloadRanges(TNimboCloudFileData&) { return true; }

TRangeExchange TNimboOneDriveGraph::RangeExchange(TNimboCloudFileData& AData, std::int64_t AFirst, std::int64_t ALast) {
    const TNimboItemInfo& info = DataAs<TNimboOneDriveGraphData>(AData).Info();
    RefreshAccess();
    const THttpRequest address = Http()
                                     .Get(ItemPath(info.Id) + "/content")
                                     .Configure(Authorization())
                                     .FollowRedirects(false)
                                     .SafeToRepeat()
                                     .ValidResponse(302);
    // The range goes to the address the answer names, which carries its own authorization.
    return [this, address, first = AFirst, last = ALast, total = info.Size](std::ostream& AStream) {
        Translated(
            [&] { Http().Get(RedirectTarget(address)).ByteRange(first, last, total).SafeToRepeat().Execute(AStream); });
    };
}

void TNimboOneDriveGraph::Upload(TNimboCloudFileData& AData, std::istream& AStream) {
    auto& item = DataAs<TNimboOneDriveGraphData>(AData);
    const std::string path = ItemPath(item.Info().Id);
    item.SetInfo(SendContent(AStream, item.Info().Name, path + "/content", path + "/createUploadSession"));
}

void TNimboOneDriveGraph::Delete(TNimboCloudFileData& AData) {
    Translated([&] {
        RefreshAccess();
        Http()
            .Delete(ItemPath(DataAs<TNimboOneDriveGraphData>(AData).Info().Id))
            .Configure(Authorization())
            .ValidResponse({200, 204})
            .Execute();
    });
}

AutoFree<TNimboCloudFileData> TNimboOneDriveGraph::CreateFolder(TNimboCloudFileData& AData, const std::string& AName) {
    const std::string& folderId = DataAs<TNimboOneDriveGraphData>(AData).Info().Id;
    TItem item = GuardNameTaken(409, "nameAlreadyExists", AName, AData.Info().Name, [&] {
        return Translated([&] {
            RefreshAccess();
            TItem created;
            Http()
                .Post(ItemPath(folderId) + "/children")
                .Configure(Authorization())
                .BeginJson(THttpRequest::jvBeginObject, true)
                .Prop("name", AName)
                .Prop("folder", THttpRequest::jvBeginObject)
                .EndObject()
                .Prop("@microsoft.graph.conflictBehavior", "fail")
                .EndJson()
                .ValidResponse({200, 201})
                .Execute(created);
            return Identified(std::move(created));
        });
    });
    return std::make_shared<TNimboOneDriveGraphData>(AData, std::move(item));
}

AutoFree<TNimboCloudFileData> TNimboOneDriveGraph::createFile(TNimboCloudFileData& AData, const std::string& AName,
                                                              std::istream& AStream) {
    const std::string path = ChildPath(DataAs<TNimboOneDriveGraphData>(AData).Info().Id, AName);
    return std::make_shared<TNimboOneDriveGraphData>(
        AData, SendContent(AStream, AName, path + "/content", path + "/createUploadSession"));
}

TNimboOneDriveGraph::TItem TNimboOneDriveGraph::Patched(const std::string& AId,
                                                        const std::function<void(THttpRequest::TJsonData)>& AWrite) {
    return Translated([&] {
        RefreshAccess();
        THttpRequest::TJsonData body =
            Http().Patch(ItemPath(AId)).Configure(Authorization()).BeginJson(THttpRequest::jvBeginObject, true);
        AWrite(body);
        TItem item;
        body.EndJson().ValidResponse(200).Execute(item);
        return Identified(std::move(item));
    });
}

void TNimboOneDriveGraph::Rename(TNimboCloudFileData& AData, const std::string& AName) {
    auto& item = DataAs<TNimboOneDriveGraphData>(AData);
    const std::string folder = item.Parent() != nullptr ? item.Parent()->Info().Name : std::string();
    item.SetInfo(GuardNameTaken(409, "nameAlreadyExists", AName, folder, [&] {
        return Patched(item.Info().Id, [&](THttpRequest::TJsonData AJson) { AJson.Prop("name", AName); });
    }));
}

void TNimboOneDriveGraph::Move(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder) {
    auto& item = DataAs<TNimboOneDriveGraphData>(AData);
    std::string folderId = DataAs<TNimboOneDriveGraphData>(AFolder).Info().Id;
    // A move to the root needs the root's real id.
    if (folderId == "root") folderId = ReadItem("root").id;
    item.SetInfo(GuardNameTaken(409, "nameAlreadyExists", item.Info().Name, AFolder.Info().Name, [&] {
        return Patched(item.Info().Id, [&](THttpRequest::TJsonData AJson) {
            AJson.Prop("parentReference", THttpRequest::jvBeginObject).Prop("id", folderId).EndObject();
        });
    }));
}

TNimboOneDriveGraph::TItem TNimboOneDriveGraph::ReadItem(const std::string& AId) {
    return Translated([&] {
        RefreshAccess();
        TItem item;
        Http()
            .Get(ItemPath(AId))
            .Param("$select", ItemFields)
            .Configure(Authorization())
            .ValidResponse(200)
            .SafeToRepeat()
            .Execute(item);
        return Identified(std::move(item));
    });
}

AutoFree<TNimboCloudFileData> TNimboOneDriveGraph::Copy(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder,
                                                        const std::string& AName) {
    const std::string& id = DataAs<TNimboOneDriveGraphData>(AData).Info().Id;
    std::string folderId = DataAs<TNimboOneDriveGraphData>(AFolder).Info().Id;
    if (folderId == "root") folderId = ReadItem("root").id;
    const std::string monitor = GuardNameTaken(409, "nameAlreadyExists", AName, AFolder.Info().Name, [&] {
        return Translated([&] {
            RefreshAccess();
            THttpRequest request = Http()
                                       .Post(ItemPath(id) + "/copy")
                                       .Configure(Authorization())
                                       .BeginJson(THttpRequest::jvBeginObject, true)
                                       .Prop("parentReference", THttpRequest::jvBeginObject)
                                       .Prop("id", folderId)
                                       .EndObject()
                                       .Prop("name", AName)
                                       .EndJson();
            request.ValidResponse(202).Execute();
            return request.ResponseHeader("Location");
        });
    });
    if (monitor.empty()) throw ERestError("The service gave no address to watch the copy of \"" + AName + "\"");

    // The monitor carries its own authorization, like the download address.
    const auto deadline = std::chrono::steady_clock::now() + CopyPatience;
    std::chrono::milliseconds wait = FirstPoll;
    for (;;) {
        TMonitor state;
        Translated([&] {
            Http().Get(monitor).FollowRedirects(false).ValidResponse({200, 202, 303}).SafeToRepeat().Execute(state);
        });
        if (state.status == "completed" && !state.resourceId.empty())
            return std::make_shared<TNimboOneDriveGraphData>(AFolder, ReadItem(state.resourceId));
        if (state.status == "failed" || state.status == "cancelled") {
            if (state.error.code == "nameAlreadyExists") RaiseNameTaken(AName, AFolder.Info().Name);
            throw ERestError("The copy of \"" + AData.Info().Name + "\" failed" +
                             (state.error.code.empty() ? "" : " (" + state.error.code + "): " + state.error.message));
        }
        if (std::chrono::steady_clock::now() > deadline)
            throw ERestError("The copy of \"" + AData.Info().Name + "\" did not complete in time");
        std::this_thread::sleep_for(wait);
        wait = std::min(wait * 2, LongestPoll);
    }
}

TNimboSpace TNimboOneDriveGraph::GetSpace() {
    const TQuota quota = Translated([&] {
        RefreshAccess();
        TDrive drive;
        Http().Get(DrivePath).Configure(Authorization()).ValidResponse(200).SafeToRepeat().Execute(drive);
        return drive.quota;
    });
    TNimboSpace space{.Used = quota.used};
    if (quota.total >= 0) space.Total = quota.total;
    return space;
}

std::string TNimboOneDriveGraph::GetHashAlgorithm() const { return THashAlgorithm::QuickXor; }

}  // namespace Nimbo::Connection
