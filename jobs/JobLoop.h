#pragma once

// What the two worker routines share: the progress steps after a block, the hand-on of transfers,
// the end of the output and the worker's last steps. Private to the engine.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "base/ByteOrder.h"
#include "base/SecureWipe.h"
#include "jobs/JobState.h"
#include "jobs/OutputWriter.h"
#include "jobs/Platform.h"
#include "jobs/ProgressTracker.h"
#include "jobs/SourceReader.h"
#include "jobs/WriteBehindFile.h"

namespace morvex::detail {

enum class LoopEnd {
    Done,
    Canceled,
    Failed,
};

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

// BlockEndsLoop after each of count blocks, the first ending at off + kBlockBytes: true once it
// ends the loop, with off at the block that ended it and stepped the blocks done so far. Between
// the offsets where the percentage changes or the input ends, a block's steps come down to its
// cancel check, and there this runs nothing else, so that it keeps pace with two cipher threads.
[[nodiscard]] inline bool BlocksEndLoop(JobState& state, ProgressTracker& progress, std::uint64_t& off,
                                        std::uint64_t size, std::size_t count, std::size_t& stepped,
                                        LoopEnd& end) noexcept {
    const std::atomic<bool>& cancel = state.cancelRequested;
    std::uint64_t at = off;
    std::size_t done = 0;
    while (done < count) {
        const std::uint64_t event = std::min(progress.NextChange(), size);
        const std::uint64_t quietBlocks = event > at ? (event - at - 1) / kBlockBytes : 0;
        const std::size_t quiet = static_cast<std::size_t>(std::min<std::uint64_t>(quietBlocks, count - done));
#pragma GCC unroll 4
        for (std::size_t k = 0; k < quiet; ++k) {
            if (cancel.load(std::memory_order_relaxed)) {
                off = at + (k + 1) * kBlockBytes;
                stepped = done + k + 1;
                end = LoopEnd::Canceled;
                return true;
            }
        }
        at += quiet * kBlockBytes;
        done += quiet;
        if (done == count) {
            break;
        }
        at += kBlockBytes;
        ++done;
        if (BlockEndsLoop(state, progress, at, size, end)) {
            off = at;
            stepped = done;
            return true;
        }
    }
    off = at;
    stepped = done;
    return false;
}

// Makes room for at least one block in the input and the output: how many whole blocks both hold
// (0 when the input ends inside the next block), or nothing after a failure. A write that failed
// behind the job stops it here, before it reads or ciphers another transfer.
[[nodiscard]] inline std::optional<std::size_t> NextTransfer(SourceReader& reader, OutputWriter& writer,
                                                            WriteBehindFile& output) {
    if (output.Failed() || !writer.Reserve(kBlockBytes) || !reader.Ensure(kBlockBytes)) {
        return std::nullopt;
    }
    return std::min(reader.Available().size(), writer.SpaceBytes()) / kBlockBytes;
}

// Hands the first blocks of a transfer on: written to the output, consumed from the input.
inline void FinishTransfer(SourceReader& reader, OutputWriter& writer, std::size_t blocks) {
    writer.Commit(blocks * kBlockBytes);
    reader.Consume(blocks * kBlockBytes);
}

// True if the input ends where the job stopped reading: a source that grew after the job's last
// block fails here, and SizeCheckedSource says why. A failed read is false too.
[[nodiscard]] inline bool InputEndsHere(SourceReader& reader) {
    return reader.Ensure(1) && reader.Available().empty();
}

// After the loop: blocks up to a cancel are written too, so that the output always ends on a whole
// block; a length to cut to, if any; then, after success only, a full bar, everything on stable
// storage, the output's final name (it has none before, so nothing partial can ever be found under
// it) and the pause a polling front end needs to show the full bar once. A cancel during the pause
// finds the job already published.
[[nodiscard]] inline bool FinishOutput(JobState& state, Platform& platform, OutputWriter& writer,
                                       PlatformOutput& output, LoopEnd end, std::optional<std::uint32_t> cut) {
    bool ok = end == LoopEnd::Done;
    if (ok) {
        state.published.percent.store(100, std::memory_order_relaxed);
    }
    if (!writer.WritePending()) {
        ok = false;
    }
    if (cut && !output.SetEnd(*cut)) {
        ok = false;
    }
    if (ok && !output.Flush()) {
        ok = false;
    }
    if (ok && !state.job.outputFile->Publish()) {
        state.published.outputNameTaken = state.job.outputFile->Error() == std::errc::file_exists;
        ok = false;
    }
    if (ok && state.job.finalPause.count() > 0) {
        platform.Sleep(state.job.finalPause);
    }
    return ok;
}

// The system's reason for a failure, from whichever file has one; the output's come first, since a
// failed write is what most often ends a job early, and a failed publication ends it last.
[[nodiscard]] inline std::error_code FailureCause(const PlatformSource& input, const PlatformOutput& output,
                                                  const PlatformOutput& created) {
    for (const std::error_code cause : {output.Error(), created.Error(), input.Error()}) {
        if (cause) {
            return cause;
        }
    }
    return {};
}

// The worker's last steps in every outcome: close both files, drop the key material, publish the
// outcome and, last of all, done. The output object stays for DiscardOutput; a failed job's unnamed
// output is gone once closed.
inline void EndWorker(JobState& state, bool succeeded, std::error_code cause) {
    if (state.job.inputFile) {
        state.job.inputFile->Close();
        state.job.inputFile.reset();
    }
    if (state.job.outputFile) {
        // Its bytes were on stable storage and named before this; a failure now loses nothing.
        (void)state.job.outputFile->Close();
    }
    SecureWipe(&state.job.keyWords, sizeof state.job.keyWords);
    SecureWipe(state.job.passphrase.data(), state.job.passphrase.size());
    UnlockMemory(&state.job.keyWords, sizeof state.job.keyWords);
    UnlockMemory(state.job.passphrase.data(), state.job.passphrase.capacity());
    state.job.passphrase.clear();
    state.published.failureCause = succeeded ? std::error_code{} : cause;
    state.published.failed.store(!succeeded, std::memory_order_relaxed);
    state.published.done.store(true, std::memory_order_release);
}

}  // namespace morvex::detail
