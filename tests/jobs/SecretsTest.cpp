// Secrets after a job: nowhere in the process's memory, never in a core file. Each case runs in a
// child process, so that what it scans or changes is its own.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <span>
#include <sstream>
#include <string>

#include "base/SecureWipe.h"
#include "jobs/Jobs.h"
#include "keys/PassphraseDigest.h"
#include "tests/jobs/JobTestSupport.h"

namespace morvex::test {
namespace {

// The secrets are kept masked, so that the only clear copies in the process are those the engine
// makes; the scan unmasks as it compares.
constexpr std::uint8_t kMask = 0xA7;

template <std::size_t N>
consteval std::array<std::uint8_t, N - 1> Masked(const char (&text)[N]) {
    std::array<std::uint8_t, N - 1> masked{};
    for (std::size_t i = 0; i + 1 < N; ++i) {
        masked[i] = static_cast<std::uint8_t>(static_cast<std::uint8_t>(text[i]) ^ kMask);
    }
    return masked;
}

constexpr auto kMaskedPassphrase = Masked("Quixotic-Zephyr-7741-Marmalade!");

// Sets the text in place, so that no temporary holds it.
void Unmask(std::string& text) {
    text.assign(kMaskedPassphrase.size(), '\0');
    for (std::size_t i = 0; i < kMaskedPassphrase.size(); ++i) {
        text[i] = static_cast<char>(kMaskedPassphrase[i] ^ kMask);
    }
}

void Wipe(std::string& text) {
    SecureWipe(text.data(), text.size());
    text.clear();
}

// The key words' bytes as the record keeps them, then each word most significant byte first, as
// a cipher's schedule may load them; masked. The derivation's own locals are wiped by the caller.
[[gnu::noinline]] std::array<std::uint8_t, 32> MaskedKeyBytes() {
    char text[kMaskedPassphrase.size()];
    for (std::size_t i = 0; i < sizeof text; ++i) {
        text[i] = static_cast<char>(kMaskedPassphrase[i] ^ kMask);
    }
    KeyWords words = DeriveKeyWords(std::string_view(text, sizeof text));
    std::array<std::uint8_t, 32> bytes{};
    std::uint32_t list[] = {words.ka, words.kb, words.kc, words.kd};
    for (std::size_t w = 0; w < 4; ++w) {
        for (std::size_t b = 0; b < 4; ++b) {
            bytes[4 * w + b] = static_cast<std::uint8_t>((list[w] >> (8 * b)) ^ kMask);
            bytes[16 + 4 * w + b] = static_cast<std::uint8_t>((list[w] >> (24 - 8 * b)) ^ kMask);
        }
    }
    SecureWipe(text, sizeof text);
    SecureWipe(&words, sizeof words);
    SecureWipe(list, sizeof list);
    return bytes;
}

// How often the masked pattern appears unmasked in the readable memory of this process.
std::size_t CountInMemory(std::span<const std::uint8_t> masked) {
    const int memory = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    std::ifstream maps("/proc/self/maps");
    static std::array<std::uint8_t, 1 << 20> chunk;
    std::size_t found = 0;
    for (std::string line; memory >= 0 && std::getline(maps, line);) {
        std::istringstream fields(line);
        std::string range;
        std::string permissions;
        fields >> range >> permissions;
        if (permissions.empty() || permissions[0] != 'r' || line.find("[vvar") != std::string::npos ||
            line.find("[vsyscall]") != std::string::npos) {
            continue;
        }
        const std::uint64_t begin = std::stoull(range.substr(0, range.find('-')), nullptr, 16);
        const std::uint64_t end = std::stoull(range.substr(range.find('-') + 1), nullptr, 16);
        // A sanitizer's shadow memory reserves terabytes; no region that holds data is this large.
        if (end - begin > (std::uint64_t{1} << 32)) {
            continue;
        }
        // Chunks overlap by one pattern less a byte, so that no occurrence falls between two.
        for (std::uint64_t at = begin; at < end; at += chunk.size() - (masked.size() - 1)) {
            const ssize_t got = ::pread(memory, chunk.data(), std::min<std::uint64_t>(chunk.size(), end - at),
                                        static_cast<off_t>(at));
            if (got < static_cast<ssize_t>(masked.size())) {
                break;
            }
            for (std::size_t i = 0; i + masked.size() <= static_cast<std::size_t>(got); ++i) {
                std::size_t j = 0;
                while (j < masked.size() && (chunk[i + j] ^ kMask) == masked[j]) {
                    ++j;
                }
                found += j == masked.size() ? 1U : 0U;
            }
            if (static_cast<std::uint64_t>(got) < chunk.size()) {
                break;
            }
        }
    }
    SecureWipe(chunk.data(), chunk.size());
    if (memory >= 0) {
        ::close(memory);
    }
    return found;
}

// Kilobytes of this process's memory locked now, from /proc/self/status.
long LockedKilobytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmLck:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

// What a child wrote to the pipe, read to its end; the child must then end normally.
std::string ReportOf(pid_t child, const int (&ends)[2]) {
    ::close(ends[1]);
    std::string report;
    char buffer[256];
    for (ssize_t n = 0; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;) {
        report.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(ends[0]);
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    return report;
}

// Runs the body in a child process and returns what it wrote to the pipe it is given.
template <class Body>
std::string InChild(Body body) {
    int ends[2];
    if (::pipe(ends) != 0) {
        ADD_FAILURE() << "no pipe";
        return {};
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ends[0]);
        const std::string report = body();
        (void)!::write(ends[1], report.data(), report.size());
        ::_exit(0);
    }
    return ReportOf(child, ends);
}

// Runs this test again in a fresh process, with the descriptor for its report in the environment
// variable: a process forked from this one would inherit every symbol this one has already bound,
// and so never show what binding on a job thread leaves behind.
std::string InFreshProcess(const char* test) {
    int ends[2];
    if (::pipe(ends) != 0) {
        ADD_FAILURE() << "no pipe";
        return {};
    }
    const std::string filter = std::string("--gtest_filter=") + test;
    const std::string variable = "MORVEX_SECRETS_REPORT_FD=" + std::to_string(ends[1]);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ends[0]);
        ::dup2(::open("/dev/null", O_WRONLY), 1);
        char* argv[] = {const_cast<char*>("morvex-jobs-tests"), const_cast<char*>(filter.c_str()), nullptr};
        char* envp[] = {const_cast<char*>(variable.c_str()), nullptr};
        ::execve("/proc/self/exe", argv, envp);
        ::_exit(127);
    }
    return ReportOf(child, ends);
}

