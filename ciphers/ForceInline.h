#pragma once

// For the few functions on the chain from one CBC block to the next, which must be inlined into the
// loop that runs them: compilers count the assembly in them as long and would otherwise call them,
// passing the chaining value through memory on every block.
#if defined(__GNUC__) || defined(__clang__)
#define MORVEX_FORCE_INLINE __attribute__((always_inline)) inline
#elif defined(_MSC_VER)
#define MORVEX_FORCE_INLINE __forceinline
#else
#define MORVEX_FORCE_INLINE inline
#endif
