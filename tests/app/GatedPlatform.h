#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "jobs/Platform.h"

namespace morvex::test {

// The native platform, except that every read after a job's first one waits until the test opens the
// gate, so a test can act while a job is certainly still in progress. The wait gives up after a while
// so that a faulty test cannot hang the run.
class GatedPlatform final : public Platform {
public:
    void Open() {
        {
            const std::lock_guard lock(mutex);
            open = true;
        }
        opened.notify_all();
    }

    std::unique_ptr<PlatformFile> OpenForReading(const std::string& path) override {
        auto file = NativePlatform().OpenForReading(path);
        return file ? std::make_unique<GatedFile>(std::move(file), *this) : nullptr;
    }
    std::unique_ptr<PlatformFile> CreateNew(const std::string& path) override {
        return NativePlatform().CreateNew(path);
    }
    bool RemoveFile(const std::string& path) override { return NativePlatform().RemoveFile(path); }
    bool StartThread(std::function<void()> routine) override {
        return NativePlatform().StartThread(std::move(routine));
    }
    void Sleep(std::chrono::milliseconds duration) override { NativePlatform().Sleep(duration); }
    std::uint64_t NowSeconds() override { return NativePlatform().NowSeconds(); }

private:
    class GatedFile final : public PlatformFile {
    public:
        GatedFile(std::unique_ptr<PlatformFile> inner, GatedPlatform& owner)
            : file(std::move(inner)), gate(owner) {}
        std::optional<std::uint64_t> Size() override { return file->Size(); }
        std::optional<std::size_t> Read(std::span<std::uint8_t> bytes) override {
            gate.WaitForTurn();
            return file->Read(bytes);
        }
        bool Write(std::span<const std::uint8_t> bytes) override { return file->Write(bytes); }
        bool SetEnd(std::uint64_t length) override { return file->SetEnd(length); }
        bool Flush() override { return file->Flush(); }
        bool Close() override { return file->Close(); }

    private:
        std::unique_ptr<PlatformFile> file;
        GatedPlatform& gate;
    };

    void WaitForTurn() {
        std::unique_lock lock(mutex);
        if (++readsSeen > 1) {
            opened.wait_for(lock, std::chrono::seconds(20), [this] { return open; });
        }
    }

    std::mutex mutex;
    std::condition_variable opened;
    bool open = false;
    int readsSeen = 0;
};

}  // namespace morvex::test
