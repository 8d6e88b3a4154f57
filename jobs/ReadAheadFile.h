#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

#include "jobs/Platform.h"

namespace morvex {

// Reads a job's input into a ring of transfers, from the second transfer on by a helper thread up
// to two transfers ahead of the job, so that the file system's time overlaps the cipher's. The job
// works on the transfers where they lie: nothing is copied on the way. It sees the same bytes, the
// same end and the same failure, in the same order, as a direct read would give. A file that fits
// in one transfer starts no helper; without one (none could be started) every transfer is read on
// the job's thread.
class ReadAheadFile final : public PlatformSource {
public:
    // Room in front of every transfer for the end of the one before, so that a block or a header
    // that straddles two transfers lies in one piece.
    static constexpr std::size_t kCarryBytes = 16;

    ReadAheadFile(PlatformSource& inner, Platform& platform, std::size_t transferBytes);
    ~ReadAheadFile() override;
    ReadAheadFile(const ReadAheadFile&) = delete;
    ReadAheadFile& operator=(const ReadAheadFile&) = delete;

    // The next transfer of the file, behind the last keep bytes (at most kCarryBytes) of the one
    // handed out before, which goes back to be read into again. Nothing past the kept bytes means
    // the file has ended. Nothing at all after a failure, and from then on; bytes read before the
    // failure come first.
    [[nodiscard]] std::optional<std::span<const std::uint8_t>> NextTransfer(std::size_t keep);

    std::optional<std::uint64_t> Size() override { return inner_.Size(); }
    // Copies out of the transfers, for a reader that wants the bytes in its own buffer; a reader
    // takes its bytes either this way or by NextTransfer, not both.
    std::optional<std::size_t> Read(std::span<std::uint8_t> bytes) override;
    std::optional<std::size_t> ReadAt(std::uint64_t offset, std::span<std::uint8_t> bytes) override {
        return inner_.ReadAt(offset, bytes);
    }
    // Stops the helper; the inner file stays open for its owner to close.
    void Close() override;
    std::error_code Error() const override { return error_; }

private:
    enum class SlotState { Free, Filled, HandedOut };

    struct Slot {
        std::unique_ptr<std::uint8_t[]> bytes;  // kCarryBytes of room, then the transfer
        std::size_t size = 0;
        bool last = false;    // the file ends with this transfer, or fails after it
        bool failed = false;  // the read after the transfer's bytes failed
        std::error_code error;
        SlotState state = SlotState::Free;
    };

    static constexpr std::size_t kSlots = 3;

    // Reads the next transfer into the slot: until it is full, the file ends or a read fails.
    void Fill(Slot& slot);
    void Run(std::size_t first);
    [[nodiscard]] std::uint8_t* Data(Slot& slot) const noexcept { return slot.bytes.get() + kCarryBytes; }

    PlatformSource& inner_;
    Platform& platform_;
    std::size_t transferBytes_;
    std::array<Slot, kSlots> slots_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::unique_ptr<PlatformThread> helper_;
    bool helperTried_ = false;
    bool stop_ = false;

    // The job's side.
    std::size_t handedOut_ = kSlots;  // the slot the job holds; none before the first transfer
    std::span<const std::uint8_t> held_;  // what the job was handed last, kept bytes included
    std::size_t next_ = 0;            // the slot the next transfer comes in
    bool atEnd_ = false;              // the job has met the end of the file
    bool failed_ = false;             // the job has met a failure; every later read fails too
    std::error_code error_;
    std::span<const std::uint8_t> unread_;  // what Read has not yet copied out
};

}  // namespace morvex
