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

void HelperPool::RunErased(std::size_t pieces, Piece piece, void* pieceContext, Then then, void* thenContext) {
    if (pieces > 1) {
        StartHelpers(pieces - 1);
    }
    if (helpers_.empty()) {
        for (std::size_t i = 0; i < pieces; ++i) {
            piece(pieceContext, i);
            if (!then(thenContext, i)) {
                return;
            }
        }
        return;
    }
    std::unique_lock lock(mutex_);
    piece_ = piece;
    context_ = pieceContext;
    pieces_ = pieces;
    next_ = 0;
    endedCount_ = 0;
    pieceEnded_.assign(pieces, false);
    lock.unlock();
    work_.notify_all();
    lock.lock();
    std::size_t followed = 0;  // pieces handed to then so far
    bool stopped = false;
    for (;;) {
        while (!stopped && followed < pieces && pieceEnded_[followed]) {
            lock.unlock();
            const bool more = then(thenContext, followed);
            lock.lock();
            ++followed;
            if (!more) {
                stopped = true;
                pieces_ = next_;  // nothing more is handed out
            }
        }
        std::size_t mine = 0;
        if (TakePiece(mine)) {
            lock.unlock();
            piece(pieceContext, mine);
            lock.lock();
            pieceEnded_[mine] = true;
            ++endedCount_;
            continue;
        }
        if (stopped || followed == pieces) {
            break;
        }
        // Every piece is handed out; the next one to follow is still with a helper.
        ended_.wait(lock, [&] { return pieceEnded_[followed]; });
    }
    ended_.wait(lock, [&] { return endedCount_ == next_; });
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
        pieceEnded_[mine] = true;
        ++endedCount_;
        ended_.notify_one();
    }
}

}  // namespace morvex
