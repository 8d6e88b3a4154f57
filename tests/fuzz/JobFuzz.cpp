// libFuzzer target: one encryption or decryption job over files in memory, with at most one fault
// injected, checked against a plain reading of the container format done block by block.
//
// Input: byte 0 the job (bit 0 decrypt, bit 1 IDEA rather than triple-DES, bit 2 no helper
// threads, bit 3 two decryption threads, bit 5 the container's check before a decryption, bits 4
// to 7 all set: the file stretched past one transfer, which costs a hundred small cases and so
// comes rarely); byte 1 the
// fault (see Fault); bytes 2-5 where it strikes (a read call, or a byte of output); byte 6 the
// passphrase; bytes 7-10 the clock; the rest the file. Missing bytes count as 0.
//
// Whatever the input: a job reported done has published exactly the reference output and nothing
// else; any other outcome has published nothing, and its discard leaves nothing; a fault that must
// fail the job fails it, with its cause.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/ByteOrder.h"
#include "ciphers/IdeaCipher.h"
#include "ciphers/TripleDes.h"
#include "jobs/JobError.h"
#include "jobs/Jobs.h"
#include "keys/PassphraseDigest.h"

namespace morvex {
namespace {

using Bytes = std::vector<std::uint8_t>;

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "job fuzz: %s\n", what);
        std::abort();
    }
}

enum class Fault : std::uint8_t {
    None,
    ReadFails,     // the nth read of the input fails
    WriteFails,    // the write that reaches the nth byte of output fails
    FlushFails,
    CutFails,      // the decryption's cut to the stored length fails
    NameTaken,     // another file takes the output's name just before the publication
    SourceGrows,   // bytes are added to the input before its nth read
    SourceShrinks, // the input is cut short before its nth read
    Cancel,        // the cancel command comes with the nth read
    Count,
};

struct Case {
    bool decrypt = false;
    AlgorithmId algorithm = AlgorithmId::TripleDes;
    bool helperThreads = true;
    unsigned decryptThreads = 1;
    bool verifyKey = false;
    Fault fault = Fault::None;
    std::uint32_t where = 0;
    std::string passphrase;
    std::uint32_t seconds = 0;
    Bytes file;
    std::size_t failingByte = 0;  // for WriteFails: where % (bytes the job writes + 1)
};

Case ParseCase(const std::uint8_t* data, std::size_t size) {
    std::uint8_t head[11] = {};
    std::copy_n(data, std::min<std::size_t>(size, sizeof head), head);
    Case c;
    c.decrypt = (head[0] & 1) != 0;
    c.algorithm = (head[0] & 2) != 0 ? AlgorithmId::Idea : AlgorithmId::TripleDes;
    c.helperThreads = (head[0] & 4) == 0;
    c.decryptThreads = (head[0] & 8) != 0 ? 2 : 1;
    c.verifyKey = (head[0] & 0x20) != 0;
    c.fault = static_cast<Fault>(head[1] % static_cast<std::uint8_t>(Fault::Count));
    c.where = LoadWord(head + 2);
    c.passphrase = std::string("pass-") + static_cast<char>('!' + head[6] % 90);
    c.seconds = LoadWord(head + 7);
    if (size > sizeof head) {
        c.file.assign(data + sizeof head, data + size);
    }
    if ((head[0] & 0xF0) == 0xF0) {
        // Past one transfer, so that the hand-on between transfers and the read-ahead are reached.
        const std::size_t length = kJobTransferBytes + c.file.size();
        Bytes stretched(length);
        for (std::size_t i = 0; i < length; ++i) {
            stretched[i] = c.file.empty() ? static_cast<std::uint8_t>(i * 7) : c.file[i % c.file.size()];
        }
        c.file = std::move(stretched);
    }
    return c;
}

// The plain reading: one 4-byte read per word, the bytes a read gets replacing the word's lowest
// bytes, as the container format describes it.
class WordReader {
public:
    explicit WordReader(const Bytes& bytes) : bytes_(bytes) {}
    void Read(std::uint32_t& word) {
        if (bytes_.size() - at_ >= 4 && at_ <= bytes_.size()) {
            word = LoadWord(bytes_.data() + at_);
            at_ += 4;
            return;
        }
        for (unsigned i = 0; i < 4 && at_ < bytes_.size(); ++i, ++at_) {
            word = (word & ~(0xFFU << (8 * i))) | (std::uint32_t{bytes_[at_]} << (8 * i));
        }
    }

private:
    const Bytes& bytes_;
    std::size_t at_ = 0;
};

