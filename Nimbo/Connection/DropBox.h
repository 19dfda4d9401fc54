#pragma once

// The Dropbox storage: the Dropbox REST interface version 1, items addressed by path.

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "Nimbo/Connection/HttpJson.h"
#include "Nimbo/Connection/Json.h"
#include "Nimbo/Connection/OAuthClient.h"
#include "Nimbo/Connection/Paging.h"
#include "Nimbo/Connection/RestService.h"
#include "Nimbo/Connection/SessionUpload.h"
#include "Nimbo/Connection/Storage.h"
#include "Nimbo/Connection/UploadSource.h"

namespace Nimbo::Connection {

// Dropbox's sign-in state: a token that never expires, no refresh token.
class TNimboDropBoxState : public TServiceState {
protected:
    // The redirect page that Dropbox serves itself; the sign-in window reads the code off its URL.
    std::string DefaultRedirectUrl() const override;
};

class TNimboDropBoxData;

class TNimboDropBox : public TNimboStorage {
public:
    // Metadata of one item, as Dropbox answers it.
    struct TFileInfo {
        std::string path{};  // full path from the root, beginning with "/"
        bool is_dir = false;
        std::string mime_type{};  // absent for folders
        std::int64_t bytes = 0;
        std::string modified{};  // "Sat, 21 Aug 2010 22:31:20 +0000"; absent on the root
        NIMBO_JSON_FIELDS(TFileInfo, path, is_dir, mime_type, bytes, modified)
    };

    // A listed folder; only its children are read.
    struct TFileList {
        std::vector<TFileInfo> contents;
        NIMBO_JSON_FIELDS(TFileList, contents)
    };

    using TToken = TOAuthToken;

    struct TAbout {
        std::string display_name;
        std::string uid;
        NIMBO_JSON_FIELDS(TAbout, display_name, uid)
    };

    // The account's space, in bytes: its own files (normal) and those shared with it count.
    struct TQuotaInfo {
        std::int64_t quota = 0;
        std::int64_t normal = 0;
        std::int64_t shared = 0;
        NIMBO_JSON_FIELDS(TQuotaInfo, quota, normal, shared)
    };
    struct TAccountSpace {
        TQuotaInfo quota_info;
        NIMBO_JSON_FIELDS(TAccountSpace, quota_info)
    };

    // Where a chunked upload stands: the bytes the service holds so far.
    struct TChunkedUpload {
        std::string upload_id;
        std::int64_t offset = 0;
        NIMBO_JSON_FIELDS(TChunkedUpload, upload_id, offset)
    };

    // The most entries Dropbox lists in one answer; a larger folder is refused with 406.
    static constexpr int MaxListedEntries = 25000;
    // A single upload takes at most 150 MB; larger content goes up in chunks (of at most as much).
    static constexpr std::int64_t MaxSingleUpload = 150 << 20;
    static constexpr TSessionUploadSettings DefaultUploadSettings{.SingleRequestLimit = MaxSingleUpload,
                                                                  .ChunkSize = 4 << 20};

    explicit TNimboDropBox(TComponent* AOwner = nullptr);

    const TSessionUploadSettings& GetUploadSettings() const { return FUploadSettings; }
    // EArgumentException for a limit or chunk size above MaxSingleUpload, and as
    // CheckSessionUploadSettings.
    void SetUploadSettings(const TSessionUploadSettings& AValue);

    // The display name of the signed-in account; signs in first when no token is held. Empty when
    // Dropbox did not tell it.
    std::string GetUserName();

    // Signs in unless a token is held (a Dropbox token never expires).
    void RefreshAccess() override;

    TNimboCloudFile GetRoot() override;
    std::string GetName(TNimboCloudFileData& AData) override;
    // One answer for the whole folder; ERestError when the folder holds more than MaxListedEntries.
    void GetFiles(TNimboCloudFileData& AData, const TFileProc& AProc) override;
    void Download(TNimboCloudFileData& AData, std::ostream& AStream) override;
    bool CanDownloadRanges(TNimboCloudFileData& AData) override;
    TRangeExchange RangeExchange(TNimboCloudFileData& AData, std::int64_t AFirst, std::int64_t ALast) override;
    void Upload(TNimboCloudFileData& AData, std::istream& AStream) override;
    void Delete(TNimboCloudFileData& AData) override;
    AutoFree<TNimboCloudFileData> CreateFolder(TNimboCloudFileData& AData, const std::string& AName) override;
    AutoFree<TNimboCloudFileData> createFile(TNimboCloudFileData& AData, const std::string& AName,
                                             std::istream& AStream) override;
    // A name holding "/" or "\\" raises EArgumentException: it would address another folder.
    void Rename(TNimboCloudFileData& AData, const std::string& AName) override;
    void Move(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder) override;
    // Files and folders (with everything inside).
    AutoFree<TNimboCloudFileData> Copy(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder,
                                       const std::string& AName) override;
    TNimboSpace GetSpace() override;

protected:
    std::string GetServerName() const override;
    TServiceStateClass GetStateClass() const override;
    // The account's display name follows the common state fields.
    void DoSaveState(TBinaryWriter& AWriter) const override;
    TApplyState DoLoadState(TBinaryReader& AReader) override;

private:
    static TFileInfo GetRootInfo();
    std::string Bearer() const;
    // Stores the content at APath, by a single upload up to the limit, else by a chunked upload;
    // signed in already.
    TFileInfo PutFile(const std::string& APath, std::istream& AStream);
    class TChunkedSession;
    // Moves or copies (AOperation "move" or "copy") the item at AFrom to the path of AName inside
    // AFolder; returns the item at its new place.
    TFileInfo FileOperation(const char* AOperation, const std::string& AFrom, const TNimboDropBoxData& AFolder,
                            const std::string& AName);

    std::string FUserName;
    TSessionUploadSettings FUploadSettings = DefaultUploadSettings;
    TNimboCloudFile FRoot;
};

// The data of one Dropbox item.
class TNimboDropBoxData : public TNimboCloudFileData {
public:
    // The root form.
    TNimboDropBoxData(const TNimboDropBox& AService, TNimboDropBox::TFileInfo AInfo) : TNimboCloudFileData(AService) {
        SetInfo(std::move(AInfo));
    }
    // An item inside AParent.
    TNimboDropBoxData(TNimboDropBoxData& AParent, TNimboDropBox::TFileInfo AInfo) : TNimboCloudFileData(AParent) {
        SetInfo(std::move(AInfo));
    }

    // Replaces every field with AInfo's; EConvertError for a malformed date, leaving them unchanged.
    void SetInfo(TNimboDropBox::TFileInfo AInfo);

    // The item's path as Dropbox writes it; empty for the root.
    const std::string& GetPath() const { return Info().Id; }
};

}  // namespace Nimbo::Connection
