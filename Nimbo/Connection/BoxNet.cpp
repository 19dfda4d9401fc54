#include "Nimbo/Connection/BoxNet.h"

#include <openssl/evp.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <memory>
#include <thread>

#include "Nimbo/Connection/DateFormats.h"
#include "Nimbo/Connection/Json.h"
#include "Nimbo/Connection/MimeTypes.h"

namespace Nimbo::Connection {

namespace {

// The API host is the component's server: relative paths ("2.0/...") go there.
const std::string ApiHost = "api.box.com";
const std::string UploadHost = "upload.box.com";
const std::string AppHost = "app.box.com";

const std::string UploadUrl = "https://" + UploadHost + "/api/2.0/files/";
const std::string SessionsUrl = UploadUrl + "upload_sessions/";

const TOAuthTable OAuth{
    .SignIns = {{TSignInKind::Loopback, "https://account.box.com/api/oauth2/authorize",
                 "https://" + ApiHost + "/oauth2/token"},
                {TSignInKind::Redirect, "https://" + AppHost + "/api/oauth2/authorize",
                 "https://" + AppHost + "/api/oauth2/token"}},
    // The redirect sign-in goes to the address the application sets.
    .RedirectUrl = {},
    .RedirectEvents = {aeCanceled},
    .RotatingRefresh = true,
    .RedirectWithCode = false,
    .RedirectWithRefresh = true,
};
const TOAuthClient OAuthClient(OAuth);

const char* const ListFields = "name,size,created_at,modified_at";
const char* const FolderType = "folder";
// Path words of Delete, by whether the item is a folder.
const char* const PathWords[2] = {"files", "folders"};

// An upload answers with a list holding the one item it stored.
const TNimboBoxNet::TFileInfo& SingleEntry(const TNimboBoxNet::TFileList& AList) {
    Assert(AList.entries.size() == 1, "Assertion failure (Nimbo.Connection.BoxNet): an upload answer holds " +
                                          std::to_string(AList.entries.size()) + " entries instead of one");
    return AList.entries.front();
}

// An answer that should describe an item but names none (an empty object, some other record) must
// not become item data: the operations on such an item would address another one.
const TNimboBoxNet::TFileInfo& Identified(const TNimboBoxNet::TFileInfo& AInfo) {
    if (AInfo.id.empty()) throw ERestError("The service answered without the item's id");
    return AInfo;
}

// A running SHA-1 digest, handed out in base64 as the service's Digest header carries it.
class TSha1 {
public:
    TSha1() : FContext(EVP_MD_CTX_new(), &EVP_MD_CTX_free) {
        if (!FContext || EVP_DigestInit_ex(FContext.get(), EVP_sha1(), nullptr) != 1)
            throw ERestError("SHA-1 digests are not available");
    }
    void Update(const char* AData, std::size_t ASize) { EVP_DigestUpdate(FContext.get(), AData, ASize); }
    // Ends the digest.
    std::string Base64() {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(FContext.get(), digest, &length);
        std::string text(4 * ((length + 2) / 3), '\0');
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), digest, static_cast<int>(length));
        return text;
    }

private:
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> FContext;
};

// "bytes <first>-<last>/<total>" of a part.
std::string PartRange(std::int64_t AOffset, std::int64_t ACount, std::int64_t ATotal) {
    return "bytes " + std::to_string(AOffset) + "-" + std::to_string(AOffset + ACount - 1) + "/" +
           std::to_string(ATotal);
}

