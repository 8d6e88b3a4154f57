#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "jobs/AlgorithmId.h"
#include "base/KeyWords.h"

namespace morvex {

// Telling, before a decryption starts, whether a key and cipher are right for a container, whether
// the container is whole, and what it shows without any key; no byte of the format changes.
//
// The initial words are JobRandom output in clear, and the same generator's fill bytes sit in the
// last block unless the source filled it (L a positive multiple of 8). From the initial words the
// generator's state is found (JobRandomSearch.h), from it the fill of the last block follows, and
// decrypting that one block under the key shows whether its fill is the predicted one: 8 bits of
// evidence per fill byte that the key and cipher are right, and certainty that they are wrong for
// a whole, unaltered container if any fill byte differs.

// The few bytes of a container that all of this reads.
struct ContainerEnds {
    std::uint64_t size = 0;
    std::array<std::uint8_t, 12> header{};  // the first 12 bytes, when the file has them
    // Read only when the size is exactly 12 + 8 x N for the header's L.
    bool hasLastBlocks = false;
    std::array<std::uint8_t, 8> previous{};  // block N - 1, or the initial value when N = 1
    std::array<std::uint8_t, 8> last{};      // block N
};

// Reads bytes.size() bytes at offset or fewer; 0 at the end of the file; nothing on failure.
using PositionalRead = std::function<std::optional<std::size_t>(std::uint64_t offset, std::span<std::uint8_t> bytes)>;

template <class Source>
concept PositionalSource = requires(Source& source, std::uint64_t offset, std::span<std::uint8_t> bytes) {
    { source.ReadAt(offset, bytes) } -> std::convertible_to<std::optional<std::size_t>>;
};

// Reads the header and, when the size fits the header's L, the last block and the one before it
// (two reads, 12 and at most 16 bytes). Nothing if a read fails or the file ends before its size.
[[nodiscard]] std::optional<ContainerEnds> ReadContainerEnds(std::uint64_t size, const PositionalRead& read);

// The same through a source's own ReadAt, such as the platform's open files.
template <PositionalSource Source>
[[nodiscard]] std::optional<ContainerEnds> ReadContainerEnds(std::uint64_t size, Source& source) {
    return ReadContainerEnds(size, PositionalRead([&source](std::uint64_t offset, std::span<std::uint8_t> bytes) {
                                 return std::optional<std::size_t>(source.ReadAt(offset, bytes));
                             }));
}

// The same bytes of a file held whole in memory.
[[nodiscard]] ContainerEnds ContainerEndsOf(std::span<const std::uint8_t> file);

enum class ContainerShape : std::uint8_t {
    TooShort,      // under 20 bytes, the smallest container: no container, or too little of one to say
    Whole,         // exactly 12 + 8 x N bytes for its L
    CutShort,      // fewer: its decryption would end in garbage
    SizeMismatch,  // more than 12 + 8 x N (extended), or not the size of any container
};

// What a container shows without a passphrase.
struct ContainerInspection {
    std::uint64_t size = 0;
    ContainerShape shape = ContainerShape::TooShort;
    std::uint32_t sourceLength = 0;  // L; these three only when the file has a header
    std::uint64_t blockCount = 0;    // N = L / 8 rounded up, at least 1
    std::uint64_t expectedSize = 0;  // 12 + 8 x N
    // The fill bytes of the last block, each of which vouches for a key: 8 for L = 0, otherwise
    // 8 - L mod 8, and none when L is a positive multiple of 8.
    unsigned fillBytes = 0;
    // The 24-bit generator seeds that give the initial words (JobRandomSearch.h).
    std::vector<std::uint32_t> generatorSeeds;
};

[[nodiscard]] ContainerInspection InspectContainer(const ContainerEnds& ends);

enum class CheckVerdict : std::uint8_t {
    Right,       // the fill is the predicted one: evidenceBits bits of evidence
    Wrong,       // certainly the wrong passphrase or cipher, unless the container was altered
    CutShort,    // the file is shorter than its L says; no key would decrypt it whole
    CannotTell,  // see reason; the decryption may go ahead as it always did
};

enum class CannotTellReason : std::uint8_t {
    None,
    TooShort,          // the file is under 20 bytes
    SizeMismatch,      // its size is not 12 + 8 x N for its L, for instance extended
    WholeLastBlock,    // L is a positive multiple of 8: no fill survives
    NoGeneratorState,  // no JobRandom state gives the initial words: written by other software
    NoCipher,          // no cipher was named
};

struct CheckResult {
    CheckVerdict verdict = CheckVerdict::CannotTell;
    CannotTellReason reason = CannotTellReason::None;  // for CannotTell
    unsigned evidenceBits = 0;                         // for Right: 8 per fill byte

    friend bool operator==(const CheckResult&, const CheckResult&) = default;
};

// The verdicts of one key under each cipher, so that a caller can say "the other cipher verifies".
struct CipherChecks {
    CheckResult tripleDes;
    CheckResult idea;

    [[nodiscard]] const CheckResult& Of(AlgorithmId algorithm) const {
        return algorithm == AlgorithmId::Idea ? idea : tripleDes;
    }
    // The cipher the key is right for, when it is right for exactly one.
    [[nodiscard]] std::optional<AlgorithmId> OnlyVerifying() const;
};

// One container's check: inspects it once (the generator search runs here, in microseconds), then
// tells any number of keys apart at the cost of one key schedule and one block each.
class ContainerCheck {
public:
    explicit ContainerCheck(const ContainerEnds& ends);

    [[nodiscard]] const ContainerInspection& Inspection() const { return inspection_; }

    // The verdict that holds whatever the key, tested in this order: too short, cut short, size
    // mismatch, whole last block, no generator state. Nothing when a key can be told right or wrong.
    [[nodiscard]] std::optional<CheckResult> KeylessVerdict() const;

    // algorithm is TripleDes or Idea; None gives CannotTell, NoCipher.
    [[nodiscard]] CheckResult Check(const KeyWords& keyWords, AlgorithmId algorithm) const;
    [[nodiscard]] CipherChecks CheckBothCiphers(const KeyWords& keyWords) const;

private:
    ContainerEnds ends_;
    ContainerInspection inspection_;
};

// The check of one key in one call.
[[nodiscard]] CheckResult CheckContainer(const ContainerEnds& ends, const KeyWords& keyWords, AlgorithmId algorithm);

// The step under all of it: decrypts the last block under the key and compares its fill with the
// prediction of each seed. Right if the fill matches any seed's prediction, Wrong if it matches none;
// CannotTell when there is nothing to compare (no last blocks, no fill, no seed, no cipher).
[[nodiscard]] CheckResult CheckFill(const ContainerEnds& ends, std::span<const std::uint32_t> seeds,
                                    const KeyWords& keyWords, AlgorithmId algorithm);

}  // namespace morvex
