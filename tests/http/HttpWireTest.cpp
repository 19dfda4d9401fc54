#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "Nimbo/Connection/Http.h"
#include "Nimbo/Connection/HttpTransport.h"
#include "support/RawHttpsServer.h"
#include "support/WorkedExamples.h"

using namespace Nimbo::Connection;
using Nimbo::Testing::MakeResponse;
using Nimbo::Testing::RawHttpsServer;
using Nimbo::Testing::RawRequest;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

namespace {

const std::string ApiHost = "api.test.example";
const std::string OtherHost = "other.test.example";

// Restores the process-wide transport settings when a test ends.
class TransportSettingsGuard {
public:
    TransportSettingsGuard() : FSaved(THttpTransport::Settings()) {}
    ~TransportSettingsGuard() { THttpTransport::Configure(FSaved); }

private:
    THttpTransportSettings FSaved;
};

std::string MappingTo(const std::string& AHost, int APort) { return AHost + ":443:127.0.0.1:" + std::to_string(APort); }

// A server answering for two host names that clients reach with their real URLs through a host mapping.
class HttpWire : public ::testing::Test {
protected:
    HttpWire()
        : Server([this](const RawRequest& r) { return Handler(r); },
                 RawHttpsServer::Options{true, {ApiHost, OtherHost, "localhost", "127.0.0.1"}, false}),
          Client(ApiHost) {
        THttpTransportSettings settings;
        settings.CaFile = Server.CaFile();
        settings.ConnectTo = {MappingTo(ApiHost, Server.Port()), MappingTo(OtherHost, Server.Port())};
        settings.ConnectTimeoutMs = 5000;
        settings.StallTimeoutSeconds = 10;
        THttpTransport::Configure(settings);
    }

    std::optional<std::string> Handler(const RawRequest& ARequest) {
        const std::string& t = ARequest.Target;
        if (t.rfind("/status/", 0) == 0) {
            const int code = std::stoi(t.substr(8));
            return MakeResponse(code, "body of " + std::to_string(code));
        }
        if (t == "/redirect/same") return MakeResponse(302, "moved", {"Location: /final"});
        if (t == "/redirect/other") return MakeResponse(302, "", {"Location: https://" + OtherHost + "/final"});
        if (t == "/redirect/loop") return MakeResponse(302, "", {"Location: /redirect/loop"});
        if (t == "/redirect/file") return MakeResponse(302, "", {"Location: file:///etc/passwd"});
        if (t == "/final") return MakeResponse(200, "arrived");
        if (t == "/silence") return std::nullopt;
        if (t == "/cookie") return MakeResponse(302, "", {"Set-Cookie: session=1; Path=/", "Location: /with-cookie"});
        if (t == "/with-cookie") return MakeResponse(200, "crumbs");
        return MakeResponse(200, "echo");
    }

    std::vector<RawRequest> Requests() const { return Server.Requests(); }

    TransportSettingsGuard Guard;
    RawHttpsServer Server;
    THttpClient Client;
};

// Header lines the library added, i.e. without the transport's own Host, Accept, User-Agent, Content-Length.
std::vector<std::string> LibraryHeaders(const RawRequest& ARequest) {
    std::vector<std::string> lines;
    for (const std::string& line : ARequest.HeaderLines) {
        const std::string name = line.substr(0, line.find(':'));
        if (name != "Host" && name != "Accept" && name != "User-Agent" && name != "Content-Length")
            lines.push_back(line);
    }
    return lines;
}

}  // namespace

