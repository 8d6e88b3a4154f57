#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "jobs/WriteBehindFile.h"

namespace morvex {

// Collects a job's output blocks straight in the file's transfers and hands each on when it is full.
class OutputWriter {
public:
    explicit OutputWriter(WriteBehindFile& file) : file_(file) {}

    // Room for at least count bytes at Space(); hands the full transfer on first if needed.
    // False if a write failed.
    [[nodiscard]] bool Reserve(std::size_t count);

    // Where the next bytes go; waits for room if the job holds none.
    [[nodiscard]] std::uint8_t* Space() {
        if (room_.empty()) {
            room_ = file_.FreeTransfer();
        }
        return room_.data() + used_;
    }
    [[nodiscard]] std::size_t SpaceBytes() const noexcept {
        return room_.empty() ? file_.TransferBytes() : room_.size() - used_;
    }

    // The first count bytes at Space() are output now.
    void Commit(std::size_t count) noexcept { used_ += count; }

    // Hands on everything pending.
    [[nodiscard]] bool WritePending();

private:
    WriteBehindFile& file_;
    std::span<std::uint8_t> room_;  // the transfer being filled; none until Space asks for one
    std::size_t used_ = 0;
};

}  // namespace morvex
