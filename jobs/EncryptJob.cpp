// The encryption job: a source in, a container out.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "ciphers/IdeaCipher.h"
#include "ciphers/TripleDes.h"
#include "jobs/Cbc.h"
#include "jobs/ContainerFormat.h"
#include "jobs/JobLoop.h"
#include "jobs/JobRandom.h"
#include "jobs/Jobs.h"
#include "jobs/ReadAheadFile.h"
#include "jobs/SizeCheckedSource.h"
#include "keys/PassphraseDigest.h"

namespace morvex {

namespace {

using detail::LoopEnd;

template <class Cipher>
LoopEnd EncryptLoop(const Cipher& cipher, JobState& state, JobRandom& random, const ContainerHeader& header,
                    SourceReader& reader, OutputWriter& writer, WriteBehindFile& output) {
    typename Cipher::EncryptionChain chain = cipher.StartEncryptionChain(header.initial0, header.initial1);
    const std::uint64_t size = state.job.size;
    ProgressTracker progress(size, state.published.percent);
    std::uint64_t off = 0;
    LoopEnd end = LoopEnd::Failed;
    for (;;) {
        const std::optional<std::size_t> transfer = detail::NextTransfer(reader, writer, output);
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
            if (detail::BlockEndsLoop(state, progress, off, size, end)) {
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
            if (detail::BlockEndsLoop(state, progress, off, size, end)) {
                detail::FinishTransfer(reader, writer, i + 1);
                return end;
            }
        }
        detail::FinishTransfer(reader, writer, blocks);
    }
}

// Everything it sets up is gone again before the worker's end.
bool RunEncryption(JobState& state, Platform& platform, std::error_code& cause) {
    JobRandom random(static_cast<std::uint32_t>(platform.NowSeconds()));
    ContainerHeader header;
    header.length = state.job.size;
    header.initial0 = random.NextWord();
    header.initial1 = random.NextWord();
    state.job.keyWords = DeriveKeyWords(state.job.passphrase);

    SizeCheckedSource source(*state.job.inputFile, state.job.size);
    ReadAheadFile input(source, platform, kJobTransferBytes);
    WriteBehindFile output(*state.job.outputFile, platform, kJobTransferBytes);
    SourceReader reader(input);
    OutputWriter writer(output);
    header.Write(std::span<std::uint8_t, kContainerHeaderBytes>(writer.Space(), kContainerHeaderBytes));
    writer.Commit(kContainerHeaderBytes);

    LoopEnd end = LoopEnd::Failed;
    if (state.job.algorithm == AlgorithmId::TripleDes) {
        const TripleDes cipher(state.job.keyWords);
        end = EncryptLoop(cipher, state, random, header, reader, writer, output);
    } else if (state.job.algorithm == AlgorithmId::Idea) {
        const IdeaCipher cipher(state.job.keyWords);
        end = EncryptLoop(cipher, state, random, header, reader, writer, output);
    }
    if (end == LoopEnd::Done && !detail::InputEndsHere(reader)) {
        end = LoopEnd::Failed;
    }
    const bool ok = detail::FinishOutput(state, platform, writer, output, end, std::nullopt);
    input.Close();
    const bool closed = output.Close();
    cause = detail::FailureCause(input, output, *state.job.outputFile);
    return closed && ok;
}

}  // namespace

void EncryptJob(JobState& state, Platform& platform) {
    state.published.failed.store(false, std::memory_order_relaxed);
    std::error_code cause;
    const bool ok = RunEncryption(state, platform, cause);
    detail::EndWorker(state, ok, cause);
}

}  // namespace morvex
