#pragma once

// libgcrypt as an independent reference, and the byte orders it and morvex use.

#include <gcrypt.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace morvex::test {

using Bytes = std::vector<std::uint8_t>;

inline void GcryptReady() {
    static const bool ready = [] {
        gcry_check_version(nullptr);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        return true;
    }();
    ASSERT_TRUE(ready);
}

// ECB over whole blocks. Weak keys are allowed: the DES tables use 0101010101010101.
[[nodiscard]] inline Bytes GcryptEcb(int algorithm, const Bytes& key, Bytes data, bool encrypt) {
    GcryptReady();
    gcry_cipher_hd_t handle = nullptr;
    if (gcry_cipher_open(&handle, algorithm, GCRY_CIPHER_MODE_ECB, 0) != 0) {
        ADD_FAILURE() << "libgcrypt lacks cipher " << algorithm;
        return {};
    }
    gcry_cipher_ctl(handle, GCRYCTL_SET_ALLOW_WEAK_KEY, nullptr, 1);
    const gcry_error_t keyResult = gcry_cipher_setkey(handle, key.data(), key.size());
    EXPECT_TRUE(keyResult == 0 || gcry_err_code(keyResult) == GPG_ERR_WEAK_KEY);
    EXPECT_EQ(encrypt ? gcry_cipher_encrypt(handle, data.data(), data.size(), nullptr, 0)
                      : gcry_cipher_decrypt(handle, data.data(), data.size(), nullptr, 0),
              0u);
    gcry_cipher_close(handle);
    return data;
}

inline void PutBigEndian(Bytes& bytes, std::uint64_t value, std::size_t width) {
    for (std::size_t i = width; i-- > 0;) {
        bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

[[nodiscard]] inline std::uint64_t BigEndian(const std::uint8_t* bytes, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

[[nodiscard]] inline Bytes ReverseEachGroup(Bytes data, std::size_t group) {
    for (auto at = data.begin(); at + static_cast<std::ptrdiff_t>(group) <= data.end();
         at += static_cast<std::ptrdiff_t>(group)) {
        std::reverse(at, at + static_cast<std::ptrdiff_t>(group));
    }
    return data;
}

// The block with w0 and w1 exchanged.
[[nodiscard]] inline Bytes Exchanged(Bytes block) {
    std::rotate(block.begin(), block.begin() + 4, block.end());
    return block;
}

[[nodiscard]] inline Bytes RandomBytes(std::mt19937& random, std::size_t size) {
    Bytes bytes(size);
    std::generate(bytes.begin(), bytes.end(), [&random] { return static_cast<std::uint8_t>(random()); });
    return bytes;
}

// EncryptBlock or DecryptBlock on each block as stored on disk: w0 then w1, least significant byte
// first. The standard's byte order is this with each word (triple-DES) or block (IDEA) reversed.
template <typename Cipher>
[[nodiscard]] Bytes BlockByBlock(const Cipher& cipher, const Bytes& in, bool encrypt) {
    const auto word = [&](std::size_t at) {
        return std::uint32_t{in[at]} | std::uint32_t{in[at + 1]} << 8 | std::uint32_t{in[at + 2]} << 16 |
               std::uint32_t{in[at + 3]} << 24;
    };
    Bytes out;
    for (std::size_t i = 0; i + 8 <= in.size(); i += 8) {
        std::uint32_t out0 = 0;
        std::uint32_t out1 = 0;
        (cipher.*(encrypt ? &Cipher::EncryptBlock : &Cipher::DecryptBlock))(word(i), word(i + 4), out0, out1);
        for (const std::uint32_t w : {out0, out1}) {
            for (std::size_t b = 0; b < 4; ++b) {
                out.push_back(static_cast<std::uint8_t>(w >> (8 * b)));
            }
        }
    }
    return out;
}

}  // namespace morvex::test
