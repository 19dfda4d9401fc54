#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Nimbo/Connection/Http.h"
#include "Nimbo/Connection/SessionUpload.h"

using namespace Nimbo::Connection;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Pair;
using ::testing::ThrowsMessage;

namespace {

class TCountingService : public TRestService {
public:
    int Refreshes = 0;
    void RefreshAccess() override { ++Refreshes; }

protected:
    std::string GetServerName() const override { return "upload.example"; }
};

// What goes wrong with the next part.
enum class TFault {
    None,
    Dropped,      // the connection drops before the service has the part
    CutAnswer,    // the service stores the part, then the answer is lost
    ServerError,  // a 503 answer, asking for a wait of 2 seconds
    OtherOffset,  // the service refuses the part: it holds other bytes (here: none)
    Refused,      // a 400 answer: not an interruption
};

// A service in memory with the four steps of a session upload, and faults to play.
class TFakeSession : public TSessionUploadSteps {
public:
    explicit TFakeSession(TUploadSource& ASource) : FSource(ASource) {}

    std::int64_t PartSize = 4;
    bool CanBeAsked = true;
    bool LastPartCommits = false;
    bool CommitFails = false;
    std::deque<TFault> Faults;

    std::string Stored;
    std::vector<std::pair<std::int64_t, std::int64_t>> Parts;  // offset and count of every part sent
    int Asks = 0;
    int Commits = 0;
    int Abandons = 0;

    std::int64_t Start() override { return PartSize; }

    TSessionHeld SendPart(std::int64_t AOffset, std::int64_t ACount) override {
        Parts.emplace_back(AOffset, ACount);
        const TFault fault = Faults.empty() ? TFault::None : Faults.front();
        if (!Faults.empty()) Faults.pop_front();
        switch (fault) {
            case TFault::Dropped:
                throw ETransportError("connection dropped");
            case TFault::ServerError:
                throw EHttpProtocolError(503, "Unavailable", "", 2s);
            case TFault::OtherOffset:
                Stored.clear();
                throw ESessionOffset(0);
            case TFault::Refused:
                throw EHttpProtocolError(400, "Bad Request", "no");
            default:
                break;
        }
        Stored.resize(static_cast<std::size_t>(AOffset));
        FSource.Read(AOffset, ACount, [&](const char* AData, std::size_t ASize) { Stored.append(AData, ASize); });
        if (fault == TFault::CutAnswer) throw ETransportError("answer cut short");
        return {.Bytes = static_cast<std::int64_t>(Stored.size()),
                .Complete = LastPartCommits && static_cast<std::int64_t>(Stored.size()) == *FSource.Size()};
    }

    std::optional<TSessionHeld> AskHeld() override {
        ++Asks;
        if (!CanBeAsked) return std::nullopt;
        return TSessionHeld{.Bytes = static_cast<std::int64_t>(Stored.size())};
    }

    void Commit() override {
        ++Commits;
        if (CommitFails) throw ETransportError("connection dropped during the commit");
    }

    void Abandon() override { ++Abandons; }

private:
    TUploadSource& FSource;
};

class SessionUploadDriver : public ::testing::Test {
protected:
    SessionUploadDriver() : FSavedPolicy(THttpClient::RetryPolicy()) {
        THttpClient::SetRetryPolicy(
            {.MaxWait = 5s, .Wait = [this](std::chrono::milliseconds AWait) { Waits.push_back(AWait); }});
    }
    ~SessionUploadDriver() override { THttpClient::SetRetryPolicy(FSavedPolicy); }

    void Upload(int AMaxResumptions = 5) {
        RunSessionUpload(Service, Source, Session,
                         {.SingleRequestLimit = 0, .ChunkSize = 4, .MaxResumptions = AMaxResumptions},
                         "The upload of \"a.bin\"");
    }

    const std::string Content = "0123456789";
    std::istringstream Stream{Content};
    TUploadSource Source{Stream, 0};
    TCountingService Service;
    TFakeSession Session{Source};
    std::vector<std::chrono::milliseconds> Waits;

private:
    THttpRetryPolicy FSavedPolicy;
};

}  // namespace

