#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
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
        static int counter = 0;
        dir_ = fs::temp_directory_path() /
               ("morvex-cli-" + std::to_string(std::random_device{}()) + "-" + std::to_string(counter++));
        ASSERT_TRUE(fs::create_directory(dir_)) << dir_;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    [[nodiscard]] std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    [[nodiscard]] bool Exists(const std::string& name) const { return fs::exists(Path(name)); }

    void Write(const std::string& name, const std::string& bytes) const {
        std::ofstream file(Path(name), std::ios::binary);
        file << bytes;
        ASSERT_TRUE(file.good());
    }

    [[nodiscard]] std::string Read(const std::string& name) const {
        std::ifstream file(Path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }

    // The source moves aside, so that decrypting must recreate it.
    void SetAside(const std::string& name) const { fs::rename(Path(name), Path(name + ".orig")); }

    [[nodiscard]] ChildOptions Options(std::vector<std::string> args, bool terminal = false) const {
        return {std::move(args), dir_.string(), terminal, std::nullopt, std::nullopt, false};
    }

    // Runs with the passphrase in pass.txt, written fresh with the given text.
    [[nodiscard]] ChildResult Crypt(const std::string& command, const std::string& cipher,
                                    const std::string& passphraseFileText,
                                    const std::vector<std::string>& files, ChildOptions options = {}) const {
        Write("pass.txt", passphraseFileText);
        options.args = {command, "--cipher", cipher, "--passphrase-file", "pass.txt"};
        options.args.insert(options.args.end(), files.begin(), files.end());
        options.workingDirectory = dir_.string();
        return CliChild(options).Wait();
    }

    fs::path dir_;
};

// --- Arguments --------------------------------------------------------------------------------

TEST(CipherNameTest, AcceptsTheDocumentedSpellingsInAnyCase) {
    for (const char* name : {"3des", "3DES", "3-des", "3-DeS"}) {
        EXPECT_EQ(ParseCipherName(name), AlgorithmId::TripleDes) << name;
    }
    EXPECT_EQ(ParseCipherName("idea"), AlgorithmId::Idea);
    EXPECT_EQ(ParseCipherName("IDEA"), AlgorithmId::Idea);
    for (const char* name : {"des", "3des ", "", "idea2", "3--des", "tripledes"}) {
        EXPECT_EQ(ParseCipherName(name), std::nullopt) << "'" << name << "'";
    }
}

class UsageErrorTest : public CliTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(UsageErrorTest, ExitsWithOneAndCreatesNothing) {
    Write("plain", "some text");
    Write("pass.txt", "secret\n");
    std::istringstream words(GetParam());
    const ChildResult result = CliChild(Options({std::istream_iterator<std::string>(words), {}})).Wait();
    EXPECT_EQ(result.status, kUsage) << result.err;
    EXPECT_EQ(result.err.rfind("morvex-cli: ", 0), 0u) << result.err;
    EXPECT_TRUE(result.out.empty());
    EXPECT_FALSE(Exists("plain.enc"));
}

// The last three: the passphrase could not be read from a terminal that is not there, a missing
// file or a closed descriptor.
INSTANTIATE_TEST_SUITE_P(
    Arguments, UsageErrorTest,
    ::testing::Values("", "scramble --cipher idea plain", "encrypt --passphrase-file pass.txt plain",
                      "encrypt --cipher des --passphrase-file pass.txt plain",
                      "encrypt --cipher idea --passphrase-file pass.txt",
                      "encrypt --cipher idea --passphrase secret plain",
                      "encrypt --cipher idea --passphrase-file pass.txt --passphrase-fd 0 plain",
                      "encrypt --cipher idea --passphrase-fd x plain", "encrypt --cipher",
                      "encrypt --cipher idea --bogus plain", "encrypt --cipher idea plain",
                      "encrypt --cipher idea --passphrase-file none plain",
                      "encrypt --cipher idea --passphrase-fd 9 plain"));

