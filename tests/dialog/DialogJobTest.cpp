// The dialog's rules around a running job, on real files: a job held at the platform's gate is
// certainly still in progress while the test acts.

#include "jobs/ContainerFormat.h"
#include "tests/dialog/DialogTestSupport.h"

namespace morvex::test {

namespace {

// Several of the engine's reads, so that a job held after its first read is mid-way.
constexpr std::size_t kHeldJobBytes = 3 * kJobTransferBytes + 5;
constexpr std::size_t kContainerBytes = 12 + (kHeldJobBytes + 7) / 8 * 8;

// The events from the last one equal to first.
std::vector<std::string> From(const std::vector<std::string>& events, const std::string& first) {
    const auto found = std::find(events.rbegin(), events.rend(), first);
    return {found == events.rend() ? events.end() : std::prev(found.base()), events.end()};
}

// A rig with an IDEA encryption of a fresh source held at the gate, its progress already shown.
struct HeldJob : DialogRig {
    HeldJob() : source(dir.File("source.bin")), output(source + ".enc"), original(Pattern(kHeldJobBytes, 7)) {
        WriteFile(source, original);
        Fill(AlgorithmId::Idea, source, "pw", "pw");
        view.boxes.clear();
        view.events.clear();
        platform.Hold();
        // A failing test must not leave the teardown waiting at the gate.
        platform.ReleaseWhen(State().cancelRequested);
        logic->Encrypt();
        EXPECT_TRUE(State().running);
        EXPECT_TRUE(TickUntil([this] { return !view.progress.empty() && view.progress.back() > 0; }));
    }

    // The job's report: the box, then the controls and the empty bar, and nothing after them.
    void ExpectReport(const std::string& title, const std::string& text) {
        ASSERT_TRUE(RunToReport());
        ASSERT_FALSE(view.boxes.empty());
        EXPECT_EQ(view.boxes.back().title, title);
        EXPECT_EQ(view.boxes.back().text, text);
        EXPECT_EQ(view.boxes.back().icon, MessageIcon::Information);
        EXPECT_EQ(From(view.events, "box " + title),
                  (std::vector<std::string>{"box " + title, "idle", "progress 0"}));
        EXPECT_EQ(ReadFile(source), original);
    }

    std::string source;
    std::string output;
    std::string original;
};

}  // namespace

TEST(DialogJob, RunsThroughTheTimerAndIsReportedAfterItsEnd) {
    HeldJob job;
    // While it runs: Exit and a second request do nothing, Close explains itself and the job goes on.
    job.logic->Exit();
    job.logic->Encrypt();
    job.logic->Decrypt();
    job.logic->Close();
    EXPECT_TRUE(job.view.endStatuses.empty());
    ASSERT_EQ(job.view.boxes.size(), 1U);
    EXPECT_EQ(job.view.boxes[0].title, "Working");
    EXPECT_EQ(job.view.boxes[0].text, "Working - you have to wait, or press Cancel before exiting");
    EXPECT_TRUE(job.State().running);

    // The Done box comes only once the output is complete, and a tick while it is open does nothing.
    std::size_t outputWhileShown = 0;
    job.view.onMessage = [&](const Box&) {
        outputWhileShown = std::filesystem::file_size(job.output);
        const std::size_t events = job.view.events.size();
        job.logic->Tick();
        EXPECT_EQ(job.view.events.size(), events);
    };
    job.platform.Release();
    job.ExpectReport("Done", "     Done     ");
    EXPECT_EQ(outputWhileShown, kContainerBytes);
    EXPECT_EQ(std::filesystem::file_size(job.output), kContainerBytes);

    // In order: the switch, a bar that only grows, the report.
    const std::vector<std::string>& events = job.view.events;
    EXPECT_EQ(events.front(), "working");
    EXPECT_EQ(std::count(events.begin(), events.end(), "working"), 1);
    EXPECT_TRUE(std::is_sorted(job.view.progress.begin(), job.view.progress.end() - 1));
    EXPECT_GT(job.view.progress.size(), 2U);

    // Decrypt takes the passphrase typed once; the container opens byte for byte.
    ASSERT_FALSE(NativePlatform().RemoveFile(job.source));
    job.view.pickerAnswers.push_back(job.output);
    job.logic->PickFile();
    job.logic->SecondFieldChanged("pw", "");
    job.logic->Decrypt();
    job.ExpectReport("Done", "     Done     ");
    EXPECT_EQ(job.view.Count("Done"), 2);

    job.logic->Close();
    EXPECT_EQ(job.view.endStatuses, std::vector{0});
}

TEST(DialogJob, PassphrasesLongerThanTheLimitMatchAndOpenTheContainer) {
    DialogRig rig;
    const std::string source = rig.dir.File("short.txt");
    WriteFile(source, "eleven byte");
    // A cancel while idle only sets the flag, which the next start clears.
    rig.logic->Cancel();
    const std::string kept = std::string(50, 'k') + "ünd m";  // 55 characters, 56 bytes
    const std::string typed = kept + "ehr als genug";
    rig.Fill(AlgorithmId::TripleDes, source, typed, typed);
    rig.logic->Encrypt();
    ASSERT_TRUE(rig.RunToReport());
    ASSERT_EQ(rig.view.boxes.back().title, "Done");
    // Only the first 55 characters count: another tail decrypts as well.
    ASSERT_FALSE(NativePlatform().RemoveFile(source));
    rig.Fill(AlgorithmId::None, source + ".enc", kept + "anything", "");
    rig.logic->Decrypt();
    ASSERT_TRUE(rig.RunToReport());
    EXPECT_EQ(rig.view.boxes.back().title, "Done");
    EXPECT_EQ(ReadFile(source), "eleven byte");
}

TEST(DialogJob, CancelMidJobIsReportedAndLeavesNoOutput) {
    HeldJob job;
    bool outputWhileShown = false;
    job.view.onMessage = [&](const Box&) { outputWhileShown = std::filesystem::exists(job.output); };
    job.logic->Cancel();
    job.platform.Release();
    job.ExpectReport("Canceled", "Canceled");
    // Deleted only after the box has been closed.
    EXPECT_TRUE(outputWhileShown);
    EXPECT_FALSE(std::filesystem::exists(job.output));
}

TEST(DialogJob, ReadOrWriteFailureIsReportedAndLeavesNoOutput) {
    for (const bool reads : {true, false}) {
        HeldJob job;
        (reads ? job.platform.failReadsAfterRelease : job.platform.failWritesAfterRelease) = true;
        job.platform.Release();
        job.ExpectReport("Error", "File read/write error");
        EXPECT_FALSE(std::filesystem::exists(job.output)) << reads;
    }
}

TEST(DialogJob, TeardownDuringAJobCancelsItWaitsAndLeavesNoOutput) {
    HeldJob job;
    // The gate opens only once the teardown has cancelled, so the worker is certainly mid-job then.
    const std::size_t events = job.view.events.size();
    job.logic.reset();
    EXPECT_FALSE(std::filesystem::exists(job.output));
    EXPECT_EQ(job.view.events.size(), events);
    EXPECT_EQ(ReadFile(job.source), job.original);
}

}  // namespace morvex::test
