#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Nimbo/Connection/Storage.h"
#include "emulator/Types.h"

namespace Nimbo::Cli {

// Bad usage: an unknown command, option or remote, a malformed argument. Ends the program with 2.
class EUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A service and the interface the program speaks to it.
struct TRemoteKind {
    std::string Name;  // as written before the colon: "gdrive", "box", ...
    std::string Title;
    Emulator::Cloud Service;    // the emulated service that answers for it in the sandbox
    bool PublicClient = false;  // signs in without a client secret
    std::function<std::unique_ptr<Connection::TNimboStorage>()> Create;
};

const std::vector<TRemoteKind>& RemoteKinds();
// EUsageError listing the known names when there is no kind of that name.
const TRemoteKind& RemoteKind(const std::string& AName);

// "REMOTE:PATH": the remote's kind and the path's names from the root folder (empty for the root).
struct TRemotePath {
    const TRemoteKind* Kind = nullptr;
    std::vector<std::string> Names;

    // "gdrive:Documents/a.txt".
    std::string Text() const;
    // The last name; empty for the root.
    std::string Leaf() const { return Names.empty() ? std::string() : Names.back(); }
    TRemotePath Parent() const;
    TRemotePath Child(const std::string& AName) const;
};

// EUsageError for text without "REMOTE:" or with an unknown remote. Empty names ("a//b", a leading
// or trailing "/") are dropped; "." and ".." are refused, as the services have no such names.
TRemotePath ParseRemotePath(const std::string& AText);
// Whether the text is meant as a remote path (a known remote's name and a colon first).
bool IsRemotePath(const std::string& AText);

// The item a path names, listing folder by folder from the root; nothing when a name is missing on
// the way. A folder holding several items of one name gives the first it lists.
std::optional<Connection::TNimboCloudFile> Find(Connection::TNimboStorage& AStorage, const TRemotePath& APath);
// As Find, raising ERestError "not found: <path>" when there is no such item.
Connection::TNimboCloudFile Resolve(Connection::TNimboStorage& AStorage, const TRemotePath& APath);
// The child of that name in the folder's listing; nothing when there is none.
std::optional<Connection::TNimboCloudFile> ChildNamed(const Connection::TNimboCloudFile& AFolder,
                                                      const std::string& AName);

// Whether a name from a service can be used as the name of a local file as it is: not empty, not
// "." or "..", and without "/" or NUL, which would write outside the folder meant for it.
bool IsSafeLocalName(const std::string& AName);

}  // namespace Nimbo::Cli
