#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "Nimbo/Connection/RangedDownload.h"
#include "Nimbo/Connection/RestService.h"
#include "Nimbo/Connection/platform/AutoFree.h"
#include "Nimbo/Connection/platform/DateTime.h"

namespace Nimbo::Connection {

class TNimboStorage;
class TNimboCloudFile;

// An item's metadata as the service describes it, filled once from the service's answer.
struct TNimboItemInfo {
    std::string Id{};  // how the service addresses the item (an identifier, or a path)
    std::string Name{};
    bool IsFolder = false;
    std::int64_t Size = 0;
    std::string MimeType{};            // empty when the service gives none
    TDateTime Created = MinDateTime;   // UTC
    TDateTime Modified = MinDateTime;  // UTC
    std::string Hash{};                // the content hash as the service writes it; empty when it gives none
    std::string HashAlgorithm{};       // what Hash was computed with ("md5", "sha1", ...); empty with it
};

// The space of the account, in bytes.
struct TNimboSpace {
    std::int64_t Used = 0;
    std::optional<std::int64_t> Total{};  // absent where the service says the space is unlimited
};

// The data of one cloud item: its metadata record, which its storage's adapter fills. Each storage
// derives its own item class and keeps there what only its service needs. Always created with
// std::make_shared. It knows its storage only through a weak handle and keeps its parent's data alive.
class TNimboCloudFileData : public TRestHandle, public TAutoFreeBase<TNimboCloudFileData> {
public:
    // A top-level item (the root) of AService.
    explicit TNimboCloudFileData(const TNimboStorage& AService);
    // An item inside AParent, of AParent's storage; ERestError "Service has been destroyed." when
    // that storage is gone.
    explicit TNimboCloudFileData(TNimboCloudFileData& AParent);

    // The storage this item belongs to; ERestError "Service has been destroyed." when it is gone.
    TNimboStorage& GetService() const;

    const TNimboItemInfo& Info() const { return FInfo; }
    // The data of the folder that holds the item; nullptr for a top-level item.
    TNimboCloudFileData* Parent() const { return FParent.get(); }

protected:
    // Replaces the whole record.
    void AssignInfo(TNimboItemInfo&& AInfo) { FInfo = std::move(AInfo); }

private:
    friend class TNimboCloudFile;

    std::weak_ptr<TNimboStorage> FService;  // expires with the storage; never locked for long
    AutoFree<TNimboCloudFileData> FParent;
    TNimboItemInfo FInfo;
};

// One callable receiving the items of a listing, one at a time.
using TFileProc = std::function<void(TNimboCloudFile)>;

// Writes a range of a file's bytes to the stream; runs on a thread of its own.
using TRangeExchange = std::function<void(std::ostream& AStream)>;

// The uniform storage component. An adapter derives from it and implements every operation below;
// the item data passed in is always one of its own item data objects.
class TNimboStorage : public TRestService {
public:
    explicit TNimboStorage(TComponent* AOwner = nullptr);

    TNimboCloudFile Root();

    // A handle of the root folder; every call returns a copy of the same handle.
    virtual TNimboCloudFile GetRoot() = 0;
    // The item's attributes, by default as its metadata record holds them. The display name (not a path).
    virtual std::string GetName(TNimboCloudFileData& AData);
    virtual bool GetIsFolder(TNimboCloudFileData& AData);
    // Only asked for files.
    virtual std::string GetMimeType(TNimboCloudFileData& AData);
    // Only asked for files.
    virtual std::int64_t GetSize(TNimboCloudFileData& AData);
    // MinDateTime when the service gives no such date.
    virtual TDateTime GetCreatedAt(TNimboCloudFileData& AData);
    virtual TDateTime GetModifiedAt(TNimboCloudFileData& AData);
    // Delivers each direct child of the folder, in the service's order, as a handle on a new item
    // data object whose parent is AData.
    virtual void GetFiles(TNimboCloudFileData& AData, const TFileProc& AProc) = 0;
    // Writes the file's bytes at the stream's current position.
    virtual void Download(TNimboCloudFileData& AData, std::ostream& AStream) = 0;
    // Whether the file's bytes can be fetched in ranges (RangeExchange); by default not.
    virtual bool CanDownloadRanges(TNimboCloudFileData& AData);
    // Builds, on the calling thread, with the sign-in checked, the exchange that writes bytes AFirst
    // to ALast (both included) of the file of the size its record holds; several such exchanges
    // run at once, each on a thread of its own. An answer that is not exactly that range raises an
    // error before any byte is written (THttpRequest::ByteRange). By default ERestError saying that
    // the storage cannot do it.
    virtual TRangeExchange RangeExchange(TNimboCloudFileData& AData, std::int64_t AFirst, std::int64_t ALast);
    // Replaces the content of the existing file with the stream's bytes; the item keeps its identity.
    virtual void Upload(TNimboCloudFileData& AData, std::istream& AStream) = 0;
    virtual void Delete(TNimboCloudFileData& AData) = 0;
    // Creates a folder inside AData and returns its item data (parent AData).
    virtual AutoFree<TNimboCloudFileData> CreateFolder(TNimboCloudFileData& AData, const std::string& AName) = 0;
    // Creates a file with the stream's bytes inside AData and returns its item data (parent AData).
    virtual AutoFree<TNimboCloudFileData> createFile(TNimboCloudFileData& AData, const std::string& AName,
                                                     std::istream& AStream) = 0;

    // The calls below update the item's record from the service's answer only once it succeeded. A
    // name that is taken where the item would go raises ERestError naming it. A storage that cannot
    // do one of them raises ERestError saying so.

