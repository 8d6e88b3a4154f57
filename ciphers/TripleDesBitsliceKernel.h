#pragma once

// The part of bitsliced triple-DES decryption that does not depend on the register width: the
// slice layout, the S-boxes as three-input functions and the rounds, under key masks made once per
// key (TripleDesBitslice.h). Included only by the files that instantiate it for one instruction set
// each, and kept in an anonymous namespace so that no copy compiled for one set can stand in for
// another at link time.
//
// Register bit j of slice n holds standard bit n of block j, so a permutation costs nothing (it
// only renames slices) and each S-box becomes boolean logic on whole registers: its circuit of
// three-input gates from DesCircuits.h, 22 to 30 gates for its four output bits.
//
// A register type V supplies: Reg; kWords, its width in 64-bit words; Load and Store of kWords
// words; Xor; Broadcast of a 32-bit word; Ternary<table>(a, b, c), the three-input function whose
// truth table bit (a << 2 | b << 1 | c) is set where the result is 1.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "base/ByteOrder.h"
#include "ciphers/DesCircuits.h"
#include "ciphers/DesCore.h"
#include "ciphers/DesTables.h"
#include "base/SecureWipe.h"

namespace morvex::des {
namespace {

constexpr std::size_t kRounds = kBitsliceRounds;

// Where S-box output position m (1 to 32) lands after P, 0-based.
[[nodiscard]] constexpr std::size_t AfterP(int m) {
    for (std::size_t i = 0; i < kPermutation.size(); ++i) {
        if (kPermutation[i] == m) {
            return i;
        }
    }
    return 0;
}

template <class V>
using Slice = std::array<std::uint64_t, V::kWords>;

template <class V>
using HalfSlices = std::array<Slice<V>, 32>;

template <class V>
struct alignas(64) Halves {
    std::array<HalfSlices<V>, 2> half;
};

template <class V>
using BoxNodes = typename V::Reg[6 + kMaxCircuitGates];

template <class V, int kBox, std::size_t... kGates>
inline void EvaluateGates(BoxNodes<V>& node, std::index_sequence<kGates...>) {
    constexpr auto& gates = kSBoxCircuits[kBox].gates;
    ((node[6 + kGates] = V::template Ternary<gates[kGates].table>(node[gates[kGates].a], node[gates[kGates].b],
                                                                  node[gates[kGates].c])),
     ...);
}

// ---- Where the key enters: see BitsliceKeys in TripleDesBitslice.h ----

template <class V, bool kFull, std::size_t kInput>
[[nodiscard]] inline typename V::Reg InputNode(const HalfSlices<V>& source, const BitsliceRoundKeys& keys) {
    const typename V::Reg slice = V::Load(source[kExpansion[kInput] - 1u].data());
    if constexpr (kFull || kSecondReads[kInput]) {
        return V::Xor(slice, V::Broadcast(keys.inputs[kInput]));
    } else {
        return slice;
    }
}

// Output bit kBit of box kBox into its target slice, with the change of that slice's mask.
template <class V, int kBox, std::size_t kBit>
inline void XorOutput(HalfSlices<V>& target, const BoxNodes<V>& node, const BitsliceRoundKeys& keys) {
    constexpr std::size_t slot = AfterP(4 * kBox + 1 + static_cast<int>(kBit));
    std::uint64_t* slice = target[slot].data();
    V::Store(slice, V::template Ternary<0x96>(V::Load(slice), node[kSBoxCircuits[kBox].outputs[kBit]],
                                              V::Broadcast(keys.outputs[slot])));
}

template <class V, int kBox, std::size_t... kBits>
inline void XorOutputs(HalfSlices<V>& target, const BoxNodes<V>& node, const BitsliceRoundKeys& keys,
                       std::index_sequence<kBits...>) {
    (XorOutput<V, kBox, kBits>(target, node, keys), ...);
}

template <class V, bool kFull, int kBox, std::size_t... kInputs>
inline void BoxStep(HalfSlices<V>& target, const HalfSlices<V>& source, const BitsliceRoundKeys& keys,
                    std::index_sequence<kInputs...>) {
    constexpr std::size_t b = 6 * kBox;
    BoxNodes<V> node;
    ((node[kInputs] = InputNode<V, kFull, b + kInputs>(source, keys)), ...);
    EvaluateGates<V, kBox>(node, std::make_index_sequence<kSBoxCircuits[kBox].gateCount>{});
    XorOutputs<V, kBox>(target, node, keys, std::make_index_sequence<4>{});
}

template <class V, bool kFull, std::size_t... kBoxes>
inline void RoundSteps(HalfSlices<V>& target, const HalfSlices<V>& source, const BitsliceRoundKeys& keys,
                       std::index_sequence<kBoxes...>) {
    (BoxStep<V, kFull, static_cast<int>(kBoxes)>(target, source, keys, std::make_index_sequence<6>{}), ...);
}

template <class V, bool kFull>
void Round(HalfSlices<V>& target, const HalfSlices<V>& source, const BitsliceRoundKeys& keys) {
    RoundSteps<V, kFull>(target, source, keys, std::make_index_sequence<8>{});
}

// ---- Between blocks and slices ----

// Standard bit (1 to 64) of bit `bit` (0 = least significant) of byte `byte` of a block on disk:
// bytes 0 to 3 are w0, least significant first, and w0 is bits 1 to 32.
[[nodiscard]] constexpr int StandardBit(int byte, int bit) {
    const int base = byte < 4 ? 1 + 8 * (3 - byte) : 33 + 8 * (7 - byte);
    return base + 7 - bit;
}

// Where input bit n lands after IP: (half, index) packed as half * 32 + index.
[[nodiscard]] constexpr std::array<std::uint8_t, 64> InputSlots() {
    std::array<std::uint8_t, 64> slots{};
    for (std::size_t q = 0; q < 64; ++q) {
        slots[kInitialPermutation[q] - 1u] = static_cast<std::uint8_t>(q);
    }
    return slots;
}

// Which preoutput slice output bit n comes from: the preoutput is R16 (half 0 here) then L16.
[[nodiscard]] constexpr std::array<std::uint8_t, 64> OutputSlots() {
    std::array<std::uint8_t, 64> slots{};
    for (std::size_t i = 0; i < 64; ++i) {
        slots[i] = static_cast<std::uint8_t>(kInverseInitialPermutation[i] - 1u);
    }
    return slots;
}

constexpr std::array<std::uint8_t, 64> kInputSlots = InputSlots();
constexpr std::array<std::uint8_t, 64> kOutputSlots = OutputSlots();

// ---- For register types without a three-input logic instruction ----

// Ternary for a register type Ops that offers And, AndNot(a, b) = a AND NOT b, Or, Xor, Ones and
// Zero: the function is split on one input into two two-input functions of the others, most of
// them one instruction, and joined by the cheapest of a few forms. The input to split on is the one
// that costs fewest instructions, counted at compile time.
template <class Ops>
struct SplitTernary {
    using Reg = typename Ops::Reg;

