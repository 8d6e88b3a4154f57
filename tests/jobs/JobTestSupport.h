#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "dialog/Texts.h"
#include "jobs/JobState.h"
#include "jobs/Jobs.h"
#include "jobs/Platform.h"
#include "base/KeyWords.h"

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

inline constexpr char kPassphrase[] = "correct horse battery staple";

[[nodiscard]] Bytes PatternBytes(std::size_t count, std::uint32_t seed);
void WriteFile(const std::string& path, const Bytes& bytes);
[[nodiscard]] Bytes ReadFile(const std::string& path);

struct Message {
    std::string text;
    std::string title;
    MessageIcon icon;
};

// What a front end showed: its messages from the system's table, its controls and its bar.
struct RecordingFrontEnd {
    void Show(MessageId id) {
        const MessageText& message = morvex::Message(id);
        messages.push_back({std::string(message.text), std::string(message.title), message.icon});
    }

    std::vector<Message> messages;
    std::vector<bool> controls;  // every switch of the controls, true for working
    std::vector<int> progress;
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
    bool failPublish = false;
    bool failStartThread = false;   // the worker's start
    bool failHelperThreads = false;  // every start after the worker's
    std::optional<int> failHelperThreadAt;  // only this start after the worker's, counted from 0
    bool discardOutput = false;  // count the output's bytes without storing them
};

class TestPlatform final : public Platform {
public:
    Opened<PlatformSource> OpenSource(const std::string& path) override;
    Opened<PlatformNewOutput> CreateOutput(const std::string& path) override;
    std::error_code RemoveFile(const std::string& path) override { return NativePlatform().RemoveFile(path); }
    std::unique_ptr<PlatformThread> StartThread(std::function<void()> routine) override;
    void Sleep(std::chrono::milliseconds duration) override;
    std::uint64_t NowSeconds() override { return now; }

    Faults faults;
    bool hiddenNames = false;  // outputs under a hidden name until published, as without unnamed files
    std::uint64_t now = 1700000000;
    std::function<void()> onStartThread;  // runs on the front end's thread, before the worker starts
    std::function<void()> onSleep;  // runs on the worker, inside the final pause
    std::function<void(int)> onInputRead;  // runs on the worker before each read of the input, counted from 0
    std::function<void()> onPublish;  // runs on the worker just before the output gets its name
    std::atomic<int> sleeps{0};
    std::atomic<int> flushes{0};
    std::atomic<int> publishes{0};
    std::atomic<std::uint64_t> outputBytesWritten{0};
    std::atomic<bool> workerStarted{false};  // reset by each request
    std::atomic<int> helperStarts{0};        // reset by each request

private:
    [[nodiscard]] Platform& Base() const;
};

// One tick of the completion step as a front end runs it: the bar while the job runs; once it has
// ended, the outcome's message, the deletion of an unfinished output, the controls and the empty bar.
// The outcome on the tick that reports it, nothing otherwise.
std::optional<JobOutcome> FinishTick(JobState& state, RecordingFrontEnd& frontEnd, Platform& platform);

// Runs the request and then the completion step, as a front end polling its timer would, until the
// job has been reported. Nothing if the request refused to start (its message shown) or the job
// never ended.
std::optional<JobOutcome> RunRequest(bool decrypt, JobState& state, RecordingFrontEnd& frontEnd,
                                     Platform& platform, const JobOptions& options = {std::chrono::milliseconds{0}, 0});

// A front end driving requests for one source file in a fresh directory.
struct Fixture {
    std::filesystem::path root;  // a fresh directory, removed with everything in it
    std::string source;
    Bytes plain;
    TestPlatform platform;
    RecordingFrontEnd frontEnd;
    JobState state;

    explicit Fixture(std::size_t size, AlgorithmId algorithm = AlgorithmId::Idea);
    ~Fixture();
    [[nodiscard]] std::string Path(const std::string& name) const { return (root / name).string(); }
    // Encrypts the source under this platform's clock but without its faults, removes the source and
    // chooses the container, with the passphrase typed once.
    void PrepareDecryption();
    std::optional<JobOutcome> Run(bool decrypt, const JobOptions& options = {std::chrono::milliseconds{0}, 0}) {
        return RunRequest(decrypt, state, frontEnd, platform, options);
    }
    [[nodiscard]] std::string Output(bool decrypt) const { return decrypt ? source : source + ".enc"; }
    [[nodiscard]] const Message& Last() const { return frontEnd.messages.back(); }
    // Every entry of the directory by path: its kind, a link's target, a file's size and a digest of
    // its bytes (files past 64 MiB, the sparse ones, by size alone).
    [[nodiscard]] std::map<std::string, std::string> Snapshot() const;
};

// An independent construction of a container with libgcrypt: the same generator, written here, and
// the ciphers' standard byte views of the key words and blocks.
[[nodiscard]] Bytes ReferenceContainer(AlgorithmId algorithm, const KeyWords& keyWords, std::uint32_t seed,
                                       const Bytes& source);

// libgcrypt's CBC over whole container blocks (no header) under the given initial words.
[[nodiscard]] Bytes ReferenceCbc(bool encrypt, AlgorithmId algorithm, const KeyWords& keyWords, std::uint32_t iv0,
                                 std::uint32_t iv1, Bytes blocks);

}  // namespace morvex::test
