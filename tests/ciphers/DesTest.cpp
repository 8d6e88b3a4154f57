#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "GcryptOracle.h"
#include "ciphers/Des.h"

namespace morvex {
namespace {

DesWords Split(std::uint64_t v) {
    return {static_cast<std::uint32_t>(v >> 32), static_cast<std::uint32_t>(v)};
}

std::uint64_t Join(DesWords w) {
    return (std::uint64_t{w.first} << 32) | w.second;
}

class DesKnownAnswerTest : public ::testing::TestWithParam<std::pair<const char*, std::size_t>> {};

// The published tables, with libgcrypt agreeing on each row so that a typo in the data cannot hide.
TEST_P(DesKnownAnswerTest, EncryptGivesPublishedAnswerAndDecryptGivesPlaintextBack) {
    const auto [table, expectedRows] = GetParam();
    std::ifstream file(std::string(MORVEX_TEST_DATA_DIR) + "/des-known-answers.txt");
    std::size_t rows = 0;
    for (std::string line; std::getline(file, line);) {
        std::istringstream fields(line);
        std::string name;
        std::uint64_t key = 0;
        std::uint64_t plain = 0;
        std::uint64_t cipher = 0;
        if (!(fields >> name >> std::hex >> key >> plain >> cipher) || name != table) {
            continue;
        }
        ++rows;
        SCOPED_TRACE(::testing::Message() << std::hex << "key " << key << " plain " << plain);
        EXPECT_EQ(Join(DesEncrypt(Split(plain), Split(key))), cipher);
        EXPECT_EQ(Join(DesDecrypt(Split(cipher), Split(key))), plain);
        test::Bytes keyBytes;
        test::Bytes block;
        test::PutBigEndian(keyBytes, key, 8);
        test::PutBigEndian(block, plain, 8);
        EXPECT_EQ(test::BigEndian(test::GcryptEcb(GCRY_CIPHER_DES, keyBytes, block, true).data(), 8), cipher);
    }
    EXPECT_EQ(rows, expectedRows) << "rows of this table in des-known-answers.txt";
}

INSTANTIATE_TEST_SUITE_P(PublishedTables, DesKnownAnswerTest,
                         ::testing::Values(std::pair{"variable-plaintext", std::size_t{64}},
                                           std::pair{"inverse-permutation", std::size_t{64}},
                                           std::pair{"variable-key", std::size_t{56}},
                                           std::pair{"permutation", std::size_t{32}},
                                           std::pair{"substitution", std::size_t{19}}),
                         [](const auto& testInfo) {
                             std::string name = testInfo.param.first;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

// The key schedule never reads bits 8, 16, ..., 64; any other bit matters.
TEST(DesTest, LeastSignificantBitOfEveryKeyByteIsIgnored) {
    std::mt19937_64 random(8);
    for (int i = 0; i < 200; ++i) {
        const std::uint64_t key = random();
        const std::uint64_t plain = random();
        const DesWords expected = DesEncrypt(Split(plain), Split(key));
        const std::uint64_t flipped = key ^ (random() & 0x0101010101010101u);
        EXPECT_EQ(DesEncrypt(Split(plain), Split(flipped)), expected);
        EXPECT_EQ(DesDecrypt(expected, Split(flipped)), Split(plain));
        EXPECT_NE(DesEncrypt(Split(plain), Split(key ^ (2ull << (8 * (i % 8))))), expected);
    }
}

}  // namespace
}  // namespace morvex
