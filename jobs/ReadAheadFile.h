#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "jobs/Platform.h"

namespace morvex {

// Reads a job's input on a helper thread one transfer ahead of the job, so that the file system's
// time overlaps the cipher's. The job sees the same bytes, the same end and the same failure, in
// the same order. Without a helper thread (none could be started) it reads directly.
class ReadAheadFile final : public PlatformSource {
public:
    ReadAheadFile(PlatformSource& inner, Platform& platform, std::size_t chunkBytes);
    ~ReadAheadFile() override;
    ReadAheadFile(const ReadAheadFile&) = delete;
    ReadAheadFile& operator=(const ReadAheadFile&) = delete;

    std::optional<std::uint64_t> Size() override { return inner_.Size(); }
    std::optional<std::size_t> Read(std::span<std::uint8_t> bytes) override;
    std::optional<std::size_t> ReadAt(std::uint64_t offset, std::span<std::uint8_t> bytes) override {
        return inner_.ReadAt(offset, bytes);
    }
    // Stops the helper; the inner file stays open for its owner to close.
    void Close() override;
    std::error_code Error() const override { return error_; }

private:
    struct Chunk {
        std::unique_ptr<std::uint8_t[]> bytes;
        std::size_t size = 0;
        bool ready = false;
        bool failed = false;
        std::error_code error;
    };

    void Run();

    PlatformSource& inner_;
    std::size_t chunkBytes_;
    std::array<Chunk, 2> chunks_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::unique_ptr<PlatformThread> helper_;
    bool stop_ = false;
    std::size_t consuming_ = 0;  // the chunk the job reads from
    std::size_t consumed_ = 0;   // bytes of it already handed out
    bool atEnd_ = false;         // the job has met the end of the file
    bool failed_ = false;        // the job has met a failure; every later read fails too
    std::error_code error_;
};

}  // namespace morvex
