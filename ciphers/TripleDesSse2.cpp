#include "ciphers/TripleDesBitslice.h"

// Bitsliced triple-DES decryption on SSE2 registers: 128 blocks at a time. This file is compiled
// with SSE2 enabled and is entered only after the processor has been found to have it.

#if defined(__SSE2__)

#include <immintrin.h>

#include "ciphers/TripleDesBitsliceKernel.h"

namespace morvex::des {
namespace {

struct Sse2Ops {
    using Reg = __m128i;
    static constexpr std::size_t kWords = 2;
    [[nodiscard]] static Reg Load(const std::uint64_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
    static void Store(std::uint64_t* p, Reg v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
    [[nodiscard]] static Reg Xor(Reg a, Reg b) { return _mm_xor_si128(a, b); }
    [[nodiscard]] static Reg And(Reg a, Reg b) { return _mm_and_si128(a, b); }
    [[nodiscard]] static Reg AndNot(Reg a, Reg b) { return _mm_andnot_si128(b, a); }
    [[nodiscard]] static Reg Or(Reg a, Reg b) { return _mm_or_si128(a, b); }
    [[nodiscard]] static Reg Ones() { return _mm_set1_epi32(-1); }
    [[nodiscard]] static Reg Zero() { return _mm_setzero_si128(); }
    [[nodiscard]] static Reg Broadcast(std::uint32_t w) { return _mm_set1_epi32(static_cast<int>(w)); }
};

struct Sse2 : Sse2Ops {
    template <int kTable>
    [[nodiscard]] static Reg Ternary(Reg a, Reg b, Reg c) {
        return SplitTernary<Sse2Ops>::template Ternary<kTable>(a, b, c);
    }
};

// Below this many blocks the table-driven path beats a padded batch (from the measured speed of
// both here: a batch costs as much as this many blocks on that path).
constexpr std::size_t kMinPaddedBlocks = 60;

}  // namespace

bool BitsliceSse2Available() noexcept { return true; }

std::size_t BitsliceSse2DecryptBlocks(const BitsliceKeys& keys, const std::uint8_t* in, const std::uint8_t* mask,
                                      std::uint8_t* out, std::size_t blockCount) noexcept {
    return DecryptInBatches<Sse2, TransposedBatch<Sse2>>(keys, in, mask, out, blockCount, kMinPaddedBlocks);
}

}  // namespace morvex::des

#else

namespace morvex::des {

bool BitsliceSse2Available() noexcept { return false; }

std::size_t BitsliceSse2DecryptBlocks(const BitsliceKeys&, const std::uint8_t*, const std::uint8_t*, std::uint8_t*,
                                      std::size_t) noexcept {
    return 0;
}

}  // namespace morvex::des

#endif
