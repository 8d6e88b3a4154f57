#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <memory>

#include "jobs/Platform.h"

namespace morvex {

// Reads a job's input in large pieces while the job consumes it a word at a time, exactly as if it
// had asked the file for 4 bytes at a time.
class SourceReader {
public:
    SourceReader(PlatformSource& file, std::size_t capacity);

    // Makes at least count bytes (at most the capacity) available at once, unless the file ends
    // first. False if the platform reported a read failure.
    [[nodiscard]] bool Ensure(std::size_t count);

    [[nodiscard]] std::span<const std::uint8_t> Available() const noexcept {
        return {buffer_.get() + begin_, end_ - begin_};
    }

    void Consume(std::size_t count) noexcept { begin_ += count; }

    // One 4-byte read: the bytes it gets replace the word's bytes from the least significant one
    // up; at the end of the file the remaining bytes keep their values. False on a read failure.
    [[nodiscard]] bool ReadWord(std::uint32_t& word);

private:
    PlatformSource& file_;
    // Left uninitialised: only the bytes the file or the job put there are ever read.
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t capacity_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool atEnd_ = false;
};

}  // namespace morvex
