#include "Nimbo/Connection/Google.h"

#include <charconv>
#include <memory>

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

// "bytes <first>-<last>/<total>" of a chunk; the total is "*" while unknown.
std::string ChunkRange(std::int64_t AOffset, std::int64_t ACount, std::optional<std::int64_t> ATotal) {
    return "bytes " + std::to_string(AOffset) + "-" + std::to_string(AOffset + ACount - 1) + "/" +
           (ATotal ? std::to_string(*ATotal) : "*");
}

// The media type for a new file's content. A Drive title may hold characters that a local file
// name may not ('"', '<', '>', '|', control characters); such a title gets the generic type.
std::string ContentTypeOf(const std::string& ATitle) {
    try {
        return TMimeTypes::ByFileName(ATitle);
    } catch (const EArgumentException&) {
        return std::string(TMimeTypes::DefaultMime);
    }
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

TNimboGDriveFileData::TNimboGDriveFileData(const TNimboStorage& AStorage, const TNimboGDrive::TFileInfo& AInfo)
    : TNimboCloudFileData(AStorage) {
    SetInfo(AInfo);
}

TNimboGDriveFileData::TNimboGDriveFileData(TNimboCloudFileData& AParent, const TNimboGDrive::TFileInfo& AInfo)
    : TNimboCloudFileData(AParent) {
    SetInfo(AInfo);
}

void TNimboGDriveFileData::SetInfo(const TNimboGDrive::TFileInfo& AInfo) {
    // Converted first, so that a malformed record leaves the item as it was.
    const std::int64_t size = DecodeSize(AInfo.fileSize);
    const TDateTime created = TRfc3339::FromStr(AInfo.createdDate, MinDateTime);
    const TDateTime modified = TRfc3339::FromStr(AInfo.modifiedDate, MinDateTime);
    FId = AInfo.id;
    FName = AInfo.title;
    FMimeType = AInfo.mimeType;
    FDownloadUrl = AInfo.downloadUrl;
    FSize = size;
    FCreated = created;
    FModified = modified;
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
// TNimboGDrive: component, item attributes

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

std::string TNimboGDrive::GetName(TNimboCloudFileData& AData) { return DataAs<TNimboGDriveFileData>(AData).GetName(); }

bool TNimboGDrive::GetIsFolder(TNimboCloudFileData& AData) {
    return DataAs<TNimboGDriveFileData>(AData).GetMimeType() == FolderMimeType;
}

std::string TNimboGDrive::GetMimeType(TNimboCloudFileData& AData) {
    return DataAs<TNimboGDriveFileData>(AData).GetMimeType();
}

std::int64_t TNimboGDrive::GetSize(TNimboCloudFileData& AData) { return DataAs<TNimboGDriveFileData>(AData).GetSize(); }

TDateTime TNimboGDrive::GetCreatedAt(TNimboCloudFileData& AData) {
    return DataAs<TNimboGDriveFileData>(AData).GetCreated();
}

TDateTime TNimboGDrive::GetModifiedAt(TNimboCloudFileData& AData) {
    return DataAs<TNimboGDriveFileData>(AData).GetModified();
}

// ---------------------------------------------------------------------------------------------
// TNimboGDrive: operations

void TNimboGDrive::GetFiles(TNimboCloudFileData& AData, const TFileProc& AProc) {
    RefreshAccess();
    const std::string search = "'" + DataAs<TNimboGDriveFileData>(AData).GetId() + "' in parents and trashed = false";
    // The service answers in pages; every page but the last names the next one.
    std::string pageToken;
    do {
        TFileList page;
        Http()
            .Get(FilesPath)
            .Param("q", search)
            .ParamIf(!pageToken.empty(), "pageToken", pageToken)
            .Configure(Authorization())
            .ValidResponse(200)
            .SafeToRepeat()
            .Execute(page);
        for (const TFileInfo& info : page.items)
            AProc(TNimboCloudFile(std::make_shared<TNimboGDriveFileData>(AData, Identified(info))));
        if (!page.nextPageToken.empty() && page.nextPageToken == pageToken)
            throw ERestError("The listing of the folder repeats its page token \"" + pageToken + "\"");
        pageToken = page.nextPageToken;
    } while (!pageToken.empty());
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
    const std::string contentType = ContentTypeOf(AName);
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

// The JSON body naming a new file and the one folder that holds it.
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

TNimboGDrive::TFileInfo TNimboGDrive::ResumableUpload(THttpRequest AStart, TUploadSource& ASource,
                                                      const std::string& AName) {
    TSessionProgress progress(ASource);
    const std::optional<std::int64_t> size = ASource.Size();
    AStart.HeaderIf(size.has_value(), "X-Upload-Content-Length", std::to_string(size.value_or(0)))
        .ValidResponse(200)
        .Execute();
    const std::string session = AStart.ResponseHeader("Location");
    if (session.empty()) throw ERestError("The service began no upload session for \"" + AName + "\"");

    TUploadInterruptions interruptions(FUploadSettings.MaxResumptions, "The upload of \"" + AName + "\"");
    TFileInfo file;
    std::int64_t offset = 0;
    bool askHeld = false;  // after an interruption: how much did the service keep?
    for (;;) {
        try {
            RefreshAccess();
            std::optional<std::int64_t> next;
            if (askHeld) {
                const std::optional<std::int64_t> total = ASource.Size();
                // Asks only; nothing is stored by it.
                next = ResumableStep(Http()
                                         .Put(session)
                                         .Header("Content-Range", "bytes */" + (total ? std::to_string(*total) : "*"))
                                         .SafeToRepeat(),
                                     file);
            } else {
                const std::int64_t count = ASource.Available(offset, FUploadSettings.ChunkSize);
                if (count == 0)
                    throw ERestError("The service did not complete the upload of \"" + AName + "\" after all of its " +
                                     std::to_string(offset) + " bytes arrived");
                const THttpRequest chunk =
                    Http().Put(session).Header("Content-Range", ChunkRange(offset, count, ASource.Size()));
                progress.At(offset);
                next = ResumableStep(ASource.AddTo(chunk, offset, count), file);
            }
            askHeld = false;
            if (!next) break;
            offset = *next;
            ASource.Release(offset);
        } catch (...) {
            interruptions.Survive();
            askHeld = true;
        }
    }
    ASource.Finish();
    return file;
}

std::optional<std::int64_t> TNimboGDrive::ResumableStep(THttpRequest ARequest, TFileInfo& AFile) {
    std::string answer;
    try {
        // 308 is this protocol's "go on", not a redirect.
        ARequest.FollowRedirects(false).Configure(Authorization()).ValidResponse({200, 201}).Execute(answer);
    } catch (const EHttpProtocolError& E) {
        if (E.ErrorCode() != 308) throw;
        return HeldBytes(ARequest.ResponseHeader("Range"));
    }
    TJsonDecoder(answer).Decode(AFile);
    return std::nullopt;
}

}  // namespace Nimbo::Connection
