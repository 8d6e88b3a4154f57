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

struct Refusal {
    const char* name;
    bool decrypt;
    AlgorithmId algorithm;
    const char* chosenName;  // inside the test's directory; empty: nothing chosen
    const char* passphrase;
    const char* retype;
    const char* message;
};

class RefusalTest : public ::testing::TestWithParam<Refusal> {};

// A refused request shows exactly its one message and leaves everything as it was.
TEST_P(RefusalTest, ShowsTheFirstFailingCheckAndStartsNothing) {
    const Refusal& row = GetParam();
    TempDir dir;
    const Bytes plain = PatternBytes(33, 1);
    std::string chosen;
    if (*row.chosenName != '\0') {
        chosen = dir.Path(row.chosenName);
        WriteFile(chosen, plain);
    }
    TestPlatform platform;
    RecordingFrontEnd frontEnd;
    JobState state;
    state.algorithm = row.algorithm;
    state.chosenPath = chosen;
    state.passphrase = row.passphrase;
    state.retype = row.retype;
    state.percent = 42;
    const bool started = row.decrypt ? DecryptRequest(state, frontEnd, platform, {})
                                     : EncryptRequest(state, frontEnd, platform, {});
    EXPECT_FALSE(started);
    ASSERT_EQ(frontEnd.messages.size(), 1U);
    EXPECT_EQ(frontEnd.messages[0].text, row.message);
    EXPECT_EQ(frontEnd.messages[0].title, "Error");
    EXPECT_EQ(frontEnd.messages[0].icon, MessageIcon::Information);
    EXPECT_FALSE(state.running);
    EXPECT_FALSE(frontEnd.Working());
    EXPECT_EQ(state.percent.load(), 42);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path("")), {}), chosen.empty() ? 0 : 1);
    if (!chosen.empty()) {
        EXPECT_EQ(ReadFile(chosen), plain);
    }
}

const Refusal kRefusals[] = {
    {"EncryptNothingChosen", false, AlgorithmId::None, "", "", "", "You must select an encryption algorithm first"},
    {"EncryptNoAlgorithm", false, AlgorithmId::None, "a.txt", kPass, kPass, "You must select an encryption algorithm first"},
    {"EncryptNoFile", false, AlgorithmId::Idea, "", kPass, kPass, "You must select a file to encrypt first"},
    {"EncryptNoPassphrases", false, AlgorithmId::TripleDes, "a.txt", "", "", "You must type a passphrase first"},
    {"EncryptOnlyRetype", false, AlgorithmId::TripleDes, "a.txt", "", kPass, "You must type a passphrase first"},
    {"EncryptNoRetype", false, AlgorithmId::Idea, "a.txt", kPass, "", "You must retype the passphrase first"},
    {"EncryptCaseDiffers", false, AlgorithmId::Idea, "a.txt", "Secret", "secret", "The passphrases you typed do not match"},
    {"EncryptLengthDiffers", false, AlgorithmId::Idea, "a.txt", "Secret", "Secret ", "The passphrases you typed do not match"},
    {"DecryptNothingChosen", true, AlgorithmId::None, "", "", "", "You must select an encryption algorithm first"},
    {"DecryptNoFile", true, AlgorithmId::TripleDes, "", kPass, "", "You must select a file to decrypt first"},
    {"DecryptNoPassphrase", true, AlgorithmId::TripleDes, "a.enc", "", kPass, "You must type a passphrase first"},
    {"DecryptUpperCaseSuffix", true, AlgorithmId::Idea, "a.ENC", kPass, "", "The file you selected is not an morvex encrypted file"},
    {"DecryptMixedCaseSuffix", true, AlgorithmId::Idea, "a.Enc", kPass, "", "The file you selected is not an morvex encrypted file"},
    {"DecryptSuffixInside", true, AlgorithmId::Idea, "a.enc.txt", kPass, "", "The file you selected is not an morvex encrypted file"},
    {"DecryptNoSuffix", true, AlgorithmId::Idea, "enc", kPass, "", "The file you selected is not an morvex encrypted file"},
};

INSTANTIATE_TEST_SUITE_P(Requests, RefusalTest, ::testing::ValuesIn(kRefusals),
                         [](const auto& param) { return std::string(param.param.name); });

