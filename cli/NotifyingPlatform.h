#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "jobs/Platform.h"

namespace morvex {

// The platform the tool hands to its requests: the system's own, except that every thread the
// engine starts wakes the tool's wait when it ends and leaves the cancel signals to the tool's own
// thread. A worker's last action is to publish done, so the wake after its end lets the tool
// collect a finished job at once instead of at the next poll.
class NotifyingPlatform final : public Platform {
public:
    explicit NotifyingPlatform(Platform& inner) : inner_(inner) {}

    Opened<PlatformSource> OpenSource(const std::string& path) override { return inner_.OpenSource(path); }
    Opened<PlatformOutput> CreateOutput(const std::string& path) override { return inner_.CreateOutput(path); }
    std::error_code RemoveFile(const std::string& path) override { return inner_.RemoveFile(path); }
    std::unique_ptr<PlatformThread> StartThread(std::function<void()> routine) override;
    void Sleep(std::chrono::milliseconds duration) override { inner_.Sleep(duration); }
    std::uint64_t NowSeconds() override { return inner_.NowSeconds(); }

private:
    Platform& inner_;
};

}  // namespace morvex
