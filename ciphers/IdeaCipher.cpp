#include "ciphers/IdeaCipher.h"

#include "ciphers/CpuPath.h"
#include "ciphers/IdeaBulk.h"
#include "base/SecureWipe.h"

namespace morvex {

namespace {

// The key is KD, KC, KB, KA, each most significant half first: Z1 is the high half of KD.
[[nodiscard]] IdeaKey KeyFromWords(const KeyWords& keyWords) {
    return {static_cast<std::uint16_t>(keyWords.kd >> 16), static_cast<std::uint16_t>(keyWords.kd),
            static_cast<std::uint16_t>(keyWords.kc >> 16), static_cast<std::uint16_t>(keyWords.kc),
            static_cast<std::uint16_t>(keyWords.kb >> 16), static_cast<std::uint16_t>(keyWords.kb),
            static_cast<std::uint16_t>(keyWords.ka >> 16), static_cast<std::uint16_t>(keyWords.ka)};
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

void IdeaCipher::CryptWords(const IdeaRoundKeys& subkeys, std::uint32_t w0, std::uint32_t w1, std::uint32_t& out0,
                            std::uint32_t& out1) {
    std::uint32_t x1 = w1 >> 16;
    std::uint32_t x2 = w1 & idea_detail::kLow16;
    std::uint32_t x3 = w0 >> 16;
    std::uint32_t x4 = w0 & idea_detail::kLow16;
    CryptSubBlocks(subkeys, x1, x2, x3, x4);
    out0 = (x3 << 16) | x4;
    out1 = (x1 << 16) | x2;
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

void IdeaCipher::DecryptBlocks(const std::uint8_t* in, std::uint8_t* out, std::size_t blockCount) const {
    IdeaCryptBlocks(ActiveCpuPath(), decryptKeys_, in, out, blockCount);
}

}  // namespace morvex
