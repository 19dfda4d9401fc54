#pragma once

// Box (Content API 2.0): every file and folder has an identifier, the root folder's is "0". Signs in
// with OAuth 2.0; file contents go up as multipart uploads to a separate upload host.

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "Nimbo/Connection/HttpJson.h"
#include "Nimbo/Connection/JsonTypes.h"
#include "Nimbo/Connection/OAuthClient.h"
#include "Nimbo/Connection/Paging.h"
#include "Nimbo/Connection/SessionUpload.h"
#include "Nimbo/Connection/Storage.h"
#include "Nimbo/Connection/UploadSource.h"

namespace Nimbo::Connection {

// Box signs in through a loopback address by default; an application may set a redirect URL of its
// own, which the sign-in window then watches for.
class TNimboBoxNetState : public TServiceState {
protected:
    std::string DefaultRedirectUrl() const override;
};

class TNimboBoxNet : public TNimboStorage {
public:
    // One file or folder.
    struct TFileInfo {
        std::string id;
        std::string name;
        std::string type;  // "folder" for a folder; anything else is a file
        std::int64_t size = 0;
        std::string created_at;   // RFC 3339
        std::string modified_at;  // RFC 3339
        std::string sha1{};       // files only, hex
        NIMBO_JSON_FIELDS(TFileInfo, id, name, type, size, created_at, modified_at, sha1)
    };

    // A page of a folder's listing, or the answer of an upload (one entry).
    struct TFileList {
        std::int64_t total_count = 0;  // children of the whole folder
        std::vector<TFileInfo> entries;
        std::int64_t limit = 0;  // the page size the service applied
        NIMBO_JSON_FIELDS(TFileList, total_count, entries, limit)
    };

    using TToken = TOAuthToken;

    struct TAbout {
        std::string id;
        std::string name;  // the user's display name
        NIMBO_JSON_FIELDS(TAbout, id, name)
    };

    // The account's space, in bytes.
    struct TSpace {
        std::int64_t space_amount = 0;
        std::int64_t space_used = 0;
        NIMBO_JSON_FIELDS(TSpace, space_amount, space_used)
    };

    // The space_amount the service gives an account whose space is unlimited.
    static constexpr std::int64_t UnlimitedSpace = 999999999999999;

    // An upload session: the service chooses the part size.
    struct TUploadSession {
        std::string id;
        std::int64_t part_size = 0;
        NIMBO_JSON_FIELDS(TUploadSession, id, part_size)
    };

    // One part the session holds, as the commit names it.
    struct TUploadPart {
        std::string part_id;
        std::int64_t offset = 0;
        std::int64_t size = 0;
        std::string sha1;
        NIMBO_JSON_FIELDS(TUploadPart, part_id, offset, size, sha1)
    };

    // The answer to an uploaded part.
    struct TPartAnswer {
        TUploadPart part;
        NIMBO_JSON_FIELDS(TPartAnswer, part)
    };

    // A page of the parts a session holds.
    struct TPartList {
        std::int64_t total_count = 0;
        std::vector<TUploadPart> entries;
        NIMBO_JSON_FIELDS(TPartList, total_count, entries)
    };

    // A blank page on the Box app host, meant as the application's redirect URL.
    static constexpr const char* BlankPageUrl = "https://app.box.com/nimbo-blank";

    // Children asked for per listing request: the most the service hands out at once.
    static constexpr int ListPageSize = 1000;

    // The smallest file an upload session takes.
    static constexpr std::int64_t MinSessionFileSize = 20000000;
    // The service advises its direct upload for up to 50 MB and upload sessions above; it chooses
    // the part size itself, so ChunkSize is not used.
    static constexpr TSessionUploadSettings DefaultUploadSettings{.SingleRequestLimit = 50 << 20, .ChunkSize = 8 << 20};
    // Times a commit is repeated while the service is still processing the parts.
    static constexpr int MaxCommitPolls = 30;

    explicit TNimboBoxNet(TComponent* AOwner = nullptr);

