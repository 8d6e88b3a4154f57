#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "base/ByteOrder.h"
#include "jobs/Cbc.h"
#include "jobs/HelperPool.h"

namespace morvex {

// 64 KiB: a few dozen of the bulk code's batches, so a piece costs far more than handing it out,
// and sixteen pieces to a transfer, so the threads finish a transfer close together.
inline constexpr std::size_t kParallelCbcPieceBlocks = 8192;

// CBC decryption of blockCount blocks shared among the pool's threads in pieces of
// kParallelCbcPieceBlocks, each chained to the encrypted block before it, so the output and the
// final chain are those of CbcDecrypt. Fewer blocks than two pieces stay on the calling thread.
// then(first, count) runs on the calling thread for every range of blocks in order as soon as they
// are decrypted, while the other threads go on with later ranges; once it returns false, no more
// blocks are decrypted than those already under way, and the chain is left as it was. in and out
// must not overlap.
template <class Cipher, class Then>
void ParallelCbcDecrypt(const Cipher& cipher, ChainWords& chain, const std::uint8_t* in, std::uint8_t* out,
                        std::size_t blockCount, HelperPool& pool, Then&& then) {
    if (blockCount == 0) {
        return;
    }
    if (blockCount < 2 * kParallelCbcPieceBlocks) {
        ChainWords links = chain;
        CbcDecrypt(cipher, links, in, out, blockCount);
        if (then(std::size_t{0}, blockCount)) {
            chain = links;
        }
        return;
    }
    const ChainWords first = chain;
    auto piece = [&cipher, first, in, out, blockCount](std::size_t index) {
        const std::size_t begin = index * kParallelCbcPieceBlocks;
        ChainWords links = first;
        if (begin > 0) {
            const std::uint8_t* previous = in + (begin - 1) * kBlockBytes;
            links = {LoadWord(previous), LoadWord(previous + 4)};
        }
        CbcDecrypt(cipher, links, in + begin * kBlockBytes, out + begin * kBlockBytes,
                   std::min(kParallelCbcPieceBlocks, blockCount - begin));
    };
    bool whole = true;
    auto follow = [&then, &whole, blockCount](std::size_t index) {
        const std::size_t begin = index * kParallelCbcPieceBlocks;
        whole = then(begin, std::min(kParallelCbcPieceBlocks, blockCount - begin));
        return whole;
    };
    pool.Run((blockCount + kParallelCbcPieceBlocks - 1) / kParallelCbcPieceBlocks, piece, follow);
    if (whole) {
        const std::uint8_t* last = in + (blockCount - 1) * kBlockBytes;
        chain = {LoadWord(last), LoadWord(last + 4)};
    }
}

// The same without anything to do between the ranges.
template <class Cipher>
void ParallelCbcDecrypt(const Cipher& cipher, ChainWords& chain, const std::uint8_t* in, std::uint8_t* out,
                        std::size_t blockCount, HelperPool& pool) {
    ParallelCbcDecrypt(cipher, chain, in, out, blockCount, pool, [](std::size_t, std::size_t) { return true; });
}

}  // namespace morvex
