#include "ciphers/TripleDesBitslice.h"

#include "base/SecureWipe.h"
#include "ciphers/DesCore.h"

namespace morvex::des {
namespace {

using KeyMasks = std::array<std::uint32_t, kBitsliceRounds * 48>;

// The subkey bits of decryption round n (encryption round 48 - n) as whole-word masks, in S-box
// input order.
void MakeKeyMasks(const std::uint32_t* subkeys, KeyMasks& masks) {
    for (std::size_t n = 0; n < kBitsliceRounds; ++n) {
        const std::uint32_t* words = subkeys + 2 * (kBitsliceRounds - 1 - n);
        for (int group = 0; group < 8; ++group) {
            const std::uint32_t word = words[detail::GroupFromPlainHalf(group) ? 0 : 1];
            for (int t = 0; t < 6; ++t) {
                const std::uint32_t bit = (word >> (detail::GroupShift(group) + 5 - t)) & 1u;
                masks[48 * n + static_cast<std::size_t>(6 * group + t)] = 0u - bit;
            }
        }
    }
}

}  // namespace

void MakeBitsliceKeys(const std::uint32_t* subkeys, BitsliceKeys& keys) noexcept {
    KeyMasks bits{};
    MakeKeyMasks(subkeys, bits);
    // What each slice of each half carries; nothing before the first round.
    std::array<std::array<std::uint32_t, 32>, 2> carried{};
    for (std::size_t n = 0; n < kBitsliceRounds; ++n) {
        const RoundHalves halves = kRoundHalves[n];
        for (std::size_t i = 0; i < 48; ++i) {
            const auto slice = static_cast<std::size_t>(kExpansion[i] - 1);
            keys.rounds[n].inputs[i] = bits[48 * n + i] ^ carried[halves.source][slice];
        }
        // From here the target carries the key bits of the next round that reads it, unless that
        // round is full (or there is none): then nothing.
        std::size_t next = n + 1;
        while (next < kBitsliceRounds && kRoundHalves[next].source != halves.target) {
            ++next;
        }
        for (std::size_t j = 0; j < 32; ++j) {
            const bool plainReader = next < kBitsliceRounds && !IsFullRound(next);
            const std::uint32_t after = plainReader ? bits[48 * next + kFirstReads[j]] : 0;
            keys.rounds[n].outputs[j] = carried[halves.target][j] ^ after;
            carried[halves.target][j] = after;
        }
    }
    SecureWipe(bits.data(), sizeof bits);
}

}  // namespace morvex::des
