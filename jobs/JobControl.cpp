// Requests and job control: what runs on the front end's thread.

#include <algorithm>
#include <array>
#include <chrono>
#include <string>
#include <thread>

#include "base/SecureWipe.h"
#include "jobs/ContainerFormat.h"
#include "jobs/JobError.h"
#include "jobs/Jobs.h"
#include "jobs/KeySearch.h"
#include "keys/PassphraseDigest.h"

namespace morvex {

namespace {

RequestResult Refuse(Refusal refusal, std::error_code cause = {}) {
    RequestResult refused;
    refused.refusal = refusal;
    refused.cause = cause;
    return refused;
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
    state.job.passphrase.clear();
}

// Why a file of this size cannot be the job's input: nothing if it can, else the cause where there
// is one. 0xFFFFFFFF is refused too: it is the value by which the platform's 32-bit size call
// reports failure, so no container may carry it as a length. An encryption also needs its container
// below 4 GiB, since decryption accepts no larger file.
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

// The checks both requests open with, in their order; only the refusal for a missing file differs.
[[nodiscard]] std::optional<Refusal> CommonRequestChecks(const JobState& state, Refusal noFile, bool findCipher) {
    if (!IsKnownAlgorithm(state.choice.algorithm) && !(findCipher && state.choice.algorithm == AlgorithmId::None)) {
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

AlgorithmId OtherCipher(AlgorithmId algorithm) {
    return algorithm == AlgorithmId::Idea ? AlgorithmId::TripleDes : AlgorithmId::Idea;
}

// The container's check on the opened source, before anything is created: refuses what it proves
// wrong or cut short, and otherwise settles the algorithm and the key's bytes the job takes. When
// it cannot tell, the job goes ahead on what the user chose, exactly as it always did.
[[nodiscard]] RequestResult VetContainer(JobState& state, PlatformSource& source, CodePage home) {
    RequestResult vetted;
    const std::optional<std::uint64_t> size = source.Size();
    const std::optional<ContainerEnds> ends = size ? ReadContainerEnds(*size, source) : std::nullopt;
    const bool chosen = IsKnownAlgorithm(state.choice.algorithm);
    if (!ends) {
        // Unreadable here means the job's own reads will fail or find the file as it is: its
        // outcome says so.
        return chosen ? vetted : Refuse(Refusal::CipherNotFound);
    }
    const ContainerCheck check(*ends);
    const std::array<AlgorithmId, 2> ciphers = chosen
        ? std::array{state.choice.algorithm, OtherCipher(state.choice.algorithm)}
        : std::array{AlgorithmId::TripleDes, AlgorithmId::Idea};
    KeySearchResult found =
        SearchVerifyingKey(check, state.choice.passphrase,
                           state.choice.passphraseIsBytes ? PassphraseInputKind::ExactBytes : PassphraseInputKind::Text,
                           ciphers, home);
    vetted.check = found.asChosen;
    if (found.asChosen.verdict == CheckVerdict::CutShort) {
        vetted.refusal = Refusal::CutShort;
        return vetted;
    }
    if (!found.verifying) {
        // Wrong under every cipher and byte form tried: the passphrase itself is wrong.
        if (found.asChosen.verdict == CheckVerdict::Wrong) {
            vetted.refusal = Refusal::WrongKey;
        } else if (!chosen) {
            vetted.refusal = Refusal::CipherNotFound;
        }
        return vetted;
    }
    KeyChoice& key = *found.verifying;
    vetted.check = key.result;
    vetted.verifyingCipher = key.algorithm;
    if (chosen && key.algorithm != state.choice.algorithm) {
        WipePassphraseForm(key.form);
        vetted.refusal = Refusal::OtherCipher;
        return vetted;
    }
    if (key.form.encoding != PassphraseEncoding::AsGiven) {
        // A named copy, so that it is wiped: a temporary would go back to the allocator as it is.
        std::string asChosen = KeyBytes(state.choice.passphrase, state.choice.passphraseIsBytes, home);
        if (key.form.bytes != asChosen) {
            vetted.recodedAs = key.form.encoding;
        }
        SecureWipe(asChosen.data(), asChosen.size());
    }
    state.job.algorithm = key.algorithm;
    state.job.passphrase.assign(key.form.bytes, 0, std::min(key.form.bytes.size(), kMaxPassphraseBytes));
    WipePassphraseForm(key.form);
    return vetted;
}

[[nodiscard]] RequestResult Start(JobState& state, Platform& platform, WorkerRoutine routine,
                                  const JobOptions& options, bool vet) {
    Opened<PlatformSource> input = platform.OpenSource(state.job.inputName);
    if (!input.file) {
        return Refuse(Refusal::CannotOpenSource, input.error);
    }
    WipeJobPassphrase(state);
    state.job.algorithm = state.choice.algorithm;
    state.job.passphrase = KeyBytes(state.choice.passphrase, state.choice.passphraseIsBytes, options.homeCodePage);
    RequestResult vetted;
    if (vet) {
        vetted = VetContainer(state, *input.file, options.homeCodePage);
        if (vetted.refusal) {
            input.file->Close();
            WipeJobPassphrase(state);
            return vetted;
        }
    }
    Opened<PlatformNewOutput> output = platform.CreateOutput(state.job.outputName);
    if (!output.file) {
        input.file->Close();
        WipeJobPassphrase(state);
        return Refuse(Refusal::CannotCreateOutput, output.error);
    }
    const auto size = input.file->Size();
    if (const std::optional<std::error_code> problem = SizeProblem(size, routine, *input.file)) {
        input.file->Close();
        WipeJobPassphrase(state);
        // The new output is this request's own; nothing of it may stay to refuse the next attempt.
        RequestResult refused = Refuse(Refusal::CannotDetermineSize, *problem);
        refused.cleanup = output.file->Discard();
        return refused;
    }

    state.job.inputFile = std::move(input.file);
    state.job.outputFile = std::move(output.file);
    state.job.size = static_cast<std::uint32_t>(*size);
    state.job.finalPause = options.finalPause;
    state.job.decryptThreads = options.decryptThreads;

    // Out of swap while the job runs; the worker gives the pages back once it has wiped them.
    LockMemory(state.job.passphrase.data(), state.job.passphrase.capacity());
    LockMemory(&state.job.keyWords, sizeof state.job.keyWords);

    state.running = true;
    state.published.done.store(false, std::memory_order_relaxed);
    state.published.outputNameTaken = false;
    state.cancelRequested.store(false, std::memory_order_relaxed);

    JobState* shared = &state;
    Platform* services = &platform;
    // Released at once: the worker runs on detached and nothing waits for it.
    if (platform.StartThread([shared, services, routine] { routine(*shared, *services); })) {
        return vetted;
    }
    // No worker will ever close the files or set done: undo the start here.
    state.job.inputFile->Close();
    state.job.inputFile.reset();
    RequestResult refused = Refuse(Refusal::CannotStartJob);
    refused.cleanup = state.job.outputFile->Discard();
    WipeJobPassphrase(state);
    UnlockMemory(state.job.passphrase.data(), state.job.passphrase.capacity());
    UnlockMemory(&state.job.keyWords, sizeof state.job.keyWords);
    state.running = false;
    return refused;
}

}  // namespace

std::string KeyBytes(std::string_view passphrase, bool isBytes, CodePage home) {
    PassphraseForm form = isBytes ? PassphraseForm{PassphraseEncoding::AsGiven, std::string(passphrase)}
                                  : PassphraseBytes(passphrase, home);
    std::string key = form.bytes.substr(0, std::min(form.bytes.size(), kMaxPassphraseBytes));
    WipePassphraseForm(form);
    return key;
}

RequestResult StartJob(JobState& state, Platform& platform, WorkerRoutine routine, const JobOptions& options) {
    return Start(state, platform, routine, options, false);
}

RequestResult EncryptRequest(JobState& state, Platform& platform, const JobOptions& options) {
    if (const auto refusal = CommonRequestChecks(state, Refusal::NoFileToEncrypt, false)) {
        return Refuse(*refusal);
    }
    if (state.choice.retype.empty()) {
        return Refuse(Refusal::NoRetype);
    }
    // The keys the two texts make, byte for byte: what the comparison is for.
    std::string first = KeyBytes(state.choice.passphrase, state.choice.passphraseIsBytes, options.homeCodePage);
    std::string second = KeyBytes(state.choice.retype, state.choice.passphraseIsBytes, options.homeCodePage);
    const bool differ = first != second;
    SecureWipe(first.data(), first.size());
    SecureWipe(second.data(), second.size());
    if (differ) {
        return Refuse(Refusal::PassphrasesDiffer);
    }
    state.job.inputName = state.choice.chosenPath;
    state.job.outputName = state.choice.chosenPath + kContainerSuffix;
    return Start(state, platform, &EncryptJob, options, false);
}

RequestResult DecryptRequest(JobState& state, Platform& platform, const JobOptions& options) {
    if (const auto refusal = CommonRequestChecks(state, Refusal::NoFileToDecrypt, options.findCipher)) {
        return Refuse(*refusal);
    }
    if (!EndsWithSuffix(state.choice.chosenPath)) {
        return Refuse(Refusal::NotAContainer);
    }
    state.job.inputName = state.choice.chosenPath;
    state.job.outputName =
        state.choice.chosenPath.substr(0, state.choice.chosenPath.size() - (sizeof kContainerSuffix - 1));
    return Start(state, platform, &DecryptJob, options, options.verifyKey || options.findCipher);
}

JobTick FinishJob(JobState& state) {
    if (!state.running) {
        return {};
    }
    if (!state.published.done.load(std::memory_order_acquire)) {
        JobTick working;
        working.kind = JobTick::Kind::Working;
        working.percent = state.published.percent.load(std::memory_order_relaxed);
        return working;
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
