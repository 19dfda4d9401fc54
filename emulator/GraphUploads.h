#pragma once
// Microsoft Graph's long-running transfers. Upload sessions: where each upload's file goes, the bytes
// received so far, and the checks every fragment passes ("Content-Range: bytes a-b/total", in order,
// in multiples of 320 KiB but for the last). Copy monitors: what a client polling a copy is told.

#include "emulator/Service.h"

#include <functional>
#include <map>
#include <optional>
#include <string>

namespace Nimbo::Emulator {

struct UploadSession {
    std::string parentId, name;  // where a new file goes
    std::string fileId;          // the file whose content it replaces, when addressed by id
    std::string conflict;        // fail, replace or rename
    std::optional<TimePoint> contentCreated, contentModified;
    std::optional<std::uint64_t> total;
    std::unique_ptr<BlobWriter> received;
    TimePoint expires;
    std::uint64_t Stored() const { return received ? received->Size() : 0; }
};

// Why a fragment was refused: the status, Graph's error code, the message and the detail code.
struct FragmentRefusal {
    int status;
    std::string code, message, detail;
};

class UploadSessions {
public:
    explicit UploadSessions(Service& service);  // kept among its records
    // Keeps the session (dropping those that ran out); returns the id its address ends with.
    std::string Open(UploadSession session, TimePoint now);
    UploadSession* Find(const std::string& id, TimePoint now);  // nullptr: unknown, or ran out (then dropped)
    UploadSession Take(const std::string& id);                  // one that Find found
    void Drop(const std::string& id) { sessions_.erase(id); }
    void ExpireAll(TimePoint now);
    void Clear() { sessions_.clear(); }

    // Adds the request's bytes when they continue the upload; `final` tells whether they were the
    // last. Refused fragments leave the session as it was.
    static std::optional<FragmentRefusal> Append(UploadSession& session, Exchange& ex, bool& final);
    // The session's answer to a status request and to a fragment that is not the last.
    static Json State(const UploadSession& session);

private:
    KeptMap<UploadSession> sessions_;
};

// Copies are made at once; their monitors tell a client the copy is under way on the first look
// and finished from then on, as a client polling a real copy sees it.
class CopyMonitors {
public:
    explicit CopyMonitors(Service& service);  // kept among its records
    // A monitor for the copy (the item id); returns the id its address ends with.
    std::string Start(const std::string& copyId, TimePoint now);
    // The monitor's status and answer: nullopt for an unknown one. `graphId` names the copy as the
    // client knows it, or nullopt when it is gone.
    using Namer = std::function<std::optional<std::string>(const std::string& itemId)>;
    std::optional<std::pair<int, Json>> Poll(const std::string& id, const Namer& graphId);
    void Clear() { monitors_.clear(); }

private:
    struct Monitor {
        std::string copyId;
        int polls = 0;
        TimePoint started;
    };
    KeptMap<Monitor> monitors_;
};

}  // namespace Nimbo::Emulator
