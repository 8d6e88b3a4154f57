#pragma once

#include <cstddef>
#include <cstdint>

#include "ciphers/CpuPath.h"
#include "ciphers/Idea.h"

namespace morvex {

// IDEA on blockCount blocks laid out as on disk (w0 then w1, each least significant byte first),
// under one subkey table, on the given path; a path this processor cannot run falls back to the
// portable one, which gives the same result. in and out may be the same buffer but must not
// otherwise overlap. Keeps no state between calls, so any number of threads may call it at once.
void IdeaCryptBlocks(CpuPath path, const IdeaSubkeys& subkeys, const std::uint8_t* in, std::uint8_t* out,
                     std::size_t blockCount);

}  // namespace morvex
