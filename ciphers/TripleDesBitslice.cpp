#include "ciphers/TripleDesBitslice.h"

// Bitsliced triple-DES decryption. Register bit j of slice n holds standard bit n of block j, so a
// permutation costs nothing (it only renames slices) and each S-box becomes boolean logic on whole
// registers: 512 blocks go through a round at once. Every S-box output bit is a function of six
// inputs, evaluated as eight three-input functions of x4, x5, x6 (one vpternlog each, its truth
// table taken from the S-box) merged by a tree of multiplexers on x3, x2 and x1.
//
// This file is compiled with AVX-512 enabled and is entered only after the processor has been
// found to have it. It defines no inline function shared with other files, so no AVX-512 code can
// stand in for a portable copy at link time.

#if defined(__AVX512F__) && defined(__AVX512BW__)

#include <immintrin.h>

#include <array>
#include <cstring>
#include <utility>

#include "ciphers/DesCore.h"
#include "ciphers/DesTables.h"
#include "keys/SecureWipe.h"

namespace morvex::des {
namespace {

constexpr std::size_t kBatchBlocks = 512;
constexpr std::size_t kGroups = kBatchBlocks / 64;  // 64-bit lanes per register
constexpr std::size_t kRounds = 48;
// Below this many blocks a padded batch costs more than the table-driven path.
constexpr std::size_t kMinPaddedBlocks = 96;

// One slice: 512 bits, kGroups words of 64 blocks each.
using Slice = std::array<std::uint64_t, kGroups>;

struct alignas(64) Halves {
    std::array<std::array<Slice, 32>, 2> half;
};

// ---- Truth tables for vpternlog, from the S-boxes ----

constexpr int kMux = 0xCA;  // a ? b : c

// Output bit `bit` (0 = most significant) of S-box `box` when x1 x2 x3 = prefix, as a function of
// (x4, x5, x6) in vpternlog's operand order.
[[nodiscard]] constexpr int LeafTruthTable(int box, int bit, int prefix) {
    int table = 0;
    for (int low = 0; low < 8; ++low) {
        const int x = (prefix << 3) | low;
        const int row = ((x >> 4) & 2) | (x & 1);
        const int column = (x >> 1) & 15;
        const int value =
            kSBoxes[static_cast<std::size_t>(box)][static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
        table |= ((value >> (3 - bit)) & 1) << low;
    }
    return table;
}

// Where S-box output position m (1 to 32) lands after P, 0-based.
[[nodiscard]] constexpr std::size_t AfterP(int m) {
    for (std::size_t i = 0; i < kPermutation.size(); ++i) {
        if (kPermutation[i] == m) {
            return i;
        }
    }
    return 0;
}

template <int kTable>
[[nodiscard]] inline __m512i Ternary(__m512i a, __m512i b, __m512i c) {
    return _mm512_ternarylogic_epi64(a, b, c, kTable);
}

template <int kBox, int kBit>
[[nodiscard]] inline __m512i OutputBit(__m512i x1, __m512i x2, __m512i x3, __m512i x4, __m512i x5, __m512i x6) {
    const __m512i f0 = Ternary<LeafTruthTable(kBox, kBit, 0)>(x4, x5, x6);
    const __m512i f1 = Ternary<LeafTruthTable(kBox, kBit, 1)>(x4, x5, x6);
    const __m512i f2 = Ternary<LeafTruthTable(kBox, kBit, 2)>(x4, x5, x6);
    const __m512i f3 = Ternary<LeafTruthTable(kBox, kBit, 3)>(x4, x5, x6);
    const __m512i f4 = Ternary<LeafTruthTable(kBox, kBit, 4)>(x4, x5, x6);
    const __m512i f5 = Ternary<LeafTruthTable(kBox, kBit, 5)>(x4, x5, x6);
    const __m512i f6 = Ternary<LeafTruthTable(kBox, kBit, 6)>(x4, x5, x6);
    const __m512i f7 = Ternary<LeafTruthTable(kBox, kBit, 7)>(x4, x5, x6);
    const __m512i g0 = Ternary<kMux>(x3, f1, f0);
    const __m512i g1 = Ternary<kMux>(x3, f3, f2);
    const __m512i g2 = Ternary<kMux>(x3, f5, f4);
    const __m512i g3 = Ternary<kMux>(x3, f7, f6);
    const __m512i h0 = Ternary<kMux>(x2, g1, g0);
    const __m512i h1 = Ternary<kMux>(x2, g3, g2);
    return Ternary<kMux>(x1, h1, h0);
}

[[nodiscard]] inline __m512i LoadSlice(const Slice& s) { return _mm512_load_si512(s.data()); }

inline void XorIntoSlice(Slice& s, __m512i v) {
    _mm512_store_si512(s.data(), _mm512_xor_si512(_mm512_load_si512(s.data()), v));
}

// keyMasks: 48 words, all ones where the round's subkey bit is 1.
template <int kBox>
inline void BoxStep(std::array<Slice, 32>& target, const std::array<Slice, 32>& source, const std::uint32_t* keyMasks) {
    constexpr std::size_t b = 6 * kBox;
    const auto input = [&](std::size_t t) {
        return _mm512_xor_si512(LoadSlice(source[kExpansion[b + t] - 1u]),
                                _mm512_set1_epi32(static_cast<int>(keyMasks[b + t])));
    };
    const __m512i x1 = input(0);
    const __m512i x2 = input(1);
    const __m512i x3 = input(2);
    const __m512i x4 = input(3);
    const __m512i x5 = input(4);
    const __m512i x6 = input(5);
    XorIntoSlice(target[AfterP(4 * kBox + 1)], OutputBit<kBox, 0>(x1, x2, x3, x4, x5, x6));
    XorIntoSlice(target[AfterP(4 * kBox + 2)], OutputBit<kBox, 1>(x1, x2, x3, x4, x5, x6));
    XorIntoSlice(target[AfterP(4 * kBox + 3)], OutputBit<kBox, 2>(x1, x2, x3, x4, x5, x6));
    XorIntoSlice(target[AfterP(4 * kBox + 4)], OutputBit<kBox, 3>(x1, x2, x3, x4, x5, x6));
}

template <std::size_t... kBoxes>
inline void RoundSteps(std::array<Slice, 32>& target, const std::array<Slice, 32>& source, const std::uint32_t* keyMasks,
                       std::index_sequence<kBoxes...>) {
    (BoxStep<static_cast<int>(kBoxes)>(target, source, keyMasks), ...);
}

void Round(std::array<Slice, 32>& target, const std::array<Slice, 32>& source, const std::uint32_t* keyMasks) {
    RoundSteps(target, source, keyMasks, std::make_index_sequence<8>{});
}

// ---- Between the on-disk layout and slices ----

// Standard bit (1 to 64) of bit `bit` (0 = least significant) of byte `byte` of a block on disk:
// bytes 0 to 3 are w0, least significant first, and w0 is bits 1 to 32.
[[nodiscard]] constexpr int StandardBit(int byte, int bit) {
    const int base = byte < 4 ? 1 + 8 * (3 - byte) : 33 + 8 * (7 - byte);
    return base + 7 - bit;
}

// Where input bit n lands after IP: (half, index) packed as half * 32 + index.
[[nodiscard]] constexpr std::array<std::uint8_t, 64> InputSlots() {
    std::array<std::uint8_t, 64> slots{};
    for (std::size_t q = 0; q < 64; ++q) {
        slots[kInitialPermutation[q] - 1u] = static_cast<std::uint8_t>(q);
    }
    return slots;
}

// Which preoutput slice output bit n comes from: the preoutput is R16 (half 0 here) then L16.
[[nodiscard]] constexpr std::array<std::uint8_t, 64> OutputSlots() {
    std::array<std::uint8_t, 64> slots{};
    for (std::size_t i = 0; i < 64; ++i) {
        slots[i] = static_cast<std::uint8_t>(kInverseInitialPermutation[i] - 1u);
    }
    return slots;
}

constexpr std::array<std::uint8_t, 64> kInputSlots = InputSlots();
constexpr std::array<std::uint8_t, 64> kOutputSlots = OutputSlots();

// Within each register of eight blocks, gathers byte b of all eight into word b: first each
// 128-bit lane pairs up byte b of its two blocks, then the pairs are moved into place (AVX-512 BW
// has no byte permutation across lanes). Spread undoes Gather.
struct ByteShuffles {
    __m512i pairUp;
    __m512i pairsToWords;
    __m512i wordsToPairs;
    __m512i unpair;
};

[[nodiscard]] ByteShuffles MakeByteShuffles() {
    alignas(64) std::uint8_t pairUp[64] = {};
    alignas(64) std::uint8_t unpair[64] = {};
    alignas(64) std::uint16_t toWords[32] = {};
    alignas(64) std::uint16_t toPairs[32] = {};
    for (std::size_t lane = 0; lane < 4; ++lane) {
        for (std::size_t b = 0; b < 8; ++b) {
            for (std::size_t k = 0; k < 2; ++k) {
                pairUp[16 * lane + 2 * b + k] = static_cast<std::uint8_t>(8 * k + b);
                unpair[16 * lane + 8 * k + b] = static_cast<std::uint8_t>(2 * b + k);
            }
            toWords[4 * b + lane] = static_cast<std::uint16_t>(8 * lane + b);
            toPairs[8 * lane + b] = static_cast<std::uint16_t>(4 * b + lane);
        }
    }
    return {_mm512_load_si512(pairUp), _mm512_load_si512(toWords), _mm512_load_si512(toPairs),
            _mm512_load_si512(unpair)};
}

[[nodiscard]] inline __m512i Gather(const ByteShuffles& s, __m512i v) {
    return _mm512_permutexvar_epi16(s.pairsToWords, _mm512_shuffle_epi8(v, s.pairUp));
}

[[nodiscard]] inline __m512i Spread(const ByteShuffles& s, __m512i v) {
    return _mm512_shuffle_epi8(_mm512_permutexvar_epi16(s.wordsToPairs, v), s.unpair);
}

// Register r, word c becomes register c, word r: three butterfly stages that exchange blocks of
// 1, 2 and 4 words between registers; its own inverse.
inline void TransposeWords(__m512i (&v)[8]) {
    for (int d = 1; d < 8; d *= 2) {
        alignas(64) std::array<std::uint64_t, 8> low{};
        alignas(64) std::array<std::uint64_t, 8> high{};
        for (int q = 0; q < 8; ++q) {
            const bool upper = (q & d) != 0;
            low[static_cast<std::size_t>(q)] = static_cast<std::uint64_t>(upper ? 8 + q - d : q);
            high[static_cast<std::size_t>(q)] = static_cast<std::uint64_t>(upper ? 8 + q : q + d);
        }
        const __m512i lowIndex = _mm512_load_si512(low.data());
        const __m512i highIndex = _mm512_load_si512(high.data());
        for (int a = 0; a < 8; ++a) {
            if ((a & d) == 0) {
                const __m512i x = v[a];
                const __m512i y = v[a + d];
                v[a] = _mm512_permutex2var_epi64(x, lowIndex, y);
                v[a + d] = _mm512_permutex2var_epi64(x, highIndex, y);
            }
        }
    }
}

// 64 blocks from `in` into word `group` of every slice, already through IP.
void LoadGroup(const std::uint8_t* in, std::size_t group, Halves& state, const ByteShuffles& shuffles) {
    __m512i v[8];
    for (std::size_t k = 0; k < 8; ++k) {
        v[k] = Gather(shuffles, _mm512_loadu_si512(in + 64 * k));
    }
    TransposeWords(v);  // now byte j of v[b] is byte b of block j
    for (int b = 0; b < 8; ++b) {
        for (int bit = 0; bit < 8; ++bit) {
            const __mmask64 m = _mm512_test_epi8_mask(v[static_cast<std::size_t>(b)], _mm512_set1_epi8(static_cast<char>(1 << bit)));
            const std::size_t slot = kInputSlots[static_cast<std::size_t>(StandardBit(b, bit) - 1)];
            state.half[slot / 32][slot % 32][group] = _cvtmask64_u64(m);
        }
    }
}

// The preoutput (R16 in half `first`) through IP^-1, from word `group` of every slice, out as 64 blocks.
void StoreGroup(const Halves& state, std::size_t first, std::size_t group, std::uint8_t* out, const ByteShuffles& shuffles) {
    __m512i v[8];
    for (int b = 0; b < 8; ++b) {
        __m512i bytes = _mm512_setzero_si512();
        for (int bit = 0; bit < 8; ++bit) {
            const std::size_t slot = kOutputSlots[static_cast<std::size_t>(StandardBit(b, bit) - 1)];
            const std::size_t halfIndex = slot < 32 ? first : 1 - first;
            const __mmask64 m = _cvtu64_mask64(state.half[halfIndex][slot % 32][group]);
            // The bits are distinct, so adding them is OR-ing them in.
            bytes = _mm512_mask_add_epi8(bytes, m, bytes, _mm512_set1_epi8(static_cast<char>(1 << bit)));
        }
        v[static_cast<std::size_t>(b)] = bytes;
    }
    TransposeWords(v);
    for (std::size_t k = 0; k < 8; ++k) {
        _mm512_storeu_si512(out + 64 * k, Spread(shuffles, v[k]));
    }
}

using KeyMasks = std::array<std::uint32_t, kRounds * 48>;

// The subkey bits of decryption round n (encryption round 48 - n) as whole-word masks, in S-box
// input order.
void MakeKeyMasks(const std::uint32_t* subkeys, KeyMasks& masks) {
    for (std::size_t n = 0; n < kRounds; ++n) {
        const std::uint32_t* words = subkeys + 2 * (kRounds - 1 - n);
        for (int group = 0; group < 8; ++group) {
            const std::uint32_t word = words[detail::GroupFromPlainHalf(group) ? 0 : 1];
            for (int t = 0; t < 6; ++t) {
                const std::uint32_t bit = (word >> (detail::GroupShift(group) + 5 - t)) & 1u;
                masks[48 * n + static_cast<std::size_t>(6 * group + t)] = 0u - bit;
            }
        }
    }
}

void DecryptBatch(const KeyMasks& masks, const std::uint8_t* in, std::uint8_t* out, Halves& state) {
    const ByteShuffles shuffles = MakeByteShuffles();
    for (std::size_t g = 0; g < kGroups; ++g) {
        LoadGroup(in + 512 * g, g, state, shuffles);
    }
    std::size_t l = 0;
    std::size_t r = 1;
    for (std::size_t stage = 0; stage < 3; ++stage) {
        for (std::size_t i = 0; i < 16; i += 2) {
            const std::size_t round = 16 * stage + i;
            Round(state.half[l], state.half[r], masks.data() + 48 * round);
            Round(state.half[r], state.half[l], masks.data() + 48 * (round + 1));
        }
        std::swap(l, r);  // the preoutput (R16, L16) is the next stage's (L0, R0)
    }
    // After the last exchange half l holds R16, the first half of the preoutput.
    for (std::size_t g = 0; g < kGroups; ++g) {
        StoreGroup(state, l, g, out + 512 * g, shuffles);
    }
}

}  // namespace

bool BitsliceAvailable() noexcept { return true; }

std::size_t BitsliceDecryptBlocks(const std::uint32_t* subkeys, const std::uint8_t* in, std::uint8_t* out,
                                  std::size_t blockCount) noexcept {
    const std::size_t whole = blockCount / kBatchBlocks * kBatchBlocks;
    const std::size_t rest = blockCount - whole;
    if (whole == 0 && rest < kMinPaddedBlocks) {
        return 0;
    }
    KeyMasks masks{};
    MakeKeyMasks(subkeys, masks);
    Halves state{};
    for (std::size_t i = 0; i < whole; i += kBatchBlocks) {
        DecryptBatch(masks, in + i * 8, out + i * 8, state);
    }
    std::size_t done = whole;
    if (rest >= kMinPaddedBlocks) {
        alignas(64) std::array<std::uint8_t, kBatchBlocks * 8> padded{};
        std::memcpy(padded.data(), in + whole * 8, rest * 8);
        DecryptBatch(masks, padded.data(), padded.data(), state);
        std::memcpy(out + whole * 8, padded.data(), rest * 8);
        SecureWipe(padded.data(), padded.size());
        done = blockCount;
    }
    SecureWipe(masks.data(), sizeof masks);
    SecureWipe(&state, sizeof state);
    return done;
}

}  // namespace morvex::des

#else

namespace morvex::des {

bool BitsliceAvailable() noexcept { return false; }

std::size_t BitsliceDecryptBlocks(const std::uint32_t*, const std::uint8_t*, std::uint8_t*, std::size_t) noexcept {
    return 0;
}

}  // namespace morvex::des

#endif
