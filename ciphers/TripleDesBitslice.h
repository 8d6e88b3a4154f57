#pragma once

#include <cstddef>
#include <cstdint>

namespace morvex::des {

// Whether this build carries the bitsliced AVX-512 decryption kernel (it needs AVX-512 F and BW).
[[nodiscard]] bool BitsliceAvailable() noexcept;

// Decrypts blocks laid out as on disk, 512 at a time, one bit of every block per bit of a 512-bit
// register. subkeys are the 48 rounds of triple-DES encryption, two words per round (DesCore.h);
// they are run backwards. Works from the front and returns how many blocks it did: a remainder too
// short to be worth a whole batch is left to the caller. in and out may be the same buffer but must
// not otherwise overlap. Only to be called when the processor has AVX-512 F and BW.
[[nodiscard]] std::size_t BitsliceDecryptBlocks(const std::uint32_t* subkeys, const std::uint8_t* in,
                                                std::uint8_t* out, std::size_t blockCount) noexcept;

}  // namespace morvex::des
