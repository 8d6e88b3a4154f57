#include "tests/jobs/JobTestSupport.h"

#include <gcrypt.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <random>
#include <thread>

namespace morvex::test {

namespace {

// A file whose reads or writes fail once the job reaches a chosen byte.
class FaultyFile final : public PlatformFile {
public:
    FaultyFile(std::unique_ptr<PlatformFile> inner, const Faults& faults, bool isOutput, TestPlatform& platform)
        : inner_(std::move(inner)), faults_(faults), isOutput_(isOutput), platform_(platform) {}

    std::optional<std::uint64_t> Size() override {
        if (faults_.failSize) {
            return std::nullopt;
        }
        if (faults_.reportedSize) {
            return faults_.reportedSize;
        }
        return inner_->Size();
    }
    std::optional<std::size_t> Read(std::span<std::uint8_t> bytes) override {
        if (platform_.onInputRead && !isOutput_) {
            platform_.onInputRead(reads_++);
        }
        if (!isOutput_ && faults_.failInputReadAt && position_ + bytes.size() > *faults_.failInputReadAt) {
            return std::nullopt;
        }
        const auto got = inner_->Read(bytes);
        if (got) {
            position_ += *got;
        }
        return got;
    }
    bool Write(std::span<const std::uint8_t> bytes) override {
        if (isOutput_ && faults_.failOutputWriteAt && position_ + bytes.size() > *faults_.failOutputWriteAt) {
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
    bool Close() override {
        const bool closed = inner_->Close();
        return closed && !(isOutput_ && faults_.failOutputClose);
    }

private:
    std::unique_ptr<PlatformFile> inner_;
    Faults faults_;  // a copy: the worker must not share the test's fields
    bool isOutput_;
    TestPlatform& platform_;
    std::uint64_t position_ = 0;
    int reads_ = 0;
};

void InitGcrypt() {
    static const bool ready = [] {
        gcry_check_version(nullptr);
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        return true;
    }();
    (void)ready;
}

// The generator as the container format defines it, written apart from the engine's own.
struct Lcg {
    std::uint32_t state;
    std::uint32_t Draw() {
        state = state * 214013U + 2531011U;
        return (state >> 16) & 0x7FFFU;
    }
    std::uint32_t Word() {
        const std::uint32_t r1 = Draw() & 255U;
        const std::uint32_t r2 = Draw() & 255U;
        const std::uint32_t r3 = Draw() & 255U;
        const std::uint32_t r4 = Draw() & 255U;
        return r3 * 0x1000000U + r4 * 0x10000U + r1 * 0x100U + r2;
    }
};

void PutLe(Bytes& out, std::uint32_t word) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(word >> (8 * i)));
    }
}

void PutBe(Bytes& out, std::uint32_t word) {
    for (int i = 3; i >= 0; --i) {
        out.push_back(static_cast<std::uint8_t>(word >> (8 * i)));
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

gcry_cipher_hd_t OpenCbc(AlgorithmId algorithm, const KeyWords& k, std::uint32_t iv0, std::uint32_t iv1) {
    InitGcrypt();
    Bytes key;
    int gcryAlgorithm = 0;
    if (algorithm == AlgorithmId::TripleDes) {
        gcryAlgorithm = GCRY_CIPHER_3DES;
        for (const std::uint32_t word : {k.ka, k.kb, k.kc, k.kd, k.kb, k.ka}) {
            PutBe(key, word);
        }
    } else {
        gcryAlgorithm = GCRY_CIPHER_IDEA;
        for (const std::uint32_t word : {k.kd, k.kc, k.kb, k.ka}) {
            PutBe(key, word);
        }
    }
    gcry_cipher_hd_t handle = nullptr;
    EXPECT_EQ(gcry_cipher_open(&handle, gcryAlgorithm, GCRY_CIPHER_MODE_CBC, 0), 0U);
    EXPECT_EQ(gcry_cipher_setkey(handle, key.data(), key.size()), 0U);
    Bytes iv;
    PutLe(iv, iv0);
    PutLe(iv, iv1);
    ToStandardView(algorithm, iv);
    EXPECT_EQ(gcry_cipher_setiv(handle, iv.data(), iv.size()), 0U);
    return handle;
}

}  // namespace

TempDir::TempDir() {
    static std::atomic<int> counter{0};
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = "morvex-jobs-";
    if (info != nullptr) {
        name += std::string(info->test_suite_name()) + "-" + info->name();
    }
    std::replace(name.begin(), name.end(), '/', '_');
    name += "-" + std::to_string(std::random_device{}()) + "-" + std::to_string(counter.fetch_add(1));
    root_ = std::filesystem::temp_directory_path() / name;
    std::filesystem::create_directories(root_);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

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

bool Exists(const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(std::filesystem::symlink_status(path, error));
}

void RecordingFrontEnd::ShowMessage(const std::string& text, const std::string& title, MessageIcon icon) {
    messages.push_back({text, title, icon});
    if (onMessage) {
        onMessage();
    }
}

std::unique_ptr<PlatformFile> TestPlatform::OpenForReading(const std::string& path) {
    auto file = NativePlatform().OpenForReading(path);
    return file ? std::make_unique<FaultyFile>(std::move(file), faults, false, *this) : nullptr;
}

std::unique_ptr<PlatformFile> TestPlatform::CreateNew(const std::string& path) {
    auto file = NativePlatform().CreateNew(path);
    return file ? std::make_unique<FaultyFile>(std::move(file), faults, true, *this) : nullptr;
}

bool TestPlatform::RemoveFile(const std::string& path) {
    return NativePlatform().RemoveFile(path);
}

bool TestPlatform::StartThread(std::function<void()> routine) {
    return !faults.failStartThread && NativePlatform().StartThread(std::move(routine));
}

void TestPlatform::Sleep(std::chrono::milliseconds) {
    sleeps.fetch_add(1);
    if (onSleep) {
        onSleep();
    }
}

std::optional<JobOutcome> WaitForFinish(JobState& state, RecordingFrontEnd& frontEnd, Platform& platform) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (std::chrono::steady_clock::now() < deadline) {
        if (auto outcome = FinishJob(state, frontEnd, platform)) {
            return outcome;
        }
        if (!state.running) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ADD_FAILURE() << "the job did not end";
    return std::nullopt;
}

std::optional<JobOutcome> RunRequest(bool decrypt, JobState& state, RecordingFrontEnd& frontEnd,
                                     Platform& platform, const JobOptions& options) {
    const bool started = decrypt ? DecryptRequest(state, frontEnd, platform, options)
                                 : EncryptRequest(state, frontEnd, platform, options);
    if (!started) {
        return std::nullopt;
    }
    return WaitForFinish(state, frontEnd, platform);
}

Bytes ReferenceContainer(AlgorithmId algorithm, const KeyWords& keyWords, std::uint32_t seed, const Bytes& source) {
    Lcg lcg{seed};
    const std::uint32_t iv0 = lcg.Word();
    const std::uint32_t iv1 = lcg.Word();
    const std::size_t blocks = source.empty() ? 1 : (source.size() + 7) / 8;
    Bytes plain;
    for (std::size_t b = 0; b < blocks; ++b) {
        Bytes block;
        PutLe(block, lcg.Word());
        PutLe(block, lcg.Word());
        for (std::size_t i = 0; i < 8 && b * 8 + i < source.size(); ++i) {
            block[i] = source[b * 8 + i];
        }
        plain.insert(plain.end(), block.begin(), block.end());
    }
    ToStandardView(algorithm, plain);
    gcry_cipher_hd_t handle = OpenCbc(algorithm, keyWords, iv0, iv1);
    Bytes encrypted(plain.size());
    EXPECT_EQ(gcry_cipher_encrypt(handle, encrypted.data(), encrypted.size(), plain.data(), plain.size()), 0U);
    gcry_cipher_close(handle);
    ToStandardView(algorithm, encrypted);

    Bytes container;
    PutLe(container, static_cast<std::uint32_t>(source.size()));
    PutLe(container, iv0);
    PutLe(container, iv1);
    container.insert(container.end(), encrypted.begin(), encrypted.end());
    return container;
}

Bytes ReferenceCbcDecrypt(AlgorithmId algorithm, const KeyWords& keyWords, std::uint32_t iv0, std::uint32_t iv1,
                          const Bytes& blocks) {
    Bytes view = blocks;
    ToStandardView(algorithm, view);
    gcry_cipher_hd_t handle = OpenCbc(algorithm, keyWords, iv0, iv1);
    Bytes plain(view.size());
    EXPECT_EQ(gcry_cipher_decrypt(handle, plain.data(), plain.size(), view.data(), view.size()), 0U);
    gcry_cipher_close(handle);
    ToStandardView(algorithm, plain);
    return plain;
}

}  // namespace morvex::test
