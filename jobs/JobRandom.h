#pragma once

#include <cstdint>

namespace morvex {

namespace job_random_detail {

// Composing x -> a*x + c with itself n times gives x -> a^n*x + c*(a^(n-1) + ... + 1), mod 2^32.
struct Step {
    std::uint32_t multiplier;
    std::uint32_t increment;
};

constexpr Step Compose(std::uint32_t multiplier, std::uint32_t increment, std::uint32_t draws) {
    Step step{1, 0};
    for (std::uint32_t i = 0; i < draws; ++i) {
        step.multiplier = step.multiplier * multiplier;
        step.increment = step.increment * multiplier + increment;
    }
    return step;
}

}  // namespace job_random_detail

// The job's own 32-bit linear congruential generator. It is part of the container format: the
// initial value and the fill bytes of a container follow from its seed, so it must never be
// replaced by the platform's random source.
class JobRandom {
public:
    explicit JobRandom(std::uint32_t seed) noexcept : state_(seed) {}

    // Advances the state and returns a value from 0 to 32767.
    [[nodiscard]] std::uint32_t Draw() noexcept {
        state_ = state_ * kMultiplier + kIncrement;
        return (state_ >> 16) & 0x7FFFU;
    }

    // Four draws r1..r4; their low bytes land in the word as r3 r4 r1 r2, most significant first.
    [[nodiscard]] std::uint32_t NextWord() noexcept {
        const std::uint32_t r1 = Draw() & 0xFFU;
        const std::uint32_t r2 = Draw() & 0xFFU;
        const std::uint32_t r3 = Draw() & 0xFFU;
        const std::uint32_t r4 = Draw() & 0xFFU;
        return (r3 << 24) | (r4 << 16) | (r1 << 8) | r2;
    }

    // Moves the state on as the two fill words of one block would (eight draws), in one step. A block
    // whose eight bytes all come from the source still consumes its fill.
    void SkipBlockFill() noexcept { state_ = state_ * kEightDraws.multiplier + kEightDraws.increment; }

    [[nodiscard]] std::uint32_t State() const noexcept { return state_; }

private:
    static constexpr std::uint32_t kMultiplier = 214013U;
    static constexpr std::uint32_t kIncrement = 2531011U;
    static constexpr job_random_detail::Step kEightDraws =
        job_random_detail::Compose(kMultiplier, kIncrement, 8);

    std::uint32_t state_;
};

}  // namespace morvex
