// The container check against containers from the tests' own writer (its own generator and
// libgcrypt's CBC), and the generator search over all 2^24 states.

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

#include "jobs/ContainerCheck.h"
#include "jobs/JobRandom.h"
#include "jobs/JobRandomSearch.h"
#include "jobs/KeySearch.h"
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

[[nodiscard]] AlgorithmId Other(AlgorithmId algorithm) {
    return algorithm == AlgorithmId::Idea ? AlgorithmId::TripleDes : AlgorithmId::Idea;
}

const KeyWords kRight = DeriveKeyWords(kPassphrase);
const KeyWords kWrong = DeriveKeyWords("correct horse battery stapler");

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
    std::vector<std::uint8_t> seen(std::size_t{1} << 24);
    std::size_t listed = 0;
    std::vector<std::uint32_t> states;
    for (unsigned first = 0; first < 256; ++first) {
        for (unsigned second = 0; second < 256; ++second) {
            StatesShowing(static_cast<std::uint8_t>(first), static_cast<std::uint8_t>(second), states);
            for (const std::uint32_t state : states) {
                const std::uint32_t afterFirst = Step(state);
                if (state > kMask || Shown(afterFirst) != first || Shown(Step(afterFirst)) != second || seen[state] != 0) {
                    FAIL() << "state " << state << " listed for " << first << ", " << second;
                }
                seen[state] = 1;
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

// Right, a wrong passphrase and the other cipher at every L mod 8, L = 0 and large L.
TEST(ContainerCheckTest, TellsTheRightKeyAndCipherFromWrongOnesAtEveryLength) {
    for (const AlgorithmId algorithm : {AlgorithmId::TripleDes, AlgorithmId::Idea}) {
        for (const std::size_t length : std::initializer_list<std::size_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 1000, 4099,
                                         (1 << 20) + 3}) {
            SCOPED_TRACE(testing::Message() << static_cast<int>(algorithm) << " L " << length);
            const std::uint32_t seed = kSeed + static_cast<std::uint32_t>(length);
            const Bytes container = ReferenceContainer(algorithm, kRight, seed, PatternBytes(length, 9));
            const ContainerCheck check(ContainerEndsOf(container));
            const unsigned fill = length == 0 ? 8 : (8 - length % 8) % 8;
            EXPECT_EQ(check.Inspection().shape, ContainerShape::Whole);
            EXPECT_EQ(check.Inspection().fillBytes, fill);
            EXPECT_EQ(check.Inspection().generatorSeeds, std::vector<std::uint32_t>{seed & kMask});
            if (fill == 0) {
                const CheckResult cannot{CheckVerdict::CannotTell, CannotTellReason::WholeLastBlock, 0};
                EXPECT_EQ(check.Check(kRight, algorithm), cannot);
                EXPECT_EQ(check.Check(kWrong, algorithm), cannot);
                continue;
            }
            EXPECT_EQ(check.Check(kRight, algorithm), (CheckResult{CheckVerdict::Right, CannotTellReason::None, 8 * fill}));
            EXPECT_EQ(check.Check(kWrong, algorithm).verdict, CheckVerdict::Wrong);
            EXPECT_EQ(check.Check(kRight, Other(algorithm)).verdict, CheckVerdict::Wrong);
            EXPECT_EQ(check.CheckBothCiphers(kRight).OnlyVerifying(), algorithm);
            EXPECT_EQ(check.Check(kRight, AlgorithmId::None).reason, CannotTellReason::NoCipher);
        }
    }
}

// What holds whatever the key: cut short by bytes and by whole blocks, extended, too short, initial
// words no generator state makes, and a length field that leaves the last block whole.
TEST(ContainerCheckTest, VerdictsThatHoldWhateverTheKey) {
    const Bytes whole = ReferenceContainer(AlgorithmId::Idea, kRight, kSeed, PatternBytes(100, 4));  // 116 bytes
    const Bytes empty = ReferenceContainer(AlgorithmId::Idea, kRight, kSeed, {});                    // 20 bytes
    const auto cut = [](const Bytes& file, std::size_t bytes) { return Bytes(file.begin(), file.end() - static_cast<std::ptrdiff_t>(bytes)); };
    const CheckResult cutShort{CheckVerdict::CutShort, CannotTellReason::None, 0};
    const auto cannot = [](CannotTellReason reason) { return CheckResult{CheckVerdict::CannotTell, reason, 0}; };
    std::vector<std::tuple<std::string, Bytes, CheckResult>> cases;
    for (std::size_t bytes = 1; bytes <= 20; ++bytes) {
        cases.emplace_back("cut by " + std::to_string(bytes), cut(whole, bytes), cutShort);
        cases.emplace_back("empty source cut by " + std::to_string(bytes), cut(empty, bytes),
                           cannot(CannotTellReason::TooShort));
    }
    cases.emplace_back("cut by 12 blocks", cut(whole, 96), cutShort);
    for (const std::size_t extra : std::initializer_list<std::size_t>{1, 4, 8, 16}) {
        Bytes extended = whole;
        extended.resize(whole.size() + extra, 0x5A);
        cases.emplace_back("extended by " + std::to_string(extra), extended, cannot(CannotTellReason::SizeMismatch));
    }
    Bytes otherWords = whole;
    otherWords[9] ^= 0x40;
    cases.emplace_back("initial words altered", otherWords, cannot(CannotTellReason::NoGeneratorState));
    Bytes wholeBlock = whole;
    wholeBlock[0] = 104;  // the same 13 blocks, the last one now all source
    cases.emplace_back("L = 104", wholeBlock, cannot(CannotTellReason::WholeLastBlock));
    for (const auto& [what, file, expected] : cases) {
        SCOPED_TRACE(what);
        const ContainerCheck check(ContainerEndsOf(file));
        EXPECT_EQ(check.KeylessVerdict(), expected);
        EXPECT_EQ(check.Check(kRight, AlgorithmId::Idea), expected);
        EXPECT_EQ(check.Inspection().size, file.size());
        if (file.size() >= 12 && expected.reason != CannotTellReason::NoGeneratorState) {
            EXPECT_EQ(check.Inspection().generatorSeeds.size(), 1U) << "the header alone shows the generator";
        }
    }
    const ContainerInspection shortOne = InspectContainer(ContainerEndsOf(cut(whole, 9)));
    EXPECT_EQ(shortOne.sourceLength, 100U);
    EXPECT_EQ(shortOne.blockCount, 13U);
    EXPECT_EQ(shortOne.expectedSize, 116U);
    EXPECT_EQ(shortOne.shape, ContainerShape::CutShort);
}

class PositionalFile {
public:
    virtual ~PositionalFile() = default;
    [[nodiscard]] virtual std::optional<std::size_t> ReadAt(std::uint64_t offset, std::span<std::uint8_t> bytes) = 0;
};

class MemoryFile final : public PositionalFile {
public:
    explicit MemoryFile(Bytes bytes) : bytes_(std::move(bytes)) {}
    std::optional<std::size_t> ReadAt(std::uint64_t offset, std::span<std::uint8_t> bytes) override {
        reads.emplace_back(offset, bytes.size());
        if (offset >= bytes_.size()) {
            return 0;
        }
        const std::size_t count = std::min<std::size_t>(bytes.size(), bytes_.size() - offset);
        std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), count, bytes.begin());
        return count;
    }
    std::vector<std::pair<std::uint64_t, std::size_t>> reads;

private:
    Bytes bytes_;
};

