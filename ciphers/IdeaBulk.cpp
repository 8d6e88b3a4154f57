#include "ciphers/IdeaBulk.h"

#include "base/ByteOrder.h"
#include "ciphers/IdeaSimd.h"
#include "base/SecureWipe.h"

namespace morvex {

namespace {

// Several blocks in lockstep: one block alone is a chain of dependent multiplications, and
// independent chains side by side keep the multiplier busy.
constexpr std::size_t kPortableBatch = 8;

template <std::size_t kCount>
void IdeaCryptBatch(const IdeaWideSubkeys& z, const std::uint8_t* in, std::uint8_t* out) {
    using idea_detail::kLow16;
    using idea_detail::MulLow16;
    std::uint32_t a[kCount];
    std::uint32_t b[kCount];
    std::uint32_t c[kCount];
    std::uint32_t d[kCount];
    for (std::size_t i = 0; i < kCount; ++i) {
        // The standard's block is w1 * 2^32 + w0, so w1 carries X1 and X2.
        const std::uint32_t w0 = LoadWord(in + i * kBlockBytes);
        const std::uint32_t w1 = LoadWord(in + i * kBlockBytes + 4);
        a[i] = w1 >> 16;
        b[i] = w1 & kLow16;
        c[i] = w0 >> 16;
        d[i] = w0 & kLow16;
    }
    for (std::size_t round = 0; round < 8; ++round) {
        const std::uint32_t* k = z.data() + 6 * round;
        for (std::size_t i = 0; i < kCount; ++i) {
            const std::uint32_t v1 = MulLow16(a[i] & kLow16, k[0]);
            const std::uint32_t v2 = b[i] + k[1];
            const std::uint32_t v3 = c[i] + k[2];
            const std::uint32_t v4 = MulLow16(d[i] & kLow16, k[3]);
            const std::uint32_t p = MulLow16((v1 ^ v3) & kLow16, k[4]);
            const std::uint32_t q = MulLow16(((v2 ^ v4) + p) & kLow16, k[5]);
            const std::uint32_t s = p + q;
            a[i] = v1 ^ q;
            b[i] = v3 ^ q;
            c[i] = v2 ^ s;
            d[i] = v4 ^ s;
        }
    }
    for (std::size_t i = 0; i < kCount; ++i) {
        // The output step takes c before b, undoing the exchange of the last round.
        const std::uint32_t y1 = MulLow16(a[i] & kLow16, z[48]) & kLow16;
        const std::uint32_t y2 = (c[i] + z[49]) & kLow16;
        const std::uint32_t y3 = (b[i] + z[50]) & kLow16;
        const std::uint32_t y4 = MulLow16(d[i] & kLow16, z[51]) & kLow16;
        StoreWord(out + i * kBlockBytes, (y3 << 16) | y4);
        StoreWord(out + i * kBlockBytes + 4, (y1 << 16) | y2);
    }
}

void IdeaCryptBlocksPortable(const IdeaSubkeys& subkeys, const std::uint8_t* in, std::uint8_t* out,
                             const std::size_t blockCount) {
    IdeaWideSubkeys wide = IdeaWidenSubkeys(subkeys);
    const std::size_t tail = blockCount % kPortableBatch;
    const std::uint8_t* const batchesEnd = in + (blockCount - tail) * kBlockBytes;
    for (; in != batchesEnd; in += kPortableBatch * kBlockBytes, out += kPortableBatch * kBlockBytes) {
        IdeaCryptBatch<kPortableBatch>(wide, in, out);
    }
    for (std::size_t i = 0; i < tail; ++i) {
        IdeaCryptBatch<1>(wide, in + i * kBlockBytes, out + i * kBlockBytes);
    }
    SecureWipe(wide.data(), sizeof wide);
}

}  // namespace

void IdeaCryptBlocks(const CpuPath path, const IdeaSubkeys& subkeys, const std::uint8_t* in, std::uint8_t* out,
                     const std::size_t blockCount) {
    // A path this processor lacks would stop the process on its first instruction; the portable
    // path gives the same result.
    if (blockCount != 0 && CpuPathSupported(path)) {
        switch (path) {
        case CpuPath::Portable:
            break;
#if defined(MORVEX_X86_SIMD)
        case CpuPath::Sse2:
            IdeaCryptBlocksSse2(subkeys.data(), in, out, blockCount);
            return;
        case CpuPath::Avx2:
            IdeaCryptBlocksAvx2(subkeys.data(), in, out, blockCount);
            return;
        case CpuPath::Avx512:
            IdeaCryptBlocksAvx512(subkeys.data(), in, out, blockCount);
            return;
#else
        case CpuPath::Sse2:
        case CpuPath::Avx2:
        case CpuPath::Avx512:
            break;
#endif
        }
    }
    IdeaCryptBlocksPortable(subkeys, in, out, blockCount);
}

}  // namespace morvex
