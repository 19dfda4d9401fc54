// Requests for a range of a content: only the very range asked for reaches the caller's stream.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "Nimbo/Connection/Http.h"
#include "Nimbo/Connection/HttpTransport.h"
#include "support/RawHttpsServer.h"

using namespace Nimbo::Connection;
using Nimbo::Testing::MakeResponse;
using Nimbo::Testing::RawHttpsServer;
using Nimbo::Testing::RawRequest;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

namespace {

const std::string Host = "range.test.example";

struct TRangeCase {
    std::string Name;
    std::string Answer;   // the server's whole answer
    std::string Written;  // what reaches the stream
    std::string Error;    // part of the error's message; empty: none
};

// Bytes 2-5 of "abcdefghij" are asked for, and the server answers as the case says.
class HttpRange : public ::testing::TestWithParam<TRangeCase> {
protected:
    HttpRange()
        : FSaved(THttpTransport::Settings()),
          FServer([](const RawRequest&) { return GetParam().Answer; }, RawHttpsServer::Options{true, {Host}, false}) {
        THttpTransportSettings settings;
        settings.CaFile = FServer.CaFile();
        settings.ConnectTo = {Host + ":443:127.0.0.1:" + std::to_string(FServer.Port())};
        THttpTransport::Configure(settings);
    }
    ~HttpRange() override { THttpTransport::Configure(FSaved); }

    THttpTransportSettings FSaved;
    RawHttpsServer FServer;
    THttpClient FClient{Host};
};

TEST_P(HttpRange, AcceptsOnlyTheRangeAskedFor) {
    std::ostringstream stream;
    const THttpRequest request = FClient.Get("/content").ByteRange(2, 5, 10);
    if (GetParam().Error.empty())
        EXPECT_EQ(request.Execute(stream), 206);
    else
        EXPECT_THAT([&] { request.Execute(stream); }, ThrowsMessage<Exception>(HasSubstr(GetParam().Error)));
    EXPECT_EQ(stream.str(), GetParam().Written);
    ASSERT_EQ(FServer.Requests().size(), 1u);
    EXPECT_EQ(FServer.Requests()[0].HeaderValue("Range"), "bytes=2-5");
}

INSTANTIATE_TEST_SUITE_P(
    Answers, HttpRange,
    ::testing::Values(
        TRangeCase{"TheRange", MakeResponse(206, "cdef", {"Content-Range: bytes 2-5/10"}), "cdef", ""},
        TRangeCase{"TheWholeContent", MakeResponse(200, "abcdefghij"), "", "answered 200 where bytes 2-5 were asked"},
        TRangeCase{"AnotherRange", MakeResponse(206, "abcd", {"Content-Range: bytes 0-3/10"}), "",
                   "Content-Range bytes 0-3/10 where bytes 2-5/10"},
        TRangeCase{"AnotherTotal", MakeResponse(206, "cdef", {"Content-Range: bytes 2-5/11"}), "",
                   "Content-Range bytes 2-5/11 where bytes 2-5/10"},
        TRangeCase{"NoContentRange", MakeResponse(206, "cdef"), "", "Content-Range none where bytes 2-5/10"},
        TRangeCase{"NoBody", MakeResponse(200, ""), "", "answered 200 where bytes 2-5 were asked"},
        TRangeCase{"NotSatisfiable", MakeResponse(416, "", {"Content-Range: bytes */3"}), "", "416"}),
    [](const ::testing::TestParamInfo<TRangeCase>& AInfo) { return AInfo.param.Name; });

TEST(HttpRangeArguments, ARangeOutsideTheContentIsRefusedBeforeAnythingIsSent) {
    THttpClient client(Host);
    for (const auto& [first, last, total] : {std::tuple{5, 2, 10}, {-1, 2, 10}, {0, 10, 10}})
        EXPECT_THROW(client.Get("/content").ByteRange(first, last, total), EHttpError) << first << "-" << last;
}

}  // namespace
