#include "keys/PassphraseDigest.h"

#include <algorithm>
#include <bit>

#include "base/SecureWipe.h"

namespace morvex {

namespace {

constexpr std::size_t kDigestBlockBytes = 64;
constexpr std::size_t kLengthOffset = 56;

// RFC 1321's initial chaining values.
constexpr Md5Chain kMd5Initial{0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};

// T[i] = floor(2^32 * |sin(i + 1)|), as printed in RFC 1321 section 3.4.
constexpr std::array<std::uint32_t, 64> kT{
    0xd76aa478u, 0xe8c7b756u, 0x242070dbu, 0xc1bdceeeu, 0xf57c0fafu, 0x4787c62au, 0xa8304613u, 0xfd469501u,
    0x698098d8u, 0x8b44f7afu, 0xffff5bb1u, 0x895cd7beu, 0x6b901122u, 0xfd987193u, 0xa679438eu, 0x49b40821u,
    0xf61e2562u, 0xc040b340u, 0x265e5a51u, 0xe9b6c7aau, 0xd62f105du, 0x02441453u, 0xd8a1e681u, 0xe7d3fbc8u,
    0x21e1cde6u, 0xc33707d6u, 0xf4d50d87u, 0x455a14edu, 0xa9e3e905u, 0xfcefa3f8u, 0x676f02d9u, 0x8d2a4c8au,
    0xfffa3942u, 0x8771f681u, 0x6d9d6122u, 0xfde5380cu, 0xa4beea44u, 0x4bdecfa9u, 0xf6bb4b60u, 0xbebfbc70u,
    0x289b7ec6u, 0xeaa127fau, 0xd4ef3085u, 0x04881d05u, 0xd9d4d039u, 0xe6db99e5u, 0x1fa27cf8u, 0xc4ac5665u,
    0xf4292244u, 0x432aff97u, 0xab9423a7u, 0xfc93a039u, 0x655b59c3u, 0x8f0ccc92u, 0xffeff47du, 0x85845dd1u,
    0x6fa87e4fu, 0xfe2ce6e0u, 0xa3014314u, 0x4e0811a1u, 0xf7537e82u, 0xbd3af235u, 0x2ad7d2bbu, 0xeb86d391u,
};

// The per-round rotation amounts of RFC 1321: S11..S14, S21..S24, S31..S34, S41..S44.
constexpr std::array<std::array<int, 4>, 4> kShift{{
    {7, 12, 17, 22},
    {5, 9, 14, 20},
    {4, 11, 16, 23},
    {6, 10, 15, 21},
}};

[[nodiscard]] constexpr std::uint32_t F(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return (x & y) | (~x & z);
}
[[nodiscard]] constexpr std::uint32_t G(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return (x & z) | (y & ~z);
}
[[nodiscard]] constexpr std::uint32_t H(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return x ^ y ^ z; }
[[nodiscard]] constexpr std::uint32_t I(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return y ^ (x | ~z);
}

// Which message word step i of the 64 reads: round 1 in order, then RFC 1321's three permutations.
[[nodiscard]] constexpr std::size_t MessageIndex(std::size_t step) {
    switch (step / 16) {
        case 0:
            return step;
        case 1:
            return (1 + 5 * step) % 16;
        case 2:
            return (5 + 3 * step) % 16;
        default:
            return (7 * step) % 16;
    }
}

}  // namespace

void Md5Compress(Md5Chain& chain, const std::array<std::uint32_t, 16>& x) {
    std::uint32_t a = chain.a;
    std::uint32_t b = chain.b;
    std::uint32_t c = chain.c;
    std::uint32_t d = chain.d;
    for (std::size_t step = 0; step < 64; ++step) {
        const std::size_t round = step / 16;
        std::uint32_t f = 0;
        switch (round) {
            case 0:
                f = F(b, c, d);
                break;
            case 1:
                f = G(b, c, d);
                break;
            case 2:
                f = H(b, c, d);
                break;
            default:
                f = I(b, c, d);
                break;
        }
        const std::uint32_t sum = a + f + x[MessageIndex(step)] + kT[step];
        // a <- b + (sum <<< s), after which the roles rotate: the new a is the old d, and so on.
        const std::uint32_t next = b + std::rotl(sum, kShift[round][step % 4]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    chain.a += a;
    chain.b += b;
    chain.c += c;
    chain.d += d;
}

std::uint32_t ReverseBits32(std::uint32_t word) {
    std::uint32_t result = 0;
    for (int i = 0; i < 32; ++i) {
        result = (result << 1) | ((word >> i) & 1u);
    }
    return result;
}

std::uint32_t SwapBytes32(std::uint32_t word) {
    return (word >> 24) | ((word >> 8) & 0x0000ff00u) | ((word << 8) & 0x00ff0000u) | (word << 24);
}

KeyWords DeriveKeyWords(std::string_view passphrase) {
    const std::size_t length = std::min(passphrase.size(), kMaxPassphraseBytes);

    // MD5's padded block except for the length field: the end marker follows the text, and where
    // MD5 keeps 8 * L as a 64-bit little-endian number this block keeps the byte count L with its
    // bits mirrored. For L = 0, 4, 10, 14, 17, 21, 27 and 31 the two agree, so only those lengths
    // give the plain MD5 of the passphrase.
    std::array<std::uint8_t, kDigestBlockBytes> block{};
    for (std::size_t i = 0; i < length; ++i) {
        block[i] = static_cast<std::uint8_t>(passphrase[i]);
    }
    block[length] = 0x80;
    const std::uint32_t mirrored = ReverseBits32(static_cast<std::uint32_t>(length));
    block[kLengthOffset] = static_cast<std::uint8_t>(mirrored >> 24);
    block[kLengthOffset + 1] = static_cast<std::uint8_t>(mirrored >> 16);
    block[kLengthOffset + 2] = static_cast<std::uint8_t>(mirrored >> 8);
    block[kLengthOffset + 3] = static_cast<std::uint8_t>(mirrored);

    std::array<std::uint32_t, 16> words{};
    for (std::size_t k = 0; k < words.size(); ++k) {
        words[k] = static_cast<std::uint32_t>(block[4 * k]) | (static_cast<std::uint32_t>(block[4 * k + 1]) << 8) |
                   (static_cast<std::uint32_t>(block[4 * k + 2]) << 16) |
                   (static_cast<std::uint32_t>(block[4 * k + 3]) << 24);
    }

    Md5Chain chain = kMd5Initial;
    Md5Compress(chain, words);
    const KeyWords keyWords{SwapBytes32(chain.a), SwapBytes32(chain.b), SwapBytes32(chain.c),
                            SwapBytes32(chain.d)};

    SecureWipe(block.data(), block.size());
    SecureWipe(words.data(), sizeof words);
    SecureWipe(&chain, sizeof chain);
    return keyWords;
}

}  // namespace morvex
