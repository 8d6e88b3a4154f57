#include "jobs/ContainerCheck.h"

#include <algorithm>
#include <cstring>

#include "base/ByteOrder.h"
#include "ciphers/IdeaCipher.h"
#include "ciphers/TripleDes.h"
#include "jobs/ContainerFormat.h"
#include "jobs/JobRandom.h"
#include "jobs/JobRandomSearch.h"
#include "base/SecureWipe.h"

namespace morvex {

namespace {

// The smallest container: the header and one block.
constexpr std::uint64_t kSmallestContainer = kContainerHeaderBytes + kBlockBytes;

[[nodiscard]] bool ReadExactly(const PositionalRead& read, std::uint64_t offset, std::span<std::uint8_t> bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const std::optional<std::size_t> got = read(offset + done, bytes.subspan(done));
        if (!got || *got == 0 || *got > bytes.size() - done) {
            return false;
        }
        done += *got;
    }
    return true;
}

// Everything the size and the header tell, without the generator search.
[[nodiscard]] ContainerInspection Measure(const ContainerEnds& ends) {
    ContainerInspection inspection;
    inspection.size = ends.size;
    if (ends.size < kContainerHeaderBytes) {
        return inspection;
    }
    inspection.sourceLength = LoadWord(ends.header.data());
    inspection.blockCount = ContainerBlockCount(inspection.sourceLength);
    inspection.expectedSize = ContainerBytes(inspection.sourceLength);
    const unsigned tail = inspection.sourceLength % kBlockBytes;
    inspection.fillBytes = inspection.sourceLength == 0 ? 8 : tail == 0 ? 0 : 8 - tail;
    inspection.shape = ends.size < kSmallestContainer        ? ContainerShape::TooShort
                       : ends.size < inspection.expectedSize ? ContainerShape::CutShort
                       : ends.size > inspection.expectedSize ? ContainerShape::SizeMismatch
                                                             : ContainerShape::Whole;
    return inspection;
}

[[nodiscard]] std::optional<CheckResult> KeylessVerdictOf(const ContainerInspection& inspection, bool seedFound) {
    switch (inspection.shape) {
        case ContainerShape::TooShort: return CheckResult{CheckVerdict::CannotTell, CannotTellReason::TooShort, 0};
        case ContainerShape::CutShort: return CheckResult{CheckVerdict::CutShort, CannotTellReason::None, 0};
        case ContainerShape::SizeMismatch:
            return CheckResult{CheckVerdict::CannotTell, CannotTellReason::SizeMismatch, 0};
        case ContainerShape::Whole: break;
    }
    if (inspection.fillBytes == 0) {
        return CheckResult{CheckVerdict::CannotTell, CannotTellReason::WholeLastBlock, 0};
    }
    if (!seedFound) {
        return CheckResult{CheckVerdict::CannotTell, CannotTellReason::NoGeneratorState, 0};
    }
    return std::nullopt;
}

template <class Cipher>
void DecryptOne(const KeyWords& keyWords, const std::array<std::uint8_t, 8>& block, std::uint32_t& d0,
                std::uint32_t& d1) {
    const Cipher cipher(keyWords);
    cipher.DecryptBlock(LoadWord(block.data()), LoadWord(block.data() + 4), d0, d1);
}

}  // namespace

std::optional<ContainerEnds> ReadContainerEnds(std::uint64_t size, const PositionalRead& read) {
    ContainerEnds ends;
    ends.size = size;
    if (size < kContainerHeaderBytes) {
        return ends;
    }
    if (!ReadExactly(read, 0, ends.header)) {
        return std::nullopt;
    }
    const std::uint32_t sourceLength = LoadWord(ends.header.data());
    if (size != ContainerBytes(sourceLength)) {
        return ends;
    }
    if (ContainerBlockCount(sourceLength) == 1) {
        std::copy(ends.header.begin() + 4, ends.header.end(), ends.previous.begin());
        if (!ReadExactly(read, kContainerHeaderBytes, ends.last)) {
            return std::nullopt;
        }
    } else {
        std::array<std::uint8_t, 2 * kBlockBytes> tail{};
        if (!ReadExactly(read, size - tail.size(), tail)) {
            return std::nullopt;
        }
        std::copy(tail.begin(), tail.begin() + kBlockBytes, ends.previous.begin());
        std::copy(tail.begin() + kBlockBytes, tail.end(), ends.last.begin());
    }
    ends.hasLastBlocks = true;
    return ends;
}

