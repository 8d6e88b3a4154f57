#include "cli/NotifyingPlatform.h"

#include <utility>

#include "cli/Terminal.h"

namespace morvex {

std::unique_ptr<PlatformThread> NotifyingPlatform::StartThread(std::function<void()> routine) {
    // The new thread inherits the block: a signal then interrupts no read or write of a job, and
    // always finds the thread that turns it into the cancel command.
    const CancelSignalsBlocked blocked;
    // Every thread wakes the waiter, not only the worker: a helper's end costs one needless look
    // at the jobs, and the engine need not tell which thread is which.
    return inner_.StartThread([routine = std::move(routine)] {
        routine();
        WakeWaiter();
    });
}

}  // namespace morvex