// Only the header and the last two blocks are read, also past 4 GiB. There the last block of
// L = 2^32 - 7 is block 2^29, whose fill lies 2^32 draws on, a whole period: it is the initial
// words' bytes again.
TEST(ContainerCheckTest, ReadsOnlyTheHeaderAndTheLastTwoBlocks) {
    for (const AlgorithmId algorithm : {AlgorithmId::TripleDes, AlgorithmId::Idea}) {
        const Bytes start = ReferenceContainer(algorithm, kRight, kSeed, {});
        Bytes header(start.begin(), start.begin() + 12);
        header[0] = 0xF9;  // L = 0xFFFFFFF9
        header[1] = header[2] = header[3] = 0xFF;
        const Bytes previous = PatternBytes(8, 3);
        Bytes plain(start.begin() + 4, start.begin() + 12);
        plain[0] = 0x5A;  // the source's last byte
        Bytes tail = previous;
        const Bytes last = ReferenceCbc(true, algorithm, kRight, Word(previous, 0), Word(previous, 4), plain);
        tail.insert(tail.end(), last.begin(), last.end());
        const std::uint64_t size = 12 + (std::uint64_t{1} << 32);

        std::vector<std::pair<std::uint64_t, std::size_t>> reads;
        const auto fileAt = [&](std::uint64_t offset) -> std::uint8_t {
            return offset < 12 ? header[offset] : offset >= size - 16 ? tail[offset - (size - 16)] : 0;
        };
        std::size_t most = 64;  // the most bytes one read gives
        const PositionalRead read = [&](std::uint64_t offset, std::span<std::uint8_t> bytes) -> std::optional<std::size_t> {
            reads.emplace_back(offset, bytes.size());
            const std::size_t count = std::min(bytes.size(), most);
            for (std::size_t i = 0; i < count; ++i) {
                bytes[i] = fileAt(offset + i);
            }
            return count;
        };
        const std::optional<ContainerEnds> ends = ReadContainerEnds(size, read);
        ASSERT_TRUE(ends.has_value());
        EXPECT_EQ(reads, (std::vector<std::pair<std::uint64_t, std::size_t>>{{0, 12}, {size - 16, 16}}));
        EXPECT_EQ(CheckContainer(*ends, kRight, algorithm), (CheckResult{CheckVerdict::Right, CannotTellReason::None, 56}));
        EXPECT_EQ(CheckContainer(*ends, kRight, Other(algorithm)).verdict, CheckVerdict::Wrong);

        most = 1;  // short reads are taken up again
        const std::optional<ContainerEnds> piecemeal = ReadContainerEnds(size, read);
        ASSERT_TRUE(piecemeal.has_value());
        EXPECT_EQ(piecemeal->last, ends->last);
        EXPECT_EQ(piecemeal->previous, ends->previous);
    }
    // One block: its chain is the initial value, and nothing but the block is read after the header.
    // The file is read through a virtual ReadAt, as the platform's files will offer it.
    const Bytes small = ReferenceContainer(AlgorithmId::Idea, kRight, kSeed, PatternBytes(5, 1));
    MemoryFile file(small);
    PositionalFile& source = file;
    const std::optional<ContainerEnds> ends = ReadContainerEnds(small.size(), source);
    ASSERT_TRUE(ends.has_value());
    EXPECT_EQ(file.reads, (std::vector<std::pair<std::uint64_t, std::size_t>>{{0, 12}, {12, 8}}));
    EXPECT_EQ(CheckContainer(*ends, kRight, AlgorithmId::Idea).verdict, CheckVerdict::Right);
    // A failed read, or a file that ends before its size, gives nothing to check.
    for (const std::optional<std::size_t> answer : {std::optional<std::size_t>{}, std::optional<std::size_t>{0}}) {
        const PositionalRead failing = [answer](std::uint64_t, std::span<std::uint8_t>) { return answer; };
        EXPECT_FALSE(ReadContainerEnds(small.size(), failing).has_value());
    }
}

