#include "cli/CliRunner.h"

#include <algorithm>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "cli/ExitStatus.h"
#include "cli/ContainerReport.h"
#include "cli/JobBatch.h"
#include "cli/NotifyingPlatform.h"
#include "cli/PassphraseInput.h"
#include "cli/ProgressLine.h"
#include "cli/Reporter.h"
#include "cli/RequestProbe.h"
#include "cli/Terminal.h"
#include "dialog/Texts.h"
#include "jobs/Jobs.h"

#ifndef MORVEX_VERSION
#define MORVEX_VERSION "unknown"
#endif

namespace morvex {

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
    ProgressLine progress(err_, !commandLine.quiet && StderrIsTerminal(), &StderrColumns);
    Reporter reporter(err_, progress);

    if (commandLine.command == CliCommand::Inspect) {
        // A passphrase only when one is given by file or descriptor: inspecting asks nobody.
        if (!commandLine.passphraseGiven) {
            return InspectContainers(commandLine.files, nullptr, false, out_, reporter);
        }
        PassphraseResult given = ObtainPassphrase(commandLine, err_);
        if (!given.entry) {
            reporter.Plain(given.refusal ? std::string(Message(MessageFor(*given.refusal)).text) : given.error);
            return given.refusal ? kExitRefused : kExitUsage;
        }
        const int status = InspectContainers(commandLine.files, &*given.entry, commandLine.passphraseIsBytes, out_, reporter);
        WipePassphrase(*given.entry);
        return status;
    }

    // Every file the requests would refuse is said before anyone types a passphrase for it.
    int worst = kExitDone;
    std::vector<std::string> runnable;
    for (const std::string& file : commandLine.files) {
        const ProbeResult probe = ProbeRequest(commandLine.command, file);
        if (probe.refusal) {
            reporter.File(file, MessageFor(*probe.refusal), probe.cause, probe.outputName);
            worst = kExitRefused;
        } else {
            runnable.push_back(file);
        }
    }
    if (runnable.empty()) {
        return worst;
    }

    PassphraseResult obtained = ObtainPassphrase(commandLine, err_);
    if (CancelSignalled()) {
        if (obtained.entry) {
            WipePassphrase(*obtained.entry);
        }
        return kExitCanceled;
    }
    if (obtained.refusal) {
        reporter.General(MessageFor(*obtained.refusal));
        return kExitRefused;
    }
    if (!obtained.entry) {
        reporter.Plain(obtained.error);
        return std::max(worst, kExitUsage);
    }
    PassphraseEntry& passphrase = *obtained.entry;
    if (passphrase.cut) {
        reporter.Plain("the passphrase is longer than " + std::to_string(kMaxPassphraseBytes) + " bytes; only its first " +
                       std::to_string(kMaxPassphraseBytes) + " are used");
    }

    NotifyingPlatform platform(NativePlatform());
    {
        const ControlEchoOff quietControls(progress.Enabled());
        JobBatch batch(commandLine, passphrase, platform, reporter, progress);
        worst = std::max(worst, batch.Run(runnable, commandLine.files.size() - runnable.size(),
                                          commandLine.files.size()));
    }
    WipePassphrase(passphrase);
    return worst;
}

}  // namespace morvex
