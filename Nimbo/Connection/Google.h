#pragma once

// Google Drive (REST interface version 2) as a storage, signed in with Google's OAuth 2.0.

#include <array>
#include <cstdint>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "Nimbo/Connection/HttpJson.h"
#include "Nimbo/Connection/Json.h"
#include "Nimbo/Connection/OAuthClient.h"
#include "Nimbo/Connection/Paging.h"
#include "Nimbo/Connection/RestService.h"
#include "Nimbo/Connection/ScopeSet.h"
#include "Nimbo/Connection/SessionUpload.h"
#include "Nimbo/Connection/Storage.h"
#include "Nimbo/Connection/UploadSource.h"
#include "Nimbo/Connection/platform/Exceptions.h"

namespace Nimbo::Connection {

enum TNimboGoogleScope {
    gsDriveFile,
    gsDrive,
    gsDriveAppsReadonly,
    gsDriveReadonly,
    gsDriveReadonlyMetadata,
    gsDriveInstall,
    gsDriveAppdata,
    gsDriveScripts,
    gsTasks,
    gsTasksReadonly,
    gsCalendar,
    gsCalendarReadonly,
    gsContacts,
    gsContactsReadonly,
    gsProfile
};

// The scope text sent for each scope; "*" stands for the scope base ("https://" + API host + "/auth").
inline constexpr std::array<const char*, 15> SNAMES = {"*/drive.file",
                                                       "*/drive",
                                                       "*/drive.apps.readonly",
                                                       "*/drive.readonly",
                                                       "*/drive.readonly.metadata",
                                                       "*/drive.install",
                                                       "*/drive.appdata",
                                                       "*/drive.scripts",
                                                       "*/tasks",
                                                       "*/tasks.readonly",
                                                       "*/calendar",
                                                       "*/calendar.readonly",
                                                       "*/contacts",
                                                       "*/contacts.readonly",
                                                       "profile"};

// The scopes a Drive component may ask for: gsDriveFile to gsDriveScripts.
using TNimboGDriveScope = TNimboGoogleScope;

// A set of scopes up to AHighest, held as a bit set in which bit i stands for the scope of ordinal i.
template <class TBits, TNimboGoogleScope AHighest>
using TNimboScopeSet = TNimboScopes<TNimboGoogleScope, TBits, AHighest>;

using TNimboGoogleScopes = TNimboScopeSet<std::uint16_t, gsProfile>;
using TNimboGDriveScopes = TNimboScopeSet<std::uint8_t, gsDriveScripts>;

// The sign-in state of Google Drive components: the tokens and the scopes the access token was
// obtained for. Signs in through Google's page (the code shown in its title) by default, or through
// a loopback address when the redirect URL is one.
class TNimboGoogleState : public TServiceState {
public:
    using TToken = TOAuthToken;

    // Makes sure the state holds a token that has more than 5 minutes to live and covers the scopes
    // of every service using this state; AHttp is the client of the requesting service.
    void RefreshAccess(THttpClient& AHttp);

    // The scopes the services of this state need.
    TNimboGoogleScopes Scopes() const;
    // Scopes() as the space-separated scope texts.
    std::string ScopesAsStr() const;

protected:
    void DoSaveState(TBinaryWriter& AWriter) const override;
    TApplyState DoLoadState(TBinaryReader& AReader) override;
    std::string DefaultRedirectUrl() const override;

private:
    TNimboGoogleScopes FTokenScopes;
};

// Google Drive as a storage: every uniform operation mapped onto the Drive v2 interface.
class TNimboGDrive : public TNimboStorage {
public:
    // One file resource.
    struct TFileInfo {
        std::string id;
        std::string title;
        std::string mimeType;
        std::string fileSize;  // decimal text; absent for folders and the service's own documents
        std::string downloadUrl;
        std::string createdDate;   // RFC 3339
        std::string modifiedDate;  // RFC 3339
        std::string md5Checksum;   // files with content stored in Drive only
        NIMBO_JSON_FIELDS(TFileInfo, id, title, mimeType, fileSize, downloadUrl, createdDate, modifiedDate, md5Checksum)
    };

    // The account's quota; the numbers are decimal text.
    struct TQuota {
        std::string quotaBytesTotal;
        std::string quotaBytesUsed;
        std::string quotaType;  // "LIMITED" or "UNLIMITED"
        NIMBO_JSON_FIELDS(TQuota, quotaBytesTotal, quotaBytesUsed, quotaType)
    };

    // The signed-in account, as the about record names it.
    struct TUser {
        std::string displayName;
        NIMBO_JSON_FIELDS(TUser, displayName)
    };
    struct TAbout {
        TUser user;
        NIMBO_JSON_FIELDS(TAbout, user)
    };

    // One page of a listing; nextPageToken is absent on the last page.
    struct TFileList {
        std::vector<TFileInfo> items;
        std::string nextPageToken;
        NIMBO_JSON_FIELDS(TFileList, items, nextPageToken)
    };

    // The service advises its single-request upload for up to 5 MB; larger content goes through a
    // resumable upload session, in chunks of a multiple of 256 KiB.
    static constexpr TSessionUploadSettings DefaultUploadSettings{.SingleRequestLimit = 5 << 20, .ChunkSize = 8 << 20};
    static constexpr std::int64_t ChunkGranularity = 256 << 10;

