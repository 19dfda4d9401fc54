#include "Commands.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>

#include "Nimbo/Connection/platform/Exceptions.h"
#include "Transfers.h"

namespace Nimbo::Cli {

using namespace Nimbo::Connection;
namespace fs = std::filesystem;

namespace {

// A moment the storage model gives (UTC), written by AFormat in UTC or in the local time zone.
std::string FormatMoment(double ADateTime, const char* AFormat, bool ALocal) {
    if (ADateTime <= MinDateTime) return {};
    constexpr double UnixEpoch = 25569.0;  // 1970-01-01 in days since 1899-12-30
    const std::time_t seconds = static_cast<std::time_t>(std::llround((ADateTime - UnixEpoch) * 86400.0));
    std::tm parts{};
    if (ALocal)
        localtime_r(&seconds, &parts);
    else
        gmtime_r(&seconds, &parts);
    char text[32];
    std::strftime(text, sizeof text, AFormat, &parts);
    return text;
}

std::string LongLine(const TNimboCloudFile& AItem, const std::string& AName) {
    const bool folder = AItem.GetIsFolder();
    const std::string size = folder ? "-" : std::to_string(AItem.GetSize());
    const std::string time = AItem.GetHasModifiedAt() ? LocalTime(AItem.GetModifiedAt()) : "-";
    const std::string hash = folder || AItem.GetHash().empty() ? "-" : AItem.GetHashAlgorithm() + ":" + AItem.GetHash();
    char head[64];
    std::snprintf(head, sizeof head, "%12s  %-20s  ", size.c_str(), time.c_str());
    return head + hash + "  " + AName + (folder ? "/" : "");
}

std::string JsonLine(const TNimboCloudFile& AItem, const std::string& APath) {
    const bool folder = AItem.GetIsFolder();
    std::string line = "{\"name\":" + JsonQuoted(AItem.GetName()) + ",\"path\":" + JsonQuoted(APath) +
                       ",\"folder\":" + (folder ? "true" : "false") +
                       ",\"size\":" + std::to_string(folder ? 0 : AItem.GetSize());
    line += ",\"modified\":" + (AItem.GetHasModifiedAt() ? JsonQuoted(IsoTime(AItem.GetModifiedAt())) : "null");
    if (!folder) {
        line += ",\"mimeType\":" + JsonQuoted(AItem.GetMimeType());
        line += ",\"hash\":" + (AItem.GetHash().empty() ? std::string("null") : JsonQuoted(AItem.GetHash()));
        line += ",\"hashAlgorithm\":" +
                (AItem.GetHashAlgorithm().empty() ? std::string("null") : JsonQuoted(AItem.GetHashAlgorithm()));
    }
    return line + ",\"id\":" + JsonQuoted(AItem.Data()->Info().Id) + "}";
}

// The remote of both paths, which must be the same: the services copy and move only within an account.
void CheckSameRemote(const TRemotePath& AFrom, const TRemotePath& ATo, const char* AWhat) {
    if (AFrom.Kind != ATo.Kind)
        throw EUsageError(std::string(AWhat) + " works within one remote: " + AFrom.Text() + " and " + ATo.Text());
}

// Where an item goes: into ATo when it is a folder, else into ATo's folder under ATo's name.
struct TTarget {
    TNimboCloudFile Folder;
    std::string Name;
};

TTarget TargetOf(TNimboStorage& AStorage, const TRemotePath& ATo, const std::string& ASourceName) {
    if (std::optional<TNimboCloudFile> existing = Find(AStorage, ATo)) {
        if (existing->GetIsFolder()) return {*existing, ASourceName};
        throw ERestError("already exists: " + ATo.Text());
    }
    std::optional<TNimboCloudFile> folder = Find(AStorage, ATo.Parent());
    if (!folder || !folder->GetIsFolder()) throw ERestError("no such folder: " + ATo.Parent().Text());
    return {*folder, ATo.Leaf()};
}

// The name a local file or folder goes by: "tree" for "tree/", the folder's own name for ".";
// empty for the root folder.
std::string LocalName(const fs::path& ALocal) {
    fs::path normal = fs::absolute(ALocal).lexically_normal();
    if (normal.filename().empty()) normal = normal.parent_path();
    return normal.filename().string();
}

}  // namespace

std::string IsoTime(double ADateTime) { return FormatMoment(ADateTime, "%Y-%m-%dT%H:%M:%SZ", false); }

std::string LocalTime(double ADateTime) { return FormatMoment(ADateTime, "%Y-%m-%d %H:%M:%S", true); }

void ListCommand(TContext& AContext, const std::string& APath, const TListOptions& AOptions) {
    const TRemotePath path = ParseRemotePath(APath);
    std::unique_ptr<TRemote> remote = AContext.Session.Open(*path.Kind);
    const TNimboCloudFile item = Resolve(remote->Storage(), path);
    auto show = [&](const TNimboCloudFile& AItem, const TRemotePath& AItemPath) {
        if (AOptions.Json)
            AContext.Out << JsonLine(AItem, AItemPath.Text()) << "\n";
        else if (AOptions.Long)
            AContext.Out << LongLine(AItem, AItem.GetName()) << "\n";
        else
            AContext.Out << AItem.GetName() << (AItem.GetIsFolder() ? "/" : "") << "\n";
    };
    if (!item.GetIsFolder()) {
        show(item, path);
        return;
    }
    item.Files([&](TNimboCloudFile AChild) { show(AChild, path.Child(AChild.GetName())); });
    AContext.Out.flush();
}

void GetCommand(TContext& AContext, const std::string& APath, const std::string& ALocal, const TCopyOptions& AOptions) {
    const TRemotePath path = ParseRemotePath(APath);
    std::unique_ptr<TRemote> remote = AContext.Session.Open(*path.Kind);
    TDownloadSettings settings = remote->Storage().GetDownloadSettings();
    settings.Streams = AOptions.Streams;
    remote->Storage().SetDownloadSettings(settings);
    const TNimboCloudFile item = Resolve(remote->Storage(), path);
    if (item.GetIsFolder() && !AOptions.Recursive)
        throw ERestError(path.Text() + " is a folder: use get -r to copy it with what it holds");
    const std::string name = path.Names.empty() ? path.Kind->Name : item.GetName();
    if (!IsSafeLocalName(name)) throw ERestError("cannot name a local file \"" + name + "\"");
    fs::path target = ALocal.empty() ? fs::path(name) : fs::path(ALocal);
    if (fs::is_directory(target)) target /= name;
    if (item.GetIsFolder())
        DownloadTree(AContext, item, target, AOptions.Transfers);
    else
        DownloadFile(AContext, item, target);
}

void PutCommand(TContext& AContext, const std::string& ALocal, const std::string& APath, const TCopyOptions& AOptions) {
    const TRemotePath path = ParseRemotePath(APath);
    const fs::path local(ALocal);
    if (!fs::exists(local)) throw ERestError("no such local file: " + ALocal);
    const bool folder = fs::is_directory(local);
    if (folder && !AOptions.Recursive)
        throw ERestError(ALocal + " is a folder: use put -r to copy it with what it holds");
    const std::string name = LocalName(local);
    if (name.empty()) throw ERestError("cannot tell what to name " + ALocal + " on the remote");
    std::unique_ptr<TRemote> remote = AContext.Session.Open(*path.Kind);
    std::optional<TNimboCloudFile> existing = Find(remote->Storage(), path);
    if (folder) {
        if (existing && !existing->GetIsFolder()) throw ERestError("already exists as a file: " + path.Text());
        TTarget target = existing ? TTarget{*existing, name} : TargetOf(remote->Storage(), path, name);
        UploadTree(AContext, local, target.Folder, target.Name, AOptions.Transfers);
        return;
    }
    if (existing && !existing->GetIsFolder()) {
        ReplaceFile(AContext, local, *existing);
        return;
    }
    TTarget target = existing ? TTarget{*existing, name} : TargetOf(remote->Storage(), path, name);
    UploadFile(AContext, local, target.Folder, target.Name);
}

void MakeFolderCommand(TContext& AContext, const std::string& APath) {
    const TRemotePath path = ParseRemotePath(APath);
    std::unique_ptr<TRemote> remote = AContext.Session.Open(*path.Kind);
    TNimboCloudFile folder = remote->Storage().Root();
    TRemotePath done{.Kind = path.Kind, .Names = {}};
    for (const std::string& name : path.Names) {
        done = done.Child(name);
        std::optional<TNimboCloudFile> child = ChildNamed(folder, name);
        if (child && !child->GetIsFolder()) throw ERestError("already exists as a file: " + done.Text());
        folder = child ? *child : folder.CreateFolder(name);
    }
}

void RemoveCommand(TContext& AContext, const std::string& APath, bool ARecursive) {
    const TRemotePath path = ParseRemotePath(APath);
    if (path.Names.empty()) throw ERestError("refusing to remove the root folder of " + path.Kind->Name);
    std::unique_ptr<TRemote> remote = AContext.Session.Open(*path.Kind);
    const TNimboCloudFile item = Resolve(remote->Storage(), path);
    if (item.GetIsFolder() && !ARecursive)
        throw ERestError(path.Text() + " is a folder: use rm -r to remove it with what it holds");
    item.Delete();
}

void MoveCommand(TContext& AContext, const std::string& AFrom, const std::string& ATo) {
    const TRemotePath from = ParseRemotePath(AFrom);
    const TRemotePath to = ParseRemotePath(ATo);
    CheckSameRemote(from, to, "mv");
    if (from.Names.empty()) throw ERestError("cannot move the root folder of " + from.Kind->Name);
    std::unique_ptr<TRemote> remote = AContext.Session.Open(*from.Kind);
    const TNimboCloudFile item = Resolve(remote->Storage(), from);
    const TTarget target = TargetOf(remote->Storage(), to, item.GetName());
    const TNimboCloudFile parent(*item.Data()->Parent());
    if (target.Folder.Data()->Info().Id != parent.Data()->Info().Id) item.Move(target.Folder);
    if (target.Name != item.GetName()) item.Rename(target.Name);
}

void CopyCommand(TContext& AContext, const std::string& AFrom, const std::string& ATo) {
    const TRemotePath from = ParseRemotePath(AFrom);
    const TRemotePath to = ParseRemotePath(ATo);
    CheckSameRemote(from, to, "cp");
    std::unique_ptr<TRemote> remote = AContext.Session.Open(*from.Kind);
    const TNimboCloudFile item = Resolve(remote->Storage(), from);
    const TTarget target = TargetOf(remote->Storage(), to, item.GetName());
    item.Copy(target.Folder, target.Name);
}

void CatCommand(TContext& AContext, const std::string& APath) {
    const TRemotePath path = ParseRemotePath(APath);
    std::unique_ptr<TRemote> remote = AContext.Session.Open(*path.Kind);
    const TNimboCloudFile item = Resolve(remote->Storage(), path);
    if (item.GetIsFolder()) throw ERestError(path.Text() + " is a folder");
    item.Download(AContext.Out);
    AContext.Out.flush();
}

void AboutCommand(TContext& AContext, const std::string& ARemote, bool AJson) {
    std::string name = ARemote;
    if (!name.empty() && name.back() == ':') name.pop_back();
    const TRemoteKind& kind = RemoteKind(name);
    std::unique_ptr<TRemote> remote = AContext.Session.Open(kind);
    const TNimboSpace space = remote->Storage().GetSpace();
    if (AJson) {
        AContext.Out << "{\"used\":" << space.Used
                     << ",\"total\":" << (space.Total ? std::to_string(*space.Total) : std::string("null"))
                     << ",\"free\":"
                     << (space.Total ? std::to_string(std::max<std::int64_t>(0, *space.Total - space.Used))
                                     : std::string("null"))
                     << "}\n";
        return;
    }
    AContext.Out << "Used:  " << space.Used << " (" << TProgressBoard::Bytes(space.Used) << ")\n";
    if (space.Total) {
        const std::int64_t free = std::max<std::int64_t>(0, *space.Total - space.Used);
        AContext.Out << "Total: " << *space.Total << " (" << TProgressBoard::Bytes(*space.Total) << ")\n";
        AContext.Out << "Free:  " << free << " (" << TProgressBoard::Bytes(free) << ")\n";
    } else {
        AContext.Out << "Total: unlimited\n";
    }
}

}  // namespace Nimbo::Cli
