#pragma once

#include <cstddef>
#include <cstdint>

#include "base/ByteOrder.h"
#include "ciphers/ForceInline.h"

namespace morvex {

// The chaining words: the initial value before the first block, then the last encrypted block.
struct ChainWords {
    std::uint32_t c0 = 0;
    std::uint32_t c1 = 0;
};

// One block of CBC encryption, laid out as on disk; in and out may be the same. The chain is the
// cipher's own (Cipher::EncryptionChain): the chaining value in the form its rounds work in, so that
// nothing but the rounds lies on the way from one block to the next. Always inlined, so that the
// chain stays in registers in the caller's loop.
template <class Cipher>
MORVEX_FORCE_INLINE void CbcEncryptBlock(const Cipher& cipher, typename Cipher::EncryptionChain& chain,
                                         const std::uint8_t* in, std::uint8_t* out) {
    std::uint32_t c0 = 0;
    std::uint32_t c1 = 0;
    cipher.EncryptChained(chain, LoadWord(in), LoadWord(in + 4), c0, c1);
    StoreWord(out, c0);
    StoreWord(out + 4, c1);
}

// Cipher-block chaining over whole blocks laid out as on disk. Encryption is sequential by nature:
// each block needs the one encrypted before it.
template <class Cipher>
void CbcEncrypt(const Cipher& cipher, ChainWords& chain, const std::uint8_t* in, std::uint8_t* out,
                std::size_t blockCount) {
    if (blockCount == 0) {
        return;
    }
    typename Cipher::EncryptionChain links = cipher.StartEncryptionChain(chain.c0, chain.c1);
    for (std::size_t i = 0; i < blockCount; ++i) {
        CbcEncryptBlock(cipher, links, in + i * kBlockBytes, out + i * kBlockBytes);
    }
    const std::uint8_t* last = out + (blockCount - 1) * kBlockBytes;
    chain = {LoadWord(last), LoadWord(last + 4)};
}

// Decryption needs only the encrypted blocks, so the cipher may work on many at once and any range
// may be decrypted on its own, given the encrypted block before it as its chain. in and out must
// not overlap.
template <class Cipher>
void CbcDecrypt(const Cipher& cipher, ChainWords& chain, const std::uint8_t* in, std::uint8_t* out,
                std::size_t blockCount) {
    if (blockCount == 0) {
        return;
    }
    if constexpr (requires { cipher.DecryptBlocksXor(in, in, out, blockCount); }) {
        // The cipher XORs each block with the encrypted one before it as it stores it; only the
        // first block's chain comes from outside the buffer.
        std::uint32_t d0 = 0;
        std::uint32_t d1 = 0;
        cipher.DecryptBlock(LoadWord(in), LoadWord(in + 4), d0, d1);
        StoreWord(out, d0 ^ chain.c0);
        StoreWord(out + 4, d1 ^ chain.c1);
        cipher.DecryptBlocksXor(in + kBlockBytes, in, out + kBlockBytes, blockCount - 1);
    } else {
        cipher.DecryptBlocks(in, out, blockCount);
        StoreWord(out, LoadWord(out) ^ chain.c0);
        StoreWord(out + 4, LoadWord(out + 4) ^ chain.c1);
        XorBlocks(out + kBlockBytes, in, blockCount - 1);
    }
    const std::uint8_t* last = in + (blockCount - 1) * kBlockBytes;
    chain = {LoadWord(last), LoadWord(last + 4)};
}

}  // namespace morvex
