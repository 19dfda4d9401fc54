#pragma once

// One driver for every service's session upload (content sent in parts through a session the
// service keeps): the adapter supplies the steps, the driver runs them, resumes after
// interruptions and commits once.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "Nimbo/Connection/ParallelParts.h"
#include "Nimbo/Connection/RestService.h"
#include "Nimbo/Connection/UploadSource.h"
#include "Nimbo/Connection/platform/Exceptions.h"

namespace Nimbo::Connection {

// The Content-Range of a part, "bytes <first>-<last>/<total>"; the total is "*" while unknown.
std::string ChunkRange(std::int64_t AOffset, std::int64_t ACount, std::optional<std::int64_t> ATotal);

// What the service holds of the content.
struct TSessionHeld {
    std::int64_t Bytes = 0;  // from the content's first byte on
    bool Complete = false;   // the service has stored the file already (the last part committed it)
};

// Raised by a step when the service refuses a part because it holds another number of bytes than
// the part assumed; the upload goes on from Held, and the refusal counts as an interruption.
class ESessionOffset : public Exception {
public:
    explicit ESessionOffset(std::int64_t AHeld)
        : Exception("the service holds " + std::to_string(AHeld) + " bytes"), FHeld(AHeld) {}
    std::int64_t Held() const { return FHeld; }

private:
    std::int64_t FHeld;
};

// The requests of one service's session upload.
class TSessionUploadSteps {
public:
    virtual ~TSessionUploadSteps() = default;

    // Opens the session (a service may open it with the first part instead, and do nothing here).
    // Returns the part size the service chose, or 0 for the settings' chunk size.
    virtual std::int64_t Start() = 0;
    // Sends bytes [AOffset, AOffset + ACount) of the content; returns what the service holds then.
    virtual TSessionHeld SendPart(std::int64_t AOffset, std::int64_t ACount) = 0;
    // After an interruption: asks the service what it holds. Nothing when the service cannot be
    // asked: the upload then goes on from the bytes last confirmed.
    virtual std::optional<TSessionHeld> AskHeld() = 0;
    // Stores the file from what the session holds; called once, when no part has completed the
    // upload, and never repeated.
    virtual void Commit() = 0;
    // The parts could not all be sent: lets the service drop the session, quietly.
    virtual void Abandon() {}
    // The steps for sending parts in parallel, when this session takes them so; asked before Start.
    virtual TParallelParts* Parallel() { return nullptr; }
};

// The wait the interruption being handled asks for (a Retry-After), if any; call inside a catch block.
std::optional<std::chrono::seconds> RetryWaitAsked();

// ASteps.Start, not stopped by the thread's progress handler: a stop asked while the session opens
// takes effect at the first part, once the session is known and Abandon can cancel it. Stopping
// the opening itself would leave a session on the service that nothing here knows of.
std::int64_t OpenSession(TSessionUploadSteps& ASteps);

// Runs a session upload of ASource: Start, then the parts in order, each preceded by the service's
// sign-in check (AService.RefreshAccess). After an interruption (THttpRetryPolicy::IsInterruption)
// it asks what the service holds and goes on from there, waiting first when the service asked for
// a wait; more interruptions than ASettings.MaxResumptions end it with ERestError naming AWhat
// (e.g. "The upload of \"a.bin\""). Once every byte is held, Commit, unless the last part committed
// the upload already. Leaves the caller's stream at the content's end. Steps that take parts in
// parallel (Parallel) send them as RunParallelParts says when ASettings allows more than one at once.
void RunSessionUpload(TRestService& AService, TUploadSource& ASource, TSessionUploadSteps& ASteps,
                      const TSessionUploadSettings& ASettings, const std::string& AWhat);

}  // namespace Nimbo::Connection