ContainerEnds ContainerEndsOf(std::span<const std::uint8_t> file) {
    const auto read = [file](std::uint64_t offset, std::span<std::uint8_t> bytes) -> std::optional<std::size_t> {
        if (offset >= file.size()) {
            return 0;
        }
        const std::size_t count = std::min<std::size_t>(bytes.size(), file.size() - static_cast<std::size_t>(offset));
        std::memcpy(bytes.data(), file.data() + offset, count);
        return count;
    };
    // Reads within the file's own size cannot fail.
    return ReadContainerEnds(file.size(), read).value_or(ContainerEnds{});
}

ContainerInspection InspectContainer(const ContainerEnds& ends) {
    ContainerInspection inspection = Measure(ends);
    if (ends.size >= kContainerHeaderBytes) {
        inspection.generatorSeeds = FindJobRandomSeeds(LoadWord(ends.header.data() + 4), LoadWord(ends.header.data() + 8));
    }
    return inspection;
}

std::optional<AlgorithmId> CipherChecks::OnlyVerifying() const {
    const bool desRight = tripleDes.verdict == CheckVerdict::Right;
    if (desRight == (idea.verdict == CheckVerdict::Right)) {
        return std::nullopt;
    }
    return desRight ? AlgorithmId::TripleDes : AlgorithmId::Idea;
}

ContainerCheck::ContainerCheck(const ContainerEnds& ends) : ends_(ends), inspection_(InspectContainer(ends)) {}

std::optional<CheckResult> ContainerCheck::KeylessVerdict() const {
    return KeylessVerdictOf(inspection_, !inspection_.generatorSeeds.empty());
}

CheckResult ContainerCheck::Check(const KeyWords& keyWords, AlgorithmId algorithm) const {
    if (const std::optional<CheckResult> keyless = KeylessVerdict()) {
        return *keyless;
    }
    return CheckFill(ends_, inspection_.generatorSeeds, keyWords, algorithm);
}

CipherChecks ContainerCheck::CheckBothCiphers(const KeyWords& keyWords) const {
    return {Check(keyWords, AlgorithmId::TripleDes), Check(keyWords, AlgorithmId::Idea)};
}

CheckResult CheckContainer(const ContainerEnds& ends, const KeyWords& keyWords, AlgorithmId algorithm) {
    return ContainerCheck(ends).Check(keyWords, algorithm);
}

CheckResult CheckFill(const ContainerEnds& ends, std::span<const std::uint32_t> seeds, const KeyWords& keyWords,
                      AlgorithmId algorithm) {
    const ContainerInspection inspection = Measure(ends);
    if (const std::optional<CheckResult> keyless = KeylessVerdictOf(inspection, !seeds.empty())) {
        return *keyless;
    }
    if (!ends.hasLastBlocks) {  // ends made by hand without the blocks its size asks for
        return {CheckVerdict::CannotTell, CannotTellReason::SizeMismatch, 0};
    }
    std::uint32_t d0 = 0;
    std::uint32_t d1 = 0;
    switch (algorithm) {
        case AlgorithmId::TripleDes: DecryptOne<TripleDes>(keyWords, ends.last, d0, d1); break;
        case AlgorithmId::Idea: DecryptOne<IdeaCipher>(keyWords, ends.last, d0, d1); break;
        case AlgorithmId::None: return {CheckVerdict::CannotTell, CannotTellReason::NoCipher, 0};
    }
    std::array<std::uint8_t, kBlockBytes> plain{};
    StoreWord(plain.data(), d0 ^ LoadWord(ends.previous.data()));
    StoreWord(plain.data() + 4, d1 ^ LoadWord(ends.previous.data() + 4));
    // The fill sits after the source's last bytes; the last block's fill words are drawn after the
    // initial words and the fill of every earlier block, 8 draws each.
    const std::size_t from = kBlockBytes - inspection.fillBytes;
    bool matched = false;
    for (const std::uint32_t seed : seeds) {
        JobRandom random(JobRandomJump(seed, 8 * inspection.blockCount));
        std::array<std::uint8_t, kBlockBytes> fill{};
        StoreWord(fill.data(), random.NextWord());
        StoreWord(fill.data() + 4, random.NextWord());
        if (std::equal(plain.begin() + static_cast<std::ptrdiff_t>(from), plain.end(),
                       fill.begin() + static_cast<std::ptrdiff_t>(from))) {
            matched = true;
            break;
        }
    }
    // The bytes before the fill are the source's last bytes.
    SecureWipe(plain.data(), plain.size());
    SecureWipe(&d0, sizeof d0);
    SecureWipe(&d1, sizeof d1);
    if (!matched) {
        return {CheckVerdict::Wrong, CannotTellReason::None, 0};
    }
    return {CheckVerdict::Right, CannotTellReason::None, 8 * inspection.fillBytes};
}

}  // namespace morvex
