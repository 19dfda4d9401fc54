#include "Nimbo/Connection/BoxNet.h"

#include <openssl/evp.h>

#include <algorithm>
#include <charconv>
#include <memory>

#include "Nimbo/Connection/ContentHash.h"
#include "Nimbo/Connection/DateFormats.h"
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

const char* const ListFields = "name,size,created_at,modified_at,sha1";
const char* const FolderType = "folder";
// Listings go by offset up to the count the service tells.
const TOffsetPaging ListPaging(TNimboBoxNet::ListPageSize);
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

// The SHA-1 of the whole content in hex, as the direct upload's Content-MD5 header carries it.
std::string Sha1Hex(TUploadSource& ASource) {
    const std::unique_ptr<TContentHasher> hasher = TContentHasher::Create(THashAlgorithm::Sha1);
    ASource.Read(0, ASource.Size().value_or(0),
                 [&](const char* AData, std::size_t ASize) { hasher->Update(AData, ASize); });
    return hasher->Finish();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TNimboBoxNetState

std::string TNimboBoxNetState::DefaultRedirectUrl() const { return OAuthClient.DefaultRedirectUrl(); }

// ---------------------------------------------------------------------------------------------
// TNimboBoxNetData

void TNimboBoxNetData::SetInfo(TNimboBoxNet::TFileInfo AInfo) {
    // The dates are parsed before anything is stored, so a malformed one leaves the item as it was.
    TNimboItemInfo info{.Id = std::move(AInfo.id),
                        .Name = std::move(AInfo.name),
                        .IsFolder = AInfo.type == FolderType,
                        .Size = AInfo.size,
                        .Created = TRfc3339::MomentFromStr(AInfo.created_at, MinDateTime),
                        .Modified = TRfc3339::MomentFromStr(AInfo.modified_at, MinDateTime),
                        .Hash = std::move(AInfo.sha1)};
    if (!info.Hash.empty()) info.HashAlgorithm = THashAlgorithm::Sha1;
    AssignInfo(std::move(info));
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

// The service gives no media type: it follows from the name.
std::string TNimboBoxNet::GetMimeType(TNimboCloudFileData& AData) { return TMimeTypes::ByFileName(AData.Info().Name); }

// ---------------------------------------------------------------------------------------------
// TNimboBoxNet: upload sessions

// The steps of an upload session: the service chooses the part size; each part goes with its
// digest, the commit names every part with the whole content's digest; after an interruption the
// session lists the parts it holds. The service takes the parts in any order, several at once.
class TNimboBoxNet::TSessionSteps : public TSessionUploadSteps, public TParallelParts {
public:
    TSessionSteps(TNimboBoxNet& ABox, TUploadSource& ASource, const std::string& AName,
                  const std::function<THttpRequest(std::int64_t ASize)>& ACreate)
        : FBox(ABox), FSource(ASource), FName(AName), FCreate(ACreate) {}

    std::int64_t Start() override {
        TUploadSession session;
        FCreate(*FSource.Size()).ValidResponse({200, 201}).Execute(session);
        if (session.id.empty() || session.part_size <= 0)
            throw ERestError("The service opened no usable upload session for \"" + FName + "\"");
        FUrl = SessionsUrl + THttpClient::UrlEncode(session.id);
        return session.part_size;
    }

    TParallelParts* Parallel() override { return this; }
    std::int64_t PartUnit() const override { return 1; }

    TPartExchange PartExchange(const TSessionPart& APart) override {
        const bool extendsWhole = APart.Offset() == FDigested;
        TSha1 digest;
        digest.Update(APart.Bytes().data(), APart.Bytes().size());
        if (extendsWhole) {
            FWhole.Update(APart.Bytes().data(), APart.Bytes().size());
            FDigested += APart.Size();
        }
        THttpRequest request = APart.AddTo(PartRequest(APart.Offset(), APart.Size(), digest)).ValidResponse({200, 201});
        return [request] {
            std::string answer;
            request.Execute(answer);
            return answer;
        };
    }

    void PartStored(const TSessionPart&, const std::string& AAnswer) override {
        TPartAnswer answer;
        TJsonDecoder(AAnswer).Decode(answer);
        FParts.push_back(answer.part);
    }

    TSessionHeld SendPart(std::int64_t AOffset, std::int64_t ACount) override {
        const bool extendsWhole = AOffset == FDigested;
        TSha1 digest;
        FSource.Read(AOffset, ACount, [&](const char* AData, std::size_t ASize) {
            digest.Update(AData, ASize);
            if (extendsWhole) FWhole.Update(AData, ASize);
        });
        if (extendsWhole) FDigested += ACount;
        TPartAnswer answer;
        FSource.AddTo(PartRequest(AOffset, ACount, digest), AOffset, ACount).ValidResponse({200, 201}).Execute(answer);
        FParts.push_back(answer.part);
        return {.Bytes = AOffset + ACount};
    }

    // The parts the session holds, in order from the first byte as long as they follow each other.
    std::optional<TSessionHeld> AskHeld() override {
        std::vector<TUploadPart> held;
        TPartList page;
        do {
            FBox.Http()
                .Get(FUrl + "/parts")
                .Param("offset", std::to_string(held.size()))
                .Param("limit", "1000")
                .Header("Authorization", FBox.Bearer())
                .ValidResponse(200)
                .SafeToRepeat()
                .Execute(page);
            held.insert(held.end(), page.entries.begin(), page.entries.end());
        } while (!page.entries.empty() && static_cast<std::int64_t>(held.size()) < page.total_count);

        std::sort(held.begin(), held.end(),
                  [](const TUploadPart& A, const TUploadPart& B) { return A.offset < B.offset; });
        std::size_t following = 0;
        std::int64_t next = 0;
        for (; following < held.size() && held[following].offset == next; ++following) next += held[following].size;
        held.resize(following);
        FParts = std::move(held);
        return TSessionHeld{.Bytes = next};
    }

    // While the service is still processing the parts it answers 202, and asks for the commit again
    // after a while.
    void Commit() override {
        std::sort(FParts.begin(), FParts.end(),
                  [](const TUploadPart& A, const TUploadPart& B) { return A.offset < B.offset; });
        const std::string wholeDigest = FWhole.Base64();
        const THttpRetryPolicy policy = THttpClient::RetryPolicy();
        for (int poll = 0;; ++poll) {
            FBox.RefreshAccess();
            THttpRequest commit = FBox.Http()
                                      .Post(FUrl + "/commit")
                                      .Header("Authorization", FBox.Bearer())
                                      .Header("Digest", "sha=" + wholeDigest)
                                      .BeginJson(THttpRequest::jvBeginObject, true)
                                      .Prop("parts", THttpRequest::jvBeginArray)
                                      .Elems([&](THttpRequest::TJsonData AJson) {
                                          for (const TUploadPart& part : FParts)
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
                FFile = Identified(SingleEntry(stored));
                return;
            }
            if (poll == MaxCommitPolls)
                throw ERestError("The service was still processing the parts of \"" + FName + "\" after " +
                                 std::to_string(MaxCommitPolls + 1) + " commits");
            policy.Pause(ParseRetryAfter(commit.ResponseHeader("Retry-After")), poll);
        }
    }

    // Nothing of the upload is left behind, also when the user cancelled it through the progress
    // handler (which does not hear of this request).
    void Abandon() override {
        try {
            const THttpProgressScope unreported({});
            FBox.Http().Delete(FUrl).Header("Authorization", FBox.Bearer()).Execute();
        } catch (const std::exception&) {}
    }

    const TFileInfo& File() const { return FFile; }

private:
    // A part's request, its bytes still to be added.
    THttpRequest PartRequest(std::int64_t AOffset, std::int64_t ACount, TSha1& ADigest) {
        return FBox.Http()
            .Put(FUrl)
            .Header("Authorization", FBox.Bearer())
            .Header("Content-Type", "application/octet-stream")
            .Header("Content-Range", PartRange(AOffset, ACount, *FSource.Size()))
            .Header("Digest", "sha=" + ADigest.Base64());
    }

    TNimboBoxNet& FBox;
    TUploadSource& FSource;
    const std::string& FName;
    const std::function<THttpRequest(std::int64_t ASize)>& FCreate;
    std::string FUrl;
    std::vector<TUploadPart> FParts;
    TSha1 FWhole;
    std::int64_t FDigested = 0;  // the bytes in the whole content's digest, from the first on
    TFileInfo FFile;
};

TNimboBoxNet::TFileInfo TNimboBoxNet::SessionUpload(TUploadSource& ASource, const std::string& AName,
                                                    const std::function<THttpRequest(std::int64_t ASize)>& ACreate) {
    // The session is opened for the content's size, so a stream that cannot seek is measured first.
    ASource.MakeMeasurable();
    TSessionSteps session(*this, ASource, AName, ACreate);
    RunSessionUpload(*this, ASource, session, FUploadSettings, "The upload of \"" + AName + "\"");
    return session.File();
}

// ---------------------------------------------------------------------------------------------
// TNimboBoxNet: operations

void TNimboBoxNet::GetFiles(TNimboCloudFileData& AData, const TFileProc& AProc) {
    const std::string path = "2.0/folders/" + DataAs<TNimboBoxNetData>(AData).Info().Id + "/items";
    ListPages<TFileList>(
        *this, ListPaging,
        [&](const TPagePosition& APage) {
            return Http()
                .Get(path)
                .Param("fields", ListFields)
                .Param("limit", std::to_string(APage.PageSize))
                .Param("offset", std::to_string(APage.Offset))
                .Header("Authorization", Bearer())
                .ValidResponse(200);
        },
        [&](TFileList& APage) {
            for (TFileInfo& info : APage.entries) {
                Identified(info);
                AProc(TNimboCloudFile(std::make_shared<TNimboBoxNetData>(AData, std::move(info))));
            }
            return TPageSummary{.Entries = APage.entries.size(), .Applied = APage.limit, .Total = APage.total_count};
        });
}

void TNimboBoxNet::Download(TNimboCloudFileData& AData, std::ostream& AStream) {
    RefreshAccess();
    Http()
        .Get("2.0/files/" + DataAs<TNimboBoxNetData>(AData).Info().Id + "/content")
        .Header("Authorization", Bearer())
        .ValidResponse(200)
        .SafeToRepeat()
        .Execute(AStream);
}

bool TNimboBoxNet::CanDownloadRanges(TNimboCloudFileData&) { return true; }

TRangeExchange TNimboBoxNet::RangeExchange(TNimboCloudFileData& AData, std::int64_t AFirst, std::int64_t ALast) {
    RefreshAccess();
    const TNimboItemInfo& info = DataAs<TNimboBoxNetData>(AData).Info();
    // The range goes along to the download host the answer redirects to.
    const THttpRequest request = Http()
                                     .Get("2.0/files/" + info.Id + "/content")
                                     .Header("Authorization", Bearer())
                                     .ByteRange(AFirst, ALast, info.Size)
                                     .SafeToRepeat();
    return [request](std::ostream& AStream) { request.Execute(AStream); };
}

void TNimboBoxNet::Upload(TNimboCloudFileData& AData, std::istream& AStream) {
    TUploadSource source(AStream, FUploadSettings.SingleRequestLimit);
    RefreshAccess();
    TNimboBoxNetData& file = DataAs<TNimboBoxNetData>(AData);
    if (source.ExceedsLimit()) {
        file.SetInfo(SessionUpload(source, file.Info().Name, [&](std::int64_t ASize) {
            // Named as the direct upload names it, by the part's file name.
            return Http()
                .Post(UploadUrl + file.Info().Id + "/upload_sessions")
                .Header("Authorization", Bearer())
                .BeginJson(THttpRequest::jvBeginObject, true)
                .Prop("file_size", ASize)
                .Prop("file_name", file.Info().Name)
                .EndJson();
        }));
        return;
    }
    TFileList answer;
    Http()
        .Post(UploadUrl + file.Info().Id + "/content")
        .Header("Authorization", Bearer())
        .Header("Content-MD5", Sha1Hex(source))
        .BeginMultipart(file.Info().Name, file.Info().Name)
        .Data(source.Whole())
        .EndMultipart()
        .ValidResponse({200, 201})
        .Execute(answer);
    file.SetInfo(Identified(SingleEntry(answer)));
}

std::string TNimboBoxNet::ItemPath(const TNimboCloudFileData& AData) {
    return std::string("2.0/") + PathWords[AData.Info().IsFolder] + "/" + AData.Info().Id;
}

void TNimboBoxNet::Delete(TNimboCloudFileData& AData) {
    RefreshAccess();
    Http()
        .Delete(ItemPath(DataAs<TNimboBoxNetData>(AData)))
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
        .Prop("id", DataAs<TNimboBoxNetData>(AData).Info().Id)
        .EndObject()
        .EndJson()
        .ValidResponse({200, 201})
        .Execute(info);
    return std::make_shared<TNimboBoxNetData>(AData, Identified(info));
}

TNimboBoxNet::TFileInfo TNimboBoxNet::ChangeItem(THttpRequest ARequest, const std::string& AName,
                                                 const TNimboCloudFileData& AFolder,
                                                 const std::function<void(THttpRequest::TJsonData)>& AWrite) {
    RefreshAccess();
    THttpRequest::TJsonData body = ARequest.Param("fields", ListFields)
                                       .Header("Authorization", Bearer())
                                       .BeginJson(THttpRequest::jvBeginObject, true);
    AWrite(body);
    TFileInfo info;
    GuardNameTaken(409, "item_name_in_use", AName, AFolder.Info().Name, [&] {
        return body.EndJson().ValidResponse({200, 201}).Execute(info);
    });
    return Identified(info);
}

void TNimboBoxNet::Rename(TNimboCloudFileData& AData, const std::string& AName) {
    TNimboBoxNetData& item = DataAs<TNimboBoxNetData>(AData);
    const TNimboCloudFileData* folder = item.Parent();
    item.SetInfo(ChangeItem(Http().Put(ItemPath(item)), AName, folder ? *folder : item,
                            [&](THttpRequest::TJsonData AJson) { AJson.Prop("name", AName); }));
}

void TNimboBoxNet::Move(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder) {
    TNimboBoxNetData& item = DataAs<TNimboBoxNetData>(AData);
    item.SetInfo(ChangeItem(Http().Put(ItemPath(item)), item.Info().Name, AFolder, [&](THttpRequest::TJsonData AJson) {
        AJson.Prop("parent", THttpRequest::jvBeginObject).Prop("id", AFolder.Info().Id).EndObject();
    }));
}

AutoFree<TNimboCloudFileData> TNimboBoxNet::Copy(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder,
                                                 const std::string& AName) {
    const TNimboBoxNetData& item = DataAs<TNimboBoxNetData>(AData);
    return std::make_shared<TNimboBoxNetData>(
        AFolder, ChangeItem(Http().Post(ItemPath(item) + "/copy"), AName, AFolder, [&](THttpRequest::TJsonData AJson) {
            AJson.Prop("parent", THttpRequest::jvBeginObject)
                .Prop("id", AFolder.Info().Id)
                .EndObject()
                .Prop("name", AName);
        }));
}

TNimboSpace TNimboBoxNet::GetSpace() {
    RefreshAccess();
    TSpace space;
    Http()
        .Get("2.0/users/me")
        .Param("fields", "space_amount,space_used")
        .Header("Authorization", Bearer())
        .ValidResponse(200)
        .SafeToRepeat()
        .Execute(space);
    TNimboSpace answer{.Used = space.space_used};
    if (space.space_amount >= 0 && space.space_amount < UnlimitedSpace) answer.Total = space.space_amount;
    return answer;
}

std::string TNimboBoxNet::GetHashAlgorithm() const { return THashAlgorithm::Sha1; }

AutoFree<TNimboCloudFileData> TNimboBoxNet::createFile(TNimboCloudFileData& AData, const std::string& AName,
                                                       std::istream& AStream) {
    TUploadSource source(AStream, FUploadSettings.SingleRequestLimit);
    RefreshAccess();
    const std::string& folderId = DataAs<TNimboBoxNetData>(AData).Info().Id;
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
        .Header("Content-MD5", Sha1Hex(source))
        .BeginMultipart(AName, AName)
        .Data(source.Whole())
        .NextPart("parent_id", "")
        .Data(folderId.data(), static_cast<int>(folderId.size()))
        .EndMultipart()
        .ValidResponse({200, 201})
        .Execute(answer);
    return std::make_shared<TNimboBoxNetData>(AData, Identified(SingleEntry(answer)));
}

}  // namespace Nimbo::Connection
