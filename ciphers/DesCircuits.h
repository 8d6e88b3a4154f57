#pragma once

// Each DES S-box as a circuit of three-input gates, the form bitsliced code evaluates on whole
// registers (one vpternlog per gate on AVX-512). Nodes 0 to 5 are the inputs x1 to x6 (x1 the
// most significant, x1 x6 selecting the row); node 6 + i is gate i. A gate's table has bit
// (a << 2 | b << 1 | c) set where it is 1 for operand values a, b, c. The circuits were found by
// tools/SBoxSearch.cpp, which also orders each gate's operands so that the first is one whose
// value is not needed after it (vpternlog overwrites its first operand). The static_assert below
// proves every circuit against the tables of the standard, so a wrong gate cannot compile.

#include <array>
#include <cstddef>
#include <cstdint>

#include "ciphers/DesTables.h"

namespace morvex::des {

struct CircuitGate {
    std::uint8_t table;
    std::uint8_t a;
    std::uint8_t b;
    std::uint8_t c;
};

inline constexpr std::size_t kMaxCircuitGates = 48;

struct SBoxCircuit {
    std::uint8_t gateCount;
    std::array<CircuitGate, kMaxCircuitGates> gates;
    std::array<std::uint8_t, 4> outputs;  // the node of each output bit, most significant first
};

// clang-format off
inline constexpr std::array<SBoxCircuit, 8> kSBoxCircuits = {{
    // S1
    {29, {{
         {0x94, 0, 1, 3}, {0xB5, 6, 1, 2}, {0x3A, 0, 2, 3}, {0xC1, 8, 1, 3}, {0xCA, 4, 9, 7}, {0xB0, 4, 7, 9},
         {0x96, 11, 0, 3}, {0x06, 9, 12, 6}, {0xE1, 13, 3, 4}, {0xE4, 14, 12, 2}, {0xCA, 5, 15, 10}, {0xA9, 6, 13, 5},
         {0x9E, 15, 17, 8}, {0xC5, 10, 13, 5}, {0x92, 19, 4, 18}, {0xF1, 5, 12, 2}, {0x43, 2, 18, 0}, {0xDA, 17, 19, 4},
         {0x1D, 22, 23, 7}, {0x9C, 21, 16, 20}, {0xA2, 25, 0, 24}, {0x62, 21, 1, 20}, {0xAC, 3, 18, 27}, {0x6D, 4, 28, 0},
         {0xC9, 29, 12, 19}, {0x61, 12, 16, 28}, {0x96, 31, 13, 26}, {0xCA, 1, 32, 30}, {0x9A, 0, 7, 26}}},
     {28, 16, 34, 33}},
    // S2
    {30, {{
         {0x69, 0, 2, 5}, {0x58, 0, 2, 6}, {0xA7, 7, 1, 3}, {0xCA, 1, 8, 6}, {0x2B, 1, 2, 7}, {0xD1, 10, 0, 9},
         {0xB3, 10, 0, 5}, {0x96, 12, 1, 11}, {0xCA, 3, 13, 11}, {0xCA, 4, 14, 9}, {0x69, 7, 2, 3}, {0x1C, 0, 3, 16},
         {0x9C, 6, 17, 2}, {0xCA, 1, 18, 16}, {0xA3, 9, 18, 19}, {0x65, 12, 14, 18}, {0xE4, 21, 20, 5}, {0xB8, 19, 4, 22},
         {0x6E, 20, 22, 4}, {0xC6, 17, 24, 5}, {0x71, 3, 13, 25}, {0x7C, 0, 8, 16}, {0x61, 27, 15, 23}, {0xCA, 5, 28, 26},
         {0xCA, 1, 29, 25}, {0x1E, 13, 25, 30}, {0x87, 31, 4, 26}, {0xB5, 11, 24, 32}, {0x96, 33, 23, 27}, {0xCA, 2, 34, 32}}},
     {15, 30, 35, 23}},
    // S3
    {29, {{
         {0xE4, 2, 3, 4}, {0x96, 6, 1, 5}, {0x86, 1, 4, 5}, {0xE1, 8, 3, 5}, {0x4F, 1, 4, 7}, {0x53, 10, 3, 9},
         {0x89, 10, 2, 5}, {0xC9, 6, 8, 12}, {0x5A, 4, 5, 12}, {0xCA, 0, 14, 13}, {0x6B, 12, 14, 0}, {0x49, 13, 16, 2},
         {0x97, 4, 0, 1}, {0x96, 16, 18, 14}, {0x46, 19, 0, 7}, {0x07, 15, 20, 11}, {0xE4, 21, 20, 3}, {0xAC, 5, 17, 19},
         {0xE2, 23, 3, 15}, {0xD5, 8, 12, 3}, {0xEC, 17, 22, 25}, {0xC9, 19, 26, 9}, {0x9B, 4, 20, 24}, {0x83, 28, 1, 26},
         {0xE4, 29, 27, 0}, {0x96, 25, 0, 7}, {0xE2, 31, 2, 22}, {0xAC, 2, 9, 11}, {0xE2, 33, 0, 7}}},
     {30, 32, 24, 34}},
    // S4
    {22, {{
         {0xCD, 0, 1, 2}, {0x61, 0, 1, 2}, {0xCA, 4, 7, 6}, {0x1A, 0, 2, 4}, {0xD2, 9, 1, 2}, {0xE4, 10, 8, 3},
         {0xA6, 0, 2, 6}, {0xE1, 7, 12, 3}, {0xA3, 3, 6, 12}, {0xB4, 14, 1, 13}, {0xE4, 15, 13, 4}, {0xCA, 5, 16, 11},
         {0x27, 2, 3, 9}, {0xD6, 13, 18, 6}, {0x9D, 1, 3, 4}, {0xE1, 20, 2, 6}, {0xCA, 0, 21, 19}, {0x76, 8, 9, 18},
         {0x96, 23, 11, 12}, {0xCA, 5, 24, 22}, {0x4E, 11, 16, 5}, {0xC5, 5, 22, 24}}},
     {27, 25, 26, 17}},
    // S5
    {30, {{
         {0x96, 2, 3, 4}, {0x79, 2, 3, 4}, {0xE4, 7, 6, 5}, {0xD0, 4, 5, 6}, {0xE5, 9, 2, 8}, {0xE4, 10, 8, 0},
         {0x97, 0, 2, 5}, {0x65, 12, 3, 11}, {0x93, 0, 1, 6}, {0x83, 14, 8, 13}, {0xA1, 1, 5, 12}, {0x61, 16, 6, 15},
         {0x6D, 8, 13, 1}, {0x3E, 0, 1, 5}, {0x61, 18, 3, 15}, {0x64, 17, 10, 12}, {0xE4, 21, 20, 4}, {0xE5, 10, 11, 1},
         {0x96, 23, 6, 12}, {0xB8, 22, 5, 24}, {0xC9, 16, 19, 12}, {0xD8, 18, 26, 3}, {0xE2, 17, 2, 15}, {0xB8, 28, 4, 27},
         {0x16, 3, 5, 26}, {0x86, 30, 20, 24}, {0x39, 6, 20, 25}, {0xDA, 32, 13, 15}, {0xCA, 2, 33, 31}, {0xAC, 1, 11, 13}}},
     {29, 35, 34, 25}},
    // S6
    {29, {{
         {0x68, 0, 1, 2}, {0x67, 0, 2, 6}, {0xCA, 5, 7, 6}, {0x7D, 2, 5, 7}, {0x90, 9, 1, 6}, {0xCA, 4, 10, 8},
         {0x86, 0, 1, 5}, {0x95, 12, 4, 11}, {0xE4, 13, 11, 3}, {0x87, 1, 2, 14}, {0x2D, 10, 3, 8}, {0xE4, 16, 15, 5},
         {0x69, 7, 3, 5}, {0x39, 15, 18, 6}, {0xB8, 18, 1, 19}, {0x85, 4, 0, 2}, {0xC1, 19, 21, 6}, {0x5A, 12, 20, 21},
         {0xCA, 1, 23, 22}, {0x43, 5, 11, 0}, {0xA6, 25, 17, 24}, {0xE2, 26, 3, 24}, {0xAC, 4, 17, 20}, {0xCB, 16, 27, 11},
         {0x96, 29, 20, 25}, {0x36, 0, 8, 28}, {0x95, 6, 11, 24}, {0xCA, 3, 32, 31}, {0xCA, 2, 33, 30}}},
     {28, 27, 14, 34}},
    // S7
    {29, {{
         {0x3A, 1, 2, 3}, {0xA5, 6, 3, 4}, {0x16, 2, 3, 7}, {0xA5, 1, 4, 8}, {0xCA, 0, 9, 7}, {0x69, 6, 9, 0},
         {0xD1, 8, 11, 3}, {0x4A, 0, 10, 12}, {0x97, 13, 2, 9}, {0xB8, 12, 4, 14}, {0x96, 7, 0, 5}, {0x4B, 16, 3, 9},
         {0xA2, 11, 15, 0}, {0xDA, 18, 7, 9}, {0xD8, 10, 15, 5}, {0xEC, 0, 1, 20}, {0x95, 21, 5, 19}, {0x3C, 17, 2, 4},
         {0x2E, 19, 23, 3}, {0xA3, 2, 8, 23}, {0xB8, 24, 1, 25}, {0xB1, 26, 22, 5}, {0xE8, 22, 23, 19}, {0xA3, 5, 11, 21},
         {0x91, 4, 9, 17}, {0xCA, 0, 30, 29}, {0x49, 11, 17, 27}, {0xD6, 32, 14, 30}, {0xCA, 3, 33, 31}}},
     {27, 20, 34, 28}},
    // S8
    {25, {{
         {0x39, 2, 3, 4}, {0xE2, 3, 4, 2}, {0xCA, 1, 7, 6}, {0x3A, 5, 8, 8}, {0x65, 7, 8, 4}, {0x96, 10, 1, 2},
         {0x96, 2, 4, 1}, {0xC3, 12, 6, 9}, {0xB8, 11, 5, 13}, {0xE2, 14, 0, 9}, {0x95, 1, 6, 0}, {0xD1, 16, 4, 15},
         {0x96, 8, 13, 17}, {0x78, 10, 5, 9}, {0x95, 19, 6, 13}, {0x1D, 17, 18, 11}, {0x61, 21, 4, 9}, {0xE2, 22, 0, 20},
         {0xEB, 22, 15, 16}, {0x65, 24, 4, 18}, {0x12, 1, 3, 15}, {0x96, 26, 0, 11}, {0xE4, 27, 25, 5}, {0xE2, 14, 16, 20},
         {0xB8, 29, 5, 18}}},
     {30, 15, 23, 28}}
}};
// clang-format on

[[nodiscard]] constexpr bool CircuitComputes(const SBoxCircuit& circuit, const SBox& box) {
    if (circuit.gateCount > kMaxCircuitGates) {
        return false;
    }
    for (int x = 0; x < 64; ++x) {
        std::array<int, 6 + kMaxCircuitGates> node{};
        for (std::size_t k = 0; k < 6; ++k) {
            node[k] = (x >> (5 - k)) & 1;
        }
        for (std::size_t i = 0; i < circuit.gateCount; ++i) {
            const CircuitGate& g = circuit.gates[i];
            if (g.a >= 6 + i || g.b >= 6 + i || g.c >= 6 + i) {
                return false;  // a gate may read only inputs and earlier gates
            }
            const int entry = node[g.a] << 2 | node[g.b] << 1 | node[g.c];
            node[6 + i] = (g.table >> entry) & 1;
        }
        const int value = box[static_cast<std::size_t>(((x >> 4) & 2) | (x & 1))][static_cast<std::size_t>((x >> 1) & 15)];
        for (std::size_t bit = 0; bit < 4; ++bit) {
            if (circuit.outputs[bit] >= 6 + circuit.gateCount || node[circuit.outputs[bit]] != ((value >> (3 - bit)) & 1)) {
                return false;
            }
        }
    }
    return true;
}

static_assert([] {
    for (std::size_t n = 0; n < 8; ++n) {
        if (!CircuitComputes(kSBoxCircuits[n], kSBoxes[n])) {
            return false;
        }
    }
    return true;
}());

}  // namespace morvex::des
