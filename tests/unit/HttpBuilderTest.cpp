#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <list>
#include <sstream>

#include "Nimbo/Connection/Http.h"
#include "support/WorkedExamples.h"

using namespace Nimbo::Connection;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

namespace {

std::string BodyOf(const THttpRequest& ARequest) {
    const TBytes data = ARequest.Get().BodyBytes();
    return std::string(data.begin(), data.end());
}

const std::string B = THttpRequest::MultipartBoundary;

}  // namespace

TEST(HttpClient, ExpandUrl) {
    THttpClient client("api.example.com");
    struct Case {
        const char* In;
        const char* Out;
    };
    for (const Case& c : {Case{"items/list", "https://api.example.com/items/list"},
                          Case{"/items/list", "https://api.example.com/items/list"}, Case{"https://x/y", "https://x/y"},
                          Case{"http://x/y", "http://x/y"}, Case{"HTTPS://x/y", "https://api.example.com/HTTPS://x/y"},
                          Case{"//a", "https://api.example.com//a"}, Case{"", "https://api.example.com/"}}) {
        EXPECT_EQ(client.ExpandURL(c.In), c.Out) << c.In;
    }
    EXPECT_EQ(client.Get("/a").Get().Url, "https://api.example.com/a");
    EXPECT_EQ(client.Delete("a").Get().Method, hmDelete);
    EXPECT_EQ(client.UserAgent(), "Velmor-Cumulo");
}

TEST(HttpClient, UrlEncode) {
    struct Case {
        std::string In, Out;
    };
    for (const Case& c : {Case{"", ""}, Case{"-._~", "-._~"}, Case{"AZaz09", "AZaz09"},
                          Case{"!*'()", "%21%2A%27%28%29"}, Case{"a b&c=d/é~", "a%20b%26c%3Dd%2F%C3%A9~"},
                          Case{"€", "%E2%82%AC"}, Case{std::string("\0\x7F", 2), "%00%7F"}, Case{"+%", "%2B%25"}}) {
        EXPECT_EQ(THttpClient::UrlEncode(c.In), c.Out) << c.In;
    }
}

TEST(HttpRequest, ParamsAndHeadersKeepCallOrder) {
    THttpClient client("h");
    THttpRequest r =
        client.Get("p").Param("q", "a b").Param("r", "1").Header("A", "1").Header("B", "2").Header("A", "3");
    EXPECT_EQ(r.Get().Url, "https://h/p?q=a%20b&r=1");
    EXPECT_EQ(r.Get().Headers, "A: 1\r\nB: 2\r\nA: 3");
    EXPECT_EQ(client.Get("p?x=1").Param("y", "2").Get().Url, "https://h/p?x=1&y=2");
    THttpRequest cond = client.Get("p").ParamIf(false, "a", "1").HeaderIf(false, "A", "1").ParamIf(true, "b", "2");
    EXPECT_EQ(cond.Get().Url, "https://h/p?b=2");
    EXPECT_EQ(cond.Get().Headers, "");
}

TEST(HttpRequest, CopiesShareOneHolder) {
    THttpClient client("h");
    THttpRequest r = client.Post("p");
    THttpRequest earlier = r;
    earlier.Header("X", "1");  // result discarded
    r.Data(TBytes{'a'});
    EXPECT_EQ(&earlier.Get(), &r.Get());
    EXPECT_EQ(r.Get().Headers, "X: 1");
    EXPECT_EQ(BodyOf(earlier), "a");
    r.Configure([](THttpRequest R) { R.Header("Y", "2"); });
    EXPECT_EQ(earlier.Get().Headers, "X: 1\r\nY: 2");
}

TEST(HttpRequest, HeaderWithLineBreakOrNulIsRefused) {
    using namespace std::string_literals;
    THttpClient client("h");
    THttpRequest r = client.Get("p");
    for (auto [name, value] : {std::pair{"X"s, "a\r\nInjected: 1"s},
                               {"X"s, "a\nb"s},
                               {"X\r"s, "a"s},
                               {"X"s, "a\r"s},
                               {"X"s, "secret\0tail"s},
                               {"X\0Y"s, "a"s}}) {
        EXPECT_THROW(r.Header(name, value), EHttpError);
    }
    EXPECT_EQ(r.Get().Headers, "");
}

// A stream that can only be read forward, like a pipe.
class TForwardOnlyBuffer : public std::streambuf {
public:
    explicit TForwardOnlyBuffer(std::string AText) : FText(std::move(AText)) {
        setg(FText.data(), FText.data(), FText.data() + FText.size());
    }

private:
    std::string FText;
};

