#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>

namespace Nimbo::Connection {

// Writes bytes, strings (7-bit variable-length UTF-8 byte count, then the bytes), little-endian
// IEEE doubles and little-endian 64-bit integers at the stream's current position.
class TBinaryWriter {
public:
    explicit TBinaryWriter(std::ostream& AStream) : FStream(AStream) {}

    void Write(std::uint8_t AValue);
    void Write(const std::string& AValue);
    void Write(const char* AValue) { Write(std::string(AValue)); }
    void Write(double AValue);
    void Write(std::int64_t AValue);

private:
    void WriteRaw(const void* AData, std::size_t ASize);
    void Write7BitEncoded(std::uint32_t AValue);

    std::ostream& FStream;
};

// Reads what TBinaryWriter writes. Raises EReadError on an early end of the stream and on a
// length prefix longer than 5 bytes or beyond 2^31 - 1.
class TBinaryReader {
public:
    explicit TBinaryReader(std::istream& AStream) : FStream(AStream) {}

    std::uint8_t ReadByte();
    std::string ReadString();
    double ReadDouble();
    std::int64_t ReadInt64();

private:
    void ReadRaw(void* AData, std::size_t ASize);
    std::uint32_t Read7BitEncoded();

    std::istream& FStream;
};

}  // namespace Nimbo::Connection
