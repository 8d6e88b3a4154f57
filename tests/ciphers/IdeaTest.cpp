#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "GcryptOracle.h"
#include "ciphers/Idea.h"
#include "ciphers/IdeaCipher.h"
#include "ciphers/IdeaX86.h"

namespace morvex {
namespace {

using test::Bytes;

// libgcrypt's IDEA in morvex's byte view: the key is KD, KC, KB, KA, each most significant byte
// first, and the block libgcrypt sees is the eight on-disk bytes reversed.
[[nodiscard]] Bytes LibraryIdea(const KeyWords& k, const Bytes& onDisk, bool encrypt) {
    Bytes key;
    for (const std::uint32_t word : {k.kd, k.kc, k.kb, k.ka}) {
        test::PutBigEndian(key, word, 4);
    }
    return test::ReverseEachGroup(
        test::GcryptEcb(GCRY_CIPHER_IDEA, key, test::ReverseEachGroup(onDisk, 8), encrypt), 8);
}

// Keys whose subkeys include 0 (the residue 65536) and blocks of zeros or ones come first: that is
// where a multiplication that mishandles 0 goes wrong. w1 carries X1 and X2, so exchanging the words
// must not give the same or the exchanged result.
TEST(IdeaCipherTest, MatchesLibgcryptOnRandomKeysAndBlocks) {
    const std::vector<KeyWords> edgeKeys{{0, 0, 0, 0},
                                         {0xffffffffu, 0xffffffffu, 0xffffffffu, 0xffffffffu},
                                         {0x00000001u, 0x00010000u, 0x0000ffffu, 0xffff0000u},
                                         {0x80000000u, 0, 0, 0x00008000u},
                                         {0, 0x12345678u, 0, 0x9abcdef0u}};
    std::mt19937 rng(0x1dea);
    for (std::size_t trial = 0; trial < 10000; ++trial) {
        const KeyWords k =
            trial < 500 ? edgeKeys[trial % edgeKeys.size()]
                        : KeyWords{static_cast<std::uint32_t>(rng()), static_cast<std::uint32_t>(rng()),
                                   static_cast<std::uint32_t>(rng()), static_cast<std::uint32_t>(rng())};
        const IdeaCipher cipher(k);
        Bytes block = test::RandomBytes(rng, 8);
        if (trial % 50 < 2) {
            block.assign(8, trial % 50 == 0 ? 0x00 : 0xff);
        }
        const Bytes encrypted = test::BlockByBlock(cipher, block, true);
        ASSERT_EQ(encrypted, LibraryIdea(k, block, true)) << "encrypt, trial " << trial;
        ASSERT_EQ(test::BlockByBlock(cipher, block, false), LibraryIdea(k, block, false))
            << "decrypt, trial " << trial;
        if (block != test::Exchanged(block)) {
            const Bytes exchanged = test::BlockByBlock(cipher, test::Exchanged(block), true);
            EXPECT_NE(exchanged, encrypted) << "trial " << trial;
            EXPECT_NE(exchanged, test::Exchanged(encrypted)) << "trial " << trial;
        }
    }
}

// Chained encryption holds the last block as sub-blocks; each step must equal EncryptBlock on the
// plain block XOR the last encrypted one, from chains of all zeros, all ones and random words.
TEST(IdeaCipherTest, ChainedEncryptionIsBlockByBlockCbc) {
    std::mt19937 rng(0xcbc);
    for (std::size_t trial = 0; trial < 300; ++trial) {
        const IdeaCipher cipher(KeyWords{static_cast<std::uint32_t>(rng()), static_cast<std::uint32_t>(rng()),
                                         static_cast<std::uint32_t>(rng()), static_cast<std::uint32_t>(rng())});
        std::uint32_t c0 = trial % 3 == 0 ? 0 : trial % 3 == 1 ? 0xffffffffu : static_cast<std::uint32_t>(rng());
        std::uint32_t c1 = trial % 3 == 2 ? static_cast<std::uint32_t>(rng()) : c0;
        IdeaCipher::EncryptionChain chain = cipher.StartEncryptionChain(c0, c1);
        for (std::size_t block = 0; block < 40; ++block) {
            const auto w0 = static_cast<std::uint32_t>(rng());
            const auto w1 = static_cast<std::uint32_t>(rng());
            std::uint32_t expected0 = 0;
            std::uint32_t expected1 = 0;
            cipher.EncryptBlock(w0 ^ c0, w1 ^ c1, expected0, expected1);
            cipher.EncryptChained(chain, w0, w1, c0, c1);
            ASSERT_EQ(c0, expected0) << "trial " << trial << ", block " << block;
            ASSERT_EQ(c1, expected1) << "trial " << trial << ", block " << block;
        }
    }
}

[[nodiscard]] std::uint64_t Residue(std::uint16_t word) {
    return word == 0 ? 65536u : word;
}

// Against plain arithmetic modulo 65537: every word times the edge factors and two random ones.
TEST(IdeaHelpersTest, MultiplicationAndInversesOfEveryWord) {
    EXPECT_EQ(IdeaMul(0, 0), 1);
    EXPECT_EQ(IdeaMulInverse(0), 0);
    EXPECT_EQ(IdeaMulInverse(1), 1);
    std::mt19937 rng(17);
    for (std::uint32_t x = 0; x <= 0xffff; ++x) {
        const auto a = static_cast<std::uint16_t>(x);
        const auto r1 = static_cast<std::uint16_t>(rng());
        const auto r2 = static_cast<std::uint16_t>(rng());
        const std::array<std::uint16_t, 10> factors{0, 1, 2, 0x7fff, 0x8000, 0x8001, 0xfffe, 0xffff, r1, r2};
        for (const std::uint16_t b : factors) {
            const auto expected = static_cast<std::uint16_t>(Residue(a) * Residue(b) % 65537u);
            ASSERT_EQ(IdeaMul(a, b), expected) << a << " * " << b;
            ASSERT_EQ(IdeaMul(b, a), expected) << b << " * " << a;
        }
        const std::uint16_t inverse = IdeaMulInverse(a);
        ASSERT_EQ(Residue(a) * Residue(inverse) % 65537u, 1u) << a;
        ASSERT_EQ(static_cast<std::uint16_t>(a + IdeaAddInverse(a)), 0) << a;
    }
}

#ifdef MORVEX_IDEA_X86
// The assembly rounds against the portable ones on arbitrary subkey tables, zeros included, and on
// blocks built so that each multiplication of the first round meets its edge: a zero input, and a
// product of 65536 (held as 0) that feeds the next step. Random blocks cover the borrows.
TEST(IdeaCipherTest, AssemblyRoundsMatchPortableRounds) {
    std::mt19937 rng(0xa55e);
    const auto word = [&rng] { return static_cast<std::uint16_t>(rng()); };
    for (std::size_t trial = 0; trial < 20000; ++trial) {
        IdeaSubkeys z{};
        if (trial % 97 != 0) {
            for (std::uint16_t& k : z) {
                k = word();
            }
            for (std::size_t zeros = trial % 4 == 0 ? 1 + trial % 9 : 0; zeros > 0; --zeros) {
                z[rng() % z.size()] = 0;
            }
        }
        IdeaSubBlocks x{word(), word(), word(), word()};
        const std::uint16_t v1 = IdeaMul(x[0], z[0]);
        const std::uint16_t v4 = IdeaMul(x[3], z[3]);
        switch (trial % 5) {
            case 0:
                x[0] = 0;
                break;
            case 1:  // x1 * Z1 = 65536
                x[0] = IdeaMul(0, IdeaMulInverse(z[0]));
                break;
            case 2:  // X1 * Z1 ^ (X3 + Z3) = 0
                x[2] = static_cast<std::uint16_t>(v1 - z[2]);
                break;
            case 3: {  // (X2 + Z2) ^ X4 * Z4 + p = 0
                const std::uint16_t p = IdeaMul(static_cast<std::uint16_t>(v1 ^ (x[2] + z[2])), z[4]);
                x[1] = static_cast<std::uint16_t>((static_cast<std::uint16_t>(-p) ^ v4) - z[1]);
                break;
            }
            default:
                break;
        }
        IdeaSubBlocks expected = x;
        IdeaCrypt(expected, z);
        std::uint32_t a = x[0];
        std::uint32_t b = x[1];
        std::uint32_t c = x[2];
        std::uint32_t d = x[3];
        idea_x86::Crypt(a, b, c, d, IdeaMakeRoundKeys(z));
        ASSERT_EQ((IdeaSubBlocks{static_cast<std::uint16_t>(a), static_cast<std::uint16_t>(b),
                                 static_cast<std::uint16_t>(c), static_cast<std::uint16_t>(d)}),
                  expected)
            << "trial " << trial;
        ASSERT_EQ((a | b | c | d) >> 16, 0u) << "trial " << trial;
    }
}
#endif

}  // namespace
}  // namespace morvex
