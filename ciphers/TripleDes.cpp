#include "ciphers/TripleDes.h"

#include "base/ByteOrder.h"
#include "ciphers/CpuPath.h"
#include "ciphers/DesCore.h"
#include "ciphers/DesX86.h"
#include "ciphers/TripleDesBitslice.h"
#include "base/SecureWipe.h"

namespace morvex {
namespace {

constexpr std::size_t kStageWords = des::kRoundKeyWords;

// Blocks decrypted side by side by the portable bulk path (8 measured best of 3 to 16 here).
constexpr std::size_t kPortableLanes = 8;

template <std::size_t kLanes>
void DecryptLanes(const std::uint64_t* lastRound, const std::uint8_t* in, std::uint8_t* out) noexcept {
    std::uint32_t target[kLanes];
    std::uint32_t source[kLanes];
    for (std::size_t j = 0; j < kLanes; ++j) {
        const std::uint8_t* p = in + j * kBlockBytes;
        des::InitialPermutation(LoadWord(p), LoadWord(p + 4), target[j], source[j]);
    }
    des::TripleRounds<-1>(target, source, lastRound);
    for (std::size_t j = 0; j < kLanes; ++j) {
        std::uint32_t w0 = 0;
        std::uint32_t w1 = 0;
        des::FinalPermutation(target[j], source[j], w0, w1);
        StoreWord(out + j * kBlockBytes, w0);
        StoreWord(out + j * kBlockBytes + 4, w1);
    }
}

void DecryptPortable(const std::uint64_t* lastRound, const std::uint8_t* in, std::uint8_t* out,
                     std::size_t blockCount) noexcept {
    std::size_t i = 0;
    for (; i + kPortableLanes <= blockCount; i += kPortableLanes) {
        DecryptLanes<kPortableLanes>(lastRound, in + i * kBlockBytes, out + i * kBlockBytes);
    }
    for (; i < blockCount; ++i) {
        DecryptLanes<1>(lastRound, in + i * kBlockBytes, out + i * kBlockBytes);
    }
}

}  // namespace

// subkeys holds the 48 rounds of E_K3(D_K2(E_K1(x))) in the order encryption runs them: K1's
// schedule, K2's schedule reversed (decryption with K2), K3's schedule. Decryption runs the same
// 48 rounds from the last to the first.
TripleDes::TripleDes(const KeyWords& keyWords) {
    des::RoundKeys k1 = des::ExpandKey(keyWords.ka, keyWords.kb);
    des::RoundKeys k2 = des::ExpandKey(keyWords.kc, keyWords.kd);
    des::RoundKeys k3 = des::ExpandKey(keyWords.kb, keyWords.ka);
    std::array<std::uint32_t, 3 * kStageWords> subkeys{};
    for (std::size_t i = 0; i < kStageWords; i += 2) {
        subkeys[i] = k1[i];
        subkeys[i + 1] = k1[i + 1];
        subkeys[kStageWords + i] = k2[kStageWords - 2 - i];
        subkeys[kStageWords + i + 1] = k2[kStageWords - 1 - i];
        subkeys[2 * kStageWords + i] = k3[i];
        subkeys[2 * kStageWords + i + 1] = k3[i + 1];
    }
    des::MakeBitsliceKeys(subkeys.data(), bitsliceKeys_);
    SecureWipe(subkeys.data(), sizeof subkeys);
    roundPairs_ = des::MakeTripleRoundPairs(k1, k2, k3);
#ifdef MORVEX_DES_X86
    static_assert(sizeof encryptSchedule_ == sizeof(des_x86::Schedule));
    encryptSchedule_ = des_x86::MakeSchedule(roundPairs_, false);
    decryptSchedule_ = des_x86::MakeSchedule(roundPairs_, true);
#endif
    SecureWipe(k1.data(), sizeof k1);
    SecureWipe(k2.data(), sizeof k2);
    SecureWipe(k3.data(), sizeof k3);
}

TripleDes::~TripleDes() {
    SecureWipe(&bitsliceKeys_, sizeof bitsliceKeys_);
    SecureWipe(roundPairs_.data(), sizeof roundPairs_);
    SecureWipe(encryptSchedule_.data(), sizeof encryptSchedule_);
    SecureWipe(decryptSchedule_.data(), sizeof decryptSchedule_);
}

void TripleDes::EncryptBlock(std::uint32_t w0, std::uint32_t w1, std::uint32_t& out0, std::uint32_t& out1) const {
#ifdef MORVEX_DES_X86
    des_x86::Crypt(encryptSchedule_, w0, w1, out0, out1);
#else
    des::TripleBlock<1>(roundPairs_.data(), w0, w1, out0, out1);
#endif
}

void TripleDes::DecryptBlock(std::uint32_t w0, std::uint32_t w1, std::uint32_t& out0, std::uint32_t& out1) const {
#ifdef MORVEX_DES_X86
    des_x86::Crypt(decryptSchedule_, w0, w1, out0, out1);
#else
    des::TripleBlock<-1>(roundPairs_.data() + roundPairs_.size() - 1, w0, w1, out0, out1);
#endif
}

void TripleDes::DecryptBlocks(const std::uint8_t* in, std::uint8_t* out, std::size_t blockCount) const {
    DecryptBlocksXor(in, nullptr, out, blockCount);
}

void TripleDes::DecryptBlocksXor(const std::uint8_t* in, const std::uint8_t* mask, std::uint8_t* out,
                                 std::size_t blockCount) const {
    std::size_t done = 0;
    const CpuPath path = ActiveCpuPath();
    if (path == CpuPath::Avx512 && des::BitsliceAvx512Available()) {
        done = des::BitsliceAvx512DecryptBlocks(bitsliceKeys_, in, mask, out, blockCount);
    } else if (path == CpuPath::Avx2 && des::BitsliceAvx2Available()) {
        done = des::BitsliceAvx2DecryptBlocks(bitsliceKeys_, in, mask, out, blockCount);
    } else if (path == CpuPath::Sse2 && des::BitsliceSse2Available()) {
        done = des::BitsliceSse2DecryptBlocks(bitsliceKeys_, in, mask, out, blockCount);
    }
    const std::size_t offset = done * kBlockBytes;
    DecryptPortable(roundPairs_.data() + roundPairs_.size() - 1, in + offset, out + offset, blockCount - done);
    if (mask != nullptr) {
        XorBlocks(out + offset, mask + offset, blockCount - done);
    }
}

}  // namespace morvex
