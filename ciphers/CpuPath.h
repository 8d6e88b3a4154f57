#pragma once

#include <string_view>
#include <vector>

namespace morvex {

// The instruction sets the bulk cipher code may use. Portable is always there and is the
// reference the others are tested against.
enum class CpuPath {
    Portable,
    Sse2,
    Avx2,
    Avx512,
};

[[nodiscard]] std::string_view CpuPathName(CpuPath path);  // "portable", "sse2", "avx2", "avx512"

// The paths this processor can run, Portable first.
[[nodiscard]] std::vector<CpuPath> SupportedCpuPaths();

// Whether this processor (and this build) can run the given path. Cheap enough to ask per call.
[[nodiscard]] bool CpuPathSupported(CpuPath path);

// The path the bulk operations use: the fastest supported one, unless a test has chosen another.
[[nodiscard]] CpuPath ActiveCpuPath();

// Makes the bulk operations use the given path from now on; false, changing nothing, if this
// processor cannot run it. For tests and benchmarks: call it while no job runs.
bool SelectCpuPath(CpuPath path);

}  // namespace morvex
