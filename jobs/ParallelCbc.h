#pragma once

#include <cstddef>
#include <cstdint>

#include "ciphers/IdeaCipher.h"
#include "ciphers/TripleDes.h"
#include "jobs/Cbc.h"
#include "jobs/Platform.h"

namespace morvex {

// CBC decryption of blockCount blocks shared among up to threads threads (0: one per processor
// core). Each thread takes one contiguous range, chained to the encrypted block before it, so the
// output and the final chain are those of CbcDecrypt. Small inputs, and a machine that cannot start
// a helper, stay on the calling thread. Helpers start through the platform. in and out must not overlap.
void ParallelCbcDecrypt(const TripleDes& cipher, ChainWords& chain, const std::uint8_t* in, std::uint8_t* out,
                        std::size_t blockCount, unsigned threads, Platform& platform);
void ParallelCbcDecrypt(const IdeaCipher& cipher, ChainWords& chain, const std::uint8_t* in, std::uint8_t* out,
                        std::size_t blockCount, unsigned threads, Platform& platform);

}  // namespace morvex
