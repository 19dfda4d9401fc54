#include "Nimbo/Connection/GDrive3.h"

#include <openssl/rand.h>

#include <charconv>
#include <memory>
#include <optional>

#include "Nimbo/Connection/ContentHash.h"
#include "Nimbo/Connection/DateFormats.h"
#include "Nimbo/Connection/MimeTypes.h"
#include "Nimbo/Connection/Paging.h"

namespace Nimbo::Connection {

namespace {

// ---- hosts and endpoints ----

const std::string ApiHost = "www.googleapis.com";

const TOAuthTable OAuth{
    .SignIns = {{TSignInKind::Loopback, "https://accounts.google.com/o/oauth2/v2/auth",
                 "https://oauth2.googleapis.com/token"}},
    .RedirectUrl = {},
    .ClientAuth = TClientAuth::SecretInForm,  // desktop clients get a secret, and the endpoint wants it
    .Pkce = true,
};
const TOAuthClient OAuthClient(OAuth);

const char* const FilesPath = "drive/v3/files";
const char* const FilePath = "drive/v3/files/";
const char* const UploadPath = "upload/drive/v3/files";
const char* const UploadFilePath = "upload/drive/v3/files/";
const char* const AboutPath = "drive/v3/about";

const char* const FolderMimeType = "application/vnd.google-apps.folder";
const char* const GoogleTypePrefix = "application/vnd.google-apps.";
const char* const ShortcutMimeType = "application/vnd.google-apps.shortcut";

// What the item record needs of a file resource; a listing asks for it per file.
const std::string FileFields = "id,name,mimeType,size,createdTime,modifiedTime,md5Checksum,sha1Checksum,parents";
const std::string ListFields = "nextPageToken,files(" + FileFields + ")";

// Listings follow page tokens.
const TPageTokenPaging ListPaging(TNimboGDrive3::ListPageSize);

// The service's error body.
struct TErrorItem {
    std::string reason;
    NIMBO_JSON_FIELDS(TErrorItem, reason)
};
struct TErrorDetail {
    std::int32_t code = 0;
    std::string message;
    std::vector<TErrorItem> errors;
    NIMBO_JSON_FIELDS(TErrorDetail, code, message, errors)
};
struct TErrorAnswer {
    TErrorDetail error;
    NIMBO_JSON_FIELDS(TErrorAnswer, error)
};

// The answer's error record when it is in the service's format; nothing otherwise.
std::optional<TErrorDetail> AsRefusal(const EHttpProtocolError& AAnswer) {
    try {
        TErrorAnswer answer;
        TJsonDecoder(AAnswer.ErrorMessage()).Decode(answer);
        if (answer.error.message.empty()) return std::nullopt;
        return answer.error;
    } catch (const Exception&) {
        return std::nullopt;
    }
}

std::string RefusalMessage(const EHttpProtocolError& AAnswer, const std::string& AMessage, const std::string& AReason) {
    return "Google Drive refused the request (" + std::string(AAnswer.what()) +
           (AReason.empty() ? "" : ", " + AReason) + "): " + AMessage;
}

// A text inside a single-quoted string of a search query: backslash and quote escaped.
std::string QueryText(const std::string& AText) {
    std::string quoted;
    quoted.reserve(AText.size() + 2);
    for (char c : AText) {
        if (c == '\\' || c == '\'') quoted.push_back('\\');
        quoted.push_back(c);
    }
    return quoted;
}

// 0 for an empty text; EConvertError unless the text is a decimal 64-bit integer.
std::int64_t DecodeInt64(const std::string& AText) {
    if (AText.empty()) return 0;
    std::int64_t value = 0;
    const char* end = AText.data() + AText.size();
    const auto [stop, error] = std::from_chars(AText.data(), end, value);
    if (error != std::errc() || stop != end) throw EConvertError("'" + AText + "' is not a valid integer value");
    return value;
}

// An answer that should describe an item but names none (an empty object, some other record) must
// not become item data: the operations on such an item would address another one.
TNimboGDrive3::TFileInfo Identified(TNimboGDrive3::TFileInfo AInfo) {
    if (AInfo.id.empty()) throw ERestError("The service answered without the item's id");
    return AInfo;
}

// The export format a document of the service's own type would be downloaded in.
std::string ExportFormatOf(const std::string& AMimeType) {
    struct TExport {
        const char* Kind;
        const char* Format;
    };
    static constexpr TExport Exports[] = {
        {"document", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
        {"spreadsheet", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
        {"presentation", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
        {"drawing", "image/png"},
        {"script", "application/vnd.google-apps.script+json"},
    };
    for (const TExport& e : Exports)
        if (AMimeType == GoogleTypePrefix + std::string(e.Kind)) return e.Format;
    return "application/pdf";
}

// A boundary for a multipart body: 128 random bits, which no content holds by chance.
std::string NewBoundary() {
    unsigned char bits[16];
    if (RAND_bytes(bits, sizeof bits) != 1) throw ERestError("No random bytes for a multipart boundary");
    static constexpr char Hex[] = "0123456789abcdef";
    std::string boundary = "nimbo_";
    for (unsigned char b : bits) boundary += {Hex[b >> 4], Hex[b & 15]};
    return boundary;
}

THttpRequest AppendText(THttpRequest ARequest, const std::string& AText) {
    return ARequest.Data(AText.data(), static_cast<int>(AText.size()));
}

// A multipart/related body: the JSON metadata AWrite writes, then the media of AMediaType.
THttpRequest Related(THttpRequest ARequest, const std::function<void(THttpRequest::TJsonData)>& AWrite,
                     const std::string& AMediaType, std::istream& AMedia) {
    const std::string boundary = NewBoundary();
    ARequest.Header("Content-Type", "multipart/related; boundary=" + boundary);
    AppendText(ARequest, "--" + boundary + "\r\nContent-Type: application/json; charset=UTF-8\r\n\r\n");
    THttpRequest::TJsonData metadata = ARequest.BeginJson(THttpRequest::jvBeginObject, false);
    AWrite(metadata);
    metadata.EndJson();
    AppendText(ARequest, "\r\n--" + boundary + "\r\nContent-Type: " + AMediaType + "\r\n\r\n");
    ARequest.Data(AMedia);
    return AppendText(ARequest, "\r\n--" + boundary + "--\r\n");
}

// Writes the metadata of a new item named AName in the folder AFolderId.
std::function<void(THttpRequest::TJsonData)> NameAndFolder(const std::string& AName, const std::string& AFolderId) {
    return [&AName, &AFolderId](THttpRequest::TJsonData AJson) {
        AJson.Prop("name", AName).Prop("parents", THttpRequest::jvBeginArray).Elem(AFolderId).EndArray();
    };
}

void NoMetadata(THttpRequest::TJsonData) {}

// The bytes a resumable session holds, from its 308 answer's "Range: bytes=0-<last>" (no header:
// none yet).
std::int64_t HeldBytes(const std::string& ARange) {
    if (ARange.empty()) return 0;
    std::int64_t last = -1;
    const char* end = ARange.data() + ARange.size();
    if (ARange.rfind("bytes=0-", 0) != 0 || std::from_chars(ARange.data() + 8, end, last).ptr != end || last < 0)
        throw ERestError("The service reports an upload's progress as \"" + ARange + "\", which is not a byte range");
    return last + 1;
}

// "bytes <first>-<last>/<total>" of a chunk.
}  // namespace

// ---------------------------------------------------------------------------------------------
// EGDrive3Error

EGDrive3Error::EGDrive3Error(const EHttpProtocolError& AAnswer, std::string AServiceMessage, std::string AReason)
    : EHttpProtocolError(AAnswer.ErrorCode(), AAnswer.StatusText(), AAnswer.ErrorMessage(), AAnswer.RetryAfter(),
                         RefusalMessage(AAnswer, AServiceMessage, AReason)),
      FServiceMessage(std::move(AServiceMessage)),
      FReason(std::move(AReason)) {}

template <class TCall>
decltype(auto) TNimboGDrive3::Translated(TCall&& ACall) {
    try {
        return ACall();
    } catch (const EOAuthError&) {
        throw;
    } catch (const EGDrive3Error&) {
        throw;
    } catch (const EHttpProtocolError& E) {
        // An answer in another format (a proxy's page, say) passes on as it came.
        const std::optional<TErrorDetail> refusal = AsRefusal(E);
        if (!refusal) throw;
        throw EGDrive3Error(E, refusal->message,
                            refusal->errors.empty() ? std::string() : refusal->errors.front().reason);
    }
}

// ---------------------------------------------------------------------------------------------
// TNimboGDrive3State

std::string TNimboGDrive3State::DefaultRedirectUrl() const { return OAuthClient.DefaultRedirectUrl(); }

// ---------------------------------------------------------------------------------------------
// TNimboGDrive3Data

void TNimboGDrive3Data::SetInfo(TNimboGDrive3::TFileInfo AInfo) {
    // Converted first, so that a malformed record leaves the item as it was.
    TNimboItemInfo info{.Id = std::move(AInfo.id),
                        .Name = std::move(AInfo.name),
                        .IsFolder = AInfo.mimeType == FolderMimeType,
                        .Size = DecodeInt64(AInfo.size),
                        .MimeType = std::move(AInfo.mimeType),
                        .Created = TRfc3339::MomentFromStr(AInfo.createdTime, MinDateTime),
                        .Modified = TRfc3339::MomentFromStr(AInfo.modifiedTime, MinDateTime),
                        .Hash = std::move(AInfo.sha1Checksum)};
    // SHA-1 where the service gives it: it costs less than half of MD5 to check.
    if (!info.Hash.empty())
        info.HashAlgorithm = THashAlgorithm::Sha1;
    else if (!AInfo.md5Checksum.empty())
        info.Hash = std::move(AInfo.md5Checksum), info.HashAlgorithm = THashAlgorithm::Md5;
    FParents = std::move(AInfo.parents);
    AssignInfo(std::move(info));
}

bool TNimboGDrive3Data::IsGoogleDocument() const {
    return !Info().IsFolder && Info().MimeType.rfind(GoogleTypePrefix, 0) == 0;
}

// ---------------------------------------------------------------------------------------------
// TNimboGDrive3: component

TNimboGDrive3::TNimboGDrive3(TComponent* AOwner)
    : TNimboStorage(AOwner), FRoot(std::make_shared<TNimboGDrive3Data>(*this, GetRootInfo())) {}

TNimboGDrive3::TFileInfo TNimboGDrive3::GetRootInfo() {
    TFileInfo root;
    root.id = "root";
    root.mimeType = FolderMimeType;
    return root;
}

std::string TNimboGDrive3::GetServerName() const { return ApiHost; }

TServiceStateClass TNimboGDrive3::GetStateClass() const { return TServiceStateClass::Of<TNimboGDrive3State>(); }

void TNimboGDrive3::DoSaveState(TBinaryWriter& AWriter) const { AWriter.Write(FUserName); }

TApplyState TNimboGDrive3::DoLoadState(TBinaryReader& AReader) {
    return [this, userName = AReader.ReadString()] { FUserName = userName; };
}

void TNimboGDrive3::SetUploadSettings(const TSessionUploadSettings& AValue) {
    CheckSessionUploadSettings(AValue);
    if (AValue.ChunkSize % ChunkGranularity != 0)
        throw EArgumentException("The chunk size of a resumable upload must be a multiple of " +
                                 std::to_string(ChunkGranularity) + " bytes");
    FUploadSettings = AValue;
}

void TNimboGDrive3::SetScope(const std::string& AValue) {
    if (AValue == FScope) return;
    FScope = AValue;
    State().ResetToken();
}

THttpRequest::TConfigProc TNimboGDrive3::Authorization() const {
    return [token = GetToken()](THttpRequest R) { R.Header("Authorization", "Bearer " + token); };
}

// ---------------------------------------------------------------------------------------------
// TNimboGDrive3: tokens and the account

void TNimboGDrive3::RefreshAccess() {
    CheckAuthParams();
    if (OAuthClient.EnsureAccess(State(), Http(), {.Scope = FScope, .Covered = {}, .OnNewToken = {}}))
        FUserName = ReadUserName();
}

// The name is a courtesy: the sign-in stands without it.
std::string TNimboGDrive3::ReadUserName() {
    try {
        TAbout about;
        Http()
            .Get(AboutPath)
            .Param("fields", "user")
            .Configure(Authorization())
            .ValidResponse(200)
            .SafeToRepeat()
            .Execute(about);
        return about.user.displayName.empty() ? about.user.emailAddress : about.user.displayName;
    } catch (const Exception&) {
        return {};
    }
}

std::string TNimboGDrive3::GetUserName() {
    RefreshAccess();
    if (FUserName.empty()) FUserName = ReadUserName();
    return FUserName;
}

// ---------------------------------------------------------------------------------------------
// TNimboGDrive3: the resumable upload session

// The steps of a resumable session. The session's address comes with the answer that begins it;
// the service answers each chunk with 308 and the bytes it holds, the last one with the file. A
// session the service no longer knows (404: expired) is begun anew and the content sent again.
class TNimboGDrive3::TResumableSession : public TSessionUploadSteps {
public:
    TResumableSession(TNimboGDrive3& ADrive, const std::function<THttpRequest()>& AStart, TUploadSource& ASource,
                      const std::string& AName)
        : FDrive(ADrive), FStart(AStart), FSource(ASource), FName(AName) {}

    std::int64_t Start() override {
        Begin();
        return 0;
    }

    TSessionHeld SendPart(std::int64_t AOffset, std::int64_t ACount) override {
        const THttpRequest chunk =
            FDrive.Http().Put(FSession).Header("Content-Range", ChunkRange(AOffset, ACount, Total()));
        const std::optional<TSessionHeld> held = Step(FSource.AddTo(chunk, AOffset, ACount));
        if (!held) throw ESessionOffset(0);
        return *held;
    }

    std::optional<TSessionHeld> AskHeld() override {
        // Asks only; nothing is stored by it.
        return Step(FDrive.Http()
                        .Put(FSession)
                        .Header("Content-Range", "bytes */" + std::to_string(Total()))
                        .SafeToRepeat())
            .value_or(TSessionHeld{});
    }

    // The last chunk completes the upload; a session that holds every byte and has not is stuck.
    void Commit() override {
        throw ERestError("The service did not complete the upload of \"" + FName + "\" after all of its " +
                         std::to_string(Total()) + " bytes arrived");
    }

    const TFileInfo& File() const { return FFile; }

private:
    std::int64_t Total() const { return FSource.Size().value_or(0); }

    void Begin() {
        THttpRequest start = FStart();
        start.Header("X-Upload-Content-Length", std::to_string(Total())).ValidResponse(200).Execute();
        FSession = start.ResponseHeader("Location");
        if (FSession.empty()) throw ERestError("The service began no upload session for \"" + FName + "\"");
    }

    // What the session holds after the request; nothing when the service had forgotten the session
    // and a new one has begun, which holds nothing yet.
    std::optional<TSessionHeld> Step(THttpRequest ARequest) {
        std::string answer;
        try {
            // 308 is this protocol's "go on", not a redirect.
            ARequest.FollowRedirects(false).Configure(FDrive.Authorization()).ValidResponse({200, 201}).Execute(answer);
        } catch (const EHttpProtocolError& E) {
            if (E.ErrorCode() == 308) return TSessionHeld{.Bytes = HeldBytes(ARequest.ResponseHeader("Range"))};
            if (E.ErrorCode() != 404) throw;
            Begin();
            return std::nullopt;
        }
        TJsonDecoder(answer).Decode(FFile);
        return TSessionHeld{.Complete = true};
    }

    TNimboGDrive3& FDrive;
    const std::function<THttpRequest()>& FStart;
    TUploadSource& FSource;
    const std::string& FName;
    std::string FSession;
    TFileInfo FFile;
};

TNimboGDrive3::TFileInfo TNimboGDrive3::SendContent(TUploadSource& ASource, const std::string& AName,
                                                    const std::function<THttpRequest()>& AMultipart,
                                                    const std::function<THttpRequest()>& AStartSession) {
    TFileInfo info;
    if (!ASource.ExceedsLimit()) {
        AMultipart().ValidResponse(200).Execute(info);
        return Identified(std::move(info));
    }
    // The session is begun for the content's size, and a session that expires starts again from the
    // first byte: a stream that cannot seek is kept aside first.
    ASource.MakeMeasurable();
    TResumableSession session(*this, AStartSession, ASource, AName);
    RunSessionUpload(*this, ASource, session, FUploadSettings, "The upload of \"" + AName + "\"");
    return Identified(session.File());
}

// ---------------------------------------------------------------------------------------------
// TNimboGDrive3: operations

void TNimboGDrive3::GetFiles(TNimboCloudFileData& AData, const TFileProc& AProc) {
    const std::string search =
        "'" + QueryText(DataAs<TNimboGDrive3Data>(AData).Info().Id) + "' in parents and trashed=false";
    Translated([&] {
        ListPages<TFileList>(
            *this, ListPaging,
            [&](const TPagePosition& APage) {
                return Http()
                    .Get(FilesPath)
                    .Param("q", search)
                    .Param("fields", ListFields)
                    .Param("pageSize", std::to_string(APage.PageSize))
                    .ParamIf(!APage.First, "pageToken", APage.Token)
                    .Configure(Authorization())
                    .ValidResponse(200);
            },
            [&](TFileList& APage) {
                for (TFileInfo& info : APage.files)
                    AProc(TNimboCloudFile(std::make_shared<TNimboGDrive3Data>(AData, Identified(std::move(info)))));
                return TPageSummary{.Entries = APage.files.size(), .Next = std::move(APage.nextPageToken)};
            });
    });
}

namespace {

// ERestError for an item without content of its own: a shortcut, or a Google document.
void CheckHasContent(const TNimboGDrive3Data& AFile) {
    const TNimboItemInfo& info = AFile.Info();
    if (info.MimeType == ShortcutMimeType)
        throw ERestError("\"" + info.Name +
                         "\" is a shortcut to another item and has no content of its own to download");
    if (AFile.IsGoogleDocument())
        throw ERestError("\"" + info.Name + "\" is a Google document (" + info.MimeType +
                         ") and has no content to download: it can only be exported (files/" + info.Id +
                         "/export with a mimeType such as " + ExportFormatOf(info.MimeType) + ")");
}

}  // namespace

bool TNimboGDrive3::CanDownloadRanges(TNimboCloudFileData& AData) {
    const auto& file = DataAs<TNimboGDrive3Data>(AData);
    return file.Info().MimeType != ShortcutMimeType && !file.IsGoogleDocument();
}

TRangeExchange TNimboGDrive3::RangeExchange(TNimboCloudFileData& AData, std::int64_t AFirst, std::int64_t ALast) {
    const auto& file = DataAs<TNimboGDrive3Data>(AData);
    CheckHasContent(file);
    RefreshAccess();
    const THttpRequest request = Http()
                                     .Get(FilePath + file.Info().Id)
                                     .Param("alt", "media")
                                     .Configure(Authorization())
                                     .ByteRange(AFirst, ALast, file.Info().Size)
                                     .SafeToRepeat();
    return [request](std::ostream& AStream) { Translated([&] { request.Execute(AStream); }); };
}

void TNimboGDrive3::Download(TNimboCloudFileData& AData, std::ostream& AStream) {
    const auto& file = DataAs<TNimboGDrive3Data>(AData);
    CheckHasContent(file);
    Translated([&] {
        RefreshAccess();
        Http()
            .Get(FilePath + file.Info().Id)
            .Param("alt", "media")
            .Configure(Authorization())
            .ValidResponse(200)
            .SafeToRepeat()
            .Execute(AStream);
    });
}

void TNimboGDrive3::Upload(TNimboCloudFileData& AData, std::istream& AStream) {
    auto& file = DataAs<TNimboGDrive3Data>(AData);
    TUploadSource source(AStream, FUploadSettings.SingleRequestLimit);
    const std::string& id = file.Info().Id;
    const std::string mediaType =
        file.Info().MimeType.empty() ? TMimeTypes::OfItemName(file.Info().Name) : file.Info().MimeType;
    TFileInfo info = Translated([&] {
        RefreshAccess();
        return SendContent(
            source, file.Info().Name,
            [&] {
                return Related(Http()
                                   .Patch(UploadFilePath + id)
                                   .Param("uploadType", "multipart")
                                   .Param("fields", FileFields)
                                   .Configure(Authorization()),
                               NoMetadata, mediaType, source.Whole());
            },
            [&] {
                return Http()
                    .Patch(UploadFilePath + id)
                    .Param("uploadType", "resumable")
                    .Param("fields", FileFields)
                    .Configure(Authorization())
                    .Header("X-Upload-Content-Type", mediaType)
                    .BeginJson(THttpRequest::jvBeginObject, true)
                    .EndJson();
            });
    });
    file.SetInfo(std::move(info));
}

void TNimboGDrive3::Delete(TNimboCloudFileData& AData) {
    Translated([&] {
        RefreshAccess();
        Http()
            .Delete(FilePath + DataAs<TNimboGDrive3Data>(AData).Info().Id)
            .Configure(Authorization())
            .ValidResponse({200, 204})
            .Execute();
    });
}

TNimboGDrive3::TFileInfo TNimboGDrive3::ItemRequest(THttpRequest ARequest,
                                                    const std::function<void(THttpRequest::TJsonData)>& AWrite) {
    return Translated([&] {
        RefreshAccess();
        THttpRequest::TJsonData body = ARequest.Param("fields", FileFields)
                                           .Configure(Authorization())
                                           .BeginJson(THttpRequest::jvBeginObject, true);
        AWrite(body);
        TFileInfo info;
        body.EndJson().ValidResponse(200).Execute(info);
        return Identified(std::move(info));
    });
}

AutoFree<TNimboCloudFileData> TNimboGDrive3::CreateFolder(TNimboCloudFileData& AData, const std::string& AName) {
    const std::string& folderId = DataAs<TNimboGDrive3Data>(AData).Info().Id;
    return std::make_shared<TNimboGDrive3Data>(AData,
                                               ItemRequest(Http().Post(FilesPath), [&](THttpRequest::TJsonData AJson) {
                                                   NameAndFolder(AName, folderId)(AJson);
                                                   AJson.Prop("mimeType", FolderMimeType);
                                               }));
}

AutoFree<TNimboCloudFileData> TNimboGDrive3::createFile(TNimboCloudFileData& AData, const std::string& AName,
                                                        std::istream& AStream) {
    TUploadSource source(AStream, FUploadSettings.SingleRequestLimit);
    const std::string& folderId = DataAs<TNimboGDrive3Data>(AData).Info().Id;
    const std::string mediaType = TMimeTypes::OfItemName(AName);
    TFileInfo info = Translated([&] {
        RefreshAccess();
        return SendContent(
            source, AName,
            [&] {
                return Related(Http()
                                   .Post(UploadPath)
                                   .Param("uploadType", "multipart")
                                   .Param("fields", FileFields)
                                   .Configure(Authorization()),
                               NameAndFolder(AName, folderId), mediaType, source.Whole());
            },
            [&] {
                THttpRequest::TJsonData metadata = Http()
                                                       .Post(UploadPath)
                                                       .Param("uploadType", "resumable")
                                                       .Param("fields", FileFields)
                                                       .Configure(Authorization())
                                                       .Header("X-Upload-Content-Type", mediaType)
                                                       .BeginJson(THttpRequest::jvBeginObject, true);
                NameAndFolder(AName, folderId)(metadata);
                return metadata.EndJson();
            });
    });
    return std::make_shared<TNimboGDrive3Data>(AData, std::move(info));
}

void TNimboGDrive3::Rename(TNimboCloudFileData& AData, const std::string& AName) {
    auto& item = DataAs<TNimboGDrive3Data>(AData);
    item.SetInfo(ItemRequest(Http().Patch(FilePath + item.Info().Id),
                             [&](THttpRequest::TJsonData AJson) { AJson.Prop("name", AName); }));
}

void TNimboGDrive3::Move(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder) {
    auto& item = DataAs<TNimboGDrive3Data>(AData);
    // The folders that hold it as the service told them, else the one it was listed in.
    std::string from;
    for (const std::string& parent : item.GetParents()) from += (from.empty() ? "" : ",") + parent;
    if (from.empty() && item.Parent() != nullptr) from = item.Parent()->Info().Id;
    item.SetInfo(ItemRequest(Http()
                                 .Patch(FilePath + item.Info().Id)
                                 .Param("addParents", DataAs<TNimboGDrive3Data>(AFolder).Info().Id)
                                 .ParamIf(!from.empty(), "removeParents", from),
                             NoMetadata));
}

AutoFree<TNimboCloudFileData> TNimboGDrive3::Copy(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder,
                                                  const std::string& AName) {
    const auto& item = DataAs<TNimboGDrive3Data>(AData);
    if (item.Info().IsFolder) RaiseUnsupported("Copying folders on Google Drive");
    const std::string& folderId = DataAs<TNimboGDrive3Data>(AFolder).Info().Id;
    return std::make_shared<TNimboGDrive3Data>(
        AFolder, ItemRequest(Http().Post(FilePath + item.Info().Id + "/copy"), NameAndFolder(AName, folderId)));
}

TNimboSpace TNimboGDrive3::GetSpace() {
    const TStorageQuota quota = Translated([&] {
        RefreshAccess();
        TAbout about;
        Http()
            .Get(AboutPath)
            .Param("fields", "storageQuota")
            .Configure(Authorization())
            .ValidResponse(200)
            .SafeToRepeat()
            .Execute(about);
        return about.storageQuota;
    });
    TNimboSpace space{.Used = DecodeInt64(quota.usage)};
    if (!quota.limit.empty()) space.Total = DecodeInt64(quota.limit);
    return space;
}

std::string TNimboGDrive3::GetHashAlgorithm() const { return THashAlgorithm::Sha1; }

}  // namespace Nimbo::Connection
