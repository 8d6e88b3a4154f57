#pragma once

#include <array>
#include <cstdint>

namespace morvex {

// Z1 to Z8: the 128-bit key in 16-bit parts, most significant first.
using IdeaKey = std::array<std::uint16_t, 8>;
// A table of 52 subkeys: six per round, four for the output transformation. 0 stands for 65536.
using IdeaSubkeys = std::array<std::uint16_t, 52>;
// X1 to X4 on the way in, Y1 to Y4 on the way out.
using IdeaSubBlocks = std::array<std::uint16_t, 4>;

// Multiplication modulo 65537, where the word 0 stands for 65536.
[[nodiscard]] std::uint16_t IdeaMul(std::uint16_t a, std::uint16_t b);
[[nodiscard]] std::uint16_t IdeaMulInverse(std::uint16_t x);
[[nodiscard]] std::uint16_t IdeaAddInverse(std::uint16_t x);

[[nodiscard]] IdeaSubkeys IdeaExpandKey(const IdeaKey& key);
[[nodiscard]] IdeaSubkeys IdeaInvertKey(const IdeaSubkeys& encryptKeys);

// Eight rounds and the output transformation under the given subkeys.
void IdeaCrypt(IdeaSubBlocks& block, const IdeaSubkeys& subkeys);

}  // namespace morvex
