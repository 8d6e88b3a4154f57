#include "ciphers/CpuPath.h"

#include <atomic>

namespace morvex {

namespace {

// The one place that asks the processor what it can do. The fast paths exist only in x86-64 builds
// by compilers that can target each instruction set per file; elsewhere the portable path, always
// correct, is the only one.
[[nodiscard]] bool ProcessorRuns(const CpuPath path) {
    switch (path) {
    case CpuPath::Portable:
        return true;
#if defined(MORVEX_X86_SIMD) && (defined(__GNUC__) || defined(__clang__))
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

constexpr CpuPath kFastestFirst[] = {CpuPath::Avx512, CpuPath::Avx2, CpuPath::Sse2, CpuPath::Portable};
constexpr int kPathCount = static_cast<int>(sizeof kFastestFirst / sizeof kFastestFirst[0]);

// Asked once: the answers cannot change while the process runs.
struct SupportTable {
    bool supported[kPathCount] = {};
    CpuPath best = CpuPath::Portable;

    SupportTable() {
        for (const CpuPath path : kFastestFirst) {
            supported[static_cast<int>(path)] = ProcessorRuns(path);
        }
        for (const CpuPath path : kFastestFirst) {
            if (supported[static_cast<int>(path)]) {
                best = path;
                break;
            }
        }
    }
};

[[nodiscard]] const SupportTable& Support() {
    static const SupportTable table;
    return table;
}

[[nodiscard]] std::atomic<CpuPath>& ActivePath() {
    // Initialised on first use, so the choice does not depend on static initialisation order.
    static std::atomic<CpuPath> active{Support().best};
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

bool CpuPathSupported(const CpuPath path) {
    const int index = static_cast<int>(path);
    return index >= 0 && index < kPathCount && Support().supported[index];
}

std::vector<CpuPath> SupportedCpuPaths() {
    std::vector<CpuPath> paths;
    for (const CpuPath path : {CpuPath::Portable, CpuPath::Sse2, CpuPath::Avx2, CpuPath::Avx512}) {
        if (CpuPathSupported(path)) {
            paths.push_back(path);
        }
    }
    return paths;
}

CpuPath ActiveCpuPath() {
    return ActivePath().load(std::memory_order_relaxed);
}

bool SelectCpuPath(const CpuPath path) {
    if (!CpuPathSupported(path)) {
        return false;
    }
    ActivePath().store(path, std::memory_order_relaxed);
    return true;
}

}  // namespace morvex
