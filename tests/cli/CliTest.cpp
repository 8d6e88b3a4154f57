#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "ChildProcess.h"
#include "cli/CommandLine.h"

namespace morvex::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kDone = 0;
constexpr int kUsage = 1;
constexpr int kRefused = 2;
constexpr int kFailed = 3;
constexpr int kCanceled = 130;

std::string RandomBytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(generator() & 0xFFu);
    }
    return bytes;
}

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "morvex-cli-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    [[nodiscard]] std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    void Write(const std::string& name, const std::string& bytes) const {
        std::ofstream file(Path(name), std::ios::binary);
        file << bytes;
        ASSERT_TRUE(file.good());
    }

    [[nodiscard]] std::string Read(const std::string& name) const {
        std::ifstream file(Path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }

    [[nodiscard]] bool Exists(const std::string& name) const { return fs::exists(Path(name)); }

    // A file that costs no disk space and takes seconds to encrypt.
    void MakeLarge(const std::string& name, std::uintmax_t size) const {
        Write(name, "");
        fs::resize_file(Path(name), size);
    }

    [[nodiscard]] ChildResult Run(std::vector<std::string> args) const {
        return RunCli(ChildOptions{std::move(args), std::nullopt, std::nullopt, dir_.string()});
    }

    // Encrypts with the passphrase in a file named pass.txt, written fresh with the given text.
    [[nodiscard]] ChildResult Crypt(const std::string& command, const std::string& cipher,
                                    const std::string& passphraseFileText, std::vector<std::string> files) {
        Write("pass.txt", passphraseFileText);
        std::vector<std::string> args{command, "--cipher", cipher, "--passphrase-file", "pass.txt"};
        args.insert(args.end(), files.begin(), files.end());
        return Run(args);
    }

    fs::path dir_;
};

// --- Arguments --------------------------------------------------------------------------------

TEST(CipherNameTest, AcceptsTheDocumentedSpellingsInAnyCase) {
    const std::vector<std::tuple<std::string, std::optional<AlgorithmId>>> cases{
        {"3des", AlgorithmId::TripleDes}, {"3DES", AlgorithmId::TripleDes},
        {"3-des", AlgorithmId::TripleDes}, {"3-DeS", AlgorithmId::TripleDes},
        {"idea", AlgorithmId::Idea},      {"IDEA", AlgorithmId::Idea},
        {"des", std::nullopt},            {"3des ", std::nullopt},
        {"", std::nullopt},               {"idea2", std::nullopt},
        {"3--des", std::nullopt},         {"tripledes", std::nullopt},
    };
    for (const auto& [name, expected] : cases) {
        EXPECT_EQ(ParseCipherName(name), expected) << "name '" << name << "'";
    }
}

class UsageErrorTest : public CliTest, public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(UsageErrorTest, ExitsWithOneAndCreatesNothing) {
    Write("plain", "some text");
    Write("pass.txt", "secret\n");
    const ChildResult result = Run(GetParam());
    EXPECT_EQ(result.status, kUsage) << result.err;
    EXPECT_EQ(result.err.rfind("morvex-cli: ", 0), 0u) << result.err;
    EXPECT_TRUE(result.out.empty());
    EXPECT_FALSE(Exists("plain.enc"));
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, UsageErrorTest,
    ::testing::Values(std::vector<std::string>{},
                      std::vector<std::string>{"scramble", "--cipher", "idea", "plain"},
                      std::vector<std::string>{"encrypt", "--passphrase-file", "pass.txt", "plain"},
                      std::vector<std::string>{"encrypt", "--cipher", "des", "--passphrase-file", "pass.txt", "plain"},
                      std::vector<std::string>{"encrypt", "--cipher", "idea", "--passphrase-file", "pass.txt"},
                      std::vector<std::string>{"encrypt", "--cipher", "idea", "--passphrase", "secret", "plain"},
                      std::vector<std::string>{"encrypt", "--cipher", "idea", "--passphrase-file", "pass.txt",
                                               "--passphrase-fd", "0", "plain"},
                      std::vector<std::string>{"encrypt", "--cipher", "idea", "--passphrase-fd", "x", "plain"},
                      std::vector<std::string>{"encrypt", "--cipher", "idea", "--bogus", "plain"},
                      std::vector<std::string>{"encrypt", "--cipher"},
                      // The passphrase could not be read: a missing file, a closed descriptor, no terminal.
                      std::vector<std::string>{"encrypt", "--cipher", "idea", "--passphrase-file", "none", "plain"},
                      std::vector<std::string>{"encrypt", "--cipher", "idea", "--passphrase-fd", "9", "plain"},
                      std::vector<std::string>{"encrypt", "--cipher", "idea", "plain"}));

