#include "ciphers/Idea.h"

namespace morvex {

// 65537 is prime, so the residues 1..65536 form a group under multiplication. Writing 65536 as the
// word 0 makes the group's elements exactly the 65536 16-bit words: a multiplication can never give
// the residue 0, and every word has an inverse.
std::uint16_t IdeaMul(std::uint16_t a, std::uint16_t b) {
    return static_cast<std::uint16_t>(idea_detail::MulLow16(a, idea_detail::Widen(b)));
}

// In a group of order 65536, x^65536 = 1 (Fermat), so x^65535 is the inverse of x. 65535 is sixteen
// one bits: the product of x^(2^i) for i = 0 to 15. 0 (the residue 65536 = -1) and 1 come out as
// themselves without special cases.
std::uint16_t IdeaMulInverse(std::uint16_t x) {
    std::uint16_t result = 1;
    std::uint16_t power = x;
    for (int i = 0; i < 16; ++i) {
        result = IdeaMul(result, power);
        power = IdeaMul(power, power);
    }
    return result;
}

std::uint16_t IdeaAddInverse(std::uint16_t x) { return static_cast<std::uint16_t>(0u - x); }

IdeaSubkeys IdeaExpandKey(const IdeaKey& key) {
    IdeaSubkeys subkeys{};
    IdeaKey reg = key;
    std::size_t made = 0;
    while (true) {
        for (std::size_t i = 0; i < reg.size() && made < subkeys.size(); ++i) {
            subkeys[made++] = reg[i];
        }
        if (made == subkeys.size()) {
            break;
        }
        // Rotate the 128-bit register left by 25 bits: one whole 16-bit part plus 9 bits.
        IdeaKey rotated{};
        for (std::size_t i = 0; i < reg.size(); ++i) {
            const std::uint32_t next = reg[(i + 1) % reg.size()];
            const std::uint32_t afterNext = reg[(i + 2) % reg.size()];
            rotated[i] = static_cast<std::uint16_t>((next << 9) | (afterNext >> 7));
        }
        reg = rotated;
    }
    return subkeys;
}

IdeaSubkeys IdeaInvertKey(const IdeaSubkeys& encryptKeys) {
    const IdeaSubkeys& z = encryptKeys;
    IdeaSubkeys u{};
    // Decryption group r undoes encryption group 9 - r (the output transformation counting as the
    // ninth): its multiplicative and additive subkeys are the inverses of those, and its two MA
    // subkeys are the plain ones of round 9 - r, which the MA structure makes self-inverse. In the
    // middle rounds the additive pair is exchanged because those rounds exchange X2 and X3.
    for (std::size_t r = 0; r < 9; ++r) {
        const std::size_t e = 6 * (8 - r);  // the first subkey of the group being undone, 0-based
        const bool exchanged = r != 0 && r != 8;
        u[6 * r] = IdeaMulInverse(z[e]);
        u[6 * r + 1] = IdeaAddInverse(z[exchanged ? e + 2 : e + 1]);
        u[6 * r + 2] = IdeaAddInverse(z[exchanged ? e + 1 : e + 2]);
        u[6 * r + 3] = IdeaMulInverse(z[e + 3]);
        if (r < 8) {
            u[6 * r + 4] = z[e - 2];
            u[6 * r + 5] = z[e - 1];
        }
    }
    return u;
}

IdeaWideSubkeys IdeaWidenSubkeys(const IdeaSubkeys& subkeys) {
    IdeaWideSubkeys wide{};
    for (std::size_t i = 0; i < subkeys.size(); ++i) {
        wide[i] = idea_detail::Widen(subkeys[i]);
    }
    return wide;
}

IdeaRoundKeys IdeaMakeRoundKeys(const IdeaSubkeys& subkeys) {
    IdeaRoundKeys keys{};
    for (std::size_t i = 0; i < subkeys.size(); ++i) {
        const std::uint32_t factor = idea_detail::Widen(subkeys[i]);
        keys[i] = {factor, (1u - factor) & idea_detail::kLow16};
    }
    return keys;
}

void IdeaCrypt(IdeaSubBlocks& block, const IdeaSubkeys& subkeys) {
    std::uint32_t x1 = block[0];
    std::uint32_t x2 = block[1];
    std::uint32_t x3 = block[2];
    std::uint32_t x4 = block[3];
    idea_detail::Crypt(x1, x2, x3, x4, subkeys);
    block = {static_cast<std::uint16_t>(x1), static_cast<std::uint16_t>(x2), static_cast<std::uint16_t>(x3),
             static_cast<std::uint16_t>(x4)};
}

}  // namespace morvex