void Put(Bytes& out, std::uint32_t word) {
    std::uint8_t bytes[4];
    StoreWord(bytes, word);
    out.insert(out.end(), bytes, bytes + 4);
}

std::uint32_t NextWord(std::uint32_t& state) {
    std::uint32_t r[4];
    for (auto& draw : r) {
        state = state * 214013U + 2531011U;
        draw = (state >> 16) & 0xFFU;
    }
    return (r[2] << 24) | (r[3] << 16) | (r[0] << 8) | r[1];
}

template <class Cipher>
Bytes ReferenceEncryption(const Cipher& cipher, const Case& c) {
    std::uint32_t state = c.seconds;
    const std::uint32_t iv0 = NextWord(state);
    const std::uint32_t iv1 = NextWord(state);
    Bytes out;
    out.reserve(c.file.size() + 32);
    Put(out, static_cast<std::uint32_t>(c.file.size()));
    Put(out, iv0);
    Put(out, iv1);
    WordReader source(c.file);
    std::uint32_t c0 = iv0;
    std::uint32_t c1 = iv1;
    for (std::uint64_t off = 0;;) {
        std::uint32_t p0 = NextWord(state);
        std::uint32_t p1 = NextWord(state);
        source.Read(p0);
        source.Read(p1);
        cipher.EncryptBlock(p0 ^ c0, p1 ^ c1, c0, c1);
        Put(out, c0);
        Put(out, c1);
        off += 8;
        if (off >= c.file.size()) {
            return out;
        }
    }
}

// Also the bytes the job writes before its cut.
template <class Cipher>
Bytes ReferenceDecryption(const Cipher& cipher, const Case& c, std::size_t& written) {
    WordReader container(c.file);
    std::uint32_t length = 0;
    std::uint32_t c0 = 0;
    std::uint32_t c1 = 0;
    container.Read(length);
    container.Read(c0);
    container.Read(c1);
    std::uint32_t y0 = 0;
    std::uint32_t y1 = 0;
    container.Read(y0);
    Bytes out;
    out.reserve(c.file.size() + 32);
    for (std::uint64_t off = 0;;) {
        container.Read(y1);
        std::uint32_t d0 = 0;
        std::uint32_t d1 = 0;
        cipher.DecryptBlock(y0, y1, d0, d1);
        Put(out, d0 ^ c0);
        Put(out, d1 ^ c1);
        c0 = y0;
        c1 = y1;
        off += 8;
        if (off >= c.file.size()) {
            break;
        }
        container.Read(y0);
    }
    written = out.size();
    if (length < c.file.size()) {
        out.resize(length);
    }
    return out;
}

class MemoryPlatform;

class MemorySource final : public PlatformSource {
public:
    MemorySource(Bytes bytes, const Case& c, MemoryPlatform& platform)
        : bytes_(std::move(bytes)), case_(c), platform_(platform) {}
    std::optional<std::uint64_t> Size() override { return bytes_.size(); }
    std::optional<std::size_t> Read(std::span<std::uint8_t> out) override;
    std::optional<std::size_t> ReadAt(std::uint64_t, std::span<std::uint8_t>) override { return std::nullopt; }
    void Close() override {}
    std::error_code Error() const override { return error_; }

private:
    Bytes bytes_;
    const Case& case_;
    MemoryPlatform& platform_;
    std::size_t at_ = 0;
    std::uint32_t reads_ = 0;
    std::error_code error_;
};

