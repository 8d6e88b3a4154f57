#include "jobs/ReadAheadFile.h"

#include <algorithm>

namespace morvex {

ReadAheadFile::ReadAheadFile(PlatformSource& inner, Platform& platform, std::size_t transferBytes)
    : inner_(inner), platform_(platform), transferBytes_(transferBytes) {
    for (auto& slot : slots_) {
        slot.bytes = std::make_unique_for_overwrite<std::uint8_t[]>(kCarryBytes + transferBytes);
    }
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

void ReadAheadFile::Fill(Slot& slot) {
    slot.size = 0;
    slot.last = false;
    slot.failed = false;
    slot.error = {};
    while (slot.size < transferBytes_) {
        const auto got = inner_.Read(std::span<std::uint8_t>(Data(slot) + slot.size, transferBytes_ - slot.size));
        if (!got || *got == 0) {
            slot.last = true;
            slot.failed = !got;
            slot.error = got ? std::error_code{} : inner_.Error();
            return;
        }
        slot.size += *got;
    }
}

void ReadAheadFile::Run(std::size_t index) {
    for (;;) {
        Slot& slot = slots_[index];
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return stop_ || slot.state == SlotState::Free; });
            if (stop_) {
                return;
            }
        }
        // The slot is free: the job will not look at it until it is filled.
        Fill(slot);
        const bool last = slot.last;
        {
            const std::lock_guard lock(mutex_);
            slot.state = SlotState::Filled;
        }
        changed_.notify_all();
        if (last) {
            return;
        }
        index = (index + 1) % kSlots;
    }
}

std::optional<std::span<const std::uint8_t>> ReadAheadFile::NextTransfer(std::size_t keep) {
    if (failed_) {
        return std::nullopt;
    }
    Slot* const held = handedOut_ < kSlots ? &slots_[handedOut_] : nullptr;
    keep = std::min({keep, kCarryBytes, held_.size()});
    if (atEnd_ || (held && held->last && !held->failed)) {
        atEnd_ = true;
        return held_.last(keep);
    }
    if (held && held->failed) {
        failed_ = true;
        error_ = held->error;
        return std::nullopt;
    }
    Slot& slot = slots_[next_];
    if (helper_) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return slot.state == SlotState::Filled; });
    } else {
        Fill(slot);
    }
    std::uint8_t* const front = Data(slot) - keep;
    std::copy(held_.end() - static_cast<std::ptrdiff_t>(keep), held_.end(), front);
    {
        const std::lock_guard lock(mutex_);
        if (held) {
            held->state = SlotState::Free;
        }
        slot.state = SlotState::HandedOut;
    }
    changed_.notify_all();
    handedOut_ = next_;
    next_ = (next_ + 1) % kSlots;
    // The job reads the first transfer itself, which is all there is to a small file; a helper
    // reads ahead from the second on.
    if (!helperTried_ && !slot.last) {
        helperTried_ = true;
        helper_ = platform_.StartThread([this, first = next_] { Run(first); });
    }
    if (slot.size == 0 && slot.failed) {
        failed_ = true;
        error_ = slot.error;
        return std::nullopt;
    }
    atEnd_ = slot.size == 0;
    held_ = std::span<const std::uint8_t>(front, keep + slot.size);
    return held_;
}

std::optional<std::size_t> ReadAheadFile::Read(std::span<std::uint8_t> bytes) {
    std::size_t total = 0;
    while (total < bytes.size()) {
        if (unread_.empty()) {
            if (atEnd_) {
                break;
            }
            const auto next = NextTransfer(0);
            if (!next) {
                // Bytes already copied out are delivered first; the failure comes with the next read.
                return total > 0 ? std::optional<std::size_t>(total) : std::nullopt;
            }
            unread_ = *next;
            if (unread_.empty()) {
                break;
            }
        }
        const std::size_t count = std::min(bytes.size() - total, unread_.size());
        std::copy_n(unread_.begin(), count, bytes.begin() + static_cast<std::ptrdiff_t>(total));
        unread_ = unread_.subspan(count);
        total += count;
    }
    return total;
}

}  // namespace morvex