TEST_F(CliTest, HelpDocumentsExitStatusesAndTheUncheckedPassphrase) {
    const ChildResult result = Run({"--help"});
    EXPECT_EQ(result.status, kDone);
    for (const char* text : {"130", "wrong passphrase", "--passphrase-fd", "--quiet", "3-des"}) {
        EXPECT_NE(result.out.find(text), std::string::npos) << text;
    }
}

// --- Round trips ------------------------------------------------------------------------------

class RoundTripTest : public CliTest,
                      public ::testing::WithParamInterface<std::tuple<std::string, std::size_t>> {};

TEST_P(RoundTripTest, DecryptingGivesBackTheSource) {
    const auto& [cipher, size] = GetParam();
    const std::string plain = RandomBytes(size, static_cast<std::uint32_t>(size) + 7);
    Write("data.bin", plain);
    ChildResult result = Crypt("encrypt", cipher, "correct horse\n", {"data.bin"});
    ASSERT_EQ(result.status, kDone) << result.err;
    EXPECT_TRUE(result.err.empty()) << "nothing on a stderr that is no terminal: " << result.err;
    const std::string container = Read("data.bin.enc");
    const std::size_t blocks = size == 0 ? 1 : (size + 7) / 8;
    ASSERT_EQ(container.size(), 12 + 8 * blocks);
    EXPECT_EQ(Read("data.bin"), plain) << "the source is only read";

    fs::rename(Path("data.bin"), Path("original.bin"));
    result = Crypt("decrypt", cipher, "correct horse\n", {"data.bin.enc"});
    ASSERT_EQ(result.status, kDone) << result.err;
    EXPECT_EQ(Read("data.bin"), plain);
}

INSTANTIATE_TEST_SUITE_P(BothCiphers, RoundTripTest,
                         ::testing::Combine(::testing::Values("3des", "IDEA"),
                                            ::testing::Values(0u, 9u, (1u << 20) + 3)));

TEST_F(CliTest, CipherSpellingsAndTheOtherCipher) {
    const std::string plain = RandomBytes(1000, 1);
    Write("doc", plain);
    ASSERT_EQ(Crypt("encrypt", "3-DES", "pw", {"doc"}).status, kDone);
    fs::rename(Path("doc"), Path("doc.orig"));

    // No check value: the other cipher runs to its end, reports success and yields other bytes.
    ASSERT_EQ(Crypt("decrypt", "idea", "pw", {"doc.enc"}).status, kDone);
    EXPECT_EQ(Read("doc").size(), plain.size());
    EXPECT_NE(Read("doc"), plain);
    fs::remove(Path("doc"));

    ASSERT_EQ(Crypt("decrypt", "3des", "pw", {"doc.enc"}).status, kDone);
    EXPECT_EQ(Read("doc"), plain);
}

// --- Passphrase sources -----------------------------------------------------------------------

class PassphraseFileTest : public CliTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(PassphraseFileTest, OnlyTheFirstLineWithoutItsEndIsThePassphrase) {
    const std::string plain = RandomBytes(333, 2);
    Write("f", plain);
    ASSERT_EQ(Crypt("encrypt", "idea", GetParam(), {"f"}).status, kDone);
    fs::rename(Path("f"), Path("f.orig"));
    const ChildResult result = Crypt("decrypt", "idea", "open sesame", {"f.enc"});
    ASSERT_EQ(result.status, kDone) << result.err;
    EXPECT_EQ(Read("f"), plain);
}

INSTANTIATE_TEST_SUITE_P(LineEnds, PassphraseFileTest,
                         ::testing::Values("open sesame\n", "open sesame\r\n", "open sesame\nsecond line\n",
                                           "open sesame\r\nsecond\r\n"));

TEST_F(CliTest, PassphraseFromAnOpenDescriptor) {
    const std::string plain = RandomBytes(5000, 3);
    Write("g", plain);
    ChildOptions options{{"encrypt", "--cipher", "3des", "--passphrase-fd", "3", "g"},
                         std::string("through a pipe\nnot this\n"), std::nullopt, dir_.string()};
    const ChildResult encrypted = RunCli(options);
    ASSERT_EQ(encrypted.status, kDone) << encrypted.err;
    fs::rename(Path("g"), Path("g.orig"));
    const ChildResult decrypted = Crypt("decrypt", "3des", "through a pipe\n", {"g.enc"});
    ASSERT_EQ(decrypted.status, kDone) << decrypted.err;
    EXPECT_EQ(Read("g"), plain);
}

