#pragma once

// Google Drive through its REST interface version 3 as a storage. Signs in through the system
// browser and a loopback address with PKCE; small content goes up in one multipart request, larger
// content through a resumable upload session.

#include <cstdint>
#include <functional>
#include <istream>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "Nimbo/Connection/HttpJson.h"
#include "Nimbo/Connection/OAuthClient.h"
#include "Nimbo/Connection/SessionUpload.h"
#include "Nimbo/Connection/Storage.h"
#include "Nimbo/Connection/UploadSource.h"

namespace Nimbo::Connection {

// The service's refusal in its own error format ({"error": {"code", "message", "errors": [{"reason"}]}}):
// still the protocol error with its status and answer, and its message names the service's message
// and reason.
class EGDrive3Error : public EHttpProtocolError {
public:
    EGDrive3Error(const EHttpProtocolError& AAnswer, std::string AServiceMessage, std::string AReason);

    // The service's message, such as "File not found: 1a2b."
    const std::string& ServiceMessage() const { return FServiceMessage; }
    // The first reason the service names, such as "notFound" or "userRateLimitExceeded"; may be empty.
    const std::string& Reason() const { return FReason; }

private:
    std::string FServiceMessage;
    std::string FReason;
};

// Drive v3 signs in through a loopback address by default.
class TNimboGDrive3State : public TServiceState {
protected:
    std::string DefaultRedirectUrl() const override;
};

class TNimboGDrive3 : public TNimboStorage {
public:
    // One file resource, as far as the item record needs it.
    struct TFileInfo {
        std::string id;
        std::string name;
        std::string mimeType;
        std::string size;          // int64 as decimal text; absent for folders and the service's own documents
        std::string createdTime;   // RFC 3339
        std::string modifiedTime;  // RFC 3339
        std::string md5Checksum;   // files with binary content only
        std::string sha1Checksum;  // the same files; older records may carry md5 alone
        std::vector<std::string> parents;
        NIMBO_JSON_FIELDS(TFileInfo, id, name, mimeType, size, createdTime, modifiedTime, md5Checksum, sha1Checksum,
                          parents)
    };

    // One page of a listing; nextPageToken is absent on the last page.
    struct TFileList {
        std::string nextPageToken;
        std::vector<TFileInfo> files;
        NIMBO_JSON_FIELDS(TFileList, nextPageToken, files)
    };

    struct TUser {
        std::string displayName;
        std::string emailAddress;
        NIMBO_JSON_FIELDS(TUser, displayName, emailAddress)
    };

    // The account's quota; int64 numbers as decimal text, limit absent when the space is unlimited.
    struct TStorageQuota {
        std::string limit;
        std::string usage;
        NIMBO_JSON_FIELDS(TStorageQuota, limit, usage)
    };

    struct TAbout {
        TUser user;
        TStorageQuota storageQuota;
        NIMBO_JSON_FIELDS(TAbout, user, storageQuota)
    };

    // The scope asked for by default: the whole Drive.
    static constexpr const char* DriveScope = "https://www.googleapis.com/auth/drive";

    // The service advises one request for content of up to 5 MB and a resumable session above, in
    // chunks of a multiple of 256 KiB.
    static constexpr TSessionUploadSettings DefaultUploadSettings{.SingleRequestLimit = 5 << 20, .ChunkSize = 8 << 20};
    static constexpr std::int64_t ChunkGranularity = 256 << 10;

    // Children asked for per listing request: the most the service hands out at once.
    static constexpr int ListPageSize = 1000;

    explicit TNimboGDrive3(TComponent* AOwner = nullptr);

    const TSessionUploadSettings& GetUploadSettings() const { return FUploadSettings; }
    // EArgumentException for a chunk size that is not a multiple of ChunkGranularity, and as
    // CheckSessionUploadSettings.
    void SetUploadSettings(const TSessionUploadSettings& AValue);

    // The space-separated scopes the sign-in asks for; DriveScope by default. Another scope drops
    // the tokens held, so that the next operation signs in for it.
    const std::string& GetScope() const { return FScope; }
    void SetScope(const std::string& AValue);

    // The signed-in user's display name (the e-mail address when the service gives no name); signs
    // in first when needed. Empty when the service did not tell it.
    std::string GetUserName();

    // Makes sure a usable access token is held: keeps one that is valid for more than five minutes,
    // renews it with the refresh token, or signs in.
    void RefreshAccess() override;

