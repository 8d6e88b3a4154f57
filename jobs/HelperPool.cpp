#include "jobs/HelperPool.h"

#include <algorithm>
#include <thread>

namespace morvex {

HelperPool::HelperPool(Platform& platform, unsigned threads) : platform_(platform) {
    if (threads == 0) {
        threads = std::max(1U, std::thread::hardware_concurrency());
    }
    maxHelpers_ = threads - 1;
    helpers_.reserve(maxHelpers_);
}

HelperPool::~HelperPool() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    work_.notify_all();
    for (auto& helper : helpers_) {
        helper->Join();
    }
}

void HelperPool::StartHelpers(std::size_t wanted) {
    wanted = std::min(wanted, maxHelpers_);
    while (helpers_.size() < wanted && !startFailed_) {
        std::unique_ptr<PlatformThread> helper = platform_.StartThread([this] { HelperLoop(); });
        if (!helper) {
            startFailed_ = true;
            break;
        }
        helpers_.push_back(std::move(helper));
    }
}

bool HelperPool::TakePiece(std::size_t& piece) noexcept {
    if (next_ >= pieces_) {
        return false;
    }
    piece = next_++;
    return true;
}

void HelperPool::RunErased(std::size_t pieces, Piece piece, void* context) {
    if (pieces > 1) {
        StartHelpers(pieces - 1);
    }
    if (helpers_.empty()) {
        for (std::size_t i = 0; i < pieces; ++i) {
            piece(context, i);
        }
        return;
    }
    std::unique_lock lock(mutex_);
    piece_ = piece;
    context_ = context;
    pieces_ = pieces;
    next_ = 0;
    ended_ = 0;
    lock.unlock();
    work_.notify_all();
    lock.lock();
    std::size_t mine = 0;
    while (TakePiece(mine)) {
        lock.unlock();
        piece(context, mine);
        lock.lock();
        ++ended_;
    }
    finished_.wait(lock, [&] { return ended_ == pieces_; });
    pieces_ = 0;
}

void HelperPool::HelperLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        work_.wait(lock, [&] { return stop_ || next_ < pieces_; });
        if (stop_) {
            return;
        }
        std::size_t mine = 0;
        (void)TakePiece(mine);
        const Piece piece = piece_;
        void* const context = context_;
        lock.unlock();
        piece(context, mine);
        lock.lock();
        if (++ended_ == pieces_) {
            finished_.notify_one();
        }
    }
}

}  // namespace morvex
