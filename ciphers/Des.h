#pragma once

#include <cstdint>

namespace morvex {

// A 64-bit DES block or key as two words: first holds bits 1 to 32 (bit 1 its most significant
// bit), second bits 33 to 64.
struct DesWords {
    std::uint32_t first = 0;
    std::uint32_t second = 0;

    friend bool operator==(const DesWords&, const DesWords&) = default;
};

// Single DES of FIPS 46-3 under one key. The least significant bit of each key byte is ignored.
[[nodiscard]] DesWords DesEncrypt(DesWords block, DesWords key);
[[nodiscard]] DesWords DesDecrypt(DesWords block, DesWords key);

}  // namespace morvex
