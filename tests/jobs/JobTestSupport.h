#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "jobs/JobFrontEnd.h"
#include "jobs/JobState.h"
#include "jobs/Jobs.h"
#include "jobs/Platform.h"
#include "keys/KeyWords.h"

namespace morvex::test {

#if defined(__SANITIZE_THREAD__)
inline constexpr bool kUnderThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
inline constexpr bool kUnderThreadSanitizer = true;
#else
inline constexpr bool kUnderThreadSanitizer = false;
#endif
#else
inline constexpr bool kUnderThreadSanitizer = false;
#endif

using Bytes = std::vector<std::uint8_t>;

// A fresh directory per test, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    [[nodiscard]] std::string Path(const std::string& name) const { return (root_ / name).string(); }

private:
    std::filesystem::path root_;
};

[[nodiscard]] Bytes PatternBytes(std::size_t count, std::uint32_t seed);
void WriteFile(const std::string& path, const Bytes& bytes);
[[nodiscard]] Bytes ReadFile(const std::string& path);
[[nodiscard]] bool Exists(const std::string& path);  // also a dangling link

struct Message {
    std::string text;
    std::string title;
    MessageIcon icon;
};

class RecordingFrontEnd final : public JobFrontEnd {
public:
    void ShowMessage(const std::string& text, const std::string& title, MessageIcon icon) override;
    void SetControlsWorking(bool working) override { working_ = working; }
    void SetProgress(int percent) override { progress.push_back(percent); }

    [[nodiscard]] bool Working() const { return working_; }

    std::vector<Message> messages;
    std::vector<int> progress;
    std::function<void()> onMessage;  // runs while the "message box" is open

private:
    bool working_ = false;
};

// The native platform with faults and a fixed clock.
struct Faults {
    std::optional<std::uint64_t> failInputReadAt;  // the read that would reach this byte fails
    std::optional<std::uint64_t> failOutputWriteAt;
    std::optional<std::uint64_t> reportedSize;     // instead of the input's real size
    bool failSize = false;
    bool failFlush = false;
    bool failOutputClose = false;
    bool failSetEnd = false;
    bool failStartThread = false;
    bool discardOutput = false;  // count the output's bytes without storing them
};

class TestPlatform final : public Platform {
public:
    std::unique_ptr<PlatformFile> OpenForReading(const std::string& path) override;
    std::unique_ptr<PlatformFile> CreateNew(const std::string& path) override;
    bool RemoveFile(const std::string& path) override;
    bool StartThread(std::function<void()> routine) override;
    void Sleep(std::chrono::milliseconds duration) override;
    std::uint64_t NowSeconds() override { return now; }

    Faults faults;
    std::uint64_t now = 1700000000;
    std::function<void()> onSleep;  // runs on the worker, inside the final pause
    std::function<void(int)> onInputRead;  // runs on the worker before each read of the input, counted from 0
    std::atomic<int> sleeps{0};
    std::atomic<int> flushes{0};
    std::atomic<std::uint64_t> outputBytesWritten{0};
};

// Runs the request and then the completion step, as a front end polling its timer would, until the
// job has been reported. Nothing if the request refused to start or the job never ended.
std::optional<JobOutcome> RunRequest(bool decrypt, JobState& state, RecordingFrontEnd& frontEnd,
                                     Platform& platform, const JobOptions& options = {std::chrono::milliseconds{0}, 0});

// Polls FinishJob until it reports the running job.
std::optional<JobOutcome> WaitForFinish(JobState& state, RecordingFrontEnd& frontEnd, Platform& platform);

// An independent construction of a container with libgcrypt: the same generator, written here, and
// the ciphers' standard byte views of the key words and blocks.
[[nodiscard]] Bytes ReferenceContainer(AlgorithmId algorithm, const KeyWords& keyWords, std::uint32_t seed,
                                       const Bytes& source);

// libgcrypt's decryption of whole container blocks (no header) in CBC, under the given initial words.
[[nodiscard]] Bytes ReferenceCbcDecrypt(AlgorithmId algorithm, const KeyWords& keyWords, std::uint32_t iv0,
                                        std::uint32_t iv1, const Bytes& blocks);

}  // namespace morvex::test