// With several candidate seeds the key is right when any seed predicts the fill, wrong when none does.
TEST(ContainerCheckTest, SeveralSeedsVerifyWhenAnyOfThemPredictsTheFill) {
    const ContainerEnds ends = ContainerEndsOf(ReferenceContainer(AlgorithmId::Idea, kRight, kSeed, PatternBytes(3, 2)));
    const std::uint32_t right = kSeed & kMask;
    const std::uint32_t wrong = right ^ 0x10000U;
    const CheckResult verified{CheckVerdict::Right, CannotTellReason::None, 40};
    const CheckResult refuted{CheckVerdict::Wrong, CannotTellReason::None, 0};
    const std::vector<std::tuple<std::vector<std::uint32_t>, KeyWords, CheckResult>> cases{
        {{}, kRight, {CheckVerdict::CannotTell, CannotTellReason::NoGeneratorState, 0}},
        {{wrong}, kRight, refuted},
        {{wrong, right}, kRight, verified},
        {{right, wrong}, kRight, verified},
        {{wrong, right}, kWrong, refuted},
    };
    for (const auto& [seeds, keyWords, expected] : cases) {
        EXPECT_EQ(CheckFill(ends, seeds, keyWords, AlgorithmId::Idea), expected) << seeds.size() << " seeds";
    }
}

