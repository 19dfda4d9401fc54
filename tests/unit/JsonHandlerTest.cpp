#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "JsonTestSupport.h"
#include "Nimbo/Connection/Json.h"
#include "Nimbo/Connection/platform/TimeZone.h"

using namespace Nimbo::Connection;
using Nimbo::Connection::Testing::FailureOf;

namespace {

struct File {
    std::string id;
    std::int64_t size = 0;
};
NIMBO_JSON_RECORD(File, id, size)

struct Pair {
    File first;
    std::vector<File> rest;
    File last;
};
NIMBO_JSON_RECORD(Pair, first, rest, last)

enum class Color { Red };
struct DateHolder {
    std::string name;
    TDateTime when = 0;  // a plain double underneath: decodable
};
NIMBO_JSON_RECORD(DateHolder, name, when)

struct StrongDate {
    double Value = 0;
};
struct WithStrongDate {
    std::string name;
    StrongDate when;
};
NIMBO_JSON_RECORD(WithStrongDate, name, when)
struct WithFloat {
    float f = 0;
};
NIMBO_JSON_RECORD(WithFloat, f)
struct WithShort {
    std::int16_t s = 0;
};
NIMBO_JSON_RECORD(WithShort, s)
struct WithEnum {
    Color c = Color::Red;
};
NIMBO_JSON_RECORD(WithEnum, c)
struct WithUnsigned {
    std::vector<std::uint32_t> counts;
};
NIMBO_JSON_RECORD(WithUnsigned, counts)
struct DeepUnsupported {
    std::vector<WithFloat> items;
};
NIMBO_JSON_RECORD(DeepUnsupported, items)

struct Tree {
    std::string name;
    std::vector<Tree> children;
};
NIMBO_JSON_RECORD(Tree, name, children)

struct Ring;
struct RingLink {
    std::vector<Ring> next;
};
struct Ring {
    RingLink link;
};
NIMBO_JSON_RECORD(RingLink, next)
NIMBO_JSON_RECORD(Ring, link)

struct NoItems {
    TJsonDecoder::TMapKey name;
    std::string other;
};
NIMBO_JSON_RECORD(NoItems, name, other)
struct ScalarItems {
    TJsonDecoder::TMapKey name;
    std::vector<std::int32_t> items;
};
NIMBO_JSON_RECORD(ScalarItems, name, items)
struct KeylessItems {
    TJsonDecoder::TMapKey name;
    std::vector<File> items;
};
NIMBO_JSON_RECORD(KeylessItems, name, items)
struct NumberKey {
    std::int32_t id = 0;
};
NIMBO_JSON_RECORD(NumberKey, id)
struct NumberKeyItems {
    TJsonDecoder::TMapKey id;
    std::vector<NumberKey> items;
};
NIMBO_JSON_RECORD(NumberKeyItems, id, items)

// A record described from inside an enclosing class, with private members.
class Adapter {
public:
    class Token {
    public:
        const std::string& Access() const { return access_token; }
        std::int32_t ExpiresIn() const { return expires_in; }

    private:
        std::string access_token;
        std::int32_t expires_in = 0;
        NIMBO_JSON_FIELDS(Token, access_token, expires_in)
    };
};

}  // namespace

TEST(JsonHandlers, RefuseUnsupportedFieldTypesBeforeWritingAnything) {
    {
        WithStrongDate out;
        out.name = "kept";
        const std::string message =
            FailureOf<EAssertionFailed>(R"({"name": "x"})", out);  // the key of the bad field is absent
        EXPECT_NE(message.find("StrongDate"), std::string::npos) << message;
        EXPECT_EQ(out.name, "kept");
    }
    WithFloat f;
    WithShort s;
    WithEnum e;
    WithUnsigned u;
    DeepUnsupported d;
    for (const std::string& message : {FailureOf<EAssertionFailed>("{}", f), FailureOf<EAssertionFailed>("{}", s),
                                       FailureOf<EAssertionFailed>("{}", e), FailureOf<EAssertionFailed>("{}", u),
                                       FailureOf<EAssertionFailed>("{}", d)})
        EXPECT_EQ(message.rfind("Type cannot be decoded from JSON: ", 0), 0u) << message;
    long long wide = 0;
    EXPECT_NE(FailureOf<EAssertionFailed>("1", wide), "(no failure)");
}

TEST(JsonHandlers, RefuseRecordTypesThatContainThemselves) {
    Tree tree;
    EXPECT_EQ(FailureOf<EAssertionFailed>(R"({"name": "root"})", tree).rfind("Record type contains itself: ", 0), 0u);
    Ring ring;
    EXPECT_EQ(FailureOf<EAssertionFailed>("{}", ring).rfind("Record type contains itself: ", 0), 0u);
}