    // Instructions for the two-input function with truth table t (bit (b << 1 | c)).
    [[nodiscard]] static constexpr int TwoCost(int t) {
        switch (t) {
        case 0x0: case 0xF: case 0xA: case 0xC:
            return 0;
        case 0x8: case 0xE: case 0x6: case 0x4: case 0x2: case 0x5: case 0x3:
            return 1;
        default:
            return 2;
        }
    }

    // The two-input function of (b, c) whose truth table bit (b << 1 | c) is set where it is 1.
    template <int kTable>
    [[nodiscard]] static constexpr Reg Two(Reg b, Reg c) {
        if constexpr (kTable == 0x0) {
            return Ops::Zero();
        } else if constexpr (kTable == 0xF) {
            return Ops::Ones();
        } else if constexpr (kTable == 0xA) {
            return c;
        } else if constexpr (kTable == 0xC) {
            return b;
        } else if constexpr (kTable == 0x5) {
            return Ops::Xor(c, Ops::Ones());
        } else if constexpr (kTable == 0x3) {
            return Ops::Xor(b, Ops::Ones());
        } else if constexpr (kTable == 0x8) {
            return Ops::And(b, c);
        } else if constexpr (kTable == 0xE) {
            return Ops::Or(b, c);
        } else if constexpr (kTable == 0x6) {
            return Ops::Xor(b, c);
        } else if constexpr (kTable == 0x4) {
            return Ops::AndNot(b, c);
        } else if constexpr (kTable == 0x2) {
            return Ops::AndNot(c, b);
        } else {
            // 0x1, 0x7, 0x9, 0xB, 0xD: the complements of 0xE, 0x8, 0x6, 0x4, 0x2.
            return Ops::Xor(Two<0xF & ~kTable>(b, c), Ops::Ones());
        }
    }

