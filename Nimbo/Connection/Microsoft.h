#pragma once

// OneDrive through the Live Connect REST interface v5.0: items addressed by identifier, OAuth 2.0
// sign-in on the Live login host with a configurable set of Live scopes.

#include <cstdint>
#include <string>
#include <vector>

#include "Nimbo/Connection/HttpJson.h"
#include "Nimbo/Connection/Json.h"
#include "Nimbo/Connection/OAuthClient.h"
#include "Nimbo/Connection/Paging.h"
#include "Nimbo/Connection/ScopeSet.h"
#include "Nimbo/Connection/Storage.h"
#include "Nimbo/Connection/UploadSource.h"

namespace Nimbo::Connection {

// The Live scopes the component can ask for. The member of ordinal 1 keeps its historical name.
enum TNimboOneDriveScope { osBasic, ofOfflieAccess, osPhotos, osSkydrive, osSkydriveUpdate };

// A set of TNimboOneDriveScope held in one byte, bit i standing for the member of ordinal i.
using TNimboOneDriveScopes = TNimboScopes<TNimboOneDriveScope, std::uint8_t, osSkydriveUpdate>;

class TNimboOneDriveData;

// The OneDrive storage component.
class TNimboOneDrive : public TNimboStorage {
public:
    // An item: a folder, an album or a file of any kind.
    struct TFileInfo {
        std::string id;
        std::string name;
        std::string type;  // "folder" and "album" are folders, anything else is a file
        std::int64_t size = 0;
        std::string created_time;  // RFC 3339
        std::string updated_time;
        NIMBO_JSON_FIELDS(TFileInfo, id, name, type, size, created_time, updated_time)
    };
    // Where a listing goes on: the address of the next page, absent on the last one.
    struct TPaging {
        std::string next;
        NIMBO_JSON_FIELDS(TPaging, next)
    };
    // One page of a folder's children.
    // The account's space, in bytes.
    struct TQuota {
        std::int64_t quota = 0;
        std::int64_t available = 0;
        NIMBO_JSON_FIELDS(TQuota, quota, available)
    };

    struct TFileList {
        std::vector<TFileInfo> data;
        TPaging paging;
        NIMBO_JSON_FIELDS(TFileList, data, paging)
    };
    using TToken = TOAuthToken;
    struct TAbout {
        std::string id;
        std::string name;  // the account's display name
        NIMBO_JSON_FIELDS(TAbout, id, name)
    };

    // Children asked for per listing request.
    static constexpr int ListPageSize = 100;
    // The most one upload takes; the service offers no upload in parts.
    static constexpr std::int64_t DefaultUploadLimit = 100 << 20;

    // The scope text of a member, such as "wl.basic".
    static const char* ScopeText(TNimboOneDriveScope AScope);

    // Asks for all five scopes; sends nothing.
    explicit TNimboOneDrive(TComponent* AOwner = nullptr);

    // The scopes to ask for. A change takes effect at the next operation, which renews the token
    // when it was obtained for fewer scopes.
    TNimboOneDriveScopes GetScopes() const { return FScopes; }
    void SetScopes(TNimboOneDriveScopes AValue) { FScopes = AValue; }
    // The signed-in account's display name; signs in first when needed. Empty when unknown.
    std::string GetUserName();
    // The texts of the scopes to ask for, in ordinal order, joined with ",".
    std::string ScopesAsStr() const;
    // Larger content is refused with ERestError before anything is sent.
    std::int64_t GetUploadLimit() const { return FUploadLimit; }
    // EArgumentException for a negative limit.
    void SetUploadLimit(std::int64_t AValue);

    // Makes sure a token for the current scopes is held: renews it by refresh token from 5 minutes
    // before it expires, or signs in when there is no refresh token.
    void RefreshAccess() override;

