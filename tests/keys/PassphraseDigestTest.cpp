#include <gcrypt.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "keys/PassphraseDigest.h"

namespace morvex {
namespace {

constexpr Md5Chain kInitialChain{0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};

void InitGcrypt() {
    static const bool ready = [] {
        gcry_check_version(nullptr);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        return true;
    }();
    ASSERT_TRUE(ready);
}

// libgcrypt's MD5 of the bytes, read as four words with the first byte of each most significant.
[[nodiscard]] KeyWords LibraryMd5Words(const std::string& bytes) {
    InitGcrypt();
    std::array<unsigned char, 16> digest{};
    gcry_md_hash_buffer(GCRY_MD_MD5, digest.data(), bytes.data(), bytes.size());
    const auto word = [&](std::size_t i) {
        return (std::uint32_t{digest[i]} << 24) | (std::uint32_t{digest[i + 1]} << 16) |
               (std::uint32_t{digest[i + 2]} << 8) | std::uint32_t{digest[i + 3]};
    };
    return {word(0), word(4), word(8), word(12)};
}

[[nodiscard]] std::array<std::uint32_t, 16> LittleEndianWords(const std::array<std::uint8_t, 64>& block) {
    std::array<std::uint32_t, 16> x{};
    for (std::size_t k = 0; k < 16; ++k) {
        for (std::size_t b = 0; b < 4; ++b) {
            x[k] |= std::uint32_t{block[4 * k + b]} << (8 * b);
        }
    }
    return x;
}

[[nodiscard]] std::string RandomPassphrase(std::mt19937& rng, std::size_t length) {
    // The dialog never passes a zero byte, so draw from 1 to 255.
    std::uniform_int_distribution<int> byte(1, 255);
    std::string text(length, '\0');
    for (char& c : text) {
        c = static_cast<char>(byte(rng));
    }
    return text;
}

struct Md5Answer {
    std::string message;
    std::string digestHex;
};

[[nodiscard]] std::vector<Md5Answer> ReadMd5Answers() {
    std::ifstream file(std::string(MORVEX_TEST_DATA_DIR) + "/md5-rfc1321.txt");
    std::vector<Md5Answer> answers;
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const std::size_t open = line.find('"');
        const std::size_t close = line.rfind('"');
        if (open == std::string::npos || close <= open) {
            ADD_FAILURE() << "malformed line: " << line;
            continue;
        }
        answers.push_back({line.substr(open + 1, close - open - 1), line.substr(0, line.find(' '))});
    }
    return answers;
}

[[nodiscard]] std::string ChainHex(const Md5Chain& chain) {
    std::string hex;
    for (const std::uint32_t word : {chain.a, chain.b, chain.c, chain.d}) {
        for (int byte = 0; byte < 4; ++byte) {
            constexpr const char* kDigits = "0123456789abcdef";
            const unsigned value = (word >> (8 * byte)) & 0xffu;
            hex += kDigits[value >> 4];
            hex += kDigits[value & 0xfu];
        }
    }
    return hex;
}

// The transform must be RFC 1321's exactly: fed MD5's own padded block it gives MD5 itself.
TEST(Md5CompressTest, MatchesRfc1321SuiteOnPaddedBlocks) {
    const std::vector<Md5Answer> answers = ReadMd5Answers();
    ASSERT_EQ(answers.size(), 5u);
    for (const Md5Answer& answer : answers) {
        SCOPED_TRACE(answer.message);
        ASSERT_LE(answer.message.size(), 55u);
        std::array<std::uint8_t, 64> block{};
        std::copy(answer.message.begin(), answer.message.end(), block.begin());
        block[answer.message.size()] = 0x80;
        const std::uint64_t bits = 8u * answer.message.size();
        for (std::size_t b = 0; b < 8; ++b) {
            block[56 + b] = static_cast<std::uint8_t>(bits >> (8 * b));
        }
        Md5Chain chain = kInitialChain;
        Md5Compress(chain, LittleEndianWords(block));
        EXPECT_EQ(ChainHex(chain), answer.digestHex);

        // The published answer and the library agree, so a typo in the data file cannot hide.
        const KeyWords library = LibraryMd5Words(answer.message);
        const Md5Chain libraryChain{SwapBytes32(library.ka), SwapBytes32(library.kb), SwapBytes32(library.kc),
                                    SwapBytes32(library.kd)};
        EXPECT_EQ(ChainHex(libraryChain), answer.digestHex);
    }
}

// The mirrored byte count equals MD5's 8 * L only at these lengths; anywhere else the key words must
// differ from MD5, and at these they must equal it, whatever the bytes. Texts of 0x80 and 0xFF bytes
// check that bytes enter unsigned and that a 0x80 in the text is data, not the end marker.
TEST(DeriveKeyWordsTest, EqualsMd5ExactlyAtTheLengthsWhoseMirroredCountIsTheBitCount) {
    const std::set<std::size_t> md5Lengths{0, 4, 10, 14, 17, 21, 27, 31};
    std::mt19937 rng(20261208);
    for (std::size_t length = 0; length <= kMaxPassphraseBytes; ++length) {
        std::vector<std::string> texts{std::string(length, static_cast<char>(0x80)),
                                       std::string(length, static_cast<char>(0xff))};
        for (int sample = 0; sample < 8; ++sample) {
            texts.push_back(RandomPassphrase(rng, length));
        }
        for (const std::string& text : texts) {
            SCOPED_TRACE(testing::Message() << "length " << length << " first byte "
                                            << (length > 0 ? static_cast<unsigned>(text[0]) & 0xffu : 0u));
            if (md5Lengths.count(length) != 0) {
                EXPECT_EQ(DeriveKeyWords(text), LibraryMd5Words(text));
            } else {
                EXPECT_NE(DeriveKeyWords(text), LibraryMd5Words(text));
            }
        }
    }
}

// Every length, the 55-byte one with the end marker right before the length byte included: the key
// words are the transform of the block laid out byte by byte here, with the mirrored count at 56.
TEST(DeriveKeyWordsTest, TransformsTheBlockWithTheMirroredByteCount) {
    std::mt19937 rng(55);
    for (std::size_t length = 0; length <= kMaxPassphraseBytes; ++length) {
        SCOPED_TRACE(testing::Message() << "length " << length);
        const std::string text = RandomPassphrase(rng, length);
        std::array<std::uint8_t, 64> block{};
        std::copy(text.begin(), text.end(), block.begin());
        block[length] = 0x80;
        std::uint8_t mirrored = 0;
        for (int bit = 0; bit < 8; ++bit) {
            if ((length >> bit) & 1u) {
                mirrored = static_cast<std::uint8_t>(mirrored | (0x80u >> bit));
            }
        }
        block[56] = mirrored;
        Md5Chain chain = kInitialChain;
        Md5Compress(chain, LittleEndianWords(block));
        const KeyWords expected{SwapBytes32(chain.a), SwapBytes32(chain.b), SwapBytes32(chain.c),
                                SwapBytes32(chain.d)};
        EXPECT_EQ(DeriveKeyWords(text), expected);
    }
}

// No trace of an earlier, longer passphrase; nothing past the 55th byte counts.
TEST(DeriveKeyWordsTest, DependsOnlyOnTheFirst55BytesOfThisPassphrase) {
    std::mt19937 rng(7);
    const std::string longText = RandomPassphrase(rng, kMaxPassphraseBytes);
    const std::string shortText = longText.substr(0, 4);
    const KeyWords alone = DeriveKeyWords(shortText);
    const KeyWords longWords = DeriveKeyWords(longText);
    EXPECT_EQ(DeriveKeyWords(shortText), alone);
    EXPECT_EQ(alone, LibraryMd5Words(shortText));
    EXPECT_NE(longWords, alone);

    for (const std::size_t extra : {1u, 9u, 200u}) {
        const std::string longer = longText + RandomPassphrase(rng, extra);
        EXPECT_EQ(DeriveKeyWords(longer), longWords) << extra << " extra bytes";
    }
    // The 55th byte itself still counts.
    std::string changedLast = longText;
    changedLast.back() = static_cast<char>(changedLast.back() ^ 1);
    EXPECT_NE(DeriveKeyWords(changedLast), longWords);
}

TEST(BitAndByteOrderTest, ReverseAndSwapMoveEachBitWhereTheyShould) {
    for (int i = 0; i < 32; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(ReverseBits32(1u << i), 1u << (31 - i));
        const std::uint32_t byteValue = 0x5au;
        const int byte = i / 8;
        EXPECT_EQ(SwapBytes32(byteValue << (8 * byte)), byteValue << (8 * (3 - byte)));
    }
    std::mt19937 rng(3);
    for (int i = 0; i < 1000; ++i) {
        const std::uint32_t word = static_cast<std::uint32_t>(rng());
        EXPECT_EQ(ReverseBits32(ReverseBits32(word)), word);
        EXPECT_EQ(SwapBytes32(SwapBytes32(word)), word);
        EXPECT_EQ(std::popcount(ReverseBits32(word)), std::popcount(word));
    }
}

}  // namespace
}  // namespace morvex
