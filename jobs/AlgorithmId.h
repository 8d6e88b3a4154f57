#pragma once

#include <cstdint>

namespace morvex {

enum class AlgorithmId : std::uint32_t {
    None = 0,
    TripleDes = 1,
    Idea = 2,
};

}  // namespace morvex
