#include "Nimbo/Connection/platform/BinaryStream.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "Nimbo/Connection/platform/Exceptions.h"

namespace Nimbo::Connection {

static_assert(std::endian::native == std::endian::little, "the encodings assume a little-endian host");

void TBinaryWriter::WriteRaw(const void* AData, std::size_t ASize) {
    FStream.write(static_cast<const char*>(AData), static_cast<std::streamsize>(ASize));
    if (!FStream) throw EFileError("Stream write error");
}

void TBinaryWriter::Write7BitEncoded(std::uint32_t AValue) {
    std::uint8_t buffer[5];
    std::size_t count = 0;
    do {
        std::uint8_t group = AValue & 0x7F;
        AValue >>= 7;
        if (AValue != 0) group |= 0x80;
        buffer[count++] = group;
    } while (AValue != 0);
    WriteRaw(buffer, count);
}

void TBinaryWriter::Write(std::uint8_t AValue) { WriteRaw(&AValue, 1); }

void TBinaryWriter::Write(const std::string& AValue) {
    if (AValue.size() > 0x7FFFFFFF) throw EArgumentException("String too long to write");
    Write7BitEncoded(static_cast<std::uint32_t>(AValue.size()));
    WriteRaw(AValue.data(), AValue.size());
}

void TBinaryWriter::Write(double AValue) { WriteRaw(&AValue, sizeof AValue); }

void TBinaryWriter::Write(std::int64_t AValue) { WriteRaw(&AValue, sizeof AValue); }

void TBinaryReader::ReadRaw(void* AData, std::size_t ASize) {
    FStream.read(static_cast<char*>(AData), static_cast<std::streamsize>(ASize));
    if (static_cast<std::size_t>(FStream.gcount()) != ASize) throw EReadError("Unexpected end of stream");
}

std::uint32_t TBinaryReader::Read7BitEncoded() {
    std::uint64_t value = 0;
    for (int index = 0; index < 5; ++index) {
        std::uint8_t group;
        ReadRaw(&group, 1);
        value |= static_cast<std::uint64_t>(group & 0x7F) << (7 * index);
        if ((group & 0x80) == 0) {
            if (value > 0x7FFFFFFF) throw EReadError("Invalid string length prefix: length too large");
            return static_cast<std::uint32_t>(value);
        }
    }
    throw EReadError("Invalid string length prefix: more than 5 bytes");
}

std::uint8_t TBinaryReader::ReadByte() {
    std::uint8_t value;
    ReadRaw(&value, 1);
    return value;
}

std::string TBinaryReader::ReadString() {
    const std::size_t length = Read7BitEncoded();
    // Read in bounded steps so that a corrupt prefix on a short stream fails before it allocates much.
    constexpr std::size_t Step = 64 * 1024;
    std::string value;
    while (value.size() < length) {
        const std::size_t chunk = std::min(Step, length - value.size());
        const std::size_t start = value.size();
        value.resize(start + chunk);
        ReadRaw(value.data() + start, chunk);
    }
    return value;
}

double TBinaryReader::ReadDouble() {
    double value;
    ReadRaw(&value, sizeof value);
    return value;
}

std::int64_t TBinaryReader::ReadInt64() {
    std::int64_t value;
    ReadRaw(&value, sizeof value);
    return value;
}

}  // namespace Nimbo::Connection
