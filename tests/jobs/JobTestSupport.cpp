#include "tests/jobs/JobTestSupport.h"

#if !defined(_WIN32)
#include "jobs/PosixPlatform.h"
#endif

#include <gcrypt.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <random>
#include <thread>

namespace morvex::test {

namespace {

// A source whose reads fail once the job reaches a chosen byte.
class FaultySource final : public PlatformSource {
public:
    FaultySource(std::unique_ptr<PlatformSource> inner, const Faults& faults, TestPlatform& platform)
        : inner_(std::move(inner)), faults_(faults), platform_(platform) {}

    std::optional<std::uint64_t> Size() override {
        return faults_.failSize ? std::nullopt : faults_.reportedSize ? faults_.reportedSize : inner_->Size();
    }
    std::optional<std::size_t> Read(std::span<std::uint8_t> bytes) override {
        if (platform_.onInputRead) {
            platform_.onInputRead(reads_++);
        }
        if (faults_.failInputReadAt && position_ + bytes.size() > *faults_.failInputReadAt) {
            return std::nullopt;
        }
        const auto got = inner_->Read(bytes);
        position_ += got.value_or(0);
        return got;
    }
    std::optional<std::size_t> ReadAt(std::uint64_t offset, std::span<std::uint8_t> bytes) override {
        return inner_->ReadAt(offset, bytes);
    }
    void Close() override { inner_->Close(); }
    std::error_code Error() const override {
        return faults_.failInputReadAt ? std::make_error_code(std::errc::io_error) : inner_->Error();
    }

private:
    std::unique_ptr<PlatformSource> inner_;
    Faults faults_;  // a copy: the worker must not share the test's fields
    TestPlatform& platform_;
    std::uint64_t position_ = 0;
    int reads_ = 0;
};

// An output whose writes fail once the job reaches a chosen byte, as a full disk would.
class FaultyOutput final : public PlatformNewOutput {
public:
    FaultyOutput(std::unique_ptr<PlatformNewOutput> inner, const Faults& faults, TestPlatform& platform)
        : inner_(std::move(inner)), faults_(faults), platform_(platform) {}

    bool Write(std::span<const std::uint8_t> bytes) override {
        if (faults_.failOutputWriteAt && position_ + bytes.size() > *faults_.failOutputWriteAt) {
            error_ = std::make_error_code(std::errc::no_space_on_device);
            return false;
        }
        position_ += bytes.size();
        platform_.outputBytesWritten.fetch_add(bytes.size());
        return faults_.discardOutput || inner_->Write(bytes);
    }
    bool SetEnd(std::uint64_t length) override { return !faults_.failSetEnd && inner_->SetEnd(length); }
    bool Flush() override {
        platform_.flushes.fetch_add(1);
        return !faults_.failFlush && inner_->Flush();
    }
    bool Close() override { return inner_->Close() && !faults_.failOutputClose; }
    std::error_code Error() const override { return error_ ? error_ : inner_->Error(); }
    void PreferCache() noexcept override { inner_->PreferCache(); }
    bool Publish() override {
        if (platform_.onPublish) {
            platform_.onPublish();
        }
        if (faults_.failPublish) {
            error_ = std::make_error_code(std::errc::io_error);
            return false;
        }
        const bool published = inner_->Publish();
        platform_.publishes.fetch_add(published ? 1 : 0);
        return published;
    }
    DiscardResult Discard() override { return inner_->Discard(); }

private:
    std::unique_ptr<PlatformNewOutput> inner_;
    Faults faults_;
    TestPlatform& platform_;
    std::uint64_t position_ = 0;
    std::error_code error_;
};

// The generator as the container format defines it, written apart from the engine's own.
struct Lcg {
    std::uint32_t state;
    // Four draws r1..r4, each the state's bits 16 to 30; their low bytes make the word r3 r4 r1 r2.
    std::uint32_t Word() {
        std::uint32_t r[4];
        for (auto& draw : r) {
            state = state * 214013U + 2531011U;
            draw = (state >> 16) & 0x7FFFU & 255U;
        }
        return r[2] * 0x1000000U + r[3] * 0x10000U + r[0] * 0x100U + r[1];
    }
};

void Put(Bytes& out, std::uint32_t word, bool bigEndian = false) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(word >> (bigEndian ? 24 - 8 * i : 8 * i)));
    }
}

