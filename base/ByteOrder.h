#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace morvex {

// A block on disk is two 32-bit words, each least significant byte first, w0 before w1.
inline constexpr std::size_t kBlockBytes = 8;

[[nodiscard]] inline std::uint32_t LoadWord(const std::uint8_t* bytes) noexcept {
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

inline void StoreWord(std::uint8_t* bytes, std::uint32_t word) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        // One 32-bit store: the compiler cannot merge the four byte stores below when the
        // destination may alias the next load.
        std::memcpy(bytes, &word, sizeof word);
        return;
    }
    bytes[0] = static_cast<std::uint8_t>(word);
    bytes[1] = static_cast<std::uint8_t>(word >> 8);
    bytes[2] = static_cast<std::uint8_t>(word >> 16);
    bytes[3] = static_cast<std::uint8_t>(word >> 24);
}

}  // namespace morvex
