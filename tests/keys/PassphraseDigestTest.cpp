#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "../ciphers/GcryptOracle.h"
#include "keys/PassphraseDigest.h"

namespace morvex {
namespace {

// libgcrypt's MD5 of the bytes, read as four words with the first byte of each most significant.
[[nodiscard]] KeyWords LibraryMd5Words(const std::string& text) {
    test::GcryptReady();
    std::array<std::uint8_t, 16> d{};
    gcry_md_hash_buffer(GCRY_MD_MD5, d.data(), text.data(), text.size());
    const auto word = [&](std::size_t i) { return static_cast<std::uint32_t>(test::BigEndian(&d[i], 4)); };
    return {word(0), word(4), word(8), word(12)};
}

// One block: the text, the end marker, and the byte-sized count `count` at 56 (little-endian words).
[[nodiscard]] Md5Chain CompressBlock(const std::string& text, std::uint8_t count) {
    std::array<std::uint8_t, 64> block{};
    std::copy(text.begin(), text.end(), block.begin());
    block[text.size()] = 0x80;
    block[56] = count;
    std::array<std::uint32_t, 16> x{};
    for (std::size_t i = 0; i < 64; ++i) {
        x[i / 4] |= std::uint32_t{block[i]} << (8 * (i % 4));
    }
    Md5Chain chain{0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};
    Md5Compress(chain, x);
    return chain;
}

[[nodiscard]] std::string RandomPassphrase(std::mt19937& rng, std::size_t length) {
    std::uniform_int_distribution<int> byte(1, 255);  // the dialog never passes a zero byte
    std::string text(length, '\0');
    for (char& c : text) {
        c = static_cast<char>(byte(rng));
    }
    return text;
}

// Fed MD5's own padded block the transform gives MD5 itself; the library must agree with the
// published answers too, so that a typo in the data file cannot hide.
TEST(Md5CompressTest, MatchesRfc1321SuiteOnPaddedBlocks) {
    std::ifstream file(std::string(MORVEX_TEST_DATA_DIR) + "/md5-rfc1321.txt");
    int rows = 0;
    for (std::string line; std::getline(file, line);) {
        const std::size_t open = line.find('"');
        if (line.empty() || line[0] == '#' || open == std::string::npos) {
            continue;
        }
        const std::string message = line.substr(open + 1, line.rfind('"') - open - 1);
        SCOPED_TRACE(message);
        ASSERT_LE(message.size(), 55u);
        ++rows;
        const Md5Chain chain = CompressBlock(message, static_cast<std::uint8_t>(8 * message.size()));
        const KeyWords library = LibraryMd5Words(message);
        std::string hex;
        for (const std::uint32_t word : {chain.a, chain.b, chain.c, chain.d}) {
            for (int byte = 0; byte < 4; ++byte) {
                hex += "0123456789abcdef"[(word >> (8 * byte + 4)) & 0xfu];
                hex += "0123456789abcdef"[(word >> (8 * byte)) & 0xfu];
            }
        }
        EXPECT_EQ(hex, line.substr(0, line.find(' ')));
        EXPECT_EQ(library, (KeyWords{SwapBytes32(chain.a), SwapBytes32(chain.b), SwapBytes32(chain.c),
                                     SwapBytes32(chain.d)}));
    }
    EXPECT_EQ(rows, 5);
}

// The key words are the transform of the text's block with the byte count's bits mirrored at 56.
// That equals MD5 only where the mirrored count is 8 * length; there they must equal libgcrypt's
// MD5 whatever the bytes, and anywhere else differ. Texts of 0x80 and 0xFF bytes check that bytes
// enter unsigned and that a 0x80 in the text is data, not the end marker; 55 bytes leave the end
// marker right before the count.
TEST(DeriveKeyWordsTest, TransformOfTheMirroredCountBlockEqualToMd5ExactlyAtItsLengths) {
    const std::set<std::size_t> md5Lengths{0, 4, 10, 14, 17, 21, 27, 31};
    std::mt19937 rng(20261208);
    for (std::size_t length = 0; length <= kMaxPassphraseBytes; ++length) {
        std::uint8_t mirrored = 0;
        for (std::size_t bit = 0; bit < 8; ++bit) {
            mirrored = static_cast<std::uint8_t>(mirrored | (((length >> bit) & 1u) << (7 - bit)));
        }
        std::vector<std::string> texts{std::string(length, '\x80'), std::string(length, '\xff')};
        for (int sample = 0; sample < 8; ++sample) {
            texts.push_back(RandomPassphrase(rng, length));
        }
        for (const std::string& text : texts) {
            SCOPED_TRACE(testing::Message() << "length " << length << " first byte "
                                            << (length > 0 ? static_cast<unsigned>(text[0]) & 0xffu : 0u));
            const KeyWords words = DeriveKeyWords(text);
            const Md5Chain chain = CompressBlock(text, mirrored);
            EXPECT_EQ(words, (KeyWords{SwapBytes32(chain.a), SwapBytes32(chain.b), SwapBytes32(chain.c),
                                       SwapBytes32(chain.d)}));
            EXPECT_EQ(words == LibraryMd5Words(text), md5Lengths.count(length) != 0);
        }
    }
}

// No trace of an earlier, longer passphrase; nothing past the 55th byte counts, the 55th does.
TEST(DeriveKeyWordsTest, DependsOnlyOnTheFirst55BytesOfThisPassphrase) {
    std::mt19937 rng(7);
    const std::string longText = RandomPassphrase(rng, kMaxPassphraseBytes);
    const KeyWords longWords = DeriveKeyWords(longText);
    EXPECT_EQ(DeriveKeyWords(longText.substr(0, 4)), LibraryMd5Words(longText.substr(0, 4)));
    for (const std::size_t extra : {1u, 9u, 200u}) {
        EXPECT_EQ(DeriveKeyWords(longText + RandomPassphrase(rng, extra)), longWords)
            << extra << " extra bytes";
    }
    std::string changedLast = longText;
    changedLast.back() = static_cast<char>(changedLast.back() ^ 1);
    EXPECT_NE(DeriveKeyWords(changedLast), longWords);
}

TEST(BitAndByteOrderTest, ReverseAndSwapMoveEachBitWhereTheyShould) {
    for (int i = 0; i < 32; ++i) {
        EXPECT_EQ(ReverseBits32(1u << i), 1u << (31 - i)) << i;
        EXPECT_EQ(SwapBytes32(1u << i), 1u << (8 * (3 - i / 8) + i % 8)) << i;
    }
}

}  // namespace
}  // namespace morvex