    TNimboCloudFile GetRoot() override { return FRoot; }
    // Every child that is not in the trash, in pages of ListPageSize. Names need not be unique: two
    // children of the same name are two items.
    void GetFiles(TNimboCloudFileData& AData, const TFileProc& AProc) override;
    // ERestError naming the item and the export it would need when it is one of the service's own
    // documents, which have no bytes; nothing is sent then.
    void Download(TNimboCloudFileData& AData, std::ostream& AStream) override;
    bool CanDownloadRanges(TNimboCloudFileData& AData) override;
    TRangeExchange RangeExchange(TNimboCloudFileData& AData, std::int64_t AFirst, std::int64_t ALast) override;
    // Content above the single-request limit goes through a resumable upload session.
    void Upload(TNimboCloudFileData& AData, std::istream& AStream) override;
    // Removes the item for good, past the trash (a folder with everything inside).
    void Delete(TNimboCloudFileData& AData) override;
    AutoFree<TNimboCloudFileData> CreateFolder(TNimboCloudFileData& AData, const std::string& AName) override;
    // A name that is taken makes a second file of that name, as the service does.
    AutoFree<TNimboCloudFileData> createFile(TNimboCloudFileData& AData, const std::string& AName,
                                             std::istream& AStream) override;
    // Names need not be unique in a Drive folder: a rename or move to a name that is taken makes a
    // second item of that name, as the service does.
    void Rename(TNimboCloudFileData& AData, const std::string& AName) override;
    void Move(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder) override;
    // Files only: the service copies no folders.
    AutoFree<TNimboCloudFileData> Copy(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder,
                                       const std::string& AName) override;
    TNimboSpace GetSpace() override;
    std::string GetHashAlgorithm() const override;

    // The root folder: id "root", no name, no dates.
    static TFileInfo GetRootInfo();

protected:
    std::string GetServerName() const override;
    TServiceStateClass GetStateClass() const override;
    // The user name follows the common part of the state stream.
    void DoSaveState(TBinaryWriter& AWriter) const override;
    TApplyState DoLoadState(TBinaryReader& AReader) override;

private:
    class TResumableSession;

    // Adds the bearer token header to a request.
    THttpRequest::TConfigProc Authorization() const;
    // Runs ACall; the service's refusals in its error format become EGDrive3Error.
    template <class TCall>
    static decltype(auto) Translated(TCall&& ACall);
    // Sends AWrite's request for one item (its fields selected) and returns the item it answers with.
    TFileInfo ItemRequest(THttpRequest ARequest, const std::function<void(THttpRequest::TJsonData)>& AWrite);
    // Sends the content: in one multipart request (AMultipart, the metadata written) up to the
    // single-request limit, else through a resumable session that AStartSession begins.
    TFileInfo SendContent(TUploadSource& ASource, const std::string& AName,
                          const std::function<THttpRequest()>& AMultipart,
                          const std::function<THttpRequest()>& AStartSession);
    std::string ReadUserName();

    std::string FScope = DriveScope;
    std::string FUserName;
    TSessionUploadSettings FUploadSettings = DefaultUploadSettings;
    TNimboCloudFile FRoot;
};

// One Drive item's metadata.
class TNimboGDrive3Data : public TNimboCloudFileData {
public:
    // The root of AStorage.
    TNimboGDrive3Data(const TNimboStorage& AStorage, TNimboGDrive3::TFileInfo AInfo) : TNimboCloudFileData(AStorage) {
        SetInfo(std::move(AInfo));
    }
    // A child of AParent.
    TNimboGDrive3Data(TNimboCloudFileData& AParent, TNimboGDrive3::TFileInfo AInfo) : TNimboCloudFileData(AParent) {
        SetInfo(std::move(AInfo));
    }

    // Replaces the metadata; EConvertError for a malformed size or date, and then nothing changes.
    void SetInfo(TNimboGDrive3::TFileInfo AInfo);

    // The ids of the folders that hold the item, as the service last told them; may be empty.
    const std::vector<std::string>& GetParents() const { return FParents; }
    // Whether the item is one of the service's own documents (Docs, Sheets, ...) or a shortcut:
    // an item that is neither a folder nor has bytes.
    bool IsGoogleDocument() const;

private:
    std::vector<std::string> FParents;
};

}  // namespace Nimbo::Connection
