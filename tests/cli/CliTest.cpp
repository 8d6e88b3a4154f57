#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
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
#include "CliFolder.h"
#include "cli/CommandLine.h"
#include "cli/ProgressLine.h"

namespace morvex::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kDone = 0;
constexpr int kUsage = 1;
constexpr int kRefused = 2;
constexpr int kFailed = 3;
constexpr int kCanceled = 130;

class CliTest : public CliFolderTest {
  protected:
    // The source moves aside, so that decrypting must recreate it.
    void SetAside(const std::string& name) const { fs::rename(Path(name), Path(name + ".orig")); }

    [[nodiscard]] ChildOptions Options(std::vector<std::string> args, bool terminal = false) const {
        ChildOptions options;
        options.args = std::move(args);
        options.workingDirectory = dir_.string();
        options.terminal = terminal;
        return options;
    }

    // Runs with the passphrase in pass.txt, written fresh with the given text; the options' own
    // arguments come before the files.
    [[nodiscard]] ChildResult Crypt(const std::string& command, const std::string& cipher,
                                    const std::string& passphraseFileText,
                                    const std::vector<std::string>& files, ChildOptions options = {}) const {
        Write("pass.txt", passphraseFileText);
        const std::vector<std::string> extra = options.args;
        options.args = {command, "--cipher", cipher, "--passphrase-file", "pass.txt"};
        options.args.insert(options.args.end(), extra.begin(), extra.end());
        options.args.insert(options.args.end(), files.begin(), files.end());
        options.workingDirectory = dir_.string();
        return CliChild(options).Wait();
    }
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
                      "encrypt --cipher idea --passphrase-fd 9 plain",
                      "encrypt --cipher idea --jobs 0 --passphrase-file pass.txt plain",
                      "encrypt --cipher idea --jobs=65 --passphrase-file pass.txt plain",
                      "encrypt --cipher idea -j two --passphrase-file pass.txt plain"));

