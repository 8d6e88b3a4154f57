#include "cli/JobBatch.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <memory>
#include <thread>

#include "base/SecureWipe.h"
#include "cli/ExitStatus.h"
#include "cli/Terminal.h"
#include "jobs/Jobs.h"

namespace morvex {

namespace {

using Clock = ProgressLine::Clock;

// Without a progress line nothing needs a timed wake: a job's end and a signal wake the wait. This
// is only a net under that.
constexpr auto kQuietWake = std::chrono::milliseconds(500);

void Wipe(std::string& text) {
    SecureWipe(text.data(), text.size());
    text.clear();
}

unsigned Cores() { return std::max(1U, std::thread::hardware_concurrency()); }

[[nodiscard]] int ExitStatusFor(Refusal refusal) {
    switch (refusal) {
    case Refusal::WrongKey:
    case Refusal::OtherCipher: return kExitWrongKey;
    case Refusal::CutShort: return kExitCutShort;
    default: return kExitRefused;
    }
}

// One file's job, with a record of its own: nothing of one job can reach another.
struct RunningFile {
    explicit RunningFile(const std::string& name) : file(name), state(std::make_unique<JobState>()) {}
    ~RunningFile() {
        Wipe(state->choice.passphrase);
        Wipe(state->choice.retype);
        Wipe(state->job.passphrase);
    }
    RunningFile(const RunningFile&) = delete;
    RunningFile& operator=(const RunningFile&) = delete;

    std::string file;
    std::unique_ptr<JobState> state;
    Clock::time_point start{};
    int percent = 0;
};

}  // namespace

unsigned DefaultJobCount() { return std::min(Cores(), kMaxJobs); }

JobBatch::JobBatch(const CommandLine& commandLine, const PassphraseEntry& passphrase, Platform& platform,
                   Reporter& reporter, ProgressLine& progress)
    : commandLine_(commandLine), passphrase_(passphrase), platform_(platform), reporter_(reporter),
      progress_(progress) {}

int JobBatch::Run(const std::vector<std::string>& files, std::size_t finished, std::size_t total) {
    const unsigned atOnce = commandLine_.jobs != 0 ? commandLine_.jobs : DefaultJobCount();
    const std::size_t running = std::min<std::size_t>(atOnce, files.size());
    // The jobs at once share the cores among their decryption threads rather than each taking all.
    const JobOptions options{.finalPause = std::chrono::milliseconds(0),
                             .decryptThreads = running > 1
                                                   ? std::max(1U, Cores() / static_cast<unsigned>(running))
                                                   : 0U,
                             .verifyKey = commandLine_.verify,
                             .findCipher = commandLine_.algorithm == AlgorithmId::None};
    const bool encrypt = commandLine_.command == CliCommand::Encrypt;

    std::deque<const std::string*> waiting;
    for (const std::string& file : files) {
        waiting.push_back(&file);
    }
    std::vector<std::unique_ptr<RunningFile>> jobs;
    int worst = kExitDone;
    bool cancelSent = false;
    for (;;) {
        if (!cancelSent && CancelSignalled()) {
            for (const auto& job : jobs) {
                CancelJob(*job->state);
            }
            cancelSent = true;
            if (!waiting.empty()) {
                worst = std::max(worst, kExitCanceled);
                waiting.clear();
            }
        }
        while (!cancelSent && jobs.size() < atOnce && !waiting.empty()) {
            auto job = std::make_unique<RunningFile>(*waiting.front());
            waiting.pop_front();
            JobState& state = *job->state;
            state.choice.algorithm = commandLine_.algorithm;
            state.choice.chosenPath = job->file;
            state.choice.passphrase = passphrase_.passphrase;
            state.choice.retype = passphrase_.retype;
            state.choice.passphraseIsBytes = commandLine_.passphraseIsBytes;
            job->start = Clock::now();
            const RequestResult request =
                encrypt ? EncryptRequest(state, platform_, options) : DecryptRequest(state, platform_, options);
            if (!request.Started()) {
                reporter_.File(job->file, MessageFor(request), request.cause, state.job.outputName);
                if (request.refusal == Refusal::CipherNotFound) {
                    reporter_.Plain(job->file + ": give --cipher 3des or --cipher idea");
                }
                worst = std::max(worst, ExitStatusFor(*request.refusal));
                ++finished;
                continue;
            }
            if (request.recodedAs) {
                reporter_.Plain(job->file + ": the passphrase verifies in its " +
                                std::string(PassphraseEncodingName(*request.recodedAs)) + " form, which is used");
            }
            jobs.push_back(std::move(job));
        }
        if (jobs.empty()) {
            break;
        }

        bool anyEnded = false;
        for (auto it = jobs.begin(); it != jobs.end();) {
            RunningFile& job = **it;
            const JobTick tick = FinishJob(*job.state);
            if (tick.kind != JobTick::Kind::Finished) {
                job.percent = tick.percent;
                ++it;
                continue;
            }
            const JobState& state = *job.state;
            if (tick.outcome == JobOutcome::Done) {
                progress_.Finish(ProgressLine::FormatDone(state.job.inputName, state.job.outputName, state.job.size,
                                                          Clock::now() - job.start, progress_.Width()));
            } else {
                reporter_.File(job.file, MessageFor(tick.outcome), tick.cause, state.job.outputName);
                if (const DiscardResult left = DiscardOutput(state, platform_); left.cause) {
                    // The name of what is left, which for an unnamed output is its hidden name.
                    const std::string& name = left.leftBehind.empty() ? state.job.outputName : left.leftBehind;
                    reporter_.Plain(name + ": could not delete the unfinished output (" + left.cause.message() + ")");
                }
                worst = std::max(worst, tick.outcome == JobOutcome::Canceled ? kExitCanceled : kExitFailed);
            }
            ++finished;
            anyEnded = true;
            it = jobs.erase(it);
        }
        if (anyEnded) {
            continue;  // the next files start at once
        }

        auto wake = kQuietWake;
        if (progress_.Enabled()) {
            const Clock::time_point now = Clock::now();
            if (now >= progress_.NextDraw()) {
                std::vector<ProgressLine::Job> shown;
                for (const auto& job : jobs) {
                    shown.push_back({job->file, job->percent, job->state->job.size, job->start});
                }
                progress_.Show(shown, finished, total, now);
            }
            wake = std::chrono::ceil<std::chrono::milliseconds>(progress_.NextDraw() - Clock::now());
            wake = std::clamp(wake, std::chrono::milliseconds(1), kQuietWake);
        }
        WaitForWake(wake);
    }
    progress_.Clear();
    return worst;
}

}  // namespace morvex
