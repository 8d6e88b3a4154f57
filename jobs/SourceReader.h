#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "jobs/ReadAheadFile.h"

namespace morvex {

// Reads a job's input a transfer at a time while the job consumes it a word or a block at a time,
// exactly as if it had asked the file for 4 bytes at a time. The bytes stay where the file's
// transfers put them.
class SourceReader {
public:
    explicit SourceReader(ReadAheadFile& file) : file_(file) {}

    // Makes at least count bytes (at most ReadAheadFile::kCarryBytes) available at once, unless the
    // file ends first. False if the platform reported a read failure.
    [[nodiscard]] bool Ensure(std::size_t count);

    [[nodiscard]] std::span<const std::uint8_t> Available() const noexcept { return available_; }

    void Consume(std::size_t count) noexcept { available_ = available_.subspan(count); }

    // One 4-byte read: the bytes it gets replace the word's bytes from the least significant one
    // up; at the end of the file the remaining bytes keep their values. False on a read failure.
    [[nodiscard]] bool ReadWord(std::uint32_t& word);

private:
    ReadAheadFile& file_;
    std::span<const std::uint8_t> available_;
    bool atEnd_ = false;
};

}  // namespace morvex
