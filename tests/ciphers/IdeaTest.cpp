#include <gcrypt.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "ciphers/BlockBytes.h"
#include "ciphers/Idea.h"
#include "ciphers/IdeaCipher.h"

namespace morvex {
namespace {

using Bytes8 = std::array<std::uint8_t, 8>;
using Bytes16 = std::array<std::uint8_t, 16>;

void InitGcrypt() {
    static const bool ready = [] {
        gcry_check_version(nullptr);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        return true;
    }();
    ASSERT_TRUE(ready);
}

// libgcrypt's IDEA on one block in the standard's byte order.
[[nodiscard]] Bytes8 LibraryIdea(const Bytes16& key, const Bytes8& block, bool encrypt) {
    InitGcrypt();
    gcry_cipher_hd_t handle = nullptr;
    Bytes8 result{};
    if (gcry_cipher_open(&handle, GCRY_CIPHER_IDEA, GCRY_CIPHER_MODE_ECB, 0) != 0) {
        ADD_FAILURE() << "libgcrypt offers no IDEA";
        return result;
    }
    EXPECT_EQ(gcry_cipher_setkey(handle, key.data(), key.size()), 0u);
    const gcry_error_t error = encrypt ? gcry_cipher_encrypt(handle, result.data(), 8, block.data(), 8)
                                       : gcry_cipher_decrypt(handle, result.data(), 8, block.data(), 8);
    EXPECT_EQ(error, 0u);
    gcry_cipher_close(handle);
    return result;
}

// The key as the standard writes it: KD, KC, KB, KA, each most significant byte first.
[[nodiscard]] Bytes16 StandardKey(const KeyWords& k) {
    Bytes16 key{};
    const std::array<std::uint32_t, 4> words{k.kd, k.kc, k.kb, k.ka};
    for (std::size_t w = 0; w < 4; ++w) {
        for (std::size_t b = 0; b < 4; ++b) {
            key[4 * w + b] = static_cast<std::uint8_t>(words[w] >> (24 - 8 * b));
        }
    }
    return key;
}

[[nodiscard]] Bytes8 OnDisk(std::uint32_t w0, std::uint32_t w1) {
    Bytes8 bytes{};
    StoreWord(bytes.data(), w0);
    StoreWord(bytes.data() + 4, w1);
    return bytes;
}

[[nodiscard]] Bytes8 Reversed(Bytes8 bytes) {
    std::reverse(bytes.begin(), bytes.end());
    return bytes;
}

[[nodiscard]] std::uint32_t BigEndianWord(const std::uint8_t* bytes) {
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) | (std::uint32_t{bytes[2]} << 8) |
           std::uint32_t{bytes[3]};
}

template <std::size_t N>
[[nodiscard]] std::array<std::uint8_t, N> FromHex(const std::string& hex) {
    std::array<std::uint8_t, N> bytes{};
    EXPECT_EQ(hex.size(), 2 * N) << hex;
    for (std::size_t i = 0; i < N && 2 * i + 1 < hex.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    }
    return bytes;
}

struct KnownAnswer {
    Bytes16 key;
    Bytes8 plain;
    Bytes8 cipher;
};

[[nodiscard]] std::vector<KnownAnswer> ReadKnownAnswers() {
    std::ifstream file(std::string(MORVEX_TEST_DATA_DIR) + "/idea-vectors.txt");
    std::vector<KnownAnswer> rows;
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        std::string key;
        std::string plain;
        std::string cipher;
        fields >> key >> plain >> cipher;
        rows.push_back({FromHex<16>(key), FromHex<8>(plain), FromHex<8>(cipher)});
    }
    return rows;
}

// The published answers, placed into the key words and block words as the cipher maps them.
TEST(IdeaCipherTest, PublishedVectors) {
    const std::vector<KnownAnswer> rows = ReadKnownAnswers();
    ASSERT_EQ(rows.size(), 4u);
    for (const KnownAnswer& row : rows) {
        const KeyWords keyWords{BigEndianWord(row.key.data() + 12), BigEndianWord(row.key.data() + 8),
                                BigEndianWord(row.key.data() + 4), BigEndianWord(row.key.data())};
        const std::uint32_t w1 = BigEndianWord(row.plain.data());
        const std::uint32_t w0 = BigEndianWord(row.plain.data() + 4);
        const IdeaCipher cipher(keyWords);
        std::uint32_t out0 = 0;
        std::uint32_t out1 = 0;
        cipher.EncryptBlock(w0, w1, out0, out1);
        EXPECT_EQ(out1, BigEndianWord(row.cipher.data()));
        EXPECT_EQ(out0, BigEndianWord(row.cipher.data() + 4));
        std::uint32_t back0 = 0;
        std::uint32_t back1 = 0;
        cipher.DecryptBlock(out0, out1, back0, back1);
        EXPECT_EQ(back0, w0);
        EXPECT_EQ(back1, w1);
        EXPECT_EQ(LibraryIdea(row.key, row.plain, true), row.cipher) << "data file disagrees with libgcrypt";
    }
}