// The standard's view of blocks stored as two little-endian words: triple-DES reads each word most
// significant byte first, IDEA the whole block as w1 * 2^32 + w0. Both views are their own inverse.
void ToStandardView(AlgorithmId algorithm, Bytes& bytes) {
    const std::size_t group = algorithm == AlgorithmId::TripleDes ? 4 : 8;
    for (std::size_t i = 0; i + group <= bytes.size(); i += group) {
        std::reverse(bytes.begin() + static_cast<std::ptrdiff_t>(i),
                     bytes.begin() + static_cast<std::ptrdiff_t>(i + group));
    }
}

}  // namespace

Bytes PatternBytes(std::size_t count, std::uint32_t seed) {
    std::mt19937 generator(seed);
    Bytes bytes(count);
    for (auto& byte : bytes) {
        byte = static_cast<std::uint8_t>(generator());
    }
    return bytes;
}

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << path;
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::map<std::string, std::string> Fixture::Snapshot() const {
    namespace fs = std::filesystem;
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::directory_iterator(root)) {
        const auto status = entry.symlink_status();
        std::string& what = entries[entry.path().string()];
        if (fs::is_symlink(status)) {
            what = "link to " + fs::read_symlink(entry.path()).string();
        } else if (fs::is_directory(status) || !fs::is_regular_file(status)) {
            what = fs::is_directory(status) ? "directory" : "special file";
        } else {
            what = "file of " + std::to_string(entry.file_size()) + " bytes";
            if (entry.file_size() <= (std::uint64_t{64} << 20)) {
                std::uint64_t digest = 14695981039346656037ULL;  // FNV-1a
                for (const std::uint8_t byte : ReadFile(entry.path().string())) {
                    digest = (digest ^ byte) * 1099511628211ULL;
                }
                what += ", digest " + std::to_string(digest);
            }
        }
    }
    return entries;
}

Opened<PlatformSource> TestPlatform::OpenSource(const std::string& path) {
    Opened<PlatformSource> opened = Base().OpenSource(path);
    if (opened.file) {
        opened.file = std::make_unique<FaultySource>(std::move(opened.file), faults, *this);
    }
    return opened;
}

Opened<PlatformNewOutput> TestPlatform::CreateOutput(const std::string& path) {
    Opened<PlatformNewOutput> opened = Base().CreateOutput(path);
    if (opened.file) {
        opened.file = std::make_unique<FaultyOutput>(std::move(opened.file), faults, *this);
    }
    return opened;
}

std::unique_ptr<PlatformThread> TestPlatform::StartThread(std::function<void()> routine) {
    // The first start of a job is its worker's; the job's helpers follow on the worker's thread.
    const bool worker = !workerStarted.exchange(true);
    if (worker && onStartThread) {
        onStartThread();
    }
    const bool helperFails =
        !worker && (faults.failHelperThreads || faults.failHelperThreadAt == helperStarts.fetch_add(1));
    if (worker ? faults.failStartThread : helperFails) {
        if (worker) {
            workerStarted = false;
        }
        return nullptr;
    }
    return NativePlatform().StartThread(std::move(routine));
}

// Windows has no unnamed files: its native outputs are always under a hidden name.
Platform& TestPlatform::Base() const {
#if defined(_WIN32)
    return NativePlatform();
#else
    return hiddenNames ? HiddenNamePlatform() : NativePlatform();
#endif
}

void TestPlatform::Sleep(std::chrono::milliseconds) {
    sleeps.fetch_add(1);
    if (onSleep) {
        onSleep();
    }
}

std::optional<JobOutcome> FinishTick(JobState& state, RecordingFrontEnd& frontEnd, Platform& platform) {
    const JobTick tick = FinishJob(state);
    if (tick.kind == JobTick::Kind::Working) {
        frontEnd.progress.push_back(tick.percent);
    }
    if (tick.kind != JobTick::Kind::Finished) {
        return std::nullopt;
    }
    frontEnd.Show(MessageFor(tick.outcome));
    if (tick.outcome != JobOutcome::Done) {
        const DiscardResult cleanup = DiscardOutput(state, platform);
        EXPECT_FALSE(cleanup.cause) << cleanup.cause.message();
        EXPECT_EQ(cleanup.leftBehind, "");
    }
    frontEnd.controls.push_back(false);
    frontEnd.progress.push_back(0);
    return tick.outcome;
}

