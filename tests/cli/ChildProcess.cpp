#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#ifndef MORVEX_CLI_PATH
#error "MORVEX_CLI_PATH must name the tool under test"
#endif

namespace morvex::test {

namespace {

// Runs in the child between fork and exec: only async-signal-safe calls, no return.
[[noreturn]] void ExecCli(const ChildOptions& options, std::vector<char*>& argv) {
    if (!options.workingDirectory.empty() && ::chdir(options.workingDirectory.c_str()) != 0) {
        ::_exit(120);
    }
    if (options.fileSizeLimit) {
        const rlimit limit{*options.fileSizeLimit, *options.fileSizeLimit};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::signal(SIGXFSZ, SIG_IGN);
    }
    ::execv(MORVEX_CLI_PATH, argv.data());
    ::_exit(121);
}

std::vector<char*> BuildArgv(const ChildOptions& options, std::vector<std::string>& storage) {
    storage.clear();
    storage.emplace_back(MORVEX_CLI_PATH);
    storage.insert(storage.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (std::string& arg : storage) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    return argv;
}

int WaitStatus(pid_t pid) {
    int raw = 0;
    while (::waitpid(pid, &raw, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    if (WIFEXITED(raw)) {
        return WEXITSTATUS(raw);
    }
    if (WIFSIGNALED(raw)) {
        return 128 + WTERMSIG(raw);
    }
    return -1;
}

// A child still running after the grace time is a hang: end it rather than the whole test run.
int WaitStatusWithin(pid_t pid, std::chrono::seconds grace) {
    const auto deadline = std::chrono::steady_clock::now() + grace;
    while (std::chrono::steady_clock::now() < deadline) {
        int raw = 0;
        const pid_t ended = ::waitpid(pid, &raw, WNOHANG);
        if (ended == pid) {
            return WIFEXITED(raw) ? WEXITSTATUS(raw) : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
        }
        if (ended < 0 && errno != EINTR) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    return WaitStatus(pid) == 128 + SIGKILL ? -2 : -1;
}

void MakePipe(std::array<int, 2>& fds) {
    if (::pipe2(fds.data(), O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
}

}  // namespace

CliChild::CliChild(const ChildOptions& options) {
    std::array<int, 2> out{};
    std::array<int, 2> err{};
    std::array<int, 2> extra{-1, -1};
    MakePipe(out);
    MakePipe(err);
    if (options.descriptor3) {
        MakePipe(extra);
    }
    std::vector<std::string> storage;
    std::vector<char*> argv = BuildArgv(options, storage);
    pid_ = ::fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        // No controlling terminal, so that the tool can never fall back on the one running the tests.
        ::setsid();
        const int devNull = ::open("/dev/null", O_RDONLY);
        ::dup2(devNull, 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        if (options.descriptor3) {
            ::dup2(extra[0], 3);
        }
        ExecCli(options, argv);
    }
    ::close(out[1]);
    ::close(err[1]);
    outFd_ = out[0];
    errFd_ = err[0];
    if (options.stderrReaderGone) {
        ::close(errFd_);
        errFd_ = -1;
    }
    if (options.descriptor3) {
        ::close(extra[0]);
        const std::string& text = *options.descriptor3;
        const ssize_t written = ::write(extra[1], text.data(), text.size());
        (void)written;
        ::close(extra[1]);
    }
}

CliChild::~CliChild() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        (void)WaitStatus(pid_);
    }
    if (outFd_ >= 0) {
        ::close(outFd_);
    }
    if (errFd_ >= 0) {
        ::close(errFd_);
    }
}

void CliChild::Signal(int signalNumber) const {
    ::kill(pid_, signalNumber);
}

ChildResult CliChild::Wait() {
    ChildResult result;
    std::array<pollfd, 2> fds{pollfd{outFd_, POLLIN, 0}, pollfd{errFd_, POLLIN, 0}};
    std::array<std::string*, 2> sinks{&result.out, &result.err};
    int open = errFd_ >= 0 ? 2 : 1;
    while (open > 0) {
        if (::poll(fds.data(), fds.size(), 120000) <= 0) {
            break;
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            std::array<char, 4096> buffer{};
            const ssize_t n = ::read(fds[i].fd, buffer.data(), buffer.size());
            if (n > 0) {
                sinks[i]->append(buffer.data(), static_cast<std::size_t>(n));
            } else {
                fds[i].fd = -1;
                --open;
            }
        }
    }
    result.status = WaitStatusWithin(pid_, std::chrono::seconds(open > 0 ? 0 : 10));
    pid_ = -1;
    return result;
}

ChildResult RunCli(const ChildOptions& options) {
    CliChild child(options);
    return child.Wait();
}

PtyChild::PtyChild(const ChildOptions& options) {
    std::vector<std::string> storage;
    std::vector<char*> argv = BuildArgv(options, storage);
    pid_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ < 0) {
        throw std::runtime_error("forkpty failed");
    }
    if (pid_ == 0) {
        ExecCli(options, argv);
    }
}

PtyChild::~PtyChild() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        (void)WaitStatus(pid_);
    }
    if (master_ >= 0) {
        ::close(master_);
    }
}

bool PtyChild::ReadSome(std::chrono::milliseconds timeout) {
    pollfd fd{master_, POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(timeout.count())) <= 0) {
        return false;
    }
    std::array<char, 4096> buffer{};
    const ssize_t n = ::read(master_, buffer.data(), buffer.size());
    if (n <= 0) {
        return false;  // EIO once the child and its terminal are gone
    }
    shown_.append(buffer.data(), static_cast<std::size_t>(n));
    return true;
}

bool PtyChild::ReadUntil(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (shown_.find(text) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !ReadSome(left)) {
            return false;
        }
    }
    return true;
}

void PtyChild::Type(const std::string& text) const {
    const ssize_t written = ::write(master_, text.data(), text.size());
    (void)written;
}

void PtyChild::Signal(int signalNumber) const {
    ::kill(pid_, signalNumber);
}

bool PtyChild::EchoOn() const {
    termios settings{};
    if (::tcgetattr(master_, &settings) != 0) {
        return false;
    }
    return (settings.c_lflag & ECHO) != 0;
}

ChildResult PtyChild::Wait() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (ReadSome(std::chrono::milliseconds(1000))) {
        if (std::chrono::steady_clock::now() > deadline) {
            break;
        }
    }
    ChildResult result;
    result.status = WaitStatusWithin(pid_, std::chrono::seconds(10));
    pid_ = -1;
    result.out = shown_;
    return result;
}

}  // namespace morvex::test