// A front end driving one request for a source in a fresh directory.
struct Fixture {
    TempDir dir;
    std::string source = dir.Path("source.dat");
    Bytes plain;
    TestPlatform platform;
    RecordingFrontEnd frontEnd;
    JobState state;

    explicit Fixture(std::size_t size, AlgorithmId algorithm = AlgorithmId::Idea) : plain(PatternBytes(size, 77)) {
        WriteFile(source, plain);
        state.algorithm = algorithm;
        state.chosenPath = source;
        state.passphrase = kPass;
        state.retype = kPass;
    }

    // Encrypts the source with the native platform, removes the source and chooses the container.
    void PrepareDecryption() {
        TestPlatform clean;
        RecordingFrontEnd quiet;
        ASSERT_EQ(RunRequest(false, state, quiet, clean), JobOutcome::Done);
        ASSERT_TRUE(NativePlatform().RemoveFile(source));
        state.chosenPath = source + ".enc";
    }

    [[nodiscard]] std::string Output(bool decrypt) const { return decrypt ? source : source + ".enc"; }
    [[nodiscard]] const Message& LastMessage() const { return frontEnd.messages.back(); }
};

// The input of the job (source or container) must survive whatever happens to the job.
Bytes InputBytes(const Fixture& f) { return ReadFile(f.state.chosenPath); }

class StartRefusalTest : public ::testing::TestWithParam<bool> {};

TEST_P(StartRefusalTest, MissingInputIsUnableToOpen) {
    const bool decrypt = GetParam();
    Fixture f(10);
    f.state.chosenPath = f.dir.Path(decrypt ? "missing.enc" : "missing");
    EXPECT_FALSE(RunRequest(decrypt, f.state, f.frontEnd, f.platform));
    ASSERT_EQ(f.frontEnd.messages.size(), 1U);
    EXPECT_EQ(f.LastMessage().text, "Unable to open the selected file");
    EXPECT_EQ(f.LastMessage().title, "Error");
    EXPECT_FALSE(Exists(f.dir.Path(decrypt ? "missing" : "missing.enc")));
}

// A zero byte would cut the name short at the system and open a different file.
TEST_P(StartRefusalTest, ANameWithAZeroByteIsNoFile) {
    const bool decrypt = GetParam();
    Fixture f(10);
    if (decrypt) {
        f.PrepareDecryption();
    }
    const std::string existing = f.state.chosenPath;
    f.state.chosenPath = existing + std::string(1, '\0') + (decrypt ? "x.enc" : "x");
    EXPECT_FALSE(RunRequest(decrypt, f.state, f.frontEnd, f.platform));
    ASSERT_EQ(f.frontEnd.messages.size(), 1U);
    EXPECT_EQ(f.LastMessage().text, "Unable to open the selected file");
    EXPECT_TRUE(Exists(existing));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(f.dir.Path("")), {}), 1);
}

TEST_P(StartRefusalTest, ADirectoryIsNoInput) {
    const bool decrypt = GetParam();
    Fixture f(10);
    f.state.chosenPath = f.dir.Path(decrypt ? "folder.enc" : "folder");
    std::filesystem::create_directory(f.state.chosenPath);
    EXPECT_FALSE(RunRequest(decrypt, f.state, f.frontEnd, f.platform));
    ASSERT_EQ(f.frontEnd.messages.size(), 1U);
    EXPECT_EQ(f.LastMessage().text, "Unable to open the selected file");
    EXPECT_FALSE(Exists(f.dir.Path(decrypt ? "folder" : "folder.enc")));
}