    // The root folder, fetched on the first call only.
    TNimboCloudFile GetRoot() override;
    std::string GetMimeType(TNimboCloudFileData& AData) override;
    // Follows the listing page by page until every child has been delivered.
    void GetFiles(TNimboCloudFileData& AData, const TFileProc& AProc) override;
    void Download(TNimboCloudFileData& AData, std::ostream& AStream) override;
    bool CanDownloadRanges(TNimboCloudFileData& AData) override;
    TRangeExchange RangeExchange(TNimboCloudFileData& AData, std::int64_t AFirst, std::int64_t ALast) override;
    // ERestError for content above the upload limit.
    void Upload(TNimboCloudFileData& AData, std::istream& AStream) override;
    void Delete(TNimboCloudFileData& AData) override;
    AutoFree<TNimboCloudFileData> CreateFolder(TNimboCloudFileData& AData, const std::string& AName) override;
    // Replaces a file of the same name, as the service does by default. ERestError for content
    // above the upload limit.
    AutoFree<TNimboCloudFileData> createFile(TNimboCloudFileData& AData, const std::string& AName,
                                             std::istream& AStream) override;
    void Rename(TNimboCloudFileData& AData, const std::string& AName) override;
    void Move(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder) override;
    // Files only. The service's copy keeps the name; a copy under another name is renamed after, and
    // removed again when that fails.
    AutoFree<TNimboCloudFileData> Copy(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder,
                                       const std::string& AName) override;
    TNimboSpace GetSpace() override;

protected:
    std::string GetServerName() const override;
    TServiceStateClass GetStateClass() const override;
    // After the common fields: the token's scopes as a 64-bit integer (low byte), then the user name.
    void DoSaveState(TBinaryWriter& AWriter) const override;
    TApplyState DoLoadState(TBinaryReader& AReader) override;

private:
    // "Bearer " + the access token.
    std::string Bearer() const;
    // After an upload, whose answer holds little more than the item's id and name: fills AData
    // from the full metadata of item AId. When that cannot be read, AData keeps what it has.
    void ReadBackMetadata(TNimboOneDriveData& AData, const std::string& AId);
    // Sends a request on the item that answers with the item as it now is; the answer that a name
    // is taken becomes the error naming AName in AFolder.
    TFileInfo ChangeItem(THttpRequest ARequest, const std::string& AName, const TNimboCloudFileData& AFolder);
    // The content of an upload of the file AName; ERestError when it is above the upload limit.
    std::istream& WithinLimit(TUploadSource& ASource, const std::string& AName) const;

    TNimboOneDriveScopes FScopes;
    std::string FUserName;
    TNimboOneDriveScopes FTokenScopes;
    TNimboCloudFile FRoot;
    bool FRootInited = false;
    std::int64_t FUploadLimit = DefaultUploadLimit;
};

// The data of one OneDrive item.
class TNimboOneDriveData : public TNimboCloudFileData {
public:
    // The root of AService.
    TNimboOneDriveData(const TNimboOneDrive& AService, TNimboOneDrive::TFileInfo AInfo)
        : TNimboCloudFileData(AService) {
        SetInfo(std::move(AInfo));
    }
    // An item inside AParent.
    TNimboOneDriveData(TNimboCloudFileData& AParent, TNimboOneDrive::TFileInfo AInfo) : TNimboCloudFileData(AParent) {
        SetInfo(std::move(AInfo));
    }

    // Replaces all six fields with those of AInfo. EConvertError for a date in another form than
    // RFC 3339, in which case nothing is changed.
    void SetInfo(TNimboOneDrive::TFileInfo AInfo);

    const std::string& GetId() const { return Info().Id; }
    const std::string& GetType() const { return FType; }

private:
    std::string FType;
};

// The shared sign-in state of OneDrive components; its default redirect is the Live desktop page.
class TNimboOneDriveState : public TServiceState {
protected:
    std::string DefaultRedirectUrl() const override;
};

}  // namespace Nimbo::Connection
