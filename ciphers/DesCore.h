#pragma once

// The fast DES core shared by single DES and triple-DES. Everything here is generated at compile
// time from the standard's tables in DesTables.h.
//
// The half-blocks are kept rotated left by one place ("rotated form"): standard bit 2 of a half in
// the most significant place, bit 1 in the least. In that form the six-bit groups that E feeds to
// the S-boxes are runs of adjacent bits: groups 8, 6, 4, 2 are the low six bits of the four bytes
// of the half, and groups 7, 5, 3, 1 those of the half rotated right by four. A round therefore
// needs no expansion step, only two XORs with the packed subkey, eight byte extractions and eight
// lookups in tables that hold each S-box already followed by P (and by the same rotation).

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "ciphers/DesTables.h"

namespace morvex::des {

// Sixteen rounds of subkeys; round n uses words 2n (groups 8, 6, 4, 2) and 2n + 1 (groups 7, 5, 3, 1),
// each group in the low six bits of one byte, in the byte the round reads it from.
inline constexpr std::size_t kRoundKeyWords = 32;
using RoundKeys = std::array<std::uint32_t, kRoundKeyWords>;

// The subkeys of all sixteen iterations, in encryption order, for the key (first, second).
[[nodiscard]] RoundKeys ExpandKey(std::uint32_t first, std::uint32_t second) noexcept;

// Hands x through unchanged but opaque to the optimiser. GCC's x86 tuning otherwise rebuilds every
// balanced XOR tree as one serial chain, which lines up the eight lookups of a round one after
// another on the path from each round to the next.
[[nodiscard]] inline std::uint64_t Opaque(std::uint64_t x) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    __asm__("" : "+r"(x));
#endif
    return x;
}