// How long to wait before repeating a commit, from its Retry-After header: 1 to 60 seconds.
std::chrono::seconds CommitDelay(const std::string& ARetryAfter) {
    int seconds = 1;
    std::from_chars(ARetryAfter.data(), ARetryAfter.data() + ARetryAfter.size(), seconds);
    return std::chrono::seconds(std::clamp(seconds, 1, 60));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TNimboBoxNetState

std::string TNimboBoxNetState::DefaultRedirectUrl() const { return OAuthClient.DefaultRedirectUrl(); }

// ---------------------------------------------------------------------------------------------
// TNimboBoxNetData

TNimboBoxNetData::TNimboBoxNetData(const TNimboBoxNet& AService, const TNimboBoxNet::TFileInfo& AInfo)
    : TNimboCloudFileData(AService) {
    SetInfo(AInfo);
}

TNimboBoxNetData::TNimboBoxNetData(TNimboCloudFileData& AParent, const TNimboBoxNet::TFileInfo& AInfo)
    : TNimboCloudFileData(AParent) {
    SetInfo(AInfo);
}

void TNimboBoxNetData::SetInfo(const TNimboBoxNet::TFileInfo& AInfo) {
    // The dates are parsed before anything is stored, so a malformed one leaves the item as it was.
    const TDateTime created = TRfc3339::FromStr(AInfo.created_at, MinDateTime);
    const TDateTime modified = TRfc3339::FromStr(AInfo.modified_at, MinDateTime);
    FId = AInfo.id;
    FName = AInfo.name;
    FIsFolder = AInfo.type == FolderType;
    FSize = AInfo.size;
    FCreated = created;
    FModified = modified;
}

// ---------------------------------------------------------------------------------------------
// TNimboBoxNet: component

TNimboBoxNet::TNimboBoxNet(TComponent* AOwner)
    : TNimboStorage(AOwner), FRoot(std::make_shared<TNimboBoxNetData>(*this, GetRootInfo())) {}

TNimboBoxNet::TFileInfo TNimboBoxNet::GetRootInfo() {
    return TFileInfo{.id = "0", .name = "", .type = FolderType, .size = 0, .created_at = "", .modified_at = ""};
}

std::string TNimboBoxNet::GetServerName() const { return ApiHost; }

TServiceStateClass TNimboBoxNet::GetStateClass() const { return TServiceStateClass::Of<TNimboBoxNetState>(); }

void TNimboBoxNet::DoSaveState(TBinaryWriter& AWriter) const { AWriter.Write(FUserName); }

TApplyState TNimboBoxNet::DoLoadState(TBinaryReader& AReader) {
    return [this, userName = AReader.ReadString()] { FUserName = userName; };
}

std::string TNimboBoxNet::GetUserName() {
    RefreshAccess();
    return FUserName;
}

std::string TNimboBoxNet::Bearer() const { return "Bearer " + GetToken(); }

void TNimboBoxNet::SetUploadSettings(const TSessionUploadSettings& AValue) {
    CheckSessionUploadSettings(AValue);
    if (AValue.SingleRequestLimit < MinSessionFileSize)
        throw EArgumentException("Box's upload sessions take files of at least " + std::to_string(MinSessionFileSize) +
                                 " bytes, so the single-request limit must not be lower");
    FUploadSettings = AValue;
}

// ---------------------------------------------------------------------------------------------
// TNimboBoxNet: tokens

void TNimboBoxNet::RefreshAccess() {
    CheckAuthParams();
    if (OAuthClient.EnsureAccess(State(), Http(), {}))
        FUserName = ReadAccountName(Http(), "2.0/users/me", GetToken(), &TAbout::name);
}

// ---------------------------------------------------------------------------------------------
// TNimboBoxNet: items

TNimboCloudFile TNimboBoxNet::GetRoot() { return FRoot; }

std::string TNimboBoxNet::GetName(TNimboCloudFileData& AData) { return DataAs<TNimboBoxNetData>(AData).FName; }

bool TNimboBoxNet::GetIsFolder(TNimboCloudFileData& AData) { return DataAs<TNimboBoxNetData>(AData).FIsFolder; }

std::string TNimboBoxNet::GetMimeType(TNimboCloudFileData& AData) {
    return TMimeTypes::ByFileName(DataAs<TNimboBoxNetData>(AData).FName);
}

std::int64_t TNimboBoxNet::GetSize(TNimboCloudFileData& AData) { return DataAs<TNimboBoxNetData>(AData).FSize; }

TDateTime TNimboBoxNet::GetCreatedAt(TNimboCloudFileData& AData) { return DataAs<TNimboBoxNetData>(AData).FCreated; }

TDateTime TNimboBoxNet::GetModifiedAt(TNimboCloudFileData& AData) { return DataAs<TNimboBoxNetData>(AData).FModified; }

// ---------------------------------------------------------------------------------------------
// TNimboBoxNet: operations

void TNimboBoxNet::GetFiles(TNimboCloudFileData& AData, const TFileProc& AProc) {
    const std::string path = "2.0/folders/" + DataAs<TNimboBoxNetData>(AData).FId + "/items";
    // The service hands the children out a page at a time, by offset, until its count is reached.
    // A page may come back short (even empty) before the end, so the offset moves on by the
    // page size the service applied, not by the entries received.
    std::int64_t offset = 0;
    TFileList page;
    do {
        RefreshAccess();
        Http()
            .Get(path)
            .Param("fields", ListFields)
            .Param("limit", std::to_string(ListPageSize))
            .Param("offset", std::to_string(offset))
            .Header("Authorization", Bearer())
            .ValidResponse(200)
            .SafeToRepeat()
            .Execute(page);
        for (const TFileInfo& info : page.entries)
            AProc(TNimboCloudFile(std::make_shared<TNimboBoxNetData>(AData, Identified(info))));
        offset += page.limit > 0 ? page.limit : ListPageSize;
    } while (offset < page.total_count);
}

void TNimboBoxNet::Download(TNimboCloudFileData& AData, std::ostream& AStream) {
    RefreshAccess();
    Http()
        .Get("2.0/files/" + DataAs<TNimboBoxNetData>(AData).FId + "/content")
        .Header("Authorization", Bearer())
        .ValidResponse(200)
        .SafeToRepeat()
        .Execute(AStream);
}

void TNimboBoxNet::Upload(TNimboCloudFileData& AData, std::istream& AStream) {
    TUploadSource source(AStream, FUploadSettings.SingleRequestLimit);
    RefreshAccess();
    TNimboBoxNetData& file = DataAs<TNimboBoxNetData>(AData);
    if (source.ExceedsLimit()) {
        file.SetInfo(SessionUpload(source, file.FName, [&](std::int64_t ASize) {
            // Named as the direct upload names it, by the part's file name.
            return Http()
                .Post(UploadUrl + file.FId + "/upload_sessions")
                .Header("Authorization", Bearer())
                .BeginJson(THttpRequest::jvBeginObject, true)
                .Prop("file_size", ASize)
                .Prop("file_name", file.FName)
                .EndJson();
        }));
        return;
    }
    TFileList answer;
    Http()
        .Post(UploadUrl + file.FId + "/content")
        .Header("Authorization", Bearer())
        .BeginMultipart(file.FName, file.FName)
        .Data(source.Whole())
        .EndMultipart()
        .ValidResponse({200, 201})
        .Execute(answer);
    file.SetInfo(Identified(SingleEntry(answer)));
}

void TNimboBoxNet::Delete(TNimboCloudFileData& AData) {
    RefreshAccess();
    const TNimboBoxNetData& item = DataAs<TNimboBoxNetData>(AData);
    Http()
        .Delete(std::string("2.0/") + PathWords[item.FIsFolder] + "/" + item.FId)
        .Param("recursive", "true")
        .Header("Authorization", Bearer())
        .ValidResponse({200, 204})
        .Execute();
}

AutoFree<TNimboCloudFileData> TNimboBoxNet::CreateFolder(TNimboCloudFileData& AData, const std::string& AName) {
    RefreshAccess();
    TFileInfo info;
    Http()
        .Post("2.0/folders")
        .Header("Authorization", Bearer())
        .BeginJson(THttpRequest::jvBeginObject, true)
        .Prop("name", AName)
        .Prop("parent", THttpRequest::jvBeginObject)
        .Prop("id", DataAs<TNimboBoxNetData>(AData).FId)
        .EndObject()
        .EndJson()
        .ValidResponse({200, 201})
        .Execute(info);
    return std::make_shared<TNimboBoxNetData>(AData, Identified(info));
}

AutoFree<TNimboCloudFileData> TNimboBoxNet::createFile(TNimboCloudFileData& AData, const std::string& AName,
                                                       std::istream& AStream) {
    TUploadSource source(AStream, FUploadSettings.SingleRequestLimit);
    RefreshAccess();
    const std::string& folderId = DataAs<TNimboBoxNetData>(AData).FId;
    if (source.ExceedsLimit()) {
        const TFileInfo info = SessionUpload(source, AName, [&](std::int64_t ASize) {
            return Http()
                .Post(UploadUrl + "upload_sessions")
                .Header("Authorization", Bearer())
                .BeginJson(THttpRequest::jvBeginObject, true)
                .Prop("folder_id", folderId)
                .Prop("file_size", ASize)
                .Prop("file_name", AName)
                .EndJson();
        });
        return std::make_shared<TNimboBoxNetData>(AData, info);
    }
    TFileList answer;
    Http()
        .Post(UploadUrl + "content")
        .Header("Authorization", Bearer())
        .BeginMultipart(AName, AName)
        .Data(source.Whole())
        .NextPart("parent_id", "")
        .Data(folderId.data(), static_cast<int>(folderId.size()))
        .EndMultipart()
        .ValidResponse({200, 201})
        .Execute(answer);
    return std::make_shared<TNimboBoxNetData>(AData, Identified(SingleEntry(answer)));
}

// ---------------------------------------------------------------------------------------------
// TNimboBoxNet: upload sessions

TNimboBoxNet::TFileInfo TNimboBoxNet::SessionUpload(TUploadSource& ASource, const std::string& AName,
                                                    const std::function<THttpRequest(std::int64_t ASize)>& ACreate) {
    // The session is opened for the content's size, so a stream that cannot seek is measured first.
    ASource.MakeMeasurable();
    TSessionProgress progress(ASource);
    TUploadSession session;
    ACreate(*ASource.Size()).ValidResponse({200, 201}).Execute(session);
    if (session.id.empty() || session.part_size <= 0)
        throw ERestError("The service opened no usable upload session for \"" + AName + "\"");
    const std::string url = SessionsUrl + THttpClient::UrlEncode(session.id);

    std::vector<TUploadPart> parts;
    std::string wholeDigest;
    try {
        parts = SendParts(url, session.part_size, ASource, progress, AName, wholeDigest);
    } catch (...) {
        // Nothing of the upload is left behind, also when the user cancelled it through the progress
        // handler (which does not hear of this request); the error that ended it is the one reported.
        try {
            const THttpProgressScope unreported({});
            Http().Delete(url).Header("Authorization", Bearer()).Execute();
        } catch (const std::exception&) {}
        throw;
    }
    // Not repeated when it fails: the service may have stored the file already.
    const TFileInfo file = CommitSession(url, parts, wholeDigest, AName);
    ASource.Finish();
    return file;
}

std::vector<TNimboBoxNet::TUploadPart> TNimboBoxNet::SendParts(const std::string& ASessionUrl, std::int64_t APartSize,
                                                               TUploadSource& ASource, TSessionProgress& AProgress,
                                                               const std::string& AName, std::string& AWholeDigest) {
    const std::int64_t size = *ASource.Size();
    TUploadInterruptions interruptions(FUploadSettings.MaxResumptions, "The upload of \"" + AName + "\"");
    TSha1 whole;
    std::int64_t digested = 0;  // the bytes in the whole content's digest, from the first on
    std::vector<TUploadPart> parts;
    std::int64_t offset = 0;
    bool askParts = false;  // after an interruption: which parts did the service keep?
    while (askParts || offset < size) {
        try {
            RefreshAccess();
            if (askParts) {
                parts = ListParts(ASessionUrl);
                offset = parts.empty() ? 0 : parts.back().offset + parts.back().size;
                askParts = false;
                continue;
            }
            const std::int64_t count = std::min(APartSize, size - offset);
            const bool extendsWhole = offset == digested;
            TSha1 digest;
            ASource.Read(offset, count, [&](const char* AData, std::size_t ASize) {
                digest.Update(AData, ASize);
                if (extendsWhole) whole.Update(AData, ASize);
            });
            if (extendsWhole) digested += count;
            AProgress.At(offset);
            TPartAnswer answer;
            ASource
                .AddTo(Http()
                           .Put(ASessionUrl)
                           .Header("Authorization", Bearer())
                           .Header("Content-Type", "application/octet-stream")
                           .Header("Content-Range", PartRange(offset, count, size))
                           .Header("Digest", "sha=" + digest.Base64()),
                       offset, count)
                .ValidResponse({200, 201})
                .Execute(answer);
            parts.push_back(answer.part);
            offset += count;
        } catch (...) {
            interruptions.Survive();
            askParts = true;
        }
    }
    AProgress.At(offset);
    AWholeDigest = whole.Base64();
    return parts;
}

std::vector<TNimboBoxNet::TUploadPart> TNimboBoxNet::ListParts(const std::string& ASessionUrl) {
    std::vector<TUploadPart> held;
    TPartList page;
    do {
        Http()
            .Get(ASessionUrl + "/parts")
            .Param("offset", std::to_string(held.size()))
            .Param("limit", "1000")
            .Header("Authorization", Bearer())
            .ValidResponse(200)
            .SafeToRepeat()
            .Execute(page);
        held.insert(held.end(), page.entries.begin(), page.entries.end());
    } while (!page.entries.empty() && static_cast<std::int64_t>(held.size()) < page.total_count);

    std::sort(held.begin(), held.end(), [](const TUploadPart& A, const TUploadPart& B) { return A.offset < B.offset; });
    std::size_t following = 0;
    for (std::int64_t next = 0; following < held.size() && held[following].offset == next; ++following)
        next += held[following].size;
    held.resize(following);
    return held;
}

TNimboBoxNet::TFileInfo TNimboBoxNet::CommitSession(const std::string& ASessionUrl,
                                                    const std::vector<TUploadPart>& AParts,
                                                    const std::string& AWholeDigest, const std::string& AName) {
    // While the service is still processing the parts it answers 202, and the commit is repeated.
    for (int poll = 0;; ++poll) {
        RefreshAccess();
        THttpRequest commit = Http()
                                  .Post(ASessionUrl + "/commit")
                                  .Header("Authorization", Bearer())
                                  .Header("Digest", "sha=" + AWholeDigest)
                                  .BeginJson(THttpRequest::jvBeginObject, true)
                                  .Prop("parts", THttpRequest::jvBeginArray)
                                  .Elems([&](THttpRequest::TJsonData AJson) {
                                      for (const TUploadPart& part : AParts)
                                          AJson.Elem(THttpRequest::jvBeginObject)
                                              .Prop("part_id", part.part_id)
                                              .Prop("offset", part.offset)
                                              .Prop("size", part.size)
                                              .Prop("sha1", part.sha1)
                                              .EndObject();
                                  })
                                  .EndArray()
                                  .EndJson();
        std::string answer;
        if (commit.ValidResponse({200, 201, 202}).Execute(answer) != 202) {
            TFileList stored;
            TJsonDecoder(answer).Decode(stored);
            return Identified(SingleEntry(stored));
        }
        if (poll == MaxCommitPolls)
            throw ERestError("The service was still processing the parts of \"" + AName + "\" after " +
                             std::to_string(MaxCommitPolls + 1) + " commits");
        std::this_thread::sleep_for(CommitDelay(commit.ResponseHeader("Retry-After")));
    }
}

}  // namespace Nimbo::Connection
