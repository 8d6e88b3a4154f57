// The decryption job: a container in, its source out.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "ciphers/IdeaCipher.h"
#include "ciphers/TripleDes.h"
#include "jobs/Cbc.h"
#include "jobs/ContainerFormat.h"
#include "jobs/HelperPool.h"
#include "jobs/JobLoop.h"
#include "jobs/Jobs.h"
#include "jobs/ParallelCbc.h"
#include "jobs/ReadAheadFile.h"
#include "jobs/SizeCheckedSource.h"
#include "keys/PassphraseDigest.h"

namespace morvex {

namespace {

using detail::LoopEnd;

template <class Cipher>
LoopEnd DecryptLoop(const Cipher& cipher, JobState& state, HelperPool& pool, ChainWords chain, SourceReader& reader,
                    OutputWriter& writer, WriteBehindFile& output) {
    const std::uint64_t size = state.job.size;
    ProgressTracker progress(size, state.published.percent);
    std::uint64_t off = 0;
    // The words of the block just read; a read at the end of the container leaves them as they were.
    std::uint32_t y0 = 0;
    std::uint32_t y1 = 0;
    LoopEnd end = LoopEnd::Failed;
    for (;;) {
        const std::optional<std::size_t> transfer = detail::NextTransfer(reader, writer, output);
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
            if (detail::BlockEndsLoop(state, progress, off, size, end)) {
                return end;
            }
            continue;
        }
        // Straight from the transfer read to the transfer written. The progress steps follow the
        // blocks as they are decrypted, while the other threads go on with the blocks after them.
        std::size_t stepped = 0;
        bool ended = false;
        auto steps = [&](std::size_t first, std::size_t count) {
            std::size_t done = 0;
            if (detail::BlocksEndLoop(state, progress, off, size, count, done, end)) {
                stepped = first + done;
                ended = true;
                return false;
            }
            return true;
        };
        ParallelCbcDecrypt(cipher, chain, reader.Available().data(), writer.Space(), blocks, pool, steps);
        if (ended) {
            detail::FinishTransfer(reader, writer, stepped);
            return end;
        }
        detail::FinishTransfer(reader, writer, blocks);
        y0 = chain.c0;
        y1 = chain.c1;
    }
}

bool RunDecryption(JobState& state, Platform& platform, std::error_code& cause) {
    SizeCheckedSource source(*state.job.inputFile, state.job.size);
    ReadAheadFile input(source, platform, kJobTransferBytes);
    WriteBehindFile output(*state.job.outputFile, platform, kJobTransferBytes);
    SourceReader reader(input);
    OutputWriter writer(output);
    HelperPool pool(platform, state.job.decryptThreads);

    // A file too short for a header reads as if its missing bytes were 0.
    const bool headerRead = reader.Ensure(kContainerHeaderBytes);
    const std::size_t headerBytes = std::min<std::size_t>(reader.Available().size(), kContainerHeaderBytes);
    const ContainerHeader header = ContainerHeader::Parse(reader.Available().first(headerBytes));
    reader.Consume(headerBytes);
    state.job.keyWords = DeriveKeyWords(state.job.passphrase);

    LoopEnd end = LoopEnd::Failed;
    const ChainWords chain{header.initial0, header.initial1};
    if (headerRead && state.job.algorithm == AlgorithmId::TripleDes) {
        const TripleDes cipher(state.job.keyWords);
        end = DecryptLoop(cipher, state, pool, chain, reader, writer, output);
    } else if (headerRead && state.job.algorithm == AlgorithmId::Idea) {
        const IdeaCipher cipher(state.job.keyWords);
        end = DecryptLoop(cipher, state, pool, chain, reader, writer, output);
    }
    if (end == LoopEnd::Done && !detail::InputEndsHere(reader)) {
        end = LoopEnd::Failed;
    }
    // The cut removes the fill and the two blocks decrypted past the container's end.
    const std::optional<std::uint32_t> cut =
        headerRead && header.length < state.job.size ? std::optional<std::uint32_t>(header.length) : std::nullopt;
    const bool ok = detail::FinishOutput(state, platform, writer, output, end, cut);
    input.Close();
    const bool closed = output.Close();
    cause = detail::FailureCause(input, output, *state.job.outputFile);
    return closed && ok;
}

}  // namespace

void DecryptJob(JobState& state, Platform& platform) {
    state.published.failed.store(false, std::memory_order_relaxed);
    std::error_code cause;
    const bool ok = RunDecryption(state, platform, cause);
    detail::EndWorker(state, ok, cause);
}

}  // namespace morvex