// Every kind of existing name refuses the output, and stays exactly as it was.
TEST_P(StartRefusalTest, ExistingOutputNamesOfEveryKindAreRefusedAndUntouched) {
    const bool decrypt = GetParam();
    for (const std::string kind : {"file", "directory", "symlink", "dangling symlink"}) {
        SCOPED_TRACE(kind);
        Fixture f(40);
        if (decrypt) {
            f.PrepareDecryption();
        }
        const std::string output = f.Output(decrypt);
        const std::string target = f.dir.Path("target");
        const Bytes targetBytes = PatternBytes(5, 5);
        if (kind == "file") {
            WriteFile(output, targetBytes);
        } else if (kind == "directory") {
            std::filesystem::create_directory(output);
        } else {
            std::filesystem::create_symlink(target, output);
            if (kind == "symlink") {
                WriteFile(target, targetBytes);
            }
        }
        const Bytes input = InputBytes(f);
        EXPECT_FALSE(RunRequest(decrypt, f.state, f.frontEnd, f.platform));
        ASSERT_EQ(f.frontEnd.messages.size(), 1U);
        EXPECT_EQ(f.LastMessage().text, "Unable to create the output file");
        EXPECT_EQ(f.LastMessage().title, "Error");
        EXPECT_FALSE(f.frontEnd.Working());
        EXPECT_EQ(InputBytes(f), input);
        if (kind == "file") {
            EXPECT_EQ(ReadFile(output), targetBytes);
        } else if (kind == "directory") {
            EXPECT_TRUE(std::filesystem::is_directory(output));
        } else {
            EXPECT_TRUE(std::filesystem::is_symlink(output));
            EXPECT_EQ(Exists(target), kind == "symlink");
            if (kind == "symlink") {
                EXPECT_EQ(ReadFile(target), targetBytes);
            }
        }
    }
}

// An unknown size, 4 GiB or more, or the value that doubles as the platform's failure report: the
// request is refused and its own empty output does not stay behind to block the next attempt.
TEST_P(StartRefusalTest, SizesThatCannotBeStoredAreRefusedWithoutLeavingAnOutput) {
    const bool decrypt = GetParam();
    for (const std::optional<std::uint64_t> size :
         {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{0xFFFFFFFFULL},
          std::optional<std::uint64_t>{0x100000000ULL}, std::optional<std::uint64_t>{0x7FFFFFFFFFFULL}}) {
        Fixture f(24);
        if (decrypt) {
            f.PrepareDecryption();
        }
        f.platform.faults.failSize = !size.has_value();
        f.platform.faults.reportedSize = size;
        const Bytes input = InputBytes(f);
        EXPECT_FALSE(RunRequest(decrypt, f.state, f.frontEnd, f.platform));
        ASSERT_EQ(f.frontEnd.messages.size(), 1U);
        EXPECT_EQ(f.LastMessage().text, "Cannot determine file size");
        EXPECT_EQ(f.LastMessage().title, "Error");
        EXPECT_FALSE(Exists(f.Output(decrypt)));
        EXPECT_EQ(InputBytes(f), input);
        EXPECT_FALSE(f.state.running);
    }
}

TEST_P(StartRefusalTest, AWorkerThatCannotStartLeavesTheFrontEndIdleAndNoOutput) {
    const bool decrypt = GetParam();
    Fixture f(24);
    if (decrypt) {
        f.PrepareDecryption();
    }
    f.platform.faults.failStartThread = true;
    EXPECT_FALSE(RunRequest(decrypt, f.state, f.frontEnd, f.platform));
    ASSERT_EQ(f.frontEnd.messages.size(), 1U);
    EXPECT_EQ(f.LastMessage().title, "Error");
    EXPECT_FALSE(f.LastMessage().text.empty());
    EXPECT_FALSE(f.state.running);
    EXPECT_FALSE(f.frontEnd.Working());
    EXPECT_FALSE(Exists(f.Output(decrypt)));
    EXPECT_FALSE(FinishJob(f.state, f.frontEnd, f.platform).has_value());

    f.platform.faults.failStartThread = false;  // nothing left behind blocks the next attempt
    EXPECT_EQ(RunRequest(decrypt, f.state, f.frontEnd, f.platform), JobOutcome::Done);
}

INSTANTIATE_TEST_SUITE_P(Jobs, StartRefusalTest, ::testing::Bool(),
                         [](const auto& param) { return std::string(param.param ? "Decrypt" : "Encrypt"); });

TEST(StartRefusalTest, ASparseFourGibSourceIsRefused) {
    Fixture f(0);
    std::filesystem::resize_file(f.source, 0x100000000ULL);
    EXPECT_FALSE(RunRequest(false, f.state, f.frontEnd, f.platform));
    ASSERT_EQ(f.frontEnd.messages.size(), 1U);
    EXPECT_EQ(f.LastMessage().text, "Cannot determine file size");
    EXPECT_FALSE(Exists(f.source + ".enc"));
    EXPECT_EQ(std::filesystem::file_size(f.source), 0x100000000ULL);
}

