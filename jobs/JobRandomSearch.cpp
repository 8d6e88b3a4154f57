#include "jobs/JobRandomSearch.h"

#include "jobs/JobRandom.h"

namespace morvex {

namespace {

// JobRandom's step, state * kMultiplier + kIncrement modulo 2^32 (the tests hold these to JobRandom).
constexpr std::uint32_t kMultiplier = 214013U;
constexpr std::uint32_t kIncrement = 2531011U;

// The multiplier's inverse modulo 2^32 by Newton's iteration, each step doubling the bits that are
// right; an odd number is its own inverse modulo 8, so five steps give all 32.
constexpr std::uint32_t Inverse(std::uint32_t odd) {
    std::uint32_t inverse = odd;
    for (int i = 0; i < 5; ++i) {
        inverse *= 2U - odd * inverse;
    }
    return inverse;
}
constexpr std::uint32_t kInverseMultiplier = Inverse(kMultiplier);
static_assert(kMultiplier * kInverseMultiplier == 1U);

}  // namespace

std::uint32_t JobRandomJump(std::uint32_t state, std::uint64_t draws) noexcept {
    // The step is x -> m*x + c; done twice it is x -> m^2*x + c*(m + 1). Squaring so, and taking the
    // powers that the binary digits of draws ask for, composes the whole jump.
    std::uint32_t multiplier = 1;
    std::uint32_t increment = 0;
    std::uint32_t stepMultiplier = kMultiplier;
    std::uint32_t stepIncrement = kIncrement;
    for (; draws != 0; draws >>= 1) {
        if ((draws & 1U) != 0) {
            multiplier *= stepMultiplier;
            increment = increment * stepMultiplier + stepIncrement;
        }
        stepIncrement *= stepMultiplier + 1U;
        stepMultiplier *= stepMultiplier;
    }
    return state * multiplier + increment;
}

void StatesShowing(std::uint8_t first, std::uint8_t second, std::vector<std::uint32_t>& states) {
    states.clear();
    // The state after the first draw is first * 2^16 + low. The second draw shows bits 16 to 23 of
    // kMultiplier * first * 2^16 + t, t = kMultiplier * low + kIncrement: (kMultiplier * first + t / 2^16)
    // modulo 256. So t / 2^16 must be congruent to `wanted` modulo 256.
    const std::uint32_t wanted = (second - kMultiplier * first) & 0xFFU;
    constexpr std::int64_t kA = kMultiplier;
    constexpr std::int64_t kC = kIncrement;
    constexpr std::int64_t kLowest = kC >> 16;
    constexpr std::int64_t kHighest = (kA * 0xFFFF + kC) >> 16;
    const std::int64_t start = kLowest + ((static_cast<std::int64_t>(wanted) - kLowest) & 0xFF);
    for (std::int64_t quotient = start; quotient <= kHighest; quotient += 256) {
        // The values of low whose t lies in [quotient * 2^16, quotient * 2^16 + 65535]: one at most.
        const std::int64_t below = quotient * 65536 - kC;
        const std::int64_t above = quotient * 65536 + 65535 - kC;
        const std::int64_t lowFrom = below <= 0 ? 0 : (below + kA - 1) / kA;
        const std::int64_t lowTo = above < 0 ? -1 : above / kA;
        for (std::int64_t low = lowFrom; low <= lowTo && low <= 0xFFFF; ++low) {
            const std::uint32_t afterFirst = (std::uint32_t{first} << 16) | static_cast<std::uint32_t>(low);
            states.push_back((kInverseMultiplier * (afterFirst - kIncrement)) & kJobRandomStateMask);
        }
    }
}

std::vector<std::uint32_t> FindJobRandomSeeds(std::uint32_t initialWord0, std::uint32_t initialWord1) {
    // NextWord puts the first draw's byte at bits 8 to 15 and the second's at bits 0 to 7.
    std::vector<std::uint32_t> candidates;
    StatesShowing(static_cast<std::uint8_t>(initialWord0 >> 8), static_cast<std::uint8_t>(initialWord0), candidates);
    std::vector<std::uint32_t> seeds;
    for (const std::uint32_t seed : candidates) {
        JobRandom random(seed);
        if (random.NextWord() == initialWord0 && random.NextWord() == initialWord1) {
            seeds.push_back(seed);
        }
    }
    return seeds;
}

}  // namespace morvex