    // How a function split on its first input a, into clear (a = 0) and set (a = 1), is joined.
    enum class Join { Clear, Xor, And, AndNot, Or, OrNot, FromClear, FromSet };

    [[nodiscard]] static constexpr Join BestJoin(int table) {
        const int clear = table & 0xF;
        const int set = table >> 4;
        const int d = clear ^ set;
        if (d == 0) {
            return Join::Clear;  // clear
        }
        if (d == 0xF) {
            return Join::Xor;  // a ^ clear
        }
        if (clear == 0) {
            return Join::And;  // a & set
        }
        if (set == 0) {
            return Join::AndNot;  // clear & ~a
        }
        if (set == 0xF) {
            return Join::Or;  // a | clear
        }
        if (clear == 0xF) {
            return Join::OrNot;  // ~(a & ~set)
        }
        return TwoCost(clear) <= TwoCost(set) ? Join::FromClear   // clear ^ (a & d)
                                              : Join::FromSet;    // set ^ (d & ~a)
    }

    [[nodiscard]] static constexpr int SplitCost(int table) {
        const int clear = table & 0xF;
        const int set = table >> 4;
        switch (BestJoin(table)) {
        case Join::Clear:
            return TwoCost(clear);
        case Join::Xor:
        case Join::AndNot:
        case Join::Or:
            return TwoCost(clear) + 1;
        case Join::And:
            return TwoCost(set) + 1;
        case Join::OrNot:
            return TwoCost(set) + 2;
        case Join::FromClear:
        case Join::FromSet:
            break;
        }
        const int cheaper = TwoCost(clear) < TwoCost(set) ? TwoCost(clear) : TwoCost(set);
        return cheaper + TwoCost(clear ^ set) + 2;
    }

    template <int kTable>
    [[nodiscard]] static constexpr Reg SplitOnFirst(Reg a, Reg b, Reg c) {
        constexpr int kClear = kTable & 0xF;
        constexpr int kSet = kTable >> 4;
        constexpr Join kJoin = BestJoin(kTable);
        if constexpr (kJoin == Join::Clear) {
            return Two<kClear>(b, c);
        } else if constexpr (kJoin == Join::Xor) {
            return Ops::Xor(a, Two<kClear>(b, c));
        } else if constexpr (kJoin == Join::And) {
            return Ops::And(a, Two<kSet>(b, c));
        } else if constexpr (kJoin == Join::AndNot) {
            return Ops::AndNot(Two<kClear>(b, c), a);
        } else if constexpr (kJoin == Join::Or) {
            return Ops::Or(a, Two<kClear>(b, c));
        } else if constexpr (kJoin == Join::OrNot) {
            return Ops::Xor(Ops::AndNot(a, Two<kSet>(b, c)), Ops::Ones());
        } else if constexpr (kJoin == Join::FromClear) {
            return Ops::Xor(Two<kClear>(b, c), Ops::And(a, Two<kClear ^ kSet>(b, c)));
        } else {
            return Ops::Xor(Two<kSet>(b, c), Ops::AndNot(Two<kClear ^ kSet>(b, c), a));
        }
    }

