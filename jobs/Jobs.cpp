#include "jobs/Jobs.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "ciphers/BlockBytes.h"
#include "ciphers/IdeaCipher.h"
#include "ciphers/TripleDes.h"
#include "jobs/Cbc.h"
#include "jobs/ContainerFormat.h"
#include "jobs/JobRandom.h"
#include "jobs/OutputWriter.h"
#include "jobs/ParallelCbc.h"
#include "jobs/ProgressTracker.h"
#include "jobs/ReadAheadFile.h"
#include "jobs/SourceReader.h"
#include "jobs/WriteBehindFile.h"
#include "keys/PassphraseDigest.h"
#include "keys/SecureWipe.h"

namespace morvex {

namespace {

const std::string kErrorTitle = "Error";

enum class LoopEnd {
    Done,
    Canceled,
    Failed,
};

void ShowError(JobFrontEnd& frontEnd, const std::string& text) {
    frontEnd.ShowMessage(text, kErrorTitle, MessageIcon::Information);
}

// The progress steps after one block: publish, then the cancel check, then the end of the input.
// False when the job goes on with the next block.
[[nodiscard]] inline bool BlockEndsLoop(JobState& state, ProgressTracker& progress, std::uint64_t off,
                                        std::uint64_t size, LoopEnd& end) noexcept {
    progress.Advance(off);
    if (state.cancelRequested.load(std::memory_order_relaxed)) {
        end = LoopEnd::Canceled;
        return true;
    }
    if (off >= size) {
        end = LoopEnd::Done;
        return true;
    }
    return false;
}

// Makes room for at least one block in the input and the output: how many whole blocks both hold
// (0 when the source ends inside the next block), or nothing after a failure.
[[nodiscard]] std::optional<std::size_t> NextTransfer(SourceReader& reader, OutputWriter& writer) {
    if (!writer.Reserve(kBlockBytes) || !reader.Ensure(kBlockBytes)) {
        return std::nullopt;
    }
    return std::min(reader.Available().size(), writer.SpaceBytes()) / kBlockBytes;
}

// Hands the first blocks of a transfer on: written to the output, consumed from the input.
void FinishTransfer(SourceReader& reader, OutputWriter& writer, std::size_t blocks) {
    writer.Commit(blocks * kBlockBytes);
    reader.Consume(blocks * kBlockBytes);
}

template <class Cipher>
LoopEnd EncryptLoop(const Cipher& cipher, JobState& state, JobRandom& random, const ChainWords& initialValue,
                    SourceReader& reader, OutputWriter& writer) {
    typename Cipher::EncryptionChain chain = cipher.StartEncryptionChain(initialValue.c0, initialValue.c1);
    const std::uint64_t size = state.size;
    ProgressTracker progress(size, state.percent);
    std::uint64_t off = 0;
    LoopEnd end = LoopEnd::Failed;
    for (;;) {
        const std::optional<std::size_t> transfer = NextTransfer(reader, writer);
        if (!transfer) {
            return LoopEnd::Failed;
        }
        const std::size_t blocks = *transfer;
        if (blocks == 0) {
            // The source ends inside this block: its fill shows wherever the reads found nothing.
            std::uint32_t p0 = random.NextWord();
            std::uint32_t p1 = random.NextWord();
            if (!reader.ReadWord(p0) || !reader.ReadWord(p1)) {
                return LoopEnd::Failed;
            }
            std::uint8_t last[kBlockBytes];
            StoreWord(last, p0);
            StoreWord(last + 4, p1);
            CbcEncryptBlock(cipher, chain, last, writer.Space());
            writer.Commit(kBlockBytes);
            off += kBlockBytes;
            if (BlockEndsLoop(state, progress, off, size, end)) {
                return end;
            }
            continue;
        }
        const std::uint8_t* source = reader.Available().data();
        std::uint8_t* out = writer.Space();
        for (std::size_t i = 0; i < blocks; ++i) {
            random.SkipBlockFill();
            // One block at a time: the progress step and the cancel check come after every block.
            CbcEncryptBlock(cipher, chain, source, out);
            source += kBlockBytes;
            out += kBlockBytes;
            off += kBlockBytes;
            if (BlockEndsLoop(state, progress, off, size, end)) {
                FinishTransfer(reader, writer, i + 1);
                return end;
            }
        }
        FinishTransfer(reader, writer, blocks);
    }
}

template <class Cipher>
LoopEnd DecryptLoop(const Cipher& cipher, JobState& state, ChainWords chain, SourceReader& reader,
                    OutputWriter& writer) {
    const std::uint64_t size = state.size;
    ProgressTracker progress(size, state.percent);
    std::uint64_t off = 0;
    // The words of the block just read; a read at the end of the container leaves them as they were.
    std::uint32_t y0 = 0;
    std::uint32_t y1 = 0;
    LoopEnd end = LoopEnd::Failed;
    for (;;) {
        const std::optional<std::size_t> transfer = NextTransfer(reader, writer);
        if (!transfer) {
            return LoopEnd::Failed;
        }
        const std::size_t blocks = *transfer;
        if (blocks == 0) {
            // Past the last whole block the reads deliver a part of a word or nothing at all.
            if (!reader.ReadWord(y0) || !reader.ReadWord(y1)) {
                return LoopEnd::Failed;
            }
            std::uint32_t d0 = 0;
            std::uint32_t d1 = 0;
            cipher.DecryptBlock(y0, y1, d0, d1);
            std::uint8_t* out = writer.Space();
            StoreWord(out, d0 ^ chain.c0);
            StoreWord(out + 4, d1 ^ chain.c1);
            chain = {y0, y1};
            writer.Commit(kBlockBytes);
            off += kBlockBytes;
            if (BlockEndsLoop(state, progress, off, size, end)) {
                return end;
            }
            continue;
        }
        ParallelCbcDecrypt(cipher, chain, reader.Available().data(), writer.Space(), blocks, state.decryptThreads);
        for (std::size_t i = 0; i < blocks; ++i) {
            off += kBlockBytes;
            if (BlockEndsLoop(state, progress, off, size, end)) {
                FinishTransfer(reader, writer, i + 1);
                return end;
            }
        }
        FinishTransfer(reader, writer, blocks);
        y0 = chain.c0;
        y1 = chain.c1;
    }
}

// The worker's last steps in every outcome: close both files, drop the key material, publish the
// outcome and, last of all, done.
void EndWorker(JobState& state, bool succeeded) {
    bool failed = !succeeded;
    if (state.inputFile) {
        // The input was only read: a failure to close it loses nothing.
        (void)state.inputFile->Close();
        state.inputFile.reset();
    }
    if (state.outputFile) {
        if (!state.outputFile->Close()) {
            failed = true;
        }
        state.outputFile.reset();
    }
    SecureWipe(&state.keyWords, sizeof state.keyWords);
    SecureWipe(state.jobPassphrase.data(), state.jobPassphrase.size());
    state.jobPassphrase.clear();
    state.failed.store(failed, std::memory_order_relaxed);
    state.done.store(true, std::memory_order_release);
}

// After a successful loop: full bar, everything on stable storage, then the pause a polling front
// end needs to show the full bar once.
[[nodiscard]] bool FinishOutput(JobState& state, Platform& platform, OutputWriter& writer, PlatformFile& output,
                                LoopEnd end, bool cutToLength, std::uint32_t length) {
    bool ok = end == LoopEnd::Done;
    if (ok) {
        state.percent.store(100, std::memory_order_relaxed);
    }
    // Blocks up to a cancel are written too, so that the output always ends on a whole block.
    if (!writer.WritePending()) {
        ok = false;
    }
    if (cutToLength && !output.SetEnd(length)) {
        ok = false;
    }
    if (ok && !output.Flush()) {
        ok = false;
    }
    if (ok && state.finalPause.count() > 0) {
        platform.Sleep(state.finalPause);
    }
    return ok;
}

bool EndsWithSuffix(const std::string& name) {
    const std::string suffix = kContainerSuffix;
    return name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool IsKnownAlgorithm(AlgorithmId algorithm) {
    return algorithm == AlgorithmId::TripleDes || algorithm == AlgorithmId::Idea;
}

// The two jobs up to the worker's end; everything they set up is gone again before done is set.
bool RunEncryption(JobState& state, Platform& platform) {
    JobRandom random(static_cast<std::uint32_t>(platform.NowSeconds()));
    ChainWords chain;
    chain.c0 = random.NextWord();
    chain.c1 = random.NextWord();
    state.keyWords = DeriveKeyWords(state.jobPassphrase);

    ReadAheadFile input(*state.inputFile, kJobTransferBytes);
    WriteBehindFile output(*state.outputFile, kJobTransferBytes);
    SourceReader reader(input, kJobTransferBytes);
    OutputWriter writer(output, kJobTransferBytes);
    std::uint8_t* header = writer.Space();
    StoreWord(header, state.size);
    StoreWord(header + 4, chain.c0);
    StoreWord(header + 8, chain.c1);
    writer.Commit(kContainerHeaderBytes);

    LoopEnd end = LoopEnd::Failed;
    if (state.jobAlgorithm == AlgorithmId::TripleDes) {
        const TripleDes cipher(state.keyWords);
        end = EncryptLoop(cipher, state, random, chain, reader, writer);
    } else if (state.jobAlgorithm == AlgorithmId::Idea) {
        const IdeaCipher cipher(state.keyWords);
        end = EncryptLoop(cipher, state, random, chain, reader, writer);
    }
    const bool ok = FinishOutput(state, platform, writer, output, end, false, 0);
    (void)input.Close();
    return output.Close() && ok;
}

bool RunDecryption(JobState& state, Platform& platform) {
    ReadAheadFile input(*state.inputFile, kJobTransferBytes);
    WriteBehindFile output(*state.outputFile, kJobTransferBytes);
    SourceReader reader(input, kJobTransferBytes);
    OutputWriter writer(output, kJobTransferBytes);

    // Words of a file too short to hold them stay 0.
    std::uint32_t length = 0;
    ChainWords chain;
    const bool lengthRead = reader.ReadWord(length);
    bool ok = lengthRead && reader.ReadWord(chain.c0) && reader.ReadWord(chain.c1);
    state.keyWords = DeriveKeyWords(state.jobPassphrase);

    LoopEnd end = LoopEnd::Failed;
    if (ok && state.jobAlgorithm == AlgorithmId::TripleDes) {
        const TripleDes cipher(state.keyWords);
        end = DecryptLoop(cipher, state, chain, reader, writer);
    } else if (ok && state.jobAlgorithm == AlgorithmId::Idea) {
        const IdeaCipher cipher(state.keyWords);
        end = DecryptLoop(cipher, state, chain, reader, writer);
    }
    // The cut removes the fill and the two blocks decrypted past the container's end.
    ok = FinishOutput(state, platform, writer, output, end, lengthRead && length < state.size, length);
    (void)input.Close();
    return output.Close() && ok;
}

}  // namespace

void EncryptJob(JobState& state, Platform& platform) {
    state.failed.store(false, std::memory_order_relaxed);
    EndWorker(state, RunEncryption(state, platform));
}

void DecryptJob(JobState& state, Platform& platform) {
    state.failed.store(false, std::memory_order_relaxed);
    EndWorker(state, RunDecryption(state, platform));
}

bool StartJob(JobState& state, JobFrontEnd& frontEnd, Platform& platform, WorkerRoutine routine,
              const JobOptions& options) {
    auto input = platform.OpenForReading(state.inputName);
    if (!input) {
        ShowError(frontEnd, "Unable to open the selected file");
        return false;
    }
    auto output = platform.CreateNew(state.outputName);
    if (!output) {
        ShowError(frontEnd, "Unable to create the output file");
        (void)input->Close();
        return false;
    }
    const auto size = input->Size();
    // 0xFFFFFFFF is refused too: it is the value by which the platform's 32-bit size call reports
    // failure, so no container may carry it as a length.
    if (!size || *size >= 0xFFFFFFFFULL) {
        ShowError(frontEnd, "Cannot determine file size");
        (void)input->Close();
        (void)output->Close();
        // The empty output is this request's own; left behind, it would refuse the next attempt.
        (void)platform.RemoveFile(state.outputName);
        return false;
    }

    state.inputFile = std::move(input);
    state.outputFile = std::move(output);
    state.size = static_cast<std::uint32_t>(*size);
    state.jobAlgorithm = state.algorithm;
    state.jobPassphrase = state.passphrase;
    state.finalPause = options.finalPause;
    state.decryptThreads = options.decryptThreads;

    frontEnd.SetControlsWorking(true);
    state.running = true;
    state.done.store(false, std::memory_order_relaxed);
    state.cancelRequested.store(false, std::memory_order_relaxed);

    JobState* shared = &state;
    Platform* services = &platform;
    if (platform.StartThread([shared, services, routine] { routine(*shared, *services); })) {
        return true;
    }
    // No worker will ever close the files or set done: undo the start here.
    (void)state.inputFile->Close();
    (void)state.outputFile->Close();
    state.inputFile.reset();
    state.outputFile.reset();
    SecureWipe(state.jobPassphrase.data(), state.jobPassphrase.size());
    state.jobPassphrase.clear();
    (void)platform.RemoveFile(state.outputName);
    state.running = false;
    ShowError(frontEnd, "Unable to start the job");
    frontEnd.SetControlsWorking(false);
    return false;
}

namespace {

// The checks both requests open with, in their order; only the text for a missing file differs.
[[nodiscard]] bool CommonRequestChecks(const JobState& state, JobFrontEnd& frontEnd, const char* noFileMessage) {
    if (!IsKnownAlgorithm(state.algorithm)) {
        ShowError(frontEnd, "You must select an encryption algorithm first");
        return false;
    }
    if (state.chosenPath.empty()) {
        ShowError(frontEnd, noFileMessage);
        return false;
    }
    if (state.passphrase.empty()) {
        ShowError(frontEnd, "You must type a passphrase first");
        return false;
    }
    return true;
}

}  // namespace

bool EncryptRequest(JobState& state, JobFrontEnd& frontEnd, Platform& platform, const JobOptions& options) {
    if (!CommonRequestChecks(state, frontEnd, "You must select a file to encrypt first")) {
        return false;
    }
    if (state.retype.empty()) {
        ShowError(frontEnd, "You must retype the passphrase first");
        return false;
    }
    if (state.passphrase != state.retype) {
        ShowError(frontEnd, "The passphrases you typed do not match");
        return false;
    }
    state.inputName = state.chosenPath;
    state.outputName = state.chosenPath + kContainerSuffix;
    return StartJob(state, frontEnd, platform, &EncryptJob, options);
}

bool DecryptRequest(JobState& state, JobFrontEnd& frontEnd, Platform& platform, const JobOptions& options) {
    if (!CommonRequestChecks(state, frontEnd, "You must select a file to decrypt first")) {
        return false;
    }
    if (!EndsWithSuffix(state.chosenPath)) {
        ShowError(frontEnd, "The file you selected is not an morvex encrypted file");
        return false;
    }
    state.inputName = state.chosenPath;
    state.outputName = state.chosenPath.substr(0, state.chosenPath.size() - (sizeof kContainerSuffix - 1));
    return StartJob(state, frontEnd, platform, &DecryptJob, options);
}

std::optional<JobOutcome> FinishJob(JobState& state, JobFrontEnd& frontEnd, Platform& platform) {
    if (!state.running) {
        return std::nullopt;
    }
    if (!state.done.load(std::memory_order_acquire)) {
        frontEnd.SetProgress(state.percent.load(std::memory_order_relaxed));
        return std::nullopt;
    }
    const bool failed = state.failed.load(std::memory_order_relaxed);
    // Cleared before any message, so ticks that arrive while it is open do nothing.
    state.running = false;
    state.done.store(false, std::memory_order_relaxed);

    JobOutcome outcome = JobOutcome::Done;
    if (!failed) {
        frontEnd.ShowMessage("     Done     ", "Done", MessageIcon::Information);
    } else {
        if (state.cancelRequested.load(std::memory_order_relaxed)) {
            outcome = JobOutcome::Canceled;
            frontEnd.ShowMessage("Canceled", "Canceled", MessageIcon::Information);
        } else {
            outcome = JobOutcome::Failed;
            ShowError(frontEnd, "File read/write error");
        }
        // The output was created new by this job, so only the job's own bytes go.
        (void)platform.RemoveFile(state.outputName);
    }
    frontEnd.SetControlsWorking(false);
    frontEnd.SetProgress(0);
    return outcome;
}

void CancelJob(JobState& state) {
    state.cancelRequested.store(true, std::memory_order_relaxed);
}

}  // namespace morvex
