#pragma once
// Microsoft Graph's OneDrive (graph.microsoft.com/v1.0, /me/drive and /drives/{id}) on the account
// of the Live Connect service: the same tree, contents, tokens and user. An item's Graph id is the
// part of its Live Connect id after the user id ("file.<cid>.<CID>!<n>" is "<CID>!<n>" here). Upload
// sessions and copy monitors live on api.onedrive.com, pre-authenticated downloads on
// public.dm.files.1drv.com.

#include "emulator/Service.h"

#include <memory>
#include <string>
#include <vector>

namespace Nimbo::Emulator {

class GraphDrive {
public:
    virtual ~GraphDrive() = default;

    static std::vector<std::string> Hosts();
    static bool Serves(const std::string& host);

    // Called by the owning service for requests to one of Hosts(), under the emulator's lock.
    virtual void Handle(Exchange& ex) = 0;
    virtual void SendError(Exchange& ex, int status, const std::string& message) = 0;
    virtual std::uint64_t BodyLimit(const std::string& method, const std::string& host,
                                    const std::string& path) const = 0;
    virtual void SendTooLarge(Exchange& ex) = 0;
    virtual void Reset() = 0;                              // no upload sessions, no copy monitors
    virtual void ExpireUploadSessions(TimePoint now) = 0;  // every open session has run out
};

// `account` owns the tree; `cid` is its user id, lower case, as in the Live Connect ids.
std::unique_ptr<GraphDrive> MakeGraphDrive(Service& account, const std::string& cid);

}  // namespace Nimbo::Emulator
