#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace morvex {

// Z1 to Z8: the 128-bit key in 16-bit parts, most significant first.
using IdeaKey = std::array<std::uint16_t, 8>;
// A table of 52 subkeys: six per round, four for the output transformation. 0 stands for 65536.
using IdeaSubkeys = std::array<std::uint16_t, 52>;
// X1 to X4 on the way in, Y1 to Y4 on the way out.
using IdeaSubBlocks = std::array<std::uint16_t, 4>;
// The same subkeys held as 32-bit values with 0 already turned into 65536, as the fast round wants them.
using IdeaWideSubkeys = std::array<std::uint32_t, 52>;

// A subkey as the single-block rounds read it: the factor in 1..65536, and the product of the word 0
// (65536) and that factor on 16 bits, which the multiplication needs when its data word is 0 and which
// would otherwise cost a step after the key is loaded.
struct IdeaRoundKey {
    std::uint32_t factor;
    std::uint32_t zeroProduct;
};
using IdeaRoundKeys = std::array<IdeaRoundKey, 52>;

// Multiplication modulo 65537, where the word 0 stands for 65536.
[[nodiscard]] std::uint16_t IdeaMul(std::uint16_t a, std::uint16_t b);
[[nodiscard]] std::uint16_t IdeaMulInverse(std::uint16_t x);
[[nodiscard]] std::uint16_t IdeaAddInverse(std::uint16_t x);

[[nodiscard]] IdeaSubkeys IdeaExpandKey(const IdeaKey& key);
[[nodiscard]] IdeaSubkeys IdeaInvertKey(const IdeaSubkeys& encryptKeys);
[[nodiscard]] IdeaWideSubkeys IdeaWidenSubkeys(const IdeaSubkeys& subkeys);
[[nodiscard]] IdeaRoundKeys IdeaMakeRoundKeys(const IdeaSubkeys& subkeys);

// Eight rounds and the output transformation under the given subkeys.
void IdeaCrypt(IdeaSubBlocks& block, const IdeaSubkeys& subkeys);

// The round code, inline so that a caller encrypting block after block gets it without a call.
namespace idea_detail {

inline constexpr std::uint32_t kLow16 = 0xFFFFu;

// A subkey in 1..65536: the word 0 is the residue 65536.
[[nodiscard]] constexpr std::uint32_t Widen(std::uint16_t subkey) noexcept {
    // subkey - 1 borrows into bit 16 exactly when subkey is 0.
    return subkey + ((static_cast<std::uint32_t>(subkey) - 1u) & 0x10000u);
}
[[nodiscard]] constexpr std::uint32_t Widen(std::uint32_t subkey) noexcept { return subkey; }
[[nodiscard]] constexpr std::uint32_t Widen(const IdeaRoundKey& subkey) noexcept { return subkey.factor; }

// a * k modulo 65537 for a data word a (16 significant bits, 0 standing for 65536) and a subkey k in
// 1..65536. Only the low 16 bits of the result count; the bits above are left for the caller to
// mask where it must, which keeps one instruction off the round's longest chain.
[[nodiscard]] constexpr std::uint32_t MulLow16(std::uint32_t a, std::uint32_t k) noexcept {
    // a < 65536 and k <= 65536, so the product fits in 32 bits, and it is 0 only when a is.
    const std::uint32_t product = a * k;
    const std::uint32_t low = product & kLow16;
    const std::uint32_t high = product >> 16;
    // product = high * 65536 + low, and 65536 = -1 modulo 65537, so product = low - high. When that
    // is negative, adding 65537 mends it; on 16 bits, adding 65537 is adding 1.
    const std::uint32_t reduced = low - high + static_cast<std::uint32_t>(low < high);
    // For a = 0 the product stands for 65536 * k = -k, which is 1 - k on 16 bits, while reduced is 0.
    // The correction is masked in rather than chosen by a branch: it depends on a alone, so it is
    // ready while the multiplication runs, and the data never steers the control flow.
    const std::uint32_t zeroMask = 0u - static_cast<std::uint32_t>(a == 0);
    return reduced + (zeroMask & (1u - k));
}

// Eight rounds and the output transformation on sub-blocks held in the low halves of 32-bit words.
template <class Subkey>
inline void Crypt(std::uint32_t& x1, std::uint32_t& x2, std::uint32_t& x3, std::uint32_t& x4,
                  const std::array<Subkey, 52>& z) noexcept {
    std::uint32_t a = x1;
    std::uint32_t b = x2;
    std::uint32_t c = x3;
    std::uint32_t d = x4;
    for (std::size_t round = 0; round < 8; ++round) {
        const Subkey* k = z.data() + 6 * round;
        const std::uint32_t v1 = MulLow16(a & kLow16, Widen(k[0]));
        const std::uint32_t v2 = b + Widen(k[1]);
        const std::uint32_t v3 = c + Widen(k[2]);
        const std::uint32_t v4 = MulLow16(d & kLow16, Widen(k[3]));
        const std::uint32_t p = MulLow16((v1 ^ v3) & kLow16, Widen(k[4]));
        const std::uint32_t q = MulLow16(((v2 ^ v4) + p) & kLow16, Widen(k[5]));
        const std::uint32_t s = p + q;
        // The two middle sub-blocks come out exchanged.
        a = v1 ^ q;
        b = v3 ^ q;
        c = v2 ^ s;
        d = v4 ^ s;
    }
    // The output transformation takes c before b, undoing the exchange of the last round.
    x1 = MulLow16(a & kLow16, Widen(z[48])) & kLow16;
    x2 = (c + Widen(z[49])) & kLow16;
    x3 = (b + Widen(z[50])) & kLow16;
    x4 = MulLow16(d & kLow16, Widen(z[51])) & kLow16;
}

}  // namespace idea_detail

}  // namespace morvex
