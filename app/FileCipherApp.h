#pragma once

#include <QApplication>

namespace morvex {

// The application object: runs the main dialog modally and turns its end into the process's status.
class FileCipherApp {
public:
    FileCipherApp(int& argc, char** argv);

    // 1 after Exit, 0 after the window was closed while idle.
    [[nodiscard]] int Run();

private:
    QApplication application;
};

}  // namespace morvex
