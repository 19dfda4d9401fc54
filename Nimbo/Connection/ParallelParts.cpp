#include "Nimbo/Connection/ParallelParts.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "Nimbo/Connection/HttpTransport.h"
#include "Nimbo/Connection/RestService.h"
#include "Nimbo/Connection/SessionUpload.h"
#include "Nimbo/Connection/UploadSource.h"

namespace Nimbo::Connection {

// ---- TSessionPart ----

TSessionPart::TView::TView(const std::string& ABytes) {
    char* begin = const_cast<char*>(ABytes.data());  // only ever read
    setg(begin, begin, begin + ABytes.size());
}

TSessionPart::TView::pos_type TSessionPart::TView::seekoff(off_type AOffset, std::ios_base::seekdir AWay,
                                                           std::ios_base::openmode AMode) {
    const off_type size = egptr() - eback();
    const off_type base = AWay == std::ios_base::beg ? 0 : AWay == std::ios_base::cur ? gptr() - eback() : size;
    const off_type target = base + AOffset;
    if (!(AMode & std::ios_base::in) || target < 0 || target > size) return pos_type(off_type(-1));
    setg(eback(), eback() + target, egptr());
    return pos_type(target);
}

TSessionPart::TView::pos_type TSessionPart::TView::seekpos(pos_type APos, std::ios_base::openmode AMode) {
    return seekoff(off_type(APos), std::ios_base::beg, AMode);
}

THttpRequest TSessionPart::AddTo(THttpRequest ARequest) const {
    FViews.push_back(std::make_unique<TViewStream>(FBytes));
    return ARequest.Data(FViews.back()->Stream, Size());
}

namespace {

constexpr std::chrono::milliseconds ReportInterval{200};

// A part on its way, sent on a thread of its own.
struct TFlight {
    std::shared_ptr<TSessionPart> Part;
    std::atomic<std::int64_t> Sent{0};  // bytes of the part sent so far
    std::string Answer;
    std::exception_ptr Error;
    bool Ended = false;  // guarded by the flights' mutex
    std::thread Thread;
};

// The parts in flight. Ending, it stops those still on their way and waits for their threads.
class TFlights {
public:
    TFlights() = default;
    TFlights(const TFlights&) = delete;
    TFlights& operator=(const TFlights&) = delete;
    ~TFlights() {
        FStopping = true;
        for (const std::unique_ptr<TFlight>& flight : FFlights) flight->Thread.join();
    }

    std::size_t Count() const { return FFlights.size(); }

    void Launch(std::shared_ptr<TSessionPart> APart, TPartExchange AExchange) {
        auto flight = std::make_unique<TFlight>();
        flight->Part = std::move(APart);
        TFlight& f = *flight;
        FFlights.push_back(std::move(flight));
        f.Thread = std::thread([this, &f, exchange = std::move(AExchange)] {
            std::string answer;
            std::exception_ptr error;
            try {
                const THttpProgressScope progress([this, &f](const THttpProgress& AProgress) {
                    f.Sent = AProgress.UploadDone;
                    return !FStopping;
                });
                answer = exchange();
            } catch (...) {
                error = std::current_exception();
            }
            {
                std::lock_guard lock(FMutex);
                f.Answer = std::move(answer);
                f.Error = error;
                f.Ended = true;
            }
            FChanged.notify_all();
        });
    }

    // A part whose exchange ended within AWait, its thread done; nullptr when none did.
    std::unique_ptr<TFlight> TakeEnded(std::chrono::milliseconds AWait) {
        std::unique_lock lock(FMutex);
        const auto ended = [&] {
            return std::find_if(FFlights.begin(), FFlights.end(), [](const auto& F) { return F->Ended; });
        };
        FChanged.wait_for(lock, AWait, [&] { return ended() != FFlights.end(); });
        const auto it = ended();
        if (it == FFlights.end()) return nullptr;
        std::unique_ptr<TFlight> flight = std::move(*it);
        FFlights.erase(it);
        lock.unlock();
        flight->Thread.join();
        return flight;
    }

