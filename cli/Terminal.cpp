#include "cli/Terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>

#include "cli/LineCollector.h"

namespace morvex {

namespace {

// A handler may only touch lock-free atomics and make async-signal-safe calls; the waiting loop
// turns the flag into CancelJob.
std::atomic<bool> gCancelSignalled{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void SetCancelSignalled() {
    gCancelSignalled.store(true, std::memory_order_relaxed);
}

// The self-pipe that WaitForWake sleeps on: a byte written by a signal handler or by a thread that
// ends wakes it, and no wake-up can fall between a check and the wait. Both ends are set before
// any handler or thread exists and never change afterwards.
int gWakeRead = -1;
int gWakeWrite = -1;

void WriteWakeByte() {
    if (gWakeWrite >= 0) {
        const int saved = errno;
        const char byte = 1;
        // A full pipe is as good as a written byte: the waiter has something to read.
        (void)!::write(gWakeWrite, &byte, 1);
        errno = saved;
    }
}

void DrainWakeBytes() {
    char bytes[64];
    while (gWakeRead >= 0 && ::read(gWakeRead, bytes, sizeof bytes) > 0) {
    }
}

extern "C" void OnCancelSignal(int /*signal*/) {
    SetCancelSignalled();
    WriteWakeByte();
}

// Every signal whose default action ends the process, except SIGKILL, SIGPIPE and SIGXFSZ (ignored
// instead) and those that report a fault in the tool itself (SIGSEGV, SIGBUS, SIGFPE, SIGILL,
// SIGTRAP, SIGSYS, SIGABRT): those leave the process in no state to go on.
sigset_t CancelSignalSet() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF,
                                   SIGXCPU, SIGIO}) {
        sigaddset(&set, signalNumber);
    }
#ifdef SIGPWR
    sigaddset(&set, SIGPWR);
#endif
#ifdef SIGSTKFLT
    sigaddset(&set, SIGSTKFLT);
#endif
#ifdef SIGRTMIN
    for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber) {
        sigaddset(&set, signalNumber);
    }
#endif
    return set;
}

void WriteAll(int fd, const std::string& text) {
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        written += static_cast<std::size_t>(n);
    }
}

// Reads byte by byte so that nothing after the line is taken from a shared descriptor.
std::optional<std::string> ReadLine(int fd, std::size_t keep) {
    LineCollector line(keep);
    for (;;) {
        // Waiting on the wake pipe as well: a signal that lands just before a blocking read would
        // not interrupt it, but its byte in the pipe ends the wait.
        std::array<pollfd, 2> ready{pollfd{fd, POLLIN, 0}, pollfd{gWakeRead, POLLIN, 0}};
        const int polled = ::poll(ready.data(), gWakeRead >= 0 ? 2 : 1, gWakeRead >= 0 ? -1 : 100);
        if (CancelSignalled()) {
            return std::nullopt;
        }
        if (ready[1].revents != 0) {
            DrainWakeBytes();
        }
        if (polled <= 0 || ready[0].revents == 0) {
            continue;
        }
        char c = 0;
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        if (n == 0 || c == '\n') {
            break;
        }
        line.Add(c);
    }
    return line.Take();
}

}  // namespace

bool CancelSignalled() {
    return gCancelSignalled.load(std::memory_order_relaxed);
}

std::optional<std::string> ReadLineFromDescriptor(int fd, std::size_t keep) {
    return ReadLine(fd, keep);
}

void InstallCancelHandlers() {
    if (gWakeRead < 0) {
        int ends[2] = {-1, -1};
        if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
            gWakeRead = ends[0];
            gWakeWrite = ends[1];
        }
    }
    struct sigaction action {};
    action.sa_handler = OnCancelSignal;
    action.sa_mask = CancelSignalSet();
    // Restarted calls: the handler's byte in the wake pipe is what ends a wait, not an interrupted call.
    action.sa_flags = SA_RESTART;
    const sigset_t cancelSignals = CancelSignalSet();
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
        if (sigismember(&cancelSignals, signalNumber) == 1) {
            sigaction(signalNumber, &action, nullptr);
        }
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
    sigaction(SIGXFSZ, &ignore, nullptr);
}

void WakeWaiter() {
    WriteWakeByte();
}

void WaitForWake(std::chrono::milliseconds timeout) {
    pollfd wake{gWakeRead, POLLIN, 0};
    // Without a pipe (none could be made) this is a plain sleep.
    (void)::poll(&wake, gWakeRead >= 0 ? 1 : 0, static_cast<int>(timeout.count()));
    DrainWakeBytes();
}

CancelSignalsBlocked::CancelSignalsBlocked() {
    const sigset_t cancelSignals = CancelSignalSet();
    ::pthread_sigmask(SIG_BLOCK, &cancelSignals, &saved_);
}

CancelSignalsBlocked::~CancelSignalsBlocked() {
    ::pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

bool StderrIsTerminal() {
    return ::isatty(STDERR_FILENO) == 1;
}

std::size_t StderrColumns() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) {
        return 0;
    }
    return size.ws_col;
}

ControlEchoOff::ControlEchoOff(bool active) {
    // A tool in the background leaves the terminal alone: changing it would stop the tool (SIGTTOU).
    termios settings{};
    if (!active || ::isatty(STDERR_FILENO) != 1 || ::tcgetpgrp(STDERR_FILENO) != ::getpgrp() ||
        ::tcgetattr(STDERR_FILENO, &settings) != 0 || (settings.c_lflag & ECHOCTL) == 0) {
        return;
    }
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHOCTL);
    changed_ = ::tcsetattr(STDERR_FILENO, TCSANOW, &settings) == 0;
}

ControlEchoOff::~ControlEchoOff() {
    if (!changed_) {
        return;
    }
    // Given back even if the shell has sent the tool to the background meanwhile: with SIGTTOU
    // blocked the change is allowed and does not stop the tool.
    sigset_t ttou;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    sigset_t saved;
    ::pthread_sigmask(SIG_BLOCK, &ttou, &saved);
    termios settings{};
    if (::tcgetattr(STDERR_FILENO, &settings) == 0) {
        settings.c_lflag |= ECHOCTL;
        (void)::tcsetattr(STDERR_FILENO, TCSANOW, &settings);
    }
    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

std::optional<std::string> ReadHiddenLine(const std::string& prompt, std::size_t keep) {
    const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0) {
        return std::nullopt;
    }
    termios saved{};
    if (::tcgetattr(tty, &saved) != 0) {
        ::close(tty);
        return std::nullopt;
    }
    termios hidden = saved;
    hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    if (::tcsetattr(tty, TCSAFLUSH, &hidden) != 0) {
        ::close(tty);
        return std::nullopt;
    }
    WriteAll(tty, prompt);
    std::optional<std::string> line = ReadLine(tty, keep);
    ::tcsetattr(tty, TCSAFLUSH, &saved);
    // The user's Enter was not echoed.
    WriteAll(tty, "\n");
    ::close(tty);
    return line;
}

}  // namespace morvex
