#include <gcrypt.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "ciphers/Des.h"

namespace morvex {
namespace {

struct KnownAnswer {
    std::string table;
    std::uint64_t key = 0;
    std::uint64_t plain = 0;
    std::uint64_t cipher = 0;
};

std::vector<KnownAnswer> ReadKnownAnswers() {
    std::ifstream file(std::string(MORVEX_TEST_DATA_DIR) + "/des-known-answers.txt");
    std::vector<KnownAnswer> rows;
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        KnownAnswer row;
        fields >> row.table >> std::hex >> row.key >> row.plain >> row.cipher;
        if (fields) {
            rows.push_back(row);
        }
    }
    return rows;
}

DesWords Split(std::uint64_t v) {
    return {static_cast<std::uint32_t>(v >> 32), static_cast<std::uint32_t>(v)};
}

std::uint64_t Join(DesWords w) { return (std::uint64_t{w.first} << 32) | w.second; }

std::array<unsigned char, 8> BigEndianBytes(std::uint64_t v) {
    std::array<unsigned char, 8> bytes{};
    for (std::size_t i = 0; i < 8; ++i) {
        bytes[i] = static_cast<unsigned char>(v >> (56 - 8 * i));
    }
    return bytes;
}

// Single DES from libgcrypt, as an independent reference, told to accept weak keys: the
// known-answer tables use 0101010101010101.
std::uint64_t GcryptDesEncrypt(std::uint64_t key, std::uint64_t plain) {
    static const bool initialised = gcry_check_version(nullptr) != nullptr;
    EXPECT_TRUE(initialised);
    gcry_cipher_hd_t handle = nullptr;
    EXPECT_EQ(gcry_cipher_open(&handle, GCRY_CIPHER_DES, GCRY_CIPHER_MODE_ECB, 0), 0U);
    const auto keyBytes = BigEndianBytes(key);
    EXPECT_EQ(gcry_cipher_ctl(handle, GCRYCTL_SET_ALLOW_WEAK_KEY, nullptr, 1), 0U);
    const gcry_error_t keyResult = gcry_cipher_setkey(handle, keyBytes.data(), keyBytes.size());
    EXPECT_TRUE(keyResult == 0 || gcry_err_code(keyResult) == GPG_ERR_WEAK_KEY);
    auto block = BigEndianBytes(plain);
    EXPECT_EQ(gcry_cipher_encrypt(handle, block.data(), block.size(), nullptr, 0), 0U);
    gcry_cipher_close(handle);
    std::uint64_t out = 0;
    for (const unsigned char b : block) {
        out = (out << 8) | b;
    }
    return out;
}

class DesKnownAnswerTest : public ::testing::TestWithParam<std::pair<const char*, std::size_t>> {};

TEST_P(DesKnownAnswerTest, EncryptGivesPublishedAnswerAndDecryptGivesPlaintextBack) {
    const auto [table, expectedRows] = GetParam();
    std::size_t rows = 0;
    for (const KnownAnswer& row : ReadKnownAnswers()) {
        if (row.table != table) {
            continue;
        }
        ++rows;
        SCOPED_TRACE(::testing::Message() << std::hex << "key " << row.key << " plain " << row.plain);
        EXPECT_EQ(Join(DesEncrypt(Split(row.plain), Split(row.key))), row.cipher);
        EXPECT_EQ(Join(DesDecrypt(Split(row.cipher), Split(row.key))), row.plain);
        EXPECT_EQ(GcryptDesEncrypt(row.key, row.plain), row.cipher) << "data file disagrees with libgcrypt";
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
                             for (char& c : name) {
                                 c = c == '-' ? '_' : c;
                             }
                             return name;
                         });

TEST(DesTest, RandomKeysAndBlocksMatchLibgcryptAndRoundTrip) {
    std::mt19937_64 random(0x5eed'de5);
    for (int i = 0; i < 2000; ++i) {
        const std::uint64_t key = random();
        const std::uint64_t plain = random();
        const std::uint64_t cipher = Join(DesEncrypt(Split(plain), Split(key)));
        ASSERT_EQ(cipher, GcryptDesEncrypt(key, plain)) << std::hex << key << " " << plain;
        ASSERT_EQ(Join(DesDecrypt(Split(cipher), Split(key))), plain);
    }
}

// PC-1 never reads key bits 8, 16, ..., 64.
TEST(DesTest, LeastSignificantBitOfEveryKeyByteIsIgnored) {
    std::mt19937_64 random(8);
    for (int i = 0; i < 200; ++i) {
        const std::uint64_t key = random();
        const std::uint64_t plain = random();
        const DesWords expected = DesEncrypt(Split(plain), Split(key));
        for (int byte = 0; byte < 8; ++byte) {
            const std::uint64_t flipped = key ^ (std::uint64_t{1} << (8 * byte));
            EXPECT_EQ(DesEncrypt(Split(plain), Split(flipped)), expected);
            EXPECT_EQ(DesDecrypt(expected, Split(flipped)), Split(plain));
        }
        // Any other bit does matter.
        EXPECT_NE(DesEncrypt(Split(plain), Split(key ^ 2)), expected);
    }
}

}  // namespace
}  // namespace morvex