TEST(HttpRequest, DataFromASeekableStreamStaysInTheStreamUntilSent) {
    THttpClient client("h");
    std::istringstream file("0123456789");
    file.seekg(3);
    THttpRequest r = client.Put("p").Data("<", 1).Data(file).Data(">", 1);
    EXPECT_EQ(r.Get().Data, (TBytes{'<', '>'})) << "the stream is not copied into the request";
    ASSERT_EQ(r.Get().Streams.size(), 1u);
    EXPECT_EQ(r.Get().Streams[0].At, 1u);
    EXPECT_EQ(r.Get().Streams[0].Size, 7);
    EXPECT_EQ(file.tellg(), -1) << "left at its end, as after reading it";
    EXPECT_EQ(BodyOf(r), "<3456789>");
    EXPECT_EQ(BodyOf(r), "<3456789>") << "and again";

    TForwardOnlyBuffer pipe("from a pipe");
    std::istream piped(&pipe);
    THttpRequest p = client.Post("p").Data(piped);
    EXPECT_TRUE(p.Get().Streams.empty());
    EXPECT_EQ(BodyOf(p), "from a pipe");
}

TEST(HttpRequest, DataAppends) {
    THttpClient client("h");
    THttpRequest r = client.Put("p");
    std::istringstream stream("0123456789");
    stream.seekg(6);
    r.Data(stream);
    EXPECT_EQ(stream.tellg(), -1);  // at its end
    r.Data(stream);                 // nothing more
    r.Data("xyz", 0).Data("xyz", -1).Data("xyz", 2).Data(TBytes{'!'});
    EXPECT_EQ(BodyOf(r), "6789xy!");

    std::string big(100000, 'b');
    std::istringstream bigStream(big);
    EXPECT_EQ(BodyOf(client.Put("p").Data(bigStream)), big);
    EXPECT_EQ(THttpRequest::AddArrays(TBytes{1, 2}, TBytes{3}), (TBytes{1, 2, 3}));
}

TEST(HttpRequest, CheckResponseRules) {
    THttpClient client("h");
    auto messageOf = [](const THttpRequest& r, int code) -> std::string {
        try {
            r.CheckResponse(code);
            return "accepted";
        } catch (const EHttpError& e) {
            return e.what();
        }
    };
    EXPECT_EQ(messageOf(client.Get("p"), 204), "accepted");
    EXPECT_EQ(messageOf(client.Get("p").ValidResponse(std::vector<int>{}), 202), "accepted");
    EXPECT_EQ(messageOf(client.Get("p").ValidResponse(200), 201), "Unacceptable response code: 201");
    EXPECT_EQ(messageOf(client.Get("p").ValidResponse({200, 201}), 201), "accepted");
    EXPECT_EQ(messageOf(client.Get("p").ValidResponse(200).OnResponse(200, "Quota"), 200), "Quota");
    EXPECT_EQ(messageOf(client.Get("p").ValidResponse(200).OnResponse(201, [] {}), 201), "accepted");
    EXPECT_EQ(messageOf(client.Get("p").OnResponse(200, "first").OnResponse(200, "second"), 200), "first");
    EXPECT_EQ(
        messageOf(client.Get("p").ValidResponse(200).OnResponse(201, std::function<void()>()).OnResponse(201, "x"),
                  201),
        "x");
    int calls = 0;
    THttpRequest counted = client.Get("p").OnResponse(204, [&] { ++calls; }).OnResponse(204, [&] { calls += 10; });
    counted.CheckResponse(204);
    EXPECT_EQ(calls, 1);
}

TEST(HttpRequest, FormBody) {
    THttpClient client("h");
    THttpRequest r =
        client.Post("t").BeginForm(true).Prop("grant_type", "refresh_token").Prop("note", "a b&c").EndForm();
    EXPECT_EQ(BodyOf(r), "grant_type=refresh_token&note=a%20b%26c");
    EXPECT_EQ(r.Get().Headers, "Content-Type: application/x-www-form-urlencoded");

    THttpRequest plain = client.Post("t").Data(TBytes{'x'});
    plain.BeginForm(false).Prop("a", "").Prop("é", "1");
    EXPECT_EQ(BodyOf(plain), "x&a=&%C3%A9=1");
    EXPECT_EQ(plain.Get().Headers, "");
    THttpRequest twice = client.Post("t");
    twice.BeginForm(true);
    twice.BeginForm(true);
    EXPECT_EQ(twice.Get().Headers,
              "Content-Type: application/x-www-form-urlencoded\r\nContent-Type: application/x-www-form-urlencoded");
}

