#include <gcrypt.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ciphers/BlockBytes.h"
#include "ciphers/CpuPath.h"
#include "ciphers/Des.h"
#include "ciphers/TripleDes.h"

namespace morvex {
namespace {

using Bytes8 = std::array<unsigned char, 8>;

void PutBigEndian(unsigned char* p, std::uint32_t w) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<unsigned char>(w >> (24 - 8 * i));
    }
}

// TDEA from libgcrypt on the bundle (K1, K2, K3), each key word most significant byte first.
Bytes8 GcryptTdea(const std::array<std::uint32_t, 6>& bundle, Bytes8 block, bool encrypt) {
    static const bool initialised = gcry_check_version(nullptr) != nullptr;
    EXPECT_TRUE(initialised);
    std::array<unsigned char, 24> key{};
    for (std::size_t i = 0; i < bundle.size(); ++i) {
        PutBigEndian(key.data() + 4 * i, bundle[i]);
    }
    gcry_cipher_hd_t handle = nullptr;
    EXPECT_EQ(gcry_cipher_open(&handle, GCRY_CIPHER_3DES, GCRY_CIPHER_MODE_ECB, 0), 0U);
    EXPECT_EQ(gcry_cipher_ctl(handle, GCRYCTL_SET_ALLOW_WEAK_KEY, nullptr, 1), 0U);
    const gcry_error_t keyResult = gcry_cipher_setkey(handle, key.data(), key.size());
    EXPECT_TRUE(keyResult == 0 || gcry_err_code(keyResult) == GPG_ERR_WEAK_KEY);
    const gcry_error_t result = encrypt ? gcry_cipher_encrypt(handle, block.data(), 8, nullptr, 0)
                                        : gcry_cipher_decrypt(handle, block.data(), 8, nullptr, 0);
    EXPECT_EQ(result, 0U);
    gcry_cipher_close(handle);
    return block;
}

// The block as morvex stores it (w0 then w1, least significant byte first) becomes the standard's
// byte string by reversing each group of four.
Bytes8 StandardBytes(std::uint32_t w0, std::uint32_t w1) {
    Bytes8 b{};
    PutBigEndian(b.data(), w0);
    PutBigEndian(b.data() + 4, w1);
    return b;
}

Bytes8 EncryptedStandardBytes(const TripleDes& cipher, std::uint32_t w0, std::uint32_t w1, bool encrypt) {
    std::uint32_t out0 = 0;
    std::uint32_t out1 = 0;
    if (encrypt) {
        cipher.EncryptBlock(w0, w1, out0, out1);
    } else {
        cipher.DecryptBlock(w0, w1, out0, out1);
    }
    return StandardBytes(out0, out1);
}

// std::mt19937 yields 32 random bits in a wider type.
class RandomWords {
public:
    explicit RandomWords(unsigned seed) : engine_(seed) {}
    std::uint32_t operator()() { return static_cast<std::uint32_t>(engine_()); }

private:
    std::mt19937 engine_;
};

KeyWords RandomKeyWords(RandomWords& random) {
    return {random(), random(), random(), random()};
}

TEST(TripleDesTest, MatchesLibgcryptOnRandomKeyWordsThroughTheByteView) {
    RandomWords random(2026);
    for (int i = 0; i < 10000; ++i) {
        const KeyWords k = RandomKeyWords(random);
        const TripleDes cipher(k);
        const std::uint32_t w0 = random();
        const std::uint32_t w1 = random();
        const std::array<std::uint32_t, 6> bundle = {k.ka, k.kb, k.kc, k.kd, k.kb, k.ka};
        ASSERT_EQ(EncryptedStandardBytes(cipher, w0, w1, true), GcryptTdea(bundle, StandardBytes(w0, w1), true))
            << "key set " << i;
        ASSERT_EQ(EncryptedStandardBytes(cipher, w0, w1, false), GcryptTdea(bundle, StandardBytes(w0, w1), false))
            << "key set " << i;
    }
}

TEST(TripleDesTest, EqualFirstKeyWordsGiveTwoKeyTdea) {
    RandomWords random(12);
    for (int i = 0; i < 500; ++i) {
        KeyWords k = RandomKeyWords(random);
        k.kb = k.ka;
        const TripleDes cipher(k);
        const std::uint32_t w0 = random();
        const std::uint32_t w1 = random();
        // Keying option 2: K3 = K1.
        const std::array<std::uint32_t, 6> bundle = {k.ka, k.kb, k.kc, k.kd, k.ka, k.kb};
        ASSERT_EQ(EncryptedStandardBytes(cipher, w0, w1, true), GcryptTdea(bundle, StandardBytes(w0, w1), true));
    }
}