// Two encryptions and two decryptions with each cipher, then the front end's own copies wiped;
// then a scan for the passphrase and its key words in all the memory the process can read.
std::string RunJobsAndScan() {
    std::ostringstream out;
    // The record stays alive through the scan, as a front end's does between jobs.
    Fixture f(3 * kJobTransferBytes + 5);
    Unmask(f.state.choice.passphrase);
    Unmask(f.state.choice.retype);
    std::atomic<long> lockedDuringJob{-1};
    f.platform.onInputRead = [&lockedDuringJob](int read) {
        if (read == 1) {
            lockedDuringJob = LockedKilobytes();
        }
    };
    const std::string container = f.source + ".enc";
    for (const AlgorithmId algorithm : {AlgorithmId::Idea, AlgorithmId::TripleDes}) {
        f.state.choice.algorithm = algorithm;
        f.state.choice.chosenPath = f.source;
        out << (f.Run(false) == JobOutcome::Done ? "" : "encryption failed ");
        std::filesystem::rename(f.source, f.source + ".orig");
        f.state.choice.chosenPath = container;
        out << (f.Run(true) == JobOutcome::Done ? "" : "decryption failed ");
        std::filesystem::remove(container);
    }
    Wipe(f.state.choice.passphrase);
    Wipe(f.state.choice.retype);
    out << "locked " << lockedDuringJob.load() << "\n";

    const std::array<std::uint8_t, 32> keyBytes = MaskedKeyBytes();
    ScrubStack();
    // Three overlapping pieces, so that a copy partly overwritten (by clear(), or by the
    // allocator's own words in a freed block) is found all the same.
    const auto passphraseHits = [] {
        const std::span<const std::uint8_t> whole(kMaskedPassphrase);
        return CountInMemory(whole.first(12)) + CountInMemory(whole.subspan(10, 12)) +
               CountInMemory(whole.last(12));
    };
    std::array<std::uint8_t, kMaskedPassphrase.size()> planted{};
    for (std::size_t i = 0; i < planted.size(); ++i) {
        planted[i] = static_cast<std::uint8_t>(kMaskedPassphrase[i] ^ kMask);
    }
    out << "planted " << passphraseHits() << "\n";
    SecureWipe(planted.data(), planted.size());
    out << "passphrase " << passphraseHits() << "\n";
    out << "key words " << CountInMemory(std::span(keyBytes).first(16)) << "\n";
    out << "key words, high byte first " << CountInMemory(std::span(keyBytes).last(16)) << "\n";
    return out.str();
}

// The process holds the passphrase and its key words nowhere after its jobs, not even on the
// stacks the job threads left. The scan must find a copy planted on purpose, or it proves nothing.
TEST(SecretsTest, NeitherThePassphraseNorTheKeyWordsOutliveTheJobs) {
    if (kUnderThreadSanitizer) {
        GTEST_SKIP() << "forking a threaded process under ThreadSanitizer";
    }
    if (const char* reportTo = std::getenv("MORVEX_SECRETS_REPORT_FD")) {
        const std::string report = RunJobsAndScan();
        (void)!::write(std::atoi(reportTo), report.data(), report.size());
        return;
    }
    const std::string report = InFreshProcess("SecretsTest.NeitherThePassphraseNorTheKeyWordsOutliveTheJobs");
    EXPECT_NE(report.find("planted 3\n"), std::string::npos) << report;
    EXPECT_NE(report.find("passphrase 0\n"), std::string::npos) << report;
    EXPECT_NE(report.find("key words 0\n"), std::string::npos) << report;
    EXPECT_NE(report.find("key words, high byte first 0\n"), std::string::npos) << report;
    EXPECT_EQ(report.find("failed"), std::string::npos) << report;
#if !defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer turns mlock into nothing.
    EXPECT_EQ(report.find("locked 0\n"), std::string::npos) << report;
    EXPECT_EQ(report.find("locked -1\n"), std::string::npos) << report;
#endif
}

// After the call no core file can be written and the process is not dumpable, which also keeps
// other processes of the same user from reading its memory.
TEST(SecretsTest, ProtectProcessSecretsTurnsCoreFilesOff) {
    if (kUnderThreadSanitizer) {
        GTEST_SKIP() << "forking a threaded process under ThreadSanitizer";
    }
    const std::string report = InChild([] {
        ProtectProcessSecrets();
        rlimit core{};
        ::getrlimit(RLIMIT_CORE, &core);
        return "core " + std::to_string(core.rlim_cur) + " " + std::to_string(core.rlim_max) + " dumpable " +
               std::to_string(::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0));
    });
    EXPECT_EQ(report, "core 0 0 dumpable 0");
}

}  // namespace
}  // namespace morvex::test