TEST_F(SessionUploadDriver, SendsThePartsInOrderThenCommitsOnce) {
    Upload();
    EXPECT_EQ(Session.Stored, Content);
    EXPECT_THAT(Session.Parts, ElementsAre(Pair(0, 4), Pair(4, 4), Pair(8, 2)));
    EXPECT_EQ(Session.Commits, 1);
    EXPECT_EQ(Session.Asks, 0);
    EXPECT_EQ(Service.Refreshes, 3) << "the sign-in is checked before every part";
    EXPECT_EQ(Stream.peek(), std::char_traits<char>::eof()) << "the caller's stream is left at its end";
}

TEST_F(SessionUploadDriver, ALastPartThatCompletesTheUploadIsNotFollowedByACommit) {
    Session.LastPartCommits = true;
    Upload();
    EXPECT_EQ(Session.Stored, Content);
    EXPECT_EQ(Session.Commits, 0);
}

TEST_F(SessionUploadDriver, ResumesFromWhatTheServiceHoldsAfterEachKindOfInterruption) {
    struct TCase {
        TFault Fault;
        bool CanBeAsked;
        std::vector<std::pair<std::int64_t, std::int64_t>> Parts;
        int Asks;
    };
    const TCase cases[] = {
        // Asked after the drop: the service holds 4 bytes, so the second part goes again.
        {TFault::Dropped, true, {{0, 4}, {4, 4}, {4, 4}, {8, 2}}, 1},
        // Asked after the cut answer: the service holds 8 bytes, so nothing is sent twice.
        {TFault::CutAnswer, true, {{0, 4}, {4, 4}, {8, 2}}, 1},
        {TFault::ServerError, true, {{0, 4}, {4, 4}, {4, 4}, {8, 2}}, 1},
        // A service that cannot be asked gets the part again from the bytes last confirmed.
        {TFault::Dropped, false, {{0, 4}, {4, 4}, {4, 4}, {8, 2}}, 1},
        // A refusal naming the service's own offset goes on from there without asking.
        {TFault::OtherOffset, true, {{0, 4}, {4, 4}, {0, 4}, {4, 4}, {8, 2}}, 0},
    };
    for (const TCase& c : cases) {
        std::istringstream stream(Content);
        TUploadSource source(stream, 0);
        TFakeSession session(source);
        session.CanBeAsked = c.CanBeAsked;
        session.Faults = {TFault::None, c.Fault};
        RunSessionUpload(Service, source, session, {.SingleRequestLimit = 0, .ChunkSize = 4}, "The upload");

        EXPECT_EQ(session.Stored, Content) << static_cast<int>(c.Fault);
        EXPECT_EQ(session.Parts, c.Parts) << static_cast<int>(c.Fault);
        EXPECT_EQ(session.Asks, c.Asks) << static_cast<int>(c.Fault);
        EXPECT_EQ(session.Commits, 1) << static_cast<int>(c.Fault);
        EXPECT_EQ(session.Abandons, 0) << static_cast<int>(c.Fault);
    }
}

TEST_F(SessionUploadDriver, WaitsAsTheServiceAsksButNoLongerThanThePolicyAllows) {
    Session.Faults = {TFault::Dropped, TFault::ServerError};
    THttpClient::SetRetryPolicy(
        {.MaxWait = 1500ms, .Wait = [this](std::chrono::milliseconds AWait) { Waits.push_back(AWait); }});
    Upload();
    EXPECT_THAT(Waits, ElementsAre(1500ms)) << "only the answer that asked for a wait waits";
}

TEST_F(SessionUploadDriver, AFailingCommitIsNeverSentAgain) {
    Session.CommitFails = true;
    EXPECT_THAT([&] { Upload(); }, ThrowsMessage<ETransportError>(HasSubstr("during the commit")));
    EXPECT_EQ(Session.Commits, 1);
    EXPECT_EQ(Session.Abandons, 0) << "the service may have stored the file";
}

