#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "cli/PassphraseInput.h"
#include "cli/ProgressLine.h"
#include "cli/Reporter.h"
#include "jobs/Platform.h"

namespace morvex {

// Runs one job per file, up to a number at once, each with its own record, and reports every
// outcome. A cancel signal cancels every running job, deletes their outputs and starts no other.
class JobBatch {
public:
    JobBatch(const CommandLine& commandLine, const PassphraseEntry& passphrase, Platform& platform,
             Reporter& reporter, ProgressLine& progress);

    // The files in their order, each started as soon as one of the jobs at once is free; finished
    // and total count files for the progress line. Returns the worst exit status among them.
    [[nodiscard]] int Run(const std::vector<std::string>& files, std::size_t finished, std::size_t total);

private:
    const CommandLine& commandLine_;
    const PassphraseEntry& passphrase_;
    Platform& platform_;
    Reporter& reporter_;
    ProgressLine& progress_;
};

// The files at once when the command line does not say: one per processor core, within kMaxJobs.
[[nodiscard]] unsigned DefaultJobCount();

}  // namespace morvex
