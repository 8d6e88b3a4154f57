#pragma once

#include <cstddef>

namespace morvex {

// Overwrites key material with zeros in a way the optimiser may not drop as a dead store.
inline void SecureWipe(void* data, std::size_t size) noexcept {
    volatile unsigned char* bytes = static_cast<volatile unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = 0;
    }
}

}  // namespace morvex
