#pragma once

#include <cstdint>

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

}  // namespace morvex
