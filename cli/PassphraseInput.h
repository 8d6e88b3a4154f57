#pragma once

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>

#include "cli/CommandLine.h"
#include "jobs/Jobs.h"
#include "keys/PassphraseDigest.h"

namespace morvex {

// Enough to tell a text that is too long from one that fits, without holding an endless line.
inline constexpr std::size_t kPassphraseLineKeep = 1024;

// The first line of a file, without its line end ("\n" or "\r\n"). Nothing if the file cannot be read.
[[nodiscard]] std::optional<std::string> ReadPassphraseFile(const std::string& path, std::size_t keep);


struct PassphraseEntry {
    std::string passphrase;
    std::string retype;
    bool cut = false;  // either text was longer than the limit
};

struct PassphraseResult {
    std::optional<PassphraseEntry> entry;
    std::string error;               // the passphrase could not be read, and no cancel signal explains it
    std::optional<Refusal> refusal;  // it was read and would refuse every request: empty, or the two differ
};

// Tries the terminal gives before the tool refuses what was typed.
inline constexpr int kTerminalAttempts = 3;

// Takes the passphrase the way the command line says: the terminal asks twice when encrypting; a
// file or a descriptor gives one text, used for both fields. The texts are checked as the requests
// check them, so that a refusal is said once rather than for every file; on the terminal a refused
// entry is said on err and asked again, up to kTerminalAttempts times in all.
[[nodiscard]] PassphraseResult ObtainPassphrase(const CommandLine& commandLine, std::FILE* err);

void WipePassphrase(PassphraseEntry& entry);

}  // namespace morvex
