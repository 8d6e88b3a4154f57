// The check of a passphrase and cipher before a decryption, on container files on disk: one of 1 KiB
// and a sparse one past 4 GiB, read through pread. Each pass opens the file, takes its size, reads
// what the check reads, runs the generator search, derives the key words and decrypts one block.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ciphers/IdeaCipher.h"
#include "ciphers/TripleDes.h"
#include "jobs/Cbc.h"
#include "jobs/ContainerCheck.h"
#include "jobs/ContainerFormat.h"
#include "jobs/JobRandom.h"
#include "jobs/JobRandomSearch.h"
#include "jobs/KeySearch.h"
#include "keys/PassphraseDigest.h"

namespace morvex {
namespace {

constexpr char kPassphrase[] = "M\xFCller and a few more words";  // as the home platform gives it
constexpr char kTyped[] = "M\xC3\xBCller and a few more words";   // as a front end here gets it
constexpr std::uint32_t kSeed = 1700000000U;
constexpr double kMinSeconds = 0.3;

using Bytes = std::vector<std::uint8_t>;

void PutWord(Bytes& bytes, std::uint32_t word) {
    for (int i = 0; i < 4; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(word >> (8 * i)));
    }
}

// Encrypts whole blocks in place under the chain.
void Encrypt(AlgorithmId algorithm, ChainWords chain, Bytes& blocks) {
    const KeyWords keyWords = DeriveKeyWords(kPassphrase);
    if (algorithm == AlgorithmId::Idea) {
        CbcEncrypt(IdeaCipher(keyWords), chain, blocks.data(), blocks.data(), blocks.size() / kBlockBytes);
    } else {
        CbcEncrypt(TripleDes(keyWords), chain, blocks.data(), blocks.data(), blocks.size() / kBlockBytes);
    }
}

// A container file, removed again when the benchmark ends.
class ContainerFile {
public:
    ContainerFile() {
        char name[] = "/tmp/morvex-check-bench-XXXXXX";
        descriptor_ = mkstemp(name);
        path_ = name;
    }
    ~ContainerFile() {
        if (descriptor_ >= 0) {
            close(descriptor_);
            unlink(path_.c_str());
        }
    }
    ContainerFile(const ContainerFile&) = delete;
    ContainerFile& operator=(const ContainerFile&) = delete;

