#include "ciphers/CpuPath.h"

#include <atomic>

namespace morvex {

namespace {

// The one place that asks the processor what it can do. Compilers without the builtin get the
// portable path only, which is always correct.
[[nodiscard]] bool ProcessorRuns(CpuPath path) {
    switch (path) {
    case CpuPath::Portable:
        return true;
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
    case CpuPath::Sse2:
        return __builtin_cpu_supports("sse2") != 0;
    case CpuPath::Avx2:
        return __builtin_cpu_supports("avx2") != 0;
    case CpuPath::Avx512:
        return __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512bw") != 0 &&
               __builtin_cpu_supports("avx512vl") != 0;
#else
    case CpuPath::Sse2:
    case CpuPath::Avx2:
    case CpuPath::Avx512:
        return false;
#endif
    }
    return false;
}

[[nodiscard]] CpuPath BestSupportedPath() {
    const std::vector<CpuPath> paths = SupportedCpuPaths();
    return paths.back();
}

[[nodiscard]] std::atomic<CpuPath>& ActivePath() {
    // Initialised on first use, so the choice does not depend on static initialisation order.
    static std::atomic<CpuPath> active{BestSupportedPath()};
    return active;
}

}  // namespace

std::string_view CpuPathName(const CpuPath path) {
    switch (path) {
    case CpuPath::Portable:
        return "portable";
    case CpuPath::Sse2:
        return "sse2";
    case CpuPath::Avx2:
        return "avx2";
    case CpuPath::Avx512:
        return "avx512";
    }
    return "unknown";
}

std::vector<CpuPath> SupportedCpuPaths() {
    std::vector<CpuPath> paths;
    for (const CpuPath path : {CpuPath::Portable, CpuPath::Sse2, CpuPath::Avx2, CpuPath::Avx512}) {
        if (ProcessorRuns(path)) {
            paths.push_back(path);
        }
    }
    return paths;
}

CpuPath ActiveCpuPath() {
    return ActivePath().load(std::memory_order_relaxed);
}

bool SelectCpuPath(const CpuPath path) {
    if (!ProcessorRuns(path)) {
        return false;
    }
    ActivePath().store(path, std::memory_order_relaxed);
    return true;
}

}  // namespace morvex
