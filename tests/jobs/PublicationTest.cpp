// What a job leaves on disk when its surroundings change under it: a name taken while it runs, a
// hidden name tampered with, a source that does not hold still, a size near the container's limit.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>

#include "jobs/JobError.h"
#include "jobs/Jobs.h"
#include "tests/jobs/JobTestSupport.h"

namespace morvex::test {
namespace {

namespace fs = std::filesystem;

// Both ways of keeping an output nameless: unnamed files, and hidden names where there are none.
struct Variant {
    bool decrypt;
    bool hiddenNames;
};

std::string Name(const ::testing::TestParamInfo<Variant>& info) {
    return std::string(info.param.decrypt ? "Decrypt" : "Encrypt") + (info.param.hiddenNames ? "Hidden" : "Unnamed");
}

class PublicationTest : public ::testing::TestWithParam<Variant> {
protected:
    // Large enough that the input takes more than one transfer.
    PublicationTest() : f(kUnderThreadSanitizer ? kJobTransferBytes + 4099 : 3 * kJobTransferBytes + 3) {
        if (GetParam().decrypt) {
            f.PrepareDecryption();
        }
        f.platform.hiddenNames = GetParam().hiddenNames;
    }

    [[nodiscard]] std::string Output() const { return f.Output(GetParam().decrypt); }

    // The entries that start with a dot: hidden outputs.
    [[nodiscard]] std::vector<std::string> Hidden() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(f.root)) {
            if (entry.path().filename().string().front() == '.') {
                names.push_back(entry.path().string());
            }
        }
        return names;
    }

    Fixture f;
};

// A file that takes the output's name during the job is never replaced: the job fails with the
// refusal's own text and leaves nothing of its own, whether the name came mid-job or at the last moment.
TEST_P(PublicationTest, ANameTakenDuringTheJobFailsItAndStaysAsItWas) {
    for (const bool lastMoment : {false, true}) {
        SCOPED_TRACE(lastMoment ? "just before the publication" : "mid-job");
        const auto before = f.Snapshot();
        const Bytes intruder = PatternBytes(77, 3);
        const auto intrude = [this, &intruder] { WriteFile(Output(), intruder); };
        if (lastMoment) {
            f.platform.onPublish = intrude;
        } else {
            f.platform.onInputRead = [&intrude](int read) {
                if (read == 1) {
                    intrude();
                }
            };
        }
        ASSERT_EQ(f.Run(GetParam().decrypt), JobOutcome::OutputNameTaken);
        EXPECT_EQ(f.Last().text, "Unable to create the output file");
        EXPECT_EQ(f.Last().title, "Error");
        EXPECT_EQ(f.state.published.failureCause, std::errc::file_exists);
        EXPECT_TRUE(ReadFile(Output()) == intruder);
        auto after = f.Snapshot();
        EXPECT_EQ(after.erase(Output()), 1U);
        EXPECT_EQ(after, before);
        fs::remove(Output());
        f.platform.onPublish = nullptr;
        f.platform.onInputRead = nullptr;
    }
}

// The case of two jobs on one name: the first job's cancel must not remove the file that has taken
// its name since; it removes its own unfinished output only.
TEST_P(PublicationTest, ACancelRemovesOnlyTheJobsOwnFile) {
    const auto before = f.Snapshot();
    f.platform.onInputRead = [this](int read) {
        if (read == 1) {
            WriteFile(Output(), PatternBytes(40, 9));
            CancelJob(f.state);
        }
    };
    ASSERT_EQ(f.Run(GetParam().decrypt), JobOutcome::Canceled);
    auto after = f.Snapshot();
    EXPECT_EQ(after.erase(Output()), 1U);
    EXPECT_EQ(after, before);
}

