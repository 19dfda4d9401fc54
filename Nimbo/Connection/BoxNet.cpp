#include "Nimbo/Connection/BoxNet.h"

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
const std::string AuthorizeUrl = "https://" + AppHost + "/api/oauth2/authorize";
const std::string TokenUrl = "https://" + AppHost + "/api/oauth2/token";

const char* const ListFields = "name,size,created_at,modified_at";
const char* const FolderType = "folder";
// Path words of Delete, by whether the item is a folder.
const char* const PathWords[2] = {"files", "folders"};

// A token is renewed once it is this close to its expiry: five minutes, in days.
constexpr TDateTime RenewalMargin = 5.0 / (24 * 60);

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

}  // namespace

// ---------------------------------------------------------------------------------------------
// TNimboBoxNetState

std::string TNimboBoxNetState::DefaultRedirectUrl() const { return ""; }

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

// ---------------------------------------------------------------------------------------------
// TNimboBoxNet: tokens

void TNimboBoxNet::RefreshAccess() {
    CheckAuthParams();
    if (!GetToken().empty() && GetExpires() - RenewalMargin >= Now()) return;
    if (!GetRefresh().empty()) {
        RenewToken();
    } else {
        SignIn();
    }
}

void TNimboBoxNet::RenewToken() {
    // The service's refresh tokens work once; each renewal answers with the next one.
    const std::string refresh = GetRefresh();
    const TDateTime start = Now();
    TToken token;
    Http().Post(TokenUrl)
        .BeginForm(true)
        .Prop("client_id", GetClientId())
        .Prop("client_secret", GetSecret())
        .Prop("redirect_uri", GetRedirectUrl())
        .Prop("grant_type", "refresh_token")
        .Prop("refresh_token", refresh)
        .EndForm()
        .ValidResponse(200)
        .Execute(token);
    StoreToken(token, token.refresh_token.empty() ? refresh : token.refresh_token, start);
}

void TNimboBoxNet::SignIn() {
    const std::string url = AuthorizeUrl + "?client_id=" + THttpClient::UrlEncode(GetClientId()) +
                            "&redirect_uri=" + THttpClient::UrlEncode(GetRedirectUrl()) + "&response_type=code";
    std::string code;
    State().OAuth20({aeCanceled}, url, code);

    const TDateTime start = Now();
    TToken token;
    Http().Post(TokenUrl)
        .BeginForm(true)
        .Prop("code", code)
        .Prop("client_id", GetClientId())
        .Prop("client_secret", GetSecret())
        .Prop("grant_type", "authorization_code")
        .EndForm()
        .ValidResponse(200)
        .Execute(token);
    StoreToken(token, token.refresh_token, start);
    FetchUserName();
}

void TNimboBoxNet::StoreToken(const TToken& AToken, const std::string& ARefresh, TDateTime AStart) {
    if (AToken.access_token.empty()) throw ERestError("The sign-in service answered without an access token");
    State().SetToken(AToken.access_token, ARefresh, AStart + AToken.expires_in / double(SecsPerDay));
}

void TNimboBoxNet::FetchUserName() {
    // The name is a courtesy: the sign-in stands even when the account cannot be read.
    try {
        TAbout about;
        Http().Get("2.0/users/me").Header("Authorization", Bearer()).ValidResponse(200).Execute(about);
        FUserName = about.name;
    } catch (...) {
        FUserName.clear();
    }
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

TDateTime TNimboBoxNet::GetModifiedAt(TNimboCloudFileData& AData) {
    return DataAs<TNimboBoxNetData>(AData).FModified;
}

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
        Http().Get(path)
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
    Http().Get("2.0/files/" + DataAs<TNimboBoxNetData>(AData).FId + "/content")
        .Header("Authorization", Bearer())
        .ValidResponse(200)
        .SafeToRepeat()
        .Execute(AStream);
}

void TNimboBoxNet::Upload(TNimboCloudFileData& AData, std::istream& AStream) {
    RefreshAccess();
    TNimboBoxNetData& file = DataAs<TNimboBoxNetData>(AData);
    TFileList answer;
    Http().Post(UploadUrl + file.FId + "/content")
        .Header("Authorization", Bearer())
        .BeginMultipart(file.FName, file.FName)
        .Data(AStream)
        .EndMultipart()
        .ValidResponse({200, 201})
        .Execute(answer);
    file.SetInfo(Identified(SingleEntry(answer)));
}

void TNimboBoxNet::Delete(TNimboCloudFileData& AData) {
    RefreshAccess();
    const TNimboBoxNetData& item = DataAs<TNimboBoxNetData>(AData);
    Http().Delete(std::string("2.0/") + PathWords[item.FIsFolder] + "/" + item.FId)
        .Param("recursive", "true")
        .Header("Authorization", Bearer())
        .ValidResponse({200, 204})
        .Execute();
}

AutoFree<TNimboCloudFileData> TNimboBoxNet::CreateFolder(TNimboCloudFileData& AData, const std::string& AName) {
    RefreshAccess();
    TFileInfo info;
    Http().Post("2.0/folders")
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
    RefreshAccess();
    const std::string& folderId = DataAs<TNimboBoxNetData>(AData).FId;
    TFileList answer;
    Http().Post(UploadUrl + "content")
        .Header("Authorization", Bearer())
        .BeginMultipart(AName, AName)
        .Data(AStream)
        .NextPart("parent_id", "")
        .Data(folderId.data(), static_cast<int>(folderId.size()))
        .EndMultipart()
        .ValidResponse({200, 201})
        .Execute(answer);
    return std::make_shared<TNimboBoxNetData>(AData, Identified(SingleEntry(answer)));
}

}  // namespace Nimbo::Connection
