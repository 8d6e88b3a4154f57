// Compiled with AVX-512 F, BW and VL enabled; called only when the processor reports them.
// GCC 12 takes the placeholder source operand inside some AVX-512 intrinsics for an uninitialised
// read once sanitizers instrument the code; the operand is never read. Silenced here only.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>

#include "ciphers/IdeaLanes.h"
#include "ciphers/IdeaSimd.h"

namespace morvex {

namespace {

struct Avx512Ops {
    using Vec = __m512i;
    static constexpr std::size_t kLanes = 32;

    [[nodiscard]] static Vec Splat(const std::uint16_t k) { return _mm512_set1_epi16(static_cast<short>(k)); }
    // 1 - k: the product when the other factor stands for 65536, i.e. is -1 modulo 65537.
    [[nodiscard]] static Vec MulAux(const std::uint16_t k) { return Splat(static_cast<std::uint16_t>(1U - k)); }
    [[nodiscard]] static Vec Add(const Vec a, const Vec b) { return _mm512_add_epi16(a, b); }
    [[nodiscard]] static Vec Xor(const Vec a, const Vec b) { return _mm512_xor_si512(a, b); }

    // With both factors nonzero, the product hi * 65536 + lo is congruent to lo - hi, as 65536 is -1
    // modulo 65537; a negative difference wants 65537 added, which on 16 bits is 1. lo equals hi
    // only when a factor is 0 (65537 is prime, so it divides no product of two smaller numbers),
    // and then the result is 1 - x - k.
    [[nodiscard]] static Vec Mul(const Vec x, const Vec k, const Vec oneMinusK) {
        const Vec lo = _mm512_mullo_epi16(x, k);
        const Vec hi = _mm512_mulhi_epu16(x, k);
        const Vec difference = _mm512_sub_epi16(lo, hi);
        const __mmask32 borrow = _mm512_cmplt_epu16_mask(lo, hi);
        const Vec reduced = _mm512_mask_add_epi16(difference, borrow, difference, _mm512_set1_epi16(1));
        const __mmask32 zeroFactor = _mm512_cmpeq_epi16_mask(lo, hi);
        return _mm512_mask_sub_epi16(reduced, zeroFactor, oneMinusK, x);
    }

    // Within each 128-bit lane, two blocks from each of the four vectors; the unpacks gather word j
    // of all eight into one vector. Blocks end up in some fixed order across lanes, which Store undoes.
    static void Load(const std::uint8_t* bytes, Vec& x1, Vec& x2, Vec& x3, Vec& x4) {
        const Vec b0 = _mm512_loadu_si512(bytes);
        const Vec b1 = _mm512_loadu_si512(bytes + 64);
        const Vec b2 = _mm512_loadu_si512(bytes + 128);
        const Vec b3 = _mm512_loadu_si512(bytes + 192);
        const Vec p0 = _mm512_unpacklo_epi16(b0, b1);
        const Vec p1 = _mm512_unpackhi_epi16(b0, b1);
        const Vec p2 = _mm512_unpacklo_epi16(b2, b3);
        const Vec p3 = _mm512_unpackhi_epi16(b2, b3);
        const Vec q0 = _mm512_unpacklo_epi16(p0, p1);
        const Vec q1 = _mm512_unpackhi_epi16(p0, p1);
        const Vec q2 = _mm512_unpacklo_epi16(p2, p3);
        const Vec q3 = _mm512_unpackhi_epi16(p2, p3);
        x4 = _mm512_unpacklo_epi64(q0, q2);
        x3 = _mm512_unpackhi_epi64(q0, q2);
        x2 = _mm512_unpacklo_epi64(q1, q3);
        x1 = _mm512_unpackhi_epi64(q1, q3);
    }

    static void Store(std::uint8_t* bytes, const Vec y1, const Vec y2, const Vec y3, const Vec y4) {
        const Vec r0 = _mm512_unpacklo_epi16(y4, y3);
        const Vec r1 = _mm512_unpacklo_epi16(y2, y1);
        const Vec r2 = _mm512_unpackhi_epi16(y4, y3);
        const Vec r3 = _mm512_unpackhi_epi16(y2, y1);
        _mm512_storeu_si512(bytes, _mm512_unpacklo_epi32(r0, r1));
        _mm512_storeu_si512(bytes + 64, _mm512_unpackhi_epi32(r0, r1));
        _mm512_storeu_si512(bytes + 128, _mm512_unpacklo_epi32(r2, r3));
        _mm512_storeu_si512(bytes + 192, _mm512_unpackhi_epi32(r2, r3));
    }
};

}  // namespace

void IdeaCryptBlocksAvx512(const std::uint16_t* subkeys, const std::uint8_t* in, std::uint8_t* out,
                           const std::size_t blockCount) {
    IdeaLaneCryptBlocks<Avx512Ops, 4>(subkeys, in, out, blockCount);
}

}  // namespace morvex