// K2 = K1 makes the first two stages cancel, leaving DES under K3; four equal words leave DES
// under K1 (which is then also K3).
TEST(TripleDesTest, CancellingStagesLeaveSingleDes) {
    RandomWords random(3);
    for (int i = 0; i < 500; ++i) {
        const std::uint32_t a = random();
        const std::uint32_t b = random();
        const DesWords block{random(), random()};
        // The ignored bits may differ between K1 and K2 and still cancel.
        const KeyWords cancelling{a, b, a ^ 0x01010101u, b ^ 0x00010001u};
        const KeyWords allEqual{a, a, a, a};
        for (const auto& [keys, desKey] : {std::pair{cancelling, DesWords{b, a}}, std::pair{allEqual, DesWords{a, a}}}) {
            const TripleDes cipher(keys);
            DesWords out;
            cipher.EncryptBlock(block.first, block.second, out.first, out.second);
            EXPECT_EQ(out, DesEncrypt(block, desKey));
            cipher.DecryptBlock(block.first, block.second, out.first, out.second);
            EXPECT_EQ(out, DesDecrypt(block, desKey));
        }
    }
}

TEST(TripleDesTest, LeastSignificantBitOfEveryKeyByteIsIgnored) {
    RandomWords random(4);
    for (int i = 0; i < 100; ++i) {
        const KeyWords k = RandomKeyWords(random);
        const std::uint32_t w0 = random();
        const std::uint32_t w1 = random();
        const TripleDes reference(k);
        std::uint32_t expected0 = 0;
        std::uint32_t expected1 = 0;
        reference.EncryptBlock(w0, w1, expected0, expected1);
        for (int word = 0; word < 4; ++word) {
            for (int byte = 0; byte < 4; ++byte) {
                KeyWords flipped = k;
                std::uint32_t* target[] = {&flipped.ka, &flipped.kb, &flipped.kc, &flipped.kd};
                *target[word] ^= std::uint32_t{1} << (8 * byte);
                const TripleDes cipher(flipped);
                std::uint32_t out0 = 0;
                std::uint32_t out1 = 0;
                cipher.EncryptBlock(w0, w1, out0, out1);
                EXPECT_EQ(out0, expected0) << "word " << word << " byte " << byte;
                EXPECT_EQ(out1, expected1) << "word " << word << " byte " << byte;
                cipher.DecryptBlock(expected0, expected1, out0, out1);
                EXPECT_EQ(out0, w0);
                EXPECT_EQ(out1, w1);
            }
        }
    }
}

TEST(TripleDesTest, WordsAreNotInterchangeableAndDecryptUndoesEncrypt) {
    RandomWords random(5);
    for (int i = 0; i < 2000; ++i) {
        const TripleDes cipher(RandomKeyWords(random));
        const std::uint32_t w0 = random();
        const std::uint32_t w1 = w0 ^ (1u << (i % 32));
        std::uint32_t a0 = 0;
        std::uint32_t a1 = 0;
        std::uint32_t b0 = 0;
        std::uint32_t b1 = 0;
        cipher.EncryptBlock(w0, w1, a0, a1);
        cipher.EncryptBlock(w1, w0, b0, b1);
        EXPECT_FALSE(a0 == b1 && a1 == b0);
        std::uint32_t back0 = 0;
        std::uint32_t back1 = 0;
        cipher.DecryptBlock(a0, a1, back0, back1);
        EXPECT_EQ(back0, w0);
        EXPECT_EQ(back1, w1);
        cipher.DecryptBlock(w0, w1, a0, a1);
        cipher.EncryptBlock(a0, a1, back0, back1);
        EXPECT_EQ(back0, w0);
        EXPECT_EQ(back1, w1);
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

private:
    CpuPath saved_ = CpuPath::Portable;
};

std::vector<std::uint8_t> OneByOne(const TripleDes& cipher, const std::vector<std::uint8_t>& in) {
    std::vector<std::uint8_t> out(in.size());
    for (std::size_t i = 0; i + kBlockBytes <= in.size(); i += kBlockBytes) {
        std::uint32_t w0 = 0;
        std::uint32_t w1 = 0;
        cipher.DecryptBlock(LoadWord(&in[i]), LoadWord(&in[i + 4]), w0, w1);
        StoreWord(&out[i], w0);
        StoreWord(&out[i + 4], w1);
    }
    return out;
}

// The bulk paths work in groups and batches; their edges (one block short of a group, a padded
// last batch) are where they would go wrong, so every length up to a few hundred is tried and then
// lengths around whole batches.
TEST_P(TripleDesBulkTest, DecryptBlocksEqualsDecryptBlockAtEveryLengthInPlaceAndNot) {
    RandomWords random(static_cast<unsigned>(GetParam()) + 77);
    const TripleDes cipher(RandomKeyWords(random));
    std::vector<std::size_t> lengths;
    for (std::size_t n = 1; n <= 300; ++n) {
        lengths.push_back(n);
    }
    for (const std::size_t n : {511U, 512U, 513U, 607U, 608U, 609U, 1023U, 1024U, 1025U, 4096U + 95U, 4096U + 96U, 8192U + 3U}) {
        lengths.push_back(n);
    }
    constexpr std::uint8_t kGuard = 0xA5;
    for (const std::size_t n : lengths) {
        std::vector<std::uint8_t> in(n * kBlockBytes);
        for (auto& b : in) {
            b = static_cast<std::uint8_t>(random());
        }
        const std::vector<std::uint8_t> expected = OneByOne(cipher, in);

        std::vector<std::uint8_t> out(in.size() + kBlockBytes, kGuard);
        cipher.DecryptBlocks(in.data(), out.data(), n);
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), out.begin())) << "blocks " << n;
        for (std::size_t i = in.size(); i < out.size(); ++i) {
            ASSERT_EQ(out[i], kGuard) << "wrote past the end, blocks " << n;
        }

        std::vector<std::uint8_t> inPlace = in;
        cipher.DecryptBlocks(inPlace.data(), inPlace.data(), n);
        ASSERT_EQ(inPlace, expected) << "in place, blocks " << n;
    }
}

