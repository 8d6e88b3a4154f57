#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "jobs/Platform.h"

namespace morvex::test {

// The native platform, except that while the gate is held every read after the job's first one
// waits, so a test can act while a job is certainly still in progress. Released, the gate can also
// make the job's reads or writes fail from then on, as a failing disk would. A wait gives up after a
// while so that a faulty test cannot hang the run.
class GatedPlatform final : public Platform {
  public:
    void Hold() {
        const std::lock_guard lock(mutex);
        held = true;
        readsSeen = 0;
    }

    void Release() {
        {
            const std::lock_guard lock(mutex);
            held = false;
        }
        changed.notify_all();
    }

    // The gate opens by itself once this flag is set: for a cancel that comes from the code under
    // test rather than from the test.
    void ReleaseWhen(const std::atomic<bool>& flag) { releaseFlag.store(&flag); }

    std::atomic<bool> failReadsAfterRelease{false};
    std::atomic<bool> failWritesAfterRelease{false};
    std::atomic<bool> failSize{false};
    std::atomic<bool> failStartThread{false};
    std::atomic<bool> failDiscard{false};  // the output goes, but the discard reports this name left

    Opened<PlatformSource> OpenSource(const std::string& path) override {
        Opened<PlatformSource> opened = NativePlatform().OpenSource(path);
        if (opened.file) {
            opened.file = std::make_unique<GatedSource>(std::move(opened.file), *this);
        }
        return opened;
    }
    Opened<PlatformNewOutput> CreateOutput(const std::string& path) override {
        Opened<PlatformNewOutput> opened = NativePlatform().CreateOutput(path);
        if (opened.file) {
            opened.file = std::make_unique<GatedOutput>(std::move(opened.file), *this);
        }
        return opened;
    }
    std::error_code RemoveFile(const std::string& path) override { return NativePlatform().RemoveFile(path); }
    std::unique_ptr<PlatformThread> StartThread(std::function<void()> routine) override {
        return failStartThread ? nullptr : NativePlatform().StartThread(std::move(routine));
    }
    void Sleep(std::chrono::milliseconds duration) override { NativePlatform().Sleep(duration); }
    std::uint64_t NowSeconds() override { return NativePlatform().NowSeconds(); }

  private:
    class GatedSource final : public PlatformSource {
      public:
        GatedSource(std::unique_ptr<PlatformSource> inner, GatedPlatform& owner)
            : file(std::move(inner)), gate(owner) {}
        std::optional<std::uint64_t> Size() override { return gate.failSize ? std::nullopt : file->Size(); }
        std::optional<std::size_t> Read(std::span<std::uint8_t> bytes) override {
            return gate.PassRead() ? file->Read(bytes) : std::nullopt;
        }
        std::optional<std::size_t> ReadAt(std::uint64_t offset, std::span<std::uint8_t> bytes) override {
            return gate.PassRead() ? file->ReadAt(offset, bytes) : std::nullopt;
        }
        void Close() override { file->Close(); }
        std::error_code Error() const override { return file->Error(); }

      private:
        std::unique_ptr<PlatformSource> file;
        GatedPlatform& gate;
    };

    class GatedOutput final : public PlatformNewOutput {
      public:
        GatedOutput(std::unique_ptr<PlatformNewOutput> inner, GatedPlatform& owner)
            : file(std::move(inner)), gate(owner) {}
        bool Write(std::span<const std::uint8_t> bytes) override {
            return gate.PassWrite() && file->Write(bytes);
        }
        bool SetEnd(std::uint64_t length) override { return file->SetEnd(length); }
        bool Flush() override { return file->Flush(); }
        bool Close() override { return file->Close(); }
        std::error_code Error() const override { return file->Error(); }
        void PreferCache() noexcept override { file->PreferCache(); }
        bool Publish() override { return file->Publish(); }
        DiscardResult Discard() override {
            const DiscardResult result = file->Discard();
            return gate.failDiscard ? DiscardResult{std::make_error_code(std::errc::permission_denied), "left.bin"}
                                    : result;
        }

      private:
        std::unique_ptr<PlatformNewOutput> file;
        GatedPlatform& gate;
    };

    // False for a read that is to fail.
    bool PassRead() {
        std::unique_lock lock(mutex);
        if (held && ++readsSeen > 1) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!changed.wait_for(lock, std::chrono::milliseconds(2), [this] {
                return !held || Flagged();
            }) && std::chrono::steady_clock::now() < deadline) {
            }
            held = false;
            releaseFlag.store(nullptr);  // the record that holds it may go away next
        }
        return held || !failReadsAfterRelease;
    }

    bool PassWrite() {
        const std::lock_guard lock(mutex);
        return held || !failWritesAfterRelease;
    }

    bool Flagged() const {
        const std::atomic<bool>* flag = releaseFlag.load();
        return flag != nullptr && flag->load();
    }

    std::mutex mutex;
    std::condition_variable changed;
    bool held = false;
    int readsSeen = 0;
    std::atomic<const std::atomic<bool>*> releaseFlag{nullptr};
};

}  // namespace morvex::test
