#pragma once

#include <atomic>
#include <cstdint>
#include <limits>

namespace morvex {

// Publishes off * 100 / size after every block without a division per block: it remembers the offset
// at which the percentage next changes and stores it only then. The first block always stores, since
// the field still holds what the previous job left.
class ProgressTracker {
public:
    ProgressTracker(std::uint64_t size, std::atomic<std::int32_t>& percent) noexcept
        : size_(size), percent_(percent) {}

    void Advance(std::uint64_t off) noexcept {
        if (off >= nextChange_) {
            Publish(off);
        }
    }

    // The first offset at which Advance publishes anything.
    [[nodiscard]] std::uint64_t NextChange() const noexcept { return nextChange_; }

private:
    void Publish(std::uint64_t off) noexcept {
        // off stays below 2^33, so off * 100 cannot overflow 64 bits.
        std::uint64_t quotient = size_ == 0 ? 0 : off * 100 / size_;
        if (quotient > 100) {
            quotient = 100;
        }
        const auto value = static_cast<std::int32_t>(quotient);
        if (value != last_) {
            percent_.store(value, std::memory_order_relaxed);
            last_ = value;
        }
        if (size_ == 0 || quotient >= 100) {
            nextChange_ = std::numeric_limits<std::uint64_t>::max();
        } else {
            // The smallest off with off * 100 >= (q + 1) * size.
            nextChange_ = ((quotient + 1) * size_ + 99) / 100;
        }
    }

    std::uint64_t size_;
    std::atomic<std::int32_t>& percent_;
    std::uint64_t nextChange_ = 0;
    std::int32_t last_ = -1;
};

}  // namespace morvex
