#include "emulator/QuickXorHash.h"

#include "emulator/Json.h"

namespace Nimbo::Emulator {

void QuickXorHash::Update(std::string_view bytes) {
    for (unsigned char byte : bytes) {
        phases_[phase_] ^= byte;
        if (++phase_ == WidthBytes) phase_ = 0;
    }
    length_ += bytes.size();
}

std::string QuickXorHash::Digest() const {
    constexpr unsigned WidthBits = 160, Shift = 11;
    std::array<std::uint8_t, WidthBits / 8> cells{};
    for (std::size_t phase = 0; phase < WidthBytes; ++phase) {
        const unsigned position = static_cast<unsigned>(phase * Shift % WidthBits);
        for (unsigned bit = 0; bit < 8; ++bit)
            if (phases_[phase] >> bit & 1) {
                const unsigned at = (position + bit) % WidthBits;
                cells[at / 8] ^= static_cast<std::uint8_t>(1u << (at % 8));
            }
    }
    for (unsigned i = 0; i < 8; ++i) cells[cells.size() - 8 + i] ^= static_cast<std::uint8_t>(length_ >> (8 * i));
    return std::string(cells.begin(), cells.end());
}

std::string QuickXorHash::Base64Digest() const { return Base64Encode(Digest()); }

}  // namespace Nimbo::Emulator
