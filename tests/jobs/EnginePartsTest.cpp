// The engine's parts on their own: the generator, the progress arithmetic, the word reads over
// large transfers and the parallel decryption.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
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
#include "jobs/ReadAheadFile.h"
#include "jobs/SourceReader.h"
#include "jobs/WriteBehindFile.h"
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

// Reads ahead on a helper: the same bytes, the same end, and a failure after the bytes before it.
TEST(OverlappedFileTest, ReadAheadDeliversTheSameBytesEndAndFailure) {
    for (const int failingRead : {-1, 0, 3, 40}) {
        for (const std::size_t length : {std::size_t{0}, std::size_t{1}, std::size_t{100}, std::size_t{1000}}) {
            const Bytes bytes = PatternBytes(length, 11);
            MemoryFile inner(bytes, 5, failingRead);
            ReadAheadFile ahead(inner, 16);
            Bytes got;
            bool failed = false;
            for (int call = 0; call < 1000; ++call) {
                std::array<std::uint8_t, 7> piece{};
                const auto count = ahead.Read(piece);
                if (!count) {
                    failed = true;
                    EXPECT_FALSE(ahead.Read(piece).has_value()) << "a failure must stay a failure";
                    break;
                }
                if (*count == 0) {
                    break;
                }
                got.insert(got.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(*count));
            }
            // The first read failing can never pass for data or for the end; any later one may come
            // after the end, but whatever arrived must be the file's bytes in order.
            EXPECT_TRUE(failed || failingRead != 0) << "length " << length;
            if (failed) {
                EXPECT_LE(got.size(), bytes.size());
                EXPECT_TRUE(std::equal(got.begin(), got.end(), bytes.begin()));
            } else {
                EXPECT_EQ(got, bytes) << "length " << length << " failing " << failingRead;
            }
        }
    }
}

// Writes through a helper land in order; a failed write is reported by Flush and Close at the latest.
class SinkFile final : public PlatformFile {
public:
    explicit SinkFile(int failingWrite) : failingWrite_(failingWrite) {}
    std::optional<std::uint64_t> Size() override { return written.size(); }
    std::optional<std::size_t> Read(std::span<std::uint8_t>) override { return std::nullopt; }
    bool Write(std::span<const std::uint8_t> bytes) override {
        if (writes_++ == failingWrite_) {
            return false;
        }
        written.insert(written.end(), bytes.begin(), bytes.end());
        return true;
    }
    bool SetEnd(std::uint64_t length) override {
        written.resize(static_cast<std::size_t>(length));
        return true;
    }
    bool Flush() override { return true; }
    bool Close() override { return true; }
    Bytes written;

private:
    int failingWrite_;
    int writes_ = 0;
};

TEST(OverlappedFileTest, WriteBehindKeepsOrderAndReportsFailures) {
    const Bytes bytes = PatternBytes(5000, 3);
    for (const int failingWrite : {-1, 0, 7, 1000}) {
        SinkFile inner(failingWrite);
        bool allWritten = true;
        {
            WriteBehindFile behind(inner, 64);
            for (std::size_t at = 0; at < bytes.size(); at += 37) {
                const std::size_t count = std::min<std::size_t>(37, bytes.size() - at);
                allWritten = behind.Write(std::span<const std::uint8_t>(bytes.data() + at, count)) && allWritten;
            }
            allWritten = behind.SetEnd(4999) && allWritten;
            allWritten = behind.Flush() && allWritten;
            allWritten = behind.Close() && allWritten;
        }
        const bool expectFailure = failingWrite >= 0 && failingWrite < 1000;
        EXPECT_EQ(allWritten, !expectFailure) << "failing write " << failingWrite;
        if (!expectFailure) {
            EXPECT_EQ(inner.written, Bytes(bytes.begin(), bytes.end() - 1));
        }
    }
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
