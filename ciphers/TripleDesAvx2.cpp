#include "ciphers/TripleDesBitslice.h"

// Bitsliced triple-DES decryption on AVX2 registers: 256 blocks at a time. This file is compiled
// with AVX2 enabled and is entered only after the processor has been found to have it.

#if defined(__AVX2__)

#include <immintrin.h>

#include "ciphers/TripleDesBitsliceKernel.h"

namespace morvex::des {
namespace {

struct Avx2Ops {
    using Reg = __m256i;
    static constexpr std::size_t kWords = 4;
    [[nodiscard]] static Reg Load(const std::uint64_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    static void Store(std::uint64_t* p, Reg v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
    [[nodiscard]] static Reg Xor(Reg a, Reg b) { return _mm256_xor_si256(a, b); }
    [[nodiscard]] static Reg And(Reg a, Reg b) { return _mm256_and_si256(a, b); }
    [[nodiscard]] static Reg AndNot(Reg a, Reg b) { return _mm256_andnot_si256(b, a); }
    [[nodiscard]] static Reg Or(Reg a, Reg b) { return _mm256_or_si256(a, b); }
    [[nodiscard]] static Reg Ones() { return _mm256_set1_epi32(-1); }
    [[nodiscard]] static Reg Zero() { return _mm256_setzero_si256(); }
    [[nodiscard]] static Reg Broadcast(std::uint32_t w) { return _mm256_set1_epi32(static_cast<int>(w)); }
};

struct Avx2 : Avx2Ops {
    template <int kTable>
    [[nodiscard]] static Reg Ternary(Reg a, Reg b, Reg c) {
        return SplitTernary<Avx2Ops>::template Ternary<kTable>(a, b, c);
    }
};

// Below this many blocks the table-driven path beats a padded batch (from the measured speed of
// both here: a batch costs as much as this many blocks on that path).
constexpr std::size_t kMinPaddedBlocks = 72;

}  // namespace

bool BitsliceAvx2Available() noexcept { return true; }

std::size_t BitsliceAvx2DecryptBlocks(const BitsliceKeys& keys, const std::uint8_t* in, const std::uint8_t* mask,
                                      std::uint8_t* out, std::size_t blockCount) noexcept {
    return DecryptInBatches<Avx2, TransposedBatch<Avx2>>(keys, in, mask, out, blockCount, kMinPaddedBlocks);
}

}  // namespace morvex::des

#else

namespace morvex::des {

bool BitsliceAvx2Available() noexcept { return false; }

std::size_t BitsliceAvx2DecryptBlocks(const BitsliceKeys&, const std::uint8_t*, const std::uint8_t*, std::uint8_t*,
                                      std::size_t) noexcept {
    return 0;
}

}  // namespace morvex::des

#endif
