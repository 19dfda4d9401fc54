#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <vector>

#include "Nimbo/Connection/Http.h"

using namespace Nimbo::Connection;
using namespace std::chrono_literals;
using ::testing::ElementsAre;

namespace {

// Whether the policy takes AError for an interruption, asked inside a handler as the callers do.
template <class TError>
bool Interrupts(const TError& AError) {
    try {
        throw AError;
    } catch (...) {
        return THttpRetryPolicy::IsInterruption();
    }
}

EHttpProtocolError Answer(int ACode) { return EHttpProtocolError(ACode, "", ""); }

}  // namespace

TEST(RetryPolicy, WaitsAsAskedOrBacksOffButNeverBeyondTheLongestWait) {
    const THttpRetryPolicy policy{.FirstBackoff = 500ms, .MaxWait = 3s};
    struct TCase {
        std::optional<std::chrono::seconds> Asked;
        int Repeat;
        std::chrono::milliseconds Wait;
    };
    const TCase cases[] = {
        {std::nullopt, 0, 500ms},
        {std::nullopt, 1, 1000ms},
        {std::nullopt, 2, 2000ms},
        {std::nullopt, 3, 3000ms},
        {std::nullopt, 40, 3000ms},  // no overflow however many repeats
        {0s, 5, 0ms},
        {2s, 0, 2000ms},
        {3600s, 0, 3000ms},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(policy.Delay(c.Asked, c.Repeat), c.Wait) << c.Repeat << " asked " << c.Asked.value_or(-1s).count();
}

TEST(RetryPolicy, PausesThroughItsWaitFunction) {
    std::vector<std::chrono::milliseconds> waits;
    const THttpRetryPolicy policy{.MaxWait = 10s,
                                  .Wait = [&](std::chrono::milliseconds AWait) { waits.push_back(AWait); }};
    policy.Pause(20s, 0);
    policy.Pause(std::nullopt, 1);
    EXPECT_THAT(waits, ElementsAre(10s, 2s));
}

TEST(RetryPolicy, TellsWhatMayBeRepeated) {
    for (int code : {429, 503}) EXPECT_TRUE(THttpRetryPolicy::IsBusyAnswer(code)) << code;
    for (int code : {200, 400, 401, 404, 500, 502, 504}) EXPECT_FALSE(THttpRetryPolicy::IsBusyAnswer(code)) << code;

    for (int code : {429, 503}) EXPECT_TRUE(THttpRetryPolicy::IsBusyAnswer(code, "")) << code;

    EXPECT_TRUE(Interrupts(ETransportError("connection reset")));
    for (int code : {500, 502, 503, 504}) EXPECT_TRUE(Interrupts(Answer(code))) << code;
    for (int code : {400, 401, 404, 409, 429, 507}) EXPECT_FALSE(Interrupts(Answer(code))) << code;
    EXPECT_FALSE(Interrupts(ERestError("refused")));
    EXPECT_FALSE(Interrupts(EAbort()));
    EXPECT_FALSE(Interrupts(std::runtime_error("other")));
}

TEST(RetryPolicy, TakesA403NamingARateLimitForABusyAnswer) {
    const auto body = [](const std::string& AReasons) {
        return R"({"error": {"code": 403, "message": "Rate Limit Exceeded", "errors": [)" + AReasons + "]}}";
    };
    struct TCase {
        int Code;
        std::string Body;
        bool Busy;
    };
    const TCase cases[] = {
        {403, body(R"({"domain": "usageLimits", "reason": "userRateLimitExceeded"})"), true},
        {403, body(R"({"reason": "rateLimitExceeded"})"), true},
        {403, body(R"({"reason": "other"}, {"reason": "rateLimitExceeded"})"), true},
        {429, body(R"({"reason": "rateLimitExceeded"})"), true},
        // Limits that a repeat does not get past, and refusals of another kind.
        {403, body(R"({"reason": "dailyLimitExceeded"})"), false},
        {403, body(R"({"reason": "storageQuotaExceeded"})"), false},
        {403, body(R"({"reason": "insufficientFilePermissions"})"), false},
        {403, body(""), false},
        {403, R"({"error": "rateLimitExceeded"})", false},
        {403, "<html>rateLimitExceeded</html>", false},
        {400, body(R"({"reason": "rateLimitExceeded"})"), false},
        {500, body(R"({"reason": "userRateLimitExceeded"})"), false},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(THttpRetryPolicy::IsBusyAnswer(c.Code, c.Body), c.Busy) << c.Code << " " << c.Body;
}