TEST_F(SessionUploadDriver, TooManyInterruptionsGiveTheSessionUp) {
    Session.Faults = {TFault::Dropped, TFault::Dropped, TFault::Dropped};
    EXPECT_THAT([&] { Upload(2); },
                ThrowsMessage<ERestError>(HasSubstr("The upload of \"a.bin\" was interrupted 3 times")));
    EXPECT_EQ(Session.Abandons, 1);
    EXPECT_EQ(Session.Commits, 0);
}

TEST_F(SessionUploadDriver, AnAnswerThatIsNoInterruptionEndsTheUploadAtOnce) {
    Session.Faults = {TFault::None, TFault::Refused};
    EXPECT_THAT([&] { Upload(); }, ThrowsMessage<EHttpProtocolError>(HasSubstr("400")));
    EXPECT_EQ(Session.Parts.size(), 2u);
    EXPECT_EQ(Session.Asks, 0);
    EXPECT_EQ(Session.Abandons, 1);
    EXPECT_EQ(Session.Commits, 0);
}

// ---------------------------------------------------------------------------------------------
// Parts in parallel

namespace {

// A service in memory that takes parts at any offset, several at once. The first exchanges wait
// until as many parts are in flight as the upload may have (or a long while), so that the most seen
// at once shows how many the driver sends together.
class TFakeParallelSession : public TSessionUploadSteps, public TParallelParts {
public:
    explicit TFakeParallelSession(std::size_t AExpectedAtOnce) : FExpectedAtOnce(AExpectedAtOnce) {}

    std::map<std::int64_t, TFault> Faults;  // what goes wrong the first time the part at an offset is sent
    std::string Stored = std::string(10, '.');
    std::vector<std::int64_t> Sent;  // the offset of every part sent, in the order sent
    std::size_t MostAtOnce = 0;
    int Commits = 0;
    int Abandons = 0;

    std::int64_t Start() override { return 2; }
    TSessionHeld SendPart(std::int64_t, std::int64_t) override { throw EAssertionFailed("sent one after another"); }
    std::optional<TSessionHeld> AskHeld() override { throw EAssertionFailed("asked what is held"); }
    void Commit() override { ++Commits; }
    void Abandon() override { ++Abandons; }
    TParallelParts* Parallel() override { return this; }

    std::int64_t PartUnit() const override { return 2; }
    TPartExchange PartExchange(const TSessionPart& APart) override {
        Sent.push_back(APart.Offset());
        const auto planned = Faults.find(APart.Offset());
        const TFault fault = planned == Faults.end() ? TFault::None : planned->second;
        if (planned != Faults.end()) Faults.erase(planned);
        return [this, fault, &APart] {
            {
                std::unique_lock lock(FMutex);
                MostAtOnce = std::max(MostAtOnce, ++FInFlight);
                FChanged.notify_all();
                if (FInFlight >= FExpectedAtOnce) FReleased = true;
                FChanged.wait_for(lock, 10s, [&] { return FReleased; });
                --FInFlight;
            }
            if (fault == TFault::Dropped) throw ETransportError("connection dropped");
            if (fault == TFault::ServerError) throw EHttpProtocolError(503, "Unavailable", "", 2s);
            if (fault == TFault::Refused) throw EHttpProtocolError(400, "Bad Request", "no");
            return APart.Bytes();
        };
    }
    void PartStored(const TSessionPart& APart, const std::string& AAnswer) override {
        Stored.replace(static_cast<std::size_t>(APart.Offset()), AAnswer.size(), AAnswer);
    }

private:
    const std::size_t FExpectedAtOnce;
    std::size_t FInFlight = 0;
    bool FReleased = false;  // once that many were in flight, no part waits
    std::mutex FMutex;
    std::condition_variable FChanged;
};

class ParallelSessionUploadDriver : public SessionUploadDriver {
protected:
    void UploadParallel(int AMaxResumptions = 5) {
        RunSessionUpload(
            Service, Source, Parallel,
            {.SingleRequestLimit = 0, .ChunkSize = 3, .MaxResumptions = AMaxResumptions, .PartsInFlight = 3},
            "The upload of \"a.bin\"");
    }
    TFakeParallelSession Parallel{3};
};

}  // namespace

