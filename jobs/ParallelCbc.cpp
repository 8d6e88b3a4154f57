#include "jobs/ParallelCbc.h"

#include <algorithm>

#include "base/ByteOrder.h"

namespace morvex {

namespace {

template <class Cipher>
void Decrypt(const Cipher& cipher, ChainWords& chain, const std::uint8_t* in, std::uint8_t* out,
             std::size_t blockCount, HelperPool& pool) {
    if (blockCount < 2 * kParallelCbcPieceBlocks) {
        CbcDecrypt(cipher, chain, in, out, blockCount);
        return;
    }
    const ChainWords first = chain;
    auto piece = [&cipher, first, in, out, blockCount](std::size_t index) {
        const std::size_t begin = index * kParallelCbcPieceBlocks;
        const std::size_t count = std::min(kParallelCbcPieceBlocks, blockCount - begin);
        ChainWords pieceChain = first;
        if (begin > 0) {
            const std::uint8_t* previous = in + (begin - 1) * kBlockBytes;
            pieceChain = {LoadWord(previous), LoadWord(previous + 4)};
        }
        CbcDecrypt(cipher, pieceChain, in + begin * kBlockBytes, out + begin * kBlockBytes, count);
    };
    pool.Run((blockCount + kParallelCbcPieceBlocks - 1) / kParallelCbcPieceBlocks, piece);
    const std::uint8_t* last = in + (blockCount - 1) * kBlockBytes;
    chain = {LoadWord(last), LoadWord(last + 4)};
}

}  // namespace

void ParallelCbcDecrypt(const TripleDes& cipher, ChainWords& chain, const std::uint8_t* in, std::uint8_t* out,
                        std::size_t blockCount, HelperPool& pool) {
    Decrypt(cipher, chain, in, out, blockCount, pool);
}

void ParallelCbcDecrypt(const IdeaCipher& cipher, ChainWords& chain, const std::uint8_t* in, std::uint8_t* out,
                        std::size_t blockCount, HelperPool& pool) {
    Decrypt(cipher, chain, in, out, blockCount, pool);
}

}  // namespace morvex
