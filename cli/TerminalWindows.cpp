// The console and the cancel events on Windows; Terminal.cpp is the POSIX counterpart. Ctrl+C and
// Ctrl+Break stand for SIGINT, closing the console window, logging off and shutting down for
// SIGHUP and SIGTERM: each is the cancel command, never an abrupt end over a partial output.

#include <io.h>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "cli/LineCollector.h"
#include "cli/Terminal.h"
#include "jobs/WideText.h"
#include "base/SecureWipe.h"

namespace morvex {

namespace {

std::atomic<bool> gCancelSignalled{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// The thread that reads the passphrase, so that a cancel can end a read that would block forever:
// unlike a POSIX signal, a console event arrives on a thread of its own and interrupts nothing.
HANDLE gReadingThread = nullptr;

// WaitForWake's wake: a job's end or a cancel event, from whichever thread.
std::mutex gWakeMutex;
std::condition_variable gWake;
bool gWoken = false;

void Cancel() {
    gCancelSignalled.store(true, std::memory_order_relaxed);
    if (gReadingThread != nullptr) {
        ::CancelSynchronousIo(gReadingThread);
    }
    WakeWaiter();
}

BOOL WINAPI OnConsoleControl(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        Cancel();
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // The system ends the process as soon as this returns (after a close, in five seconds at
        // the latest). Returning never leaves the polling loop that time to cancel the job and
        // delete its output; the process still ends the moment the tool returns from main.
        Cancel();
        ::Sleep(INFINITE);
        return TRUE;
    default:
        return FALSE;
    }
}

// A console read cut short by Ctrl+C may return before the event's thread has run the handler.
void AwaitCancelEvent() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (!CancelSignalled() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void WriteConsoleText(HANDLE console, const std::string& text) {
    const std::optional<std::wstring> wide = WidenUtf8(text);
    if (!wide) {
        return;
    }
    DWORD written = 0;
    ::WriteConsoleW(console, wide->data(), static_cast<DWORD>(wide->size()), &written, nullptr);
}

// The console's handles for one prompt, whether or not the standard handles are redirected.
class Console {
public:
    Console()
        : input_(::CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr)),
          output_(::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr)) {}
    ~Console() {
        for (const HANDLE handle : {input_, output_}) {
            if (handle != INVALID_HANDLE_VALUE) {
                ::CloseHandle(handle);
            }
        }
    }
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    [[nodiscard]] HANDLE Input() const { return input_; }
    [[nodiscard]] HANDLE Output() const { return output_; }

private:
    HANDLE input_;
    HANDLE output_;
};

// Reads one line with echo off. The text is read as UTF-16, whatever the console's code page,
// and kept as UTF-8, so the same passphrase gives the same key words here and on POSIX systems.
std::optional<std::string> ReadConsoleLine(HANDLE input, std::size_t keep) {
    std::wstring wide;
    std::array<wchar_t, 256> chunk{};
    bool complete = false;
    while (!complete) {
        DWORD got = 0;
        if (!::ReadConsoleW(input, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr) || got == 0) {
            AwaitCancelEvent();
            break;
        }
        for (DWORD i = 0; i < got; ++i) {
            if (chunk[i] == L'\n') {
                complete = true;
                break;
            }
            // Each UTF-16 unit is at least one byte of UTF-8: beyond keep units nothing would be kept.
            if (wide.size() < keep) {
                wide.push_back(chunk[i]);
            }
        }
        if (CancelSignalled()) {
            complete = false;
            break;
        }
    }
    SecureWipe(chunk.data(), sizeof chunk);
    std::optional<std::string> narrow = complete ? NarrowToUtf8(wide) : std::nullopt;
    SecureWipe(wide.data(), wide.size() * sizeof(wchar_t));
    if (!narrow) {
        return std::nullopt;
    }
    LineCollector line(keep);
    for (const char c : *narrow) {
        line.Add(c);
    }
    SecureWipe(narrow->data(), narrow->size());
    return line.Take();
}

}  // namespace

void InstallCancelHandlers() {
    if (gReadingThread == nullptr) {
        HANDLE thread = nullptr;
        if (::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &thread, 0, FALSE,
                              DUPLICATE_SAME_ACCESS)) {
            gReadingThread = thread;
        }
    }
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool CancelSignalled() {
    return gCancelSignalled.load(std::memory_order_relaxed);
}

void WakeWaiter() {
    {
        const std::lock_guard lock(gWakeMutex);
        gWoken = true;
    }
    gWake.notify_all();
}

void WaitForWake(std::chrono::milliseconds timeout) {
    std::unique_lock lock(gWakeMutex);
    gWake.wait_for(lock, timeout, [] { return gWoken || CancelSignalled(); });
    gWoken = false;
}

// Console events arrive on a thread of their own and interrupt no other: nothing to block.
CancelSignalsBlocked::CancelSignalsBlocked() = default;
CancelSignalsBlocked::~CancelSignalsBlocked() = default;

std::size_t StderrColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (::GetConsoleScreenBufferInfo(::GetStdHandle(STD_ERROR_HANDLE), &info) == 0) {
        return 0;
    }
    return static_cast<std::size_t>(info.srWindow.Right - info.srWindow.Left + 1);
}

// The console echoes no "^C" for Ctrl+C.
ControlEchoOff::ControlEchoOff(bool) {}
ControlEchoOff::~ControlEchoOff() = default;

bool StderrIsTerminal() {
    // _isatty would also call the NUL device a terminal.
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

// Byte by byte, so that nothing after the line is taken from a shared descriptor. A cancel ends a
// blocked read through CancelSynchronousIo.
std::optional<std::string> ReadLineFromDescriptor(int fd, std::size_t keep) {
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

std::optional<std::string> ReadHiddenLine(const std::string& prompt, std::size_t keep) {
    const Console console;
    DWORD saved = 0;
    if (console.Input() == INVALID_HANDLE_VALUE || console.Output() == INVALID_HANDLE_VALUE ||
        !::GetConsoleMode(console.Input(), &saved)) {
        return std::nullopt;
    }
    // Processed input keeps Ctrl+C a cancel event rather than a character of the passphrase.
    const DWORD hidden = (saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT;
    if (!::SetConsoleMode(console.Input(), hidden)) {
        return std::nullopt;
    }
    WriteConsoleText(console.Output(), prompt);
    std::optional<std::string> line = ReadConsoleLine(console.Input(), keep);
    ::SetConsoleMode(console.Input(), saved);
    // The user's Enter was not echoed.
    WriteConsoleText(console.Output(), "\r\n");
    return line;
}

}  // namespace morvex