TEST_F(CliTest, HelpDocumentsExitStatusesAndTheUncheckedPassphrase) {
    const ChildResult result = CliChild(Options({"--help"})).Wait();
    EXPECT_EQ(result.status, kDone);
    for (const char* text : {"130", "wrong passphrase", "--passphrase-fd", "--quiet", "3-des"}) {
        EXPECT_NE(result.out.find(text), std::string::npos) << text;
    }
}

// --- Round trips and passphrase sources -------------------------------------------------------

struct RoundTrip {
    const char* cipher;
    std::size_t size;
    const char* passphraseText;  // only its first line without the line end is the passphrase
    bool throughDescriptor;      // from a pipe on descriptor 3, else from a file
};

class RoundTripTest : public CliTest, public ::testing::WithParamInterface<RoundTrip> {};

TEST_P(RoundTripTest, DecryptingGivesBackTheSource) {
    const RoundTrip& row = GetParam();
    const std::string plain = RandomBytes(row.size, static_cast<std::uint32_t>(row.size) + 7);
    Write("data.bin", plain);
    ChildOptions options = Options({"encrypt", "--cipher", row.cipher, "--passphrase-fd", "3", "data.bin"});
    options.descriptor3 = row.passphraseText;
    ChildResult result = row.throughDescriptor
                             ? CliChild(options).Wait()
                             : Crypt("encrypt", row.cipher, row.passphraseText, {"data.bin"});
    ASSERT_EQ(result.status, kDone) << result.err;
    EXPECT_TRUE(result.err.empty()) << "nothing on a stderr that is no terminal: " << result.err;
    ASSERT_EQ(Read("data.bin.enc").size(), 12 + 8 * (row.size == 0 ? 1 : (row.size + 7) / 8));
    EXPECT_EQ(Read("data.bin"), plain) << "the source is only read";
    SetAside("data.bin");
    // The other cipher is told by the fill of the last block and refused before anything is written;
    // where the source fills its last block, nothing tells it, and it yields other bytes.
    const std::string other = std::string(row.cipher) == "IDEA" ? "3des" : "idea";
    const ChildResult wrong = Crypt("decrypt", other, "open sesame", {"data.bin.enc"});
    if (row.size != 0 && row.size % 8 == 0) {
        ASSERT_EQ(wrong.status, kDone) << wrong.err;
        EXPECT_EQ(Read("data.bin").size(), row.size);
        EXPECT_NE(Read("data.bin"), plain);
        fs::remove(Path("data.bin"));
    } else {
        EXPECT_EQ(wrong.status, 4);
        EXPECT_NE(wrong.err.find("This file was encrypted with " + std::string(row.cipher)), std::string::npos)
            << wrong.err;
        EXPECT_FALSE(Exists("data.bin"));
    }
    result = Crypt("decrypt", row.cipher, "open sesame", {"data.bin.enc"});
    ASSERT_EQ(result.status, kDone) << result.err;
    EXPECT_EQ(Read("data.bin"), plain);
}

// Each line end through either source, both ciphers at every size.
INSTANTIATE_TEST_SUITE_P(BothCiphersEverySource, RoundTripTest,
                         ::testing::Values(RoundTrip{"3-DES", 0, "open sesame\n", false},
                                           RoundTrip{"IDEA", 0, "open sesame\r\n", true},
                                           RoundTrip{"3-DES", 9, "open sesame\nsecond line\n", true},
                                           RoundTrip{"IDEA", 9, "open sesame\r\nsecond\r\n", false},
                                           RoundTrip{"3-DES", 5000, "open sesame\r\nsecond\r\n", true},
                                           RoundTrip{"IDEA", 5000, "open sesame\nsecond line\n", false},
                                           RoundTrip{"3-DES", (1u << 20) + 3, "open sesame\r\n", false},
                                           RoundTrip{"IDEA", (1u << 20) + 3, "open sesame\n", true}));

