#include "cli/CliRunner.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>

#include "cli/CommandLine.h"
#include "cli/ExitStatus.h"
#include "cli/PassphraseInput.h"
#include "cli/ProgressLine.h"
#include "cli/Terminal.h"
#include "dialog/Texts.h"
#include "jobs/Jobs.h"
#include "base/SecureWipe.h"

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

[[nodiscard]] int ExitStatusFor(Refusal refusal) {
    switch (refusal) {
    case Refusal::WrongKey:
    case Refusal::OtherCipher: return kExitWrongKey;
    case Refusal::CutShort: return kExitCutShort;
    default: return kExitRefused;
    }
}

// One file's job from request to outcome.
class FileRun {
public:
    FileRun(const CommandLine& commandLine, const PassphraseEntry& passphrase, std::FILE* err,
            ProgressLine& progress)
        : commandLine_(commandLine), passphrase_(passphrase), err_(err), progress_(progress) {}

    [[nodiscard]] int Run(const std::string& file) {
        // A fresh record per file: nothing of one job can leak into the next.
        auto state = std::make_unique<JobState>();
        state->choice.algorithm = commandLine_.algorithm;
        state->choice.chosenPath = file;
        state->choice.passphrase = passphrase_.passphrase;
        state->choice.retype = passphrase_.retype;
        const int status = Drive(*state, file);
        Wipe(state->choice.passphrase);
        Wipe(state->choice.retype);
        Wipe(state->job.passphrase);
        return status;
    }

private:
    [[nodiscard]] int Drive(JobState& state, const std::string& file) {
        Platform& platform = NativePlatform();
        const JobOptions options{.finalPause = std::chrono::milliseconds(0)};
        const RequestResult request = commandLine_.command == CliCommand::Encrypt
                                          ? EncryptRequest(state, platform, options)
                                          : DecryptRequest(state, platform, options);
        if (!request.Started()) {
            Report(file, MessageFor(request), request.cause, state.job.outputName);
            return ExitStatusFor(*request.refusal);
        }
        progress_.Start(file, state.job.size, ProgressLine::Clock::now());
        const auto begin = ProgressLine::Clock::now();
        bool cancelSent = false;
        for (;;) {
            if (!cancelSent && CancelSignalled()) {
                CancelJob(state);
                cancelSent = true;
            }
            const JobTick tick = FinishJob(state);
            if (tick.kind == JobTick::Kind::Working) {
                progress_.Update(tick.percent, ProgressLine::Clock::now());
            } else if (tick.kind == JobTick::Kind::Finished) {
                return Finished(state, file, tick, ProgressLine::Clock::now() - begin);
            }
            platform.Sleep(kPollInterval);
        }
    }

    [[nodiscard]] int Finished(const JobState& state, const std::string& file, const JobTick& tick,
                               ProgressLine::Clock::duration elapsed) {
        if (tick.outcome == JobOutcome::Done) {
            progress_.Finish(DoneLine(state, elapsed));
            return kExitDone;
        }
        Report(file, MessageFor(tick.outcome), tick.cause);
        if (const std::error_code left = DiscardOutput(state, NativePlatform())) {
            std::fprintf(err_, "morvex-cli: %s: could not delete the unfinished output (%s)\n",
                         state.job.outputName.c_str(), left.message().c_str());
        }
        return tick.outcome == JobOutcome::Canceled ? kExitCanceled : kExitFailed;
    }

    // One line: the system's own text and, where the operating system gave one, its reason; an
    // output that exists is named, since it is the file the user has to move.
    void Report(const std::string& file, MessageId id, std::error_code cause, const std::string& output = {}) {
        progress_.Clear();
        const std::string_view text = Message(id).text;
        if (cause) {
            const std::string reason = cause == std::errc::file_exists && !output.empty()
                                           ? std::filesystem::path(output).filename().string() + " exists"
                                           : cause.message();
            std::fprintf(err_, "morvex-cli: %s: %.*s (%s)\n", file.c_str(), static_cast<int>(text.size()), text.data(),
                         reason.c_str());
        } else {
            std::fprintf(err_, "morvex-cli: %s: %.*s\n", file.c_str(), static_cast<int>(text.size()), text.data());
        }
        std::fflush(err_);
    }

    [[nodiscard]] static std::string DoneLine(const JobState& state, ProgressLine::Clock::duration elapsed) {
        const std::string text = ProgressLine::Format(state.job.outputName, 100, state.job.size, elapsed);
        return state.job.inputName + " -> " + text;
    }

    const CommandLine& commandLine_;
    const PassphraseEntry& passphrase_;
    std::FILE* err_;
    ProgressLine& progress_;
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
                     kMaxPassphraseBytes, kMaxPassphraseBytes);
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
