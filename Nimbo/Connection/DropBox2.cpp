#include "Nimbo/Connection/DropBox2.h"

#include <memory>

#include "Nimbo/Connection/ContentHash.h"
#include "Nimbo/Connection/DateFormats.h"

namespace Nimbo::Connection {

namespace {

const std::string ApiHost = "api.dropboxapi.com";
const std::string ContentUrl = "https://content.dropboxapi.com/2/";

const TOAuthTable OAuth{
    .SignIns = {{TSignInKind::Loopback, "https://www.dropbox.com/oauth2/authorize",
                 "https://" + ApiHost + "/oauth2/token"}},
    .RedirectUrl = {},
    .ClientAuth = TClientAuth::SecretInForm,
    .Pkce = true,
};
const TOAuthClient OAuthClient(OAuth);

struct TListAnswer {
    std::vector<TNimboDropBox2::TFileInfo> entries;
    std::string cursor;
    bool has_more = false;
    NIMBO_JSON_FIELDS(TListAnswer, entries, cursor, has_more)
};

struct TMetadataAnswer {
    TNimboDropBox2::TFileInfo metadata;
    NIMBO_JSON_FIELDS(TMetadataAnswer, metadata)
};

struct TName {
    std::string display_name;
    NIMBO_JSON_FIELDS(TName, display_name)
};
struct TAccount {
    TName name;
    NIMBO_JSON_FIELDS(TAccount, name)
};

// users/get_space_usage: the space used and the account's allocation.
struct TAllocation {
    std::int64_t allocated = 0;
    NIMBO_JSON_FIELDS(TAllocation, allocated)
};
struct TUsage {
    std::int64_t used = 0;
    TAllocation allocation;
    NIMBO_JSON_FIELDS(TUsage, used, allocation)
};

// Appends the code point ACode as one or two \uXXXX escapes.
void AppendEscape(std::string& AOut, std::uint32_t ACode) {
    static constexpr char Hex[] = "0123456789abcdef";
    const auto unit = [&](std::uint32_t AUnit) {
        AOut += "\\u";
        for (int shift = 12; shift >= 0; shift -= 4) AOut += Hex[(AUnit >> shift) & 15];
    };
    if (ACode >= 0x10000) {
        ACode -= 0x10000;
        unit(0xD800 + (ACode >> 10));
        unit(0xDC00 + (ACode & 0x3FF));
    } else {
        unit(ACode);
    }
}

// A JSON string literal holding AText, in ASCII alone. '%' is escaped too, so that a header value
// never reads as percent-encoded text on its way.
std::string JsonString(const std::string& AText) {
    std::string out = "\"";
    for (std::size_t i = 0; i < AText.size();) {
        const auto c = static_cast<unsigned char>(AText[i]);
        if (c < 0x80) {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < 0x20 || c == 0x7F || c == '%') {
                AppendEscape(out, c);
            } else {
                out += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        const int length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
        if (length == 0 || i + length > AText.size())
            throw EArgumentException("A name or path is not valid UTF-8 text");
        std::uint32_t code = c & (0x7F >> length);
        for (int k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(AText[i + k]);
            if ((next & 0xC0) != 0x80) throw EArgumentException("A name or path is not valid UTF-8 text");
            code = (code << 6) | (next & 0x3F);
        }
        AppendEscape(out, code);
        i += length;
    }
    return out + "\"";
}

std::string PathArg(const std::string& APath) { return "{\"path\":" + JsonString(APath) + "}"; }

THttpRequest JsonBody(THttpRequest ARequest, const std::string& AJson) {
    return ARequest.Header("Content-Type", "application/json").Data(AJson.data(), static_cast<int>(AJson.size()));
}

}  // namespace

std::string TNimboDropBox2::AsciiJson(const std::string& AText) { return JsonString(AText); }

std::string TNimboDropBox2State::DefaultRedirectUrl() const { return TNimboDropBox2::LoopbackRedirectUrl; }

void TNimboDropBox2Data::SetInfo(TNimboDropBox2::TFileInfo AInfo, bool AIsFolder) {
    TNimboItemInfo info{.Id = std::move(AInfo.id),
                        .Name = std::move(AInfo.name),
                        .IsFolder = AIsFolder,
                        .Size = AInfo.size,
                        .MimeType = {},
                        .Created = TRfc3339::FromStr(AInfo.client_modified, MinDateTime),
                        .Modified = TRfc3339::FromStr(AInfo.server_modified, MinDateTime),
                        .Hash = std::move(AInfo.content_hash)};
    if (!info.Hash.empty()) info.HashAlgorithm = THashAlgorithm::DropboxContent;
    FPath = std::move(AInfo.path_display);
    AssignInfo(std::move(info));
}

TNimboDropBox2::TNimboDropBox2(TComponent* AOwner)
    : TNimboStorage(AOwner), FRoot(std::make_shared<TNimboDropBox2Data>(*this, TFileInfo{}, true)) {}

std::string TNimboDropBox2::GetServerName() const { return ApiHost; }

TServiceStateClass TNimboDropBox2::GetStateClass() const { return TServiceStateClass::Of<TNimboDropBox2State>(); }

THttpRequest::TConfigProc TNimboDropBox2::Authorization() const {
    return [token = GetToken()](THttpRequest R) { R.Header("Authorization", "Bearer " + token); };
}

void TNimboDropBox2::RefreshAccess() {
    CheckAuthParams();
    OAuthClient.EnsureAccess(State(), Http(), {.Scope = {}, .Covered = {}, .OnNewToken = {}});
}

std::string TNimboDropBox2::GetUserName() {
    RefreshAccess();
    if (FUserName.empty()) {
        TAccount account;
        Http()
            .Post("2/users/get_current_account")
            .Configure(Authorization())
            .ValidResponse(200)
            .SafeToRepeat()
            .Execute(account);
        FUserName = account.name.display_name;
    }
    return FUserName;
}

void TNimboDropBox2::Rpc(const std::string& APath, const std::string& AArg, TFileInfo* AInfo, bool ASafe) {
    RefreshAccess();
    THttpRequest request = JsonBody(Http().Post(APath).Configure(Authorization()), AArg).ValidResponse(200);
    if (ASafe) request.SafeToRepeat();
    if (AInfo == nullptr) {
        request.Execute();
        return;
    }
    TMetadataAnswer answer;
    request.Execute(answer);
    *AInfo = std::move(answer.metadata);
}

void TNimboDropBox2::GetFiles(TNimboCloudFileData& AData, const TFileProc& AProc) {
    const std::string& path = DataAs<TNimboDropBox2Data>(AData).GetPath();
    RefreshAccess();
    TListAnswer page;
    JsonBody(Http().Post("2/files/list_folder").Configure(Authorization()),
             "{\"path\":" + JsonString(path) + ",\"limit\":" + std::to_string(ListPageSize) + "}")
        .ValidResponse(200)
        .SafeToRepeat()
        .Execute(page);
    for (;;) {
        for (TFileInfo& entry : page.entries) {
            const bool folder = entry.rev.empty();
            AProc(TNimboCloudFile(std::make_shared<TNimboDropBox2Data>(AData, std::move(entry), folder)));
        }
        if (!page.has_more) break;
        const std::string cursor = page.cursor;
        page = TListAnswer{};
        RefreshAccess();
        JsonBody(Http().Post("2/files/list_folder/continue").Configure(Authorization()),
                 "{\"cursor\":" + JsonString(cursor) + "}")
            .ValidResponse(200)
            .SafeToRepeat()
            .Execute(page);
    }
}

void TNimboDropBox2::Download(TNimboCloudFileData& AData, std::ostream& AStream) {
    RefreshAccess();
    Http()
        .Post(ContentUrl + "files/download")
        .Configure(Authorization())
        .Header("Dropbox-API-Arg", PathArg(DataAs<TNimboDropBox2Data>(AData).GetPath()))
        .ValidResponse(200)
        .SafeToRepeat()
        .Execute(AStream);
}

TNimboDropBox2::TFileInfo TNimboDropBox2::SendFile(const std::string& APath, std::istream& AStream) {
    RefreshAccess();
    TFileInfo info;
    Http()
        .Post(ContentUrl + "files/upload")
        .Configure(Authorization())
        .Header("Dropbox-API-Arg",
                "{\"path\":" + JsonString(APath) + ",\"mode\":\"overwrite\",\"autorename\":false,\"mute\":true}")
        .Header("Content-Type", "application/octet-stream")
        .Data(AStream)
        .ValidResponse(200)
        .Execute(info);
    if (info.id.empty()) throw ERestError("The service answered without the item's id");
    return info;
}

void TNimboDropBox2::Upload(TNimboCloudFileData& AData, std::istream& AStream) {
    auto& file = DataAs<TNimboDropBox2Data>(AData);
    file.SetInfo(SendFile(file.GetPath(), AStream), false);
}

void TNimboDropBox2::Delete(TNimboCloudFileData& AData) {
    Rpc("2/files/delete_v2", PathArg(DataAs<TNimboDropBox2Data>(AData).GetPath()), nullptr, false);
}

AutoFree<TNimboCloudFileData> TNimboDropBox2::CreateFolder(TNimboCloudFileData& AData, const std::string& AName) {
    TFileInfo info;
    Rpc("2/files/create_folder_v2",
        "{\"path\":" + JsonString(DataAs<TNimboDropBox2Data>(AData).GetPath() + "/" + AName) + ",\"autorename\":false}",
        &info, false);
    return std::make_shared<TNimboDropBox2Data>(AData, std::move(info), true);
}

AutoFree<TNimboCloudFileData> TNimboDropBox2::createFile(TNimboCloudFileData& AData, const std::string& AName,
                                                         std::istream& AStream) {
    return std::make_shared<TNimboDropBox2Data>(
        AData, SendFile(DataAs<TNimboDropBox2Data>(AData).GetPath() + "/" + AName, AStream), false);
}

TNimboDropBox2::TFileInfo TNimboDropBox2::Relocate(const std::string& ACall, TNimboCloudFileData& AData,
                                                   const std::string& ATo) {
    TFileInfo info;
    Rpc(ACall,
        "{\"from_path\":" + JsonString(DataAs<TNimboDropBox2Data>(AData).GetPath()) +
            ",\"to_path\":" + JsonString(ATo) + ",\"autorename\":false}",
        &info, false);
    return info;
}

void TNimboDropBox2::Rename(TNimboCloudFileData& AData, const std::string& AName) {
    auto& item = DataAs<TNimboDropBox2Data>(AData);
    const std::string& path = item.GetPath();
    const std::string to = path.substr(0, path.rfind('/') + 1) + AName;
    item.SetInfo(Relocate("2/files/move_v2", AData, to), item.Info().IsFolder);
}

void TNimboDropBox2::Move(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder) {
    auto& item = DataAs<TNimboDropBox2Data>(AData);
    const std::string to = DataAs<TNimboDropBox2Data>(AFolder).GetPath() + "/" + item.Info().Name;
    item.SetInfo(Relocate("2/files/move_v2", AData, to), item.Info().IsFolder);
}

AutoFree<TNimboCloudFileData> TNimboDropBox2::Copy(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder,
                                                   const std::string& AName) {
    const bool folder = AData.Info().IsFolder;
    return std::make_shared<TNimboDropBox2Data>(
        AFolder, Relocate("2/files/copy_v2", AData, DataAs<TNimboDropBox2Data>(AFolder).GetPath() + "/" + AName),
        folder);
}

TNimboSpace TNimboDropBox2::GetSpace() {
    RefreshAccess();
    TUsage usage;
    Http().Post("2/users/get_space_usage").Configure(Authorization()).ValidResponse(200).SafeToRepeat().Execute(usage);
    return TNimboSpace{.Used = usage.used, .Total = usage.allocation.allocated};
}

std::string TNimboDropBox2::GetHashAlgorithm() const { return THashAlgorithm::DropboxContent; }

}  // namespace Nimbo::Connection
