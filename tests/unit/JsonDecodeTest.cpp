#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "JsonTestSupport.h"
#include "Nimbo/Connection/Json.h"

using namespace Nimbo::Connection;
using Nimbo::Connection::Testing::FailureOf;

namespace {

struct Entry {
    std::string name;
    std::int64_t size = 0;
    bool is_dir = false;
};
NIMBO_JSON_RECORD(Entry, name, size, is_dir)

struct Listing {
    std::vector<Entry> entries;
    std::string cursor;
};
NIMBO_JSON_RECORD(Listing, entries, cursor)

struct Quota {
    std::string name;
    std::int64_t used = 0;
};
NIMBO_JSON_RECORD(Quota, name, used)

struct Quotas {
    TJsonDecoder::TMapKey name;
    std::vector<Quota> items;
};
NIMBO_JSON_RECORD(Quotas, name, items)

// One field of every supported kind.
struct Kinds {
    std::int32_t i = 0;
    std::int64_t l = 0;
    double d = 0;
    std::string s;
    bool b = false;
    Entry rec;
    std::vector<std::int32_t> ints;
    std::vector<bool> flags;
    std::vector<std::vector<double>> grid;
    std::vector<std::string> texts;
};
NIMBO_JSON_RECORD(Kinds, i, l, d, s, b, rec, ints, flags, grid, texts)

template <class T>
T DecodeText(std::string_view AJson) {
    TJsonDecoder decoder(AJson);
    T result;
    decoder.Decode(result);
    return result;
}

}  // namespace

TEST(JsonDecoder, DecodesTheListingExample) {
    const auto listing =
        DecodeText<Listing>(R"({"cursor": "c1", "entries": [{"name": "a.txt", "size": 12, "is_dir": false, "rev": 3},)"
                            R"( {"name": "d", "is_dir": true}], "has_more": false})");
    EXPECT_EQ(listing.cursor, "c1");
    ASSERT_EQ(listing.entries.size(), 2u);
    EXPECT_EQ(listing.entries[0].name, "a.txt");
    EXPECT_EQ(listing.entries[0].size, 12);
    EXPECT_FALSE(listing.entries[0].is_dir);
    EXPECT_EQ(listing.entries[1].name, "d");
    EXPECT_EQ(listing.entries[1].size, 0);
    EXPECT_TRUE(listing.entries[1].is_dir);
}

TEST(JsonDecoder, DecodesMapRecordsInDocumentOrder) {
    const auto quotas = DecodeText<Quotas>(R"({"photos": {"used": 5}, "docs": {"used": 7}})");
    ASSERT_EQ(quotas.items.size(), 2u);
    EXPECT_EQ(quotas.items[0].name, "photos");
    EXPECT_EQ(quotas.items[0].used, 5);
    EXPECT_EQ(quotas.items[1].name, "docs");
    EXPECT_EQ(quotas.items[1].used, 7);

    // A member named like the key field overwrites the member name; escaped names are resolved.
    const auto renamed = DecodeText<Quotas>(R"({"a\u00e9": {"used": 1}, "b": {"name": "c", "used": 2}})");
    ASSERT_EQ(renamed.items.size(), 2u);
    EXPECT_EQ(renamed.items[0].name, "a\xc3\xa9");
    EXPECT_EQ(renamed.items[1].name, "c");

    EXPECT_TRUE(DecodeText<Quotas>("{}").items.empty());
    Quotas out;
    EXPECT_EQ(FailureOf<EInvalidCast>(R"({"photos": 5})", out), "Invalid class typecast");
    EXPECT_EQ(FailureOf<EInvalidCast>(R"([])", out), "Invalid class typecast");
}

TEST(JsonDecoder, DecodesEveryKind) {
    const auto k =
        DecodeText<Kinds>(R"({"i": -7, "l": 3000000000, "d": 1.5e2, "s": "a\"b\n\u00e9", "b": true,)"
                          R"( "rec": {"name": "n", "size": 1}, "ints": [1, -2, 3], "flags": [true, false, true],)"
                          R"( "grid": [[1.5], [], [2, 3]], "texts": ["x", null, 4.0]})");
    EXPECT_EQ(k.i, -7);
    EXPECT_EQ(k.l, 3000000000LL);
    EXPECT_EQ(k.d, 150.0);
    EXPECT_EQ(k.s, "a\"b\n\xc3\xa9");
    EXPECT_TRUE(k.b);
    EXPECT_EQ(k.rec.name, "n");
    EXPECT_EQ(k.rec.size, 1);
    EXPECT_EQ(k.ints, (std::vector<std::int32_t>{1, -2, 3}));
    EXPECT_EQ(k.flags, (std::vector<bool>{true, false, true}));
    EXPECT_EQ(k.grid, (std::vector<std::vector<double>>{{1.5}, {}, {2, 3}}));
    EXPECT_EQ(k.texts, (std::vector<std::string>{"x", "", "4.0"}));
}