namespace detail {

// Group g (0-based: S-box g + 1) is read from the plain rotated half (odd g) or from the half rotated
// right by four (even g), at this bit offset.
[[nodiscard]] constexpr bool GroupFromPlainHalf(int group) { return group % 2 == 1; }
[[nodiscard]] constexpr int GroupShift(int group) { return 8 * ((7 - group) / 2); }

// Which standard bit of R (1 to 32) lands at bit `bit` (0 = least significant) of the extracted
// six-bit value of `group`, for a half held in rotated form.
[[nodiscard]] constexpr int ExtractedBitOfR(int group, int bit) {
    int wordBit = GroupShift(group) + bit;  // bit of the word the group is read from
    if (!GroupFromPlainHalf(group)) {
        wordBit = (wordBit + 4) % 32;  // that word is the rotated half rotated right by four
    }
    const int rotatedPosition = 32 - wordBit;  // standard numbering within the rotated half
    return rotatedPosition % 32 + 1;           // rotated position q holds bit q + 1 (32 holds 1)
}

[[nodiscard]] constexpr bool ExtractionMatchesExpansion() {
    for (int group = 0; group < 8; ++group) {
        for (int j = 0; j < 6; ++j) {  // j = 0 is the group's first bit, its most significant
            if (ExtractedBitOfR(group, 5 - j) != kExpansion[static_cast<std::size_t>(6 * group + j)]) {
                return false;
            }
        }
    }
    return true;
}
static_assert(ExtractionMatchesExpansion(), "the byte layout of a round must reproduce E exactly");

[[nodiscard]] constexpr bool SBoxRowsArePermutations() {
    for (const SBox& box : kSBoxes) {
        for (const auto& row : box) {
            unsigned seen = 0;
            for (const std::uint8_t v : row) {
                seen |= 1u << v;
            }
            if (seen != 0xffffu) {
                return false;
            }
        }
    }
    return true;
}
static_assert(SBoxRowsArePermutations(), "every row of every S-box holds each of 0 to 15 once");

[[nodiscard]] constexpr std::uint32_t BitAt32(int position) {  // standard numbering, 1 = most significant
    return std::uint32_t{1} << (32 - position);
}
[[nodiscard]] constexpr std::uint64_t BitAt64(int position) {
    return std::uint64_t{1} << (64 - position);
}

// Sk followed by P, in rotated form, indexed by the six input bits (first bit most significant).
using SpTables = std::array<std::array<std::uint32_t, 64>, 8>;

[[nodiscard]] constexpr SpTables MakeSpTables() {
    SpTables tables{};
    for (int k = 0; k < 8; ++k) {
        for (int x = 0; x < 64; ++x) {
            const int row = ((x >> 4) & 2) | (x & 1);
            const int column = (x >> 1) & 15;
            const std::uint32_t value =
                kSBoxes[static_cast<std::size_t>(k)][static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
            const std::uint32_t boxOutput = value << (28 - 4 * k);  // S-box output positions 4k + 1 to 4k + 4
            std::uint32_t permuted = 0;
            for (int i = 1; i <= 32; ++i) {
                if ((boxOutput & BitAt32(kPermutation[static_cast<std::size_t>(i - 1)])) != 0) {
                    permuted |= BitAt32(i);
                }
            }
            tables[static_cast<std::size_t>(k)][static_cast<std::size_t>(x)] = std::rotl(permuted, 1);
        }
    }
    return tables;
}

inline constexpr SpTables kSpTables = MakeSpTables();

// For the single-block path: each entry holds f's contribution twice, as in kSpTables in the low
// word and rotated right by four in the high word, and is indexed by a whole byte (its top two bits
// ignored). One lookup then serves both keyed forms of the next half (see LookupPair), and an index
// is a single byte move instead of a shift and a mask.
using SpPairTables = std::array<std::array<std::uint64_t, 256>, 8>;

[[nodiscard]] constexpr SpPairTables MakeSpPairTables() {
    SpPairTables tables{};
    for (std::size_t k = 0; k < 8; ++k) {
        for (std::size_t x = 0; x < 256; ++x) {
            const std::uint32_t v = kSpTables[k][x & 63];
            tables[k][x] = (std::uint64_t{std::rotr(v, 4)} << 32) | v;
        }
    }
    return tables;
}

alignas(64) inline constexpr SpPairTables kSpPairs = MakeSpPairTables();

// A 64-bit permutation as sixteen lookups, one per nibble of the input: output bit p (standard
// numbering) takes input bit source[p - 1].
using NibbleTables = std::array<std::array<std::uint64_t, 16>, 16>;

[[nodiscard]] constexpr NibbleTables MakeNibbleTables(const BitTable64& source) {
    NibbleTables tables{};
    for (int p = 1; p <= 64; ++p) {
        const int wordBit = 64 - source[static_cast<std::size_t>(p - 1)];
        for (int v = 0; v < 16; ++v) {
            if (((v >> (wordBit % 4)) & 1) != 0) {
                tables[static_cast<std::size_t>(wordBit / 4)][static_cast<std::size_t>(v)] |= BitAt64(p);
            }
        }
    }
    return tables;
}

// IP, giving L in the high word and R in the low word, both already in rotated form.
[[nodiscard]] constexpr BitTable64 InitialSource() {
    BitTable64 source{};
    for (int p = 1; p <= 64; ++p) {
        const int half = p > 32 ? 32 : 0;
        const int q = p - half;                   // position within the rotated half
        const int ipOutput = half + q % 32 + 1;   // which bit of IP's output it holds
        source[static_cast<std::size_t>(p - 1)] = kInitialPermutation[static_cast<std::size_t>(ipOutput - 1)];
    }
    return source;
}

// IP^-1 applied to the preoutput R16 L16 handed over in rotated form (R16 in the high word).
[[nodiscard]] constexpr BitTable64 FinalSource() {
    BitTable64 source{};
    for (int i = 1; i <= 64; ++i) {
        const int m = kInverseInitialPermutation[static_cast<std::size_t>(i - 1)];  // preoutput bit
        const int half = m > 32 ? 32 : 0;
        const int withinHalf = m - half;
        const int rotatedPosition = withinHalf == 1 ? 32 : withinHalf - 1;
        source[static_cast<std::size_t>(i - 1)] = static_cast<std::uint8_t>(half + rotatedPosition);
    }
    return source;
}

inline constexpr NibbleTables kInitialTables = MakeNibbleTables(InitialSource());
inline constexpr NibbleTables kFinalTables = MakeNibbleTables(FinalSource());

// A balanced tree, so the sixteen lookups do not wait on each other.
[[nodiscard]] inline std::uint64_t Permute(const NibbleTables& tables, std::uint64_t x) noexcept {
    const auto look = [&](std::size_t n) { return tables[n][(x >> (4 * n)) & 15]; };
    const std::uint64_t a = Opaque(Opaque(look(0) | look(1)) | Opaque(look(2) | look(3)));
    const std::uint64_t b = Opaque(Opaque(look(4) | look(5)) | Opaque(look(6) | look(7)));
    const std::uint64_t c = Opaque(Opaque(look(8) | look(9)) | Opaque(look(10) | look(11)));
    const std::uint64_t d = Opaque(Opaque(look(12) | look(13)) | Opaque(look(14) | look(15)));
    return Opaque(a | b) | Opaque(c | d);
}

}  // namespace detail

// The block (w0, w1) through IP; l and r come out in rotated form.
inline void InitialPermutation(std::uint32_t w0, std::uint32_t w1, std::uint32_t& l, std::uint32_t& r) noexcept {
    const std::uint64_t out = detail::Permute(detail::kInitialTables, (std::uint64_t{w0} << 32) | w1);
    l = static_cast<std::uint32_t>(out >> 32);
    r = static_cast<std::uint32_t>(out);
}

// The preoutput (R16, L16), in rotated form, through IP^-1.
inline void FinalPermutation(std::uint32_t r16, std::uint32_t l16, std::uint32_t& w0, std::uint32_t& w1) noexcept {
    const std::uint64_t out = detail::Permute(detail::kFinalTables, (std::uint64_t{r16} << 32) | l16);
    w0 = static_cast<std::uint32_t>(out >> 32);
    w1 = static_cast<std::uint32_t>(out);
}

// One iteration: target ^= f(source, subkey), both halves in rotated form.
inline void Round(std::uint32_t& target, std::uint32_t source, const std::uint32_t* subkey) noexcept {
    const auto& sp = detail::kSpTables;
    const std::uint32_t even = source ^ subkey[0];
    const std::uint32_t odd = std::rotr(source, 4) ^ subkey[1];
    target ^= sp[7][even & 63] ^ sp[5][(even >> 8) & 63] ^ sp[3][(even >> 16) & 63] ^ sp[1][(even >> 24) & 63] ^
              sp[6][odd & 63] ^ sp[4][(odd >> 8) & 63] ^ sp[2][(odd >> 16) & 63] ^ sp[0][(odd >> 24) & 63];
}

// A half in its paired keyed form: the half XOR subkey word 0 in the low word (the even groups) and
// the half rotated right by four XOR subkey word 1 in the high word (the odd groups).
[[nodiscard]] inline std::uint64_t KeyedPair(std::uint32_t half, const std::uint32_t* subkey) noexcept {
    return (std::uint64_t{std::rotr(half, 4) ^ subkey[1]} << 32) | (half ^ subkey[0]);
}

// target ^ f(R) keyed for the next round, given R as a keyed pair and the target half already
// keyed (KeyedPair) with the next round's subkey: f comes from the tables paired the same way. The
// lookups meet in a balanced tree, the ones whose index is a single byte move taken first.
[[nodiscard]] inline std::uint64_t XorLookupPair(std::uint64_t keyed, std::uint64_t keyedTarget) noexcept {
    const auto& t = detail::kSpPairs;
    const std::uint64_t s8 = t[7][keyed & 255];
    const std::uint64_t s6 = t[5][(keyed >> 8) & 255];
    const std::uint64_t s4 = t[3][(keyed >> 16) & 255];
    const std::uint64_t s2 = t[1][(keyed >> 24) & 255];
    const std::uint64_t s7 = t[6][(keyed >> 32) & 255];
    const std::uint64_t s5 = t[4][(keyed >> 40) & 255];
    const std::uint64_t s3 = t[2][(keyed >> 48) & 255];
    const std::uint64_t s1 = t[0][keyed >> 56];
    const std::uint64_t early = Opaque(Opaque(keyedTarget ^ s8) ^ Opaque(s6 ^ s1));
    return Opaque(Opaque(early ^ s3) ^ Opaque(Opaque(s4 ^ s2) ^ Opaque(s7 ^ s5)));
}

// Sixteen iterations with the subkeys found from `keys` on, two words apart in the direction of
// kStep (2 for encryption order, -2 to walk a schedule backwards). On return l holds L16 and r R16,
// so the preoutput is (r, l).
template <int kStep>
inline void SixteenRounds(std::uint32_t& l, std::uint32_t& r, const std::uint32_t* keys) noexcept {
    for (int i = 0; i < 8; ++i) {
        Round(l, r, keys);
        keys += kStep;
        Round(r, l, keys);
        keys += kStep;
    }
}

// Triple-DES as 48 rounds, each with its subkey pair (word 1 in the high half, as KeyedPair wants).
inline constexpr std::size_t kTripleRounds = 48;
using TripleRoundPairs = std::array<std::uint64_t, kTripleRounds>;

// The rounds of E_K3(D_K2(E_K1(x))) in the order encryption runs them: K1's schedule, K2's
// reversed (decryption with K2), K3's. Decryption runs the same rounds from the last to the first.
[[nodiscard]] inline TripleRoundPairs MakeTripleRoundPairs(const RoundKeys& k1, const RoundKeys& k2,
                                                           const RoundKeys& k3) noexcept {
    TripleRoundPairs pairs{};
    const auto pair = [](const RoundKeys& keys, std::size_t n) {
        return (std::uint64_t{keys[2 * n + 1]} << 32) | keys[2 * n];
    };
    for (std::size_t n = 0; n < 16; ++n) {
        pairs[n] = pair(k1, n);
        pairs[16 + n] = pair(k2, 15 - n);
        pairs[32 + n] = pair(k3, n);
    }
    return pairs;
}

namespace detail {

// A half in paired form: itself in the low word and rotated right by four in the high word. XOR
// with a round's key pair gives the keyed pair the lookups read, and since f arrives paired too,
// the pair of L ^ f(R) is the pair of L ^ f's pair: the halves never leave this form.
[[nodiscard]] constexpr std::uint64_t Paired(std::uint32_t half) noexcept {
    return (std::uint64_t{std::rotr(half, 4)} << 32) | half;
}

}  // namespace detail

// The 48 rounds of the three stages for kLanes independent blocks, between one IP and one IP^-1
// (each stage's IP^-1 and the next one's IP cancel). pairs points at the first round's key pair
// and is walked kStep pairs at a time. On entry target and source hold L0 and R0 in rotated form;
// on return they hold the preoutput, R16 and L16.
//
// Arranged for the shortest chain from one round to the next, which is all that matters when each
// block waits for the one before (CBC encryption): f is XORed straight into the target half already
// keyed with the next round's key, giving the next round's input, and the plain pair is recovered
// from it off that chain. With several lanes the processor works on the other blocks while one
// waits for its lookups. At a stage boundary the half just written is written again, from the
// same source.
template <int kStep, std::size_t kLanes>
inline void TripleRounds(std::uint32_t (&target)[kLanes], std::uint32_t (&source)[kLanes],
                         const std::uint64_t* pairs) noexcept {
    std::uint64_t targetPair[kLanes];
    std::uint64_t sourcePair[kLanes];
    std::uint64_t keyed[kLanes];
    for (std::size_t j = 0; j < kLanes; ++j) {
        targetPair[j] = detail::Paired(target[j]);
        sourcePair[j] = detail::Paired(source[j]);
        keyed[j] = sourcePair[j] ^ pairs[0];
    }
    for (int stage = 0; stage < 3; ++stage) {
        for (int i = 0; i < 15; ++i) {
            pairs += kStep;
            const std::uint64_t key = *pairs;
            for (std::size_t j = 0; j < kLanes; ++j) {
                keyed[j] = XorLookupPair(keyed[j], targetPair[j] ^ key);
                targetPair[j] = sourcePair[j];
                sourcePair[j] = keyed[j] ^ key;
            }
        }
        for (std::size_t j = 0; j < kLanes; ++j) {
            targetPair[j] = XorLookupPair(keyed[j], targetPair[j]);
        }
        if (stage < 2) {
            pairs += kStep;
            for (std::size_t j = 0; j < kLanes; ++j) {
                keyed[j] = sourcePair[j] ^ *pairs;
            }
        }
    }
    for (std::size_t j = 0; j < kLanes; ++j) {
        target[j] = static_cast<std::uint32_t>(targetPair[j]);
        source[j] = static_cast<std::uint32_t>(sourcePair[j]);
    }
}

// One block through all 48 rounds: kStep 1 from the first pair encrypts, -1 from the last decrypts.
template <int kStep>
inline void TripleBlock(const std::uint64_t* firstPair, std::uint32_t w0, std::uint32_t w1, std::uint32_t& out0,
                        std::uint32_t& out1) noexcept {
    std::uint32_t target[1];
    std::uint32_t source[1];
    InitialPermutation(w0, w1, target[0], source[0]);
    TripleRounds<kStep>(target, source, firstPair);
    FinalPermutation(target[0], source[0], out0, out1);
}

// CBC encryption with the chaining value kept as IP makes it, in rotated form: IP(m ^ c) is
// IP(m) ^ IP(c), and IP(c) for the block just encrypted is its preoutput, L being R16 and R L16.
// So the next block's IP and this block's IP^-1 stay off the chain from block to block. left and
// right stand for c; on return they stand for the block written to out.
inline void TripleBlockChained(const std::uint64_t* firstPair, std::uint32_t& left, std::uint32_t& right,
                               std::uint32_t w0, std::uint32_t w1, std::uint32_t& out0,
                               std::uint32_t& out1) noexcept {
    std::uint32_t target[1];
    std::uint32_t source[1];
    InitialPermutation(w0, w1, target[0], source[0]);
    target[0] ^= left;
    source[0] ^= right;
    TripleRounds<1>(target, source, firstPair);
    left = target[0];
    right = source[0];
    FinalPermutation(target[0], source[0], out0, out1);
}

}  // namespace morvex::des
