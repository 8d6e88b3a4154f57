#include "ciphers/TripleDesBitslice.h"

// Bitsliced triple-DES decryption on AVX-512 registers: 512 blocks at a time, each gate of the
// S-box circuits one vpternlog. This file is compiled with AVX-512 enabled and is entered only
// after the processor has been found to have it.

#if defined(__AVX512F__) && defined(__AVX512BW__)

#include <immintrin.h>

#include "base/ByteOrder.h"
#include "ciphers/TripleDesBitsliceKernel.h"

namespace morvex::des {
namespace {

struct Avx512 {
    using Reg = __m512i;
    static constexpr std::size_t kWords = 8;
    [[nodiscard]] static Reg Load(const std::uint64_t* p) { return _mm512_loadu_si512(p); }
    static void Store(std::uint64_t* p, Reg v) { _mm512_storeu_si512(p, v); }
    [[nodiscard]] static Reg Xor(Reg a, Reg b) { return _mm512_xor_si512(a, b); }
    [[nodiscard]] static Reg Broadcast(std::uint32_t w) { return _mm512_set1_epi32(static_cast<int>(w)); }
    template <int kTable>
    [[nodiscard]] static Reg Ternary(Reg a, Reg b, Reg c) {
        return _mm512_ternarylogic_epi64(a, b, c, kTable);
    }
};

using State = Halves<Avx512>;

// Below this many blocks the table-driven path beats a padded batch (from the measured speed of
// both here: a batch costs as much as this many blocks on that path).
constexpr std::size_t kMinPaddedBlocks = 56;

// Within each register of eight blocks, gathers byte b of all eight into word b: first each
// 128-bit lane pairs up byte b of its two blocks, then the pairs are moved into place (AVX-512 BW
// has no byte permutation across lanes). Spread undoes Gather.
struct ByteShuffles {
    __m512i pairUp;
    __m512i pairsToWords;
    __m512i wordsToPairs;
    __m512i unpair;
};

// The shuffles' index vectors, made at compile time: built on the stack at run time, each was
// written in halves and read back whole, a store the processor cannot forward.
struct alignas(64) ShuffleTables {
    std::array<std::uint8_t, 64> pairUp{};
    std::array<std::uint8_t, 64> unpair{};
    std::array<std::uint16_t, 32> toWords{};
    std::array<std::uint16_t, 32> toPairs{};
};

[[nodiscard]] constexpr ShuffleTables MakeShuffleTables() {
    ShuffleTables t;
    for (std::size_t lane = 0; lane < 4; ++lane) {
        for (std::size_t b = 0; b < 8; ++b) {
            for (std::size_t k = 0; k < 2; ++k) {
                t.pairUp[16 * lane + 2 * b + k] = static_cast<std::uint8_t>(8 * k + b);
                t.unpair[16 * lane + 8 * k + b] = static_cast<std::uint8_t>(2 * b + k);
            }
            t.toWords[4 * b + lane] = static_cast<std::uint16_t>(8 * lane + b);
            t.toPairs[8 * lane + b] = static_cast<std::uint16_t>(4 * b + lane);
        }
    }
    return t;
}

constexpr ShuffleTables kShuffleTables = MakeShuffleTables();

[[nodiscard]] ByteShuffles MakeByteShuffles() {
    return {_mm512_loadu_si512(kShuffleTables.pairUp.data()), _mm512_loadu_si512(kShuffleTables.toWords.data()),
            _mm512_loadu_si512(kShuffleTables.toPairs.data()), _mm512_loadu_si512(kShuffleTables.unpair.data())};
}

[[nodiscard]] inline __m512i Gather(const ByteShuffles& s, __m512i v) {
    return _mm512_permutexvar_epi16(s.pairsToWords, _mm512_shuffle_epi8(v, s.pairUp));
}

[[nodiscard]] inline __m512i Spread(const ByteShuffles& s, __m512i v) {
    return _mm512_shuffle_epi8(_mm512_permutexvar_epi16(s.wordsToPairs, v), s.unpair);
}

// Register r, word c becomes register c, word r: three butterfly stages that exchange blocks of
// 1, 2 and 4 words between registers; its own inverse.
struct alignas(64) Butterfly {
    std::array<std::uint64_t, 8> low{};
    std::array<std::uint64_t, 8> high{};
};

// Stage s exchanges blocks of d = 2^s words.
[[nodiscard]] constexpr std::array<Butterfly, 3> MakeButterflies() {
    std::array<Butterfly, 3> stages{};
    for (std::size_t s = 0; s < 3; ++s) {
        const std::size_t d = std::size_t{1} << s;
        for (std::size_t q = 0; q < 8; ++q) {
            const bool upper = (q & d) != 0;
            stages[s].low[q] = upper ? 8 + q - d : q;
            stages[s].high[q] = upper ? 8 + q : q + d;
        }
    }
    return stages;
}

constexpr std::array<Butterfly, 3> kButterflies = MakeButterflies();

// Unrolled like the loops around it, so that the eight registers never leave the register file.
inline void TransposeWords(__m512i (&v)[8]) {
#pragma GCC unroll 3
    for (std::size_t s = 0; s < 3; ++s) {
        const std::size_t d = std::size_t{1} << s;
        const __m512i lowIndex = _mm512_loadu_si512(kButterflies[s].low.data());
        const __m512i highIndex = _mm512_loadu_si512(kButterflies[s].high.data());
#pragma GCC unroll 8
        for (std::size_t a = 0; a < 8; ++a) {
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
void LoadGroup(const std::uint8_t* in, std::size_t group, State& state, const ByteShuffles& shuffles) {
    __m512i v[8];
#pragma GCC unroll 8
    for (std::size_t k = 0; k < 8; ++k) {
        v[k] = Gather(shuffles, _mm512_loadu_si512(in + 64 * k));
    }
    TransposeWords(v);  // now byte j of v[b] is byte b of block j
    // Unrolled, every slot below is a constant; looped, finding it cost more than the test itself.
#pragma GCC unroll 8
    for (int b = 0; b < 8; ++b) {
#pragma GCC unroll 8
        for (int bit = 0; bit < 8; ++bit) {
            const __mmask64 m = _mm512_test_epi8_mask(v[static_cast<std::size_t>(b)], _mm512_set1_epi8(static_cast<char>(1 << bit)));
            const std::size_t slot = kInputSlots[static_cast<std::size_t>(StandardBit(b, bit) - 1)];
            state.half[slot / 32][slot % 32][group] = _cvtmask64_u64(m);
        }
    }
}

// The preoutput (R16 in half `first`) through IP^-1, from word `group` of every slice, out as 64 blocks.
void StoreGroup(const State& state, std::size_t first, std::size_t group, const std::uint8_t* mask, std::uint8_t* out,
                const ByteShuffles& shuffles) {
    __m512i v[8];
#pragma GCC unroll 8
    for (int b = 0; b < 8; ++b) {
        __m512i bytes = _mm512_setzero_si512();
#pragma GCC unroll 8
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
#pragma GCC unroll 8
    for (std::size_t k = 0; k < 8; ++k) {
        __m512i blocks = Spread(shuffles, v[k]);
        if (mask != nullptr) {
            blocks = _mm512_xor_si512(blocks, _mm512_loadu_si512(mask + 64 * k));
        }
        _mm512_storeu_si512(out + 64 * k, blocks);
    }
}

struct Batch512 {
    static constexpr std::size_t kBlocks = 512;

    static void Load(const std::uint8_t* in, State& state) {
        const ByteShuffles shuffles = MakeByteShuffles();
        for (std::size_t g = 0; g < Avx512::kWords; ++g) {
            LoadGroup(in + 64 * kBlockBytes * g, g, state, shuffles);
        }
    }

    static void Store(const State& state, std::size_t first, const std::uint8_t* mask, std::uint8_t* out) {
        const ByteShuffles shuffles = MakeByteShuffles();
        for (std::size_t g = 0; g < Avx512::kWords; ++g) {
            const std::size_t at = 64 * kBlockBytes * g;
            StoreGroup(state, first, g, mask == nullptr ? nullptr : mask + at, out + at, shuffles);
        }
    }
};

}  // namespace

bool BitsliceAvx512Available() noexcept { return true; }

std::size_t BitsliceAvx512DecryptBlocks(const BitsliceKeys& keys, const std::uint8_t* in, const std::uint8_t* mask,
                                        std::uint8_t* out, std::size_t blockCount) noexcept {
    return DecryptInBatches<Avx512, Batch512>(keys, in, mask, out, blockCount, kMinPaddedBlocks);
}

}  // namespace morvex::des

#else

namespace morvex::des {

bool BitsliceAvx512Available() noexcept { return false; }

std::size_t BitsliceAvx512DecryptBlocks(const BitsliceKeys&, const std::uint8_t*, const std::uint8_t*, std::uint8_t*,
                                        std::size_t) noexcept {
    return 0;
}

}  // namespace morvex::des

#endif
