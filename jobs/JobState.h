#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <system_error>

#include "base/KeyWords.h"
#include "jobs/AlgorithmId.h"
#include "jobs/Platform.h"

namespace morvex {

// The record that a front end and the worker share, in three parts by who writes them. The front
// end owns it and keeps it alive until FinishJob has reported the job it started.
struct JobState {
    // What the user chose. Written by the front end at any time, also while a job runs; the worker
    // never reads it.
    struct Choice {
        AlgorithmId algorithm = AlgorithmId::None;
        std::string chosenPath;
        // The passphrase as the user gave it: text in UTF-8, which the request turns into the key's
        // bytes by the byte rule of keys/PassphraseText.h; or bytes to take exactly as they stand.
        // At most the first 55 bytes reach the digest.
        std::string passphrase;
        std::string retype;
        bool passphraseIsBytes = false;
    } choice;

    // The job's own: filled by the request before the worker starts, then the worker's alone
    // until it publishes done. The algorithm and passphrase are copies, so that later changes in
    // the front end cannot reach a running job.
    struct Job {
        std::string inputName;
        std::string outputName;
        std::unique_ptr<PlatformSource> inputFile;
        std::unique_ptr<PlatformOutput> outputFile;
        std::uint32_t size = 0;
        AlgorithmId algorithm = AlgorithmId::None;
        std::string passphrase;  // the key's bytes, at most 55
        KeyWords keyWords;
        std::chrono::milliseconds finalPause{0};
        unsigned decryptThreads = 0;
    } job;

    // What the worker publishes. done is stored last, with release order; the front end reads the
    // rest only after it has seen done with acquire order, except percent, which it polls.
    struct Published {
        std::atomic<std::int32_t> percent{0};
        std::atomic<bool> failed{false};
        std::error_code failureCause;  // the system's reason for a failed read or write
        std::atomic<bool> done{false};
    } published;

    // The cancel command: written by the front end at any time, read by the worker after each block.
    std::atomic<bool> cancelRequested{false};

    // Touched by the front end's thread only.
    bool running = false;
};

}  // namespace morvex
