#include <gmock/gmock.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Nimbo/Connection/Http.h"
#include "Nimbo/Connection/HttpTransport.h"
#include "support/RawHttpsServer.h"

using namespace Nimbo::Connection;
using Nimbo::Testing::MakeResponse;
using Nimbo::Testing::RawHttpsServer;
using Nimbo::Testing::RawRequest;
using testing::HasSubstr;
using testing::ThrowsMessage;

namespace {

const std::string Host = "transfer.test.example";

std::string Pattern(std::size_t ASize) {
    std::string bytes(ASize, '\0');
    for (std::size_t i = 0; i < ASize; ++i) bytes[i] = static_cast<char>(i * 7 % 251);
    return bytes;
}

const std::string BigDownload = Pattern(4 * 1024 * 1024 + 3);
const std::string BigUpload = Pattern(16 * 1024 * 1024 + 5);

// A server for uploads, a large download and an answer that never comes, reached with a real-looking URL.
class HttpProgress : public testing::Test {
protected:
    HttpProgress()
        : Server(
              [](const RawRequest& ARequest) -> std::optional<std::string> {
                  if (ARequest.Target == "/silence") return std::nullopt;
                  if (ARequest.Target == "/download") return MakeResponse(200, BigDownload);
                  return MakeResponse(200, "stored");
              },
              RawHttpsServer::Options{.Tls = true, .Names = {Host}}),
          Client(Host) {
        THttpTransport::Configure({.CaFile = Server.CaFile(),
                                   .ConnectTo = {Host + ":443:127.0.0.1:" + std::to_string(Server.Port())},
                                   .ConnectTimeoutMs = 5000,
                                   .StallTimeoutSeconds = 10});
    }
    ~HttpProgress() override { THttpTransport::Configure(FSaved); }

    THttpRequest Upload() {
        return Client.Post("/upload")
            .Header("Content-Type", "application/octet-stream")
            .Data(BigUpload.data(), static_cast<int>(BigUpload.size()));
    }
    THttpRequest Download() { return Client.Get("/download"); }

    bool ServerGot(const std::string& ATarget) const {
        for (const RawRequest& request : Server.Requests())
            if (request.Target == ATarget) return true;
        return false;
    }

    THttpTransportSettings FSaved = THttpTransport::Settings();
    RawHttpsServer Server;
    THttpClient Client;
};

}  // namespace

TEST_F(HttpProgress, ReportsBytesDoneUpToTheTotalInEachDirection) {
    struct Case {
        const char* Name;
        THttpRequest Request;
        std::int64_t THttpProgress::*Done;
        std::int64_t THttpProgress::*Total;
        std::size_t Size;
    };
    const Case cases[] = {
        {"upload", Upload(), &THttpProgress::UploadDone, &THttpProgress::UploadTotal, BigUpload.size()},
        {"download", Download(), &THttpProgress::DownloadDone, &THttpProgress::DownloadTotal, BigDownload.size()},
    };
    for (const Case& c : cases) {
        std::vector<THttpProgress> seen;
        {
            THttpProgressScope scope([&](const THttpProgress& AProgress) {
                seen.push_back(AProgress);
                return true;
            });
            std::string answer;
            EXPECT_EQ(c.Request.Execute(answer), 200) << c.Name;
        }
        ASSERT_GE(seen.size(), 2u) << c.Name;
        for (std::size_t i = 1; i < seen.size(); ++i)
            ASSERT_GE(seen[i].*c.Done, seen[i - 1].*c.Done) << c.Name << ": bytes done went back at report " << i;
        const bool sawPart = std::any_of(seen.begin(), seen.end(), [&](const THttpProgress& p) {
            return p.*c.Done > 0 && p.*c.Done < static_cast<std::int64_t>(c.Size);
        });
        EXPECT_TRUE(sawPart) << c.Name << ": no report while the transfer was under way";
        EXPECT_EQ(seen.back().*c.Done, static_cast<std::int64_t>(c.Size)) << c.Name;
        EXPECT_EQ(seen.back().*c.Total, static_cast<std::int64_t>(c.Size)) << c.Name;
    }
}

TEST_F(HttpProgress, HandlerSayingStopEndsTheExchangeWithTheSilentAbort) {
    struct Case {
        const char* Name;
        THttpRequest Request;
        std::string Target;
        std::function<bool(const THttpProgress&)> GoOn;
    };
    const Case cases[] = {
        {"upload under way", Upload(), "/upload", [](const THttpProgress& p) { return p.UploadDone == 0; }},
        {"answer still awaited", Client.Get("/silence"), "/silence", [](const THttpProgress&) { return false; }},
    };
    for (const Case& c : cases) {
        THttpProgressScope scope(c.GoOn);
        std::string answer = "untouched";
        EXPECT_THROW(c.Request.Execute(answer), EAbort) << c.Name;
        EXPECT_TRUE(answer.empty()) << c.Name;
    }
    EXPECT_FALSE(ServerGot("/upload")) << "the upload was cut short, so the request never completed";
}

TEST_F(HttpProgress, HandlerErrorEndsTheExchangeAndComesOutUnchanged) {
    THttpProgressScope scope([](const THttpProgress&) -> bool { throw EConvertError("progress display failed"); });
    EXPECT_THAT([&] { Download().Execute(); }, ThrowsMessage<EConvertError>(HasSubstr("progress display failed")));
}

TEST_F(HttpProgress, ScopesNestAndReportOnlyTheirOwnThread) {
    int outer = 0, inner = 0;
    {
        THttpProgressScope outerScope([&](const THttpProgress&) { return ++outer > 0; });
        {
            THttpProgressScope innerScope([&](const THttpProgress&) { return ++inner > 0; });
            Download().Execute();
            EXPECT_GT(inner, 0);
            EXPECT_EQ(outer, 0);
        }
        const int innerBefore = inner;
        Download().Execute();
        EXPECT_GT(outer, 0);
        EXPECT_EQ(inner, innerBefore);

        const int outerBefore = outer;
        std::thread other([&] { Download().Execute(); });
        other.join();
        EXPECT_EQ(outer, outerBefore) << "another thread's exchange reached this thread's handler";
    }
    const int outerBefore = outer;
    Download().Execute();
    EXPECT_EQ(outer, outerBefore) << "the handler outlived its scope";
}

TEST_F(HttpProgress, OtherFailuresStayWhatTheyAreWhileAHandlerListens) {
    THttpProgressScope scope([](const THttpProgress&) { return true; });
    std::stringstream file("a body of twenty-six bytes");
    THttpRequest request = Client.Put("/shrinking").Data(file);
    file.str("short");
    EXPECT_THAT([&] { request.Execute(); }, ThrowsMessage<ETransportError>(HasSubstr("ended 21 bytes early")));
}