TEST_F(HttpWire, SendsMethodTargetHeadersAndBodyExactly) {
    struct Case {
        const char* Name;
        THttpRequest Request;
        std::string Method, Target;
        std::vector<std::string> Headers;
        std::string Body;
    };
    const Case cases[] = {
        {"GET with query and repeated headers",
         Client.Get("items/list").Param("q", "a b").Param("r", "é").Header("B", "2").Header("A", "1").Header("B", "3"),
         "GET",
         "/items/list?q=a%20b&r=%C3%A9",
         {"B: 2", "A: 1", "B: 3"},
         ""},
        {"GET never sends a body", Client.Get("/g").Data(TBytes{'x', 'y'}), "GET", "/g", {}, ""},
        {"DELETE never sends a body", Client.Delete("/d").Data(TBytes{'x'}), "DELETE", "/d", {}, ""},
        {"PUT without content type gets none", Client.Put("/p").Data(TBytes{'a', 'b', 'c'}), "PUT", "/p", {}, "abc"},
        {"POST with empty body", Client.Post("/e"), "POST", "/e", {}, ""},
        {"PATCH with a JSON body",
         Client.Patch("/m").BeginJson(THttpRequest::jvBeginObject, true).Prop("name", "b").EndJson(),
         "PATCH",
         "/m",
         {"Content-Type: application/json"},
         R"({"name": "b"})"},
        {"POST form",
         Client.Post("/token").BeginForm(true).Prop("grant_type", "refresh_token").Prop("note", "a b&c").EndForm(),
         "POST",
         "/token",
         {"Content-Type: application/x-www-form-urlencoded"},
         "grant_type=refresh_token&note=a%20b%26c"},
        {"empty header value", Client.Get("/h").Header("X-Empty", ""), "GET", "/h", {"X-Empty:"}, ""},
        {"dot segments stay as built", Client.Get("/a/./b/../c/.."), "GET", "/a/./b/../c/..", {}, ""},
    };
    for (const Case& c : cases) {
        const std::size_t before = Requests().size();
        EXPECT_EQ(c.Request.Execute(), 200) << c.Name;
        const std::vector<RawRequest> seen = Requests();
        ASSERT_EQ(seen.size(), before + 1) << c.Name;
        const RawRequest& r = seen.back();
        EXPECT_EQ(r.Method, c.Method) << c.Name;
        EXPECT_EQ(r.Target, c.Target) << c.Name;
        EXPECT_EQ(LibraryHeaders(r), c.Headers) << c.Name;
        EXPECT_EQ(r.Body, c.Body) << c.Name;
        EXPECT_EQ(r.HeaderValue("Host"), ApiHost) << c.Name;
        EXPECT_FALSE(r.HasHeader("Expect")) << c.Name;
        if (c.Method == "PUT" || c.Method == "POST" || c.Method == "PATCH")
            EXPECT_EQ(r.HeaderValue("Content-Length"), std::to_string(c.Body.size())) << c.Name;
        else
            EXPECT_FALSE(r.HasHeader("Content-Length")) << c.Name;
    }
}

TEST_F(HttpWire, LargeBodiesGoOutWhole) {
    std::string big(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31 % 251);
    std::istringstream source(big);
    EXPECT_EQ(Client.Post("/upload").Header("Content-Type", "application/octet-stream").Data(source).Execute(), 200);
    EXPECT_EQ(Requests().back().Body, big);
    EXPECT_FALSE(Requests().back().HasHeader("Expect"));
}

TEST_F(HttpWire, JsonAndMultipartExamples) {
    Nimbo::Testing::WriteJsonExample(Client.Post("/json")).Execute();
    RawRequest json = Requests().back();
    EXPECT_EQ(json.Body, Nimbo::Testing::JsonExampleBody);
    EXPECT_EQ(LibraryHeaders(json), std::vector<std::string>{"Content-Type: application/json"});

    Nimbo::Testing::WriteMultipartExample(Client.Post("/upload")).Execute();
    RawRequest multipart = Requests().back();
    EXPECT_EQ(multipart.Body.size(), 296u);
    EXPECT_EQ(LibraryHeaders(multipart),
              std::vector<std::string>{std::string("Content-Type: multipart/form-data; boundary=") +
                                       THttpRequest::MultipartBoundary});
}

TEST_F(HttpWire, ExecuteFormsDeliverTheBody) {
    TBytes bytes;
    EXPECT_EQ(Client.Get("/status/200").Execute(bytes), 200);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "body of 200");
    std::string text;
    EXPECT_EQ(Client.Get("/status/203").Execute(text), 203);
    EXPECT_EQ(text, "body of 203");
    std::ostringstream stream;
    stream << "prefix:";
    EXPECT_EQ(Client.Get("/status/200").Execute(stream), 200);
    EXPECT_EQ(stream.str(), "prefix:body of 200");
    EXPECT_EQ(Client.Get("/status/204").Execute(), 204);
}