TEST_F(ParallelSessionUploadDriver, SendsUpToTheSettingsPartsAtOnceThenCommitsOnce) {
    UploadParallel();
    EXPECT_EQ(Parallel.Stored, Content);
    EXPECT_THAT(Parallel.Sent, ElementsAre(0, 2, 4, 6, 8)) << "parts of the service's size, read in order";
    EXPECT_EQ(Parallel.MostAtOnce, 3u);
    EXPECT_EQ(Parallel.Commits, 1);
    EXPECT_EQ(Parallel.Abandons, 0);
    EXPECT_EQ(Service.Refreshes, 5) << "the sign-in is checked before every part";
    EXPECT_EQ(Stream.peek(), std::char_traits<char>::eof()) << "the caller's stream is left at its end";
}

TEST_F(ParallelSessionUploadDriver, AnInterruptedPartIsSentAgainByItself) {
    Parallel.Faults = {{2, TFault::ServerError}, {6, TFault::Dropped}};
    UploadParallel();
    EXPECT_EQ(Parallel.Stored, Content);
    std::vector<std::int64_t> sent = Parallel.Sent;
    std::sort(sent.begin(), sent.end());
    EXPECT_THAT(sent, ElementsAre(0, 2, 2, 4, 6, 6, 8)) << "the two interrupted parts, and no other, again";
    EXPECT_THAT(Waits, ElementsAre(2000ms)) << "the wait the 503 asked for";
    EXPECT_EQ(Parallel.Commits, 1);
}

TEST_F(ParallelSessionUploadDriver, ARefusalOrTooManyInterruptionsStopEverythingAndAbandonTheSession) {
    Parallel.Faults = {{2, TFault::Refused}};
    EXPECT_THAT([&] { UploadParallel(); }, ThrowsMessage<EHttpProtocolError>(HasSubstr("400")));
    EXPECT_EQ(Parallel.Abandons, 1);
    EXPECT_EQ(Parallel.Commits, 0);

    std::istringstream stream(Content);
    TUploadSource source(stream, 0);
    TFakeParallelSession interrupted(3);
    interrupted.Faults = {{0, TFault::Dropped}, {2, TFault::Dropped}, {4, TFault::Dropped}};
    EXPECT_THAT(
        [&] {
            RunSessionUpload(Service, source, interrupted,
                             {.SingleRequestLimit = 0, .ChunkSize = 2, .MaxResumptions = 2, .PartsInFlight = 3},
                             "The upload of \"a.bin\"");
        },
        ThrowsMessage<ERestError>(HasSubstr("The upload of \"a.bin\" was interrupted 3 times")));
    EXPECT_EQ(interrupted.Abandons, 1);
    EXPECT_EQ(interrupted.Commits, 0);
}

TEST_F(ParallelSessionUploadDriver, ReportsTheWholeContentOnTheCallersThreadAndACancelAbandons) {
    std::vector<THttpProgress> reports;
    const std::thread::id caller = std::this_thread::get_id();
    bool otherThread = false;
    {
        const THttpProgressScope scope([&](const THttpProgress& AProgress) {
            otherThread = otherThread || std::this_thread::get_id() != caller;
            reports.push_back(AProgress);
            return true;
        });
        UploadParallel();
    }
    EXPECT_FALSE(otherThread);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().UploadDone, 10);
    for (std::size_t i = 1; i < reports.size(); ++i) EXPECT_GE(reports[i].UploadDone, reports[i - 1].UploadDone);

    std::istringstream stream(Content);
    TUploadSource source(stream, 0);
    TFakeParallelSession cancelled(3);
    const THttpProgressScope cancel([](const THttpProgress& AProgress) { return AProgress.UploadDone < 4; });
    EXPECT_THROW(RunSessionUpload(Service, source, cancelled,
                                  {.SingleRequestLimit = 0, .ChunkSize = 2, .PartsInFlight = 3}, "The upload"),
                 EAbort);
    EXPECT_EQ(cancelled.Abandons, 1);
    EXPECT_EQ(cancelled.Commits, 0);
}