TEST_F(CliTest, LongPassphraseIsCutTo55BytesWithANotice) {
    const std::string longText(60, 'k');
    const std::string plain = RandomBytes(100, 4);
    Write("h", plain);
    const ChildResult encrypted = Crypt("encrypt", "idea", longText + "\n", {"h"});
    ASSERT_EQ(encrypted.status, kDone) << encrypted.err;
    EXPECT_NE(encrypted.err.find("55"), std::string::npos) << encrypted.err;
    EXPECT_EQ(std::count(encrypted.err.begin(), encrypted.err.end(), '\n'), 1) << encrypted.err;
    fs::rename(Path("h"), Path("h.orig"));

    // 54 bytes make other keys; the first 55 make the same ones, without a notice.
    ASSERT_EQ(Crypt("decrypt", "idea", longText.substr(0, 54), {"h.enc"}).status, kDone);
    EXPECT_NE(Read("h"), plain);
    fs::remove(Path("h"));
    const ChildResult decrypted = Crypt("decrypt", "idea", longText.substr(0, 55), {"h.enc"});
    ASSERT_EQ(decrypted.status, kDone);
    EXPECT_TRUE(decrypted.err.empty()) << decrypted.err;
    EXPECT_EQ(Read("h"), plain);
}

TEST_F(CliTest, EmptyPassphraseIsRefused) {
    Write("e", "x");
    const ChildResult result = Crypt("encrypt", "idea", "\nsecond line\n", {"e"});
    EXPECT_EQ(result.status, kRefused);
    EXPECT_EQ(result.err, "morvex-cli: e: You must type a passphrase first\n");
    EXPECT_FALSE(Exists("e.enc"));
}

// --- Several files, refusals and failures -----------------------------------------------------

TEST_F(CliTest, RefusedFilesDoNotStopTheOthersAndTheStatusIsTheWorst) {
    Write("a", "alpha");
    Write("b", "bravo");
    Write("b.enc", "already here");
    Write("c", "charlie");
    const ChildResult result = Crypt("encrypt", "3des", "pw", {"a", "missing", "b", "c"});
    EXPECT_EQ(result.status, kRefused);
    EXPECT_EQ(result.err,
              "morvex-cli: missing: Unable to open the selected file\n"
              "morvex-cli: b: Unable to create the output file\n");
    EXPECT_TRUE(Exists("a.enc"));
    EXPECT_TRUE(Exists("c.enc"));
    EXPECT_EQ(Read("b.enc"), "already here");

    const ChildResult decrypt = Crypt("decrypt", "3des", "pw", {"a.enc", "c", "C.ENC"});
    EXPECT_EQ(decrypt.status, kRefused);
    EXPECT_NE(decrypt.err.find("morvex-cli: c: The file you selected is not an morvex encrypted file\n"),
              std::string::npos)
        << decrypt.err;
    EXPECT_EQ(Read("a"), "alpha") << "decrypting a.enc must not touch the existing a";
}

TEST_F(CliTest, SourceOfFourGibibytesIsRefusedWithoutLeavingAnEmptyOutput) {
    MakeLarge("huge", std::uintmax_t{1} << 32);
    const ChildResult result = Crypt("encrypt", "idea", "pw", {"huge"});
    EXPECT_EQ(result.status, kRefused);
    EXPECT_EQ(result.err, "morvex-cli: huge: Cannot determine file size\n");
    EXPECT_FALSE(Exists("huge.enc"));
}

TEST_F(CliTest, WriteFailureExitsWithThreeAndLeavesNoOutput) {
    Write("small", RandomBytes(1000, 5));
    Write("big", RandomBytes(1 << 20, 6));
    Write("pass.txt", "pw\n");
    ChildOptions options{{"encrypt", "--cipher", "idea", "--passphrase-file", "pass.txt", "small", "big", "gone"},
                         std::nullopt, 64 * 1024, dir_.string()};
    const ChildResult result = RunCli(options);
    EXPECT_EQ(result.status, kFailed) << result.err;
    EXPECT_EQ(result.err,
              "morvex-cli: big: File read/write error\n"
              "morvex-cli: gone: Unable to open the selected file\n");
    EXPECT_TRUE(Exists("small.enc"));
    EXPECT_FALSE(Exists("big.enc"));
}

TEST_F(CliTest, ClosedStderrDoesNotStopTheRemainingFiles) {
    Write("kept", RandomBytes(4096, 9));
    Write("pass.txt", "pw\n");
    ChildOptions options{{"encrypt", "--cipher", "idea", "--passphrase-file", "pass.txt", "missing", "kept"},
                         std::nullopt, std::nullopt, dir_.string()};
    options.stderrReaderGone = true;
    const ChildResult result = RunCli(options);
    EXPECT_EQ(result.status, kRefused);
    EXPECT_TRUE(Exists("kept.enc"));
}

// --- Signals ----------------------------------------------------------------------------------

