#pragma once

// The IDEA rounds written once for any vector of 16-bit lanes, one block per lane. Included only by
// the files that are compiled for one instruction set each. Everything here is a template over that
// file's own vector operations (declared in an anonymous namespace there), so no function compiled
// for one instruction set can be shared with, and then run by, code built for less.
//
// The operations type supplies: Vec; kLanes; Splat(k); MulAux(k), whatever per-subkey value its Mul
// needs; Add, Xor; Mul(x, k, aux), multiplication modulo 65537 with 0 standing for 65536; Load(bytes,
// x1, x2, x3, x4), which reads kLanes blocks into one vector per sub-block; Store, its inverse.
//
// On a little-endian machine the four 16-bit words of a block on disk are X4, X3, X2, X1: w0 holds
// X3 and X4, least significant byte first, and w1 holds X1 and X2. So Load is a pure transposition.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

namespace morvex {

template <class Ops>
struct IdeaLaneKeys {
    typename Ops::Vec key[52];
    typename Ops::Vec aux[52];
};

template <class Ops>
inline void IdeaLaneRound(typename Ops::Vec& x1, typename Ops::Vec& x2, typename Ops::Vec& x3,
                          typename Ops::Vec& x4, const typename Ops::Vec* key, const typename Ops::Vec* aux) {
    const typename Ops::Vec v1 = Ops::Mul(x1, key[0], aux[0]);
    const typename Ops::Vec v2 = Ops::Add(x2, key[1]);
    const typename Ops::Vec v3 = Ops::Add(x3, key[2]);
    const typename Ops::Vec v4 = Ops::Mul(x4, key[3], aux[3]);
    const typename Ops::Vec p = Ops::Mul(Ops::Xor(v1, v3), key[4], aux[4]);
    const typename Ops::Vec q = Ops::Mul(Ops::Add(Ops::Xor(v2, v4), p), key[5], aux[5]);
    const typename Ops::Vec s = Ops::Add(p, q);
    // The middle two leave exchanged, in the last round too; the output step undoes it.
    x1 = Ops::Xor(v1, q);
    x2 = Ops::Xor(v3, q);
    x3 = Ops::Xor(v2, s);
    x4 = Ops::Xor(v4, s);
}

// Several groups of kLanes blocks side by side: one group alone is a chain of dependent
// multiplications, so the processor would mostly wait; independent groups fill those gaps.
template <class Ops, std::size_t... G>
inline void IdeaLaneGroups(const IdeaLaneKeys<Ops>& keys, const std::uint8_t* in, std::uint8_t* out,
                           std::index_sequence<G...> /*groups*/) {
    using Vec = typename Ops::Vec;
    constexpr std::size_t kGroupBytes = Ops::kLanes * 8;
    Vec x1[sizeof...(G)];
    Vec x2[sizeof...(G)];
    Vec x3[sizeof...(G)];
    Vec x4[sizeof...(G)];
    (Ops::Load(in + G * kGroupBytes, x1[G], x2[G], x3[G], x4[G]), ...);
    for (std::size_t round = 0; round < 8; ++round) {
        (IdeaLaneRound<Ops>(x1[G], x2[G], x3[G], x4[G], keys.key + 6 * round, keys.aux + 6 * round), ...);
    }
    (Ops::Store(out + G * kGroupBytes, Ops::Mul(x1[G], keys.key[48], keys.aux[48]), Ops::Add(x3[G], keys.key[49]),
                Ops::Add(x2[G], keys.key[50]), Ops::Mul(x4[G], keys.key[51], keys.aux[51])),
     ...);
}

// Between one and kCount groups side by side, the number chosen at run time.
template <class Ops, std::size_t kCount>
inline void IdeaLaneSomeGroups(const std::size_t groups, const IdeaLaneKeys<Ops>& keys, const std::uint8_t* in,
                               std::uint8_t* out) {
    if constexpr (kCount > 1) {
        if (groups < kCount) {
            IdeaLaneSomeGroups<Ops, kCount - 1>(groups, keys, in, out);
            return;
        }
    }
    IdeaLaneGroups<Ops>(keys, in, out, std::make_index_sequence<kCount>{});
}

// Whole vectors at a time, through volatile so that the optimiser keeps these last stores.
template <class Ops>
inline void IdeaLaneWipe(typename Ops::Vec* vectors, const std::size_t count) noexcept {
    volatile typename Ops::Vec* target = vectors;
    const typename Ops::Vec zero = Ops::Splat(0);
    for (std::size_t i = 0; i < count; ++i) {
        target[i] = zero;
    }
}

template <class Ops, std::size_t kGroups>
inline void IdeaLaneCryptBlocks(const std::uint16_t* subkeys, const std::uint8_t* in, std::uint8_t* out,
                                const std::size_t blockCount) {
    constexpr std::size_t kLanes = Ops::kLanes;
    IdeaLaneKeys<Ops> keys;
    for (std::size_t i = 0; i < 52; ++i) {
        keys.key[i] = Ops::Splat(subkeys[i]);
        keys.aux[i] = Ops::MulAux(subkeys[i]);
    }
    std::size_t done = 0;
    for (; blockCount - done >= kGroups * kLanes; done += kGroups * kLanes) {
        IdeaLaneGroups<Ops>(keys, in + done * 8, out + done * 8, std::make_index_sequence<kGroups>{});
    }
    if (done < blockCount) {
        // The rest, fewer than kGroups groups, goes through as many groups side by side in a copy,
        // so that nothing is read or written beyond the caller's buffers.
        typename Ops::Vec rest[4 * kGroups] = {};
        static_assert(sizeof rest == kGroups * kLanes * 8);
        std::uint8_t* restBytes = reinterpret_cast<std::uint8_t*>(rest);
        const std::size_t byteCount = (blockCount - done) * 8;
        std::memcpy(restBytes, in + done * 8, byteCount);
        IdeaLaneSomeGroups<Ops, kGroups>((blockCount - done + kLanes - 1) / kLanes, keys, restBytes, restBytes);
        std::memcpy(out + done * 8, restBytes, byteCount);
        IdeaLaneWipe<Ops>(rest, 4 * kGroups);
    }
    IdeaLaneWipe<Ops>(keys.key, 52);
    IdeaLaneWipe<Ops>(keys.aux, 52);
}

}  // namespace morvex
