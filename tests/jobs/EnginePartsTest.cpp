// The engine's parts on their own: the generator, the progress arithmetic, the word reads over
// large transfers, the ring of transfers between the files and the job, and the parallel decryption.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "ciphers/IdeaCipher.h"
#include "ciphers/TripleDes.h"
#include "jobs/Cbc.h"
#include "jobs/HelperPool.h"
#include "jobs/JobLoop.h"
#include "jobs/JobRandom.h"
#include "jobs/OutputWriter.h"
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

// The first block overwrites whatever the previous job left; from there on the bar shows the
// truncated percentage, never past 100, also where off * 100 would overflow 32 bits.
TEST(ProgressTrackerTest, PublishesTheTruncatedPercentageFromTheFirstBlock) {
    std::mt19937_64 generator(3);
    for (const std::uint64_t size : std::initializer_list<std::uint64_t>{0, 1, 7, 8, 100, 12345, 4294967288, 4294967294}) {
        std::atomic<std::int32_t> percent{100};  // a successful job left a full bar
        ProgressTracker tracker(size, percent);
        const std::uint64_t end = size == 0 ? 8 : ((size + 7) / 8) * 8;  // a job always runs one block
        for (std::uint64_t off = 0; off < end;) {
            // Whole steps for small sizes; for large ones, jumps that land on and around the thresholds.
            off = std::min(end, off + (size < 100000 ? 8 : 8 * (1 + generator() % (size / 800))));
            tracker.Advance(off);
            const std::uint64_t expected = size == 0 ? 0 : std::min<std::uint64_t>(100, off * 100 / size);
            ASSERT_EQ(percent.load(), static_cast<std::int32_t>(expected)) << "size " << size << " off " << off;
        }
    }
}

// Stepping over many blocks at once publishes, stops and ends exactly where one block at a time
// does: at the percentage thresholds, at a cancel seen before a range, at the input's end mid-range.
TEST(ProgressTrackerTest, StepsOverARangeEqualThoseOneBlockAtATime) {
    std::mt19937_64 generator(5);
    for (const std::uint64_t size : std::initializer_list<std::uint64_t>{8, 804, 8000, 1234567}) {
        for (const int cancelAtCall : {-1, 0, 3}) {
            JobState ranged;
            JobState single;
            ProgressTracker rangedTracker(size, ranged.published.percent);
            ProgressTracker singleTracker(size, single.published.percent);
            std::uint64_t rangedOff = 0;
            std::uint64_t singleOff = 0;
            bool over = false;
            for (int call = 0; !over; ++call) {
                const std::size_t count = 1 + generator() % 5000;
                ranged.cancelRequested.store(call == cancelAtCall);
                single.cancelRequested.store(call == cancelAtCall);
                detail::LoopEnd rangedEnd = detail::LoopEnd::Failed;
                detail::LoopEnd singleEnd = detail::LoopEnd::Failed;
                std::size_t stepped = 0;
                over = detail::BlocksEndLoop(ranged, rangedTracker, rangedOff, size, count, stepped, rangedEnd);
                std::size_t singleStepped = 0;
                bool singleOver = false;
                while (singleStepped < count && !singleOver) {
                    singleOff += kBlockBytes;
                    ++singleStepped;
                    singleOver = detail::BlockEndsLoop(single, singleTracker, singleOff, size, singleEnd);
                }
                SCOPED_TRACE("size " + std::to_string(size) + " call " + std::to_string(call));
                ASSERT_EQ(over, singleOver);
                ASSERT_EQ(stepped, singleStepped);
                ASSERT_EQ(rangedOff, singleOff);
                ASSERT_EQ(ranged.published.percent.load(), single.published.percent.load());
                if (over) {
                    EXPECT_EQ(rangedEnd, singleEnd);
                    EXPECT_EQ(rangedEnd, call == cancelAtCall ? detail::LoopEnd::Canceled : detail::LoopEnd::Done);
                }
            }
        }
    }
}

