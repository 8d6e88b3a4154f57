#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "GcryptOracle.h"
#include "base/ByteOrder.h"
#include "ciphers/CpuPath.h"
#include "ciphers/Idea.h"
#include "ciphers/IdeaBulk.h"
#include "ciphers/IdeaCipher.h"

namespace morvex {
namespace {

using test::Bytes;

[[nodiscard]] CpuPath DefaultPath() {
    return SupportedCpuPaths().back();
}

[[nodiscard]] IdeaKey RandomKey(std::mt19937& random) {
    IdeaKey key{};
    std::generate(key.begin(), key.end(), [&random] { return static_cast<std::uint16_t>(random()); });
    return key;
}

[[nodiscard]] Bytes Crypt(CpuPath path, const IdeaSubkeys& subkeys, const Bytes& in) {
    Bytes out(in.size());
    IdeaCryptBlocks(path, subkeys, in.data(), out.data(), in.size() / kBlockBytes);
    return out;
}

// libgcrypt's IDEA works in the standard's order: on disk each block's eight bytes are reversed.
[[nodiscard]] Bytes GcryptEncrypt(const IdeaKey& key, const Bytes& onDisk) {
    Bytes keyBytes;
    for (const std::uint16_t part : key) {
        test::PutBigEndian(keyBytes, part, 2);
    }
    return test::ReverseEachGroup(
        test::GcryptEcb(GCRY_CIPHER_IDEA, keyBytes, test::ReverseEachGroup(onDisk, 8), true), 8);
}

TEST(CpuPathTest, PortableFirstBestByDefaultAndUnsupportedRefused) {
    const std::vector<CpuPath> supported = SupportedCpuPaths();
    ASSERT_FALSE(supported.empty());
    EXPECT_EQ(supported.front(), CpuPath::Portable);
    EXPECT_TRUE(std::is_sorted(supported.begin(), supported.end()));
    EXPECT_EQ(ActiveCpuPath(), supported.back());
    for (const CpuPath path : {CpuPath::Portable, CpuPath::Sse2, CpuPath::Avx2, CpuPath::Avx512}) {
        const bool listed = std::find(supported.begin(), supported.end(), path) != supported.end();
        const CpuPath before = ActiveCpuPath();
        EXPECT_EQ(CpuPathSupported(path), listed) << CpuPathName(path);
        EXPECT_EQ(SelectCpuPath(path), listed) << CpuPathName(path);
        EXPECT_EQ(ActiveCpuPath(), listed ? path : before) << CpuPathName(path);
    }
    ASSERT_TRUE(SelectCpuPath(DefaultPath()));
}

class IdeaBulkPathTest : public ::testing::TestWithParam<CpuPath> {
  protected:
    void TearDown() override { ASSERT_TRUE(SelectCpuPath(DefaultPath())); }

