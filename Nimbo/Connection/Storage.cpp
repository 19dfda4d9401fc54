#include "Nimbo/Connection/Storage.h"

#include <algorithm>
#include <fstream>

#include "Nimbo/Connection/ContentHash.h"
#include "Nimbo/Connection/LocalFile.h"

namespace Nimbo::Connection {

namespace {

const char* const FolderMimeType = "inode/directory";

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
    const std::unique_ptr<TContentHasher> hasher = expected.empty() ? nullptr : TContentHasher::Create(algorithm);
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
    ReplaceLocalFile(AFileName, [this](std::ostream& AStream) { Download(AStream); });
}

void TNimboCloudFile::Upload(std::istream& AStream) const {
    CheckFile();
    Storage().Upload(Item(), AStream);
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
    return TNimboCloudFile(Storage().createFile(Item(), AName, AStream));
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

}  // namespace Nimbo::Connection