TEST_F(CliTest, HelpDocumentsExitStatusesAndTheUncheckedPassphrase) {
    const ChildResult result = CliChild(Options({"--help"})).Wait();
    EXPECT_EQ(result.status, kDone);
    for (const char* text : {"130", "wrong passphrase", "--passphrase-fd", "--quiet", "3-des", "--jobs", "-V"}) {
        EXPECT_NE(result.out.find(text), std::string::npos) << text;
    }
    const ChildResult version = CliChild(Options({"-V"})).Wait();
    EXPECT_EQ(version.status, kDone);
    EXPECT_EQ(version.out.rfind("morvex-cli ", 0), 0u) << version.out;
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

TEST_F(CliTest, EmptyPassphraseIsRefusedOnceAndALongOneCutTo55BytesWithANotice) {
    const std::string longText(60, 'k');
    const std::string plain = RandomBytes(100, 4);
    Write("h", plain);
    Write("i", plain);
    const ChildResult empty = Crypt("encrypt", "idea", "\nsecond line\n", {"h", "i"});
    EXPECT_EQ(empty.status, kRefused);
    EXPECT_EQ(empty.err, "morvex-cli: You must type a passphrase first\n");
    EXPECT_FALSE(Exists("h.enc"));
    EXPECT_FALSE(Exists("i.enc"));
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

// --- What decryption tells before it writes ------------------------------------------------

// Runs the tool with the passphrase from a file and the arguments as given, in the test's folder.
#define MORVEX_RUN(passText, ...) [&] {                                   \
    Write("pass.txt", passText);                                          \
    ChildOptions run = Options({__VA_ARGS__});                            \
    return CliChild(run).Wait();                                          \
}()

TEST_F(CliTest, DecryptionTellsTheCipherAWrongPassphraseAndACutShortFile) {
    const std::string plain = RandomBytes(1001, 8);
    Write("m", plain);
    ASSERT_EQ(Crypt("encrypt", "idea", "M\xC3\xBCller\n", {"m"}).status, kDone);  // "Müller" typed as UTF-8
    SetAside("m");

    // Without --cipher the cipher is the one that verifies.
    ChildResult found = MORVEX_RUN("M\xC3\xBCller\n", "decrypt", "--passphrase-file", "pass.txt", "m.enc");
    ASSERT_EQ(found.status, kDone) << found.err;
    EXPECT_EQ(Read("m"), plain);
    fs::remove(Path("m"));

    // The text goes in Windows-1252 where it fits: the same name given as its UTF-8 bytes makes
    // another key, which the check tries as the text's UTF-8 form, and says so.
    Write("n", plain);
    ChildResult asBytes = MORVEX_RUN("M\xC3\xBCller\n", "encrypt", "-c", "3des", "--passphrase-bytes",
                                     "--passphrase-file", "pass.txt", "n");
    ASSERT_EQ(asBytes.status, kDone) << asBytes.err;
    fs::remove(Path("n"));
    ChildResult recoded = MORVEX_RUN("M\xC3\xBCller\n", "decrypt", "-c", "3des", "--passphrase-file", "pass.txt", "n.enc");
    EXPECT_EQ(recoded.status, kDone) << recoded.err;
    EXPECT_NE(recoded.err.find("UTF-8 form"), std::string::npos) << recoded.err;
    EXPECT_EQ(Read("n"), plain);

    // A wrong passphrase, with or without --cipher: 4, nothing written; --no-verify decrypts as
    // always, into unrelated bytes of the source's length.
    for (const std::vector<std::string>& cipher : {std::vector<std::string>{}, {"-c", "idea"}}) {
        std::vector<std::string> args{"decrypt", "--passphrase-file", "pass.txt"};
        args.insert(args.end(), cipher.begin(), cipher.end());
        args.push_back("m.enc");
        Write("pass.txt", "Mueller\n");
        ChildResult wrong = CliChild(Options(args)).Wait();
        EXPECT_EQ(wrong.status, 4) << wrong.err;
        EXPECT_FALSE(Exists("m"));
    }
    ChildResult unchecked = MORVEX_RUN("Mueller\n", "decrypt", "-c", "idea", "--no-verify", "--passphrase-file",
                                       "pass.txt", "m.enc");
    EXPECT_EQ(unchecked.status, kDone);
    EXPECT_EQ(Read("m").size(), plain.size());
    EXPECT_NE(Read("m"), plain);
    fs::remove(Path("m"));

    // Cut short: 5, nothing written. inspect says so without a passphrase, and with one the verdicts.
    Write("c.enc", Read("m.enc").substr(0, 1000));
    ChildResult cut = MORVEX_RUN("M\xC3\xBCller\n", "decrypt", "-c", "idea", "--passphrase-file", "pass.txt", "c.enc");
    EXPECT_EQ(cut.status, 5);
    EXPECT_FALSE(Exists("c"));
    ChildResult facts = CliChild(Options({"inspect", "c.enc", "m.enc"})).Wait();
    EXPECT_EQ(facts.status, kDone) << facts.err;
    EXPECT_NE(facts.out.find("c.enc: 1000 bytes, source length 1001, 126 blocks, cut short: 20 bytes missing"),
              std::string::npos)
        << facts.out;
    EXPECT_NE(facts.out.find("fill bytes that can vouch: 7"), std::string::npos) << facts.out;
    ChildResult verdicts = MORVEX_RUN("M\xC3\xBCller\n", "inspect", "--passphrase-file", "pass.txt", "m.enc");
    EXPECT_NE(verdicts.out.find("3-DES: wrong\n  IDEA: right (56 bits of evidence)"), std::string::npos)
        << verdicts.out;
}

#undef MORVEX_RUN

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

// The file-size limit comes with SIGXFSZ at its default action, which would end the tool with the
// partial output on disk; the tool takes the failed write instead.
TEST_F(CliTest, WriteFailureExitsWithThreeLeavesNoOutputAndStopsNoOtherFile) {
    Write("small", RandomBytes(1000, 5));
    Write("big", RandomBytes(1 << 20, 6));
#ifndef _WIN32  // Windows has no limit on a process's file sizes; the engine's tests inject write faults
    ChildOptions limited;
    limited.fileSizeLimit = 64 * 1024;
    const ChildResult result = Crypt("encrypt", "idea", "pw\n", {"small", "big", "gone"}, limited);
    EXPECT_EQ(result.status, kFailed) << result.err;
    EXPECT_EQ(result.err,
              "morvex-cli: gone: Unable to open the selected file (No such file or directory)\n"
              "morvex-cli: big: File read/write error (File too large)\n");
    EXPECT_TRUE(Exists("small.enc"));
    EXPECT_FALSE(Exists("big.enc"));
#endif

    // Nor does a stderr nobody reads any more stop the remaining files.
    ChildOptions closed;
    closed.stderrReaderGone = true;
    EXPECT_EQ(Crypt("encrypt", "idea", "pw\n", {"missing", "big"}, closed).status, kRefused);
    EXPECT_TRUE(Exists("big.enc"));
}

// --- Signals, the terminal, and refusals before the prompt: POSIX only -------------------------
// A child without a console receives no console events, and Wine has no console to type into.

#ifndef _WIN32

// --- Refusals before the passphrase ---------------------------------------------------------

// A request that would be refused is said before the prompt, and creates nothing; the request
// itself still has the last word when a file changes while the user types.
TEST_F(CliTest, RefusalsComeBeforeThePromptAndCreateNothing) {
    Write("b", "bravo");
    Write("b.enc", "already here");
    fs::create_directory(Path("d"));
    Write("huge", "");
    fs::resize_file(Path("huge"), std::uintmax_t{1} << 32);
    CliChild refused(Options({"encrypt", "--cipher", "3des", "missing", "d", "b", "huge"}, true));
    const ChildResult all = refused.Wait();
    EXPECT_EQ(all.status, kRefused);
    EXPECT_EQ(all.out.find("assphrase"), std::string::npos) << "no prompt when no file can run: " << all.out;
    for (const char* line : {"morvex-cli: missing: Unable to open the selected file (No such file or directory)",
                             "morvex-cli: d: Unable to open the selected file (Is a directory)",
                             "morvex-cli: b: Unable to create the output file (b.enc exists)",
                             "morvex-cli: huge: Cannot determine file size (File too large)"}) {
        EXPECT_NE(all.out.find(line), std::string::npos) << line << " in " << all.out;
    }
    EXPECT_FALSE(Exists("d.enc"));
    EXPECT_FALSE(Exists("huge.enc"));
    EXPECT_EQ(Read("b.enc"), "already here");

    ASSERT_EQ(Crypt("encrypt", "3des", "pw\n", {"late", "fine"}).status, kRefused);  // late does not exist yet
    Write("late", "late");
    Write("fine", "fine");
    ASSERT_EQ(Crypt("encrypt", "3des", "pw\n", {"late", "fine"}).status, kDone);
    SetAside("late");
    SetAside("fine");
    Write(".enc", "no name left");
    CliChild decrypt(Options({"decrypt", "--cipher", "3des", "plain", ".enc", "late.enc", "fine.enc"}, true));
    ASSERT_TRUE(decrypt.Answer("Passphrase: ", "")) << decrypt.Shown();
    const std::string beforePrompt = decrypt.Shown();
    for (const char* line : {"morvex-cli: plain: The file you selected is not an morvex encrypted file",
                             "morvex-cli: .enc: Unable to create the output file (No such file or directory)"}) {
        EXPECT_NE(beforePrompt.find(line), std::string::npos) << line << " in " << beforePrompt;
    }
    EXPECT_EQ(beforePrompt.find("late"), std::string::npos) << beforePrompt;
    Write("late", "arrived meanwhile");
    ASSERT_TRUE(decrypt.Answer("", "pw\n"));
    const ChildResult some = decrypt.Wait();
    EXPECT_EQ(some.status, kRefused);
    EXPECT_NE(some.out.find("morvex-cli: late.enc: Unable to create the output file (late exists)"),
              std::string::npos)
        << some.out;
    EXPECT_EQ(Read("late"), "arrived meanwhile");
    EXPECT_EQ(Read("fine"), "fine");
}

// The system's reason for a file the user may not read, or a folder that takes no new file.
TEST_F(CliTest, RefusalsForWantOfPermissionSayPermissionDenied) {
    fs::permissions(dir_, fs::perms::all);  // the unprivileged child must reach it
    Write("pass.txt", "pw\n");
    Write("locked", "secret");
    fs::permissions(Path("locked"), fs::perms::none);
    fs::create_directory(Path("ro"));
    Write("ro/f", "f");
    fs::permissions(Path("ro"), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
    fs::create_directory(Path("rw"));
    fs::permissions(Path("rw"), fs::perms::all);
    Write("rw/ok", "ok");
    fs::permissions(Path("rw/ok"), fs::perms::all);
    fs::permissions(Path("pass.txt"), fs::perms::all);
    ChildOptions options = Options({"encrypt", "--cipher", "idea", "--passphrase-file", "pass.txt", "locked",
                                    "ro/f", "rw/ok"});
    options.unprivileged = true;
    const ChildResult result = CliChild(options).Wait();
    EXPECT_EQ(result.status, kRefused);
    EXPECT_EQ(result.err,
              "morvex-cli: locked: Unable to open the selected file (Permission denied)\n"
              "morvex-cli: ro/f: Unable to create the output file (Permission denied)\n");
    EXPECT_TRUE(Exists("rw/ok.enc"));
    EXPECT_FALSE(Exists("locked.enc"));
    fs::permissions(Path("ro"), fs::perms::owner_all);
}

// --- The passphrase on a terminal -------------------------------------------------------------

size_t Count(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) {
        ++count;
    }
    return count;
}

TEST_F(CliTest, TerminalAsksAgainAfterAMismatchAndGivesUpAfterThreeTries) {
    Write("m", "mismatch");
    Write("n", "another");
    CliChild mismatch(Options({"encrypt", "--cipher", "3des", "m", "n"}, true));
    ASSERT_TRUE(mismatch.Answer("Passphrase: ", "Secret\n")) << mismatch.Shown();
    ASSERT_TRUE(mismatch.Answer("Retype passphrase: ", "secret\n")) << mismatch.Shown();
    ASSERT_TRUE(mismatch.Answer("Passphrase: ", "secret\n")) << mismatch.Shown();
    ASSERT_TRUE(mismatch.Answer("Retype passphrase: ", "secret\n")) << mismatch.Shown();
    const ChildResult matched = mismatch.Wait();
    EXPECT_EQ(matched.status, kDone) << matched.out;
    EXPECT_EQ(Count(matched.out, "The passphrases you typed do not match"), 1u) << matched.out;
    EXPECT_TRUE(Exists("m.enc"));
    SetAside("m");
    ASSERT_EQ(Crypt("decrypt", "3des", "secret\n", {"m.enc"}).status, kDone);
    EXPECT_EQ(Read("m"), "mismatch");

    Write("e", "empty");
    CliChild empty(Options({"encrypt", "--cipher", "3des", "e"}, true));
    for (int attempt = 0; attempt < 3; ++attempt) {
        ASSERT_TRUE(empty.Answer("Passphrase: ", "\n")) << empty.Shown();
    }
    const ChildResult refused = empty.Wait();
    EXPECT_EQ(refused.status, kRefused);
    EXPECT_EQ(Count(refused.out, "Passphrase: "), 3u) << refused.out;
    EXPECT_EQ(Count(refused.out, "morvex-cli: You must type a passphrase first"), 3u) << refused.out;
    EXPECT_FALSE(Exists("e.enc"));
}

// Typed at the prompt (the terminal sends the signal) or sent: the tool ends as cancelled with the
// echo given back.
class PromptInterruptTest : public CliTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(PromptInterruptTest, GivesTheEchoBackAndCreatesNothing) {
    Write("m", "mismatch");
    CliChild interrupted(Options({"encrypt", "--cipher", "3des", "m"}, true));
    ASSERT_TRUE(interrupted.Answer("Passphrase: ", "")) << interrupted.Shown();
    EXPECT_FALSE(interrupted.EchoOn());
    if (GetParam() == "SIGTERM") {
        interrupted.Signal(SIGTERM);
    } else {
        ASSERT_TRUE(interrupted.Answer("", GetParam()));
    }
    EXPECT_EQ(interrupted.Wait().status, kCanceled);
    EXPECT_TRUE(interrupted.EchoOn());
    EXPECT_FALSE(Exists("m.enc"));
}

INSTANTIATE_TEST_SUITE_P(CtrlCCtrlBackslashTerm, PromptInterruptTest,
                         ::testing::Values(std::string("\x03"), std::string("\x1c"), std::string("SIGTERM")));

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

// --- The progress line ------------------------------------------------------------------------

TEST(ProgressLineTest, CutsNamesInTheMiddleWithinTheWidthWithoutBreakingCharacters) {
    EXPECT_EQ(ProgressLine::CutMiddle("abcdefghij", 10), "abcdefghij");
    EXPECT_EQ(ProgressLine::CutMiddle("abcdefghij", 7), "ab...ij");
    EXPECT_EQ(ProgressLine::CutMiddle("abcdefghij", 8), "abc...ij");
    EXPECT_EQ(ProgressLine::Printable("a\nb\x1b[2J\xff\xc3\xa9"), "a?b?[2J?\xc3\xa9");
    // Five two-byte letters and five wide ones: cut between characters, the wide ones counted twice.
    const std::string name = "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xe6\x97\xa5\xe6\x97\xa5\xe6\x97\xa5\xe6\x97\xa5"
                             "\xe6\x97\xa5";
    EXPECT_EQ(ProgressLine::Columns(name), 15u);
    EXPECT_EQ(ProgressLine::CutMiddle(name, 9), "\xc3\xa9\xc3\xa9\xc3\xa9...\xe6\x97\xa5");
    const std::string longName(39, 'n');
    for (std::size_t width = 1; width <= 80; ++width) {
        for (const int percent : {0, 42, 100}) {
            const std::string line = ProgressLine::Format(longName, percent, 1 << 30, std::chrono::seconds(3), width);
            EXPECT_LE(ProgressLine::Columns(line), width) << line;
            const std::string done = ProgressLine::FormatDone(longName, longName + ".enc", 1 << 30,
                                                              std::chrono::seconds(3), width);
            EXPECT_LE(ProgressLine::Columns(done), width) << done;
        }
    }
    EXPECT_EQ(ProgressLine::Format("short", 42, 1 << 30, std::chrono::seconds(3), 80), "short   42%  143.4 MiB/s  0:04 left");
}

// What a terminal would show of the part of its output after from: every line, each cut into the
// texts drawn over one another at its start, the line clearing escape removed.
std::vector<std::vector<std::string>> DrawnLines(const std::string& shown, std::size_t from) {
    std::vector<std::vector<std::string>> lines(1);
    std::string text;
    for (std::size_t i = from; i < shown.size(); ++i) {
        if (shown.compare(i, 3, "\x1b[K") == 0) {
            i += 2;
        } else if (shown[i] == '\r' || shown[i] == '\n') {
            if (!text.empty()) {
                lines.back().push_back(text);
            }
            text.clear();
            if (shown[i] == '\n') {
                lines.emplace_back();
            }
        } else {
            text.push_back(shown[i]);
        }
    }
    if (!text.empty()) {
        lines.back().push_back(text);
    }
    return lines;
}

TEST_F(CliTest, ProgressLinesFitTheTerminalAndRedrawInPlace) {
    const std::string first(39, 'f');
    const std::string second = std::string(38, 's') + "2";
    Write(first, RandomBytes(4 << 20, 10));
    Write(second, RandomBytes(16 << 20, 11));
    Write("pass.txt", "pw\n");
    ChildOptions options =
        Options({"encrypt", "--cipher", "3des", "--jobs", "2", "--passphrase-file", "pass.txt", first, second}, true);
    options.columns = 40;
    const ChildResult result = CliChild(options).Wait();
    ASSERT_EQ(result.status, kDone) << result.out;
    const auto lines = DrawnLines(result.out, 0);
    ASSERT_EQ(lines.size(), 3u) << "one line per finished file, none per redraw: " << result.out;
    EXPECT_TRUE(lines[2].empty());
    std::size_t progressDraws = 0;
    for (std::size_t i = 0; i < 2; ++i) {
        ASSERT_FALSE(lines[i].empty());
        for (const std::string& drawn : lines[i]) {
            EXPECT_LE(drawn.size(), 40u) << drawn;
            progressDraws += drawn.find('%') != std::string::npos ? 1u : 0u;
        }
        const std::string& stays = lines[i].back();
        EXPECT_NE(stays.find(" -> "), std::string::npos) << stays;
        EXPECT_NE(stays.find("100%"), std::string::npos) << stays;
        EXPECT_NE(stays.find("..."), std::string::npos) << "the names are cut in the middle: " << stays;
    }
    EXPECT_GE(progressDraws, 4u) << result.out;
}

// An interrupt typed while the progress line shows leaves no "^C" on it, and the terminal echoes
// control characters again afterwards.
TEST_F(CliTest, InterruptTypedDuringProgressLeavesNoTrace) {
    Write("large", "");
    fs::resize_file(Path("large"), 1u << 30);
    Write("pass.txt", "pw\n");
    CliChild child(Options({"encrypt", "--cipher", "3des", "--passphrase-file", "pass.txt", "large"}, true));
    ASSERT_TRUE(child.Answer("%", "")) << child.Shown();
    EXPECT_FALSE(child.ControlEchoOn());
    ASSERT_TRUE(child.Answer("", "\x03"));
    const ChildResult result = child.Wait();
    EXPECT_EQ(result.status, kCanceled);
    EXPECT_EQ(result.out.find("^C"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("morvex-cli: large: Canceled"), std::string::npos) << result.out;
    EXPECT_TRUE(child.ControlEchoOn());
    EXPECT_FALSE(Exists("large.enc"));
}

// --- Several files at once --------------------------------------------------------------------

TEST_F(CliTest, JobsAtOnceGiveTheSameOutputsAsOneAtATime) {
    const std::vector<std::size_t> sizes{0, 1, 9, 4096, (1u << 20) + 5, 3u << 20, 77};
    std::vector<std::string> names;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        names.push_back("f" + std::to_string(i));
        Write(names.back(), RandomBytes(sizes[i], static_cast<std::uint32_t>(i) + 20));
    }
    ASSERT_EQ(Crypt("encrypt", "idea", "pw\n", names, Options({"--jobs", "3"})).status, kDone);
    fs::create_directory(Path("one"));
    fs::create_directory(Path("many"));
    std::vector<std::string> containers;
    for (const std::string& name : names) {
        fs::copy_file(Path(name + ".enc"), Path("one/" + name + ".enc"));
        fs::copy_file(Path(name + ".enc"), Path("many/" + name + ".enc"));
        containers.push_back(name + ".enc");
    }
    for (const auto& [folder, jobs] : {std::pair{"one", "1"}, std::pair{"many", "4"}}) {
        Write(std::string(folder) + "/pass.txt", "pw\n");
        ChildOptions options = Options({"decrypt", "--cipher", "idea", "--jobs", jobs, "--passphrase-file",
                                        "pass.txt"});
        options.args.insert(options.args.end(), containers.begin(), containers.end());
        options.workingDirectory = Path(folder);
        const ChildResult result = CliChild(options).Wait();
        ASSERT_EQ(result.status, kDone) << result.err;
        EXPECT_TRUE(result.err.empty()) << result.err;
    }
    for (const std::string& name : names) {
        EXPECT_EQ(Read("many/" + name), Read("one/" + name)) << name;
        EXPECT_EQ(Read("many/" + name), Read(name)) << name;
    }
}

// --- Signals ----------------------------------------------------------------------------------

class CancelSignalTest : public CliTest, public ::testing::WithParamInterface<int> {};

// One job at a time, so that the second file is still waiting when the signal comes.
TEST_P(CancelSignalTest, StopsTheJobDeletesItsOutputAndStartsNoOtherFile) {
    Write("large", "");
    fs::resize_file(Path("large"), 1u << 30);  // sparse, and seconds to encrypt
    Write("next", "waiting");
    Write("pass.txt", "pw\n");
    CliChild child(Options(
        {"encrypt", "--cipher", "3des", "--jobs", "1", "--passphrase-file", "pass.txt", "large", "next"}));
    // The output has no name until the job is done, so the job's own writes tell that it runs.
    ASSERT_TRUE(child.WaitForWrites(1u << 20, 20s)) << "the job never started";
    child.Signal(GetParam());
    const ChildResult result = child.Wait();
    EXPECT_EQ(result.status, kCanceled);
    EXPECT_EQ(result.err, "morvex-cli: large: Canceled\n");
    EXPECT_FALSE(Exists("large.enc"));
    EXPECT_FALSE(Exists("next.enc"));
}

// Every signal that would end the tool cancels instead: a hang-up (the terminal closed), a quit
// (Ctrl-\), the user signals and a timer's alarm.
INSTANTIATE_TEST_SUITE_P(EndingSignals, CancelSignalTest,
                         ::testing::Values(SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM));

TEST_F(CliTest, OneCancelStopsEveryJobAndDeletesEveryOutput) {
    for (const char* name : {"large1", "large2"}) {
        Write(name, "");
        fs::resize_file(Path(name), 1u << 30);
    }
    Write("next", "waiting");
    Write("pass.txt", "pw\n");
    CliChild child(Options({"encrypt", "--cipher", "3des", "--jobs", "2", "--passphrase-file", "pass.txt", "large1",
                            "large2", "next"}));
    // Both outputs open, still without names, and the jobs writing.
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (child.UnnamedFilesIn(dir_.string()) < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_EQ(child.UnnamedFilesIn(dir_.string()), 2u) << "both jobs should run at once";
    ASSERT_TRUE(child.WaitForWrites(2u << 20, 20s));
    child.Signal(SIGINT);
    const ChildResult result = child.Wait();
    EXPECT_EQ(result.status, kCanceled);
    EXPECT_NE(result.err.find("morvex-cli: large1: Canceled\n"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("morvex-cli: large2: Canceled\n"), std::string::npos) << result.err;
    for (const char* name : {"large1.enc", "large2.enc", "next.enc"}) {
        EXPECT_FALSE(Exists(name)) << name;
    }
}

#endif

}  // namespace
}  // namespace morvex::test
