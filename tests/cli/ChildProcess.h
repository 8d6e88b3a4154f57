#pragma once

#ifndef _WIN32
#include <sys/types.h>
#endif

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace morvex::test {

struct ChildResult {
    int status = -1;  // the exit status, 128 + the signal that ended the child, -2 if it hung
    std::string out;  // on a terminal: everything the terminal showed
    std::string err;
};

struct ChildOptions {
    std::vector<std::string> args;  // without the program
    std::string workingDirectory;
    // A pseudo-terminal as controlling terminal, stdin, stdout and stderr. Otherwise no controlling
    // terminal (on Windows: no console), stdin empty, stdout and stderr collected in files.
    bool terminal = false;                       // POSIX only
    std::optional<std::string> descriptor3;      // text the child can read from a pipe on descriptor 3
    std::optional<unsigned long> fileSizeLimit;  // RLIMIT_FSIZE in bytes; SIGXFSZ at its default action; POSIX only
    bool stderrReaderGone = false;               // stderr is a pipe whose reader has closed it
    unsigned short columns = 0;                  // the pseudo-terminal's width; 0: the system's default
    bool unprivileged = false;                   // run as user and group 65534 when the tests run as root
    bool coreFiles = false;                      // RLIMIT_CORE as high as allowed, for the tool to lower
};

// The tool as a child process; ended with SIGKILL (on Windows: terminated) if still running when
// destroyed. On Windows its text-mode "\r\n" line ends come back as "\n".
class CliChild {
  public:
    explicit CliChild(const ChildOptions& options);
    ~CliChild();
    CliChild(const CliChild&) = delete;
    CliChild& operator=(const CliChild&) = delete;

    // Reads to the end and waits.
    [[nodiscard]] ChildResult Wait();

#ifdef _WIN32
  private:
    void* process_ = nullptr;
    void* out_ = nullptr;
    void* err_ = nullptr;
#else

    // On the terminal: waits until the prompt has appeared after the one answered before, then
    // types the reply. False on timeout or end.
    [[nodiscard]] bool Answer(const std::string& prompt, const std::string& reply);
    void Signal(int signalNumber) const;
    // Waits until the child has written at least this many bytes to its files, as the system counts
    // them; false on timeout or if the system does not tell.
    [[nodiscard]] bool WaitForWrites(unsigned long long bytes, std::chrono::milliseconds timeout) const;
    // Waits until the child catches the signal, that is until its own code runs; false on timeout or
    // end. A signal sent earlier meets the program before it could do anything about it.
    [[nodiscard]] bool WaitUntilItCatches(int signalNumber, std::chrono::milliseconds timeout) const;
    // How many files without a name in this folder the child holds open: its unpublished outputs.
    [[nodiscard]] std::size_t UnnamedFilesIn(const std::string& folder) const;
    // True while the terminal's echo is on.
    [[nodiscard]] bool EchoOn() const;
    // True while the terminal echoes control characters as ^X.
    [[nodiscard]] bool ControlEchoOn() const;

    [[nodiscard]] const std::string& Shown() const { return shown_; }

  private:
    // False at the end of the terminal's output or on timeout.
    bool ReadSome(std::chrono::milliseconds timeout);

    pid_t pid_ = -1;
    int master_ = -1;
    std::FILE* out_ = nullptr;
    std::FILE* err_ = nullptr;
    std::string shown_;
    std::size_t answered_ = 0;  // where the next prompt is looked for
#endif
};

}  // namespace morvex::test
