#include "ciphers/IdeaBulk.h"

#include "ciphers/BlockBytes.h"
#include "ciphers/IdeaSimd.h"

namespace morvex {

namespace {

void IdeaCryptBlocksPortable(const IdeaSubkeys& subkeys, const std::uint8_t* in, std::uint8_t* out,
                             const std::size_t blockCount) {
    for (std::size_t i = 0; i < blockCount; ++i) {
        const std::uint8_t* source = in + i * kBlockBytes;
        const std::uint32_t w0 = LoadWord(source);
        const std::uint32_t w1 = LoadWord(source + 4);
        // The standard's block is w1 * 2^32 + w0, so w1 carries X1 and X2.
        IdeaSubBlocks block{static_cast<std::uint16_t>(w1 >> 16), static_cast<std::uint16_t>(w1),
                            static_cast<std::uint16_t>(w0 >> 16), static_cast<std::uint16_t>(w0)};
        IdeaCrypt(block, subkeys);
        std::uint8_t* target = out + i * kBlockBytes;
        StoreWord(target, (static_cast<std::uint32_t>(block[2]) << 16) | block[3]);
        StoreWord(target + 4, (static_cast<std::uint32_t>(block[0]) << 16) | block[1]);
    }
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
