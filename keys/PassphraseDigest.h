#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/KeyWords.h"

namespace morvex {

// Only this many passphrase bytes reach the digest: with the end marker and the length byte they
// fill exactly one 64-byte MD5 block.
inline constexpr std::size_t kMaxPassphraseBytes = 55;

// MD5's four chaining words, in RFC 1321's order.
struct Md5Chain {
    std::uint32_t a = 0;
    std::uint32_t b = 0;
    std::uint32_t c = 0;
    std::uint32_t d = 0;
};

// RFC 1321's block transform on one 16-word block, the final addition included; no padding.
void Md5Compress(Md5Chain& chain, const std::array<std::uint32_t, 16>& x);

// Bit i of the input becomes bit 31 - i of the result.
[[nodiscard]] std::uint32_t ReverseBits32(std::uint32_t word);

// The four bytes of the word in reverse order.
[[nodiscard]] std::uint32_t SwapBytes32(std::uint32_t word);

// The key words of a passphrase, given as its bytes. Bytes past the 55th are ignored.
[[nodiscard]] KeyWords DeriveKeyWords(std::string_view passphrase);

}  // namespace morvex
