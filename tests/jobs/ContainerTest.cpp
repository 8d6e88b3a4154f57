// Whole jobs on real files: containers checked against libgcrypt, round trips, and the decryption
// loop on files that no encryption wrote.

#include <chrono>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "jobs/Jobs.h"
#include "keys/PassphraseDigest.h"
#include "tests/jobs/JobTestSupport.h"

namespace morvex::test {
namespace {

// Every size up to the given one, then the others; under ThreadSanitizer, where the point is the
// worker protocol and every job is slow, only the few given for it.
std::vector<std::size_t> Sizes(std::size_t upTo, std::vector<std::size_t> others, std::vector<std::size_t> underTsan) {
    if (kUnderThreadSanitizer) {
        return underTsan;
    }
    for (std::size_t size = 0; size <= upTo; ++size) {
        others.push_back(size);
    }
    return others;
}

class CipherTest : public ::testing::TestWithParam<AlgorithmId> {};

// For a fixed clock the container is exactly libgcrypt's CBC over the same blocks, 12 + 8N bytes with
// the length in clear, and decrypting it gives back the source's exact bytes and length.
TEST_P(CipherTest, ContainerMatchesIndependentConstructionAndRoundTrips) {
    for (const std::size_t size : Sizes(70, {kJobTransferBytes - 12, kJobTransferBytes - 1, kJobTransferBytes,
                                            kJobTransferBytes + 1, kJobTransferBytes + 7, 3 * kJobTransferBytes + 333},
                                           {0, 1, 8, 9, 17, 64, 70})) {
        SCOPED_TRACE(size);
        Fixture f(size, GetParam());
        f.platform.now = 0x1'2345'6789ULL;  // only the low 32 bits seed the generator
        f.PrepareDecryption();
        const Bytes container = ReadFile(f.state.choice.chosenPath);
        ASSERT_EQ(container.size(), 12 + 8 * (size == 0 ? 1 : (size + 7) / 8));
        const Bytes expected = ReferenceContainer(GetParam(), DeriveKeyWords(kPassphrase), 0x23456789U, f.plain);
        ASSERT_TRUE(container == expected) << "container differs from the reference, which has L in clear";
        ASSERT_EQ(f.Run(true), JobOutcome::Done);
        ASSERT_TRUE(ReadFile(f.source) == f.plain) << "round trip differs";
        EXPECT_EQ(f.Last().text, "     Done     ");
    }
}

// The decryption loop read the way the job reads: 4-byte reads that keep a word's old bytes where
// the file has none, blocks up to the file's size rounded up to whole blocks, then the cut to L
// when L is less than the file's size.
Bytes ModelDecryption(AlgorithmId algorithm, const Bytes& file) {
    std::size_t position = 0;
    auto read = [&](std::uint32_t& word) {
        for (unsigned i = 0; i < 4 && position < file.size(); ++i, ++position) {
            word = (word & ~(0xFFU << (8 * i))) | (std::uint32_t{file[position]} << (8 * i));
        }
    };
    std::uint32_t header[3] = {0, 0, 0};  // length, c0, c1; zeros where the file is too short
    for (auto& word : header) {
        read(word);
    }
    // Every block is chained to the one read before it, so the blocks as read, repeats included,
    // decrypt in plain CBC under the initial words.
    std::uint32_t y[2] = {0, 0};
    Bytes readBlocks;
    for (std::size_t b = 0; b < (file.empty() ? 1 : (file.size() + 7) / 8); ++b) {
        for (auto& word : y) {
            read(word);
            for (unsigned i = 0; i < 4; ++i) {
                readBlocks.push_back(static_cast<std::uint8_t>(word >> (8 * i)));
            }
        }
    }
    Bytes out = ReferenceCbc(false, algorithm, DeriveKeyWords(kPassphrase), header[1], header[2], readBlocks);
    if (header[0] < file.size()) {
        out.resize(header[0]);
    }
    return out;
}

TEST_P(CipherTest, DecryptionOfOddFilesFollowsTheWordReadsAndTheCut) {
    // The partial words past the transfer size straddle a refill of the transfer buffer.
    for (const std::size_t size :
         Sizes(45, {kJobTransferBytes + 3, kJobTransferBytes + 9}, {0, 3, 4, 12, 19, 20, 27, 29})) {
        const auto n = static_cast<std::uint32_t>(size);
        // The length field as the bytes have it (mostly far beyond the size: no cut), one short of
        // the size, the size itself (no cut), and 0.
        for (const auto length : std::initializer_list<std::optional<std::uint32_t>>{std::nullopt, n - 1, n, 0U}) {
            SCOPED_TRACE("size " + std::to_string(size) + " length " + (length ? std::to_string(*length) : "as is"));
            Fixture f(0, GetParam());
            Bytes file = PatternBytes(size, n + 100U);
            // A file shorter than the field gets what fits: its header word reads as zeros past its end.
            for (std::size_t i = 0; length && i < 4 && i < size; ++i) {
                file[i] = static_cast<std::uint8_t>(*length >> (8 * i));
            }
            f.state.choice.chosenPath = f.Path("odd.enc");
            WriteFile(f.state.choice.chosenPath, file);
            // Without the check, which would refuse most of these shapes as cut short.
            ASSERT_EQ(f.Run(true, {std::chrono::milliseconds{0}, 0, false}), JobOutcome::Done);
            const Bytes expected = ModelDecryption(GetParam(), file);
            const Bytes result = ReadFile(f.Path("odd"));
            ASSERT_EQ(result.size(), expected.size());
            ASSERT_TRUE(result == expected);
            EXPECT_EQ(ReadFile(f.state.choice.chosenPath), file);  // the source is only read
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Ciphers, CipherTest, ::testing::Values(AlgorithmId::TripleDes, AlgorithmId::Idea),
                         [](const auto& param) {
                             return std::string(param.param == AlgorithmId::TripleDes ? "TripleDes" : "Idea");
                         });

// A wrong passphrase or the other cipher is refused before anything is written, the other cipher by
// name; where the last block is whole, or without the check, the job ends as done, with as many
// bytes as the source had, but not the source's.
TEST(WrongKeyTest, IsRefusedWhereTheFillTellsAndDecryptsToUnrelatedBytesElsewhere) {
    struct Case {
        AlgorithmId encryptWith;
        AlgorithmId decryptWith;
        std::string passphrase;
        std::size_t size;
        bool verify;
        std::optional<std::string> refusal;  // nothing: the job runs to "Done"
    };
    const std::string otherIsIdea = "This file was encrypted with IDEA, not with 3-DES: choose IDEA and try again.";
    const std::string wrong = "The passphrase or the encryption algorithm is not the one this file was encrypted with: "
                              "check both and try again.";
    const Case cases[] = {
        {AlgorithmId::TripleDes, AlgorithmId::TripleDes, "Correct horse battery staple", 1001, true, wrong},
        {AlgorithmId::Idea, AlgorithmId::Idea, "x", 0, true, wrong},
        {AlgorithmId::Idea, AlgorithmId::TripleDes, kPassphrase, 1007, true, otherIsIdea},
        {AlgorithmId::Idea, AlgorithmId::TripleDes, "x", 1007, true, wrong},
        {AlgorithmId::TripleDes, AlgorithmId::TripleDes, "Correct horse battery staple", 1000, true, std::nullopt},
        {AlgorithmId::TripleDes, AlgorithmId::Idea, kPassphrase, 1001, false, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.passphrase + " " + std::to_string(c.size) + (c.verify ? " verified" : " unverified"));
        Fixture f(c.size, c.encryptWith);
        f.PrepareDecryption();
        f.state.choice.algorithm = c.decryptWith;
        f.state.choice.passphrase = c.passphrase;
        const auto before = f.Snapshot();
        const auto outcome = f.Run(true, {std::chrono::milliseconds{0}, 0, c.verify});
        if (c.refusal) {
            EXPECT_FALSE(outcome.has_value());
            EXPECT_EQ(f.Last().text, *c.refusal);
            EXPECT_EQ(f.Last().title, "Error");
            EXPECT_EQ(f.Snapshot(), before) << "a refusal writes nothing";
            continue;
        }
        ASSERT_EQ(outcome, JobOutcome::Done);
        const Bytes result = ReadFile(f.source);
        ASSERT_EQ(result.size(), f.plain.size());
        EXPECT_NE(result, f.plain);
    }
}

// A container cut short by a stopped copy is refused before anything is written, whatever the key.
TEST(WrongKeyTest, ACutShortContainerIsRefused) {
    for (const std::uint64_t cut : {1U, 7U, 8U, 20U}) {
        Fixture f(5000);
        f.PrepareDecryption();
        std::filesystem::resize_file(f.state.choice.chosenPath, 12 + 8 * 625 - cut);
        const auto before = f.Snapshot();
        EXPECT_FALSE(f.Run(true).has_value());
        EXPECT_EQ(f.Last().text.rfind("The file is shorter than", 0), 0U) << f.Last().text;
        EXPECT_EQ(f.Snapshot(), before);
    }
}

}  // namespace
}  // namespace morvex::test