TEST_F(CliTest, EmptyPassphraseIsRefusedAndALongOneCutTo55BytesWithANotice) {
    const std::string longText(60, 'k');
    const std::string plain = RandomBytes(100, 4);
    Write("h", plain);
    const ChildResult empty = Crypt("encrypt", "idea", "\nsecond line\n", {"h"});
    EXPECT_EQ(empty.status, kRefused);
    EXPECT_EQ(empty.err, "morvex-cli: h: You must type a passphrase first\n");
    EXPECT_FALSE(Exists("h.enc"));
    const ChildResult encrypted = Crypt("encrypt", "idea", longText + "\n", {"h"});
    ASSERT_EQ(encrypted.status, kDone) << encrypted.err;
    EXPECT_NE(encrypted.err.find("55"), std::string::npos) << encrypted.err;
    EXPECT_EQ(std::count(encrypted.err.begin(), encrypted.err.end(), '\n'), 1) << encrypted.err;
    SetAside("h");
    // 54 bytes make other keys, which the check refuses; the first 55 make the same ones, without a
    // notice.
    EXPECT_EQ(Crypt("decrypt", "idea", longText.substr(0, 54), {"h.enc"}).status, 4);
    EXPECT_FALSE(Exists("h"));
    const ChildResult decrypted = Crypt("decrypt", "idea", longText.substr(0, 55), {"h.enc"});
    ASSERT_EQ(decrypted.status, kDone);
    EXPECT_TRUE(decrypted.err.empty()) << decrypted.err;
    EXPECT_EQ(Read("h"), plain);
}

// --- Several files, refusals and failures -----------------------------------------------------

// The system's own words for a name that names nothing: its error code's text differs from the
// portable one on Windows.
std::string NoSuchFileText() {
#ifdef _WIN32
    constexpr int kFileNotFound = 2;  // ERROR_FILE_NOT_FOUND
    return std::error_code(kFileNotFound, std::system_category()).message();
#else
    return std::make_error_code(std::errc::no_such_file_or_directory).message();
#endif
}

