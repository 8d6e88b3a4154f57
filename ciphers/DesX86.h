#pragma once

// Triple-DES's 48 rounds for one block, with each round in x86-64 assembly.
//
// CBC encryption runs one block after another, each waiting for the last, so its speed is the
// latency of one block: 46 rounds one after another (the last round of a stage and the first of the
// next read the same half, so they run side by side). A round is: take the eight six-bit groups out
// of a half, look each one up, and XOR the eight results and the other half together. On the
// processor this was tuned on (AMD Zen 5) the portable round (DesCore.h) costs about 12.5 cycles on
// that chain and this one about 11. Its floor is 10: a load takes 4 cycles at best and at most
// three start per cycle, so the eight lookups arrive over three cycles, and a tree of two-input
// XORs over them and the other half cannot end sooner. Three choices get close to it:
// - Every lookup is a plain `(base,index)` load, which this processor serves a cycle sooner than one
//   with a scaled index or a displacement. So a group must come out as its byte offset (value * 8)
//   with the table already added, which is why a half is kept here in its own "chain form": the
//   groups sit in a 64-bit word with gaps such that one shift and one AND make each offset, and a
//   set bit kept above each group (a tag) adds the offset of its table. Three bases serve the eight
//   tables.
// - Three groups sit where a single instruction yields the offset: at the bottom above three zero
//   bits (one AND), at the top of the low 32 bits and at the top of the word above zero bits (one
//   shift each). Their lookups start a cycle early, and the XOR tree takes them first.
// - Each half is held keyed with the subkey of the next round that reads it. A round then XORs the
//   other half with a precomputed difference of two subkeys off the chain, and the lookups' XOR
//   gives the next round's input directly: nothing else is on the chain.
// IP and IP^-1 go straight into and out of the chain form by table, so a block adds about 25
// cycles to its rounds; CBC encryption keeps its chaining value in chain form (CryptChained), which
// takes both off the way from one block to the next. The tables, the layout's shifts and masks,
// and the subkey differences all derive from DesCore.h's tables at compile time or when the key is
// set; the tests compare these rounds with the portable ones.

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "ciphers/DesCore.h"
#include "base/SecureWipe.h"

#define MORVEX_DES_X86 1