    const TSessionUploadSettings& GetUploadSettings() const { return FUploadSettings; }
    // EArgumentException for a limit below MinSessionFileSize, and as CheckSessionUploadSettings.
    void SetUploadSettings(const TSessionUploadSettings& AValue);

    // The signed-in user's display name; signs in first when needed. Empty when the service did not
    // tell it.
    std::string GetUserName();

    // Makes sure a usable access token is held: keeps one that is valid for more than five minutes,
    // renews it with the refresh token, or signs in.
    void RefreshAccess() override;

    TNimboCloudFile GetRoot() override;
    std::string GetMimeType(TNimboCloudFileData& AData) override;
    void GetFiles(TNimboCloudFileData& AData, const TFileProc& AProc) override;
    void Download(TNimboCloudFileData& AData, std::ostream& AStream) override;
    bool CanDownloadRanges(TNimboCloudFileData& AData) override;
    TRangeExchange RangeExchange(TNimboCloudFileData& AData, std::int64_t AFirst, std::int64_t ALast) override;
    void Upload(TNimboCloudFileData& AData, std::istream& AStream) override;
    void Delete(TNimboCloudFileData& AData) override;
    AutoFree<TNimboCloudFileData> CreateFolder(TNimboCloudFileData& AData, const std::string& AName) override;
    AutoFree<TNimboCloudFileData> createFile(TNimboCloudFileData& AData, const std::string& AName,
                                             std::istream& AStream) override;
    void Rename(TNimboCloudFileData& AData, const std::string& AName) override;
    void Move(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder) override;
    // Files and folders (with everything inside).
    AutoFree<TNimboCloudFileData> Copy(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder,
                                       const std::string& AName) override;
    TNimboSpace GetSpace() override;
    std::string GetHashAlgorithm() const override;
    bool ServiceChecksUploads() const override { return true; }

protected:
    std::string GetServerName() const override;
    TServiceStateClass GetStateClass() const override;
    // The user name follows the common part of the state stream.
    void DoSaveState(TBinaryWriter& AWriter) const override;
    TApplyState DoLoadState(TBinaryReader& AReader) override;

private:
    static TFileInfo GetRootInfo();

    std::string Bearer() const;
    // "2.0/files/<id>" or "2.0/folders/<id>".
    static std::string ItemPath(const TNimboCloudFileData& AData);
    // Sends the JSON body AWrite writes to the item's address with AMethod's request, and takes the
    // service's description of the item it answers with. A name that is taken becomes the error
    // naming AName in AFolder.
    TFileInfo ChangeItem(THttpRequest ARequest, const std::string& AName, const TNimboCloudFileData& AFolder,
                         const std::function<void(THttpRequest::TJsonData)>& AWrite);

    class TSessionSteps;

    // Sends the content through an upload session that ACreate opens for the content's size; aborts
    // the session when the parts cannot all be sent. Returns the stored file.
    TFileInfo SessionUpload(TUploadSource& ASource, const std::string& AName,
                            const std::function<THttpRequest(std::int64_t ASize)>& ACreate);

    std::string FUserName;
    TSessionUploadSettings FUploadSettings = DefaultUploadSettings;
    TNimboCloudFile FRoot;
};

// The data of one Box item.
class TNimboBoxNetData : public TNimboCloudFileData {
public:
    // The root of AService.
    TNimboBoxNetData(const TNimboBoxNet& AService, TNimboBoxNet::TFileInfo AInfo) : TNimboCloudFileData(AService) {
        SetInfo(std::move(AInfo));
    }
    // An item inside AParent.
    TNimboBoxNetData(TNimboCloudFileData& AParent, TNimboBoxNet::TFileInfo AInfo) : TNimboCloudFileData(AParent) {
        SetInfo(std::move(AInfo));
    }

    // Replaces every field with the info's; on a malformed date (EConvertError) nothing changes.
    void SetInfo(TNimboBoxNet::TFileInfo AInfo);
};

}  // namespace Nimbo::Connection