    // Listings follow page tokens, in pages of the service's own size: the requests name none.
    static constexpr int ListPageSize = 100;

    explicit TNimboGDrive(TComponent* AOwner = nullptr);

    const TSessionUploadSettings& GetUploadSettings() const { return FUploadSettings; }
    // EArgumentException for a chunk size that is not a multiple of ChunkGranularity, and as
    // CheckSessionUploadSettings.
    void SetUploadSettings(const TSessionUploadSettings& AValue);

    TNimboGDriveScopes GetScopes() const { return FScopes; }
    // A wider set makes the next operation obtain a new token.
    void SetScopes(TNimboGDriveScopes AValue) { FScopes = AValue; }
    using TRestService::GetGroup;
    using TRestService::SetGroup;

    void RefreshAccess() override;

    TNimboCloudFile GetRoot() override { return FRoot; }
    void GetFiles(TNimboCloudFileData& AData, const TFileProc& AProc) override;
    // ERestError naming the item when the service gives no download URL for it (its own documents).
    void Download(TNimboCloudFileData& AData, std::ostream& AStream) override;
    bool CanDownloadRanges(TNimboCloudFileData& AData) override;
    TRangeExchange RangeExchange(TNimboCloudFileData& AData, std::int64_t AFirst, std::int64_t ALast) override;
    // Content above the single-request limit goes through a resumable upload session.
    void Upload(TNimboCloudFileData& AData, std::istream& AStream) override;
    void Delete(TNimboCloudFileData& AData) override;
    AutoFree<TNimboCloudFileData> CreateFolder(TNimboCloudFileData& AData, const std::string& AName) override;
    // Up to the single-request limit, two requests: the content (typed from the name), then the name
    // and the folder; when the second fails, the content stays on the service as the first request
    // left it. Above it, one resumable upload session that names the file and its folder at once.
    AutoFree<TNimboCloudFileData> createFile(TNimboCloudFileData& AData, const std::string& AName,
                                             std::istream& AStream) override;
    // Names need not be unique in a Drive folder: a rename or move to a name that is taken makes a
    // second item of that name, as the service does. Folders cannot be copied.
    void Rename(TNimboCloudFileData& AData, const std::string& AName) override;
    void Move(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder) override;
    AutoFree<TNimboCloudFileData> Copy(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder,
                                       const std::string& AName) override;
    TNimboSpace GetSpace() override;
    std::string GetHashAlgorithm() const override;
    // The display name of the signed-in account (signing in first when needed); empty when the
    // service does not give it.
    std::string GetUserName();

    // The root folder: id "root", no name, no dates.
    static TFileInfo GetRootInfo();

protected:
    std::string GetServerName() const override;
    TServiceStateClass GetStateClass() const override;

private:
    class TResumableSession;

    // Adds the bearer token header to a request.
    THttpRequest::TConfigProc Authorization() const;
    // Changes the item's metadata with the JSON body AWrite writes, and takes the service's answer.
    void Patch(TNimboCloudFileData& AData, const std::function<THttpRequest(THttpRequest)>& AWrite);
    // The JSON body naming a new file and the one folder that holds it.
    static THttpRequest WithTitleAndFolder(THttpRequest ARequest, const std::string& ATitle,
                                           const std::string& AFolderId);
    // Begins a resumable upload session with AStart (the request, its metadata and headers set) and
    // sends the content through it; returns the stored file.
    TFileInfo ResumableUpload(THttpRequest AStart, TUploadSource& ASource, const std::string& AName);

    TNimboGDriveScopes FScopes{gsDrive};
    TSessionUploadSettings FUploadSettings = DefaultUploadSettings;
    TNimboCloudFile FRoot;
};

// One Drive item's metadata.
class TNimboGDriveFileData : public TNimboCloudFileData {
public:
    // The root of AStorage.
    TNimboGDriveFileData(const TNimboStorage& AStorage, TNimboGDrive::TFileInfo AInfo) : TNimboCloudFileData(AStorage) {
        SetInfo(std::move(AInfo));
    }
    // A child of AParent.
    TNimboGDriveFileData(TNimboCloudFileData& AParent, TNimboGDrive::TFileInfo AInfo) : TNimboCloudFileData(AParent) {
        SetInfo(std::move(AInfo));
    }

    // Replaces the metadata; EConvertError for a malformed size or date.
    void SetInfo(TNimboGDrive::TFileInfo AInfo);
    // 0 for an empty text; EConvertError unless the text is a decimal 64-bit integer.
    static std::int64_t DecodeSize(const std::string& ASize);

    const std::string& GetId() const { return Info().Id; }
    const std::string& GetName() const { return Info().Name; }
    const std::string& GetMimeType() const { return Info().MimeType; }
    std::int64_t GetSize() const { return Info().Size; }
    TDateTime GetCreated() const { return Info().Created; }
    TDateTime GetModified() const { return Info().Modified; }
    // Empty when the service gave none.
    const std::string& GetDownloadUrl() const { return FDownloadUrl; }

private:
    std::string FDownloadUrl;
};

}  // namespace Nimbo::Connection
