#pragma once

// OneDrive through Microsoft Graph v1.0 (/me/drive) as a storage. A public client by default: it
// signs in through the system browser and a loopback address with PKCE and sends no secret. Small
// content goes up in one PUT, larger content through an upload session.

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "Nimbo/Connection/HttpJson.h"
#include "Nimbo/Connection/OAuthClient.h"
#include "Nimbo/Connection/SessionUpload.h"
#include "Nimbo/Connection/Storage.h"

namespace Nimbo::Connection {

// Graph's refusal in its error format ({"error": {"code", "message", "innerError"}}): still the
// protocol error with its status and answer; its message names the code and the service's message.
class EGraphError : public EHttpProtocolError {
public:
    EGraphError(const EHttpProtocolError& AAnswer, std::string ACode, std::string AServiceMessage);

    // The service's code, such as "itemNotFound" or "nameAlreadyExists".
    const std::string& Code() const { return FCode; }
    const std::string& ServiceMessage() const { return FServiceMessage; }

private:
    std::string FCode;
    std::string FServiceMessage;
};

// Graph signs in through a loopback address by default.
class TNimboOneDriveGraphState : public TServiceState {
protected:
    std::string DefaultRedirectUrl() const override;
};

class TNimboOneDriveGraph : public TNimboStorage {
public:
    struct THashes {
        std::string quickXorHash;
        NIMBO_JSON_FIELDS(THashes, quickXorHash)
    };
    struct TFileFacet {
        std::string mimeType;
        THashes hashes;
        NIMBO_JSON_FIELDS(TFileFacet, mimeType, hashes)
    };
    // Present on folders only: childCount stays negative when the item has no folder facet.
    struct TFolderFacet {
        std::int32_t childCount = -1;
        NIMBO_JSON_FIELDS(TFolderFacet, childCount)
    };
    struct TParentReference {
        std::string id;
        NIMBO_JSON_FIELDS(TParentReference, id)
    };
    // One driveItem, as far as the item record needs it.
    struct TItem {
        std::string id;
        std::string name;
        std::int64_t size = 0;
        std::string createdDateTime;       // RFC 3339
        std::string lastModifiedDateTime;  // RFC 3339
        TFileFacet file;
        TFolderFacet folder;
        TParentReference parentReference;
        NIMBO_JSON_FIELDS(TItem, id, name, size, createdDateTime, lastModifiedDateTime, file, folder, parentReference)
    };

    // The scopes asked for by default.
    static constexpr const char* DefaultScope = "Files.ReadWrite offline_access User.Read";
    static constexpr const char* DefaultTenant = "common";

    // One PUT for content up to 4 MiB, an upload session above, in fragments of a multiple of
    // 320 KiB below 60 MiB.
    static constexpr TSessionUploadSettings DefaultUploadSettings{.SingleRequestLimit = 4 << 20,
                                                                  .ChunkSize = 32 * (320 << 10)};
    static constexpr std::int64_t ChunkGranularity = 320 << 10;
    static constexpr std::int64_t MaxChunkSize = 60 << 20;

    // Children asked for per listing request.
    static constexpr int ListPageSize = 1000;

    explicit TNimboOneDriveGraph(TComponent* AOwner = nullptr);

    const TSessionUploadSettings& GetUploadSettings() const { return FUploadSettings; }
    // EArgumentException for a fragment size that is not a multiple of ChunkGranularity or not
    // below MaxChunkSize, and as CheckSessionUploadSettings.
    void SetUploadSettings(const TSessionUploadSettings& AValue);

    // The space-separated scopes; another scope drops the tokens held.
    const std::string& GetScope() const { return FScope; }
    void SetScope(const std::string& AValue);
    // The directory the sign-in goes to ("common", "consumers", "organizations" or a tenant id);
    // another tenant drops the tokens held.
    const std::string& GetTenant() const { return FTenant; }
    void SetTenant(const std::string& AValue);

    // The signed-in user's display name; signs in first when needed. Empty when not told.
    std::string GetUserName();

    // Keeps a token valid for more than five minutes, renews it (keeping the new refresh token the
    // service hands out with every renewal), or signs in.
    void RefreshAccess() override;

    TNimboCloudFile GetRoot() override { return FRoot; }
    void GetFiles(TNimboCloudFileData& AData, const TFileProc& AProc) override;
    // Follows the service's redirect to the pre-authenticated address without the bearer token.
    void Download(TNimboCloudFileData& AData, std::ostream& AStream) override;
    bool CanDownloadRanges(TNimboCloudFileData& AData) override;
    TRangeExchange RangeExchange(TNimboCloudFileData& AData, std::int64_t AFirst, std::int64_t ALast) override;
    void Upload(TNimboCloudFileData& AData, std::istream& AStream) override;
    // The item goes to the recycle bin.
    void Delete(TNimboCloudFileData& AData) override;
    // ERestError naming the clash when the name is taken.
    AutoFree<TNimboCloudFileData> CreateFolder(TNimboCloudFileData& AData, const std::string& AName) override;
    // A name that is taken gets the new content, as the service does by default.
    AutoFree<TNimboCloudFileData> createFile(TNimboCloudFileData& AData, const std::string& AName,
                                             std::istream& AStream) override;
    // ERestError naming the clash when the name is taken in the target folder.
    void Rename(TNimboCloudFileData& AData, const std::string& AName) override;
    void Move(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder) override;
    // Waits for the service's copy (files and folders) to complete.
    AutoFree<TNimboCloudFileData> Copy(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder,
                                       const std::string& AName) override;
    TNimboSpace GetSpace() override;
    std::string GetHashAlgorithm() const override;

    static TItem GetRootInfo();

protected:
    std::string GetServerName() const override;
    TServiceStateClass GetStateClass() const override;
    void DoSaveState(TBinaryWriter& AWriter) const override;
    TApplyState DoLoadState(TBinaryReader& AReader) override;

private:
    class TSession;

    THttpRequest::TConfigProc Authorization() const;
    template <class TCall>
    static decltype(auto) Translated(TCall&& ACall);
    // Sends the content by one PUT (ASimplePath) up to the limit, else through an upload session
    // that ASessionPath creates.
    TItem SendContent(std::istream& AStream, const std::string& AName, const std::string& ASimplePath,
                      const std::string& ASessionPath);
    TItem Patched(const std::string& AId, const std::function<void(THttpRequest::TJsonData)>& AWrite);
    TItem ReadItem(const std::string& AId);
    std::string ReadUserName();

    std::string FScope = DefaultScope;
    std::string FTenant = DefaultTenant;
    std::string FUserName;
    TSessionUploadSettings FUploadSettings = DefaultUploadSettings;
    TNimboCloudFile FRoot;
};

class TNimboOneDriveGraphData : public TNimboCloudFileData {
public:
    TNimboOneDriveGraphData(const TNimboStorage& AStorage, TNimboOneDriveGraph::TItem AItem)
        : TNimboCloudFileData(AStorage) {
        SetInfo(std::move(AItem));
    }
    TNimboOneDriveGraphData(TNimboCloudFileData& AParent, TNimboOneDriveGraph::TItem AItem)
        : TNimboCloudFileData(AParent) {
        SetInfo(std::move(AItem));
    }

    // Replaces the metadata; EConvertError for a malformed date, and then nothing changes.
    void SetInfo(TNimboOneDriveGraph::TItem AItem);
};

}  // namespace Nimbo::Connection