TEST(HttpRequest, JsonWriter) {
    THttpClient client("h");
    THttpRequest r = Nimbo::Testing::WriteJsonExample(client.Post("f"));
    EXPECT_EQ(BodyOf(r), Nimbo::Testing::JsonExampleBody);
    EXPECT_EQ(r.Get().Headers, "Content-Type: application/json");

    struct Case {
        const char* Name;
        std::function<void(THttpRequest::TJsonData)> Write;
        std::string Expected;
    };
    using J = THttpRequest;
    const Case cases[] = {
        {"array root", [](J::TJsonData j) { j.Elem("x").Elem(J::jvTrue); }, R"(["x",true])"},
        {"comma after null", [](J::TJsonData j) { j.Elem(J::jvNull).Elem(J::jvFalse); }, R"([null,false])"},
        {"no comma after open", [](J::TJsonData j) { j.Elem(J::jvBeginObject).Prop("a", "1").EndObject().Elem("b"); },
         R"([{"a": "1"},"b"])"},
        {"if forms", [](J::TJsonData j) { j.ElemIf(false, "no").ElemIf(false, J::jvNull).ElemIf(true, "yes"); },
         R"(["yes"])"},
        {"escapes", [](J::TJsonData j) { j.Elem("q\"b\\n\nt\t\x01é"); }, "[\"q\\\"b\\\\n\\nt\\t\\u0001é\"]"},
        {"elems",
         [](J::TJsonData j) {
             j.Elems([](J::TJsonData e) {
                 for (const char* s : {"1", "2"}) e.Elem(s);
             });
         },
         R"(["1","2"])"},
        {"unbalanced", [](J::TJsonData j) { j.Elem(J::jvBeginArray).Elem("x"); }, R"([["x"])"},
    };
    for (const Case& c : cases) {
        THttpRequest req = client.Post("f");
        auto json = req.BeginJson(THttpRequest::jvBeginArray, false);
        c.Write(json);
        json.EndJson();
        EXPECT_EQ(BodyOf(req), c.Expected) << c.Name;
        EXPECT_EQ(req.Get().Headers, "") << c.Name;
    }

    THttpRequest obj = client.Post("f");
    obj.BeginJson(THttpRequest::jvBeginObject, false)
        .PropIf(false, "a", "1")
        .PropIf(false, "b", THttpRequest::jvNull)
        .Prop("c", THttpRequest::jvNull)
        .Prop("d", "2")
        .EndJson();
    EXPECT_EQ(BodyOf(obj), R"({"c": null,"d": "2"})");

    THttpRequest scalarRoot = client.Post("f");
    EXPECT_THROW(scalarRoot.BeginJson(THttpRequest::jvNull, false), EAssertionFailed);
    EXPECT_TRUE(scalarRoot.Get().Data.empty());
}

TEST(HttpRequest, JsonWriterRefusesTextThatIsNotUtf8) {
    using J = THttpRequest;
    const std::string badTexts[] = {
        "caf\xE9",           // Latin-1
        "\x80",              // a continuation byte alone
        "ab\xC3",            // cut short
        "\xC0\xAF",          // overlong
        "\xED\xA0\x80",      // a surrogate
        "\xF4\x90\x80\x80",  // beyond U+10FFFF
    };
    THttpClient client("h");
    for (const std::string& bad : badTexts) {
        THttpRequest req = client.Post("f");
        J::TJsonData object = req.BeginJson(J::jvBeginObject, false).Prop("ok", "\xF0\x9F\x98\x80");
        const std::string before = BodyOf(req);
        EXPECT_THAT([&] { object.Prop(bad, "v"); }, ThrowsMessage<EHttpError>(HasSubstr("valid UTF-8"))) << bad;
        EXPECT_THAT([&] { object.Prop("n", bad); }, ThrowsMessage<EHttpError>(HasSubstr("valid UTF-8"))) << bad;
        EXPECT_THAT([&] { object.Prop(bad, J::jvNull); }, ThrowsMessage<EHttpError>(HasSubstr("valid UTF-8"))) << bad;
        EXPECT_THAT([&] { object.Elem(bad); }, ThrowsMessage<EHttpError>(HasSubstr("valid UTF-8"))) << bad;
        EXPECT_EQ(BodyOf(req), before) << "nothing of a refused call is written";
    }
}

TEST(HttpRequest, MultipartLayout) {
    THttpClient client("h");
    THttpRequest r = Nimbo::Testing::WriteMultipartExample(client.Post("u"));
    const std::string expected =
        "\r\n--" + B + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"a.txt\"\r\n\r\nhello\r\n--" + B +
        "\r\nContent-Disposition: form-data; name=\"parent_id\"\r\n\r\n0\r\n--" + B + "--\r\n";
    EXPECT_EQ(BodyOf(r), expected);
    EXPECT_EQ(BodyOf(r).size(), 296u);
    EXPECT_EQ(r.Get().Headers, "Content-Type: multipart/form-data; boundary=" + B);
    EXPECT_FALSE(r.Get().InMultipart);
}

