#include "jobs/ReadAheadFile.h"

#include <algorithm>

namespace morvex {

ReadAheadFile::ReadAheadFile(PlatformSource& inner, Platform& platform, std::size_t chunkBytes)
    : inner_(inner), chunkBytes_(chunkBytes) {
    for (auto& chunk : chunks_) {
        chunk.bytes = std::make_unique_for_overwrite<std::uint8_t[]>(chunkBytes);
    }
    // Without a helper, reads go straight to the file.
    helper_ = platform.StartThread([this] { Run(); });
}

ReadAheadFile::~ReadAheadFile() { Close(); }

void ReadAheadFile::Close() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    if (helper_) {
        helper_->Join();
        helper_.reset();
    }
}

void ReadAheadFile::Run() {
    std::size_t next = 0;
    for (;;) {
        Chunk& chunk = chunks_[next];
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return stop_ || !chunk.ready; });
            if (stop_) {
                return;
            }
        }
        // The chunk is free: the job has handed it back and will not look at it until it is ready.
        const auto got = inner_.Read(std::span<std::uint8_t>(chunk.bytes.get(), chunkBytes_));
        const bool last = !got || *got == 0;
        {
            const std::lock_guard lock(mutex_);
            chunk.size = got.value_or(0);
            chunk.failed = !got;
            chunk.error = got ? std::error_code{} : inner_.Error();
            chunk.ready = true;
        }
        changed_.notify_all();
        if (last) {
            return;
        }
        next = 1 - next;
    }
}

std::optional<std::size_t> ReadAheadFile::Read(std::span<std::uint8_t> bytes) {
    if (!helper_) {
        const auto got = inner_.Read(bytes);
        if (!got) {
            error_ = inner_.Error();
        }
        return got;
    }
    if (failed_) {
        return std::nullopt;
    }
    std::size_t total = 0;
    while (total < bytes.size() && !atEnd_) {
        Chunk& chunk = chunks_[consuming_];
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return chunk.ready; });
        }
        if (chunk.failed) {
            // Bytes already handed out are delivered first; the failure comes with the next read.
            if (total > 0) {
                return total;
            }
            failed_ = true;
            error_ = chunk.error;
            return std::nullopt;
        }
        if (chunk.size == 0) {
            atEnd_ = true;
            break;
        }
        const std::size_t count = std::min(bytes.size() - total, chunk.size - consumed_);
        std::copy_n(chunk.bytes.get() + consumed_, count, bytes.data() + total);
        total += count;
        consumed_ += count;
        if (consumed_ == chunk.size) {
            {
                const std::lock_guard lock(mutex_);
                chunk.ready = false;
            }
            changed_.notify_all();
            consuming_ = 1 - consuming_;
            consumed_ = 0;
        }
    }
    return total;
}

}  // namespace morvex
