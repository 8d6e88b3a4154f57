#include <system_error>
#include <thread>
#include <utility>

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

}  // namespace

std::unique_ptr<PlatformThread> StartStandardThread(std::function<void()> routine) {
    try {
        return std::make_unique<StandardThread>(std::thread(std::move(routine)));
    } catch (const std::system_error&) {
        return nullptr;
    }
}

}  // namespace morvex
