// Requests and job control: what runs on the front end's thread.

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "base/SecureWipe.h"
#include "jobs/ContainerFormat.h"
#include "jobs/JobError.h"
#include "jobs/Jobs.h"
#include "keys/PassphraseDigest.h"

namespace morvex {

namespace {

RequestResult Refuse(Refusal refusal, std::error_code cause = {}) {
    RequestResult result;
    result.refusal = refusal;
    result.cause = cause;
    return result;
}

bool EndsWithSuffix(const std::string& name) {
    const std::string suffix = kContainerSuffix;
    return name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool IsKnownAlgorithm(AlgorithmId algorithm) {
    return algorithm == AlgorithmId::TripleDes || algorithm == AlgorithmId::Idea;
}

void WipeJobPassphrase(JobState& state) {
    SecureWipe(state.job.passphrase.data(), state.job.passphrase.size());
    UnlockMemory(state.job.passphrase.data(), state.job.passphrase.capacity());
    state.job.passphrase.clear();
}

// The checks both requests open with, in their order; only the refusal for a missing file differs.
[[nodiscard]] std::optional<Refusal> CommonRequestChecks(const JobState& state, Refusal noFile) {
    if (!IsKnownAlgorithm(state.choice.algorithm)) {
        return Refusal::NoAlgorithm;
    }
    if (state.choice.chosenPath.empty()) {
        return noFile;
    }
    if (state.choice.passphrase.empty()) {
        return Refusal::NoPassphrase;
    }
    return std::nullopt;
}

// Why a file of this size cannot be the job's input, if it cannot. 0xFFFFFFFF is refused too: it
// is the value by which the platform's 32-bit size call reports failure, so no container may carry
// it as a length. An encryption also needs its container below 4 GiB, since decryption accepts no
// larger file.
// Nothing if it can; otherwise the cause, where there is one.
[[nodiscard]] std::optional<std::error_code> SizeProblem(const std::optional<std::uint64_t>& size,
                                                         WorkerRoutine routine, const PlatformSource& input) {
    if (!size) {
        return input.Error();
    }
    if (*size >= 0xFFFFFFFFULL) {
        return std::make_error_code(std::errc::file_too_large);
    }
    if (routine == &EncryptJob && ContainerBytes(*size) >= (std::uint64_t{1} << 32)) {
        return make_error_code(JobError::ContainerTooLarge);
    }
    return std::nullopt;
}

}  // namespace

RequestResult StartJob(JobState& state, Platform& platform, WorkerRoutine routine, const JobOptions& options) {
    Opened<PlatformSource> input = platform.OpenSource(state.job.inputName);
    if (!input.file) {
        return Refuse(Refusal::CannotOpenSource, input.error);
    }
    Opened<PlatformNewOutput> output = platform.CreateOutput(state.job.outputName);
    if (!output.file) {
        input.file->Close();
        return Refuse(Refusal::CannotCreateOutput, output.error);
    }
    const auto size = input.file->Size();
    if (const std::optional<std::error_code> problem = SizeProblem(size, routine, *input.file)) {
        input.file->Close();
        // The new output is this request's own; nothing of it may stay to refuse the next attempt.
        RequestResult result = Refuse(Refusal::CannotDetermineSize, *problem);
        result.cleanup = output.file->Discard();
        return result;
    }

    state.job.inputFile = std::move(input.file);
    state.job.outputFile = std::move(output.file);
    state.job.size = static_cast<std::uint32_t>(*size);
    state.job.algorithm = state.choice.algorithm;
    // Room for every passphrase first, so that the copy never moves and leaves a copy behind.
    state.job.passphrase.reserve(std::max(state.choice.passphrase.size(), kMaxPassphraseBytes));
    LockMemory(state.job.passphrase.data(), state.job.passphrase.capacity());
    LockMemory(&state.job.keyWords, sizeof state.job.keyWords);
    state.job.passphrase = state.choice.passphrase;
    state.job.finalPause = options.finalPause;
    state.job.decryptThreads = options.decryptThreads;

    state.running = true;
    state.published.done.store(false, std::memory_order_relaxed);
    state.published.outputNameTaken = false;
    state.cancelRequested.store(false, std::memory_order_relaxed);

    JobState* shared = &state;
    Platform* services = &platform;
    // Released at once: the worker runs on detached and nothing waits for it.
    if (platform.StartThread([shared, services, routine] { routine(*shared, *services); })) {
        return {};
    }
    // No worker will ever close the files or set done: undo the start here.
    state.job.inputFile->Close();
    state.job.inputFile.reset();
    RequestResult result = Refuse(Refusal::CannotStartJob);
    result.cleanup = state.job.outputFile->Discard();
    WipeJobPassphrase(state);
    UnlockMemory(&state.job.keyWords, sizeof state.job.keyWords);
    state.running = false;
    return result;
}

RequestResult EncryptRequest(JobState& state, Platform& platform, const JobOptions& options) {
    if (const auto refusal = CommonRequestChecks(state, Refusal::NoFileToEncrypt)) {
        return Refuse(*refusal);
    }
    if (state.choice.retype.empty()) {
        return Refuse(Refusal::NoRetype);
    }
    if (state.choice.passphrase != state.choice.retype) {
        return Refuse(Refusal::PassphrasesDiffer);
    }
    state.job.inputName = state.choice.chosenPath;
    state.job.outputName = state.choice.chosenPath + kContainerSuffix;
    return StartJob(state, platform, &EncryptJob, options);
}

RequestResult DecryptRequest(JobState& state, Platform& platform, const JobOptions& options) {
    if (const auto refusal = CommonRequestChecks(state, Refusal::NoFileToDecrypt)) {
        return Refuse(*refusal);
    }
    if (!EndsWithSuffix(state.choice.chosenPath)) {
        return Refuse(Refusal::NotAContainer);
    }
    state.job.inputName = state.choice.chosenPath;
    state.job.outputName =
        state.choice.chosenPath.substr(0, state.choice.chosenPath.size() - (sizeof kContainerSuffix - 1));
    return StartJob(state, platform, &DecryptJob, options);
}

JobTick FinishJob(JobState& state) {
    if (!state.running) {
        return {};
    }
    if (!state.published.done.load(std::memory_order_acquire)) {
        JobTick tick;
        tick.kind = JobTick::Kind::Working;
        tick.percent = state.published.percent.load(std::memory_order_relaxed);
        return tick;
    }
    const bool failed = state.published.failed.load(std::memory_order_relaxed);
    state.running = false;
    state.published.done.store(false, std::memory_order_relaxed);

    JobTick tick;
    tick.kind = JobTick::Kind::Finished;
    if (failed) {
        if (state.published.outputNameTaken) {
            tick.outcome = JobOutcome::OutputNameTaken;
            tick.cause = state.published.failureCause;
        } else if (state.cancelRequested.load(std::memory_order_relaxed)) {
            tick.outcome = JobOutcome::Canceled;
        } else {
            tick.outcome = JobOutcome::Failed;
            tick.cause = state.published.failureCause;
        }
    }
    return tick;
}

DiscardResult DiscardOutput(const JobState& state, Platform& /*platform*/) {
    return state.job.outputFile ? state.job.outputFile->Discard() : DiscardResult{};
}

void CancelJob(JobState& state) { state.cancelRequested.store(true, std::memory_order_relaxed); }

void AbandonJob(JobState& state, Platform& platform) {
    if (!state.running) {
        return;
    }
    CancelJob(state);
    while (!state.published.done.load(std::memory_order_acquire)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    state.running = false;
    state.published.done.store(false, std::memory_order_relaxed);
    if (state.published.failed.load(std::memory_order_relaxed)) {
        (void)DiscardOutput(state, platform);
    }
}

}  // namespace morvex
