#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

#include "jobs/Platform.h"

namespace morvex {

// Hands a job's output to the file through a ring of transfers that the job fills in place: from
// the second transfer on, a helper thread writes them while the job fills the next, so that the
// file system's time overlaps the cipher's; nothing is copied on the way. The file receives the
// same bytes in the same order. A failed write is reported by the next hand-over, or at the latest
// by SetEnd, Flush or Close, each of which first waits for every pending write; Failed tells at
// any moment, so that a job stops at once instead of producing more output. An output that fits
// in one transfer starts no helper; without one (none could be started) every transfer is written
// on the job's thread.
class WriteBehindFile final : public PlatformOutput {
public:
    WriteBehindFile(PlatformOutput& inner, Platform& platform, std::size_t transferBytes);
    ~WriteBehindFile() override;
    WriteBehindFile(const WriteBehindFile&) = delete;
    WriteBehindFile& operator=(const WriteBehindFile&) = delete;

    // Room for one transfer for the job to fill, the same until WriteTransfer hands it on; waits
    // while every transfer of the ring is on its way to the file.
    [[nodiscard]] std::span<std::uint8_t> FreeTransfer();

    // Hands the first count bytes of the room on to the file, after every transfer handed on
    // before. False once a write has failed.
    [[nodiscard]] bool WriteTransfer(std::size_t count);

    [[nodiscard]] std::size_t TransferBytes() const noexcept { return transferBytes_; }

    // Copies into the transfers, for a writer that keeps its bytes in its own buffer; a writer
    // hands its bytes on either this way or by FreeTransfer and WriteTransfer, not both.
    bool Write(std::span<const std::uint8_t> bytes) override;
    bool SetEnd(std::uint64_t length) override;
    bool Flush() override;
    // Waits for the pending writes and stops the helper; the inner file stays open for its owner.
    // False if any write failed.
    bool Close() override;
    std::error_code Error() const override;

    // True once a write has failed; every later operation fails too.
    [[nodiscard]] bool Failed();

private:
    struct AlignedDelete {
        void operator()(std::uint8_t* bytes) const noexcept;
    };
    struct Slot {
        std::uint8_t* bytes = nullptr;
        std::size_t size = 0;
    };

    static constexpr std::size_t kSlots = 3;

    void Run();
    // Waits until the file has taken everything handed to it; false if any write failed.
    bool Drain();
    void WriteNow(std::span<const std::uint8_t> bytes);

    PlatformOutput& inner_;
    Platform& platform_;
    std::size_t transferBytes_;
    // The slots lie one after another in one block, aligned for the file's sake (kOutputAlignment),
    // so that full transfers waiting side by side go to the file in one write: on a disk written
    // past the cache, one write of a few MiB takes much less than as many of one.
    std::unique_ptr<std::uint8_t[], AlignedDelete> ring_;
    std::array<Slot, kSlots> slots_;
    // Transfers handed on by the job and taken by the file so far; the transfer n lies in slot
    // n % kSlots, which is the job's again once the file has taken it.
    std::uint64_t handedOn_ = 0;
    std::uint64_t taken_ = 0;
    bool failed_ = false;
    bool stop_ = false;
    bool helperTried_ = false;
    std::error_code error_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::unique_ptr<PlatformThread> helper_;
    // How long the job has waited for a free transfer since the ring was made, and whether it has
    // asked the file for its cache.
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration waited_{};
    bool cacheAsked_ = false;
};

}  // namespace morvex
