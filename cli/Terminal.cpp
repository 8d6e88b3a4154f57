// The terminal and signals on POSIX systems; TerminalWindows.cpp is the console's counterpart.

#include "cli/Terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "cli/LineCollector.h"

namespace morvex {

namespace {

// A handler may only touch lock-free atomics; the polling loop turns the flag into CancelJob.
std::atomic<bool> gCancelSignalled{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void SetCancelSignalled() {
    gCancelSignalled.store(true, std::memory_order_relaxed);
}

extern "C" void OnCancelSignal(int /*signal*/) {
    SetCancelSignalled();
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
        // A signal that lands just before a blocking read would not interrupt it; waiting in short
        // slices closes that gap without a self-pipe.
        pollfd ready{fd, POLLIN, 0};
        const int polled = ::poll(&ready, 1, 100);
        if (CancelSignalled()) {
            return std::nullopt;
        }
        if (polled == 0 || (polled < 0 && errno == EINTR)) {
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
    struct sigaction action {};
    action.sa_handler = OnCancelSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a passphrase read on the terminal must return so that echo is restored.
    action.sa_flags = 0;
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signalNumber, &action, nullptr);
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

bool StderrIsTerminal() {
    return ::isatty(STDERR_FILENO) == 1;
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