std::optional<JobOutcome> RunRequest(bool decrypt, JobState& state, RecordingFrontEnd& frontEnd,
                                     Platform& platform, const JobOptions& options) {
    if (auto* test = dynamic_cast<TestPlatform*>(&platform)) {
        test->workerStarted = false;
        test->helperStarts = 0;
    }
    const RequestResult result = (decrypt ? DecryptRequest : EncryptRequest)(state, platform, options);
    if (!result.Started()) {
        frontEnd.Show(MessageFor(result));
        return std::nullopt;
    }
    frontEnd.controls.push_back(true);
    for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
         std::chrono::steady_clock::now() < deadline && state.running;) {
        if (auto outcome = FinishTick(state, frontEnd, platform)) {
            return outcome;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ADD_FAILURE() << "the job did not end";
    return std::nullopt;
}

Fixture::Fixture(std::size_t size, AlgorithmId algorithm) : plain(PatternBytes(size, 77)) {
    static std::atomic<int> counter{0};
    root = std::filesystem::temp_directory_path() /
           ("morvex-jobs-" + std::to_string(std::random_device{}()) + "-" + std::to_string(counter.fetch_add(1)));
    std::filesystem::create_directories(root);
    source = Path("source.dat");
    WriteFile(source, plain);
    state.choice.algorithm = algorithm;
    state.choice.chosenPath = source;
    state.choice.passphrase = kPassphrase;
    state.choice.retype = kPassphrase;
}

Fixture::~Fixture() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}

void Fixture::PrepareDecryption() {
    TestPlatform clean;
    clean.now = platform.now;
    RecordingFrontEnd quiet;
    ASSERT_EQ(RunRequest(false, state, quiet, clean), JobOutcome::Done);
    ASSERT_FALSE(NativePlatform().RemoveFile(source));
    state.choice.chosenPath = source + ".enc";
    state.choice.retype.clear();
}

Bytes ReferenceCbc(bool encrypt, AlgorithmId algorithm, const KeyWords& k, std::uint32_t iv0, std::uint32_t iv1,
                   Bytes blocks) {
    static const bool ready = [] {
        gcry_check_version(nullptr);
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        return gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0) == 0;
    }();
    EXPECT_TRUE(ready);
    const bool des = algorithm == AlgorithmId::TripleDes;
    Bytes key;
    for (const std::uint32_t word : des ? std::vector{k.ka, k.kb, k.kc, k.kd, k.kb, k.ka}
                                        : std::vector{k.kd, k.kc, k.kb, k.ka}) {
        Put(key, word, true);
    }
    Bytes iv;
    Put(iv, iv0);
    Put(iv, iv1);
    ToStandardView(algorithm, iv);
    ToStandardView(algorithm, blocks);
    gcry_cipher_hd_t handle = nullptr;
    EXPECT_EQ(gcry_cipher_open(&handle, des ? GCRY_CIPHER_3DES : GCRY_CIPHER_IDEA, GCRY_CIPHER_MODE_CBC, 0), 0U);
    EXPECT_EQ(gcry_cipher_setkey(handle, key.data(), key.size()), 0U);
    EXPECT_EQ(gcry_cipher_setiv(handle, iv.data(), iv.size()), 0U);
    EXPECT_EQ((encrypt ? gcry_cipher_encrypt : gcry_cipher_decrypt)(handle, blocks.data(), blocks.size(), nullptr, 0), 0U);
    gcry_cipher_close(handle);
    ToStandardView(algorithm, blocks);
    return blocks;
}

Bytes ReferenceContainer(AlgorithmId algorithm, const KeyWords& keyWords, std::uint32_t seed, const Bytes& source) {
    Lcg lcg{seed};
    const std::uint32_t iv0 = lcg.Word();
    const std::uint32_t iv1 = lcg.Word();
    // Every block draws its fill, whether the source covers it or not.
    Bytes plain;
    for (std::size_t i = 0; i < (source.empty() ? 2 : (source.size() + 7) / 8 * 2); ++i) {
        Put(plain, lcg.Word());
    }
    std::copy(source.begin(), source.end(), plain.begin());
    const Bytes encrypted = ReferenceCbc(true, algorithm, keyWords, iv0, iv1, plain);
    Bytes container;
    Put(container, static_cast<std::uint32_t>(source.size()));
    Put(container, iv0);
    Put(container, iv1);
    container.insert(container.end(), encrypted.begin(), encrypted.end());
    return container;
}

}  // namespace morvex::test
