#include "Nimbo/Connection/SessionUpload.h"

#include "Nimbo/Connection/Http.h"

namespace Nimbo::Connection {

std::string ChunkRange(std::int64_t AOffset, std::int64_t ACount, std::optional<std::int64_t> ATotal) {
    return "bytes " + std::to_string(AOffset) + "-" + std::to_string(AOffset + ACount - 1) + "/" +
           (ATotal ? std::to_string(*ATotal) : "*");
}

std::optional<std::chrono::seconds> RetryWaitAsked() {
    try {
        throw;
    } catch (const EHttpProtocolError& E) {
        return E.RetryAfter();
    } catch (...) {
        return std::nullopt;
    }
}

std::int64_t OpenSession(TSessionUploadSteps& ASteps) {
    const THttpProgressScope unstoppable({});
    return ASteps.Start();
}

void RunSessionUpload(TRestService& AService, TUploadSource& ASource, TSessionUploadSteps& ASteps,
                      const TSessionUploadSettings& ASettings, const std::string& AWhat) {
    if (TParallelParts* parallel = ASettings.PartsInFlight > 1 ? ASteps.Parallel() : nullptr)
        return RunParallelParts(AService, ASource, ASteps, *parallel, ASettings, AWhat);
    TSessionProgress progress(ASource);
    const std::int64_t chosen = OpenSession(ASteps);
    const std::int64_t partSize = chosen > 0 ? chosen : ASettings.ChunkSize;
    const THttpRetryPolicy policy = THttpClient::RetryPolicy();
    TUploadInterruptions interruptions(ASettings.MaxResumptions, AWhat);
    int waits = 0;
    std::int64_t offset = 0;
    bool askHeld = false;  // after an interruption: how much did the service keep?
    TSessionHeld held;
    try {
        for (;;) {
            try {
                if (askHeld) {
                    AService.RefreshAccess();
                    held = ASteps.AskHeld().value_or(TSessionHeld{.Bytes = offset});
                } else {
                    const std::int64_t count = ASource.Available(offset, partSize);
                    if (count == 0) break;
                    AService.RefreshAccess();
                    progress.At(offset);
                    held = ASteps.SendPart(offset, count);
                }
                askHeld = false;
                if (held.Complete) break;
                offset = held.Bytes;
                ASource.Release(offset);
            } catch (const ESessionOffset& E) {
                interruptions.Count("the service holds " + std::to_string(E.Held()) + " bytes, not " +
                                    std::to_string(offset));
                offset = E.Held();
            } catch (...) {
                interruptions.Survive();
                if (const std::optional<std::chrono::seconds> asked = RetryWaitAsked()) policy.Pause(asked, waits++);
                askHeld = true;
            }
        }
    } catch (...) {
        ASteps.Abandon();
        throw;
    }
    progress.At(offset);
    if (!held.Complete) ASteps.Commit();
    ASource.Finish();
}

}  // namespace Nimbo::Connection