namespace morvex::des_x86 {

namespace detail {

// Where the six bits of byte j of a keyed pair (DesCore.h) sit in the chain form, which table base
// its lookup uses, and the tag bit above it that offsets its index into that base (-1: none; its
// table then starts at the base).
struct Place {
    int at;
    int base;
    int tagBit;
};

// Bytes 0, 3 and 7 are the three taken by a single instruction, byte 1 the one taken as the second
// byte of the half (see XorLookups below).
inline constexpr std::array<Place, 8> kPlaces = {{
    {3, 0, -1},
    {9, 0, -1},
    {16, 1, 22},
    {26, 1, -1},
    {32, 2, 38},
    {39, 1, 46},
    {47, 2, 54},
    {58, 2, -1},
}};

inline constexpr int kBases = 3;
inline constexpr std::size_t kTableEntries = 64;
inline constexpr std::size_t kBaseEntries = 3 * kTableEntries;

// Byte 1's group is looked up through the whole second byte of the half (bits 8 to 15), which
// needs no shift: the processor runs only three shifts per cycle and a round has seven more. The
// scaled index costs its load a cycle, which that lookup can spare. Its table has an entry for
// each value of that byte, so each group appears twice (bit 8 belongs to byte 0's group), and it
// starts here in base 0.
inline constexpr std::size_t kWholeByte = 1;
inline constexpr std::uint32_t kWholeByteStart = 512;
static_assert(kPlaces[kWholeByte].base == 0 && kPlaces[kWholeByte].at > 8 && kPlaces[kWholeByte].at + 6 <= 16,
              "the assembly looks byte 1's group up in base 0 through bits 8 to 15 of the half");

[[nodiscard]] constexpr std::uint64_t GroupBits(std::size_t j) { return std::uint64_t{63} << kPlaces[j].at; }

[[nodiscard]] constexpr std::uint64_t MakeTags() {
    std::uint64_t tags = 0;
    for (const Place& place : kPlaces) {
        tags |= place.tagBit < 0 ? 0 : std::uint64_t{1} << place.tagBit;
    }
    return tags;
}
inline constexpr std::uint64_t kTags = MakeTags();

// The shift that brings byte j's group to bits 3..8, and the mask that then keeps it and its tag.
[[nodiscard]] constexpr int Shift(std::size_t j) { return kPlaces[j].at - 3; }
[[nodiscard]] constexpr std::uint32_t TagOffset(std::size_t j) {
    return kPlaces[j].tagBit < 0 ? 0u : std::uint32_t{1} << (kPlaces[j].tagBit - Shift(j));
}
[[nodiscard]] constexpr std::uint32_t Mask(std::size_t j) { return 0x1f8u | TagOffset(j); }

// Where byte j's table starts in its base, how many entries it has, and which group entry n is for.
[[nodiscard]] constexpr std::uint32_t TableStart(std::size_t j) {
    return j == kWholeByte ? kWholeByteStart : TagOffset(j);
}
[[nodiscard]] constexpr std::size_t TableEntries(std::size_t j) { return j == kWholeByte ? 128 : kTableEntries; }
[[nodiscard]] constexpr std::uint64_t GroupOfEntry(std::size_t j, std::size_t n) {
    return j == kWholeByte ? (n >> (kPlaces[j].at - 8)) & 63 : n;
}

// What the assembly computes as the byte offset from its base of byte j's lookup in a chain-form half.
[[nodiscard]] constexpr std::uint64_t IndexOf(std::size_t j, std::uint64_t half) {
    switch (j) {
        case 0:
            return static_cast<std::uint32_t>(half) & Mask(j);
        case kWholeByte:
            return kWholeByteStart + 8 * ((half >> 8) & 255);
        case 3:
            return static_cast<std::uint32_t>(half) >> Shift(j);
        case 7:
            return half >> Shift(j);
        default:
            return (half >> Shift(j)) & Mask(j);
    }
}

// Every group's lookup must land on an entry for its value, whatever the other groups hold, and
// the tables must not overlap.
[[nodiscard]] constexpr bool LayoutIsSound() {
    std::uint64_t used = kTags;
    for (std::size_t j = 0; j < 8; ++j) {
        if ((used & GroupBits(j)) != 0) {
            return false;
        }
        used |= GroupBits(j);
    }
    for (std::size_t j = 0; j < 8; ++j) {
        const std::uint64_t end = TableStart(j) + 8 * TableEntries(j);
        for (std::uint64_t g = 0; g < 64; ++g) {
            for (const std::uint64_t others : {used & ~GroupBits(j), kTags}) {
                const std::uint64_t index = IndexOf(j, others | (g << kPlaces[j].at));
                if (index < TableStart(j) || index >= end || index % 8 != 0 ||
                    GroupOfEntry(j, (index - TableStart(j)) / 8) != g) {
                    return false;
                }
            }
        }
        if (end > 8 * kBaseEntries) {
            return false;
        }
        for (std::size_t k = 0; k < j; ++k) {
            if (kPlaces[k].base == kPlaces[j].base && TableStart(k) < end &&
                TableStart(j) < TableStart(k) + 8 * TableEntries(k)) {
                return false;
            }
        }
    }
    return true;
}
static_assert(LayoutIsSound(), "each group's lookup must depend on that group alone");

// A keyed pair (groups in the low six bits of its bytes) in chain form.
[[nodiscard]] constexpr std::uint64_t ToChain(std::uint64_t pair) {
    std::uint64_t half = 0;
    for (std::size_t j = 0; j < 8; ++j) {
        half |= ((pair >> (8 * j)) & 63) << kPlaces[j].at;
    }
    return half;
}

inline constexpr std::uint64_t kPairGroups = 0x3f3f3f3f3f3f3f3full;

// The S-box of byte j: the low word of a pair holds groups 8, 6, 4, 2, the high word 7, 5, 3, 1.
[[nodiscard]] constexpr std::size_t SBoxOf(std::size_t j) { return j < 4 ? 7 - 2 * j : 6 - 2 * (j - 4); }

using ChainTables = std::array<std::uint64_t, kBases * kBaseEntries>;

// Sk followed by P, in chain form, where byte j's lookup finds it.
[[nodiscard]] constexpr ChainTables MakeChainTables() {
    ChainTables tables{};
    for (std::size_t j = 0; j < 8; ++j) {
        const std::size_t first = static_cast<std::size_t>(kPlaces[j].base) * kBaseEntries + TableStart(j) / 8;
        for (std::size_t n = 0; n < TableEntries(j); ++n) {
            tables[first + n] = ToChain(des::detail::kSpPairs[SBoxOf(j)][GroupOfEntry(j, n)] & kPairGroups);
        }
    }
    return tables;
}

alignas(64) inline constexpr ChainTables kChainTables = MakeChainTables();

// IP straight into chain form: nibble n of the block (w0 above w1) adds its share of L's (kLeft)
// or R's chain form; the tags come with nibble 0. One lookup per nibble, as des::InitialPermutation,
// but without the way through the rotated form, which sits on the chain of every block.
using EntryTables = std::array<std::array<std::uint64_t, 16>, 16>;
inline constexpr std::size_t kLeft = 0;
inline constexpr std::size_t kRight = 1;

[[nodiscard]] constexpr EntryTables MakeEntryTables(std::size_t side) {
    EntryTables tables{};
    for (std::size_t n = 0; n < 16; ++n) {
        for (std::size_t v = 0; v < 16; ++v) {
            const std::uint64_t lr = des::detail::kInitialTables[n][v];
            const auto half = static_cast<std::uint32_t>(side == kLeft ? lr >> 32 : lr);
            tables[n][v] = ToChain(des::detail::Paired(half) & kPairGroups) | (n == 0 ? kTags : 0);
        }
    }
    return tables;
}
alignas(64) inline constexpr std::array<EntryTables, 2> kEntryTables = {MakeEntryTables(kLeft),
                                                                       MakeEntryTables(kRight)};

// IP^-1 straight from chain form, looked up like a round: each group adds what IP^-1 makes of the
// bits of the half that it alone holds (the low word of a pair holds bits 0 to 5 of each byte of
// the half, the high word, rotated, bits 6 and 7).
[[nodiscard]] constexpr std::uint32_t OwnedBits(std::size_t j, std::uint64_t g) {
    if (j < 4) {
        return static_cast<std::uint32_t>(g << (8 * j));
    }
    return std::rotl(static_cast<std::uint32_t>(g << (8 * (j - 4))), 4) & 0xc0c0c0c0u;
}

[[nodiscard]] constexpr ChainTables MakeExitTables(std::size_t side) {
    ChainTables tables{};
    for (std::size_t j = 0; j < 8; ++j) {
        const std::size_t first = static_cast<std::size_t>(kPlaces[j].base) * kBaseEntries + TableStart(j) / 8;
        for (std::size_t n = 0; n < TableEntries(j); ++n) {
            // The preoutput is R16 above L16.
            const std::uint64_t preoutput = std::uint64_t{OwnedBits(j, GroupOfEntry(j, n))}
                                            << (side == kRight ? 32 : 0);
            std::uint64_t out = 0;
            for (std::size_t nibble = 0; nibble < 16; ++nibble) {
                out |= des::detail::kFinalTables[nibble][(preoutput >> (4 * nibble)) & 15];
            }
            tables[first + n] = out;
        }
    }
    return tables;
}
alignas(64) inline constexpr std::array<ChainTables, 2> kExitTables = {MakeExitTables(kLeft),
                                                                      MakeExitTables(kRight)};

// The block (w0 above w1) through IP, one side in chain form with its tags, XORed with key. The
// nibbles are taken from w0 and w1 apart, so CBC's chaining needs no 64-bit block on the way in;
// the key meets the first lookups to arrive, since the nibbles at the ends of a word need one
// instruction each.
[[nodiscard]] __attribute__((always_inline)) inline std::uint64_t Enter(const EntryTables& tables, std::uint32_t w0,
                                                                      std::uint32_t w1, std::uint64_t key) noexcept {
    const auto look = [&](std::size_t n) {
        const std::uint32_t word = n < 8 ? w1 : w0;
        return tables[n][(word >> (4 * (n % 8))) & 15];
    };
    using des::Opaque;
    const std::uint64_t a = Opaque(Opaque(key ^ look(0)) ^ Opaque(look(7) ^ look(8))) ^ look(15);
    const std::uint64_t b = Opaque(Opaque(look(1) ^ look(2)) ^ Opaque(look(3) ^ look(4)));
    const std::uint64_t c = Opaque(Opaque(look(5) ^ look(6)) ^ Opaque(look(9) ^ look(10)));
    const std::uint64_t d = Opaque(Opaque(look(11) ^ look(12)) ^ Opaque(look(13) ^ look(14)));
    return Opaque(Opaque(a ^ b) ^ Opaque(c ^ d));
}

// Which half a round reads (0: L, 1: R). Within a stage the halves take turns; the last round of
// a stage and the first of the next read the same one, since the IP^-1 and IP between them cancel
// and leave the halves unexchanged.
[[nodiscard]] constexpr int SourceOf(int round) {
    const int evenSource = round / 16 == 1 ? 0 : 1;
    return round % 2 == 0 ? evenSource : 1 - evenSource;
}

[[nodiscard]] constexpr int NextRead(int half, int after) {
    for (int round = after + 1; round < 48; ++round) {
        if (SourceOf(round) == half) {
            return round;
        }
    }
    return 48;
}

}  // namespace detail

// Per direction, in chain form: the keys L and R start with, one subkey difference per round (the
// target half's old key against the key of the next round that reads it), the key change for the
// second reading at each stage boundary, and the key L still carries at the end.
inline constexpr std::size_t kKeyL = 0;
inline constexpr std::size_t kKeyR = 1;
inline constexpr std::size_t kFirstDelta = 2;
inline constexpr std::size_t kBoundary = kFirstDelta + 48;
inline constexpr std::size_t kFinalKeyL = kBoundary + 2;
inline constexpr std::size_t kScheduleWords = kFinalKeyL + 1;
using Schedule = std::array<std::uint64_t, kScheduleWords>;

// The schedule that runs `pairs` forwards (encryption) or backwards (decryption).
[[nodiscard]] inline Schedule MakeSchedule(const des::TripleRoundPairs& pairs, bool backwards) noexcept {
    std::array<std::uint64_t, 49> key{};  // key[48]: after the last round, no key
    for (std::size_t round = 0; round < 48; ++round) {
        key[round] = detail::ToChain(pairs[backwards ? 47 - round : round] & detail::kPairGroups);
    }
    const auto at = [&key](int round) { return key[static_cast<std::size_t>(round)]; };
    std::array<int, 2> keyedFor = {detail::NextRead(0, -1), detail::NextRead(1, -1)};
    Schedule schedule{};
    schedule[kKeyL] = at(keyedFor[0]);
    schedule[kKeyR] = at(keyedFor[1]);
    std::size_t boundary = kBoundary;
    for (int round = 0; round < 48; ++round) {
        const auto source = static_cast<std::size_t>(detail::SourceOf(round));
        const std::size_t target = 1 - source;
        if (keyedFor[source] != round) {
            schedule[boundary++] = at(keyedFor[source]) ^ at(round);
        }
        const int next = detail::NextRead(static_cast<int>(target), round);
        schedule[kFirstDelta + static_cast<std::size_t>(round)] = at(keyedFor[target]) ^ at(next);
        keyedFor[target] = next;
    }
    schedule[kFinalKeyL] = at(keyedFor[0]);
    SecureWipe(key.data(), sizeof key);
    return schedule;
}

// target ^= delta ^ the sum of the tables' entries for source's groups; with kChainTables that is
// f(source), both in chain form. The extractions come first so that the processor, which favours
// older instructions, starts the lookups as soon as it can; temporaries are reused once their
// lookup has been issued. The bases are held in rbx, rsi and rdi because a base of rbp or r13 is
// encoded with a displacement, which costs the cycle this round saves; source sits in one of
// rax, rcx and rdx, whose second byte an instruction can name.
inline void XorLookups(const detail::ChainTables& tables, std::uint64_t& target, std::uint64_t source,
                       const std::uint64_t& delta) noexcept {
    using detail::Mask;
    using detail::Shift;
    std::uint64_t t0 = 0;
    std::uint64_t t1 = 0;
    std::uint64_t t2 = 0;
    std::uint64_t t3 = 0;
    std::uint64_t t4 = 0;
    std::uint64_t t5 = 0;
    const std::uint64_t* base = tables.data();
    __asm__(
        // The three single-instruction offsets: bytes 7, 3 and 0.
        "movq %[s], %[t0]\n\t"
        "shrq %[h7], %[t0]\n\t"
        "movl %k[s], %k[t1]\n\t"
        "shrl %[h3], %k[t1]\n\t"
        "movl %k[s], %k[t2]\n\t"
        "andl %[m0], %k[t2]\n\t"
        // Byte 1 as a whole byte; bytes 2 and 4: shift, then mask.
        "movzbl %h[s], %k[t3]\n\t"
        "movq %[s], %[t4]\n\t"
        "shrq %[h2], %[t4]\n\t"
        "movq %[s], %[t5]\n\t"
        "shrq %[h4], %[t5]\n\t"
        "xorq %[delta], %[x]\n\t"
        "andl %[m2], %k[t4]\n\t"
        "andl %[m4], %k[t5]\n\t"
        // The early lookups, paired first in the tree.
        "xorq (%[a],%[t2]), %[x]\n\t"
        "movq (%[b],%[t1]), %[t1]\n\t"
        "xorq (%[c],%[t0]), %[t1]\n\t"
        // Bytes 5 and 6 in the registers just freed.
        "movq %[s], %[t0]\n\t"
        "shrq %[h5], %[t0]\n\t"
        "andl %[m5], %k[t0]\n\t"
        "movq %[s], %[t2]\n\t"
        "shrq %[h6], %[t2]\n\t"
        "andl %[m6], %k[t2]\n\t"
        "movq %c[d1](%[a],%[t3],8), %[t3]\n\t"
        "xorq (%[b],%[t4]), %[t3]\n\t"
        "movq (%[c],%[t5]), %[t5]\n\t"
        "xorq (%[b],%[t0]), %[t5]\n\t"
        "xorq %[t1], %[x]\n\t"
        "xorq (%[c],%[t2]), %[x]\n\t"
        "xorq %[t5], %[t3]\n\t"
        "xorq %[t3], %[x]\n\t"
        : [x] "+r"(target), [t0] "=&r"(t0), [t1] "=&r"(t1), [t2] "=&r"(t2), [t3] "=&R"(t3), [t4] "=&r"(t4),
          [t5] "=&r"(t5)
        : [s] "Q"(source), [delta] "m"(delta), [a] "b"(base), [b] "S"(base + detail::kBaseEntries),
          [c] "D"(base + 2 * detail::kBaseEntries), [d1] "i"(detail::kWholeByteStart), [h2] "i"(Shift(2)),
          [h3] "i"(Shift(3)), [h4] "i"(Shift(4)), [h5] "i"(Shift(5)), [h6] "i"(Shift(6)), [h7] "i"(Shift(7)),
          [m0] "i"(Mask(0)), [m2] "i"(Mask(2)), [m4] "i"(Mask(4)), [m5] "i"(Mask(5)), [m6] "i"(Mask(6)),
          "m"(tables)
        : "cc");
}

inline void Round(std::uint64_t& target, std::uint64_t source, const std::uint64_t& delta) noexcept {
    XorLookups(detail::kChainTables, target, source, delta);
}

inline constexpr std::uint64_t kNoDelta = 0;

// The last round of a stage and the first of the next: both read source, the second with the next
// key, so their lookups run side by side and only their sum meets the target.
inline void BoundaryRounds(std::uint64_t& target, std::uint64_t source, std::uint64_t keyChange,
                           const std::uint64_t& firstDelta, const std::uint64_t& secondDelta) noexcept {
    std::uint64_t second = 0;
    Round(second, source ^ keyChange, secondDelta);
    Round(target, source, firstDelta);
    target ^= second;
}

// The 48 rounds the schedule was made for, on halves entered with its keys (kKeyL, kKeyR). On
// return hl holds L16 keyed with kFinalKeyL and hr R16 unkeyed, both in chain form with the tags.
// lateLeft is a share of L0 that may arrive late: it joins after round 0, whose lookups do not
// read L, rather than at the head of that round's XORs. Always inlined: called from more than one
// place, it would otherwise be left out of line, with both halves passed through memory.
__attribute__((always_inline)) inline void Rounds(const Schedule& schedule, std::uint64_t& hl, std::uint64_t& hr,
                                                  std::uint64_t lateLeft = 0) noexcept {
    const std::uint64_t* delta = schedule.data() + kFirstDelta;
    Round(hl, hr, delta[0]);  // 0
    hl ^= lateLeft;
    Round(hr, hl, delta[1]);  // 1
    delta += 2;
    for (int i = 1; i < 7; ++i, delta += 2) {  // 2 to 13
        Round(hl, hr, delta[0]);
        Round(hr, hl, delta[1]);
    }
    Round(hl, hr, delta[0]);                                           // 14
    BoundaryRounds(hr, hl, schedule[kBoundary], delta[1], delta[2]);  // 15 and 16
    delta += 3;
    for (int i = 0; i < 7; ++i, delta += 2) {  // 17 to 30
        Round(hl, hr, delta[0]);
        Round(hr, hl, delta[1]);
    }
    BoundaryRounds(hl, hr, schedule[kBoundary + 1], delta[0], delta[1]);  // 31 and 32
    delta += 2;
    for (int i = 0; i < 7; ++i, delta += 2) {  // 33 to 46
        Round(hr, hl, delta[0]);
        Round(hl, hr, delta[1]);
    }
    Round(hr, hl, delta[0]);  // 47
}

// IP^-1 of the preoutput (R16, L16) as Rounds leaves it.
__attribute__((always_inline)) inline void Leave(const Schedule& schedule, std::uint64_t hl, std::uint64_t hr,
                                                 std::uint32_t& out0, std::uint32_t& out1) noexcept {
    // L16 is final a round before R16, so its share of IP^-1 is ready when R16's lookups start.
    std::uint64_t out = 0;
    XorLookups(detail::kExitTables[detail::kLeft], out, hl ^ schedule[kFinalKeyL], kNoDelta);
    XorLookups(detail::kExitTables[detail::kRight], out, hr, kNoDelta);
    out0 = static_cast<std::uint32_t>(out >> 32);
    out1 = static_cast<std::uint32_t>(out);
}

// One block through the 48 rounds the schedule was made for.
inline void Crypt(const Schedule& schedule, std::uint32_t w0, std::uint32_t w1, std::uint32_t& out0,
                  std::uint32_t& out1) noexcept {
    std::uint64_t hr = detail::Enter(detail::kEntryTables[detail::kRight], w0, w1, schedule[kKeyR]);
    std::uint64_t hl = detail::Enter(detail::kEntryTables[detail::kLeft], w0, w1, schedule[kKeyL]);
    Rounds(schedule, hl, hr);
    Leave(schedule, hl, hr, out0, out1);
}

// CBC encryption with the chaining value kept as IP makes it, so that neither the next block's IP
// nor this block's IP^-1 waits on the chain. IP is linear over XOR, so IP(m ^ c) = IP(m) ^ IP(c),
// and IP(c) for the block just encrypted is its preoutput with the halves taken the other way
// round: L is R16 and R is L16. left and right hold IP(c)'s L and R in chain form without tags or
// keys, so they are the encrypted block's bits alone, and zero stands for the all-zero block.
inline void StartChain(std::uint32_t c0, std::uint32_t c1, std::uint64_t& left, std::uint64_t& right) noexcept {
    // The entry tables bring the tags; a key of the tags takes them out again.
    left = detail::Enter(detail::kEntryTables[detail::kLeft], c0, c1, detail::kTags);
    right = detail::Enter(detail::kEntryTables[detail::kRight], c0, c1, detail::kTags);
}

// out = E(w ^ c) for the c that left and right stand for; they then stand for out. R's share,
// from L16, is ready while the last round still runs, so the next block's round 0 overlaps it; L's
// share, from R16, that last round's result, joins after round 0 (which does not read it).
__attribute__((always_inline)) inline void CryptChained(const Schedule& schedule, std::uint64_t& left, std::uint64_t& right, std::uint32_t w0,
                         std::uint32_t w1, std::uint32_t& out0, std::uint32_t& out1) noexcept {
    std::uint64_t hr = detail::Enter(detail::kEntryTables[detail::kRight], w0, w1, schedule[kKeyR]) ^ right;
    std::uint64_t hl = detail::Enter(detail::kEntryTables[detail::kLeft], w0, w1, schedule[kKeyL]);
    Rounds(schedule, hl, hr, left);
    Leave(schedule, hl, hr, out0, out1);
    left = hr ^ detail::kTags;
    right = hl ^ schedule[kFinalKeyL] ^ detail::kTags;
}

}  // namespace morvex::des_x86

#endif