// A file in memory that hands out its bytes in pieces of varying length, keeps what is written to
// it, and fails its nth read or write.
class MemoryFile final : public PlatformSource {
public:
    MemoryFile(Bytes content, std::uint32_t seed, int failingCall = -1)
        : bytes(std::move(content)), pieces_(seed), failingCall_(failingCall) {}
    std::optional<std::uint64_t> Size() override { return bytes.size(); }
    std::optional<std::size_t> Read(std::span<std::uint8_t> out) override {
        if (calls_++ == failingCall_) {
            return std::nullopt;
        }
        const std::size_t count = std::min({out.size(), bytes.size() - position_, std::size_t{1} + pieces_() % 9});
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(position_), count, out.begin());
        position_ += count;
        return count;
    }
    std::optional<std::size_t> ReadAt(std::uint64_t, std::span<std::uint8_t>) override { return std::nullopt; }
    void Close() override {}
    std::error_code Error() const override { return std::make_error_code(std::errc::io_error); }
    Bytes bytes;

private:
    std::mt19937 pieces_;
    int failingCall_;
    std::size_t position_ = 0;
    int calls_ = 0;
};

// An output in memory that keeps what is written to it and fails its nth write, or the write that
// would reach the given byte; failedAt tells where the failed write would have started.
class MemoryOutput final : public PlatformOutput {
public:
    explicit MemoryOutput(int failingCall, std::optional<std::size_t> failingByte = std::nullopt)
        : failingCall_(failingCall), failingByte_(failingByte) {}
    bool Write(std::span<const std::uint8_t> in) override {
        const bool reaches = failingByte_ && bytes.size() <= *failingByte_ && *failingByte_ < bytes.size() + in.size();
        if (calls_++ == failingCall_ || reaches) {
            failedAt = bytes.size();
            return false;
        }
        bytes.insert(bytes.end(), in.begin(), in.end());
        return true;
    }
    bool SetEnd(std::uint64_t length) override {
        bytes.resize(static_cast<std::size_t>(length));
        return true;
    }
    bool Flush() override { return true; }
    bool Close() override { return true; }
    std::error_code Error() const override { return std::make_error_code(std::errc::no_space_on_device); }
    Bytes bytes;
    std::optional<std::size_t> failedAt;

private:
    int failingCall_;
    std::optional<std::size_t> failingByte_;
    int calls_ = 0;
};

