#pragma once

// Dropbox through its HTTP interface version 2 as a storage. Items are addressed by path; every
// call is a POST with a JSON argument, in the body for calls on metadata and in the
// Dropbox-API-Arg header for calls that carry content.

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>

#include "Nimbo/Connection/HttpJson.h"
#include "Nimbo/Connection/OAuthClient.h"
#include "Nimbo/Connection/Storage.h"
#include "Nimbo/Connection/UploadSource.h"

namespace Nimbo::Connection {

// The service's refusal of a call: a 409 with its error summary ("path/not_found/..") and the tag
// of its error, or a 400 with the plain text the service wrote.
class EDropBox2Error : public EHttpProtocolError {
public:
    EDropBox2Error(const EHttpProtocolError& AAnswer, std::string ASummary, std::string ATag);

    // "path/conflict/folder/..", or the text of a 400 answer.
    const std::string& Summary() const { return FSummary; }
    // The error's ".tag", such as "path" or "incorrect_offset"; empty for a 400 answer.
    const std::string& Tag() const { return FTag; }

private:
    std::string FSummary;
    std::string FTag;
};

// Dropbox v2 signs in through a loopback address by default.
class TNimboDropBox2State : public TServiceState {
protected:
    std::string DefaultRedirectUrl() const override;
};

class TNimboDropBox2 : public TNimboStorage {
public:
    // One entry's metadata as far as the item record needs it; folders carry no rev.
    struct TFileInfo {
        std::string id;
        std::string name;
        std::string path_display;
        std::string path_lower;
        std::string rev;
        std::int64_t size = 0;
        std::string client_modified;  // ISO 8601 UTC
        std::string server_modified;
        std::string content_hash;
        NIMBO_JSON_FIELDS(TFileInfo, id, name, path_display, path_lower, rev, size, client_modified, server_modified,
                          content_hash)
    };

    // The service accepts only a loopback address registered exactly, port included: sign-ins
    // listen on this one unless another redirect address is set.
    static constexpr const char* LoopbackRedirectUrl = "http://127.0.0.1:52475/";

    // Entries asked for per listing request: the most the service gives, by default.
    static constexpr int ListPageSize = 2000;

    // One request carries up to 150 MiB. Content above the single-request limit goes up through a
    // session: its parts several at once when the settings send more than one at a time and the
    // chunk size is a multiple of 4 MiB (as the default is), else one after another, of any size up
    // to that.
    static constexpr std::int64_t MaxRequestSize = std::int64_t{150} << 20;
    static constexpr TSessionUploadSettings DefaultUploadSettings{.SingleRequestLimit = MaxRequestSize,
                                                                  .ChunkSize = 16 << 20};

    explicit TNimboDropBox2(TComponent* AOwner = nullptr);

    // The signed-in user's display name; signs in first when needed. Empty when not told.
    std::string GetUserName();

    int GetListPageSize() const { return FListPageSize; }
    // EArgumentException outside 1..ListPageSize.
    void SetListPageSize(int AValue);

    const TSessionUploadSettings& GetUploadSettings() const { return FUploadSettings; }
    // EArgumentException unless the single-request limit and the part size are at most
    // MaxRequestSize, and as CheckSessionUploadSettings.
    void SetUploadSettings(const TSessionUploadSettings& AValue);

    void RefreshAccess() override;

    TNimboCloudFile GetRoot() override { return FRoot; }
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
    // Files and folders with what they hold.
    AutoFree<TNimboCloudFileData> Copy(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder,
                                       const std::string& AName) override;
    TNimboSpace GetSpace() override;
    std::string GetHashAlgorithm() const override;
    bool ServiceChecksUploads() const override { return true; }

    // The JSON text of AJson with every character above U+007F written as \uXXXX, as the
    // Dropbox-API-Arg header must be.
    static std::string AsciiJson(const std::string& AJson);

protected:
    std::string GetServerName() const override;
    TServiceStateClass GetStateClass() const override;

private:
    class TSession;

    THttpRequest::TConfigProc Authorization() const;
    // Runs ACall, which builds and sends one request: the service's refusals become
    // EDropBox2Error, and a token the service calls expired is renewed and the call made once more.
    template <class TCall>
    decltype(auto) Call(TCall&& ACall);
    // A change by a call on metadata: AArg as the JSON body, the answer's metadata in AInfo when given.
    void Rpc(const std::string& APath, const std::string& AArg, TFileInfo* AInfo);
    // files/move_v2 or files/copy_v2 of AData to AName in the folder at AFolderPath (AFolderName in
    // messages); the new place's metadata.
    TFileInfo Relocate(const std::string& ACall, TNimboCloudFileData& AData, const std::string& AFolderPath,
                       const std::string& AFolderName, const std::string& AName);
    // The content at APath, written as AMode says.
    TFileInfo SendFile(const std::string& APath, const std::string& AMode, std::istream& AStream);

    std::string FUserName;
    TSessionUploadSettings FUploadSettings = DefaultUploadSettings;
    int FListPageSize = ListPageSize;
    TNimboCloudFile FRoot;
};

// One Dropbox entry's metadata.
class TNimboDropBox2Data : public TNimboCloudFileData {
public:
    TNimboDropBox2Data(const TNimboStorage& AStorage, TNimboDropBox2::TFileInfo AInfo, bool AIsFolder)
        : TNimboCloudFileData(AStorage) {
        SetInfo(std::move(AInfo), AIsFolder);
    }
    TNimboDropBox2Data(TNimboCloudFileData& AParent, TNimboDropBox2::TFileInfo AInfo, bool AIsFolder)
        : TNimboCloudFileData(AParent) {
        SetInfo(std::move(AInfo), AIsFolder);
    }

    void SetInfo(TNimboDropBox2::TFileInfo AInfo, bool AIsFolder);

    // The path as the service displays it ("" for the root).
    const std::string& GetPath() const { return FPath; }

private:
    std::string FPath;
};

}  // namespace Nimbo::Connection
