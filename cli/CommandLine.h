#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "jobs/AlgorithmId.h"

namespace morvex {

enum class CliCommand {
    Encrypt,
    Decrypt,
    Inspect,
    Help,
    Version,
};

enum class PassphraseSource {
    Terminal,
    File,
    Descriptor,
};

// What the user asked for, once the arguments have been checked.
struct CommandLine {
    CliCommand command = CliCommand::Help;
    AlgorithmId algorithm = AlgorithmId::None;
    PassphraseSource passphraseSource = PassphraseSource::Terminal;
    std::string passphraseFile;
    int passphraseDescriptor = -1;
    bool quiet = false;
    bool verify = true;             // decrypt: tell a wrong key or a cut-short container first
    bool passphraseIsBytes = false;  // the passphrase's bytes exactly as they stand, no byte rule
    bool passphraseGiven = false;    // a passphrase option was given (inspect asks no terminal)
    unsigned jobs = 0;  // files at once; 0: one per processor core
    std::vector<std::string> files;
};

// The most files a call runs at once: each job holds a few MiB and three threads.
inline constexpr unsigned kMaxJobs = 64;

struct CommandLineResult {
    std::optional<CommandLine> commandLine;
    std::string error;  // set when commandLine is empty
};

// The arguments without the program name.
[[nodiscard]] CommandLineResult ParseCommandLine(const std::vector<std::string>& args);

// "3des", "3-des" and "idea" in any letter case.
[[nodiscard]] std::optional<AlgorithmId> ParseCipherName(std::string_view name);

[[nodiscard]] const char* UsageText();

}  // namespace morvex
