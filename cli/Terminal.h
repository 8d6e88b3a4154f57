#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#ifndef _WIN32
#include <signal.h>
#endif

// The tool's only contact with the terminal and with signals; everything else is portable.
namespace morvex {

// Every signal that would end the tool becomes the cancel command (SIGINT, SIGTERM, SIGHUP,
// SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM and the other catchable ones that end a process, except those
// that report a fault in the tool itself), so that no job is cut off with a partial output behind.
// SIGPIPE is ignored, so that a closed stderr cannot end the tool; so is SIGXFSZ, so that a write
// beyond the file-size limit fails and the job's failure path removes the output. Also readies
// WaitForWake; call once, before any other thread starts.
void InstallCancelHandlers();

// True once one of the cancel signals has arrived.
[[nodiscard]] bool CancelSignalled();

// Ends the current or next WaitForWake early. Safe from any thread.
void WakeWaiter();

// Returns once WakeWaiter has been called or a cancel signal has arrived since the last return,
// or after the timeout at the latest.
void WaitForWake(std::chrono::milliseconds timeout);

// While one exists, the cancel signals are blocked in the calling thread; a thread started
// meanwhile inherits the block, so that the signals reach the thread that waits for them.
class CancelSignalsBlocked {
public:
    CancelSignalsBlocked();
    ~CancelSignalsBlocked();
    CancelSignalsBlocked(const CancelSignalsBlocked&) = delete;
    CancelSignalsBlocked& operator=(const CancelSignalsBlocked&) = delete;

private:
#ifndef _WIN32
    sigset_t saved_{};  // the thread's mask before
#endif
};

[[nodiscard]] bool StderrIsTerminal();

// The width of the terminal on stderr in columns; 0 if it does not say.
[[nodiscard]] std::size_t StderrColumns();

// While one exists, the terminal on stderr does not echo control characters, so that an
// interrupt typed during a progress line leaves no "^C" on it. Does nothing if not active or
// unless the tool runs in the terminal's foreground.
class ControlEchoOff {
public:
    explicit ControlEchoOff(bool active);
    ~ControlEchoOff();
    ControlEchoOff(const ControlEchoOff&) = delete;
    ControlEchoOff& operator=(const ControlEchoOff&) = delete;

private:
    bool changed_ = false;
};

// The first line read from an open descriptor, without its line end; at most keep bytes are kept,
// the rest of the line is read and dropped. Nothing if the read fails or a cancel signal arrives.
[[nodiscard]] std::optional<std::string> ReadLineFromDescriptor(int fd, std::size_t keep);

// Shows the prompt on the controlling terminal and reads one line there with echo off; the
// terminal's settings are restored in every case. Nothing if there is no terminal, the read fails
// or a cancel signal arrives.
[[nodiscard]] std::optional<std::string> ReadHiddenLine(const std::string& prompt, std::size_t keep);

}  // namespace morvex
