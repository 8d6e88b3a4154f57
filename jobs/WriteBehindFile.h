#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "jobs/Platform.h"

namespace morvex {

// Hands a job's writes to a helper thread, so that the file system's time overlaps the cipher's.
// The file receives the same bytes in the same order. A failed write is reported by the next Write,
// or at the latest by SetEnd, Flush or Close, each of which first waits for every pending write;
// Failed tells at any moment, so that a job stops at once instead of producing more output.
// Without a helper thread (none could be started) it writes directly.
class WriteBehindFile final : public PlatformOutput {
public:
    WriteBehindFile(PlatformOutput& inner, Platform& platform, std::size_t chunkBytes);
    ~WriteBehindFile() override;
    WriteBehindFile(const WriteBehindFile&) = delete;
    WriteBehindFile& operator=(const WriteBehindFile&) = delete;

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
    void Run();
    // Waits until the helper has written everything handed to it; false if any write failed.
    bool Drain();

    PlatformOutput& inner_;
    std::size_t chunkBytes_;
    std::unique_ptr<std::uint8_t[]> pending_;  // handed to the helper, or free
    std::size_t pendingSize_ = 0;
    bool pendingFull_ = false;
    bool failed_ = false;
    bool stop_ = false;
    std::error_code error_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::unique_ptr<PlatformThread> helper_;
};

}  // namespace morvex