    std::mt19937 random_{0x1DEAu + static_cast<unsigned>(GetParam())};
};

// The published answers in every block of a buffer that fills all lanes and leaves a tail; the
// single-block round and libgcrypt must give them too.
TEST_P(IdeaBulkPathTest, PublishedAnswersInEveryLane) {
    std::ifstream file(std::string(MORVEX_TEST_DATA_DIR) + "/idea-vectors.txt");
    int rows = 0;
    for (std::string line; std::getline(file, line);) {
        std::istringstream fields(line);
        std::string hex[3];
        if (line.empty() || line[0] == '#' || !(fields >> hex[0] >> hex[1] >> hex[2])) {
            continue;
        }
        Bytes parsed[3];
        for (int i = 0; i < 3; ++i) {
            for (std::size_t at = 0; at + 1 < hex[i].size(); at += 2) {
                parsed[i].push_back(static_cast<std::uint8_t>(std::stoul(hex[i].substr(at, 2), nullptr, 16)));
            }
        }
        IdeaKey key{};
        IdeaSubBlocks block{};
        for (std::size_t i = 0; i < key.size(); ++i) {
            key[i] = static_cast<std::uint16_t>(test::BigEndian(&parsed[0][2 * i], 2));
            block[i % 4] = static_cast<std::uint16_t>(test::BigEndian(&parsed[1][2 * (i % 4)], 2));
        }
        const IdeaSubkeys encryptKeys = IdeaExpandKey(key);
        IdeaCrypt(block, encryptKeys);
        for (std::size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(block[i], test::BigEndian(&parsed[2][2 * i], 2)) << line;
        }
        const Bytes plain = test::ReverseEachGroup(parsed[1], 8);
        const Bytes cipher = test::ReverseEachGroup(parsed[2], 8);
        EXPECT_EQ(GcryptEncrypt(key, plain), cipher) << "data file disagrees with libgcrypt: " << line;
        Bytes plainBuffer;
        Bytes cipherBuffer;
        for (int copy = 0; copy < 131; ++copy) {
            plainBuffer.insert(plainBuffer.end(), plain.begin(), plain.end());
            cipherBuffer.insert(cipherBuffer.end(), cipher.begin(), cipher.end());
        }
        EXPECT_EQ(Crypt(GetParam(), encryptKeys, plainBuffer), cipherBuffer) << line;
        EXPECT_EQ(Crypt(GetParam(), IdeaInvertKey(encryptKeys), cipherBuffer), plainBuffer) << line;
        ++rows;
    }
    EXPECT_EQ(rows, 4);
}

// Every length from none to a few hundred blocks and some large ones, out of place at every misalignment
// and in place, under encryption and decryption subkeys of random keys, against libgcrypt.
TEST_P(IdeaBulkPathTest, EqualsIndependentIdeaAtEveryLength) {
    std::vector<std::size_t> lengths(301);
    std::iota(lengths.begin(), lengths.end(), 0);
    lengths.insert(lengths.end(), {511, 512, 513, 4096 + 37, 65536 + 5});
    for (const std::size_t blocks : lengths) {
        const IdeaKey key = RandomKey(random_);
        const IdeaSubkeys encryptKeys = IdeaExpandKey(key);
        const Bytes plain = test::RandomBytes(random_, blocks * kBlockBytes);
        const Bytes expected = GcryptEncrypt(key, plain);
        // Misaligned both ways, with guard bytes around the output to catch stray writes.
        const std::size_t offset = blocks % 8;
        Bytes in(offset, 0xA5);
        in.insert(in.end(), plain.begin(), plain.end());
        Bytes out(plain.size() + 32, 0x5A);
        Bytes want = out;
        std::copy(expected.begin(), expected.end(), want.begin() + static_cast<std::ptrdiff_t>(16 - offset));
        IdeaCryptBlocks(GetParam(), encryptKeys, in.data() + offset, out.data() + 16 - offset, blocks);
        ASSERT_EQ(out, want) << blocks << " blocks";

        Bytes inPlace = expected;
        IdeaCryptBlocks(GetParam(), IdeaInvertKey(encryptKeys), inPlace.data(), inPlace.data(), blocks);
        ASSERT_EQ(inPlace, plain) << blocks << " blocks";
    }
}

// Subkeys and sub-blocks of 0 (standing for 65536), 1 and 65535 meet in the multiplications: keys
// whose schedules are all 0, all 65535 or full of edge values, and every 16-bit value as each sub-block.
TEST_P(IdeaBulkPathTest, EdgeFactorsMatchIndependentIdea) {
    constexpr std::array<std::uint16_t, 5> kEdges{0, 1, 2, 0x8000, 0xFFFF};
    std::vector<IdeaKey> keys{IdeaKey{}, IdeaKey{}};
    keys.back().fill(0xFFFF);
    for (int i = 0; i < 8; ++i) {
        IdeaKey key = RandomKey(random_);
        for (std::uint16_t& part : key) {
            part = random_() % 2 == 0 ? kEdges[random_() % kEdges.size()] : part;
        }
        keys.push_back(key);
    }
    Bytes standard;
    for (std::size_t n = 0; n < 625; ++n) {  // every combination of edge sub-blocks
        for (std::size_t word = 0, rest = n; word < 4; ++word, rest /= kEdges.size()) {
            test::PutBigEndian(standard, kEdges[rest % kEdges.size()], 2);
        }
    }
    for (std::uint32_t x = 0; x < 0x10000; ++x) {
        test::PutBigEndian(standard, std::uint64_t{x} * 0x0001000100010001u, 8);
    }
    const Bytes blocks = test::ReverseEachGroup(standard, 8);
    for (const IdeaKey& key : keys) {
        const IdeaSubkeys encryptKeys = IdeaExpandKey(key);
        const Bytes expected = GcryptEncrypt(key, blocks);
        EXPECT_EQ(Crypt(GetParam(), encryptKeys, blocks), expected);
        EXPECT_EQ(Crypt(GetParam(), IdeaInvertKey(encryptKeys), expected), blocks);
    }
}

// The cipher's bulk decryption under the selected path is its single-block one, in place or not.
TEST_P(IdeaBulkPathTest, CipherDecryptBlocksEqualsDecryptBlock) {
    ASSERT_TRUE(SelectCpuPath(GetParam()));
    for (const std::size_t blocks : {0U, 1U, 7U, 31U, 32U, 33U, 128U, 129U, 1000U}) {
        const IdeaCipher cipher(KeyWords{static_cast<std::uint32_t>(random_()), 0,
                                         static_cast<std::uint32_t>(random_()),
                                         static_cast<std::uint32_t>(random_())});
        const Bytes in = test::RandomBytes(random_, blocks * kBlockBytes);
        Bytes expected = test::BlockByBlock(cipher, in, false);
        expected.resize(in.size() + 8, 0xA5);
        Bytes out(in.size() + 8, 0xA5);
        cipher.DecryptBlocks(in.data(), out.data(), blocks);
        ASSERT_EQ(out, expected) << blocks << " blocks";
        Bytes inPlace = in;
        cipher.DecryptBlocks(inPlace.data(), inPlace.data(), blocks);
        ASSERT_TRUE(std::equal(inPlace.begin(), inPlace.end(), expected.begin())) << "in place, " << blocks;
    }
}

// Decryption runs on several threads at once, each with its own key and range: no call may lean
// on state shared between calls. Short calls, so that set-up and the tail, where a shared buffer
// would hide, dominate.
TEST_P(IdeaBulkPathTest, ConcurrentCallsKeepTheirOwnKeys) {
    constexpr std::size_t kThreads = 3;
    constexpr std::size_t kBlocks = 37;
    std::vector<IdeaSubkeys> keys;
    std::vector<Bytes> inputs;
    std::vector<Bytes> expected;
    for (std::size_t t = 0; t < kThreads; ++t) {
        keys.push_back(IdeaExpandKey(RandomKey(random_)));
        inputs.push_back(test::RandomBytes(random_, kBlocks * kBlockBytes));
        expected.push_back(Crypt(CpuPath::Portable, keys.back(), inputs.back()));
    }
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            Bytes out(kBlocks * kBlockBytes);
            for (int repeat = 0; repeat < 20000; ++repeat) {
                IdeaCryptBlocks(GetParam(), keys[t], inputs[t].data(), out.data(), kBlocks);
                mismatches[t] += out == expected[t] ? 0 : 1;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches, std::vector<int>(kThreads, 0));
}

INSTANTIATE_TEST_SUITE_P(EverySupportedPath, IdeaBulkPathTest, ::testing::ValuesIn(SupportedCpuPaths()),
                         [](const auto& testInfo) { return std::string(CpuPathName(testInfo.param)); });

}  // namespace
}  // namespace morvex