TEST_F(HttpWire, StreamedBodiesGoOutByteExactEveryTime) {
    std::string content(2 * 1024 * 1024 + 5, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 % 253);
    std::istringstream file("skipped:" + content);
    file.seekg(8);
    THttpRequest request = Client.Post("/upload").BeginMultipart("file", "a.bin").Data(file).EndMultipart();
    ASSERT_EQ(request.Get().Streams.size(), 1u);
    const TBytes expected = request.Get().BodyBytes();

    for (int execution = 1; execution <= 2; ++execution) {
        EXPECT_EQ(request.Execute(), 200);
        const RawRequest seen = Requests().back();
        EXPECT_EQ(seen.Body, std::string(expected.begin(), expected.end())) << "execution " << execution;
        EXPECT_EQ(seen.HeaderValue("Content-Length"), std::to_string(expected.size()));
        EXPECT_NE(seen.Body.find(content), std::string::npos);
        EXPECT_EQ(file.tellg(), -1) << "the stream is left at its end";
        file.clear();
        EXPECT_EQ(file.tellg(), static_cast<std::streamoff>(8 + content.size()));
        file.setstate(std::ios::eofbit);
    }
}

// A file holding the delimiter line would end its part early; the body goes out with another boundary,
// which the Content-Type names, and splits at it into the parts as written.
TEST_F(HttpWire, MultipartFileHoldingTheBoundaryArrivesWhole) {
    const std::string content = "start\r\n--" + std::string(THttpRequest::MultipartBoundary) + "--\r\nend";
    std::istringstream file(content);
    Client.Post("/upload")
        .BeginMultipart("file", "a.bin")
        .Data(file)
        .NextPart("parent_id", "")
        .Data("0", 1)
        .EndMultipart()
        .Execute();

    const RawRequest seen = Requests().back();
    const std::string type = seen.HeaderValue("Content-Type");
    const std::string boundary = type.substr(type.find("boundary=") + 9);
    EXPECT_EQ(boundary, std::string(THttpRequest::MultipartBoundary) + "-1");
    std::vector<std::string> pieces;
    const std::string delimiter = "\r\n--" + boundary;
    for (std::size_t start = 0;;) {
        const std::size_t end = seen.Body.find(delimiter, start);
        pieces.push_back(seen.Body.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + delimiter.size();
    }
    EXPECT_EQ(pieces, (std::vector<std::string>{
                          "", "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"a.bin\"\r\n\r\n" + content,
                          "\r\nContent-Disposition: form-data; name=\"parent_id\"\r\n\r\n0", "--\r\n"}));
}

TEST_F(HttpWire, AStreamThatShrankBeforeSendingFailsTheExchange) {
    std::stringstream file("a body of twenty-six bytes");
    THttpRequest request = Client.Put("/shrinking").Data(file);
    file.str("short");
    EXPECT_THAT([&] { request.Execute(); }, ThrowsMessage<ETransportError>(HasSubstr("ended 21 bytes early")));
}

TEST_F(HttpWire, SameRequestTwiceSendsTheSameTwice) {
    THttpRequest request = Client.Put("/again").Param("a", "1").Header("X", "y").Data(TBytes{'b'});
    request.Execute();
    request.Execute();
    const std::vector<RawRequest> seen = Requests();
    ASSERT_GE(seen.size(), 2u);
    const RawRequest& a = seen[seen.size() - 2];
    const RawRequest& b = seen.back();
    EXPECT_EQ(a.Method + a.Target + a.Body, b.Method + b.Target + b.Body);
    EXPECT_EQ(a.HeaderLines, b.HeaderLines);
}

TEST_F(HttpWire, ReadsShareAKeptAliveConnectionOtherExchangesNever) {
    auto get = [&](const std::string& APath) { Client.Get(APath).Execute(); };
    auto post = [&](const std::string& APath) { Client.Post(APath).Execute(); };
    get("/one");
    get("/cookie");  // sets a cookie and redirects
    post("/p1");
    post("/p2");
    get("/cookie");
    get("/two");
    const std::vector<RawRequest> r = Requests();
    ASSERT_EQ(r.size(), 8u);
    for (std::size_t read : {1u, 2u, 5u, 6u, 7u}) EXPECT_EQ(r[read].Connection, r[0].Connection) << read;
    EXPECT_NE(r[3].Connection, r[0].Connection);  // a POST might be sent twice on a reused connection
    EXPECT_NE(r[4].Connection, r[3].Connection);
    EXPECT_NE(r[4].Connection, r[0].Connection);
    // A cookie goes with its own exchange's redirect, and no further.
    for (std::size_t i = 0; i < r.size(); ++i)
        EXPECT_EQ(r[i].HeaderValue("Cookie"), r[i].Target == "/with-cookie" ? "session=1" : "")
            << i << " " << r[i].Target;
}

TEST_F(HttpWire, UnacceptedSuccessCodeRaisesAfterTheBodyArrived) {
    std::ostringstream stream;
    try {
        Client.Get("/status/201").ValidResponse(200).Execute(stream);
        FAIL() << "201 accepted";
    } catch (const EHttpError& e) {
        EXPECT_STREQ(e.what(), "Unacceptable response code: 201");
    }
    EXPECT_EQ(stream.str(), "body of 201");

    TBytes bytes{'o', 'l', 'd'};
    EXPECT_THROW(Client.Get("/status/201").ValidResponse(200).Execute(bytes), EHttpError);
    EXPECT_TRUE(bytes.empty());
    std::string text = "old";
    EXPECT_THROW(Client.Get("/status/200").OnResponse(200, "Quota").Execute(text), EHttpError);
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(Client.Get("/status/201").ValidResponse(200).OnResponse(201, [] {}).Execute(), 201);
}

TEST_F(HttpWire, ErrorStatusRaisesTheProtocolErrorWithCodeAndText) {
    for (int code : {400, 401, 404, 500}) {
        std::ostringstream stream;
        bool handlerRan = false;
        try {
            Client.Get("/status/" + std::to_string(code)).OnResponse(code, [&] { handlerRan = true; }).Execute(stream);
            FAIL() << code;
        } catch (const EHttpProtocolError& e) {
            EXPECT_EQ(e.ErrorCode(), code);
            EXPECT_EQ(e.ErrorMessage(), "body of " + std::to_string(code));
        }
        EXPECT_FALSE(handlerRan);
        EXPECT_EQ(stream.str(), "") << "an error body must not reach the caller's stream";
    }
}

TEST_F(HttpWire, FollowsRedirects) {
    std::string text;
    EXPECT_EQ(Client.Get("/redirect/same").Execute(text), 200);
    EXPECT_EQ(text, "arrived");
    EXPECT_EQ(Client.Get("/redirect/other").Execute(text), 200);
    EXPECT_EQ(text, "arrived");
    EXPECT_EQ(Requests().back().HeaderValue("Host"), OtherHost);

    for (const char* bad : {"/redirect/loop", "/redirect/file"}) {
        try {
            Client.Get(bad).Execute();
            FAIL() << bad;
        } catch (const ETransportError& e) {
            EXPECT_NE(std::string(e.what()).find(bad), std::string::npos) << e.what();
        }
    }
}

TEST_F(HttpWire, AnswerHeadersAreThoseOfTheLastAnswer) {
    THttpRequest followed = Client.Get("/redirect/same");
    EXPECT_EQ(followed.Execute(), 200);
    EXPECT_EQ(followed.ResponseHeader("content-length"), "7");
    EXPECT_EQ(followed.ResponseHeader("Location"), "") << "the redirect's own headers are gone";

    THttpRequest stopped = Client.Get("/redirect/same").FollowRedirects(false);
    EXPECT_THAT([&] { stopped.Execute(); },
                ::testing::Throws<EHttpProtocolError>(::testing::Property(&EHttpProtocolError::ErrorCode, 302)));
    EXPECT_EQ(stopped.ResponseHeader("LOCATION"), "/final") << "an error answer's headers are kept too";
    EXPECT_EQ(Requests().back().Target, "/redirect/same");
}

TEST_F(HttpWire, SlicesOfOneStreamGoOutExactlyEveryTime) {
    std::istringstream file("skipped:first part|second part|rest");
    file.seekg(8);
    const THttpRequest first = Client.Put("/first").Data(file, 11);
    const THttpRequest second = Client.Put("/second").Data(TBytes{'['}).Data(file, 12).Data(TBytes{']'});
    EXPECT_EQ(file.tellg(), 31) << "left right after the second slice";
    for (int execution = 1; execution <= 2; ++execution) {
        second.Execute();
        EXPECT_EQ(Requests().back().Body, "[second part|]") << "execution " << execution;
        first.Execute();
        EXPECT_EQ(Requests().back().Body, "first part|") << "execution " << execution;
        EXPECT_EQ(Requests().back().HeaderValue("Content-Length"), "11");
    }
}

TEST_F(HttpWire, WritesResponsesIntoFiles) {
    const std::string path = testing::TempDir() + "/wire-download.bin";
    {
        std::ofstream file(path, std::ios::binary);
        EXPECT_EQ(Client.Get("/final").Execute(file), 200);
    }
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "arrived");
    std::remove(path.c_str());
}

