#include "cli/CommandLine.h"

#include <charconv>
#include <climits>
#include <cstddef>

namespace morvex {

namespace {

[[nodiscard]] char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

[[nodiscard]] bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

[[nodiscard]] std::optional<unsigned> ParseJobCount(std::string_view text) {
    unsigned value = 0;
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc{} || stop != end || value < 1 || value > kMaxJobs) {
        return std::nullopt;
    }
    return value;
}

[[nodiscard]] std::optional<int> ParseDescriptor(std::string_view text) {
    int value = 0;
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc{} || stop != end || value < 0) {
        return std::nullopt;
    }
    return value;
}

[[nodiscard]] CommandLineResult Failure(std::string message) {
    return CommandLineResult{std::nullopt, std::move(message)};
}

// An option that takes a value accepts it both as "--name=value" and as the next argument.
class OptionValue {
public:
    OptionValue(const std::vector<std::string>& args, std::size_t& index)
        : args_(args), index_(index) {}

    // Nothing if args[index] is not the option; an empty optional inside if its value is missing.
    [[nodiscard]] std::optional<std::optional<std::string>> Match(std::string_view name) {
        const std::string_view arg = args_[index_];
        if (arg == name) {
            if (index_ + 1 >= args_.size()) {
                return std::optional<std::string>{};
            }
            ++index_;
            return std::optional<std::string>{args_[index_]};
        }
        if (arg.size() > name.size() && arg.substr(0, name.size()) == name && arg[name.size()] == '=') {
            return std::optional<std::string>{std::string(arg.substr(name.size() + 1))};
        }
        return std::nullopt;
    }

private:
    const std::vector<std::string>& args_;
    std::size_t& index_;
};

}  // namespace

std::optional<AlgorithmId> ParseCipherName(std::string_view name) {
    if (EqualsIgnoringCase(name, "3des") || EqualsIgnoringCase(name, "3-des")) {
        return AlgorithmId::TripleDes;
    }
    if (EqualsIgnoringCase(name, "idea")) {
        return AlgorithmId::Idea;
    }
    return std::nullopt;
}

CommandLineResult ParseCommandLine(const std::vector<std::string>& args) {
    CommandLine result;
    if (args.empty()) {
        return Failure("no command given (encrypt or decrypt)");
    }
    for (const std::string& arg : args) {
        if (arg == "--") {
            break;
        }
        if (arg == "-h" || arg == "--help") {
            result.command = CliCommand::Help;
            return CommandLineResult{result, {}};
        }
        if (arg == "-V" || arg == "--version") {
            result.command = CliCommand::Version;
            return CommandLineResult{result, {}};
        }
    }

    if (args[0] == "encrypt") {
        result.command = CliCommand::Encrypt;
    } else if (args[0] == "decrypt") {
        result.command = CliCommand::Decrypt;
    } else if (args[0] == "inspect") {
        result.command = CliCommand::Inspect;
    } else {
        return Failure("unknown command '" + args[0] + "' (encrypt, decrypt or inspect)");
    }

    bool sourceGiven = false;
    bool optionsEnded = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg == "-" || arg.empty() || arg[0] != '-') {
            result.files.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "-q" || arg == "--quiet") {
            result.quiet = true;
            continue;
        }
        if (arg == "--no-verify") {
            result.verify = false;
            continue;
        }
        if (arg == "--passphrase-bytes") {
            result.passphraseIsBytes = true;
            continue;
        }
        OptionValue option(args, i);
        if (auto value = option.Match("--cipher"); value || (value = option.Match("-c"))) {
            if (!*value) {
                return Failure("option " + arg + " needs a cipher name (3des or idea)");
            }
            const std::optional<AlgorithmId> algorithm = ParseCipherName(**value);
            if (!algorithm) {
                return Failure("unknown cipher '" + **value + "' (3des or idea)");
            }
            result.algorithm = *algorithm;
            continue;
        }
        if (auto value = option.Match("--jobs"); value || (value = option.Match("-j"))) {
            const std::optional<unsigned> jobs = *value ? ParseJobCount(**value) : std::nullopt;
            if (!jobs) {
                return Failure("option " + arg + " needs a number of files from 1 to " + std::to_string(kMaxJobs));
            }
            result.jobs = *jobs;
            continue;
        }
        if (auto value = option.Match("--passphrase-file")) {
            if (!*value || (*value)->empty()) {
                return Failure("option --passphrase-file needs a file name");
            }
            if (sourceGiven) {
                return Failure("give the passphrase one way only");
            }
            sourceGiven = true;
            result.passphraseSource = PassphraseSource::File;
            result.passphraseFile = **value;
            continue;
        }
        if (auto value = option.Match("--passphrase-fd")) {
            const std::optional<int> fd = *value ? ParseDescriptor(**value) : std::nullopt;
            if (!fd) {
                return Failure("option --passphrase-fd needs a descriptor number");
            }
            if (sourceGiven) {
                return Failure("give the passphrase one way only");
            }
            sourceGiven = true;
            result.passphraseSource = PassphraseSource::Descriptor;
            result.passphraseDescriptor = *fd;
            continue;
        }
        if (arg.rfind("--passphrase", 0) == 0) {
            return Failure("the passphrase is never taken from an argument; use --passphrase-file, "
                           "--passphrase-fd or the terminal");
        }
        return Failure("unknown option '" + arg + "'");
    }

    result.passphraseGiven = sourceGiven;
    // Decryption finds the cipher from the container where it can; encryption has to be told.
    if (result.algorithm == AlgorithmId::None &&
        (result.command == CliCommand::Encrypt || (result.command == CliCommand::Decrypt && !result.verify))) {
        return Failure("choose a cipher with --cipher 3des or --cipher idea");
    }
    if (result.files.empty()) {
        return Failure("no file given");
    }
    return CommandLineResult{result, {}};
}

