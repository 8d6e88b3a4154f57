#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "ciphers/Idea.h"
#include "keys/KeyWords.h"

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
    [[nodiscard]] EncryptionChain StartEncryptionChain(std::uint32_t c0, std::uint32_t c1) const;
    // Encrypts the plain block (w0, w1) chained to chain: out = E(w ^ c), where c is the encrypted
    // block chain stands for; chain then stands for out.
    void EncryptChained(EncryptionChain& chain, std::uint32_t w0, std::uint32_t w1, std::uint32_t& out0,
                        std::uint32_t& out1) const;

    // Decrypts blockCount blocks laid out as on disk (w0 then w1, each least significant byte first).
    // in and out may be the same buffer, but must not otherwise overlap.
    void DecryptBlocks(const std::uint8_t* in, std::uint8_t* out, std::size_t blockCount) const;

private:
    // The single-block rounds take their subkeys widened and with their zero products; the bulk code
    // takes the 16-bit decryption table.
    IdeaRoundKeys encryptKeys_{};
    IdeaRoundKeys decryptRoundKeys_{};
    IdeaSubkeys decryptKeys_{};
};

}  // namespace morvex
