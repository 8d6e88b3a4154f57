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
    {31, {{
         {0x94, 0, 1, 3}, {0xB5, 6, 1, 2}, {0x3A, 0, 2, 3}, {0xC1, 8, 1, 3}, {0xCA, 4, 9, 7}, {0xB0, 4, 7, 9},
         {0x96, 11, 0, 3}, {0x12, 6, 9, 12}, {0xE1, 13, 3, 4}, {0xCA, 2, 14, 12}, {0xCA, 5, 15, 10}, {0xA9, 6, 13, 5},
         {0xB6, 8, 15, 17}, {0xB1, 13, 5, 10}, {0x92, 19, 4, 18}, {0xF1, 5, 12, 2}, {0x50, 21, 17, 20}, {0xCA, 1, 22, 20},
         {0xCA, 3, 23, 18}, {0xAD, 10, 11, 18}, {0xD8, 25, 12, 20}, {0x96, 15, 20, 24}, {0x43, 2, 18, 0}, {0x96, 9, 16, 28},
         {0xE4, 29, 27, 4}, {0xCA, 1, 30, 26}, {0xBC, 4, 17, 19}, {0x53, 32, 7, 28}, {0x46, 14, 16, 22}, {0x93, 34, 7, 33},
         {0xCA, 0, 35, 33}}},
     {24, 16, 36, 31}},
    // S2
    {30, {{
         {0x69, 0, 2, 5}, {0x58, 0, 2, 6}, {0xA7, 7, 1, 3}, {0xCA, 1, 8, 6}, {0x2B, 1, 2, 7}, {0xD1, 10, 0, 9},
         {0xB3, 10, 0, 5}, {0x96, 12, 1, 11}, {0xCA, 3, 13, 11}, {0xCA, 4, 14, 9}, {0x69, 7, 2, 3}, {0x1C, 0, 3, 16},
         {0x9C, 6, 17, 2}, {0xCA, 1, 18, 16}, {0xA3, 9, 18, 19}, {0x65, 12, 14, 18}, {0xE4, 21, 20, 5}, {0xB8, 19, 4, 22},
         {0x6E, 20, 22, 4}, {0xC6, 17, 24, 5}, {0x71, 3, 13, 25}, {0x7C, 0, 8, 16}, {0x61, 27, 15, 23}, {0xCA, 5, 28, 26},
         {0xCA, 1, 29, 25}, {0x1E, 13, 25, 30}, {0x87, 31, 4, 26}, {0xB5, 11, 24, 32}, {0x96, 33, 23, 27}, {0xCA, 2, 34, 32}}},
     {15, 30, 35, 23}},
    // S3
    {30, {{
         {0xE4, 2, 3, 4}, {0x96, 6, 1, 5}, {0x86, 1, 4, 5}, {0xE1, 8, 3, 5}, {0x4F, 1, 4, 7}, {0x53, 10, 3, 9},
         {0xB8, 9, 2, 11}, {0xCA, 0, 12, 7}, {0x89, 10, 2, 5}, {0xE1, 8, 14, 6}, {0x5A, 4, 5, 14}, {0xCA, 0, 16, 15},
         {0x6B, 14, 16, 0}, {0x49, 15, 18, 2}, {0x97, 4, 0, 1}, {0x96, 20, 16, 18}, {0xCA, 5, 21, 19}, {0xE4, 22, 17, 3},
         {0x46, 21, 0, 7}, {0x07, 17, 24, 11}, {0xE4, 25, 24, 3}, {0x69, 0, 6, 16}, {0x3A, 11, 26, 27}, {0xE4, 28, 26, 2},
         {0x66, 12, 23, 24}, {0x25, 7, 27, 29}, {0xCA, 2, 31, 30}, {0xF1, 6, 13, 26}, {0x96, 33, 3, 27}, {0xCA, 1, 34, 32}}},
     {35, 29, 23, 13}},
    // S4
    {22, {{
         {0xCD, 0, 1, 2}, {0x61, 0, 1, 2}, {0xCA, 4, 7, 6}, {0x1A, 0, 2, 4}, {0xD2, 9, 1, 2}, {0xE4, 10, 8, 3},
         {0xA6, 0, 2, 6}, {0xE1, 7, 12, 3}, {0xA3, 3, 6, 12}, {0xB4, 14, 1, 13}, {0xE4, 15, 13, 4}, {0xCA, 5, 16, 11},
         {0x27, 2, 3, 9}, {0xD6, 13, 18, 6}, {0x9D, 1, 3, 4}, {0xE1, 20, 2, 6}, {0xCA, 0, 21, 19}, {0x76, 8, 9, 18},
         {0x96, 23, 11, 12}, {0xCA, 5, 24, 22}, {0x4E, 11, 16, 5}, {0xC5, 5, 22, 24}}},
     {27, 25, 26, 17}},
    // S5
    {34, {{
         {0x96, 2, 3, 4}, {0x79, 2, 3, 4}, {0xE4, 7, 6, 5}, {0xD0, 4, 5, 6}, {0xE5, 9, 2, 8}, {0xE4, 10, 8, 0},
         {0x97, 0, 2, 5}, {0x65, 12, 3, 11}, {0xB8, 11, 1, 13}, {0x93, 0, 1, 6}, {0x83, 15, 8, 13}, {0xA1, 1, 5, 12},
         {0x61, 17, 6, 16}, {0xCA, 2, 18, 16}, {0x6D, 8, 13, 1}, {0x3E, 0, 1, 5}, {0xE1, 21, 12, 19}, {0xB8, 20, 3, 22},
         {0xE4, 23, 19, 4}, {0x74, 2, 3, 0}, {0xC9, 25, 13, 16}, {0x97, 22, 3, 17}, {0xCA, 1, 27, 26}, {0x86, 17, 19, 28},
         {0xA6, 0, 9, 15}, {0xE4, 30, 29, 3}, {0xCA, 4, 31, 28}, {0x7C, 27, 31, 12}, {0xDA, 33, 9, 13}, {0x9C, 3, 12, 24},
         {0xA3, 6, 12, 35}, {0xE6, 18, 26, 34}, {0xCA, 1, 37, 36}, {0xCA, 5, 38, 34}}},
     {24, 14, 32, 39}},
    // S6
    {31, {{
         {0x68, 0, 1, 2}, {0x67, 0, 2, 6}, {0xCA, 5, 7, 6}, {0x7D, 2, 5, 7}, {0x90, 9, 1, 6}, {0xCA, 4, 10, 8},
         {0x86, 0, 1, 5}, {0x95, 12, 4, 11}, {0xE4, 13, 11, 3}, {0x87, 1, 2, 14}, {0x59, 3, 8, 10}, {0xCA, 5, 16, 15},
         {0x69, 7, 3, 5}, {0x65, 6, 15, 18}, {0xCA, 1, 19, 18}, {0xCA, 4, 20, 17}, {0xC3, 20, 4, 15}, {0xE6, 17, 19, 4},
         {0xE4, 23, 22, 3}, {0xC2, 8, 0, 4}, {0x87, 25, 19, 22}, {0x21, 3, 5, 0}, {0xD6, 27, 11, 21}, {0xE4, 28, 26, 1},
         {0xCA, 2, 29, 24}, {0x38, 5, 10, 21}, {0x5C, 0, 16, 18}, {0xCA, 4, 32, 31}, {0x61, 29, 31, 32}, {0x96, 34, 15, 26},
         {0xCA, 1, 35, 33}}},
     {21, 30, 14, 36}},
    // S7
    {32, {{
         {0x3A, 1, 2, 3}, {0xA5, 6, 3, 4}, {0x16, 2, 3, 7}, {0xC3, 8, 1, 4}, {0xCA, 0, 9, 7}, {0x69, 6, 9, 0},
         {0xA3, 11, 3, 8}, {0x4A, 0, 10, 12}, {0x97, 13, 2, 9}, {0xCA, 4, 14, 12}, {0xE4, 15, 10, 5}, {0x3A, 7, 11, 12},
         {0xED, 10, 11, 12}, {0xB8, 17, 5, 18}, {0x96, 0, 5, 7}, {0x4B, 4, 18, 0}, {0x42, 21, 3, 16}, {0xE4, 22, 20, 1},
         {0xB8, 19, 2, 23}, {0x66, 13, 5, 9}, {0x6B, 8, 23, 5}, {0xCA, 0, 26, 25}, {0x92, 25, 7, 16}, {0x2E, 20, 26, 7},
         {0xE4, 29, 28, 3}, {0xE4, 30, 27, 2}, {0x42, 7, 9, 24}, {0x96, 32, 3, 31}, {0x9C, 0, 1, 2}, {0x74, 14, 31, 34},
         {0xCA, 3, 35, 34}, {0xCA, 5, 36, 33}}},
     {31, 16, 37, 24}},
    // S8
    {30, {{
         {0x39, 2, 3, 4}, {0xD8, 2, 3, 4}, {0xCA, 1, 7, 6}, {0x3A, 5, 8, 8}, {0x4B, 4, 7, 8}, {0x96, 10, 1, 2},
         {0x96, 1, 2, 4}, {0xC3, 12, 6, 9}, {0xCA, 5, 13, 11}, {0xCA, 0, 14, 9}, {0xCA, 1, 13, 14}, {0x2D, 2, 7, 1},
         {0xE2, 17, 5, 11}, {0xE4, 18, 16, 4}, {0x62, 8, 0, 4}, {0x4B, 13, 20, 1}, {0x5C, 4, 9, 19}, {0xE4, 22, 21, 5},
         {0xB8, 19, 0, 23}, {0xBA, 23, 0, 20}, {0xD2, 25, 10, 17}, {0x06, 3, 15, 1}, {0x96, 27, 0, 11}, {0xE4, 28, 26, 5},
         {0xD7, 5, 26, 0}, {0x63, 30, 7, 20}, {0x9A, 12, 14, 17}, {0x53, 6, 9, 32}, {0xCA, 0, 33, 32}, {0xCA, 1, 34, 31}}},
     {24, 15, 35, 29}}
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