TEST(SourceReaderTest, WordReadsMatchFourByteReadsWhateverTheBuffering) {
    for (std::size_t length = 0; length <= 41; ++length) {
        for (const std::size_t capacity : {std::size_t{4}, std::size_t{5}, std::size_t{8}, std::size_t{13}, std::size_t{64}}) {
            const Bytes bytes = PatternBytes(length, static_cast<std::uint32_t>(length));
            MemoryFile file(bytes, static_cast<std::uint32_t>(capacity));
            ReadAheadFile transfers(file, NativePlatform(), capacity);
            SourceReader reader(transfers);
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

// Reads ahead on a helper: the same bytes, the same end, and a failure after the bytes before it.
TEST(OverlappedFileTest, ReadAheadDeliversTheSameBytesEndAndFailure) {
    for (const int failingRead : {-1, 0, 3, 40}) {
        for (const std::size_t length : {std::size_t{0}, std::size_t{1}, std::size_t{100}, std::size_t{1000}}) {
            const Bytes bytes = PatternBytes(length, 11);
            MemoryFile inner(bytes, 5, failingRead);
            ReadAheadFile ahead(inner, NativePlatform(), 16);
            Bytes got;
            std::array<std::uint8_t, 7> piece{};
            std::optional<std::size_t> count;
            while ((count = ahead.Read(piece)) && *count > 0) {
                got.insert(got.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(*count));
            }
            SCOPED_TRACE("length " + std::to_string(length) + " failing " + std::to_string(failingRead));
            if (count) {
                EXPECT_NE(failingRead, 0) << "the first read failing can never pass for data or for the end";
                EXPECT_EQ(got, bytes);
            } else {
                // A later failure may come after the end, but what arrived is the file's bytes in order.
                EXPECT_FALSE(ahead.Read(piece).has_value()) << "a failure must stay a failure";
                EXPECT_LE(got.size(), bytes.size());
                EXPECT_TRUE(std::equal(got.begin(), got.end(), bytes.begin()));
            }
        }
    }
}

// Writes through a helper land in order; a failed write is reported by Flush and Close at the latest.
TEST(OverlappedFileTest, WriteBehindKeepsOrderAndReportsFailures) {
    const Bytes bytes = PatternBytes(5000, 3);
    for (const int failingWrite : {-1, 0, 7, 1000}) {
        MemoryOutput inner(failingWrite);
        bool allWritten = true;
        {
            WriteBehindFile behind(inner, NativePlatform(), 64);
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
            EXPECT_EQ(inner.bytes, Bytes(bytes.begin(), bytes.end() - 1));
        }
    }
}

// A job held back by its file asks it for the cache, once; a job that its file keeps up with never does.
TEST(OverlappedFileTest, AJobThatWaitsForItsFileAsksForTheCache) {
    struct SlowOutput final : PlatformOutput {
        explicit SlowOutput(std::chrono::milliseconds each) : pause(each) {}
        bool Write(std::span<const std::uint8_t>) override {
            std::this_thread::sleep_for(pause);
            return true;
        }
        bool SetEnd(std::uint64_t) override { return true; }
        bool Flush() override { return true; }
        bool Close() override { return true; }
        std::error_code Error() const override { return {}; }
        void PreferCache() noexcept override { ++asked; }
        std::chrono::milliseconds pause;
        std::atomic<int> asked{0};
    };
    for (const bool slowFile : {true, false}) {
        SlowOutput inner(std::chrono::milliseconds(slowFile ? 3 : 0));
        WriteBehindFile behind(inner, NativePlatform(), 64);
        for (int transfer = 0; transfer < 60; ++transfer) {
            (void)behind.FreeTransfer();
            ASSERT_TRUE(behind.WriteTransfer(64));
            if (!slowFile) {
                std::this_thread::sleep_for(std::chrono::milliseconds(3));  // the cipher's time
            }
        }
        ASSERT_TRUE(behind.Close());
        EXPECT_EQ(inner.asked.load(), slowFile ? 1 : 0) << (slowFile ? "slow file" : "quick file");
    }
}

// The native platform that starts no thread: every part of a job then runs on the caller's thread.
class NoThreadPlatform final : public Platform {
public:
    Opened<PlatformSource> OpenSource(const std::string& path) override { return NativePlatform().OpenSource(path); }
    Opened<PlatformNewOutput> CreateOutput(const std::string& path) override {
        return NativePlatform().CreateOutput(path);
    }
    std::error_code RemoveFile(const std::string& path) override { return NativePlatform().RemoveFile(path); }
    std::unique_ptr<PlatformThread> StartThread(std::function<void()>) override { return nullptr; }
    void Sleep(std::chrono::milliseconds) override {}
    std::uint64_t NowSeconds() override { return 0; }
};

// The input taken the way the jobs take it, straight from the transfers: a header, then runs of
// whole blocks and single words. Whatever the transfer size, the bytes arrive in order and whole,
// a failed read at any point ends them with a failure that stays, and without helper threads
// nothing changes.
TEST(TransferPipelineTest, InputArrivesInOrderWithAFailureAtAnyRead) {
    const Bytes bytes = PatternBytes(203, 9);
    NoThreadPlatform noThreads;
    for (Platform* platform : {&NativePlatform(), static_cast<Platform*>(&noThreads)}) {
        for (const std::size_t transferBytes : {std::size_t{3}, std::size_t{16}, std::size_t{60}}) {
            for (int failingRead = -1; failingRead < 60; ++failingRead) {
                SCOPED_TRACE("transfer " + std::to_string(transferBytes) + " failing " + std::to_string(failingRead));
                MemoryFile inner(bytes, 4, failingRead);
                ReadAheadFile transfers(inner, *platform, transferBytes);
                SourceReader reader(transfers);
                Bytes got;
                bool ok = reader.Ensure(12);
                for (int round = 0; ok && !reader.Available().empty(); ++round) {
                    if (round % 2 == 0) {
                        const auto available = reader.Available();
                        const std::size_t take = round % 4 == 0 ? available.size() / 8 * 8 : std::min<std::size_t>(available.size(), 12);
                        got.insert(got.end(), available.begin(), available.begin() + static_cast<std::ptrdiff_t>(take));
                        reader.Consume(take);
                    } else {
                        std::uint32_t word = 0;
                        const std::size_t before = reader.Available().size();
                        if (!reader.ReadWord(word)) {
                            ok = false;
                            break;
                        }
                        for (unsigned i = 0; i < std::min<std::size_t>(4, before); ++i) {
                            got.push_back(static_cast<std::uint8_t>(word >> (8 * i)));
                        }
                    }
                    ok = reader.Ensure(8);
                }
                ASSERT_LE(got.size(), bytes.size());
                ASSERT_TRUE(std::equal(got.begin(), got.end(), bytes.begin()));
                if (ok) {
                    EXPECT_EQ(got.size(), bytes.size());
                } else {
                    EXPECT_NE(failingRead, -1);
                    EXPECT_FALSE(reader.Ensure(ReadAheadFile::kCarryBytes)) << "a failure must stay a failure";
                }
            }
        }
    }
}

// The output filled in place, transfer by transfer, as the jobs fill it: a write that fails at any
// transfer stops the output there, with every transfer before that write in order and nothing
// from it on, and the failure reaches the job. Full transfers waiting side by side may go in one
// write, at most the ring's three.
TEST(TransferPipelineTest, OutputArrivesInOrderAndStopsAtAFailedTransfer) {
    constexpr std::size_t kTransfer = 64;
    const Bytes bytes = PatternBytes(8 * 125, 5);  // 15 full transfers and a part
    NoThreadPlatform noThreads;
    for (Platform* platform : {&NativePlatform(), static_cast<Platform*>(&noThreads)}) {
        for (int failing = -1; failing <= 16; ++failing) {
            SCOPED_TRACE("failing at transfer " + std::to_string(failing));
            MemoryOutput inner(-1, failing < 0 ? std::nullopt : std::optional<std::size_t>(kTransfer * static_cast<std::size_t>(failing)));
            bool ok = true;
            {
                WriteBehindFile output(inner, *platform, kTransfer);
                OutputWriter writer(output);
                for (std::size_t at = 0; ok && at < bytes.size(); at += 8) {
                    ok = !output.Failed() && writer.Reserve(8);
                    if (ok) {
                        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), 8, writer.Space());
                        writer.Commit(8);
                    }
                }
                ok = ok && writer.WritePending();
                ok = output.Flush() && ok;
                ok = output.Close() && ok;
            }
            const bool expectFailure = failing >= 0 && failing < 16;
            EXPECT_EQ(ok, !expectFailure);
            EXPECT_EQ(inner.failedAt.has_value(), expectFailure);
            const std::size_t written = inner.failedAt.value_or(bytes.size());
            if (expectFailure) {
                const std::size_t failingStart = kTransfer * static_cast<std::size_t>(failing);
                EXPECT_EQ(written % kTransfer, 0U);
                EXPECT_LE(written, failingStart);
                EXPECT_GT(written + 3 * kTransfer, failingStart);
            }
            EXPECT_EQ(inner.bytes, Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(written)));
        }
    }
}

