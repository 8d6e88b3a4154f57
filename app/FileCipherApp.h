#pragma once

#include <optional>

#include <QApplication>

namespace morvex {

// The application object: runs the main dialog modally and turns its end into the process's status.
class FileCipherApp {
public:
    static constexpr int kUsageStatus = 2;  // a command line it refuses

    // --help and --version, answered before Qt reaches for a display, so they work in any terminal.
    // Nothing when the window is to open.
    [[nodiscard]] static std::optional<int> AnswerWithoutWindow(int argc, char** argv);

    FileCipherApp(int& argc, char** argv);

    // 1 after Exit, 0 after the window was closed while idle, kUsageStatus (without a window) for
    // arguments it cannot take.
    [[nodiscard]] int Run();

private:
    QApplication application;
};

}  // namespace morvex
