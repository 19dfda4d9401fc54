#include "Nimbo/Connection/Microsoft.h"

#include <array>

#include "Nimbo/Connection/DateFormats.h"
#include "Nimbo/Connection/MimeTypes.h"

namespace Nimbo::Connection {

namespace {

const std::string LiveApiHost = "apis.live.net";
const std::string LiveLoginHost = "login.live.com";

const TOAuthTable OAuth{
    .SignIns = {{TSignInKind::Redirect, "https://" + LiveLoginHost + "/oauth20_authorize.srf",
                 "https://" + LiveLoginHost + "/oauth20_token.srf"}},
    .RedirectUrl = "https://" + LiveLoginHost + "/oauth20_desktop.srf",
    .RedirectWithRefresh = true,
};
const TOAuthClient OAuthClient(OAuth);

const std::string RootPath = "v5.0/me/skydrive";
const std::string AccountPath = "v5.0/me";

std::string ItemPath(const std::string& AId) { return "v5.0/" + AId; }

// Listings go by offset while the service names a next page.
const TOffsetPaging ListPaging(TNimboOneDrive::ListPageSize);

constexpr std::array<const char*, 5> ScopeTexts = {"wl.basic", "wl.offline_access", "wl.photos", "wl.skydrive",
                                                   "wl.skydrive_update"};

// An answer that should describe an item but names none (an empty object, some other record) must
// not become item data: the operations on such an item would address another one.
const TNimboOneDrive::TFileInfo& Identified(const TNimboOneDrive::TFileInfo& AInfo) {
    if (AInfo.id.empty()) throw ERestError("The service answered without the item's id");
    return AInfo;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TNimboOneDriveData

void TNimboOneDriveData::SetInfo(TNimboOneDrive::TFileInfo AInfo) {
    // Both dates are converted before anything is stored, so a bad one changes nothing.
    TNimboItemInfo info{.Id = std::move(AInfo.id),
                        .Name = std::move(AInfo.name),
                        .IsFolder = AInfo.type == "folder" || AInfo.type == "album",
                        .Size = AInfo.size,
                        .Created = TRfc3339::MomentFromStr(AInfo.created_time, MinDateTime),
                        .Modified = TRfc3339::MomentFromStr(AInfo.updated_time, MinDateTime)};
    FType = std::move(AInfo.type);
    AssignInfo(std::move(info));
}

// ---------------------------------------------------------------------------------------------
// TNimboOneDriveState

std::string TNimboOneDriveState::DefaultRedirectUrl() const { return OAuthClient.DefaultRedirectUrl(); }

// ---------------------------------------------------------------------------------------------
// TNimboOneDrive: component, scopes and saved state

const char* TNimboOneDrive::ScopeText(TNimboOneDriveScope AScope) { return ScopeTexts.at(AScope); }

TNimboOneDrive::TNimboOneDrive(TComponent* AOwner) : TNimboStorage(AOwner), FScopes(TNimboOneDriveScopes::All()) {}

std::string TNimboOneDrive::GetServerName() const { return LiveApiHost; }

TServiceStateClass TNimboOneDrive::GetStateClass() const { return TServiceStateClass::Of<TNimboOneDriveState>(); }

std::string TNimboOneDrive::GetUserName() {
    RefreshAccess();
    return FUserName;
}

std::string TNimboOneDrive::ScopesAsStr() const { return FScopes.Join(',', ScopeText); }

void TNimboOneDrive::DoSaveState(TBinaryWriter& AWriter) const {
    AWriter.Write(static_cast<std::int64_t>(FTokenScopes.ToByte()));
    AWriter.Write(FUserName);
}

TApplyState TNimboOneDrive::DoLoadState(TBinaryReader& AReader) {
    const auto tokenScopes = TNimboOneDriveScopes::FromByte(static_cast<std::uint8_t>(AReader.ReadInt64() & 0xFF));
    std::string userName = AReader.ReadString();
    return [this, tokenScopes, userName = std::move(userName)] {
        FTokenScopes = tokenScopes;
        FUserName = userName;
    };
}

std::string TNimboOneDrive::Bearer() const { return "Bearer " + GetToken(); }

// ---------------------------------------------------------------------------------------------
// TNimboOneDrive: tokens

void TNimboOneDrive::RefreshAccess() {
    CheckAuthParams();
    // A refresh token serves also when only the scopes grew; the renewal names no scope.
    const bool signedIn = OAuthClient.EnsureAccess(State(), Http(),
                                                   {.Scope = ScopesAsStr(),
                                                    .Covered = [this] { return FTokenScopes.ContainsAll(FScopes); },
                                                    .OnNewToken = [this] { FTokenScopes = FScopes; }});
    if (signedIn) FUserName = ReadAccountName(Http(), AccountPath, GetToken(), &TAbout::name);
}

// ---------------------------------------------------------------------------------------------
// TNimboOneDrive: the storage model

TNimboCloudFile TNimboOneDrive::GetRoot() {
    if (!FRootInited) {
        RefreshAccess();
        TFileInfo info;
        Http().Get(RootPath).Header("Authorization", Bearer()).ValidResponse(200).Execute(info);
        FRoot = TNimboCloudFile(std::make_shared<TNimboOneDriveData>(*this, info));
        FRootInited = true;
    }
    return FRoot;
}

// The service gives no media type: it follows from the name.
std::string TNimboOneDrive::GetMimeType(TNimboCloudFileData& AData) {
    return TMimeTypes::ByFileName(AData.Info().Name);
}

void TNimboOneDrive::GetFiles(TNimboCloudFileData& AData, const TFileProc& AProc) {
    const std::string path = ItemPath(DataAs<TNimboOneDriveData>(AData).GetId()) + "/files";
    ListPages<TFileList>(
        *this, ListPaging,
        [&](const TPagePosition& APage) {
            return Http()
                .Get(path)
                .Param("limit", std::to_string(APage.PageSize))
                .Param("offset", std::to_string(APage.Offset))
                .Header("Authorization", Bearer())
                .ValidResponse(200);
        },
        [&](TFileList& APage) {
            for (TFileInfo& info : APage.data) {
                Identified(info);
                AProc(TNimboCloudFile(std::make_shared<TNimboOneDriveData>(AData, std::move(info))));
            }
            return TPageSummary{.Entries = APage.data.size(), .HasMore = !APage.paging.next.empty()};
        });
}

void TNimboOneDrive::Download(TNimboCloudFileData& AData, std::ostream& AStream) {
    RefreshAccess();
    Http()
        .Get(ItemPath(DataAs<TNimboOneDriveData>(AData).GetId()) + "/content")
        .Header("Authorization", Bearer())
        .ValidResponse(200)
        .SafeToRepeat()
        .Execute(AStream);
}

bool TNimboOneDrive::CanDownloadRanges(TNimboCloudFileData&) { return true; }

TRangeExchange TNimboOneDrive::RangeExchange(TNimboCloudFileData& AData, std::int64_t AFirst, std::int64_t ALast) {
    RefreshAccess();
    const auto& file = DataAs<TNimboOneDriveData>(AData);
    // The range goes along to the storage address the answer redirects to.
    const THttpRequest request = Http()
                                     .Get(ItemPath(file.GetId()) + "/content")
                                     .Header("Authorization", Bearer())
                                     .ByteRange(AFirst, ALast, file.Info().Size)
                                     .SafeToRepeat();
    return [request](std::ostream& AStream) { request.Execute(AStream); };
}

void TNimboOneDrive::SetUploadLimit(std::int64_t AValue) {
    if (AValue < 0) throw EArgumentException("The upload limit must not be negative");
    FUploadLimit = AValue;
}

std::istream& TNimboOneDrive::WithinLimit(TUploadSource& ASource, const std::string& AName) const {
    if (ASource.ExceedsLimit())
        throw ERestError("\"" + AName + "\" cannot be uploaded: the service takes at most " +
                         std::to_string(FUploadLimit) + " bytes in one upload and offers no upload in parts");
    return ASource.Whole();
}

void TNimboOneDrive::Upload(TNimboCloudFileData& AData, std::istream& AStream) {
    auto& data = DataAs<TNimboOneDriveData>(AData);
    TUploadSource source(AStream, FUploadLimit);
    std::istream& content = WithinLimit(source, data.Info().Name);
    RefreshAccess();
    const std::string id = data.GetId();
    TFileInfo answer;
    Http()
        .Put(ItemPath(id) + "/content")
        .Header("Authorization", Bearer())
        .ValidResponse({200, 201})
        .Data(content)
        .Execute(answer);
    data.SetInfo(Identified(answer));
    ReadBackMetadata(data, id);
}

void TNimboOneDrive::Delete(TNimboCloudFileData& AData) {
    RefreshAccess();
    Http()
        .Delete(ItemPath(DataAs<TNimboOneDriveData>(AData).GetId()))
        .Header("Authorization", Bearer())
        .ValidResponse({200, 204})
        .Execute();
}

AutoFree<TNimboCloudFileData> TNimboOneDrive::CreateFolder(TNimboCloudFileData& AData, const std::string& AName) {
    RefreshAccess();
    TFileInfo info;
    Http()
        .Post(ItemPath(DataAs<TNimboOneDriveData>(AData).GetId()))
        .Header("Authorization", Bearer())
        .BeginJson(THttpRequest::jvBeginObject, true)
        .Prop("name", AName)
        .EndJson()
        .ValidResponse({200, 201})
        .Execute(info);
    return std::make_shared<TNimboOneDriveData>(AData, Identified(info));
}

TNimboOneDrive::TFileInfo TNimboOneDrive::ChangeItem(THttpRequest ARequest, const std::string& AName,
                                                     const TNimboCloudFileData& AFolder) {
    TFileInfo info;
    GuardNameTaken(409, "resource_already_exists", AName, AFolder.Info().Name, [&] {
        return ARequest.Header("Authorization", Bearer()).ValidResponse({200, 201}).Execute(info);
    });
    return Identified(info);
}

void TNimboOneDrive::Rename(TNimboCloudFileData& AData, const std::string& AName) {
    RefreshAccess();
    TNimboOneDriveData& item = DataAs<TNimboOneDriveData>(AData);
    const TNimboCloudFileData* folder = item.Parent();
    item.SetInfo(ChangeItem(
        Http().Put(ItemPath(item.GetId())).BeginJson(THttpRequest::jvBeginObject, true).Prop("name", AName).EndJson(),
        AName, folder ? *folder : item));
}

void TNimboOneDrive::Move(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder) {
    RefreshAccess();
    TNimboOneDriveData& item = DataAs<TNimboOneDriveData>(AData);
    item.SetInfo(ChangeItem(Http()
                                .Post(ItemPath(item.GetId()))
                                .Param("method", "MOVE")
                                .BeginJson(THttpRequest::jvBeginObject, true)
                                .Prop("destination", DataAs<TNimboOneDriveData>(AFolder).GetId())
                                .EndJson(),
                            item.Info().Name, AFolder));
}

AutoFree<TNimboCloudFileData> TNimboOneDrive::Copy(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder,
                                                   const std::string& AName) {
    const TNimboOneDriveData& item = DataAs<TNimboOneDriveData>(AData);
    if (item.Info().IsFolder) RaiseUnsupported("Copying folders on OneDrive through Live Connect");
    RefreshAccess();
    auto copy = std::make_shared<TNimboOneDriveData>(
        AFolder, ChangeItem(Http()
                                .Post(ItemPath(item.GetId()))
                                .Param("method", "COPY")
                                .BeginJson(THttpRequest::jvBeginObject, true)
                                .Prop("destination", DataAs<TNimboOneDriveData>(AFolder).GetId())
                                .EndJson(),
                            item.Info().Name, AFolder));
    if (AName == copy->Info().Name) return copy;
    try {
        Rename(*copy, AName);
    } catch (...) {
        try {
            Delete(*copy);
        } catch (const std::exception&) {}
        throw;
    }
    return copy;
}

TNimboSpace TNimboOneDrive::GetSpace() {
    RefreshAccess();
    TQuota quota;
    Http()
        .Get("v5.0/me/skydrive/quota")
        .Header("Authorization", Bearer())
        .ValidResponse(200)
        .SafeToRepeat()
        .Execute(quota);
    return TNimboSpace{.Used = quota.quota - quota.available, .Total = quota.quota};
}

AutoFree<TNimboCloudFileData> TNimboOneDrive::createFile(TNimboCloudFileData& AData, const std::string& AName,
                                                         std::istream& AStream) {
    TUploadSource source(AStream, FUploadLimit);
    std::istream& content = WithinLimit(source, AName);
    RefreshAccess();
    TFileInfo answer;
    Http()
        .Put(ItemPath(DataAs<TNimboOneDriveData>(AData).GetId()) + "/files/" + THttpClient::UrlEncode(AName))
        .Header("Authorization", Bearer())
        .ValidResponse({200, 201})
        .Data(content)
        .Execute(answer);
    auto data = std::make_shared<TNimboOneDriveData>(AData, Identified(answer));
    ReadBackMetadata(*data, answer.id);
    return data;
}

void TNimboOneDrive::ReadBackMetadata(TNimboOneDriveData& AData, const std::string& AId) {
    // The content is stored at this point; a failure here must not turn the upload into an error.
    try {
        TFileInfo info;
        Http().Get(ItemPath(AId)).Header("Authorization", Bearer()).ValidResponse(200).Execute(info);
        AData.SetInfo(Identified(info));
    } catch (const Exception&) {}
}

}  // namespace Nimbo::Connection