    // The table of the same function with operand `first` (0 = a, 1 = b, 2 = c) moved to the front,
    // the other two keeping their order.
    [[nodiscard]] static constexpr int MovedToFront(int table, int first) {
        int moved = 0;
        for (int e = 0; e < 8; ++e) {
            const int va = (e >> 2) & 1;
            const int vb = (e >> 1) & 1;
            const int vc = e & 1;
            const int f = first == 0 ? e : first == 1 ? (vb << 2 | va << 1 | vc) : (vc << 2 | va << 1 | vb);
            moved |= ((table >> e) & 1) << f;
        }
        return moved;
    }

    [[nodiscard]] static constexpr int CheapestFirst(int table) {
        int best = 0;
        for (int first = 1; first < 3; ++first) {
            if (SplitCost(MovedToFront(table, first)) < SplitCost(MovedToFront(table, best))) {
                best = first;
            }
        }
        return best;
    }

    template <int kTable>
    [[nodiscard]] static constexpr Reg Ternary(Reg a, Reg b, Reg c) {
        constexpr int kFirst = CheapestFirst(kTable);
        constexpr int kMoved = MovedToFront(kTable, kFirst);
        if constexpr (kFirst == 0) {
            return SplitOnFirst<kMoved>(a, b, c);
        } else if constexpr (kFirst == 1) {
            return SplitOnFirst<kMoved>(b, a, c);
        } else {
            return SplitOnFirst<kMoved>(c, a, b);
        }
    }
};

// The splitting checked on truth tables themselves: with a, b and c the tables of the three
// inputs, every one of the 256 functions must come out as its own table.
struct TruthTableOps {
    using Reg = std::uint8_t;
    [[nodiscard]] static constexpr Reg And(Reg a, Reg b) { return static_cast<Reg>(a & b); }
    [[nodiscard]] static constexpr Reg AndNot(Reg a, Reg b) { return static_cast<Reg>(a & ~b); }
    [[nodiscard]] static constexpr Reg Or(Reg a, Reg b) { return static_cast<Reg>(a | b); }
    [[nodiscard]] static constexpr Reg Xor(Reg a, Reg b) { return static_cast<Reg>(a ^ b); }
    [[nodiscard]] static constexpr Reg Ones() { return 0xFF; }
    [[nodiscard]] static constexpr Reg Zero() { return 0; }
};

template <int... kTables>
[[nodiscard]] constexpr bool SplitsEveryTable(std::integer_sequence<int, kTables...>) {
    return ((SplitTernary<TruthTableOps>::Ternary<kTables>(0xF0, 0xCC, 0xAA) == kTables) && ...);
}

static_assert(SplitsEveryTable(std::make_integer_sequence<int, 256>{}));

// Transposes a 64 x 64 bit matrix, row r in m[r], column 0 its most significant bit: blocks of
// 32, 16, ..., 1 bits are exchanged across the diagonal in turn. Its own inverse.
inline void Transpose64(std::uint64_t (&m)[64]) {
    std::uint64_t mask = 0x00000000FFFFFFFFu;
    for (std::size_t j = 32; j != 0; j >>= 1, mask ^= mask << j) {
        for (std::size_t k = 0; k < 64; k = (k + j + 1) & ~j) {
            const std::uint64_t t = (m[k] ^ (m[k + j] >> j)) & mask;
            m[k] ^= t;
            m[k + j] ^= t << j;
        }
    }
}

// Between blocks and slices by plain 64 x 64 bit transposes, 64 blocks per register word. Row j
// of a group is block j as one 64-bit number, standard bit 1 first; after the transpose row k
// holds standard bit k + 1 of all 64 blocks.
template <class V>
struct TransposedBatch {
    static constexpr std::size_t kBlocks = 64 * V::kWords;

    static void Load(const std::uint8_t* in, Halves<V>& state) {
        for (std::size_t g = 0; g < V::kWords; ++g) {
            std::uint64_t m[64];
            for (std::size_t j = 0; j < 64; ++j) {
                const std::uint8_t* p = in + (64 * g + j) * kBlockBytes;
                m[j] = (std::uint64_t{LoadWord(p)} << 32) | LoadWord(p + 4);
            }
            Transpose64(m);
            for (std::size_t k = 0; k < 64; ++k) {
                const std::size_t slot = kInputSlots[k];
                state.half[slot / 32][slot % 32][g] = m[k];
            }
            SecureWipe(m, sizeof m);
        }
    }

