#include <cstdint>
#include <functional>
#include <system_error>
#include <thread>
#include <utility>

#include "base/SecureWipe.h"
#include "jobs/Platform.h"

namespace morvex {

namespace {

class StandardThread final : public PlatformThread {
public:
    explicit StandardThread(std::thread thread) : thread_(std::move(thread)) {}
    ~StandardThread() override {
        if (thread_.joinable()) {
            thread_.detach();
        }
    }
    StandardThread(const StandardThread&) = delete;
    StandardThread& operator=(const StandardThread&) = delete;

    void Join() override {
        if (thread_.joinable()) {
            thread_.join();
        }
    }

private:
    std::thread thread_;
};

// Every engine thread runs here: the worker derives the key and holds the ciphers' schedules on
// its stack, the helpers decrypt with them. The stack they use is kept out of swap while they run
// and wiped before the thread ends, since the system keeps a finished thread's stack for the next.
void RunWithGuardedStack(const std::function<void()>& routine) {
    unsigned char entry = 0;
    const auto* window = reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(&entry) - kScrubbedStackBytes);
    LockMemory(window, kScrubbedStackBytes);
    routine();
    ScrubStack();
    UnlockMemory(window, kScrubbedStackBytes);
}

}  // namespace

std::unique_ptr<PlatformThread> StartStandardThread(std::function<void()> routine) {
    try {
        return std::make_unique<StandardThread>(
            std::thread([routine = std::move(routine)] { RunWithGuardedStack(routine); }));
    } catch (const std::system_error&) {
        return nullptr;
    }
}

}  // namespace morvex
