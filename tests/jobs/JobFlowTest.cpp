// The requests, the start of a job, its outcomes and what each leaves on disk.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "jobs/Jobs.h"
#include "keys/PassphraseDigest.h"
#include "tests/jobs/JobTestSupport.h"

namespace morvex::test {
namespace {

constexpr char kPass[] = "Tr0ub4dor&3";

// A refusal: exactly its one error, the controls idle, no job, and every entry of the directory
// (input, outputs of every kind, link targets) as it was.
void ExpectRefused(Fixture& f, bool decrypt, const std::string& text) {
    const auto before = f.Snapshot();
    EXPECT_FALSE(f.Run(decrypt));
    ASSERT_EQ(f.frontEnd.messages.size(), 1U);
    EXPECT_EQ(f.Last().text, text);
    EXPECT_EQ(f.Last().title, "Error");
    EXPECT_EQ(f.Last().icon, MessageIcon::Information);
    EXPECT_FALSE(f.state.running);
    EXPECT_TRUE(f.frontEnd.controls.empty() || !f.frontEnd.controls.back());
    EXPECT_FALSE(FinishJob(f.state, f.frontEnd, f.platform).has_value());
    EXPECT_EQ(f.Snapshot(), before);
}

struct Refusal {
    bool decrypt;
    AlgorithmId algorithm;
    const char* chosenName;  // inside the test's directory; empty: nothing chosen
    const char* passphrase;
    const char* retype;
    const char* message;
};

// A refused request shows the first failing check and leaves even the progress bar as it was.
TEST(RequestTest, ShowsTheFirstFailingCheckAndStartsNothing) {
    const Refusal rows[] = {
        {false, AlgorithmId::None, "", "", "", "You must select an encryption algorithm first"},
        {false, AlgorithmId::None, "a.txt", kPass, kPass, "You must select an encryption algorithm first"},
        {false, AlgorithmId::Idea, "", kPass, kPass, "You must select a file to encrypt first"},
        {false, AlgorithmId::TripleDes, "a.txt", "", "", "You must type a passphrase first"},
        {false, AlgorithmId::TripleDes, "a.txt", "", kPass, "You must type a passphrase first"},
        {false, AlgorithmId::Idea, "a.txt", kPass, "", "You must retype the passphrase first"},
        {false, AlgorithmId::Idea, "a.txt", "Secret", "secret", "The passphrases you typed do not match"},
        {false, AlgorithmId::Idea, "a.txt", "Secret", "Secret ", "The passphrases you typed do not match"},
        {true, AlgorithmId::None, "", "", "", "You must select an encryption algorithm first"},
        {true, AlgorithmId::TripleDes, "", kPass, "", "You must select a file to decrypt first"},
        {true, AlgorithmId::TripleDes, "a.enc", "", kPass, "You must type a passphrase first"},
        {true, AlgorithmId::Idea, "a.ENC", kPass, "", "The file you selected is not an morvex encrypted file"},
        {true, AlgorithmId::Idea, "a.Enc", kPass, "", "The file you selected is not an morvex encrypted file"},
        {true, AlgorithmId::Idea, "a.enc.txt", kPass, "", "The file you selected is not an morvex encrypted file"},
        {true, AlgorithmId::Idea, "enc", kPass, "", "The file you selected is not an morvex encrypted file"},
    };
    for (const Refusal& row : rows) {
        SCOPED_TRACE(std::string(row.chosenName) + " / " + row.passphrase + " / " + row.retype);
        Fixture f(33, row.algorithm);
        f.state.chosenPath = *row.chosenName == '\0' ? "" : f.Path(row.chosenName);
        if (!f.state.chosenPath.empty()) {
            WriteFile(f.state.chosenPath, f.plain);
        }
        f.state.passphrase = row.passphrase;
        f.state.retype = row.retype;
        f.state.percent = 42;
        ExpectRefused(f, row.decrypt, row.message);
        EXPECT_EQ(f.state.percent.load(), 42);
    }
}

struct StartRefusal {
    const char* message;
    void (*setup)(Fixture& f, bool decrypt);
    bool retry;  // once the cause is gone, the next attempt runs: the refusal left nothing behind
};

const StartRefusal kStartRefusals[] = {
    {"Unable to open the selected file", [](Fixture& f, bool d) { f.state.chosenPath = f.Path(d ? "no.enc" : "no"); }, false},
    {"Unable to open the selected file",
     [](Fixture& f, bool d) {
         f.state.chosenPath = f.Path(d ? "folder.enc" : "folder");
         std::filesystem::create_directory(f.state.chosenPath);
     },
     false},
    // The system would cut the name short at the zero byte, into another, existing file.
    {"Unable to open the selected file", [](Fixture& f, bool d) { f.state.chosenPath += std::string(1, '\0') + (d ? "x.enc" : "x"); }, false},
    // Every kind of existing output name, left exactly as it was, link targets included.
    {"Unable to create the output file", [](Fixture& f, bool d) { WriteFile(f.Output(d), PatternBytes(5, 5)); }, false},
    {"Unable to create the output file", [](Fixture& f, bool d) { std::filesystem::create_directory(f.Output(d)); }, false},
    {"Unable to create the output file",
     [](Fixture& f, bool d) {
         std::filesystem::create_symlink(f.Path("target"), f.Output(d));
         WriteFile(f.Path("target"), PatternBytes(5, 5));
     },
     false},
    {"Unable to create the output file", [](Fixture& f, bool d) { std::filesystem::create_symlink(f.Path("target"), f.Output(d)); }, false},
    // An unknown size, 4 GiB or more, or the value that doubles as the platform's failure report.
    {"Cannot determine file size", [](Fixture& f, bool) { f.platform.faults.failSize = true; }, true},
    {"Cannot determine file size", [](Fixture& f, bool) { f.platform.faults.reportedSize = 0xFFFFFFFFULL; }, true},
    {"Cannot determine file size", [](Fixture& f, bool) { f.platform.faults.reportedSize = 0x100000000ULL; }, true},
    {"Cannot determine file size", [](Fixture& f, bool) { f.platform.faults.reportedSize = 0x7FFFFFFFFFFULL; }, true},
    {"Cannot determine file size", [](Fixture& f, bool) { std::filesystem::resize_file(f.state.chosenPath, 0x100000000ULL); }, false},
    // A pipe, which opening must not leave waiting for a writer that never comes.
    {"Cannot determine file size",
     [](Fixture& f, bool) {
         ASSERT_TRUE(NativePlatform().RemoveFile(f.state.chosenPath));
         ASSERT_EQ(::mkfifo(f.state.chosenPath.c_str(), 0600), 0);
     },
     false},
    {"Unable to start the job", [](Fixture& f, bool) { f.platform.faults.failStartThread = true; }, true},
};

class StartTest : public ::testing::TestWithParam<bool> {};

TEST_P(StartTest, RefusedStartsLeaveEverythingAsItWas) {
    const bool decrypt = GetParam();
    for (std::size_t i = 0; i < std::size(kStartRefusals); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        Fixture f(40);
        if (decrypt) {
            f.PrepareDecryption();
        }
        kStartRefusals[i].setup(f, decrypt);
        ExpectRefused(f, decrypt, kStartRefusals[i].message);
        if (kStartRefusals[i].retry) {
            f.platform.faults = {};
            EXPECT_EQ(f.Run(decrypt), JobOutcome::Done);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Jobs, StartTest, ::testing::Bool(),
                         [](const auto& param) { return std::string(param.param ? "Decrypt" : "Encrypt"); });

// The largest sizes accepted would carry a 32-bit count of processed bytes past 2^32 before it
// reached the size; the job must still end after the block that covers the last byte. Slow (half
// a billion blocks), so it runs only on request: --gtest_also_run_disabled_tests.
TEST(StartTest, DISABLED_TheLargestAcceptedSizeStillEnds) {
    Fixture f(10);
    f.platform.faults.reportedSize = 0xFFFFFFFEULL;
    f.platform.faults.discardOutput = true;
    ASSERT_EQ(f.Run(false), JobOutcome::Done);
    EXPECT_EQ(f.platform.outputBytesWritten.load(), 12U + 0x100000000ULL);
    EXPECT_EQ(f.state.percent.load(), 100);
}

// A successful job: the controls switch, the output reaches stable storage before the report, the
// pause comes once, the output is its owner's alone.
TEST(JobOutcomeTest, DoneReportsAndRestoresTheControls) {
    for (const bool decrypt : {false, true}) {
        Fixture f(5000);
        if (decrypt) {
            f.PrepareDecryption();
        }
        ASSERT_EQ(f.Run(decrypt, {std::chrono::milliseconds{750}, 0}), JobOutcome::Done);
        ASSERT_EQ(f.frontEnd.messages.size(), 1U);
        EXPECT_EQ(f.Last().text, "     Done     ");
        EXPECT_EQ(f.Last().title, "Done");
        EXPECT_EQ(f.Last().icon, MessageIcon::Information);
        EXPECT_EQ(f.frontEnd.controls, (std::vector<bool>{true, false}));
        EXPECT_EQ(f.frontEnd.progress.back(), 0);
        EXPECT_EQ(f.state.percent.load(), 100);
        EXPECT_EQ(f.platform.sleeps.load(), 1);
        EXPECT_GE(f.platform.flushes.load(), 1);
        EXPECT_FALSE(FinishJob(f.state, f.frontEnd, f.platform).has_value());  // reported once only
        struct stat status {};
        ASSERT_EQ(::stat(f.Output(decrypt).c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0600U);
    }
}

// Changing the algorithm or the passphrase while a job runs cannot reach it.
TEST(JobOutcomeTest, TheJobKeepsTheAlgorithmAndPassphraseItStartedWith) {
    Fixture f(kUnderThreadSanitizer ? 64 * 1024 : 3 * kJobTransferBytes, AlgorithmId::TripleDes);
    f.platform.onInputRead = [&f](int read) {
        if (read == 1) {
            f.state.algorithm = AlgorithmId::Idea;
            f.state.passphrase = "something else";
        }
    };
    ASSERT_EQ(f.Run(false), JobOutcome::Done);
    const Bytes expected = ReferenceContainer(AlgorithmId::TripleDes, DeriveKeyWords(kPassphrase),
                                              static_cast<std::uint32_t>(f.platform.now), f.plain);
    EXPECT_TRUE(ReadFile(f.source + ".enc") == expected);
}

enum class Fault { Read, Write, Flush, Close, Cut };
enum class Where { First, Middle, Last };

class FaultTest : public ::testing::TestWithParam<std::tuple<bool, Fault, Where>> {};

// A failure anywhere: "File read/write error", no pause, no output, the input as it was.
TEST_P(FaultTest, FailureDeletesTheOutputAndKeepsTheInput) {
    const auto [decrypt, fault, where] = GetParam();
    Fixture f(kUnderThreadSanitizer ? 40 * 1024 + 3 : 3 * kJobTransferBytes + 3);
    if (decrypt) {
        f.PrepareDecryption();
    }
    const auto before = f.Snapshot();
    const std::uint64_t inputSize = std::filesystem::file_size(f.state.chosenPath);
    const std::uint64_t at = where == Where::First ? 0 : where == Where::Middle ? inputSize / 2 : inputSize - 1;
    switch (fault) {
        case Fault::Read: f.platform.faults.failInputReadAt = at; break;
        case Fault::Write: f.platform.faults.failOutputWriteAt = at; break;
        case Fault::Flush: f.platform.faults.failFlush = true; break;
        case Fault::Close: f.platform.faults.failOutputClose = true; break;
        case Fault::Cut: f.platform.faults.failSetEnd = true; break;
    }
    ASSERT_EQ(f.Run(decrypt), JobOutcome::Failed);
    ASSERT_EQ(f.frontEnd.messages.size(), 1U);
    EXPECT_EQ(f.Last().text, "File read/write error");
    EXPECT_EQ(f.Last().title, "Error");
    EXPECT_EQ(f.Snapshot(), before);
    EXPECT_EQ(f.platform.sleeps.load(), 0);
    EXPECT_EQ(f.frontEnd.controls, (std::vector<bool>{true, false}));
}

std::vector<std::tuple<bool, Fault, Where>> FaultCases() {
    std::vector<std::tuple<bool, Fault, Where>> cases{{true, Fault::Cut, Where::Last}};  // only decryption cuts
    for (const bool decrypt : {false, true}) {
        for (const Where where : {Where::First, Where::Middle, Where::Last}) {
            cases.emplace_back(decrypt, Fault::Read, where);
            cases.emplace_back(decrypt, Fault::Write, where);
        }
        cases.emplace_back(decrypt, Fault::Flush, Where::Last);
        cases.emplace_back(decrypt, Fault::Close, Where::Last);
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultTest, ::testing::ValuesIn(FaultCases()));

enum class CancelAt { FirstBlock, MidFile, FinalPause, BeforeStart };

class CancelTest : public ::testing::TestWithParam<std::tuple<bool, CancelAt>> {};

TEST_P(CancelTest, CancelStopsTheJobUnlessItCameTooEarlyOrTooLate) {
    const auto [decrypt, when] = GetParam();
    // Large enough that the input takes more than one transfer.
    Fixture f(kUnderThreadSanitizer ? kJobTransferBytes + 4096 : 3 * kJobTransferBytes);
    if (decrypt) {
        f.PrepareDecryption();
    }
    const auto before = f.Snapshot();
    if (when == CancelAt::FinalPause) {
        f.platform.onSleep = [&f] { CancelJob(f.state); };
    } else if (when == CancelAt::BeforeStart) {
        CancelJob(f.state);  // a stale cancel is cleared when the next job starts
    } else {
        f.platform.onInputRead = [&f, at = when == CancelAt::FirstBlock ? 0 : 1](int read) {
            if (read == at) {
                CancelJob(f.state);
            }
        };
    }
    const auto outcome = f.Run(decrypt, {std::chrono::milliseconds{750}, 0});
    ASSERT_EQ(f.frontEnd.messages.size(), 1U);
    auto after = f.Snapshot();
    if (when == CancelAt::FinalPause || when == CancelAt::BeforeStart) {
        EXPECT_EQ(outcome, JobOutcome::Done);
        EXPECT_EQ(f.Last().text, "     Done     ");
        EXPECT_EQ(after.erase(f.Output(decrypt)), 1U);
        EXPECT_EQ(after, before);
        return;
    }
    EXPECT_EQ(outcome, JobOutcome::Canceled);
    EXPECT_EQ(f.Last().text, "Canceled");
    EXPECT_EQ(f.Last().title, "Canceled");
    EXPECT_EQ(after, before);
    EXPECT_EQ(f.platform.sleeps.load(), 0);
    // The job did not run on after the cancel: short of the end, and after the first block exactly
    // that one block (behind the header when encrypting).
    EXPECT_LT(f.state.percent.load(), 100);
    EXPECT_LT(f.platform.outputBytesWritten.load(), f.plain.size());
    if (when == CancelAt::FirstBlock) {
        EXPECT_EQ(f.platform.outputBytesWritten.load(), decrypt ? 8U : 20U);
    }
}

INSTANTIATE_TEST_SUITE_P(Moments, CancelTest,
                         ::testing::Combine(::testing::Bool(),
                                            ::testing::Values(CancelAt::FirstBlock, CancelAt::MidFile,
                                                              CancelAt::FinalPause, CancelAt::BeforeStart)));

// A real write failure from the file system: a child process whose files may not grow past a limit.
TEST(JobOutcomeTest, AFileSizeLimitIsAReadWriteError) {
    if (kUnderThreadSanitizer) {
        GTEST_SKIP() << "forking a threaded process under ThreadSanitizer";
    }
    Fixture f(300 * 1024);
    const auto before = f.Snapshot();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{64 * 1024, 64 * 1024};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        RecordingFrontEnd frontEnd;
        const auto outcome = RunRequest(false, f.state, frontEnd, NativePlatform());
        ::_exit(outcome == JobOutcome::Failed && frontEnd.messages.size() == 1 &&
                        frontEnd.messages[0].text == "File read/write error"
                    ? 0
                    : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(f.Snapshot(), before);
}

}  // namespace
}  // namespace morvex::test
