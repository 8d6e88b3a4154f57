#include "ciphers/TripleDes.h"

#include "ciphers/BlockBytes.h"
#include "ciphers/CpuPath.h"
#include "ciphers/DesCore.h"
#include "ciphers/TripleDesBitslice.h"
#include "keys/SecureWipe.h"

namespace morvex {
namespace {

constexpr std::size_t kStageWords = des::kRoundKeyWords;
constexpr std::size_t kLastRoundWord = 3 * kStageWords - 2;

// Blocks decrypted side by side by the portable bulk path. Their rounds are independent, so the
// processor overlaps one block's table lookups with another's instead of waiting on each in turn.
constexpr std::size_t kPortableLanes = 4;

// The three stages back to back between one IP and one IP^-1: each stage's IP^-1 and the next one's
// IP cancel. After a stage the preoutput is (r, l), which is the next stage's (L0, R0), hence the
// exchanged arguments. keys points at the first round's subkeys, walked in the direction of kStep.
template <int kStep>
void ThreeStages(std::uint32_t& l, std::uint32_t& r, const std::uint32_t* keys) noexcept {
    des::SixteenRounds<kStep>(l, r, keys);
    des::SixteenRounds<kStep>(r, l, keys + kStep * 16);
    des::SixteenRounds<kStep>(l, r, keys + kStep * 32);
}

void DecryptPortable(const std::uint32_t* lastRound, const std::uint8_t* in, std::uint8_t* out,
                     std::size_t blockCount) noexcept {
    std::size_t i = 0;
    for (; i + kPortableLanes <= blockCount; i += kPortableLanes) {
        std::uint32_t l[kPortableLanes];
        std::uint32_t r[kPortableLanes];
        for (std::size_t j = 0; j < kPortableLanes; ++j) {
            const std::uint8_t* p = in + (i + j) * kBlockBytes;
            des::InitialPermutation(LoadWord(p), LoadWord(p + 4), l[j], r[j]);
        }
        const std::uint32_t* keys = lastRound;
        for (int stage = 0; stage < 3; ++stage) {
            for (int round = 0; round < 8; ++round) {
                for (std::size_t j = 0; j < kPortableLanes; ++j) {
                    des::Round(l[j], r[j], keys);
                }
                for (std::size_t j = 0; j < kPortableLanes; ++j) {
                    des::Round(r[j], l[j], keys - 2);
                }
                keys -= 4;
            }
            for (std::size_t j = 0; j < kPortableLanes; ++j) {
                const std::uint32_t t = l[j];
                l[j] = r[j];
                r[j] = t;
            }
        }
        for (std::size_t j = 0; j < kPortableLanes; ++j) {
            std::uint32_t w0 = 0;
            std::uint32_t w1 = 0;
            // After the last stage's exchange l holds R16 and r holds L16.
            des::FinalPermutation(l[j], r[j], w0, w1);
            std::uint8_t* o = out + (i + j) * kBlockBytes;
            StoreWord(o, w0);
            StoreWord(o + 4, w1);
        }
    }
    for (; i < blockCount; ++i) {
        const std::uint8_t* p = in + i * kBlockBytes;
        std::uint32_t l = 0;
        std::uint32_t r = 0;
        des::InitialPermutation(LoadWord(p), LoadWord(p + 4), l, r);
        ThreeStages<-2>(l, r, lastRound);
        std::uint32_t w0 = 0;
        std::uint32_t w1 = 0;
        des::FinalPermutation(r, l, w0, w1);
        StoreWord(out + i * kBlockBytes, w0);
        StoreWord(out + i * kBlockBytes + 4, w1);
    }
}

}  // namespace

// subkeys_ holds the 48 rounds of E_K3(D_K2(E_K1(x))) in the order encryption runs them: K1's
// schedule, K2's schedule reversed (decryption with K2), K3's schedule. Decryption runs the same
// 48 rounds from the last to the first.
TripleDes::TripleDes(const KeyWords& keyWords) {
    des::RoundKeys k1 = des::ExpandKey(keyWords.ka, keyWords.kb);
    des::RoundKeys k2 = des::ExpandKey(keyWords.kc, keyWords.kd);
    des::RoundKeys k3 = des::ExpandKey(keyWords.kb, keyWords.ka);
    for (std::size_t i = 0; i < kStageWords; i += 2) {
        subkeys_[i] = k1[i];
        subkeys_[i + 1] = k1[i + 1];
        subkeys_[kStageWords + i] = k2[kStageWords - 2 - i];
        subkeys_[kStageWords + i + 1] = k2[kStageWords - 1 - i];
        subkeys_[2 * kStageWords + i] = k3[i];
        subkeys_[2 * kStageWords + i + 1] = k3[i + 1];
    }
    SecureWipe(k1.data(), sizeof k1);
    SecureWipe(k2.data(), sizeof k2);
    SecureWipe(k3.data(), sizeof k3);
}

TripleDes::~TripleDes() { SecureWipe(subkeys_.data(), sizeof subkeys_); }

void TripleDes::EncryptBlock(std::uint32_t w0, std::uint32_t w1, std::uint32_t& out0, std::uint32_t& out1) const {
    std::uint32_t l = 0;
    std::uint32_t r = 0;
    des::InitialPermutation(w0, w1, l, r);
    ThreeStages<2>(l, r, subkeys_.data());
    des::FinalPermutation(r, l, out0, out1);
}

void TripleDes::DecryptBlock(std::uint32_t w0, std::uint32_t w1, std::uint32_t& out0, std::uint32_t& out1) const {
    std::uint32_t l = 0;
    std::uint32_t r = 0;
    des::InitialPermutation(w0, w1, l, r);
    ThreeStages<-2>(l, r, subkeys_.data() + kLastRoundWord);
    des::FinalPermutation(r, l, out0, out1);
}

void TripleDes::DecryptBlocks(const std::uint8_t* in, std::uint8_t* out, std::size_t blockCount) const {
    std::size_t done = 0;
    if (ActiveCpuPath() == CpuPath::Avx512 && des::BitsliceAvailable()) {
        done = des::BitsliceDecryptBlocks(subkeys_.data(), in, out, blockCount);
    }
    DecryptPortable(subkeys_.data() + kLastRoundWord, in + done * kBlockBytes, out + done * kBlockBytes,
                    blockCount - done);
}

}  // namespace morvex
