#include <gcrypt.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ciphers/BlockBytes.h"
#include "ciphers/CpuPath.h"
#include "ciphers/Idea.h"
#include "ciphers/IdeaBulk.h"
#include "ciphers/IdeaCipher.h"

namespace morvex {
namespace {

using Bytes = std::vector<std::uint8_t>;

[[nodiscard]] CpuPath DefaultPath() {
    return SupportedCpuPaths().back();
}

[[nodiscard]] Bytes RandomBytes(std::mt19937& random, const std::size_t size) {
    Bytes bytes(size);
    std::generate(bytes.begin(), bytes.end(), [&random] { return static_cast<std::uint8_t>(random()); });
    return bytes;
}

[[nodiscard]] IdeaKey RandomKey(std::mt19937& random) {
    IdeaKey key{};
    std::generate(key.begin(), key.end(), [&random] { return static_cast<std::uint16_t>(random()); });
    return key;
}

[[nodiscard]] Bytes Crypt(const CpuPath path, const IdeaSubkeys& subkeys, const Bytes& in) {
    Bytes out(in.size());
    IdeaCryptBlocks(path, subkeys, in.data(), out.data(), in.size() / kBlockBytes);
    return out;
}

// On disk a block is the standard's 64-bit block with its eight bytes reversed (w1 is the more
// significant word and each word is stored least significant byte first).
[[nodiscard]] Bytes ReverseEachBlock(Bytes data) {
    for (auto block = data.begin(); block != data.end(); block += kBlockBytes) {
        std::reverse(block, block + kBlockBytes);
    }
    return data;
}

// libgcrypt's IDEA, which works in the standard's byte order: an implementation independent of ours.
[[nodiscard]] Bytes GcryptEncrypt(const IdeaKey& key, const Bytes& plain) {
    static const bool initialised = gcry_check_version(nullptr) != nullptr;
    EXPECT_TRUE(initialised);
    std::array<std::uint8_t, 16> keyBytes{};
    for (std::size_t i = 0; i < key.size(); ++i) {
        keyBytes[2 * i] = static_cast<std::uint8_t>(key[i] >> 8);
        keyBytes[2 * i + 1] = static_cast<std::uint8_t>(key[i]);
    }
    Bytes data = ReverseEachBlock(plain);
    gcry_cipher_hd_t handle = nullptr;
    EXPECT_EQ(gcry_cipher_open(&handle, GCRY_CIPHER_IDEA, GCRY_CIPHER_MODE_ECB, 0), 0U);
    EXPECT_EQ(gcry_cipher_setkey(handle, keyBytes.data(), keyBytes.size()), 0U);
    EXPECT_EQ(gcry_cipher_encrypt(handle, data.data(), data.size(), nullptr, 0), 0U);
    gcry_cipher_close(handle);
    return ReverseEachBlock(data);
}

TEST(CpuPathTest, PortableFirstBestByDefaultAndUnsupportedRefused) {
    const std::vector<CpuPath> supported = SupportedCpuPaths();
    ASSERT_FALSE(supported.empty());
    EXPECT_EQ(supported.front(), CpuPath::Portable);
    EXPECT_TRUE(std::is_sorted(supported.begin(), supported.end()));
    EXPECT_EQ(ActiveCpuPath(), supported.back());

    for (const CpuPath path : {CpuPath::Portable, CpuPath::Sse2, CpuPath::Avx2, CpuPath::Avx512}) {
        const bool listed = std::find(supported.begin(), supported.end(), path) != supported.end();
        EXPECT_EQ(CpuPathSupported(path), listed) << CpuPathName(path);
        const CpuPath before = ActiveCpuPath();
        EXPECT_EQ(SelectCpuPath(path), listed) << CpuPathName(path);
        EXPECT_EQ(ActiveCpuPath(), listed ? path : before) << CpuPathName(path);
    }
    ASSERT_TRUE(SelectCpuPath(DefaultPath()));
}

class IdeaBulkPathTest : public ::testing::TestWithParam<CpuPath> {
protected:
    void TearDown() override { ASSERT_TRUE(SelectCpuPath(DefaultPath())); }

    [[nodiscard]] std::uint32_t Next() { return static_cast<std::uint32_t>(random_()); }

    std::mt19937 random_{0x1DEAu + static_cast<unsigned>(GetParam())};
};

// The published answers, every block of a buffer that fills all lanes and leaves a tail.
TEST_P(IdeaBulkPathTest, PublishedAnswersInEveryLane) {
    std::ifstream file(std::string(MORVEX_TEST_DATA_DIR) + "/idea-vectors.txt");
    ASSERT_TRUE(file.is_open());
    const auto parse = [](const std::string& hex) {
        Bytes bytes;
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
            bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
        }
        return bytes;
    };
    constexpr std::size_t kCopies = 131;
    int rows = 0;
    for (std::string line; std::getline(file, line);) {
        std::istringstream fields(line);
        std::string hex[3];
        if (line.empty() || line[0] == '#' || !(fields >> hex[0] >> hex[1] >> hex[2])) {
            continue;
        }
        const Bytes keyBytes = parse(hex[0]);
        IdeaKey key{};
        for (std::size_t i = 0; i < key.size(); ++i) {
            key[i] = static_cast<std::uint16_t>(keyBytes[2 * i] << 8 | keyBytes[2 * i + 1]);
        }
        const Bytes plain = parse(hex[1]);
        const Bytes cipher = parse(hex[2]);
        Bytes plainBuffer;
        Bytes cipherBuffer;
        for (std::size_t i = 0; i < kCopies; ++i) {
            plainBuffer.insert(plainBuffer.end(), plain.rbegin(), plain.rend());
            cipherBuffer.insert(cipherBuffer.end(), cipher.rbegin(), cipher.rend());
        }
        const IdeaSubkeys encryptKeys = IdeaExpandKey(key);
        EXPECT_EQ(Crypt(GetParam(), encryptKeys, plainBuffer), cipherBuffer) << line;
        EXPECT_EQ(Crypt(GetParam(), IdeaInvertKey(encryptKeys), cipherBuffer), plainBuffer) << line;
        ++rows;
    }
    EXPECT_GE(rows, 4);
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
        const IdeaSubkeys decryptKeys = IdeaInvertKey(encryptKeys);
        const Bytes plain = RandomBytes(random_, blocks * kBlockBytes);
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
        IdeaCryptBlocks(GetParam(), decryptKeys, inPlace.data(), inPlace.data(), blocks);
        ASSERT_EQ(inPlace, plain) << blocks << " blocks";
    }
}

