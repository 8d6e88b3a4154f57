#pragma once

#include <cstddef>
#include <cstring>

namespace morvex {

// Overwrites key material with zeros in a way the optimiser may not drop as a dead store.
inline void SecureWipe(void* data, std::size_t size) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    std::memset(data, 0, size);
    // Tells the compiler that the zeros may be read, so the memset must stay.
    __asm__ __volatile__("" : : "r"(data) : "memory");
#else
    volatile unsigned char* bytes = static_cast<volatile unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = 0;
    }
#endif
}

// How much stack below a thread's entry ScrubStack wipes: several times what the jobs' deepest
// calls (the ciphers, the digest, the system's file calls) use.
inline constexpr std::size_t kScrubbedStackBytes = 64 * 1024;

// Wipes the stack below the caller's frame, where the routines it called left their locals and
// spilled registers: the last call of a thread that held secrets. Never inlined, so that its array
// lies below the caller's frame and not inside it.
#if defined(__GNUC__) || defined(__clang__)
[[gnu::noinline]]
#endif
inline void ScrubStack() noexcept {
    unsigned char area[kScrubbedStackBytes];
    SecureWipe(area, sizeof area);
}

}  // namespace morvex
