#include <gtest/gtest.h>

#include <sstream>

#include "Nimbo/Connection/platform/BinaryStream.h"
#include "Nimbo/Connection/platform/Exceptions.h"

using namespace Nimbo::Connection;

namespace {

std::string Bytes(std::initializer_list<unsigned> AValues) {
    std::string s;
    for (unsigned v : AValues) s.push_back(static_cast<char>(v));
    return s;
}

std::string Written(const std::function<void(TBinaryWriter&)>& AWrite) {
    std::ostringstream out;
    TBinaryWriter writer(out);
    AWrite(writer);
    return out.str();
}

}  // namespace

TEST(BinaryWriter, EncodesEachKindAsLittleEndianBytes) {
    EXPECT_EQ(Written([](TBinaryWriter& w) { w.Write(std::uint8_t{1}); }), Bytes({1}));
    EXPECT_EQ(Written([](TBinaryWriter& w) { w.Write(std::string()); }), Bytes({0}));
    EXPECT_EQ(Written([](TBinaryWriter& w) { w.Write(std::string("é")); }), Bytes({2, 0xC3, 0xA9}));
    EXPECT_EQ(Written([](TBinaryWriter& w) { w.Write(-657434.0); }), Bytes({0, 0, 0, 0, 0x34, 0x10, 0x24, 0xC1}));
    EXPECT_EQ(Written([](TBinaryWriter& w) { w.Write(std::int64_t{-2}); }),
              Bytes({0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(BinaryWriter, LengthPrefixUsesSevenBitGroups) {
    struct Case {
        std::size_t Length;
        std::string Prefix;
    };
    for (const Case& c : {Case{127, Bytes({0x7F})}, Case{128, Bytes({0x80, 0x01})}, Case{200, Bytes({0xC8, 0x01})},
                          Case{16384, Bytes({0x80, 0x80, 0x01})}}) {
        const std::string text(c.Length, 'x');
        const std::string out = Written([&](TBinaryWriter& w) { w.Write(text); });
        EXPECT_EQ(out.substr(0, c.Prefix.size()), c.Prefix) << c.Length;
        EXPECT_EQ(out.size(), c.Prefix.size() + c.Length);
    }
}

TEST(BinaryReader, RoundTripsEveryKind) {
    const std::string big(300, 'q');
    const std::string data = Written([&](TBinaryWriter& w) {
        w.Write(std::uint8_t{7});
        w.Write(big);
        w.Write(std::string("Grüße"));
        w.Write(0.1);
        w.Write(std::int64_t{-9000000000LL});
    });
    std::istringstream in(data);
    TBinaryReader reader(in);
    EXPECT_EQ(reader.ReadByte(), 7);
    EXPECT_EQ(reader.ReadString(), big);
    EXPECT_EQ(reader.ReadString(), "Grüße");
    EXPECT_EQ(reader.ReadDouble(), 0.1);
    EXPECT_EQ(reader.ReadInt64(), -9000000000LL);
    EXPECT_THROW(reader.ReadByte(), EReadError);
}

TEST(BinaryReader, RefusesMalformedInput) {
    struct Case {
        const char* Name;
        std::string Data;
        std::function<void(TBinaryReader&)> Read;
    };
    const Case cases[] = {
        {"empty stream, byte", "", [](TBinaryReader& r) { r.ReadByte(); }},
        {"prefix past 5 bytes", Bytes({0x80, 0x80, 0x80, 0x80, 0x80, 0x01}), [](TBinaryReader& r) { r.ReadString(); }},
        {"prefix beyond 2^31-1", Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x0F}), [](TBinaryReader& r) { r.ReadString(); }},
        {"prefix cut short", Bytes({0x80}), [](TBinaryReader& r) { r.ReadString(); }},
        {"string shorter than its prefix", Bytes({5, 'a', 'b'}), [](TBinaryReader& r) { r.ReadString(); }},
        {"huge prefix on a short stream", Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x07, 'a'}),
         [](TBinaryReader& r) { r.ReadString(); }},
        {"double cut short", Bytes({0, 0, 0}), [](TBinaryReader& r) { r.ReadDouble(); }},
        {"int64 cut short", Bytes({1, 2, 3, 4, 5, 6, 7}), [](TBinaryReader& r) { r.ReadInt64(); }},
    };
    for (const Case& c : cases) {
        std::istringstream in(c.Data);
        TBinaryReader reader(in);
        EXPECT_THROW(c.Read(reader), EReadError) << c.Name;
    }
}
