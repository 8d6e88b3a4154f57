#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "jobs/Platform.h"

namespace morvex {

// Collects a job's output blocks and hands them to the file in large writes.
class OutputWriter {
public:
    OutputWriter(PlatformOutput& file, std::size_t capacity);

    // Room for at least count bytes at Space(); writes out what is pending first if needed.
    // False if that write failed.
    [[nodiscard]] bool Reserve(std::size_t count);

    [[nodiscard]] std::uint8_t* Space() noexcept { return buffer_.get() + used_; }
    [[nodiscard]] std::size_t SpaceBytes() const noexcept { return capacity_ - used_; }

    // The first count bytes at Space() are output now.
    void Commit(std::size_t count) noexcept { used_ += count; }

    // Writes out everything pending.
    [[nodiscard]] bool WritePending();

private:
    PlatformOutput& file_;
    // Left uninitialised: only the bytes the file or the job put there are ever read.
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t capacity_;
    std::size_t used_ = 0;
};

}  // namespace morvex
