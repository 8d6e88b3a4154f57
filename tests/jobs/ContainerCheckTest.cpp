// The generator search over all 2^24 states, against the tests' own writer.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "jobs/JobRandom.h"
#include "jobs/JobRandomSearch.h"
#include "keys/PassphraseDigest.h"
#include "tests/jobs/JobTestSupport.h"

namespace morvex::test {
namespace {

constexpr std::uint32_t kSeed = 0x6589ABCDU;  // the high byte plays no part
constexpr std::uint32_t kMask = 0xFFFFFFU;

[[nodiscard]] std::uint32_t Step(std::uint32_t state) { return state * 214013U + 2531011U; }
[[nodiscard]] unsigned Shown(std::uint32_t state) { return (state >> 16) & 0xFFU; }

[[nodiscard]] std::uint32_t Word(const Bytes& bytes, std::size_t at) {
    return std::uint32_t{bytes[at]} | std::uint32_t{bytes[at + 1]} << 8 | std::uint32_t{bytes[at + 2]} << 16 |
           std::uint32_t{bytes[at + 3]} << 24;
}

const KeyWords kRight = DeriveKeyWords(kPassphrase);

TEST(JobRandomSearchTest, JumpEqualsSteppingAndKeepsThePeriod) {
    for (const std::uint32_t start : {0U, 1U, 0xFFFFFFFFU, kSeed}) {
        JobRandom random(start);
        std::uint64_t drawn = 0;
        for (const std::uint64_t draws : {0U, 1U, 7U, 8U, 9U, 16U, 1000U, 65537U}) {
            for (; drawn < draws; ++drawn) {
                static_cast<void>(random.Draw());
            }
            EXPECT_EQ(JobRandomJump(start, draws), random.State()) << start << " " << draws;
        }
        // Odd increment, multiplier 1 modulo 4: the period is 2^32.
        EXPECT_EQ(JobRandomJump(start, std::uint64_t{1} << 32), start);
        EXPECT_EQ(JobRandomJump(JobRandomJump(start, 3'000'000'000U), 1'294'967'301U), JobRandomJump(start, 5));
    }
}

// Each listed state shows its pair of bytes, none is listed twice, and all 2^24 are listed: so the
// search, which starts from these lists, misses no state.
TEST(JobRandomSearchTest, ShownBytePairsListEveryStateExactlyOnce) {
    std::vector<bool> seen(std::size_t{1} << 24);
    std::size_t listed = 0;
    std::vector<std::uint32_t> states;
    for (unsigned first = 0; first < 256; ++first) {
        for (unsigned second = 0; second < 256; ++second) {
            StatesShowing(static_cast<std::uint8_t>(first), static_cast<std::uint8_t>(second), states);
            for (const std::uint32_t state : states) {
                const std::uint32_t afterFirst = Step(state);
                if (state > kMask || Shown(afterFirst) != first || Shown(Step(afterFirst)) != second || seen[state]) {
                    FAIL() << "state " << state << " listed for " << first << ", " << second;
                }
                seen[state] = true;
                ++listed;
            }
        }
    }
    EXPECT_EQ(listed, std::size_t{1} << 24);
}

// Two states showing the same five bytes would differ by some d modulo 2^24 with d, 214013 d, ...,
// 214013^4 d all within 2^16 of 0; no d does, so the writer's seed is the only one found.
TEST(JobRandomSearchTest, FiveShownBytesFixTheStateSoOneSeedIsFound) {
    for (std::uint32_t d = 1; d <= kMask; ++d) {
        std::uint32_t difference = d;
        int close = 0;
        for (; close < 5; ++close, difference *= 214013U) {
            const std::uint32_t v = difference & kMask;
            if (v >= 0x10000 && v < kMask - 0xFFFF) {
                break;
            }
        }
        ASSERT_LT(close, 5) << d;
    }
    for (const std::uint32_t seed : {0U, 1U, kMask, kMask + 1, 0xFFFFFFFFU, kSeed}) {
        const Bytes header = ReferenceContainer(AlgorithmId::Idea, kRight, seed, {});
        EXPECT_EQ(FindJobRandomSeeds(Word(header, 4), Word(header, 8)), std::vector<std::uint32_t>{seed & kMask});
    }
    // Words from anywhere else: some state gives them with chance 2^24 / 2^64.
    std::mt19937 random(5);
    for (int i = 0; i < 200; ++i) {
        EXPECT_TRUE(FindJobRandomSeeds(static_cast<std::uint32_t>(random()), static_cast<std::uint32_t>(random())).empty());
    }
}

}  // namespace
}  // namespace morvex::test
