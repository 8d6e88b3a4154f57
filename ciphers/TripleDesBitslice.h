#pragma once

#include <cstddef>
#include <cstdint>

namespace morvex::des {

// Bitsliced triple-DES decryption, one bit of many blocks per register bit: 512 blocks at a time
// on AVX-512 (F and BW), 256 on AVX2, 128 on SSE2. Each Available function says whether this build carries
// that kernel; each kernel may only be called when the processor has its instruction set.
//
// A kernel decrypts blocks laid out as on disk. subkeys are the 48 rounds of triple-DES encryption,
// two words per round (DesCore.h); they are run backwards. It works from the front and returns how
// many blocks it did: a remainder too short to be worth a whole batch is left to the caller. Where
// mask is not null, each block is XORed with the block at the same place in mask before it is
// stored. in and out may be the same buffer but must not otherwise overlap; out and mask must not
// overlap at all.
[[nodiscard]] bool BitsliceAvx512Available() noexcept;
[[nodiscard]] std::size_t BitsliceAvx512DecryptBlocks(const std::uint32_t* subkeys, const std::uint8_t* in,
                                                      const std::uint8_t* mask, std::uint8_t* out, std::size_t blockCount) noexcept;

[[nodiscard]] bool BitsliceAvx2Available() noexcept;
[[nodiscard]] std::size_t BitsliceAvx2DecryptBlocks(const std::uint32_t* subkeys, const std::uint8_t* in,
                                                    const std::uint8_t* mask, std::uint8_t* out, std::size_t blockCount) noexcept;

[[nodiscard]] bool BitsliceSse2Available() noexcept;
[[nodiscard]] std::size_t BitsliceSse2DecryptBlocks(const std::uint32_t* subkeys, const std::uint8_t* in,
                                                    const std::uint8_t* mask, std::uint8_t* out, std::size_t blockCount) noexcept;

}  // namespace morvex::des