TEST_F(CliTest, RefusedFilesDoNotStopTheOthersAndTheStatusIsTheWorst) {
    Write("a", "alpha");
    Write("b", "bravo");
    Write("b.enc", "already here");
    Write("c", "charlie");
    Write("huge", "");
    fs::resize_file(Path("huge"), std::uintmax_t{1} << 32);  // sparse: costs no disk space
    const ChildResult result = Crypt("encrypt", "3des", "pw", {"a", "missing", "b", "huge", "c"});
    EXPECT_EQ(result.status, kRefused);
    EXPECT_EQ(result.err,
              "morvex-cli: missing: Unable to open the selected file (" + NoSuchFileText() + ")\n"
              "morvex-cli: b: Unable to create the output file (b.enc exists)\n"
              "morvex-cli: huge: Cannot determine file size (File too large)\n");
    EXPECT_FALSE(Exists("huge.enc")) << "no empty output left behind";
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

TEST_F(CliTest, WriteFailureExitsWithThreeLeavesNoOutputAndStopsNoOtherFile) {
    Write("small", RandomBytes(1000, 5));
    Write("big", RandomBytes(1 << 20, 6));
#ifndef _WIN32  // Windows has no limit on a process's file sizes; the engine's tests inject write faults
    ChildOptions limited;
    limited.fileSizeLimit = 64 * 1024;
    const ChildResult result = Crypt("encrypt", "idea", "pw\n", {"small", "big", "gone"}, limited);
    EXPECT_EQ(result.status, kFailed) << result.err;
    EXPECT_EQ(result.err,
              "morvex-cli: big: File read/write error (File too large)\n"
              "morvex-cli: gone: Unable to open the selected file (No such file or directory)\n");
    EXPECT_TRUE(Exists("small.enc"));
    EXPECT_FALSE(Exists("big.enc"));
#endif

    // Nor does a stderr nobody reads any more stop the remaining files.
    ChildOptions closed;
    closed.stderrReaderGone = true;
    EXPECT_EQ(Crypt("encrypt", "idea", "pw\n", {"missing", "big"}, closed).status, kRefused);
    EXPECT_TRUE(Exists("big.enc"));
}

// --- Signals and the terminal: POSIX only -----------------------------------------------------
// A child without a console receives no console events, and Wine has no console to type into.

#ifndef _WIN32

// --- Signals ----------------------------------------------------------------------------------

class CancelSignalTest : public CliTest, public ::testing::WithParamInterface<int> {};

TEST_P(CancelSignalTest, StopsTheJobDeletesItsOutputAndStartsNoOtherFile) {
    Write("large", "");
    fs::resize_file(Path("large"), 1u << 30);  // sparse, and seconds to encrypt
    Write("next", "waiting");
    Write("pass.txt", "pw\n");
    CliChild child(
        Options({"encrypt", "--cipher", "3des", "--passphrase-file", "pass.txt", "large", "next"}));
    // The output has no name until the job is done, so the job's own writes tell that it runs.
    ASSERT_TRUE(child.WaitForWrites(1u << 20, 20s)) << "the job never started";
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
    CliChild encrypt(Options({"encrypt", "--cipher", "idea", "t"}, true));
    ASSERT_TRUE(encrypt.Answer("Passphrase: ", "typed secret\n")) << encrypt.Shown();
    ASSERT_TRUE(encrypt.Answer("Retype passphrase: ", "typed secret\n")) << encrypt.Shown();
    const ChildResult encrypted = encrypt.Wait();
    ASSERT_EQ(encrypted.status, kDone) << encrypted.out;
    EXPECT_EQ(encrypted.out.find("typed secret"), std::string::npos) << "echoed: " << encrypted.out;
    EXPECT_NE(encrypted.out.find('%'), std::string::npos) << "no progress: " << encrypted.out;

    SetAside("t");
    CliChild decrypt(Options({"decrypt", "--cipher", "idea", "--quiet", "t.enc"}, true));
    ASSERT_TRUE(decrypt.Answer("Passphrase: ", "typed secret\n")) << decrypt.Shown();
    const ChildResult decrypted = decrypt.Wait();
    ASSERT_EQ(decrypted.status, kDone) << decrypted.out;
    EXPECT_EQ(decrypted.out.find("Retype"), std::string::npos) << "decrypt asks once";
    EXPECT_EQ(decrypted.out.find('%'), std::string::npos) << "--quiet shows no progress: " << decrypted.out;
    EXPECT_EQ(Read("t"), plain);
}

// A mismatch is refused; an interrupt at the prompt cancels and gives the echo back.
TEST_F(CliTest, TerminalMismatchOrInterruptCreatesNothing) {
    Write("m", "mismatch");
    CliChild mismatch(Options({"encrypt", "--cipher", "3des", "m"}, true));
    ASSERT_TRUE(mismatch.Answer("Passphrase: ", "Secret\n")) << mismatch.Shown();
    ASSERT_TRUE(mismatch.Answer("Retype passphrase: ", "secret\n")) << mismatch.Shown();
    const ChildResult refused = mismatch.Wait();
    EXPECT_EQ(refused.status, kRefused);
    EXPECT_NE(refused.out.find("morvex-cli: m: The passphrases you typed do not match"), std::string::npos)
        << refused.out;

    CliChild interrupted(Options({"encrypt", "--cipher", "3des", "m"}, true));
    ASSERT_TRUE(interrupted.Answer("Passphrase: ", "")) << interrupted.Shown();
    EXPECT_FALSE(interrupted.EchoOn());
    interrupted.Signal(SIGINT);
    EXPECT_EQ(interrupted.Wait().status, kCanceled);
    EXPECT_TRUE(interrupted.EchoOn());
    EXPECT_FALSE(Exists("m.enc"));
}

#endif

}  // namespace
}  // namespace morvex::test
