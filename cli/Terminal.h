#pragma once

#include <cstddef>
#include <optional>
#include <string>

// The tool's only contact with the terminal and with signals; everything else is portable.
namespace morvex {

// SIGINT, SIGTERM and SIGHUP become the cancel command; SIGPIPE is ignored, so that a closed
// stderr cannot kill the tool halfway through a file and leave a partial output behind. On Windows
// Ctrl+C, Ctrl+Break and closing the console (or logging off) are the cancel command.
void InstallCancelHandlers();

// True once one of the cancel signals has arrived.
[[nodiscard]] bool CancelSignalled();

[[nodiscard]] bool StderrIsTerminal();

// The first line read from an open descriptor, without its line end; at most keep bytes are kept,
// the rest of the line is read and dropped. Nothing if the read fails or a cancel signal arrives.
[[nodiscard]] std::optional<std::string> ReadLineFromDescriptor(int fd, std::size_t keep);

// Shows the prompt on the controlling terminal and reads one line there with echo off; the
// terminal's settings are restored in every case. Nothing if there is no terminal, the read fails
// or a cancel signal arrives.
[[nodiscard]] std::optional<std::string> ReadHiddenLine(const std::string& prompt, std::size_t keep);

}  // namespace morvex
