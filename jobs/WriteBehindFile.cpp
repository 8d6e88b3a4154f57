#include "jobs/WriteBehindFile.h"

#include <algorithm>

namespace morvex {

WriteBehindFile::WriteBehindFile(PlatformOutput& inner, Platform& platform, std::size_t chunkBytes)
    : inner_(inner), chunkBytes_(chunkBytes), pending_(std::make_unique_for_overwrite<std::uint8_t[]>(chunkBytes)) {
    // Without a helper, writes go straight to the file.
    helper_ = platform.StartThread([this] { Run(); });
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
            if (!written && !failed_) {
                failed_ = true;
                error_ = inner_.Error();
            }
            pendingFull_ = false;
        }
        changed_.notify_all();
    }
}

bool WriteBehindFile::Write(std::span<const std::uint8_t> bytes) {
    if (!helper_) {
        if (failed_) {
            return false;
        }
        if (!inner_.Write(bytes)) {
            failed_ = true;
            error_ = inner_.Error();
        }
        return !failed_;
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

bool WriteBehindFile::Failed() {
    const std::lock_guard lock(mutex_);
    return failed_;
}

std::error_code WriteBehindFile::Error() const {
    const std::lock_guard lock(mutex_);
    return error_;
}

bool WriteBehindFile::Drain() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !pendingFull_; });
    return !failed_;
}

bool WriteBehindFile::SetEnd(std::uint64_t length) {
    if (!Drain()) {
        return false;
    }
    if (!inner_.SetEnd(length)) {
        const std::lock_guard lock(mutex_);
        error_ = inner_.Error();
        return false;
    }
    return true;
}

bool WriteBehindFile::Flush() {
    if (!Drain()) {
        return false;
    }
    if (!inner_.Flush()) {
        const std::lock_guard lock(mutex_);
        error_ = inner_.Error();
        return false;
    }
    return true;
}

bool WriteBehindFile::Close() {
    const bool written = Drain();
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    if (helper_) {
        helper_->Join();
        helper_.reset();
    }
    return written;
}

}  // namespace morvex