TEST(JsonHandlers, RefuseMalformedMapRecords) {
    NoItems a;
    ScalarItems b;
    KeylessItems c;
    NumberKeyItems d;
    EXPECT_EQ(FailureOf<EAssertionFailed>("{}", a), "Map type has no items array field");
    EXPECT_EQ(FailureOf<EAssertionFailed>("{}", b), "Assertion failure");
    EXPECT_EQ(FailureOf<EAssertionFailed>("{}", c), "Map item has no key field");
    EXPECT_EQ(FailureOf<EAssertionFailed>("{}", d), "Map items key should be string");
}

TEST(JsonHandlers, ShareOneHandlerPerTypeAndCacheOnlyFinishedOnes) {
    TJsonDecoder decoder(R"({"first": {"id": "a"}, "rest": [{"id": "b"}], "last": {"id": "c", "size": 3}})");
    Pair pair;
    decoder.Decode(pair);
    EXPECT_EQ(pair.first.id, "a");
    ASSERT_EQ(pair.rest.size(), 1u);
    EXPECT_EQ(pair.rest[0].id, "b");
    EXPECT_EQ(pair.last.id, "c");
    EXPECT_EQ(pair.last.size, 3);

    const TValHandler& pairHandler = decoder.GetHandler(TypeInfoOf<Pair>());
    const TValHandler* fileHandler = &decoder.GetHandler(TypeInfoOf<File>());
    EXPECT_EQ(pairHandler.FindField("first")->Handler, fileHandler);
    EXPECT_EQ(pairHandler.FindField("last")->Handler, fileHandler);
    EXPECT_EQ(pairHandler.FindField("rest")->Handler->Elems().Handler, fileHandler);
    EXPECT_EQ(pairHandler.FindField("First"), nullptr);

    // A failed build leaves nothing behind, and the decoder stays usable.
    EXPECT_THROW(decoder.GetHandler(TypeInfoOf<WithFloat>()), EAssertionFailed);
    EXPECT_THROW(decoder.GetHandler(TypeInfoOf<WithFloat>()), EAssertionFailed);
    EXPECT_EQ(&decoder.GetHandler(TypeInfoOf<File>()), fileHandler);
}

TEST(JsonHandlers, DecodeRecordsDescribedInsideTheirClass) {
    Adapter::Token token;
    TJsonDecoder(R"({"access_token": "t0k", "expires_in": 3600})").Decode(token);
    EXPECT_EQ(token.Access(), "t0k");
    EXPECT_EQ(token.ExpiresIn(), 3600);

    DateHolder holder;  // a date-time that is a double underneath is a double
    TJsonDecoder(R"({"name": "n", "when": 42500.5})").Decode(holder);
    EXPECT_EQ(holder.when, 42500.5);
}

namespace {

// Answers one HTTP request on a loopback port with a fixed response, then closes.
class TOneShotServer {
public:
    explicit TOneShotServer(std::string AResponse) : FResponse(std::move(AResponse)) {
        FListener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(FListener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(FListener, 1) != 0 ||
            getsockname(FListener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("cannot listen on loopback");
        FPort = ntohs(address.sin_port);
        FThread = std::thread([this] { Serve(); });
    }
    ~TOneShotServer() {
        shutdown(FListener, SHUT_RDWR);
        FThread.join();
        close(FListener);
    }

    std::string Url(const std::string& APath) const { return "http://127.0.0.1:" + std::to_string(FPort) + APath; }

private:
    void Serve() {
        const int connection = accept(FListener, nullptr, nullptr);
        if (connection < 0) return;
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            const ssize_t got = recv(connection, buffer, sizeof buffer, 0);
            if (got <= 0) break;
            request.append(buffer, static_cast<std::size_t>(got));
        }
        for (std::size_t sent = 0; sent < FResponse.size();) {
            const ssize_t put = send(connection, FResponse.data() + sent, FResponse.size() - sent, MSG_NOSIGNAL);
            if (put <= 0) break;
            sent += static_cast<std::size_t>(put);
        }
        close(connection);
    }

    std::string FResponse;
    int FListener = -1;
    int FPort = 0;
    std::thread FThread;
};

std::string HttpAnswer(const std::string& AStatus, const std::string& ABody) {
    return "HTTP/1.1 " + AStatus +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(ABody.size()) +
           "\r\nConnection: close\r\n\r\n" + ABody;
}

}  // namespace

TEST(JsonHandlers, ExecuteDecodesTheAnswerIntoTheRecord) {
    TOneShotServer server(HttpAnswer("201 Created", R"({"id": "f1", "size": 99})"));
    THttpClient client("127.0.0.1");
    File file;
    EXPECT_EQ(client.Get(server.Url("/files/f1")).ValidResponse(201).Execute(file), 201);
    EXPECT_EQ(file.id, "f1");
    EXPECT_EQ(file.size, 99);
}

TEST(JsonHandlers, ExecuteReportsAnAnswerThatIsNotJson) {
    TOneShotServer server(HttpAnswer("200 OK", "<html><body>Service Unavailable</body></html>"));
    THttpClient client("127.0.0.1");
    File file;
    file.id = "kept";
    EXPECT_THROW(client.Get(server.Url("/files/f1")).ValidResponse(200).Execute(file), EJsonError);
    EXPECT_EQ(file.id, "kept");
}
