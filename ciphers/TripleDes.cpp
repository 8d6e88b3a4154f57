#include "ciphers/TripleDes.h"

#include <bit>

#include "ciphers/BlockBytes.h"
#include "ciphers/CpuPath.h"
#include "ciphers/DesCore.h"
#include "ciphers/TripleDesBitslice.h"
#include "keys/SecureWipe.h"

namespace morvex {
namespace {

constexpr std::size_t kStageWords = des::kRoundKeyWords;

// Blocks decrypted side by side by the portable bulk path (8 measured best of 3 to 16 here).
constexpr std::size_t kPortableLanes = 8;

// A half in paired form: itself in the low word and rotated right by four in the high word. XOR
// with a round's key pair gives the keyed pair the lookups read (DesCore.h), and since f arrives
// paired too, the pair of L ^ f(R) is the pair of L ^ f's pair: the halves never leave this form.
[[nodiscard]] std::uint64_t Paired(std::uint32_t half) noexcept {
    return (std::uint64_t{std::rotr(half, 4)} << 32) | half;
}

// The 48 rounds of the three stages for kLanes independent blocks, between one IP and one IP^-1
// (each stage's IP^-1 and the next one's IP cancel). pairs points at the first round's key pair
// and is walked kStep pairs at a time. On entry target and source hold L0 and R0 in rotated form;
// on return they hold the preoutput, R16 and L16.
//
// Arranged for the shortest chain from one round to the next, which is all that matters when each
// block waits for the one before (CBC encryption): f is XORed straight into the target half already
// keyed with the next round's key, giving the next round's input, and the plain pair is recovered
// from it off that chain. With several lanes the processor works on the other blocks while one
// waits for its lookups. At a stage boundary the half just written is written again, from the
// same source.
template <int kStep, std::size_t kLanes>
void Rounds(std::uint32_t (&target)[kLanes], std::uint32_t (&source)[kLanes], const std::uint64_t* pairs) noexcept {
    std::uint64_t targetPair[kLanes];
    std::uint64_t sourcePair[kLanes];
    std::uint64_t keyed[kLanes];
    for (std::size_t j = 0; j < kLanes; ++j) {
        targetPair[j] = Paired(target[j]);
        sourcePair[j] = Paired(source[j]);
        keyed[j] = sourcePair[j] ^ pairs[0];
    }
    for (int stage = 0; stage < 3; ++stage) {
        for (int i = 0; i < 15; ++i) {
            pairs += kStep;
            const std::uint64_t key = *pairs;
            for (std::size_t j = 0; j < kLanes; ++j) {
                keyed[j] = des::XorLookupPair(keyed[j], targetPair[j] ^ key);
                targetPair[j] = sourcePair[j];
                sourcePair[j] = keyed[j] ^ key;
            }
        }
        for (std::size_t j = 0; j < kLanes; ++j) {
            targetPair[j] = des::XorLookupPair(keyed[j], targetPair[j]);
        }
        if (stage < 2) {
            pairs += kStep;
            for (std::size_t j = 0; j < kLanes; ++j) {
                keyed[j] = sourcePair[j] ^ *pairs;
            }
        }
    }
    for (std::size_t j = 0; j < kLanes; ++j) {
        target[j] = static_cast<std::uint32_t>(targetPair[j]);
        source[j] = static_cast<std::uint32_t>(sourcePair[j]);
    }
}

template <int kStep>
void OneBlock(const std::uint64_t* keys, std::uint32_t w0, std::uint32_t w1, std::uint32_t& out0,
              std::uint32_t& out1) noexcept {
    std::uint32_t target[1];
    std::uint32_t source[1];
    des::InitialPermutation(w0, w1, target[0], source[0]);
    Rounds<kStep>(target, source, keys);
    des::FinalPermutation(target[0], source[0], out0, out1);
}

template <std::size_t kLanes>
void DecryptLanes(const std::uint64_t* lastRound, const std::uint8_t* in, std::uint8_t* out) noexcept {
    std::uint32_t target[kLanes];
    std::uint32_t source[kLanes];
    for (std::size_t j = 0; j < kLanes; ++j) {
        const std::uint8_t* p = in + j * kBlockBytes;
        des::InitialPermutation(LoadWord(p), LoadWord(p + 4), target[j], source[j]);
    }
    Rounds<-1>(target, source, lastRound);
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
    for (std::size_t n = 0; n < roundPairs_.size(); ++n) {
        roundPairs_[n] = (std::uint64_t{subkeys_[2 * n + 1]} << 32) | subkeys_[2 * n];
    }
    SecureWipe(k1.data(), sizeof k1);
    SecureWipe(k2.data(), sizeof k2);
    SecureWipe(k3.data(), sizeof k3);
}

TripleDes::~TripleDes() {
    SecureWipe(subkeys_.data(), sizeof subkeys_);
    SecureWipe(roundPairs_.data(), sizeof roundPairs_);
}

void TripleDes::EncryptBlock(std::uint32_t w0, std::uint32_t w1, std::uint32_t& out0, std::uint32_t& out1) const {
    OneBlock<1>(roundPairs_.data(), w0, w1, out0, out1);
}

void TripleDes::DecryptBlock(std::uint32_t w0, std::uint32_t w1, std::uint32_t& out0, std::uint32_t& out1) const {
    OneBlock<-1>(roundPairs_.data() + roundPairs_.size() - 1, w0, w1, out0, out1);
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
    DecryptPortable(roundPairs_.data() + roundPairs_.size() - 1, in + done * kBlockBytes, out + done * kBlockBytes,
                    blockCount - done);
}

}  // namespace morvex
