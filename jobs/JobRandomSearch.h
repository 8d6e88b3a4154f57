#pragma once

#include <cstdint>
#include <vector>

namespace morvex {

// Working back from a container to the JobRandom that wrote it.
//
// Every byte a container shows of its generator (the initial words in clear, the fill of the last
// block) is the low byte of a draw: bits 16 to 23 of the state after that draw. A multiplication
// and addition modulo 2^32 carries nothing from high bits to low ones, so those bits, and all later
// ones, follow from the state modulo 2^24 alone. The states here are therefore 24-bit: any seed
// agreeing with one of them in its low 24 bits writes the same initial value and the same fill.

inline constexpr std::uint32_t kJobRandomStateMask = 0xFFFFFFU;

// The state after `draws` draws from `state`, in O(log draws) steps instead of draws steps.
[[nodiscard]] std::uint32_t JobRandomJump(std::uint32_t state, std::uint64_t draws) noexcept;

// Every 24-bit state whose next draw shows `first` and the draw after it `second`, in increasing
// order of the state after the first draw. Replaces the vector's contents.
//
// Two bytes leave about 256 of the 2^24 states, and they are listed directly: with the first byte
// fixed only the low 16 bits of the state after the first draw are open, and the second byte then
// asks for (214013 * low + 2531011) / 2^16 to fall in a known residue class modulo 256. Each
// quotient of that class is reached from one value of low at most, since 214013 exceeds 2^16.
void StatesShowing(std::uint8_t first, std::uint8_t second, std::vector<std::uint32_t>& states);

// The 24-bit seeds from which NextWord gives initialWord0 and then initialWord1. Any five
// consecutive draws fix the state modulo 2^24 (the tests show it over all 2^24 states), so there
// is one for every container that JobRandom wrote and none, almost always, for initial words from
// anywhere else.
[[nodiscard]] std::vector<std::uint32_t> FindJobRandomSeeds(std::uint32_t initialWord0, std::uint32_t initialWord1);

}  // namespace morvex
