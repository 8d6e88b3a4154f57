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

// XORs each of blockCount blocks at with into the block at the same place in out. A block's XOR
// does not care how its bytes make words: one 64-bit XOR per block instead of two loads, two XORs
// and two stores of 32-bit words.
inline void XorBlocks(std::uint8_t* out, const std::uint8_t* with, std::size_t blockCount) noexcept {
    for (std::size_t at = 0; at < blockCount * kBlockBytes; at += kBlockBytes) {
        std::uint64_t block = 0;
        std::uint64_t other = 0;
        std::memcpy(&block, out + at, kBlockBytes);
        std::memcpy(&other, with + at, kBlockBytes);
        block ^= other;
        std::memcpy(out + at, &block, kBlockBytes);
    }
}

}  // namespace morvex