TEST(JsonDecoder, KeepsTheLiteralTextOfNumbersForTextFields) {
    for (const auto& [json, expected] : std::vector<std::pair<std::string, std::string>>{
             {R"({"s": 12})", "12"},
             {R"({"s": 1.50})", "1.50"},
             {R"({"s": -0.5E+3 })", "-0.5E+3"},
             {R"({"s": 123456789012345678901234567890})", "123456789012345678901234567890"},
             {R"({"s": null})", ""},
             {"{\"s\":\n7\n}", "7"},
         }) {
        EXPECT_EQ(DecodeText<Kinds>(json).s, expected) << json;
    }
}

TEST(JsonDecoder, HonoursIntegerLimits) {
    struct Case {
        std::string Json;
        std::int32_t I;
        std::int64_t L;
    };
    for (const Case& c : {Case{R"({"i": 2147483647, "l": 9223372036854775807})", 2147483647, INT64_MAX},
                          Case{R"({"i": -2147483648, "l": -9223372036854775808})", INT32_MIN, INT64_MIN},
                          Case{R"({"i": -0, "l": 0})", 0, 0}}) {
        const auto k = DecodeText<Kinds>(c.Json);
        EXPECT_EQ(k.i, c.I) << c.Json;
        EXPECT_EQ(k.l, c.L) << c.Json;
    }
}

TEST(JsonDecoder, ReportsNumbersThatDoNotConvert) {
    for (const auto& [json, message] : std::vector<std::pair<std::string, std::string>>{
             {R"({"i": 3000000000})", "'3000000000' is not a valid integer value"},
             {R"({"i": -2147483649})", "'-2147483649' is not a valid integer value"},
             {R"({"i": 1.5})", "'1.5' is not a valid integer value"},
             {R"({"i": 1e2 })", "'1e2' is not a valid integer value"},
             {R"({"l": 9223372036854775808})", "'9223372036854775808' is not a valid integer value"},
             {R"({"ints": [1, 2.0]})", "'2.0' is not a valid integer value"},
             {R"({"d": 1e999})", "'1e999' is not a valid floating point value"},
         }) {
        Kinds out;
        EXPECT_EQ(FailureOf<EConvertError>(json, out), message) << json;
    }
}

TEST(JsonDecoder, RefusesValuesOfTheWrongKind) {
    for (const std::string json : {R"({"i": "12"})",
                                   R"({"i": null})",
                                   R"({"i": true})",
                                   R"({"l": [1]})",
                                   R"({"d": "1.5"})",
                                   R"({"d": null})",
                                   R"({"s": true})",
                                   R"({"s": {}})",
                                   R"({"s": []})",
                                   R"({"b": 1})",
                                   R"({"b": null})",
                                   R"({"b": "true"})",
                                   R"({"rec": []})",
                                   R"({"rec": null})",
                                   R"({"rec": "x"})",
                                   R"({"ints": {}})",
                                   R"({"ints": null})",
                                   R"({"ints": ["1"]})",
                                   R"({"flags": [1]})",
                                   R"({"grid": [1]})",
                                   R"([])",
                                   R"(12)",
                                   R"("text")",
                                   R"(null)"}) {
        Kinds out;
        EXPECT_EQ(FailureOf<EInvalidCast>(json, out), "Invalid class typecast") << json;
    }
}

TEST(JsonDecoder, StopsAtTheFailingValueAndKeepsWhatCameBefore) {
    Listing out;
    out.cursor = "old";
    EXPECT_EQ(FailureOf<EInvalidCast>(
                  R"({"cursor": "c2", "entries": [{"name": "a"}, {"name": "b", "is_dir": "yes", "size": 4}]})", out),
              "Invalid class typecast");
    EXPECT_EQ(out.cursor, "c2");
    ASSERT_EQ(out.entries.size(), 2u);
    EXPECT_EQ(out.entries[0].name, "a");
    EXPECT_EQ(out.entries[1].name, "b");
    EXPECT_EQ(out.entries[1].size, 0);
}

TEST(JsonDecoder, MatchesKeysExactlyAndLetsLaterDuplicatesWin) {
    const auto k = DecodeText<Kinds>(
        R"({"I": 1, "i ": 2, "S": "x", "i": 3, "s": "first", "s": "second", "rec": {"name": "n", "size": 1},)"
        R"( "rec": {"size": 2}, "ints": [1, 2, 3], "ints": [4], "r\u0065c": {"is_dir": true}})");
    EXPECT_EQ(k.i, 3);
    EXPECT_EQ(k.s, "second");
    // A repeated record is decoded over the earlier one; a repeated array replaces it.
    EXPECT_EQ(k.rec.name, "n");
    EXPECT_EQ(k.rec.size, 2);
    EXPECT_TRUE(k.rec.is_dir);
    EXPECT_EQ(k.ints, (std::vector<std::int32_t>{4}));
}

