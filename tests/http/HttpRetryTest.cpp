// How the client repeats a read the service answered "busy" (429, 503), and how the transport reads
// the service's Retry-After.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <deque>
#include <mutex>
#include <sstream>

#include "Nimbo/Connection/Http.h"
#include "Nimbo/Connection/HttpTransport.h"
#include "support/RawHttpsServer.h"

using namespace Nimbo::Connection;
using namespace std::chrono_literals;
using Nimbo::Testing::MakeResponse;
using Nimbo::Testing::RawHttpsServer;
using Nimbo::Testing::RawRequest;
using ::testing::ElementsAreArray;
using ::testing::Property;
using ::testing::Throws;

namespace {

const std::string Host = "retry.test.example";

// Answers the requests in turn from a script; once it runs out, every request gets "done".
class TScriptedServer {
public:
    explicit TScriptedServer(std::vector<std::string> AAnswers)
        : FAnswers(AAnswers.begin(), AAnswers.end()),
          FServer([this](const RawRequest&) { return Next(); }, RawHttpsServer::Options{true, {Host}, false}) {}

    const RawHttpsServer& Server() const { return FServer; }
    std::size_t Received() const { return FServer.Requests().size(); }

private:
    std::optional<std::string> Next() {
        std::lock_guard lock(FLock);
        if (FAnswers.empty()) return MakeResponse(200, "done");
        std::string answer = std::move(FAnswers.front());
        FAnswers.pop_front();
        return answer;
    }

    std::mutex FLock;
    std::deque<std::string> FAnswers;
    RawHttpsServer FServer;
};

// Reaches the scripted server and records the waits the retry policy asks for instead of sleeping;
// both process-wide settings are restored afterwards.
class HttpRetry : public ::testing::Test {
protected:
    HttpRetry() : FSavedTransport(THttpTransport::Settings()), FSavedPolicy(THttpClient::RetryPolicy()) {
        THttpClient::SetRetryPolicy({.Wait = [this](std::chrono::milliseconds AWait) { Waits.push_back(AWait); }});
    }
    ~HttpRetry() override {
        THttpTransport::Configure(FSavedTransport);
        THttpClient::SetRetryPolicy(FSavedPolicy);
    }

    THttpClient& Serve(std::vector<std::string> AAnswers) {
        FServer = std::make_unique<TScriptedServer>(std::move(AAnswers));
        THttpTransportSettings settings;
        settings.CaFile = FServer->Server().CaFile();
        settings.ConnectTo = {Host + ":443:127.0.0.1:" + std::to_string(FServer->Server().Port())};
        settings.ConnectTimeoutMs = 5000;
        settings.StallTimeoutSeconds = 10;
        THttpTransport::Configure(settings);
        return FClient;
    }
    std::size_t Received() const { return FServer->Received(); }

    std::vector<std::chrono::milliseconds> Waits;

private:
    THttpTransportSettings FSavedTransport;
    THttpRetryPolicy FSavedPolicy;
    std::unique_ptr<TScriptedServer> FServer;
    THttpClient FClient{Host};
};

std::string Busy(int ACode, const std::string& ARetryAfter = "") {
    std::vector<std::string> headers;
    if (!ARetryAfter.empty()) headers.push_back("Retry-After: " + ARetryAfter);
    return MakeResponse(ACode, "busy, try later", headers);
}

auto ProtocolError(int ACode) { return Throws<EHttpProtocolError>(Property(&EHttpProtocolError::ErrorCode, ACode)); }

// An HTTP date ASeconds from now, as a server writes it.
std::string HttpDateIn(int ASeconds) {
    const std::time_t at = std::time(nullptr) + ASeconds;
    std::tm parts{};
    gmtime_r(&at, &parts);
    char text[64];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts);
    return text;
}

}  // namespace