TEST_F(HttpWire, UntrustedCertificateIsRefused) {
    RawHttpsServer stranger([](const RawRequest&) { return MakeResponse(200, "should not be read"); },
                            RawHttpsServer::Options{true, {ApiHost}, false});
    THttpTransportSettings settings = THttpTransport::Settings();
    settings.ConnectTo = {MappingTo(ApiHost, stranger.Port())};  // CaFile still names the other CA
    THttpTransport::Configure(settings);
    try {
        Client.Get("/x").Execute();
        FAIL() << "untrusted certificate accepted";
    } catch (const ETransportError& e) {
        EXPECT_NE(std::string(e.what()).find("certificate"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(stranger.Requests().empty());
}

TEST_F(HttpWire, CertificateForAnotherNameIsRefused) {
    THttpClient wrongName("wrong.test.example");
    THttpTransportSettings settings = THttpTransport::Settings();
    settings.ConnectTo.push_back(MappingTo("wrong.test.example", Server.Port()));
    THttpTransport::Configure(settings);
    EXPECT_THROW(wrongName.Get("/x").Execute(), ETransportError);
}

TEST_F(HttpWire, ServerThatNeverAnswersTimesOut) {
    THttpTransportSettings settings = THttpTransport::Settings();
    settings.StallTimeoutSeconds = 1;
    THttpTransport::Configure(settings);
    try {
        Client.Get("/silence").Execute();
        FAIL();
    } catch (const ETransportError& e) {
        EXPECT_NE(std::string(e.what()).find("timed out"), std::string::npos) << e.what();
    }

    RawHttpsServer mute([](const RawRequest&) { return std::nullopt; }, RawHttpsServer::Options{true, {ApiHost}, true});
    settings.ConnectTimeoutMs = 300;
    settings.ConnectTo = {MappingTo(ApiHost, mute.Port())};
    THttpTransport::Configure(settings);
    EXPECT_THROW(Client.Get("/handshake-never-ends").Execute(), ETransportError);
}

TEST(HttpTransportErrors, RefusedConnectionNamesWhatFailed) {
    TransportSettingsGuard guard;
    int port;
    {
        RawHttpsServer closed([](const RawRequest&) { return std::nullopt; });
        port = closed.Port();
    }
    THttpTransportSettings settings;
    settings.ConnectTo = {MappingTo("gone.test.example", port)};
    THttpTransport::Configure(settings);
    THttpClient client("gone.test.example");
    try {
        client.Get("/x").Execute();
        FAIL();
    } catch (const ETransportError& e) {
        const std::string message = e.what();
        EXPECT_NE(message.find("GET https://gone.test.example/x"), std::string::npos) << message;
        EXPECT_NE(message.find("could not connect"), std::string::npos) << message;
    }
}

TEST(HttpTransportPlain, HttpUrlsWorkWithoutTls) {
    TransportSettingsGuard guard;
    RawHttpsServer plain([](const RawRequest& r) { return MakeResponse(200, "plain " + r.Target); },
                         RawHttpsServer::Options{false, {}, false});
    THttpClient client("unused");
    std::string text;
    EXPECT_EQ(client.Get("http://127.0.0.1:" + std::to_string(plain.Port()) + "/p").Execute(text), 200);
    EXPECT_EQ(text, "plain /p");
}
