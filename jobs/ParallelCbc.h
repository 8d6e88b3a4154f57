#pragma once

#include <cstddef>
#include <cstdint>

#include "ciphers/IdeaCipher.h"
#include "ciphers/TripleDes.h"
#include "jobs/Cbc.h"
#include "jobs/HelperPool.h"

namespace morvex {

// CBC decryption of blockCount blocks shared among the pool's threads in pieces of
// kParallelCbcPieceBlocks, each chained to the encrypted block before it, so the output and the
// final chain are those of CbcDecrypt. Fewer blocks than two pieces stay on the calling thread.
// in and out must not overlap.
void ParallelCbcDecrypt(const TripleDes& cipher, ChainWords& chain, const std::uint8_t* in, std::uint8_t* out,
                        std::size_t blockCount, HelperPool& pool);
void ParallelCbcDecrypt(const IdeaCipher& cipher, ChainWords& chain, const std::uint8_t* in, std::uint8_t* out,
                        std::size_t blockCount, HelperPool& pool);

// 64 KiB: a few dozen of the bulk code's batches, so a piece costs far more than handing it out,
// and sixteen pieces to a transfer, so the threads finish a transfer close together.
inline constexpr std::size_t kParallelCbcPieceBlocks = 8192;

}  // namespace morvex
