#include "ChildProcess.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <string>
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
    return ended != pid       ? -1
           : WIFEXITED(raw)   ? WEXITSTATUS(raw)
           : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw)
                              : -1;
}

std::string ReadAll(std::FILE* file) {
    std::string text;
    std::array<char, 4096> buffer{};
    std::rewind(file);
    for (std::size_t n = 0; (n = std::fread(buffer.data(), 1, buffer.size(), file)) > 0;) {
        text.append(buffer.data(), n);
    }
    return text;
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
    std::array<int, 2> closedErr{-1, -1};
    std::array<int, 2> extra{-1, -1};
    out_ = std::tmpfile();
    err_ = std::tmpfile();
    if (out_ == nullptr || err_ == nullptr ||
        (options.stderrReaderGone && ::pipe2(closedErr.data(), O_CLOEXEC) != 0) ||
        (options.descriptor3 && ::pipe2(extra.data(), O_CLOEXEC) != 0)) {
        throw std::runtime_error("no files or pipes for the child");
    }
    winsize size{};
    size.ws_row = 24;
    size.ws_col = options.columns;
    pid_ = options.terminal ? ::forkpty(&master_, nullptr, nullptr, options.columns != 0 ? &size : nullptr) : ::fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        // Between fork and exec: only async-signal-safe calls, no return.
        if (!options.terminal) {
            // No controlling terminal, so that the tool can never fall back on the one running the tests.
            ::setsid();
            ::dup2(::open("/dev/null", O_RDONLY), 0);
            ::dup2(::fileno(out_), 1);
            ::dup2(options.stderrReaderGone ? closedErr[1] : ::fileno(err_), 2);
            ::dup2(extra[0], 3);  // without a pipe this fails and leaves 3 closed
        }
        if (!options.workingDirectory.empty() && ::chdir(options.workingDirectory.c_str()) != 0) {
            ::_exit(120);
        }
        if (options.fileSizeLimit) {
            const rlimit limit{*options.fileSizeLimit, *options.fileSizeLimit};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (options.coreFiles) {
            rlimit core{};
            ::getrlimit(RLIMIT_CORE, &core);
            core.rlim_cur = core.rlim_max;
            ::setrlimit(RLIMIT_CORE, &core);
        }
        // Whatever the test runner does with it: the tool must cope with the default, which ends
        // a process that writes beyond its limit.
        ::signal(SIGXFSZ, SIG_DFL);
        if (options.unprivileged && ::geteuid() == 0) {
            const gid_t nobody = 65534;
            if (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0) {
                ::_exit(122);
            }
        }
        ::execv(MORVEX_CLI_PATH, argv.data());
        ::_exit(121);
    }
    if (options.descriptor3) {
        const ssize_t written = ::write(extra[1], options.descriptor3->data(), options.descriptor3->size());
        (void)written;
    }
    for (const int fd : {closedErr[0], closedErr[1], extra[0], extra[1]}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

CliChild::~CliChild() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        (void)Reap(pid_, std::chrono::seconds(10));
    }
    if (master_ >= 0) {
        ::close(master_);
    }
    std::fclose(out_);
    std::fclose(err_);
}

bool CliChild::ReadSome(std::chrono::milliseconds timeout) {
    pollfd polled{master_, POLLIN, 0};
    std::array<char, 4096> buffer{};
    if (::poll(&polled, 1, static_cast<int>(timeout.count())) <= 0) {
        return false;
    }
    const ssize_t n = ::read(master_, buffer.data(), buffer.size());
    if (n > 0) {
        shown_.append(buffer.data(), static_cast<std::size_t>(n));
    }
    return n > 0;  // EIO once the child and its terminal are gone
}

bool CliChild::Answer(const std::string& prompt, const std::string& reply) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::size_t at = 0;
    while ((at = shown_.find(prompt, answered_)) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !ReadSome(left)) {
            return false;
        }
    }
    answered_ = at + prompt.size();
    return ::write(master_, reply.data(), reply.size()) == static_cast<ssize_t>(reply.size());
}

void CliChild::Signal(int signalNumber) const {
    ::kill(pid_, signalNumber);
}

bool CliChild::WaitForWrites(unsigned long long bytes, std::chrono::milliseconds timeout) const {
    // wchar in /proc/PID/io: every byte the process handed to write(), its output's among them.
    const std::string path = "/proc/" + std::to_string(pid_) + "/io";
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        std::FILE* io = std::fopen(path.c_str(), "r");
        if (io == nullptr) {
            return false;
        }
        unsigned long long written = 0;
        char key[32] = {};
        unsigned long long value = 0;
        while (std::fscanf(io, "%31s %llu", key, &value) == 2) {
            if (std::string(key) == "wchar:") {
                written = value;
            }
        }
        std::fclose(io);
        if (written >= bytes) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

bool CliChild::WaitUntilItCatches(int signalNumber, std::chrono::milliseconds timeout) const {
    // SigCgt in /proc/PID/status: the signals with a handler, as a hexadecimal mask, bit n - 1 for n.
    const std::string path = "/proc/" + std::to_string(pid_) + "/status";
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        std::FILE* status = std::fopen(path.c_str(), "r");
        if (status == nullptr) {
            return false;
        }
        unsigned long long caught = 0;
        char line[256];
        while (std::fgets(line, sizeof line, status) != nullptr) {
            (void)std::sscanf(line, "SigCgt: %llx", &caught);
        }
        std::fclose(status);
        if ((caught >> (signalNumber - 1)) & 1u) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

std::size_t CliChild::UnnamedFilesIn(const std::string& folder) const {
    // The system shows an unnamed file (O_TMPFILE) as "FOLDER/#INODE (deleted)".
    const std::string prefix = std::filesystem::canonical(folder).string() + "/#";
    std::size_t count = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", error)) {
        std::error_code unreadable;
        const std::string target = std::filesystem::read_symlink(entry.path(), unreadable).string();
        count += !unreadable && target.rfind(prefix, 0) == 0 ? 1U : 0U;
    }
    return count;
}

bool CliChild::EchoOn() const {
    termios settings{};
    return ::tcgetattr(master_, &settings) == 0 && (settings.c_lflag & ECHO) != 0;
}

bool CliChild::ControlEchoOn() const {
    termios settings{};
    return ::tcgetattr(master_, &settings) == 0 && (settings.c_lflag & ECHOCTL) != 0;
}

ChildResult CliChild::Wait() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    bool ended = master_ < 0;
    while (!ended && std::chrono::steady_clock::now() < deadline) {
        ended = !ReadSome(std::chrono::seconds(120));
    }
    const int status = Reap(pid_, ended ? std::chrono::seconds(120) : std::chrono::seconds(0));
    pid_ = -1;
    return {status, master_ >= 0 ? shown_ : ReadAll(out_), ReadAll(err_)};
}

}  // namespace morvex::test
