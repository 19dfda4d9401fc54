#include "Nimbo/Connection/DropBox.h"

#include <algorithm>
#include <optional>

#include "Nimbo/Connection/DateFormats.h"

namespace Nimbo::Connection {

namespace {

// The API host takes every relative path ("1/..."); file contents go through the content host; the
// web host serves the sign-in pages.
const std::string ApiHost = "api.dropbox.com";
const std::string ContentHost = "api-content.dropbox.com";
const std::string WebHost = "www.dropbox.com";

const TOAuthTable OAuth{
    .SignIns = {{TSignInKind::Redirect, "https://" + WebHost + "/1/oauth2/authorize",
                 "https://" + ApiHost + "/1/oauth2/token"}},
    // The redirect page that Dropbox serves itself; the sign-in window reads the code off its URL.
    .RedirectUrl = "https://" + WebHost + "/1/oauth2/redirect_receiver",
    .TokensExpire = false,
};
const TOAuthClient OAuthClient(OAuth);

const char* const InvalidPathMessage = "Invalid characters in path";

// A folder is listed whole, in one answer of at most MaxListedEntries entries.
const TSinglePagePaging ListPaging(TNimboDropBox::MaxListedEntries);

// ---- paths ----

bool IsInvalidPathChar(char AChar) {
    return static_cast<unsigned char>(AChar) < 32 || AChar == '"' || AChar == '<' || AChar == '>' || AChar == '|';
}

void CheckPathChars(const std::string& APath) {
    if (std::any_of(APath.begin(), APath.end(), IsInvalidPathChar)) throw EArgumentException(InvalidPathMessage);
}

bool IsPathDelimiter(char AChar) { return AChar == '\\' || AChar == '/' || AChar == ':'; }

// The path of a new item AName (not empty) inside the folder AFolder, with forward slashes. A name
// that begins with a slash, a backslash or a drive ("c:") stands for itself.
std::string JoinPath(const std::string& AFolder, const std::string& AName) {
    std::string joined;
    if (AFolder.empty()) {
        joined = AName;
    } else {
        CheckPathChars(AFolder);
        CheckPathChars(AName);
        const bool nameStandsAlone = AName[0] == '\\' || AName[0] == '/' || (AName.size() > 1 && AName[1] == ':');
        if (nameStandsAlone)
            joined = AName;
        else if (IsPathDelimiter(AFolder.back()))
            joined = AFolder + AName;
        else
            joined = AFolder + '\\' + AName;
    }
    std::replace(joined.begin(), joined.end(), '\\', '/');
    return joined;
}

// The path of a new item; an empty name would address the folder itself.
std::string NewPath(const TNimboDropBoxData& AFolder, const std::string& AName) {
    if (AName.empty()) throw EArgumentException("The name of a new item must not be empty");
    return JoinPath(AFolder.GetPath(), AName);
}

// The path of AName inside the folder, for a name the caller gives an existing item: one that holds
// a path delimiter would put the item into another folder.
std::string ItemPathIn(const TNimboDropBoxData& AFolder, const std::string& AName) {
    if (AName.find_first_of("/\\") != std::string::npos)
        throw EArgumentException("\"" + AName + "\" cannot be a name: it holds a path delimiter");
    return NewPath(AFolder, AName);
}

// A path as it goes into a URL: every segment percent-encoded as UTF-8, the slashes kept.
std::string EncodePath(const std::string& APath) {
    std::string encoded;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = APath.find('/', start);
        encoded += THttpClient::UrlEncode(APath.substr(start, slash - start));
        if (slash == std::string::npos) return encoded;
        encoded += '/';
        start = slash + 1;
    }
}

// An item of the "dropbox" root on the API host, as a path relative to it.
std::string ApiPath(const char* ACall, const std::string& APath) { return ACall + EncodePath(APath); }

// An item of the "dropbox" root on the content host.
std::string ContentUrl(const char* ACall, const std::string& APath) {
    return "https://" + ContentHost + ACall + EncodePath(APath);
}

// An answer that should describe an item but names none (an empty object, some other record) must
// not become item data: an item without a path would stand for the root.
const TNimboDropBox::TFileInfo& Identified(const TNimboDropBox::TFileInfo& AInfo) {
    if (AInfo.path.empty()) throw ERestError("The service answered without the item's path");
    return AInfo;
}

// The last segment of a path; a drive letter's colon ends a segment too.
std::string NameOf(const std::string& APath) {
    const std::size_t delimiter = APath.find_last_of("\\/:");
    return delimiter == std::string::npos ? APath : APath.substr(delimiter + 1);
}

// How the root folder is shown in messages.
std::string DisplayPath(const std::string& APath) { return APath.empty() ? "/" : APath; }

// The service's offset from its answer to a chunk sent at another offset; none for any other error.
std::optional<std::int64_t> OffsetHeld(const EHttpProtocolError& AError, const std::string& AUploadId) {
    if (AError.ErrorCode() != 400 || AUploadId.empty()) return std::nullopt;
    try {
        TNimboDropBox::TChunkedUpload held;
        TJsonDecoder(AError.ErrorMessage()).Decode(held);
        if (held.upload_id != AUploadId) return std::nullopt;
        return held.offset;
    } catch (const Exception&) {
        return std::nullopt;
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TNimboDropBoxState

std::string TNimboDropBoxState::DefaultRedirectUrl() const { return OAuthClient.DefaultRedirectUrl(); }

// ---------------------------------------------------------------------------------------------
// TNimboDropBoxData

void TNimboDropBoxData::SetInfo(TNimboDropBox::TFileInfo AInfo) {
    // The date is converted first, so that a malformed one changes nothing.
    std::string name = NameOf(AInfo.path);
    TNimboItemInfo info{.Id = std::move(AInfo.path),
                        .Name = std::move(name),
                        .IsFolder = AInfo.is_dir,
                        .Size = AInfo.bytes,
                        .MimeType = std::move(AInfo.mime_type),
                        .Modified = TDropBoxDate::MomentFromStr(AInfo.modified, MinDateTime)};
    AssignInfo(std::move(info));
}

// ---------------------------------------------------------------------------------------------
// TNimboDropBox: component

TNimboDropBox::TNimboDropBox(TComponent* AOwner)
    : TNimboStorage(AOwner), FRoot(std::make_shared<TNimboDropBoxData>(*this, GetRootInfo())) {}

TNimboDropBox::TFileInfo TNimboDropBox::GetRootInfo() { return TFileInfo{.is_dir = true}; }

std::string TNimboDropBox::GetServerName() const { return ApiHost; }

TServiceStateClass TNimboDropBox::GetStateClass() const { return TServiceStateClass::Of<TNimboDropBoxState>(); }

void TNimboDropBox::DoSaveState(TBinaryWriter& AWriter) const { AWriter.Write(FUserName); }

TApplyState TNimboDropBox::DoLoadState(TBinaryReader& AReader) {
    return [this, userName = AReader.ReadString()] { FUserName = userName; };
}

std::string TNimboDropBox::GetUserName() {
    RefreshAccess();
    return FUserName;
}

void TNimboDropBox::SetUploadSettings(const TSessionUploadSettings& AValue) {
    CheckSessionUploadSettings(AValue);
    if (AValue.SingleRequestLimit > MaxSingleUpload || AValue.ChunkSize > MaxSingleUpload)
        throw EArgumentException("Dropbox takes at most " + std::to_string(MaxSingleUpload) + " bytes in one request");
    FUploadSettings = AValue;
}

std::string TNimboDropBox::Bearer() const { return "Bearer " + GetToken(); }

// ---------------------------------------------------------------------------------------------
// TNimboDropBox: sign-in

void TNimboDropBox::RefreshAccess() {
    CheckAuthParams();
    if (OAuthClient.EnsureAccess(State(), Http(), {}))
        FUserName = ReadAccountName(Http(), "1/account/info", GetToken(), &TAbout::display_name);
}

// ---------------------------------------------------------------------------------------------
// TNimboDropBox: items

TNimboCloudFile TNimboDropBox::GetRoot() { return FRoot; }

std::string TNimboDropBox::GetName(TNimboCloudFileData& AData) {
    // A path holding characters no path may hold names nothing that could be shown.
    CheckPathChars(AData.Info().Id);
    return AData.Info().Name;
}

// ---------------------------------------------------------------------------------------------
// TNimboDropBox: the chunked upload session

// The steps of a chunked upload: the first chunk opens the session; the service tells no more than
// the answer to each chunk, and refuses a chunk sent at another offset than it holds, naming its own.
class TNimboDropBox::TChunkedSession : public TSessionUploadSteps {
public:
    TChunkedSession(TNimboDropBox& ADropBox, TUploadSource& ASource, const std::string& APath)
        : FDropBox(ADropBox), FSource(ASource), FPath(APath) {}

    std::int64_t Start() override { return 0; }

    TSessionHeld SendPart(std::int64_t AOffset, std::int64_t ACount) override {
        try {
            TChunkedUpload stored;
            FSource
                .AddTo(FDropBox.Http()
                           .Put(ContentUrl("/1/chunked_upload", ""))
                           .ParamIf(!FUploadId.empty(), "upload_id", FUploadId)
                           .Param("offset", std::to_string(AOffset))
                           .Header("Authorization", FDropBox.Bearer()),
                       AOffset, ACount)
                .ValidResponse(200)
                .Execute(stored);
            FUploadId = stored.upload_id;
            return {.Bytes = stored.offset};
        } catch (const EHttpProtocolError& E) {
            // After an interruption the service may hold more (or less) than was confirmed.
            if (const std::optional<std::int64_t> held = OffsetHeld(E, FUploadId)) throw ESessionOffset(*held);
            throw;
        }
    }

    std::optional<TSessionHeld> AskHeld() override { return std::nullopt; }

    void Commit() override {
        FDropBox.Http()
            .Post(ContentUrl("/1/commit_chunked_upload/dropbox/", FPath))
            .Header("Authorization", FDropBox.Bearer())
            .BeginForm(true)
            .Prop("upload_id", FUploadId)
            .EndForm()
            .ValidResponse(200)
            .Execute(FFile);
    }

    const TFileInfo& File() const { return FFile; }

private:
    TNimboDropBox& FDropBox;
    TUploadSource& FSource;
    const std::string& FPath;
    std::string FUploadId;
    TFileInfo FFile;
};

// ---------------------------------------------------------------------------------------------
// TNimboDropBox: operations

void TNimboDropBox::GetFiles(TNimboCloudFileData& AData, const TFileProc& AProc) {
    auto& folder = DataAs<TNimboDropBoxData>(AData);
    try {
        ListPages<TFileList>(
            *this, ListPaging,
            [&](const TPagePosition& APage) {
                return Http()
                    .Get(ApiPath("1/metadata/dropbox/", folder.GetPath()))
                    .Param("list", "true")
                    .Param("file_limit", std::to_string(APage.PageSize))
                    .Header("Authorization", Bearer())
                    .ValidResponse(200);
            },
            [&](TFileList& AList) {
                for (TFileInfo& entry : AList.contents) {
                    Identified(entry);
                    AProc(TNimboCloudFile(std::make_shared<TNimboDropBoxData>(folder, std::move(entry))));
                }
                return TPageSummary{.Entries = AList.contents.size()};
            });
    } catch (const EHttpProtocolError& E) {
        if (E.ErrorCode() != 406) throw;
        throw ERestError("The folder \"" + DisplayPath(folder.GetPath()) + "\" holds more than " +
                         std::to_string(MaxListedEntries) + " items, more than Dropbox lists at once");
    }
}

void TNimboDropBox::Download(TNimboCloudFileData& AData, std::ostream& AStream) {
    RefreshAccess();
    const auto& file = DataAs<TNimboDropBoxData>(AData);
    Http()
        .Get(ContentUrl("/1/files/dropbox/", file.GetPath()))
        .Header("Authorization", Bearer())
        .ValidResponse(200)
        .SafeToRepeat()
        .Execute(AStream);
}

bool TNimboDropBox::CanDownloadRanges(TNimboCloudFileData&) { return true; }

TRangeExchange TNimboDropBox::RangeExchange(TNimboCloudFileData& AData, std::int64_t AFirst, std::int64_t ALast) {
    RefreshAccess();
    const auto& file = DataAs<TNimboDropBoxData>(AData);
    const THttpRequest request = Http()
                                     .Get(ContentUrl("/1/files/dropbox/", file.GetPath()))
                                     .Header("Authorization", Bearer())
                                     .ByteRange(AFirst, ALast, file.Info().Size)
                                     .SafeToRepeat();
    return [request](std::ostream& AStream) { request.Execute(AStream); };
}

void TNimboDropBox::Upload(TNimboCloudFileData& AData, std::istream& AStream) {
    RefreshAccess();
    auto& file = DataAs<TNimboDropBoxData>(AData);
    file.SetInfo(Identified(PutFile(file.GetPath(), AStream)));
}

void TNimboDropBox::Delete(TNimboCloudFileData& AData) {
    RefreshAccess();
    const auto& item = DataAs<TNimboDropBoxData>(AData);
    Http()
        .Post("1/fileops/delete")
        .Header("Authorization", Bearer())
        .BeginForm(true)
        .Prop("root", "dropbox")
        .Prop("path", item.GetPath())
        .EndForm()
        .ValidResponse(200)
        .Execute();
}

AutoFree<TNimboCloudFileData> TNimboDropBox::CreateFolder(TNimboCloudFileData& AData, const std::string& AName) {
    RefreshAccess();
    auto& folder = DataAs<TNimboDropBoxData>(AData);
    const std::string path = NewPath(folder, AName);
    TFileInfo info;
    Http()
        .Post("1/fileops/create_folder")
        .Header("Authorization", Bearer())
        .BeginForm(true)
        .Prop("root", "dropbox")
        .Prop("path", path)
        .EndForm()
        .ValidResponse(200)
        .Execute(info);
    return std::make_shared<TNimboDropBoxData>(folder, Identified(info));
}

TNimboDropBox::TFileInfo TNimboDropBox::FileOperation(const char* AOperation, const std::string& AFrom,
                                                      const TNimboDropBoxData& AFolder, const std::string& AName) {
    const std::string target = ItemPathIn(AFolder, AName);
    RefreshAccess();
    TFileInfo info;
    GuardNameTaken(403, "already exists", AName, AFolder.Info().Name, [&] {
        return Http()
            .Post(std::string("1/fileops/") + AOperation)
            .Header("Authorization", Bearer())
            .BeginForm(true)
            .Prop("root", "dropbox")
            .Prop("from_path", AFrom)
            .Prop("to_path", target)
            .EndForm()
            .ValidResponse(200)
            .Execute(info);
    });
    return Identified(info);
}

void TNimboDropBox::Rename(TNimboCloudFileData& AData, const std::string& AName) {
    TNimboDropBoxData& item = DataAs<TNimboDropBoxData>(AData);
    // The item's folder by its path: a handle made by a listing knows it, but one of the root does not.
    const std::string& path = item.GetPath();
    TNimboDropBoxData folder(*this, TFileInfo{.path = path.substr(0, path.rfind('/')), .is_dir = true});
    item.SetInfo(FileOperation("move", path, folder, AName));
}

void TNimboDropBox::Move(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder) {
    TNimboDropBoxData& item = DataAs<TNimboDropBoxData>(AData);
    item.SetInfo(FileOperation("move", item.GetPath(), DataAs<TNimboDropBoxData>(AFolder), item.Info().Name));
}

AutoFree<TNimboCloudFileData> TNimboDropBox::Copy(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder,
                                                  const std::string& AName) {
    auto& folder = DataAs<TNimboDropBoxData>(AFolder);
    return std::make_shared<TNimboDropBoxData>(
        folder, FileOperation("copy", DataAs<TNimboDropBoxData>(AData).GetPath(), folder, AName));
}

TNimboSpace TNimboDropBox::GetSpace() {
    RefreshAccess();
    TAccountSpace account;
    Http().Get("1/account/info").Header("Authorization", Bearer()).ValidResponse(200).SafeToRepeat().Execute(account);
    const TQuotaInfo& quota = account.quota_info;
    return TNimboSpace{.Used = quota.normal + quota.shared, .Total = quota.quota};
}

AutoFree<TNimboCloudFileData> TNimboDropBox::createFile(TNimboCloudFileData& AData, const std::string& AName,
                                                        std::istream& AStream) {
    RefreshAccess();
    auto& folder = DataAs<TNimboDropBoxData>(AData);
    const std::string path = NewPath(folder, AName);
    return std::make_shared<TNimboDropBoxData>(folder, Identified(PutFile(path, AStream)));
}

TNimboDropBox::TFileInfo TNimboDropBox::PutFile(const std::string& APath, std::istream& AStream) {
    TUploadSource source(AStream, FUploadSettings.SingleRequestLimit);
    if (source.ExceedsLimit()) {
        TChunkedSession session(*this, source, APath);
        RunSessionUpload(*this, source, session, FUploadSettings, "The upload of \"" + DisplayPath(APath) + "\"");
        return session.File();
    }
    TFileInfo info;
    Http()
        .Put(ContentUrl("/1/files_put/dropbox/", APath))
        .Header("Authorization", Bearer())
        .Data(source.Whole())
        .ValidResponse(200)
        .Execute(info);
    return info;
}

}  // namespace Nimbo::Connection
