// Whatever ends the tool, its folder holds the source and at most a whole, correct output: killed
// at many moments of either job, stopped by a file-size limit, beaten to its output's name, fed a
// source that does not hold still. And the name is flushed with the folder.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <set>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "CliFolder.h"

namespace morvex::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class CrashSafetyTest : public CliFolderTest {
protected:
    void SetUp() override {
        CliFolderTest::SetUp();
        Write("pass.txt", "pw\n");
    }

    [[nodiscard]] ChildOptions Job(const std::string& command, const std::string& file) const {
        ChildOptions options;
        options.args = {command, "--cipher", "idea", "--passphrase-file", "pass.txt", file};
        options.workingDirectory = dir_.string();
        return options;
    }

    // A container is whole and correct if it decrypts, in a folder of its own, to the source.
    [[nodiscard]] bool DecryptsTo(const std::string& container, const std::string& plain) const {
        const fs::path check = dir_ / "check";
        fs::create_directory(check);
        fs::copy_file(Path(container), check / "x.enc");
        fs::copy_file(Path("pass.txt"), check / "pass.txt");
        ChildOptions options = Job("decrypt", "x.enc");
        options.workingDirectory = check.string();
        const bool same = CliChild(options).Wait().status == 0 && [&] {
            std::ifstream file(check / "x", std::ios::binary);
            return std::string(std::istreambuf_iterator<char>(file), {}) == plain;
        }();
        fs::remove_all(check);
        return same;
    }
};

struct KillCase {
    bool decrypt;
    int signal;  // SIGXFSZ: a file-size limit with the signal at its default does the killing
};

class KillTest : public CrashSafetyTest, public ::testing::WithParamInterface<KillCase> {};

// SIGKILL cannot be a cancel: the tool dies where it stands. Its unnamed output dies with it; a job
// that got as far as its publication leaves a whole output. SIGQUIT ends the tool by its default
// until the tool's handler is in place and cancels afterwards; either way no core file is written,
// though the tool was allowed one, and the folder holds the same.
TEST_P(KillTest, LeavesTheSourceAndAtMostAWholeOutput) {
    const auto [decrypt, signal] = GetParam();
    const std::string plain = RandomBytes((6u << 20) + 3, 21);
    Write("data", plain);
    if (decrypt) {
        ASSERT_EQ(CliChild(Job("encrypt", "data")).Wait().status, 0);
        fs::remove(Path("data"));
    }
    const std::string input = decrypt ? "data.enc" : "data";
    const std::string output = decrypt ? "data" : "data.enc";
    const std::uint64_t outputBytes = decrypt ? plain.size() : 12 + 8 * ((plain.size() + 7) / 8);
    // Moments as bytes written so far: before the first, during the job, and once all are written,
    // about when the output is flushed and named.
    int published = 0;
    for (const std::uint64_t moment : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{1} << 20,
                                       std::uint64_t{3} << 20, std::uint64_t{5} << 20, outputBytes}) {
        SCOPED_TRACE("at " + std::to_string(moment) + " bytes");
        fs::remove(Path(output));
        ChildOptions options = Job(decrypt ? "decrypt" : "encrypt", input);
        options.coreFiles = true;
        if (signal == SIGXFSZ) {
            options.fileSizeLimit = moment;  // SIGXFSZ at its default: the tool must not die of it
        }
        CliChild child(options);
        if (signal != SIGXFSZ) {
            // The first moment is once the tool's own code runs: before that no program could keep
            // a SIGQUIT from writing the core file it was allowed.
            (void)child.WaitUntilItCatches(SIGINT, 10s);
            (void)child.WaitForWrites(moment, 10s);  // false if the job ended first: it is killed all the same
            child.Signal(signal);
        }
        const ChildResult result = child.Wait();
        std::set<std::string> expected{input, "pass.txt"};
        if (result.status == 0 || fs::exists(Path(output))) {
            expected.insert(output);
            ++published;
            EXPECT_TRUE(decrypt ? Read(output) == plain : DecryptsTo(output, plain)) << "a partial output";
        }
        EXPECT_EQ(Entries(), expected) << result.err;
        if (signal == SIGXFSZ && moment < outputBytes) {
            EXPECT_NE(result.status, 0) << "the limit must stop the job";
        }
    }
    EXPECT_LT(published, 6) << "no kill came before the end of the job";
}

INSTANTIATE_TEST_SUITE_P(Signals, KillTest,
                         ::testing::Values(KillCase{false, SIGKILL}, KillCase{true, SIGKILL}, KillCase{false, SIGQUIT},
                                           KillCase{true, SIGQUIT}, KillCase{false, SIGXFSZ}, KillCase{true, SIGXFSZ}),
                         [](const auto& param) {
                             return std::string(param.param.decrypt ? "Decrypt" : "Encrypt") +
                                    (param.param.signal == SIGKILL   ? "Kill"
                                     : param.param.signal == SIGQUIT ? "Quit"
                                                                     : "FileSizeLimit");
                         });