    static void Store(const Halves<V>& state, std::size_t first, const std::uint8_t* mask, std::uint8_t* out) {
        for (std::size_t g = 0; g < V::kWords; ++g) {
            std::uint64_t m[64];
            for (std::size_t k = 0; k < 64; ++k) {
                const std::size_t slot = kOutputSlots[k];
                m[k] = state.half[slot < 32 ? first : 1 - first][slot % 32][g];
            }
            Transpose64(m);
            for (std::size_t j = 0; j < 64; ++j) {
                const std::size_t at = (64 * g + j) * kBlockBytes;
                std::uint32_t w0 = static_cast<std::uint32_t>(m[j] >> 32);
                std::uint32_t w1 = static_cast<std::uint32_t>(m[j]);
                if (mask != nullptr) {
                    w0 ^= LoadWord(mask + at);
                    w1 ^= LoadWord(mask + at + 4);
                }
                StoreWord(out + at, w0);
                StoreWord(out + at + 4, w1);
            }
            SecureWipe(m, sizeof m);
        }
    }
};

// The 48 rounds on a batch whose halves hold L0 (half 0) and R0 after IP; returns the half that
// then holds R16, the first half of the preoutput.
template <class V>
std::size_t DecryptRounds(const BitsliceKeys& keys, Halves<V>& state) {
    for (std::size_t n = 0; n < kRounds; ++n) {
        const RoundHalves halves = kRoundHalves[n];
        if (IsFullRound(n)) {
            Round<V, true>(state.half[halves.target], state.half[halves.source], keys.rounds[n]);
        } else {
            Round<V, false>(state.half[halves.target], state.half[halves.source], keys.rounds[n]);
        }
    }
    return kRoundHalves[kRounds - 1].target;
}

// Whole batches, then a last one padded with zeros if at least minPadded blocks remain; returns
// how many blocks it did. Batch supplies kBlocks, Load(in, state) and Store(state, first, mask,
// out), which XORs each block with mask's where mask is not null.
template <class V, class Batch>
std::size_t DecryptInBatches(const BitsliceKeys& keys, const std::uint8_t* in, const std::uint8_t* mask,
                             std::uint8_t* out, std::size_t blockCount, std::size_t minPadded) {
    constexpr std::size_t kBatch = Batch::kBlocks;
    const std::size_t whole = blockCount / kBatch * kBatch;
    const std::size_t rest = blockCount - whole;
    if (whole == 0 && rest < minPadded) {
        return 0;
    }
    Halves<V> state{};
    const auto batch = [&](const std::uint8_t* from, const std::uint8_t* xorWith, std::uint8_t* to) {
        Batch::Load(from, state);
        Batch::Store(state, DecryptRounds<V>(keys, state), xorWith, to);
    };
    for (std::size_t i = 0; i < whole; i += kBatch) {
        batch(in + i * kBlockBytes, mask == nullptr ? nullptr : mask + i * kBlockBytes, out + i * kBlockBytes);
    }
    std::size_t done = whole;
    if (rest >= minPadded) {
        alignas(64) std::array<std::uint8_t, kBatch * kBlockBytes> padded{};
        std::memcpy(padded.data(), in + whole * kBlockBytes, rest * kBlockBytes);
        batch(padded.data(), nullptr, padded.data());
        if (mask != nullptr) {
            XorBlocks(padded.data(), mask + whole * kBlockBytes, rest);
        }
        std::memcpy(out + whole * kBlockBytes, padded.data(), rest * kBlockBytes);
        SecureWipe(padded.data(), padded.size());
        done = blockCount;
    }
    SecureWipe(&state, sizeof state);
    return done;
}

}  // namespace
}  // namespace morvex::des
