// Compiled with SSE2 enabled, the base of every x86-64 processor; called only when it is reported.
#include <emmintrin.h>

#include "ciphers/IdeaLanes.h"
#include "ciphers/IdeaSimd.h"

namespace morvex {

namespace {

struct Sse2Ops {
    using Vec = __m128i;
    static constexpr std::size_t kLanes = 8;

    [[nodiscard]] static Vec Splat(const std::uint16_t k) { return _mm_set1_epi16(static_cast<short>(k)); }
    // -k, so that 1 - x - k, the product when a factor stands for 65536, costs one subtraction.
    [[nodiscard]] static Vec MulAux(const std::uint16_t k) { return Splat(static_cast<std::uint16_t>(0U - k)); }
    [[nodiscard]] static Vec Add(const Vec a, const Vec b) { return _mm_add_epi16(a, b); }
    [[nodiscard]] static Vec Xor(const Vec a, const Vec b) { return _mm_xor_si128(a, b); }

    // As 65536 is -1 modulo 65537, the product hi * 65536 + lo of two nonzero factors is congruent
    // to lo - hi, plus 65537 (1 on 16 bits) when that is negative. lo equals hi only when a factor is
    // 0, since 65537 is prime; those lanes got 1 from the correction and want 1 - x - k.
    [[nodiscard]] static Vec Mul(const Vec x, const Vec k, const Vec minusK) {
        const Vec lo = _mm_mullo_epi16(x, k);
        const Vec hi = _mm_mulhi_epu16(x, k);
        const Vec notAbove = _mm_cmpeq_epi16(_mm_subs_epu16(lo, hi), _mm_setzero_si128());
        const Vec reduced = _mm_sub_epi16(_mm_sub_epi16(lo, hi), notAbove);
        const Vec zeroFactor = _mm_cmpeq_epi16(lo, hi);
        return _mm_add_epi16(reduced, _mm_and_si128(zeroFactor, _mm_sub_epi16(minusK, x)));
    }

    // Two blocks from each of the four vectors; the unpacks gather word j of all eight into one
    // vector. Blocks end up in some fixed order across lanes, which Store undoes.
    static void Load(const std::uint8_t* bytes, Vec& x1, Vec& x2, Vec& x3, Vec& x4) {
        const Vec b0 = _mm_loadu_si128(reinterpret_cast<const Vec*>(bytes));
        const Vec b1 = _mm_loadu_si128(reinterpret_cast<const Vec*>(bytes + 16));
        const Vec b2 = _mm_loadu_si128(reinterpret_cast<const Vec*>(bytes + 32));
        const Vec b3 = _mm_loadu_si128(reinterpret_cast<const Vec*>(bytes + 48));
        const Vec p0 = _mm_unpacklo_epi16(b0, b1);
        const Vec p1 = _mm_unpackhi_epi16(b0, b1);
        const Vec p2 = _mm_unpacklo_epi16(b2, b3);
        const Vec p3 = _mm_unpackhi_epi16(b2, b3);
        const Vec q0 = _mm_unpacklo_epi16(p0, p1);
        const Vec q1 = _mm_unpackhi_epi16(p0, p1);
        const Vec q2 = _mm_unpacklo_epi16(p2, p3);
        const Vec q3 = _mm_unpackhi_epi16(p2, p3);
        x4 = _mm_unpacklo_epi64(q0, q2);
        x3 = _mm_unpackhi_epi64(q0, q2);
        x2 = _mm_unpacklo_epi64(q1, q3);
        x1 = _mm_unpackhi_epi64(q1, q3);
    }

    static void Store(std::uint8_t* bytes, const Vec y1, const Vec y2, const Vec y3, const Vec y4) {
        const Vec r0 = _mm_unpacklo_epi16(y4, y3);
        const Vec r1 = _mm_unpacklo_epi16(y2, y1);
        const Vec r2 = _mm_unpackhi_epi16(y4, y3);
        const Vec r3 = _mm_unpackhi_epi16(y2, y1);
        _mm_storeu_si128(reinterpret_cast<Vec*>(bytes), _mm_unpacklo_epi32(r0, r1));
        _mm_storeu_si128(reinterpret_cast<Vec*>(bytes + 16), _mm_unpackhi_epi32(r0, r1));
        _mm_storeu_si128(reinterpret_cast<Vec*>(bytes + 32), _mm_unpacklo_epi32(r2, r3));
        _mm_storeu_si128(reinterpret_cast<Vec*>(bytes + 48), _mm_unpackhi_epi32(r2, r3));
    }
};

}  // namespace

void IdeaCryptBlocksSse2(const std::uint16_t* subkeys, const std::uint8_t* in, std::uint8_t* out,
                         const std::size_t blockCount) {
    IdeaLaneCryptBlocks<Sse2Ops, 3>(subkeys, in, out, blockCount);
}

}  // namespace morvex