class MemoryOutput final : public PlatformNewOutput {
public:
    MemoryOutput(std::string name, const Case& c, MemoryPlatform& platform)
        : name_(std::move(name)), case_(c), platform_(platform) {}
    bool Write(std::span<const std::uint8_t> in) override {
        if (case_.fault == Fault::WriteFails && bytes_.size() + in.size() > case_.failingByte) {
            error_ = std::make_error_code(std::errc::no_space_on_device);
            return false;
        }
        bytes_.insert(bytes_.end(), in.begin(), in.end());
        return true;
    }
    bool SetEnd(std::uint64_t length) override {
        if (case_.fault == Fault::CutFails) {
            error_ = std::make_error_code(std::errc::io_error);
            return false;
        }
        bytes_.resize(length);
        return true;
    }
    bool Flush() override {
        if (case_.fault == Fault::FlushFails) {
            error_ = std::make_error_code(std::errc::io_error);
            return false;
        }
        return true;
    }
    bool Close() override { return true; }
    std::error_code Error() const override { return error_; }
    bool Publish() override;
    DiscardResult Discard() override {
        discarded = !published;
        return {};
    }

    bool published = false;
    bool discarded = false;

private:
    std::string name_;
    const Case& case_;
    MemoryPlatform& platform_;
    Bytes bytes_;
    std::error_code error_;
};

class MemoryPlatform final : public Platform {
public:
    explicit MemoryPlatform(const Case& c) : case_(c) {}

    Opened<PlatformSource> OpenSource(const std::string& path) override {
        const std::lock_guard lock(mutex);
        const auto found = files.find(path);
        if (found == files.end()) {
            return {nullptr, std::make_error_code(std::errc::no_such_file_or_directory)};
        }
        return {std::make_unique<MemorySource>(found->second, case_, *this), {}};
    }
    Opened<PlatformNewOutput> CreateOutput(const std::string& path) override {
        const std::lock_guard lock(mutex);
        if (files.contains(path)) {
            return {nullptr, std::make_error_code(std::errc::file_exists)};
        }
        auto output = std::make_unique<MemoryOutput>(path, case_, *this);
        created = output.get();
        return {std::move(output), {}};
    }
    std::error_code RemoveFile(const std::string&) override { return std::make_error_code(std::errc::not_supported); }
    std::unique_ptr<PlatformThread> StartThread(std::function<void()> routine) override {
        // The first thread of a job is its worker; the helpers may be refused, for the direct paths.
        if (threads++ > 0 && !case_.helperThreads) {
            return nullptr;
        }
        return StartStandardThread(std::move(routine));
    }
    void Sleep(std::chrono::milliseconds) override {}
    std::uint64_t NowSeconds() override { return case_.seconds; }

    std::mutex mutex;
    std::map<std::string, Bytes> files;
    MemoryOutput* created = nullptr;
    std::atomic<int> threads{0};
    std::atomic<bool> faultStruck{false};
    JobState* state = nullptr;

private:
    const Case& case_;
};

std::optional<std::size_t> MemorySource::Read(std::span<std::uint8_t> out) {
    const Fault fault = case_.fault;
    if (reads_++ == case_.where % 8 && fault != Fault::None) {
        switch (fault) {
        case Fault::ReadFails:
            platform_.faultStruck = true;
            error_ = std::make_error_code(std::errc::io_error);
            return std::nullopt;
        case Fault::SourceGrows:
            platform_.faultStruck = true;
            bytes_.insert(bytes_.end(), 1 + (case_.where >> 8) % 8, std::uint8_t{0x5A});
            break;
        case Fault::SourceShrinks:
            if (at_ < bytes_.size()) {
                platform_.faultStruck = true;
                bytes_.resize(at_ + (case_.where >> 8) % (bytes_.size() - at_));
            }
            break;
        case Fault::Cancel:
            platform_.faultStruck = true;
            CancelJob(*platform_.state);
            break;
        default: break;
        }
    }
    const std::size_t count = std::min(out.size(), bytes_.size() - std::min(at_, bytes_.size()));
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(at_), count, out.begin());
    at_ += count;
    return count;
}

bool MemoryOutput::Publish() {
    const std::lock_guard lock(platform_.mutex);
    if (case_.fault == Fault::NameTaken) {
        platform_.files[name_] = Bytes{'o', 't', 'h', 'e', 'r'};
    }
    if (platform_.files.contains(name_)) {
        error_ = std::make_error_code(std::errc::file_exists);
        return false;
    }
    platform_.files[name_] = bytes_;
    published = true;
    return true;
}

