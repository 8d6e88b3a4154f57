#include "cli/PassphraseInput.h"

#include <filesystem>
#include <fstream>

#include "cli/Terminal.h"
#include "base/SecureWipe.h"

namespace morvex {

namespace {

void Wipe(std::string& text) {
    SecureWipe(text.data(), text.size());
    text.clear();
}

}  // namespace

std::optional<std::string> ReadPassphraseFile(const std::string& path, std::size_t keep) {
    // Through a path made from UTF-8, so that on Windows any name opens, not only the code page's.
    std::ifstream file(std::filesystem::path(std::u8string(path.begin(), path.end())), std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    std::string line;
    char c = 0;
    while (file.get(c) && c != '\n') {
        if (line.size() < keep) {
            line.push_back(c);
        }
    }
    c = 0;
    if (file.bad()) {
        Wipe(line);
        return std::nullopt;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

bool CutPassphrase(std::string& text) {
    if (text.size() <= kMaxPassphraseBytes) {
        return false;
    }
    SecureWipe(text.data() + kMaxPassphraseBytes, text.size() - kMaxPassphraseBytes);
    text.resize(kMaxPassphraseBytes);
    return true;
}

PassphraseResult ObtainPassphrase(const CommandLine& commandLine) {
    PassphraseEntry entry;
    switch (commandLine.passphraseSource) {
    case PassphraseSource::File: {
        std::optional<std::string> text = ReadPassphraseFile(commandLine.passphraseFile, kPassphraseLineKeep);
        if (!text) {
            return PassphraseResult{std::nullopt, commandLine.passphraseFile + ": cannot read the passphrase file"};
        }
        entry.passphrase = std::move(*text);
        entry.retype = entry.passphrase;
        break;
    }
    case PassphraseSource::Descriptor: {
        std::optional<std::string> text =
            ReadLineFromDescriptor(commandLine.passphraseDescriptor, kPassphraseLineKeep);
        if (!text) {
            return PassphraseResult{std::nullopt, "cannot read the passphrase from descriptor " +
                                                      std::to_string(commandLine.passphraseDescriptor)};
        }
        entry.passphrase = std::move(*text);
        entry.retype = entry.passphrase;
        break;
    }
    case PassphraseSource::Terminal: {
        std::optional<std::string> text = ReadHiddenLine("Passphrase: ", kPassphraseLineKeep);
        if (!text) {
            return PassphraseResult{std::nullopt, "no terminal to read the passphrase from; use "
                                                  "--passphrase-file or --passphrase-fd"};
        }
        entry.passphrase = std::move(*text);
        if (commandLine.command == CliCommand::Encrypt) {
            std::optional<std::string> again = ReadHiddenLine("Retype passphrase: ", kPassphraseLineKeep);
            if (!again) {
                WipePassphrase(entry);
                return PassphraseResult{std::nullopt, "cannot read the passphrase from the terminal"};
            }
            entry.retype = std::move(*again);
        }
        break;
    }
    }
    const bool firstCut = CutPassphrase(entry.passphrase);
    const bool secondCut = CutPassphrase(entry.retype);
    entry.cut = firstCut || secondCut;
    return PassphraseResult{std::move(entry), {}};
}

void WipePassphrase(PassphraseEntry& entry) {
    Wipe(entry.passphrase);
    Wipe(entry.retype);
}

}  // namespace morvex