template <class Cipher>
void ExpectParallelEqualsSerial(const Cipher& cipher, Platform& platform) {
    constexpr std::size_t kPiece = kParallelCbcPieceBlocks;
    for (const unsigned threads : {0U, 1U, 2U, 3U, 7U}) {
        // One pool for every run, as a job keeps it for all its transfers.
        HelperPool pool(platform, threads);
        for (const std::size_t blocks : {std::size_t{1}, 2 * kPiece - 1, 2 * kPiece, 2 * kPiece + 1, 5 * kPiece + 3}) {
            SCOPED_TRACE(std::to_string(blocks) + " blocks, " + std::to_string(threads) + " threads");
            const Bytes in = PatternBytes(blocks * 8, static_cast<std::uint32_t>(blocks));
            Bytes serial(in.size());
            Bytes parallel(in.size(), 0xEE);
            ChainWords serialChain{0x01234567U, 0x89ABCDEFU};
            ChainWords parallelChain = serialChain;
            CbcDecrypt(cipher, serialChain, in.data(), serial.data(), blocks);
            // Each range is followed in order, once, and only after it is decrypted.
            std::size_t followed = 0;
            auto follow = [&](std::size_t first, std::size_t count) {
                EXPECT_EQ(first, followed);
                EXPECT_TRUE(std::equal(serial.begin() + static_cast<std::ptrdiff_t>(8 * first),
                                       serial.begin() + static_cast<std::ptrdiff_t>(8 * (first + count)),
                                       parallel.begin() + static_cast<std::ptrdiff_t>(8 * first)));
                followed = first + count;
                return true;
            };
            ParallelCbcDecrypt(cipher, parallelChain, in.data(), parallel.data(), blocks, pool, follow);
            ASSERT_EQ(followed, blocks);
            ASSERT_EQ(parallel, serial);
            ASSERT_EQ(parallelChain.c0, serialChain.c0);
            ASSERT_EQ(parallelChain.c1, serialChain.c1);
        }
        // The largest run has six pieces: at most five helpers, started once for all runs.
        const std::size_t most = (threads == 0 ? std::max(1U, std::thread::hardware_concurrency()) : threads) - 1;
        EXPECT_EQ(pool.Helpers(), &platform == &NativePlatform() ? std::min<std::size_t>(most, 5) : 0U);
    }
}