// Through the byte view: the block libgcrypt sees is our eight on-disk bytes reversed.
TEST(IdeaCipherTest, MatchesLibgcryptOnRandomKeysAndBlocks) {
    std::mt19937 rng(0x1dea);
    for (int trial = 0; trial < 10000; ++trial) {
        const KeyWords keyWords{static_cast<std::uint32_t>(rng()), static_cast<std::uint32_t>(rng()),
                                static_cast<std::uint32_t>(rng()), static_cast<std::uint32_t>(rng())};
        const std::uint32_t w0 = static_cast<std::uint32_t>(rng());
        const std::uint32_t w1 = static_cast<std::uint32_t>(rng());
        const IdeaCipher cipher(keyWords);
        const Bytes16 key = StandardKey(keyWords);

        std::uint32_t out0 = 0;
        std::uint32_t out1 = 0;
        cipher.EncryptBlock(w0, w1, out0, out1);
        ASSERT_EQ(OnDisk(out0, out1), Reversed(LibraryIdea(key, Reversed(OnDisk(w0, w1)), true)))
            << "encrypt, trial " << trial;
        cipher.DecryptBlock(w0, w1, out0, out1);
        ASSERT_EQ(OnDisk(out0, out1), Reversed(LibraryIdea(key, Reversed(OnDisk(w0, w1)), false)))
            << "decrypt, trial " << trial;
    }
}

// Keys whose subkeys include 0 (the residue 65536) and blocks of zeros are where a multiplication
// that mishandles 0 goes wrong; the library has the last word on them as well.
TEST(IdeaCipherTest, ZeroSubkeysAndZeroBlocksRoundTripAndMatchLibgcrypt) {
    const std::vector<KeyWords> keys{
        {0, 0, 0, 0},
        {0xffffffffu, 0xffffffffu, 0xffffffffu, 0xffffffffu},
        {0x00000001u, 0x00010000u, 0x0000ffffu, 0xffff0000u},
        {0x80000000u, 0, 0, 0x00008000u},
        {0, 0x12345678u, 0, 0x9abcdef0u},
    };
    std::mt19937 rng(65537);
    for (const KeyWords& keyWords : keys) {
        const IdeaCipher cipher(keyWords);
        std::vector<std::pair<std::uint32_t, std::uint32_t>> blocks{
            {0, 0}, {0xffffffffu, 0xffffffffu}, {0x00010000u, 0}, {0, 0x0000ffffu}};
        for (int i = 0; i < 200; ++i) {
            blocks.emplace_back(static_cast<std::uint32_t>(rng()), static_cast<std::uint32_t>(rng()));
        }
        for (const auto& [w0, w1] : blocks) {
            SCOPED_TRACE(testing::Message() << std::hex << keyWords.ka << ' ' << keyWords.kb << ' ' << keyWords.kc
                                            << ' ' << keyWords.kd << " block " << w0 << ' ' << w1);
            std::uint32_t e0 = 0;
            std::uint32_t e1 = 0;
            cipher.EncryptBlock(w0, w1, e0, e1);
            std::uint32_t d0 = 0;
            std::uint32_t d1 = 0;
            cipher.DecryptBlock(e0, e1, d0, d1);
            EXPECT_EQ(d0, w0);
            EXPECT_EQ(d1, w1);
            cipher.DecryptBlock(w0, w1, d0, d1);
            cipher.EncryptBlock(d0, d1, e0, e1);
            EXPECT_EQ(e0, w0);
            EXPECT_EQ(e1, w1);
            EXPECT_EQ(OnDisk(d0, d1),
                      Reversed(LibraryIdea(StandardKey(keyWords), Reversed(OnDisk(w0, w1)), false)));
        }
    }
}

// w1 carries X1 and X2; exchanging the words must not give the exchanged result.
TEST(IdeaCipherTest, WordsAreNotInterchangeable) {
    const IdeaCipher cipher({0x01234567u, 0x89abcdefu, 0xfedcba98u, 0x76543210u});
    std::mt19937 rng(2);
    for (int i = 0; i < 100; ++i) {
        const std::uint32_t a = static_cast<std::uint32_t>(rng());
        const std::uint32_t b = a ^ (1u + static_cast<std::uint32_t>(rng() % 0xfffffffeu));
        std::uint32_t ab0 = 0;
        std::uint32_t ab1 = 0;
        std::uint32_t ba0 = 0;
        std::uint32_t ba1 = 0;
        cipher.EncryptBlock(a, b, ab0, ab1);
        cipher.EncryptBlock(b, a, ba0, ba1);
        EXPECT_FALSE(ab0 == ba1 && ab1 == ba0);
        EXPECT_FALSE(ab0 == ba0 && ab1 == ba1);
    }
}

