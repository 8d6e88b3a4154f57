#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace morvex {

// The whole pages of the given size that hold the bytes: what the systems lock and unlock.
[[nodiscard]] inline std::pair<void*, std::size_t> PageRange(const void* data, std::size_t size,
                                                             std::uintptr_t page) noexcept {
    const auto begin = reinterpret_cast<std::uintptr_t>(data) & ~(page - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + size + page - 1) & ~(page - 1);
    return {reinterpret_cast<void*>(begin), end - begin};
}

}  // namespace morvex
