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

namespace Nimbo::Connection {

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

    // Entries asked for per listing request.
    static constexpr int ListPageSize = 2000;

    explicit TNimboDropBox2(TComponent* AOwner = nullptr);

    // The signed-in user's display name; signs in first when needed. Empty when not told.
    std::string GetUserName();

    void RefreshAccess() override;

    TNimboCloudFile GetRoot() override { return FRoot; }
    void GetFiles(TNimboCloudFileData& AData, const TFileProc& AProc) override;
    void Download(TNimboCloudFileData& AData, std::ostream& AStream) override;
    void Upload(TNimboCloudFileData& AData, std::istream& AStream) override;
    void Delete(TNimboCloudFileData& AData) override;
    AutoFree<TNimboCloudFileData> CreateFolder(TNimboCloudFileData& AData, const std::string& AName) override;
    AutoFree<TNimboCloudFileData> createFile(TNimboCloudFileData& AData, const std::string& AName,
                                             std::istream& AStream) override;
    // A taken name is an error naming the clash; nothing is renamed then.
    void Rename(TNimboCloudFileData& AData, const std::string& AName) override;
    void Move(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder) override;
    // Files and folders with what they hold.
    AutoFree<TNimboCloudFileData> Copy(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder,
                                       const std::string& AName) override;
    TNimboSpace GetSpace() override;
    std::string GetHashAlgorithm() const override;

    // The JSON text of AJson with every character above U+007F written as \uXXXX, as the
    // Dropbox-API-Arg header must be.
    static std::string AsciiJson(const std::string& AJson);

protected:
    std::string GetServerName() const override;
    TServiceStateClass GetStateClass() const override;

private:
    THttpRequest::TConfigProc Authorization() const;
    // A call on metadata: AArg as the JSON body, the answer decoded into AInfo.
    void Rpc(const std::string& APath, const std::string& AArg, TFileInfo* AInfo, bool ASafe);
    // files/move_v2 or files/copy_v2 of AData to ATo; the new place's metadata.
    TFileInfo Relocate(const std::string& ACall, TNimboCloudFileData& AData, const std::string& ATo);
    TFileInfo SendFile(const std::string& APath, std::istream& AStream);

    std::string FUserName;
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
