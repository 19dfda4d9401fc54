#include "Remote.h"

#include "Nimbo/Connection/BoxNet.h"
#include "Nimbo/Connection/DropBox.h"
#include "Nimbo/Connection/DropBox2.h"
#include "Nimbo/Connection/GDrive3.h"
#include "Nimbo/Connection/Google.h"
#include "Nimbo/Connection/Microsoft.h"
#include "Nimbo/Connection/OneDriveGraph.h"
#include "Nimbo/Connection/platform/Exceptions.h"

namespace Nimbo::Cli {

using namespace Nimbo::Connection;
using Emulator::Cloud;

namespace {

template <class T>
std::unique_ptr<TNimboStorage> Make() {
    return std::make_unique<T>();
}

}  // namespace

const std::vector<TRemoteKind>& RemoteKinds() {
    static const std::vector<TRemoteKind> kinds = {
        {"gdrive", "Google Drive", Cloud::GoogleDrive, false, Make<TNimboGDrive3>},
        {"dropbox", "Dropbox", Cloud::Dropbox, false, Make<TNimboDropBox2>},
        {"onedrive", "OneDrive", Cloud::LiveConnect, true, Make<TNimboOneDriveGraph>},
        {"box", "Box", Cloud::Box, false, Make<TNimboBoxNet>},
        {"gdrive2", "Google Drive (Drive v2)", Cloud::GoogleDrive, false, Make<TNimboGDrive>},
        {"dropbox1", "Dropbox (v1)", Cloud::Dropbox, false, Make<TNimboDropBox>},
        {"live", "OneDrive (Live Connect)", Cloud::LiveConnect, false, Make<TNimboOneDrive>},
    };
    return kinds;
}

const TRemoteKind& RemoteKind(const std::string& AName) {
    std::string known;
    for (const TRemoteKind& kind : RemoteKinds()) {
        if (kind.Name == AName) return kind;
        known += (known.empty() ? "" : ", ") + kind.Name;
    }
    throw EUsageError("unknown remote \"" + AName + "\" (known: " + known + ")");
}

std::string TRemotePath::Text() const {
    std::string text = Kind->Name + ":";
    for (std::size_t i = 0; i < Names.size(); ++i) text += (i == 0 ? "" : "/") + Names[i];
    return text;
}

TRemotePath TRemotePath::Parent() const {
    TRemotePath parent = *this;
    if (!parent.Names.empty()) parent.Names.pop_back();
    return parent;
}

TRemotePath TRemotePath::Child(const std::string& AName) const {
    TRemotePath child = *this;
    child.Names.push_back(AName);
    return child;
}

bool IsRemotePath(const std::string& AText) {
    const std::size_t colon = AText.find(':');
    if (colon == std::string::npos) return false;
    const std::string name = AText.substr(0, colon);
    for (const TRemoteKind& kind : RemoteKinds())
        if (kind.Name == name) return true;
    return false;
}

TRemotePath ParseRemotePath(const std::string& AText) {
    const std::size_t colon = AText.find(':');
    if (colon == std::string::npos || colon == 0)
        throw EUsageError("\"" + AText + "\" is not a remote path (REMOTE:PATH, e.g. gdrive:Documents)");
    TRemotePath path;
    path.Kind = &RemoteKind(AText.substr(0, colon));
    std::size_t start = colon + 1;
    while (start <= AText.size()) {
        std::size_t end = AText.find('/', start);
        if (end == std::string::npos) end = AText.size();
        std::string name = AText.substr(start, end - start);
        if (name == "." || name == "..")
            throw EUsageError("\"" + AText + "\": a remote path has no \".\" or \"..\" names");
        if (!name.empty()) path.Names.push_back(std::move(name));
        start = end + 1;
    }
    return path;
}

std::optional<TNimboCloudFile> ChildNamed(const TNimboCloudFile& AFolder, const std::string& AName) {
    std::optional<TNimboCloudFile> found;
    AFolder.Files([&](TNimboCloudFile AChild) {
        if (!found && AChild.GetName() == AName) found = std::move(AChild);
    });
    return found;
}

std::optional<TNimboCloudFile> Find(TNimboStorage& AStorage, const TRemotePath& APath) {
    TNimboCloudFile item = AStorage.Root();
    for (const std::string& name : APath.Names) {
        if (!item.GetIsFolder()) return std::nullopt;
        std::optional<TNimboCloudFile> child = ChildNamed(item, name);
        if (!child) return std::nullopt;
        item = std::move(*child);
    }
    return item;
}

TNimboCloudFile Resolve(TNimboStorage& AStorage, const TRemotePath& APath) {
    std::optional<TNimboCloudFile> item = Find(AStorage, APath);
    if (!item) throw ERestError("not found: " + APath.Text());
    return *item;
}

bool IsSafeLocalName(const std::string& AName) {
    return !AName.empty() && AName != "." && AName != ".." && AName.find('/') == std::string::npos &&
           AName.find('\0') == std::string::npos;
}

}  // namespace Nimbo::Cli
