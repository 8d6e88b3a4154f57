#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "jobs/AlgorithmId.h"
#include "jobs/Platform.h"
#include "keys/KeyWords.h"

namespace morvex {

// The record that a front end and the worker share. The front end owns it and keeps it alive
// until FinishJob has reported the job it started.
struct JobState {
    // Written by the front end at any time, also while a job runs.
    AlgorithmId algorithm = AlgorithmId::None;
    std::string chosenPath;
    std::string passphrase;  // at most 55 bytes reach the digest
    std::string retype;

    // Written by the request before the worker starts; then read by the worker only.
    std::string inputName;
    std::string outputName;
    std::unique_ptr<PlatformFile> inputFile;
    std::unique_ptr<PlatformFile> outputFile;
    std::uint32_t size = 0;
    // The job's own copies, taken when it starts, so that later changes in the front end
    // cannot reach a running job.
    AlgorithmId jobAlgorithm = AlgorithmId::None;
    std::string jobPassphrase;
    std::chrono::milliseconds finalPause{0};
    unsigned decryptThreads = 0;

    // Written by the worker.
    KeyWords keyWords;
    std::atomic<std::int32_t> percent{0};
    std::atomic<bool> failed{false};
    std::atomic<bool> done{false};  // stored last, with release order

    // Written by the front end: the cancel command, at any time.
    std::atomic<bool> cancelRequested{false};

    // Touched by the front end's thread only.
    bool running = false;
};

}  // namespace morvex
