#include "jobs/WriteBehindFile.h"

#include <algorithm>
#include <new>

namespace morvex {

namespace {

constexpr std::align_val_t kAlignment{kOutputAlignment};
// Long enough for a few transfers, so that the start of a job, which waits for its first writes
// whatever the disk, does not decide alone.
constexpr std::chrono::milliseconds kShortestWatch{100};

}  // namespace

WriteBehindFile::WriteBehindFile(PlatformOutput& inner, Platform& platform, std::size_t transferBytes)
    : inner_(inner), platform_(platform), transferBytes_(transferBytes) {
    ring_.reset(static_cast<std::uint8_t*>(::operator new[](kSlots * transferBytes, kAlignment)));
    for (std::size_t i = 0; i < kSlots; ++i) {
        slots_[i].bytes = ring_.get() + i * transferBytes;
    }
}

void WriteBehindFile::AlignedDelete::operator()(std::uint8_t* bytes) const noexcept {
    ::operator delete[](bytes, kAlignment);
}

WriteBehindFile::~WriteBehindFile() { (void)Close(); }

void WriteBehindFile::WriteNow(std::span<const std::uint8_t> bytes) {
    if (!inner_.Write(bytes)) {
        const std::lock_guard lock(mutex_);
        if (!failed_) {
            failed_ = true;
            error_ = inner_.Error();
        }
    }
}

void WriteBehindFile::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stop_ || taken_ < handedOn_; });
        if (taken_ == handedOn_) {
            return;
        }
        // The job does not touch these slots until the file has taken them; after a failure the
        // rest only goes back to the job. Full transfers that wait next to each other in the ring
        // go together, with whatever follows them.
        const std::size_t first = static_cast<std::size_t>(taken_ % kSlots);
        std::size_t count = 1;
        std::size_t bytes = slots_[first].size;
        while (taken_ + count < handedOn_ && first + count < kSlots &&
               slots_[first + count - 1].size == transferBytes_) {
            bytes += slots_[first + count].size;
            ++count;
        }
        const bool skip = failed_;
        lock.unlock();
        if (!skip) {
            WriteNow(std::span<const std::uint8_t>(slots_[first].bytes, bytes));
        }
        lock.lock();
        taken_ += count;
        changed_.notify_all();
    }
}

std::span<std::uint8_t> WriteBehindFile::FreeTransfer() {
    std::unique_lock lock(mutex_);
    if (handedOn_ - taken_ >= kSlots) {
        using Clock = std::chrono::steady_clock;
        const Clock::time_point start = Clock::now();
        changed_.wait(lock, [&] { return handedOn_ - taken_ < kSlots; });
        const Clock::time_point now = Clock::now();
        waited_ += now - start;
        // A job that has spent an eighth of its time waiting for the file is held back by it.
        if (!cacheAsked_ && now - started_ > kShortestWatch && 8 * waited_ > now - started_) {
            cacheAsked_ = true;
            inner_.PreferCache();
        }
    }
    return {slots_[handedOn_ % kSlots].bytes, transferBytes_};
}

bool WriteBehindFile::WriteTransfer(std::size_t count) {
    if (count == 0) {
        return !Failed();
    }
    Slot& slot = slots_[handedOn_ % kSlots];
    slot.size = count;
    // The first transfer is written on the job's thread, which is all there is to a small output;
    // a helper writes from the second on.
    if (!helperTried_ && handedOn_ > 0) {
        helperTried_ = true;
        helper_ = platform_.StartThread([this] { Run(); });
    }
    if (!helper_) {
        if (Failed()) {
            return false;
        }
        WriteNow(std::span<const std::uint8_t>(slot.bytes, slot.size));
        const std::lock_guard lock(mutex_);
        ++handedOn_;
        ++taken_;
        return !failed_;
    }
    {
        const std::lock_guard lock(mutex_);
        if (failed_) {
            return false;
        }
        ++handedOn_;
    }
    changed_.notify_all();
    return true;
}

bool WriteBehindFile::Write(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const std::span<std::uint8_t> room = FreeTransfer();
        const std::size_t count = std::min(bytes.size(), room.size());
        std::copy_n(bytes.begin(), count, room.begin());
        if (!WriteTransfer(count)) {
            return false;
        }
        bytes = bytes.subspan(count);
    }
    return !Failed();
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
    changed_.wait(lock, [&] { return taken_ == handedOn_; });
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