const char* UsageText() {
    return "Usage: morvex-cli encrypt --cipher 3des|idea [options] FILE...\n"
           "       morvex-cli decrypt [--cipher 3des|idea] [options] FILE.enc...\n"
           "       morvex-cli inspect [--passphrase-file P | --passphrase-fd N] FILE.enc...\n"
           "\n"
           "encrypt writes FILE.enc beside each FILE; decrypt writes FILE beside each FILE.enc.\n"
           "An existing file is never replaced and the source is only read. inspect prints what\n"
           "a container tells without a passphrase and, given one, the verdict per cipher.\n"
           "\n"
           "Options:\n"
           "  -c, --cipher NAME         3des (also 3-des) or idea, in any letter case\n"
           "      --passphrase-file P   take the passphrase from the first line of file P\n"
           "      --passphrase-fd N     take the passphrase from the first line read from\n"
           "                            open descriptor N\n"
           "      --passphrase-bytes    take the passphrase's bytes exactly as they stand\n"
           "                            (otherwise: Windows-1252 where every character fits,\n"
           "                            UTF-8 otherwise, as the dialog takes them)\n"
           "      --no-verify           decrypt without the check of the passphrase, the\n"
           "                            cipher and the length (needs --cipher)\n"
           "  -j, --jobs N              run up to N files at once (1 to 64; default: one per\n"
           "                            processor core)\n"
           "  -q, --quiet               no progress line\n"
           "  -h, --help                this text\n"
           "  -V, --version             the version\n"
           "\n"
           "Every file is checked before the passphrase is asked for: a file that cannot be\n"
           "read, an output name that is taken, a name without .enc for decrypt. Each such\n"
           "file is refused at once and the others still run.\n"
           "\n"
           "Without a passphrase option the passphrase is read from the terminal without\n"
           "echo, twice when encrypting; an empty one or two that differ are said once and\n"
           "asked again, three tries in all. Only its first 55 bytes are used; a longer one\n"
           "is cut, with a notice.\n"
           "\n"
           "Before it writes anything, decryption tells a wrong passphrase or cipher, and a\n"
           "container cut short, from the unused bytes of the last block, which the encrypting\n"
           "program filled from the generator whose output stands in the header: 8 bits of\n"
           "evidence per unused byte, in 7 files of 8. Without --cipher it takes the cipher\n"
           "that verifies. It cannot tell when the source filled its last block, when other\n"
           "software wrote the header, or when the size does not fit the length: then it\n"
           "decrypts as always, and a wrong passphrase writes unrelated data. It is no\n"
           "integrity check; and the format (no salt, one MD5 block) allows cheap offline\n"
           "guessing of a passphrase, which the check does not make easier.\n"
           "\n"
           "A refused or failed file does not stop the rest. SIGINT, SIGTERM, SIGHUP,\n"
           "SIGQUIT, SIGUSR1, SIGUSR2 and SIGALRM (every signal that would end the tool,\n"
           "except SIGKILL and those of a fault) cancel every running file, delete their\n"
           "outputs and start no further one. A write beyond the file-size limit fails its\n"
           "file instead of ending the tool.\n"
           "\n"
           "Exit status (the worst over all files):\n"
           "  0    every file done\n"
           "  1    usage error, or the passphrase could not be read\n"
           "  2    a request refused before its job started (the passphrase empty or the\n"
           "       two differing, a name without .enc, the file cannot be opened, the\n"
           "       output exists or cannot be created, the size cannot be determined, no\n"
           "       --cipher and none could be told from the container)\n"
           "  3    a read or write failed during a job; its output is deleted\n"
           "  4    the passphrase or the cipher is certainly wrong for the container\n"
           "       (nothing written)\n"
           "  5    the container is cut short (nothing written)\n"
           "  130  cancelled by a signal\n";
}

}  // namespace morvex
