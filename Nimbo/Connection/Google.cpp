#include "Nimbo/Connection/Google.h"

#include <charconv>
#include <memory>

#include "Nimbo/Connection/ContentHash.h"
#include "Nimbo/Connection/DateFormats.h"
#include "Nimbo/Connection/MimeTypes.h"

namespace Nimbo::Connection {

namespace {

// ---- hosts and endpoints ----

const std::string ApiHost = "www.googleapis.com";
const std::string ScopeBase = "https://" + ApiHost + "/auth";

const TOAuthTable OAuth{
    .SignIns = {{TSignInKind::Redirect, "https://accounts.google.com/o/oauth2/auth",
                 "https://accounts.google.com/o/oauth2/token"},
                {TSignInKind::Loopback, "https://accounts.google.com/o/oauth2/v2/auth",
                 "https://oauth2.googleapis.com/token"}},
    // With this address the service shows the code in the page title.
    .RedirectUrl = "urn:ietf:wg:oauth:2.0:oob",
    .RedirectEvents = {aeTitleChanged, aeCanceled},
    .Pkce = true,
};
const TOAuthClient OAuthClient(OAuth);

const char* const FilesPath = "drive/v2/files";
const char* const FilePath = "drive/v2/files/";
const char* const UploadPath = "upload/drive/v2/files";
const char* const UploadFilePath = "upload/drive/v2/files/";

const char* const FolderMimeType = "application/vnd.google-apps.folder";

// Listings follow page tokens.
const TPageTokenPaging ListPaging(TNimboGDrive::ListPageSize);

TNimboGoogleScopes AsGoogleScopes(TNimboGDriveScopes AScopes) { return TNimboGoogleScopes::FromBits(AScopes.Bits()); }

std::string ScopeText(TNimboGoogleScope AScope) {
    std::string text = SNAMES[AScope];
    for (std::size_t star = text.find('*'); star != std::string::npos; star = text.find('*', star + ScopeBase.size()))
        text.replace(star, 1, ScopeBase);
    return text;
}

// The bytes a resumable session holds, from its 308 answer's "Range: bytes=0-<last>" (no header:
// none yet).
std::int64_t HeldBytes(const std::string& ARange) {
    if (ARange.empty()) return 0;
    const std::size_t dash = ARange.find('-');
    std::int64_t last = -1;
    const char* end = ARange.data() + ARange.size();
    if (ARange.rfind("bytes=0-", 0) != 0 || std::from_chars(ARange.data() + dash + 1, end, last).ptr != end || last < 0)
        throw ERestError("The service reports an upload's progress as \"" + ARange + "\", which is not a byte range");
    return last + 1;
}

// An answer that should describe an item but names none (an empty object, some other record) must
// not become item data: the operations on such an item would address another one.
const TNimboGDrive::TFileInfo& Identified(const TNimboGDrive::TFileInfo& AInfo) {
    if (AInfo.id.empty()) throw ERestError("The service answered without the item's id");
    return AInfo;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TNimboGoogleState

TNimboGoogleScopes TNimboGoogleState::Scopes() const {
    TNimboGoogleScopes needed;
    GetServices([&](TRestService& AService) {
        auto* drive = dynamic_cast<TNimboGDrive*>(&AService);
        Assert(drive != nullptr, "A Google state is used by a service that is not a Google Drive");
        needed = needed + AsGoogleScopes(drive->GetScopes());
    });
    return needed;
}

std::string TNimboGoogleState::ScopesAsStr() const { return Scopes().Join(' ', ScopeText); }

std::string TNimboGoogleState::DefaultRedirectUrl() const { return OAuthClient.DefaultRedirectUrl(); }

void TNimboGoogleState::DoSaveState(TBinaryWriter& AWriter) const {
    AWriter.Write(static_cast<std::int64_t>(FTokenScopes.Bits()));
}

TApplyState TNimboGoogleState::DoLoadState(TBinaryReader& AReader) {
    // Only the low 16 bits hold scopes; the others are ignored.
    const auto scopes = TNimboGoogleScopes::FromBits(static_cast<std::uint16_t>(AReader.ReadInt64() & 0xFFFF));
    return [this, scopes] { FTokenScopes = scopes; };
}

void TNimboGoogleState::RefreshAccess(THttpClient& AHttp) {
    // The token covers the whole needed set, whatever the service granted.
    OAuthClient.EnsureAccess(*this, AHttp,
                             {.Scope = ScopesAsStr(),
                              .Covered = [this] { return (Scopes() - FTokenScopes).IsEmpty(); },
                              .OnNewToken = [this] { FTokenScopes = Scopes(); }});
}

// ---------------------------------------------------------------------------------------------
// TNimboGDriveFileData

void TNimboGDriveFileData::SetInfo(TNimboGDrive::TFileInfo AInfo) {
    // Converted first, so that a malformed record leaves the item as it was.
    TNimboItemInfo info{.Id = std::move(AInfo.id),
                        .Name = std::move(AInfo.title),
                        .IsFolder = AInfo.mimeType == FolderMimeType,
                        .Size = DecodeSize(AInfo.fileSize),
                        .MimeType = std::move(AInfo.mimeType),
                        .Created = TRfc3339::MomentFromStr(AInfo.createdDate, MinDateTime),
                        .Modified = TRfc3339::MomentFromStr(AInfo.modifiedDate, MinDateTime),
                        .Hash = std::move(AInfo.md5Checksum)};
    if (!info.Hash.empty()) info.HashAlgorithm = THashAlgorithm::Md5;
    FDownloadUrl = std::move(AInfo.downloadUrl);
    AssignInfo(std::move(info));
}

std::int64_t TNimboGDriveFileData::DecodeSize(const std::string& ASize) {
    if (ASize.empty()) return 0;
    std::int64_t size = 0;
    const char* end = ASize.data() + ASize.size();
    const auto [stop, error] = std::from_chars(ASize.data(), end, size);
    if (error != std::errc() || stop != end) throw EConvertError("'" + ASize + "' is not a valid integer value");
    return size;
}

// ---------------------------------------------------------------------------------------------
// TNimboGDrive: component

TNimboGDrive::TNimboGDrive(TComponent* AOwner)
    : TNimboStorage(AOwner), FRoot(std::make_shared<TNimboGDriveFileData>(*this, GetRootInfo())) {}

TNimboGDrive::TFileInfo TNimboGDrive::GetRootInfo() {
    TFileInfo root;
    root.id = "root";
    root.mimeType = FolderMimeType;
    root.fileSize = "0";
    return root;
}

std::string TNimboGDrive::GetServerName() const { return ApiHost; }

TServiceStateClass TNimboGDrive::GetStateClass() const { return TServiceStateClass::Of<TNimboGoogleState>(); }

void TNimboGDrive::RefreshAccess() {
    CheckAuthParams();
    StateAs<TNimboGoogleState>().RefreshAccess(Http());
}

void TNimboGDrive::SetUploadSettings(const TSessionUploadSettings& AValue) {
    CheckSessionUploadSettings(AValue);
    if (AValue.ChunkSize % ChunkGranularity != 0)
        throw EArgumentException("The chunk size of a resumable upload must be a multiple of " +
                                 std::to_string(ChunkGranularity) + " bytes");
    FUploadSettings = AValue;
}

THttpRequest::TConfigProc TNimboGDrive::Authorization() const {
    return [token = GetToken()](THttpRequest R) { R.Header("Authorization", "Bearer " + token); };
}

// ---------------------------------------------------------------------------------------------
// TNimboGDrive: the resumable upload session

// The steps of a resumable session. The session's address comes with the answer that begins it;
// the service answers each chunk with 308 and the bytes it holds, the last one with the file.
class TNimboGDrive::TResumableSession : public TSessionUploadSteps {
public:
    TResumableSession(TNimboGDrive& ADrive, THttpRequest AStart, TUploadSource& ASource, const std::string& AName)
        : FDrive(ADrive), FStart(std::move(AStart)), FSource(ASource), FName(AName) {}

    std::int64_t Start() override {
        const std::optional<std::int64_t> size = FSource.Size();
        FStart.HeaderIf(size.has_value(), "X-Upload-Content-Length", std::to_string(size.value_or(0)))
            .ValidResponse(200)
            .Execute();
        FSession = FStart.ResponseHeader("Location");
        if (FSession.empty()) throw ERestError("The service began no upload session for \"" + FName + "\"");
        return 0;
    }

    TSessionHeld SendPart(std::int64_t AOffset, std::int64_t ACount) override {
        const THttpRequest chunk =
            FDrive.Http().Put(FSession).Header("Content-Range", ChunkRange(AOffset, ACount, FSource.Size()));
        return Step(FSource.AddTo(chunk, AOffset, ACount));
    }

    std::optional<TSessionHeld> AskHeld() override {
        const std::optional<std::int64_t> total = FSource.Size();
        // Asks only; nothing is stored by it.
        return Step(FDrive.Http()
                        .Put(FSession)
                        .Header("Content-Range", "bytes */" + (total ? std::to_string(*total) : "*"))
                        .SafeToRepeat());
    }

    // The last chunk completes the upload; a session that holds every byte and has not is stuck.
    void Commit() override {
        throw ERestError("The service did not complete the upload of \"" + FName + "\" after all of its " +
                         std::to_string(FSource.Size().value_or(0)) + " bytes arrived");
    }

    const TFileInfo& File() const { return FFile; }

private:
    TSessionHeld Step(THttpRequest ARequest) {
        std::string answer;
        try {
            // 308 is this protocol's "go on", not a redirect.
            ARequest.FollowRedirects(false).Configure(FDrive.Authorization()).ValidResponse({200, 201}).Execute(answer);
        } catch (const EHttpProtocolError& E) {
            if (E.ErrorCode() != 308) throw;
            return {.Bytes = HeldBytes(ARequest.ResponseHeader("Range"))};
        }
        TJsonDecoder(answer).Decode(FFile);
        return {.Complete = true};
    }

    TNimboGDrive& FDrive;
    THttpRequest FStart;
    TUploadSource& FSource;
    const std::string& FName;
    std::string FSession;
    TFileInfo FFile;
};

TNimboGDrive::TFileInfo TNimboGDrive::ResumableUpload(THttpRequest AStart, TUploadSource& ASource,
                                                      const std::string& AName) {
    TResumableSession session(*this, std::move(AStart), ASource, AName);
    RunSessionUpload(*this, ASource, session, FUploadSettings, "The upload of \"" + AName + "\"");
    return session.File();
}

// ---------------------------------------------------------------------------------------------
// TNimboGDrive: operations

void TNimboGDrive::GetFiles(TNimboCloudFileData& AData, const TFileProc& AProc) {
    const std::string search = "'" + DataAs<TNimboGDriveFileData>(AData).GetId() + "' in parents and trashed = false";
    ListPages<TFileList>(
        *this, ListPaging,
        [&](const TPagePosition& APage) {
            return Http()
                .Get(FilesPath)
                .Param("q", search)
                .ParamIf(!APage.First, "pageToken", APage.Token)
                .Configure(Authorization())
                .ValidResponse(200);
        },
        [&](TFileList& APage) {
            for (TFileInfo& info : APage.items) {
                Identified(info);
                AProc(TNimboCloudFile(std::make_shared<TNimboGDriveFileData>(AData, std::move(info))));
            }
            return TPageSummary{.Entries = APage.items.size(), .Next = std::move(APage.nextPageToken)};
        });
}

void TNimboGDrive::Download(TNimboCloudFileData& AData, std::ostream& AStream) {
    const auto& file = DataAs<TNimboGDriveFileData>(AData);
    // The service's own document types have no content to download, only export formats.
    if (file.GetDownloadUrl().empty())
        throw ERestError("\"" + file.GetName() + "\" cannot be downloaded: the service gives no download URL for " +
                         file.GetMimeType());
    RefreshAccess();
    Http().Get(file.GetDownloadUrl()).Configure(Authorization()).ValidResponse(200).SafeToRepeat().Execute(AStream);
}

bool TNimboGDrive::CanDownloadRanges(TNimboCloudFileData& AData) {
    return !DataAs<TNimboGDriveFileData>(AData).GetDownloadUrl().empty();
}

TRangeExchange TNimboGDrive::RangeExchange(TNimboCloudFileData& AData, std::int64_t AFirst, std::int64_t ALast) {
    const auto& file = DataAs<TNimboGDriveFileData>(AData);
    if (file.GetDownloadUrl().empty()) RaiseUnsupported("Downloading ranges of a document");
    RefreshAccess();
    const THttpRequest request = Http()
                                     .Get(file.GetDownloadUrl())
                                     .Configure(Authorization())
                                     .ByteRange(AFirst, ALast, file.Info().Size)
                                     .SafeToRepeat();
    return [request](std::ostream& AStream) { request.Execute(AStream); };
}

void TNimboGDrive::Upload(TNimboCloudFileData& AData, std::istream& AStream) {
    auto& file = DataAs<TNimboGDriveFileData>(AData);
    TUploadSource source(AStream, FUploadSettings.SingleRequestLimit);
    RefreshAccess();
    TFileInfo info;
    if (source.ExceedsLimit()) {
        const THttpRequest start = Http()
                                       .Put(UploadFilePath + file.GetId())
                                       .Param("uploadType", "resumable")
                                       .Configure(Authorization())
                                       .BeginJson(THttpRequest::jvBeginObject, true)
                                       .EndJson();
        info = ResumableUpload(start, source, file.GetName());
    } else {
        Http()
            .Put(UploadFilePath + file.GetId())
            .Param("uploadType", "media")
            .Configure(Authorization())
            .Data(source.Whole())
            .ValidResponse(200)
            .Execute(info);
    }
    file.SetInfo(Identified(info));
}

void TNimboGDrive::Delete(TNimboCloudFileData& AData) {
    RefreshAccess();
    Http()
        .Delete(FilePath + DataAs<TNimboGDriveFileData>(AData).GetId())
        .Configure(Authorization())
        .ValidResponse({200, 204})
        .Execute();
}

AutoFree<TNimboCloudFileData> TNimboGDrive::CreateFolder(TNimboCloudFileData& AData, const std::string& AName) {
    RefreshAccess();
    TFileInfo info;
    Http()
        .Post(FilesPath)
        .Configure(Authorization())
        .BeginJson(THttpRequest::jvBeginObject, true)
        .Prop("title", AName)
        .Prop("mimeType", FolderMimeType)
        .Prop("parents", THttpRequest::jvBeginArray)
        .Elem(THttpRequest::jvBeginObject)
        .Prop("id", DataAs<TNimboGDriveFileData>(AData).GetId())
        .EndObject()
        .EndArray()
        .EndJson()
        .ValidResponse(200)
        .Execute(info);
    return std::make_shared<TNimboGDriveFileData>(AData, Identified(info));
}

AutoFree<TNimboCloudFileData> TNimboGDrive::createFile(TNimboCloudFileData& AData, const std::string& AName,
                                                       std::istream& AStream) {
    TUploadSource source(AStream, FUploadSettings.SingleRequestLimit);
    RefreshAccess();
    const std::string contentType = TMimeTypes::OfItemName(AName);
    const std::string& folderId = DataAs<TNimboGDriveFileData>(AData).GetId();
    if (source.ExceedsLimit()) {
        const THttpRequest start = Http()
                                       .Post(UploadPath)
                                       .Param("uploadType", "resumable")
                                       .Configure(Authorization())
                                       .Header("X-Upload-Content-Type", contentType);
        return std::make_shared<TNimboGDriveFileData>(
            AData, Identified(ResumableUpload(WithTitleAndFolder(start, AName, folderId), source, AName)));
    }
    // The content first: the service stores it under a name and in a place of its own choosing.
    TFileInfo uploaded;
    Http()
        .Post(UploadPath)
        .Param("uploadType", "media")
        .Configure(Authorization())
        .Header("Content-Type", contentType)
        .Data(source.Whole())
        .ValidResponse(200)
        .Execute(uploaded);
    // Then the name and the folder.
    TFileInfo info;
    WithTitleAndFolder(Http().Put(FilePath + Identified(uploaded).id).Configure(Authorization()), AName, folderId)
        .ValidResponse(200)
        .Execute(info);
    return std::make_shared<TNimboGDriveFileData>(AData, Identified(info));
}

void TNimboGDrive::Patch(TNimboCloudFileData& AData, const std::function<THttpRequest(THttpRequest)>& AWrite) {
    RefreshAccess();
    TNimboGDriveFileData& item = DataAs<TNimboGDriveFileData>(AData);
    TFileInfo info;
    AWrite(Http().Patch(FilePath + item.GetId()).Configure(Authorization())).ValidResponse(200).Execute(info);
    item.SetInfo(Identified(info));
}

void TNimboGDrive::Rename(TNimboCloudFileData& AData, const std::string& AName) {
    Patch(AData, [&](THttpRequest ARequest) {
        return ARequest.BeginJson(THttpRequest::jvBeginObject, true).Prop("title", AName).EndJson();
    });
}

void TNimboGDrive::Move(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder) {
    Patch(AData, [&](THttpRequest ARequest) {
        return ARequest.BeginJson(THttpRequest::jvBeginObject, true)
            .Prop("parents", THttpRequest::jvBeginArray)
            .Elem(THttpRequest::jvBeginObject)
            .Prop("id", DataAs<TNimboGDriveFileData>(AFolder).GetId())
            .EndObject()
            .EndArray()
            .EndJson();
    });
}

AutoFree<TNimboCloudFileData> TNimboGDrive::Copy(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder,
                                                 const std::string& AName) {
    const TNimboGDriveFileData& item = DataAs<TNimboGDriveFileData>(AData);
    if (item.Info().IsFolder) RaiseUnsupported("Copying folders on Google Drive");
    RefreshAccess();
    TFileInfo info;
    WithTitleAndFolder(Http().Post(FilePath + item.GetId() + "/copy").Configure(Authorization()), AName,
                       DataAs<TNimboGDriveFileData>(AFolder).GetId())
        .ValidResponse(200)
        .Execute(info);
    return std::make_shared<TNimboGDriveFileData>(AFolder, Identified(info));
}

std::string TNimboGDrive::GetUserName() {
    RefreshAccess();
    TAbout about;
    Http().Get("drive/v2/about").Configure(Authorization()).ValidResponse(200).SafeToRepeat().Execute(about);
    return about.user.displayName;
}

TNimboSpace TNimboGDrive::GetSpace() {
    RefreshAccess();
    TQuota quota;
    Http().Get("drive/v2/about").Configure(Authorization()).ValidResponse(200).SafeToRepeat().Execute(quota);
    TNimboSpace space{.Used = TNimboGDriveFileData::DecodeSize(quota.quotaBytesUsed)};
    if (quota.quotaType != "UNLIMITED" && !quota.quotaBytesTotal.empty())
        space.Total = TNimboGDriveFileData::DecodeSize(quota.quotaBytesTotal);
    return space;
}

std::string TNimboGDrive::GetHashAlgorithm() const { return THashAlgorithm::Md5; }

THttpRequest TNimboGDrive::WithTitleAndFolder(THttpRequest ARequest, const std::string& ATitle,
                                              const std::string& AFolderId) {
    return ARequest.BeginJson(THttpRequest::jvBeginObject, true)
        .Prop("title", ATitle)
        .Prop("parents", THttpRequest::jvBeginArray)
        .Elem(THttpRequest::jvBeginObject)
        .Prop("id", AFolderId)
        .EndObject()
        .EndArray()
        .EndJson();
}

}  // namespace Nimbo::Connection