// Bulk results against an independent implementation too, not only against DecryptBlock.
TEST_P(TripleDesBulkTest, DecryptBlocksAgreesWithLibgcrypt) {
    RandomWords random(99);
    const KeyWords k = RandomKeyWords(random);
    const TripleDes cipher(k);
    const std::size_t n = 1536 + 200;
    std::vector<std::uint8_t> in(n * kBlockBytes);
    for (auto& b : in) {
        b = static_cast<std::uint8_t>(random());
    }
    std::vector<std::uint8_t> out(in.size());
    cipher.DecryptBlocks(in.data(), out.data(), n);
    const std::array<std::uint32_t, 6> bundle = {k.ka, k.kb, k.kc, k.kd, k.kb, k.ka};
    for (std::size_t i = 0; i < n; i += 37) {
        const std::uint8_t* p = &in[i * kBlockBytes];
        const std::uint8_t* o = &out[i * kBlockBytes];
        ASSERT_EQ(GcryptTdea(bundle, StandardBytes(LoadWord(p), LoadWord(p + 4)), false),
                  StandardBytes(LoadWord(o), LoadWord(o + 4)))
            << "block " << i;
    }
}

// Jobs may split one file between threads and run several ciphers at once: calls on one object,
// and on objects with other keys, must not share working state.
TEST_P(TripleDesBulkTest, ConcurrentCallsGiveTheSameBlocksAsOneThread) {
    RandomWords random(31);
    const TripleDes first(RandomKeyWords(random));
    const TripleDes second(RandomKeyWords(random));
    constexpr std::size_t kThreads = 4;
    const std::size_t n = 2048 + 131;
    std::vector<std::vector<std::uint8_t>> inputs(kThreads, std::vector<std::uint8_t>(n * kBlockBytes));
    std::vector<std::vector<std::uint8_t>> expected;
    for (std::size_t t = 0; t < kThreads; ++t) {
        for (auto& b : inputs[t]) {
            b = static_cast<std::uint8_t>(random());
        }
        expected.push_back(OneByOne(t % 2 == 0 ? first : second, inputs[t]));
    }
    std::vector<std::vector<std::uint8_t>> results(kThreads, std::vector<std::uint8_t>(n * kBlockBytes));
    std::vector<int> mismatches(kThreads, 0);
    {
        std::vector<std::thread> threads;
        for (std::size_t t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                const TripleDes& cipher = t % 2 == 0 ? first : second;
                for (int repeat = 0; repeat < 100; ++repeat) {
                    cipher.DecryptBlocks(inputs[t].data(), results[t].data(), n);
                    mismatches[t] += results[t] != expected[t] ? 1 : 0;
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
    }
    for (std::size_t t = 0; t < kThreads; ++t) {
        EXPECT_EQ(mismatches[t], 0) << "thread " << t;
    }
}

INSTANTIATE_TEST_SUITE_P(EverySupportedPath, TripleDesBulkTest, ::testing::ValuesIn(SupportedCpuPaths()),
                         [](const auto& testInfo) { return std::string(CpuPathName(testInfo.param)); });

}  // namespace
}  // namespace morvex
