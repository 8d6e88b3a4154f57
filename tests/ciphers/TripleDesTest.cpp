#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "GcryptOracle.h"
#include "ciphers/CpuPath.h"
#include "ciphers/Des.h"
#include "ciphers/DesCore.h"
#include "ciphers/DesX86.h"
#include "ciphers/TripleDes.h"

namespace morvex {
namespace {

using test::Bytes;

[[nodiscard]] KeyWords RandomKeyWords(std::mt19937& random) {
    return {static_cast<std::uint32_t>(random()), static_cast<std::uint32_t>(random()),
            static_cast<std::uint32_t>(random()), static_cast<std::uint32_t>(random())};
}

// libgcrypt's TDEA on blocks in morvex's byte view: K1 = (KA, KB), K2 = (KC, KD), K3 = (KB, KA).
[[nodiscard]] Bytes LibraryTdea(const KeyWords& k, const Bytes& onDisk, bool encrypt) {
    Bytes key;
    for (const std::uint32_t word : {k.ka, k.kb, k.kc, k.kd, k.kb, k.ka}) {
        test::PutBigEndian(key, word, 4);
    }
    return test::ReverseEachGroup(
        test::GcryptEcb(GCRY_CIPHER_3DES, key, test::ReverseEachGroup(onDisk, 4), encrypt), 4);
}

// Every tenth key set has KA = KB, which makes K3 = K1: two-key TDEA. Exchanging w0 and w1 must
// not just exchange the result.
TEST(TripleDesTest, MatchesLibgcryptOnRandomKeyWordsThroughTheByteView) {
    std::mt19937 random(2026);
    for (int i = 0; i < 10000; ++i) {
        KeyWords k = RandomKeyWords(random);
        k.kb = i % 10 == 0 ? k.ka : k.kb;
        const TripleDes cipher(k);
        const Bytes block = test::RandomBytes(random, 8);
        const Bytes encrypted = test::BlockByBlock(cipher, block, true);
        ASSERT_EQ(encrypted, LibraryTdea(k, block, true)) << "key set " << i;
        ASSERT_EQ(test::BlockByBlock(cipher, block, false), LibraryTdea(k, block, false)) << "key set " << i;
        EXPECT_NE(test::BlockByBlock(cipher, test::Exchanged(block), true), test::Exchanged(encrypted))
            << "key set " << i;
    }
}

// K2 = K1 makes the first two stages cancel, leaving DES under K3, even where the ignored bits of
// K1 and K2 differ; four equal words leave DES under K1. Flipping ignored bits changes nothing.
TEST(TripleDesTest, CancellingStagesLeaveSingleDesAndParityBitsAreIgnored) {
    std::mt19937 random(3);
    for (int i = 0; i < 500; ++i) {
        const std::uint32_t a = static_cast<std::uint32_t>(random());
        const std::uint32_t b = static_cast<std::uint32_t>(random());
        const DesWords block{static_cast<std::uint32_t>(random()), static_cast<std::uint32_t>(random())};
        const KeyWords cancelling{a, b, a ^ 0x01010101u, b ^ 0x00010001u};
        for (const auto& [keys, desKey] :
             {std::pair{cancelling, DesWords{b, a}}, std::pair{KeyWords{a, a, a, a}, DesWords{a, a}}}) {
            const TripleDes cipher(keys);
            DesWords out;
            cipher.EncryptBlock(block.first, block.second, out.first, out.second);
            EXPECT_EQ(out, DesEncrypt(block, desKey));
            cipher.DecryptBlock(block.first, block.second, out.first, out.second);
            EXPECT_EQ(out, DesDecrypt(block, desKey));
        }
        const KeyWords k = RandomKeyWords(random);
        const auto parity = [&random] { return static_cast<std::uint32_t>(random()) & 0x01010101u; };
        const KeyWords flipped{k.ka ^ parity(), k.kb ^ parity(), k.kc ^ parity(), k.kd ^ parity()};
        const Bytes plain = test::RandomBytes(random, 8);
        EXPECT_EQ(test::BlockByBlock(TripleDes(flipped), plain, true),
                  test::BlockByBlock(TripleDes(k), plain, true));
        EXPECT_EQ(test::BlockByBlock(TripleDes(flipped), plain, false),
                  test::BlockByBlock(TripleDes(k), plain, false));
    }
}

#ifdef MORVEX_DES_X86
// The assembly rounds, with their own layout, tables and subkey differences, against the portable
// rounds, both ways. Round keys from real schedules (two-key and cancelling ones among them) and
// arbitrary ones, which reach subkey bits no schedule links; blocks with one bit set reach every
// nibble of the way in, random ones every group of the way out.
TEST(TripleDesTest, AssemblyRoundsMatchPortableRounds) {
    std::mt19937_64 random(0xde5);
    const auto word = [&random] { return static_cast<std::uint32_t>(random()); };
    for (int trial = 0; trial < 3000; ++trial) {
        des::TripleRoundPairs pairs{};
        if (trial % 2 == 0) {
            const std::uint32_t a = word();
            const std::uint32_t b = trial % 6 == 0 ? a : word();
            const std::uint32_t c = trial % 10 == 0 ? a : word();
            const std::uint32_t d = trial % 10 == 0 ? b : word();
            pairs = des::MakeTripleRoundPairs(des::ExpandKey(a, b), des::ExpandKey(c, d), des::ExpandKey(b, a));
        } else {
            for (std::uint64_t& pair : pairs) {
                pair = random() & 0x3f3f3f3f3f3f3f3full;
            }
        }
        const des_x86::Schedule forwards = des_x86::MakeSchedule(pairs, false);
        const des_x86::Schedule backwards = des_x86::MakeSchedule(pairs, true);
        for (int b = 0; b < 66; ++b) {
            const std::uint64_t block = b < 64 ? std::uint64_t{1} << b : b == 64 ? random() : ~std::uint64_t{0};
            const auto w0 = static_cast<std::uint32_t>(block >> 32);
            const auto w1 = static_cast<std::uint32_t>(block);
            DesWords expected;
            DesWords actual;
            des::TripleBlock<1>(pairs.data(), w0, w1, expected.first, expected.second);
            des_x86::Crypt(forwards, w0, w1, actual.first, actual.second);
            ASSERT_EQ(actual, expected) << "encryption, trial " << trial << ", block " << b;
            des::TripleBlock<-1>(pairs.data() + pairs.size() - 1, w0, w1, expected.first, expected.second);
            des_x86::Crypt(backwards, w0, w1, actual.first, actual.second);
            ASSERT_EQ(actual, expected) << "decryption, trial " << trial << ", block " << b;
        }
    }
}
#endif

// Chained encryption: whatever form the chaining value takes between blocks, each block must come
// out as EncryptBlock(w ^ c) for the block c encrypted before it.

// Key sets that reach the schedules' odd cases: two-key (KA = KB makes K3 = K1), cancelling (K2 =
// K1 leaves single DES under K3), all four words equal (single DES under K1), and random ones.
[[nodiscard]] KeyWords ChainKeyWords(std::mt19937& random, int set) {
    const KeyWords k = RandomKeyWords(random);
    const KeyWords variants[] = {{k.ka, k.ka, k.kc, k.kd}, {k.ka, k.kb, k.ka, k.kb}, {k.ka, k.ka, k.ka, k.ka}, k};
    return variants[set % 4];
}

// Plain blocks: random, all zero, all ones, single bits (one per nibble IP takes in), and equal to
// or the complement of the chaining value, so that the block encrypted is zero or all ones.
[[nodiscard]] DesWords ChainPlainBlock(std::mt19937& random, std::size_t n, DesWords c) {
    const std::uint64_t bit = std::uint64_t{1} << (n / 6 % 64);
    const DesWords blocks[] = {{static_cast<std::uint32_t>(random()), static_cast<std::uint32_t>(random())},
                               n % 12 == 1 ? DesWords{} : DesWords{~0u, ~0u},
                               {static_cast<std::uint32_t>(bit >> 32), static_cast<std::uint32_t>(bit)},
                               c,
                               {~c.first, ~c.second}};
    return blocks[n % 5];
}

// Chains start from all zero, all ones, random words, and default-constructed (standing for zero).
// After each block the chain must be the encrypted block alone: any cipher starting from that
// block gets the same chain, so no key material is left in it.
TEST(TripleDesChainTest, ChainedBlocksEqualEncryptBlockOfTheBlockXorTheLastAndTheChainHoldsNoKey) {
    std::mt19937 random(0xcbc);
    const TripleDes unrelated(RandomKeyWords(random));
    for (int set = 0; set < 160; ++set) {
        const TripleDes cipher(ChainKeyWords(random, set));
        const DesWords starts[] = {{}, {~0u, ~0u}, {static_cast<std::uint32_t>(random()), 0x80000001u}};
        DesWords c = set % 4 == 3 ? DesWords{} : starts[set % 4];
        TripleDes::EncryptionChain chain =
            set % 4 == 3 ? TripleDes::EncryptionChain{} : cipher.StartEncryptionChain(c.first, c.second);
        for (std::size_t n = 0; n < 200; ++n) {
            const DesWords w = ChainPlainBlock(random, n, c);
            DesWords expected;
            cipher.EncryptBlock(w.first ^ c.first, w.second ^ c.second, expected.first, expected.second);
            DesWords out;
            cipher.EncryptChained(chain, w.first, w.second, out.first, out.second);
            ASSERT_EQ(out, expected) << "key set " << set << ", block " << n;
            const TripleDes::EncryptionChain restarted = unrelated.StartEncryptionChain(out.first, out.second);
            ASSERT_EQ(chain.left, restarted.left) << "key set " << set << ", block " << n;
            ASSERT_EQ(chain.right, restarted.right) << "key set " << set << ", block " << n;
            c = out;
        }
    }
}

// libgcrypt's TDEA-CBC from the initial value iv, on bytes in the standard's order: each word
// most significant byte first, as the words below are read and written.
[[nodiscard]] Bytes LibraryTdeaCbc(const KeyWords& k, DesWords iv, Bytes data) {
    test::GcryptReady();
    Bytes key;
    for (const std::uint32_t word : {k.ka, k.kb, k.kc, k.kd, k.kb, k.ka}) {
        test::PutBigEndian(key, word, 4);
    }
    Bytes ivBytes;
    test::PutBigEndian(ivBytes, iv.first, 4);
    test::PutBigEndian(ivBytes, iv.second, 4);
    gcry_cipher_hd_t handle = nullptr;
    EXPECT_EQ(gcry_cipher_open(&handle, GCRY_CIPHER_3DES, GCRY_CIPHER_MODE_CBC, 0), 0u);
    gcry_cipher_ctl(handle, GCRYCTL_SET_ALLOW_WEAK_KEY, nullptr, 1);
    const gcry_error_t keyResult = gcry_cipher_setkey(handle, key.data(), key.size());
    EXPECT_TRUE(keyResult == 0 || gcry_err_code(keyResult) == GPG_ERR_WEAK_KEY);
    EXPECT_EQ(gcry_cipher_setiv(handle, ivBytes.data(), ivBytes.size()), 0u);
    EXPECT_EQ(gcry_cipher_encrypt(handle, data.data(), data.size(), nullptr, 0), 0u);
    gcry_cipher_close(handle);
    return data;
}

TEST(TripleDesChainTest, ChainedBlocksMatchLibgcryptCbc) {
    std::mt19937 random(0x3cbc);
    for (int set = 0; set < 200; ++set) {
        const KeyWords k = ChainKeyWords(random, set);
        const TripleDes cipher(k);
        const DesWords iv{static_cast<std::uint32_t>(random()), static_cast<std::uint32_t>(random())};
        const Bytes plain = test::RandomBytes(random, 8 * (1 + static_cast<std::size_t>(set % 40)));
        TripleDes::EncryptionChain chain = cipher.StartEncryptionChain(iv.first, iv.second);
        Bytes encrypted;
        for (std::size_t at = 0; at < plain.size(); at += 8) {
            DesWords out;
            cipher.EncryptChained(chain, static_cast<std::uint32_t>(test::BigEndian(&plain[at], 4)),
                                  static_cast<std::uint32_t>(test::BigEndian(&plain[at + 4], 4)), out.first,
                                  out.second);
            test::PutBigEndian(encrypted, out.first, 4);
            test::PutBigEndian(encrypted, out.second, 4);
        }
        ASSERT_EQ(encrypted, LibraryTdeaCbc(k, iv, plain)) << "key set " << set;
    }
}

// The portable chained rounds (used where the assembly is not) and, on x86-64, the assembly ones,
// on real and arbitrary round keys: the arbitrary ones reach the subkey bits that the last key
// folded into L16 may hold, which no schedule links.
TEST(TripleDesChainTest, ChainedRoundsOnEveryPathMatchTheirBlockRounds) {
    std::mt19937_64 random(0xc4a1);
    const auto word = [&random] { return static_cast<std::uint32_t>(random()); };
    for (int trial = 0; trial < 400; ++trial) {
        des::TripleRoundPairs pairs{};
        if (trial % 2 == 0) {
            const std::uint32_t a = word();
            const std::uint32_t b = trial % 6 == 0 ? a : word();
            pairs = des::MakeTripleRoundPairs(des::ExpandKey(a, b), des::ExpandKey(word(), word()),
                                              des::ExpandKey(b, a));
        } else {
            for (std::uint64_t& pair : pairs) {
                pair = random() & 0x3f3f3f3f3f3f3f3full;
            }
        }
        DesWords c{word(), trial % 3 == 0 ? 0u : word()};
        std::uint32_t left = 0;
        std::uint32_t right = 0;
        des::InitialPermutation(c.first, c.second, left, right);
#ifdef MORVEX_DES_X86
        const des_x86::Schedule schedule = des_x86::MakeSchedule(pairs, false);
        std::uint64_t chainLeft = 0;
        std::uint64_t chainRight = 0;
        des_x86::StartChain(c.first, c.second, chainLeft, chainRight);
#endif
        for (int n = 0; n < 66; ++n) {
            const std::uint64_t block = n < 64 ? std::uint64_t{1} << n : n == 64 ? random() : ~std::uint64_t{0};
            const auto w0 = static_cast<std::uint32_t>(block >> 32);
            const auto w1 = static_cast<std::uint32_t>(block);
            DesWords expected;
            des::TripleBlock<1>(pairs.data(), w0 ^ c.first, w1 ^ c.second, expected.first, expected.second);
            DesWords out;
            des::TripleBlockChained(pairs.data(), left, right, w0, w1, out.first, out.second);
            ASSERT_EQ(out, expected) << "portable, trial " << trial << ", block " << n;
#ifdef MORVEX_DES_X86
            des_x86::CryptChained(schedule, chainLeft, chainRight, w0, w1, out.first, out.second);
            ASSERT_EQ(out, expected) << "assembly, trial " << trial << ", block " << n;
#endif
            c = expected;
        }
    }
}

// Keeps the bulk path a test chose from leaking into the next test.
class TripleDesBulkTest : public ::testing::TestWithParam<CpuPath> {
  protected:
    void SetUp() override {
        saved_ = ActiveCpuPath();
        ASSERT_TRUE(SelectCpuPath(GetParam()));
    }
    void TearDown() override { SelectCpuPath(saved_); }