TEST_F(HttpRetry, ARepeatableReadWaitsAsAskedOrBacksOffThenSucceeds) {
    using ms = std::chrono::milliseconds;
    struct Case {
        const char* Name;
        std::vector<std::string> Answers;  // before the final "done"
        std::vector<ms> Waits;
    };
    const Case cases[] = {
        {"seconds asked for", {Busy(503, "2")}, {2000ms}},
        {"429 as well as 503", {Busy(429, "1"), Busy(503, "0")}, {1000ms, 0ms}},
        {"doubling backoff without Retry-After", {Busy(503), Busy(429), Busy(503)}, {1000ms, 2000ms, 4000ms}},
        {"a value that is no time backs off", {Busy(503, "soon")}, {1000ms}},
        {"long waits are cut to the cap", {Busy(503, "3600"), Busy(503, "99999999999999999999")}, {30000ms, 30000ms}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Waits.clear();
        std::string body;
        EXPECT_EQ(Serve(c.Answers).Get("/list").SafeToRepeat().Execute(body), 200);
        EXPECT_EQ(body, "done");
        EXPECT_THAT(Waits, ElementsAreArray(c.Waits));
        EXPECT_EQ(Received(), c.Answers.size() + 1);
    }
}

TEST_F(HttpRetry, ARetryAfterDateIsTheTimeLeftUntilThen) {
    Serve({Busy(503, HttpDateIn(20))}).Get("/list").SafeToRepeat().Execute();
    ASSERT_EQ(Waits.size(), 1u);
    EXPECT_GE(Waits[0], 18s);
    EXPECT_LE(Waits[0], 20s);

    Waits.clear();
    Serve({Busy(503, HttpDateIn(-60))}).Get("/list").SafeToRepeat().Execute();
    EXPECT_THAT(Waits, ElementsAreArray({0ms}));
}

TEST_F(HttpRetry, AStopAskedDuringTheWaitEndsItAtOnce) {
    THttpClient::SetRetryPolicy({});  // the calling thread sleeps
    THttpClient& client = Serve({Busy(503, "20")});
    const auto start = std::chrono::steady_clock::now();
    const auto stopAfterASecond = [start](const THttpProgress&) {
        return std::chrono::steady_clock::now() - start < 1s;
    };
    {
        const THttpProgressScope scope(stopAfterASecond);
        EXPECT_THROW(client.Get("/list").SafeToRepeat().Execute(), EAbort);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s) << "the 20 s the service asked for were not waited out";
    EXPECT_EQ(Received(), 1u);
}

TEST_F(HttpRetry, GivesUpAfterThreeRetriesWithTheLastAnswer) {
    THttpClient& client = Serve({Busy(503, "1"), Busy(503, "1"), Busy(503, "1"), Busy(429, "1"), Busy(503, "1")});
    EXPECT_THAT([&] { client.Get("/list").SafeToRepeat().Execute(); }, ProtocolError(429));
    EXPECT_EQ(Received(), 4u);
    EXPECT_EQ(Waits.size(), 3u);
}

TEST_F(HttpRetry, OnlyBusyAnswersToRequestsMarkedSafeAreRepeated) {
    struct Case {
        const char* Name;
        std::string Answer;
        bool SafeToRepeat;
    };
    const Case cases[] = {
        {"a request not marked safe", Busy(503, "1"), false},
        {"a server error", Busy(500, "1"), true},
        {"a refusal", Busy(403, "1"), true},
        {"a missing item", MakeResponse(404, "gone"), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        THttpRequest request = Serve({c.Answer}).Get("/list");
        if (c.SafeToRepeat) request.SafeToRepeat();
        EXPECT_THROW(request.Execute(), EHttpProtocolError);
        EXPECT_EQ(Received(), 1u);
    }
    EXPECT_TRUE(Waits.empty());
}

TEST_F(HttpRetry, TheStreamReceivesTheContentOnceAndNoErrorBody) {
    THttpClient& client = Serve({Busy(503, "0"), Busy(429, "0"), MakeResponse(200, "the content")});
    std::ostringstream stream;
    stream << "head:";
    EXPECT_EQ(client.Get("/file").SafeToRepeat().Execute(stream), 200);
    EXPECT_EQ(stream.str(), "head:the content");
}

TEST_F(HttpRetry, TheProtocolErrorCarriesTheFinalAnswersRetryAfter) {
    const auto retryAfterOf = [&](std::vector<std::string> AAnswers) {
        try {
            Serve(std::move(AAnswers)).Get("/x").Execute();
        } catch (const EHttpProtocolError& E) {
            return E.RetryAfter();
        }
        ADD_FAILURE() << "no protocol error";
        return std::optional<std::chrono::seconds>();
    };
    EXPECT_EQ(retryAfterOf({Busy(503, "7")}), 7s);
    EXPECT_EQ(retryAfterOf({MakeResponse(429, "", {"retry-after:  12  "})}), 12s);
    EXPECT_EQ(retryAfterOf({Busy(503)}), std::nullopt);
    EXPECT_EQ(retryAfterOf({Busy(503, "-5")}), std::nullopt);
    // A header of an earlier answer in the chain does not belong to the final one.
    EXPECT_EQ(retryAfterOf({MakeResponse(302, "", {"Location: /elsewhere", "Retry-After: 9"}), Busy(503)}),
              std::nullopt);
}
