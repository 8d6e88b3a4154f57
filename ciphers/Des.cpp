#include "ciphers/Des.h"

#include "ciphers/DesCore.h"
#include "base/SecureWipe.h"

namespace morvex {
namespace des {

RoundKeys ExpandKey(std::uint32_t first, std::uint32_t second) noexcept {
    constexpr std::uint32_t kHalfMask = (std::uint32_t{1} << 28) - 1;
    std::uint64_t key = (std::uint64_t{first} << 32) | second;
    // C and D as 28-bit numbers, their bit 1 the most significant.
    std::uint32_t c = 0;
    std::uint32_t d = 0;
    for (int i = 1; i <= 56; ++i) {
        const auto bit = static_cast<std::uint32_t>((key >> (64 - kPermutedChoice1[static_cast<std::size_t>(i - 1)])) & 1);
        if (i <= 28) {
            c |= bit << (28 - i);
        } else {
            d |= bit << (56 - i);
        }
    }
    RoundKeys keys{};
    std::uint64_t cd = 0;
    for (std::size_t n = 0; n < 16; ++n) {
        const int shift = kKeyShifts[n];
        c = ((c << shift) | (c >> (28 - shift))) & kHalfMask;
        d = ((d << shift) | (d >> (28 - shift))) & kHalfMask;
        cd = (std::uint64_t{c} << 28) | d;
        for (int j = 0; j < 48; ++j) {
            const auto bit = static_cast<std::uint32_t>((cd >> (56 - kPermutedChoice2[static_cast<std::size_t>(j)])) & 1);
            const int group = j / 6;
            const std::size_t word = 2 * n + (detail::GroupFromPlainHalf(group) ? 0 : 1);
            keys[word] |= bit << (detail::GroupShift(group) + 5 - j % 6);
        }
    }
    SecureWipe(&key, sizeof key);
    SecureWipe(&c, sizeof c);
    SecureWipe(&d, sizeof d);
    SecureWipe(&cd, sizeof cd);
    return keys;
}

}  // namespace des

namespace {

template <int kStep>
DesWords DesCrypt(DesWords block, const std::uint32_t* firstKeys) {
    std::uint32_t l = 0;
    std::uint32_t r = 0;
    des::InitialPermutation(block.first, block.second, l, r);
    des::SixteenRounds<kStep>(l, r, firstKeys);
    DesWords out;
    des::FinalPermutation(r, l, out.first, out.second);
    return out;
}

}  // namespace

DesWords DesEncrypt(DesWords block, DesWords key) {
    des::RoundKeys keys = des::ExpandKey(key.first, key.second);
    const DesWords out = DesCrypt<2>(block, keys.data());
    SecureWipe(keys.data(), sizeof keys);
    return out;
}

// Decryption is the same network with the subkeys taken from iteration 16 down to iteration 1.
DesWords DesDecrypt(DesWords block, DesWords key) {
    des::RoundKeys keys = des::ExpandKey(key.first, key.second);
    const DesWords out = DesCrypt<-2>(block, keys.data() + des::kRoundKeyWords - 2);
    SecureWipe(keys.data(), sizeof keys);
    return out;
}

}  // namespace morvex
