#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "cli/CommandLine.h"
#include "keys/PassphraseDigest.h"

namespace morvex {

// Enough to tell a text that is too long from one that fits, without holding an endless line.
inline constexpr std::size_t kPassphraseLineKeep = 1024;

// The first line of a file, without its line end ("\n" or "\r\n"). Nothing if the file cannot be read.
[[nodiscard]] std::optional<std::string> ReadPassphraseFile(const std::string& path, std::size_t keep);

// Cuts the text to the bytes that reach the key, as the dialog keeps them; true if it was longer.
[[nodiscard]] bool CutPassphrase(std::string& text);

struct PassphraseEntry {
    std::string passphrase;
    std::string retype;
    bool cut = false;  // either text was longer than the limit
};

struct PassphraseResult {
    std::optional<PassphraseEntry> entry;
    std::string error;  // set when entry is empty and no cancel signal explains it
};

// Takes the passphrase the way the command line says: the terminal asks twice when encrypting; a
// file or a descriptor gives one text, used for both fields.
[[nodiscard]] PassphraseResult ObtainPassphrase(const CommandLine& commandLine);

void WipePassphrase(PassphraseEntry& entry);

}  // namespace morvex
