#include "emulator/QuickXorHash.h"

#include "emulator/Json.h"

#include <cstring>

namespace Nimbo::Emulator {

void QuickXorHash::Update(std::string_view bytes) {
    auto next = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t left = bytes.size();
    length_ += left;
    auto one = [&] {
        phases_[phase_] ^= *next++;
        --left;
        if (++phase_ == WidthBytes) phase_ = 0;
    };
    while (left > 0 && phase_ != 0) one();
    if (left >= WidthBytes) {  // whole turns, a word at a time
        std::uint64_t words[WidthBytes / 8];
        std::memcpy(words, phases_.data(), WidthBytes);
        for (; left >= WidthBytes; next += WidthBytes, left -= WidthBytes)
            for (std::size_t i = 0; i < WidthBytes / 8; ++i) {
                std::uint64_t word;
                std::memcpy(&word, next + 8 * i, 8);
                words[i] ^= word;
            }
        std::memcpy(phases_.data(), words, WidthBytes);
    }
    while (left > 0) one();
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