// A real race: another program creates the output's name while the job runs. The tool fails the
// job with the refusal's text and leaves that file exactly as it was.
TEST_F(CrashSafetyTest, ANameTakenWhileTheJobRunsIsNeverReplaced) {
    Write("big", "");
    fs::resize_file(Path("big"), 64u << 20);  // sparse
    CliChild child(Job("encrypt", "big"));
    ASSERT_TRUE(child.WaitForWrites(1u << 20, 20s)) << "the job never started";
    Write("big.enc", "another program's file");
    const ChildResult result = child.Wait();
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.err, "morvex-cli: big: Unable to create the output file (big.enc exists)\n");
    EXPECT_EQ(Read("big.enc"), "another program's file");
    EXPECT_EQ(Entries(), (std::set<std::string>{"big", "big.enc", "pass.txt"}));
}

// A source that does not hold the size it had at the start, and one whose container could not be
// decrypted again: both are refused in words the user can act on, and nothing is left.
TEST_F(CrashSafetyTest, SourcesThatCannotBeEncryptedFaithfullyAreRefused) {
    fs::create_symlink("/proc/self/status", Path("status"));  // reported as empty, yet full of text
    ChildResult result = CliChild(Job("encrypt", "status")).Wait();
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.err, "morvex-cli: status: File read/write error (the file changed while it was read)\n");
    Write("huge", "");
    fs::resize_file(Path("huge"), 4294967281u);  // sparse; its container would be 4 GiB + 4 bytes
    result = CliChild(Job("encrypt", "huge")).Wait();
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, "morvex-cli: huge: Cannot determine file size (its container would be 4 GiB or more)\n");
    EXPECT_EQ(Entries(), (std::set<std::string>{"huge", "pass.txt", "status"}));
}

// Seen in the system calls: the output's bytes are flushed, then it gets its name by a link that
// cannot replace, then the folder that holds the name is flushed.
TEST_F(CrashSafetyTest, TheNameIsFlushedWithTheFolderAfterTheBytes) {
    Write("data", RandomBytes(100000, 4));
    const std::string trace = Path("trace.txt");
    // LeakSanitizer, where the tool is built with it, cannot run under a tracer.
    const std::string command = "ASAN_OPTIONS=detect_leaks=0 strace -f -qq -e trace=fsync,linkat -o '" + trace + "' '" MORVEX_CLI_PATH +
                                "' encrypt --cipher idea --passphrase-file '" + Path("pass.txt") + "' '" +
                                Path("data") + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0 || !fs::exists(trace)) {
        GTEST_SKIP() << "strace cannot trace here";
    }
    std::ifstream file(trace);
    std::vector<std::string> calls;
    for (std::string line; std::getline(file, line);) {
        calls.push_back(line);
    }
    // linkat(file, "", folder, "data.enc", AT_EMPTY_PATH) = 0, or the same file through /proc.
    std::size_t linked = calls.size();
    std::string output;
    std::string folder;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const std::string& call = calls[i];
        const std::size_t open = call.find("linkat(");
        if (open == std::string::npos || call.find("\"data.enc\"") == std::string::npos || !call.ends_with("= 0")) {
            continue;
        }
        std::vector<std::string> arguments;
        std::istringstream list(call.substr(open + 7, call.rfind(')') - open - 7));
        for (std::string argument; std::getline(list, argument, ',');) {
            arguments.push_back(argument.substr(argument.find_first_not_of(' ')));
        }
        if (arguments.size() == 5) {
            linked = i;
            const std::string proc = "\"/proc/self/fd/";
            output = arguments[0] == "AT_FDCWD" && arguments[1].starts_with(proc)
                         ? arguments[1].substr(proc.size(), arguments[1].size() - proc.size() - 1)
                         : arguments[0];
            folder = arguments[2];
        }
    }
    ASSERT_LT(linked, calls.size()) << "no link made the name";
    const auto flushed = [&](const std::string& fd, std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            const std::string& call = calls[i];
            if (call.find("fsync(" + fd + ")") != std::string::npos && call.ends_with("= 0")) {
                return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(flushed(output, 0, linked)) << "the bytes were not flushed before the name";
    EXPECT_TRUE(flushed(folder, linked + 1, calls.size())) << "the folder was not flushed after the name";
    EXPECT_TRUE(fs::exists(Path("data.enc")));
}

}  // namespace
}  // namespace morvex::test
