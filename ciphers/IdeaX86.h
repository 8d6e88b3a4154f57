#pragma once

// IDEA's eight rounds and output transformation for one block, in x86-64 assembly.
//
// CBC encryption runs one block after another, each waiting for the last, so its speed is the
// latency of one block, and that is three multiplications modulo 65537 per round, one after
// another. Compiled from C, each of them costs about 8 cycles on that chain: a mask of the input,
// the multiplication, the split of the product, the subtraction, the borrow and the fix for a zero
// input. Written out by hand it costs 6, and the one that feeds an addition costs 5:
// - every sub-block is held with its upper 16 bits zero (16-bit additions and subtractions into a
//   clean register keep them so, and XOR of clean values is clean), so no input needs a mask;
// - the low half of the product comes with a zero-extending move while the high half is shifted
//   down, side by side, and one 16-bit subtraction and one add-with-carry then finish the
//   reduction, the carry adding the 1 that a borrow calls for;
// - the fix for a zero input (the product of 65536 and the factor) depends on the input alone, so
//   it is chosen by a conditional move while the multiplication runs and is added by that same
//   add-with-carry;
// - where the result goes into an addition, the addition takes the subtraction's result and carry
//   directly, and the product itself is finished on a side path.
// The portable rounds in Idea.h give the same results everywhere; the tests compare the two.

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))

#include <cstddef>
#include <cstdint>

#include "ciphers/Idea.h"

#define MORVEX_IDEA_X86 1

