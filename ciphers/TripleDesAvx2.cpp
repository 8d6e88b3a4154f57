#include "ciphers/TripleDesBitslice.h"

// Bitsliced triple-DES decryption on AVX2 registers: 256 blocks at a time. AVX2 has no three-input
// logic instruction, so each three-input function is split on its first input into two
// two-input functions, most of them one instruction, joined by a multiplexer. This file is
// compiled with AVX2 enabled and is entered only after the processor has been found to have it.

#if defined(__AVX2__)

#include <immintrin.h>

#include "ciphers/BlockBytes.h"
#include "ciphers/TripleDesBitsliceKernel.h"

namespace morvex::des {
namespace {

struct Avx2 {
    using Reg = __m256i;
    static constexpr std::size_t kWords = 4;
    [[nodiscard]] static Reg Load(const std::uint64_t* p) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(p)); }
    static void Store(std::uint64_t* p, Reg v) { _mm256_store_si256(reinterpret_cast<__m256i*>(p), v); }
    [[nodiscard]] static Reg Xor(Reg a, Reg b) { return _mm256_xor_si256(a, b); }
    [[nodiscard]] static Reg Broadcast(std::uint32_t w) { return _mm256_set1_epi32(static_cast<int>(w)); }

    // The two-input function of (b, c) whose truth table bit (b << 1 | c) is set where it is 1.
    template <int kTable>
    [[nodiscard]] static Reg Two(Reg b, Reg c) {
        const Reg ones = _mm256_set1_epi32(-1);
        if constexpr (kTable == 0x0) {
            return _mm256_setzero_si256();
        } else if constexpr (kTable == 0xF) {
            return ones;
        } else if constexpr (kTable == 0xA) {
            return c;
        } else if constexpr (kTable == 0xC) {
            return b;
        } else if constexpr (kTable == 0x5) {
            return _mm256_xor_si256(c, ones);
        } else if constexpr (kTable == 0x3) {
            return _mm256_xor_si256(b, ones);
        } else if constexpr (kTable == 0x8) {
            return _mm256_and_si256(b, c);
        } else if constexpr (kTable == 0xE) {
            return _mm256_or_si256(b, c);
        } else if constexpr (kTable == 0x6) {
            return _mm256_xor_si256(b, c);
        } else if constexpr (kTable == 0x4) {
            return _mm256_andnot_si256(c, b);  // b and not c
        } else if constexpr (kTable == 0x2) {
            return _mm256_andnot_si256(b, c);  // c and not b
        } else {
            // 0x1, 0x7, 0x9, 0xB, 0xD: the complements of 0xE, 0x8, 0x6, 0x4, 0x2.
            return _mm256_xor_si256(Two<0xF & ~kTable>(b, c), ones);
        }
    }

    template <int kTable>
    [[nodiscard]] static Reg Ternary(Reg a, Reg b, Reg c) {
        constexpr int kWhenClear = kTable & 0xF;
        constexpr int kWhenSet = kTable >> 4;
        const Reg clear = Two<kWhenClear>(b, c);
        if constexpr (kWhenClear == kWhenSet) {
            return clear;
        } else {
            const Reg set = Two<kWhenSet>(b, c);
            // a ? set : clear
            return _mm256_xor_si256(clear, _mm256_and_si256(a, _mm256_xor_si256(clear, set)));
        }
    }
};

using State = Halves<Avx2>;

// Below this many blocks a padded batch costs more than the table-driven path.
constexpr std::size_t kMinPaddedBlocks = 96;

// Transposes a 64 x 64 bit matrix, row r in m[r], column 0 its most significant bit: blocks of
// 32, 16, ..., 1 bits are exchanged across the diagonal in turn. Its own inverse.
void Transpose64(std::uint64_t (&m)[64]) {
    std::uint64_t mask = 0x00000000FFFFFFFFu;
    for (std::size_t j = 32; j != 0; j >>= 1, mask ^= mask << j) {
        for (std::size_t k = 0; k < 64; k = (k + j + 1) & ~j) {
            const std::uint64_t t = (m[k] ^ (m[k + j] >> j)) & mask;
            m[k] ^= t;
            m[k + j] ^= t << j;
        }
    }
}

struct Batch256 {
    static constexpr std::size_t kBlocks = 256;

    // Row j of a group is block j as one 64-bit number, standard bit 1 first; after the transpose
    // row k holds standard bit k + 1 of all 64 blocks.
    static void Load(const std::uint8_t* in, State& state) {
        for (std::size_t g = 0; g < Avx2::kWords; ++g) {
            std::uint64_t m[64];
            for (std::size_t j = 0; j < 64; ++j) {
                const std::uint8_t* p = in + (64 * g + j) * kBlockBytes;
                m[j] = (std::uint64_t{LoadWord(p)} << 32) | LoadWord(p + 4);
            }
            Transpose64(m);
            for (std::size_t k = 0; k < 64; ++k) {
                const std::size_t slot = kInputSlots[k];
                state.half[slot / 32][slot % 32][g] = m[k];
            }
        }
    }

    static void Store(const State& state, std::size_t first, std::uint8_t* out) {
        for (std::size_t g = 0; g < Avx2::kWords; ++g) {
            std::uint64_t m[64];
            for (std::size_t k = 0; k < 64; ++k) {
                const std::size_t slot = kOutputSlots[k];
                m[k] = state.half[slot < 32 ? first : 1 - first][slot % 32][g];
            }
            Transpose64(m);
            for (std::size_t j = 0; j < 64; ++j) {
                std::uint8_t* p = out + (64 * g + j) * kBlockBytes;
                StoreWord(p, static_cast<std::uint32_t>(m[j] >> 32));
                StoreWord(p + 4, static_cast<std::uint32_t>(m[j]));
            }
        }
    }
};

}  // namespace

bool BitsliceAvx2Available() noexcept { return true; }

std::size_t BitsliceAvx2DecryptBlocks(const std::uint32_t* subkeys, const std::uint8_t* in, std::uint8_t* out,
                                      std::size_t blockCount) noexcept {
    return DecryptInBatches<Avx2, Batch256>(subkeys, in, out, blockCount, kMinPaddedBlocks);
}

}  // namespace morvex::des

#else

namespace morvex::des {

bool BitsliceAvx2Available() noexcept { return false; }

std::size_t BitsliceAvx2DecryptBlocks(const std::uint32_t*, const std::uint8_t*, std::uint8_t*, std::size_t) noexcept {
    return 0;
}

}  // namespace morvex::des

#endif