    // Bytes the parts in flight have sent so far.
    std::int64_t Sending() const {
        std::int64_t sent = 0;
        for (const std::unique_ptr<TFlight>& flight : FFlights) sent += flight->Sent;
        return sent;
    }

private:
    std::vector<std::unique_ptr<TFlight>> FFlights;  // changed by the upload's thread only
    std::atomic<bool> FStopping{false};
    std::mutex FMutex;
    std::condition_variable FChanged;
};

// Progress of the whole content for the calling thread's handler: what the parts have sent, and for
// the exchanges of the calling thread itself (start, commit) what was sent before them.
class TWholeProgress {
public:
    explicit TWholeProgress(const TUploadSource& ASource) : FOuter(THttpProgressScope::Current()), FSource(ASource) {
        if (FOuter) FScope.emplace([this](const THttpProgress&) { return Tell(FReported); });
    }

    // ADone bytes of the content are sent; EAbort when the handler cancels.
    void Report(std::int64_t ADone) {
        if (FOuter && !Tell(ADone)) throw EAbort();
    }

private:
    bool Tell(std::int64_t ADone) {
        THttpProgress whole;
        whole.UploadTotal = FSource.Size().value_or(0);
        FReported = std::max(FReported, ADone);  // never backwards: a part sent again
        if (whole.UploadTotal > 0) FReported = std::min(FReported, whole.UploadTotal);
        whole.UploadDone = FReported;
        return FOuter(whole);
    }

    THttpProgressHandler FOuter;
    const TUploadSource& FSource;
    std::int64_t FReported = 0;
    std::optional<THttpProgressScope> FScope;
};

// The next part from AOffset, read into memory; nullptr when the content ends there.
std::shared_ptr<TSessionPart> ReadPart(TUploadSource& ASource, std::int64_t AOffset, std::int64_t APartSize) {
    const std::int64_t count = ASource.Available(AOffset, APartSize);
    if (count == 0) return nullptr;
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(count));
    ASource.Read(AOffset, count, [&](const char* AData, std::size_t ASize) { bytes.append(AData, ASize); });
    const bool last = ASource.Available(AOffset + count, 1) == 0;
    ASource.Release(AOffset + count);
    return std::make_shared<TSessionPart>(AOffset, std::move(bytes), last);
}

}  // namespace

void RunParallelParts(TRestService& AService, TUploadSource& ASource, TSessionUploadSteps& ASteps,
                      TParallelParts& AParts, const TSessionUploadSettings& ASettings, const std::string& AWhat) {
    TWholeProgress progress(ASource);
    const std::int64_t chosen = OpenSession(ASteps);
    const std::int64_t unit = std::max<std::int64_t>(AParts.PartUnit(), 1);
    const std::int64_t partSize = std::max(unit, (chosen > 0 ? chosen : ASettings.ChunkSize) / unit * unit);
    const auto inFlight = static_cast<std::size_t>(std::max(ASettings.PartsInFlight, 1));
    const THttpRetryPolicy policy = THttpClient::RetryPolicy();
    TUploadInterruptions interruptions(ASettings.MaxResumptions, AWhat);
    int waits = 0;
    std::int64_t offset = 0, stored = 0;
    bool allRead = false;
    try {
        std::deque<std::shared_ptr<TSessionPart>> again;  // interrupted, to be sent again
        TFlights flights;
        while (!allRead || !again.empty() || flights.Count() > 0) {
            // Parts to send again go first; a new part is read only while fewer than inFlight are held.
            while (flights.Count() < inFlight && (!again.empty() || !allRead)) {
                std::shared_ptr<TSessionPart> part;
                if (!again.empty()) {
                    part = std::move(again.front());
                    again.pop_front();
                } else if ((part = ReadPart(ASource, offset, partSize))) {
                    offset += part->Size();
                    allRead = part->Last();
                } else {
                    allRead = true;
                    break;
                }
                AService.RefreshAccess();
                flights.Launch(part, AParts.PartExchange(*part));
            }
            if (flights.Count() == 0) continue;
            std::unique_ptr<TFlight> ended = flights.TakeEnded(ReportInterval);
            if (ended && ended->Error) {
                try {
                    std::rethrow_exception(ended->Error);
                } catch (...) {
                    interruptions.Survive();
                    if (const std::optional<std::chrono::seconds> asked = RetryWaitAsked())
                        policy.Pause(asked, waits++);
                }
                again.push_back(std::move(ended->Part));
            } else if (ended) {
                AParts.PartStored(*ended->Part, ended->Answer);
                stored += ended->Part->Size();
            }
            progress.Report(stored + flights.Sending());
        }
    } catch (...) {
        ASteps.Abandon();
        throw;
    }
    progress.Report(stored);
    ASteps.Commit();
    ASource.Finish();
}

}  // namespace Nimbo::Connection