namespace morvex::idea_x86 {

static_assert(sizeof(IdeaRoundKey) == 8 && offsetof(IdeaRoundKey, factor) == 0 &&
                  offsetof(IdeaRoundKey, zeroProduct) == 4,
              "the assembly below addresses subkey i as 8 * i and its zero product as 8 * i + 4");

#define MORVEX_IDEA_STR(x) #x
#define MORVEX_IDEA_XSTR(x) MORVEX_IDEA_STR(x)
#define MORVEX_IDEA_FACTOR(i) "(" MORVEX_IDEA_XSTR(i) ")*8(%[keys])"
#define MORVEX_IDEA_ZERO_PRODUCT(i) "(" MORVEX_IDEA_XSTR(i) ")*8+4(%[keys])"

// Starts multiplying the clean word in eax by subkey i: the zero fix into fix, the low half of the
// product into ecx and the high half into edx. eax is lost.
#define MORVEX_IDEA_MUL_START(i)                           \
    "xorl %[fix], %[fix]\n\t"                              \
    "testl %%eax, %%eax\n\t"                               \
    "cmovzl " MORVEX_IDEA_ZERO_PRODUCT(i) ", %[fix]\n\t"   \
    "imull " MORVEX_IDEA_FACTOR(i) ", %%eax\n\t"           \
    "movl %%eax, %%edx\n\t"                                \
    "shrl $16, %%edx\n\t"                                  \
    "movzwl %%ax, %%ecx\n\t"

// The whole multiplication: the product, clean, in ecx.
#define MORVEX_IDEA_MUL(i) MORVEX_IDEA_MUL_START(i) "subw %%dx, %%cx\n\t" "adcw %w[fix], %%cx\n\t"

// Round r on the sub-blocks in A, B, C, D. It leaves the two middle sub-blocks exchanged by
// leaving them in each other's registers: the next round names them the other way round.
#define MORVEX_IDEA_ROUND(r, A, B, C, D)                                                          \
    /* A = A * Z1, D = D * Z4, B += Z2, C += Z3 */                                                \
    "movl %[" #A "], %%eax\n\t" MORVEX_IDEA_MUL(6 * r + 0) "movl %%ecx, %[" #A "]\n\t"            \
    "movl %[" #D "], %%eax\n\t" MORVEX_IDEA_MUL(6 * r + 3) "movl %%ecx, %[" #D "]\n\t"            \
    "addw " MORVEX_IDEA_FACTOR(6 * r + 1) ", %w[" #B "]\n\t"                                     \
    "addw " MORVEX_IDEA_FACTOR(6 * r + 2) ", %w[" #C "]\n\t"                                     \
    /* p = (A ^ C) * Z5, and t = (B ^ D) + p straight from the reduction's subtraction and carry */ \
    "movl %[" #A "], %%eax\n\t"                                                                  \
    "xorl %[" #C "], %%eax\n\t" MORVEX_IDEA_MUL_START(6 * r + 4)                                  \
    "movl %[" #B "], %[t]\n\t"                                                                   \
    "xorl %[" #D "], %[t]\n\t"                                                                   \
    "addw %w[fix], %w[t]\n\t"                                                                    \
    "movl %%ecx, %[p]\n\t"                                                                       \
    "subw %%dx, %%cx\n\t"                                                                        \
    "adcw %%cx, %w[t]\n\t"                                                                       \
    "subw %%dx, %w[p]\n\t"                                                                       \
    "adcw %w[fix], %w[p]\n\t"                                                                    \
    /* q = t * Z6 in ecx, p becomes p + q */                                                      \
    "movl %[t], %%eax\n\t" MORVEX_IDEA_MUL(6 * r + 5)                                             \
    "addw %%cx, %w[p]\n\t"                                                                       \
    "xorl %%ecx, %[" #A "]\n\t"                                                                  \
    "xorl %%ecx, %[" #C "]\n\t"                                                                  \
    "xorl %[p], %[" #B "]\n\t"                                                                   \
    "xorl %[p], %[" #D "]\n\t"

// x1 to x4 hold the sub-blocks in their low 16 bits with the bits above zero, on the way in and out.
// Always inlined: GCC counts the assembly as long and would otherwise call it, passing the sub-blocks
// through memory on the chain from block to block.
__attribute__((always_inline)) inline void Crypt(std::uint32_t& x1, std::uint32_t& x2, std::uint32_t& x3, std::uint32_t& x4,
                  const IdeaRoundKeys& keys) noexcept {
    std::uint32_t a = x1;
    std::uint32_t b = x2;
    std::uint32_t c = x3;
    std::uint32_t d = x4;
    std::uint32_t p = 0;
    std::uint32_t t = 0;
    std::uint32_t fix = 0;
    __asm__(MORVEX_IDEA_ROUND(0, a, b, c, d) MORVEX_IDEA_ROUND(1, a, c, b, d)
            MORVEX_IDEA_ROUND(2, a, b, c, d) MORVEX_IDEA_ROUND(3, a, c, b, d)
            MORVEX_IDEA_ROUND(4, a, b, c, d) MORVEX_IDEA_ROUND(5, a, c, b, d)
            MORVEX_IDEA_ROUND(6, a, b, c, d) MORVEX_IDEA_ROUND(7, a, c, b, d)
            // The output transformation. After an even number of rounds b and c are back in their
            // own registers, each holding what the last round left exchanged, so c takes Z50 and b
            // takes Z51.
            "movl %[a], %%eax\n\t" MORVEX_IDEA_MUL(48) "movl %%ecx, %[a]\n\t"
            "movl %[d], %%eax\n\t" MORVEX_IDEA_MUL(51) "movl %%ecx, %[d]\n\t"
            "addw " MORVEX_IDEA_FACTOR(49) ", %w[c]\n\t"
            "addw " MORVEX_IDEA_FACTOR(50) ", %w[b]\n\t"
            : [a] "+r"(a), [b] "+r"(b), [c] "+r"(c), [d] "+r"(d), [p] "+&r"(p), [t] "+&r"(t), [fix] "+&r"(fix)
            : [keys] "r"(keys.data()), "m"(keys)
            : "rax", "rcx", "rdx", "cc");
    x1 = a;
    x2 = c;
    x3 = b;
    x4 = d;
}

#undef MORVEX_IDEA_ROUND
#undef MORVEX_IDEA_MUL
#undef MORVEX_IDEA_MUL_START
#undef MORVEX_IDEA_ZERO_PRODUCT
#undef MORVEX_IDEA_FACTOR
#undef MORVEX_IDEA_XSTR
#undef MORVEX_IDEA_STR

}  // namespace morvex::idea_x86

#endif
