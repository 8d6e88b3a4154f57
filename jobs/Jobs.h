#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <system_error>

#include "jobs/ContainerCheck.h"
#include "jobs/JobState.h"
#include "jobs/Platform.h"
#include "keys/PassphraseText.h"

namespace morvex {

// How a front end starts its jobs.
struct JobOptions {
    // The pause after the last block, so that a front end polling every 500 ms shows a full bar
    // at least once. A front end that does not poll has no use for it.
    std::chrono::milliseconds finalPause{750};
    // Threads that share the decryption of one job; 0 means one per processor core.
    unsigned decryptThreads = 0;
    // Decrypt tells a wrong passphrase, the other cipher and a cut-short container from the
    // container's last block before it creates anything, where the container allows it.
    bool verifyKey = true;
    // With no algorithm chosen, Decrypt takes the one the container verifies with.
    bool findCipher = false;
    // The byte rule's code page for typed text: the system's, so that a passphrase makes the key
    // the system's other programs made from it.
    CodePage homeCodePage = HomeCodePage();
};

// Reads and writes of a job are grouped into transfers of this size; memory stays flat whatever
// the size of the file.
inline constexpr std::size_t kJobTransferBytes = std::size_t{1} << 20;

// Why a request did not start its job, in the order the requests check.
enum class Refusal {
    NoAlgorithm,
    NoFileToEncrypt,
    NoFileToDecrypt,
    NoPassphrase,
    NoRetype,
    PassphrasesDiffer,
    NotAContainer,
    CannotOpenSource,
    CannotCreateOutput,
    CannotDetermineSize,
    CannotStartJob,
    // Told by the container's last block, before anything is created:
    WrongKey,          // the passphrase, or the algorithm, is certainly wrong for the container
    OtherCipher,       // the passphrase is right, but for the other algorithm (verifyingCipher)
    CutShort,          // the container is shorter than its length field says
    CipherNotFound,    // no algorithm chosen and none could be told from the container
};

struct RequestResult {
    std::optional<Refusal> refusal;  // nothing: the job started
    std::error_code cause;           // the system's reason, or the engine's (JobError), where there is one
    DiscardResult cleanup;           // a refused start whose new output could not be removed again
    // What the container's check said, when it ran: the verdict on the key that the job uses (or
    // on the passphrase as chosen, for a refusal), the algorithm that verified, and the byte form of
    // the passphrase that verified when it was not the rule's own.
    std::optional<CheckResult> check;
    AlgorithmId verifyingCipher = AlgorithmId::None;
    std::optional<PassphraseEncoding> recodedAs;

    [[nodiscard]] bool Started() const noexcept { return !refusal; }
};

enum class JobOutcome {
    Done,
    Failed,
    Canceled,
    OutputNameTaken,  // the output's name was taken while the job ran; nothing was replaced
};

// What one tick of the completion step found.
struct JobTick {
    enum class Kind {
        Idle,      // no job runs
        Working,   // percent is the progress to show
        Finished,  // the worker has ended; the record is already reset for the next job
    };
    Kind kind = Kind::Idle;
    int percent = 0;
    JobOutcome outcome = JobOutcome::Done;
    std::error_code cause{};  // for Failed and OutputNameTaken, the system's reason where it gave one
};

using WorkerRoutine = void (*)(JobState& state, Platform& platform);

// The Encrypt and Decrypt requests: check what the user chose, name the output and start the job.
[[nodiscard]] RequestResult EncryptRequest(JobState& state, Platform& platform, const JobOptions& options);
[[nodiscard]] RequestResult DecryptRequest(JobState& state, Platform& platform, const JobOptions& options);

// The key's bytes of a passphrase as the user gave it: the byte rule's for text, the bytes as they
// stand otherwise; cut to the bytes that reach the digest.
[[nodiscard]] std::string KeyBytes(std::string_view passphrase, bool isBytes, CodePage home);

// Opens the files named in inputName and outputName and starts the worker. On success the front
// end switches its controls to a running job.
[[nodiscard]] RequestResult StartJob(JobState& state, Platform& platform, WorkerRoutine routine,
                                     const JobOptions& options);

// The worker routines; each ends by storing done.
void EncryptJob(JobState& state, Platform& platform);
void DecryptJob(JobState& state, Platform& platform);

// The completion step, run on every tick of the front end's timer. On the tick that finds the
// worker ended it resets running and done before anything is shown, so ticks that arrive while the
// front end reports the outcome find no job. The front end then reports the outcome, calls
// DiscardOutput for a job that did not succeed, restores its controls and empties its bar.
[[nodiscard]] JobTick FinishJob(JobState& state);

// Removes the unfinished output of the job just reported as not done: the file the job created,
// never a file found by its name. What could not be removed is named in the result.
[[nodiscard]] DiscardResult DiscardOutput(const JobState& state, Platform& platform);

// The cancel command: the worker stops after its current block.
void CancelJob(JobState& state);

// The cancel command, then a wait for the worker's end and the removal of an unfinished output:
// for a front end that goes away while its job runs.
void AbandonJob(JobState& state, Platform& platform);

}  // namespace morvex