TEST(HttpRequest, MultipartModeRefusesHeaders) {
    THttpClient client("h");
    THttpRequest r = client.Post("u").BeginMultipart("f", "");
    EXPECT_TRUE(r.Get().InMultipart);
    const std::string before = r.Get().Headers;
    try {
        r.Header("X", "1");
        FAIL();
    } catch (const EHttpError& e) {
        EXPECT_STREQ(e.what(), "Cannot add header inside multipart");
    }
    EXPECT_THROW(r.BeginForm(true), EHttpError);
    EXPECT_THROW(r.BeginJson(THttpRequest::jvBeginObject, true), EHttpError);
    r.HeaderIf(false, "X", "1").Param("p", "1");
    r.BeginJson(THttpRequest::jvBeginObject, false).Prop("a", "b").EndJson();
    EXPECT_EQ(r.Get().Headers, before);
    r.EndMultipart().Header("X", "1");
    EXPECT_EQ(r.Get().Headers, before + "\r\nX: 1");
    THttpRequest outside = client.Post("u");
    EXPECT_THROW(outside.NextPart("a", ""), EAssertionFailed);
    EXPECT_TRUE(outside.Get().Data.empty());
}

TEST(HttpRequest, MultipartNamesCannotBreakTheBody) {
    THttpClient client("h");
    THttpRequest r = client.Post("u").BeginMultipart("a\"b", "evil\"\r\nX: y.txt").EndMultipart();
    EXPECT_NE(BodyOf(r).find("name=\"a%22b\"; filename=\"evil%22%0D%0AX: y.txt\"\r\n\r\n"), std::string::npos);
}

// A part that holds the boundary would end early at the receiver: the body moves to a boundary that
// occurs nowhere in it, whether the parts are held in memory or read from streams while sending.
TEST(HttpRequest, MultipartBodyHoldingTheBoundaryGetsAnotherOne) {
    struct TPart {
        std::string Name, FileName, Content;
    };
    struct Case {
        const char* Name;
        std::vector<TPart> Parts;
        std::string ExpectedBoundary;
    };
    const std::string longFile = std::string(100000, 'x') + "\r\n--" + B + std::string(100000, 'y');
    const Case cases[] = {
        {"delimiter line in a file", {{"file", "a.bin", "x\r\n--" + B + "--\r\ny"}, {"parent_id", "", "0"}}, B + "-1"},
        {"boundary alone in a value", {{"file", "a.bin", "data"}, {"note", "", B}}, B + "-1"},
        {"first replacement taken too", {{"file", "a.bin", B + "-1" + B}}, B + "-2"},
        {"boundary in a name", {{"--" + B, "", "v"}}, B + "-1"},
        {"boundary across read steps", {{"file", "big.bin", longFile}}, B + "-1"},
        {"boundary cut in two parts", {{"a", "", B.substr(0, 20)}, {"b", "", B.substr(20)}}, B},
    };
    THttpClient client("h");
    for (const bool fromStreams : {false, true}) {
        for (const Case& c : cases) {
            std::list<std::istringstream> streams;
            THttpRequest req = client.Post("u").BeginMultipart(c.Parts[0].Name, c.Parts[0].FileName);
            std::string expected;
            for (std::size_t i = 0; i < c.Parts.size(); ++i) {
                const TPart& part = c.Parts[i];
                if (i > 0) req.NextPart(part.Name, part.FileName);
                if (fromStreams)
                    req.Data(streams.emplace_back(part.Content));
                else
                    req.Data(part.Content.data(), static_cast<int>(part.Content.size()));
                expected += "\r\n--" + c.ExpectedBoundary + "\r\nContent-Disposition: form-data; name=\"" + part.Name +
                            "\"" + (part.FileName.empty() ? "" : "; filename=\"" + part.FileName + "\"") + "\r\n\r\n" +
                            part.Content;
            }
            req.EndMultipart();
            expected += "\r\n--" + c.ExpectedBoundary + "--\r\n";
            EXPECT_EQ(req.Get().Streams.size(), fromStreams ? c.Parts.size() : 0u) << c.Name;
            EXPECT_EQ(BodyOf(req), expected) << c.Name << (fromStreams ? " from streams" : "");
            EXPECT_EQ(req.Get().Headers, "Content-Type: multipart/form-data; boundary=" + c.ExpectedBoundary) << c.Name;
            for (const std::istringstream& stream : streams)
                EXPECT_EQ(stream.rdstate(), std::ios::eofbit | std::ios::failbit);
        }
    }
}
