#pragma once

#include <algorithm>
#include <cstdint>
#include <span>

#include "base/ByteOrder.h"

namespace morvex {

// The container: the source length L, the two initial words, then N encrypted blocks, every field
// a 32-bit word stored least significant byte first.
inline constexpr std::uint32_t kContainerHeaderBytes = 12;

// N: L / 8 rounded up, and at least one block even for an empty source.
[[nodiscard]] constexpr std::uint64_t ContainerBlockCount(std::uint64_t sourceBytes) noexcept {
    return sourceBytes == 0 ? 1 : (sourceBytes + 7) / 8;
}

[[nodiscard]] constexpr std::uint64_t ContainerBytes(std::uint64_t sourceBytes) noexcept {
    return kContainerHeaderBytes + 8 * ContainerBlockCount(sourceBytes);
}

// The name a container gets beside its source, and the suffix that decryption strips.
inline constexpr char kContainerSuffix[] = ".enc";

struct ContainerHeader {
    std::uint32_t length = 0;  // L
    std::uint32_t initial0 = 0;
    std::uint32_t initial1 = 0;

    void Write(std::span<std::uint8_t, kContainerHeaderBytes> bytes) const noexcept {
        StoreWord(bytes.data(), length);
        StoreWord(bytes.data() + 4, initial0);
        StoreWord(bytes.data() + 8, initial1);
    }

    // The header of a file that may be shorter than one: bytes the file does not have read as 0,
    // as three 4-byte reads into zeroed words would leave them.
    [[nodiscard]] static ContainerHeader Parse(std::span<const std::uint8_t> bytes) noexcept {
        std::uint8_t whole[kContainerHeaderBytes] = {};
        std::copy_n(bytes.begin(), std::min<std::size_t>(bytes.size(), kContainerHeaderBytes), whole);
        return {LoadWord(whole), LoadWord(whole + 4), LoadWord(whole + 8)};
    }
};

}  // namespace morvex