// Until it is published the output cannot be found under its name; hidden, it has a single entry of its own.
TEST_P(PublicationTest, TheOutputHasNoNameUntilTheJobIsDone) {
    std::vector<std::string> hiddenDuringJob;
    bool finalNameDuringJob = true;
    f.platform.onInputRead = [&](int read) {
        if (read == 1) {
            hiddenDuringJob = Hidden();
            finalNameDuringJob = fs::exists(fs::symlink_status(Output()));
        }
    };
    ASSERT_EQ(f.Run(GetParam().decrypt), JobOutcome::Done);
    EXPECT_FALSE(finalNameDuringJob);
    if (GetParam().hiddenNames) {
        ASSERT_EQ(hiddenDuringJob.size(), 1U);
        EXPECT_EQ(fs::path(hiddenDuringJob[0]).filename().string().rfind("." + fs::path(Output()).filename().string() + ".", 0), 0U);
    } else {
        EXPECT_TRUE(hiddenDuringJob.empty());
    }
    EXPECT_TRUE(Hidden().empty());
    EXPECT_EQ(f.platform.publishes.load(), 1);
}

// A source or container that changes size while the job reads it fails the job, whether it was
// cut short, grew, or grew after the last block; nothing is left behind.
TEST_P(PublicationTest, AnInputThatDoesNotHoldStillFailsTheJob) {
    enum class Change { Truncated, Grown, GrownAtTheEnd };
    for (const Change change : {Change::Truncated, Change::Grown, Change::GrownAtTheEnd}) {
        SCOPED_TRACE(static_cast<int>(change));
        const std::string input = f.state.choice.chosenPath;
        const std::uintmax_t size = fs::file_size(input);
        const Bytes original = ReadFile(input);
        const auto before = f.Snapshot();
        // Reads straight from the file, so that the read after the last block is the job's own.
        f.platform.faults.failHelperThreads = change == Change::GrownAtTheEnd;
        const int at = change == Change::GrownAtTheEnd ? static_cast<int>((size + kJobTransferBytes - 1) / kJobTransferBytes) : 1;
        f.platform.onInputRead = [&](int read) {
            if (read != at) {
                return;
            }
            if (change == Change::Truncated) {
                fs::resize_file(input, size / 2);
            } else {
                std::FILE* file = std::fopen(input.c_str(), "ab");
                std::fputs("more", file);
                std::fclose(file);
            }
        };
        ASSERT_EQ(f.Run(GetParam().decrypt), JobOutcome::Failed);
        EXPECT_EQ(f.Last().text, "File read/write error");
        EXPECT_EQ(f.state.published.failureCause, JobError::SourceChanged);
        EXPECT_EQ(f.state.published.failureCause.message(), "the file changed while it was read");
        WriteFile(input, original);
        EXPECT_EQ(f.Snapshot(), before);
        f.platform.onInputRead = nullptr;
    }
}

// A refused start takes back its new output, hidden or not: nothing is left to refuse the next attempt.
TEST_P(PublicationTest, ARefusedStartLeavesNoHiddenFile) {
    const auto before = f.Snapshot();
    f.platform.faults.failSize = true;
    EXPECT_FALSE(f.Run(GetParam().decrypt));
    EXPECT_EQ(f.Last().text, "Cannot determine file size");
    EXPECT_EQ(f.Snapshot(), before);
}

INSTANTIATE_TEST_SUITE_P(Jobs, PublicationTest,
                         ::testing::Values(Variant{false, false}, Variant{true, false}, Variant{false, true},
                                           Variant{true, true}),
                         Name);

