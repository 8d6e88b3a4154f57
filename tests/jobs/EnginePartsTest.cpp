// The engine's parts on their own: the generator, the progress arithmetic, the word reads over
// large transfers and the parallel decryption.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <random>
#include <tuple>

#include "ciphers/IdeaCipher.h"
#include "ciphers/TripleDes.h"
#include "jobs/Cbc.h"
#include "jobs/JobRandom.h"
#include "jobs/ParallelCbc.h"
#include "jobs/ProgressTracker.h"
#include "jobs/SourceReader.h"
#include "tests/jobs/JobTestSupport.h"

namespace morvex::test {
namespace {

TEST(JobRandomTest, DrawsFollowTheClassicLcgSequence) {
    // The first outputs of this generator from seed 1 as widely published for the C library's rand().
    JobRandom random(1);
    for (const std::uint32_t expected : {41U, 18467U, 6334U, 26500U, 19169U, 15724U, 11478U, 29358U, 26962U, 24464U}) {
        EXPECT_EQ(random.Draw(), expected);
    }
}

TEST(JobRandomTest, NextWordPlacesTheLowBytesOfFourDraws) {
    // From seed 1 the draws are 41 (0x29), 18467 (0x4823), 6334 (0x18BE), 26500 (0x6784): r3 r4 r1 r2.
    JobRandom random(1);
    EXPECT_EQ(random.NextWord(), 0xBE842923U);
}

TEST(JobRandomTest, SkippingABlockFillEqualsEightDraws) {
    std::mt19937 seeds(7);
    for (int i = 0; i < 1000; ++i) {
        const std::uint32_t seed = static_cast<std::uint32_t>(seeds());
        JobRandom stepped(seed);
        JobRandom skipped(seed);
        for (int draw = 0; draw < 8; ++draw) {
            (void)stepped.Draw();
        }
        skipped.SkipBlockFill();
        ASSERT_EQ(skipped.State(), stepped.State()) << "seed " << seed;
        ASSERT_EQ(skipped.NextWord(), stepped.NextWord());
    }
}

TEST(ProgressTrackerTest, PublishesTheTruncatedPercentageWithoutOverflow) {
    std::mt19937_64 generator(3);
    for (const std::uint64_t size : {std::uint64_t{1}, std::uint64_t{7}, std::uint64_t{8}, std::uint64_t{100},
                                     std::uint64_t{12345}, std::uint64_t{4294967288}, std::uint64_t{4294967294}}) {
        std::atomic<std::int32_t> percent{-5};
        ProgressTracker tracker(size, percent);
        std::uint64_t off = 0;
        const std::uint64_t end = ((size + 7) / 8) * 8;
        while (off < end) {
            // Whole steps for small sizes; for large ones, jumps that land on and around the thresholds.
            const std::uint64_t step = size < 100000 ? 8 : 8 * (1 + generator() % (size / 800));
            off = std::min(end, off + step);
            tracker.Advance(off);
            const std::uint64_t expected = std::min<std::uint64_t>(100, off * 100 / size);
            ASSERT_EQ(percent.load(), static_cast<std::int32_t>(expected)) << "size " << size << " off " << off;
        }
        EXPECT_EQ(percent.load(), 100);
    }
}

TEST(ProgressTrackerTest, FirstBlockOverwritesWhatThePreviousJobLeft) {
    for (const std::uint64_t size : {std::uint64_t{0}, std::uint64_t{1000}}) {
        std::atomic<std::int32_t> percent{100};  // a successful job left a full bar
        ProgressTracker tracker(size, percent);
        tracker.Advance(8);
        EXPECT_EQ(percent.load(), 0) << "size " << size;
    }
}

// An input that hands out its bytes in pieces of varying length and can fail at a chosen read.
class MemoryFile final : public PlatformFile {
public:
    MemoryFile(Bytes bytes, std::uint32_t seed, int failingRead = -1)
        : bytes_(std::move(bytes)), pieces_(seed), failingRead_(failingRead) {}
    std::optional<std::uint64_t> Size() override { return bytes_.size(); }
    std::optional<std::size_t> Read(std::span<std::uint8_t> out) override {
        if (reads_++ == failingRead_) {
            return std::nullopt;
        }
        const std::size_t count = std::min({out.size(), bytes_.size() - position_, 1 + pieces_() % 9});
        std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(position_), count, out.begin());
        position_ += count;
        return count;
    }
    bool Write(std::span<const std::uint8_t>) override { return false; }
    bool SetEnd(std::uint64_t) override { return false; }
    bool Flush() override { return false; }
    bool Close() override { return true; }

private:
    Bytes bytes_;
    std::mt19937 pieces_;
    int failingRead_;
    std::size_t position_ = 0;
    int reads_ = 0;
};

TEST(SourceReaderTest, WordReadsMatchFourByteReadsWhateverTheBuffering) {
    for (std::size_t length = 0; length <= 41; ++length) {
        for (const std::size_t capacity : {std::size_t{4}, std::size_t{5}, std::size_t{8}, std::size_t{13}, std::size_t{64}}) {
            const Bytes bytes = PatternBytes(length, static_cast<std::uint32_t>(length));
            MemoryFile file(bytes, static_cast<std::uint32_t>(capacity));
            SourceReader reader(file, capacity);
            std::uint32_t word = 0xA5A5A5A5U;
            std::uint32_t expected = word;
            std::size_t position = 0;
            // Alternate word reads with block-sized direct takes, as the jobs do.
            for (int round = 0; round < 20; ++round) {
                if (round % 3 == 2) {
                    ASSERT_TRUE(reader.Ensure(8));
                    const auto available = reader.Available();
                    if (available.size() >= 8) {
                        ASSERT_TRUE(std::equal(available.begin(), available.begin() + 8,
                                               bytes.begin() + static_cast<std::ptrdiff_t>(position)));
                        reader.Consume(8);
                        position += 8;
                    }
                    continue;
                }
                for (unsigned i = 0; i < 4 && position < length; ++i, ++position) {
                    expected = (expected & ~(0xFFU << (8 * i))) | (std::uint32_t{bytes[position]} << (8 * i));
                }
                ASSERT_TRUE(reader.ReadWord(word));
                ASSERT_EQ(word, expected) << "length " << length << " capacity " << capacity << " round " << round;
            }
        }
    }
}

TEST(SourceReaderTest, AFailedReadIsReported) {
    MemoryFile file(PatternBytes(100, 1), 1, 0);
    SourceReader reader(file, 64);
    std::uint32_t word = 0;
    EXPECT_FALSE(reader.ReadWord(word));
}

class ParallelCbcTest : public ::testing::TestWithParam<std::tuple<AlgorithmId, unsigned>> {};

template <class Cipher>
void ExpectParallelEqualsSerial(const Cipher& cipher, unsigned threads) {
    for (const std::size_t blocks : {std::size_t{1}, std::size_t{4095}, std::size_t{8192 + 3}, std::size_t{4096 * 7 + 5}}) {
        const Bytes in = PatternBytes(blocks * 8, static_cast<std::uint32_t>(blocks));
        Bytes serial(in.size());
        Bytes parallel(in.size(), 0xEE);
        ChainWords serialChain{0x01234567U, 0x89ABCDEFU};
        ChainWords parallelChain = serialChain;
        CbcDecrypt(cipher, serialChain, in.data(), serial.data(), blocks);
        ParallelCbcDecrypt(cipher, parallelChain, in.data(), parallel.data(), blocks, threads);
        ASSERT_EQ(parallel, serial) << blocks << " blocks";
        ASSERT_EQ(parallelChain.c0, serialChain.c0);
        ASSERT_EQ(parallelChain.c1, serialChain.c1);
    }
}

TEST_P(ParallelCbcTest, OutputAndChainEqualTheSingleThreadedPath) {
    const auto [algorithm, threads] = GetParam();
    const KeyWords keyWords{0x01020304U, 0xA0B0C0D0U, 0x55AA55AAU, 0xDEADBEEFU};
    if (algorithm == AlgorithmId::TripleDes) {
        ExpectParallelEqualsSerial(TripleDes(keyWords), threads);
    } else {
        ExpectParallelEqualsSerial(IdeaCipher(keyWords), threads);
    }
}

INSTANTIATE_TEST_SUITE_P(ThreadCounts, ParallelCbcTest,
                         ::testing::Combine(::testing::Values(AlgorithmId::TripleDes, AlgorithmId::Idea),
                                            ::testing::Values(0U, 1U, 2U, 3U, 7U)));

}  // namespace
}  // namespace morvex::test