// The bulk decryption is the single-block one, block for block, in place or not, at odd counts.
TEST(IdeaCipherTest, DecryptBlocksEqualsDecryptBlockOneByOne) {
    const IdeaCipher cipher({0xdeadbeefu, 0, 0x0badf00du, 0x00010001u});
    std::mt19937 rng(9);
    for (const std::size_t count : {0u, 1u, 2u, 3u, 7u, 8u, 9u, 31u, 33u, 100u}) {
        SCOPED_TRACE(count);
        std::vector<std::uint8_t> in(count * kBlockBytes);
        for (std::uint8_t& byte : in) {
            byte = static_cast<std::uint8_t>(rng());
        }
        std::vector<std::uint8_t> expected(in.size());
        for (std::size_t i = 0; i < count; ++i) {
            std::uint32_t o0 = 0;
            std::uint32_t o1 = 0;
            cipher.DecryptBlock(LoadWord(&in[8 * i]), LoadWord(&in[8 * i + 4]), o0, o1);
            StoreWord(&expected[8 * i], o0);
            StoreWord(&expected[8 * i + 4], o1);
        }
        std::vector<std::uint8_t> out(in.size() + 8, 0xa5);
        cipher.DecryptBlocks(in.data(), out.data(), count);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin()));
        EXPECT_EQ(out.back(), 0xa5) << "wrote past the last block";
        std::vector<std::uint8_t> inPlace = in;
        cipher.DecryptBlocks(inPlace.data(), inPlace.data(), count);
        EXPECT_EQ(inPlace, expected);
    }
}

// The free functions work on the standard's order directly: the subkeys of the published key run
// the published block to the published answer and back.
TEST(IdeaHelpersTest, ExpandCryptInvertOnPublishedVector) {
    const IdeaKey key{1, 2, 3, 4, 5, 6, 7, 8};
    const IdeaSubkeys encrypt = IdeaExpandKey(key);
    EXPECT_TRUE(std::equal(key.begin(), key.end(), encrypt.begin()));
    IdeaSubBlocks block{0x0000, 0x0001, 0x0002, 0x0003};
    IdeaCrypt(block, encrypt);
    EXPECT_EQ(block, (IdeaSubBlocks{0x11fb, 0xed2b, 0x0198, 0x6de5}));
    IdeaCrypt(block, IdeaInvertKey(encrypt));
    EXPECT_EQ(block, (IdeaSubBlocks{0x0000, 0x0001, 0x0002, 0x0003}));
}

[[nodiscard]] std::uint64_t Residue(std::uint16_t word) { return word == 0 ? 65536u : word; }

TEST(IdeaHelpersTest, MultiplicationIsModulo65537WithZeroAs65536) {
    EXPECT_EQ(IdeaMul(0, 0), 1);
    EXPECT_EQ(IdeaMul(0, 1), 0);
    EXPECT_EQ(IdeaMul(1, 0), 0);
    const std::array<std::uint16_t, 8> edges{0, 1, 2, 0x7fff, 0x8000, 0x8001, 0xfffe, 0xffff};
    for (std::uint32_t x = 0; x <= 0xffff; ++x) {
        const auto a = static_cast<std::uint16_t>(x);
        ASSERT_EQ(IdeaMul(1, a), a);
        ASSERT_EQ(IdeaMul(a, 1), a);
        for (const std::uint16_t b : edges) {
            const std::uint64_t expected = Residue(a) * Residue(b) % 65537u;
            ASSERT_EQ(IdeaMul(a, b), static_cast<std::uint16_t>(expected)) << a << " * " << b;
            ASSERT_EQ(IdeaMul(b, a), static_cast<std::uint16_t>(expected)) << b << " * " << a;
        }
    }
    std::mt19937 rng(17);
    for (int i = 0; i < 1000000; ++i) {
        const auto a = static_cast<std::uint16_t>(rng());
        const auto b = static_cast<std::uint16_t>(rng());
        ASSERT_EQ(IdeaMul(a, b), static_cast<std::uint16_t>(Residue(a) * Residue(b) % 65537u)) << a << " * " << b;
    }
}

TEST(IdeaHelpersTest, InversesOfEveryWord) {
    EXPECT_EQ(IdeaMulInverse(0), 0);
    EXPECT_EQ(IdeaMulInverse(1), 1);
    EXPECT_EQ(IdeaAddInverse(0), 0);
    for (std::uint32_t x = 0; x <= 0xffff; ++x) {
        const auto word = static_cast<std::uint16_t>(x);
        const std::uint16_t inverse = IdeaMulInverse(word);
        ASSERT_EQ(Residue(word) * Residue(inverse) % 65537u, 1u) << word;
        ASSERT_EQ(IdeaMul(word, inverse), 1) << word;
        ASSERT_EQ(static_cast<std::uint16_t>(word + IdeaAddInverse(word)), 0) << word;
    }
}

}  // namespace
}  // namespace morvex
