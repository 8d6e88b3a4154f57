#pragma once

#include <cstdint>

namespace morvex {

// The four 32-bit words that a passphrase turns into; the only key input of both ciphers.
struct KeyWords {
    std::uint32_t ka = 0;
    std::uint32_t kb = 0;
    std::uint32_t kc = 0;
    std::uint32_t kd = 0;

    friend bool operator==(const KeyWords&, const KeyWords&) = default;
};

}  // namespace morvex