// The search starts from what the user chose and finds the byte form and cipher a container was
// made with: a non-ASCII passphrase made in Windows-1252 on the home platform and typed here as
// UTF-8, one made in UTF-8 by an earlier front end, one in Windows-1250, the other cipher.
TEST(KeySearchTest, FindsTheByteFormAndCipherAContainerWasMadeWith) {
    const std::string mueller = "M\xC3\xBCller";
    const std::string lodz = "\xC5\x81\xC3\xB3" "d\xC5\xBA";
    struct Case {
        std::string what;
        std::string madeWith;
        AlgorithmId madeBy;
        std::string typed;
        PassphraseInputKind kind;
        std::vector<AlgorithmId> ciphers;
        CheckVerdict asChosen;
        std::optional<std::pair<AlgorithmId, PassphraseEncoding>> found;
        unsigned trials;
    };
    constexpr auto kText = PassphraseInputKind::Text;
    constexpr auto kBytes = PassphraseInputKind::ExactBytes;
    constexpr auto kDes = AlgorithmId::TripleDes;
    constexpr auto kIdea = AlgorithmId::Idea;
    const std::vector<Case> cases{
        {"home platform", "M\xFCller", kIdea, mueller, kText, {kIdea, kDes}, CheckVerdict::Right,
         {{kIdea, PassphraseEncoding::Windows1252}}, 1},
        {"earlier front end", mueller, kIdea, mueller, kText, {kIdea, kDes}, CheckVerdict::Wrong,
         {{kIdea, PassphraseEncoding::Utf8}}, 3},
        {"Windows-1250", "\xA3\xF3" "d\x9F", kDes, lodz, kText, {kDes, kIdea}, CheckVerdict::Wrong,
         {{kDes, PassphraseEncoding::Windows1250}}, 3},
        {"other cipher", "M\xFCller", kDes, mueller, kText, {kIdea, kDes}, CheckVerdict::Wrong,
         {{kDes, PassphraseEncoding::Windows1252}}, 2},
        {"no UTF-8, as it stands", "M\xFCller", kIdea, "M\xFCller", kText, {kIdea}, CheckVerdict::Right,
         {{kIdea, PassphraseEncoding::AsGiven}}, 1},
        {"bytes as given are not recoded", "M\xFCller", kIdea, mueller, kBytes, {kIdea, kDes}, CheckVerdict::Wrong,
         std::nullopt, 2},
        {"wrong passphrase", "M\xFCller", kIdea, "Mueller", kText, {kIdea, kDes}, CheckVerdict::Wrong, std::nullopt, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes container = ReferenceContainer(c.madeBy, DeriveKeyWords(c.madeWith), kSeed, PatternBytes(3, 8));
        const ContainerCheck check(ContainerEndsOf(container));
        const KeySearchResult search = SearchVerifyingKey(check, c.typed, c.kind, c.ciphers);
        EXPECT_EQ(search.asChosen.verdict, c.asChosen);
        EXPECT_EQ(search.trials, c.trials);
        ASSERT_EQ(search.verifying.has_value(), c.found.has_value());
        if (search.verifying) {
            EXPECT_EQ(search.verifying->algorithm, c.found->first);
            EXPECT_EQ(search.verifying->form.encoding, c.found->second);
            EXPECT_EQ(search.verifying->form.bytes, c.madeWith);
            EXPECT_EQ(search.verifying->result.evidenceBits, 40U);
        }
    }
    // A verdict that holds for every key ends the search before any key is tried.
    Bytes cutShort = ReferenceContainer(kIdea, kRight, kSeed, PatternBytes(30, 8));
    cutShort.pop_back();
    const KeySearchResult search = SearchVerifyingKey(ContainerCheck(ContainerEndsOf(cutShort)), kPassphrase, kText,
                                                      std::vector{kIdea, kDes});
    EXPECT_EQ(search.asChosen.verdict, CheckVerdict::CutShort);
    EXPECT_EQ(search.trials, 0U);
    EXPECT_FALSE(search.verifying.has_value());
}

}  // namespace
}  // namespace morvex::test