class CancelSignalTest : public CliTest, public ::testing::WithParamInterface<int> {};

TEST_P(CancelSignalTest, StopsTheJobDeletesItsOutputAndStartsNoOtherFile) {
    MakeLarge("large", 1u << 30);
    Write("next", "waiting");
    Write("pass.txt", "pw\n");
    CliChild child(ChildOptions{{"encrypt", "--cipher", "3des", "--passphrase-file", "pass.txt", "large", "next"},
                                std::nullopt, std::nullopt, dir_.string()});
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    std::error_code error;
    while ((!Exists("large.enc") || fs::file_size(Path("large.enc"), error) < 4096) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_TRUE(Exists("large.enc")) << "the job never started";
    child.Signal(GetParam());
    const ChildResult result = child.Wait();
    EXPECT_EQ(result.status, kCanceled);
    EXPECT_EQ(result.err, "morvex-cli: large: Canceled\n");
    EXPECT_FALSE(Exists("large.enc"));
    EXPECT_FALSE(Exists("next.enc"));
}

// A hang-up (the terminal closed) cancels too, rather than killing the tool over a partial output.
INSTANTIATE_TEST_SUITE_P(IntTermHup, CancelSignalTest, ::testing::Values(SIGINT, SIGTERM, SIGHUP));

// --- The terminal -----------------------------------------------------------------------------

TEST_F(CliTest, TerminalAsksTwiceWithoutEchoAndShowsProgress) {
    const std::string plain = RandomBytes(3 << 20, 8);
    Write("t", plain);
    PtyChild encrypt(ChildOptions{{"encrypt", "--cipher", "idea", "t"}, std::nullopt, std::nullopt, dir_.string()});
    ASSERT_TRUE(encrypt.ReadUntil("Passphrase: ", 10s)) << encrypt.Shown();
    encrypt.Type("typed secret\n");
    ASSERT_TRUE(encrypt.ReadUntil("Retype passphrase: ", 10s)) << encrypt.Shown();
    encrypt.Type("typed secret\n");
    const ChildResult encrypted = encrypt.Wait();
    ASSERT_EQ(encrypted.status, kDone) << encrypted.out;
    EXPECT_EQ(encrypted.out.find("typed secret"), std::string::npos) << "echoed: " << encrypted.out;
    EXPECT_NE(encrypted.out.find("%"), std::string::npos) << "no progress: " << encrypted.out;

    fs::rename(Path("t"), Path("t.orig"));
    PtyChild decrypt(ChildOptions{{"decrypt", "--cipher", "idea", "--quiet", "t.enc"}, std::nullopt, std::nullopt,
                                  dir_.string()});
    ASSERT_TRUE(decrypt.ReadUntil("Passphrase: ", 10s)) << decrypt.Shown();
    decrypt.Type("typed secret\n");
    const ChildResult decrypted = decrypt.Wait();
    ASSERT_EQ(decrypted.status, kDone) << decrypted.out;
    EXPECT_EQ(decrypted.out.find("Retype"), std::string::npos) << "decrypt asks once";
    EXPECT_EQ(decrypted.out.find('%'), std::string::npos) << "--quiet shows no progress: " << decrypted.out;
    EXPECT_EQ(Read("t"), plain);
}

TEST_F(CliTest, TerminalMismatchIsRefused) {
    Write("m", "mismatch");
    PtyChild child(ChildOptions{{"encrypt", "--cipher", "3des", "m"}, std::nullopt, std::nullopt, dir_.string()});
    ASSERT_TRUE(child.ReadUntil("Passphrase: ", 10s));
    child.Type("Secret\n");
    ASSERT_TRUE(child.ReadUntil("Retype passphrase: ", 10s));
    child.Type("secret\n");
    const ChildResult result = child.Wait();
    EXPECT_EQ(result.status, kRefused);
    EXPECT_NE(result.out.find("morvex-cli: m: The passphrases you typed do not match"), std::string::npos)
        << result.out;
    EXPECT_FALSE(Exists("m.enc"));
}

TEST_F(CliTest, InterruptAtThePromptRestoresEcho) {
    Write("p", "prompt");
    PtyChild child(ChildOptions{{"encrypt", "--cipher", "3des", "p"}, std::nullopt, std::nullopt, dir_.string()});
    ASSERT_TRUE(child.ReadUntil("Passphrase: ", 10s));
    EXPECT_FALSE(child.EchoOn());
    child.Signal(SIGINT);
    const ChildResult result = child.Wait();
    EXPECT_EQ(result.status, kCanceled);
    EXPECT_TRUE(child.EchoOn());
    EXPECT_FALSE(Exists("p.enc"));
}

}  // namespace
}  // namespace morvex::test