// A hidden output whose name now holds another file: the discard leaves that file alone and says
// what is left, so that a front end can name it.
TEST(DiscardTest, AReplacedHiddenNameIsReportedAndNotRemoved) {
    Fixture f(3 * kJobTransferBytes);
    f.platform.hiddenNames = true;
    std::string hidden;
    f.platform.onInputRead = [&](int read) {
        if (read != 1) {
            return;
        }
        for (const auto& entry : fs::directory_iterator(f.root)) {
            if (entry.path().filename().string().front() == '.') {
                hidden = entry.path().string();
            }
        }
        fs::rename(hidden, hidden + "-moved");
        WriteFile(hidden, PatternBytes(10, 1));
        CancelJob(f.state);
    };
    ASSERT_TRUE(EncryptRequest(f.state, f.platform, {std::chrono::milliseconds{0}, 0}).Started());
    JobTick tick;
    while ((tick = FinishJob(f.state)).kind != JobTick::Kind::Finished) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(tick.outcome, JobOutcome::Canceled);
    ASSERT_FALSE(hidden.empty());
    const DiscardResult cleanup = DiscardOutput(f.state, f.platform);
    EXPECT_EQ(cleanup.cause, JobError::OutputReplaced);
    EXPECT_EQ(cleanup.leftBehind, hidden);
    EXPECT_TRUE(ReadFile(hidden) == PatternBytes(10, 1));
    EXPECT_FALSE(DiscardOutput(f.state, f.platform).cause) << "a second discard finds nothing to do";
}

// The last block does not end the reading: a source that grows once all its bytes were read and
// ciphered still fails the job, found by the read that must meet its end.
TEST(ChangingSourceTest, ASourceThatGrowsAfterItsLastBlockFailsTheJob) {
    Fixture f(2 * kJobTransferBytes);
    f.platform.faults.failHelperThreads = true;  // the job's reads are the file's, one transfer each
    f.platform.onInputRead = [&f](int read) {
        if (read == 2) {
            std::FILE* file = std::fopen(f.source.c_str(), "ab");
            std::fputs("more", file);
            std::fclose(file);
        }
    };
    ASSERT_EQ(f.Run(false), JobOutcome::Failed);
    EXPECT_EQ(f.state.published.failureCause, JobError::SourceChanged);
    EXPECT_FALSE(fs::exists(f.Output(false)));
}

// A file whose size the system reports as 0 but which has content is refused like one that grew.
TEST(ChangingSourceTest, AFileReportedEmptyThatHasContentFailsTheJob) {
    Fixture f(0);
    const std::string status = f.Path("status");
    fs::create_symlink("/proc/self/status", status);
    f.state.choice.chosenPath = status;
    const auto before = f.Snapshot();
    ASSERT_EQ(f.Run(false), JobOutcome::Failed);
    EXPECT_EQ(f.state.published.failureCause, JobError::SourceChanged);
    EXPECT_EQ(f.Snapshot(), before);
}

// No container that an encryption writes is refused by decryption: a source whose container would
// reach 4 GiB is refused at the request, while decryption takes every file below 4 GiB - 1.
TEST(ContainerLimitTest, EncryptionRefusesSourcesWhoseContainerWouldReachFourGiB) {
    for (const std::uint64_t size : {4294967281ULL, 4294967288ULL, 4294967294ULL}) {
        SCOPED_TRACE(size);
        Fixture f(40);
        f.platform.faults.reportedSize = size;
        const RequestResult result = EncryptRequest(f.state, f.platform, {std::chrono::milliseconds{0}, 0});
        ASSERT_FALSE(result.Started());
        EXPECT_EQ(*result.refusal, Refusal::CannotDetermineSize);
        EXPECT_EQ(result.cause, JobError::ContainerTooLarge);
    }
    for (const bool decrypt : {false, true}) {
        Fixture f(40);
        if (decrypt) {
            f.PrepareDecryption();
        }
        // The largest source that fits, and a container just as large: both start, and then fail
        // only because the file does not have the size its platform claims.
        f.platform.faults.reportedSize = decrypt ? 4294967294ULL : 4294967280ULL;
        EXPECT_EQ(f.Run(decrypt), JobOutcome::Failed);
        EXPECT_EQ(f.state.published.failureCause, JobError::SourceChanged);
    }
}

}  // namespace
}  // namespace morvex::test