// The largest sizes accepted would carry a 32-bit count of processed bytes past 2^32 before it
// reached the size; the job must still end after the block that covers the last byte. Slow (half
// a billion blocks), so it runs only on request: --gtest_also_run_disabled_tests.
TEST(StartRefusalTest, DISABLED_TheLargestAcceptedSizeStillEnds) {
    Fixture f(10);
    f.platform.faults.reportedSize = 0xFFFFFFFEULL;
    f.platform.faults.discardOutput = true;
    ASSERT_EQ(RunRequest(false, f.state, f.frontEnd, f.platform), JobOutcome::Done);
    EXPECT_EQ(f.platform.outputBytesWritten.load(), 12U + 0x100000000ULL);
    EXPECT_EQ(f.state.percent.load(), 100);
}

// A pipe has no size to store, and opening it must not wait for a writer that never comes.
TEST(StartRefusalTest, APipeIsRefusedWithoutWaiting) {
    Fixture f(0);
    ASSERT_TRUE(NativePlatform().RemoveFile(f.source));
    ASSERT_EQ(::mkfifo(f.source.c_str(), 0600), 0);
    EXPECT_FALSE(RunRequest(false, f.state, f.frontEnd, f.platform));
    ASSERT_EQ(f.frontEnd.messages.size(), 1U);
    EXPECT_EQ(f.LastMessage().text, "Cannot determine file size");
    EXPECT_FALSE(Exists(f.source + ".enc"));
}

