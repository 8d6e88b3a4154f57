#include "cli/CliRunner.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>

#include "cli/CliFrontEnd.h"
#include "cli/CommandLine.h"
#include "cli/ExitStatus.h"
#include "cli/PassphraseInput.h"
#include "cli/ProgressLine.h"
#include "cli/Terminal.h"
#include "jobs/Jobs.h"
#include "keys/SecureWipe.h"

#ifndef MORVEX_VERSION
#define MORVEX_VERSION "unknown"
#endif

namespace morvex {

namespace {

// Short enough that a cancel feels immediate, long enough to cost nothing beside the job.
constexpr auto kPollInterval = std::chrono::milliseconds(30);

void Wipe(std::string& text) {
    SecureWipe(text.data(), text.size());
    text.clear();
}

// One file's job from request to outcome.
class FileRun {
public:
    FileRun(const CommandLine& commandLine, const PassphraseEntry& passphrase, std::FILE* err,
            ProgressLine& progress)
        : commandLine_(commandLine), passphrase_(passphrase), err_(err), progress_(progress),
          frontEnd_(progress) {}

    [[nodiscard]] int Run(const std::string& file) {
        // A fresh record per file: nothing of one job can leak into the next.
        auto state = std::make_unique<JobState>();
        state->algorithm = commandLine_.algorithm;
        state->chosenPath = file;
        state->passphrase = passphrase_.passphrase;
        state->retype = passphrase_.retype;
        const int status = Drive(*state, file);
        Wipe(state->passphrase);
        Wipe(state->retype);
        Wipe(state->jobPassphrase);
        return status;
    }

private:
    [[nodiscard]] int Drive(JobState& state, const std::string& file) {
        Platform& platform = NativePlatform();
        const JobOptions options{.finalPause = std::chrono::milliseconds(0)};
        frontEnd_.BeginFile();
        const bool started = commandLine_.command == CliCommand::Encrypt
                                 ? EncryptRequest(state, frontEnd_, platform, options)
                                 : DecryptRequest(state, frontEnd_, platform, options);
        if (!started) {
            Report(file);
            return kExitRefused;
        }
        progress_.Start(file, state.size, ProgressLine::Clock::now());
        const auto begin = ProgressLine::Clock::now();
        bool cancelSent = false;
        std::optional<JobOutcome> outcome;
        for (;;) {
            if (!cancelSent && CancelSignalled()) {
                CancelJob(state);
                cancelSent = true;
            }
            outcome = FinishJob(state, frontEnd_, platform);
            if (outcome) {
                break;
            }
            platform.Sleep(kPollInterval);
        }
        switch (*outcome) {
        case JobOutcome::Done:
            progress_.Finish(DoneLine(state, ProgressLine::Clock::now() - begin));
            return kExitDone;
        case JobOutcome::Failed:
            Report(file);
            return kExitFailed;
        case JobOutcome::Canceled:
            Report(file);
            return kExitCanceled;
        }
        return kExitFailed;
    }

    void Report(const std::string& file) {
        progress_.Clear();
        std::fprintf(err_, "morvex-cli: %s: %s\n", file.c_str(), frontEnd_.LastMessage().c_str());
        std::fflush(err_);
    }

    [[nodiscard]] static std::string DoneLine(const JobState& state, ProgressLine::Clock::duration elapsed) {
        const std::string text = ProgressLine::Format(state.outputName, 100, state.size, elapsed);
        return state.inputName + " -> " + text;
    }

    const CommandLine& commandLine_;
    const PassphraseEntry& passphrase_;
    std::FILE* err_;
    ProgressLine& progress_;
    CliFrontEnd frontEnd_;
};

}  // namespace

int CliRunner::Run(const std::vector<std::string>& args) {
    const CommandLineResult parsed = ParseCommandLine(args);
    if (!parsed.commandLine) {
        std::fprintf(err_, "morvex-cli: %s\nTry 'morvex-cli --help' for more.\n", parsed.error.c_str());
        return kExitUsage;
    }
    const CommandLine& commandLine = *parsed.commandLine;
    if (commandLine.command == CliCommand::Help) {
        std::fputs(UsageText(), out_);
        return kExitDone;
    }
    if (commandLine.command == CliCommand::Version) {
        std::fprintf(out_, "morvex-cli %s\n", MORVEX_VERSION);
        return kExitDone;
    }

    InstallCancelHandlers();
    PassphraseResult obtained = ObtainPassphrase(commandLine);
    if (CancelSignalled()) {
        if (obtained.entry) {
            WipePassphrase(*obtained.entry);
        }
        return kExitCanceled;
    }
    if (!obtained.entry) {
        std::fprintf(err_, "morvex-cli: %s\n", obtained.error.c_str());
        return kExitUsage;
    }
    PassphraseEntry& passphrase = *obtained.entry;
    if (passphrase.cut) {
        std::fprintf(err_, "morvex-cli: the passphrase is longer than %zu bytes; only its first %zu are used\n",
                     kPassphraseLimit, kPassphraseLimit);
    }

    ProgressLine progress(err_, !commandLine.quiet && StderrIsTerminal());
    FileRun fileRun(commandLine, passphrase, err_, progress);
    int worst = kExitDone;
    for (const std::string& file : commandLine.files) {
        if (CancelSignalled()) {
            worst = std::max(worst, kExitCanceled);
            break;
        }
        worst = std::max(worst, fileRun.Run(file));
    }
    WipePassphrase(passphrase);
    return worst;
}

}  // namespace morvex
