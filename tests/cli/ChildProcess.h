#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
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
    // terminal, stdin empty, stdout and stderr pipes.
    bool terminal = false;
    std::optional<std::string> descriptor3;      // text the child can read on descriptor 3
    std::optional<unsigned long> fileSizeLimit;  // RLIMIT_FSIZE in bytes, with SIGXFSZ ignored
    bool stderrReaderGone = false;               // stderr is a pipe whose reader has closed it
};

// The tool as a child process; ended with SIGKILL if still running when destroyed.
class CliChild {
public:
    explicit CliChild(const ChildOptions& options);
    ~CliChild();
    CliChild(const CliChild&) = delete;
    CliChild& operator=(const CliChild&) = delete;

    // Reads until the text has appeared in the output so far; false on timeout or end.
    [[nodiscard]] bool ReadUntil(const std::string& text, std::chrono::milliseconds timeout);
    void Type(const std::string& text) const;
    void Signal(int signalNumber) const;
    // True while the terminal's echo is on.
    [[nodiscard]] bool EchoOn() const;
    // Reads to the end and waits.
    [[nodiscard]] ChildResult Wait();

    [[nodiscard]] const std::string& Shown() const { return output_[0]; }

private:
    // False once every output has ended, or on timeout.
    bool ReadSome(std::chrono::milliseconds timeout);

    pid_t pid_ = -1;
    std::array<int, 2> fds_{-1, -1};  // stdout or the terminal, and stderr
    std::array<bool, 2> open_{false, false};
    std::array<std::string, 2> output_;
};

}  // namespace morvex::test
