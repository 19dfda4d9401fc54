#pragma once
// OneDrive's content digest: a 160-bit register into which every byte is XORed at a bit position
// that advances by 11 bits per byte (circularly), with the content's length (64-bit, little-endian)
// XORed into its last 8 bytes at the end. Fed in pieces, it gives the same result as in one.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace Nimbo::Emulator {

class QuickXorHash {
public:
    void Update(std::string_view bytes);
    std::string Digest() const;        // the 20 raw bytes
    std::string Base64Digest() const;  // as the service writes it

private:
    static constexpr std::size_t WidthBytes = 160;  // bytes whose positions differ before the shifts repeat
    // The bytes of each phase (index mod 160) XORed together; they land on the same bit position.
    std::array<std::uint8_t, WidthBytes> phases_{};
    std::size_t phase_ = 0;
    std::uint64_t length_ = 0;
};

}  // namespace Nimbo::Emulator
