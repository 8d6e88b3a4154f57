#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "ciphers/DesTables.h"

namespace morvex::des {

inline constexpr std::size_t kBitsliceRounds = 48;

// ---- The key as the kernels take it ----
//
// A slice is not XORed with its key bit each time an S-box reads it. Each half is kept XORed with
// the key bits of the round that next reads it (a mask, all ones or all zeros per slice), so that
// most S-box inputs are plain loads; the masks change as the S-box outputs are XORed in, one
// three-input XOR each, the one instruction it was before on AVX-512. Expansion reads 16 slices
// twice, and their second reads XOR in the difference between the two key bits. Where a half is
// read twice without a write between (a stage's first round reads what the stage before read last)
// or nothing follows, a full round XORs every input instead: 32 of a round's 48 key XORs are gone
// in all but four rounds. TripleDes makes these masks once per key.

// Which half each round XORs into and which it reads: they alternate within a stage of 16
// rounds, and a stage's preoutput (R16, L16) is the next stage's (L0, R0), so at a stage's start
// the halves keep the roles they had in the round before.
struct RoundHalves {
    std::size_t target;
    std::size_t source;
};

[[nodiscard]] constexpr std::array<RoundHalves, kBitsliceRounds> MakeRoundHalves() {
    std::array<RoundHalves, kBitsliceRounds> halves{};
    std::size_t l = 0;
    std::size_t r = 1;
    for (std::size_t stage = 0; stage < 3; ++stage) {
        for (std::size_t i = 0; i < 16; i += 2) {
            halves[16 * stage + i] = {l, r};
            halves[16 * stage + i + 1] = {r, l};
        }
        std::swap(l, r);
    }
    return halves;
}

inline constexpr std::array<RoundHalves, kBitsliceRounds> kRoundHalves = MakeRoundHalves();

// The first round of each stage and the last round: the rounds that XOR every input.
[[nodiscard]] constexpr bool IsFullRound(std::size_t n) { return n % 16 == 0 || n == kBitsliceRounds - 1; }

// A round that is not full reads the half the round before it wrote.
static_assert([] {
    for (std::size_t n = 1; n < kBitsliceRounds; ++n) {
        if (!IsFullRound(n) && kRoundHalves[n].source != kRoundHalves[n - 1].target) {
            return false;
        }
    }
    return true;
}());

// True for the S-box inputs that read a slice an input before them read already.
[[nodiscard]] constexpr std::array<bool, 48> MakeSecondReads() {
    std::array<bool, 48> second{};
    std::array<bool, 32> seen{};
    for (std::size_t i = 0; i < 48; ++i) {
        const auto slice = static_cast<std::size_t>(kExpansion[i] - 1);
        second[i] = seen[slice];
        seen[slice] = true;
    }
    return second;
}

inline constexpr std::array<bool, 48> kSecondReads = MakeSecondReads();

// The S-box input that first reads each slice.
[[nodiscard]] constexpr std::array<std::size_t, 32> MakeFirstReads() {
    std::array<std::size_t, 32> first{};
    for (std::size_t i = 48; i-- > 0;) {
        first[static_cast<std::size_t>(kExpansion[i] - 1)] = i;
    }
    return first;
}

inline constexpr std::array<std::size_t, 32> kFirstReads = MakeFirstReads();

struct BitsliceRoundKeys {
    // Per S-box input: its key bit against the mask its slice carries; zero for the first reads
    // of a round that is not full, which the kernels do not XOR.
    std::array<std::uint32_t, 48> inputs;
    // Per target slice: the mask it carries before the round against the mask after it.
    std::array<std::uint32_t, 32> outputs;
};

struct BitsliceKeys {
    std::array<BitsliceRoundKeys, kBitsliceRounds> rounds;
};

// From the 48 rounds' subkeys of triple-DES encryption, two words per round (DesCore.h).
void MakeBitsliceKeys(const std::uint32_t* subkeys, BitsliceKeys& keys) noexcept;

// Bitsliced triple-DES decryption, one bit of many blocks per register bit: 512 blocks at a time
// on AVX-512 (F and BW), 256 on AVX2, 128 on SSE2. Each Available function says whether this build carries
// that kernel; each kernel may only be called when the processor has its instruction set.
//
// A kernel decrypts blocks laid out as on disk under keys from MakeBitsliceKeys. It works from
// the front and returns how many blocks it did: a remainder too short to be worth a whole batch
// is left to the caller. Where mask is not null, each block is XORed with the block at the same
// place in mask before it is stored. in and out may be the same buffer but must not otherwise overlap; out and mask must not
// overlap at all.
[[nodiscard]] bool BitsliceAvx512Available() noexcept;
[[nodiscard]] std::size_t BitsliceAvx512DecryptBlocks(const BitsliceKeys& keys, const std::uint8_t* in,
                                                      const std::uint8_t* mask, std::uint8_t* out, std::size_t blockCount) noexcept;

[[nodiscard]] bool BitsliceAvx2Available() noexcept;
[[nodiscard]] std::size_t BitsliceAvx2DecryptBlocks(const BitsliceKeys& keys, const std::uint8_t* in,
                                                    const std::uint8_t* mask, std::uint8_t* out, std::size_t blockCount) noexcept;

[[nodiscard]] bool BitsliceSse2Available() noexcept;
[[nodiscard]] std::size_t BitsliceSse2DecryptBlocks(const BitsliceKeys& keys, const std::uint8_t* in,
                                                    const std::uint8_t* mask, std::uint8_t* out, std::size_t blockCount) noexcept;

}  // namespace morvex::des
