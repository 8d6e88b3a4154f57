#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

namespace morvex::test {

namespace {

// A child still running after the grace time is a hang: end it rather than the whole test run.
int Reap(pid_t pid, std::chrono::milliseconds grace) {
    const auto deadline = std::chrono::steady_clock::now() + grace;
    int raw = 0;
    pid_t ended = 0;
    while ((ended = ::waitpid(pid, &raw, WNOHANG)) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &raw, 0);
            return -2;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return ended != pid ? -1 : WIFEXITED(raw) ? WEXITSTATUS(raw) : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
}

}  // namespace

CliChild::CliChild(const ChildOptions& options) {
    std::vector<std::string> storage{MORVEX_CLI_PATH};
    storage.insert(storage.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (std::string& arg : storage) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    std::array<int, 2> out{-1, -1};
    std::array<int, 2> err{-1, -1};
    std::array<int, 2> extra{-1, -1};
    if (options.terminal) {
        pid_ = ::forkpty(&fds_[0], nullptr, nullptr, nullptr);
    } else {
        if (::pipe2(out.data(), O_CLOEXEC) != 0 || ::pipe2(err.data(), O_CLOEXEC) != 0 ||
            (options.descriptor3 && ::pipe2(extra.data(), O_CLOEXEC) != 0)) {
            throw std::runtime_error("pipe failed");
        }
        pid_ = ::fork();
    }
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        // Between fork and exec: only async-signal-safe calls, no return.
        if (!options.terminal) {
            // No controlling terminal, so that the tool can never fall back on the one running the tests.
            ::setsid();
            ::dup2(::open("/dev/null", O_RDONLY), 0);
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            if (options.descriptor3) {
                ::dup2(extra[0], 3);
            }
        }
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
    open_ = {true, !options.terminal && !options.stderrReaderGone};
    if (!options.terminal) {
        ::close(out[1]);
        ::close(err[1]);
        fds_ = {out[0], err[0]};
        if (options.stderrReaderGone) {
            ::close(err[0]);
            fds_[1] = -1;
        }
    }
    if (options.descriptor3) {
        ::close(extra[0]);
        const ssize_t written = ::write(extra[1], options.descriptor3->data(), options.descriptor3->size());
        (void)written;
        ::close(extra[1]);
    }
}

CliChild::~CliChild() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        (void)Reap(pid_, std::chrono::seconds(10));
    }
    for (const int fd : fds_) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

bool CliChild::ReadSome(std::chrono::milliseconds timeout) {
    std::array<pollfd, 2> polled{};
    for (std::size_t i = 0; i < 2; ++i) {
        polled[i] = pollfd{open_[i] ? fds_[i] : -1, POLLIN, 0};
    }
    if ((!open_[0] && !open_[1]) || ::poll(polled.data(), polled.size(), static_cast<int>(timeout.count())) <= 0) {
        return false;
    }
    for (std::size_t i = 0; i < 2; ++i) {
        if (polled[i].fd >= 0 && polled[i].revents != 0) {
            std::array<char, 4096> buffer{};
            const ssize_t n = ::read(fds_[i], buffer.data(), buffer.size());
            if (n > 0) {
                output_[i].append(buffer.data(), static_cast<std::size_t>(n));
            } else {
                open_[i] = false;  // the end, or EIO once the child and its terminal are gone
            }
        }
    }
    return true;
}

bool CliChild::ReadUntil(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (output_[0].find(text) == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !ReadSome(left)) {
            return false;
        }
    }
    return true;
}

void CliChild::Type(const std::string& text) const {
    const ssize_t written = ::write(fds_[0], text.data(), text.size());
    (void)written;
}

void CliChild::Signal(int signalNumber) const { ::kill(pid_, signalNumber); }

bool CliChild::EchoOn() const {
    termios settings{};
    return ::tcgetattr(fds_[0], &settings) == 0 && (settings.c_lflag & ECHO) != 0;
}

ChildResult CliChild::Wait() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (std::chrono::steady_clock::now() < deadline && ReadSome(std::chrono::seconds(120))) {
    }
    const bool ended = !open_[0] && !open_[1];
    const int status = Reap(pid_, ended ? std::chrono::seconds(10) : std::chrono::seconds(0));
    pid_ = -1;
    return {status, output_[0], output_[1]};
}

}  // namespace morvex::test