// Output and final chain equal the single-threaded path for every thread count, around the pieces'
// edges, with the pool's threads kept from run to run, and with no helper able to start.
TEST(ParallelCbcTest, EqualsTheSingleThreadedPath) {
    const KeyWords keyWords{0x01020304U, 0xA0B0C0D0U, 0x55AA55AAU, 0xDEADBEEFU};
    NoThreadPlatform noThreads;
    for (Platform* platform : {&NativePlatform(), static_cast<Platform*>(&noThreads)}) {
        ExpectParallelEqualsSerial(TripleDes(keyWords), *platform);
        ExpectParallelEqualsSerial(IdeaCipher(keyWords), *platform);
    }
}

// Every piece runs once per run and is followed in order on the owner's thread, however many
// threads share the pieces and however often the pool is woken; once the follow-up says stop, no
// piece begins and none is followed.
TEST(HelperPoolTest, RunsEveryPieceOnceAndFollowsThemInOrderUntilStopped) {
    HelperPool pool(NativePlatform(), 4);
    const std::thread::id owner = std::this_thread::get_id();
    for (std::size_t run = 0; run < 300; ++run) {
        const std::size_t pieces = run % 9;
        const std::size_t stopAt = run % 3 == 0 ? run % 7 : pieces;  // the last piece followed
        std::vector<std::atomic<int>> counts(pieces);
        std::vector<std::size_t> followed;
        auto task = [&counts](std::size_t piece) { counts[piece].fetch_add(1); };
        auto follow = [&](std::size_t piece) {
            EXPECT_EQ(std::this_thread::get_id(), owner);
            EXPECT_EQ(counts[piece].load(), 1);
            followed.push_back(piece);
            return piece != stopAt;
        };
        pool.Run(pieces, task, follow);
        const std::size_t expected = std::min(pieces, stopAt + 1);
        ASSERT_EQ(followed.size(), expected) << "run " << run;
        for (std::size_t i = 0; i < pieces; ++i) {
            if (i < expected) {
                ASSERT_EQ(followed[i], i);
            } else {
                ASSERT_LE(counts[i].load(), 1) << "run " << run << " piece " << i << ", begun before the stop";
            }
        }
    }
    EXPECT_EQ(pool.Helpers(), 3U);
}

}  // namespace
}  // namespace morvex::test
