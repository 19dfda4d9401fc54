#include "Nimbo/Connection/Storage.h"

#include <algorithm>
#include <fstream>
#include <optional>

#include "Nimbo/Connection/ContentHash.h"
#include "Nimbo/Connection/LocalFile.h"

namespace Nimbo::Connection {

namespace {

const char* const FolderMimeType = "inode/directory";

// Hashes the bytes an upload reads from the caller's stream with the algorithm of the storage's
// hashes, to compare them with the hash the service gives for what it stored; nothing where the
// service checks each request's bytes itself.
class TUploadCheck {
public:
    TUploadCheck(std::istream& AStream, const TNimboStorage& AStorage)
        : FCaller(AStream),
          FAlgorithm(AStorage.ServiceChecksUploads() ? "" : AStorage.GetHashAlgorithm()),
          FHasher(TContentHasher::CreateConcurrent(FAlgorithm)) {
        if (FHasher) FInput.emplace(AStream, *FHasher);
    }
    TUploadCheck(const TUploadCheck&) = delete;
    TUploadCheck& operator=(const TUploadCheck&) = delete;
    // The caller's stream ends in the state the upload's reading left it in.
    ~TUploadCheck() {
        try {
            if (FInput) FCaller.setstate(FInput->rdstate());
        } catch (const std::ios_base::failure&) {}
    }

    // The stream the storage reads the content from.
    std::istream& Stream() { return FInput ? *FInput : FCaller; }

