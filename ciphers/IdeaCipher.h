#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "ciphers/ForceInline.h"
#include "ciphers/Idea.h"
#include "ciphers/IdeaX86.h"
#include "base/KeyWords.h"

namespace morvex {

// IDEA under the 128-bit key KD, KC, KB, KA. The 52 encryption and 52 decryption subkeys are
// computed once, here; the block operations are const and touch no shared state.
class IdeaCipher {
public:
    explicit IdeaCipher(const KeyWords& keyWords);
    ~IdeaCipher();
    IdeaCipher(const IdeaCipher&) = delete;
    IdeaCipher& operator=(const IdeaCipher&) = delete;

    // The standard's 64-bit block is w1 * 2^32 + w0: w1 carries X1 and X2, w0 carries X3 and X4.
    void EncryptBlock(std::uint32_t w0, std::uint32_t w1, std::uint32_t& out0, std::uint32_t& out1) const;
    void DecryptBlock(std::uint32_t w0, std::uint32_t w1, std::uint32_t& out0, std::uint32_t& out1) const;

    // CBC encryption keeps the chaining value between blocks as the four sub-blocks the rounds take,
    // so that nothing but the rounds lies on the chain from one block to the next.
    struct EncryptionChain {
        std::uint32_t x1 = 0;
        std::uint32_t x2 = 0;
        std::uint32_t x3 = 0;
        std::uint32_t x4 = 0;
    };
    [[nodiscard]] EncryptionChain StartEncryptionChain(std::uint32_t c0, std::uint32_t c1) const {
        return {c1 >> 16, c1 & idea_detail::kLow16, c0 >> 16, c0 & idea_detail::kLow16};
    }
    // Encrypts the plain block (w0, w1) chained to chain: out = E(w ^ c), where c is the encrypted
    // block chain stands for; chain then stands for out. Defined here, and always inlined, so that
    // the chain stays in registers in the caller's loop.
    MORVEX_FORCE_INLINE void EncryptChained(EncryptionChain& chain, std::uint32_t w0, std::uint32_t w1,
                                            std::uint32_t& out0, std::uint32_t& out1) const {
        // The plain block is split while the last block is still being encrypted, so the chain only
        // waits for one XOR per sub-block.
        chain.x1 ^= w1 >> 16;
        chain.x2 ^= w1 & idea_detail::kLow16;
        chain.x3 ^= w0 >> 16;
        chain.x4 ^= w0 & idea_detail::kLow16;
        CryptSubBlocks(encryptKeys_, chain.x1, chain.x2, chain.x3, chain.x4);
        out0 = (chain.x3 << 16) | chain.x4;
        out1 = (chain.x1 << 16) | chain.x2;
    }

    // Decrypts blockCount blocks laid out as on disk (w0 then w1, each least significant byte first).
    // in and out may be the same buffer, but must not otherwise overlap.
    void DecryptBlocks(const std::uint8_t* in, std::uint8_t* out, std::size_t blockCount) const;

private:
    // Sub-blocks in the low 16 bits of each word, the bits above zero, in and out.
    MORVEX_FORCE_INLINE static void CryptSubBlocks(const IdeaRoundKeys& subkeys, std::uint32_t& x1,
                                                   std::uint32_t& x2, std::uint32_t& x3, std::uint32_t& x4) {
#ifdef MORVEX_IDEA_X86
        idea_x86::Crypt(x1, x2, x3, x4, subkeys);
#else
        idea_detail::Crypt(x1, x2, x3, x4, subkeys);
#endif
    }

    // w1 carries X1 (high half) and X2, w0 carries X3 and X4; the result goes back the same way.
    static void CryptWords(const IdeaRoundKeys& subkeys, std::uint32_t w0, std::uint32_t w1, std::uint32_t& out0,
                           std::uint32_t& out1);

    // The single-block rounds take their subkeys widened and with their zero products; the bulk code
    // takes the 16-bit decryption table.
    IdeaRoundKeys encryptKeys_{};
    IdeaRoundKeys decryptRoundKeys_{};
    IdeaSubkeys decryptKeys_{};
};

}  // namespace morvex
