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

// Blocks decrypted side by side by the portable bulk path (8 measured best of 3 to 16 here).
constexpr std::size_t kPortableLanes = 8;

// The 48 rounds of the three stages for kLanes independent blocks, between one IP and one IP^-1
// (each stage's IP^-1 and the next one's IP cancel). keys points at the first round's subkeys and
// is walked kStep words at a time. On entry target and source hold L0 and R0 in rotated form; on
// return they hold the preoutput, R16 and L16.
//
// Arranged for the shortest chain from one round to the next, which is all that matters when each
// block waits for the one before (CBC encryption): the half that feeds the next round is produced
// directly in keyed form (f arrives paired, and is XORed into the target half already keyed with
// the next subkey), while its plain value is kept beside it for the round after. With several
// lanes the processor works on the other blocks while one waits for its lookups. At a stage
// boundary the half just written is written again, from the same source.
template <int kStep, std::size_t kLanes>
void Rounds(std::uint32_t (&target)[kLanes], std::uint32_t (&source)[kLanes], const std::uint32_t* keys) noexcept {
    std::uint64_t keyed[kLanes];
    for (std::size_t j = 0; j < kLanes; ++j) {
        keyed[j] = des::KeyedPair(source[j], keys);
    }
    for (int stage = 0; stage < 3; ++stage) {
        for (int i = 0; i < 15; ++i) {
            keys += kStep;
            for (std::size_t j = 0; j < kLanes; ++j) {
                keyed[j] = des::XorLookupPair(keyed[j], des::KeyedPair(target[j], keys));
                // The plain half is the keyed one's low word without the subkey.
                const std::uint32_t written = static_cast<std::uint32_t>(keyed[j]) ^ keys[0];
                target[j] = source[j];
                source[j] = written;
            }
        }
        for (std::size_t j = 0; j < kLanes; ++j) {
            target[j] = static_cast<std::uint32_t>(des::XorLookupPair(keyed[j], target[j]));
        }
        if (stage < 2) {
            keys += kStep;
            for (std::size_t j = 0; j < kLanes; ++j) {
                keyed[j] = des::KeyedPair(source[j], keys);
            }
        }
    }
}

template <int kStep>
void OneBlock(const std::uint32_t* keys, std::uint32_t w0, std::uint32_t w1, std::uint32_t& out0,
              std::uint32_t& out1) noexcept {
    std::uint32_t target[1];
    std::uint32_t source[1];
    des::InitialPermutation(w0, w1, target[0], source[0]);
    Rounds<kStep>(target, source, keys);
    des::FinalPermutation(target[0], source[0], out0, out1);
}

template <std::size_t kLanes>
void DecryptLanes(const std::uint32_t* lastRound, const std::uint8_t* in, std::uint8_t* out) noexcept {
    std::uint32_t target[kLanes];
    std::uint32_t source[kLanes];
    for (std::size_t j = 0; j < kLanes; ++j) {
        const std::uint8_t* p = in + j * kBlockBytes;
        des::InitialPermutation(LoadWord(p), LoadWord(p + 4), target[j], source[j]);
    }
    Rounds<-2>(target, source, lastRound);
    for (std::size_t j = 0; j < kLanes; ++j) {
        std::uint32_t w0 = 0;
        std::uint32_t w1 = 0;
        des::FinalPermutation(target[j], source[j], w0, w1);
        StoreWord(out + j * kBlockBytes, w0);
        StoreWord(out + j * kBlockBytes + 4, w1);
    }
}

void DecryptPortable(const std::uint32_t* lastRound, const std::uint8_t* in, std::uint8_t* out,
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
    OneBlock<2>(subkeys_.data(), w0, w1, out0, out1);
}

void TripleDes::DecryptBlock(std::uint32_t w0, std::uint32_t w1, std::uint32_t& out0, std::uint32_t& out1) const {
    OneBlock<-2>(subkeys_.data() + kLastRoundWord, w0, w1, out0, out1);
}

void TripleDes::DecryptBlocks(const std::uint8_t* in, std::uint8_t* out, std::size_t blockCount) const {
    std::size_t done = 0;
    const CpuPath path = ActiveCpuPath();
    if (path == CpuPath::Avx512 && des::BitsliceAvx512Available()) {
        done = des::BitsliceAvx512DecryptBlocks(subkeys_.data(), in, out, blockCount);
    } else if (path == CpuPath::Avx2 && des::BitsliceAvx2Available()) {
        done = des::BitsliceAvx2DecryptBlocks(subkeys_.data(), in, out, blockCount);
    } else if (path == CpuPath::Sse2 && des::BitsliceSse2Available()) {
        done = des::BitsliceSse2DecryptBlocks(subkeys_.data(), in, out, blockCount);
    }
    DecryptPortable(subkeys_.data() + kLastRoundWord, in + done * kBlockBytes, out + done * kBlockBytes,
                    blockCount - done);
}

}  // namespace morvex
