#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "jobs/Platform.h"

namespace morvex {

// Threads that stay for a job and share the pieces of each run with the thread that owns the pool.
// They start through the platform when a run first has work for them, so a job that never needs
// them starts none, and each is woken per run instead of started per run. Pieces are handed out one
// at a time to whoever is free, so a thread that the system holds back costs a piece, not half the
// run; the owner takes pieces too and never waits for a helper that has not taken one. A helper
// that cannot start leaves its pieces to the others.
class HelperPool {
public:
    // threads: the most threads a run uses, the owner's included; 0 means one per processor core.
    HelperPool(Platform& platform, unsigned threads);
    ~HelperPool();  // stops the helpers and waits for them
    HelperPool(const HelperPool&) = delete;
    HelperPool& operator=(const HelperPool&) = delete;

    // Runs task(piece) for every piece below pieces, on the calling thread and on the helpers, and
    // then(piece) on the calling thread for every piece in order, as soon as it and the pieces
    // before it have ended, while the helpers go on with later pieces. When then returns false,
    // pieces not yet begun are dropped. Returns once every piece begun has ended. task must be
    // callable from several threads at once.
    template <class Task, class Then>
    void Run(std::size_t pieces, Task& task, Then& then) {
        RunErased(
            pieces, [](void* context, std::size_t piece) { (*static_cast<Task*>(context))(piece); }, &task,
            [](void* context, std::size_t piece) { return (*static_cast<Then*>(context))(piece); }, &then);
    }

    // Helpers started so far.
    [[nodiscard]] std::size_t Helpers() const noexcept { return helpers_.size(); }

private:
    using Piece = void (*)(void* context, std::size_t piece);
    using Then = bool (*)(void* context, std::size_t piece);

    void RunErased(std::size_t pieces, Piece piece, void* pieceContext, Then then, void* thenContext);
    void StartHelpers(std::size_t wanted);
    void HelperLoop();
    // Takes the next piece of the current run; false when none is left. Called with the lock held.
    [[nodiscard]] bool TakePiece(std::size_t& piece) noexcept;

    Platform& platform_;
    std::size_t maxHelpers_;
    bool startFailed_ = false;  // one failed start is enough: the next would fail as well
    std::vector<std::unique_ptr<PlatformThread>> helpers_;

    std::mutex mutex_;
    std::condition_variable work_;   // a run has begun, or the pool stops
    std::condition_variable ended_;  // a piece has ended
    Piece piece_ = nullptr;
    void* context_ = nullptr;
    std::size_t pieces_ = 0;         // of the current run; 0 between runs
    std::size_t next_ = 0;           // the next piece to hand out
    std::size_t endedCount_ = 0;     // pieces of the current run that have ended
    std::vector<bool> pieceEnded_;   // by piece, for the in-order follow-up
    bool stop_ = false;
};

}  // namespace morvex