// Subkeys and sub-blocks of 0 (standing for 65536), 1 and 65535 meet in the multiplications: keys
// whose schedules are all 0, all 65535 or full of zeros, and every 16-bit value as each sub-block.
TEST_P(IdeaBulkPathTest, EdgeFactorsMatchIndependentIdea) {
    constexpr std::array<std::uint16_t, 5> kEdges{0, 1, 2, 0x8000, 0xFFFF};
    std::vector<IdeaKey> keys{IdeaKey{}, IdeaKey{0x8000}};
    keys.back().fill(0xFFFF);
    for (int i = 0; i < 8; ++i) {
        IdeaKey key = RandomKey(random_);
        for (std::uint16_t& part : key) {
            part = random_() % 2 == 0 ? kEdges[random_() % kEdges.size()] : part;
        }
        keys.push_back(key);
    }
    Bytes blocks;
    for (std::size_t n = 0; n < kEdges.size() * kEdges.size() * kEdges.size() * kEdges.size(); ++n) {
        for (std::size_t word = 0, rest = n; word < 4; ++word, rest /= kEdges.size()) {
            blocks.insert(blocks.end(), {static_cast<std::uint8_t>(kEdges[rest % kEdges.size()]),
                                         static_cast<std::uint8_t>(kEdges[rest % kEdges.size()] >> 8)});
        }
    }
    for (std::uint32_t x = 0; x < 0x10000; ++x) {
        for (int word = 0; word < 4; ++word) {
            blocks.insert(blocks.end(), {static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(x >> 8)});
        }
    }
    for (const IdeaKey& key : keys) {
        const IdeaSubkeys encryptKeys = IdeaExpandKey(key);
        const Bytes expected = GcryptEncrypt(key, blocks);
        EXPECT_EQ(Crypt(GetParam(), encryptKeys, blocks), expected);
        EXPECT_EQ(Crypt(GetParam(), IdeaInvertKey(encryptKeys), expected), blocks);
    }
}

TEST_P(IdeaBulkPathTest, CipherDecryptBlocksEqualsDecryptBlock) {
    ASSERT_TRUE(SelectCpuPath(GetParam()));
    for (const std::size_t blocks : {1U, 7U, 31U, 32U, 33U, 128U, 129U, 1000U}) {
        const KeyWords keyWords{Next(), Next(), Next(), Next()};
        const IdeaCipher cipher(keyWords);
        const Bytes in = RandomBytes(random_, blocks * kBlockBytes);
        Bytes out(in.size());
        cipher.DecryptBlocks(in.data(), out.data(), blocks);
        for (std::size_t i = 0; i < blocks; ++i) {
            std::uint32_t out0 = 0;
            std::uint32_t out1 = 0;
            cipher.DecryptBlock(LoadWord(&in[i * kBlockBytes]), LoadWord(&in[i * kBlockBytes + 4]), out0, out1);
            ASSERT_EQ(LoadWord(&out[i * kBlockBytes]), out0) << "block " << i << " of " << blocks;
            ASSERT_EQ(LoadWord(&out[i * kBlockBytes + 4]), out1) << "block " << i << " of " << blocks;
        }
    }
}

// Decryption runs on several threads at once, each with its own key and range: no call may lean
// on state shared between calls.
TEST_P(IdeaBulkPathTest, ConcurrentCallsKeepTheirOwnKeys) {
    constexpr std::size_t kThreads = 3;
    // Short calls, so that set-up and the tail, where a shared buffer would hide, dominate.
    constexpr std::size_t kBlocks = 37;
    std::vector<IdeaSubkeys> keys;
    std::vector<Bytes> inputs;
    std::vector<Bytes> expected;
    for (std::size_t t = 0; t < kThreads; ++t) {
        keys.push_back(IdeaExpandKey(RandomKey(random_)));
        inputs.push_back(RandomBytes(random_, kBlocks * kBlockBytes));
        expected.push_back(Crypt(CpuPath::Portable, keys.back(), inputs.back()));
    }
    std::vector<Bytes> outputs(kThreads, Bytes(kBlocks * kBlockBytes));
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int repeat = 0; repeat < 20000; ++repeat) {
                IdeaCryptBlocks(GetParam(), keys[t], inputs[t].data(), outputs[t].data(), kBlocks);
                mismatches[t] += outputs[t] == expected[t] ? 0 : 1;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches, std::vector<int>(kThreads, 0));
}

INSTANTIATE_TEST_SUITE_P(EverySupportedPath, IdeaBulkPathTest, ::testing::ValuesIn(SupportedCpuPaths()),
                         [](const ::testing::TestParamInfo<CpuPath>& path) {
                             return std::string(CpuPathName(path.param));
                         });

}  // namespace
}  // namespace morvex
