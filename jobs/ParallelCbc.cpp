#include "jobs/ParallelCbc.h"

#include <algorithm>
#include <array>
#include <thread>

#include "base/ByteOrder.h"

namespace morvex {

namespace {

// Below this many blocks per thread, starting a helper costs more than it saves.
constexpr std::size_t kMinBlocksPerThread = 4096;
constexpr unsigned kMaxThreads = 16;

template <class Cipher>
void Decrypt(const Cipher& cipher, ChainWords& chain, const std::uint8_t* in, std::uint8_t* out,
             std::size_t blockCount, unsigned threads, Platform& platform) {
    if (threads == 0) {
        // Asked once: the answer costs a file read on some systems, and a job asks per transfer.
        static const unsigned cores = std::max(1U, std::thread::hardware_concurrency());
        threads = cores;
    }
    threads = std::min({threads, kMaxThreads,
                        static_cast<unsigned>(std::min<std::size_t>(kMaxThreads, blockCount / kMinBlocksPerThread))});
    if (threads <= 1) {
        CbcDecrypt(cipher, chain, in, out, blockCount);
        return;
    }
    const std::size_t share = blockCount / threads;
    std::array<std::unique_ptr<PlatformThread>, kMaxThreads> helpers;
    std::size_t ownEnd = blockCount;  // the blocks no helper took stay with this thread
    for (unsigned t = threads - 1; t >= 1; --t) {
        const std::size_t begin = share * t;
        const std::size_t end = t == threads - 1 ? blockCount : share * (t + 1);
        const std::uint8_t* previous = in + (begin - 1) * kBlockBytes;
        ChainWords rangeChain{LoadWord(previous), LoadWord(previous + 4)};
        helpers[t] = platform.StartThread([&cipher, rangeChain, in, out, begin, end]() mutable {
            CbcDecrypt(cipher, rangeChain, in + begin * kBlockBytes, out + begin * kBlockBytes, end - begin);
        });
        if (!helpers[t]) {
            break;
        }
        ownEnd = begin;
    }
    ChainWords first = chain;
    CbcDecrypt(cipher, first, in, out, ownEnd);
    for (auto& helper : helpers) {
        if (helper) {
            helper->Join();
        }
    }
    const std::uint8_t* last = in + (blockCount - 1) * kBlockBytes;
    chain = {LoadWord(last), LoadWord(last + 4)};
}

}  // namespace

void ParallelCbcDecrypt(const TripleDes& cipher, ChainWords& chain, const std::uint8_t* in, std::uint8_t* out,
                        std::size_t blockCount, unsigned threads, Platform& platform) {
    Decrypt(cipher, chain, in, out, blockCount, threads, platform);
}

void ParallelCbcDecrypt(const IdeaCipher& cipher, ChainWords& chain, const std::uint8_t* in, std::uint8_t* out,
                        std::size_t blockCount, unsigned threads, Platform& platform) {
    Decrypt(cipher, chain, in, out, blockCount, threads, platform);
}

}  // namespace morvex
