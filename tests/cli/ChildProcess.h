#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace morvex::test {

struct ChildResult {
    int status = -1;  // the exit status, 128 + the signal that ended the child, -2 if it hung
    std::string out;
    std::string err;
};

struct ChildOptions {
    std::vector<std::string> args;                   // without the program
    std::optional<std::string> descriptor3;          // text the child can read on descriptor 3
    std::optional<unsigned long> fileSizeLimit;      // RLIMIT_FSIZE in bytes, with SIGXFSZ ignored
    std::string workingDirectory;
    bool stderrReaderGone = false;                   // stderr is a pipe whose reader has closed it
};

// The tool as a child without a controlling terminal, stdin empty, stdout and stderr collected.
class CliChild {
public:
    explicit CliChild(const ChildOptions& options);
    ~CliChild();
    CliChild(const CliChild&) = delete;
    CliChild& operator=(const CliChild&) = delete;

    void Signal(int signalNumber) const;
    // Collects the output and waits for the end.
    [[nodiscard]] ChildResult Wait();

private:
    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
};

[[nodiscard]] ChildResult RunCli(const ChildOptions& options);

// The tool on a pseudo-terminal that is its controlling terminal, stdin, stdout and stderr.
class PtyChild {
public:
    explicit PtyChild(const ChildOptions& options);
    ~PtyChild();
    PtyChild(const PtyChild&) = delete;
    PtyChild& operator=(const PtyChild&) = delete;

    // Reads until the text has appeared in everything read so far; false on timeout or end.
    [[nodiscard]] bool ReadUntil(const std::string& text, std::chrono::milliseconds timeout);
    void Type(const std::string& text) const;
    void Signal(int signalNumber) const;
    // True while the terminal's echo is on.
    [[nodiscard]] bool EchoOn() const;
    // Reads to the end and waits; out holds everything the terminal showed.
    [[nodiscard]] ChildResult Wait();

    [[nodiscard]] const std::string& Shown() const { return shown_; }

private:
    // False at the end of the output or on timeout.
    bool ReadSome(std::chrono::milliseconds timeout);

    pid_t pid_ = -1;
    int master_ = -1;
    std::string shown_;
};

}  // namespace morvex::test
