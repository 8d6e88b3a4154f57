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
// lengths around whole batches.
TEST_P(TripleDesBulkTest, DecryptBlocksEqualsDecryptBlockAtEveryLengthInPlaceAndNot) {
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