    // ERestError naming both hashes when the stored content's hash is not the one of the bytes read.
    void Compare(const TNimboItemInfo& AStored, const std::string& AWhat) {
        if (!FInput || AStored.Hash.empty() || AStored.HashAlgorithm != FAlgorithm) return;
        const std::string computed = FInput->Finish();
        if (!computed.empty()) CheckContentHash(AWhat, FAlgorithm, AStored.Hash, computed);
    }

private:
    std::istream& FCaller;
    std::string FAlgorithm;
    std::unique_ptr<TContentHasher> FHasher;
    std::optional<THashingInput> FInput;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// TNimboCloudFileData

TNimboCloudFileData::TNimboCloudFileData(const TNimboStorage& AService)
    : TRestHandle(AService), FService(AService.FLifetime) {}

TNimboCloudFileData::TNimboCloudFileData(TNimboCloudFileData& AParent)
    : TRestHandle(AParent.GetService()), FService(AParent.FService), FParent(AParent.ToAutoFree()) {}

TNimboStorage& TNimboCloudFileData::GetService() const {
    // Like any reference to a component, the answer is good while the storage lives.
    const std::shared_ptr<TNimboStorage> service = FService.lock();
    if (!service) throw ERestError("Service has been destroyed.");
    return *service;
}

// ---------------------------------------------------------------------------------------------
// TNimboStorage

TNimboStorage::TNimboStorage(TComponent* AOwner)
    : TRestService(AOwner), FLifetime(this, [](TNimboStorage*) { /* owned by its owner, not by handles */ }) {}

TNimboCloudFile TNimboStorage::Root() { return GetRoot(); }

std::string TNimboStorage::GetName(TNimboCloudFileData& AData) { return AData.Info().Name; }

bool TNimboStorage::GetIsFolder(TNimboCloudFileData& AData) { return AData.Info().IsFolder; }

std::string TNimboStorage::GetMimeType(TNimboCloudFileData& AData) { return AData.Info().MimeType; }

std::int64_t TNimboStorage::GetSize(TNimboCloudFileData& AData) { return AData.Info().Size; }

TDateTime TNimboStorage::GetCreatedAt(TNimboCloudFileData& AData) { return AData.Info().Created; }

TDateTime TNimboStorage::GetModifiedAt(TNimboCloudFileData& AData) { return AData.Info().Modified; }

void TNimboStorage::Rename(TNimboCloudFileData&, const std::string&) { RaiseUnsupported("Renaming items"); }

void TNimboStorage::Move(TNimboCloudFileData&, TNimboCloudFileData&) { RaiseUnsupported("Moving items"); }

AutoFree<TNimboCloudFileData> TNimboStorage::Copy(TNimboCloudFileData&, TNimboCloudFileData&, const std::string&) {
    RaiseUnsupported("Copying items");
}

TNimboSpace TNimboStorage::GetSpace() { RaiseUnsupported("Telling the space used"); }

std::string TNimboStorage::GetHashAlgorithm() const { return {}; }

bool TNimboStorage::CanDownloadRanges(TNimboCloudFileData&) { return false; }

TRangeExchange TNimboStorage::RangeExchange(TNimboCloudFileData&, std::int64_t, std::int64_t) {
    RaiseUnsupported("Downloading ranges of a file");
}

void TNimboStorage::SetDownloadSettings(const TDownloadSettings& AValue) {
    CheckDownloadSettings(AValue);
    FDownloadSettings = AValue;
}

void TNimboStorage::RaiseUnsupported(const std::string& AWhat) {
    throw ERestError(AWhat + " is not supported by this storage");
}

void TNimboStorage::RaiseNameTaken(const std::string& AName, const std::string& AFolder) {
    throw ERestError("An item named \"" + AName + "\" already exists in " +
                     (AFolder.empty() ? std::string("the top folder") : "\"" + AFolder + "\""));
}

// ---------------------------------------------------------------------------------------------
// TNimboCloudFile: checks

TNimboCloudFileData& TNimboCloudFile::Item() const {
    Assert(FData != nullptr, "The cloud file holds no item");
    return *FData;
}

void TNimboCloudFile::CheckFile() const {
    if (GetIsFolder()) throw ERestError("\"" + GetName() + "\" should be a file, not a folder");
}

void TNimboCloudFile::CheckFolder() const {
    if (!GetIsFolder()) throw ERestError("\"" + GetName() + "\" should be a folder");
}

// ---------------------------------------------------------------------------------------------
// TNimboCloudFile: operations

void TNimboCloudFile::Files(const TFileProc& AProc) const {
    CheckFolder();
    Storage().GetFiles(Item(), AProc);
}

std::vector<TNimboCloudFile> TNimboCloudFile::Files() const {
    CheckFolder();
    std::vector<TNimboCloudFile> files;
    Storage().GetFiles(Item(), [&files](TNimboCloudFile AFile) {
        // Geometric growth from 16 entries, so that long listings are not copied per item.
        if (files.size() == files.capacity()) files.reserve(std::max<std::size_t>(16, 2 * files.capacity()));
        files.push_back(std::move(AFile));
    });
    files.shrink_to_fit();
    return files;
}

void TNimboCloudFile::Download(std::ostream& AStream) const {
    CheckFile();
    // Copied, since the download may describe the item anew.
    const std::string expected = Item().Info().Hash;
    const std::string algorithm = Item().Info().HashAlgorithm;
    const std::unique_ptr<TContentHasher> hasher =
        expected.empty() ? nullptr : TContentHasher::CreateConcurrent(algorithm);
    if (!hasher) {  // the service gives no hash this library computes: nothing to check against
        Storage().Download(Item(), AStream);
        return;
    }
    THashingStream hashing(AStream, *hasher);
    Storage().Download(Item(), hashing);
    CheckContentHash("The download of \"" + GetName() + "\"", algorithm, expected, hasher->Finish());
}

void TNimboCloudFile::Download(const std::string& AFileName) const {
    CheckFile();  // before anything touches the local disk
    const TDownloadSettings settings = Storage().GetDownloadSettings();
    const std::int64_t size = Item().Info().Size;
    if (settings.Streams < 2 || size <= 0 || size < settings.MultiStreamCutoff ||
        !Storage().CanDownloadRanges(Item())) {
        ReplaceLocalFile(AFileName, [this](std::ostream& AStream) { Download(AStream); });
        return;
    }
    // Copied, since the download may describe the item anew.
    const std::string expected = Item().Info().Hash;
    const std::string algorithm = Item().Info().HashAlgorithm;
    const std::string what = "The download of \"" + GetName() + "\"";
    const std::unique_ptr<TContentHasher> hasher = expected.empty() ? nullptr : TContentHasher::Create(algorithm);
    ReplaceLocalFileAtOffsets(AFileName, [&](int AFd) {
        RunRangedDownload(Storage(), Item(), AFd, settings, hasher.get(), what, AFileName);
        if (hasher) CheckContentHash(what, algorithm, expected, hasher->Finish());
    });
}

void TNimboCloudFile::Upload(std::istream& AStream) const {
    CheckFile();
    TUploadCheck check(AStream, Storage());
    Storage().Upload(Item(), check.Stream());
    check.Compare(Item().Info(), "The upload of \"" + GetName() + "\"");
}

void TNimboCloudFile::Upload(const std::string& AFileName) const {
    CheckFile();
    std::ifstream stream = OpenLocalFile(AFileName);
    Upload(stream);
}

void TNimboCloudFile::Delete() const { Storage().Delete(Item()); }

TNimboCloudFile TNimboCloudFile::CreateFolder(const std::string& AName) const {
    CheckFolder();
    return TNimboCloudFile(Storage().CreateFolder(Item(), AName));
}

TNimboCloudFile TNimboCloudFile::createFile(const std::string& AName, std::istream& AStream) const {
    CheckFolder();
    TUploadCheck check(AStream, Storage());
    TNimboCloudFile file(Storage().createFile(Item(), AName, check.Stream()));
    check.Compare(file.Item().Info(), "The upload of \"" + AName + "\"");
    return file;
}

void TNimboCloudFile::Rename(const std::string& AName) const { Storage().Rename(Item(), AName); }

TNimboCloudFileData& TNimboCloudFile::FolderOfSameStorage(const TNimboCloudFile& AFolder) const {
    AFolder.CheckFolder();
    if (&AFolder.Storage() != &Storage())
        throw ERestError("\"" + AFolder.GetName() + "\" is a folder of another storage");
    return AFolder.Item();
}

void TNimboCloudFile::Move(const TNimboCloudFile& AFolder) const {
    TNimboCloudFileData& folder = FolderOfSameStorage(AFolder);
    Storage().Move(Item(), folder);
    Item().FParent = folder.ToAutoFree();
}

TNimboCloudFile TNimboCloudFile::Copy(const TNimboCloudFile& AFolder, const std::string& AName) const {
    return TNimboCloudFile(Storage().Copy(Item(), FolderOfSameStorage(AFolder), AName));
}

TNimboCloudFile TNimboCloudFile::createFile(const std::string& AName, const std::string& AFileName) const {
    CheckFolder();
    std::ifstream stream = OpenLocalFile(AFileName);
    return createFile(AName, stream);
}

// ---------------------------------------------------------------------------------------------
// TNimboCloudFile: attributes

std::string TNimboCloudFile::GetName() const { return Storage().GetName(Item()); }

bool TNimboCloudFile::GetIsFolder() const { return Storage().GetIsFolder(Item()); }

std::string TNimboCloudFile::GetMimeType() const {
    return GetIsFolder() ? FolderMimeType : Storage().GetMimeType(Item());
}

std::int64_t TNimboCloudFile::GetSize() const { return GetIsFolder() ? 0 : Storage().GetSize(Item()); }

TDateTime TNimboCloudFile::GetCreatedAt() const { return Storage().GetCreatedAt(Item()); }

bool TNimboCloudFile::GetHasCreatedAt() const { return GetCreatedAt() != MinDateTime; }

TDateTime TNimboCloudFile::GetModifiedAt() const { return Storage().GetModifiedAt(Item()); }

bool TNimboCloudFile::GetHasModifiedAt() const { return GetModifiedAt() != MinDateTime; }

std::string TNimboCloudFile::GetHash() const { return Item().Info().Hash; }

std::string TNimboCloudFile::GetHashAlgorithm() const { return Item().Info().HashAlgorithm; }

}  // namespace Nimbo::Connection