    [[nodiscard]] bool Write(std::uint64_t offset, const Bytes& bytes) const {
        return descriptor_ >= 0 &&
               pwrite(descriptor_, bytes.data(), bytes.size(), static_cast<off_t>(offset)) ==
                   static_cast<ssize_t>(bytes.size());
    }
    [[nodiscard]] bool Truncate(std::uint64_t size) const {
        return descriptor_ >= 0 && ftruncate(descriptor_, static_cast<off_t>(size)) == 0;
    }
    [[nodiscard]] const std::string& Path() const { return path_; }

private:
    int descriptor_ = -1;
    std::string path_;
};

// A whole container of a source of the given length, written as an encryption job writes it.
[[nodiscard]] bool WriteSmallContainer(const ContainerFile& file, AlgorithmId algorithm, std::uint32_t length) {
    JobRandom random(kSeed);
    Bytes container;
    PutWord(container, length);
    const std::uint32_t iv0 = random.NextWord();
    const std::uint32_t iv1 = random.NextWord();
    PutWord(container, iv0);
    PutWord(container, iv1);
    Bytes blocks;
    for (std::uint64_t i = 0; i < ContainerBlockCount(length); ++i) {
        PutWord(blocks, random.NextWord());
        PutWord(blocks, random.NextWord());
    }
    for (std::uint32_t i = 0; i < length; ++i) {
        blocks[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    Encrypt(algorithm, {iv0, iv1}, blocks);
    container.insert(container.end(), blocks.begin(), blocks.end());
    return file.Write(0, container);
}

// L = 2^32 - 7: 2^29 blocks, 4 GiB and 12 bytes, all of them holes but the header and the last
// block, whose chain is therefore the all-zero block before it.
[[nodiscard]] bool WriteSparseContainer(const ContainerFile& file, AlgorithmId algorithm) {
    constexpr std::uint32_t kLength = 0xFFFFFFF9U;
    const std::uint64_t blockCount = ContainerBlockCount(kLength);
    const std::uint64_t size = ContainerBytes(kLength);
    JobRandom random(kSeed);
    Bytes header;
    PutWord(header, kLength);
    PutWord(header, random.NextWord());
    PutWord(header, random.NextWord());
    JobRandom fill(JobRandomJump(kSeed, 8 * blockCount));
    Bytes last;
    PutWord(last, fill.NextWord());
    PutWord(last, fill.NextWord());
    last[0] = 0x5A;  // the source's one byte in the last block
    Encrypt(algorithm, {0, 0}, last);
    return file.Truncate(size) && file.Write(0, header) && file.Write(size - kBlockBytes, last);
}

// Opens the file and checks the key words of the rule's bytes; the verdict must be Right.
[[nodiscard]] CheckResult CheckOnDisk(const std::string& path, std::string_view typed, AlgorithmId algorithm) {
    const int descriptor = open(path.c_str(), O_RDONLY);
    struct stat status {};
    std::optional<ContainerEnds> ends;
    if (descriptor >= 0 && fstat(descriptor, &status) == 0) {
        ends = ReadContainerEnds(static_cast<std::uint64_t>(status.st_size),
                                 [descriptor](std::uint64_t offset, std::span<std::uint8_t> bytes) -> std::optional<std::size_t> {
                                     const ssize_t got = pread(descriptor, bytes.data(), bytes.size(), static_cast<off_t>(offset));
                                     if (got < 0) {
                                         return std::nullopt;
                                     }
                                     return static_cast<std::size_t>(got);
                                 });
    }
    if (descriptor >= 0) {
        close(descriptor);
    }
    if (!ends) {
        return {};
    }
    PassphraseForm form = PassphraseBytes(typed);
    const CheckResult result = CheckContainer(*ends, DeriveKeyWords(form.bytes), algorithm);
    WipePassphraseForm(form);
    return result;
}

void RunCheck(benchmark::State& state, AlgorithmId algorithm, bool sparse) {
    const ContainerFile file;
    if (!(sparse ? WriteSparseContainer(file, algorithm) : WriteSmallContainer(file, algorithm, 1005))) {
        state.SkipWithError("cannot write the container in /tmp");
        return;
    }
    if (CheckOnDisk(file.Path(), kTyped, algorithm).verdict != CheckVerdict::Right) {
        state.SkipWithError("the check does not verify the container's own key");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(CheckOnDisk(file.Path(), kTyped, algorithm));
    }
}

// The longest search: a wrong passphrase with every byte form tried under both ciphers.
void RunWorstKeySearch(benchmark::State& state) {
    const ContainerFile file;
    if (!WriteSparseContainer(file, AlgorithmId::Idea)) {
        state.SkipWithError("cannot write the container in /tmp");
        return;
    }
    const int descriptor = open(file.Path().c_str(), O_RDONLY);
    const std::optional<ContainerEnds> ends = ReadContainerEnds(
        ContainerBytes(0xFFFFFFF9U), [descriptor](std::uint64_t offset, std::span<std::uint8_t> bytes) -> std::optional<std::size_t> {
            const ssize_t got = pread(descriptor, bytes.data(), bytes.size(), static_cast<off_t>(offset));
            return got < 0 ? std::nullopt : std::optional<std::size_t>(static_cast<std::size_t>(got));
        });
    close(descriptor);
    if (!ends) {
        state.SkipWithError("cannot read the container");
        return;
    }
    const std::array ciphers{AlgorithmId::TripleDes, AlgorithmId::Idea};
    // Ends in ś, outside Windows-1252: UTF-8 is the rule's form, and Windows-1250 and -1257 are tried too.
    const std::string_view wrong = "M\xC3\xBCller and a few more word\xC5\x9B";
    unsigned trials = 0;
    for (auto _ : state) {
        const ContainerCheck check(*ends);
        const KeySearchResult search = SearchVerifyingKey(check, wrong, PassphraseInputKind::Text, ciphers);
        trials = search.trials;
        benchmark::DoNotOptimize(search.verifying);
    }
    state.counters["keys tried"] = trials;
}

// The generator search alone, for initial words of changing seeds.
void RunSeedSearch(benchmark::State& state) {
    std::uint32_t seed = kSeed;
    std::size_t found = 0;
    for (auto _ : state) {
        JobRandom random(seed++);
        const std::uint32_t word0 = random.NextWord();
        found += FindJobRandomSeeds(word0, random.NextWord()).size();
    }
    if (found != static_cast<std::size_t>(state.iterations())) {
        state.SkipWithError("a seed was not found");
    }
}

void Register(const std::string& name, std::function<void(benchmark::State&)> run) {
    benchmark::RegisterBenchmark(name.c_str(), std::move(run))->MinTime(kMinSeconds)->Unit(benchmark::kMicrosecond);
}

const bool kRegistered = [] {
    for (const bool sparse : {false, true}) {
        const std::string size = sparse ? "4GiB-sparse/" : "1KiB/";
        Register("ContainerCheck/" + size + "3des",
                 [sparse](benchmark::State& s) { RunCheck(s, AlgorithmId::TripleDes, sparse); });
        Register("ContainerCheck/" + size + "idea", [sparse](benchmark::State& s) { RunCheck(s, AlgorithmId::Idea, sparse); });
    }
    Register("KeySearch/4GiB-sparse/every-form-wrong", RunWorstKeySearch);
    Register("JobRandomSearch/FindJobRandomSeeds", RunSeedSearch);
    return true;
}();

}  // namespace
}  // namespace morvex