    std::mt19937 random_{static_cast<unsigned>(GetParam()) + 77};

  private:
    CpuPath saved_ = CpuPath::Portable;
};

// The bulk paths work in groups and batches; their edges (one block short of a group, a padded
// last batch) are where they would go wrong, so every length up to a few hundred is tried and then
// lengths around whole batches; with and without a mask XORed into the blocks as they are stored.
TEST_P(TripleDesBulkTest, DecryptBlocksEqualsDecryptBlockAtEveryLengthInPlaceAndNotMaskedAndNot) {
    const TripleDes cipher(RandomKeyWords(random_));
    std::vector<std::size_t> lengths;
    for (std::size_t n = 1; n <= 300; ++n) {
        lengths.push_back(n);
    }
    lengths.insert(lengths.end(),
                   {511, 512, 513, 607, 608, 609, 1023, 1024, 1025, 4096 + 95, 4096 + 96, 8192 + 3});
    for (const std::size_t n : lengths) {
        const Bytes in = test::RandomBytes(random_, n * 8);
        Bytes expected = test::BlockByBlock(cipher, in, false);
        expected.resize(in.size() + 8, 0xA5);  // guard bytes: nothing may be written past the end
        Bytes out(in.size() + 8, 0xA5);
        cipher.DecryptBlocks(in.data(), out.data(), n);
        ASSERT_EQ(out, expected) << "blocks " << n;
        Bytes inPlace = in;
        cipher.DecryptBlocks(inPlace.data(), inPlace.data(), n);
        ASSERT_TRUE(std::equal(inPlace.begin(), inPlace.end(), expected.begin())) << "in place, blocks " << n;
        const Bytes mask = test::RandomBytes(random_, n * 8);
        for (std::size_t i = 0; i < mask.size(); ++i) {
            expected[i] ^= mask[i];
        }
        Bytes masked(in.size() + 8, 0xA5);
        cipher.DecryptBlocksXor(in.data(), mask.data(), masked.data(), n);
        ASSERT_EQ(masked, expected) << "masked, blocks " << n;
    }
}

// Jobs may split one file between threads and run several ciphers at once: calls on one object,
// and on objects with other keys, must not share working state.
TEST_P(TripleDesBulkTest, ConcurrentCallsGiveTheSameBlocksAsOneThread) {
    const TripleDes first(RandomKeyWords(random_));
    const TripleDes second(RandomKeyWords(random_));
    constexpr std::size_t kThreads = 4;
    constexpr std::size_t kBlocks = 2048 + 131;
    std::vector<Bytes> inputs;
    std::vector<Bytes> expected;
    for (std::size_t t = 0; t < kThreads; ++t) {
        inputs.push_back(test::RandomBytes(random_, kBlocks * 8));
        expected.push_back(test::BlockByBlock(t % 2 == 0 ? first : second, inputs[t], false));
    }
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            Bytes out(kBlocks * 8);
            for (int repeat = 0; repeat < 100; ++repeat) {
                (t % 2 == 0 ? first : second).DecryptBlocks(inputs[t].data(), out.data(), kBlocks);
                mismatches[t] += out != expected[t] ? 1 : 0;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches, std::vector<int>(kThreads, 0));
}

INSTANTIATE_TEST_SUITE_P(EverySupportedPath, TripleDesBulkTest, ::testing::ValuesIn(SupportedCpuPaths()),
                         [](const auto& testInfo) { return std::string(CpuPathName(testInfo.param)); });

}  // namespace
}  // namespace morvex
