#include "Nimbo/Connection/DropBox2.h"

#include <memory>
#include <optional>
#include <unordered_set>

#include "Nimbo/Connection/ContentHash.h"
#include "Nimbo/Connection/DateFormats.h"
#include "Nimbo/Connection/MimeTypes.h"
#include "Nimbo/Connection/SessionUpload.h"

namespace Nimbo::Connection {

namespace {

const std::string ApiHost = "api.dropboxapi.com";
const std::string ContentUrl = "https://content.dropboxapi.com/2/";

// PKCE binds the sign-in; a secret, when the application has one, is sent as well. Offline access
// gives a refresh token beside the short-lived access tokens.
TOAuthTable OAuthTable(TClientAuth AClientAuth) {
    return {.SignIns = {{TSignInKind::Loopback, "https://www.dropbox.com/oauth2/authorize",
                         "https://" + ApiHost + "/oauth2/token"}},
            .RedirectUrl = {},
            .ClientAuth = AClientAuth,
            .Pkce = true,
            .AuthorizeParams = {{"token_access_type", "offline"}}};
}
const TOAuthTable PublicTable = OAuthTable(TClientAuth::PublicClient);
const TOAuthTable SecretTable = OAuthTable(TClientAuth::SecretInForm);
const TOAuthClient PublicOAuth(PublicTable);
const TOAuthClient SecretOAuth(SecretTable);

const TOAuthClient& OAuthFor(const TRestService& AService) {
    return AService.GetSecret().empty() ? PublicOAuth : SecretOAuth;
}

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

struct TSessionStart {
    std::string session_id;
    NIMBO_JSON_FIELDS(TSessionStart, session_id)
};

// The error of a refusal: its tag, and for a session's part the offset the service holds.
struct TErrorDetail {
    std::string tag;
    std::int64_t correct_offset = -1;
    friend std::span<const TFieldInfo> NimboJsonFields(TErrorDetail*) {
        static const std::vector<TFieldInfo> fields = [] {
            const TErrorDetail probe{};
            return std::vector<TFieldInfo>{
                JsonDetail::MakeField(probe, ".tag", &TErrorDetail::tag),
                JsonDetail::MakeField(probe, "correct_offset", &TErrorDetail::correct_offset)};
        }();
        return fields;
    }
};
struct TErrorAnswer {
    std::string error_summary;
    TErrorDetail error;
    NIMBO_JSON_FIELDS(TErrorAnswer, error_summary, error)
};

std::optional<TErrorAnswer> DecodeRefusal(const std::string& ABody) {
    try {
        TErrorAnswer answer;
        TJsonDecoder(ABody).Decode(answer);
        if (answer.error_summary.empty()) return std::nullopt;
        return answer;
    } catch (const Exception&) {
        return std::nullopt;
    }
}

// The text of a 400 answer, which the service writes plain; its first line, kept short.
std::string PlainText(const std::string& ABody) {
    constexpr std::size_t Longest = 300;
    std::string text = ABody.substr(0, ABody.find('\n'));
    if (text.size() > Longest) text = text.substr(0, Longest) + "...";
    return text;
}

std::string RefusalMessage(const EHttpProtocolError& AAnswer, const std::string& ASummary) {
    return "Dropbox refused the request (" + std::string(AAnswer.what()) + "): " + ASummary;
}

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

// The write modes of an upload: a new file, which a taken name refuses, or a new version of the file.
const std::string AddMode = "\"add\"";
const std::string OverwriteMode = "\"overwrite\"";

std::string CommitArg(const std::string& APath, const std::string& AMode) {
    return "{\"path\":" + JsonString(APath) + ",\"mode\":" + AMode + ",\"autorename\":false,\"mute\":true}";
}

// The content hash of bytes [AOffset, AOffset + ACount) of the source.
std::string ContentHashOf(TUploadSource& ASource, std::int64_t AOffset, std::int64_t ACount) {
    const std::unique_ptr<TContentHasher> hasher = TContentHasher::Create(THashAlgorithm::DropboxContent);
    ASource.Read(AOffset, ACount, [&](const char* AData, std::size_t ASize) { hasher->Update(AData, ASize); });
    return hasher->Finish();
}

TNimboDropBox2::TFileInfo Identified(TNimboDropBox2::TFileInfo AInfo) {
    if (AInfo.id.empty()) throw ERestError("The service answered without the item's id");
    return AInfo;
}

// The path of the item named AName in the folder at AFolder. Items are addressed by path, so a name
// holding a slash would address another folder's item.
std::string ChildPath(const std::string& AFolder, const std::string& AName) {
    if (AName.empty()) throw EArgumentException("A name must not be empty");
    if (AName.find('/') != std::string::npos)
        throw EArgumentException("The name \"" + AName + "\" holds a \"/\", which Dropbox does not allow in a name");
    return AFolder + "/" + AName;
}

// The display name of a folder for messages.
std::string FolderName(const TNimboCloudFileData& AFolder) {
    return AFolder.Info().Name.empty() ? std::string("the root folder") : AFolder.Info().Name;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// EDropBox2Error

EDropBox2Error::EDropBox2Error(const EHttpProtocolError& AAnswer, std::string ASummary, std::string ATag)
    : EHttpProtocolError(AAnswer.ErrorCode(), AAnswer.StatusText(), AAnswer.ErrorMessage(), AAnswer.RetryAfter(),
                         RefusalMessage(AAnswer, ASummary)),
      FSummary(std::move(ASummary)),
      FTag(std::move(ATag)) {}

namespace {

// The service's refusal as EDropBox2Error; an answer in another format (a proxy's page, say)
// passes on as it came.
template <class TCall>
decltype(auto) Translated(TCall&& ACall) {
    try {
        return ACall();
    } catch (const EOAuthError&) {
        throw;
    } catch (const EDropBox2Error&) {
        throw;
    } catch (const EHttpProtocolError& E) {
        if (const std::optional<TErrorAnswer> refusal = DecodeRefusal(E.ErrorMessage()))
            throw EDropBox2Error(E, refusal->error_summary, refusal->error.tag);
        if (E.ErrorCode() == 400 && !E.ErrorMessage().empty()) throw EDropBox2Error(E, PlainText(E.ErrorMessage()), {});
        throw;
    }
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
                        .Created = TRfc3339::MomentFromStr(AInfo.client_modified, MinDateTime),
                        .Modified = TRfc3339::MomentFromStr(AInfo.server_modified, MinDateTime),
                        .Hash = std::move(AInfo.content_hash)};
    if (!info.Hash.empty()) info.HashAlgorithm = THashAlgorithm::DropboxContent;
    // The service names no media type: the name's extension tells it.
    if (!AIsFolder) info.MimeType = TMimeTypes::OfItemName(info.Name);
    FPath = std::move(AInfo.path_display);
    AssignInfo(std::move(info));
}

// ---------------------------------------------------------------------------------------------
// TNimboDropBox2: component, tokens and the account

TNimboDropBox2::TNimboDropBox2(TComponent* AOwner)
    : TNimboStorage(AOwner), FRoot(std::make_shared<TNimboDropBox2Data>(*this, TFileInfo{}, true)) {}

std::string TNimboDropBox2::GetServerName() const { return ApiHost; }

TServiceStateClass TNimboDropBox2::GetStateClass() const { return TServiceStateClass::Of<TNimboDropBox2State>(); }

void TNimboDropBox2::SetUploadSettings(const TSessionUploadSettings& AValue) {
    CheckSessionUploadSettings(AValue);
    if (AValue.SingleRequestLimit > MaxRequestSize || AValue.ChunkSize > MaxRequestSize)
        throw EArgumentException("An upload request carries at most " + std::to_string(MaxRequestSize) + " bytes");
    FUploadSettings = AValue;
}

void TNimboDropBox2::SetListPageSize(int AValue) {
    if (AValue < 1 || AValue > ListPageSize)
        throw EArgumentException("A listing page holds 1 to " + std::to_string(ListPageSize) + " entries");
    FListPageSize = AValue;
}

THttpRequest::TConfigProc TNimboDropBox2::Authorization() const {
    return [token = GetToken()](THttpRequest R) { R.Header("Authorization", "Bearer " + token); };
}

void TNimboDropBox2::RefreshAccess() {
    // PKCE stands in for a secret.
    if (GetClientId().empty()) throw ERestError("ClientId is not specified");
    if (GetRedirectUrl().empty()) throw ERestError("RedirectUrl is not specified");
    OAuthFor(*this).EnsureAccess(State(), Http(), {.Scope = {}, .Covered = {}, .OnNewToken = {}});
}

template <class TCall>
decltype(auto) TNimboDropBox2::Call(TCall&& ACall) {
    RefreshAccess();
    const std::string token = GetToken();
    try {
        return Translated(ACall);
    } catch (const EDropBox2Error& E) {
        // A token can run out early (the service's clock, a machine that slept): renewed once.
        if (E.ErrorCode() != 401 || E.Tag() != "expired_access_token") throw;
        if (!OAuthFor(*this).RenewRefused(State(), Http(), token)) throw;
    }
    return Translated(ACall);
}

std::string TNimboDropBox2::GetUserName() {
    if (FUserName.empty()) {
        const TAccount account = Call([&] {
            TAccount answer;
            Http()
                .Post("2/users/get_current_account")
                .Configure(Authorization())
                .ValidResponse(200)
                .SafeToRepeat()
                .Execute(answer);
            return answer;
        });
        FUserName = account.name.display_name;
    }
    return FUserName;
}

void TNimboDropBox2::Rpc(const std::string& APath, const std::string& AArg, TFileInfo* AInfo) {
    Call([&] {
        const THttpRequest request = JsonBody(Http().Post(APath).Configure(Authorization()), AArg).ValidResponse(200);
        if (AInfo == nullptr) {
            request.Execute();
            return;
        }
        TMetadataAnswer answer;
        request.Execute(answer);
        *AInfo = Identified(std::move(answer.metadata));
    });
}

// ---------------------------------------------------------------------------------------------
// TNimboDropBox2: listing

void TNimboDropBox2::GetFiles(TNimboCloudFileData& AData, const TFileProc& AProc) {
    const std::string& path = DataAs<TNimboDropBox2Data>(AData).GetPath();
    const auto list = [&](const std::string& ACall, const std::string& AArg) {
        return Call([&] {
            TListAnswer page;
            JsonBody(Http().Post(ACall).Configure(Authorization()), AArg)
                .ValidResponse(200)
                .SafeToRepeat()
                .Execute(page);
            return page;
        });
    };
    const std::string first = "{\"path\":" + JsonString(path) + ",\"limit\":" + std::to_string(FListPageSize) + "}";
    // A listing the service resets starts again, once; the entries delivered before are not
    // delivered twice.
    std::unordered_set<std::string> delivered;
    bool restarted = false;
    TListAnswer page = list("2/files/list_folder", first);
    for (;;) {
        for (TFileInfo& entry : page.entries) {
            if (entry.id.empty()) throw ERestError("The service listed an entry without the item's id");
            if (!delivered.insert(entry.path_lower).second) continue;
            const bool folder = entry.rev.empty();
            AProc(TNimboCloudFile(std::make_shared<TNimboDropBox2Data>(AData, std::move(entry), folder)));
        }
        if (!page.has_more) break;
        const std::string cursor = page.cursor;
        try {
            page = list("2/files/list_folder/continue", "{\"cursor\":" + JsonString(cursor) + "}");
        } catch (const EDropBox2Error& E) {
            if (E.Tag() != "reset" || restarted) throw;
            restarted = true;
            page = list("2/files/list_folder", first);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// TNimboDropBox2: content

void TNimboDropBox2::Download(TNimboCloudFileData& AData, std::ostream& AStream) {
    const std::string arg = PathArg(DataAs<TNimboDropBox2Data>(AData).GetPath());
    Call([&] {
        Http()
            .Post(ContentUrl + "files/download")
            .Configure(Authorization())
            .Header("Dropbox-API-Arg", arg)
            .ValidResponse(200)
            .SafeToRepeat()
            .Execute(AStream);
    });
}

bool TNimboDropBox2::CanDownloadRanges(TNimboCloudFileData&) { return true; }

TRangeExchange TNimboDropBox2::RangeExchange(TNimboCloudFileData& AData, std::int64_t AFirst, std::int64_t ALast) {
    RefreshAccess();
    const auto& file = DataAs<TNimboDropBox2Data>(AData);
    const THttpRequest request = Http()
                                     .Post(ContentUrl + "files/download")
                                     .Configure(Authorization())
                                     .Header("Dropbox-API-Arg", PathArg(file.GetPath()))
                                     .ByteRange(AFirst, ALast, file.Info().Size)
                                     .SafeToRepeat();
    return [request](std::ostream& AStream) { Translated([&] { request.Execute(AStream); }); };
}

// An upload session: the parts go up by append_v2 with the content hash of each, and finish commits
// the file. A sequential session takes the parts in order; the service tells no progress when
// asked, and a part it refuses for its offset names the offset it holds, from which the upload goes
// on. A concurrent session takes parts of whole 4 MiB blocks at their own offsets, several at once,
// the last one closing it; it is used when the settings send parts in parallel and their chunk size
// is such a multiple.
class TNimboDropBox2::TSession : public TSessionUploadSteps, public TParallelParts {
public:
    TSession(TNimboDropBox2& AOwner, TUploadSource& ASource, std::string ACommit,
             const TSessionUploadSettings& ASettings)
        : FOwner(AOwner),
          FSource(ASource),
          FCommit(std::move(ACommit)),
          FConcurrent(ASettings.PartsInFlight > 1 && ASettings.ChunkSize % ConcurrentPartUnit == 0) {}

    std::int64_t Start() override {
        TSessionStart answer;
        const std::string arg = FConcurrent ? "{\"close\":false,\"session_type\":\"concurrent\"}" : "{\"close\":false}";
        Translated([&] { Send("files/upload_session/start", arg).ValidResponse(200).Execute(answer); });
        if (answer.session_id.empty()) throw ERestError("The service began no upload session");
        FId = answer.session_id;
        return 0;
    }

    TSessionHeld SendPart(std::int64_t AOffset, std::int64_t ACount) override {
        FSource.Available(AOffset, ACount);
        const std::string arg = "{\"cursor\":" + Cursor(AOffset) + ",\"close\":false,\"content_hash\":" +
                                JsonString(ContentHashOf(FSource, AOffset, ACount)) + "}";
        try {
            Translated([&] {
                FSource.AddTo(Send("files/upload_session/append_v2", arg), AOffset, ACount)
                    .ValidResponse(200)
                    .Execute();
            });
        } catch (const EDropBox2Error& E) {
            if (E.Tag() != "incorrect_offset") throw;
            throw ESessionOffset(HeldOffset(E));
        }
        return {.Bytes = AOffset + ACount};
    }

    std::optional<TSessionHeld> AskHeld() override { return std::nullopt; }

    TParallelParts* Parallel() override { return FConcurrent ? this : nullptr; }
    std::int64_t PartUnit() const override { return ConcurrentPartUnit; }

    TPartExchange PartExchange(const TSessionPart& APart) override {
        const std::unique_ptr<TContentHasher> hasher = TContentHasher::Create(THashAlgorithm::DropboxContent);
        hasher->Update(APart.Bytes().data(), APart.Bytes().size());
        const std::string arg = "{\"cursor\":" + Cursor(APart.Offset()) +
                                ",\"close\":" + (APart.Last() ? "true" : "false") +
                                ",\"content_hash\":" + JsonString(hasher->Finish()) + "}";
        THttpRequest request = APart.AddTo(Send("files/upload_session/append_v2", arg)).ValidResponse(200);
        return [request] {
            Translated([&] { request.Execute(); });
            return std::string();
        };
    }

    void PartStored(const TSessionPart&, const std::string&) override {}

    void Commit() override {
        const std::int64_t total = FSource.Size().value_or(0);
        Translated([&] {
            Send("files/upload_session/finish", "{\"cursor\":" + Cursor(total) + ",\"commit\":" + FCommit + "}")
                .ValidResponse(200)
                .Execute(FInfo);
        });
    }

    const TFileInfo& Info() const { return FInfo; }

private:
    THttpRequest Send(const std::string& ACall, const std::string& AArg) {
        return FOwner.Http()
            .Post(ContentUrl + ACall)
            .Configure(FOwner.Authorization())
            .Header("Dropbox-API-Arg", AArg)
            .Header("Content-Type", "application/octet-stream");
    }

    std::string Cursor(std::int64_t AOffset) const {
        return "{\"session_id\":" + JsonString(FId) + ",\"offset\":" + std::to_string(AOffset) + "}";
    }

    static std::int64_t HeldOffset(const EDropBox2Error& AError) {
        const std::optional<TErrorAnswer> refusal = DecodeRefusal(AError.ErrorMessage());
        if (!refusal || refusal->error.correct_offset < 0)
            throw ERestError("The service refused a part of an upload without the offset it holds");
        return refusal->error.correct_offset;
    }

    // Every part of a concurrent session but the last is a multiple of this.
    static constexpr std::int64_t ConcurrentPartUnit = 4 << 20;

    TNimboDropBox2& FOwner;
    TUploadSource& FSource;
    std::string FCommit;
    const bool FConcurrent;
    std::string FId;
    TFileInfo FInfo;
};

TNimboDropBox2::TFileInfo TNimboDropBox2::SendFile(const std::string& APath, const std::string& AMode,
                                                   std::istream& AStream) {
    TUploadSource source(AStream, FUploadSettings.SingleRequestLimit);
    const std::string commit = CommitArg(APath, AMode);
    if (source.ExceedsLimit()) {
        RefreshAccess();
        TSession session(*this, source, commit, FUploadSettings);
        RunSessionUpload(*this, source, session, FUploadSettings,
                         "The upload of \"" + APath.substr(APath.rfind('/') + 1) + "\"");
        return Identified(session.Info());
    }
    const std::int64_t size = source.Size().value_or(0);
    const std::string hash = ContentHashOf(source, 0, size);
    const std::string arg = commit.substr(0, commit.size() - 1) + ",\"content_hash\":" + JsonString(hash) + "}";
    TFileInfo info = Call([&] {
        TFileInfo answer;
        source
            .AddTo(Http()
                       .Post(ContentUrl + "files/upload")
                       .Configure(Authorization())
                       .Header("Dropbox-API-Arg", arg)
                       .Header("Content-Type", "application/octet-stream"),
                   0, size)
            .ValidResponse(200)
            .Execute(answer);
        return answer;
    });
    source.Finish();
    return Identified(std::move(info));
}

void TNimboDropBox2::Upload(TNimboCloudFileData& AData, std::istream& AStream) {
    auto& file = DataAs<TNimboDropBox2Data>(AData);
    file.SetInfo(SendFile(file.GetPath(), OverwriteMode, AStream), false);
}

AutoFree<TNimboCloudFileData> TNimboDropBox2::createFile(TNimboCloudFileData& AData, const std::string& AName,
                                                         std::istream& AStream) {
    const std::string path = ChildPath(DataAs<TNimboDropBox2Data>(AData).GetPath(), AName);
    return GuardNameTaken(409, "conflict", AName, FolderName(AData), [&] {
        return std::make_shared<TNimboDropBox2Data>(AData, SendFile(path, AddMode, AStream), false);
    });
}

// ---------------------------------------------------------------------------------------------
// TNimboDropBox2: folders and items

void TNimboDropBox2::Delete(TNimboCloudFileData& AData) {
    Rpc("2/files/delete_v2", PathArg(DataAs<TNimboDropBox2Data>(AData).GetPath()), nullptr);
}

AutoFree<TNimboCloudFileData> TNimboDropBox2::CreateFolder(TNimboCloudFileData& AData, const std::string& AName) {
    TFileInfo info;
    GuardNameTaken(409, "conflict", AName, FolderName(AData), [&] {
        Rpc("2/files/create_folder_v2",
            "{\"path\":" + JsonString(ChildPath(DataAs<TNimboDropBox2Data>(AData).GetPath(), AName)) +
                ",\"autorename\":false}",
            &info);
    });
    return std::make_shared<TNimboDropBox2Data>(AData, std::move(info), true);
}

TNimboDropBox2::TFileInfo TNimboDropBox2::Relocate(const std::string& ACall, TNimboCloudFileData& AData,
                                                   const std::string& AFolderPath, const std::string& AFolderName,
                                                   const std::string& AName) {
    TFileInfo info;
    GuardNameTaken(409, "conflict", AName, AFolderName, [&] {
        Rpc(ACall,
            "{\"from_path\":" + JsonString(DataAs<TNimboDropBox2Data>(AData).GetPath()) +
                ",\"to_path\":" + JsonString(ChildPath(AFolderPath, AName)) + ",\"autorename\":false}",
            &info);
    });
    return info;
}

void TNimboDropBox2::Rename(TNimboCloudFileData& AData, const std::string& AName) {
    auto& item = DataAs<TNimboDropBox2Data>(AData);
    const std::string& path = item.GetPath();
    const std::string folderName = AData.Parent() ? FolderName(*AData.Parent()) : std::string("the root folder");
    item.SetInfo(Relocate("2/files/move_v2", AData, path.substr(0, path.rfind('/')), folderName, AName),
                 item.Info().IsFolder);
}

void TNimboDropBox2::Move(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder) {
    auto& item = DataAs<TNimboDropBox2Data>(AData);
    item.SetInfo(Relocate("2/files/move_v2", AData, DataAs<TNimboDropBox2Data>(AFolder).GetPath(), FolderName(AFolder),
                          item.Info().Name),
                 item.Info().IsFolder);
}

AutoFree<TNimboCloudFileData> TNimboDropBox2::Copy(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder,
                                                   const std::string& AName) {
    const bool folder = AData.Info().IsFolder;
    return std::make_shared<TNimboDropBox2Data>(
        AFolder,
        Relocate("2/files/copy_v2", AData, DataAs<TNimboDropBox2Data>(AFolder).GetPath(), FolderName(AFolder), AName),
        folder);
}

TNimboSpace TNimboDropBox2::GetSpace() {
    const TUsage usage = Call([&] {
        TUsage answer;
        Http()
            .Post("2/users/get_space_usage")
            .Configure(Authorization())
            .ValidResponse(200)
            .SafeToRepeat()
            .Execute(answer);
        return answer;
    });
    return TNimboSpace{.Used = usage.used, .Total = usage.allocation.allocated};
}

std::string TNimboDropBox2::GetHashAlgorithm() const { return THashAlgorithm::DropboxContent; }

}  // namespace Nimbo::Connection
