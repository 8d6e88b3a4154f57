#pragma once

#include <cstddef>
#include <cstdint>

#include "ciphers/CpuPath.h"
#include "ciphers/Idea.h"

namespace morvex {

// IDEA on blockCount blocks laid out as on disk (w0 then w1, each least significant byte first),
// under one subkey table, on the given path. in and out may be the same buffer but must not
// otherwise overlap.
void IdeaCryptBlocks(CpuPath path, const IdeaSubkeys& subkeys, const std::uint8_t* in, std::uint8_t* out,
                     std::size_t blockCount);

}  // namespace morvex
