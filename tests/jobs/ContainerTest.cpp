// Whole jobs on real files: containers checked against libgcrypt, round trips, and the decryption
// loop on files that no encryption wrote.

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "jobs/Jobs.h"
#include "keys/PassphraseDigest.h"
#include "tests/jobs/JobTestSupport.h"

namespace morvex::test {
namespace {

constexpr char kPassphrase[] = "correct horse battery staple";

std::string AlgorithmName(AlgorithmId algorithm) {
    return algorithm == AlgorithmId::TripleDes ? "TripleDes" : "Idea";
}

std::vector<std::size_t> SourceSizes() {
    if (kUnderThreadSanitizer) {
        // There the point is the worker protocol; each case is a process of its own and slow to start.
        return {0, 1, 8, 9, 17, 64, 70};
    }
    std::vector<std::size_t> sizes;
    for (std::size_t size = 0; size <= 70; ++size) {
        sizes.push_back(size);
    }
    for (const std::size_t near : {kJobTransferBytes - 12, kJobTransferBytes - 1, kJobTransferBytes,
                                   kJobTransferBytes + 1, kJobTransferBytes + 7}) {
        sizes.push_back(near);
    }
    sizes.push_back(3 * kJobTransferBytes + 333);
    return sizes;
}

std::uint32_t Word(const Bytes& bytes, std::size_t at) {
    return std::uint32_t{bytes[at]} | std::uint32_t{bytes[at + 1]} << 8 | std::uint32_t{bytes[at + 2]} << 16 |
           std::uint32_t{bytes[at + 3]} << 24;
}

class ContainerTest : public ::testing::TestWithParam<std::tuple<AlgorithmId, std::size_t>> {};

// The container for a fixed clock is exactly libgcrypt's CBC over the same blocks, and decrypting it
// gives back the source's exact bytes and length.
TEST_P(ContainerTest, MatchesIndependentConstructionAndRoundTrips) {
    const auto [algorithm, size] = GetParam();
    TempDir dir;
    const std::string source = dir.Path("data.bin");
    const Bytes plain = PatternBytes(size, static_cast<std::uint32_t>(size) * 31U + 5U);
    WriteFile(source, plain);

    TestPlatform platform;
    platform.now = 0x1'2345'6789ULL;  // only the low 32 bits seed the generator
    RecordingFrontEnd frontEnd;
    JobState state;
    state.algorithm = algorithm;
    state.chosenPath = source;
    state.passphrase = kPassphrase;
    state.retype = kPassphrase;
    ASSERT_EQ(RunRequest(false, state, frontEnd, platform), JobOutcome::Done);

    const Bytes container = ReadFile(source + ".enc");
    const std::size_t blocks = size == 0 ? 1 : (size + 7) / 8;
    ASSERT_EQ(container.size(), 12 + 8 * blocks);
    EXPECT_EQ(Word(container, 0), size);
    const Bytes expected = ReferenceContainer(algorithm, DeriveKeyWords(kPassphrase), 0x23456789U, plain);
    ASSERT_TRUE(container == expected) << "container differs from the reference";

    ASSERT_TRUE(NativePlatform().RemoveFile(source));
    state.chosenPath = source + ".enc";
    state.retype.clear();  // decryption needs the passphrase once
    ASSERT_EQ(RunRequest(true, state, frontEnd, platform), JobOutcome::Done);
    ASSERT_TRUE(ReadFile(source) == plain) << "round trip differs";
    EXPECT_EQ(frontEnd.messages.back().text, "     Done     ");
}

INSTANTIATE_TEST_SUITE_P(Sizes, ContainerTest,
                         ::testing::Combine(::testing::Values(AlgorithmId::TripleDes, AlgorithmId::Idea),
                                            ::testing::ValuesIn(SourceSizes())),
                         [](const auto& param) {
                             return AlgorithmName(std::get<0>(param.param)) + "_" +
                                    std::to_string(std::get<1>(param.param));
                         });

class WrongKeyTest : public ::testing::TestWithParam<std::tuple<AlgorithmId, AlgorithmId, std::string>> {};

// Nothing in a container reveals a wrong key: the job ends as done, with L bytes of other data.
TEST_P(WrongKeyTest, DecryptionReportsDoneWithUnrelatedBytesOfTheSourceLength) {
    const auto [encryptWith, decryptWith, passphrase] = GetParam();
    TempDir dir;
    const std::string source = dir.Path("letter.txt");
    const Bytes plain = PatternBytes(1000, 9);
    WriteFile(source, plain);
    TestPlatform platform;
    RecordingFrontEnd frontEnd;
    JobState state;
    state.algorithm = encryptWith;
    state.chosenPath = source;
    state.passphrase = kPassphrase;
    state.retype = kPassphrase;
    ASSERT_EQ(RunRequest(false, state, frontEnd, platform), JobOutcome::Done);
    ASSERT_TRUE(NativePlatform().RemoveFile(source));

    state.algorithm = decryptWith;
    state.passphrase = passphrase;
    state.chosenPath = source + ".enc";
    ASSERT_EQ(RunRequest(true, state, frontEnd, platform), JobOutcome::Done);
    EXPECT_EQ(frontEnd.messages.back().text, "     Done     ");
    EXPECT_EQ(frontEnd.messages.back().title, "Done");
    const Bytes result = ReadFile(source);
    ASSERT_EQ(result.size(), plain.size());
    EXPECT_NE(result, plain);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, WrongKeyTest,
    ::testing::Values(std::make_tuple(AlgorithmId::TripleDes, AlgorithmId::TripleDes, std::string("Correct horse battery staple")),
                      std::make_tuple(AlgorithmId::Idea, AlgorithmId::Idea, std::string("x")),
                      std::make_tuple(AlgorithmId::TripleDes, AlgorithmId::Idea, std::string(kPassphrase)),
                      std::make_tuple(AlgorithmId::Idea, AlgorithmId::TripleDes, std::string(kPassphrase))));

// The decryption loop read the way the job reads: 4-byte reads that keep a word's old bytes where
// the file has none, blocks up to the file's size rounded up to whole blocks, then the cut to L
// when L is less than the file's size.
Bytes ModelDecryption(AlgorithmId algorithm, const KeyWords& keyWords, const Bytes& file) {
    std::size_t position = 0;
    auto read = [&](std::uint32_t& word) {
        for (unsigned i = 0; i < 4 && position < file.size(); ++i, ++position) {
            word = (word & ~(0xFFU << (8 * i))) | (std::uint32_t{file[position]} << (8 * i));
        }
    };
    std::uint32_t length = 0;
    std::uint32_t c0 = 0;
    std::uint32_t c1 = 0;
    read(length);
    read(c0);
    read(c1);
    std::uint32_t y0 = 0;
    std::uint32_t y1 = 0;
    const std::size_t blocks = file.empty() ? 1 : (file.size() + 7) / 8;
    // Every block is chained to the one read before it, so the blocks as read, repeats included,
    // decrypt in plain CBC under the initial words.
    Bytes readBlocks;
    for (std::size_t b = 0; b < blocks; ++b) {
        read(y0);
        read(y1);
        for (const std::uint32_t word : {y0, y1}) {
            for (unsigned i = 0; i < 4; ++i) {
                readBlocks.push_back(static_cast<std::uint8_t>(word >> (8 * i)));
            }
        }
    }
    Bytes out = ReferenceCbcDecrypt(algorithm, keyWords, c0, c1, readBlocks);
    if (length < file.size()) {
        out.resize(length);
    }
    return out;
}

enum class LengthField {
    AsWritten,   // whatever the bytes say: mostly far beyond the size, so nothing is cut
    SizeLess1,   // the cut keeps all but one byte of the blocks produced
    Size,        // not less than the size: no cut
    Zero,
};

class OddContainerTest : public ::testing::TestWithParam<std::tuple<AlgorithmId, std::size_t, LengthField>> {};

TEST_P(OddContainerTest, DecryptionFollowsTheWordReadsAndTheCut) {
    const auto [algorithm, size, lengthField] = GetParam();
    Bytes file = PatternBytes(size, static_cast<std::uint32_t>(size) + 100U);
    if (size >= 4 && lengthField != LengthField::AsWritten) {
        const std::uint32_t length = lengthField == LengthField::SizeLess1 ? static_cast<std::uint32_t>(size - 1)
                                     : lengthField == LengthField::Size    ? static_cast<std::uint32_t>(size)
                                                                           : 0U;
        for (unsigned i = 0; i < 4; ++i) {
            file[i] = static_cast<std::uint8_t>(length >> (8 * i));
        }
    }
    TempDir dir;
    const std::string container = dir.Path("odd.enc");
    WriteFile(container, file);
    TestPlatform platform;
    RecordingFrontEnd frontEnd;
    JobState state;
    state.algorithm = algorithm;
    state.chosenPath = container;
    state.passphrase = kPassphrase;
    ASSERT_EQ(RunRequest(true, state, frontEnd, platform), JobOutcome::Done);
    const Bytes expected = ModelDecryption(algorithm, DeriveKeyWords(kPassphrase), file);
    const Bytes result = ReadFile(dir.Path("odd"));
    ASSERT_EQ(result.size(), expected.size());
    ASSERT_TRUE(result == expected);
    EXPECT_EQ(ReadFile(container), file);  // the source is only read
}

std::vector<std::size_t> OddSizes() {
    if (kUnderThreadSanitizer) {
        return {0, 3, 4, 12, 19, 20, 27, 29};
    }
    std::vector<std::size_t> sizes;
    for (std::size_t size = 0; size <= 45; ++size) {
        sizes.push_back(size);
    }
    // A final partial word that straddles a refill of the transfer buffer.
    sizes.push_back(kJobTransferBytes + 3);
    sizes.push_back(kJobTransferBytes + 9);
    return sizes;
}

INSTANTIATE_TEST_SUITE_P(Files, OddContainerTest,
                         ::testing::Combine(::testing::Values(AlgorithmId::TripleDes, AlgorithmId::Idea),
                                            ::testing::ValuesIn(OddSizes()),
                                            ::testing::Values(LengthField::AsWritten, LengthField::SizeLess1,
                                                              LengthField::Size, LengthField::Zero)));

}  // namespace
}  // namespace morvex::test
