#include "jobs/WriteBehindFile.h"

#include <algorithm>
#include <system_error>

namespace morvex {

WriteBehindFile::WriteBehindFile(PlatformFile& inner, std::size_t chunkBytes)
    : inner_(inner), chunkBytes_(chunkBytes), pending_(std::make_unique_for_overwrite<std::uint8_t[]>(chunkBytes)) {
    try {
        helper_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
        // Writes go straight to the file.
    }
}

WriteBehindFile::~WriteBehindFile() { (void)Close(); }

void WriteBehindFile::Run() {
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return stop_ || pendingFull_; });
            if (!pendingFull_) {
                return;
            }
        }
        // The job does not touch the pending bytes until the helper marks them written.
        const bool written = inner_.Write(std::span<const std::uint8_t>(pending_.get(), pendingSize_));
        {
            const std::lock_guard lock(mutex_);
            failed_ = failed_ || !written;
            pendingFull_ = false;
        }
        changed_.notify_all();
    }
}

bool WriteBehindFile::Write(std::span<const std::uint8_t> bytes) {
    if (!helper_.joinable()) {
        return inner_.Write(bytes);
    }
    while (!bytes.empty()) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !pendingFull_; });
        if (failed_) {
            return false;
        }
        const std::size_t count = std::min(bytes.size(), chunkBytes_);
        std::copy_n(bytes.data(), count, pending_.get());
        pendingSize_ = count;
        pendingFull_ = true;
        lock.unlock();
        changed_.notify_all();
        bytes = bytes.subspan(count);
    }
    return true;
}

bool WriteBehindFile::Drain() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !pendingFull_; });
    return !failed_;
}

bool WriteBehindFile::SetEnd(std::uint64_t length) {
    return Drain() && inner_.SetEnd(length);
}

bool WriteBehindFile::Flush() {
    return Drain() && inner_.Flush();
}

bool WriteBehindFile::Close() {
    const bool written = !helper_.joinable() || Drain();
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    if (helper_.joinable()) {
        helper_.join();
    }
    return written;
}

}  // namespace morvex