TEST(JsonDecoder, StartsFromTheEmptyValue) {
    Listing out;
    out.cursor = "old";
    out.entries.resize(3);
    TJsonDecoder decoder(R"({"entries": []})");
    decoder.Decode(out);
    EXPECT_EQ(out.cursor, "");
    EXPECT_TRUE(out.entries.empty());

    // The same decoder can fill a second value from the same document.
    Listing again;
    again.cursor = "x";
    decoder.Decode(again);
    EXPECT_EQ(again.cursor, "");

    const auto k = DecodeText<Kinds>("{}");
    EXPECT_EQ(k.i, 0);
    EXPECT_EQ(k.s, "");
    EXPECT_FALSE(k.b);
    EXPECT_TRUE(k.ints.empty());
    EXPECT_EQ(k.rec.name, "");
}

TEST(JsonDecoder, DecodesRootsOtherThanRecords) {
    EXPECT_EQ(DecodeText<std::string>(R"("abc")"), "abc");
    EXPECT_EQ(DecodeText<std::string>("1.50"), "1.50");
    EXPECT_EQ(DecodeText<std::int32_t>(" 42 "), 42);
    EXPECT_EQ(DecodeText<bool>("true"), true);
    EXPECT_EQ(DecodeText<std::vector<std::int64_t>>("[1, 2]"), (std::vector<std::int64_t>{1, 2}));
    const auto entries = DecodeText<std::vector<Entry>>(R"([{"name": "a"}, {"name": "b"}])");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].name, "b");
}

TEST(JsonDecoder, RefusesTextThatIsNotJsonAndWritesNothing) {
    for (const std::string body :
         {"", "   ", "<html><body>502 Bad Gateway</body></html>", R"({"cursor": "c1")", R"({"entries": [)",
          R"({"cursor": "c1"}})", R"({"cursor": "c1"} trailing)", R"({"cursor" "c1"})", R"({"cursor": "c1",})",
          R"({"cursor": tru})", R"({"cursor": 12abc})", R"({"cursor": nul})", "{\"cursor\": \"\xff\xfe\"}",
          R"({"cursor": "unterminated})", R"([{"name": "a"},])", R"({"entries": [{"size": 01}]})",
          // Malformed values inside members the record does not read.
          R"({"":n})", R"({"unknown": tru, "cursor": "c"})", R"({"unknown": [1, {"a": nul}], "cursor": "c"})",
          R"({"entries": [{"name": "a", "extra": 01}]})"}) {
        Listing out;
        out.cursor = "kept";
        const std::string message = FailureOf<EJsonError>(body, out);
        EXPECT_EQ(message.rfind("Invalid JSON: ", 0), 0u) << body << " -> " << message;
        EXPECT_EQ(out.cursor, "kept") << body;
    }
    Listing out;
    EXPECT_EQ(FailureOf<EJsonError>("", out), "Invalid JSON: the text is empty");
}

TEST(JsonDecoder, RefusesNestingDeeperThanTheLimitWithoutExhaustingTheStack) {
    const std::string deep = std::string(65000, '[') + std::string(65000, ']');
    for (const std::string& body : {R"({"cursor": )" + deep + "}", R"({"unread": )" + deep + R"(, "cursor": "c"})"}) {
        Listing out;
        out.cursor = "kept";
        EXPECT_EQ(FailureOf<EJsonError>(body, out).rfind("Invalid JSON: ", 0), 0u);
        EXPECT_EQ(out.cursor, "kept");
    }
    const std::string nested = std::string(300, '[') + std::string(300, ']');
    Listing out;
    EXPECT_EQ(FailureOf<EJsonError>(R"({"unread": )" + nested + R"(, "cursor": "c"})", out), "(no failure)");
    EXPECT_EQ(out.cursor, "c");
}

TEST(JsonDecoder, TakesBytesOverOrCopiesThem) {
    const std::string text = R"({"cursor": "bytes"})";
    const TBytes bytes(text.begin(), text.end());
    Listing fromCopy, fromMove;
    TJsonDecoder(bytes).Decode(fromCopy);
    TJsonDecoder(TBytes(bytes)).Decode(fromMove);
    EXPECT_EQ(fromCopy.cursor, "bytes");
    EXPECT_EQ(fromMove.cursor, "bytes");
}
