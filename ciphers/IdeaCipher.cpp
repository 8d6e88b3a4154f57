#include "ciphers/IdeaCipher.h"

#include "ciphers/CpuPath.h"
#include "ciphers/IdeaBulk.h"
#include "ciphers/IdeaX86.h"
#include "keys/SecureWipe.h"

namespace morvex {

namespace {

// The key is KD, KC, KB, KA, each most significant half first: Z1 is the high half of KD.
[[nodiscard]] IdeaKey KeyFromWords(const KeyWords& keyWords) {
    return {static_cast<std::uint16_t>(keyWords.kd >> 16), static_cast<std::uint16_t>(keyWords.kd),
            static_cast<std::uint16_t>(keyWords.kc >> 16), static_cast<std::uint16_t>(keyWords.kc),
            static_cast<std::uint16_t>(keyWords.kb >> 16), static_cast<std::uint16_t>(keyWords.kb),
            static_cast<std::uint16_t>(keyWords.ka >> 16), static_cast<std::uint16_t>(keyWords.ka)};
}

// Sub-blocks in the low 16 bits of each word, the bits above zero, in and out.
inline void CryptSubBlocks(const IdeaRoundKeys& subkeys, std::uint32_t& x1, std::uint32_t& x2, std::uint32_t& x3,
                           std::uint32_t& x4) {
#ifdef MORVEX_IDEA_X86
    idea_x86::Crypt(x1, x2, x3, x4, subkeys);
#else
    idea_detail::Crypt(x1, x2, x3, x4, subkeys);
#endif
}

// w1 carries X1 (high half) and X2, w0 carries X3 and X4; the result goes back the same way.
inline void CryptWords(const IdeaRoundKeys& subkeys, std::uint32_t w0, std::uint32_t w1, std::uint32_t& out0,
                       std::uint32_t& out1) {
    std::uint32_t x1 = w1 >> 16;
    std::uint32_t x2 = w1 & idea_detail::kLow16;
    std::uint32_t x3 = w0 >> 16;
    std::uint32_t x4 = w0 & idea_detail::kLow16;
    CryptSubBlocks(subkeys, x1, x2, x3, x4);
    out0 = (x3 << 16) | x4;
    out1 = (x1 << 16) | x2;
}

}  // namespace

IdeaCipher::IdeaCipher(const KeyWords& keyWords) {
    IdeaKey key = KeyFromWords(keyWords);
    IdeaSubkeys encrypt = IdeaExpandKey(key);
    decryptKeys_ = IdeaInvertKey(encrypt);
    encryptKeys_ = IdeaMakeRoundKeys(encrypt);
    decryptRoundKeys_ = IdeaMakeRoundKeys(decryptKeys_);
    SecureWipe(key.data(), sizeof key);
    SecureWipe(encrypt.data(), sizeof encrypt);
}

IdeaCipher::~IdeaCipher() {
    SecureWipe(encryptKeys_.data(), sizeof encryptKeys_);
    SecureWipe(decryptRoundKeys_.data(), sizeof decryptRoundKeys_);
    SecureWipe(decryptKeys_.data(), sizeof decryptKeys_);
}

void IdeaCipher::EncryptBlock(std::uint32_t w0, std::uint32_t w1, std::uint32_t& out0, std::uint32_t& out1) const {
    CryptWords(encryptKeys_, w0, w1, out0, out1);
}

void IdeaCipher::DecryptBlock(std::uint32_t w0, std::uint32_t w1, std::uint32_t& out0, std::uint32_t& out1) const {
    CryptWords(decryptRoundKeys_, w0, w1, out0, out1);
}

IdeaCipher::EncryptionChain IdeaCipher::StartEncryptionChain(std::uint32_t c0, std::uint32_t c1) const {
    return {c1 >> 16, c1 & idea_detail::kLow16, c0 >> 16, c0 & idea_detail::kLow16};
}

void IdeaCipher::EncryptChained(EncryptionChain& chain, std::uint32_t w0, std::uint32_t w1, std::uint32_t& out0,
                                std::uint32_t& out1) const {
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

void IdeaCipher::DecryptBlocks(const std::uint8_t* in, std::uint8_t* out, std::size_t blockCount) const {
    IdeaCryptBlocks(ActiveCpuPath(), decryptKeys_, in, out, blockCount);
}

}  // namespace morvex
