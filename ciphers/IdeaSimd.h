#pragma once

#include <cstddef>
#include <cstdint>

namespace morvex {

// IDEA on many blocks at once, one entry point per instruction set, each compiled for its own set
// and only to be called when the processor has it. subkeys: the 52 words of a subkey table.
// Blocks are laid out as on disk; in and out may be the same buffer but must not otherwise overlap.
void IdeaCryptBlocksSse2(const std::uint16_t* subkeys, const std::uint8_t* in, std::uint8_t* out,
                         std::size_t blockCount);
void IdeaCryptBlocksAvx2(const std::uint16_t* subkeys, const std::uint8_t* in, std::uint8_t* out,
                         std::size_t blockCount);
void IdeaCryptBlocksAvx512(const std::uint16_t* subkeys, const std::uint8_t* in, std::uint8_t* out,
                           std::size_t blockCount);

}  // namespace morvex
