#include "cli/Terminal.h"

#include <atomic>
#include <cerrno>

#include "base/SecureWipe.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <io.h>
#include <cstdio>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace morvex {

namespace {

// A handler may only touch lock-free atomics; the polling loop turns the flag into CancelJob.
std::atomic<bool> gCancelSignalled{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void SetCancelSignalled() {
    gCancelSignalled.store(true, std::memory_order_relaxed);
}

// Keeps at most keep bytes of a line that arrives one byte at a time; drops a final '\r'.
class LineCollector {
public:
    explicit LineCollector(std::size_t keep) : keep_(keep) {}
    ~LineCollector() { SecureWipe(line_.data(), line_.size()); }
    LineCollector(const LineCollector&) = delete;
    LineCollector& operator=(const LineCollector&) = delete;

    void Add(char c) {
        if (line_.size() < keep_) {
            line_.push_back(c);
        }
    }

    [[nodiscard]] std::string Take() {
        if (!line_.empty() && line_.back() == '\r') {
            line_.pop_back();
        }
        std::string result = line_;
        SecureWipe(line_.data(), line_.size());
        line_.clear();
        return result;
    }

private:
    std::size_t keep_;
    std::string line_;
};

#ifdef _WIN32

BOOL WINAPI OnConsoleControl(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        SetCancelSignalled();
        return TRUE;
    case CTRL_CLOSE_EVENT:
        // The process ends when this returns: give the polling loop time to cancel the job and
        // delete its output first (the console allows about five seconds).
        SetCancelSignalled();
        ::Sleep(3000);
        return TRUE;
    default:
        return FALSE;
    }
}

std::optional<std::string> ReadLine(int fd, std::size_t keep) {
    LineCollector line(keep);
    for (;;) {
        char c = 0;
        const int n = ::_read(fd, &c, 1);
        if (n < 0 || CancelSignalled()) {
            return std::nullopt;
        }
        if (n == 0 || c == '\n') {
            break;
        }
        line.Add(c);
    }
    return line.Take();
}

#else

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

#endif

}  // namespace

bool CancelSignalled() {
    return gCancelSignalled.load(std::memory_order_relaxed);
}

std::optional<std::string> ReadLineFromDescriptor(int fd, std::size_t keep) {
    return ReadLine(fd, keep);
}

#ifdef _WIN32

void InstallCancelHandlers() {
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool StderrIsTerminal() {
    return ::_isatty(::_fileno(stderr)) != 0;
}

std::optional<std::string> ReadHiddenLine(const std::string& prompt, std::size_t keep) {
    const HANDLE input = ::CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, 0, nullptr);
    if (input == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    const HANDLE output = ::CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD saved = 0;
    if (output == INVALID_HANDLE_VALUE || !::GetConsoleMode(input, &saved) ||
        !::SetConsoleMode(input, (saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT)) {
        if (output != INVALID_HANDLE_VALUE) {
            ::CloseHandle(output);
        }
        ::CloseHandle(input);
        return std::nullopt;
    }
    DWORD written = 0;
    ::WriteConsoleA(output, prompt.data(), static_cast<DWORD>(prompt.size()), &written, nullptr);
    LineCollector line(keep);
    bool complete = false;
    for (;;) {
        char c = 0;
        DWORD got = 0;
        // Ctrl+C ends a console read with nothing read; the flag tells it from an empty line.
        if (!::ReadConsoleA(input, &c, 1, &got, nullptr) || got == 0 || CancelSignalled()) {
            break;
        }
        if (c == '\n') {
            complete = true;
            break;
        }
        line.Add(c);
    }
    ::SetConsoleMode(input, saved);
    ::WriteConsoleA(output, "\r\n", 2, &written, nullptr);
    ::CloseHandle(output);
    ::CloseHandle(input);
    if (!complete) {
        return std::nullopt;
    }
    return line.Take();
}

#else

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

#endif

}  // namespace morvex