// A successful job: the controls switch, the container reaches stable storage before the report,
// the pause comes once, the output is its owner's alone.
TEST(JobOutcomeTest, DoneReportsAndRestoresTheControls) {
    for (const bool decrypt : {false, true}) {
        Fixture f(5000);
        if (decrypt) {
            f.PrepareDecryption();
        }
        const JobOptions options{std::chrono::milliseconds{750}, 0};
        ASSERT_TRUE(decrypt ? DecryptRequest(f.state, f.frontEnd, f.platform, options)
                            : EncryptRequest(f.state, f.frontEnd, f.platform, options));
        EXPECT_TRUE(f.frontEnd.Working());
        EXPECT_TRUE(f.state.running);
        ASSERT_EQ(WaitForFinish(f.state, f.frontEnd, f.platform), JobOutcome::Done);
        ASSERT_EQ(f.frontEnd.messages.size(), 1U);
        EXPECT_EQ(f.LastMessage().text, "     Done     ");
        EXPECT_EQ(f.LastMessage().title, "Done");
        EXPECT_EQ(f.LastMessage().icon, MessageIcon::Information);
        EXPECT_FALSE(f.frontEnd.Working());
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
    ASSERT_EQ(RunRequest(false, f.state, f.frontEnd, f.platform), JobOutcome::Done);
    const Bytes expected = ReferenceContainer(AlgorithmId::TripleDes, DeriveKeyWords(kPass),
                                              static_cast<std::uint32_t>(f.platform.now), f.plain);
    EXPECT_TRUE(ReadFile(f.source + ".enc") == expected);
}

enum class Fault { Read, Write, Flush, Close, Cut };
enum class Where { First, Middle, Last };

class FaultTest : public ::testing::TestWithParam<std::tuple<bool, Fault, Where>> {};

// A failure anywhere: "File read/write error", no output, the input as it was.
TEST_P(FaultTest, FailureDeletesTheOutputAndKeepsTheInput) {
    const auto [decrypt, fault, where] = GetParam();
    Fixture f(kUnderThreadSanitizer ? 40 * 1024 + 3 : 3 * kJobTransferBytes + 3);
    if (decrypt) {
        f.PrepareDecryption();
    }
    const Bytes input = InputBytes(f);
    const std::uint64_t inputSize = input.size();
    const std::uint64_t at = where == Where::First ? 0 : where == Where::Middle ? inputSize / 2 : inputSize - 1;
    switch (fault) {
        case Fault::Read: f.platform.faults.failInputReadAt = at; break;
        case Fault::Write: f.platform.faults.failOutputWriteAt = at; break;
        case Fault::Flush: f.platform.faults.failFlush = true; break;
        case Fault::Close: f.platform.faults.failOutputClose = true; break;
        case Fault::Cut: f.platform.faults.failSetEnd = true; break;
    }
    ASSERT_EQ(RunRequest(decrypt, f.state, f.frontEnd, f.platform), JobOutcome::Failed);
    ASSERT_EQ(f.frontEnd.messages.size(), 1U);
    EXPECT_EQ(f.LastMessage().text, "File read/write error");
    EXPECT_EQ(f.LastMessage().title, "Error");
    EXPECT_FALSE(Exists(f.Output(decrypt)));
    EXPECT_TRUE(InputBytes(f) == input);
    EXPECT_EQ(f.platform.sleeps.load(), 0);  // no pause after a failure
    EXPECT_FALSE(f.frontEnd.Working());
}

std::vector<std::tuple<bool, Fault, Where>> FaultCases() {
    std::vector<std::tuple<bool, Fault, Where>> cases;
    for (const bool decrypt : {false, true}) {
        for (const Fault fault : {Fault::Read, Fault::Write}) {
            for (const Where where : {Where::First, Where::Middle, Where::Last}) {
                cases.emplace_back(decrypt, fault, where);
            }
        }
        cases.emplace_back(decrypt, Fault::Flush, Where::Last);
        cases.emplace_back(decrypt, Fault::Close, Where::Last);
    }
    cases.emplace_back(true, Fault::Cut, Where::Last);  // only decryption cuts its output
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
    const Bytes input = InputBytes(f);
    JobState& state = f.state;
    if (when == CancelAt::FirstBlock) {
        f.platform.onInputRead = [&state](int read) {
            if (read == 0) {
                CancelJob(state);
            }
        };
    } else if (when == CancelAt::MidFile) {
        f.platform.onInputRead = [&state](int read) {
            if (read == 1) {
                CancelJob(state);
            }
        };
    } else if (when == CancelAt::FinalPause) {
        f.platform.onSleep = [&state] { CancelJob(state); };
    } else {
        CancelJob(state);  // a stale cancel is cleared when the next job starts
    }
    const JobOptions options{std::chrono::milliseconds{750}, 0};
    const auto outcome = RunRequest(decrypt, f.state, f.frontEnd, f.platform, options);
    ASSERT_EQ(f.frontEnd.messages.size(), 1U);
    EXPECT_TRUE(InputBytes(f) == input);
    if (when == CancelAt::FinalPause || when == CancelAt::BeforeStart) {
        EXPECT_EQ(outcome, JobOutcome::Done);
        EXPECT_EQ(f.LastMessage().text, "     Done     ");
        EXPECT_TRUE(Exists(f.Output(decrypt)));
    } else {
        EXPECT_EQ(outcome, JobOutcome::Canceled);
        EXPECT_EQ(f.LastMessage().text, "Canceled");
        EXPECT_EQ(f.LastMessage().title, "Canceled");
        EXPECT_FALSE(Exists(f.Output(decrypt)));
        EXPECT_EQ(f.platform.sleeps.load(), 0);
        // The job did not run on after the cancel: short of the end, and after the first block
        // exactly that one block (behind the header when encrypting).
        EXPECT_LT(f.state.percent.load(), 100);
        EXPECT_LT(f.platform.outputBytesWritten.load(), input.size());
        if (when == CancelAt::FirstBlock) {
            EXPECT_EQ(f.platform.outputBytesWritten.load(), decrypt ? 8U : 20U);
        }
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
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{64 * 1024, 64 * 1024};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        RecordingFrontEnd frontEnd;
        const auto outcome = RunRequest(false, f.state, frontEnd, NativePlatform());
        const bool expected = outcome == JobOutcome::Failed && frontEnd.messages.size() == 1 &&
                              frontEnd.messages[0].text == "File read/write error";
        ::_exit(expected ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(Exists(f.source + ".enc"));
    EXPECT_TRUE(ReadFile(f.source) == f.plain);
}

}  // namespace
}  // namespace morvex::test