template <class Cipher>
void RunCase(Case& c) {
    const Cipher cipher(DeriveKeyWords(c.passphrase));
    std::size_t written = 0;
    const Bytes expected = c.decrypt ? ReferenceDecryption(cipher, c, written) : ReferenceEncryption(cipher, c);
    if (!c.decrypt) {
        written = expected.size();
    }
    // Mostly within what the job writes, at times just past it.
    c.failingByte = c.where % (written + 1);
    const std::string input = c.decrypt ? "in.enc" : "in";
    const std::string output = c.decrypt ? "in" : "in.enc";

    MemoryPlatform platform(c);
    platform.files[input] = c.file;
    JobState state;
    platform.state = &state;
    state.choice.algorithm = c.algorithm;
    state.choice.chosenPath = input;
    state.choice.passphrase = c.passphrase;
    state.choice.retype = c.passphrase;
    JobOptions options;
    options.finalPause = std::chrono::milliseconds{0};
    options.decryptThreads = c.decryptThreads;
    options.verifyKey = c.verifyKey;
    const RequestResult request =
        c.decrypt ? DecryptRequest(state, platform, options) : EncryptRequest(state, platform, options);
    if (!request.Started()) {
        // Only the container's check may refuse a file in memory, and then before creating anything.
        Check(c.decrypt && c.verifyKey && platform.created == nullptr && platform.files.size() == 1,
              "a refused request created something");
        return;
    }
    JobTick tick;
    while ((tick = FinishJob(state)).kind != JobTick::Kind::Finished) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }

    const std::lock_guard lock(platform.mutex);
    Check(platform.files.at(input) == c.file, "the input changed");
    if (tick.outcome == JobOutcome::Done) {
        Check(platform.files.size() == 2 && platform.files.at(output) == expected, "done, but not the reference output");
    } else {
        const DiscardResult cleanup = DiscardOutput(state, platform);
        Check(!cleanup.cause && cleanup.leftBehind.empty() && platform.created->discarded, "the discard left something");
        Check(!platform.created->published, "a job not done published its output");
        Check(platform.files.size() == (c.fault == Fault::NameTaken ? 2U : 1U), "a job not done left a file");
    }
    const bool cut = c.decrypt && expected.size() < written;
    switch (c.fault) {
    case Fault::None: Check(tick.outcome == JobOutcome::Done, "no fault, yet not done"); break;
    case Fault::ReadFails:
        Check(!platform.faultStruck || (tick.outcome == JobOutcome::Failed && tick.cause == std::errc::io_error),
              "a failed read did not fail the job");
        break;
    case Fault::WriteFails:
        Check(c.failingByte >= written ||
                  (tick.outcome == JobOutcome::Failed && tick.cause == std::errc::no_space_on_device),
              "a failed write did not fail the job");
        break;
    case Fault::FlushFails: Check(tick.outcome == JobOutcome::Failed, "a failed flush did not fail the job"); break;
    case Fault::CutFails: Check(!cut || tick.outcome == JobOutcome::Failed, "a failed cut did not fail the job"); break;
    case Fault::NameTaken:
        Check(tick.outcome == JobOutcome::OutputNameTaken && platform.files.at(output) == Bytes{'o', 't', 'h', 'e', 'r'},
              "a name taken at the end was not refused, or was replaced");
        break;
    case Fault::SourceGrows:
    case Fault::SourceShrinks:
        Check(!platform.faultStruck ||
                  (tick.outcome == JobOutcome::Failed && tick.cause == make_error_code(JobError::SourceChanged)),
              "a changing input did not fail the job");
        break;
    case Fault::Cancel:
        Check(tick.outcome == JobOutcome::Done || tick.outcome == JobOutcome::Canceled, "a cancel did something else");
        break;
    case Fault::Count: break;
    }
}

}  // namespace
}  // namespace morvex

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    morvex::Case c = morvex::ParseCase(data, size);
    if (c.algorithm == morvex::AlgorithmId::Idea) {
        morvex::RunCase<morvex::IdeaCipher>(c);
    } else {
        morvex::RunCase<morvex::TripleDes>(c);
    }
    return 0;
}
