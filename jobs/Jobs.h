#pragma once

#include <chrono>
#include <cstddef>
#include <optional>

#include "jobs/JobFrontEnd.h"
#include "jobs/JobState.h"
#include "jobs/Platform.h"

namespace morvex {

// How a front end starts its jobs.
struct JobOptions {
    // The pause after the last block, so that a front end polling every 500 ms shows a full bar
    // at least once. A front end that does not poll has no use for it.
    std::chrono::milliseconds finalPause{750};
    // Threads that share the decryption of one job; 0 means one per processor core.
    unsigned decryptThreads = 0;
};

// Reads and writes of a job are grouped into transfers of this size; memory stays flat whatever
// the size of the file.
inline constexpr std::size_t kJobTransferBytes = std::size_t{1} << 20;

enum class JobOutcome {
    Done,
    Failed,
    Canceled,
};

using WorkerRoutine = void (*)(JobState& state, Platform& platform);

// The Encrypt and Decrypt requests: check what the user chose, name the output and start the job.
// True if the worker started; otherwise exactly one message has been shown.
bool EncryptRequest(JobState& state, JobFrontEnd& frontEnd, Platform& platform, const JobOptions& options);
bool DecryptRequest(JobState& state, JobFrontEnd& frontEnd, Platform& platform, const JobOptions& options);

// Opens the files named in inputName and outputName, switches the controls and starts the worker.
bool StartJob(JobState& state, JobFrontEnd& frontEnd, Platform& platform, WorkerRoutine routine,
              const JobOptions& options);

// The worker routines; each ends by storing done.
void EncryptJob(JobState& state, Platform& platform);
void DecryptJob(JobState& state, Platform& platform);

// The completion step, run on every tick of the front end's timer. Returns the outcome once, on the
// tick that reports a finished job (after its message has been closed); nothing otherwise.
std::optional<JobOutcome> FinishJob(JobState& state, JobFrontEnd& frontEnd, Platform& platform);

// The cancel command: the worker stops after its current block.
void CancelJob(JobState& state);

}  // namespace morvex
