#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "ciphers/DesCore.h"
#include "ciphers/DesX86.h"
#include "ciphers/TripleDesBitslice.h"
#include "ciphers/ForceInline.h"
#include "base/KeyWords.h"

namespace morvex {

// Triple-DES (encrypt-decrypt-encrypt) under K1 = (KA, KB), K2 = (KC, KD), K3 = (KB, KA).
// The three key schedules are computed once, here; the block operations are const and touch no
// shared state, so one object may serve several threads at once.
class TripleDes {
public:
    explicit TripleDes(const KeyWords& keyWords);
    ~TripleDes();
    TripleDes(const TripleDes&) = delete;
    TripleDes& operator=(const TripleDes&) = delete;

    // w0 is bits 1 to 32 of the standard's block, w1 bits 33 to 64; the result comes back the same way.
    void EncryptBlock(std::uint32_t w0, std::uint32_t w1, std::uint32_t& out0, std::uint32_t& out1) const;
    void DecryptBlock(std::uint32_t w0, std::uint32_t w1, std::uint32_t& out0, std::uint32_t& out1) const;

    // CBC encryption keeps the chaining value between blocks in the form the rounds work in, so that
    // nothing but the rounds lies on the chain from one block to the next.
    // The block IP makes of the encrypted block c, its halves L in left and R in right: in chain form
    // (DesX86.h) where the rounds run in x86-64 assembly, in rotated form (DesCore.h) elsewhere.
    // Neither form carries key bits: a chain is public, as c is. A default chain stands for the
    // all-zero block.
    struct EncryptionChain {
        std::uint64_t left = 0;
        std::uint64_t right = 0;
    };
    [[nodiscard]] EncryptionChain StartEncryptionChain(std::uint32_t c0, std::uint32_t c1) const;
    // Encrypts the plain block (w0, w1) chained to chain: out = E(w ^ c), where c is the encrypted
    // block chain stands for; chain then stands for out. Defined here, and always inlined, so that
    // the chain stays in registers in the caller's loop.
    MORVEX_FORCE_INLINE void EncryptChained(EncryptionChain& chain, std::uint32_t w0, std::uint32_t w1,
                                            std::uint32_t& out0, std::uint32_t& out1) const {
#ifdef MORVEX_DES_X86
        des_x86::CryptChained(encryptSchedule_, chain.left, chain.right, w0, w1, out0, out1);
#else
        auto left = static_cast<std::uint32_t>(chain.left);
        auto right = static_cast<std::uint32_t>(chain.right);
        des::TripleBlockChained(roundPairs_.data(), left, right, w0, w1, out0, out1);
        chain = {left, right};
#endif
    }

    // Decrypts blockCount blocks laid out as on disk (w0 then w1, each least significant byte first).
    // in and out may be the same buffer, but must not otherwise overlap.
    void DecryptBlocks(const std::uint8_t* in, std::uint8_t* out, std::size_t blockCount) const;
    // The same, each decrypted block XORed with the block at the same place in mask before it is
    // stored: CBC decryption when mask is the encrypted blocks one place back, in one pass over the
    // data instead of two. out must not overlap in or mask.
    void DecryptBlocksXor(const std::uint8_t* in, const std::uint8_t* mask, std::uint8_t* out,
                          std::size_t blockCount) const;

private:
    // The key as the bitsliced decryption takes it, made once here rather than on every call.
    des::BitsliceKeys bitsliceKeys_{};
    // The 48 rounds' subkeys as one 64-bit pair per round (word 1 in the high half), the form the
    // portable rounds use.
    std::array<std::uint64_t, 48> roundPairs_{};
    // The single-block rounds' key schedules where they run in x86-64 assembly (DesX86.h); unused
    // elsewhere.
    std::array<std::uint64_t, 53> encryptSchedule_{};
    std::array<std::uint64_t, 53> decryptSchedule_{};
};

inline TripleDes::EncryptionChain TripleDes::StartEncryptionChain(std::uint32_t c0, std::uint32_t c1) const {
    EncryptionChain chain;
#ifdef MORVEX_DES_X86
    des_x86::StartChain(c0, c1, chain.left, chain.right);
#else
    std::uint32_t left = 0;
    std::uint32_t right = 0;
    des::InitialPermutation(c0, c1, left, right);
    chain = {left, right};
#endif
    return chain;
}

}  // namespace morvex