    // Gives the item a new name in its folder.
    virtual void Rename(TNimboCloudFileData& AData, const std::string& AName);
    // Moves the item into AFolder, keeping its name.
    virtual void Move(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder);
    // Copies the item into AFolder under AName and returns the copy's item data (parent AFolder).
    virtual AutoFree<TNimboCloudFileData> Copy(TNimboCloudFileData& AData, TNimboCloudFileData& AFolder,
                                               const std::string& AName);
    // The space the account uses and has.
    virtual TNimboSpace GetSpace();
    // The algorithm of the content hashes the service gives (THashAlgorithm), with which uploads are
    // checked; empty when it gives none.
    virtual std::string GetHashAlgorithm() const;
    // Whether every request of an upload carries the hash of the bytes it sends, which the service
    // checks before it stores them: such uploads need no check of their own.
    virtual bool ServiceChecksUploads() const { return false; }

    // How downloads to a local file use several connections.
    const TDownloadSettings& GetDownloadSettings() const { return FDownloadSettings; }
    // EArgumentException for settings CheckDownloadSettings refuses; the settings stay as they were.
    void SetDownloadSettings(const TDownloadSettings& AValue);

protected:
    // ERestError "<AWhat> is not supported by this storage", AWhat as "Renaming items".
    [[noreturn]] static void RaiseUnsupported(const std::string& AWhat);
    // ERestError: an item named AName is already in the folder AFolder.
    [[noreturn]] static void RaiseNameTaken(const std::string& AName, const std::string& AFolder);
    // Runs ACall; the service's answer that the name is taken (status AStatus, AMarker in its body)
    // becomes RaiseNameTaken's error.
    template <class TCall>
    static decltype(auto) GuardNameTaken(int AStatus, const char* AMarker, const std::string& AName,
                                         const std::string& AFolder, TCall&& ACall) {
        try {
            return ACall();
        } catch (const EHttpProtocolError& E) {
            if (E.ErrorCode() == AStatus && E.ErrorMessage().find(AMarker) != std::string::npos)
                RaiseNameTaken(AName, AFolder);
            throw;
        }
    }

    // The item data as the adapter's own class.
    template <class T>
    static T& DataAs(TNimboCloudFileData& AData) {
        auto* data = dynamic_cast<T*>(&AData);
        Assert(data != nullptr, "Item data of another storage");
        return *data;
    }

private:
    friend class TNimboCloudFileData;

    // Shares no ownership: item data hold weak handles of it to tell that this storage is gone.
    std::shared_ptr<TNimboStorage> FLifetime;
    TDownloadSettings FDownloadSettings;
};

// A value handle of one cloud item, freely copied; copies share the item's data. Checks whether an
// operation is meant for a file or a folder and forwards it to the item's storage. A default value
// holds no item and is only a placeholder.
class TNimboCloudFile {
public:
    TNimboCloudFile() = default;
    explicit TNimboCloudFile(TNimboCloudFileData& AData) : FData(AData.ToAutoFree()) {}
    explicit TNimboCloudFile(AutoFree<TNimboCloudFileData> AData) : FData(std::move(AData)) {}

    // The shared item data; empty for a placeholder.
    const AutoFree<TNimboCloudFileData>& Data() const { return FData; }
    bool IsEmpty() const { return FData == nullptr; }

    void Files(const TFileProc& AProc) const;
    std::vector<TNimboCloudFile> Files() const;
    // When the item's record holds a content hash, the bytes are hashed as they are written and a
    // mismatch raises ERestError naming both hashes once they are all written.
    void Download(std::ostream& AStream) const;
    // Writes the local file only when the whole download succeeded and passed the content check;
    // otherwise an existing file of that name is untouched and nothing is left behind. A file of at
    // least the storage's multi-stream cutoff is fetched in ranges on several connections at once
    // where the storage can (TDownloadSettings, RunRangedDownload).
    void Download(const std::string& AFileName) const;
    void Upload(std::istream& AStream) const;
    void Upload(const std::string& AFileName) const;
    void Delete() const;
    TNimboCloudFile CreateFolder(const std::string& AName) const;
    TNimboCloudFile createFile(const std::string& AName, std::istream& AStream) const;
    TNimboCloudFile createFile(const std::string& AName, const std::string& AFileName) const;
    void Rename(const std::string& AName) const;
    // Into AFolder, a folder of the same storage; the handle then has AFolder as its parent.
    void Move(const TNimboCloudFile& AFolder) const;
    TNimboCloudFile Copy(const TNimboCloudFile& AFolder, const std::string& AName) const;

    std::string GetName() const;
    bool GetIsFolder() const;
    // "inode/directory" for a folder.
    std::string GetMimeType() const;
    // 0 for a folder.
    std::int64_t GetSize() const;
    TDateTime GetCreatedAt() const;
    bool GetHasCreatedAt() const;
    TDateTime GetModifiedAt() const;
    bool GetHasModifiedAt() const;
    // The content hash as the service gives it, and its algorithm (THashAlgorithm); both empty when
    // the service gives none.
    std::string GetHash() const;
    std::string GetHashAlgorithm() const;

private:
    // The item's data; EAssertionFailed for a placeholder.
    TNimboCloudFileData& Item() const;
    TNimboStorage& Storage() const { return Item().GetService(); }
    void CheckFile() const;
    void CheckFolder() const;
    // The item data of another handle, a folder of the same storage.
    TNimboCloudFileData& FolderOfSameStorage(const TNimboCloudFile& AFolder) const;

    AutoFree<TNimboCloudFileData> FData;
};

}  // namespace Nimbo::Connection
