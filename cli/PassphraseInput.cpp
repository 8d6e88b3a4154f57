#include "cli/PassphraseInput.h"

#include "jobs/Jobs.h"
#include "keys/PassphraseText.h"

#include <filesystem>
#include <fstream>

#include "cli/Terminal.h"
#include "base/SecureWipe.h"
#include "dialog/Texts.h"

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

namespace {

// Refuses the texts as the request would: the keys they make are compared, byte for byte. The
// texts stay whole, since the byte rule needs every character; the key takes its first 55 bytes.
PassphraseResult Checked(PassphraseEntry entry, bool encrypt, bool isBytes) {
    const auto longerThanKey = [isBytes](const std::string& text) {
        return (isBytes ? text.size() : PassphraseByteCount(text, HomeCodePage())) > kMaxPassphraseBytes;
    };
    entry.cut = longerThanKey(entry.passphrase) || (encrypt && longerThanKey(entry.retype));
    std::optional<Refusal> refusal;
    if (entry.passphrase.empty()) {
        refusal = Refusal::NoPassphrase;
    } else if (encrypt && entry.retype.empty()) {
        refusal = Refusal::NoRetype;
    } else if (encrypt) {
        std::string first = KeyBytes(entry.passphrase, isBytes, HomeCodePage());
        std::string second = KeyBytes(entry.retype, isBytes, HomeCodePage());
        if (first != second) {
            refusal = Refusal::PassphrasesDiffer;
        }
        SecureWipe(first.data(), first.size());
        SecureWipe(second.data(), second.size());
    }
    if (refusal) {
        WipePassphrase(entry);
        return PassphraseResult{std::nullopt, {}, refusal};
    }
    return PassphraseResult{std::move(entry), {}, std::nullopt};
}

// One try on the terminal: the passphrase, and when encrypting, unless it is empty, once more.
PassphraseResult AskOnTerminal(bool encrypt, bool isBytes) {
    PassphraseEntry entry;
    std::optional<std::string> text = ReadHiddenLine("Passphrase: ", kPassphraseLineKeep);
    if (!text) {
        return PassphraseResult{std::nullopt,
                                "no terminal to read the passphrase from; use --passphrase-file or --passphrase-fd",
                                std::nullopt};
    }
    entry.passphrase = std::move(*text);
    if (encrypt && !entry.passphrase.empty()) {
        std::optional<std::string> again = ReadHiddenLine("Retype passphrase: ", kPassphraseLineKeep);
        if (!again) {
            WipePassphrase(entry);
            return PassphraseResult{std::nullopt, "cannot read the passphrase from the terminal", std::nullopt};
        }
        entry.retype = std::move(*again);
    }
    return Checked(std::move(entry), encrypt, isBytes);
}

}  // namespace

PassphraseResult ObtainPassphrase(const CommandLine& commandLine, std::FILE* err) {
    const bool encrypt = commandLine.command == CliCommand::Encrypt;
    PassphraseEntry entry;
    switch (commandLine.passphraseSource) {
    case PassphraseSource::File: {
        std::optional<std::string> text = ReadPassphraseFile(commandLine.passphraseFile, kPassphraseLineKeep);
        if (!text) {
            return PassphraseResult{std::nullopt, commandLine.passphraseFile + ": cannot read the passphrase file",
                                    std::nullopt};
        }
        entry.passphrase = std::move(*text);
        entry.retype = entry.passphrase;
        break;
    }
    case PassphraseSource::Descriptor: {
        std::optional<std::string> text =
            ReadLineFromDescriptor(commandLine.passphraseDescriptor, kPassphraseLineKeep);
        if (!text) {
            return PassphraseResult{
                std::nullopt, "cannot read the passphrase from descriptor " + std::to_string(commandLine.passphraseDescriptor),
                std::nullopt};
        }
        entry.passphrase = std::move(*text);
        entry.retype = entry.passphrase;
        break;
    }
    case PassphraseSource::Terminal:
        for (int attempt = 1;; ++attempt) {
            PassphraseResult result = AskOnTerminal(encrypt, commandLine.passphraseIsBytes);
            if (!result.refusal || attempt == kTerminalAttempts) {
                return result;
            }
            const std::string_view text = Message(MessageFor(*result.refusal)).text;
            std::fprintf(err, "morvex-cli: %.*s\n", static_cast<int>(text.size()), text.data());
            std::fflush(err);
        }
    }
    return Checked(std::move(entry), encrypt, commandLine.passphraseIsBytes);
}

void WipePassphrase(PassphraseEntry& entry) {
    Wipe(entry.passphrase);
    Wipe(entry.retype);
}

}  // namespace morvex
